#include "heap.hpp"
#include "platform.hpp"

#include <cstdio> // renameat2
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace tessolin {
namespace {

// Storage that a report written over it would destroy; a terminal or a FIFO is not.
bool is_storage(const struct stat &file) { return S_ISREG(file.st_mode) || S_ISBLK(file.st_mode); }

// The same inode, or two device nodes of one disk.
bool is_same_storage(const struct stat &one, const struct stat &other) {
  return (one.st_dev == other.st_dev && one.st_ino == other.st_ino) ||
         (S_ISBLK(one.st_mode) && S_ISBLK(other.st_mode) && one.st_rdev == other.st_rdev);
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

// The folder that holds the report named `path`, whose last '/' is `slash`, opened
// only to find things in it.
int open_folder(const char *path, const char *slash) {
  constexpr int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  if (slash == nullptr) {
    return ::open(".", flags);
  }
  std::array<char, PATH_MAX> folder{};
  const auto length = static_cast<std::size_t>(slash - path);
  if (length >= folder.size()) {
    return -1; // longer than any path the kernel takes
  }
  std::memcpy(folder.data(), path, length);
  return ::open(length == 0 ? "/" : folder.data(), flags);
}

// An exclusive lock on a report written in place, so that two runs never mix their lines in it.
// Another run holds it for a moment only; one held longer is another program's, and is respected.
bool lock_for_writing(int fd) {
  constexpr int attempts = 50;
  constexpr timespec pause{0, 10'000'000}; // 10 ms: half a second in all, as the Windows build waits
  for (int attempt = 1;; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return true; // a file system without locks: written as a plain open would
    }
    if (attempt == attempts) {
      return false;
    }
    ::nanosleep(&pause, nullptr);
  }
}

// A write by a user without CAP_FSETID clears the set-user-ID bit, and the set-group-ID bit of a
// group-executable file: whether `fd` has `mode`, given again where a write took part of it.
bool keeps_mode(int fd, mode_t mode) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) {
    return false;
  }
  return now.st_mode == mode ||
         (::fchmod(fd, mode & 07777) == 0 && ::fstat(fd, &now) == 0 && now.st_mode == mode);
}

// A folder that is append-only or immutable lets a file be made in it that can then never be
// renamed or removed, so nothing is made in it.
bool takes_scratch_files(int folder) {
  struct statx found {};
  constexpr auto fixed = static_cast<std::uint64_t>(STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
  return ::statx(folder, "", AT_EMPTY_PATH, STATX_TYPE, &found) == 0 && (found.stx_attributes & fixed) == 0;
}

// Errors that say a file system has no inode flags at all, or (ENOSYS, from an emulator such as
// qemu-user) that the system knows no such request.
bool has_no_flags(int error) {
  return error == ENOTTY || error == ENOTSUP || error == EINVAL || error == ENOSYS;
}

// Every flag chattr sets; the others tell how the file is stored, not what the caller chose.
constexpr int chosen_flags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_IMMUTABLE_FL |
                             FS_APPEND_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL |
                             FS_NOTAIL_FL | FS_DIRSYNC_FL | FS_TOPDIR_FL | FS_NOCOW_FL | FS_DAX_FL |
                             FS_PROJINHERIT_FL | FS_CASEFOLD_FL;

// Gives `fd` the inode flags `wanted` among those chosen by the caller, both ways: a flag the
// new file got from its folder (+C, +x) goes too.
step take_on_flags(int fd, int wanted) {
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    return wanted == 0 && has_no_flags(errno) ? step::done : step::write_in_place;
  }
  if ((flags & chosen_flags) == (wanted & chosen_flags)) {
    return step::done;
  }
  flags = (flags & ~chosen_flags) | (wanted & chosen_flags);
  int now = 0;
  return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &now) == 0 &&
                 (now & chosen_flags) == (wanted & chosen_flags)
             ? step::done
             : step::write_in_place;
}

// What FS_IOC_FSSETXATTR sets, less what only the file system sets (preallocated extents, has attributes).
bool same_extended(const struct fsxattr &one, const struct fsxattr &other) {
  constexpr unsigned int set_by_file_system = FS_XFLAG_PREALLOC | FS_XFLAG_HASATTR;
  return ((one.fsx_xflags ^ other.fsx_xflags) & ~set_by_file_system) == 0 &&
         one.fsx_projid == other.fsx_projid && one.fsx_extsize == other.fsx_extsize &&
         one.fsx_cowextsize == other.fsx_cowextsize;
}

