// Linux: the description, the report's file, and the guards that keep both safe. Every guard
// decides on a handle opened at the moment it acts, never on a name looked at before. Where the
// kernel cannot give a guard its facts (a call it lacks, a query refused, /sys not there), the
// guard takes the answer that keeps the description and the report safe: the description counts
// as reached, and the report is written in place (never replaced) or not at all.
#include "heap.hpp"
#include "platform.hpp"

#include <cstdio> // renameat2
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

#ifdef TESSOLIN_STATIC_GLIBC_2_31
// A static link against Debian 11's C library (glibc 2.31), as the tarballs are made, gets this
// compiler's unwinder, which asks glibc 2.35's _dl_find_object for a program's unwind tables,
// needed by the C library's own stdio for thread cancellation. Here it finds none, and the
// unwinder gives up: the tool throws nothing and starts no thread, so nothing ever unwinds.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
extern "C" int _dl_find_object(void * /*address*/, void * /*found*/) { return -1; }
#endif

namespace tessolin {
namespace {

// Storage that a report written over it would destroy; a terminal or a FIFO is not.
bool is_storage(const struct stat &file) { return S_ISREG(file.st_mode) || S_ISBLK(file.st_mode); }

// The disk that the block device `device` is on, as /sys tells: the `dev` of the folder above a
// partition's (/sys/dev/block/8:1 leads to .../sda/sda1), or `device` itself for a whole disk.
// Nothing where /sys cannot tell (not mounted, hidden, or a device it does not list).
std::optional<dev_t> whole_disk(dev_t device) {
  constexpr std::size_t digits = 10; // of any unsigned int
  std::array<char, 64> path{};
  char *at = std::copy_n("/sys/dev/block/", 15, path.data());
  at = std::copy_n(":", 1, std::to_chars(at, at + digits, major(device)).ptr);
  at = std::to_chars(at, at + digits, minor(device)).ptr;
  std::copy_n("/partition", 11, at);
  if (::access(path.data(), F_OK) != 0) {
    if (errno != ENOENT) {
      return std::nullopt;
    }
    *at = '\0'; // the device's own folder: where /sys lists it, it is a whole disk
    return ::access(path.data(), F_OK) == 0 ? std::optional{device} : std::nullopt;
  }
  std::copy_n("/../dev", 8, at);
  const os_handle file{::open(path.data(), O_RDONLY | O_CLOEXEC)};
  std::array<char, 24> text{}; // MAJOR:MINOR and a line end
  const ssize_t got = file.is_open() ? ::read(file.get(), text.data(), text.size()) : -1;
  const char *const end = text.data() + std::max<ssize_t>(got, 0);
  unsigned int disk_major = 0;
  unsigned int disk_minor = 0;
  const auto [colon, major_error] = std::from_chars(text.data(), end, disk_major);
  if (major_error != std::errc{} || colon == end || *colon != ':' ||
      std::from_chars(colon + 1, end, disk_minor).ec != std::errc{}) {
    return std::nullopt;
  }
  return makedev(disk_major, disk_minor);
}

enum class answer { no, yes, cannot_tell };

// Whether the block device open as `handle` (whose number is `device`) keeps its bytes in a file:
// a loop device, or a partition of one. The file's device and inode go to `file`.
answer loop_backing(int handle, dev_t device, struct stat &file) {
  loop_info64 info{};
  if (::ioctl(handle, LOOP_GET_STATUS64, &info) == 0) {
    file.st_dev = static_cast<dev_t>(info.lo_device);
    file.st_ino = static_cast<ino_t>(info.lo_inode);
    return answer::yes;
  }
  // ENXIO: a loop device with no file. ENOTTY or EINVAL: no loop device, unless its number says it is one.
  const bool other_device = (errno == ENOTTY || errno == EINVAL) && major(device) != LOOP_MAJOR;
  return errno == ENXIO || other_device ? answer::no : answer::cannot_tell;
}

// Whether the open file `handle` is on an overlay, or that cannot be told.
bool may_be_on_overlay(int handle) {
  struct statfs found {};
  return ::fstatfs(handle, &found) != 0 || found.f_type == OVERLAYFS_SUPER_MAGIC;
}

bool is_same_file(const struct stat &one, const struct stat &other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
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

// What an error of a step of the replacement means. Short of space, quota or memory, or a disk
// that fails: the run ends with the report untouched, as a write in place could empty it. Any
// other error says that this way is refused here (a right, a flag or a feature this file system
// or folder lacks), and the report is written in place, as a plain open for writing would.
step after_error(int error) {
  const bool short_or_broken = error == ENOSPC || error == EDQUOT || error == ENOMEM || error == EIO;
  return short_or_broken ? step::failed : step::write_in_place;
}

// A file system without renameat2's flags (EINVAL: NFS, some FUSE file systems), or a kernel
// without renameat2 (ENOSYS: before Linux 3.15, where the C library does not say EINVAL itself).
bool lacks_rename_flags(int error) { return error == EINVAL || error == ENOSYS; }

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

extern "C" {
static void wake_up(int /*signal*/) {} // only interrupts a wait
}

// A timer that interrupts a blocking system call of this thread every `tick`, for as long as it
// lives. It goes on ticking until the wait is over, so that no tick can come too early to count.
// SIGALRM is unblocked meanwhile: a caller's signal mask, which the run inherits, must not keep
// the ticks away.
class wake_up_timer {
public:
  explicit wake_up_timer(suseconds_t tick) {
    struct sigaction wake {};
    wake.sa_handler = wake_up; // no SA_RESTART: the wait returns EINTR
    ::sigemptyset(&wake.sa_mask);
    sigset_t alarm{};
    ::sigemptyset(&alarm);
    ::sigaddset(&alarm, SIGALRM);
    const itimerval every{{0, tick}, {0, tick}};
    unmasked_ = ::sigaction(SIGALRM, &wake, nullptr) == 0 && ::sigprocmask(SIG_UNBLOCK, &alarm, &mask_) == 0;
    armed_ = unmasked_ && ::setitimer(ITIMER_REAL, &every, nullptr) == 0;
  }
  // The handler stays: a tick already on its way must not end the run.
  ~wake_up_timer() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    if (unmasked_) {
      ::sigprocmask(SIG_SETMASK, &mask_, nullptr);
    }
  }
  wake_up_timer(const wake_up_timer &) = delete;
  wake_up_timer &operator=(const wake_up_timer &) = delete;
  wake_up_timer(wake_up_timer &&) = delete;
  wake_up_timer &operator=(wake_up_timer &&) = delete;

  [[nodiscard]] bool armed() const { return armed_; }

private:
  sigset_t mask_{}; // the caller's
  bool unmasked_ = false;
  bool armed_ = false;
};

// Whether a file's bytes or size changed between two looks.
bool changed(const struct stat &before, const struct stat &now) {
  return before.st_ctim.tv_sec != now.st_ctim.tv_sec || before.st_ctim.tv_nsec != now.st_ctim.tv_nsec ||
         before.st_size != now.st_size;
}

// An exclusive lock on a report written in place, so that runs at once never mix their lines in it.
// A run waits in the kernel's queue, so that hundreds of runs at once all have their turn. Every
// tenth of a second it looks at the report: while it changes, runs are taking their turns; when
// it stays the same for two seconds, one holder has kept the lock all that time, another program
// that means to, and the run gives up (false). It gives up after thirty seconds in all, whatever
// the report does. A file system without locks is written as a plain open would write it.
bool lock_for_writing(int fd) {
  constexpr suseconds_t tick_us = 100'000;
  constexpr int patience_ticks = 20;  // two seconds without a change
  constexpr int deadline_ticks = 300; // thirty seconds
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
    return true;
  }
  const wake_up_timer timer{tick_us};
  struct stat seen {};
  if (!timer.armed() || ::fstat(fd, &seen) != 0) {
    return false;
  }
  for (int unchanged = 0, ticks = 0; unchanged < patience_ticks && ticks < deadline_ticks; ++ticks) {
    if (::flock(fd, LOCK_EX) == 0 || errno != EINTR) {
      return true;
    }
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
      return false;
    }
    unchanged = changed(seen, now) ? 0 : unchanged + 1;
    seen = now;
  }
  return false;
}

