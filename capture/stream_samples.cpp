#include "capture/stream_samples.hpp"

#include <asio/post.hpp>

namespace darvo::capture {

void postCompleteSample(const std::shared_ptr<StreamOutput>& screen,
                        const asio::any_io_executor& executor) {
  if (!screen || !executor) return;
  asio::post(executor, [screen] {
    screen->streamDidOutputSample({true, {FrameInfo{static_cast<int64_t>(FrameStatus::complete)}}});
  });
}

}  // namespace darvo::capture
