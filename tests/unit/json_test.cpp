// The wire form of a JSON line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "protocol/json.hpp"
#include "protocol/utf8.hpp"

namespace darvo::protocol {
namespace {

std::string text(const JsonObject& object) {
  return serialize(object).value_or("<none>");
}

TEST(Json, KeysSortedAndCompact) {
  EXPECT_EQ(text({{"protocol", 1}, {"minimumMacOS", "15.0"}}),
            R"({"minimumMacOS":"15.0","protocol":1})");
  EXPECT_EQ(text({{"width", 2}, {"app", "a"}, {"id", "0xa"}}),
            R"({"app":"a","id":"0xa","width":2})");
  EXPECT_EQ(text({{"windows", std::vector<JsonObject>{}}}), R"({"windows":[]})");
  EXPECT_EQ(text({{"windows", std::vector<JsonObject>{{{"b", 1}, {"a", 2}}, {{"c", 3}}}}}),
            R"({"windows":[{"a":2,"b":1},{"c":3}]})");
}

TEST(Json, StringsEscapeSlashesQuotesAndControls) {
  EXPECT_EQ(text({{"file", "/tmp/a.mp4"}}), R"({"file":"\/tmp\/a.mp4"})");
  EXPECT_EQ(text({{"t", "a\"b\\c\n\t\x01"}}), R"({"t":"a\"b\\c\n\t\u0001"})");
  EXPECT_EQ(text({{"t", "caf\xC3\xA9 \xE2\x9C\x93"}}), "{\"t\":\"caf\xC3\xA9 \xE2\x9C\x93\"}");
}

TEST(Json, InvalidUtf8BecomesReplacementCharacters) {
  const std::string invalid[] = {"\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"};
  for (const auto& bytes : invalid) {
    const auto line = text({{"t", "a" + bytes + "b"}});
    EXPECT_TRUE(isValidUtf8(line)) << line;
    EXPECT_NE(line.find("\xEF\xBF\xBD"), std::string::npos) << line;
    EXPECT_EQ(line.front(), '{');
  }
}

TEST(Json, NumbersReadBackExactly) {
  EXPECT_EQ(text({{"n", int64_t{-9007199254740993}}}), R"({"n":-9007199254740993})");
  for (const double value : {0.1, 2.5, 1e-7, 1.7976931348623157e308, 1746012345678.123, 3.0}) {
    const auto line = text({{"n", value}});
    const auto number = line.substr(5, line.size() - 6);
    EXPECT_EQ(std::strtod(number.c_str(), nullptr), value) << line;
    EXPECT_EQ(number.find_first_of(" ,"), std::string::npos);
  }
}

TEST(Json, NonFiniteNumbersAreNotWritten) {
  EXPECT_FALSE(serialize({{"n", std::nan("")}}));
  EXPECT_FALSE(serialize({{"windows", std::vector<JsonObject>{{{"n", HUGE_VAL}}}}}));
}

}  // namespace
}  // namespace darvo::protocol
