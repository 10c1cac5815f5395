// Strict readers for the words of the command line and the test variable.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace darvo::protocol {

// The text after "0x" of a window id: an optional sign ('+', or '-' when every digit is 0), then
// one or more hexadecimal digits, nothing else, at most 0xffffffff.
std::optional<uint32_t> parseHexWindowNumber(std::string_view text);

// A whole word read as one number by strtod in the C locale: not empty, no leading white space,
// nothing left over. Infinities and NaN are numbers here; callers decide what they accept.
std::optional<double> parseWholeDouble(std::string_view text);

}  // namespace darvo::protocol
