// protocol::serialize on objects built from the input: arbitrary byte strings as keys and text,
// integers, doubles of every bit pattern, lists of objects. Whatever it writes is one line of
// valid UTF-8 that a strict JSON reader reads back as the object (text repaired with U+FFFD, keys
// in byte order, numbers exact); an object holding NaN or an infinity gives nothing.
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.hpp"
#include "protocol/json.hpp"
#include "protocol/utf8.hpp"

namespace {

using darvo::fuzz::require;
using darvo::protocol::JsonObject;
using darvo::protocol::JsonValue;

// ---- A strict reader of compact JSON (RFC 8259 without white space) ----

struct Node {
  enum class Kind { object, array, string, number, literal } kind = Kind::literal;
  std::string text;               // decoded string, or the number's or literal's own text
  std::vector<std::string> keys;  // an object's members: keys[i] names values[i]
  std::vector<Node> values;
  std::vector<Node> elements;
};

class StrictReader {
 public:
  explicit StrictReader(std::string_view input) : input_(input) {}

  // The one value that is the whole input, or nothing.
  std::optional<Node> readDocument() {
    auto node = readValue(0);
    if (!node || position_ != input_.size()) return std::nullopt;
    return node;
  }

 private:
  bool atEnd() const { return position_ >= input_.size(); }
  char peek() const { return input_[position_]; }
  bool take(char expected) {
    if (atEnd() || peek() != expected) return false;
    ++position_;
    return true;
  }

  std::optional<Node> readValue(int depth) {
    if (atEnd() || depth > 64) return std::nullopt;
    switch (peek()) {
      case '{':
        return readObject(depth);
      case '[':
        return readArray(depth);
      case '"': {
        auto text = readString();
        if (!text) return std::nullopt;
        return Node{Node::Kind::string, std::move(*text), {}, {}, {}};
      }
      case 't':
        return readLiteral("true");
      case 'f':
        return readLiteral("false");
      case 'n':
        return readLiteral("null");
      default:
        return readNumber();
    }
  }

  std::optional<Node> readLiteral(std::string_view word) {
    if (input_.substr(position_, word.size()) != word) return std::nullopt;
    position_ += word.size();
    return Node{Node::Kind::literal, std::string(word), {}, {}, {}};
  }

  std::optional<Node> readObject(int depth) {
    Node node{Node::Kind::object, {}, {}, {}, {}};
    take('{');
    if (take('}')) return node;
    while (true) {
      if (atEnd() || peek() != '"') return std::nullopt;
      auto key = readString();
      if (!key || !take(':')) return std::nullopt;
      auto value = readValue(depth + 1);
      if (!value) return std::nullopt;
      node.keys.push_back(std::move(*key));
      node.values.push_back(std::move(*value));
      if (take('}')) return node;
      if (!take(',')) return std::nullopt;
    }
  }

  std::optional<Node> readArray(int depth) {
    Node node{Node::Kind::array, {}, {}, {}, {}};
    take('[');
    if (take(']')) return node;
    while (true) {
      auto value = readValue(depth + 1);
      if (!value) return std::nullopt;
      node.elements.push_back(std::move(*value));
      if (take(']')) return node;
      if (!take(',')) return std::nullopt;
    }
  }

  bool readDigits() {
    const size_t start = position_;
    while (!atEnd() && peek() >= '0' && peek() <= '9') ++position_;
    return position_ > start;
  }

