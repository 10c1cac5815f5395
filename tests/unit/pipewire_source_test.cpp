// The PipeWire source when the remote the portal handed over is no PipeWire at all: it says so
// rather than waiting for a picture, and lets go of everything it made.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <utility>

#include "capture/portal/pipewire_source.hpp"

namespace darvo::capture::portal {
namespace {

using namespace std::chrono_literals;

TEST(PipeWireSourceTest, ARemoteThatNobodyAnswersEndsWithoutAPicture) {
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
  close(sockets[1]);  // the far end is gone
  std::promise<std::optional<std::pair<int, int>>> ready;
  auto answer = ready.get_future();
  auto source = PipeWireSource::start(sockets[0], 42, [&](auto size) { ready.set_value(size); });
  ASSERT_TRUE(source);
  ASSERT_EQ(answer.wait_for(10s), std::future_status::ready) << "no answer at all";
  EXPECT_FALSE(answer.get());
  EXPECT_FALSE(source->state().streaming);
  source.reset();  // stops its thread and releases the stream, the core and the context
}

}  // namespace
}  // namespace darvo::capture::portal
