// End-to-end cases: each row runs the built tool in a fresh directory and checks
// its exit status, both output streams, the exact bytes of the report, and that the
// report's owner, group, mode, links, ACL, attributes and flags are what the caller
// set up (or, for a new report, what any new file gets). TESSOLIN_COMMAND, when set,
// is the command line that starts the tool (a prefix such as "wine" included);
// TESSOLIN_PLATFORM says whose expectations apply.
#include "fru_scan.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum class platform { both, linux_only, windows_only };

// The circumstances of a run: one value each, set up by prepare().
enum class setup {
  file,          // the input is written to the file named by the first argument
  missing,       // no input file
  directory,     // the first argument names a directory
  fifo,          // the input is fed through a FIFO by another thread
  open_fifo,     // the same, and the writer keeps the FIFO open until the tool has ended
  out_symlink,   // the report is a symbolic link to the input
  out_hardlink,  // the report is a hard link to the input
  unreadable,    // the input exists but may not be read
  read_only_dir, // the report's folder sub/ may not be written
  stdin_closed,  // the tool starts with standard input closed
  stdout_closed, // the tool starts with standard output closed
  broken_pipe,   // standard output is a pipe that nobody reads
  no_file_size,  // the tool may not write a single byte to any file
  small_stack,   // the tool starts with a 64 KiB stack
  other_drive,   // FILE_OUT names FILE_IN through another drive letter (Windows)
  long_form,     // FILE_OUT is given in the \\?\ form, which Windows takes as it stands
  // The report as the caller set it up
  private_report,      // mode 0600
  set_group_id,        // mode 02644
  read_only_report,    // mode 0444
  second_link,         // the report has a second hard link
  symlink_to_longer,   // the report is a symbolic link to a longer file
  dangling_symlink,    // the report is a symbolic link to a file that does not exist
  other_owner,         // the report belongs to another user
  other_group,         // the report's group is one of the caller's other groups
  other_group_set_id,  // the same, mode 02755, whose set-group-ID bit a write by a user clears
  acl_grant,           // an ACL lets a named user write the report, and denies its group
  acl_denial,          // an ACL denies a named user any access
  attributes,          // user.* (and as root trusted.*) extended attributes
  flags,               // chattr +d
  append_only_report,  // chattr +a
  default_acl_folder,  // the report's folder sub/ has a default ACL
  append_only_folder,  // the report's folder sub/ is append-only (chattr +a)
  bind_mounted,        // the report is a file bind-mounted over out.txt
  bind_mounted_in_ro,  // the same, in a folder sub/ mounted read-only
  no_free_inodes,      // the report's folder sub/ is a file system with no inode left
  hidden,              // the report has Windows's hidden attribute
  scratch_held,        // the same, and another program holds the new scratch file open for 0.7 s
  report_held_briefly, // another program holds the report open, without delete sharing, for 0.2 s
  report_held,         // the same until the run ends, however long it takes to start
  report_locked,       // the same, and it holds a lock over the whole report
  second_name,         // the report has a second name .out.txt.NUMBER.tmp, left by a stopped run
  full_file_system,    // the report's folder sub/ is a file system with no byte left
  // What only a check at the moment of writing, or a policy's fallback, gets right
  swapped_during_read, // out.txt becomes a symbolic link to the input while the input is read
  folder_swapped,      // the report's folder out/ becomes a link to the input's, sub/, while the tool runs
  moved_onto_report,   // the input is renamed over out.txt while the tool runs
  protected_regular,   // another user's report in a sticky folder open to all, fs.protected_regular=2
  block_alias,         // FILE_IN is a loop device, FILE_OUT another device node of it
  partition_alias,     // FILE_IN is a partition of a loop device, FILE_OUT a node of the whole device
  loop_over_input,     // FILE_IN is a file, FILE_OUT a loop device over it
  overlay_upper,       // FILE_IN is in an overlay's upper layer, FILE_OUT the same file through the overlay
  made_during_rename,  // another run makes the missing report, and holds its lock, while the tool runs
  fifo_report,         // the report is a FIFO that nobody reads
  lock_held_masked,    // the report has a second link and a lock another program holds; SIGALRM is blocked
  write_only_report,   // mode 0200: the caller may write the report but not read it
  nocow,               // chattr +C (btrfs) on the report, or where it is in sub/ on sub/ alone
  project,             // project ID 42 (xfs, ext4) on the report, or where it is in sub/ on sub/ (+P) alone
  own_uts_namespace,   // the tool runs in a UTS namespace of its own, to write its host name
  four_descriptors,    // the tool may open 4 descriptors
  five_descriptors,    // the tool may open 5 descriptors
};

struct run_case {
  const char *name;
  std::string input;
  int status = 0;
  std::optional<std::string> report = std::nullopt; // expected bytes of the report; none: left as it was
  std::vector<std::string> args = {"in.fru", "out.txt"};
  bool banner = false;
  setup kind = setup::file;
  platform only = platform::both;
  const char *prior = nullptr;          // report content before the run
  std::size_t filler = 0;               // this many 'x' bytes streamed after the input (fifo)
  const char *stored = nullptr;         // the report's name on disk, where the argument spells it otherwise
  std::optional<bool> in_place = false; // an existing report is written in place, not replaced; none: either
  const char *inject = nullptr;         // failures strace makes system calls return, as "fchown:error=EPERM"
};

// Test names are enough in ctest's listing; the bytes of a row are not.
void PrintTo(const run_case &row, std::ostream *out) { *out << row.name; }

std::string product(const std::string &serial, const std::string &asset, const char *space = " ") {
  std::string text = "_SEE_PRODUCT 01\n";
  for (const char *pair : {"Language \"en\"", "Manufacturer \"Acme\"", "Product_Name \"R120\"",
                           "Part_Number \"R120-A1\"", "Version \"A1\""}) {
    text += std::string(pair) + "\n";
  }
  text += "Serial_Number " + serial + "\nAsset_Tag " + asset + "\n";
  for (char &byte : text) {
    byte = byte == ' ' ? *space : byte;
  }
  return text;
}

std::string unit(const std::string &serial = "\"SN123\"", const std::string &asset = "\"AT9\"") {
  return "_SEE_CHASSIS 01 Serial_Number \"CH1\"\n_SEE_BOARD 01 Serial_Number \"BD1\"\n" +
         product(serial, asset);
}

std::string crlf(std::string text) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
    text.insert(at, 1, '\r');
  }
  return text;
}

std::string report(const std::string &serial, const std::string &asset) {
  return "SN : " + serial + "\r\nAsset Tag : " + asset + "\r\n";
}

std::string quoted(std::size_t length) { return "\"" + std::string(length - 2, 'v') + "\""; }

std::string after_marker(const std::string &tokens) { return "_SEE_PRODUCT " + tokens; }

