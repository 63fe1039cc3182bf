// Report writer: the two CR LF lines that scripts read back byte for byte.
#pragma once

#include "fru_scan.hpp"

#include <cstdio>

namespace tessolin {

inline constexpr const char *serial_line = "SN : %s\r\n";
inline constexpr const char *asset_line = "Asset Tag : %s\r\n";

// Writes one line; false when the report did not take it.
[[nodiscard]] bool write_report_line(std::FILE *report, const char *line_format, const value_buffer &value);

} // namespace tessolin
