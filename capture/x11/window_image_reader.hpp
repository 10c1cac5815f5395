// Reads a rectangle of a drawable's pixels: MIT-SHM GetImage into a shared segment when the
// server allows it, plain GetImage otherwise. Used by the capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "capture/x11/pixel_format.hpp"
#include "capture/x11/server_resource.hpp"
#include "capture/x11/xcb_handles.hpp"

namespace darvo::capture::x11 {

// A System V shared memory segment mapped here and attached by the X server. The segment is
// marked for removal as soon as both sides are attached, so nothing outlives a killed process.
class ShmSegment {
 public:
  // Nothing when the segment cannot be created or the server will not attach it (a remote
  // server, or other permissions).
  static std::unique_ptr<ShmSegment> create(xcb_connection_t* connection, std::size_t size);

  [[nodiscard]] uint8_t* data() const { return static_cast<uint8_t*>(mapping_.get()); }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] xcb_shm_seg_t id() const { return attachment_.get().id; }

 private:
  struct UnmapDeleter {
    void operator()(void* address) const;
  };
  static void detachFromServer(xcb_connection_t* connection, uint32_t segment);

  std::unique_ptr<void, UnmapDeleter> mapping_;
  ServerResourceOwner<&ShmSegment::detachFromServer> attachment_;
  std::size_t size_ = 0;
};

// The pixels of one read, 32 bits a pixel with 8-bit channels where masks() says, rows `stride`
// bytes apart. Valid until the read after the next: reads alternate between two buffers, so that
// each image can be compared with the one before.
struct WindowPixels {
  uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

class WindowImageReader {
 public:
  // `format` is how the server stores the drawables read (it must be readable).
  WindowImageReader(xcb_connection_t* connection, bool shmAvailable, const PixelFormat& format);

  // For drawables of another depth or visual from now on; earlier reads are not compared.
  void setFormat(const PixelFormat& format);
  // Where the channels of the pixels read are.
  [[nodiscard]] ChannelMasks masks() const { return normaliser_.masks(); }

  // Reads width x height pixels at (x, y). Nothing when the server refuses (the rectangle is
  // outside the drawable, or the drawable is gone).
  [[nodiscard]] std::optional<WindowPixels> read(xcb_drawable_t drawable, int x, int y, int width,
                                                 int height);
  // The read before the last one, when both succeeded and have the same size; what the caller
  // drew into it is still there.
  [[nodiscard]] std::optional<WindowPixels> previousRead() const;

  [[nodiscard]] bool usesShm() const { return shmAvailable_; }

 private:
  // One of the two buffers: a shared segment, or the reply of a plain read; and the pixels
  // converted from either, for formats other than 32 bits with 8-bit channels.
  struct Buffer {
    std::unique_ptr<ShmSegment> segment;
    XcbReply<xcb_get_image_reply_t> plainReply;
    std::vector<uint32_t> converted;
    std::optional<WindowPixels> pixels;  // of its last read, when that succeeded
  };

  // The pixels of a read, converted into the buffer when the format needs it.
  WindowPixels handOn(Buffer& buffer, uint8_t* data, int width, int height);

  std::optional<WindowPixels> readShared(Buffer& buffer, xcb_drawable_t drawable, int x, int y,
                                         int width, int height);
  std::optional<WindowPixels> readPlain(Buffer& buffer, xcb_drawable_t drawable, int x, int y,
                                        int width, int height);

  xcb_connection_t* connection_;
  bool shmAvailable_;
  PixelNormaliser normaliser_;  // and the format of the drawables read
  Buffer buffers_[2];
  int latest_ = 0;  // the buffer of the last read
};

}  // namespace darvo::capture::x11
