// Token reader and field locator: finds the product marker in a FRU description
// and takes the serial number and asset tag from the tokens at fixed places after it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

namespace tessolin {

inline constexpr std::size_t read_size = 65536;                   // the most one read of the run asks for
inline constexpr std::size_t buffer_size = 128;                   // a token or value and its zero byte
inline constexpr std::size_t token_capacity = buffer_size - 1;    // longest token that fits
inline constexpr std::size_t value_capacity = token_capacity - 2; // its value, less the enclosing bytes
inline constexpr std::string_view product_marker = "_SEE_PRODUCT";
inline constexpr std::size_t serial_token = 13; // the serial number is the 13th token after the marker
inline constexpr std::size_t asset_token = 15;  // the asset tag is the 15th

using value_buffer = std::array<char, buffer_size>;

/// The two values the report is made of, each ending at its first zero byte.
struct product_fields {
  value_buffer serial{};
  value_buffer asset{};
};

/// The last token read. Its text ends at the first zero byte; a token longer than
/// token_capacity keeps only its length, so it can never match or yield a value.
struct token_buffer {
  std::array<char, buffer_size> bytes{};
  std::size_t length = 0; // bytes in the whole token, even past token_capacity
};

/// Reads at most `into.size()` bytes: how many it read, 0 at the end of the input, -1 on a read error.
/// It borrows the callable it calls, which must outlive it, and never allocates.
class read_function {
public:
  template <typename Read>
  requires(!std::is_same_v<std::remove_cvref_t<Read>, read_function>)
      read_function(Read &&read) // NOLINT(google-explicit-constructor,bugprone-forwarding-reference-overload)
      : callable_(&read), call_([](void *callable, std::span<char> into) -> std::ptrdiff_t {
          return (*static_cast<std::remove_reference_t<Read> *>(callable))(into);
        }) {}

  std::ptrdiff_t operator()(std::span<char> into) const { return call_(callable_, into); }

private:
  void *callable_;
  std::ptrdiff_t (*call_)(void *callable, std::span<char> into);
};

/// Reads a FRU description through a block of memory, taking what each read gives,
/// and never reads past the whitespace byte that ends the token it needs.
class fru_reader {
public:
  static constexpr std::size_t min_block_size = 16;

  /// Reads with `read` into `block`, which holds at least min_block_size bytes, and at most
  /// `block.size() - 1` at a time: the first byte keeps the one before the bytes held.
  fru_reader(read_function read, std::span<char> block);

  /// Reads the next token into `token`; false, with `token` as it was, when the input has ended.
  [[nodiscard]] bool read_token(token_buffer &token);
  /// Reads tokens until `token` holds the first that is exactly the marker; false when none is.
  [[nodiscard]] bool find_product_marker(token_buffer &token);
  /// Reads `count` tokens, `token` holding the last; false when the input ends sooner.
  [[nodiscard]] bool advance_tokens(token_buffer &token, std::size_t count);
  /// Whether a read failed. The input counts as ended from then on.
  [[nodiscard]] bool failed() const { return failed_; }

private:
  bool refill();
  [[nodiscard]] bool has_marker_bytes_at(std::size_t at) const;
  [[nodiscard]] bool starts_marker(std::size_t at) const;

  read_function read_;
  std::span<char> block_; // block_[pos_ - 1] is the byte before the unread ones, a space at the start
  std::size_t pos_ = 1;   // next unread byte
  std::size_t end_ = 1;   // end of the bytes held
  bool ended_ = false;
  bool failed_ = false;
};

/// Copies the token less its first and last byte; false when it is too short to have both, or too long to
/// fit.
[[nodiscard]] bool inner_text(const token_buffer &token, value_buffer &value);

/// Both field values; none when the marker or a field is missing or malformed, or a read failed.
[[nodiscard]] std::optional<product_fields> extract_fields(fru_reader &reader);
/// The same for the input that `read` gives, read through a block of read_size bytes; none also
/// when there is no memory for the block.
[[nodiscard]] std::optional<product_fields> extract_fields(const read_function &read);

} // namespace tessolin
