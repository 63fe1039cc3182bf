// tessolin FILE_IN FILE_OUT: exports the serial number and asset tag of the
// product area of a FRU description into a two-line report.
#include "fru_scan.hpp"
#include "report.hpp"

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace {

constexpr int success = 0;
constexpr int failure = 1;

// --- The only place that differs on Windows: paths arrive and open as wide
// strings there, so names outside the console code page still work.
#ifdef _WIN32
using arg_char = wchar_t;
std::FILE *open_file(const std::filesystem::path &path, bool for_writing) {
  return _wfopen(path.c_str(), for_writing ? L"wb" : L"rb");
}
#else
using arg_char = char;
std::FILE *open_file(const std::filesystem::path &path, bool for_writing) {
  return std::fopen(path.c_str(), for_writing ? "wb" : "rb");
}
#endif
// ---

struct file_closer {
  void operator()(std::FILE *file) const { std::fclose(file); } // NOLINT(cert-err33-c): input only
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

constexpr std::array usage_lines = {
    "============================================================\n",
    "FRU exporting SN and Asset Tag to a file ver " TESSOLIN_VERSION "\n",
    "\n",
    "  tessolin [file_in] [file_out]\n",
    "\n",
    "  example\n",
    "    tessolin bmcfru.fru sn_at.txt\n",
    "============================================================\n",
};

void print_usage() {
  for (const char *line : usage_lines) {
    std::fputs(line, stdout); // NOLINT(cert-err33-c): the status says it all
  }
}

// Also true for two names of one file (links, case, separators), which would
// otherwise have the report overwrite the description it comes from.
bool same_file(const std::filesystem::path &file_in, const std::filesystem::path &file_out) {
  std::error_code error;
  return std::filesystem::equivalent(file_in, file_out, error);
}

// Both values are taken before the report is opened, so a failed run leaves
// the report exactly as it was.
int export_fields(const std::filesystem::path &file_in, const std::filesystem::path &file_out) {
  tessolin::value_buffer serial{};
  tessolin::value_buffer asset{};
  {
    const file_handle input{open_file(file_in, false)};
    if (!input || same_file(file_in, file_out)) {
      return failure;
    }
    tessolin::fru_reader reader{input.get()};
    if (!tessolin::extract_fields(reader, serial, asset)) {
      return failure;
    }
  }
  file_handle report{open_file(file_out, true)};
  if (!report) {
    return failure;
  }
  const bool written = tessolin::write_report_line(report.get(), tessolin::serial_line, serial) &&
                       tessolin::write_report_line(report.get(), tessolin::asset_line, asset);
  const bool closed = std::fclose(report.release()) == 0; // flushes: a full disk shows here
  return written && closed ? success : failure;
}

int run(int argc, arg_char *argv[]) {
  if (argc != 3) {
    print_usage();
    return failure;
  }
  return export_fields(argv[1], argv[2]); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t *argv[]) { return run(argc, argv); }
#else
int main(int argc, char *argv[]) { return run(argc, argv); }
#endif
