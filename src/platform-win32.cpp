// Windows: the description, the report's file, and the guards that keep both safe. Every guard
// decides on a handle opened at the moment it acts, and every later step uses the path that
// handle gives, never the argument spelt again. Where Windows cannot give a guard its facts (a
// query refused, a file system without IDs, a path it cannot complete), the guard takes the
// answer that keeps the description and the report safe: the description counts as reached, and
// the report is written in place (never replaced) or not at all.
#define _CRT_RAND_S // NOLINT: asks stdlib.h for rand_s
#include "heap.hpp"
#include "platform.hpp"

#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

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
// How long a run waits, in all, for a report that another program or run holds: a rename or
// an open refused for a moment, a lock taken. Past it a replacement is written in place, and a
// write in place fails.
constexpr ULONGLONG patience_ms = 500;
// Names of Windows 10 that this SDK leaves out for the Windows it builds for.
constexpr DWORD disk_quota_exceeded = 1295;                                 // ERROR_DISK_QUOTA_EXCEEDED
constexpr auto rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22); // FileRenameInfoEx

// Opens `path` for no access at all, only to ask about the file or folder it names.
HANDLE open_for_query(const wchar_t *path, DWORD flags) {
  return ::CreateFileW(path, 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags,
                       nullptr);
}

// Errors that say another program or run holds a file for now.
bool is_busy(DWORD why) { return why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION; }

// Waits a moment for a busy file: false, at once, when the time to wait (`until`, as
// GetTickCount64 counts) is over.
bool wait_a_moment(ULONGLONG until) {
  if (::GetTickCount64() >= until) {
    return false;
  }
  ::Sleep(10);
  return true;
}

// What an error of a step of the replacement means, as on Linux. Short of space, quota or
// memory, or a disk that fails: the run ends with the report untouched, as a write in place
// could empty it. Any other error says that this way is refused here, and the report is written
// in place, as a plain open for writing would.
step after_error(DWORD why) {
  switch (why) {
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
  case disk_quota_exceeded:
  case ERROR_NOT_ENOUGH_QUOTA:
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
  case ERROR_CRC:
  case ERROR_IO_DEVICE:
    return step::failed;
  default:
    return step::write_in_place;
  }
}

// Whether what `name` names now is the description, asked when a step on it is refused: the
// description, held shut for the whole run, refuses every write, rename and deletion by any
// name, and is then no busy file to wait for. `flags` as for CreateFileW.
bool names_description(const wchar_t *name, DWORD flags, const file_identity &description) {
  const os_handle now{open_for_query(name, flags)};
  return now.is_open() && description.is_reached_through(now.get());
}

// An exclusive lock on the whole of a report written in place, held until it is closed, so that
// runs at once never mix their lines in it: another run holds it for a moment only. A lock held
// past `until` fails the run; a file system without locks is written as a plain open would.
bool lock_for_writing(HANDLE file, ULONGLONG until) {
  OVERLAPPED from_start{};
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    return true;
  }
  while (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &from_start) == 0) {
    if (!is_busy(::GetLastError())) {
      return true;
    }
    if (!wait_a_moment(until)) {
      return false;
    }
  }
  return true;
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

// A file ID that tells files apart: some file systems give zero (or all ones) to every file.
bool is_usable(const std::array<unsigned char, 16> &id) {
  return std::any_of(id.begin(), id.end(), [](unsigned char byte) { return byte != 0; }) &&
         std::any_of(id.begin(), id.end(), [](unsigned char byte) { return byte != 0xFF; });
}

