#include "capture/candidates.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace darvo::capture {
namespace {

Window window(uint32_t id, double width = 100, double height = 80, int64_t layer = 0,
              bool hasApplication = true) {
  Window result;
  result.windowID = id;
  result.frame = Rect{10, 20, width, height};
  result.windowLayer = layer;
  if (hasApplication) {
    result.owningApplication = RunningApplication{"App", "org.example.App", 1234};
  }
  return result;
}

std::vector<uint32_t> ids(const std::vector<Window>& windows) {
  std::vector<uint32_t> result;
  for (const auto& w : windows) {
    result.push_back(w.windowID);
  }
  return result;
}

TEST(CandidateWindows, KeepsOnlyLayerZeroWindowsWithAnOwner) {
  const std::vector<Window> windows = {
      window(1),
      window(2, 100, 80, 1),         // a dock or a window kept above
      window(3, 100, 80, -1),        // a desktop
      window(4, 100, 80, 0, false),  // no known process
      window(5),
  };
  EXPECT_EQ(ids(candidateWindows(windows)), (std::vector<uint32_t>{1, 5}));
}

TEST(CandidateWindows, SizeMustExceedOnePointStrictlyInBothDirections) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const std::vector<Window> windows = {
      window(1, 1.0, 80),      window(2, 80, 1.0), window(3, 1.0, 1.0), window(4, 1.0001, 1.0001),
      window(5, 0, 0),         window(6, -5, 80),  window(7, nan, 80),  window(8, 80, nan),
      window(9, infinity, 80), window(10, 2, 2),
  };
  EXPECT_EQ(ids(candidateWindows(windows)), (std::vector<uint32_t>{4, 9, 10}));
}

TEST(CandidateWindows, KeepsOrderAndEverythingAboutAWindow) {
  const std::vector<Window> windows = {window(30), window(10, 1, 1), window(20)};
  const auto candidates = candidateWindows(windows);
  ASSERT_EQ(ids(candidates), (std::vector<uint32_t>{30, 20}));
  EXPECT_EQ(candidates[0].frame.x, 10);
  EXPECT_EQ(candidates[0].frame.y, 20);
  ASSERT_TRUE(candidates[1].owningApplication);
  EXPECT_EQ(candidates[1].owningApplication->processID, 1234);
  EXPECT_EQ(candidates[1].owningApplication->bundleIdentifier, "org.example.App");
  EXPECT_TRUE(candidateWindows({}).empty());
}

}  // namespace
}  // namespace darvo::capture
