// Feeds arbitrary bytes through the real extraction and checks every result
// against a deliberately simple model: split the whole input into tokens, find
// the first exact marker, take tokens 13 and 15. Any disagreement aborts.
#include "fru_scan.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using fields = std::optional<std::pair<std::string, std::string>>;

std::vector<std::string> split_tokens(const std::string &input) {
  std::vector<std::string> tokens;
  std::string token;
  for (const char byte : input) {
    if (std::string(" \t\n\v\f\r").find(byte) != std::string::npos) {
      if (!token.empty()) {
        tokens.push_back(token);
      }
      token.clear();
    } else {
      token += byte;
    }
  }
  if (!token.empty()) {
    tokens.push_back(token);
  }
  return tokens;
}

std::string text_of(const std::string &token) { return token.substr(0, token.find('\0')); }

std::optional<std::string> value_of(const std::string &token) {
  const std::string text = text_of(token);
  if (token.size() > 127 || text.size() < 2) {
    return std::nullopt;
  }
  return text.substr(1, text.size() - 2);
}

fields model(const std::string &input) {
  const std::vector<std::string> tokens = split_tokens(input);
  for (std::size_t at = 0; at < tokens.size(); ++at) {
    if (tokens[at].size() <= 127 && text_of(tokens[at]) == "_SEE_PRODUCT") {
      if (at + 15 >= tokens.size()) {
        return std::nullopt;
      }
      const auto serial = value_of(tokens[at + 13]);
      const auto asset = value_of(tokens[at + 15]);
      if (!serial || !asset) {
        return std::nullopt;
      }
      return std::pair{*serial, *asset};
    }
  }
  return std::nullopt;
}

fields tool(const std::uint8_t *data, std::size_t size) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file{
      fmemopen(const_cast<std::uint8_t *>(data), size, "rb"), std::fclose}; // NOLINT: read only
  if (!file) {
    std::abort();
  }
  auto reader = std::make_unique<tessolin::fru_reader>();
  reader->file = file.get();
  tessolin::value_buffer serial{};
  tessolin::value_buffer asset{};
  if (!tessolin::extract_fields(*reader, serial, asset)) {
    return std::nullopt;
  }
  return std::pair{std::string(serial.data()), std::string(asset.data())};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0; // fmemopen refuses an empty buffer; the empty input is an end-to-end case
  }
  if (tool(data, size) != model(std::string(reinterpret_cast<const char *>(data), size))) {
    std::abort();
  }
  return 0;
}
