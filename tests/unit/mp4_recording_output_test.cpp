// Real files written through libx264 and FFmpeg's MP4 muxer, read back with ffprobe and as bytes.
#include "recording/output/mp4_recording_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "capture/capture.hpp"
#include "recording/output/frame_converter.hpp"
#include "recording/output/mp4_header.hpp"
#include "recording/output/picture_plan.hpp"
#include "recording/output/segment_writer.hpp"

namespace darvo::recording::output {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Codes = std::vector<int64_t>;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// ffprobe's values of `entries`, one line each. Paths in the test's directory need no quotes.
std::string probe(const fs::path& file, const std::string& entries) {
  const std::string out = file.string() + ".probe";
  const std::string command =
      "ffprobe -v error -of csv=p=0 -show_entries " + entries + " " + file.string() + " >" + out;
  return std::system(command.c_str()) == 0 ? contents(out) : "ffprobe failed";
}

// Every picture decoded from `file`, each its YUV420P planes one after the other.
std::vector<std::string> decoded(const fs::path& file, int width, int height) {
  const std::string out = file.string() + ".yuv";
  const std::string command = "ffmpeg -v error -y -i " + file.string() +
                              " -fps_mode passthrough -f rawvideo -pix_fmt yuv420p " + out;
  if (std::system(command.c_str()) != 0) return {};
  const std::string bytes = contents(out);
  const size_t size = static_cast<size_t>(width) * height * 3 / 2;
  std::vector<std::string> pictures;
  for (size_t at = 0; at + size <= bytes.size(); at += size)
    pictures.push_back(bytes.substr(at, size));
  return pictures;
}

// The header's durations in seconds: mvhd's, tkhd's (in the movie's time scale) and mdhd's, all
// version 0 boxes. Read from the bytes: ffprobe takes the length from the fragments instead.
std::vector<double> headerSeconds(const std::string& bytes) {
  const auto field = [&](const char* box, size_t offset) {
    const size_t at = bytes.find(box) + offset;
    double value = 0;
    for (size_t i = at; i < at + 4; ++i) value = value * 256 + static_cast<uint8_t>(bytes.at(i));
    return value;
  };
  const double movieScale = field("mvhd", 16);
  return {field("mvhd", 20) / movieScale, field("tkhd", 24) / movieScale,
          field("mdhd", 20) / field("mdhd", 16)};
}

// What an output reported, read once it is destroyed: kStarted, kFinished or a failure's code.
constexpr int64_t kStarted = -1, kFinished = 0;
struct Reports : capture::RecordingOutputDelegate {
  Codes log;
  std::function<void()> onReport;  // on the encoder thread, after each report is logged