std::optional<std::string> read_file(const fs::path &path) {
  if (!fs::is_regular_file(path)) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The shipped examples, from the source tree or from TESSOLIN_EXAMPLES.
fs::path examples() {
  const char *folder = std::getenv("TESSOLIN_EXAMPLES");
  return folder != nullptr ? folder : TESSOLIN_EXAMPLES;
}

std::string example(const char *name) { return read_file(examples() / name).value_or("?"); }

// Pads `text` with spaces so that `piece` in it starts 3 bytes before the end of the tool's first read.
std::string across_block_end(const std::string &text, const std::string &piece) {
  return std::string(tessolin::read_size - 3 - text.find(piece), ' ') + text;
}

const std::string unicode = "ünïcødé-報告"; // outside any console code page
const std::string twelve = "01 a b c d e f g h i j k ";
const std::string ok = report("SN123", "AT9");
const std::string long_name =
    std::string(244, 'n') + ".txt"; // one byte too long for a scratch name beside it
// 119 two-byte letters and ".txt": 242 bytes, too long for a scratch name beside it where the
// limit counts bytes (Wine on Linux, Samba), though not where it counts UTF-16 units.
const std::string two_byte_name = [] {
  std::string name;
  for (int letter = 0; letter < 119; ++letter) {
    name += "é";
  }
  return name + ".txt";
}();

// One row per case.
// clang-format off
const run_case cases[] = {
    // Well-formed descriptions
    {.name = "example", .input = unit(), .report = ok},
    {.name = "shipped_example", .input = example("bmcfru.fru"), .report = report("NWR120K4410023", "DC3-R07-U21")},
    {.name = "shipped_crlf_example", .input = example("crlf-unit.fru"),
     .report = report("BFT300-9H2K7Q", "To_Be_Filled_By_O.E.M.")},
    {.name = "crlf_line_ends", .input = crlf(unit()), .report = ok},
    {.name = "every_whitespace_byte",
     .input = after_marker("\v01\fa\rb\tc\nd e f g h i j k \"SN123\"\v\fx\r\n\"AT9\"\t"), .report = ok},
    {.name = "control_bytes_are_token_bytes",
     .input = "\x01_SEE_PRODUCT \x08_SEE_PRODUCT _SEE_PRODUCT\x0e _SEE_PRODUCT\x1f\n" + unit(), .report = ok},
    {.name = "no_whitespace_after_last_field", .input = after_marker(twelve + "\"SN123\" x \"AT9\""), .report = ok},
    {.name = "marker_first_token", .input = product("\"SN123\"", "\"AT9\""), .report = ok},
    {.name = "tokens_counted_across_lines",
     .input = after_marker("01\n\na\r\nb c\nd e f g h i j k\n\"SN123\"\nx\n\"AT9\""), .report = ok},
    {.name = "first_marker_wins",
     .input = after_marker("01 _SEE_PRODUCT b c d e f g h i j k \"SN123\" x \"AT9\" _SEE_PRODUCT"), .report = ok},
    {.name = "near_misses_skipped",
     .input = "_SEE_PRODUCTS x_SEE_PRODUCT _see_product \"_SEE_PRODUCT\" _SEE_PRODUC _SEE_PRODUKT x\n" + unit(),
     .report = ok},
    {.name = "enclosing_bytes_dropped", .input = unit("[SN123)", "xAT9y"), .report = ok},
    {.name = "two_byte_fields_are_empty", .input = unit("\"\"", "''"), .report = report("", "")},
    {.name = "high_bytes_pass_through", .input = unit("\"\xC3\xBC\xFF\x80\"", "\"\xE5\xA0\xB1\""),
     .report = report("\xC3\xBC\xFF\x80", "\xE5\xA0\xB1")},
    {.name = "percent_written_as_is", .input = unit("\"%s%n%%\"", "\"100%\""), .report = report("%s%n%%", "100%")},
    {.name = "placeholders_verbatim", .input = unit("\"To_Be_Filled_By_O.E.M.\"", "\"\""),
     .report = report("To_Be_Filled_By_O.E.M.", "")},
    {.name = "zero_byte_ends_token_text", .input = unit(std::string("\"SN1\0junk", 9), "\"AT9\""),
     .report = report("SN", "AT9")},
    {.name = "zero_byte_ends_marker_text",
     .input = std::string("_SEE_PRODUCT\0junk ", 18) + twelve + "\"SN123\" x \"AT9\"", .report = ok},
    {.name = "hyphen_path_is_a_file", .input = unit(), .report = ok, .args = {"-in.fru", "-out.txt"}},
    {.name = "unicode_paths", .input = unit(), .report = ok, .args = {unicode + ".fru", unicode + ".txt"}},
    {.name = "fifo_input", .input = unit(), .report = ok, .kind = setup::fifo},
    {.name = "fifo_left_open_after_the_fields", .input = unit(), .report = ok, .kind = setup::open_fifo},
    {.name = "fifo_input_to_device", .input = unit(), .args = {"in.fru", "/dev/null"}, .kind = setup::fifo,
     .only = platform::linux_only},
    // Token lengths at the buffer's edges
    {.name = "field_tokens_of_127_bytes", .input = unit(quoted(127), quoted(126)),
     .report = report(std::string(125, 'v'), std::string(124, 'v'))},
    {.name = "passed_over_tokens_of_128_and_100000_bytes",
     .input = after_marker("01 " + std::string(128, 'p') + " b c d e f g h i j " + std::string(100000, 'p') +
                           " \"SN123\" x \"AT9\""),
     .report = ok},
    {.name = "serial_token_of_128_bytes", .input = unit(quoted(128)), .status = 1},
    {.name = "asset_token_of_100000_bytes", .input = unit("\"SN123\"", quoted(100000)), .status = 1},
    {.name = "marker_across_block_end", .input = across_block_end(unit(), "_SEE_PRODUCT"), .report = ok},
    {.name = "serial_across_block_end", .input = across_block_end(unit(), "\"SN123"), .report = ok},
    {.name = "asset_tag_across_block_end", .input = across_block_end(unit(), "\"AT9"), .report = ok},
    {.name = "near_misses_across_block_end",
     .input = across_block_end("x_SEE_PRODUCT _SEE_PRODUCTS " + unit(), "_SEE_PRODUCT "), .report = ok},
    {.name = "marker_glued_to_previous_block",
     .input = std::string(tessolin::read_size - 3, 'y') + product("\"SN123\"", "\"AT9\""), .status = 1},
    {.name = "asset_tag_ends_in_second_read",
     .input = std::string(tessolin::read_size + 1 - after_marker(twelve + "\"SN123\" x \"AT9\"").size(), ' ') +
              after_marker(twelve + "\"SN123\" x \"AT9\""),
     .report = ok},
    {.name = "marker_in_127_byte_token",
     .input = std::string("_SEE_PRODUCT\0", 13) + std::string(114, 'p') + " " + twelve + "\"SN123\" x \"AT9\"",
     .report = ok},
    {.name = "marker_in_128_byte_token",
     .input = std::string("_SEE_PRODUCT\0", 13) + std::string(115, 'p') + " " + twelve + "\"SN123\" x \"AT9\"",
     .status = 1},
    {.name = "serial_token_of_100_MB", .input = after_marker(twelve), .status = 1, .kind = setup::fifo,
     .filler = 100'000'000},
    {.name = "one_token_of_1_GiB", .input = "_SEE_PRODUCT", .status = 1, .kind = setup::fifo,
     .filler = std::size_t{1} << 30},
    // Missing or malformed fields leave the report as it was
    {.name = "empty_input", .input = "", .status = 1},
    {.name = "only_whitespace", .input = " \t\r\n\v\f \n", .status = 1, .prior = "kept\r\n"},
    {.name = "binary_data",
     .input = std::string("\x7f" "ELF\x02\x01\x00\x00_SEE\xff\xfe PRODUCT\x00\x01", 22), .status = 1},
    {.name = "no_marker", .input = "_SEE_BOARD 01 " + twelve + "\"SN123\" x \"AT9\"", .status = 1,
     .prior = "kept\r\n"},
    {.name = "input_ends_after_marker", .input = "board _SEE_PRODUCT\n", .status = 1},
    {.name = "input_ends_after_serial", .input = after_marker(twelve + "\"SN123\""), .status = 1},
    {.name = "input_ends_before_asset_tag", .input = after_marker(twelve + "\"SN123\" x"), .status = 1},
    {.name = "one_byte_serial", .input = unit("x"), .status = 1},
    {.name = "zero_first_byte_asset", .input = unit("\"SN123\"", std::string("\0AT9\"", 5)), .status = 1},
    // Command line and files
    {.name = "no_arguments", .input = "", .status = 1, .args = {}, .banner = true},
    {.name = "one_argument", .input = "", .status = 1, .args = {"in.fru"}, .banner = true},
    {.name = "three_arguments", .input = unit(), .status = 1, .args = {"in.fru", "out.txt", "extra"}, .banner = true},
    {.name = "lone_hyphen_argument", .input = "", .status = 1, .args = {"-h"}, .banner = true},
    {.name = "banner_with_stdout_closed", .input = "", .status = 1, .args = {}, .kind = setup::stdout_closed},
    {.name = "description_on_descriptor_0", .input = unit(), .report = ok, .kind = setup::stdin_closed,
     .prior = "old\r\n"},
    {.name = "missing_input", .input = "", .status = 1, .kind = setup::missing},
    {.name = "directory_as_input", .input = "", .status = 1, .kind = setup::directory},
    {.name = "report_in_missing_directory", .input = unit(), .status = 1, .args = {"in.fru", "nodir/out.txt"}},
    {.name = "report_under_a_regular_file", .input = unit(), .status = 1, .args = {"in.fru", "in.fru/out.txt"}},
    {.name = "unreadable_input", .input = unit(), .status = 1, .kind = setup::unreadable},
    {.name = "report_in_read_only_directory", .input = unit(), .status = 1, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::read_only_dir},
    {.name = "report_is_a_directory", .input = unit(), .status = 1, .args = {"in.fru", "."}},
    {.name = "report_on_full_disk", .input = unit(), .status = 1, .args = {"in.fru", "/dev/full"},
     .only = platform::linux_only},
    {.name = "report_is_the_input", .input = unit(), .status = 1, .args = {"in.fru", "in.fru"}},
    {.name = "report_is_the_input_by_other_path", .input = unit(), .status = 1, .args = {"in.fru", "./sub/../in.fru"}},
    {.name = "report_links_to_input", .input = unit(), .status = 1, .args = {"in.fru", "link.bat"},
     .kind = setup::out_symlink},
    {.name = "report_hard_links_to_input", .input = unit(), .status = 1, .args = {"in.fru", "unit.cmd"},
     .kind = setup::out_hardlink},
    {.name = "report_becomes_link_to_input_during_read", .input = unit(), .status = 1,
     .kind = setup::swapped_during_read, .only = platform::linux_only, .inject = "read:delay_enter=1000000:when=2"},
    {.name = "report_folder_becomes_link_to_input_folder_during_read", .input = unit(), .status = 1,
     .args = {"sub/in.fru", "out/in.fru"}, .kind = setup::folder_swapped, .only = platform::linux_only,
     .inject = "read:delay_enter=1000000:when=2"},
    {.name = "input_moved_onto_report_during_read", .input = unit(), .status = 1, .report = unit(),
     .kind = setup::moved_onto_report, .only = platform::linux_only, .prior = "old\r\n",
     .inject = "read:delay_enter=1000000:when=2"},
    {.name = "input_moved_onto_report_before_rename", .input = unit(), .status = 1, .report = unit(),
     .kind = setup::moved_onto_report, .only = platform::linux_only, .prior = "old\r\n",
     .inject = "renameat2:delay_enter=1000000"},
    {.name = "report_is_other_node_of_input_device", .input = unit(), .status = 1, .kind = setup::block_alias,
     .only = platform::linux_only},
    {.name = "report_is_disk_of_input_partition", .input = unit(), .status = 1, .kind = setup::partition_alias,
     .only = platform::linux_only},
    {.name = "report_is_loop_device_over_input", .input = unit(), .status = 1, .kind = setup::loop_over_input,
     .only = platform::linux_only},
    {.name = "report_is_input_through_overlay", .input = unit(), .status = 1,
     .args = {"upper/in.fru", "merged/in.fru"}, .kind = setup::overlay_upper, .only = platform::linux_only},
    {.name = "report_name_ends_in_separator", .input = unit(), .status = 1, .args = {"in.fru", "out.txt\\"},
     .only = platform::windows_only},
    {.name = "report_is_the_input_by_other_drive", .input = unit(), .status = 1, .kind = setup::other_drive,
     .only = platform::windows_only},
    {.name = "report_is_the_input_in_other_case", .input = unit(), .status = 1, .args = {"in.fru", "IN.FRU"},
     .only = platform::windows_only},
    {.name = "report_is_the_input_with_backslash", .input = unit(), .status = 1,
     .args = {"sub/in.fru", "sub\\in.fru"}, .only = platform::windows_only},
    {.name = "report_is_a_stream_of_the_input", .input = unit(), .status = 1, .args = {"in.fru", "in.fru:s"},
     .only = platform::windows_only},
    {.name = "report_is_a_stream_of_a_link_to_the_input", .input = unit(), .status = 1,
     .args = {"in.fru", "link.txt:s"}, .kind = setup::out_hardlink, .only = platform::windows_only},
    // Names that Windows takes as they stand: other files than the input, which stays as it was
    {.name = "input_name_with_trailing_dot_in_long_form", .input = unit(), .report = ok, .args = {"in.fru", "in.fru."},
     .kind = setup::long_form, .only = platform::windows_only, .stored = "in.fru."},
    {.name = "input_name_with_trailing_space_in_long_form", .input = unit(), .report = ok,
     .args = {"in.fru", "in.fru "}, .kind = setup::long_form, .only = platform::windows_only, .stored = "in.fru "},
    {.name = "banner_into_closed_pipe", .input = "", .status = 1, .args = {}, .kind = setup::broken_pipe},
    {.name = "report_to_stdout_into_closed_pipe", .input = unit(), .status = 1, .args = {"in.fru", "/dev/stdout"},
     .kind = setup::broken_pipe, .only = platform::linux_only},
    {.name = "old_report_kept_past_file_size_limit", .input = unit(), .status = 1, .kind = setup::no_file_size,
     .only = platform::linux_only, .prior = "kept\r\n"},
    {.name = "no_report_made_past_file_size_limit", .input = unit(), .status = 1, .kind = setup::no_file_size,
     .only = platform::linux_only},
    {.name = "small_stack", .input = unit(), .report = ok, .kind = setup::small_stack, .only = platform::linux_only},
    // An existing report of each kind: replaced only where nothing about it changes, else written in place
    {.name = "old_report_replaced", .input = unit(), .report = ok, .prior = "old report, longer than the new one\r\n"},
    {.name = "private_report", .input = unit(), .report = ok, .kind = setup::private_report,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "write_only_report", .input = unit(), .report = ok, .kind = setup::write_only_report,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "private_report_killed_at_first_write", .input = unit(), .status = -1, .kind = setup::private_report,
     .only = platform::linux_only, .prior = "kept\r\n", .inject = "write:signal=KILL:when=1"},
    {.name = "report_with_set_group_id_bit", .input = unit(), .report = ok, .kind = setup::set_group_id,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "read_only_report", .input = unit(), .status = 1, .kind = setup::read_only_report,
     .only = platform::linux_only, .prior = "kept\r\n"},
    {.name = "report_with_second_link", .input = unit(), .report = ok, .kind = setup::second_link,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true},
    {.name = "report_with_second_link_write_failing", .input = unit(), .status = 1, .kind = setup::second_link,
     .only = platform::linux_only, .prior = "kept\r\n", .inject = "write:error=EIO"},
    {.name = "report_locked_with_alarm_blocked", .input = unit(), .status = 1,
     .kind = setup::lock_held_masked, .only = platform::linux_only, .prior = "kept\r\n"},
    {.name = "report_is_fifo_without_reader", .input = unit(), .status = 1, .kind = setup::fifo_report,
     .only = platform::linux_only},
    {.name = "report_made_by_another_run_meanwhile", .input = unit(), .report = ok,
     .kind = setup::made_during_rename, .only = platform::linux_only, .inject = "renameat2:delay_enter=1000000:when=1"},
    {.name = "report_links_to_longer_file", .input = unit(), .report = ok, .kind = setup::symlink_to_longer,
     .only = platform::linux_only, .prior = "an old report, much longer than the new one will be\r\n", .in_place = true},
    {.name = "report_links_to_missing_file", .input = unit(), .report = ok, .kind = setup::dangling_symlink,
     .only = platform::linux_only},
    {.name = "report_of_other_owner", .input = unit(), .report = ok, .kind = setup::other_owner,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true},
    {.name = "report_of_other_group", .input = unit(), .report = ok, .kind = setup::other_group_set_id,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "report_in_read_only_directory_written", .input = unit(), .report = ok,
     .args = {"in.fru", "sub/out.txt"}, .kind = setup::read_only_dir, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true},
    {.name = "new_report_in_other_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"}},
    {.name = "old_report_in_other_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .prior = "old\r\n"},
    {.name = "report_with_long_name", .input = unit(), .report = ok, .args = {"in.fru", long_name},
     .prior = "old\r\n"},
    {.name = "report_with_long_name_kept_past_file_size_limit", .input = unit(), .status = 1,
     .args = {"in.fru", long_name}, .kind = setup::no_file_size, .only = platform::linux_only, .prior = "kept\r\n"},
    {.name = "report_in_folder_kept_past_file_size_limit", .input = unit(), .status = 1,
     .args = {"in.fru", "sub/out.txt"}, .kind = setup::no_file_size, .only = platform::linux_only,
     .prior = "kept\r\n"},
    {.name = "report_in_other_case", .input = unit(), .report = ok, .args = {"in.fru", "OUT.TXT"},
     .only = platform::windows_only, .prior = "old\r\n", .stored = "out.txt"},
    {.name = "report_by_short_name", .input = unit(), .report = ok, .args = {"in.fru", "LONG~FC1.TXT"},
     .only = platform::windows_only, .prior = "old\r\n", .stored = "long report name.txt"},
    {.name = "hidden_report", .input = unit(), .report = ok, .kind = setup::hidden, .only = platform::windows_only,
     .prior = "old\r\n"},
    {.name = "scratch_file_held_by_another_program", .input = unit(), .report = ok, .kind = setup::scratch_held,
     .only = platform::windows_only, .prior = "old\r\n", .in_place = std::nullopt},
    {.name = "report_held_briefly_by_another_program", .input = unit(), .report = ok,
     .kind = setup::report_held_briefly, .only = platform::windows_only, .prior = "old\r\n"},
    {.name = "report_held_by_another_program", .input = unit(), .report = ok, .kind = setup::report_held,
     .only = platform::windows_only, .prior = "old\r\n", .in_place = true},
    {.name = "report_locked_by_another_program", .input = unit(), .status = 1, .kind = setup::report_locked,
     .only = platform::windows_only, .prior = "kept\r\n"},
    {.name = "report_with_second_name_left_by_stopped_run", .input = unit(), .report = ok,
     .kind = setup::second_name, .only = platform::windows_only, .prior = "old\r\n"},
    {.name = "new_report_on_full_file_system", .input = unit(), .status = 1, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::full_file_system},
    {.name = "old_report_on_full_file_system", .input = unit(), .status = 1, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::full_file_system, .prior = "kept\r\n"},
    {.name = "report_by_drive_relative_name", .input = unit(), .report = ok, .args = {"in.fru", "Z:out.txt"},
     .only = platform::windows_only, .prior = "old\r\n", .stored = "out.txt"},
    {.name = "report_named_with_119_two_byte_letters", .input = unit(), .report = ok,
     .args = {"in.fru", two_byte_name}, .prior = "old\r\n"},
    // ACLs, attributes and folders that decide what a new file gets
    {.name = "report_with_acl_grant", .input = unit(), .report = ok, .kind = setup::acl_grant,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "report_with_acl_denial", .input = unit(), .report = ok, .kind = setup::acl_denial,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "report_with_attributes", .input = unit(), .report = ok, .kind = setup::attributes,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "report_with_flags", .input = unit(), .report = ok, .kind = setup::flags, .only = platform::linux_only,
     .prior = "old\r\n"},
    {.name = "append_only_report", .input = unit(), .status = 1, .kind = setup::append_only_report,
     .only = platform::linux_only, .prior = "kept\r\n"},
    {.name = "report_without_copy_on_write", .input = unit(), .report = ok, .kind = setup::nocow,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "old_report_in_folder_without_copy_on_write", .input = unit(), .report = ok,
     .args = {"in.fru", "sub/out.txt"}, .kind = setup::nocow, .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "report_with_project_id", .input = unit(), .report = ok, .kind = setup::project,
     .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "old_report_in_project_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::project, .only = platform::linux_only, .prior = "old\r\n", .in_place = true},
    {.name = "new_report_in_default_acl_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::default_acl_folder, .only = platform::linux_only},
    {.name = "old_report_in_default_acl_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::default_acl_folder, .only = platform::linux_only, .prior = "old\r\n"},
    {.name = "old_report_in_append_only_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::append_only_folder, .only = platform::linux_only, .prior = "old\r\n", .in_place = true},
    {.name = "new_report_in_append_only_folder", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::append_only_folder, .only = platform::linux_only},
    {.name = "bind_mounted_report", .input = unit(), .report = ok, .kind = setup::bind_mounted,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true},
    {.name = "bind_mounted_report_in_read_only_folder", .input = unit(), .report = ok,
     .args = {"in.fru", "sub/out.txt"}, .kind = setup::bind_mounted_in_ro, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true},
    // Failures that only a write in place avoids, and those it must not hide
    {.name = "attributes_refused", .input = unit(), .report = ok, .kind = setup::attributes,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true, .inject = "fsetxattr:error=EPERM"},
    {.name = "folder_attributes_not_removable", .input = unit(), .report = ok, .args = {"in.fru", "sub/out.txt"},
     .kind = setup::default_acl_folder, .only = platform::linux_only, .prior = "old\r\n", .in_place = true,
     .inject = "fremovexattr:error=EPERM"},
    {.name = "mode_refused", .input = unit(), .report = ok, .kind = setup::private_report,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true, .inject = "fchmod:error=EPERM"},
    {.name = "mode_not_taken", .input = unit(), .report = ok, .kind = setup::set_group_id,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true, .inject = "fchmod:retval=0"},
    {.name = "group_refused", .input = unit(), .report = ok, .kind = setup::other_group, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true, .inject = "fchown:error=EPERM"},
    {.name = "group_over_quota", .input = unit(), .status = 1, .kind = setup::other_group,
     .only = platform::linux_only, .prior = "kept\r\n", .inject = "fchown:error=EDQUOT"},
    {.name = "report_of_other_user_in_protected_folder", .input = unit(), .report = ok,
     .args = {"in.fru", "sub/out.txt"}, .kind = setup::protected_regular, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true},
    {.name = "rename_across_devices", .input = unit(), .report = ok, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true, .inject = "renameat2:error=EXDEV"},
    {.name = "rename_refused", .input = unit(), .report = ok, .only = platform::linux_only, .prior = "old\r\n",
     .in_place = true, .inject = "renameat2:error=EPERM"},
    {.name = "old_report_without_rename_exchange", .input = unit(), .report = ok, .only = platform::linux_only,
     .prior = "old\r\n", .inject = "renameat2:error=EINVAL"},
    {.name = "report_on_file_system_without_free_inodes", .input = unit(), .report = ok,
     .args = {"in.fru", "sub/out.txt"}, .kind = setup::no_free_inodes, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true},
    {.name = "report_where_no_file_can_be_made", .input = unit(), .report = ok,
     .args = {"in.fru", "/proc/sys/kernel/hostname"}, .kind = setup::own_uts_namespace, .only = platform::linux_only,
     .in_place = true},
    {.name = "new_report_with_four_descriptors", .input = unit(), .report = ok, .kind = setup::four_descriptors,
     .only = platform::linux_only},
    {.name = "old_report_with_five_descriptors", .input = unit(), .report = ok, .kind = setup::five_descriptors,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true},
    {.name = "new_report_rename_failing", .input = unit(), .status = 1, .only = platform::linux_only,
     .inject = "renameat2:error=EIO"},
    {.name = "new_report_written_in_place_failing", .input = unit(), .status = 1, .only = platform::linux_only,
     .inject = "openat:error=EMFILE:when=5 write:error=ENOSPC"}, // the scratch file's open, out of descriptors
    {.name = "new_report_without_rename_noreplace", .input = unit(), .report = ok, .only = platform::linux_only,
     .inject = "renameat2:error=EINVAL"},
    {.name = "file_system_without_attributes", .input = unit(), .report = ok, .only = platform::linux_only,
     .prior = "old\r\n", .inject = "flistxattr:error=EOPNOTSUPP"},
    {.name = "acl_that_cannot_be_listed", .input = unit(), .report = ok, .kind = setup::acl_grant,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true, .inject = "flistxattr:error=EOPNOTSUPP"},
    {.name = "folder_flags_without_statx", .input = unit(), .report = ok, .only = platform::linux_only,
     .prior = "old\r\n", .inject = "statx:error=EPERM"},
    {.name = "file_system_without_flags", .input = unit(), .report = ok, .only = platform::linux_only,
     .prior = "old\r\n", .inject = "ioctl:error=ENOTTY"},
    {.name = "file_system_without_flags_saying_so_otherwise", .input = unit(), .report = ok,
     .kind = setup::attributes, .only = platform::linux_only, .prior = "old\r\n", .inject = "ioctl:error=EOPNOTSUPP"},
    {.name = "flags_unreadable", .input = unit(), .report = ok, .only = platform::linux_only, .prior = "old\r\n",
     .in_place = true, .inject = "ioctl:error=EPERM"},
    {.name = "flags_of_new_file_unreadable", .input = unit(), .report = ok, .kind = setup::flags,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true, .inject = "ioctl:error=ENOTTY:when=2"},
    {.name = "flags_refused", .input = unit(), .report = ok, .kind = setup::flags, .only = platform::linux_only,
     .prior = "old\r\n", .in_place = true, .inject = "ioctl:error=EPERM:when=3"},
    {.name = "attribute_list_refused", .input = unit(), .report = ok, .kind = setup::attributes,
     .only = platform::linux_only, .prior = "old\r\n", .in_place = true, .inject = "flistxattr:error=EPERM:when=2"},
    {.name = "attribute_list_out_of_memory", .input = unit(), .status = 1, .kind = setup::attributes,
     .only = platform::linux_only, .prior = "kept\r\n", .inject = "flistxattr:error=ENOMEM"},
    {.name = "attribute_copy_out_of_memory", .input = unit(), .status = 1, .kind = setup::attributes,
     .only = platform::linux_only, .prior = "kept\r\n", .inject = "fsetxattr:error=ENOMEM"},
};
// clang-format on

// A sanitizer's shadow memory is past any memory limit, and its leak check cannot run under strace.
#ifdef TESSOLIN_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

bool on_windows() {
  const char *name = std::getenv("TESSOLIN_PLATFORM");
  return name != nullptr && std::string(name) == "windows";
}

// Every run, and every file the harness makes, has umask 002: a new file then differs from
// what a mode other than 0666 would give it, which umask 022 would hide for 0644. Not under
// Wine, whose server makes the files with the umask it was started with, as this harness was.
const mode_t harness_umask = on_windows() ? ::umask(::umask(0)) : ::umask(002);

std::string banner() {
  const std::string end = on_windows() ? "\r\n" : "\n";
  const std::string rule(60, '=');
  return rule + end + "FRU exporting SN and Asset Tag to a file ver " TESSOLIN_BANNER_VERSION + end + end +
         "  tessolin [file_in] [file_out]" + end + end + "  example" + end +
         "    tessolin bmcfru.fru sn_at.txt" + end + rule + end;
}

void write_file(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Where the cases' folders go: TESSOLIN_CASES, else TMPDIR or /tmp.
fs::path cases_folder() {
  const char *folder = std::getenv("TESSOLIN_CASES");
  return folder != nullptr ? fs::path(folder) : fs::temp_directory_path();
}

// A fresh folder for one case, with an empty sub/ in it.
fs::path scratch_folder(const fs::path &top, const std::string &name) {
  const fs::path dir = top / ("tessolin-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  return dir;
}

// Everything about a file but its bytes and times, as text that a failed comparison shows.
std::string state_of(const fs::path &path) {
  struct stat link {};
  struct stat file {};
  if (::lstat(path.c_str(), &link) != 0) {
    return "absent";
  }
  std::ostringstream state;
  state << (S_ISLNK(link.st_mode) ? "symlink to " : "");
  if (::stat(path.c_str(), &file) != 0) {
    return state.str() + "nothing";
  }
  state << std::oct << "mode " << file.st_mode << std::dec << ", owner " << file.st_uid << ":" << file.st_gid
        << ", links " << file.st_nlink;
  std::string names(65536, '\0');
  const ssize_t size = ::listxattr(path.c_str(), names.data(), names.size());
  names.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  std::set<std::string> sorted;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    sorted.insert(&names[at]);
  }
  for (const std::string &name : sorted) {
    std::string value(65536, '\0');
    const ssize_t got = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
    value.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    // Wine 10 marks every file it makes "no DOS attributes", as a file without the mark has none.
    if (!on_windows() || name != "user.DOSATTRIB" || value != "0x0") {
      state << ", " << name << "=" << testing::PrintToString(value);
    }
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;
  if (fd >= 0 && S_ISREG(file.st_mode) && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    state << ", flags " << std::hex
          << (flags & (FS_FL_USER_MODIFIABLE | FS_NOCOMP_FL | FS_NOCOW_FL | FS_DAX_FL));
  }
  struct fsxattr extended {};
  if (fd >= 0 && S_ISREG(file.st_mode) && ::ioctl(fd, FS_IOC_FSGETXATTR, &extended) == 0) {
    state << ", project " << std::dec << extended.fsx_projid;
  }
  if (fd >= 0) {
    ::close(fd);
  }
  return state.str();
}

// What any new file in `folder` gets, as a plain open for writing would make it.
std::string new_file_state(const fs::path &folder) {
  const fs::path path = folder / "made-by-the-harness";
  ::close(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  std::string state = state_of(path);
  ::unlink(path.c_str());
  return state;
}

// An access ACL or a default ACL in the kernel's form, from (tag, permissions, id) entries.
std::string acl(std::initializer_list<std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>> entries) {
  std::string bytes(4, '\0');
  bytes[0] = 2; // version
  for (const auto &[tag, permissions, id] : entries) {
    const std::uint16_t fields[2] = {tag, permissions};
    bytes.append(reinterpret_cast<const char *>(fields), sizeof fields);
    bytes.append(reinterpret_cast<const char *>(&id), sizeof id);
  }
  return bytes;
}
enum : std::uint16_t { user_obj = 1, named_user = 2, group_obj = 4, mask = 0x10, other = 0x20 };
constexpr std::uint32_t no_id = 0xFFFFFFFF;
constexpr std::uint32_t nobody = 65534;

bool set_attribute(const fs::path &path, const char *name, const std::string &value) {
  return ::setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

bool set_flags(const fs::path &path, int flags) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const bool set = fd >= 0 && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return set;
}

bool set_project(const fs::path &path, unsigned int project) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct fsxattr extended {};
  bool set = fd >= 0 && ::ioctl(fd, FS_IOC_FSGETXATTR, &extended) == 0;
  extended.fsx_projid = project;
  extended.fsx_xflags |= fs::is_directory(path) ? FS_XFLAG_PROJINHERIT : 0U;
  set = set && ::ioctl(fd, FS_IOC_FSSETXATTR, &extended) == 0;
  ::close(fd);
  return set;
}

bool bind_mount(const fs::path &from, const fs::path &onto, bool read_only = false) {
  return ::mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         (!read_only ||
          ::mount(nullptr, onto.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0);
}

// A group of the caller's other than its own, or none.
std::optional<gid_t> other_group() {
  if (::geteuid() == 0) {
    return nobody;
  }
  std::vector<gid_t> groups(NGROUPS_MAX);
  groups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(NGROUPS_MAX, groups.data()))));
  const auto found =
      std::find_if(groups.begin(), groups.end(), [](gid_t group) { return group != ::getegid(); });
  return found == groups.end() ? std::nullopt : std::optional{*found};
}

// Feeds the input, then `filler` 'x' bytes, through a FIFO in chunks; then, once the tool has read
// them all, closes it, or keeps it open until the test is over.
std::jthread feed_fifo(const fs::path &path, const std::string &input, std::size_t filler, bool keep_open) {
  ::mkfifo(path.c_str(), 0600);
  // Its writer is there before the tool starts, as a program that pipes into it is: Wine opens a
  // FIFO without blocking, and would read one that nobody writes yet as empty. The harness's end
  // reads nothing; it goes once the tool has read all, or the case is over.
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  return std::jthread([fd, input, filler, keep_open](const std::stop_token &test_over) {
    const std::string chunk(1 << 20, 'x');
    for (std::size_t sent = 0, total = input.size() + filler; sent < total && !test_over.stop_requested();) {
      const std::string_view part = sent < input.size() ? std::string_view(input).substr(sent)
                                                        : std::string_view(chunk).substr(0, total - sent);
      if (const ssize_t wrote = ::write(fd, part.data(), part.size()); wrote > 0) {
        sent += static_cast<std::size_t>(wrote);
      } else { // full until the tool reads
        pollfd room{.fd = fd, .events = POLLOUT, .revents = 0};
        ::poll(&room, 1, 10);
      }
    }
    int unread = 0;
    while ((keep_open || (::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0)) &&
           !test_over.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
  });
}

// The paths of one case, and what prepare() started for it.
struct prepared {
  std::vector<std::string> args;
  fs::path input;
  fs::path output;
  std::jthread feeder;
  std::optional<std::string> protected_regular; // the setting to put back
  int held = -1;                                // a lock of another program's on the report
  fs::path tool;                                // a copy of the tool, for a row run as nobody
};

// Rows whose circumstance only an ordinary user meets: as root, they run the tool as nobody (on
// Windows Wine runs without root's power over permissions, tests/wine-sandbox.sh).
bool runs_as_nobody(setup kind) {
  return (kind == setup::unreadable || kind == setup::read_only_dir || kind == setup::read_only_report) &&
         ::geteuid() == 0 && !on_windows();
}

std::vector<std::string> split_command();

// Gives the case's folder to nobody, with a copy of the tool in it; a reason where that cannot be.
std::optional<std::string> give_to_nobody(const fs::path &dir, prepared &paths) {
  for (fs::path up = dir.parent_path(); up != up.root_path(); up = up.parent_path()) {
    struct stat folder {};
    if (::stat(up.c_str(), &folder) != 0 || (folder.st_mode & S_IXOTH) == 0) {
      return "nobody cannot reach " + up.string() + "; set TMPDIR to a folder it can";
    }
  }
  const std::vector<std::string> command = split_command();
  if (command.size() > 1) {
    return "as root, this row runs the tool as nobody, from a copy: not through another program that starts "
           "it";
  }
  paths.tool = dir / "tessolin";
  fs::copy_file(command[0], paths.tool);
  ::lchown(dir.c_str(), nobody, nobody);
  for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir)) {
    ::lchown(entry.path().c_str(), nobody, nobody);
  }
  return std::nullopt;
}

// An exclusive lock on `path`, made where it is missing, as a run writing it in place holds it.
int take_lock(const fs::path &path) {
  const int held = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  ::flock(held, LOCK_EX);
  return held;
}

// FILE_IN becomes a loop device over disk.img, which holds the input, and FILE_OUT another node of
// that device; the report is then the image, which must not change. Detached when the case is over.
// For a partition_alias, FILE_IN is a partition of the device, which holds the input from its second
// 4 KiB on, and FILE_OUT a node of the whole device; for a loop_over_input, FILE_IN is the image.
std::optional<std::string> attach_loop_device(const run_case &row, const fs::path &dir, prepared &paths) {
  const bool partition = row.kind == setup::partition_alias;
  const std::string sectors = row.input + std::string(4096 - row.input.size(), ' ');
  write_file(dir / "disk.img", partition ? std::string(4096, ' ') + sectors : sectors);
  const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  const int number = control < 0 ? -1 : ::ioctl(control, LOOP_CTL_GET_FREE);
  const std::string device = "/dev/loop" + std::to_string(number);
  const int loop = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
  const int image = ::open((dir / "disk.img").c_str(), O_RDWR | O_CLOEXEC);
  struct stat node {};
  const bool attached = ::ioctl(loop, LOOP_SET_FD, image) == 0;
  loop_info64 scan{};
  scan.lo_flags = LO_FLAGS_PARTSCAN;
  blkpg_partition part{};
  part.start = part.length = 4096;
  part.pno = 1;
  blkpg_ioctl_arg add{BLKPG_ADD_PARTITION, 0, sizeof part, &part};
  const bool made =
      attached && ::fstat(loop, &node) == 0 &&
      (!partition || (::ioctl(loop, LOOP_SET_STATUS64, &scan) == 0 && ::ioctl(loop, BLKPG, &add) == 0)) &&
      ::mknod((dir / "alias").c_str(), S_IFBLK | 0600, node.st_rdev) == 0;
  for (const int fd : {control, image, loop}) {
    ::close(fd); // the tool's close is then the device's last, which writes its cache through
  }
  if (attached) {
    paths.feeder = std::jthread([device](const std::stop_token &over) {
      while (!over.stop_requested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      const int detach = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
      ::ioctl(detach, LOOP_CLR_FD);
      ::close(detach);
    });
  }
  paths.args = row.kind == setup::loop_over_input
                   ? std::vector<std::string>{"disk.img", "alias"}
                   : std::vector<std::string>{partition ? device + "p1" : device, "alias"};
  paths.output = dir / "disk.img";
  return made ? std::nullopt
              : std::optional<std::string>{"only root can attach a loop device and make a node"};
}

// Sets up the case in `dir`: the input, the report as it was, and the circumstance the
// row names. A reason when the circumstance cannot be made here.
std::optional<std::string> prepare(const run_case &row, const fs::path &dir, prepared &paths) {
  paths.args = row.args;
  if (row.kind == setup::other_drive || row.kind == setup::long_form) {
    const bool long_form = row.kind == setup::long_form;
    paths.args[1] = (long_form ? "\\\\?\\Z:" : "Z:") + (dir / paths.args[long_form ? 1 : 0]).string();
    std::replace(paths.args[1].begin(), paths.args[1].end(), '/', '\\');
  }
  paths.input = dir / (paths.args.empty() ? "in.fru" : paths.args[0]);
  const bool guards_input = row.kind == setup::other_drive || row.kind == setup::swapped_during_read ||
                            row.kind == setup::folder_swapped || row.kind == setup::overlay_upper;
  paths.output = guards_input            ? paths.input
                 : paths.args.size() > 1 ? dir / (row.stored != nullptr ? row.stored : paths.args[1])
                                         : dir / "out.txt";
  const fs::path &out = paths.output;
  const bool root = ::geteuid() == 0;
  switch (row.kind) {
  case setup::missing:
  case setup::stdout_closed:
    return std::nullopt;
  case setup::directory:
    fs::create_directories(paths.input);
    return std::nullopt;
  case setup::fifo:
  case setup::open_fifo:
    paths.feeder = feed_fifo(paths.input, row.input, row.filler, row.kind == setup::open_fifo);
    return std::nullopt;
  default:
    break;
  }
  fs::create_directories(paths.input.parent_path());
  write_file(paths.input, row.input);
  if (row.kind == setup::symlink_to_longer || row.kind == setup::dangling_symlink) {
    fs::create_symlink(row.kind == setup::dangling_symlink ? "missing.txt" : "longer.txt", out);
  }
  if (row.prior != nullptr) {
    write_file(out, row.prior);
  }
  switch (row.kind) {
  case setup::out_symlink:
    fs::create_symlink("in.fru", out);
    break;
  case setup::out_hardlink: // of the file, for a stream
    fs::create_hard_link(paths.input, out.string().substr(0, out.string().find(':', dir.string().size())));
    break;
  case setup::unreadable:
    fs::permissions(paths.input, fs::perms::none);
    break;
  case setup::read_only_dir:
    fs::permissions(dir / "sub", fs::perms::owner_read | fs::perms::owner_exec);
    break;
  case setup::set_group_id:
    fs::permissions(out, fs::perms::set_gid | fs::perms::owner_read | fs::perms::owner_write |
                             fs::perms::group_read | fs::perms::others_read);
    break;
  case setup::private_report:
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write);
    break;
  case setup::read_only_report:
    fs::permissions(out, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    break;
  case setup::second_link:
  case setup::lock_held_masked:
    fs::create_hard_link(out, dir / "second-link.txt");
    paths.held = row.kind == setup::lock_held_masked ? take_lock(out) : -1;
    break;
  case setup::fifo_report:
    ::mkfifo(out.c_str(), 0600);
    break;
  case setup::made_during_rename: // while the row's strace holds the tool's rename for a second
    paths.feeder = std::jthread([&held = paths.held, out] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      held = take_lock(out);
    });
    break;
  case setup::overlay_upper:
    for (const char *layer : {"lower", "work", "merged"}) {
      fs::create_directories(dir / layer);
    }
    if (const std::string layers = "lowerdir=" + (dir / "lower").string() + ",upperdir=" +
                                   (dir / "upper").string() + ",workdir=" + (dir / "work").string();
        ::mount("tessolin", (dir / "merged").c_str(), "overlay", 0, layers.c_str()) != 0) {
      return "only root can mount an overlay, on a file system that can be its upper layer";
    }
    break;
  case setup::other_owner:
    if (!root || ::chown(out.c_str(), nobody, nobody) != 0) {
      return "only root can give a file to another user";
    }
    fs::permissions(out, fs::perms::all); // still writable by the caller
    break;
  case setup::other_group:
  case setup::other_group_set_id: {
    const std::optional<gid_t> group = other_group();
    if (!group || ::chown(out.c_str(), static_cast<uid_t>(-1), *group) != 0) {
      return "the caller has no other group to give the report";
    }
    if (row.kind == setup::other_group_set_id) {
      fs::permissions(out, fs::perms::set_gid | fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    }
    break;
  }
  case setup::acl_grant:
  case setup::acl_denial: {
    const bool grant = row.kind == setup::acl_grant;
    if (!set_attribute(out, "system.posix_acl_access",
                       acl({{user_obj, 6, no_id},
                            {named_user, grant ? 6 : 0, nobody},
                            {group_obj, grant ? 0 : 4, no_id},
                            {mask, grant ? 6 : 4, no_id},
                            {other, grant ? 0 : 4, no_id}}))) {
      return "the file system takes no ACLs";
    }
    break;
  }
  case setup::default_acl_folder: // after the old report was made, which it does not apply to
    if ((row.prior != nullptr && !set_attribute(out, "user.origin", "bay 7")) ||
        !set_attribute(dir / "sub", "system.posix_acl_default",
                       acl({{user_obj, 6, no_id},
                            {named_user, 4, nobody},
                            {group_obj, 4, no_id},
                            {mask, 4, no_id},
                            {other, 0, no_id}}))) {
      return "the file system takes no ACLs";
    }
    break;
  case setup::attributes:
    if (!set_attribute(out, "user.origin", "bay 7") ||
        (root && !set_attribute(out, "trusted.origin", "rack 3"))) {
      return "the file system takes no user or trusted attributes";
    }
    break;
  case setup::flags:
    if (!set_flags(out, FS_NODUMP_FL)) {
      return "the file system takes no flags";
    }
    break;
  case setup::append_only_folder:
  case setup::append_only_report:
    if (!root || !set_flags(row.kind == setup::append_only_report ? out : dir / "sub", FS_APPEND_FL)) {
      return "only root can make a file append-only, on a file system with flags";
    }
    break;
  case setup::protected_regular:
    fs::permissions(dir / "sub", fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
    paths.protected_regular = read_file("/proc/sys/fs/protected_regular");
    write_file("/proc/sys/fs/protected_regular", "2");
    if (!root || ::chown(out.c_str(), nobody, nobody) != 0 ||
        read_file("/proc/sys/fs/protected_regular") != "2\n") {
      return "only root can give a file to another user and set fs.protected_regular";
    }
    break;
  case setup::bind_mounted:
  case setup::bind_mounted_in_ro:
    write_file(dir / "host.txt", row.prior);
    if (!root || (row.kind == setup::bind_mounted_in_ro && !bind_mount(dir / "sub", dir / "sub", true)) ||
        !bind_mount(dir / "host.txt", out)) {
      return "only root can bind-mount, where mounts are allowed";
    }
    break;
  case setup::no_free_inodes:     // the folder and the report take the only two inodes
  case setup::full_file_system: { // or the report and a file of the harness's all of its 64 KiB
    const bool full = row.kind == setup::full_file_system;
    if (!root ||
        ::mount("tessolin", (dir / "sub").c_str(), "tmpfs", 0, full ? "size=64k" : "nr_inodes=2") != 0) {
      return "only root can mount a file system, where mounts are allowed";
    }
    if (row.prior != nullptr) {
      write_file(out, row.prior);
    }
    if (full) {
      write_file(dir / "sub/filler", std::string(1 << 20, 'f'));
    }
    break;
  }
  case setup::second_name:
    fs::create_hard_link(out, dir / ".out.txt.3141592653.tmp");
    break;
  case setup::hidden:
  case setup::scratch_held:
    set_attribute(out, "user.DOSATTRIB", "0x2"); // how Wine keeps the hidden attribute
    break;
  case setup::swapped_during_read: // while the row's strace holds a system call of the tool for a second
  case setup::folder_swapped:
  case setup::moved_onto_report:
    fs::create_directories(dir / "out");
    write_file(dir / (row.kind == setup::folder_swapped ? "out/in.fru" : "out.txt"), "old\r\n");
    paths.feeder = std::jthread([dir, kind = row.kind] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::error_code ignored; // a run that is over already fails the row by its status
      if (kind == setup::folder_swapped) {
        fs::rename(dir / "out", dir / "out.old", ignored);
        fs::create_directory_symlink("sub", dir / "out", ignored);
      } else if (kind == setup::moved_onto_report) {
        fs::rename(dir / "in.fru", dir / "out.txt", ignored);
      } else {
        fs::create_symlink("in.fru", dir / "swap", ignored);
        fs::rename(dir / "swap", dir / "out.txt", ignored);
      }
    });
    break;
  case setup::block_alias:
  case setup::partition_alias:
  case setup::loop_over_input:
    return attach_loop_device(row, dir, paths);
  case setup::write_only_report:
    fs::permissions(out, fs::perms::owner_write);
    break;
  case setup::nocow: // after the old report was made, which a folder's flags do not apply to
    if (!set_flags(out.parent_path() == dir ? out : dir / "sub", FS_NOCOW_FL)) {
      return "the file system has no copy-on-write to turn off";
    }
    break;
  case setup::project:
    if (!set_project(out.parent_path() == dir ? out : dir / "sub", 42)) {
      return "the file system has no project IDs";
    }
    break;
  case setup::own_uts_namespace:
  case setup::four_descriptors:
  case setup::five_descriptors:
    return row.kind == setup::own_uts_namespace && (!root || !fs::exists(row.args[1]))
               ? std::optional<std::string>{"only root may unshare, where /proc is mounted"}
               : std::nullopt;
  default:
    break;
  }
  return runs_as_nobody(row.kind) ? give_to_nobody(dir, paths) : std::nullopt;
}

// Undoes what prepare() did that would keep the case's folder from being removed, or that
// reaches beyond it.
void clean_up(const fs::path &dir, const prepared &paths) {
  ::close(paths.held);
  ::umount2((dir / "merged").c_str(), MNT_DETACH);
  ::umount2((dir / "sub/out.txt").c_str(), MNT_DETACH);
  ::umount2((dir / "sub").c_str(), MNT_DETACH);
  ::umount2((dir / "out.txt").c_str(), MNT_DETACH);
  if (paths.protected_regular) {
    write_file("/proc/sys/fs/protected_regular", *paths.protected_regular);
  }
  set_flags(dir / "sub", 0);
  set_flags(dir / "out.txt", 0);
  fs::permissions(dir / "sub", fs::perms::owner_all);
  fs::remove_all(dir);
}

std::vector<std::string> split_command() {
  const char *command = std::getenv("TESSOLIN_COMMAND");
  std::istringstream words(command != nullptr ? command : TESSOLIN_BUILT_COMMAND);
  std::vector<std::string> parts;
  for (std::string word; words >> word;) {
    parts.push_back(word);
  }
  return parts;
}

std::vector<std::string> tool_command(const std::vector<std::string> &args) {
  std::vector<std::string> words = split_command();
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// Whether the tool runs as an old kernel would (start_tool --old-kernel), which only installs a filter.
bool as_old_kernel() {
  const std::vector<std::string> words = split_command();
  return words.size() == 3 && words[0].ends_with("start_tool") && words[1] == "--old-kernel";
}

// Whether the tool starts through another program (an emulator, Wine, a chroot), which strace and
// a memory limit would hold too.
bool started_through_other_program() { return split_command().size() > 1 && !as_old_kernel(); }

// Whether `name` is a program on PATH.
bool on_path(const std::string &name) {
  std::istringstream folders(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (::access((fs::path(folder) / name).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

// Starts a command in `dir` with output in dir/stdout and dir/stderr, in the
// circumstances that `kind` asks for, and at most `memory` bytes of address space.
pid_t start_in(const fs::path &dir, std::vector<std::string> words, setup kind = setup::file,
               rlim_t memory = RLIM_INFINITY) {
  std::vector<char *> argv;
  for (std::string &word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  int pipe_ends[2] = {-1, -1};
  if (kind == setup::broken_pipe && ::pipe(pipe_ends) == 0) {
    ::close(pipe_ends[0]);
  }
  const std::string out_path = dir / "stdout"; // made before the fork: a child of a threaded
  const std::string err_path = dir / "stderr"; // program must not allocate
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = kind == setup::broken_pipe ? pipe_ends[1]
                                               : ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::chdir(dir.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
      ::_exit(127);
    }
    ::close_range(3, ~0U, 0);   // as a shell starts it, whatever the harness was given
    ::signal(SIGPIPE, SIG_DFL); // as a shell would start it, whatever the harness ignores
    const rlimit none{0, 0};
    const rlimit small{64 << 10, 64 << 10};
    const rlim_t few = kind == setup::four_descriptors ? 4 : 5;
    const rlimit descriptors{few, few};
    const rlimit address_space{memory, memory};
    sigset_t alarm{};
    ::sigemptyset(&alarm);
    ::sigaddset(&alarm, SIGALRM);
    if ((kind == setup::stdin_closed && ::close(0) != 0) ||
        (kind == setup::lock_held_masked && ::sigprocmask(SIG_BLOCK, &alarm, nullptr) != 0) ||
        (runs_as_nobody(kind) &&
         (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) ||
        (kind == setup::stdout_closed && ::close(1) != 0) ||
        (kind == setup::no_file_size && ::setrlimit(RLIMIT_FSIZE, &none) != 0) ||
        (kind == setup::small_stack && ::setrlimit(RLIMIT_STACK, &small) != 0) ||
        ((kind == setup::four_descriptors || kind == setup::five_descriptors) &&
         ::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) ||
        (kind == setup::own_uts_namespace && ::unshare(CLONE_NEWUTS) != 0) ||
        (memory != RLIM_INFINITY && ::setrlimit(RLIMIT_AS, &address_space) != 0)) {
      ::_exit(127);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (pipe_ends[1] >= 0) {
    ::close(pipe_ends[1]);
  }
  return child;
}

// Seconds of CPU time that the process `pid` has used so far, as /proc tells.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string fields{std::istreambuf_iterator<char>(stat), {}};
  std::istringstream after_name(fields.substr(std::min(fields.size(), fields.rfind(')') + 1)));
  std::string field;
  for (int number = 3; number <= 13; ++number) { // the state, and the fields up to utime
    after_name >> field;
  }
  unsigned long long user = 0;
  unsigned long long system = 0;
  after_name >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The exit status of a started command, or -1 when it did not exit by itself (then it is killed):
// after 30 s of its own CPU time, a run that spins, or 5 minutes, a run that waits for ever. Both
// are far beyond any run however loaded the machine is, so that a row fails on a hang alone.
int wait_for(pid_t child) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  for (int tick = 0; ::waitpid(child, &status, WNOHANG) == 0; ++tick) {
    if (std::chrono::steady_clock::now() > deadline || (tick % 100 == 0 && cpu_seconds(child) > 30)) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_in(const fs::path &dir, std::vector<std::string> words, setup kind = setup::file) {
  return wait_for(start_in(dir, std::move(words), kind));
}

// Why the running test cannot run here, noted for the list at the end of the run (in the file
// TESSOLIN_SKIPPED names), to hand to GTEST_SKIP.
std::string noted(const std::string &why) {
  if (const char *list = std::getenv("TESSOLIN_SKIPPED")) {
    const testing::TestInfo &test = *testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test.test_suite_name()) + "." + test.name();
    std::ofstream(list, std::ios::app)
        << name.substr(name.starts_with("Table/") ? 15 : 0) << ": " << why << "\n";
  }
  return why;
}

class Run : public testing::TestWithParam<run_case> {
protected:
  // A build whose tool cannot start on this host (TESSOLIN_SKIP says why) has every case skipped.
  void SetUp() override {
    if (const char *why = std::getenv("TESSOLIN_SKIP")) {
      GTEST_SKIP() << noted(why);
    }
  }
};

TEST_P(Run, Case) {
  const run_case &row = GetParam();
  const bool limited = row.kind == setup::four_descriptors || row.kind == setup::five_descriptors;
  if ((row.inject != nullptr || limited) &&
      (started_through_other_program() || sanitized || !on_path("strace"))) {
    GTEST_SKIP() << noted("needs strace, and the tool run without an emulator or a sanitizer");
  }
  if (row.inject != nullptr && std::string_view(row.inject).find("when=") != std::string_view::npos &&
      as_old_kernel()) {
    GTEST_SKIP() << noted("counts the tool's system calls, which come in another order on an old kernel");
  }
  // Wine reaches its drive_c as C: and, through the root of the file system, as Z: too.
  const char *wine_prefix = std::getenv("WINEPREFIX");
  const fs::path dir = scratch_folder(
      row.kind == setup::other_drive ? fs::path(wine_prefix) / "drive_c" : cases_folder(), row.name);
  prepared paths;
  if (const std::optional<std::string> reason = prepare(row, dir, paths)) {
    clean_up(dir, paths);
    GTEST_SKIP() << noted(*reason);
  }
  const fs::path &output = paths.output;
  const std::optional<std::string> before = read_file(output);
  std::string state_before = state_of(output);
  if (row.kind == setup::second_name) { // it goes with the old report
    state_before.replace(state_before.find("links 2"), 7, "links 1");
  }
  struct stat file_before {};
  const bool existed = ::stat(output.c_str(), &file_before) == 0 && S_ISREG(file_before.st_mode);
  std::vector<std::string> command = tool_command(paths.args);
  if (!paths.tool.empty()) {
    command.front() = paths.tool;
  }
  if (row.inject != nullptr) {
    std::vector<std::string> tracer = {"strace", "-f", "-qq", "-o", "/dev/null"};
    std::istringstream faults(row.inject);
    for (std::string fault; faults >> fault;) {
      tracer.insert(tracer.end(), {"-e", "inject=" + fault});
    }
    command.insert(command.begin(), tracer.begin(), tracer.end());
  }

  // Another program, which holds the new scratch file as a virus scanner would, or the report:
  // the run starts once it looks for the one, or holds the other. A hold that must outlast the
  // run's wait is a minute long and ends with the run, however slowly a loaded machine starts it.
  const std::map<setup, std::vector<std::string>> holds = {
      {setup::scratch_held, {"..\\.out.txt.*.tmp", "700"}},
      {setup::report_held_briefly, {"..\\out.txt", "200"}},
      {setup::report_held, {"..\\out.txt", "60000"}},
      {setup::report_locked, {"..\\out.txt", "60000", "lock"}}};
  pid_t holder = -1;
  if (holds.contains(row.kind)) {
    std::vector<std::string> words = split_command();
    ASSERT_NE(std::getenv("TESSOLIN_HOLDER"), nullptr) << "the Windows tests name the helper";
    words.back() = std::getenv("TESSOLIN_HOLDER");
    words.insert(words.end(), holds.at(row.kind).begin(), holds.at(row.kind).end());
    holder = start_in(dir / "sub", words);
    const char *said = row.kind == setup::scratch_held ? "ready" : "held";
    for (int waited = 0;
         waited < 300'000 && read_file(dir / "sub/stdout").value_or("").find(said) == std::string::npos;
         ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const int status = run_in(dir, command, row.kind);
  if (holder > 0) {
    ::kill(holder, SIGKILL);
    wait_for(holder);
  }
  paths.feeder.request_stop(); // whatever it does to the case's files is done before they are checked
  if (paths.feeder.joinable()) {
    paths.feeder.join();
  }

  EXPECT_EQ(status, row.status);
  EXPECT_EQ(read_file(dir / "stdout").value_or(""), row.banner ? banner() : "");
  EXPECT_EQ(read_file(dir / "stderr").value_or("?"), "");
  if (output.parent_path() != "/dev" && !output.string().starts_with("/proc/")) {
    const bool made = status == 0 && !before; // through a symbolic link to nothing, maybe
    const std::string link = state_before.starts_with("symlink") ? "symlink to " : "";
    EXPECT_EQ(state_of(output),
              made ? link + new_file_state(fs::canonical(output).parent_path()) : state_before)
        << "what the caller set up must stay as it was";
    if (row.kind == setup::write_only_report) {
      fs::permissions(output, fs::perms::owner_read, fs::perm_options::add);
    }
    EXPECT_EQ(read_file(output), row.report ? row.report : before) << "report " << output;
  }
  struct stat file_after {};
  if (status == 0 && existed && row.in_place && ::stat(output.c_str(), &file_after) == 0) {
    EXPECT_EQ(file_after.st_ino == file_before.st_ino, *row.in_place)
        << (*row.in_place ? "must be written in place" : "must be replaced whole");
  }
  if (row.stored != nullptr) {
    EXPECT_FALSE(fs::exists(dir / fs::path(paths.args[1]).filename().string()))
        << "the report must keep its stored name";
  }
  if (row.kind == setup::file || row.kind == setup::other_drive || row.kind == setup::long_form) {
    EXPECT_EQ(read_file(paths.input), row.input) << "the input must never change";
  }
  for (const fs::path &folder : {dir, dir / "sub"}) {
    for (const fs::directory_entry &entry : fs::directory_iterator(folder)) {
      struct stat left {};
      if (row.status < 0 && entry.path().filename().string()[0] == '.' &&
          ::stat(entry.path().c_str(), &left) == 0) {
        EXPECT_EQ(left.st_mode & ~file_before.st_mode & 0777, 0U)
            << "more open than the report: " << entry.path();
        continue; // a killed run may leave its copy behind
      }
      EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
    }
  }
  if (!row.report) {
    EXPECT_FALSE(fs::exists(dir / "nodir"));
  }
  clean_up(dir, paths);
}

// A script sees the tool's status: the shell script on Linux, with tessolin on PATH as a wrapper
// that starts the build under test; the batch file on Windows, in %ERRORLEVEL%.
TEST_F(Run, ScriptClient) {
  std::vector<std::string> command = split_command(); // an emulator or Wine first, maybe
  const fs::path dir = scratch_folder(cases_folder(), "script");
  const bool windows = on_windows();
  const std::string script = windows ? "export-unit.bat" : "export-unit.sh";
  fs::copy_file(examples() / script, dir / script);
  if (windows) {
    fs::copy_file(command.back(), dir / "tessolin.exe");
    command.back() = "cmd";
    command.emplace_back("/c");
  } else {
    std::string wrapper = "#!/bin/sh\nexec";
    for (const std::string &word : command) {
      wrapper += " '" + word + "'";
    }
    write_file(dir / "sub/tessolin", wrapper + " \"$@\"\n");
    fs::permissions(dir / "sub/tessolin", fs::perms::owner_all);
    command = {"env", "PATH=" + (dir / "sub").string() + ":" + std::getenv("PATH"), "sh"};
  }
  write_file(dir / "unit.fru", unit());
  write_file(dir / "board-only.fru", "_SEE_BOARD 01 " + twelve + "\"SN123\" x \"AT9\"");
  const std::string end = windows ? "\r\n" : "\n";
  for (const auto &[fru, status, said] :
       {std::tuple{"unit.fru", 0, "tessolin exit status 0: report written to sn_at.txt"},
        std::tuple{"board-only.fru", 1, "tessolin exit status 1: no report for board-only.fru"}}) {
    std::vector<std::string> words = command;
    words.insert(words.end(), {script, fru, "sn_at.txt"});
    EXPECT_EQ(run_in(dir, words), status) << fru << ": " << read_file(dir / "stderr").value_or("");
    EXPECT_EQ(read_file(dir / "stdout"), said + end) << fru;
  }
  EXPECT_EQ(read_file(dir / "sn_at.txt"), ok);
  fs::remove_all(dir);
}

// Two runs writing one report at once leave one run's whole report, and nothing else.
TEST_F(Run, ConcurrentRunsLeaveOneWholeReport) {
  const fs::path dir = scratch_folder(cases_folder(), "concurrent");
  const std::string value(100, 'L');
  write_file(dir / "short.fru", unit());
  write_file(dir / "long.fru", unit('"' + value + '"', '"' + value + '"'));
  const int pairs = on_windows() ? 10 : 200; // a run under Wine takes a hundred times longer
  for (int pair = 0; pair < pairs; ++pair) {
    if (pair == pairs / 2) { // from here on, written in place
      fs::create_hard_link(dir / "out.txt", dir / "second-link.txt");
    }
    const pid_t one = start_in(dir, tool_command({"short.fru", "out.txt"}));
    const pid_t other = start_in(dir, tool_command({"long.fru", "out.txt"}));
    ASSERT_EQ(wait_for(one), 0);
    ASSERT_EQ(wait_for(other), 0);
    const std::string got = read_file(dir / "out.txt").value_or("");
    ASSERT_TRUE(got == ok || got == report(value, value)) << "round " << pair << ": " << got;
  }
  // Then many at once. On Linux 300 on the report written in place, queued behind a lock held
  // for a second: each waits its turn, and none gives up. On Windows six at a time, in 80 rounds,
  // on a report replaced whole: the first round without a report, then on a hidden one.
  const bool windows = on_windows();
  if (windows) {
    fs::remove(dir / "second-link.txt");
    fs::remove(dir / "out.txt");
  }
  for (int round = 0; round < (windows ? 80 : 1); ++round) {
    if (windows && round == 1) {
      set_attribute(dir / "out.txt", "user.DOSATTRIB", "0x2"); // how Wine keeps the hidden attribute
    }
    int held = windows ? -1 : ::open((dir / "out.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ::flock(held, LOCK_EX);
    const auto release = std::chrono::steady_clock::now() + std::chrono::seconds(windows ? 0 : 1);
    std::vector<pid_t> runs;
    for (int run = 0; run < (windows ? 6 : 300); ++run) {
      runs.push_back(start_in(dir, tool_command({run % 2 == 0 ? "short.fru" : "long.fru", "out.txt"})));
      if (held >= 0 && std::chrono::steady_clock::now() > release) {
        ::close(std::exchange(held, -1));
      }
    }
    std::this_thread::sleep_until(release);
    ::close(held);
    for (const pid_t run : runs) {
      EXPECT_EQ(wait_for(run), 0) << "round " << round;
    }
    const std::string got = read_file(dir / "out.txt").value_or("");
    ASSERT_TRUE(got == ok || got == report(value, value)) << "round " << round << ": " << got;
    const bool hidden = state_of(dir / "out.txt").find("user.DOSATTRIB=\"0x2\"") != std::string::npos;
    ASSERT_TRUE(!windows || round == 0 || hidden) << "round " << round << ": the report is no longer hidden";
  }
  std::set<std::string> names;
  for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    names.insert(name);
  }
  names.erase("second-link.txt");
  EXPECT_EQ(names, (std::set<std::string>{"long.fru", "out.txt", "short.fru", "stderr", "stdout", "sub"}));
  fs::remove_all(dir);
}

// Under every limit on its memory, a run either works or ends with status 1 and leaves the
// report as it was, silently; only the dynamic loader may fail before the tool starts. A test of
// the Linux builds: on Windows the limit would hold Wine.
TEST_F(Run, ShortOfMemory) {
  if (split_command().size() > 1 || sanitized) {
    GTEST_SKIP() << noted("the limit would hold the emulator or the sanitizer, not only the tool");
  }
  const fs::path dir = scratch_folder(cases_folder(), "memory");
  write_file(dir / "in.fru", unit());
  std::set<int> statuses;
  for (rlim_t limit = 1 << 20; limit < 8 << 20 && !statuses.contains(0); limit += 8 << 10) {
    write_file(dir / "out.txt", "kept\r\n");
    const int status = wait_for(start_in(dir, tool_command({"in.fru", "out.txt"}), setup::file, limit));
    const std::string said = read_file(dir / "stderr").value_or("");
    const bool loader_failed = said.find("while loading shared libraries") != std::string::npos ||
                               said.starts_with("cannot allocate TLS data structures");
    if (status == 127 && loader_failed) {
      continue;
    }
    statuses.insert(status);
    EXPECT_EQ(said, "") << "limit " << limit;
    EXPECT_EQ(read_file(dir / "out.txt"), status == 0 ? ok : "kept\r\n") << "limit " << limit;
    EXPECT_TRUE(status == 0 || status == 1) << "limit " << limit << ": status " << status;
  }
  EXPECT_EQ(statuses, (std::set<int>{0, 1})) << "some limit must let the tool start but not finish";
  std::set<std::string> names;
  for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"in.fru", "out.txt", "stderr", "stdout", "sub"}));
  fs::remove_all(dir);
}

// The rows that apply here: a row of one platform alone is no test on the other.
std::vector<run_case> rows_here() {
  std::vector<run_case> rows;
  const platform other = on_windows() ? platform::linux_only : platform::windows_only;
  std::copy_if(std::begin(cases), std::end(cases), std::back_inserter(rows),
               [other](const run_case &row) { return row.only != other; });
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, Run, testing::ValuesIn(rows_here()),
                         [](const testing::TestParamInfo<run_case> &row) {
                           return std::string(row.param.name);
                         });

} // namespace
