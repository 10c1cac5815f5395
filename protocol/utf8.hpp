// UTF-8 validation shared by the JSON writer and the standard-input reader.
#pragma once

#include <cstddef>
#include <string_view>

namespace darvo::protocol {

// Length of the valid UTF-8 sequence starting at `text[index]`, or 0 when it is invalid
// (truncated, overlong, a surrogate, or above U+10FFFF).
size_t validUtf8SequenceLength(std::string_view text, size_t index);

bool isValidUtf8(std::string_view text);

}  // namespace darvo::protocol
