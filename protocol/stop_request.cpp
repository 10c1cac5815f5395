#include "protocol/stop_request.hpp"

#include "protocol/utf8.hpp"

namespace darvo::protocol {

bool chunkRequestsStop(std::string_view chunk) {
  if (chunk.empty()) return true;
  return isValidUtf8(chunk) && chunk.find("stop") != std::string_view::npos;
}

}  // namespace darvo::protocol