  std::optional<Node> readNumber() {
    const size_t start = position_;
    take('-');
    if (take('0')) {
      // no leading zeros
    } else if (atEnd() || peek() < '1' || peek() > '9' || !readDigits()) {
      return std::nullopt;
    }
    if (take('.') && !readDigits()) return std::nullopt;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!readDigits()) return std::nullopt;
    }
    return Node{
        Node::Kind::number, std::string(input_.substr(start, position_ - start)), {}, {}, {}};
  }

  std::optional<unsigned> readHex4() {
    if (input_.size() - position_ < 4) return std::nullopt;
    unsigned value = 0;
    for (int index = 0; index < 4; ++index) {
      const char digit = input_[position_++];
      value <<= 4U;
      if (digit >= '0' && digit <= '9') {
        value |= static_cast<unsigned>(digit - '0');
      } else if (digit >= 'a' && digit <= 'f') {
        value |= static_cast<unsigned>(digit - 'a' + 10);
      } else if (digit >= 'A' && digit <= 'F') {
        value |= static_cast<unsigned>(digit - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  static void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
      out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
      out += static_cast<char>(0xC0 | (codePoint >> 6));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
      out += static_cast<char>(0xE0 | (codePoint >> 12));
      out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (codePoint >> 18));
      out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
  }

  // A string's decoded bytes; raw control characters and lone surrogates are refused.
  std::optional<std::string> readString() {
    take('"');
    std::string text;
    while (true) {
      if (atEnd()) return std::nullopt;
      const auto byte = static_cast<unsigned char>(input_[position_++]);
      if (byte == '"') return text;
      if (byte < 0x20) return std::nullopt;
      if (byte != '\\') {
        text += static_cast<char>(byte);
        continue;
      }
      if (atEnd()) return std::nullopt;
      const char escape = input_[position_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          text += escape;
          break;
        case 'b':
          text += '\b';
          break;
        case 'f':
          text += '\f';
          break;
        case 'n':
          text += '\n';
          break;
        case 'r':
          text += '\r';
          break;
        case 't':
          text += '\t';
          break;
        case 'u': {
          const auto unit = readHex4();
          if (!unit) return std::nullopt;
          uint32_t codePoint = *unit;
          if (*unit >= 0xDC00 && *unit <= 0xDFFF) return std::nullopt;
          if (*unit >= 0xD800 && *unit <= 0xDBFF) {
            if (!take('\\') || !take('u')) return std::nullopt;
            const auto low = readHex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            codePoint = 0x10000 + ((*unit - 0xD800) << 10U) + (*low - 0xDC00);
          }
          appendUtf8(text, codePoint);
          break;
        }
        default:
          return std::nullopt;
      }
    }
  }

  std::string_view input_;
  size_t position_ = 0;
};

// ---- Objects from the input, and what their text must read back as ----

constexpr int kDeepest = 3;

JsonObject makeObject(FuzzedDataProvider& provider, int depth);

JsonValue makeValue(FuzzedDataProvider& provider, int depth) {
  switch (provider.ConsumeIntegralInRange<int>(0, depth < kDeepest ? 6 : 5)) {
    case 0:
      return JsonValue(provider.ConsumeRandomLengthString(48));
    case 1:
      return JsonValue(provider.ConsumeIntegral<int64_t>());
    case 2:  // every bit pattern: NaNs, infinities, subnormals, negative zero
      return JsonValue(std::bit_cast<double>(provider.ConsumeIntegral<uint64_t>()));
    case 3:  // ordinary magnitudes, as the helper writes them
      return JsonValue(static_cast<double>(provider.ConsumeIntegral<int32_t>()) / 1000.0);
    case 4:
      return JsonValue(provider.ConsumeIntegral<int>());
    case 5:  // the edges, which random bit patterns seldom hit
      return JsonValue(provider.PickValueInArray<double>(
          {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
           std::numeric_limits<double>::quiet_NaN(), -0.0, std::numeric_limits<double>::max(),
           std::numeric_limits<double>::lowest(), std::numeric_limits<double>::min(),
           std::numeric_limits<double>::denorm_min(), 9007199254740993.0, 1e21, 1e-7}));
    default: {
      std::vector<JsonObject> list(provider.ConsumeIntegralInRange<size_t>(0, 3));
      for (auto& element : list) element = makeObject(provider, depth + 1);
      return JsonValue(std::move(list));
    }
  }
}

JsonObject makeObject(FuzzedDataProvider& provider, int depth) {
  JsonObject object;
  const size_t members = provider.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t index = 0; index < members && provider.remaining_bytes() > 0; ++index) {
    std::string key = provider.ConsumeRandomLengthString(24);
    object.insert_or_assign(std::move(key), makeValue(provider, depth));
  }
  return object;
}

