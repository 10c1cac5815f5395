// The parent's ways to end a recording: standard input and SIGINT/SIGTERM.
#pragma once

#include <functional>
#include <string_view>

#include <asio/any_io_executor.hpp>

namespace darvo::supervision {

// Whether one chunk read from standard input asks for a stop: end of input (an empty chunk) does,
// and so does valid UTF-8 text containing "stop" anywhere. Chunks are never joined.
bool chunkRequestsStop(std::string_view chunk);

// Starts a thread that reads descriptor 0; every read() result is one chunk. For each chunk that
// asks for a stop, and at end of input or a read error, `requestStop` is posted to `mainQueue`.
// The thread ends at end of input; it is never joined (the process ends with _exit).
void startStandardInputReader(asio::any_io_executor mainQueue, std::function<void()> requestStop);

}  // namespace darvo::supervision
