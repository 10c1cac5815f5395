// A repeating timer on absolute deadlines, so ticks never drift. Main thread only.
#pragma once

#include <chrono>
#include <functional>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace darvo::recording {

class PeriodicTimer {
 public:
  // The first tick comes one `period` from now.
  PeriodicTimer(asio::io_context& mainQueue, std::chrono::steady_clock::duration period,
                std::function<void()> onTick);
  void cancel();

 private:
  void arm();

  asio::steady_timer timer_;
  std::chrono::steady_clock::duration period_;
  std::chrono::steady_clock::time_point nextDeadline_;
  std::function<void()> onTick_;
  bool cancelled_ = false;
};

}  // namespace darvo::recording
