// The wire form of a JSON line, the UTF-8 rule it shares with the standard-input reader, and which
// standard-input chunks ask for a stop.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "protocol/json.hpp"
#include "protocol/stop_request.hpp"
#include "protocol/utf8.hpp"

namespace darvo::protocol {
namespace {

std::string text(const JsonObject& object) {
  return serialize(object).value_or("<none>");
}

// The length of the well-formed sequence `bytes` starts with, or 0: decoded bit by bit (shortest
// form, no surrogate, at most U+10FFFF), apart from the product's table of lead bytes.
size_t wellFormedLength(std::string_view bytes) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(bytes[at]); };
  const auto ones = static_cast<size_t>(std::countl_one(byte(0)));
  const size_t length = ones == 0 ? 1 : ones;
  if (ones == 1 || ones > 4 || length > bytes.size()) return 0;
  uint32_t code = byte(0) & (0x7FU >> ones);
  for (size_t at = 1; at < length; ++at) {
    if ((byte(at) & 0xC0U) != 0x80U) return 0;
    code = code << 6U | (byte(at) & 0x3FU);
  }
  constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  return valid ? length : 0;
}

TEST(Utf8, AgreesWithADecoderOnEverySequenceOfOneAndTwoBytesAndTheEdgesOfLongerOnes) {
  const std::string tails[] = {"", "\x41", "\x80", "\xBF", "\xC0", "\x80\x80", "\xBF\xBF"};
  for (unsigned first = 0; first < 256; ++first) {
    for (unsigned second = 0; second < 257; ++second) {  // 256: nothing after the first byte
      std::string head(1, static_cast<char>(first));
      if (second < 256) head += static_cast<char>(second);
      for (const std::string& tail : tails) {
        const std::string bytes = head + tail;
        ASSERT_EQ(validUtf8SequenceLength(bytes, 0), wellFormedLength(bytes))
            << first << " " << second << tail;
        size_t at = 0;
        while (at < bytes.size() && wellFormedLength(bytes.substr(at)) > 0) {
          at += wellFormedLength(bytes.substr(at));
        }
        ASSERT_EQ(isValidUtf8(bytes), at == bytes.size()) << first << " " << second << tail;
        if (second == 256) break;
      }
    }
  }
}

TEST(Json, KeysSortedAndCompact) {
  EXPECT_EQ(text({{"protocol", 1}, {"minimumMacOS", "15.0"}}),
            R"({"minimumMacOS":"15.0","protocol":1})");
  EXPECT_EQ(text({{"windows", std::vector<JsonObject>{}}}), R"({"windows":[]})");
  EXPECT_EQ(text({{"windows", std::vector<JsonObject>{{{"b", 1}, {"a", 2}}, {{"c", 3}}}}}),
            R"({"windows":[{"a":2,"b":1},{"c":3}]})");
}

// Every byte, alone between two letters: escaped, kept, or (alone, it is bad UTF-8) replaced.
TEST(Json, EachByteIsEscapedKeptOrReplaced) {
  constexpr std::string_view kEscaped = "\"\\/\b\f\n\r\t";
  constexpr std::string_view kEscapes = "\"\\/bfnrt";
  for (int byte = 0; byte < 256; ++byte) {
    const char character = static_cast<char>(byte);
    std::string expected(1, character);
    if (const size_t at = kEscaped.find(character); at != std::string_view::npos) {
      expected = std::string("\\") + kEscapes[at];
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      expected = escape;
    } else if (byte >= 0x80) {
      expected = "\xEF\xBF\xBD";
    }
    EXPECT_EQ(text({{"a" + std::string(1, character), "b"}}), "{\"a" + expected + "\":\"b\"}")
        << byte;
  }
  EXPECT_EQ(text({{"t", "caf\xC3\xA9 \xF0\x9F\x8E\xA5"}}),
            "{\"t\":\"caf\xC3\xA9 \xF0\x9F\x8E\xA5\"}");
}

// Doubles of many bit patterns: in JSON's number grammar, and read back to the same bits.
TEST(Json, NumbersReadBackExactly) {
  EXPECT_EQ(text({{"n", int64_t{-9007199254740993}}}), R"({"n":-9007199254740993})");
  const std::regex grammar(R"(\{"n":-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?\})");
  uint64_t bits = 0x9e3779b97f4a7c15U;
  for (int i = 0; i < 20000; ++i) {
    bits ^= bits << 13U, bits ^= bits >> 7U, bits ^= bits << 17U;
    const double value = i == 0 ? -0.0 : i == 1 ? 1e21 : std::bit_cast<double>(bits);
    if (!std::isfinite(value)) continue;
    const std::string line = text({{"n", value}});
    ASSERT_TRUE(std::regex_match(line, grammar)) << line;
    const double back = std::strtod(line.c_str() + 5, nullptr);
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(value)) << line;
  }
}

TEST(Json, NonFiniteNumbersAreNotWritten) {
  EXPECT_FALSE(serialize({{"n", std::nan("")}}));
  EXPECT_FALSE(serialize({{"windows", std::vector<JsonObject>{{{"n", HUGE_VAL}}}}}));
}

TEST(StandardInputChunk, StopAnywhereInValidText) {
  for (const char* chunk :
       {"stop", "stop\n", "  stop  ", "please stop now", "non-stop", "stopwatch"}) {
    EXPECT_TRUE(chunkRequestsStop(chunk)) << chunk;
  }
  EXPECT_TRUE(chunkRequestsStop("")) << "end of input";
}

TEST(StandardInputChunk, EverythingElseIsIgnored) {
  for (const char* chunk : {"STOP", "Stop", "pause", "resume", "quit", "exit", "st", "op\n"}) {
    EXPECT_FALSE(chunkRequestsStop(chunk)) << chunk;
  }
  EXPECT_FALSE(chunkRequestsStop("stop\xFF")) << "invalid UTF-8 hides the word";
  EXPECT_FALSE(chunkRequestsStop(std::string_view("\xC3stop", 5)));
}

}  // namespace
}  // namespace darvo::protocol
