#include "protocol/json.hpp"

#include "protocol/utf8.hpp"

#include <charconv>
#include <cmath>

namespace darvo::protocol {
namespace {

constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

void appendString(std::string& out, const std::string& text) {
  out += '"';
  size_t index = 0;
  while (index < text.size()) {
    const auto byte = static_cast<unsigned char>(text[index]);
    switch (byte) {
      case '"':
        out += "\\\"";
        ++index;
        continue;
      case '\\':
        out += "\\\\";
        ++index;
        continue;
      case '/':
        out += "\\/";
        ++index;
        continue;
      case '\b':
        out += "\\b";
        ++index;
        continue;
      case '\f':
        out += "\\f";
        ++index;
        continue;
      case '\n':
        out += "\\n";
        ++index;
        continue;
      case '\r':
        out += "\\r";
        ++index;
        continue;
      case '\t':
        out += "\\t";
        ++index;
        continue;
      default:
        break;
    }
    if (byte < 0x20) {
      constexpr const char* kHex = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      ++index;
      continue;
    }
    const size_t length = validUtf8SequenceLength(text, index);
    if (length == 0) {
      out += kReplacementCharacter;
      ++index;
    } else {
      out.append(text, index, length);
      index += length;
    }
  }
  out += '"';
}

bool appendObject(std::string& out, const JsonObject& object);

bool appendValue(std::string& out, const JsonValue& value) {
  const auto& variant = value.get();
  if (const auto* text = std::get_if<std::string>(&variant)) {
    appendString(out, *text);
  } else if (const auto* integer = std::get_if<int64_t>(&variant)) {
    out += std::to_string(*integer);
  } else if (const auto* number = std::get_if<double>(&variant)) {
    if (!std::isfinite(*number)) return false;
    // The shortest form that reads back as the same double.
    char buffer[32];
    const auto result = std::to_chars(std::begin(buffer), std::end(buffer), *number);
    out.append(buffer, result.ptr);
  } else {
    out += '[';
    bool first = true;
    for (const auto& element : std::get<std::vector<JsonObject>>(variant)) {
      if (!first) out += ',';
      first = false;
      if (!appendObject(out, element)) return false;
    }
    out += ']';
  }
  return true;
}

bool appendObject(std::string& out, const JsonObject& object) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : object) {
    if (!first) out += ',';
    first = false;
    appendString(out, key);
    out += ':';
    if (!appendValue(out, value)) return false;
  }
  out += '}';
  return true;
}

}  // namespace

std::optional<std::string> serialize(const JsonObject& object) {
  std::string out;
  if (!appendObject(out, object)) return std::nullopt;
  return out;
}

}  // namespace darvo::protocol
