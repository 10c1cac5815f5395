#include "capture/x11/window_image_reader.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

namespace darvo::capture::x11 {

namespace {

std::size_t imageBytes(int width, int height) {
  return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
}

}  // namespace

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

WindowImageReader::WindowImageReader(xcb_connection_t* connection, bool shmAvailable)
    : connection_(connection), shmAvailable_(shmAvailable) {}

std::optional<WindowPixels> WindowImageReader::read(xcb_drawable_t drawable, int x, int y,
                                                    int width, int height) {
  if (width <= 0 || height <= 0) {
    return std::nullopt;
  }
  if (shmAvailable_) {
    return readShared(drawable, x, y, width, height);
  }
  return readPlain(drawable, x, y, width, height);
}

std::optional<WindowPixels> WindowImageReader::readShared(xcb_drawable_t drawable, int x, int y,
                                                          int width, int height) {
  const std::size_t needed = imageBytes(width, height);
  if (!segment_ || segment_->size() < needed) {
    segment_.reset();  // detach the old one first: the window grew
    segment_ = ShmSegment::create(connection_, needed);
    if (!segment_) {
      shmAvailable_ = false;
      return readPlain(drawable, x, y, width, height);
    }
  }
  xcb_generic_error_t* rawError = nullptr;
  const XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      connection_,
      xcb_shm_get_image(connection_, drawable, static_cast<int16_t>(x), static_cast<int16_t>(y),
                        static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0U,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id(), 0),
      &rawError));
  const XcbError error(rawError);
  if (reply && reply->size >= needed) {
    return WindowPixels{segment_->data(), width * 4};
  }
  // BadMatch and BadDrawable are about the source (outside it, or gone); anything else is about
  // the segment.
  if (error && error->error_code != XCB_MATCH && error->error_code != XCB_DRAWABLE) {
    // The server will not read into our segment after all: stay with plain reads.
    shmAvailable_ = false;
    segment_.reset();
    return readPlain(drawable, x, y, width, height);
  }
  return std::nullopt;
}

std::optional<WindowPixels> WindowImageReader::readPlain(xcb_drawable_t drawable, int x, int y,
                                                         int width, int height) {
  plainReply_ =
      takeReply(xcb_get_image_reply, connection_,
                xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                              static_cast<int16_t>(x), static_cast<int16_t>(y),
                              static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0U));
  if (!plainReply_ || static_cast<std::size_t>(xcb_get_image_data_length(plainReply_.get())) <
                          imageBytes(width, height)) {
    return std::nullopt;
  }
  return WindowPixels{xcb_get_image_data(plainReply_.get()), width * 4};
}

}  // namespace darvo::capture::x11
