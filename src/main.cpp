// tessolin FILE_IN FILE_OUT: exports the serial number and asset tag of the
// product area of a FRU description into a two-line report.
#include "fru_scan.hpp"
#include "platform.hpp"
#include "report.hpp"

#include <array>
#include <cstdio>
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
  const auto [file_in, file_out] = *paths;

  // Both values are taken, and the description closed, before the report is touched,
  // so a failed run leaves the report as it was.
  tessolin::input_file input{file_in};
  if (!input.is_open()) {
    return failure;
  }
  const tessolin::file_identity description = input.identity();
  if (description.is_reached_by(file_out)) {
    return failure;
  }
  const auto fields = tessolin::extract_fields([&input](std::span<char> into) { return input.read(into); });
  input.close();
  if (!fields) {
    return failure;
  }

  const tessolin::report_text report = tessolin::make_report(*fields);
  return tessolin::write_report(file_out, report.bytes(), description) ? success : failure;
}
