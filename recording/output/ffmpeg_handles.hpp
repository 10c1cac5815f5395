// RAII owners for FFmpeg's handles and for file descriptors, and FFmpeg's process-wide set-up.
#pragma once

#include <memory>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

namespace darvo::recording::output {

// FFmpeg prints to standard error by default; nothing may reach it. Call before any other
// FFmpeg function (the entry point and the tests do). libx264 is given a logger of its own.
void silenceLogging();

// FFmpeg's text for an AVERROR code.
std::string errorText(int averror);

// Frees the muxer only; its custom AVIOContext has an owner of its own.
struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

// FFmpeg may replace the buffer given to avio_alloc_context, so the one it holds is freed.
struct IoContextDeleter {
  void operator()(AVIOContext* context) const {
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
};
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

// An av_malloc'ed block not yet handed to an owner that frees it.
struct AvFreeDeleter {
  void operator()(void* block) const { av_free(block); }
};
using AvBufferPtr = std::unique_ptr<uint8_t, AvFreeDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

// Owns an option dictionary; FFmpeg may replace it (with the options it did not use).
struct Dictionary {
  AVDictionary* entries = nullptr;
  Dictionary() = default;
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  ~Dictionary() { av_dict_free(&entries); }
};

// Owns a file descriptor; close() reports the error a plain destructor would have to drop.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now; 0 or the errno of close().
  int close();
  void reset() { static_cast<void>(close()); }

 private:
  int fd_ = -1;
};

}  // namespace darvo::recording::output
