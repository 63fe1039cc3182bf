// tessolin FILE_IN FILE_OUT: exports the serial number and asset tag of the
// product area of a FRU description into a two-line report.
#include "fru_scan.hpp"
#include "platform.hpp"
#include "report.hpp"

#include <array>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>

namespace {

constexpr int success = 0;
constexpr int failure = 1;

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

} // namespace

int main(int argc, char *argv[]) {
  tessolin::ignore_write_signals();
  const auto paths = tessolin::command_line_paths(argc, argv);
  if (!paths) {
    print_usage();
    return failure;
  }
  const auto &[file_in, file_out] = *paths;

  // Both values are taken before the report is touched, so a failed run leaves it as it was.
  tessolin::value_buffer serial{};
  tessolin::value_buffer asset{};
  {
    const tessolin::input_file input{file_in};
    if (!input.is_open() || input.is_overwritten_by(file_out)) {
      return failure;
    }
    // On the heap, as it is too big for a small stack, and not cleared: clearing would
    // touch 16 pages that a small description never fills.
    constexpr std::size_t block_size = tessolin::read_size + 1;
    const auto block = std::make_unique_for_overwrite<char[]>(block_size);
    tessolin::fru_reader reader{[&input](std::span<char> into) { return input.read(into); },
                                {block.get(), block_size}};
    if (!tessolin::extract_fields(reader, serial, asset)) {
      return failure;
    }
  }

  const bool written = tessolin::write_report(file_out, [&](std::FILE *report) {
    return tessolin::write_report_line(report, tessolin::serial_line, serial) &&
           tessolin::write_report_line(report, tessolin::asset_line, asset);
  });
  return written ? success : failure;
}
