// End-to-end cases: each row runs the built tool in a fresh directory and checks
// its exit status, both output streams, and the exact bytes of the report.
// TESSOLIN_COMMAND is the command line that starts the tool (a prefix such as
// "wine" included); TESSOLIN_PLATFORM says whose expectations apply.
#include "fru_scan.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

enum class setup {
  file,          // the input is written to the file named by the first argument
  missing,       // no input file
  directory,     // the first argument names a directory
  fifo,          // the input is fed through a FIFO by another thread
  open_fifo,     // the same, and the writer keeps the FIFO open until the tool has ended
  out_symlink,   // out.txt is a symbolic link to the input
  out_hardlink,  // out.txt is a hard link to the input
  unreadable,    // the input exists but may not be read
  read_only_dir, // the report's directory may not be written
  stdout_closed, // the tool starts with standard output closed
  broken_pipe,   // standard output is a pipe that nobody reads
  no_file_size,  // the tool may not write a single byte to any file
  small_stack,   // the tool starts with a 64 KiB stack
  other_drive    // FILE_OUT names FILE_IN through another drive letter (Windows)
};

struct run_case {
  const char *name;
  std::string input;
  std::vector<std::string> args;
  int status;
  std::optional<std::string> report; // expected bytes of the report; none: left as it was
  bool banner = false;
  setup kind = setup::file;
  platform only = platform::both;
  const char *prior = nullptr; // report content before the run
  std::size_t filler = 0;      // this many 'x' bytes streamed after the input (fifo)
};

// Test names are enough in ctest's listing; the bytes of a row are not.
void PrintTo(const run_case &row, std::ostream *out) { *out << row.name; }

const std::vector<std::string> in_out{"in.fru", "out.txt"};

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

std::string example(const char *name) { return read_file(fs::path(TESSOLIN_EXAMPLES) / name).value_or("?"); }

// Pads `text` with spaces so that `piece` in it starts 3 bytes before the end of the tool's first read.
std::string across_block_end(const std::string &text, const std::string &piece) {
  return std::string(tessolin::read_size - 3 - text.find(piece), ' ') + text;
}

const std::string unicode = "ünïcødé-報告"; // outside any console code page
const std::string twelve = "01 a b c d e f g h i j k ";
const std::string ok = report("SN123", "AT9");