  void recordingOutputDidStart() override { report(kStarted); }
  void recordingOutputDidFinish() override { report(kFinished); }
  void recordingOutputDidFail(const capture::CaptureError& error) override { report(error.code); }
  void report(int64_t code) {
    log.push_back(code);
    if (onReport) onReport();
  }
};

class Mp4RecordingOutputTest : public ::testing::Test {
 protected:
  Mp4RecordingOutputTest() { silenceLogging(); }
  ~Mp4RecordingOutputTest() override {
    output_.reset();
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

  Mp4RecordingOutput& start(const fs::path& path, int width = 64, int height = 48) {
    reports_ = std::make_shared<Reports>();
    output_ =
        std::make_unique<Mp4RecordingOutput>(capture::RecordingOutputConfiguration{path}, reports_);
    output_->prepare(width, height);
    return *output_;
  }
  // Lets go of the output at once after its end; it still completes the file and reports.
  Codes end(capture::CaptureClock::duration at) {
    output_->endOfStream(base_ + at);
    output_.reset();
    return reports_->log;
  }

  fs::path directory_ = [] {
    std::string pattern = fs::temp_directory_path() / "darvo-ffmpeg-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category());
    return fs::path(pattern);
  }();
  fs::path file_ = directory_ / "segment.mp4";
  std::vector<uint32_t> pixels_ = std::vector<uint32_t>(64 * 48, 0xff0000);
  capture::PixelImage image_{reinterpret_cast<const uint8_t*>(pixels_.data()), 64, 48, 64 * 4};
  capture::CaptureClock::time_point base_ = capture::CaptureClock::now();
  std::shared_ptr<Reports> reports_;
  std::unique_ptr<Mp4RecordingOutput> output_;
};

TEST_F(Mp4RecordingOutputTest, WritesAFragmentedH264Mp4WhoseHeaderStatesItsLength) {
  Mp4RecordingOutput& output = start(file_);
  std::string fileAtStart;
  double seconds = 0;
  int64_t bytesWritten = 0;
  reports_->onReport = [&] {
    if (fileAtStart.empty()) fileAtStart = contents(file_);
    seconds = output.recordedDuration();
    bytesWritten = output.recordedFileSize();
  };
  output.submit(image_, base_);
  output.submit(image_, base_ + 500ms);
  ASSERT_EQ(end(3600ms), (Codes{kStarted, kFinished}));
  // Fragmented: the first frame is in the file, as a fragment of its own, once it has started.
  EXPECT_NE(fileAtStart.find("moof"), std::string::npos);

  // Idle, the last picture is written again every second. The second packet holds the first
  // picture to the end of the file's early first fragment.
  EXPECT_EQ(probe(file_, "packet=pts_time"),
            "0.000000\n0.066667\n0.500000\n1.500000\n2.500000\n3.500000\n3.600000\n");
  // Limited-range BT.709, in the stream and in the container.
  EXPECT_EQ(probe(file_,
                  "stream=codec_name,width,height,pix_fmt,color_range,color_space,"
                  "color_transfer,color_primaries"),
            "h264,64,48,yuv420p,tv,bt709,bt709,bt709\n");
  const std::string bytes = contents(file_);
  EXPECT_EQ(bytesWritten, static_cast<int64_t>(bytes.size()));
  const double length = 3.6 + 1.0 / 15;  // the last picture lasts one frame at 15 a second
  EXPECT_NEAR(seconds, length, 0.001);
  // Players that read from the start (browsers) take the length from the header.
  for (const double stated : headerSeconds(bytes)) EXPECT_NEAR(stated, length, 0.002);

  // A header it cannot read right is refused, not patched: here a track time scale of 0.
  const fs::path bad = directory_ / "bad.mp4";
  std::ofstream(bad) << std::string(bytes).replace(bytes.find("mdhd") + 16, 4, 4, '\0');
  const UniqueFd fd(open(bad.c_str(), O_RDWR));
  EXPECT_THROW(writeHeaderDuration(fd.get(), 90000, kTimeBase), std::system_error);
}

// Without an end, only the encoder thread's clock repeats the picture; destroyed, the output
// reports nothing and leaves what reached its fragments playable.
TEST_F(Mp4RecordingOutputTest, RepeatsWhileIdleAndLeavesAPlayableFileWhenCutShort) {
  Mp4RecordingOutput& output = start(file_);
  output.submit(image_, base_);
  for (int i = 0; i < 2500 && output.recordedDuration() <= 2.0; ++i) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_GT(output.recordedDuration(), 2.0);
  output_.reset();
  EXPECT_EQ(reports_->log, Codes{kStarted});
  EXPECT_TRUE(probe(file_, "packet=pts_time").starts_with("0.000000\n0.066667\n1.000000\n"));
}

TEST_F(Mp4RecordingOutputTest, NeverWritesThroughATakenPathAndReportsAnUncreatableOne) {
  std::ofstream(file_) << "keep";
  fs::create_symlink(directory_ / "target", directory_ / "link.mp4");
  const std::pair<fs::path, int64_t> cases[] = {
      {file_, capture::kFileExistsCode},
      {directory_ / "link.mp4", capture::kFileExistsCode},
      {directory_ / "no" / "dir.mp4", capture::kFileOpenCode}};
  for (const auto& [path, code] : cases) {
    start(path).submit(image_, base_);
    EXPECT_EQ(end(1s), Codes{code}) << path;
  }
  EXPECT_EQ(contents(file_), "keep");
  EXPECT_FALSE(fs::exists(directory_ / "target")) << "written through the link";
}

// The delegate lets go of the output in its report, on the output's own thread.
TEST_F(Mp4RecordingOutputTest, FinishesWithoutAFileWhenNoFrameCame) {
  start(file_);
  std::promise<void> released;
  reports_->onReport = [&] {
    output_.reset();
    released.set_value();
  };
  output_->endOfStream(base_ + 1s);
  ASSERT_EQ(released.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reports_->log, Codes{kFinished});
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(Mp4RecordingOutputTest, RefusesAndCountsFramesItCannotTake) {
  Mp4RecordingOutput& output = start(file_);
  // Held in its start report, the encoder thread takes no more frames from the queue.
  std::promise<void> started, release;
  reports_->onReport = [&, held = release.get_future().share()] {
    if (reports_->log.back() != kStarted) return;
    started.set_value();
    held.wait_for(10s);
  };
  output.submit(capture::PixelImage{}, base_);  // unreadable: costs the frame, not the recording
  output.submit(image_, base_);
  started.get_future().wait_for(10s);
  for (int i = 1; i <= Mp4RecordingOutput::kQueueCapacity; ++i) {
    EXPECT_TRUE(output.hasRoom()) << i;
    output.submit(image_, base_ + i * 100ms);
  }
  EXPECT_FALSE(output.hasRoom());
  output.submit(image_, base_ + 900ms);  // a caller that did not ask is refused too
  EXPECT_EQ(output.droppedFrames(), 3);
  release.set_value();
  EXPECT_EQ(end(1s), (Codes{kStarted, kFinished}));
  // Four frames, the first again to fill its early fragment, and the last again at the end.
  EXPECT_EQ(probe(file_, "packet=pts_time"),
            "0.000000\n0.066667\n0.100000\n0.200000\n0.300000\n1.000000\n");
}

// Where an image could not be converted, the next one's picture shows its changes too: libx264
// compares it with the picture queued before, not with the image dropped between them.
TEST_F(Mp4RecordingOutputTest, ShowsWhatChangedInAnImageItCouldNotConvert) {
  Mp4RecordingOutput& output = start(file_);
  output.submit(image_, base_);
  std::vector<uint32_t> patched = pixels_;
  for (int y = 16; y < 32; ++y) std::fill_n(patched.begin() + y * 64 + 16, 16, 0x00ff00);
  const capture::ImageArea patch{16, 16, 16, 16};
  capture::PixelImage broken{reinterpret_cast<const uint8_t*>(patched.data()), 64, 48, 64 * 4};
  broken.greenMask = broken.redMask;  // masks that overlap: unreadable
  broken.changedAreas = std::span(&patch, 1);
  output.submit(broken, base_ + 100ms);
  capture::PixelImage same = broken;
  same.greenMask = 0xff00;
  same.changedAreas = std::span<const capture::ImageArea>();  // as it was a moment ago
  output.submit(same, base_ + 200ms);
  ASSERT_EQ(end(1s), (Codes{kStarted, kFinished}));
  const auto pictures = decoded(file_, 64, 48);
  ASSERT_GE(pictures.size(), 3U);
  // Luma of limited-range BT.709: green 173, red 63.
  EXPECT_GT(static_cast<uint8_t>(pictures.back()[24 * 64 + 24]), 150);
  EXPECT_LT(static_cast<uint8_t>(pictures.back()[8 * 64 + 8]), 80);
}

// Long idle stretches, each picture flagged constant but where it changed, and now and then a
// small change of luma or of chroma alone: every decoded picture is the one encoded, within the
// quantiser's error, across keyframes. A macroblock wrongly flagged would keep its old colour.
TEST_F(Mp4RecordingOutputTest, DecodesAsEncodedAfterLongIdleStretchesWithSmallChanges) {
  constexpr int kWidth = 160, kHeight = 96, kPictures = 240;
  EncoderSettings settings;
  settings.keyframeInterval = 70;
  SegmentProgress progress;
  SegmentWriter writer(file_.string(), kWidth, kHeight, settings, progress);
  PicturePlanner planner(kWidth, kHeight, settings);
  const FramePtr pictures[2] = {allocatePicture(kWidth, kHeight), allocatePicture(kWidth, kHeight)};
  for (const FramePtr& picture : pictures) {
    for (int plane = 0; plane < 3; ++plane) {
      std::fill_n(picture->data[plane],
                  picture->linesize[plane] * (plane == 0 ? kHeight : kHeight / 2),
                  plane == 0 ? 90 : 128);
    }
  }
  std::vector<std::string> encoded;
  for (int index = 0; index < kPictures; ++index) {
    AVFrame& picture = *pictures[index % 2];
    const AVFrame* before = index == 0 ? nullptr : pictures[(index + 1) % 2].get();
    std::vector<capture::ImageArea> changed;
    if (before != nullptr) {
      for (int plane = 0; plane < 3; ++plane) {
        const int lines = plane == 0 ? kHeight : kHeight / 2;
        for (int y = 0; y < lines; ++y) {
          std::copy_n(before->data[plane] + y * before->linesize[plane], picture.linesize[plane],
                      picture.data[plane] + y * picture.linesize[plane]);
        }
      }
    }
    if (index % 30 == 15) {
      // The next macroblock: its luma, or (every other time) its chroma alone; reported with an
      // area that did not change.
      const int patch = index / 30;
      const capture::ImageArea area{(patch * 3 % 10) * 16, (patch % 6) * 16, 16, 16};
      changed = {area, {0, 80, kWidth, 16}};
      for (int plane = patch % 2 == 0 ? 0 : 1; plane < (patch % 2 == 0 ? 1 : 3); ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        for (int y = area.y >> shift; y < (area.y + area.height) >> shift; ++y) {
          std::fill_n(picture.data[plane] + y * picture.linesize[plane] + (area.x >> shift),
                      area.width >> shift, plane == 0 ? 30 + patch * 25 : 40 + plane * 50);
        }
      }
    }
    const auto time = base_ + index * 66ms;
    writer.encode(
        picture, index * kLatestFrameDuration,
        planner.next(std::span<const capture::ImageArea>(changed), before, picture, time));
    std::string planes;
    for (int plane = 0; plane < 3; ++plane) {
      const int shift = plane == 0 ? 0 : 1;
      for (int y = 0; y < kHeight >> shift; ++y) {
        planes.append(
            reinterpret_cast<const char*>(picture.data[plane] + y * picture.linesize[plane]),
            kWidth >> shift);
      }
    }
    encoded.push_back(std::move(planes));
  }
  writer.finish();
  const auto decodedPictures = decoded(file_, kWidth, kHeight);
  ASSERT_EQ(decodedPictures.size(), encoded.size());
  for (size_t index = 0; index < encoded.size(); ++index) {
    int worst = 0;
    for (size_t i = 0; i < encoded[index].size(); ++i) {
      worst = std::max(worst, std::abs(static_cast<uint8_t>(encoded[index][i]) -
                                       static_cast<uint8_t>(decodedPictures[index][i])));
    }
    EXPECT_LE(worst, 6) << "picture " << index;
  }
}

// libx264 would print about settings it cannot take, or take them: they are refused first.
TEST(X264EncoderTest, RefusesSettingsLibx264CannotTake) {
  const std::function<void(EncoderSettings&)> changes[] = {
      [](EncoderSettings& s) { s.preset = "quick"; },
      [](EncoderSettings& s) { s.largePicturePreset = ""; },
      [](EncoderSettings& s) { s.quantiser = 52; },
      [](EncoderSettings& s) { s.keyframeFinerSteps = -1; },
      [](EncoderSettings& s) { s.keyframeFinerSteps = s.quantiser + 1; },
      [](EncoderSettings& s) { s.keyframeInterval = 0; }};
  for (const auto& change : changes) {
    EncoderSettings settings;
    change(settings);
    EXPECT_THROW(X264Encoder(64, 48, settings, 90000), OutputFailure);
  }
  EncoderSettings finest;
  finest.quantiser = finest.keyframeFinerSteps;
  EXPECT_NO_THROW(X264Encoder(64, 48, finest, 90000));
}

// Needs root to mount a filesystem too small for one picture.
TEST_F(Mp4RecordingOutputTest, ReportsAFullDiskAsAFailure) {
  if (mount("tmpfs", directory_.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP();
  Mp4RecordingOutput& output = start(file_, 640, 480);
  std::vector<uint32_t> noise(640 * 480);  // noise does not compress
  uint32_t state = 1;
  for (uint32_t& pixel : noise) pixel = (state = state * 1664525U + 1013904223U) >> 8;
  output.submit({reinterpret_cast<const uint8_t*>(noise.data()), 640, 480, 640 * 4}, base_);
  EXPECT_EQ(end(1s), Codes{capture::kWriteCode});
  umount2(directory_.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace darvo::recording::output
