#include "recording/output/frame_converter.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "recording/output/rgb_to_yuv420.hpp"

namespace darvo::recording::output {
namespace {

bool isValidSide(int side) {
  return side >= 2 && side <= kMaxPictureSide && side % 2 == 0;
}

// One channel of a pixel value: its mask, where it starts and its largest value.
struct Channel {
  uint32_t mask;
  int shift;
  uint32_t maximum;

  explicit Channel(uint32_t channelMask)
      : mask(channelMask),
        shift(std::countr_zero(channelMask)),
        maximum(channelMask >> std::countr_zero(channelMask)) {}

  [[nodiscard]] uint32_t to8Bits(uint32_t pixel) const {
    const uint64_t value = (pixel & mask) >> shift;
    return static_cast<uint32_t>((value * 255U + maximum / 2) / maximum);
  }
};

void validateMasks(const capture::PixelImage& image) {
  for (const uint32_t mask : {image.redMask, image.greenMask, image.blueMask}) {
    // Contiguous: the mask shifted down is one less than a power of two.
    if (mask == 0 || !std::has_single_bit((mask >> std::countr_zero(mask)) + 1ULL)) {
      throw std::invalid_argument("image channel mask is empty or not contiguous");
    }
  }
  if ((image.redMask & image.greenMask) != 0 || (image.redMask & image.blueMask) != 0 ||
      (image.greenMask & image.blueMask) != 0) {
    throw std::invalid_argument("image channel masks overlap");
  }
}

void validateImage(const capture::PixelImage& image) {
  if (image.data == nullptr) {
    throw std::invalid_argument("image has no pixels");
  }
  if (image.width < 1 || image.height < 1 || image.width > kMaxPictureSide ||
      image.height > kMaxPictureSide) {
    throw std::invalid_argument("image size " + std::to_string(image.width) + "x" +
                                std::to_string(image.height) + " is out of range");
  }
  if (image.stride < image.width * 4) {
    throw std::invalid_argument("image stride " + std::to_string(image.stride) +
                                " is shorter than a row");
  }
  validateMasks(image);
}

// The packed format whose bytes in memory match the masks; none when FFmpeg has no such format.
AVPixelFormat packedFormat(const capture::PixelImage& image) {
  if constexpr (std::endian::native != std::endian::little) {
    return AV_PIX_FMT_NONE;
  }
  const auto byteOf = [](uint32_t mask) {
    for (int byte = 0; byte < 4; ++byte) {
      if (mask == 0xffU << (8 * byte)) {
        return byte;
      }
    }
    return -1;
  };
  const int red = byteOf(image.redMask);
  const int green = byteOf(image.greenMask);
  const int blue = byteOf(image.blueMask);
  if (green == 1 && red == 0 && blue == 2) return AV_PIX_FMT_RGB0;
  if (green == 1 && red == 2 && blue == 0) return AV_PIX_FMT_BGR0;
  if (green == 2 && red == 1 && blue == 3) return AV_PIX_FMT_0RGB;
  if (green == 2 && red == 3 && blue == 1) return AV_PIX_FMT_0BGR;
  return AV_PIX_FMT_NONE;
}

// Where each channel starts when every one is a whole byte of the pixel value; none otherwise.
std::optional<ByteChannels> byteChannels(const capture::PixelImage& image) {
  const auto shiftOf = [](uint32_t mask) {
    const int shift = std::countr_zero(mask);
    return shift % 8 == 0 && mask >> shift == 0xffU ? shift : -1;
  };
  const ByteChannels channels{shiftOf(image.redMask), shiftOf(image.greenMask),
                              shiftOf(image.blueMask)};
  if (channels.redShift < 0 || channels.greenShift < 0 || channels.blueShift < 0) {
    return std::nullopt;
  }
  return channels;
}

// The picture's planes from (x, y) on; both are even, so the chroma planes start at whole samples.
Yuv420Target planesAt(const AVFrame& target, int x, int y) {
  Yuv420Target at{};
  for (int plane = 0; plane < 3; ++plane) {
    const int shift = plane == 0 ? 0 : 1;
    at.planes[plane] = target.data[plane] +
                       static_cast<ptrdiff_t>(y >> shift) * target.linesize[plane] + (x >> shift);
    at.strides[plane] = target.linesize[plane];
  }
  return at;
}

// The staging buffer holds native 0x00RRGGBB values.
constexpr AVPixelFormat kStagingFormat =
    std::endian::native == std::endian::little ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_0RGB;

}  // namespace

FramePtr allocatePicture(int width, int height) {
  FramePtr frame(av_frame_alloc());
  if (!frame) {
    throw std::bad_alloc();
  }
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    throw std::bad_alloc();
  }
  return frame;
}

FrameConverter::FrameConverter(int width, int height) : width_(width), height_(height) {
  if (!isValidSide(width) || !isValidSide(height)) {
    throw std::invalid_argument("picture size " + std::to_string(width) + "x" +
                                std::to_string(height) + " is not even or out of range");
  }
}

void FrameConverter::validateTarget(const AVFrame& target) const {
  if (target.format != AV_PIX_FMT_YUV420P || target.width != width_ || target.height != height_) {
    throw std::invalid_argument("target frame is not a YUV420P picture of the converter's size");
  }
}

