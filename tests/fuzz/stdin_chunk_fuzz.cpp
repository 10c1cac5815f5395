// protocol::chunkRequestsStop on any bytes: it asks for a stop exactly for end of input (an empty
// chunk) and for valid UTF-8 containing "stop".
#include "fuzz_support.hpp"
#include "protocol/stop_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view chunk(reinterpret_cast<const char*>(data), size);
  const bool valid = repairedUtf8(chunk) == chunk;
  REQUIRE(darvo::protocol::chunkRequestsStop(chunk) ==
          (size == 0 || (valid && chunk.find("stop") != std::string_view::npos)));
  return 0;
}
