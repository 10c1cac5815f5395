#include "recording/output/rgb_to_yuv420.hpp"

#include <cstddef>
#include <cstring>

// AVX2 doubles the speed where the processor has it; the choice is made once, at load time.
// Not under ThreadSanitizer: the choosing function runs while the program is being loaded, before
// the sanitizer's runtime is ready, and its instrumentation crashes there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define DARVO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define DARVO_VECTOR_CLONES
#endif

namespace darvo::recording::output {
namespace {

// Coefficients in 1/2^15: BT.709 (Kr 0.2126, Kb 0.0722), full-range RGB in, Y in 16..235 and
// chroma in 16..240 out.
constexpr int kShift = 15;
constexpr int fixedPoint(double value) {
  return static_cast<int>(value * (1 << kShift) + (value >= 0 ? 0.5 : -0.5));
}
constexpr double kLumaScale = 219.0 / 255.0;
constexpr double kChromaScale = 224.0 / 255.0;
constexpr int kYr = fixedPoint(0.2126 * kLumaScale);
constexpr int kYg = fixedPoint(0.7152 * kLumaScale);
constexpr int kYb = fixedPoint(0.0722 * kLumaScale);
constexpr int kUr = fixedPoint(-0.2126 / 1.8556 * kChromaScale);
constexpr int kUg = fixedPoint(-0.7152 / 1.8556 * kChromaScale);
constexpr int kUb = fixedPoint(0.5 * kChromaScale);
constexpr int kVr = fixedPoint(0.5 * kChromaScale);
constexpr int kVg = fixedPoint(-0.7152 / 1.5748 * kChromaScale);
constexpr int kVb = fixedPoint(-0.0722 / 1.5748 * kChromaScale);
constexpr int kLumaOffset = (16 << kShift) + (1 << (kShift - 1));  // with rounding
// Chroma is computed from the sum of four pixels, two more bits.
constexpr int kChromaShift = kShift + 2;
constexpr int kChromaOffset = (128 << kChromaShift) + (1 << (kChromaShift - 1));

// Pixels done per step: a constant count lets the compiler vectorise the inner loops at -O2.
constexpr int kBlock = 64;

inline uint32_t pixelAt(const uint8_t* row, int x) {
  uint32_t pixel;
  std::memcpy(&pixel, row + static_cast<ptrdiff_t>(x) * 4, sizeof pixel);
  return pixel;
}

inline int channel(uint32_t pixel, int shift) {
  return static_cast<int>((pixel >> shift) & 0xffU);
}

inline uint8_t luma(uint32_t pixel, ByteChannels c) {
  return static_cast<uint8_t>((kYr * channel(pixel, c.redShift) +
                               kYg * channel(pixel, c.greenShift) +
                               kYb * channel(pixel, c.blueShift) + kLumaOffset) >>
                              kShift);
}

// The chroma of the 2x2 block whose top-left pixel is column 2 * x.
inline void chroma(const uint8_t* top, const uint8_t* bottom, int x, ByteChannels c, uint8_t* u,
                   uint8_t* v) {
  const uint32_t a = pixelAt(top, 2 * x);
  const uint32_t b = pixelAt(top, 2 * x + 1);
  const uint32_t d = pixelAt(bottom, 2 * x);
  const uint32_t e = pixelAt(bottom, 2 * x + 1);
  const int red = channel(a, c.redShift) + channel(b, c.redShift) + channel(d, c.redShift) +
                  channel(e, c.redShift);
  const int green = channel(a, c.greenShift) + channel(b, c.greenShift) + channel(d, c.greenShift) +
                    channel(e, c.greenShift);
  const int blue = channel(a, c.blueShift) + channel(b, c.blueShift) + channel(d, c.blueShift) +
                   channel(e, c.blueShift);
  u[x] =
      static_cast<uint8_t>((kUr * red + kUg * green + kUb * blue + kChromaOffset) >> kChromaShift);
  v[x] =
      static_cast<uint8_t>((kVr * red + kVg * green + kVb * blue + kChromaOffset) >> kChromaShift);
}

// One pair of rows: two rows of Y and one of U and V.
DARVO_VECTOR_CLONES
void convertRowPair(const uint8_t* __restrict top, const uint8_t* __restrict bottom, int width,
                    ByteChannels c, uint8_t* __restrict yTop, uint8_t* __restrict yBottom,
                    uint8_t* __restrict u, uint8_t* __restrict v) {
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    for (int i = 0; i < kBlock; ++i) {
      yTop[x + i] = luma(pixelAt(top, x + i), c);
    }
    for (int i = 0; i < kBlock; ++i) {
      yBottom[x + i] = luma(pixelAt(bottom, x + i), c);
    }
    for (int i = 0; i < kBlock / 2; ++i) {
      chroma(top + static_cast<ptrdiff_t>(x) * 4, bottom + static_cast<ptrdiff_t>(x) * 4, i, c,
             u + x / 2, v + x / 2);
    }
  }
  for (; x < width; x += 2) {  // the rest of the row; the width is even
    yTop[x] = luma(pixelAt(top, x), c);
    yTop[x + 1] = luma(pixelAt(top, x + 1), c);
    yBottom[x] = luma(pixelAt(bottom, x), c);
    yBottom[x + 1] = luma(pixelAt(bottom, x + 1), c);
    chroma(top, bottom, x / 2, c, u, v);
  }
}

}  // namespace

void convertToYuv420Bt709(const uint8_t* pixels, int stride, int width, int height,
                          ByteChannels channels, const Yuv420Target& target) {
  for (int y = 0; y < height; y += 2) {
    const uint8_t* top = pixels + static_cast<ptrdiff_t>(y) * stride;
    convertRowPair(top, top + stride, width, channels,
                   target.planes[0] + static_cast<ptrdiff_t>(y) * target.strides[0],
                   target.planes[0] + static_cast<ptrdiff_t>(y + 1) * target.strides[0],
                   target.planes[1] + static_cast<ptrdiff_t>(y / 2) * target.strides[1],
                   target.planes[2] + static_cast<ptrdiff_t>(y / 2) * target.strides[2]);
  }
}

}  // namespace darvo::recording::output
