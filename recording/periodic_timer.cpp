#include "recording/periodic_timer.hpp"

namespace darvo::recording {

PeriodicTimer::PeriodicTimer(asio::io_context& mainQueue,
                             std::chrono::steady_clock::duration period,
                             std::function<void()> onTick)
    : timer_(mainQueue),
      period_(period),
      nextDeadline_(std::chrono::steady_clock::now() + period),
      onTick_(std::move(onTick)) {
  arm();
}

void PeriodicTimer::cancel() {
  cancelled_ = true;
  timer_.cancel();
}

void PeriodicTimer::arm() {
  timer_.expires_at(nextDeadline_);
  timer_.async_wait([this](const std::error_code& error) {
    if (error || cancelled_) return;
    nextDeadline_ += period_;
    // A tick that ran late does not make the next ones late, nor bunch them up.
    const auto now = std::chrono::steady_clock::now();
    while (nextDeadline_ <= now) nextDeadline_ += period_;
    arm();
    onTick_();
  });
}

}  // namespace darvo::recording
