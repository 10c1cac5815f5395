// A failure of the recording output carrying the code its delegate is given (capture.hpp).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace darvo::recording::output {

class OutputFailure : public std::runtime_error {
 public:
  OutputFailure(int64_t code, const std::string& what) : std::runtime_error(what), code_(code) {}
  [[nodiscard]] int64_t code() const { return code_; }

 private:
  int64_t code_;
};

}  // namespace darvo::recording::output