// The path of the open file `handle` under the volume's device name, as its file system stores
// it, without a stream part: where file IDs tell nothing, the same path is the same file.
bool take_device_path(HANDLE handle, wchar_t *into) {
  const DWORD length =
      ::GetFinalPathNameByHandleW(handle, into, path_capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
  if (length == 0 || length >= path_capacity) {
    return false;
  }
  into[std::min<std::size_t>(length, stream_start({into, length}))] = L'\0';
  return true;
}

// Whether the open handles `one` and `other` are provably of one file: the same volume and
// file ID (a stream has its file's), or where the file system gives no IDs, the same path.
bool is_same_file(HANDLE one, HANDLE other) {
  FILE_ID_INFO one_id{};
  FILE_ID_INFO other_id{};
  std::array<unsigned char, 16> id{};
  if (::GetFileInformationByHandleEx(one, FileIdInfo, &one_id, sizeof one_id) != 0 &&
      ::GetFileInformationByHandleEx(other, FileIdInfo, &other_id, sizeof other_id) != 0) {
    std::memcpy(id.data(), &one_id.FileId, id.size());
    if (is_usable(id)) {
      return one_id.VolumeSerialNumber == other_id.VolumeSerialNumber &&
             std::memcmp(&one_id.FileId, &other_id.FileId, id.size()) == 0;
    }
  }
  BY_HANDLE_FILE_INFORMATION one_info{};
  BY_HANDLE_FILE_INFORMATION other_info{};
  if (::GetFileInformationByHandle(one, &one_info) == 0 ||
      ::GetFileInformationByHandle(other, &other_info) == 0 ||
      one_info.dwVolumeSerialNumber != other_info.dwVolumeSerialNumber) {
    return false;
  }
  if (one_info.nFileIndexHigh != 0 || one_info.nFileIndexLow != 0) {
    return one_info.nFileIndexHigh == other_info.nFileIndexHigh &&
           one_info.nFileIndexLow == other_info.nFileIndexLow;
  }
  const heap_array<wchar_t> paths = allocate<wchar_t>(2 * path_capacity);
  return paths && take_device_path(one, paths.get()) &&
         take_device_path(other, paths.get() + path_capacity) &&
         ::CompareStringOrdinal(paths.get(), -1, paths.get() + path_capacity, -1, TRUE) == CSTR_EQUAL;
}

// The full path of the open file or folder `handle` as stored on disk: long names in their
// stored letter case, in the \\?\ form, which has no length limit (\\?\Volume{...}\ on a volume
// without a drive letter). Where Windows does not give it (Wine, past 260 characters): the
// root of the volume that FILE_OUT's full path `full` is on, and the path that the handle
// names on that volume, once a handle opened by the two is provably the same file. Its length, or 0.
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
  return check.is_open() && is_same_file(handle, check.get()) ? length : 0;
}

// Whether the caller may open the file `handle` for writing, as a rename over it needs no
// more than delete access, which an ACL can grant where it denies writing; a sharing error
// means that the access itself was granted.
bool may_write(HANDLE handle) {
  const os_handle writer{::ReOpenFile(handle, GENERIC_WRITE, share_all, 0)};
  const DWORD why = ::GetLastError();
  return writer.is_open() || is_busy(why);
}

