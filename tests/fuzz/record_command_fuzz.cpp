// app::checkRecordCommand: the duration word read from arbitrary bytes (and, for one input in
// four, every word), compared with a model of the checks in their order. An accepted duration is
// finite and within 1..1800 seconds.
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "app/record_command.hpp"
#include "fuzz_support.hpp"
#include "protocol/parsing.hpp"

namespace {

using darvo::app::CommandError;
using darvo::app::RecordRequest;
using darvo::fuzz::require;

const std::vector<darvo::capture::Window> kCandidates = {
    {0x1a2b, {0, 0, 800, 600}, 0, darvo::capture::RunningApplication{"app", "app.id", 7}},
    {0x0, {5, 5, 10, 10}, 1, std::nullopt},
    {0xffffffff, {1, 2, 3, 4}, 0, darvo::capture::RunningApplication{"b", "b", 8}}};

// strtod over the whole word in the C locale: no leading white space, nothing left over (a NUL
// inside the word is left over).
std::optional<double> modelNumber(const std::string& word) {
  if (word.empty() || std::isspace(static_cast<unsigned char>(word.front())) != 0) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size()) return std::nullopt;
  return value;
}

// Outer nothing: refused; inner nothing: "none".
std::optional<std::optional<double>> modelDuration(const std::string& word) {
  if (word == "none") return std::optional<double>{};
  const auto seconds = modelNumber(word);
  if (!seconds || !(*seconds >= 1.0 && *seconds <= 1800.0)) return std::nullopt;
  return std::optional<double>{*seconds};
}

std::optional<uint32_t> modelWindowNumber(std::string_view text) {
  // The window id's own reader is checked against a model by its fuzz target.
  return darvo::protocol::parseHexWindowNumber(text);
}

struct Expected {
  std::string error;  // empty when accepted
  bool queriesPath = false;
  const darvo::capture::Window* window = nullptr;
  std::optional<double> duration = std::nullopt;
};

Expected model(const std::vector<std::string>& words, bool pathTaken) {
  const std::string invalid = "invalid_window_or_output";
  if (words.size() != 5 || words[0] != "record") return {invalid};
  if (words[1].rfind("0x", 0) != 0) return {invalid};
  const auto number = modelWindowNumber(std::string_view(words[1]).substr(2));
  if (!number) return {invalid};
  const darvo::capture::Window* window = nullptr;
  for (const auto& candidate : kCandidates) {
    if (candidate.windowID == *number) {
      window = &candidate;
      break;
    }
  }
  if (window == nullptr) return {invalid};
  if (words[2].empty() || words[2].front() != '/') return {invalid};
  if (pathTaken) return {invalid, true};
  const auto duration = modelDuration(words[3]);
  if (!duration) return {"invalid_duration", true};
  if (words[4] != "outline" && words[4] != "no-outline") {
    return {"invalid_outline", true};
  }
  return {"", true, window, *duration};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const uint8_t shape = provider.ConsumeIntegral<uint8_t>();
  const bool pathTaken = (shape & 0x10U) != 0;
  std::vector<std::string> words;
  if ((shape & 0x03U) == 0) {
    const size_t count = provider.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t index = 0; index < count; ++index) {
      words.push_back(provider.ConsumeRandomLengthString(40));
    }
  } else {
    words = {"record", (shape & 0x04U) != 0 ? "0xffffffff" : "0x1A2B", "/tmp/out.mp4",
             provider.ConsumeRemainingBytesAsString(),
             (shape & 0x08U) != 0 ? "outline" : "no-outline"};
  }

  std::vector<std::string> queried;
  const auto result =
      darvo::app::checkRecordCommand(words, kCandidates, [&](const std::string& path) {
        queried.push_back(path);
        return pathTaken;
      });
  const Expected expected = model(words, pathTaken);

  require(queried.size() == (expected.queriesPath ? 1U : 0U),
          "the output path is looked up once, and only after the window checks pass");
  if (!queried.empty()) require(queried.front() == words[2], "the output path is looked up");

  if (const auto* error = std::get_if<CommandError>(&result)) {
    require(!expected.error.empty(), "a command the model accepts is accepted");
    require(error->code == expected.error, "the first failing check gives the error code");
    return 0;
  }
  const auto& request = std::get<RecordRequest>(result);
  require(expected.error.empty(), "a command the model refuses is refused");
  require(request.window.windowID == expected.window->windowID, "the window is the candidate");
  require(request.window.frame.width == expected.window->frame.width, "the candidate's frame");
  require(request.outputPath == words[2], "the output path is the word as given");
  require(request.showOutline == (words[4] == "outline"), "the outline word decides");
  if (request.duration) {
    require(std::isfinite(*request.duration), "an accepted duration is finite");
    require(*request.duration >= 1.0 && *request.duration <= 1800.0,
            "an accepted duration is within 1..1800 seconds");
    require(expected.duration && *expected.duration == *request.duration,
            "the duration is strtod's value of the word");
  } else {
    require(words[3] == "none", "only \"none\" means no duration");
  }
  return 0;
}