// A write by a user without CAP_FSETID clears the set-user-ID bit, and the set-group-ID bit of a
// group-executable file: done when `fd` has `mode`, given again where a write took part of it.
step keep_mode(int fd, mode_t mode) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) {
    return after_error(errno);
  }
  if (now.st_mode == mode) {
    return step::done;
  }
  if (::fchmod(fd, mode & 07777) != 0 || ::fstat(fd, &now) != 0) {
    return after_error(errno);
  }
  return now.st_mode == mode ? step::done : step::write_in_place;
}

// Errors that say a file system has no inode flags at all, or (ENOSYS, from an emulator such as
// qemu-user) that the system knows no such request.
bool has_no_flags(int error) {
  return error == ENOTTY || error == ENOTSUP || error == EINVAL || error == ENOSYS;
}

// A folder that is append-only or immutable lets a file be made in it that can then never be
// renamed or removed, so nothing is made in it. statx tells, where the file system says it
// keeps those flags; else (no statx before Linux 4.11, or a filter that refuses it)
// FS_IOC_GETFLAGS on the folder opened for reading does. Where neither tells, nothing is made.
bool takes_scratch_files(int folder) {
  constexpr auto fixed = static_cast<std::uint64_t>(STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
  struct statx found {};
  if (::statx(folder, "", AT_EMPTY_PATH, STATX_TYPE, &found) == 0 &&
      (found.stx_attributes_mask & fixed) == fixed) {
    return (found.stx_attributes & fixed) == 0;
  }
  const os_handle listed{::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC)};
  int flags = 0;
  if (!listed.is_open() || ::ioctl(listed.get(), FS_IOC_GETFLAGS, &flags) != 0) {
    return listed.is_open() && has_no_flags(errno);
  }
  return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
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
    return wanted == 0 && has_no_flags(errno) ? step::done : after_error(errno);
  }
  if ((flags & chosen_flags) == (wanted & chosen_flags)) {
    return step::done;
  }
  flags = (flags & ~chosen_flags) | (wanted & chosen_flags);
  if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    return after_error(errno);
  }
  return (flags & chosen_flags) == (wanted & chosen_flags) ? step::done : step::write_in_place;
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
    return has_no_flags(errno) ? step::done : after_error(errno);
  }
  if (same_extended(wanted, got)) {
    return step::done;
  }
  got.fsx_xflags = wanted.fsx_xflags;
  got.fsx_projid = wanted.fsx_projid;
  got.fsx_extsize = wanted.fsx_extsize;
  got.fsx_cowextsize = wanted.fsx_cowextsize;
  if (::ioctl(fd, FS_IOC_FSSETXATTR, &got) != 0 || ::ioctl(fd, FS_IOC_FSGETXATTR, &got) != 0) {
    return after_error(errno);
  }
  return same_extended(wanted, got) ? step::done : step::write_in_place;
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

