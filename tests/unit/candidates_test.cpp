#include "capture/candidates.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace darvo::capture {
namespace {

TEST(CandidateWindows, LayerZeroWithAnOwnerAndMoreThanOnePointEachWay) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const RunningApplication owner{"App", "org.example.App", 1234};
  const std::vector<Window> windows = {
      {1, {10, 20, 100, 80}, 0, owner},      {2, {0, 0, 100, 80}, 1, owner},  // kept above
      {3, {0, 0, 100, 80}, -1, owner},       {4, {0, 0, 100, 80}, 0, {}},     // no known process
      {5, {0, 0, 1, 80}, 0, owner},          {6, {0, 0, 80, 1}, 0, owner},
      {7, {0, 0, 1.0001, 1.0001}, 0, owner}, {8, {0, 0, kNan, 80}, 0, owner},
      {9, {0, 0, 80, kNan}, 0, owner},       {10, {0, 0, kInfinity, 80}, 0, owner},
      {11, {0, 0, -5, 80}, 0, owner}};
  const std::vector<Window> candidates = candidateWindows(windows);
  std::vector<uint32_t> ids;
  for (const Window& window : candidates) ids.push_back(window.windowID);
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 7, 10}));
  EXPECT_EQ(candidates[0].frame.y, 20);
  EXPECT_EQ(candidates[0].owningApplication->bundleIdentifier, "org.example.App");
}

}  // namespace
}  // namespace darvo::capture
