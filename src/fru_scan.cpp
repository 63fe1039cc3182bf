#include "fru_scan.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

namespace tessolin {
namespace {

// Exactly these six bytes separate tokens, whatever the locale says.
constexpr bool is_space(char byte) {
  switch (byte) {
  case ' ':
  case '\t':
  case '\n':
  case '\v':
  case '\f':
  case '\r':
    return true;
  default:
    return false;
  }
}

// Keeps the unread bytes, moves them to the front and reads more after them.
// Returns false once the input has nothing more to give.
bool refill(fru_reader &input) {
  if (input.pos > 0) {
    input.after_space = is_space(input.block[input.pos - 1]);
  }
  const std::size_t kept = input.end - input.pos;
  std::memmove(input.block.data(), input.block.data() + input.pos, kept);
  input.pos = 0;
  input.end = kept;
  if (input.exhausted) {
    return false;
  }
  const std::size_t got = std::fread(input.block.data() + kept, 1, block_size - kept, input.file);
  input.end += got;
  input.exhausted = got < block_size - kept; // end of input or a read error
  return got > 0;
}

bool space_before(const fru_reader &input, std::size_t at) {
  return at == 0 ? input.after_space : is_space(input.block[at - 1]);
}

// Moves to the next place where the marker text begins a token, without
// reading the tokens in between: none of them can be the marker.
bool skip_to_marker_candidate(fru_reader &input) {
  constexpr std::size_t tail = product_marker.size() - 1; // could start a marker cut by the block end
  const std::boyer_moore_horspool_searcher marker_search(product_marker.begin(), product_marker.end());
  for (;;) {
    const char *const first = input.block.data();
    const char *const last = first + input.end;
    for (const char *at = std::search(first + input.pos, last, marker_search); at != last;
         at = std::search(at + 1, last, marker_search)) {
      const auto offset = static_cast<std::size_t>(at - first);
      if (space_before(input, offset)) {
        input.pos = offset;
        return true;
      }
    }
    input.pos = std::max(input.pos, input.end - std::min(input.end, tail));
    if (!refill(input)) {
      return false;
    }
  }
}

// A token matches when its text, up to any zero byte, is exactly the marker.
bool is_product_marker(const token_buffer &token) {
  return token.length <= token_capacity && std::string_view{token.bytes.data()} == product_marker;
}

} // namespace

bool read_token(fru_reader &input, token_buffer &token) {
  for (;;) { // whitespace before the token
    if (input.pos == input.end && !refill(input)) {
      return false;
    }
    if (!is_space(input.block[input.pos])) {
      break;
    }
    ++input.pos;
  }
  std::size_t length = 0;
  for (;;) { // token bytes, up to the next whitespace or the end of the input
    const char *const begin = input.block.data() + input.pos;
    const char *const stop = std::find_if(begin, begin + (input.end - input.pos), is_space);
    const auto run = static_cast<std::size_t>(stop - begin);
    if (length < token_capacity) {
      std::memcpy(token.bytes.data() + length, begin, std::min(run, token_capacity - length));
    }
    length += run;
    input.pos += run;
    if (input.pos < input.end || !refill(input)) {
      break;
    }
  }
  token.length = length;
  token.bytes[std::min(length, token_capacity)] = '\0';
  return true;
}

bool find_product_marker(fru_reader &input, token_buffer &token) {
  while (skip_to_marker_candidate(input)) {
    if (read_token(input, token) && is_product_marker(token)) {
      return true;
    }
  }
  return false;
}

bool advance_tokens(fru_reader &input, token_buffer &token, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!read_token(input, token)) {
      return false;
    }
  }
  return true;
}

// The token less its first and last byte. A token too short to have both
// enclosing bytes, or too long to fit, has no value.
bool inner_text(const token_buffer &token, value_buffer &value) {
  const std::size_t length = std::strlen(token.bytes.data());
  if (token.length > token_capacity || length < 2) {
    return false;
  }
  value.fill('\0');
  std::memcpy(value.data(), token.bytes.data() + 1, length - 2);
  return true;
}

bool extract_fields(fru_reader &input, value_buffer &serial, value_buffer &asset) {
  token_buffer token;
  return find_product_marker(input, token) && advance_tokens(input, token, serial_distance) &&
         inner_text(token, serial) && advance_tokens(input, token, asset_distance) &&
         inner_text(token, asset) && std::ferror(input.file) == 0;
}

} // namespace tessolin
