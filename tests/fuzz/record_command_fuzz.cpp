// app::checkRecordCommand on arbitrary words, or on a path with an arbitrary duration word and a
// listed or arbitrary hexadecimal window word: the path is looked up at most once, duration and
// outline are judged only once it was found free, and an accepted command holds what its words say.
#include <cmath>

#include <fuzzer/FuzzedDataProvider.h>

#include "app/record_command.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each listed window's width is its place in the list.
  static const std::vector<darvo::capture::Window> kListed = {
      {0x1a2b, {}, 0, {}}, {0, {0, 0, 1, 0}, 1, {}}, {0xffffffff, {0, 0, 2, 0}, 0, {}}};
  FuzzedDataProvider in(data, size);
  const auto shape = in.ConsumeIntegral<uint8_t>();
  const bool arbitrary = (shape & 3) == 0, taken = shape & 16;
  std::vector<std::string> words(arbitrary ? in.ConsumeIntegralInRange(0, 6) : 0);
  for (auto& word : words) word = in.ConsumeRandomLengthString(40);
  if (!arbitrary) {
    words = {"record", shape & 4 ? "0x" + in.ConsumeRandomLengthString(12) : "0x1A2B",
             "/tmp/out.mp4", in.ConsumeRemainingBytesAsString(),
             shape & 8 ? "outline" : "no-outline"};
  }
  int lookups = 0;
  const auto result = darvo::app::checkRecordCommand(words, kListed, [&](const auto& path) {
    return REQUIRE(path == words.at(2)), ++lookups, taken;
  });
  REQUIRE(lookups <= 1);
  // The duration word as strtod reads it (C locale): all of it, no white space before.
  const std::string duration = words.size() == 5 ? words[3] : "";
  char* end = nullptr;
  const double seconds = std::strtod(duration.c_str(), &end);
  const bool durationValid = duration == "none" || (!std::isspace(duration[0] & 0xFF) &&
                                                    end == duration.c_str() + duration.size() &&
                                                    seconds >= 1 && seconds <= 1800);
  const bool outlineValid =
      words.size() == 5 && (words[4] == "outline" || words[4] == "no-outline");
  if (const auto* error = std::get_if<darvo::app::CommandError>(&result)) {
    if (error->code == "invalid_window_or_output")
      return REQUIRE(arbitrary || taken || shape & 4), 0;
    REQUIRE(lookups == 1 && !taken && words.size() == 5 && !(durationValid && outlineValid));
    return REQUIRE(error->code == (durationValid ? "invalid_outline" : "invalid_duration")), 0;
  }
  const auto& request = std::get<darvo::app::RecordRequest>(result);
  REQUIRE(lookups == 1 && !taken && words[0] == "record" && words[2].starts_with('/'));
  REQUIRE(request.outputPath == words[2] && durationValid && outlineValid);
  REQUIRE(request.duration ? *request.duration == seconds : duration == "none");
  REQUIRE(request.showOutline == (words[4] == "outline"));
  // The listed window that the word names in hexadecimal (sign rules left to the unit tests).
  const auto id = words[1].starts_with("0x") ? std::strtoull(words[1].c_str() + 2, &end, 16) : -1;
  REQUIRE(words[1].find_first_not_of("+-0123456789abcdefABCDEF", 2) == std::string::npos &&
          end == words[1].c_str() + words[1].size() && request.window.windowID == id &&
          kListed.at(static_cast<size_t>(request.window.frame.width)).windowID == id);
  return 0;
}
