// Which standard-input chunks ask for a stop.
#include <gtest/gtest.h>

#include "protocol/stop_request.hpp"

namespace darvo::protocol {
namespace {

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
