// Real files written through libx264 and FFmpeg's MP4 muxer, read back with ffprobe and as bytes.
#include "recording/output/mp4_recording_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

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
#include "recording/output/mp4_header.hpp"

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
  EXPECT_EQ(probe(file_, "stream=codec_name,width,height,pix_fmt"), "h264,64,48,yuv420p\n");
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

TEST_F(Mp4RecordingOutputTest, FinishesWithoutAFileWhenNoFrameCame) {
  start(file_);
  EXPECT_EQ(end(1s), Codes{kFinished});
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
