#include "fru_scan.hpp"
#include "heap.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tessolin {
namespace {

using byte = unsigned char;

// 1 or 0: flags combine with & and |, where bools would need && and || and their branches.
constexpr byte flag(bool holds) { return static_cast<byte>(holds); }

// Exactly these six bytes separate tokens, whatever the locale says. Written
// without branches so that the loops below compile to wide compares.
constexpr bool is_space(char value) {
  const auto b = static_cast<byte>(value);
  const byte space = flag(b == ' ');
  const byte tab_to_cr = flag(static_cast<byte>(b - '\t') <= '\r' - '\t');
  return (space | tab_to_cr) != 0;
}

// Every place where a token could be the marker passes this test: a space or
// control byte before it, the marker's first and last byte, and one after it (a
// zero byte too, which ends the token's text). Most text fails it at once.
constexpr std::size_t marker_last = product_marker.size() - 1;
bool may_start_marker(const char *at) {
  const byte before = flag(static_cast<byte>(at[-1]) <= ' ');
  const byte first = flag(at[0] == product_marker.front());
  const byte last = flag(at[marker_last] == product_marker.back());
  const byte after = flag(static_cast<byte>(at[marker_last + 1]) <= ' ');
  return (before & first & last & after) != 0;
}

bool is_space_at(const char *at) { return is_space(*at); }
bool is_token_byte_at(const char *at) { return !is_space(*at); }

// The first place in [at, to) where `hit` holds, or `to`. Tests 32 places at a
// time in a loop without early exits, which the compiler turns into wide compares.
template <typename Hit> const char *find_first(const char *at, const char *const to, Hit hit) {
  constexpr std::ptrdiff_t lanes = 32;
  for (; to - at >= lanes; at += lanes) {
    byte any = 0;
    for (std::ptrdiff_t lane = 0; lane < lanes; ++lane) {
      any |= flag(hit(at + lane));
    }
    if (any != 0) {
      break;
    }
  }
  while (at != to && !hit(at)) {
    ++at;
  }
  return at;
}

// A token matches when its text, up to any zero byte, is exactly the marker.
bool is_product_marker(const token_buffer &token) {
  return token.length <= token_capacity && std::string_view{token.bytes.data()} == product_marker;
}

} // namespace

fru_reader::fru_reader(read_function read, std::span<char> block) : read_(read), block_(block) {
  block_[0] = ' ';
}

// Keeps the unread bytes and the one before them, and reads once after them.
// False when the input has ended and nothing more came.
bool fru_reader::refill() {
  if (ended_) {
    return false;
  }
  const std::size_t kept = end_ - pos_ + 1;
  std::memmove(block_.data(), block_.data() + pos_ - 1, kept);
  pos_ = 1;
  end_ = kept;
  const std::ptrdiff_t got = read_(block_.subspan(end_));
  if (got <= 0) {
    ended_ = true;
    failed_ = got < 0;
    return false;
  }
  end_ += std::min(static_cast<std::size_t>(got), block_.size() - end_);
  return true;
}

bool fru_reader::read_token(token_buffer &token) {
  for (;;) { // whitespace before the token
    const char *const data = block_.data();
    pos_ = static_cast<std::size_t>(find_first(data + pos_, data + end_, is_token_byte_at) - data);
    if (pos_ < end_) {
      break;
    }
    if (!refill()) {
      return false;
    }
  }
  std::size_t length = 0;
  for (;;) { // token bytes, up to the next whitespace or the end of the input
    const char *const begin = block_.data() + pos_;
    const auto run = static_cast<std::size_t>(find_first(begin, block_.data() + end_, is_space_at) - begin);
    if (length < token_capacity) {
      std::memcpy(token.bytes.data() + length, begin, std::min(run, token_capacity - length));
    }
    length += run;
    pos_ += run;
    if (pos_ < end_ || !refill()) {
      break;
    }
  }
  token.length = length;
  token.bytes[std::min(length, token_capacity)] = '\0';
  return true;
}

// Whether a token starts at `at` with the marker's 12 bytes, whatever follows them.
bool fru_reader::has_marker_bytes_at(std::size_t at) const {
  return is_space(block_[at - 1]) &&
         std::string_view{block_.data() + at, product_marker.size()} == product_marker;
}

// Whether a token starts at `at` with the marker's bytes, followed by what ends its
// text. Needs the byte after the marker in the block.
bool fru_reader::starts_marker(std::size_t at) const {
  const char after = block_[at + product_marker.size()];
  return (is_space(after) || after == '\0') && has_marker_bytes_at(at);
}

// Only places that pass a cheap test are looked at, and no token is read before
// its first bytes are the marker's: none of the others can be the marker.
bool fru_reader::find_product_marker(token_buffer &token) {
  constexpr std::size_t marker_size = product_marker.size();
  for (;;) {
    while (end_ - pos_ > marker_size) { // the marker's bytes and the one after them are here
      const char *const data = block_.data();
      pos_ = static_cast<std::size_t>(find_first(data + pos_, data + end_ - marker_size, may_start_marker) -
                                      data);
      if (pos_ + marker_size == end_) {
        break;
      }
      if (!starts_marker(pos_)) {
        ++pos_;
      } else if (read_token(token) && is_product_marker(token)) {
        return true;
      }
    }
    if (!refill()) { // the input may end with the marker itself
      return end_ - pos_ == marker_size && has_marker_bytes_at(pos_) && read_token(token);
    }
  }
}

bool fru_reader::advance_tokens(token_buffer &token, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!read_token(token)) {
      return false;
    }
  }
  return true;
}

// A token too short to have both enclosing bytes, or too long to fit, has no value.
bool inner_text(const token_buffer &token, value_buffer &value) {
  const std::size_t length = std::strlen(token.bytes.data());
  if (token.length > token_capacity || length < 2) {
    return false;
  }
  value.fill('\0');
  std::memcpy(value.data(), token.bytes.data() + 1, length - 2);
  return true;
}

std::optional<product_fields> extract_fields(fru_reader &reader) {
  token_buffer token;
  product_fields fields;
  const bool found = reader.find_product_marker(token) && reader.advance_tokens(token, serial_token) &&
                     inner_text(token, fields.serial) &&
                     reader.advance_tokens(token, asset_token - serial_token) &&
                     inner_text(token, fields.asset);
  if (!found || reader.failed()) {
    return std::nullopt;
  }
  return fields;
}

std::optional<product_fields> extract_fields(const read_function &read) {
  // On the heap, as it is too big for a small stack, and not cleared: clearing would touch
  // 16 pages that a small description never fills.
  constexpr std::size_t block_size = read_size + 1;
  const heap_array<char> block = allocate<char>(block_size);
  if (!block) {
    return std::nullopt;
  }
  fru_reader reader{read, {block.get(), block_size}};
  return extract_fields(reader);
}

} // namespace tessolin
