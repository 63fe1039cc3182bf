// Report writer: the two CR LF lines that scripts read back byte for byte, and
// the rules for putting them in place without losing what the caller set up.
#pragma once

#include "fru_scan.hpp"
#include "platform.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace tessolin {

inline constexpr std::string_view serial_label = "SN : ";
inline constexpr std::string_view asset_label = "Asset Tag : ";
inline constexpr std::string_view line_end = "\r\n"; // on every platform: the report is written as bytes

/// The report's bytes, in a buffer with room for the longest two lines there can be.
class report_text {
public:
  static constexpr std::size_t capacity =
      serial_label.size() + asset_label.size() + 2 * (value_capacity + line_end.size());

  /// Appends the line "LABEL VALUE" and its CR LF; the value's bytes go in unchanged.
  void write_report_line(std::string_view label, const value_buffer &value);
  /// Everything written so far.
  [[nodiscard]] std::string_view bytes() const { return {bytes_.data(), size_}; }

private:
  std::array<char, capacity> bytes_{};
  std::size_t size_ = 0;
};

/// The serial-number line, then the asset-tag line.
[[nodiscard]] report_text make_report(const product_fields &fields);

/// Leaves `path` holding exactly `bytes`, or returns false. A missing report, or a plain file
/// whose replacement keeps everything about it, is replaced whole, so a false leaves it as it
/// was; anything else is written in place, unless it is the description's storage.
[[nodiscard]] bool write_report(native_path path, std::string_view bytes, const file_identity &description);

} // namespace tessolin
