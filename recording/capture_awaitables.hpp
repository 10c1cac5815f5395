// Awaiting a capture-service callback from a coroutine on the main queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "capture/capture.hpp"

namespace darvo::recording {

// Runs `start(deliver)`, where `deliver(Result)` may be called once from any thread, and resumes
// the awaiting coroutine on its own executor with that result. An exception from `start` is
// thrown in the coroutine (escaping the initiation would end the process). Not a coroutine
// itself: the initiation is stored in the returned awaitable and runs when it is awaited.
template <typename Result, typename Start>
asio::awaitable<Result> awaitCallback(Start start) {
  return asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, Result)>(
      [start = std::move(start)](auto handler) mutable {
        auto executor = asio::get_associated_executor(handler);
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        try {
          start([executor, shared](Result result) {
            asio::post(executor, [shared, result = std::move(result)]() mutable {
              (*shared)(nullptr, std::move(result));
            });
          });
        } catch (...) {
          asio::post(executor, [shared, error = std::current_exception()]() mutable {
            (*shared)(error, Result{});
          });
        }
      },
      asio::use_awaitable);
}

// A coroutine's handler waiting for a result or a deadline, on the coroutine's executor.
template <typename Handler>
struct DeadlineWait {
  explicit DeadlineWait(const asio::any_io_executor& executor) : timer(executor) {}
  asio::steady_timer timer;
  std::optional<Handler> handler;
};

// As awaitCallback, but resumes with `late` once `timeout` has passed without a result; a result
// delivered after that is dropped. For callbacks that a server which stops answering may hold.
template <typename Result, typename Start>
asio::awaitable<Result> awaitCallbackWithin(std::chrono::steady_clock::duration timeout,
                                            Result late, Start start) {
  return asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, Result)>(
      [start = std::move(start), timeout, late = std::move(late)](auto handler) mutable {
        auto executor = asio::get_associated_executor(handler);
        auto wait = std::make_shared<DeadlineWait<decltype(handler)>>(executor);
        wait->handler.emplace(std::move(handler));
        // On the awaiting coroutine's executor: the first of the result and the deadline wins.
        auto resume = [wait](std::exception_ptr error, Result result) {
          if (!wait->handler) return;
          auto resumed = std::move(*wait->handler);
          wait->handler.reset();
          wait->timer.cancel();
          resumed(std::move(error), std::move(result));
        };
        wait->timer.expires_after(timeout);
        wait->timer.async_wait([resume, late](const std::error_code& error) {
          if (!error) resume(nullptr, late);
        });
        try {
          start([executor, resume](Result result) {
            asio::post(executor, [resume, result = std::move(result)]() mutable {
              resume(nullptr, std::move(result));
            });
          });
        } catch (...) {
          asio::post(executor,
                     [resume, error = std::current_exception()] { resume(error, Result{}); });
        }
      },
      asio::use_awaitable);
}

// The capture service's asynchronous operations as awaitables. Plain functions, not coroutines:
// the callbacks are built from their parameters, never from a coroutine's locals.
inline asio::awaitable<std::optional<capture::CaptureError>> startCaptureOf(
    const std::shared_ptr<capture::Stream>& stream) {
  return awaitCallback<std::optional<capture::CaptureError>>(
      [stream](capture::Completion deliver) { stream->startCapture(std::move(deliver)); });
}

inline asio::awaitable<std::optional<capture::CaptureError>> stopCaptureOf(
    const std::shared_ptr<capture::Stream>& stream) {
  return awaitCallback<std::optional<capture::CaptureError>>(
      [stream](capture::Completion deliver) { stream->stopCapture(std::move(deliver)); });
}

inline asio::awaitable<std::variant<capture::ShareableContent, capture::CaptureError>>
shareableContentOf(capture::CaptureService& service, bool excludingDesktopWindows,
                   bool onScreenWindowsOnly) {
  return awaitCallback<std::variant<capture::ShareableContent, capture::CaptureError>>(
      [&service, excludingDesktopWindows, onScreenWindowsOnly](capture::ContentCompletion deliver) {
        service.getShareableContent(excludingDesktopWindows, onScreenWindowsOnly,
                                    std::move(deliver));
      });
}

// The window-list service's queries, unanswered once `timeout` has passed.
inline asio::awaitable<capture::WindowInfoAnswer> windowInfoOf(
    capture::WindowListService& windowList, uint32_t windowID,
    std::chrono::steady_clock::duration timeout) {
  return awaitCallbackWithin<capture::WindowInfoAnswer>(
      timeout, capture::WindowInfoAnswer{false, std::nullopt},
      [&windowList, windowID](std::function<void(capture::WindowInfoAnswer)> deliver) {
        windowList.windowInfo(windowID, std::move(deliver));
      });
}

inline asio::awaitable<capture::WindowNumbersAnswer> allWindowNumbersOf(
    capture::WindowListService& windowList, std::chrono::steady_clock::duration timeout) {
  return awaitCallbackWithin<capture::WindowNumbersAnswer>(
      timeout, capture::WindowNumbersAnswer{false, std::nullopt},
      [&windowList](std::function<void(capture::WindowNumbersAnswer)> deliver) {
        windowList.allWindowNumbers(std::move(deliver));
      });
}

}  // namespace darvo::recording
