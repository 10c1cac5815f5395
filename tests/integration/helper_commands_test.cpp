// The helper's commands as a parent sees them: exact lines, statuses, and nothing on stderr.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "helper_process.hpp"

namespace darvo::test {
namespace {

TEST(HelperCommands, VersionNeedsNoDisplay) {
  const auto run = runHelper({"version"}, {{{"DISPLAY", std::nullopt}}});
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"minimumMacOS":"15.0","protocol":1})"});
  EXPECT_EQ(run.status.exitCode(), 0);
  EXPECT_EQ(run.errors, "");
}

TEST(HelperCommands, EveryOtherCommandNeedsAnXServer) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"windows"}, {}, {"version", "x"}, {"record", "0x1", "/tmp/x", "none", "outline"}}) {
    const auto run = runHelper(arguments, {{{"DISPLAY", ":4097"}}});
    EXPECT_EQ(run.lines, std::vector<std::string>{R"({"error":"capture_unavailable"})"});
    EXPECT_EQ(run.status.exitCode(), 1);
    EXPECT_EQ(run.errors, "");
  }
}

TEST(HelperCommands, ServerWithoutCompositeIsUnavailable) {
  XvfbServer server({.extraArguments = {"-extension", "Composite"}});
  const auto run = runHelper({"windows"}, server.clientOptions());
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"error":"capture_unavailable"})"});
  EXPECT_EQ(run.status.exitCode(), 1);
}

TEST(HelperCommands, RefusedConnectionNeedsPermission) {
  XvfbServer server({.cookie = "0123456789abcdef0123456789abcdef"});
  auto refused = server.clientOptions();
  refused.environment.emplace_back("XAUTHORITY", "/nonexistent/authority");
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"windows"}, {"bogus"}}) {
    const auto run = runHelper(arguments, refused);
    EXPECT_EQ(run.lines, std::vector<std::string>{R"({"error":"screen_permission_required"})"});
    EXPECT_EQ(run.status.exitCode(), 1);
  }
  const auto allowed = runHelper({"windows"}, server.clientOptions());
  EXPECT_EQ(allowed.lines, std::vector<std::string>{R"({"windows":[]})"});
  EXPECT_EQ(allowed.status.exitCode(), 0);
}

TEST(HelperCommands, WindowsListsOnlyRecordableClientWindows) {
  XvfbServer server;
  TestWindows windows(
      server.display(),
      {{"--name", "first", "--geometry", "640x480+10+10", "--frame-extents", "20,20,10,30"},
       {"--name", "tiny", "--geometry", "1x1+400+10"},
       {"--name", "hidden", "--geometry", "200x100+10+300", "--unmapped"},
       {"--name", "popup", "--geometry", "200x100+300+300", "--override-redirect"},
       {"--name", "second", "--geometry", "641x481+500+200"}});
  const auto run = runHelper({"windows"}, server.clientOptions());
  const std::string pid = std::to_string(windows.pid());
  // Front to back: the window mapped last is on top.
  EXPECT_EQ(run.lines,
            std::vector<std::string>{
                R"({"windows":[{"app":"second","bundleId":"second","height":481,"id":")" +
                hexId(windows.id(4)) + R"(","pid":)" + pid +
                R"(,"width":641},{"app":"first","bundleId":"first","height":440,"id":")" +
                hexId(windows.id(0)) + R"(","pid":)" + pid + R"(,"width":600}]})"});
  EXPECT_EQ(run.status.exitCode(), 0);
  EXPECT_EQ(run.errors, "");
}

TEST(HelperCommands, MalformedRecordCommandsCreateNothing) {
  XvfbServer server;
  TestWindows windows(server.display(), {{"--name", "target", "--geometry", "200x100+0+0"},
                                         {"--name", "popup", "--override-redirect"}});
  TemporaryDirectory directory;
  const std::string id = hexId(windows.id(0));
  const std::string path = (directory.path() / "out.mp4").string();
  const std::string existing = (directory.path() / "existing.mp4").string();
  { std::ofstream(existing) << "keep"; }
  struct Case {
    std::vector<std::string> arguments;
    const char* error;
  };
  const std::vector<Case> cases = {
      {{}, "invalid_window_or_output"},
      {{"windows", "extra"}, "invalid_window_or_output"},
      {{"record", id, path, "none"}, "invalid_window_or_output"},
      {{"record", id, path, "none", "outline", "extra"}, "invalid_window_or_output"},
      {{"record", "0X" + id.substr(2), path, "none", "outline"}, "invalid_window_or_output"},
      {{"record", hexId(windows.id(1)), path, "none", "outline"}, "invalid_window_or_output"},
      {{"record", "0xffffffff", path, "x", "y"}, "invalid_window_or_output"},
      {{"record", id, "relative.mp4", "none", "outline"}, "invalid_window_or_output"},
      {{"record", id, existing, "none", "outline"}, "invalid_window_or_output"},
      {{"record", id, directory.path().string(), "none", "outline"}, "invalid_window_or_output"},
      {{"record", id, path, "0.5", "x"}, "invalid_duration"},
      {{"record", id, path, " 10", "outline"}, "invalid_duration"},
      {{"record", id, path, "1801", "outline"}, "invalid_duration"},
      {{"record", id, path, "none", "Outline"}, "invalid_outline"},
      {{"record", id, path, "10", ""}, "invalid_outline"},
  };
  for (const auto& [arguments, error] : cases) {
    const auto run = runHelper(arguments, server.clientOptions());
    EXPECT_EQ(run.lines, std::vector<std::string>{std::string(R"({"error":")") + error + "\"}"})
        << ::testing::PrintToString(arguments);
    EXPECT_EQ(run.status.exitCode(), 1);
    EXPECT_EQ(run.errors, "");
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()),
                          std::filesystem::directory_iterator()),
            1)
      << "only the file that was already there";
}

}  // namespace
}  // namespace darvo::test
