// The helper's only voice: JSON lines on standard output.
#pragma once

#include <string>

#include "protocol/json.hpp"

namespace darvo::protocol {

// Writes one JSON line to standard output: the object, then a line feed, as two direct writes.
// A line that cannot be serialised or written is dropped. Main thread only.
void emit(const JsonObject& object);

// Writes {"error": code} and ends the process with status 1.
[[noreturn]] void fail(const std::string& code);

// Ends the process at once with `status`, without running destructors of objects that worker
// threads may still use. Everything emitted has already been handed to the kernel.
[[noreturn]] void endProcess(int status);

// What a test's stand-in for endProcess throws to unwind instead of ending the process; code that
// catches every exception at a boundary lets this one through.
struct ProcessEnded {
  int status = 0;
};

}  // namespace darvo::protocol