// The access ACL of `fd` as the kernel hands it out: empty where it has none, nothing where it cannot be
// read.
std::optional<attribute_bytes> access_acl(int fd) {
  auto acl = fetch(
      [fd](char *into, std::size_t size) { return ::fgetxattr(fd, "system.posix_acl_access", into, size); });
  if (!acl && (errno == ENODATA || errno == ENOTSUP)) {
    return attribute_bytes{};
  }
  return acl;
}

// The names of `fd`'s extended attributes, each ending in a zero byte. A file system that lists none
// (ENOTSUP) has none, unless the file has an ACL: one that cannot be listed can be neither kept nor
// pruned (the ACL a new file got from its folder's default), so that is a refusal (ENOTSUP).
std::optional<attribute_bytes> attribute_names(int fd) {
  auto names = fetch([fd](char *into, std::size_t size) { return ::flistxattr(fd, into, size); });
  if (names || errno != ENOTSUP) {
    return names;
  }
  const std::optional<attribute_bytes> acl = access_acl(fd);
  errno = ENOTSUP;
  return acl && acl->size == 0 ? std::optional{attribute_bytes{}} : std::nullopt;
}

// Whether `one` and `other` have the same access ACL, or both none.
bool same_acl(int one, int other) {
  const std::optional<attribute_bytes> wanted = access_acl(one);
  const std::optional<attribute_bytes> got = access_acl(other);
  return wanted && got && wanted->view() == got->view();
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
    return after_error(errno);
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
  return pruned ? step::done : after_error(errno);
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

// Opens an existing `path` without waiting for a FIFO's reader: one without fails at once (ENXIO).
// A leased file, which that refuses, is opened as a plain open would, waiting for the lease's
// break (at most fs.lease-break-time). The descriptor is left non-blocking: see blocks_again.
int open_existing(const char *path, int flags) {
  const int opened = ::open(path, flags | O_NONBLOCK);
  return opened >= 0 || errno != EWOULDBLOCK ? opened : ::open(path, flags);
}

// Makes the open file `fd` block on writes again, as a plain open would have it.
bool blocks_again(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens `path` for writing as cp does: an existing file without O_CREAT (which
// fs.protected_regular refuses for another user's file in a sticky folder, even to root), and a
// missing one with O_EXCL, which tells `made` that this run made it. A symbolic link to nothing
// gets its file made as a plain open would make it.
int open_for_writing(const char *path, bool &made) {
  constexpr int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  const int existing = open_existing(path, flags);
  if (existing >= 0 || errno != ENOENT) {
    return existing;
  }
  const int created = ::open(path, flags | O_CREAT | O_EXCL, 0666);
  made = created >= 0;
  if (made || errno != EEXIST) {
    return created;
  }
  const int appeared = open_existing(path, flags); // made meanwhile, or a link to nothing
  return appeared >= 0 || errno != ENOENT ? appeared : ::open(path, flags | O_CREAT, 0666);
}

// Whether `size` bytes fit over the start of the open regular file `fd` within the file-size limit
// and the free space, so that a write in place that fails does so at its first byte.
bool has_room(int fd, std::size_t size) {
  rlimit limit{};
  struct stat now {};
  struct statvfs space {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < size) ||
      ::fstat(fd, &now) != 0) {
    return false;
  }
  if (static_cast<std::size_t>(now.st_size) >= size) {
    return true;
  }
  if (::fstatvfs(fd, &space) != 0) {
    return false;
  }
  const std::size_t block = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
  const auto blocks = [block](std::size_t bytes) { return (bytes + block - 1) / block; };
  const fsblkcnt_t free = ::geteuid() == 0 ? space.f_bfree : space.f_bavail;
  // A file system that counts no blocks (/proc, /sys) has none to run out of.
  return space.f_blocks == 0 || block == 0 ||
         blocks(size) - blocks(static_cast<std::size_t>(now.st_size)) <= free;
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

file_identity input_file::identity() const { return file_identity{file_.get()}; }

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
  if (!storage_) {
    return;
  }
  overlay_ = may_be_on_overlay(handle);
  disk_known_ = backing_known_ = true;
  if (S_ISBLK(status_.st_mode)) {
    const std::optional<dev_t> disk = whole_disk(status_.st_rdev);
    disk_known_ = disk.has_value();
    disk_ = disk.value_or(0);
    backing_known_ = loop_backing(handle, status_.st_rdev, backing_) != answer::cannot_tell;
  }
}

// The same inode; the same inode number where one of the two is on an overlay, which shows its
// layer's inode number under a device of its own; the file behind the description, a loop device;
// a loop device over the description or over the file behind it; another node of the same disk
// or partition, a partition of its disk, or the disk of its partition. A loop device is asked only
// through a handle opened for writing: an O_PATH one, of an early look, leaves that to the write.
bool file_identity::is_same_storage(const struct stat &other, int handle) const {
  const bool overlay = other.st_ino == status_.st_ino && (overlay_ || may_be_on_overlay(handle));
  if (is_same_file(status_, other) || overlay || (S_ISREG(other.st_mode) && !backing_known_) ||
      (backing_.st_ino != 0 && is_same_file(backing_, other))) {
    return true;
  }
  if (!S_ISBLK(other.st_mode)) {
    return false;
  }
  if (S_ISBLK(status_.st_mode)) {
    const std::optional<dev_t> other_disk = whole_disk(other.st_rdev);
    if (other.st_rdev == status_.st_rdev || !disk_known_ || !other_disk || disk_ == other.st_rdev ||
        *other_disk == status_.st_rdev) {
      return true; // one holds the other, or nothing tells that it does not
    }
  }
  const int access = ::fcntl(handle, F_GETFL);
  if (access < 0 || (access & O_PATH) != 0) {
    return access < 0;
  }
  struct stat behind {};
  switch (loop_backing(handle, other.st_rdev, behind)) {
  case answer::no:
    return false;
  case answer::yes:
    return is_same_file(behind, status_) || (backing_.st_ino != 0 && is_same_file(behind, backing_));
  case answer::cannot_tell:
    break;
  }
  return true;
}

bool file_identity::is_reached_through(int handle) const {
  struct stat other {};
  if (!known_ || !storage_) {
    return !known_; // cannot tell: keep the description safe
  }
  return ::fstat(handle, &other) != 0 || is_same_storage(other, handle);
}

bool file_identity::is_reached_by(native_path path) const {
  if (!known_ || !storage_) {
    return !known_;
  }
  const os_handle found{::open(path, O_PATH | O_CLOEXEC)};
  struct stat other {};
  return found.is_open() && ::fstat(found.get(), &other) == 0 && is_same_storage(other, found.get());
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
    return; // no file: unusable, as a plain open would find
  }
  kind_ = report_kind::in_place; // from here on, where nothing better is found
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
  if (old_.is_open() && description.is_reached_through(old_.get())) {
    kind_ = report_kind::unusable; // the description, put at the report's name meanwhile
    return;
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
// descriptor, and may have only one left. The new bytes go over the old ones, and only then is
// the file cut to their length, once the size limit and the free space let them all in: a write
// that fails does so at its first byte, with the report as it was. A report this run made goes
// again if the write fails, where its folder lets it, and only while its name still names it.
bool report_target::write_in_place(std::string_view bytes) {
  old_.close();
  folder_.close();
  bool made = false;
  os_handle report{open_for_writing(path_, made)};
  struct stat opened {};
  if (!report.is_open() || description_.is_reached_through(report.get()) ||
      ::fstat(report.get(), &opened) != 0) {
    return false;
  }
  // Only storage is locked: a FIFO or terminal takes each run's report in one write, whole.
  const bool plain = S_ISREG(opened.st_mode);
  const bool written = blocks_again(report.get()) &&
                       (!is_storage(opened) || lock_for_writing(report.get())) &&
                       (!plain || has_room(report.get(), bytes.size())) && write_all(report.get(), bytes) &&
                       (!plain || ::ftruncate(report.get(), static_cast<off_t>(bytes.size())) == 0) &&
                       report.close(); // the close lets go of the lock
  struct stat named {};
  if (!written && made && ::lstat(path_, &named) == 0 && named.st_dev == opened.st_dev &&
      named.st_ino == opened.st_ino) {
    ::unlink(path_);
  }
  return written;
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
  // A folder that takes no new file (/proc/sys says ENOENT), a run out of descriptors, or a file
  // system out of inodes, still lets the report be written as a plain open would: it needs no new file.
  made_ = errno == ENOSPC || errno == EDQUOT ? step::write_in_place : after_error(errno);
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
    return after_error(errno);
  }
  if (const step copied = take_on_attributes(report_.old_.get(), fd); copied != step::done) {
    return copied;
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) {
    return after_error(errno);
  }
  if (const step flagged = take_on_flags(fd, report_.old_flags_); flagged != step::done) {
    return flagged;
  }
  if (const step flagged = take_on_extended_flags(fd, report_.old_.get()); flagged != step::done) {
    return flagged;
  }
  const bool same = ::fstat(fd, &made) == 0 && made.st_uid == old.st_uid && made.st_gid == old.st_gid &&
                    made.st_mode == old.st_mode && same_acl(report_.old_.get(), fd);
  return same ? step::done : step::write_in_place;
}

// What the report's name held is now under the scratch file's name. It may be the old report or
// the report of another run that replaced it meanwhile, which goes; or the description, moved or
// linked there meanwhile (or a folder), which is swapped back at once: the run fails, nothing lost.
step scratch_file::settle_exchange() {
  const int folder = report_.folder_.get();
  const os_handle displaced{::openat(folder, name_.data(), O_PATH | O_NOFOLLOW | O_CLOEXEC)};
  struct stat found {};
  if (!displaced.is_open() || ::fstat(displaced.get(), &found) != 0 || S_ISDIR(found.st_mode) ||
      report_.description_.is_reached_through(displaced.get())) {
    // Swapped back, the scratch name holds the new file again, which then goes; else it holds what must stay.
    committed_ = ::renameat2(folder, name_.data(), folder, report_.name_, RENAME_EXCHANGE) != 0;
    return step::failed;
  }
  // Removed by name: right before, the name must still hold what was checked.
  committed_ = true;
  struct stat named {};
  if (::fstatat(folder, name_.data(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == found.st_dev &&
      named.st_ino == found.st_ino) {
    ::unlinkat(folder, name_.data(), 0);
  }
  return step::done;
}

// A rename cannot be told to replace only the file that was checked, so an old report is swapped
// with the new file (RENAME_EXCHANGE) and what it displaced is checked after. Where the file system
// has no exchange (NFS, some FUSE file systems say EINVAL), the plain rename follows right after a
// last look at the report's name. A new report must still be missing: one that another run or
// program made meanwhile (RENAME_NOREPLACE, or the last look) is looked at again, to be replaced
// whole as an old report is rather than lost or emptied by a write in place.
step scratch_file::commit() {
  if (report_.kind_ == report_kind::replaceable) {
    if (const step kept = keep_mode(file_.get(), report_.old_status_.st_mode); kept != step::done) {
      return kept;
    }
  }
  if (!file_.close()) {
    return step::failed;
  }
  // Let go of the old report first: freeing its storage at the rename costs less than at a close after it.
  report_.old_.close();
  const int folder = report_.folder_.get();
  const char *const scratch = name_.data();
  const char *const report = report_.name_;
  bool is_new = report_.kind_ == report_kind::absent;
  if (!is_new) {
    if (::renameat2(folder, scratch, folder, report, RENAME_EXCHANGE) == 0) {
      return settle_exchange();
    }
    if (!lacks_rename_flags(errno) && errno != ENOENT) {
      return after_error(errno);
    }
    is_new = errno == ENOENT; // the report went meanwhile
  }
  if (is_new && ::renameat2(folder, scratch, folder, report, RENAME_NOREPLACE) == 0) {
    committed_ = true;
    return step::done;
  }
  if (is_new && !lacks_rename_flags(errno)) {
    return errno == EEXIST ? step::look_again : after_error(errno);
  }
  // No exchange, or no RENAME_NOREPLACE, here: a last look at the name, then the plain rename.
  const os_handle now{::openat(folder, report, O_PATH | O_NOFOLLOW | O_CLOEXEC)};
  if (!now.is_open() && errno != ENOENT) {
    return after_error(errno);
  }
  if (now.is_open() && (is_new || report_.description_.is_reached_through(now.get()))) {
    return is_new ? step::look_again : step::failed; // made meanwhile, or the description
  }
  committed_ = ::renameat(folder, scratch, folder, report) == 0;
  return committed_ ? step::done : after_error(errno);
}

} // namespace tessolin
