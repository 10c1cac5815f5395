#include "capture/ffmpeg/ffmpeg_recording_output.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capture.hpp"
#include "ffmpeg_test_support.hpp"

namespace darvo::capture::ffmpeg {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::headerDurations;
using testing::jsonValue;
using testing::packetTimes;
using testing::probe;
using testing::SolidImage;
using testing::TemporaryDirectory;

// Records what the output reports. An optional hook runs inside recordingOutputDidStart.
class RecordingDelegate : public RecordingOutputDelegate {
 public:
  void recordingOutputDidStart() override {
    std::function<void()> hook;
    {
      const std::lock_guard lock(mutex_);
      ++starts_;
      hook = onStart;
    }
    if (hook) {
      hook();
    }
  }
  void recordingOutputDidFinish() override {
    const std::lock_guard lock(mutex_);
    ++finishes_;
    changed_.notify_all();
  }
  void recordingOutputDidFail(const CaptureError& error) override {
    const std::lock_guard lock(mutex_);
    failures_.push_back(error);
    changed_.notify_all();
  }

  // Waits for a finish or a failure; false when none came in time.
  bool waitForEnd(std::chrono::seconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [this] { return finishes_ + static_cast<int>(failures_.size()) > 0; });
  }
  int starts() const {
    const std::lock_guard lock(mutex_);
    return starts_;
  }
  int finishes() const {
    const std::lock_guard lock(mutex_);
    return finishes_;
  }
  std::vector<CaptureError> failures() const {
    const std::lock_guard lock(mutex_);
    return failures_;
  }

  std::function<void()> onStart;  // set before the first frame

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int starts_ = 0;
  int finishes_ = 0;
  std::vector<CaptureError> failures_;
};

class FfmpegRecordingOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { silenceLogging(); }

  std::unique_ptr<FfmpegRecordingOutput> makeOutput(const std::filesystem::path& path) {
    return std::make_unique<FfmpegRecordingOutput>(RecordingOutputConfiguration{path.string()},
                                                   delegate_);
  }

  // Submits like the capture thread does: only when there is room.
  static void submitWhenRoom(FfmpegRecordingOutput& output, const PixelImage& image,
                             CaptureClock::time_point at) {
    ASSERT_TRUE(eventually([&] { return output.hasRoom(); })) << "the queue never had room";
    output.submit(image, at);
  }

  static void expectOnlyFailure(const RecordingDelegate& delegate, int64_t code) {
    ASSERT_EQ(delegate.failures().size(), 1U);
    EXPECT_EQ(delegate.failures()[0].domain, kStreamErrorDomain);
    EXPECT_EQ(delegate.failures()[0].code, code);
    EXPECT_EQ(delegate.finishes(), 0);
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  TemporaryDirectory directory_;
  std::filesystem::path file_ = directory_.path() / "segment.mp4";
  const CaptureClock::time_point base_ = CaptureClock::now();
};

