// The scanner on its own, where the block reads need many placements in one run.
#include "fru_scan.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct extraction {
  bool found = false;
  std::string serial;
  std::string asset;
};

using file_handle = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

// A temporary file holding `text`, positioned at its start.
file_handle file_with(const std::string &text) {
  file_handle file{std::tmpfile(), std::fclose};
  EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), file.get()), text.size());
  std::rewind(file.get());
  return file;
}

extraction extract(const std::string &text) {
  const file_handle file = file_with(text);
  auto reader = std::make_unique<tessolin::fru_reader>();
  reader->file = file.get();
  tessolin::value_buffer serial{};
  tessolin::value_buffer asset{};
  const bool found = tessolin::extract_fields(*reader, serial, asset);
  return {found, serial.data(), asset.data()};
}

const std::string fields = " 01 a b c d e f g h i j Serial_Number \"SN-1\" Asset_Tag \"AT-2\"\n";

// Every placement of the marker, a near miss, or a field around the end of a block.
TEST(Scan, SameResultAtEveryPlaceAroundBlockEnd) {
  for (std::size_t pad = tessolin::block_size - 40; pad < tessolin::block_size + 4; ++pad) {
    const std::string before(pad, ' ');
    const std::string near = std::string(pad - 1, ' ') + "x_SEE_PRODUCT ";
    const std::string after = "_SEE_PRODUCTS" + std::string(pad > 13 ? pad - 13 : 0, ' ');
    for (const std::string &text : {before + "_SEE_PRODUCT" + fields, near + "_SEE_PRODUCT" + fields,
                                    after + " _SEE_PRODUCT" + fields}) {
      const extraction got = extract(text);
      EXPECT_TRUE(got.found) << "pad " << pad;
      EXPECT_EQ(got.serial, "SN-1") << "pad " << pad;
      EXPECT_EQ(got.asset, "AT-2") << "pad " << pad;
    }
    EXPECT_FALSE(extract(before + "_SEE_PRODUC").found) << "pad " << pad;
    EXPECT_FALSE(extract(std::string(pad, 'y') + "_SEE_PRODUCT" + fields).found) << "pad " << pad;
  }
}

TEST(Scan, OverlongTokenIsReadOnceAndNeverFits) {
  const std::string text = "_SEE_PRODUCT" + std::string(3 * tessolin::block_size, 'x') + " next";
  const file_handle file = file_with(text);
  auto reader = std::make_unique<tessolin::fru_reader>();
  reader->file = file.get();
  tessolin::token_buffer token;
  tessolin::value_buffer value{};
  ASSERT_TRUE(tessolin::read_token(*reader, token));
  EXPECT_EQ(token.length, text.size() - 5);
  EXPECT_FALSE(tessolin::inner_text(token, value));
  ASSERT_TRUE(tessolin::read_token(*reader, token));
  EXPECT_STREQ(token.bytes.data(), "next");
  EXPECT_FALSE(tessolin::read_token(*reader, token));
}

} // namespace
