// The sample a capture posts for each new picture: what the recorder counts as a complete frame.
#pragma once

#include <memory>

#include <asio/any_io_executor.hpp>

#include "capture/capture.hpp"

namespace darvo::capture {

// Posts one sample with status "complete" to `screen` on `executor`; nothing when either is empty.
// Any thread.
void postCompleteSample(const std::shared_ptr<StreamOutput>& screen,
                        const asio::any_io_executor& executor);

}  // namespace darvo::capture
