// The record command's checks: their order, and the exact word rules.
#include <gtest/gtest.h>

#include "app/record_command.hpp"
#include "protocol/parsing.hpp"

namespace darvo::app {
namespace {

using protocol::parseHexWindowNumber;
using protocol::parseWholeDouble;

TEST(RecordCommand, WindowNumbersAndDurationsAreWholeWords) {
  for (const auto& [word, number] : {std::pair{"19a2b", 0x19a2bU},
                                     {"+001A2F", 0x1a2fU},
                                     {"-000", 0U},
                                     {"00000000000ffffffff", 0xffffffffU}}) {
    EXPECT_EQ(parseHexWindowNumber(word), number) << word;
  }
  for (const char* bad : {"", "+", "-", "-1", "1g", "100000000", " 1", "1 ", "++1", "0x1"}) {
    EXPECT_FALSE(parseHexWindowNumber(bad)) << bad;
  }
  for (const auto& [word, number] :
       {std::pair{"1e3", 1000.0}, {"+10", 10.0}, {"0x10", 16.0}, {"-1", -1.0}}) {
    EXPECT_EQ(parseWholeDouble(word), number) << word;
  }
  for (const char* bad : {"", " 3", "3 ", "\t3", "abc", "3,5", "1e"}) {
    EXPECT_FALSE(parseWholeDouble(bad)) << bad;
  }
}

TEST(RecordCommand, AcceptsAWellFormedCommand) {
  const std::vector<capture::Window> candidates = {
      {10, {0, 0, 300, 200}, 0, capture::RunningApplication{"other", "other", 2}},
      {6699, {5, 6, 800, 600}, 0, capture::RunningApplication{"app", "app", 1}}};
  const auto never = [](const std::string&) { return false; };
  const auto result =
      checkRecordCommand({"record", "0x1a2b", "/tmp/a.mp4", "600.5", "outline"}, candidates, never);
  const auto* request = std::get_if<RecordRequest>(&result);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->window.windowID, 6699U);
  EXPECT_EQ(request->window.frame.y, 6) << "the listed window, not one made from the number";
  EXPECT_EQ(request->window.owningApplication->processID, 1);
  EXPECT_EQ(request->duration, 600.5);
  EXPECT_TRUE(request->showOutline);
  EXPECT_EQ(request->outputPath, "/tmp/a.mp4");
  const auto plain =
      checkRecordCommand({"record", "0x+1A2B", "/a", "none", "no-outline"}, candidates, never);
  ASSERT_TRUE(std::holds_alternative<RecordRequest>(plain));
  EXPECT_FALSE(std::get<RecordRequest>(plain).duration);
  EXPECT_FALSE(std::get<RecordRequest>(plain).showOutline);
}

TEST(RecordCommand, RefusesEachWrongWordWithItsError) {
  const std::vector<capture::Window> candidates = {
      {10, {0, 0, 300, 200}, 0, capture::RunningApplication{"app", "app", 1}}};
  const auto takenIsTaken = [](const std::string& path) { return path == "/taken"; };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "invalid_window_or_output"},
      {{"record", "0xa", "/a", "none"}, "invalid_window_or_output"},
      {{"record", "0xa", "/a", "none", "outline", "x"}, "invalid_window_or_output"},
      {{"Record", "0xa", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0XA", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0x", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0x10000000a", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0xb", "/a", "0", "x"}, "invalid_window_or_output"},  // not a candidate
      {{"record", "0xa", "a.mp4", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0xa", "", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0xa", "/taken", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0xa", "/a", "0.5", "x"}, "invalid_duration"},
      {{"record", "0xa", "/a", "1800.01", "outline"}, "invalid_duration"},
      {{"record", "0xa", "/a", "inf", "outline"}, "invalid_duration"},
      {{"record", "0xa", "/a", "nan", "outline"}, "invalid_duration"},
      {{"record", "0xa", "/a", "None", "outline"}, "invalid_duration"},
      {{"record", "0xa", "/a", "nonex", "outline"}, "invalid_duration"},
      {{"record", "0xa", "/a", "1800", "Outline"}, "invalid_outline"},
      {{"record", "0xa", "/a", "1", "no_outline"}, "invalid_outline"},
      {{"record", "0xa", "/a", "1e3", ""}, "invalid_outline"}};
  for (const auto& [words, error] : cases) {
    const auto result = checkRecordCommand(words, candidates, takenIsTaken);
    const auto* refused = std::get_if<CommandError>(&result);
    EXPECT_EQ(refused != nullptr ? refused->code : "accepted", error)
        << ::testing::PrintToString(words);
  }
  EXPECT_TRUE(pathExists("/"));
  EXPECT_FALSE(pathExists("/nonexistent/darvo"));
}

TEST(RecordCommand, ThePortalWordTakesARestoreTokenOfPrintableText) {
  const auto never = [](const std::string&) { return false; };
  const auto takenIsTaken = [](const std::string& path) { return path == "/taken"; };
  const auto plain = checkPortalRecordCommand({"record", "portal", "/a", "2", "outline"}, never);
  ASSERT_TRUE(std::holds_alternative<PortalRecordRequest>(plain));
  EXPECT_FALSE(std::get<PortalRecordRequest>(plain).restoreToken);
  EXPECT_EQ(std::get<PortalRecordRequest>(plain).duration, 2.0);
  EXPECT_TRUE(std::get<PortalRecordRequest>(plain).showOutline);
  const std::string longest(kLongestRestoreToken, 't');
  for (const std::string& token : {std::string("1f7c-ä"), longest}) {
    const auto restored =
        checkPortalRecordCommand({"record", "portal:" + token, "/a", "none", "no-outline"}, never);
    ASSERT_TRUE(std::holds_alternative<PortalRecordRequest>(restored)) << token;
    EXPECT_EQ(std::get<PortalRecordRequest>(restored).restoreToken, token);
  }

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"record", "portal", "/a", "none"}, "invalid_window_or_output"},
      {{"record", "portal:", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "portal:a\tb", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "portal:\x7f", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "portal:\xff", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "portal:" + longest + "t", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "Portal", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "portals", "/a", "none", "outline"}, "invalid_window_or_output"},
      {{"record", "portal", "/taken", "0", "x"}, "invalid_window_or_output"},
      {{"record", "portal", "/a", "0", "x"}, "invalid_duration"},
      {{"record", "portal:t", "/a", "none", "x"}, "invalid_outline"}};
  for (const auto& [words, error] : cases) {
    const auto result = checkPortalRecordCommand(words, takenIsTaken);
    const auto* refused = std::get_if<CommandError>(&result);
    EXPECT_EQ(refused != nullptr ? refused->code : "accepted", error)
        << ::testing::PrintToString(words);
  }
  EXPECT_TRUE(isPortalRecordCommand({"record", "portal:x"}));
  EXPECT_FALSE(isPortalRecordCommand({"record", "0x10"}));
  EXPECT_FALSE(isPortalRecordCommand({"windows", "portal"}));
}

}  // namespace
}  // namespace darvo::app
