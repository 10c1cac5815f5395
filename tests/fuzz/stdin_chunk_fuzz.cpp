// protocol::chunkRequestsStop against its rule: an empty chunk (end of input) stops, and so
// does a chunk of valid UTF-8 that contains "stop"; also protocol::isValidUtf8 against a reference.
#include <string_view>

#include "fuzz_support.hpp"
#include "protocol/stop_request.hpp"
#include "protocol/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using darvo::fuzz::require;
  const std::string_view chunk(reinterpret_cast<const char*>(data), size);
  const bool valid = darvo::fuzz::referenceValidUtf8(chunk);
  require(darvo::protocol::isValidUtf8(chunk) == valid, "isValidUtf8 agrees with the reference");
  for (size_t index = 0; index < chunk.size(); ++index) {
    require(darvo::protocol::validUtf8SequenceLength(chunk, index) ==
                darvo::fuzz::referenceSequenceLength(chunk, index),
            "validUtf8SequenceLength agrees with the reference at every byte");
  }
  const bool expected = chunk.empty() || (valid && chunk.find("stop") != std::string_view::npos);
  require(darvo::protocol::chunkRequestsStop(chunk) == expected,
          "chunkRequestsStop: empty, or valid UTF-8 containing \"stop\"");
  return 0;
}
