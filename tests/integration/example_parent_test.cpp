// The example parents (examples/parent.py and examples/parent.js) driving the built helper on
// Xvfb, as a user runs them.
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "helper_process.hpp"

namespace darvo::test {
namespace {

// An example parent: its interpreter and its script in examples/.
struct Parent {
  const char* interpreter;
  const char* script;
};
const Parent kParents[] = {{"python3", "parent.py"}, {"node", "parent.js"}};

void PrintTo(const Parent& parent, std::ostream* out) {
  *out << parent.script;
}

std::string parentName(const ::testing::TestParamInfo<Parent>& info) {
  return info.param.interpreter;
}

std::vector<std::string> parentCommand(const Parent& parent,
                                       const std::vector<std::string>& arguments,
                                       const std::string& helper = binaryPath("darvo-helper")) {
  std::vector<std::string> argv = {parent.interpreter,
                                   std::string(DARVO_SOURCE_DIR) + "/examples/" + parent.script,
                                   "--helper", helper};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

// Each of `expected` in `text`, in this order.
void expectInOrder(const std::string& text, const std::vector<std::string>& expected) {
  std::size_t from = 0;
  for (const auto& part : expected) {
    const auto found = text.find(part, from);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part << "\nin:\n" << text;
    from = found + part.size();
  }
}

class ExampleParentTest : public ::testing::TestWithParam<Parent> {
 protected:
  XvfbServer server;
  TemporaryDirectory directory;
  TestWindows windows{server.display(),
                      {{"--name", "example", "--geometry", "240x180+30+30", "--animate"}}};

  std::string path(const std::string& name) const { return (directory.path() / name).string(); }

  ChildOptions options(std::vector<std::pair<std::string, std::optional<std::string>>> extra = {}) {
    auto result = server.clientOptions();
    for (auto& variable : extra) result.environment.push_back(std::move(variable));
    return result;
  }

  static void expectH264(const std::string& file, double shortest, double longest) {
    const auto probe = probeVideo(file);
    ASSERT_TRUE(probe) << file;
    EXPECT_EQ(probe->codec, "h264") << file;
    EXPECT_EQ(probe->width, 240) << file;
    EXPECT_EQ(probe->height, 180) << file;
    EXPECT_GE(probe->duration, shortest) << file;
    EXPECT_LE(probe->duration, longest) << file;
  }
};

TEST_P(ExampleParentTest, ListShowsTheRecordableWindow) {
  const auto result = runTool(parentCommand(GetParam(), {"list"}), options(), 20s);
  EXPECT_EQ(result.status.exitCode(), 0) << result.errors;
  expectInOrder(result.output, {hexId(windows.id(0)), "240x180", std::to_string(windows.pid()),
                                "example (example)"});
  EXPECT_EQ(result.errors, "");
}

// The test variable makes the helper pause once, so the parent has two files to collect; the
// recording lasts the given seconds from "ready", which needs the helper's input kept open.
TEST_P(ExampleParentTest, RecordsForTheGivenSecondsAcrossAPause) {
  const auto first = path("out.mp4");
  const auto second = first + ".1.mp4";
  const auto result = runTool(
      parentCommand(GetParam(), {"record", hexId(windows.id(0)), first, "--seconds", "2.5"}),
      options({{"DARVO_HELPER_TEST_SYSTEM_STOP_AT", "1"}}), 30s);
  EXPECT_EQ(result.status.exitCode(), 0) << result.output << result.errors;
  expectInOrder(result.output,
                {"segment 0: " + first + "\n", "ready: recording\n", "paused at ",
                 "(segment 0 closed)", "segment 1: " + second + "\n", "stopping (2.5 s recorded)\n",
                 "finished: stopped, 2 segment(s)\n", "files:\n  " + first + "\n  " + second + "\n",
                 "helper exit status: 0\n"});
  EXPECT_EQ(result.errors, "");
  expectH264(first, 0.5, 2.0);
  expectH264(second, 0.5, 2.5);
  struct stat status {};
  ASSERT_EQ(::stat(second.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600);
}

TEST_P(ExampleParentTest, ForwardsCtrlCAsAStop) {
  const auto file = path("interrupted.mp4");
  ChildProcess parent(parentCommand(GetParam(), {"record", hexId(windows.id(0)), file}), options());
  std::string output;
  while (auto line = parent.readLine(15s)) {
    output += *line + "\n";
    if (*line == "ready: recording") break;
  }
  ASSERT_NE(output.find("ready: recording"), std::string::npos) << output << parent.stderrText();
  std::this_thread::sleep_for(1s);  // the length of the recording under test
  parent.signal(SIGINT);
  const auto status = parent.waitExit(20s);
  ASSERT_TRUE(status) << "the parent did not end after Ctrl-C";
  output += parent.readRemainingOutput(1s);
  EXPECT_EQ(status->exitCode(), 0) << output << parent.stderrText();
  expectInOrder(output, {"stopping (SIGINT)\n", "finished: stopped, 1 segment(s)\n",
                         "files:\n  " + file + "\n", "helper exit status: 0\n"});
  EXPECT_EQ(parent.stderrText(), "");
  expectH264(file, 0.7, 3.0);
}

TEST_P(ExampleParentTest, ReportsTheHelpersErrorAndStatus) {
  const auto taken = path("taken.mp4");
  std::ofstream(taken) << "not a video";
  const auto result =
      runTool(parentCommand(GetParam(), {"record", hexId(windows.id(0)), taken, "--seconds", "1"}),
              options(), 20s);
  EXPECT_EQ(result.status.exitCode(), 1);
  EXPECT_NE(result.errors.find("helper error: invalid_window_or_output"), std::string::npos)
      << result.errors;
  expectInOrder(result.output, {"files: none\n", "helper exit status: 1\n"});
  std::stringstream content;
  content << std::ifstream(taken).rdbuf();
  EXPECT_EQ(content.str(), "not a video") << "an existing file is never written";
}

INSTANTIATE_TEST_SUITE_P(Parents, ExampleParentTest, ::testing::ValuesIn(kParents), parentName);

class ExampleParentStartTest : public ::testing::TestWithParam<Parent> {};

TEST_P(ExampleParentStartTest, ReportsAHelperThatCannotStart) {
  TemporaryDirectory directory;
  const auto result = runTool(
      parentCommand(GetParam(), {"list"}, (directory.path() / "missing-helper").string()), {}, 20s);
  EXPECT_EQ(result.status.exitCode(), 2);
  EXPECT_NE(result.errors.find("cannot start"), std::string::npos) << result.errors;
}

INSTANTIATE_TEST_SUITE_P(Parents, ExampleParentStartTest, ::testing::ValuesIn(kParents),
                         parentName);

}  // namespace
}  // namespace darvo::test
