// Feeds arbitrary bytes through the real extraction and checks every result
// against a deliberately simple model: split the whole input into tokens, find
// the first exact marker, take tokens 13 and 15. The reader runs over a tiny
// block, once with reads as long as it asks for and once in short reads whose
// lengths are drawn from the input, and must never read on once it has the byte
// after the asset tag. Any disagreement aborts.
#include "fru_scan.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct token {
  std::string bytes;
  std::size_t end; // offset of the byte after it
};

struct fields {
  std::string serial;
  std::string asset;
  std::size_t needed; // offset of the byte after the asset tag: no read need start past it
  bool operator==(const fields &other) const { return serial == other.serial && asset == other.asset; }
};

std::vector<token> split_tokens(const std::string &input) {
  std::vector<token> tokens;
  std::string bytes;
  for (std::size_t at = 0; at <= input.size(); ++at) {
    if (at == input.size() || std::string(" \t\n\v\f\r").find(input[at]) != std::string::npos) {
      if (!bytes.empty()) {
        tokens.push_back({bytes, at});
      }
      bytes.clear();
    } else {
      bytes += input[at];
    }
  }
  return tokens;
}

std::string text_of(const std::string &bytes) { return bytes.substr(0, bytes.find('\0')); }

std::optional<std::string> value_of(const std::string &bytes) {
  const std::string text = text_of(bytes);
  if (bytes.size() > 127 || text.size() < 2) {
    return std::nullopt;
  }
  return text.substr(1, text.size() - 2);
}

std::optional<fields> model(const std::string &input) {
  const std::vector<token> tokens = split_tokens(input);
  for (std::size_t at = 0; at < tokens.size(); ++at) {
    if (tokens[at].bytes.size() <= 127 && text_of(tokens[at].bytes) == "_SEE_PRODUCT") {
      if (at + 15 >= tokens.size()) {
        return std::nullopt;
      }
      const auto serial = value_of(tokens[at + 13].bytes);
      const auto asset = value_of(tokens[at + 15].bytes);
      if (!serial || !asset) {
        return std::nullopt;
      }
      return fields{*serial, *asset, tokens[at + 15].end};
    }
  }
  return std::nullopt;
}

std::uint32_t seed_of(const std::string &input) {
  std::uint32_t hash = 2166136261U; // FNV-1a
  for (const char byte : input) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 16777619U;
  }
  return hash;
}

std::optional<fields> tool(const std::string &input, bool short_reads) {
  std::uint32_t state = seed_of(input);
  std::vector<char> block(tessolin::fru_reader::min_block_size + (short_reads ? state % 48 : 16));
  std::size_t at = 0;
  std::size_t last_read = 0; // where the last read started
  auto read = [&](std::span<char> into) -> std::ptrdiff_t {
    std::size_t part = std::min(into.size(), input.size() - at);
    if (short_reads) {
      state = state * 1664525U + 1013904223U;
      part = std::min<std::size_t>(part, 1 + (state >> 24U) % 16);
    }
    std::memcpy(into.data(), input.data() + at, part);
    last_read = at;
    at += part;
    return static_cast<std::ptrdiff_t>(part);
  };
  tessolin::fru_reader reader{read, block};
  const std::optional<tessolin::product_fields> got = tessolin::extract_fields(reader);
  if (!got) {
    return std::nullopt;
  }
  return fields{got->serial.data(), got->asset.data(), last_read};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const std::optional<fields> expected = model(input);
  for (const bool short_reads : {false, true}) {
    const std::optional<fields> got = tool(input, short_reads);
    if (got != expected || (got && got->needed > expected->needed)) {
      std::abort();
    }
  }
  return 0;
}
