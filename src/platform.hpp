// The few things the run needs from the operating system: the command line, the
// two files, and write failures that arrive as failures. One source file per
// platform implements them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <utility>

namespace tessolin {

/// FILE_IN and FILE_OUT, when the command line holds exactly these two arguments.
[[nodiscard]] std::optional<std::pair<std::filesystem::path, std::filesystem::path>>
command_line_paths(int argc, char *argv[]);

/// Makes a write to a closed pipe or past the file-size limit a failed write, not a fatal signal.
void ignore_write_signals();

/// The FRU description, open for reading in binary mode until it goes out of scope.
class input_file {
public:
  explicit input_file(const std::filesystem::path &path);
  ~input_file();
  input_file(const input_file &) = delete;
  input_file &operator=(const input_file &) = delete;
  input_file(input_file &&) = delete;
  input_file &operator=(input_file &&) = delete;

  /// Whether the file could be opened.
  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  /// Reads once, as much as is there: the bytes read, 0 at the end of the input, -1 on a read error.
  [[nodiscard]] std::ptrdiff_t read(std::span<char> into) const;
  /// Whether a report written to `path` would overwrite this file's own storage.
  [[nodiscard]] bool is_overwritten_by(const std::filesystem::path &path) const;

private:
  int fd_; // a file descriptor of the C runtime on every platform
};

/// Writes the lines to `stream` and closes it: true only when both worked. The close
/// flushes, so a full disk shows there.
[[nodiscard]] inline bool write_and_close(std::FILE *stream,
                                          const std::function<bool(std::FILE *)> &write_lines) {
  const bool written = write_lines(stream);
  return std::fclose(stream) == 0 && written;
}

/// Leaves `path` holding exactly what `write_lines` writes, or returns false. A plain
/// report file is replaced whole, so a false leaves it as it was; anything else is written in place.
[[nodiscard]] bool write_report(const std::filesystem::path &path,
                                const std::function<bool(std::FILE *)> &write_lines);

} // namespace tessolin