TEST_F(FfmpegRecordingOutputTest, WritesAFragmentedH264Mp4OfThePreparedSize) {
  double durationAtStart = 0;
  int64_t sizeAtStart = 0;
  auto output = makeOutput(file_);
  delegate_->onStart = [&, raw = output.get()] {
    durationAtStart = raw->recordedDuration();
    sizeAtStart = raw->recordedFileSize();
  };
  EXPECT_EQ(output->recordedDuration(), 0.0);
  output->prepare(320, 240);
  const uint32_t colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x808080};
  for (int i = 0; i < 30; ++i) {
    const SolidImage image(320, 240, colours[i % 5]);
    submitWhenRoom(*output, image.view(), base_ + i * 66667us);
  }
  output->endOfStream(base_ + 2s);
  ASSERT_TRUE(delegate_->waitForEnd());
  EXPECT_EQ(delegate_->starts(), 1);
  EXPECT_EQ(delegate_->finishes(), 1);
  EXPECT_TRUE(delegate_->failures().empty()) << output->failureReason();
  EXPECT_GT(durationAtStart, 0.0);
  EXPECT_GT(sizeAtStart, 0);

  const std::string streams = probe(file_, "stream=codec_name,width,height,pix_fmt");
  EXPECT_EQ(jsonValue(streams, "codec_name"), "h264");
  EXPECT_EQ(jsonValue(streams, "width"), "320");
  EXPECT_EQ(jsonValue(streams, "height"), "240");
  EXPECT_EQ(jsonValue(streams, "pix_fmt"), "yuv420p");
  const std::string format = probe(file_, "format=format_name,duration");
  EXPECT_NE(jsonValue(format, "format_name").value_or("").find("mp4"), std::string::npos);
  const double duration = std::stod(jsonValue(format, "duration").value_or("0"));
  EXPECT_NEAR(duration, 2.0, 0.1);
  EXPECT_NEAR(output->recordedDuration(), duration, 0.1);
  EXPECT_EQ(packetTimes(file_).size(), 31U);  // 30 frames and the last one again at the end
  // Players that read from the start (browsers) take the length from the header instead.
  const auto header = headerDurations(file_);
  EXPECT_EQ(header.size(), 3U) << "mvhd, tkhd and mdhd";
  for (const auto& [box, seconds] : header) {
    EXPECT_NEAR(seconds, duration, 0.002) << box;
  }

  EXPECT_EQ(output->recordedFileSize(), static_cast<int64_t>(std::filesystem::file_size(file_)));
  struct stat status {};
  ASSERT_EQ(stat(file_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600U);
  std::ifstream in(file_, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find("moof"), std::string::npos) << "not fragmented";
}

TEST_F(FfmpegRecordingOutputTest, RepeatsTheLastPictureEverySecondUpToTheEnd) {
  auto output = makeOutput(file_);
  output->prepare(64, 48);
  submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), base_);
  submitWhenRoom(*output, SolidImage(64, 48, 0x00ff00).view(), base_ + 500ms);
  output->endOfStream(base_ + 3600ms);
  ASSERT_TRUE(delegate_->waitForEnd());
  ASSERT_EQ(delegate_->finishes(), 1) << output->failureReason();

  // The second entry holds the first picture from the end of the file's first fragment.
  const std::vector<double> expected = {0.0, 1.0 / 15, 0.5, 1.5, 2.5, 3.5, 3.6};
  const std::vector<double> times = packetTimes(file_);
  ASSERT_EQ(times.size(), expected.size());
  for (size_t i = 0; i < times.size(); ++i) {
    EXPECT_NEAR(times[i], expected[i], 0.001) << "packet " << i;
  }
  EXPECT_NEAR(output->recordedDuration(), 3.6 + 1.0 / 15, 0.001);
}

TEST_F(FfmpegRecordingOutputTest, RepeatsTheLastPictureWhileIdleByTheClock) {
  auto output = makeOutput(file_);
  output->prepare(64, 48);
  submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), CaptureClock::now());
  // Nothing more comes: the repeat a second later must still lengthen the video.
  EXPECT_TRUE(eventually([&] { return output->recordedDuration() > 1.0; }, 1500ms));
  output->endOfStream(CaptureClock::now());
  ASSERT_TRUE(delegate_->waitForEnd());
  ASSERT_EQ(delegate_->finishes(), 1) << output->failureReason();
  const std::vector<double> times = packetTimes(file_);
  ASSERT_GE(times.size(), 3U);
  EXPECT_NEAR(times[2], 1.0, 0.01);
}

TEST_F(FfmpegRecordingOutputTest, NeverWritesThroughAnExistingPathOrLink) {
  const std::filesystem::path target = directory_.path() / "target";
  const std::filesystem::path link = directory_.path() / "link.mp4";
  std::ofstream(file_) << "keep";
  std::ofstream(target) << "keep too";
  std::filesystem::create_symlink(target, link);

  for (const auto& path : {file_, link}) {
    delegate_ = std::make_shared<RecordingDelegate>();
    auto output = makeOutput(path);
    output->prepare(64, 48);
    submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), base_);
    ASSERT_TRUE(delegate_->waitForEnd()) << path;
    EXPECT_FALSE(output->hasRoom()) << "a failed output still takes frames";
    output->endOfStream(base_ + 1s);
    output.reset();  // joins the encoder thread: every report is in
    expectOnlyFailure(*delegate_, kFileExistsCode);
    EXPECT_EQ(delegate_->starts(), 0);
  }
  std::ifstream file(file_);
  std::ifstream linked(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "keep");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(linked), {}), "keep too");
}

