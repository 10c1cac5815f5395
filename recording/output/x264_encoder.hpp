// libx264 through its own API, which takes what FFmpeg 5.1's wrapper cannot pass on: which
// macroblocks did not change. Every member runs on the encoder thread; all throw OutputFailure.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "recording/output/encoder_settings.hpp"
#include "recording/output/ffmpeg_handles.hpp"
#include "recording/output/picture_plan.hpp"

struct x264_t;

namespace darvo::recording::output {

struct X264EncoderDeleter {
  void operator()(x264_t* encoder) const;
};
using X264EncoderPtr = std::unique_ptr<x264_t, X264EncoderDeleter>;

// One picture's NAL units (Annex B), valid until the next encode().
struct EncodedPicture {
  std::span<const uint8_t> data;
  int64_t pts = 0;
  int64_t dts = 0;
  bool keyframe = false;
};

class X264Encoder {
 public:
  // Timestamps are in `timeBase` units of a second. Sides must be even.
  X264Encoder(int width, int height, const EncoderSettings& settings, int timeBase);

  // SPS and PPS, Annex B: the global header an MP4 keeps in its sample entry.
  [[nodiscard]] std::span<const uint8_t> parameterSets() const { return parameterSets_; }

  // Encodes a YUV420P picture of the encoder's size as `plan` says. Nothing is held back (no
  // lookahead, no B-frames, no frame threads): the picture comes out of its own call, so at the
  // end of a segment there is nothing to drain, and the plan's arrays are read before it returns.
  EncodedPicture encode(const AVFrame& picture, int64_t pts, const PicturePlan& plan);

 private:
  X264EncoderPtr encoder_;
  std::vector<uint8_t> parameterSets_;
};

}  // namespace darvo::recording::output
