// The few things the run needs from the operating system: the command line, the
// description, and the report's file. One source file per platform implements them;
// the rules for using them are the report writer's.
#pragma once

#include "heap.hpp"

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tessolin {

/// A path as the operating system takes it: bytes on POSIX, UTF-16 on Windows.
using native_path = const std::filesystem::path::value_type *;

/// FILE_IN and FILE_OUT, when the command line holds exactly these two arguments.
[[nodiscard]] std::optional<std::pair<native_path, native_path>> command_line_paths(int argc, char *argv[]);

/// Makes a write to a closed pipe or past the file-size limit a failed write, not a fatal signal.
void ignore_write_signals();

/// An open file or folder of the operating system, closed when it goes out of scope.
class os_handle {
public:
#ifdef _WIN32
  using native = void *; // a HANDLE
  static constexpr native none = nullptr;
#else
  using native = int; // a file descriptor
  static constexpr native none = -1;
#endif
  os_handle() = default;
  /// Takes `value` over; an invalid handle counts as none.
  explicit os_handle(native value) { reset(value); }
  ~os_handle() { close(); }
  os_handle(const os_handle &) = delete;
  os_handle &operator=(const os_handle &) = delete;
  /// Takes the handle of `other` over.
  os_handle(os_handle &&other) noexcept : value_(std::exchange(other.value_, none)) {}
  os_handle &operator=(os_handle &&) = delete;

  [[nodiscard]] native get() const { return value_; }
  [[nodiscard]] bool is_open() const { return value_ != none; }
  /// Takes `value` over, closing the handle held before.
  void reset(native value);
  /// Closes the handle now: false when closing it reported an error.
  bool close();

private:
  native value_ = none;
};

/// The storage of the description, as its open handle told it: what no write of the report
/// may reach, by whatever name, link or device node. Taken before the description is closed,
/// it is checked against the very handle that is about to be written.
class file_identity {
public:
  /// The identity of the open file `handle`; a terminal, pipe or console has no storage to keep.
  explicit file_identity(os_handle::native handle);
  file_identity(const file_identity &) = delete;
  file_identity &operator=(const file_identity &) = delete;
  file_identity(file_identity &&) = default;
  file_identity &operator=(file_identity &&) = delete;
  ~file_identity() = default;

  /// Whether writing to the open file `handle` would write this storage; true where that cannot be told.
  [[nodiscard]] bool is_reached_through(os_handle::native handle) const;
  /// Whether what `path` names now is this storage: the early check, before anything is made.
  [[nodiscard]] bool is_reached_by(native_path path) const;

private:
  friend class input_file;
  bool known_ = false;   // whether the handle could be asked at all
  bool storage_ = false; // whether a write could destroy it: a file or a disk, not a terminal
#ifdef _WIN32
  unsigned long long volume_ = 0;
  std::array<unsigned char, 16> id_{}; // FILE_ID_128, or the 64-bit index
  heap_array<wchar_t> device_path_;    // its path, where the file system gives no usable ID
  os_handle held_; // the description's own, which keeps every other program from changing it
#else
  struct stat status_ {};
  bool disk_known_ = false;    // whether /sys told which disk a disk or partition is on
  dev_t disk_ = 0;             // for a disk or partition, the whole disk that holds it
  bool backing_known_ = false; // whether a loop device told what is behind it
  struct stat backing_ {};     // for a loop device or its partition, the file behind it (device, inode)
  bool overlay_ = true;        // on an overlay, whose files show their layer's inode number, or not known
  /// Whether writing the file `other`, open as `handle` (O_PATH for an early look), would write this storage.
  [[nodiscard]] bool is_same_storage(const struct stat &other, int handle) const;
#endif
};

/// The FRU description, open for reading in binary mode until it is closed.
class input_file {
public:
  explicit input_file(native_path path);

  /// Whether the file could be opened.
  [[nodiscard]] bool is_open() const { return file_.is_open(); }
  /// Reads once, as much as is there: the bytes read, 0 at the end of the input, -1 on a read error.
  [[nodiscard]] std::ptrdiff_t read(std::span<char> into) const;
  /// The storage this file is kept on, to check the report against; on Windows it also keeps
  /// the file shut to every other program's writes, renames and deletions for as long as it lives.
  [[nodiscard]] file_identity identity() const;
  /// Closes the file: the report is written only after it.
  void close() { file_.close(); }

private:
  os_handle file_;
#ifdef _WIN32
  bool shut_ = false; // opened so that no other program may write, rename or delete it
#endif
};

/// What the report's path names before anything is written.
enum class report_kind {
  absent,      // nothing: a new file may take its place
  replaceable, // a plain file that a new one can replace without losing anything
  in_place,    // anything else, to be written in place
  unusable,    // nothing may be written: the description, a name of no file, or memory short
};

/// How a step of replacing the report went: done, failed for good, refused in a way that
/// writing in place avoids, or a new report found made meanwhile, to be looked at again.
enum class step { done, failed, write_in_place, look_again };

/// The report's path, looked at once; what it names is told apart by kind().
class report_target {
public:
  /// Looks at `path`; `description` must outlive it, and nothing that reaches it is written.
  report_target(native_path path, const file_identity &description);

  [[nodiscard]] report_kind kind() const { return kind_; }
  /// Truncates or creates what the path names and writes `bytes` to it, as a plain
  /// open for writing would, unless it is the description: true only when every write and the close worked.
  [[nodiscard]] bool write_in_place(std::string_view bytes);

private:
  friend class scratch_file;
  native_path path_;
  const file_identity &description_;
  report_kind kind_ = report_kind::unusable; // until the look says otherwise
#ifdef _WIN32
  heap_array<wchar_t> stored_path_;   // the full path as the report's handle, or its folder's, gives it
  std::size_t name_at_ = 0;           // where the report's name begins in it
  std::size_t stream_at_ = 0;         // for a stream (r.txt:s), where its part begins in the full path
  os_handle old_;                     // the report that may be replaced, to read its DACL and streams from
  unsigned long old_attributes_ = 0;  // the report's FILE_ATTRIBUTE_ flags
  heap_array<wchar_t> stray_;         // the report's second name, left by a run that was stopped
  unsigned long long give_up_at_ = 0; // when waits for a busy report end (GetTickCount64)
  /// Makes the missing report, or stream, for writing and deleting; none where it may not be made.
  [[nodiscard]] os_handle::native make_report();
#else
  native_path name_ = nullptr; // the last part of path_, found in folder_
  os_handle folder_;
  os_handle old_; // the report as it is, to read its attributes from
  struct stat old_status_ {};
  int old_flags_ = 0;            // the report's inode flags (chattr)
#endif
};

/// A new file beside the report, removed when it goes out of scope unless it was committed.
class scratch_file {
public:
  /// Creates the file, empty, beside `report`, which must outlive it.
  explicit scratch_file(report_target &report);
  ~scratch_file();
  scratch_file(const scratch_file &) = delete;
  scratch_file &operator=(const scratch_file &) = delete;
  scratch_file(scratch_file &&) = delete;
  scratch_file &operator=(scratch_file &&) = delete;

  /// Whether the file was made; write_in_place where the folder takes no new file.
  [[nodiscard]] step made() const { return made_; }
  /// Writes all of `bytes`: false when the file system did not take them.
  [[nodiscard]] bool write(std::string_view bytes) const;
  /// Gives the file everything the old report has besides its bytes (group, mode, ACL, extended
  /// attributes and inode flags; on Windows DACL, streams, attributes): write_in_place where one cannot be.
  [[nodiscard]] step take_on_report() const;
  /// Moves the file over the report, under its stored name, unless the name then holds the description.
  [[nodiscard]] step commit();

private:
  report_target &report_;
  os_handle file_;
  step made_ = step::failed;
  bool committed_ = false;
#ifdef _WIN32
  heap_array<wchar_t> path_;
#else
  std::array<char, 256> name_{}; // NAME_MAX and its zero byte
  /// After the exchange: removes the file it displaced, or swaps it back where it is the description.
  [[nodiscard]] step settle_exchange();
#endif
};

} // namespace tessolin