TEST_F(FfmpegRecordingOutputTest, ReportsAPathThatCannotBeCreated) {
  auto output = makeOutput(directory_.path() / "missing" / "segment.mp4");
  output->prepare(64, 48);
  submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), base_);
  ASSERT_TRUE(delegate_->waitForEnd());
  output->endOfStream(base_ + 1s);
  output.reset();
  expectOnlyFailure(*delegate_, kFileOpenCode);
  EXPECT_FALSE(std::filesystem::exists(directory_.path() / "missing"));
}

// libx264 and FFmpeg print nothing, neither for settings they refuse nor when they run.
TEST_F(FfmpegRecordingOutputTest, RefusesEncoderSettingsLibx264DoesNotKnowSilently) {
  const std::filesystem::path errors = directory_.path() / "stderr.txt";
  testing::StandardErrorCapture capture(errors);
  const auto withPreset = [](const char* preset, const char* tune, int crf) {
    EncoderSettings settings;
    settings.preset = preset;
    settings.tune = tune;
    settings.crf = crf;
    return settings;
  };
  EncoderSettings badLargePreset;
  badLargePreset.largePicturePreset = "no-such-preset";  // refused even for a small picture
  const EncoderSettings cases[] = {withPreset("no-such-preset", "zerolatency", 23),
                                   withPreset("veryfast", "film+no-such-tune", 23),
                                   withPreset("veryfast", "zerolatency", 99), badLargePreset};
  for (const EncoderSettings& settings : cases) {
    delegate_ = std::make_shared<RecordingDelegate>();
    auto output = std::make_unique<FfmpegRecordingOutput>(
        RecordingOutputConfiguration{file_.string()}, delegate_, settings);
    output->prepare(64, 48);
    submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), base_);
    ASSERT_TRUE(delegate_->waitForEnd());
    output.reset();
    expectOnlyFailure(*delegate_, kEncoderCode);
    EXPECT_FALSE(std::filesystem::exists(file_)) << "an empty file was left behind";
  }

  // Joined tunes that libx264 knows are accepted.
  delegate_ = std::make_shared<RecordingDelegate>();
  auto output = std::make_unique<FfmpegRecordingOutput>(
      RecordingOutputConfiguration{file_.string()}, delegate_,
      withPreset("ultrafast", "fastdecode,zerolatency", 30));
  output->prepare(64, 48);
  submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), base_);
  output->endOfStream(base_ + 100ms);
  ASSERT_TRUE(delegate_->waitForEnd());
  EXPECT_EQ(delegate_->finishes(), 1) << output->failureReason();
  output.reset();
  capture.restore();
  EXPECT_EQ(std::filesystem::file_size(errors), 0U) << "something was printed";
}

// libx264 writes its options into the stream: subme=2 is veryfast's, subme=1 superfast's.
TEST_F(FfmpegRecordingOutputTest, LargePicturesTakeTheFasterPreset) {
  for (const bool large : {false, true}) {
    const std::filesystem::path file = directory_.path() / (large ? "large.mp4" : "small.mp4");
    EncoderSettings settings;
    if (large) {
      settings.largePictureArea = 64 * 48 - 1;
    }
    delegate_ = std::make_shared<RecordingDelegate>();
    auto output = std::make_unique<FfmpegRecordingOutput>(
        RecordingOutputConfiguration{file.string()}, delegate_, settings);
    output->prepare(64, 48);
    submitWhenRoom(*output, SolidImage(64, 48, 0xff0000).view(), base_);
    output->endOfStream(base_ + 100ms);
    ASSERT_TRUE(delegate_->waitForEnd());
    ASSERT_EQ(delegate_->finishes(), 1) << output->failureReason();
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(bytes.find(large ? " subme=1 " : " subme=2 "), std::string::npos) << large;
  }
}

