// protocol::parseHexWindowNumber against a strtoull-based model of the window id's digits.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "protocol/parsing.hpp"

namespace {

// An optional '+' or '-' ('-' only when every digit is 0), one or more hexadecimal digits and
// nothing else, at most 0xffffffff.
std::optional<uint32_t> model(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (const char character : text) {
    if (std::isxdigit(static_cast<unsigned char>(character)) == 0) return std::nullopt;
  }
  const std::string digits(text);
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits.c_str(), &end, 16);
  darvo::fuzz::require(end == digits.c_str() + digits.size(), "strtoull reads every hex digit");
  if (errno == ERANGE || value > 0xffffffffULL) return std::nullopt;
  if (negative && value != 0) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using darvo::fuzz::require;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = darvo::protocol::parseHexWindowNumber(text);
  const auto expected = model(text);
  require(parsed == expected, "parseHexWindowNumber agrees with the strtoull model");
  if (parsed) {
    // Whatever was accepted reads back from its own lower- and upper-case spelling.
    char lower[16];
    char upper[16];
    std::snprintf(lower, sizeof lower, "%x", *parsed);
    std::snprintf(upper, sizeof upper, "+%X", *parsed);
    require(darvo::protocol::parseHexWindowNumber(lower) == parsed,
            "a value reads back (lower case)");
    require(darvo::protocol::parseHexWindowNumber(upper) == parsed,
            "a value reads back (upper case)");
  }
  return 0;
}
