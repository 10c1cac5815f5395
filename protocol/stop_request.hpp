// The rule that decides whether one chunk read from standard input asks for a stop.
#pragma once

#include <string_view>

namespace darvo::protocol {

// End of input (an empty chunk) asks for a stop, and so does valid UTF-8 text containing "stop"
// anywhere. Chunks are never joined: each read() result is judged alone.
bool chunkRequestsStop(std::string_view chunk);

}  // namespace darvo::protocol
