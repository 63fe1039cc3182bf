#define _CRT_RAND_S // NOLINT: asks stdlib.h for rand_s
#include "platform.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// msvcrt's own parse of the wide command line, the one wmain would get.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): msvcrt's name
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int expand_wildcards,
                              int *start_info);

namespace tessolin {
namespace {

struct handle_closer {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

// Opens `path` for no access at all, only to ask about the file it names.
unique_handle open_for_query(const std::filesystem::path &path, DWORD flags) {
  HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  return unique_handle{handle == INVALID_HANDLE_VALUE ? nullptr : handle};
}

// Runs `step` until it works or fails for a lasting reason. While another run replaces
// the same report, Windows refuses to open it or rename onto it for a moment with an
// access or sharing error; half a second covers that.
template <typename Step> bool retry_while_busy(const Step &step) {
  constexpr int attempts = 50;
  constexpr DWORD pause_ms = 10;
  for (int attempt = 1;; ++attempt) {
    if (step()) {
      return true;
    }
    const DWORD why = ::GetLastError();
    if (attempt == attempts ||
        (why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION && why != ERROR_LOCK_VIOLATION)) {
      return false; // GetLastError still tells why
    }
    ::Sleep(pause_ms);
  }
}

// Volume and file ID, whatever drive letter, spelling or name extension reached the file.
bool same_file(HANDLE one, HANDLE other) {
  FILE_ID_INFO ids[2]{};
  if (::GetFileInformationByHandleEx(one, FileIdInfo, &ids[0], sizeof ids[0]) != 0 &&
      ::GetFileInformationByHandleEx(other, FileIdInfo, &ids[1], sizeof ids[1]) != 0) {
    return ids[0].VolumeSerialNumber == ids[1].VolumeSerialNumber &&
           std::memcmp(&ids[0].FileId, &ids[1].FileId, sizeof ids[0].FileId) == 0;
  }
  BY_HANDLE_FILE_INFORMATION infos[2]{}; // before Windows 8, and on file systems without 128-bit IDs
  return ::GetFileInformationByHandle(one, &infos[0]) != 0 &&
         ::GetFileInformationByHandle(other, &infos[1]) != 0 &&
         infos[0].dwVolumeSerialNumber == infos[1].dwVolumeSerialNumber &&
         infos[0].nFileIndexHigh == infos[1].nFileIndexHigh &&
         infos[0].nFileIndexLow == infos[1].nFileIndexLow;
}

bool write_in_place(const std::filesystem::path &path, const std::function<bool(std::FILE *)> &write_lines) {
  std::FILE *const report = ::_wfopen(path.c_str(), L"wb");
  if (report == nullptr) {
    return false;
  }
  return write_and_close(report, write_lines);
}

enum class report_kind { absent, plain, other };

// A plain report is a file of one link that is no reparse point and may be written:
// a renamed file can take its place without losing anything.
report_kind kind_of_report(const std::filesystem::path &path) {
  unique_handle report; // a report that another run is replacing is out of reach for a moment
  if (!retry_while_busy(
          [&] { return (report = open_for_query(path, FILE_FLAG_OPEN_REPARSE_POINT)) != nullptr; })) {
    return ::GetLastError() == ERROR_FILE_NOT_FOUND ? report_kind::absent : report_kind::other;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  constexpr DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                              FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY;
  const bool plain = ::GetFileType(report.get()) == FILE_TYPE_DISK &&
                     ::GetFileInformationByHandle(report.get(), &info) != 0 &&
                     (info.dwFileAttributes & not_plain) == 0 && info.nNumberOfLinks == 1;
  return plain ? report_kind::plain : report_kind::other;
}

// A new, exclusively created file beside `path`, or nothing; `temp` gets its name.
unique_handle create_temp_beside(const std::filesystem::path &path, std::filesystem::path &temp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned int random = 0;
    if (::rand_s(&random) != 0) {
      return nullptr;
    }
    temp = path; // .NAME.RANDOM.tmp in the report's folder
    temp.replace_filename(L".");
    temp += path.filename();
    temp += L"." + std::to_wstring(random) + L".tmp";
    HANDLE handle =
        ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      return unique_handle{handle};
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) {
      return nullptr;
    }
  }
  return nullptr;
}

// Takes over `handle` as a binary stream for writing, or closes it.
std::FILE *writing_stream(HANDLE handle) {
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  std::FILE *const stream = ::_fdopen(fd, "wb");
  if (stream == nullptr) {
    ::_close(fd);
  }
  return stream;
}

bool move_into_place(const std::filesystem::path &temp, const std::filesystem::path &path) {
  return retry_while_busy(
      [&] { return ::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; });
}

// Moves the written file over the report. ReplaceFileW keeps the old report's
// attributes and security.
bool move_over(const std::filesystem::path &temp, const std::filesystem::path &path, bool exists) {
  if (!exists) {
    return move_into_place(temp, path);
  }
  std::error_code error; // Wine's ReplaceFileW takes full paths only
  const std::filesystem::path full_path = std::filesystem::absolute(path, error);
  const std::filesystem::path full_temp = std::filesystem::absolute(temp, error);
  if (error) {
    return false;
  }
  if (retry_while_busy([&] {
        return ::ReplaceFileW(full_path.c_str(), full_temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                              nullptr, nullptr) != 0;
      })) {
    return true;
  }
  // The old report is gone, as when another run replaced it at that moment: nothing is left to keep.
  const DWORD why = ::GetLastError();
  return (why == ERROR_UNABLE_TO_MOVE_REPLACEMENT || why == ERROR_FILE_NOT_FOUND) &&
         move_into_place(temp, path);
}

enum class outcome { replaced, failed, write_in_place };

// Writes the lines to a new file beside `path` and moves it over `path`.
// Nothing is left behind on a failure.
outcome replace_whole(const std::filesystem::path &path, bool exists,
                      const std::function<bool(std::FILE *)> &write_lines) {
  std::filesystem::path temp;
  unique_handle handle = create_temp_beside(path, temp);
  if (!handle) { // a folder that takes no new file still lets an existing report be written
    return ::GetLastError() == ERROR_ACCESS_DENIED ? outcome::write_in_place : outcome::failed;
  }
  std::FILE *const stream = writing_stream(handle.release());
  if (stream == nullptr || !write_and_close(stream, write_lines)) {
    ::DeleteFileW(temp.c_str());
    return outcome::failed;
  }
  if (move_over(temp, path, exists)) {
    return outcome::replaced;
  }
  ::DeleteFileW(temp.c_str());
  // Windows refuses the replace while another program holds the report open; writing
  // in place may still work, as it always has.
  return exists ? outcome::write_in_place : outcome::failed;
}

} // namespace

std::optional<std::pair<std::filesystem::path, std::filesystem::path>> command_line_paths(int /*argc*/,
                                                                                          char * /*argv*/[]) {
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

input_file::input_file(const std::filesystem::path &path)
    : fd_(::_wopen(path.c_str(), _O_RDONLY | _O_BINARY)) {}

input_file::~input_file() {
  if (fd_ >= 0) {
    ::_close(fd_);
  }
}

std::ptrdiff_t input_file::read(std::span<char> into) const {
  const auto most = static_cast<unsigned int>(std::min<std::size_t>(into.size(), INT_MAX));
  return ::_read(fd_, into.data(), most);
}

bool input_file::is_overwritten_by(const std::filesystem::path &path) const {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime hands out its handles as integers
  auto *const input = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
  if (::GetFileType(input) != FILE_TYPE_DISK) {
    return false; // a console or a pipe: no storage to destroy
  }
  const unique_handle report = open_for_query(path, 0);
  return report && same_file(input, report.get());
}

bool write_report(const std::filesystem::path &path, const std::function<bool(std::FILE *)> &write_lines) {
  const report_kind kind = kind_of_report(path);
  if (kind != report_kind::other) {
    const outcome result = replace_whole(path, kind == report_kind::plain, write_lines);
    if (result != outcome::write_in_place) {
      return result == outcome::replaced;
    }
  }
  return write_in_place(path, write_lines);
}

} // namespace tessolin
