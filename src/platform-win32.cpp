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
// The longest name of one file or folder.
constexpr std::size_t name_capacity = 255;

// Opens `path` for no access at all, only to ask about the file it names.
HANDLE open_for_query(const wchar_t *path, DWORD flags) {
  return ::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// Runs `step` until it works or fails for a lasting reason. While another run replaces
// the same report, Windows refuses to open it or rename onto it for a moment with an
// access or sharing error, as it does while a virus scanner or an indexer holds the old
// report (ERROR_UNABLE_TO_REMOVE_REPLACED); half a second covers that.
template <typename Step> bool retry_while_busy(const Step &step) {
  constexpr int attempts = 50;
  constexpr DWORD pause_ms = 10;
  for (int attempt = 1;; ++attempt) {
    if (step()) {
      return true;
    }
    const DWORD why = ::GetLastError();
    const bool busy = why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION ||
                      why == ERROR_LOCK_VIOLATION || why == ERROR_UNABLE_TO_REMOVE_REPLACED;
    if (attempt == attempts || !busy) {
      return false; // GetLastError still tells why
    }
    ::Sleep(pause_ms);
  }
}

// A plain report is a file of one link that is no reparse point and may be written:
// a renamed file can take its place without losing anything.
bool is_plain(HANDLE report, BY_HANDLE_FILE_INFORMATION &info) {
  constexpr DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                              FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY;
  return ::GetFileType(report) == FILE_TYPE_DISK && ::GetFileInformationByHandle(report, &info) != 0 &&
         (info.dwFileAttributes & not_plain) == 0 && info.nNumberOfLinks == 1;
}

// Where the last part of `path` begins, after its last separator.
std::size_t name_start(std::wstring_view path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? 0 : slash + 1;
}

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

// The full path of `path` in the \\?\ form, which has no length limit, into `into`:
// its length, or 0 when Windows cannot make one of it.
std::size_t full_path(const wchar_t *path, wchar_t *into) {
  constexpr std::wstring_view long_form = L"\\\\?\\";
  constexpr std::wstring_view share_form = L"\\\\?\\UNC"; // \\server\share becomes \\?\UNC\server\share
  constexpr std::size_t room = share_form.size();
  const DWORD length = ::GetFullPathNameW(path, path_capacity - room, into + room, nullptr);
  if (length == 0 || length >= path_capacity - room) {
    return 0;
  }
  const std::wstring_view full{into + room, length};
  std::wstring_view prefix = long_form;
  std::size_t skip = 0;
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
    prefix = L"";
  } else if (full.starts_with(L"\\\\")) {
    prefix = share_form;
    skip = 1;
  }
  std::copy(prefix.begin(), prefix.end(), into);
  std::copy(full.begin() + static_cast<std::ptrdiff_t>(skip), full.end(), into + prefix.size());
  const std::size_t total = prefix.size() + length - skip;
  into[total] = L'\0';
  return total;
}

// Puts the name that the report's directory entry holds (its long name, in its stored
// letter case) in place of the last part of the full path `path` of `length` characters.
bool take_stored_name(wchar_t *path, std::size_t &length) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  ::FindClose(search);
  length = name_start({path, length});
  path[length] = L'\0';
  return append(path, length, found.cFileName);
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
    volume_ = ids.VolumeSerialNumber;
    std::memcpy(id_.data(), &ids.FileId, id_.size());
    known_ = true;
  } else if (::GetFileInformationByHandle(handle, &info) != 0) {
    volume_ = info.dwVolumeSerialNumber;
    const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
    std::memcpy(id_.data(), &index, sizeof index);
    known_ = true;
  }
  known_ = known_ || !storage_;
}

bool file_identity::is_reached_through(HANDLE handle) const {
  if (!known_ || !storage_) {
    return !known_; // cannot tell: keep the description safe
  }
  const file_identity other{handle};
  return !other.known_ || (other.volume_ == volume_ && other.id_ == id_);
}

bool file_identity::is_reached_by(native_path path) const {
  const os_handle report{open_for_query(path, 0)};
  return report.is_open() ? is_reached_through(report.get()) : !known_;
}