TEST_F(FfmpegRecordingOutputTest, FinishesWithoutAFileWhenNoFrameCame) {
  auto output = makeOutput(file_);
  output->prepare(64, 48);
  output->endOfStream(base_);
  ASSERT_TRUE(delegate_->waitForEnd());
  output.reset();
  EXPECT_EQ(delegate_->finishes(), 1);
  EXPECT_TRUE(delegate_->failures().empty());
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(FfmpegRecordingOutputTest, LetterboxesAFrameOfAnotherSize) {
  auto output = makeOutput(file_);
  output->prepare(320, 240);
  submitWhenRoom(*output, SolidImage(320, 240, 0xff0000).view(), base_);
  submitWhenRoom(*output, SolidImage(320, 120, 0x00ff00).view(), base_ + 100ms);  // wide
  output->endOfStream(base_ + 200ms);
  ASSERT_TRUE(delegate_->waitForEnd());
  ASSERT_EQ(delegate_->finishes(), 1) << output->failureReason();

  const std::vector<uint8_t> rgb = testing::lastPictureRgb(file_, 320, 240);
  ASSERT_FALSE(rgb.empty()) << "the file did not decode";
  const auto pixel = [&](int x, int y) { return &rgb[(static_cast<size_t>(y) * 320 + x) * 3]; };
  for (const int y : {10, 230}) {  // the bars above and below
    EXPECT_LT(pixel(160, y)[0], 30);
    EXPECT_LT(pixel(160, y)[1], 30);
    EXPECT_LT(pixel(160, y)[2], 30);
  }
  const uint8_t* centre = pixel(160, 120);
  EXPECT_LT(centre[0], 60);
  EXPECT_GT(centre[1], 200);
  EXPECT_LT(centre[2], 60);
}

TEST_F(FfmpegRecordingOutputTest, RefusesFramesWhileTheQueueIsFull) {
  // Holding the encoder thread inside the start report lets the queue fill up.
  std::mutex mutex;
  std::condition_variable changed;
  bool inStart = false;
  bool release = false;
  auto output = makeOutput(file_);  // after what its thread uses, so it goes first
  delegate_->onStart = [&] {
    std::unique_lock lock(mutex);
    inStart = true;
    changed.notify_all();
    changed.wait_for(lock, 10s, [&] { return release; });
  };
  output->prepare(64, 48);
  const SolidImage image(64, 48, 0x0000ff);
  output->submit(image.view(), base_);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return inStart; }));
  }
  for (int i = 1; i <= FfmpegRecordingOutput::kQueueCapacity; ++i) {
    ASSERT_TRUE(output->hasRoom()) << "frame " << i;
    output->submit(image.view(), base_ + i * 100ms);
  }
  EXPECT_FALSE(output->hasRoom());
  output->submit(image.view(), base_ + 900ms);  // a caller that did not ask is refused too
  EXPECT_EQ(output->droppedFrames(), 2);
  {
    const std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  output->endOfStream(base_ + 1s);
  ASSERT_TRUE(delegate_->waitForEnd());
  ASSERT_EQ(delegate_->finishes(), 1) << output->failureReason();
  // Four frames, the first again to fill its early fragment, and the last again at the end.
  EXPECT_EQ(packetTimes(file_).size(), 6U);
}

