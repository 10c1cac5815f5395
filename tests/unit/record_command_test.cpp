// The record command's checks: order, and the exact word rules.
#include <gtest/gtest.h>

#include "app/record_command.hpp"
#include "protocol/parsing.hpp"

namespace darvo::app {
namespace {

using protocol::parseHexWindowNumber;
using protocol::parseWholeDouble;

const std::vector<capture::Window> kCandidates = {
    {6699, {0, 0, 800, 600}, 0, capture::RunningApplication{"app", "app", 1}},
    {10, {0, 0, 300, 200}, 0, capture::RunningApplication{"other", "other", 2}}};

std::variant<RecordRequest, CommandError> check(std::vector<std::string> words,
                                                bool pathTaken = false) {
  return checkRecordCommand(words, kCandidates, [&](const std::string&) { return pathTaken; });
}

std::string errorOf(const std::variant<RecordRequest, CommandError>& result) {
  const auto* error = std::get_if<CommandError>(&result);
  return error != nullptr ? error->code : "ok";
}

TEST(WindowNumber, SignsDigitsAndRange) {
  EXPECT_EQ(parseHexWindowNumber("1a2b"), 0x1a2b);
  EXPECT_EQ(parseHexWindowNumber("001A2B"), 0x1a2b);
  EXPECT_EQ(parseHexWindowNumber("+1a2b"), 0x1a2b);
  EXPECT_EQ(parseHexWindowNumber("-000"), 0U);
  EXPECT_EQ(parseHexWindowNumber("ffffffff"), 0xffffffffU);
  EXPECT_EQ(parseHexWindowNumber("00000000000ffffffff"), 0xffffffffU);
  for (const char* bad : {"", "+", "-", "-1", "1g", "100000000", " 1", "1 ", "++1", "0x1"}) {
    EXPECT_FALSE(parseHexWindowNumber(bad)) << bad;
  }
}

TEST(WholeDouble, WholeWordInTheCLocale) {
  EXPECT_EQ(parseWholeDouble("1e3"), 1000.0);
  EXPECT_EQ(parseWholeDouble("+10"), 10.0);
  EXPECT_EQ(parseWholeDouble("0x10"), 16.0);
  EXPECT_EQ(parseWholeDouble("-1"), -1.0);
  for (const char* bad : {"", " 3", "3 ", "\t3", "abc", "3,5", "1e"}) {
    EXPECT_FALSE(parseWholeDouble(bad)) << bad;
  }
}

TEST(RecordCommand, AcceptsAWellFormedCommand) {
  const auto result = check({"record", "0x1a2b", "/tmp/a.mp4", "none", "outline"});
  const auto* request = std::get_if<RecordRequest>(&result);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->window.windowID, 6699U);
  EXPECT_FALSE(request->duration);
  EXPECT_TRUE(request->showOutline);
  EXPECT_EQ(request->outputPath, "/tmp/a.mp4");
  EXPECT_EQ(
      std::get<RecordRequest>(check({"record", "0x+1a2b", "/a", "600.5", "no-outline"})).duration,
      600.5);
}

TEST(RecordCommand, WordCountAndCommandWord) {
  EXPECT_EQ(errorOf(check({})), "invalid_window_or_output");
  EXPECT_EQ(errorOf(check({"windows", "x"})), "invalid_window_or_output");
  EXPECT_EQ(errorOf(check({"record", "0xa", "/a", "none"})), "invalid_window_or_output");
  EXPECT_EQ(errorOf(check({"record", "0xa", "/a", "none", "outline", "x"})),
            "invalid_window_or_output");
  EXPECT_EQ(errorOf(check({"Record", "0xa", "/a", "none", "outline"})), "invalid_window_or_output");
}

TEST(RecordCommand, WindowIds) {
  for (const char* bad : {"0X1a2b", "1a2b", "0x", "0x+", "0x1g", "0x100000000", "0x1234"}) {
    EXPECT_EQ(errorOf(check({"record", bad, "/a", "none", "outline"})), "invalid_window_or_output")
        << bad;
  }
  EXPECT_EQ(errorOf(check({"record", "0x001A2B", "/a", "none", "outline"})), "ok");
  EXPECT_EQ(errorOf(check({"record", "0xa", "/a", "none", "outline"})), "ok");
}

TEST(RecordCommand, OutputPaths) {
  for (const char* bad : {"a.mp4", "~/a.mp4", "", "./a"}) {
    EXPECT_EQ(errorOf(check({"record", "0xa", bad, "none", "outline"})),
              "invalid_window_or_output");
  }
  EXPECT_EQ(errorOf(check({"record", "0xa", "/a", "none", "outline"}, true)),
            "invalid_window_or_output");
  EXPECT_TRUE(pathExists("/"));
  EXPECT_FALSE(pathExists("/nonexistent/darvo"));
}

TEST(RecordCommand, Durations) {
  for (const char* good : {"1", "1800", "1e3", "+10", "600.5", "none"}) {
    EXPECT_EQ(errorOf(check({"record", "0xa", "/a", good, "outline"})), "ok") << good;
  }
  for (const char* bad :
       {"0.5", "1800.01", "0", "-5", "inf", "nan", "ten", " 10", "10 ", "None", ""}) {
    EXPECT_EQ(errorOf(check({"record", "0xa", "/a", bad, "outline"})), "invalid_duration") << bad;
  }
}

TEST(RecordCommand, OutlineModesAndCheckOrder) {
  for (const char* bad : {"Outline", "on", "", "no_outline"}) {
    EXPECT_EQ(errorOf(check({"record", "0xa", "/a", "none", bad})), "invalid_outline");
  }
  EXPECT_EQ(errorOf(check({"record", "0xb", "/a", "0", "x"})), "invalid_window_or_output");
  EXPECT_EQ(errorOf(check({"record", "0xa", "/a", "0", "x"})), "invalid_duration");
}

}  // namespace
}  // namespace darvo::app
