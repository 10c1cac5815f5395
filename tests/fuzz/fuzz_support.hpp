// Shared by the fuzz targets: a failed expectation aborts, so libFuzzer keeps the input; and a
// UTF-8 reference written apart from protocol/utf8.cpp (it decodes where the product uses tables).
#pragma once

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string>

#define REQUIRE(holds) \
  ((holds) ? void() : (std::fputs("failed: " #holds "\n", stderr), std::abort()))

// `text` with each byte that starts no well-formed sequence (shortest form, no surrogate, at most
// U+10FFFF) replaced by U+FFFD: valid UTF-8 is the text this leaves unchanged.
inline std::string repairedUtf8(std::string_view text) {
  std::string out;
  for (size_t at = 0, length = 1; at < text.size(); at += (length > 0 ? length : 1)) {
    const auto byte = [&](size_t offset) { return static_cast<unsigned char>(text[at + offset]); };
    const auto ones = static_cast<size_t>(std::countl_one(byte(0)));
    length = ones == 0 ? 1 : ones == 1 || ones > 4 || ones > text.size() - at ? 0 : ones;
    uint32_t code = byte(0) & (0x7FU >> ones);
    for (size_t offset = 1; offset < length; ++offset) {
      if ((byte(offset) & 0xC0U) != 0x80U) length = 0;
      code = code << 6U | (byte(offset) & 0x3FU);
    }
    constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) length = 0;
    out.append(length > 0 ? text.substr(at, length) : "\xEF\xBF\xBD");
  }
  return out;
}
