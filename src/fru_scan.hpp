// Token reader and field locator: finds the product marker in a FRU description
// and takes the serial number and asset tag from the tokens at fixed distances after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

namespace tessolin {

#ifndef TESSOLIN_BLOCK_SIZE
#define TESSOLIN_BLOCK_SIZE 65536 // NOLINT(cppcoreguidelines-macro-usage): fuzzing builds shrink it
#endif

inline constexpr std::size_t block_size = TESSOLIN_BLOCK_SIZE;
inline constexpr std::size_t buffer_size = 128;                // a token or value and its zero byte
inline constexpr std::size_t token_capacity = buffer_size - 1; // longest token that fits
inline constexpr std::string_view product_marker = "_SEE_PRODUCT";
inline constexpr std::size_t serial_distance = 13; // serial number: 13th token after the marker
inline constexpr std::size_t asset_distance = 2;   // asset tag: 2 tokens after the serial number

using value_buffer = std::array<char, buffer_size>;

// The last token read. Its text ends at the first zero byte; a token longer than
// token_capacity keeps only its length, so it can never match or yield a value.
struct token_buffer {
  std::array<char, buffer_size> bytes{};
  std::size_t length = 0; // bytes in the whole token, even past token_capacity
};

// The FRU description, read in large blocks so the marker search runs at memchr speed.
struct fru_reader {
  std::FILE *file = nullptr;
  std::array<char, block_size> block{};
  std::size_t pos = 0;     // next unread byte in block
  std::size_t end = 0;     // bytes held in block
  bool after_space = true; // the byte before block[0] is whitespace, or there is none
  bool exhausted = false;  // the input has ended (or failed to read)
};

[[nodiscard]] bool read_token(fru_reader &input, token_buffer &token);
[[nodiscard]] bool find_product_marker(fru_reader &input, token_buffer &token);
[[nodiscard]] bool advance_tokens(fru_reader &input, token_buffer &token, std::size_t count);
[[nodiscard]] bool inner_text(const token_buffer &token, value_buffer &value);

// Both field values, or false when the marker or a field is missing or malformed,
// or the input could not be read.
[[nodiscard]] bool extract_fields(fru_reader &input, value_buffer &serial, value_buffer &asset);

} // namespace tessolin
