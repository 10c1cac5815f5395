// Helpers for the FFmpeg output tests: synthetic images, temporary directories and decoding the
// files written with the ffprobe and ffmpeg programs.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "capture/video_sink.hpp"

namespace darvo::capture::ffmpeg::testing {

// A 32-bit image of one colour (0x00RRGGBB in the default masks), with a padded stride.
struct SolidImage {
  int width;
  int height;
  std::vector<uint32_t> pixels;

  SolidImage(int imageWidth, int imageHeight, uint32_t pixel)
      : width(imageWidth),
        height(imageHeight),
        pixels(static_cast<size_t>(imageWidth + 8) * imageHeight, pixel) {}

  [[nodiscard]] PixelImage view() const {
    PixelImage image;
    image.data = reinterpret_cast<const uint8_t*>(pixels.data());
    image.width = width;
    image.height = height;
    image.stride = (width + 8) * 4;
    return image;
  }
};

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "darvo-ffmpeg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Standard output of a shell command; its standard error is dropped.
inline std::string commandOutput(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run " + command);
  }
  std::string output;
  char buffer[65536];
  size_t count = 0;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    output.append(buffer, count);
  }
  pclose(pipe);
  return output;
}

// ffprobe's JSON answer for the given -show_entries.
inline std::string probe(const std::filesystem::path& file, const std::string& entries) {
  return commandOutput("ffprobe -v error -print_format json -show_entries " + entries + " " +
                       shellQuoted(file.string()));
}

// The values of every "key": value pair in a JSON text, quotes removed.
inline std::vector<std::string> jsonValues(const std::string& json, const std::string& key) {
  const std::regex pattern("\"" + key + "\"\\s*:\\s*(?:\"([^\"]*)\"|([^,}\\s]+))");
  std::vector<std::string> values;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    values.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
  }
  return values;
}

inline std::optional<std::string> jsonValue(const std::string& json, const std::string& key) {
  std::vector<std::string> values = jsonValues(json, key);
  if (values.empty()) {
    return std::nullopt;
  }
  return values.front();
}

// Presentation times of the packets, in seconds.
inline std::vector<double> packetTimes(const std::filesystem::path& file) {
  std::vector<double> times;
  for (const std::string& value : jsonValues(probe(file, "packet=pts_time"), "pts_time")) {
    times.push_back(std::stod(value));
  }
  return times;
}

// The durations in seconds that the header (moov) of an MP4 file states, by box: mvhd, tkhd, mdhd
// and mehd. Read from the bytes: ffprobe and ffmpeg take the length from the fragments instead.
inline std::map<std::string, double> headerDurations(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto number = [&](size_t at, bool wide) {
    uint64_t value = 0;
    for (size_t i = 0; i < (wide ? 8U : 4U); ++i) {
      value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
    }
    return static_cast<double>(value);
  };
  std::map<std::string, double> durations;
  double movieScale = 0;
  const std::function<void(size_t, size_t)> walk = [&](size_t at, size_t end) {
    for (size_t size = 0; at + 8 <= end; at += size) {
      size = static_cast<size_t>(number(at, false));
      if (size < 8) {
        return;  // not a box this reads
      }
      const std::string type = bytes.substr(at + 4, 4);
      const size_t body = at + 8;  // version, flags, then the fields
      const bool wide = bytes.at(body) == 1;
      if (type == "moov" || type == "trak" || type == "mdia" || type == "mvex") {
        walk(body, at + size);
      } else if (type == "mvhd" || type == "mdhd") {
        const double scale = number(body + (wide ? 20 : 12), false);
        durations[type] = number(body + (wide ? 24 : 16), wide) / scale;
        movieScale = type == "mvhd" ? scale : movieScale;
      } else if (type == "tkhd" || type == "mehd") {
        durations[type] = number(body + (type == "mehd" ? 4 : wide ? 28 : 20), wide) / movieScale;
      }
      if (type == "moov") {
        return;
      }
    }
  };
  walk(0, bytes.size());
  return durations;
}

// The last decoded picture as RGB24 bytes; empty when nothing decodes.
inline std::vector<uint8_t> lastPictureRgb(const std::filesystem::path& file, int width,
                                           int height) {
  const std::string raw =
      commandOutput("ffmpeg -v error -nostdin -i " + shellQuoted(file.string()) +
                    " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -");
  const size_t size = static_cast<size_t>(width) * height * 3;
  if (raw.size() < size || raw.size() % size != 0) {
    return {};
  }
  return {raw.end() - static_cast<std::ptrdiff_t>(size), raw.end()};
}

// Sends this process's standard error (fd 2, which libraries write to directly) to a file until
// restored.
class StandardErrorCapture {
 public:
  explicit StandardErrorCapture(const std::filesystem::path& file) {
    std::fflush(stderr);
    saved_ = dup(2);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (saved_ < 0 || fd < 0) {
      throw std::runtime_error("cannot redirect standard error");
    }
    dup2(fd, 2);
    close(fd);
  }
  ~StandardErrorCapture() { restore(); }
  StandardErrorCapture(const StandardErrorCapture&) = delete;
  StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

  void restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }

 private:
  int saved_ = -1;
};

// Polls `condition` until it holds or `timeout` passes; whether it held.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace darvo::capture::ffmpeg::testing
