// Turns captured 32-bit images into the segment's YUV420P picture.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "capture/video_sink.hpp"
#include "recording/output/ffmpeg_handles.hpp"

namespace darvo::recording::output {

// Sides are even and at most this long (libx264's limit).
inline constexpr int kMaxPictureSide = 16384;

// A YUV420P frame of the given size with its own buffers; throws std::bad_alloc when none.
FramePtr allocatePicture(int width, int height);

// Scales an image to fit the picture with its aspect ratio kept and black bars around it, and
// converts it to limited-range BT.709 YUV420P. The scaler is kept for as long as the source size
// and layout stay the same. An image of the picture's own size, or one pixel longer on a side
// (cut), is not scaled; if its channels are whole bytes (every common X visual) it skips the
// scaler altogether (rgb_to_yuv420.hpp). Not thread-safe; one thread uses one converter.
class FrameConverter {
 public:
  // Throws std::invalid_argument unless both sides are even and in [2, kMaxPictureSide].
  FrameConverter(int width, int height);

  // `target` must be a writable YUV420P frame of the converter's size. Throws
  // std::invalid_argument for an image it cannot read (no pixels, a bad size or stride, masks that
  // are empty, overlap or have gaps) and std::runtime_error when the scaler fails.
  void convert(const capture::PixelImage& image, AVFrame& target);
  // Converts only `areas` (grown to whole 2x2 blocks, clipped to the picture; they may reach
  // outside it) and leaves the rest of `target` as it was. False, with nothing done, when the image
  // needs the scaler or its channels are not whole bytes: convert() it whole instead. Throws as
  // convert() does.
  bool convertAreas(const capture::PixelImage& image, AVFrame& target,
                    std::span<const capture::ImageArea> areas);

  // Whether an image of this size keeps its pixels where they are in the picture (not scaled).
  [[nodiscard]] bool fitsUnscaled(int imageWidth, int imageHeight) const;

  [[nodiscard]] int width() const { return width_; }
  [[nodiscard]] int height() const { return height_; }

 private:
  void validateTarget(const AVFrame& target) const;
  void prepareScaler(int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat);
  void repack(const capture::PixelImage& image);
  void fillBlack(AVFrame& target) const;

  int width_;
  int height_;
  SwsContextPtr scaler_;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  AVPixelFormat sourceFormat_ = AV_PIX_FMT_NONE;
  capture::ImageArea fit_;  // where the scaled image lies in the picture
  // Images whose masks match no packed format FFmpeg knows are repacked here first.
  std::vector<uint32_t> staging_;
};

}  // namespace darvo::recording::output
