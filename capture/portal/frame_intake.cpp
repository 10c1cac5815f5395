#include "capture/portal/frame_intake.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace darvo::capture::portal {
namespace {

constexpr int kBytesPerPixel = 4;
constexpr int kAlphaByte = 3;  // of BGRx, BGRA, RGBx and RGBA alike
// Toolkits that draw their own decorations (GTK, Chromium) draw a shadow around the window, and
// the compositor's crop region holds it: at most this opaque (0x6e measured under GNOME), where
// the window itself is opaque, or nearly so when it is translucent.
constexpr uint8_t kLeastWindowAlpha = 0x80;
// More damaged rectangles than this since a hand-over: comparing everything costs less.
constexpr std::size_t kMostDamageAreas = 64;

// The part of `area` inside a width x height picture; empty sides when none.
ImageArea clipped(const ImageArea& area, int width, int height) {
  const int left = std::max(area.x, 0);
  const int top = std::max(area.y, 0);
  const int right = std::min(area.x + area.width, width);
  const int bottom = std::min(area.y + area.height, height);
  return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

// The part of `crop` the window covers: the rows and columns at its edges in which no pixel is at
// least half opaque are a shadow. The fourth byte carries the alpha in BGRA, and in Mutter's
// BGRx too; a picture without any such pixel (a fourth byte left zero) is taken whole.
ImageArea withoutShadow(const StreamBuffer& buffer, const ImageArea& crop) {
  const auto isWindow = [&](int x, int y) {
    return buffer.data[static_cast<std::size_t>(y) * buffer.stride +
                       static_cast<std::size_t>(x) * kBytesPerPixel + kAlphaByte] >=
           kLeastWindowAlpha;
  };
  const int right = crop.x + crop.width;
  const auto rowHasWindow = [&](int y) {
    for (int x = crop.x; x < right; ++x) {
      if (isWindow(x, y)) return true;
    }
    return false;
  };
  int top = crop.y;
  int bottom = crop.y + crop.height;
  while (top < bottom && !rowHasWindow(top)) ++top;
  if (top == bottom) return crop;
  while (!rowHasWindow(bottom - 1)) --bottom;
  // Each row only needs looking at where it could widen what the rows above found.
  int windowLeft = right;
  int windowRight = crop.x;
  for (int y = top; y < bottom; ++y) {
    for (int x = crop.x; x < windowLeft; ++x) {
      if (isWindow(x, y)) {
        windowLeft = x;
        break;
      }
    }
    for (int x = right - 1; x >= windowRight; --x) {
      if (isWindow(x, y)) {
        windowRight = x + 1;
        break;
      }
    }
  }
  return {windowLeft, top, windowRight - windowLeft, bottom - top};
}

}  // namespace

FrameIntake::FrameIntake(CaptureClock::duration interval) : interval_(interval) {}

bool FrameIntake::accept(const StreamBuffer& buffer, CaptureClock::time_point arrivedAt) {
  if (buffer.data == nullptr || buffer.corrupted || buffer.width <= 0 || buffer.height <= 0 ||
      buffer.stride < buffer.width * kBytesPerPixel) {
    return false;
  }
  const ImageArea region =
      clipped(buffer.crop.value_or(ImageArea{0, 0, buffer.width, buffer.height}), buffer.width,
              buffer.height);
  if (region.width <= 0 || region.height <= 0 ||
      buffer.size < static_cast<std::size_t>(region.y + region.height - 1) * buffer.stride +
                        static_cast<std::size_t>(region.x + region.width) * kBytesPerPixel) {
    return false;
  }
  const ImageArea crop = withoutShadow(buffer, region);
  const std::size_t rowBytes = static_cast<std::size_t>(crop.width) * kBytesPerPixel;
  if (crop.width != handedOn_.width || crop.height != handedOn_.height ||
      buffer.order != handedOn_.order) {
    changesKnown_ = false;  // a new size or format: nothing to compare with
  }
  pending_.width = crop.width;
  pending_.height = crop.height;
  pending_.order = buffer.order;
  pending_.pixels.resize(rowBytes * crop.height);
  for (int row = 0; row < crop.height; ++row) {
    std::memcpy(pending_.pixels.data() + row * rowBytes,
                buffer.data + static_cast<std::size_t>(crop.y + row) * buffer.stride +
                    static_cast<std::size_t>(crop.x) * kBytesPerPixel,
                rowBytes);
  }
  if (!buffer.damage) {
    damage_.reset();
  } else if (damage_) {
    for (const ImageArea& area : *buffer.damage) {
      damage_->push_back({area.x - crop.x, area.y - crop.y, area.width, area.height});
    }
    if (damage_->size() > kMostDamageAreas) damage_.reset();
  }
  hasPending_ = true;
  pendingArrivedAt_ = arrivedAt;
  newestWidth_ = crop.width;
  newestHeight_ = crop.height;
  return true;
}

void FrameIntake::repeatLatest(CaptureClock::time_point now) {
  if (!hasPending_) {
    if (handedOn_.pixels.empty()) return;  // nothing seen yet: the first buffer will do
    pending_ = handedOn_;
    hasPending_ = true;
    pendingArrivedAt_ = now;
  }
  changesKnown_ = false;
  lastHandedAt_.reset();
}

std::optional<CaptureClock::time_point> FrameIntake::dueAt() const {
  if (!hasPending_) return std::nullopt;
  return lastHandedAt_ ? *lastHandedAt_ + interval_ : CaptureClock::time_point::min();
}

void FrameIntake::handOn(
    CaptureClock::time_point now, const std::function<bool()>& hasRoom,
    const std::function<void(const PixelImage&, CaptureClock::time_point)>& submit) {
  const auto due = dueAt();
  if (!due || now < *due) return;
  lastHandedAt_ = now;
  if (!hasRoom()) return;  // dropped by the sink, and counted there; kept for the next interval
  PixelImage image = imageOf(pending_);
  if (changesKnown_) {
    const std::vector<ImageArea> whole{{0, 0, image.width, image.height}};
    image.changedAreas =
        changedBlocks_.find(image, handedOn_.pixels.data(), damage_ ? *damage_ : whole);
  }
  submit(image, pendingArrivedAt_);
  std::swap(pending_, handedOn_);
  hasPending_ = false;
  changesKnown_ = true;
  damage_.emplace();
}

PixelImage FrameIntake::imageOf(const Picture& picture) {
  PixelImage image;
  image.data = picture.pixels.data();
  image.width = picture.width;
  image.height = picture.height;
  image.stride = picture.width * kBytesPerPixel;
  // The mask of the byte at `index` of a pixel, as a uint32 read on this machine sees it.
  const auto byteMask = [](int index) {
    return std::endian::native == std::endian::little ? 0xffU << (8 * index)
                                                      : 0xffU << (8 * (3 - index));
  };
  const bool bgrx = picture.order == StreamPixelOrder::bgrx;
  image.redMask = byteMask(bgrx ? 2 : 0);
  image.greenMask = byteMask(1);
  image.blueMask = byteMask(bgrx ? 0 : 2);
  return image;
}

}  // namespace darvo::capture::portal