bool FrameConverter::convertAreas(const capture::PixelImage& image, AVFrame& target,
                                  std::span<const capture::ImageArea> areas) {
  validateImage(image);
  validateTarget(target);
  const auto channels = byteChannels(image);
  if (!fitsUnscaled(image.width, image.height) || !channels) {
    return false;
  }
  for (const capture::ImageArea& area : areas) {
    if (area.width <= 0 || area.height <= 0) {
      continue;
    }
    // Whole 2x2 blocks, since each chroma sample averages one.
    const int left = std::max(area.x, 0) / 2 * 2;
    const int top = std::max(area.y, 0) / 2 * 2;
    const int right = std::min((area.x + area.width + 1) / 2 * 2, width_);
    const int bottom = std::min((area.y + area.height + 1) / 2 * 2, height_);
    if (left >= right || top >= bottom) {
      continue;
    }
    convertToYuv420Bt709(
        image.data + static_cast<ptrdiff_t>(top) * image.stride + static_cast<ptrdiff_t>(left) * 4,
        image.stride, right - left, bottom - top, *channels, planesAt(target, left, top));
  }
  return true;
}

void FrameConverter::convert(const capture::PixelImage& image, AVFrame& target) {
  validateImage(image);
  validateTarget(target);
  // The picture's sides are even: a window with an odd side loses its last column or row
  // rather than having every pixel moved by the scaler.
  capture::PixelImage source = image;
  if (fitsUnscaled(image.width, image.height)) {
    source.width = width_;
    source.height = height_;
    // Nothing to scale: the direct conversion, much cheaper than the scaler's.
    if (const auto channels = byteChannels(source)) {
      convertToYuv420Bt709(source.data, source.stride, width_, height_, *channels,
                           planesAt(target, 0, 0));
      return;
    }
  }
  AVPixelFormat format = packedFormat(source);
  const uint8_t* pixels = source.data;
  int stride = source.stride;
  if (format == AV_PIX_FMT_NONE) {
    repack(source);
    format = kStagingFormat;
    pixels = reinterpret_cast<const uint8_t*>(staging_.data());
    stride = source.width * 4;
  }
  prepareScaler(source.width, source.height, format);
  if (fit_.width != width_ || fit_.height != height_) {
    fillBlack(target);
  }
  const Yuv420Target at = planesAt(target, fit_.x, fit_.y);
  uint8_t* const planes[4] = {at.planes[0], at.planes[1], at.planes[2], nullptr};
  const int strides[4] = {at.strides[0], at.strides[1], at.strides[2], 0};
  const uint8_t* const sources[4] = {pixels, nullptr, nullptr, nullptr};
  const int sourceStrides[4] = {stride, 0, 0, 0};
  if (sws_scale(scaler_.get(), sources, sourceStrides, 0, source.height, planes, strides) <= 0) {
    throw std::runtime_error("the scaler failed to convert an image");
  }
}

bool FrameConverter::fitsUnscaled(int imageWidth, int imageHeight) const {
  const auto withinOne = [](int side, int pictureSide) {
    return side == pictureSide || side == pictureSide + 1;
  };
  return withinOne(imageWidth, width_) && withinOne(imageHeight, height_);
}

void FrameConverter::prepareScaler(int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat) {
  if (scaler_ && sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_ &&
      sourceFormat == sourceFormat_) {
    return;
  }
  // The largest even-sided rectangle of the source's shape that fits, centred.
  const int64_t w = sourceWidth;
  const int64_t h = sourceHeight;
  capture::ImageArea fit;
  if (w * height_ >= h * width_) {
    fit.width = width_;
    fit.height = static_cast<int>((h * width_ + w) / (2 * w) * 2);
  } else {
    fit.height = height_;
    fit.width = static_cast<int>((w * height_ + h) / (2 * h) * 2);
  }
  fit.width = std::clamp(fit.width, 2, width_);
  fit.height = std::clamp(fit.height, 2, height_);
  fit.x = (width_ - fit.width) / 4 * 2;
  fit.y = (height_ - fit.height) / 4 * 2;

  sourceWidth_ = 0;  // stays unset if anything below fails
  scaler_.reset(sws_getCachedContext(scaler_.release(), sourceWidth, sourceHeight, sourceFormat,
                                     fit.width, fit.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr));
  if (!scaler_) {
    throw std::runtime_error("the scaler cannot convert a " + std::to_string(sourceWidth) + "x" +
                             std::to_string(sourceHeight) + " image");
  }
  // Full-range RGB in, limited-range BT.709 out, as the encoder's colour tags say.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  if (sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
    throw std::runtime_error("the scaler refused the BT.709 colour conversion");
  }
  fit_ = fit;
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  sourceFormat_ = sourceFormat;
}

void FrameConverter::repack(const capture::PixelImage& image) {
  const Channel red(image.redMask);
  const Channel green(image.greenMask);
  const Channel blue(image.blueMask);
  staging_.resize(static_cast<size_t>(image.width) * image.height);
  uint32_t* out = staging_.data();
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* row = image.data + static_cast<ptrdiff_t>(y) * image.stride;
    for (int x = 0; x < image.width; ++x) {
      uint32_t pixel = 0;
      std::memcpy(&pixel, row + static_cast<ptrdiff_t>(x) * 4, sizeof pixel);
      *out++ = red.to8Bits(pixel) << 16 | green.to8Bits(pixel) << 8 | blue.to8Bits(pixel);
    }
  }
}

void FrameConverter::fillBlack(AVFrame& target) const {
  // Limited-range black: Y 16, chroma neutral.
  const int values[3] = {16, 128, 128};
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? height_ : height_ / 2;
    const int bytes = plane == 0 ? width_ : width_ / 2;
    for (int row = 0; row < rows; ++row) {
      std::memset(target.data[plane] + static_cast<ptrdiff_t>(row) * target.linesize[plane],
                  values[plane], bytes);
    }
  }
}

}  // namespace darvo::recording::output