TEST_F(FfmpegRecordingOutputTest, DropsUnusableInputAndFailsOnABadSize) {
  auto output = makeOutput(file_);
  const SolidImage image(64, 48, 0xff0000);
  EXPECT_FALSE(output->hasRoom()) << "room before prepare";
  output->submit(image.view(), base_);  // before prepare
  output->prepare(64, 48);
  PixelImage broken = image.view();
  broken.data = nullptr;
  output->submit(broken, base_);
  EXPECT_EQ(output->droppedFrames(), 3);
  submitWhenRoom(*output, image.view(), base_ + 100ms);
  output->endOfStream(base_ + 200ms);
  ASSERT_TRUE(delegate_->waitForEnd());
  EXPECT_EQ(delegate_->finishes(), 1) << output->failureReason();
  EXPECT_EQ(packetTimes(file_).size(), 3U);

  const std::filesystem::path odd = directory_.path() / "odd.mp4";
  delegate_ = std::make_shared<RecordingDelegate>();
  output = makeOutput(odd);
  output->prepare(321, 240);
  ASSERT_TRUE(delegate_->waitForEnd());
  output->endOfStream(base_);
  output.reset();
  expectOnlyFailure(*delegate_, kEncoderCode);
  EXPECT_FALSE(std::filesystem::exists(odd));
}

TEST_F(FfmpegRecordingOutputTest, DestroyedMidwayLeavesAPlayableFileAndAfterItsEndACompleteOne) {
  for (const bool endRequested : {false, true}) {
    const std::filesystem::path file = directory_.path() / (endRequested ? "ended.mp4" : "cut.mp4");
    delegate_ = std::make_shared<RecordingDelegate>();
    auto output = makeOutput(file);
    output->prepare(160, 120);
    for (int i = 0; i < 30; ++i) {
      const SolidImage image(160, 120, i % 2 == 0 ? 0xff0000 : 0x0000ff);
      submitWhenRoom(*output, image.view(), base_ + i * 66667us);
    }
    if (endRequested) {
      output->endOfStream(base_ + 3s);  // and let go at once, as a replaced segment's owner does
    } else {
      ASSERT_TRUE(eventually([&] { return output->recordedDuration() > 1.99; }));
    }
    output.reset();
    EXPECT_TRUE(delegate_->failures().empty());
    EXPECT_EQ(jsonValue(probe(file, "stream=codec_name"), "codec_name"), "h264");
    const double duration =
        std::stod(jsonValue(probe(file, "format=duration"), "duration").value_or("0"));
    const auto header = headerDurations(file);
    EXPECT_EQ(header.size(), 3U);
    for (const auto& [box, seconds] : header) {
      EXPECT_NEAR(seconds, endRequested ? duration : 0.0, 0.002) << box << " of a cut file";
    }
    if (endRequested) {
      EXPECT_EQ(delegate_->finishes(), 1);
      EXPECT_NEAR(duration, 3.0, 0.1);
    } else {
      EXPECT_EQ(delegate_->finishes(), 0);
      EXPECT_GE(packetTimes(file).size(), 15U) << "less than the first second is readable";
    }
  }
}

// A filesystem too small for the video; needs root to mount it, skipped otherwise.
class FfmpegRecordingOutputFullDiskTest : public FfmpegRecordingOutputTest {
 protected:
  void SetUp() override {
    FfmpegRecordingOutputTest::SetUp();
    mountPoint_ = directory_.path() / "small";
    std::filesystem::create_directory(mountPoint_);
    if (mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, "size=200k") != 0) {
      GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      umount2(mountPoint_.c_str(), MNT_DETACH);
    }
  }

  std::filesystem::path mountPoint_;
  bool mounted_ = false;
};

TEST_F(FfmpegRecordingOutputFullDiskTest, ReportsFailureNotFinish) {
  auto output = makeOutput(mountPoint_ / "segment.mp4");
  output->prepare(640, 480);
  // Noise does not compress: a few frames are more than the filesystem holds.
  SolidImage noise(640, 480, 0);
  uint32_t state = 12345;
  for (int i = 0; i < 10 && delegate_->failures().empty(); ++i) {
    for (uint32_t& pixel : noise.pixels) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      pixel = state;
    }
    if (eventually([&] { return output->hasRoom() || !delegate_->failures().empty(); }, 2s) &&
        delegate_->failures().empty()) {
      output->submit(noise.view(), base_ + i * 200ms);
    }
  }
  output->endOfStream(base_ + 2s);
  ASSERT_TRUE(delegate_->waitForEnd());
  output.reset();
  expectOnlyFailure(*delegate_, kWriteCode);
}

}  // namespace
}  // namespace darvo::capture::ffmpeg
