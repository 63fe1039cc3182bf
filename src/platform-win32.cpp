#define _CRT_RAND_S // NOLINT: asks stdlib.h for rand_s
#include "heap.hpp"
#include "platform.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

// msvcrt's own parse of the wide command line, the one wmain would get.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): msvcrt's name
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int expand_wildcards,
                              int *start_info);

namespace tessolin {
namespace {

// The longest path Windows takes in its \\?\ form, and its zero.
constexpr std::size_t path_capacity = 32768;
// The longest name of one file or folder, in UTF-16 units.
constexpr std::size_t name_capacity = 255;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` for no access at all, only to ask about the file or folder it names.
HANDLE open_for_query(const wchar_t *path, DWORD flags) {
  return ::CreateFileW(path, 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags,
                       nullptr);
}

HANDLE open_for_writing(const wchar_t *path, DWORD disposition) {
  return ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Errors that say another program holds a file for a moment (a virus scanner, an indexer,
// another run replacing the same report), not that the step can never work. A denied access
// is lasting. ReplaceFileW's 1175, and its 1176 where it was given a backup name, leave both
// files under their own names (without one, 1176 says that the replaced name is gone).
bool is_busy(DWORD why) {
  return why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION ||
         why == ERROR_UNABLE_TO_REMOVE_REPLACED || why == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// Runs `step` until it works or fails for a lasting reason, for half a second at most; with
// `while_missing`, also while the file is not there, as between the two renames of another
// run's replacement of the same report.
template <typename Step> bool retry_while_busy(const Step &step, bool while_missing = false) {
  constexpr int attempts = 50;
  constexpr DWORD pause_ms = 10;
  for (int attempt = 1;; ++attempt) {
    if (step()) {
      return true;
    }
    const DWORD why = ::GetLastError();
    const bool busy = is_busy(why) || (while_missing && why == ERROR_FILE_NOT_FOUND);
    if (attempt == attempts || !busy) {
      return false; // GetLastError still tells why
    }
    ::Sleep(pause_ms);
  }
}

// An exclusive lock on the whole of a report written in place, held until it is closed, so that
// two runs never mix their lines in it: another run holds it for a moment only. A lock held
// longer fails the run; a file system without locks is written as a plain open would.
bool lock_for_writing(HANDLE file) {
  OVERLAPPED from_start{};
  return ::GetFileType(file) != FILE_TYPE_DISK || retry_while_busy([&] {
           return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                               MAXDWORD, &from_start) != 0;
         }) ||
         !is_busy(::GetLastError());
}

// Where the last part of `path` begins, after its last separator.
std::size_t name_start(std::wstring_view path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? 0 : slash + 1;
}

// Where the stream part of the last part of `path` begins (r.txt:s, r.txt::$DATA), or npos.
std::size_t stream_start(std::wstring_view path) { return path.find(L':', name_start(path)); }

// Appends `part` at `at` in a path buffer; false when the path would be too long.
bool append(wchar_t *path, std::size_t &at, std::wstring_view part) {
  if (at + part.size() >= path_capacity) {
    return false;
  }
  std::copy(part.begin(), part.end(), path + at);
  at += part.size();
  path[at] = L'\0';
  return true;
}

// FILE_OUT's full path, only to find its folder and its name: a \\?\ or \??\ path as it stands,
// as Windows takes it; any other as Windows completes it when it opens it (the current folder
// or a drive's, . and .., trailing dots and spaces), by the same function. Its length, or 0.
std::size_t full_name(const wchar_t *path, wchar_t *into) {
  const std::wstring_view given{path};
  std::size_t length = 0;
  if (given.starts_with(L"\\\\?\\") || given.starts_with(L"\\??\\")) {
    return append(into, length, given) ? length : 0;
  }
  length = ::GetFullPathNameW(path, path_capacity, into, nullptr);
  return length < path_capacity ? length : 0;
}

// The full path of the open file or folder `handle` as stored on disk: long names in their
// stored letter case, in the \\?\ form, which has no length limit (\\?\Volume{...}\ on a volume
// without a drive letter). Where Windows does not give it (Wine, past 260 characters): the
// root of the volume that FILE_OUT's full path `full` is on, and the path that the handle
// names on that volume, once a handle opened by the two is the same file. Its length, or 0.
std::size_t stored_path(HANDLE handle, const wchar_t *full, wchar_t *into) {
  for (const DWORD volume : {DWORD{VOLUME_NAME_DOS}, DWORD{VOLUME_NAME_GUID}}) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(handle, into, path_capacity, FILE_NAME_NORMALIZED | volume);
    if (length != 0 && length < path_capacity) {
      return length;
    }
  }
  std::array<wchar_t, MAX_PATH + 1> root{};
  const heap_array<wchar_t> info = allocate<wchar_t>(path_capacity + 2); // FILE_NAME_INFO
  DWORD bytes = 0;
  if (!info || ::GetVolumePathNameW(full, root.data(), MAX_PATH) == 0 ||
      ::GetFileInformationByHandleEx(handle, FileNameInfo, info.get(),
                                     (path_capacity + 2) * sizeof(wchar_t)) == 0) {
    return 0;
  }
  std::memcpy(&bytes, info.get(), sizeof bytes);
  std::wstring_view volume{root.data()}; // C:\, \\?\C:\, \\server\share\ or a folder it is mounted on
  std::wstring_view prefix = L"\\\\?\\";
  if (volume.starts_with(prefix)) {
    prefix = L"";
  } else if (volume.starts_with(L"\\\\")) {
    prefix = L"\\\\?\\UNC";
    volume.remove_prefix(1);
  }
  if (volume.ends_with(L'\\')) {
    volume.remove_suffix(1);
  }
  std::size_t length = 0;
  if (!append(into, length, prefix) || !append(into, length, volume) ||
      !append(into, length,
              {info.get() + 2, std::min<std::size_t>(bytes / sizeof(wchar_t), path_capacity)})) {
    return 0;
  }
  const os_handle check{open_for_query(into, FILE_FLAG_OPEN_REPARSE_POINT)};
  return check.is_open() && file_identity{handle}.is_reached_through(check.get()) ? length : 0;
}

// Whether the caller may open the file `handle` for writing. ReplaceFileW needs only delete
// access, which an ACL can grant where it denies writing; a sharing error means that the access
// itself was granted.
bool may_write(HANDLE handle) {
  const os_handle writer{::ReOpenFile(handle, GENERIC_WRITE, share_all, 0)};
  const DWORD why = ::GetLastError();
  return writer.is_open() || why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION;
}

// What a new report takes on from the old one besides what ReplaceFileW gives it.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A plain report is a file of one link, no reparse point and no stream, that the caller may
// write: a renamed file can take its place without losing anything. Its stored path goes to `stored`.
bool is_plain(HANDLE report, BY_HANDLE_FILE_INFORMATION &info, const wchar_t *full, wchar_t *stored) {
  constexpr DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                              FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY;
  if (::GetFileType(report) != FILE_TYPE_DISK || ::GetFileInformationByHandle(report, &info) == 0 ||
      (info.dwFileAttributes & not_plain) != 0 || info.nNumberOfLinks != 1) {
    return false;
  }
  const std::size_t length = stored_path(report, full, stored);
  return length != 0 && stream_start({stored, length}) == std::wstring_view::npos && may_write(report);
}

// Whether a file may be moved onto `name` now: it names nothing, or a file that is not the description.
bool may_move_onto(const wchar_t *name, const file_identity &description) {
  const os_handle now{open_for_query(name, 0)};
  if (now.is_open() ? !description.is_reached_through(now.get()) : ::GetLastError() == ERROR_FILE_NOT_FOUND) {
    return true;
  }
  ::SetLastError(ERROR_ACCESS_DENIED); // for good
  return false;
}

// Whether the caller may delete the file `name` now, which is not the description: it may, and
// whoever has it open lets it.
bool may_delete(const wchar_t *name, const file_identity &description) {
  const os_handle file{::CreateFileW(name, DELETE, share_all, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  return file.is_open() && !description.is_reached_through(file.get());
}

// Moves the file `from` onto `report` with MoveFileExW's `flags`, as long as what `report` names
// right before is not the description.
bool move_onto(const wchar_t *from, const wchar_t *report, DWORD flags, const file_identity &description) {
  return retry_while_busy(
      [&] { return may_move_onto(report, description) && ::MoveFileExW(from, report, flags) != 0; });
}

// A file ID that tells files apart: some file systems give zero (or all ones) to every file.
bool is_usable(const std::array<unsigned char, 16> &id) {
  return std::any_of(id.begin(), id.end(), [](unsigned char byte) { return byte != 0; }) &&
         std::any_of(id.begin(), id.end(), [](unsigned char byte) { return byte != 0xFF; });
}

// The path of the open file `handle` under the volume's device name, as its file system stores
// it, without a stream part: where file IDs tell nothing, the one thing that tells two files apart.
bool take_device_path(HANDLE handle, wchar_t *into) {
  const DWORD length =
      ::GetFinalPathNameByHandleW(handle, into, path_capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
  if (length == 0 || length >= path_capacity) {
    return false;
  }
  into[std::min<std::size_t>(length, stream_start({into, length}))] = L'\0';
  return true;
}

// An unsigned number in decimal digits.
struct decimal {
  explicit decimal(unsigned int number) {
    do {
      digits[--start] = static_cast<wchar_t>(L'0' + number % 10);
      number /= 10;
    } while (number != 0);
  }
  [[nodiscard]] std::wstring_view view() const { return {&digits[start], digits.size() - start}; }
  std::array<wchar_t, 10> digits{};
  std::size_t start = 10;
};

// FOLDER.STEM.RANDOM.tmp, into `into`: false when no random number or no room was there.
bool take_scratch_name(std::wstring_view folder, std::wstring_view stem, wchar_t *into) {
  unsigned int random = 0;
  std::size_t length = 0;
  return ::rand_s(&random) == 0 && append(into, length, folder) && append(into, length, L".") &&
         append(into, length, stem) && append(into, length, L".") &&
         append(into, length, decimal(random).view()) && append(into, length, L".tmp");
}

bool write_all(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto part = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    DWORD wrote = 0;
    if (::WriteFile(file, bytes.data(), part, &wrote, nullptr) == 0 || wrote == 0) {
      return false;
    }
    bytes.remove_prefix(wrote);
  }
  return true;
}

// Where the file system takes hard links, the old report gets a second name, which ReplaceFileW
// replaces: the new file takes on the old one's DACL and streams there, and is then renamed over
// the report in one step, so that the report's name always names the old report or the new one,
// even when the run is killed. Only a report that whoever holds it lets be deleted gets the
// second name, which could not go again otherwise. done; write_in_place with the report as it
// was; or none, where the file system takes no links, or where the new file could not be renamed
// over the report (Windows renames nothing over a file that another program has open): then the
// new file is the scratch file, whose name `scratch` and `second` have swapped.
std::optional<step> replace_through_link(const wchar_t *report, heap_array<wchar_t> &scratch,
                                         heap_array<wchar_t> &second, const file_identity &description) {
  if (!may_delete(report, description) || ::CreateHardLinkW(second.get(), report, nullptr) == 0) {
    return std::nullopt;
  }
  if (!retry_while_busy([&] {
        return may_move_onto(report, description) &&
               ::ReplaceFileW(second.get(), scratch.get(), nullptr, 0, nullptr, nullptr) != 0;
      })) {
    retry_while_busy([&] { return ::DeleteFileW(second.get()) != 0; }); // the old report's second name
    return step::write_in_place;
  }
  if (move_onto(second.get(), report, MOVEFILE_REPLACE_EXISTING, description)) {
    return step::done;
  }
  std::swap(scratch, second);
  return std::nullopt;
}

// ReplaceFileW over the report itself, where the old one keeps the backup name until the new one is
// in place, and is put back after ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (over another run's new report,
// should one have taken the name meanwhile, so that nothing of the old one is lost). done; failed
// where it could not be put back, and keeps the backup name; else write_in_place.
step replace_with_backup(const wchar_t *report, const wchar_t *scratch, const wchar_t *backup,
                         const file_identity &description) {
  bool stranded = false;
  const bool replaced = retry_while_busy(
      [&] {
        if (!may_move_onto(report, description)) {
          return false;
        }
        if (::ReplaceFileW(report, scratch, backup, 0, nullptr, nullptr) != 0) {
          return true;
        }
        if (::GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
          // Once put back, both files have their own names again, as after ERROR_UNABLE_TO_MOVE_REPLACEMENT.
          stranded = !move_onto(backup, report, MOVEFILE_REPLACE_EXISTING, description);
          ::SetLastError(stranded ? ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 : ERROR_UNABLE_TO_MOVE_REPLACEMENT);
        }
        return false;
      },
      true);
  if (replaced) {
    retry_while_busy([&] { return ::DeleteFileW(backup) != 0; }); // the old report
    return step::done;
  }
  return stranded ? step::failed : step::write_in_place;
}

} // namespace

std::optional<std::pair<native_path, native_path>> command_line_paths(int /*argc*/, char * /*argv*/[]) {
  // The narrow arguments lose every character outside the console code page.
  int argc = 0;
  wchar_t **argv = nullptr;
  wchar_t **env = nullptr;
  int start_info = 0;
  if (::__wgetmainargs(&argc, &argv, &env, 0, &start_info) < 0 || argc != 3) {
    return std::nullopt;
  }
  return std::pair{argv[1], argv[2]}; // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
}

void ignore_write_signals() {} // Windows reports such writes as failures anyway

void os_handle::reset(native value) {
  close();
  value_ = value == INVALID_HANDLE_VALUE ? none : value;
}

bool os_handle::close() {
  if (value_ == none) {
    return true;
  }
  return ::CloseHandle(std::exchange(value_, none)) != 0;
}

input_file::input_file(native_path path)
    : file_(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {}

std::ptrdiff_t input_file::read(std::span<char> into) const {
  DWORD got = 0;
  const auto most = static_cast<DWORD>(std::min<std::size_t>(into.size(), MAXDWORD));
  if (::ReadFile(file_.get(), into.data(), most, &got, nullptr) != 0) {
    return static_cast<std::ptrdiff_t>(got);
  }
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1; // a pipe whose writer is done has ended
}

file_identity::file_identity(HANDLE handle) {
  FILE_ID_INFO ids{};
  BY_HANDLE_FILE_INFORMATION info{}; // before Windows 8, and on file systems without 128-bit IDs
  storage_ = ::GetFileType(handle) == FILE_TYPE_DISK; // not a console or a pipe
  if (::GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids) != 0) {
    std::memcpy(id_.data(), &ids.FileId, id_.size());
  }
  if (is_usable(id_)) {
    volume_ = ids.VolumeSerialNumber & 0xFFFFFFFFU; // the part that the 64-bit index comes with
    known_ = true;
  } else if (::GetFileInformationByHandle(handle, &info) != 0) {
    volume_ = info.dwVolumeSerialNumber;
    const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
    id_ = {};
    std::memcpy(id_.data(), &index, sizeof index);
    known_ = true;
  }
  if (known_ && storage_ && !is_usable(id_)) {
    // A file system that gives no file IDs (zero, as some drivers do): the file is told by its path.
    device_path_ = allocate<wchar_t>(path_capacity);
    known_ = device_path_ && take_device_path(handle, device_path_.get());
  }
  known_ = known_ || !storage_;
}

bool file_identity::is_reached_through(HANDLE handle) const {
  if (!known_ || !storage_) {
    return !known_; // cannot tell: keep the description safe
  }
  const file_identity other{handle};
  if (!other.known_ || !other.storage_) {
    return !other.known_;
  }
  if (other.volume_ != volume_) {
    return false;
  }
  if (device_path_ || other.device_path_) { // a stream's path has lost its stream part
    return !device_path_ || !other.device_path_ ||
           ::CompareStringOrdinal(device_path_.get(), -1, other.device_path_.get(), -1, TRUE) == CSTR_EQUAL;
  }
  return other.id_ == id_; // a stream of a file has the file's ID
}

bool file_identity::is_reached_by(native_path path) const {
  const os_handle report{open_for_query(path, 0)};
  return report.is_open() ? is_reached_through(report.get()) : !known_;
}

// The report is decided on through the handle of what FILE_OUT names, opened once (for a new
// report, through the handle of its folder), and every later step uses the full path that
// handle gives: a spelling that Windows reads one way when it opens a file and another when it
// completes a path (\\?\C:\t\in.fru.) cannot make the checked file and the written one differ,
// and the report keeps the name stored on disk (another letter case, an 8.3 short name).
report_target::report_target(native_path path, const file_identity &description)
    : path_(path), description_(description), stored_path_(allocate<wchar_t>(path_capacity)) {
  const heap_array<wchar_t> full = allocate<wchar_t>(path_capacity);
  if (!stored_path_ || !full) {
    kind_ = report_kind::unusable;
    return;
  }
  const std::wstring_view whole{full.get(), full_name(path, full.get())};
  const std::wstring_view name = whole.substr(name_start(whole));
  if (name.empty() || name == L"." || name == L"..") {
    return;
  }
  if (stream_start(whole) != std::wstring_view::npos) { // written in place, once its file is checked
    std::copy(whole.begin(), whole.end(), stored_path_.get());
    stored_path_[whole.size()] = L'\0';
    stream_at_ = stream_start(whole);
    return;
  }
  // A report that another run is replacing is out of reach for a moment.
  os_handle report;
  if (retry_while_busy([&] {
        report.reset(open_for_query(path, FILE_FLAG_OPEN_REPARSE_POINT));
        return report.is_open();
      })) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (is_plain(report.get(), info, full.get(), stored_path_.get())) {
      name_at_ = name_start(stored_path_.get());
      old_attributes_ = info.dwFileAttributes;
      old_.emplace(report.get()); // not held open: Windows renames nothing over an open file
      kind_ = report_kind::replaceable;
    }
    return;
  }
  if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return;
  }
  // A new report: its folder's stored path, and the name FILE_OUT gives it.
  const std::size_t folder_end = whole.size() - name.size();
  const wchar_t first = std::exchange(full[folder_end], L'\0');
  const os_handle folder{open_for_query(full.get(), 0)};
  std::size_t length = folder.is_open() ? stored_path(folder.get(), full.get(), stored_path_.get()) : 0;
  full[folder_end] = first;
  BY_HANDLE_FILE_INFORMATION info{};
  if (length == 0 || ::GetFileInformationByHandle(folder.get(), &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (stored_path_[length - 1] != L'\\' && !append(stored_path_.get(), length, L"\\"))) {
    return;
  }
  name_at_ = length;
  if (append(stored_path_.get(), length, name)) {
    kind_ = report_kind::absent;
  }
}

// Like _wfopen's "wb", but an existing report is opened as it is and then emptied, which works
// where CREATE_ALWAYS is refused (a hidden or system file), and only once its handle is known
// not to reach the description. A report that was to be replaced is written only while its
// stored name still reaches it: never a file that took its place, never a new one.
bool report_target::write_in_place(std::string_view bytes) {
  const wchar_t *const name = kind_ == report_kind::in_place ? path_ : stored_path_.get();
  os_handle report;
  retry_while_busy([&] {
    report.reset(open_for_writing(name, OPEN_EXISTING));
    return report.is_open();
  });
  if (!report.is_open() && ::GetLastError() == ERROR_FILE_NOT_FOUND && kind_ != report_kind::replaceable) {
    // A new stream is a write to the file that holds it, which must not be the description.
    const bool stream = stream_at_ != 0;
    if (stream) {
      stored_path_[stream_at_] = L'\0';
    }
    const bool may = !stream || may_move_onto(stored_path_.get(), description_);
    if (stream) {
      stored_path_[stream_at_] = L':';
    }
    report.reset(may ? open_for_writing(name, CREATE_NEW) : nullptr);
  }
  if (!report.is_open() || description_.is_reached_through(report.get()) ||
      (old_ && !old_->is_reached_through(report.get())) || !lock_for_writing(report.get())) {
    return false;
  }
  const bool emptied = ::GetFileType(report.get()) != FILE_TYPE_DISK || ::SetEndOfFile(report.get()) != 0;
  return emptied && write_all(report.get(), bytes) && report.close();
}

// .NAME.RANDOM.tmp beside the report, or .tessolin.RANDOM.tmp where the report's name is too long
// for that: longer than 255 UTF-16 units, or refused by a file system that counts its limit in
// bytes (Wine on Linux, Samba and NAS shares). The backup name, which the old report has while the
// new one takes its place, is made the same way.
scratch_file::scratch_file(report_target &report)
    : report_(report), path_(allocate<wchar_t>(path_capacity)), backup_(allocate<wchar_t>(path_capacity)) {
  if (!path_ || !backup_) {
    return;
  }
  const std::wstring_view stored{report.stored_path_.get()};
  const std::wstring_view folder = stored.substr(0, report.name_at_);
  constexpr std::wstring_view short_stem = L"tessolin";
  constexpr std::size_t extra = 2 + 10 + 4; // the dots, the random number and ".tmp"
  std::wstring_view stem = stored.substr(report.name_at_);
  if (stem.size() + extra > name_capacity) {
    stem = short_stem;
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!take_scratch_name(folder, stem, path_.get()) || !take_scratch_name(folder, stem, backup_.get())) {
      return;
    }
    file_.reset(
        ::CreateFileW(path_.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_.is_open()) {
      made_ = step::done;
      return;
    }
    const DWORD why = ::GetLastError();
    const bool too_long =
        why == ERROR_FILENAME_EXCED_RANGE || why == ERROR_INVALID_NAME || why == ERROR_FILE_NOT_FOUND;
    if (too_long && stem != short_stem) {
      stem = short_stem;
    } else if (why != ERROR_FILE_EXISTS) {
      break;
    }
  }
  // A folder that takes no new file still lets an existing report be written.
  const DWORD why = ::GetLastError();
  made_ = why == ERROR_ACCESS_DENIED || why == ERROR_WRITE_PROTECT ? step::write_in_place : step::failed;
}

scratch_file::~scratch_file() {
  file_.close();
  if (made_ == step::done && !committed_) {
    retry_while_busy([this] { return ::DeleteFileW(path_.get()) != 0; }); // a scanner may hold it a moment
  }
}

bool scratch_file::write(std::string_view bytes) const { return write_all(file_.get(), bytes); }

// ReplaceFileW gives the new file the old one's DACL and streams as it moves it over (not its
// owner or SACL, which need privileges). The attributes (hidden, system, ...) are given here
// too, where Wine's ReplaceFileW drops them.
step scratch_file::take_on_report() const {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = report_.old_attributes_ & kept_attributes;
  const bool given = report_.kind_ != report_kind::replaceable || basic.FileAttributes == 0 ||
                     ::SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic) != 0;
  return given ? step::done : step::write_in_place;
}

// Right before each move, what the report's name reaches must not be the description. Either
// way of replacing leaves the old report under its own name after each documented failure of
// ReplaceFileW, and then writing in place may still work. No REPLACEFILE_IGNORE_MERGE_ERRORS: a
// DACL or stream that cannot be carried over fails the replace.
step scratch_file::commit() {
  if (!file_.close()) {
    return step::failed;
  }
  const wchar_t *const report = report_.stored_path_.get();
  const file_identity &description = report_.description_;
  if (report_.kind_ == report_kind::absent) {
    committed_ = move_onto(path_.get(), report, 0, description);
    const DWORD why = ::GetLastError();
    if (committed_ || (why != ERROR_ALREADY_EXISTS && why != ERROR_FILE_EXISTS)) {
      return committed_ ? step::done : step::failed;
    }
    // Another run has made the report meanwhile: this one replaces it like any report that was
    // there, and takes on its attributes.
    const DWORD attributes = ::GetFileAttributesW(report);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        ((attributes & kept_attributes) != 0 &&
         ::SetFileAttributesW(path_.get(), attributes & kept_attributes) == 0)) {
      return step::failed;
    }
  }
  std::optional<step> replaced = replace_through_link(report, path_, backup_, description);
  if (!replaced) {
    replaced = replace_with_backup(report, path_.get(), backup_.get(), description);
  }
  committed_ = replaced == step::done;
  return *replaced;
}

} // namespace tessolin
