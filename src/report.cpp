#include "report.hpp"

#include <algorithm>

namespace tessolin {
namespace {

// Replaces the report by a new file that holds the bytes and all the old one kept.
// A step that cannot keep something, or that only writing in place avoids, says so.
step replace_whole(report_target &report, std::string_view bytes) {
  scratch_file scratch{report};
  if (scratch.made() != step::done) {
    return scratch.made();
  }
  // Everything but the bytes first, so that no copy of them is ever more open than the report.
  if (const step kept = scratch.take_on_report(); kept != step::done) {
    return kept;
  }
  if (!scratch.write(bytes)) {
    return step::failed; // a full disk or the size limit: the report is still as it was
  }
  return scratch.commit();
}

} // namespace

void report_text::write_report_line(std::string_view label, const value_buffer &value) {
  // A value is never longer than value_capacity, so the line always fits.
  const auto *const end = std::find(value.data(), value.data() + value_capacity, '\0');
  const std::string_view text{value.data(), static_cast<std::size_t>(end - value.data())};
  for (const std::string_view part : {label, text, line_end}) {
    std::copy(part.begin(), part.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += part.size();
  }
}

report_text make_report(const product_fields &fields) {
  report_text report;
  report.write_report_line(serial_label, fields.serial);
  report.write_report_line(asset_label, fields.asset);
  return report;
}

// A new report that another run made meanwhile is looked at once more and replaced whole, as an
// old report is: a write in place over it would leave it empty for a moment, or for good if the
// run were stopped there.
bool write_report(native_path path, std::string_view bytes, const file_identity &description) {
  for (int look = 1;; ++look) {
    report_target report{path, description};
    step replaced = step::write_in_place;
    switch (report.kind()) {
    case report_kind::unusable:
      return false;
    case report_kind::absent:
    case report_kind::replaceable:
      replaced = replace_whole(report, bytes);
      break;
    case report_kind::in_place:
      break;
    }
    if (replaced == step::done || replaced == step::failed) {
      return replaced == step::done;
    }
    if (replaced != step::look_again || look == 2) {
      return report.write_in_place(bytes);
    }
  }
}

} // namespace tessolin
