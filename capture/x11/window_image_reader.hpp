// Reads a rectangle of a drawable's pixels: MIT-SHM GetImage into a shared segment when the
// server allows it, plain GetImage otherwise. Used by the capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include <xcb/shm.h>
#include <xcb/xcb.h>

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

// The pixels of one read, 32 bits a pixel, rows `stride` bytes apart. Valid until the next read.
struct WindowPixels {
  uint8_t* data = nullptr;
  int stride = 0;
};

class WindowImageReader {
 public:
  WindowImageReader(xcb_connection_t* connection, bool shmAvailable);

  // Reads width x height pixels at (x, y). Nothing when the server refuses (the rectangle is
  // outside the drawable, or the drawable is gone).
  [[nodiscard]] std::optional<WindowPixels> read(xcb_drawable_t drawable, int x, int y, int width,
                                                 int height);

  [[nodiscard]] bool usesShm() const { return shmAvailable_; }

 private:
  std::optional<WindowPixels> readShared(xcb_drawable_t drawable, int x, int y, int width,
                                         int height);
  std::optional<WindowPixels> readPlain(xcb_drawable_t drawable, int x, int y, int width,
                                        int height);

  xcb_connection_t* connection_;
  bool shmAvailable_;
  std::unique_ptr<ShmSegment> segment_;
  XcbReply<xcb_get_image_reply_t> plainReply_;
};

}  // namespace darvo::capture::x11
