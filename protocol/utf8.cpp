#include "protocol/utf8.hpp"

namespace darvo::protocol {

size_t validUtf8SequenceLength(std::string_view text, size_t index) {
  const auto byteAt = [&](size_t position) { return static_cast<unsigned char>(text[position]); };
  const unsigned char lead = byteAt(index);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (index + length > text.size()) return 0;
  for (size_t offset = 1; offset < length; ++offset) {
    const unsigned char next = byteAt(index + offset);
    if (next < (offset == 1 ? low : 0x80) || next > (offset == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

bool isValidUtf8(std::string_view text) {
  size_t index = 0;
  while (index < text.size()) {
    const size_t length = validUtf8SequenceLength(text, index);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

}  // namespace darvo::protocol
