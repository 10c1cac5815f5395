#include "recording/output/ffmpeg_handles.hpp"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace darvo::recording::output {

void silenceLogging() {
  av_log_set_level(AV_LOG_QUIET);
}

std::string errorText(int averror) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averror, text, sizeof text);
  return text;
}

int UniqueFd::close() {
  if (fd_ < 0) {
    return 0;
  }
  // Never retried: after EINTR the descriptor is already gone on Linux.
  const int result = ::close(std::exchange(fd_, -1));
  return result == 0 ? 0 : errno;
}

}  // namespace darvo::recording::output
