// Shared by the fuzz targets: a failed expectation ends the run as a crash (libFuzzer saves the
// input), and a UTF-8 reference written independently of app/utf8.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace darvo::fuzz {

inline void require(bool holds, const char* expectation) {
  if (holds) return;
  std::fprintf(stderr, "fuzz expectation failed: %s\n", expectation);
  std::abort();
}

// Length of the well-formed UTF-8 sequence at text[index] (a shortest form of a scalar value:
// no surrogates, nothing above U+10FFFF), 0 when there is none; decodes the code point and
// checks its range rather than following byte tables.
inline size_t referenceSequenceLength(std::string_view text, size_t index) {
  const auto lead = static_cast<unsigned char>(text[index]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint32_t codePoint = 0;
  if ((lead & 0xE0U) == 0xC0U) {
    length = 2;
    codePoint = lead & 0x1FU;
  } else if ((lead & 0xF0U) == 0xE0U) {
    length = 3;
    codePoint = lead & 0x0FU;
  } else if ((lead & 0xF8U) == 0xF0U) {
    length = 4;
    codePoint = lead & 0x07U;
  } else {
    return 0;
  }
  if (text.size() - index < length) return 0;
  for (size_t offset = 1; offset < length; ++offset) {
    const auto next = static_cast<unsigned char>(text[index + offset]);
    if ((next & 0xC0U) != 0x80U) return 0;
    codePoint = (codePoint << 6U) | (next & 0x3FU);
  }
  constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kShortest[length]) return 0;               // overlong
  if (codePoint > 0x10FFFF) return 0;                        // beyond Unicode
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;  // surrogate
  return length;
}

inline bool referenceValidUtf8(std::string_view text) {
  for (size_t index = 0; index < text.size();) {
    const size_t length = referenceSequenceLength(text, index);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

// `text` with every byte that starts no well-formed sequence replaced by U+FFFD.
inline std::string referenceRepaired(std::string_view text) {
  std::string repaired;
  for (size_t index = 0; index < text.size();) {
    const size_t length = referenceSequenceLength(text, index);
    if (length == 0) {
      repaired += "\xEF\xBF\xBD";
      ++index;
    } else {
      repaired.append(text.substr(index, length));
      index += length;
    }
  }
  return repaired;
}

}  // namespace darvo::fuzz