bool holdsNonFinite(const JsonObject& object) {
  for (const auto& [key, value] : object) {
    const auto& variant = value.get();
    if (const auto* number = std::get_if<double>(&variant)) {
      if (!std::isfinite(*number)) return true;
    } else if (const auto* list = std::get_if<std::vector<JsonObject>>(&variant)) {
      for (const auto& element : *list) {
        if (holdsNonFinite(element)) return true;
      }
    }
  }
  return false;
}

void requireReadsBackAs(const Node& node, const JsonObject& object);

void requireValueReadsBackAs(const Node& node, const JsonValue& value) {
  const auto& variant = value.get();
  if (const auto* text = std::get_if<std::string>(&variant)) {
    require(node.kind == Node::Kind::string, "text is written as a string");
    require(node.text == darvo::fuzz::referenceRepaired(*text),
            "a string reads back as its text, invalid UTF-8 replaced by U+FFFD");
  } else if (const auto* integer = std::get_if<int64_t>(&variant)) {
    require(node.kind == Node::Kind::number, "an integer is written as a number");
    require(node.text == std::to_string(*integer), "an integer is written in decimal, exactly");
  } else if (const auto* number = std::get_if<double>(&variant)) {
    require(node.kind == Node::Kind::number, "a double is written as a number");
    const double readBack = std::strtod(node.text.c_str(), nullptr);
    require(std::bit_cast<uint64_t>(readBack) == std::bit_cast<uint64_t>(*number),
            "a double reads back as the same double");
  } else {
    const auto& list = std::get<std::vector<JsonObject>>(variant);
    require(node.kind == Node::Kind::array, "a list is written as an array");
    require(node.elements.size() == list.size(), "an array holds every object of the list");
    for (size_t index = 0; index < list.size(); ++index) {
      requireReadsBackAs(node.elements[index], list[index]);
    }
  }
}

void requireReadsBackAs(const Node& node, const JsonObject& object) {
  require(node.kind == Node::Kind::object, "an object is written as an object");
  require(node.keys.size() == object.size(), "an object holds every member");
  bool keysValid = true;
  size_t index = 0;
  for (const auto& [key, value] : object) {
    require(node.keys[index] == darvo::fuzz::referenceRepaired(key),
            "members come in the byte order of their keys, each key repaired");
    keysValid = keysValid && darvo::fuzz::referenceValidUtf8(key);
    requireValueReadsBackAs(node.values[index], value);
    ++index;
  }
  if (keysValid) {
    for (size_t later = 1; later < node.keys.size(); ++later) {
      require(node.keys[later - 1] < node.keys[later], "keys as written are sorted and distinct");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const JsonObject object = makeObject(provider, 0);
  const auto line = darvo::protocol::serialize(object);
  if (holdsNonFinite(object)) {
    require(!line, "an object holding NaN or an infinity gives no text");
    return 0;
  }
  require(line.has_value(), "an object of finite numbers gives text");
  for (const char character : *line) {
    require(static_cast<unsigned char>(character) >= 0x20,
            "one line: no newline or other raw control character");
  }
  require(darvo::protocol::isValidUtf8(*line), "the line is valid UTF-8 (isValidUtf8)");
  require(darvo::fuzz::referenceValidUtf8(*line), "the line is valid UTF-8 (reference)");
  const auto document = StrictReader(*line).readDocument();
  require(document.has_value(), "the line is one compact JSON value");
  requireReadsBackAs(*document, object);
  return 0;
}