// One row per case.
// clang-format off
const run_case cases[] = {
    // Well-formed descriptions
    {"example", unit(), in_out, 0, ok},
    {"shipped_example", example("bmcfru.fru"), in_out, 0, report("NWR120K4410023", "DC3-R07-U21")},
    {"shipped_crlf_example", example("crlf-unit.fru"), in_out, 0, report("BFT300-9H2K7Q", "To_Be_Filled_By_O.E.M.")},
    {"crlf_line_ends", crlf(unit()), in_out, 0, ok},
    {"every_whitespace_byte", after_marker("\v01\fa\rb\tc\nd e f g h i j k \"SN123\"\v\fx\r\n\"AT9\"\t"), in_out, 0, ok},
    {"no_whitespace_after_last_field", after_marker(twelve + "\"SN123\" x \"AT9\""), in_out, 0, ok},
    {"marker_first_token", product("\"SN123\"", "\"AT9\""), in_out, 0, ok},
    {"tokens_counted_across_lines", after_marker("01\n\na\r\nb c\nd e f g h i j k\n\"SN123\"\nx\n\"AT9\""),
     in_out, 0, ok},
    {"first_marker_wins",
     after_marker("01 _SEE_PRODUCT b c d e f g h i j k \"SN123\" x \"AT9\" _SEE_PRODUCT"), in_out, 0, ok},
    {"near_misses_skipped",
     "_SEE_PRODUCTS x_SEE_PRODUCT _see_product \"_SEE_PRODUCT\" _SEE_PRODUC\n" + unit(), in_out, 0, ok},
    {"enclosing_bytes_dropped", unit("[SN123)", "xAT9y"), in_out, 0, ok},
    {"two_byte_fields_are_empty", unit("\"\"", "''"), in_out, 0, report("", "")},
    {"high_bytes_pass_through", unit("\"\xC3\xBC\xFF\x80\"", "\"\xE5\xA0\xB1\""), in_out, 0,
     report("\xC3\xBC\xFF\x80", "\xE5\xA0\xB1")},
    {"percent_written_as_is", unit("\"%s%n%%\"", "\"100%\""), in_out, 0, report("%s%n%%", "100%")},
    {"placeholders_verbatim", unit("\"To_Be_Filled_By_O.E.M.\"", "\"\""), in_out, 0,
     report("To_Be_Filled_By_O.E.M.", "")},
    {"zero_byte_ends_token_text", unit(std::string("\"SN1\0junk", 9), "\"AT9\""), in_out, 0,
     report("SN", "AT9")},
    {"zero_byte_ends_marker_text", std::string("_SEE_PRODUCT\0junk ", 18) + twelve + "\"SN123\" x \"AT9\"",
     in_out, 0, ok},
    {"old_report_replaced", unit(), in_out, 0, ok, false, setup::file, platform::both,
     "old report, longer than the new one\r\n"},
    {"hyphen_path_is_a_file", unit(), {"-in.fru", "-out.txt"}, 0, ok},
    {"unicode_paths", unit(), {unicode + ".fru", unicode + ".txt"}, 0, ok},
    {"fifo_input", unit(), in_out, 0, ok, false, setup::fifo},
    {"fifo_left_open_after_the_fields", unit(), in_out, 0, ok, false, setup::open_fifo},
    // Token lengths at the buffer's edges
    {"field_tokens_of_127_bytes", unit(quoted(127), quoted(126)), in_out, 0,
     report(std::string(125, 'v'), std::string(124, 'v'))},
    {"passed_over_tokens_of_128_and_100000_bytes",
     after_marker("01 " + std::string(128, 'p') + " b c d e f g h i j " + std::string(100000, 'p') +
                  " \"SN123\" x \"AT9\""),
     in_out, 0, ok},
    {"serial_token_of_128_bytes", unit(quoted(128)), in_out, 1, std::nullopt},
    {"asset_token_of_100000_bytes", unit("\"SN123\"", quoted(100000)), in_out, 1, std::nullopt},
    {"marker_across_block_end", across_block_end(unit(), "_SEE_PRODUCT"), in_out, 0, ok},
    {"serial_across_block_end", across_block_end(unit(), "\"SN123"), in_out, 0, ok},
    {"asset_tag_across_block_end", across_block_end(unit(), "\"AT9"), in_out, 0, ok},
    {"near_misses_across_block_end",
     across_block_end("x_SEE_PRODUCT _SEE_PRODUCTS " + unit(), "_SEE_PRODUCT "), in_out, 0, ok},
    {"marker_glued_to_previous_block",
     std::string(tessolin::read_size - 3, 'y') + product("\"SN123\"", "\"AT9\""), in_out, 1, std::nullopt},
    {"asset_tag_ends_in_second_read",
     std::string(tessolin::read_size + 1 - after_marker(twelve + "\"SN123\" x \"AT9\"").size(), ' ') +
         after_marker(twelve + "\"SN123\" x \"AT9\""),
     in_out, 0, ok},
    {"marker_in_127_byte_token",
     std::string("_SEE_PRODUCT\0", 13) + std::string(114, 'p') + " " + twelve + "\"SN123\" x \"AT9\"", in_out,
     0, ok},
    {"marker_in_128_byte_token",
     std::string("_SEE_PRODUCT\0", 13) + std::string(115, 'p') + " " + twelve + "\"SN123\" x \"AT9\"", in_out,
     1, std::nullopt},
    {"serial_token_of_100_MB", after_marker(twelve), in_out, 1, std::nullopt, false, setup::fifo,
     platform::both, nullptr, 100'000'000},
    {"one_token_of_1_GiB", "_SEE_PRODUCT", in_out, 1, std::nullopt, false, setup::fifo, platform::both,
     nullptr, std::size_t{1} << 30},
    // Missing or malformed fields leave the report as it was
    {"empty_input", "", in_out, 1, std::nullopt},
    {"only_whitespace", " \t\r\n\v\f \n", in_out, 1, std::nullopt, false, setup::file, platform::both,
     "kept\r\n"},
    {"binary_data",
     std::string("\x7f"
                 "ELF\x02\x01\x00\x00_SEE\xff\xfe PRODUCT\x00\x01",
                 22),
     in_out, 1, std::nullopt},
    {"no_marker", "_SEE_BOARD 01 " + twelve + "\"SN123\" x \"AT9\"", in_out, 1, std::nullopt, false,
     setup::file, platform::both, "kept\r\n"},
    {"input_ends_after_marker", "board _SEE_PRODUCT\n", in_out, 1, std::nullopt},
    {"input_ends_after_serial", after_marker(twelve + "\"SN123\""), in_out, 1, std::nullopt},
    {"input_ends_before_asset_tag", after_marker(twelve + "\"SN123\" x"), in_out, 1, std::nullopt},
    {"one_byte_serial", unit("x"), in_out, 1, std::nullopt},
    {"zero_first_byte_asset", unit("\"SN123\"", std::string("\0AT9\"", 5)), in_out, 1, std::nullopt},
    // Command line and files
    {"no_arguments", "", {}, 1, std::nullopt, true},
    {"one_argument", "", {"in.fru"}, 1, std::nullopt, true},
    {"three_arguments", unit(), {"in.fru", "out.txt", "extra"}, 1, std::nullopt, true},
    {"lone_hyphen_argument", "", {"-h"}, 1, std::nullopt, true},
    {"banner_with_stdout_closed", "", {}, 1, std::nullopt, false, setup::stdout_closed},
    {"missing_input", "", in_out, 1, std::nullopt, false, setup::missing},
    {"directory_as_input", "", in_out, 1, std::nullopt, false, setup::directory},
    {"report_in_missing_directory", unit(), {"in.fru", "nodir/out.txt"}, 1, std::nullopt},
    {"report_under_a_regular_file", unit(), {"in.fru", "in.fru/out.txt"}, 1, std::nullopt},
    {"unreadable_input", unit(), in_out, 1, std::nullopt, false, setup::unreadable},
    {"report_in_read_only_directory",
     unit(),
     {"in.fru", "sub/out.txt"},
     1,
     std::nullopt,
     false,
     setup::read_only_dir},
    {"report_is_a_directory", unit(), {"in.fru", "."}, 1, std::nullopt},
    {"report_on_full_disk",
     unit(),
     {"in.fru", "/dev/full"},
     1,
     std::nullopt,
     false,
     setup::file,
     platform::linux_only},
    {"report_is_the_input", unit(), {"in.fru", "in.fru"}, 1, std::nullopt},
    {"report_is_the_input_by_other_path", unit(), {"in.fru", "./sub/../in.fru"}, 1, std::nullopt},
    {"report_links_to_input", unit(), {"in.fru", "link.bat"}, 1, std::nullopt, false, setup::out_symlink},
    {"report_hard_links_to_input", unit(), {"in.fru", "unit.cmd"}, 1, std::nullopt, false, setup::out_hardlink},
    {"report_is_the_input_by_other_drive", unit(), in_out, 1, std::nullopt, false, setup::other_drive,
     platform::windows_only},
    {"banner_into_closed_pipe", "", {}, 1, std::nullopt, false, setup::broken_pipe},
    {"report_to_stdout_into_closed_pipe", unit(), {"in.fru", "/dev/stdout"}, 1, std::nullopt, false,
     setup::broken_pipe, platform::linux_only},
    {"old_report_kept_past_file_size_limit", unit(), in_out, 1, std::nullopt, false, setup::no_file_size,
     platform::linux_only, "kept\r\n"},
    {"no_report_made_past_file_size_limit", unit(), in_out, 1, std::nullopt, false, setup::no_file_size,
     platform::linux_only},
    {"small_stack", unit(), in_out, 0, ok, false, setup::small_stack, platform::linux_only},
    {"report_is_the_input_in_other_case",
     unit(),
     {"in.fru", "IN.FRU"},
     1,
     std::nullopt,
     false,
     setup::file,
     platform::windows_only},
    {"report_is_the_input_with_backslash",
     unit(),
     {"sub/in.fru", "sub\\in.fru"},
     1,
     std::nullopt,
     false,
     setup::file,
     platform::windows_only},
};
// clang-format on