// Gives `fd` the extended flags, extent size hints and project ID of `from`, where the file
// system has them: a folder's project (chattr -p, +P) must not become the report's.
step take_on_extended_flags(int fd, int from) {
  struct fsxattr wanted {};
  struct fsxattr got {};
  if (::ioctl(from, FS_IOC_FSGETXATTR, &wanted) != 0 || ::ioctl(fd, FS_IOC_FSGETXATTR, &got) != 0) {
    return has_no_flags(errno) ? step::done : step::write_in_place;
  }
  if (same_extended(wanted, got)) {
    return step::done;
  }
  got.fsx_xflags = wanted.fsx_xflags;
  got.fsx_projid = wanted.fsx_projid;
  got.fsx_extsize = wanted.fsx_extsize;
  got.fsx_cowextsize = wanted.fsx_cowextsize;
  return ::ioctl(fd, FS_IOC_FSSETXATTR, &got) == 0 && ::ioctl(fd, FS_IOC_FSGETXATTR, &got) == 0 &&
                 same_extended(wanted, got)
             ? step::done
             : step::write_in_place;
}

// A list of attribute names or an attribute's value, as the kernel hands it out.
struct attribute_bytes {
  heap_array<char> bytes;
  std::size_t size = 0;
  [[nodiscard]] std::string_view view() const { return {bytes.get(), size}; }
};

// Asks `get` (flistxattr or fgetxattr) for the size, then for the bytes. Nothing, with
// errno set, when that fails (also when they grew in between) or memory is short.
template <typename Get> std::optional<attribute_bytes> fetch(const Get &get) {
  const ssize_t size = get(nullptr, 0);
  if (size <= 0) {
    return size == 0 ? std::optional{attribute_bytes{}} : std::nullopt;
  }
  heap_array<char> bytes = allocate<char>(static_cast<std::size_t>(size));
  if (!bytes) {
    errno = ENOMEM;
    return std::nullopt;
  }
  const ssize_t read = get(bytes.get(), static_cast<std::size_t>(size));
  if (read < 0) {
    return std::nullopt;
  }
  return attribute_bytes{std::move(bytes), static_cast<std::size_t>(read)};
}

// The names of `fd`'s extended attributes, each ending in a zero byte; none on a file system without them.
std::optional<attribute_bytes> attribute_names(int fd) {
  auto names = fetch([fd](char *into, std::size_t size) { return ::flistxattr(fd, into, size); });
  if (!names && errno == ENOTSUP) {
    return attribute_bytes{};
  }
  return names;
}

// Calls `each` with every name in a list of zero-terminated names, until it returns false.
template <typename Each> bool for_each_name(std::string_view names, const Each &each) {
  while (!names.empty()) {
    const std::string_view name{names.data()};
    if (!each(name.data())) {
      return false;
    }
    names.remove_prefix(std::min(names.size(), name.size() + 1));
  }
  return true;
}

bool has_name(std::string_view names, std::string_view wanted) {
  // for_each_name stops, and returns false, at the first name that is the one wanted.
  return !for_each_name(names, [wanted](const char *name) { return wanted != name; });
}

// Makes `to` carry exactly the extended attributes of `from` (the ACL among them), as
// far as the caller may read and write them.
step take_on_attributes(int from, int to) {
  const std::optional<attribute_bytes> wanted = attribute_names(from);
  const std::optional<attribute_bytes> got = attribute_names(to);
  if (!wanted || !got) {
    return errno == ENOMEM ? step::failed : step::write_in_place;
  }
  const bool copied = for_each_name(wanted->view(), [from, to](const char *name) {
    const auto value =
        fetch([from, name](char *into, std::size_t size) { return ::fgetxattr(from, name, into, size); });
    return value && ::fsetxattr(to, name, value->bytes.get(), value->size, 0) == 0;
  });
  // ENODATA: gone with another name for it, as xfs lists an ACL to root under two names.
  const bool pruned =
      copied && for_each_name(got->view(), [&wanted, to](const char *name) {
        return has_name(wanted->view(), name) || ::fremovexattr(to, name) == 0 || errno == ENODATA;
      });
  if (!pruned) {
    return errno == ENOMEM ? step::failed : step::write_in_place;
  }
  return step::done;
}

// Letters and digits for a scratch file's name: random, and different for every attempt
// even where the kernel has no randomness to give.
void fill_random(std::span<char> into, unsigned int attempt) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t noise = 0;
  if (::getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise) {
    noise = static_cast<std::uint64_t>(::getpid());
  }
  noise += attempt * 0x9E3779B97F4A7C15ULL;
  constexpr std::uint64_t letters = alphabet.size();
  for (char &letter : into) {
    letter = alphabet[static_cast<std::size_t>(noise % letters)];
    noise /= letters;
  }
}

} // namespace

