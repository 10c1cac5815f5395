// The header (moov box) of a finished fragmented MP4 file, edited in place.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

namespace darvo::recording::output {

// Writes `duration` (in `timeBase`) into the header at the start of the MP4 file open for reading
// and writing on `fd`: the movie's (mvhd, and mehd if there is one) and each track's (tkhd,
// mdhd), each in its own time scale. The fields keep their width, so nothing in the file moves.
// Throws std::system_error: the errno of a failed read or write, EBADMSG for a header it cannot
// walk.
void writeHeaderDuration(int fd, int64_t duration, AVRational timeBase);

}  // namespace darvo::recording::output
