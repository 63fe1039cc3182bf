// The scanner on its own, with a tiny block and reads of many lengths, so that
// markers and fields fall across block ends and short reads in one run.
#include "fru_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr std::size_t block = 32;

struct extraction {
  bool found = false;
  std::string serial;
  std::string asset;
  bool operator==(const extraction &) const = default;
};

// Hands out `text` in reads of at most `piece` bytes, then the end of the input or a read error.
// Where it reaches `pause`, it reports the end once and then goes on, as a terminal does after Ctrl-D.
auto reads_of(const std::string &text, std::size_t piece, bool then_fail = false,
              std::size_t pause = std::string::npos) {
  return
      [&text, piece, then_fail, pause, at = std::size_t{0}](std::span<char> into) mutable -> std::ptrdiff_t {
        if (at == text.size()) {
          return then_fail ? -1 : 0;
        }
        if (at == pause) {
          pause = std::string::npos;
          return 0;
        }
        const std::size_t part = std::min({piece, into.size(), text.size() - at, pause - at});
        std::memcpy(into.data(), text.data() + at, part);
        at += part;
        return static_cast<std::ptrdiff_t>(part);
      };
}

extraction extract(const std::string &text, std::size_t piece, bool then_fail = false,
                   std::size_t pause = std::string::npos) {
  std::array<char, block> bytes{};
  auto read = reads_of(text, piece, then_fail, pause);
  tessolin::fru_reader reader{read, bytes};
  const std::optional<tessolin::product_fields> fields = tessolin::extract_fields(reader);
  if (!fields) {
    return {};
  }
  return {true, fields->serial.data(), fields->asset.data()};
}

bool finds_marker(const std::string &text, std::size_t piece) {
  std::array<char, block> bytes{};
  auto read = reads_of(text, piece);
  tessolin::fru_reader reader{read, bytes};
  tessolin::token_buffer token;
  return reader.find_product_marker(token);
}

const std::string fields = " 01 a b c d e f g h i j Serial_Number \"SN-1\" Asset_Tag \"AT-2\"";
const extraction wanted{true, "SN-1", "AT-2"};

// Every placement of the marker, a near miss or a field around the block's ends, for every read length.
TEST(Scan, SameResultAtEveryPlaceForEveryReadLength) {
  for (const std::size_t piece : {block, std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{13}}) {
    for (std::size_t pad = 0; pad < 3 * block; ++pad) {
      const std::string spaces(pad, ' ');
      for (const std::string &text :
           {spaces + "_SEE_PRODUCT" + fields + "\n", spaces + "x_SEE_PRODUCT _SEE_PRODUCT" + fields,
            spaces + "_SEE_PRODUCTS\v_SEE_PRODUCT" + fields + "\f"}) {
        EXPECT_EQ(extract(text, piece), wanted) << "pad " << pad << ", reads of " << piece;
      }
      EXPECT_TRUE(finds_marker(spaces + "_SEE_PRODUCT", piece)) << "pad " << pad << ", reads of " << piece;
      EXPECT_FALSE(finds_marker(spaces + "_SEE_PRODUC", piece)) << "pad " << pad << ", reads of " << piece;
      EXPECT_FALSE(finds_marker(std::string(pad + 1, 'y') + "_SEE_PRODUCT" + fields, piece))
          << "pad " << pad << ", reads of " << piece;
    }
  }
}

// The reader stops at the whitespace after the asset tag: a failing read beyond it is never made,
// while one that may still belong to the asset tag fails the extraction. The first end is the end.
TEST(Scan, ReadErrorCountsOnlyWhereTheFieldsMayContinue) {
  for (const std::size_t piece : {block, std::size_t{3}}) {
    EXPECT_EQ(extract("_SEE_PRODUCT" + fields + " ", piece, true), wanted) << "reads of " << piece;
    EXPECT_FALSE(extract("_SEE_PRODUCT" + fields, piece, true).found) << "reads of " << piece;
    EXPECT_FALSE(extract("_SEE_PRODUCT" + fields, piece, false, 12).found) << "reads of " << piece;
  }
}

TEST(Scan, OverlongTokenIsReadOnceAndNeverFits) {
  const std::string text = "_SEE_PRODUCT" + std::string(8 * block, 'x') + " next";
  std::array<char, block> bytes{};
  auto read = reads_of(text, block);
  tessolin::fru_reader reader{read, bytes};
  tessolin::token_buffer token;
  tessolin::value_buffer value{};
  ASSERT_TRUE(reader.read_token(token));
  EXPECT_EQ(token.length, text.size() - 5);
  EXPECT_FALSE(tessolin::inner_text(token, value));
  ASSERT_TRUE(reader.read_token(token));
  EXPECT_STREQ(token.bytes.data(), "next");
  EXPECT_FALSE(reader.read_token(token));
}

} // namespace