// The report keeps the name it has on disk, whatever spelling reached it (another letter
// case, an 8.3 short name), so it is replaced under the name its directory entry holds.
// A named stream (r.txt:s) is written in place.
report_target::report_target(native_path path, const file_identity &description)
    : path_(path), description_(description), stored_path_(allocate<wchar_t>(path_capacity)) {
  if (!stored_path_) {
    kind_ = report_kind::unusable;
    return;
  }
  const std::wstring_view whole{path};
  const std::wstring_view name = whole.substr(name_start(whole));
  std::size_t length = full_path(path, stored_path_.get());
  if (length == 0 || name.empty() || name == L"." || name == L".." ||
      name.find(L':') != std::wstring_view::npos) {
    return;
  }
  os_handle report; // a report that another run is replacing is out of reach for a moment
  if (retry_while_busy([&] {
        report.reset(open_for_query(path, FILE_FLAG_OPEN_REPARSE_POINT));
        return report.is_open();
      })) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (is_plain(report.get(), info) && take_stored_name(stored_path_.get(), length)) {
      old_attributes_ = info.dwFileAttributes;
      kind_ = report_kind::replaceable;
    }
    return;
  }
  if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
    kind_ = report_kind::absent;
  }
}

// Like _wfopen's "wb", but an existing report is opened as it is and then emptied, which
// works where _wfopen's CREATE_ALWAYS is refused: a hidden or system file.
bool report_target::write_in_place(std::string_view bytes) {
  os_handle report{::CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (!report.is_open() || description_.is_reached_through(report.get())) {
    return false;
  }
  const bool emptied = ::GetFileType(report.get()) != FILE_TYPE_DISK || ::SetEndOfFile(report.get()) != 0;
  return emptied && write_all(report.get(), bytes) && report.close();
}

// .NAME.RANDOM.tmp in the report's folder, or .tessolin.RANDOM.tmp where the report's name
// is too long for that.
scratch_file::scratch_file(report_target &report) : report_(report), path_(allocate<wchar_t>(path_capacity)) {
  if (!path_) {
    return;
  }
  const std::wstring_view stored{report.stored_path_.get()};
  const std::size_t folder_end = name_start(stored);
  std::wstring_view stem = stored.substr(folder_end);
  constexpr std::size_t extra = 2 + 10 + 4; // the dots, the random number and ".tmp"
  if (stem.size() + extra > name_capacity) {
    stem = L"tessolin";
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned int random = 0;
    std::size_t length = 0;
    if (::rand_s(&random) != 0 || !append(path_.get(), length, stored.substr(0, folder_end)) ||
        !append(path_.get(), length, L".") || !append(path_.get(), length, stem) ||
        !append(path_.get(), length, L".") || !append(path_.get(), length, decimal(random).view()) ||
        !append(path_.get(), length, L".tmp")) {
      return;
    }
    file_.reset(
        ::CreateFileW(path_.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_.is_open()) {
      made_ = step::done;
      return;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) {
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
    ::DeleteFileW(path_.get());
  }
}

bool scratch_file::write(std::string_view bytes) const { return write_all(file_.get(), bytes); }

// ReplaceFileW gives the new file the old one's security and streams as it moves it over.
// The attributes (hidden, system, ...) are given here too, where Wine's ReplaceFileW drops them.
step scratch_file::take_on_report() const {
  constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = report_.old_attributes_ & kept;
  const bool given = report_.kind_ != report_kind::replaceable || basic.FileAttributes == 0 ||
                     ::SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic) != 0;
  return given ? step::done : step::write_in_place;
}

step scratch_file::commit() {
  if (!file_.close()) {
    return step::failed;
  }
  const wchar_t *const report = report_.stored_path_.get();
  const auto move_into_place = [&] {
    return retry_while_busy(
        [&] { return ::MoveFileExW(path_.get(), report, MOVEFILE_REPLACE_EXISTING) != 0; });
  };
  if (report_.kind_ == report_kind::absent) {
    committed_ = move_into_place();
    return committed_ ? step::done : step::failed;
  }
  committed_ = retry_while_busy([&] {
    return ::ReplaceFileW(report, path_.get(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) !=
           0;
  });
  if (!committed_) {
    // The old report is gone, as when another run replaced it at that moment: nothing is left to keep.
    const DWORD why = ::GetLastError();
    committed_ =
        (why == ERROR_UNABLE_TO_MOVE_REPLACEMENT || why == ERROR_FILE_NOT_FOUND) && move_into_place();
  }
  // Windows refuses the replace while another program holds the report open; writing
  // in place may still work, as it always has.
  return committed_ ? step::done : step::write_in_place;
}

} // namespace tessolin
