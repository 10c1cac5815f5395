#include "capture/x11/pixel_format.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

namespace darvo::capture::x11 {
namespace {

// Channels wider than this are cut to their top bits first: the table stays at 64 KiB at most.
constexpr int kLongestTableBits = 16;

bool isContiguous(uint32_t mask) {
  return mask != 0 && std::has_single_bit((mask >> std::countr_zero(mask)) + uint64_t{1});
}

bool isByteMask(uint32_t mask) {
  return mask != 0 && std::countr_zero(mask) % 8 == 0 && (mask >> std::countr_zero(mask)) == 0xffU;
}

uint32_t swapBytes(uint32_t value) {
  return ((value & 0xffU) << 24) | ((value & 0xff00U) << 8) | ((value >> 8) & 0xff00U) |
         (value >> 24);
}

// A channel value of `bits` bits as 8 bits: rounded from wider channels, bits repeated into
// narrower ones.
uint8_t toEightBits(uint32_t value, int bits) {
  if (bits >= 8) {
    const uint64_t maximum = (uint64_t{1} << bits) - 1;
    return static_cast<uint8_t>((value * uint64_t{255} + maximum / 2) / maximum);
  }
  uint32_t repeated = 0;
  int filled = 0;
  while (filled < 8) {
    repeated = (repeated << bits) | value;
    filled += bits;
  }
  return static_cast<uint8_t>(repeated >> (filled - 8));
}

}  // namespace

bool hasByteChannels(uint32_t redMask, uint32_t greenMask, uint32_t blueMask) {
  return isByteMask(redMask) && isByteMask(greenMask) && isByteMask(blueMask);
}

bool isReadable(const PixelFormat& format) {
  const int bits = format.bitsPerPixel;
  if ((bits != 8 && bits != 16 && bits != 24 && bits != 32) || format.scanlinePad < 8 ||
      format.scanlinePad % 8 != 0) {
    return false;
  }
  const uint64_t pixelBits = bits == 32 ? 0xffffffffULL : (uint64_t{1} << bits) - 1;
  const uint32_t red = format.redMask;
  const uint32_t green = format.greenMask;
  const uint32_t blue = format.blueMask;
  return isContiguous(red) && isContiguous(green) && isContiguous(blue) && (red & green) == 0 &&
         (red & blue) == 0 && (green & blue) == 0 && ((red | green | blue) & ~pixelBits) == 0;
}

std::size_t rowBytes(const PixelFormat& format, int width) {
  const auto pad = static_cast<std::size_t>(format.scanlinePad);
  const std::size_t bits = static_cast<std::size_t>(width) * format.bitsPerPixel;
  return (bits + pad - 1) / pad * pad / 8;
}

PixelNormaliser::PixelNormaliser(const PixelFormat& format) : format_(format) {
  converts_ = format.bitsPerPixel != 32 ||
              !hasByteChannels(format.redMask, format.greenMask, format.blueMask);
  if (!converts_) {
    masks_ = {format.redMask, format.greenMask, format.blueMask};
    if (format.mostSignificantByteFirst != (std::endian::native == std::endian::big)) {
      masks_ = {swapBytes(masks_.red), swapBytes(masks_.green), swapBytes(masks_.blue)};
    }
    return;
  }
  channels_ = {channelOf(format.redMask), channelOf(format.greenMask), channelOf(format.blueMask)};
}

PixelNormaliser::Channel PixelNormaliser::channelOf(uint32_t mask) {
  const int bits = std::popcount(mask);
  const int cut = bits > kLongestTableBits ? bits - kLongestTableBits : 0;
  Channel channel{mask, std::countr_zero(mask) + cut, {}};
  channel.eightBits.resize(std::size_t{1} << (bits - cut));
  for (std::size_t value = 0; value < channel.eightBits.size(); ++value) {
    channel.eightBits[value] = toEightBits(static_cast<uint32_t>(value), bits - cut);
  }
  return channel;
}

template <int Bytes, bool NativeOrder>
void PixelNormaliser::convertRows(const uint8_t* source, std::size_t sourceStride, int width,
                                  int height, uint32_t* target) const {
  const auto& [red, green, blue] = channels_;
  for (int y = 0; y < height; ++y) {
    const uint8_t* pixelBytes = source + static_cast<std::size_t>(y) * sourceStride;
    for (int x = 0; x < width; ++x, pixelBytes += Bytes) {
      uint32_t pixel = 0;
      if constexpr (NativeOrder && (Bytes == 2 || Bytes == 4)) {
        std::conditional_t<Bytes == 2, uint16_t, uint32_t> value;
        std::memcpy(&value, pixelBytes, Bytes);
        pixel = value;
      } else {
        const bool msbFirst = format_.mostSignificantByteFirst;
        for (int i = 0; i < Bytes; ++i) {
          pixel = (pixel << 8) | pixelBytes[msbFirst ? i : Bytes - 1 - i];
        }
      }
      *target++ = uint32_t{red.eightBits[(pixel & red.mask) >> red.shift]} << 16 |
                  uint32_t{green.eightBits[(pixel & green.mask) >> green.shift]} << 8 |
                  blue.eightBits[(pixel & blue.mask) >> blue.shift];
    }
  }
}

void PixelNormaliser::convert(const uint8_t* source, std::size_t sourceStride, int width,
                              int height, uint32_t* target) const {
  const bool nativeOrder =
      format_.mostSignificantByteFirst == (std::endian::native == std::endian::big);
  const auto rows = [&]<int Bytes>() {
    if (nativeOrder) {
      convertRows<Bytes, true>(source, sourceStride, width, height, target);
    } else {
      convertRows<Bytes, false>(source, sourceStride, width, height, target);
    }
  };
  switch (format_.bitsPerPixel) {
    case 8:
      return rows.operator()<1>();
    case 16:
      return rows.operator()<2>();
    case 24:
      return rows.operator()<3>();
    default:
      return rows.operator()<4>();
  }
}

}  // namespace darvo::capture::x11
