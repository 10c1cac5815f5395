// One segment file: created exclusively, its pictures encoded by libx264 and muxed by FFmpeg into
// fragmented MP4.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "recording/output/encoder_settings.hpp"
#include "recording/output/ffmpeg_handles.hpp"
#include "recording/output/output_failure.hpp"
#include "recording/output/picture_plan.hpp"
#include "recording/output/x264_encoder.hpp"

namespace darvo::recording::output {

// Timestamps are in 1/90000 s, the usual video clock: fine enough for real capture times.
inline constexpr AVRational kTimeBase{1, 90000};
// The latest frame lasts this long until the next one is known (1/15 s).
inline constexpr int64_t kLatestFrameDuration = 90000 / 15;

// What has reached the file so far; written by the encoder thread, read from any thread.
struct SegmentProgress {
  std::atomic<int64_t> bytesWritten{0};
  std::atomic<double> secondsWritten{0.0};
};

// Every member, the constructor included, runs on the encoder thread; all throw OutputFailure.
class SegmentWriter {
 public:
  // Sets up the encoder, creates the file (never replacing one) and writes the MP4 header.
  SegmentWriter(const std::string& path, int width, int height, const EncoderSettings& settings,
                SegmentProgress& progress);
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Encodes `picture` at `pts` (kTimeBase, increasing) as `plan` says and writes its packet.
  void encode(const AVFrame& picture, int64_t pts, const PicturePlan& plan);
  // Moves everything the muxer holds back into the file, as a fragment of its own.
  void flushFragment();
  [[nodiscard]] bool hasWrittenPackets() const { return firstPts_ != AV_NOPTS_VALUE; }
  // Writes the trailer and the duration into the header, syncs and closes the file, then syncs
  // its directory. The encoder holds nothing back: every packet is written already.
  void finish();

 private:
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  using WriteData = const uint8_t*;
#else
  using WriteData = uint8_t*;
#endif
  static int writeCallback(void* opaque, WriteData data, int size);
  static int64_t seekCallback(void* opaque, int64_t offset, int whence);

  void createFile();
  void openMuxer(int width, int height);
  void writePacket(const EncodedPicture& picture);
  // Throws when `result` is an error or the file refused bytes.
  void check(int result, int64_t code, const char* what) const;
  void syncDirectory() const;

  std::string path_;
  SegmentProgress& progress_;
  UniqueFd fd_;
  int ioErrno_ = 0;  // the first error of a write or seek on the file
  int64_t position_ = 0;
  int64_t size_ = 0;
  X264Encoder encoder_;
  IoContextPtr io_;
  FormatContextPtr muxer_;  // declared after io_, so freed before it
  AVStream* stream_ = nullptr;
  PacketPtr packet_;
  int64_t firstPts_ = AV_NOPTS_VALUE;
  int64_t endPts_ = 0;
};

}  // namespace darvo::recording::output
