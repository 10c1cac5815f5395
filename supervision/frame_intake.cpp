// The stream's samples: only complete frames count, and only as a readiness condition.
#include <asio/post.hpp>

#include "recorder/window_recorder.hpp"

namespace darvo::recorder {

void WindowRecorder::streamDidOutputSample(const capture::SampleBuffer& sample,
                                           capture::StreamOutputType type) {
  if (type != capture::StreamOutputType::screen || !sample.valid) return;
  if (sample.attachments.empty()) return;
  const auto& status = sample.attachments.front().status;
  if (!status || *status != static_cast<int64_t>(capture::FrameStatus::complete)) return;
  asio::post(mainQueue_, [self = shared_from_this()] {
    self->hasFrame = true;
    self->maybeReady();
  });
}

}  // namespace darvo::recorder
