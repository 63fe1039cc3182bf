#include "platform.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace tessolin {
namespace {

// Storage that a report written over it would destroy; a terminal or a FIFO is not.
bool is_storage(const struct stat &file) { return S_ISREG(file.st_mode) || S_ISBLK(file.st_mode); }

// What a new file gets from fopen: 0666 less the umask.
mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool write_in_place(const std::filesystem::path &path, const std::function<bool(std::FILE *)> &write_lines) {
  std::FILE *const report = std::fopen(path.c_str(), "wb");
  if (report == nullptr) {
    return false;
  }
  return write_and_close(report, write_lines);
}

// Gives the new file the old report's group, so that readers through it keep their access.
bool give_group(int fd, gid_t group) {
  struct stat made {};
  return ::fstat(fd, &made) == 0 &&
         (made.st_gid == group || ::fchown(fd, static_cast<uid_t>(-1), group) == 0);
}

enum class outcome { replaced, failed, write_in_place };

// Writes the lines to a new file beside `path`, gives it the old report's group
// and mode, and renames it over `path`. Nothing is left behind on a failure.
outcome replace_whole(const std::filesystem::path &path, const struct stat *old,
                      const std::function<bool(std::FILE *)> &write_lines) {
  std::filesystem::path name = path; // .NAME.XXXXXX in the report's folder
  name.replace_filename(".");
  name += path.filename();
  name += ".XXXXXX";
  std::string temp = name.string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) { // a folder that takes no new file still lets an existing report be written
    return errno == EACCES || errno == EPERM || errno == ENAMETOOLONG ? outcome::write_in_place
                                                                      : outcome::failed;
  }
  if (old != nullptr && !give_group(fd, old->st_gid)) {
    ::close(fd);
    ::unlink(temp.c_str());
    return outcome::write_in_place;
  }
  std::FILE *const stream = ::fchmod(fd, old != nullptr ? old->st_mode & 07777 : new_file_mode()) == 0
                                ? ::fdopen(fd, "wb")
                                : nullptr;
  if (stream == nullptr) {
    ::close(fd);
    ::unlink(temp.c_str());
    return outcome::failed;
  }
  if (write_and_close(stream, write_lines) && std::rename(temp.c_str(), path.c_str()) == 0) {
    return outcome::replaced;
  }
  ::unlink(temp.c_str());
  return outcome::failed;
}

} // namespace

std::optional<std::pair<std::filesystem::path, std::filesystem::path>> command_line_paths(int argc,
                                                                                          char *argv[]) {
  if (argc != 3) {
    return std::nullopt;
  }
  return std::pair{argv[1], argv[2]}; // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
}

void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN); // NOLINT(cert-err33-c): both always exist, nothing to check
  std::signal(SIGXFSZ, SIG_IGN); // NOLINT(cert-err33-c)
}

input_file::input_file(const std::filesystem::path &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

input_file::~input_file() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::ptrdiff_t input_file::read(std::span<char> into) const {
  for (;;) {
    const ssize_t got = ::read(fd_, into.data(), into.size());
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

bool input_file::is_overwritten_by(const std::filesystem::path &path) const {
  struct stat in {};
  struct stat out {};
  if (::fstat(fd_, &in) != 0) {
    return true; // cannot tell: keep the input safe
  }
  return is_storage(in) && ::stat(path.c_str(), &out) == 0 && in.st_dev == out.st_dev &&
         in.st_ino == out.st_ino;
}

bool write_report(const std::filesystem::path &path, const std::function<bool(std::FILE *)> &write_lines) {
  // Only a plain file of ours is replaced: a link, a device, a FIFO or a file of another
  // owner is written in place, which keeps what renaming over it would break. So is a
  // report we may not write, which fails as it always has.
  struct stat old {};
  const bool exists = ::lstat(path.c_str(), &old) == 0;
  const bool absent = !exists && errno == ENOENT;
  const bool plain = exists && S_ISREG(old.st_mode) && old.st_nlink == 1 && old.st_uid == ::geteuid() &&
                     ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  if (absent || plain) {
    const outcome result = replace_whole(path, plain ? &old : nullptr, write_lines);
    if (result != outcome::write_in_place) {
      return result == outcome::replaced;
    }
  }
  return write_in_place(path, write_lines);
}

} // namespace tessolin
