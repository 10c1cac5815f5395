// protocol::serialize on objects of arbitrary bytes as keys and text, int64s and doubles of any bit
// pattern (nesting is left to the unit tests): text exactly when every number is finite, one line
// of valid UTF-8 that reads back as the object (keys sorted, U+FFFD for bad UTF-8, numbers exact).
#include <charconv>
#include <cmath>
#include <regex>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.hpp"
#include "protocol/json.hpp"

// Reads the line from the front, requiring at each step what the expected object dictates.
struct Reader {
  std::string_view rest;
  char next() { return REQUIRE(!rest.empty()), rest.remove_prefix(1), rest.data()[-1]; }
  void expect(char wanted) { REQUIRE(next() == wanted); }

  // A string's bytes, escapes decoded (\u only below 0x80: all the writer needs it for).
  std::string string() {
    std::string text;
    expect('"');
    for (char character = next(); character != '"'; character = next()) {
      REQUIRE(static_cast<unsigned char>(character) >= 0x20);  // raw, it would break the line
      constexpr std::string_view kEscape = "\"\\/bfnrt", kMeant = "\"\\/\b\f\n\r\t";
      const size_t kind = character == '\\' ? kEscape.find(character = next()) : kMeant.size();
      unsigned unit = static_cast<unsigned char>(character);
      if (kind == std::string_view::npos) {
        REQUIRE(character == 'u' && rest.size() >= 4 &&
                std::from_chars(rest.data(), rest.data() + 4, unit, 16).ptr == rest.data() + 4 &&
                unit < 0x80);
        rest.remove_prefix(4);
      }
      text += kind < kMeant.size() ? kMeant[kind] : static_cast<char>(unit);
    }
    return text;
  }

  // A number's text, held to JSON's grammar (strtod alone takes "inf", "0x1p3", "+1", "1.").
  std::string number() {
    static const std::regex kGrammar("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
    const std::string text(rest.substr(0, rest.find_first_not_of("+-.0123456789Ee")));
    rest.remove_prefix(text.size());
    return REQUIRE(std::regex_match(text, kGrammar)), text;
  }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  darvo::protocol::JsonObject object;
  bool finite = true;
  while (in.remaining_bytes() > 0) {
    std::string key = in.ConsumeRandomLengthString(24);
    const int kind = in.ConsumeIntegralInRange(0, 3);
    if (kind == 0) object.try_emplace(key, in.ConsumeRandomLengthString(48));
    if (kind == 1) object.try_emplace(key, in.ConsumeIntegral<int64_t>());
    if (kind < 2) continue;
    // A double of any bit pattern, or one that random bits seldom give.
    const double real = kind == 2 ? std::bit_cast<double>(in.ConsumeIntegral<uint64_t>())
                                  : in.PickValueInArray({HUGE_VAL, -0.0, 5.0, 1e21, 1e-7});
    finite = finite && (object.contains(key) || std::isfinite(real));
    object.try_emplace(key, real);
  }
  const auto line = darvo::protocol::serialize(object);
  REQUIRE(line.has_value() == finite);  // NaN and the infinities have no JSON form
  if (!line) return 0;
  REQUIRE(repairedUtf8(*line) == *line);  // valid UTF-8
  Reader reader{*line};
  for (auto member = object.begin(); member != object.end(); ++member) {
    reader.expect(member == object.begin() ? '{' : ',');
    REQUIRE(reader.string() == repairedUtf8(member->first));
    reader.expect(':');
    const auto& value = member->second.get();
    if (const auto* text = std::get_if<std::string>(&value)) {
      REQUIRE(reader.string() == repairedUtf8(*text));
    } else if (const auto* integer = std::get_if<int64_t>(&value)) {
      REQUIRE(reader.number() == std::to_string(*integer));
    } else {
      REQUIRE(std::bit_cast<uint64_t>(std::strtod(reader.number().c_str(), nullptr)) ==
              std::bit_cast<uint64_t>(std::get<double>(value)));
    }
  }
  if (object.empty()) reader.expect('{');
  REQUIRE(reader.rest == "}");  // and so no raw control character anywhere
  return 0;
}
