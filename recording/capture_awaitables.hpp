// Awaiting a capture-service callback from a coroutine on the main queue.
#pragma once

#include <exception>
#include <memory>
#include <utility>
#include <variant>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
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

}  // namespace darvo::recording
