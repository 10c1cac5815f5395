#include "recording/output/mp4_header.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string_view>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace darvo::recording::output {
namespace {

// Ours holds one track and no samples (they are all in fragments): a few hundred bytes.
constexpr uint64_t kLongestHeader = 1 << 20;

[[noreturn]] void fail(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

uint64_t readBig(const uint8_t* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

void writeBig(uint8_t* bytes, size_t count, uint64_t value) {
  for (size_t i = count; i-- > 0; value >>= 8) {
    bytes[i] = static_cast<uint8_t>(value);
  }
}

// Reads `size` bytes at `offset`, fewer only where the file ends.
size_t readAt(int fd, uint8_t* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      fail(errno, "reading the MP4 header");
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return done;
}

void writeAt(int fd, const uint8_t* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t written =
        ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      fail(written < 0 ? errno : ENOSPC, "writing the MP4 header");
    }
    done += static_cast<size_t>(written);
  }
}

struct Box {
  std::string_view type;
  uint64_t size;
  size_t headerSize;  // the size and type fields
};

// The box whose first bytes (up to 16) are `bytes`; `room` is what its parent leaves for it.
Box parseBox(const uint8_t* bytes, size_t available, uint64_t room) {
  if (available < 8) {
    fail(EBADMSG, "a truncated MP4 box");
  }
  Box box{std::string_view(reinterpret_cast<const char*>(bytes + 4), 4), readBig(bytes, 4), 8};
  if (box.size == 1 && available >= 16) {
    box.size = readBig(bytes + 8, 8);
    box.headerSize = 16;
  } else if (box.size == 0) {
    box.size = room;  // it runs to the end of its parent
  }
  if (box.size < box.headerSize || box.size > room) {
    fail(EBADMSG, "an MP4 box of an impossible size");
  }
  return box;
}

// A duration field in the moov box's bytes.
struct Field {
  size_t offset;
  size_t width;
  uint32_t timeScale;  // 0: the movie's
};

// Collects the duration fields in moov[begin, end), and the movie's time scale from its mvhd.
void collectFields(const std::vector<uint8_t>& moov, size_t begin, size_t end,
                   std::vector<Field>& fields, uint32_t& movieTimeScale) {
  for (size_t at = begin; at < end;) {
    const Box box = parseBox(&moov[at], std::min<size_t>(end - at, 16), end - at);
    const size_t contents = at + box.headerSize;
    const size_t boxEnd = at + box.size;
    if (box.type == "trak" || box.type == "mdia" || box.type == "mvex") {
      collectFields(moov, contents, boxEnd, fields, movieTimeScale);
    } else if (box.type == "mvhd" || box.type == "mdhd" || box.type == "tkhd" ||
               box.type == "mehd") {
      // Full boxes: version 1 has 64-bit times and duration, version 0 32-bit ones.
      const bool wide = contents < boxEnd && moov[contents] == 1;
      const size_t width = wide ? 8 : 4;
      const size_t timeScaleAt = contents + (wide ? 20 : 12);  // mvhd and mdhd
      size_t durationAt = timeScaleAt + 4;
      if (box.type == "tkhd") {
        durationAt = contents + (wide ? 28 : 20);
      } else if (box.type == "mehd") {
        durationAt = contents + 4;
      }
      if (durationAt + width > boxEnd) {
        fail(EBADMSG, "a truncated MP4 header box");
      }
      uint32_t timeScale = 0;
      if (box.type == "mvhd" || box.type == "mdhd") {
        timeScale = static_cast<uint32_t>(readBig(&moov[timeScaleAt], 4));
        if (timeScale == 0) {
          fail(EBADMSG, "an MP4 time scale of 0");
        }
      }
      if (box.type == "mvhd") {
        movieTimeScale = timeScale;
      }
      fields.push_back({durationAt, width, box.type == "mdhd" ? timeScale : 0});
    }
    at = boxEnd;
  }
}

}  // namespace

void writeHeaderDuration(int fd, int64_t duration, AVRational timeBase) {
  // The moov box follows the ftyp box at the start of the file.
  off_t offset = 0;
  uint8_t bytes[16];
  Box moovBox{};
  while (true) {
    moovBox = parseBox(bytes, readAt(fd, bytes, sizeof bytes, offset),
                       static_cast<uint64_t>(std::numeric_limits<off_t>::max() - offset));
    if (moovBox.type == "moov") {
      break;
    }
    offset += static_cast<off_t>(moovBox.size);
  }
  if (moovBox.size > kLongestHeader) {
    fail(EBADMSG, "an MP4 header too large to be ours");
  }
  std::vector<uint8_t> moov(moovBox.size);
  if (readAt(fd, moov.data(), moov.size(), offset) != moov.size()) {
    fail(EBADMSG, "a truncated MP4 header");
  }

  std::vector<Field> fields;
  uint32_t movieTimeScale = 0;
  collectFields(moov, moovBox.headerSize, moov.size(), fields, movieTimeScale);
  if (movieTimeScale == 0) {
    fail(EBADMSG, "an MP4 header without a movie header");
  }
  for (const Field& field : fields) {
    const uint32_t timeScale = field.timeScale != 0 ? field.timeScale : movieTimeScale;
    // Rounded up, so that the last frame is never cut off.
    uint64_t value = static_cast<uint64_t>(
        av_rescale_rnd(duration, int64_t{timeBase.num} * timeScale, timeBase.den, AV_ROUND_UP));
    if (field.width == 4) {
      value = std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max());  // all ones: unknown
    }
    writeBig(&moov[field.offset], field.width, value);
  }
  writeAt(fd, moov.data(), moov.size(), offset);
}

}  // namespace darvo::recording::output
