// Which of the shareable windows can be recorded.
#pragma once

#include <vector>

#include "capture/capture.hpp"

namespace darvo::capture {

// The windows of layer 0, wider and taller than one point (NaN fails), with a known owning
// application; order kept.
std::vector<Window> candidateWindows(const std::vector<Window>& windows);

}  // namespace darvo::capture