bool on_windows() {
  const char *name = std::getenv("TESSOLIN_PLATFORM");
  return name != nullptr && std::string(name) == "windows";
}

std::string banner() {
  const std::string end = on_windows() ? "\r\n" : "\n";
  const std::string rule(60, '=');
  return rule + end + "FRU exporting SN and Asset Tag to a file ver 0.1" + end + end +
         "  tessolin [file_in] [file_out]" + end + end + "  example" + end +
         "    tessolin bmcfru.fru sn_at.txt" + end + rule + end;
}

void write_file(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Feeds the input, then `filler` 'x' bytes, through a FIFO in chunks; then
// closes it, or keeps it open until the test is over.
std::jthread feed_fifo(const fs::path &path, const std::string &input, std::size_t filler, bool keep_open) {
  ::mkfifo(path.c_str(), 0600);
  ::signal(SIGPIPE, SIG_IGN); // a tool that stops reading early must not end the harness
  return std::jthread([path, input, filler, keep_open](const std::stop_token &test_over) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const std::string chunk(1 << 20, 'x');
    bool open = ::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
    for (std::size_t left = filler; open && left > 0;) {
      const std::size_t part = std::min(left, chunk.size());
      open = ::write(fd, chunk.data(), part) == static_cast<ssize_t>(part);
      left -= part;
    }
    while (keep_open && !test_over.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
  });
}

std::vector<std::string> split_command() {
  const char *command = std::getenv("TESSOLIN_COMMAND");
  std::istringstream words(command != nullptr ? command : "");
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

// Starts a command in `dir` with output in dir/stdout and dir/stderr, in the
// circumstances that `kind` asks for.
pid_t start_in(const fs::path &dir, std::vector<std::string> words, setup kind = setup::file) {
  std::vector<char *> argv;
  for (std::string &word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  int pipe_ends[2] = {-1, -1};
  if (kind == setup::broken_pipe && ::pipe(pipe_ends) == 0) {
    ::close(pipe_ends[0]);
  }
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = kind == setup::broken_pipe
                        ? pipe_ends[1]
                        : ::open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::chdir(dir.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
      ::_exit(127);
    }
    ::close(out);
    ::close(err);
    ::signal(SIGPIPE, SIG_DFL); // as a shell would start it, whatever the harness ignores
    const rlimit none{0, 0};
    const rlimit small{64 << 10, 64 << 10};
    if ((kind == setup::stdout_closed && ::close(1) != 0) ||
        (kind == setup::no_file_size && ::setrlimit(RLIMIT_FSIZE, &none) != 0) ||
        (kind == setup::small_stack && ::setrlimit(RLIMIT_STACK, &small) != 0)) {
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

// The exit status of a started command, or -1 when it did not exit by itself
// within 30 seconds (then it is killed), so that a run that hangs fails the row.
int wait_for(pid_t child) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
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

class Run : public testing::TestWithParam<run_case> {};

TEST_P(Run, Case) {
  const run_case &row = GetParam();
  if (row.only == platform::linux_only && on_windows()) {
    GTEST_SKIP() << row.name << ": no such file on Windows";
  }
  if (row.only == platform::windows_only && !on_windows()) {
    GTEST_SKIP() << row.name << ": the same path names another file off Windows";
  }
  if ((row.kind == setup::unreadable || row.kind == setup::read_only_dir) && ::geteuid() == 0) {
    GTEST_SKIP() << row.name << ": root may read and write any file; run the tests as a user to check this";
  }
  // Wine reaches its drive_c as C: and, through the root of the file system, as Z: too.
  const char *wine_prefix = std::getenv("WINEPREFIX");
  const fs::path top =
      row.kind == setup::other_drive ? fs::path(wine_prefix) / "drive_c" : fs::temp_directory_path();
  const fs::path dir = top / ("tessolin-" + std::to_string(::getpid()) + "-" + row.name);
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  std::vector<std::string> args = row.args;
  if (row.kind == setup::other_drive) {
    args[1] = "Z:" + (dir / args[0]).string();
    std::replace(args[1].begin(), args[1].end(), '/', '\\');
  }
  const fs::path input = dir / (args.empty() ? "in.fru" : args[0]);
  const fs::path output = args.size() > 1 && row.kind != setup::other_drive ? dir / args[1] : input;
  std::jthread feeder;
  switch (row.kind) {
  case setup::file:
  case setup::other_drive:
  case setup::no_file_size:
  case setup::small_stack:
  case setup::broken_pipe:
  case setup::out_symlink:
  case setup::out_hardlink:
  case setup::unreadable:
  case setup::read_only_dir:
    fs::create_directories(input.parent_path());
    write_file(input, row.input);
    if (row.kind == setup::unreadable) {
      fs::permissions(input, fs::perms::none);
    }
    if (row.kind == setup::read_only_dir) {
      fs::permissions(dir / "sub", fs::perms::owner_read | fs::perms::owner_exec);
    }
    break;
  case setup::directory:
    fs::create_directories(input);
    break;
  case setup::fifo:
  case setup::open_fifo:
    feeder = feed_fifo(input, row.input, row.filler, row.kind == setup::open_fifo);
    break;
  case setup::missing:
  case setup::stdout_closed:
    break;
  }
  if (row.kind == setup::out_symlink) {
    fs::create_symlink("in.fru", output);
  } else if (row.kind == setup::out_hardlink) {
    fs::create_hard_link(input, output);
  } else if (row.prior != nullptr) {
    write_file(output, row.prior);
  }
  const std::optional<std::string> before = read_file(output);

  const int status = run_in(dir, tool_command(args), row.kind);

  EXPECT_EQ(status, row.status);
  EXPECT_EQ(read_file(dir / "stdout").value_or(""), row.banner ? banner() : "");
  EXPECT_EQ(read_file(dir / "stderr").value_or("?"), "");
  if (output.parent_path() != "/dev") {
    EXPECT_EQ(read_file(output), row.report ? row.report : before) << "report " << output;
  }
  if (row.kind == setup::file || row.kind == setup::other_drive) {
    EXPECT_EQ(read_file(input), row.input) << "the input must never change";
  }
  for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
  }
  if (!row.report) {
    EXPECT_FALSE(fs::exists(dir / "nodir"));
  }
  fs::permissions(dir / "sub", fs::perms::owner_all);
  fs::remove_all(dir);
}

// A batch script sees the tool's status in %ERRORLEVEL%.
TEST(Run, WindowsBatchClient) {
  if (!on_windows()) {
    GTEST_SKIP() << "WindowsBatchClient: batch files run only on Windows";
  }
  std::vector<std::string> command = split_command(); // the Wine prefix, then tessolin.exe
  const fs::path dir = fs::temp_directory_path() / ("tessolin-" + std::to_string(::getpid()) + "-batch");
  fs::create_directories(dir);
  fs::copy_file(command.back(), dir / "tessolin.exe", fs::copy_options::overwrite_existing);
  fs::copy_file(fs::path(TESSOLIN_EXAMPLES) / "export-unit.bat", dir / "export-unit.bat",
                fs::copy_options::overwrite_existing);
  write_file(dir / "unit.fru", unit());
  write_file(dir / "board-only.fru", "_SEE_BOARD 01 " + twelve + "\"SN123\" x \"AT9\"");
  command.back() = "cmd";
  for (const auto &[fru, status, said] :
       {std::tuple{"unit.fru", 0, "tessolin exit status 0: report written to sn_at.txt\r\n"},
        std::tuple{"board-only.fru", 1, "tessolin exit status 1: no report for board-only.fru\r\n"}}) {
    std::vector<std::string> words = command;
    words.insert(words.end(), {"/c", "export-unit.bat", fru, "sn_at.txt"});
    EXPECT_EQ(run_in(dir, words), status) << fru;
    EXPECT_EQ(read_file(dir / "stdout"), said) << fru;
  }
  EXPECT_EQ(read_file(dir / "sn_at.txt"), ok);
  fs::remove_all(dir);
}

// Two runs writing one report at once leave one run's whole report, and nothing else.
TEST(Run, ConcurrentRunsLeaveOneWholeReport) {
  const fs::path dir = fs::temp_directory_path() / ("tessolin-" + std::to_string(::getpid()) + "-concurrent");
  fs::create_directories(dir);
  const std::string value(100, 'L');
  write_file(dir / "short.fru", unit());
  write_file(dir / "long.fru", unit('"' + value + '"', '"' + value + '"'));
  const int pairs = on_windows() ? 10 : 200; // a run under Wine takes a hundred times longer
  for (int pair = 0; pair < pairs; ++pair) {
    const pid_t one = start_in(dir, tool_command({"short.fru", "out.txt"}));
    const pid_t other = start_in(dir, tool_command({"long.fru", "out.txt"}));
    ASSERT_EQ(wait_for(one), 0);
    ASSERT_EQ(wait_for(other), 0);
    const std::string got = read_file(dir / "out.txt").value_or("");
    ASSERT_TRUE(got == ok || got == report(value, value)) << "round " << pair << ": " << got;
  }
  std::set<std::string> names;
  for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!on_windows() || !name.starts_with("rf")) { // Wine's ReplaceFileW may leave its own rf*.tmp
      names.insert(name);
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{"long.fru", "out.txt", "short.fru", "stderr", "stdout"}));
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Table, Run, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<run_case> &row) {
                           return std::string(row.param.name);
                         });

} // namespace