// What a new report takes on from the old one besides its DACL and streams.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A plain report is a disk file of one link (or two, where the other is the second name left by
// a stopped run), no reparse point and no stream, that the caller may write, with no attribute
// that a new file could not be given: a renamed file can take its place without losing anything.
// Its stored path goes to `stored`.
bool is_plain(HANDLE report, BY_HANDLE_FILE_INFORMATION &info, const wchar_t *full, wchar_t *stored) {
  constexpr DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                              FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_COMPRESSED |
                              FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE;
  if (::GetFileType(report) != FILE_TYPE_DISK || ::GetFileInformationByHandle(report, &info) == 0 ||
      (info.dwFileAttributes & not_plain) != 0 || info.nNumberOfLinks > 2) {
    return false;
  }
  const std::size_t length = stored_path(report, full, stored);
  return length != 0 && stream_start({stored, length}) == std::wstring_view::npos && may_write(report);
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

// The stem of the scratch names beside the report named `name`: the name itself, or "tessolin"
// where the name is too long for one.
std::wstring_view scratch_stem(std::wstring_view name) {
  constexpr std::size_t extra = 2 + 10 + 4; // the dots, the random number and ".tmp"
  return name.size() + extra > name_capacity ? L"tessolin" : name;
}

// FOLDER.STEM.RANDOM.tmp, into `into`: false when no random number or no room was there.
bool take_scratch_name(std::wstring_view folder, std::wstring_view stem, wchar_t *into) {
  unsigned int random = 0;
  std::size_t length = 0;
  return ::rand_s(&random) == 0 && append(into, length, folder) && append(into, length, L".") &&
         append(into, length, stem) && append(into, length, L".") &&
         append(into, length, decimal(random).view()) && append(into, length, L".tmp");
}

// Whether the open report `report`, whose stored path is `stored`, has a second name beside it
// (.STEM.DIGITS.tmp) that an earlier version of the tool gave the old report while it replaced
// it, and that a run stopped in the middle left. Its full path goes to `into`.
bool has_second_name(HANDLE report, std::wstring_view stored, std::size_t name_at, wchar_t *into) {
  const std::wstring_view folder = stored.substr(0, name_at);
  const std::wstring_view stem = scratch_stem(stored.substr(name_at));
  std::size_t length = 0;
  if (!append(into, length, folder) || !append(into, length, L".") || !append(into, length, stem) ||
      !append(into, length, L".*.tmp")) {
    return false;
  }
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileExW(into, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  const std::size_t digits_at = stem.size() + 2;
  bool is_second = false;
  do {
    const std::wstring_view name{found.cFileName};
    const auto digits = name.substr(std::min(name.size(), digits_at));
    length = folder.size();
    is_second =
        name.size() > digits_at + 4 && name.size() <= digits_at + 14 && name.substr(1, stem.size()) == stem &&
        name.ends_with(L".tmp") &&
        std::all_of(digits.begin(), digits.end() - 4, [](wchar_t c) { return c >= L'0' && c <= L'9'; }) &&
        append(into, length, name);
    if (is_second) {
      const os_handle other{open_for_query(into, FILE_FLAG_OPEN_REPARSE_POINT)};
      is_second = other.is_open() && is_same_file(report, other.get());
    }
  } while (!is_second && ::FindNextFileW(search, &found) != 0);
  ::FindClose(search);
  return is_second;
}

// The full path of that second name of the report, or none.
heap_array<wchar_t> find_second_name(HANDLE report, std::wstring_view stored, std::size_t name_at) {
  heap_array<wchar_t> path = allocate<wchar_t>(path_capacity);
  if (path && !has_second_name(report, stored, name_at, path.get())) {
    path.reset();
  }
  return path;
}

// Whether `size` bytes fit over the start of the open disk file `file` in the space its volume has
// left for the caller, so that a write in place that fails does so at its first byte.
bool has_room(HANDLE file, std::size_t size) {
  LARGE_INTEGER now{};
  if (::GetFileSizeEx(file, &now) == 0) {
    return false;
  }
  const auto old = static_cast<ULONGLONG>(now.QuadPart);
  FILE_FS_SIZE_INFORMATION space{};
  IO_STATUS_BLOCK done{};
  if (old >= size) {
    return true;
  }
  if (::NtQueryVolumeInformationFile(file, &done, &space, sizeof space, FileFsSizeInformation) < 0) {
    return false;
  }
  const ULONGLONG unit = ULONGLONG{space.SectorsPerAllocationUnit} * space.BytesPerSector;
  const auto units = [unit](ULONGLONG bytes) { return (bytes + unit - 1) / unit; };
  return unit == 0 ||
         units(size) - units(old) <= static_cast<ULONGLONG>(space.AvailableAllocationUnits.QuadPart);
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

// Marks the open file `file`, opened with delete access, to go when its last handle closes.
bool delete_on_close(HANDLE file) {
  FILE_DISPOSITION_INFO gone{TRUE};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone) != 0;
}

// Renames the open file `file`, opened with delete access, to the full path `name` (a bare name
// would be taken as one in the current folder), over what is there when `replace`: with POSIX
// semantics where Windows (10 1709 and later) and the file system have them, which an open
// handle on the file replaced does not refuse; else the plain rename. GetLastError tells why not.
bool rename_to(HANDLE file, std::wstring_view name, bool replace) {
  const std::size_t size = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  const heap_array<unsigned char> bytes = allocate<unsigned char>(size);
  if (!bytes) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  std::memset(bytes.get(), 0, size);
  FILE_RENAME_INFO header{};
  header.FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(bytes.get(), &header, sizeof header);
  std::memcpy(bytes.get() + offsetof(FILE_RENAME_INFO, FileName), name.data(), header.FileNameLength);
  if (replace) {
    // FileRenameInfoEx's flags take the place of ReplaceIfExists.
    const DWORD flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    std::memcpy(bytes.get(), &flags, sizeof flags);
    if (::SetFileInformationByHandle(file, rename_info_ex, bytes.get(), static_cast<DWORD>(size)) != 0) {
      return true;
    }
    const DWORD why = ::GetLastError();
    if (why != ERROR_INVALID_PARAMETER && why != ERROR_NOT_SUPPORTED && why != ERROR_INVALID_FUNCTION) {
      return false;
    }
    const BOOLEAN plain = TRUE;
    std::memset(bytes.get(), 0, sizeof flags);
    std::memcpy(bytes.get(), &plain, sizeof plain);
  }
  return ::SetFileInformationByHandle(file, FileRenameInfo, bytes.get(), static_cast<DWORD>(size)) != 0;
}

// Opens or makes the stream `name` (":s", ":s:$DATA") of the open file `file`, relative to its
// handle, so that the file it belongs to is the one that was checked.
HANDLE open_stream(HANDLE file, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG disposition) {
  UNICODE_STRING unicode{};
  unicode.Buffer =
      const_cast<wchar_t *>(name.data()); // NOLINT(cppcoreguidelines-pro-type-const-cast): never written
  unicode.Length = unicode.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES where{};
  InitializeObjectAttributes(&where, &unicode, OBJ_CASE_INSENSITIVE, file, nullptr);
  IO_STATUS_BLOCK done{};
  HANDLE stream = nullptr;
  const NTSTATUS status =
      ::NtCreateFile(&stream, access | SYNCHRONIZE, &where, &done, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                     disposition, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    ::SetLastError(::RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  return stream;
}

// Copies the stream `name` of `from` to a new stream of that name of `to`, through `block`.
step copy_stream(HANDLE from, HANDLE to, std::wstring_view name, std::span<char> block) {
  const os_handle source{open_stream(from, name, FILE_GENERIC_READ, share_all, FILE_OPEN)};
  const os_handle copy{source.is_open()
                           ? open_stream(to, name, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE)
                           : INVALID_HANDLE_VALUE};
  if (!copy.is_open()) {
    return after_error(::GetLastError());
  }
  for (;;) {
    DWORD got = 0;
    if (::ReadFile(source.get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr) == 0) {
      return after_error(::GetLastError());
    }
    if (got == 0) {
      return step::done;
    }
    if (!write_all(copy.get(), {block.data(), got})) {
      return after_error(::GetLastError());
    }
  }
}

// Gives `to` every alternate data stream of `from`, byte for byte. A file system that keeps no
// streams (FAT, Wine) has none to give.
step copy_streams(HANDLE from, HANDLE to) {
  constexpr std::size_t list_size = std::size_t{64} * 1024;
  constexpr std::size_t block_size = std::size_t{64} * 1024;
  const heap_array<unsigned char> list = allocate<unsigned char>(list_size);
  const heap_array<char> block = allocate<char>(block_size);
  if (!list || !block) {
    return step::failed;
  }
  if (::GetFileInformationByHandleEx(from, FileStreamInfo, list.get(), list_size) == 0) {
    const DWORD why = ::GetLastError();
    const bool none = why == ERROR_HANDLE_EOF || why == ERROR_INVALID_FUNCTION ||
                      why == ERROR_INVALID_PARAMETER || why == ERROR_NOT_SUPPORTED;
    return none ? step::done : after_error(why);
  }
  for (std::size_t at = 0;;) {
    FILE_STREAM_INFO entry{};
    std::memcpy(&entry, list.get() + at, offsetof(FILE_STREAM_INFO, StreamName));
    const auto *const name =
        reinterpret_cast<const wchar_t *>(list.get() + at + offsetof(FILE_STREAM_INFO, StreamName));
    const std::wstring_view stream{name, entry.StreamNameLength / sizeof(wchar_t)};
    if (stream != L"::$DATA") {
      if (const step copied = copy_stream(from, to, stream, {block.get(), block_size});
          copied != step::done) {
        return copied;
      }
    }
    if (entry.NextEntryOffset == 0) {
      return step::done;
    }
    at += entry.NextEntryOffset;
  }
}

// A security descriptor as GetSecurityInfo hands it out, freed with LocalFree.
struct local_free {
  void operator()(void *block) const { ::LocalFree(block); }
};
using security_descriptor = std::unique_ptr<void, local_free>;

// The DACL of the open file `file`, and whether it is protected from inheritance.
struct dacl_of {
  explicit dacl_of(HANDLE file) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    read = ::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                             nullptr, &descriptor) == ERROR_SUCCESS;
    owner.reset(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    protect = read && ::GetSecurityDescriptorControl(descriptor, &control, &revision) != 0 &&
              (control & SE_DACL_PROTECTED) != 0;
  }
  [[nodiscard]] bool operator==(const dacl_of &other) const {
    const auto bytes = [](PACL list) { return list == nullptr ? 0 : list->AclSize; };
    return protect == other.protect && bytes(dacl) == bytes(other.dacl) &&
           (dacl == nullptr || std::memcmp(dacl, other.dacl, dacl->AclSize) == 0);
  }
  security_descriptor owner;
  PACL dacl = nullptr; // in owner's memory; none: everyone may do anything
  bool read = false;
  bool protect = false;
};

// Gives `to` the DACL of `from` where it got another: an ACE of its own, or inheritance blocked.
// A file that inherits all its ACEs from the folder, as most do, has them already.
step take_on_dacl(HANDLE from, HANDLE to) {
  const dacl_of wanted{from};
  const dacl_of got{to};
  if (!wanted.read || !got.read) {
    return wanted.read == got.read ? step::done : step::write_in_place; // no ACLs here, or none to read
  }
  if (wanted == got) {
    return step::done;
  }
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      (wanted.protect ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD set = ::SetSecurityInfo(to, SE_FILE_OBJECT, what, nullptr, nullptr, wanted.dacl, nullptr);
  if (set != ERROR_SUCCESS) {
    return after_error(set);
  }
  return dacl_of{to} == wanted ? step::done : step::write_in_place;
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

// Shared for reading only: while the run holds it, Windows refuses every other program's write,
// rename or deletion of it, by any name, on any volume or share. Where another program has it
// open for writing already, it is read as a plain open would read it.
input_file::input_file(native_path path)
    : file_(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr)) {
  shut_ = file_.is_open();
  if (!shut_ && ::GetLastError() == ERROR_SHARING_VIOLATION) {
    file_.reset(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  }
}

std::ptrdiff_t input_file::read(std::span<char> into) const {
  DWORD got = 0;
  const auto most = static_cast<DWORD>(std::min<std::size_t>(into.size(), MAXDWORD));
  if (::ReadFile(file_.get(), into.data(), most, &got, nullptr) != 0) {
    return static_cast<std::ptrdiff_t>(got);
  }
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1; // a pipe whose writer is done has ended
}

// A second handle of the same open file keeps it shut after the reading handle is closed.
file_identity input_file::identity() const {
  file_identity identity{file_.get()};
  HANDLE held = nullptr;
  const HANDLE self = ::GetCurrentProcess();
  if (shut_ && ::DuplicateHandle(self, file_.get(), self, &held, 0, FALSE, DUPLICATE_SAME_ACCESS) != 0) {
    identity.held_.reset(held);
  }
  return identity;
}

file_identity::file_identity(HANDLE handle) {
  FILE_ID_INFO ids{};
  BY_HANDLE_FILE_INFORMATION info{}; // before Windows 8, and on file systems without 128-bit IDs
  ::SetLastError(NO_ERROR);
  const DWORD type = ::GetFileType(handle);
  // Not a console or a pipe; a type that cannot be asked counts as storage.
  storage_ = type == FILE_TYPE_DISK || (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR);
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
    device_path_ = allocate<wchar_t>(path_capacity);
    if (!device_path_ || !take_device_path(handle, device_path_.get())) {
      device_path_.reset();
    }
  }
  known_ = known_ || !storage_;
}

// Where a file system gives no usable file IDs (some NAS and Samba shares), the same path under
// the volume's device name is the same file, but another path proves nothing (another name of
// the server, a DFS path): then only the description's hold, which Windows enforces, keeps it
// safe, and without the hold every file counts as the description.
bool file_identity::is_reached_through(HANDLE handle) const {
  if (!known_ || !storage_) {
    return !known_; // cannot tell: keep the description safe
  }
  const file_identity other{handle};
  if (!other.known_ || !other.storage_) {
    return !other.known_;
  }
  if (is_usable(id_) && is_usable(other.id_)) {
    return other.volume_ == volume_ && other.id_ == id_; // a stream of a file has the file's ID
  }
  const bool same_path =
      device_path_ && other.device_path_ &&
      ::CompareStringOrdinal(device_path_.get(), -1, other.device_path_.get(), -1, TRUE) == CSTR_EQUAL;
  return same_path || !held_.is_open();
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
    : path_(path), description_(description), stored_path_(allocate<wchar_t>(path_capacity)),
      give_up_at_(::GetTickCount64() + patience_ms) {
  const heap_array<wchar_t> full = allocate<wchar_t>(path_capacity);
  if (!stored_path_ || !full) {
    kind_ = report_kind::unusable;
    return;
  }
  const std::wstring_view whole{full.get(), full_name(path, full.get())};
  const std::wstring_view name = whole.substr(name_start(whole));
  if (name.empty() || name == L"." || name == L"..") {
    return; // no file (x.txt\, a path Windows cannot complete): unusable
  }
  if (stream_start(whole) != std::wstring_view::npos) { // written in place, once its file is checked
    std::copy(whole.begin(), whole.end(), stored_path_.get());
    stored_path_[whole.size()] = L'\0';
    stream_at_ = stream_start(whole);
    kind_ = report_kind::in_place;
    return;
  }
  // READ_CONTROL for its DACL, FILE_READ_ATTRIBUTES for its streams and times.
  old_.reset(::CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!old_.is_open()) {
    old_.reset(open_for_query(path, FILE_FLAG_OPEN_REPARSE_POINT));
  }
  if (old_.is_open()) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (description.is_reached_through(old_.get())) {
      kind_ = report_kind::unusable;
    } else if (is_plain(old_.get(), info, full.get(), stored_path_.get())) {
      name_at_ = name_start(stored_path_.get());
      old_attributes_ = info.dwFileAttributes;
      if (info.nNumberOfLinks == 2) {
        stray_ = find_second_name(old_.get(), stored_path_.get(), name_at_);
      }
      kind_ = info.nNumberOfLinks == 1 || stray_ ? report_kind::replaceable : report_kind::in_place;
    } else {
      kind_ = report_kind::in_place;
    }
    return;
  }
  if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return; // no folder, a drive not mapped, a volume gone, or refused: unusable
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

// Makes a missing report, only while it is still missing, for writing and for deleting again:
// a stream only relative to the handle of its file, once that file is known not to be the description.
HANDLE report_target::make_report() {
  if (stream_at_ == 0) {
    return ::CreateFileW(stored_path_.get(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  const std::wstring_view whole{stored_path_.get()};
  stored_path_[stream_at_] = L'\0';
  const os_handle file{open_for_query(stored_path_.get(), 0)};
  stored_path_[stream_at_] = L':';
  if (!file.is_open() || description_.is_reached_through(file.get())) {
    return INVALID_HANDLE_VALUE;
  }
  return open_stream(file.get(), whole.substr(stream_at_), FILE_GENERIC_WRITE | DELETE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE);
}

// Like _wfopen's "wb", but an existing report is opened as it is, which works where CREATE_ALWAYS
// is refused (a hidden or system file), and written only once its handle is known not to reach
// the description and holds the lock: the new bytes over the old, then the file cut to their
// length, once the volume has room for them all, so that a write that fails does so at its first
// byte. Only a report looked at as missing, or a stream, is made, and only by the path its
// folder's handle gave. A report this run made goes again when the write fails. A busy report is
// waited for until the run's time to wait is over, unless the refusal comes from the description.
bool report_target::write_in_place(std::string_view bytes) {
  old_.close();
  const wchar_t *const name = kind_ == report_kind::in_place ? path_ : stored_path_.get();
  os_handle report;
  bool made = false;
  while (!report.is_open()) {
    report.reset(::CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD why = ::GetLastError();
    if (!report.is_open() && why == ERROR_FILE_NOT_FOUND &&
        (kind_ == report_kind::absent || stream_at_ != 0)) {
      report.reset(make_report());
      made = report.is_open();
      why = ::GetLastError();
    }
    const bool again = why == ERROR_FILE_EXISTS || why == ERROR_ALREADY_EXISTS; // made meanwhile
    if (!report.is_open() && (!(again || is_busy(why)) || names_description(name, 0, description_) ||
                              !wait_a_moment(give_up_at_))) {
      return false;
    }
  }
  const bool disk = ::GetFileType(report.get()) == FILE_TYPE_DISK;
  const bool written = !description_.is_reached_through(report.get()) &&
                       lock_for_writing(report.get(), give_up_at_) &&
                       (!disk || has_room(report.get(), bytes.size())) && write_all(report.get(), bytes) &&
                       (!disk || ::SetEndOfFile(report.get()) != 0);
  if (!written && made) {
    delete_on_close(report.get());
  }
  const bool closed = report.close();
  return written && closed;
}

// .NAME.RANDOM.tmp beside the report, or .tessolin.RANDOM.tmp where the report's name is too long
// for that: longer than 255 UTF-16 units, or refused by a file system that counts its limit in
// bytes (Wine on Linux, Samba and NAS shares). It is opened to be renamed over the report through
// its own handle, or to go again; a virus scanner may read it meanwhile, if it lets it be renamed.
// It has the old report's attributes from the start.
scratch_file::scratch_file(report_target &report) : report_(report), path_(allocate<wchar_t>(path_capacity)) {
  if (!path_) {
    return;
  }
  const std::wstring_view stored{report.stored_path_.get()};
  const std::wstring_view folder = stored.substr(0, report.name_at_);
  constexpr std::wstring_view short_stem = L"tessolin";
  std::wstring_view stem = scratch_stem(stored.substr(report.name_at_));
  const DWORD attributes = report.old_attributes_ & kept_attributes;
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!take_scratch_name(folder, stem, path_.get())) {
      return;
    }
    file_.reset(::CreateFileW(path_.get(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL,
                              nullptr));
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
  // A folder that takes no new file still lets an existing report be written, as does a volume
  // with no room left for one more file: a write in place needs none.
  const DWORD why = ::GetLastError();
  made_ = why == ERROR_DISK_FULL || why == disk_quota_exceeded ? step::write_in_place : after_error(why);
}

scratch_file::~scratch_file() {
  if (made_ == step::done && !committed_) {
    delete_on_close(file_.get()); // by its handle: a virus scanner that holds it does not keep it
  }
  file_.close();
}

bool scratch_file::write(std::string_view bytes) const { return write_all(file_.get(), bytes); }

// The old report's DACL, where it is its own, its alternate data streams, exact attributes and
// creation time: not its owner or SACL, which need privileges, nor its 8.3 short name or object ID.
step scratch_file::take_on_report() const {
  if (report_.kind_ != report_kind::replaceable) {
    return step::done; // a new report gets what any new file gets
  }
  const HANDLE old = report_.old_.get();
  if (const step given = take_on_dacl(old, file_.get()); given != step::done) {
    return given;
  }
  if (const step copied = copy_streams(old, file_.get()); copied != step::done) {
    return copied;
  }
  FILE_BASIC_INFO was{};
  if (::GetFileInformationByHandleEx(old, FileBasicInfo, &was, sizeof was) == 0) {
    return after_error(::GetLastError());
  }
  FILE_BASIC_INFO basic{}; // times of zero stay as they are
  basic.CreationTime = was.CreationTime;
  basic.FileAttributes = (was.FileAttributes & kept_attributes) != 0 ? was.FileAttributes & kept_attributes
                                                                     : FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic) != 0
             ? step::done
             : after_error(::GetLastError());
}

// The new file is renamed over the report through its own handle, in one step: the report's
// name names the old report or the new one at every moment, and never has a second name.
// Right before each try, what the name holds must not be the description. A rename refused
// while another run or program holds the report is tried again until the run's time to wait
// is over, and the report then written in place. A new report must still be missing: one that
// another run or program made meanwhile is looked at again, to be replaced whole as an old report
// is rather than lost or emptied by a write in place.
step scratch_file::commit() {
  const wchar_t *const report = report_.stored_path_.get();
  const bool is_new = report_.kind_ == report_kind::absent;
  if (report_.stray_) {
    // The old report's second name goes first, while it names the old report: the report is
    // then a file of one name, whichever run or step comes next.
    const os_handle second{::CreateFileW(report_.stray_.get(), DELETE, share_all, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (second.is_open() && is_same_file(second.get(), report_.old_.get())) {
      delete_on_close(second.get());
    }
  }
  report_.old_.close(); // a handle of its own on the report would refuse the rename
  for (;;) {
    if (!is_new && names_description(report, FILE_FLAG_OPEN_REPARSE_POINT, report_.description_)) {
      return step::failed;
    }
    if (rename_to(file_.get(), report, !is_new)) {
      committed_ = true;
      return step::done;
    }
    const DWORD why = ::GetLastError();
    if (why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) {
      return step::look_again; // a new report, made meanwhile
    }
    if (!is_busy(why) && why != ERROR_ACCESS_DENIED) {
      return after_error(why);
    }
    if (!wait_a_moment(report_.give_up_at_)) {
      return step::write_in_place;
    }
  }
}

} // namespace tessolin
