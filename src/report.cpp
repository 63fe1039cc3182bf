#include "report.hpp"

namespace tessolin {

bool write_report_line(std::FILE *report, const char *line_format, const value_buffer &value) {
  // The value is an argument, never the format, so a '%' in it is written as is.
  return std::fprintf(report, line_format, value.data()) >= 0; // NOLINT(cppcoreguidelines-pro-type-vararg)
}

} // namespace tessolin
