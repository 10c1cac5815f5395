#include "protocol/parsing.hpp"

#include <locale.h>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <string>

namespace darvo::protocol {
namespace {

std::optional<unsigned> hexDigitValue(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return std::nullopt;
}

bool isCWhiteSpace(char character) {
  return character == ' ' || character == '\t' || character == '\n' || character == '\v' ||
         character == '\f' || character == '\r';
}

locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::optional<uint32_t> parseHexWindowNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char character : text) {
    const auto digit = hexDigitValue(character);
    if (!digit) return std::nullopt;
    value = value * 16 + *digit;
    if (value > UINT32_MAX) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<double> parseWholeDouble(std::string_view text) {
  if (text.empty() || isCWhiteSpace(text.front())) return std::nullopt;
  const std::string word(text);  // strtod needs a terminated string
  char* end = nullptr;
  const double value = strtod_l(word.c_str(), &end, cLocale());
  if (end != word.c_str() + word.size()) return std::nullopt;
  return value;
}

}  // namespace darvo::protocol
