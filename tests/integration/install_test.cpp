// `cmake --install` of the build directory: the helper and its manual page, nothing else.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "harness.hpp"

namespace darvo::test {
namespace {

std::string fileText(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

TEST(InstallTest, InstallsTheHelperAndItsManualPage) {
  TemporaryDirectory prefix;
  const auto install = runTool(
      {DARVO_CMAKE_COMMAND, "--install", DARVO_BINARY_DIR, "--prefix", prefix.path().string()}, {},
      60s);
  ASSERT_EQ(install.status.exitCode(), 0) << install.output << install.errors;

  std::set<std::string> installed;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(prefix.path())) {
    if (!entry.is_directory()) {
      installed.insert(std::filesystem::relative(entry.path(), prefix.path()).string());
    }
  }
  EXPECT_EQ(installed,
            (std::set<std::string>{"bin/darvo-helper", "share/man/man1/darvo-helper.1"}));

  // The installed copy runs on its own, without an X server.
  const auto helper = prefix.path() / "bin" / "darvo-helper";
  const auto version = runTool({helper.string(), "version"}, {{{"DISPLAY", std::nullopt}}});
  EXPECT_EQ(version.status.exitCode(), 0);
  EXPECT_EQ(version.output, "{\"minimumMacOS\":\"15.0\",\"protocol\":1}\n");
  EXPECT_EQ(version.errors, "");

  const auto manualPage = prefix.path() / "share" / "man" / "man1" / "darvo-helper.1";
  const auto page = fileText(manualPage);
  EXPECT_NE(page.find(".TH DARVO\\-HELPER 1 "), std::string::npos);
  EXPECT_EQ(page, fileText(std::filesystem::path(DARVO_SOURCE_DIR) / "docs" / "darvo-helper.1"));
}

}  // namespace
}  // namespace darvo::test
