#include "capture/x11/window_image_reader.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

namespace darvo::capture::x11 {

void ShmSegment::UnmapDeleter::operator()(void* address) const {
  shmdt(address);
}

void ShmSegment::detachFromServer(xcb_connection_t* connection, uint32_t segment) {
  xcb_shm_detach(connection, segment);
}

std::unique_ptr<ShmSegment> ShmSegment::create(xcb_connection_t* connection, std::size_t size) {
  const int shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmId < 0) {
    return nullptr;
  }
  auto segment = std::unique_ptr<ShmSegment>(new ShmSegment());
  void* address = shmat(shmId, nullptr, 0);
  if (reinterpret_cast<intptr_t>(address) != -1) {  // shmat's failure value
    segment->mapping_.reset(address);
  }
  XcbError error;
  const xcb_shm_seg_t segmentId = xcb_generate_id(connection);
  if (segment->mapping_) {
    error = takeError(connection, xcb_shm_attach_checked(connection, segmentId, shmId, 0));
  }
  // Both sides are attached now (or never will be): the segment dies with its last user.
  shmctl(shmId, IPC_RMID, nullptr);
  if (!segment->mapping_ || error) {
    return nullptr;
  }
  segment->attachment_.reset(ServerResource{connection, segmentId});
  segment->size_ = size;
  return segment;
}

WindowImageReader::WindowImageReader(xcb_connection_t* connection, bool shmAvailable,
                                     const PixelFormat& format)
    : connection_(connection), shmAvailable_(shmAvailable), normaliser_(format) {}

void WindowImageReader::setFormat(const PixelFormat& format) {
  normaliser_ = PixelNormaliser(format);
  for (Buffer& buffer : buffers_) {
    buffer.pixels.reset();
  }
}

WindowPixels WindowImageReader::handOn(Buffer& buffer, uint8_t* data, int width, int height) {
  if (!normaliser_.convertsImages()) {
    return WindowPixels{data, width, height,
                        static_cast<int>(rowBytes(normaliser_.format(), width))};
  }
  buffer.converted.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  normaliser_.convert(data, rowBytes(normaliser_.format(), width), width, height,
                      buffer.converted.data());
  return WindowPixels{reinterpret_cast<uint8_t*>(buffer.converted.data()), width, height,
                      width * 4};
}

std::optional<WindowPixels> WindowImageReader::read(xcb_drawable_t drawable, int x, int y,
                                                    int width, int height) {
  latest_ = 1 - latest_;
  Buffer& buffer = buffers_[latest_];
  if (!shmAvailable_) {
    buffer.segment.reset();  // left from before the server stopped taking segments
  }
  if (width <= 0 || height <= 0) {
    buffer.pixels.reset();
  } else {
    buffer.pixels = shmAvailable_ ? readShared(buffer, drawable, x, y, width, height)
                                  : readPlain(buffer, drawable, x, y, width, height);
  }
  return buffer.pixels;
}

std::optional<WindowPixels> WindowImageReader::previousRead() const {
  const auto& latest = buffers_[latest_].pixels;
  const auto& previous = buffers_[1 - latest_].pixels;
  if (!latest || !previous || latest->width != previous->width ||
      latest->height != previous->height || latest->stride != previous->stride) {
    return std::nullopt;
  }
  return previous;
}

std::optional<WindowPixels> WindowImageReader::readShared(Buffer& buffer, xcb_drawable_t drawable,
                                                          int x, int y, int width, int height) {
  const std::size_t needed =
      rowBytes(normaliser_.format(), width) * static_cast<std::size_t>(height);
  if (!buffer.segment || buffer.segment->size() < needed) {
    buffer.segment.reset();  // detach the old one first: the window grew
    buffer.segment = ShmSegment::create(connection_, needed);
    if (!buffer.segment) {
      shmAvailable_ = false;
      return readPlain(buffer, drawable, x, y, width, height);
    }
  }
  xcb_generic_error_t* rawError = nullptr;
  const XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      connection_,
      xcb_shm_get_image(connection_, drawable, static_cast<int16_t>(x), static_cast<int16_t>(y),
                        static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0U,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, buffer.segment->id(), 0),
      &rawError));
  const XcbError error(rawError);
  if (reply && reply->size >= needed) {
    return handOn(buffer, buffer.segment->data(), width, height);
  }
  // BadMatch and BadDrawable are about the source (outside it, or gone); anything else is about
  // the segment.
  if (error && error->error_code != XCB_MATCH && error->error_code != XCB_DRAWABLE) {
    // The server will not read into our segment after all: stay with plain reads.
    shmAvailable_ = false;
    buffer.segment.reset();
    return readPlain(buffer, drawable, x, y, width, height);
  }
  return std::nullopt;
}

std::optional<WindowPixels> WindowImageReader::readPlain(Buffer& buffer, xcb_drawable_t drawable,
                                                         int x, int y, int width, int height) {
  buffer.plainReply =
      takeReply(xcb_get_image_reply, connection_,
                xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                              static_cast<int16_t>(x), static_cast<int16_t>(y),
                              static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0U));
  if (!buffer.plainReply ||
      static_cast<std::size_t>(xcb_get_image_data_length(buffer.plainReply.get())) <
          rowBytes(normaliser_.format(), width) * static_cast<std::size_t>(height)) {
    return std::nullopt;
  }
  return handOn(buffer, xcb_get_image_data(buffer.plainReply.get()), width, height);
}

}  // namespace darvo::capture::x11
