// JSON objects as the helper writes them: sorted keys, compact, one line.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace darvo::protocol {

class JsonValue;
// std::map keeps keys in byte order, which is the order they are written in.
using JsonObject = std::map<std::string, JsonValue>;

class JsonValue {
 public:
  using Variant = std::variant<std::string, int64_t, double, std::vector<JsonObject>>;

  JsonValue(std::string text) : value_(std::move(text)) {}         // NOLINT: implicit by design
  JsonValue(const char* text) : value_(std::string(text)) {}       // NOLINT
  JsonValue(int64_t number) : value_(number) {}                    // NOLINT
  JsonValue(int number) : value_(static_cast<int64_t>(number)) {}  // NOLINT
  JsonValue(double number) : value_(number) {}                     // NOLINT
  JsonValue(std::vector<JsonObject> list) : value_(std::move(list)) {}  // NOLINT

  [[nodiscard]] const Variant& get() const { return value_; }

 private:
  Variant value_;
};

// The compact text of `object`, or nothing when it holds a number JSON cannot express (NaN or an
// infinity). Text that is not valid UTF-8 has each invalid sequence replaced by U+FFFD, so the
// result is always valid UTF-8.
std::optional<std::string> serialize(const JsonObject& object);

// {"error": code}: the line of every error that ends the process before a recording's summary.
inline JsonObject errorLine(const std::string& code) {
  return {{"error", code}};
}

}  // namespace darvo::protocol
