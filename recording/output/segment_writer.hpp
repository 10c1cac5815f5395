// One segment file: created exclusively, encoded by libx264, muxed into fragmented MP4.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "recording/output/ffmpeg_handles.hpp"

namespace darvo::recording::output {

// libx264's knobs, together so they can be tuned after measuring CPU, memory and size.
struct EncoderSettings {
  std::string preset = "veryfast";
  // Pictures larger than this many pixels (beyond 2560x1440) take the faster preset below: a
  // 4096x2304 picture has 4.5 times the pixels of 1080p, and veryfast spends about 36 ms on
  // each of its frames, too much for 15 a second on two cores next to the capture itself.
  int largePictureArea = 2560 * 1440;
  std::string largePicturePreset = "superfast";
  // One libx264 thread (one slice) keeps up with 15 frames a second up to largePictureArea, and
  // saves the slice threads' hand-offs: 6-17% less CPU and 2-3% fewer bytes at 1080p. Larger
  // pictures need both cores; 0 lets libx264 choose.
  int encoderThreads = 1;
  int largePictureEncoderThreads = 0;
  // No lookahead and no B-frames: every frame gives its packet at once.
  std::string tune = "zerolatency";
  // Whole-pixel motion only (libx264's subme 0): windows scroll and move by whole pixels, and
  // the sub-pixel search and interpolation were 40% of libx264's time on an ordinary window.
  int subpixelRefinement = 0;
  // Without lookahead (no macroblock tree), crf 28 with keyframes three times finer than the
  // frames between them (libx264's ipratio, 1.4 by default) and the quantiser offsets of
  // moving_areas.hpp gives at least the picture quality (SSIM and PSNR) of FFmpeg's default
  // veryfast at crf 23 on changing pictures and on ordinary windows, where every later frame
  // copies most of the keyframe (bench/README.md).
  int crf = 28;
  double keyframeQualityRatio = 3.0;
  int keyframeInterval = 250;  // in frames, as FFmpeg's default: a keyframe costs the most bytes
};

// Timestamps are in 1/90000 s, the usual video clock: fine enough for real capture times.
inline constexpr AVRational kTimeBase{1, 90000};
// The latest frame lasts this long until the next one is known (1/15 s).
inline constexpr int64_t kLatestFrameDuration = 90000 / 15;

// What has reached the file so far; written by the encoder thread, read from any thread.
struct SegmentProgress {
  std::atomic<int64_t> bytesWritten{0};
  std::atomic<double> secondsWritten{0.0};
};

// A failure carrying the code the delegate is given.
class OutputFailure : public std::runtime_error {
 public:
  OutputFailure(int64_t code, const std::string& what) : std::runtime_error(what), code_(code) {}
  [[nodiscard]] int64_t code() const { return code_; }

 private:
  int64_t code_;
};

// Every member, the constructor included, runs on the encoder thread; all throw OutputFailure.
class SegmentWriter {
 public:
  // Sets up the encoder, creates the file (never replacing one) and writes the MP4 header.
  SegmentWriter(const std::string& path, int width, int height, const EncoderSettings& settings,
                SegmentProgress& progress);
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Encodes `frame` at `pts` (kTimeBase, increasing) and writes the packets that come out.
  void encode(AVFrame& frame, int64_t pts);
  // Moves everything the muxer holds back into the file, as a fragment of its own.
  void flushFragment();
  [[nodiscard]] bool hasWrittenPackets() const { return firstPts_ != AV_NOPTS_VALUE; }
  // Drains the encoder, writes the trailer and the duration into the header, syncs and closes the
  // file, then syncs its directory.
  void finish();

 private:
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  using WriteData = const uint8_t*;
#else
  using WriteData = uint8_t*;
#endif
  static int writeCallback(void* opaque, WriteData data, int size);
  static int64_t seekCallback(void* opaque, int64_t offset, int whence);

  void openEncoder(int width, int height, const EncoderSettings& settings);
  void createFile();
  void openMuxer();
  void drainPackets();
  // Throws when `result` is an error or the file refused bytes.
  void check(int result, int64_t code, const char* what) const;
  void syncDirectory() const;

  std::string path_;
  SegmentProgress& progress_;
  UniqueFd fd_;
  int ioErrno_ = 0;  // the first error of a write or seek on the file
  int64_t position_ = 0;
  int64_t size_ = 0;
  CodecContextPtr encoder_;
  IoContextPtr io_;
  FormatContextPtr muxer_;  // declared after io_, so freed before it
  AVStream* stream_ = nullptr;
  PacketPtr packet_;
  int64_t firstPts_ = AV_NOPTS_VALUE;
  int64_t endPts_ = 0;
};

}  // namespace darvo::recording::output
