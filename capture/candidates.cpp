#include "capture/candidates.hpp"

namespace darvo::capture {

std::vector<Window> candidateWindows(const std::vector<Window>& windows) {
  std::vector<Window> candidates;
  for (const Window& window : windows) {
    // Written as "greater than" so that NaN, which compares false, is left out.
    const bool bigEnough = window.frame.width > 1.0 && window.frame.height > 1.0;
    if (window.windowLayer == 0 && bigEnough && window.owningApplication.has_value()) {
      candidates.push_back(window);
    }
  }
  return candidates;
}

}  // namespace darvo::capture
