// Encodes raw YUV420P pictures, 15 a second, the way the helper's recording output encodes what it
// captures: its libx264 settings, its plan of each picture (quantisers, offsets for moving areas,
// the macroblocks that did not change), its MP4 file. bench/run compares the result with FFmpeg's
// on the same pictures.
//
// Usage: darvo-encode-pictures WIDTH HEIGHT PICTURES.yuv OUTPUT.mp4 [SETTING=VALUE...]
// Settings, to compare others with the helper's: quantiser, keyframe-finer-steps, preset.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "recording/output/frame_converter.hpp"
#include "recording/output/picture_plan.hpp"
#include "recording/output/segment_writer.hpp"

namespace {

using namespace darvo::capture;
using namespace darvo::recording::output;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the next picture into `picture`; false at the end of the file.
bool readPicture(std::FILE* file, AVFrame& picture) {
  if (av_frame_make_writable(&picture) < 0) {
    throw std::bad_alloc();
  }
  for (int plane = 0; plane < 3; ++plane) {
    const int shift = plane == 0 ? 0 : 1;
    for (int row = 0; row < picture.height >> shift; ++row) {
      const auto width = static_cast<size_t>(picture.width >> shift);
      if (std::fread(picture.data[plane] + static_cast<ptrdiff_t>(row) * picture.linesize[plane], 1,
                     width, file) != width) {
        return false;
      }
    }
  }
  return true;
}

// The helper's settings with those named in `overrides` changed; throws std::invalid_argument.
EncoderSettings settingsWith(std::span<char* const> overrides) {
  EncoderSettings settings;
  for (const std::string override : overrides) {
    const size_t equals = override.find('=');
    const std::string name = override.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : override.substr(equals + 1);
    if (name == "quantiser") {
      settings.quantiser = std::stoi(value);
    } else if (name == "keyframe-finer-steps") {
      settings.keyframeFinerSteps = std::stoi(value);
    } else if (name == "preset") {
      settings.preset = value;
    } else {
      throw std::invalid_argument("unknown setting " + override);
    }
  }
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s WIDTH HEIGHT PICTURES.yuv OUTPUT.mp4 [SETTING=VALUE...]\n",
                 argv[0]);
    return 2;
  }
  silenceLogging();
  try {
    const int width = std::stoi(argv[1]);
    const int height = std::stoi(argv[2]);
    const std::unique_ptr<std::FILE, FileCloser> input(std::fopen(argv[3], "rb"));
    if (!input) {
      std::fprintf(stderr, "cannot open %s\n", argv[3]);
      return 1;
    }
    SegmentProgress progress;
    const EncoderSettings settings = settingsWith(std::span(argv + 5, argv + argc));
    SegmentWriter writer(argv[4], width, height, settings, progress);
    PicturePlanner planner(width, height, settings);
    // Offline there is no Damage: every picture may have changed anywhere, and its pixels tell.
    const ImageArea whole{0, 0, width, height};
    const FramePtr pictures[2] = {allocatePicture(width, height), allocatePicture(width, height)};
    for (int64_t index = 0; readPicture(input.get(), *pictures[index % 2]); ++index) {
      AVFrame& picture = *pictures[index % 2];
      const AVFrame* before = index == 0 ? nullptr : pictures[(index + 1) % 2].get();
      const auto time = CaptureClock::time_point{} + index * std::chrono::microseconds(66'667);
      writer.encode(picture, index * kLatestFrameDuration,
                    planner.next(std::span(&whole, 1), before, picture, time));
    }
    writer.finish();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "darvo-encode-pictures: %s\n", error.what());
    return 1;
  }
  return 0;
}
