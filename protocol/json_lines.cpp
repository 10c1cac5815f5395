#include "protocol/json_lines.hpp"

#include <unistd.h>
#include <cerrno>

namespace darvo::protocol {
namespace {

// Writes all of `size` bytes unless the descriptor fails; a closed pipe just drops the rest.
void writeAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

}  // namespace

void emit(const JsonObject& object) {
  const auto text = serialize(object);
  if (!text) return;
  writeAll(text->data(), text->size());
  writeAll("\n", 1);
}

void fail(const std::string& code) {
  emit(errorLine(code));
  endProcess(1);
}

void endProcess(int status) {
  ::_exit(status);
}

}  // namespace darvo::protocol