std::optional<std::pair<native_path, native_path>> command_line_paths(int argc, char *argv[]) {
  if (argc != 3) {
    return std::nullopt;
  }
  return std::pair{argv[1], argv[2]}; // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
}

void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN); // NOLINT(cert-err33-c): both always exist, nothing to check
  std::signal(SIGXFSZ, SIG_IGN); // NOLINT(cert-err33-c)
}

void os_handle::reset(native value) {
  close();
  value_ = value < 0 ? none : value;
}

bool os_handle::close() {
  if (value_ == none) {
    return true;
  }
  return ::close(std::exchange(value_, none)) == 0;
}

input_file::input_file(native_path path) : file_(::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC)) {}

std::ptrdiff_t input_file::read(std::span<char> into) const {
  for (;;) {
    const ssize_t got = ::read(file_.get(), into.data(), into.size());
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

file_identity::file_identity(int handle) {
  known_ = ::fstat(handle, &status_) == 0;
  storage_ = known_ && is_storage(status_);
}

bool file_identity::is_reached_through(int handle) const {
  struct stat other {};
  if (!known_ || !storage_) {
    return !known_; // cannot tell: keep the description safe
  }
  return ::fstat(handle, &other) != 0 || is_same_storage(status_, other);
}

bool file_identity::is_reached_by(native_path path) const {
  struct stat other {};
  if (!known_ || !storage_) {
    return !known_;
  }
  return ::stat(path, &other) == 0 && is_same_storage(status_, other);
}

// Only a regular file of ours with one link, that we may write, is replaced:
// renaming over a link, a device, a FIFO, a mount point or another owner's file would
// break what the caller set up. A report we may not write fails in place as it always has.
report_target::report_target(native_path path, const file_identity &description)
    : path_(path), description_(description) {
  const char *const slash = std::strrchr(path, '/');
  name_ = slash == nullptr ? path : slash + 1;
  const std::string_view name{name_};
  if (name.empty() || name == "." || name == "..") {
    return;
  }
  folder_.reset(open_folder(path, slash));
  if (!folder_.is_open() || !takes_scratch_files(folder_.get())) {
    return;
  }
  struct stat found {};
  if (::fstatat(folder_.get(), name_, &found, AT_SYMLINK_NOFOLLOW) != 0) {
    kind_ = errno == ENOENT ? report_kind::absent : report_kind::in_place;
    return;
  }
  if (!S_ISREG(found.st_mode) || ::faccessat(folder_.get(), name_, W_OK, AT_EACCESS) != 0) {
    return;
  }
  // A report one may write but not read (a drop box, mode 0200) is looked at through a descriptor
  // for writing. O_NONBLOCK: a leased report is refused at once, and left to the in-place write.
  constexpr int look = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  old_.reset(::openat(folder_.get(), name_, O_RDONLY | look));
  if (!old_.is_open() && errno == EACCES) {
    old_.reset(::openat(folder_.get(), name_, O_WRONLY | look));
  }
  if (!old_.is_open() || ::fstat(old_.get(), &old_status_) != 0 || !S_ISREG(old_status_.st_mode) ||
      old_status_.st_nlink != 1 || old_status_.st_uid != ::geteuid()) {
    return;
  }
  int flags = 0;
  if (::ioctl(old_.get(), FS_IOC_GETFLAGS, &flags) != 0 && !has_no_flags(errno)) {
    return;
  }
  if ((flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
    return; // no write may change it, in place or not
  }
  old_flags_ = flags;
  kind_ = report_kind::replaceable;
}

// Opened without O_TRUNC, so that what the path names now is checked, and locked, before a
// byte of it is lost. The folder and the old report are let go first: a plain open needs one
// descriptor, and may have only one left.
bool report_target::write_in_place(std::string_view bytes) {
  old_.close();
  folder_.close();
  os_handle report{::open(path_, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666)};
  struct stat opened {};
  if (!report.is_open() || description_.is_reached_through(report.get()) || !lock_for_writing(report.get()) ||
      ::fstat(report.get(), &opened) != 0 || (S_ISREG(opened.st_mode) && ::ftruncate(report.get(), 0) != 0)) {
    return false;
  }
  return write_all(report.get(), bytes) && report.close(); // the close lets go of the lock
}

// .NAME.XXXXXX beside the report, or .tessolin.XXXXXX where the report's name is too long
// for that. For a new report mode 0666, so that the umask or the folder's default ACL applies
// as to any new file; beside an old one no access for group or others, and none for the owner
// that the old report does not give, until it has taken on the old report's.
scratch_file::scratch_file(report_target &report) : report_(report) {
  const mode_t mode = report.kind_ == report_kind::replaceable ? report.old_status_.st_mode & 0600 : 0666;
  const int folder = report.folder_.get();
  const long name_max = ::fpathconf(folder, _PC_NAME_MAX);
  const std::size_t longest =
      name_max > 0 ? std::min<std::size_t>(static_cast<std::size_t>(name_max), 255) : 255;
  constexpr std::size_t random_size = 6;
  constexpr std::size_t extra = 2 + random_size; // the two dots and the random part
  std::string_view stem = report.name_;
  if (stem.size() + extra > longest) {
    stem = "tessolin";
  }
  name_[0] = '.';
  std::memcpy(&name_[1], stem.data(), stem.size());
  name_[stem.size() + 1] = '.';
  const std::span<char> random{&name_[stem.size() + 2], random_size};
  for (unsigned int attempt = 0; attempt < 100; ++attempt) {
    fill_random(random, attempt);
    file_.reset(::openat(folder, name_.data(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode));
    if (file_.is_open()) {
      made_ = step::done;
      return;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  // A folder that takes no new file (/proc/sys says ENOENT), or a run out of descriptors, still
  // lets the report be written as a plain open would.
  const bool refused = errno == EACCES || errno == EPERM || errno == EROFS || errno == ENAMETOOLONG ||
                       errno == ENOENT || errno == EMFILE || errno == ENFILE;
  made_ = refused ? step::write_in_place : step::failed;
}

scratch_file::~scratch_file() {
  file_.close();
  if (made_ == step::done && !committed_) {
    ::unlinkat(report_.folder_.get(), name_.data(), 0);
  }
}

bool scratch_file::write(std::string_view bytes) const { return write_all(file_.get(), bytes); }

// Group first, as a change of group clears the set-group-ID bit; the ACL, carried by the
// attributes, before the mode, which it would change; then a check that all of it held.
step scratch_file::take_on_report() const {
  if (report_.kind_ != report_kind::replaceable) {
    return step::done; // a new report gets what any new file gets
  }
  const auto fd = file_.get();
  const struct stat &old = report_.old_status_;
  struct stat made {};
  if (::fstat(fd, &made) != 0 ||
      (made.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)) {
    return step::write_in_place;
  }
  if (const step copied = take_on_attributes(report_.old_.get(), fd); copied != step::done) {
    return copied;
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) {
    return step::write_in_place;
  }
  if (const step flagged = take_on_flags(fd, report_.old_flags_); flagged != step::done) {
    return flagged;
  }
  if (const step flagged = take_on_extended_flags(fd, report_.old_.get()); flagged != step::done) {
    return flagged;
  }
  const bool same = ::fstat(fd, &made) == 0 && made.st_uid == old.st_uid && made.st_gid == old.st_gid &&
                    made.st_mode == old.st_mode;
  return same ? step::done : step::write_in_place;
}

step scratch_file::commit() {
  if (report_.kind_ == report_kind::replaceable && !keeps_mode(file_.get(), report_.old_status_.st_mode)) {
    return step::write_in_place;
  }
  if (!file_.close()) {
    return step::failed;
  }
  // Let go of the old report first: freeing its storage at the rename costs less than at a close after it.
  report_.old_.close();
  const int folder = report_.folder_.get();
  // A new report must still be missing: one that another program made meanwhile is written in
  // place rather than lost. Some file systems (NFS) know no RENAME_NOREPLACE and say EINVAL.
  const bool is_new = report_.kind_ == report_kind::absent;
  committed_ = is_new ? ::renameat2(folder, name_.data(), folder, report_.name_, RENAME_NOREPLACE) == 0
                      : ::renameat(folder, name_.data(), folder, report_.name_) == 0;
  if (!committed_ && is_new && errno == EINVAL) {
    committed_ = ::renameat(folder, name_.data(), folder, report_.name_) == 0;
  }
  if (committed_) {
    return step::done;
  }
  // EBUSY or EXDEV: a report that is a mount point, or in a folder of another project (xfs, ext4).
  return errno == EBUSY || errno == EXDEV || errno == EEXIST ? step::write_in_place : step::failed;
}

} // namespace tessolin
