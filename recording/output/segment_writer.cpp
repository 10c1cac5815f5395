#include "recording/output/segment_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <new>
#include <string_view>
#include <system_error>

extern "C" {
#include <libavutil/opt.h>
}

#include "capture/capture.hpp"
#include "recording/output/mp4_header.hpp"

namespace darvo::recording::output {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

std::string errnoText(int error) {
  return std::strerror(error);
}

// libx264 prints an unknown preset or tune to standard error itself, before FFmpeg's log
// callback is in place, so the names are checked here first.
void validateSettings(const EncoderSettings& settings) {
  constexpr std::string_view kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",
                                           "fast",      "medium",    "slow",     "slower",
                                           "veryslow",  "placebo"};
  constexpr std::string_view kTunes[] = {"film", "animation", "grain",      "stillimage",
                                         "psnr", "ssim",      "fastdecode", "zerolatency"};
  const auto known = [](const auto& names, std::string_view name) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
  };
  for (const std::string& preset : {settings.preset, settings.largePicturePreset}) {
    if (!preset.empty() && !known(kPresets, preset)) {
      throw OutputFailure(capture::kEncoderCode, "unknown libx264 preset " + preset);
    }
  }
  // Several tunes may be joined by ',' or '+'.
  std::string_view tunes = settings.tune;
  while (!tunes.empty()) {
    const size_t end = std::min(tunes.find_first_of(",+"), tunes.size());
    if (!known(kTunes, tunes.substr(0, end))) {
      throw OutputFailure(capture::kEncoderCode, "unknown libx264 tune " + settings.tune);
    }
    tunes.remove_prefix(std::min(end + 1, tunes.size()));
  }
  if (settings.crf < 0 || settings.crf > 51 || settings.keyframeInterval < 1 ||
      !(settings.keyframeQualityRatio >= 1)) {
    throw OutputFailure(capture::kEncoderCode,
                        "crf must be in 0..51, the keyframe interval positive and the keyframe "
                        "quality ratio at least 1");
  }
}

}  // namespace

SegmentWriter::SegmentWriter(const std::string& path, int width, int height,
                             const EncoderSettings& settings, SegmentProgress& progress)
    : path_(path), progress_(progress), packet_(av_packet_alloc()) {
  if (!packet_) {
    throw std::bad_alloc();
  }
  // The encoder first: when it cannot work, no empty file is left behind.
  openEncoder(width, height, settings);
  createFile();
  openMuxer();
}

void SegmentWriter::openEncoder(int width, int height, const EncoderSettings& settings) {
  validateSettings(settings);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) {
    throw OutputFailure(capture::kEncoderCode, "the libx264 encoder is not available");
  }
  encoder_.reset(avcodec_alloc_context3(codec));
  if (!encoder_) {
    throw std::bad_alloc();
  }
  encoder_->width = width;
  encoder_->height = height;
  encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder_->time_base = kTimeBase;
  encoder_->framerate = {15, 1};  // the nominal rate; timestamps carry the real one
  encoder_->gop_size = settings.keyframeInterval;
  encoder_->i_quant_factor = static_cast<float>(1 / settings.keyframeQualityRatio);
  encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // MP4 keeps SPS/PPS in the sample entry
  encoder_->color_range = AVCOL_RANGE_MPEG;
  encoder_->colorspace = AVCOL_SPC_BT709;
  encoder_->color_primaries = AVCOL_PRI_BT709;
  encoder_->color_trc = AVCOL_TRC_BT709;
  const std::string crf = std::to_string(settings.crf);
  const std::string x264Params = "subme=" + std::to_string(settings.subpixelRefinement);
  const bool large = static_cast<int64_t>(width) * height > settings.largePictureArea;
  const std::string& preset = large ? settings.largePicturePreset : settings.preset;
  encoder_->thread_count = large ? settings.largePictureEncoderThreads : settings.encoderThreads;
  const std::pair<const char*, const std::string*> options[] = {
      {"preset", &preset}, {"tune", &settings.tune}, {"crf", &crf}, {"x264-params", &x264Params}};
  for (const auto& [name, value] : options) {
    if (!value->empty() && av_opt_set(encoder_->priv_data, name, value->c_str(), 0) < 0) {
      throw OutputFailure(capture::kEncoderCode,
                          std::string("libx264 refused ") + name + " " + *value);
    }
  }
  const int result = avcodec_open2(encoder_.get(), codec, nullptr);
  if (result < 0) {
    throw OutputFailure(capture::kEncoderCode, "libx264 did not open: " + errorText(result));
  }
}

void SegmentWriter::createFile() {
  // O_EXCL: an existing file, or a symbolic link planted at the path, is never written through.
  // Read access for finish(), which reads the header back to write the duration into it.
  fd_ = UniqueFd(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd_) {
    const int error = errno;
    throw OutputFailure(error == EEXIST ? capture::kFileExistsCode : capture::kFileOpenCode,
                        "cannot create " + path_ + ": " + errnoText(error));
  }
}

void SegmentWriter::openMuxer() {
  AVFormatContext* muxer = nullptr;
  int result = avformat_alloc_output_context2(&muxer, nullptr, "mp4", nullptr);
  muxer_.reset(muxer);
  if (result < 0 || !muxer_) {
    throw OutputFailure(capture::kEncoderCode, "no MP4 muxer: " + errorText(result));
  }
  stream_ = avformat_new_stream(muxer_.get(), nullptr);
  if (stream_ == nullptr) {
    throw std::bad_alloc();
  }
  check(avcodec_parameters_from_context(stream_->codecpar, encoder_.get()), capture::kEncoderCode,
        "stream parameters");
  stream_->time_base = kTimeBase;

  AvBufferPtr buffer(static_cast<uint8_t*>(av_malloc(kIoBufferSize)));
  if (!buffer) {
    throw std::bad_alloc();
  }
  io_.reset(avio_alloc_context(buffer.get(), kIoBufferSize, 1, this, nullptr, &writeCallback,
                               &seekCallback));
  if (!io_) {
    throw std::bad_alloc();
  }
  static_cast<void>(buffer.release());  // io_ owns it now
  muxer_->pb = io_.get();
  muxer_->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;

  // Fragments of at most a second, so a killed process leaves a file playable to near its end.
  Dictionary options;
  av_dict_set(&options.entries, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  av_dict_set(&options.entries, "frag_duration", "1000000", 0);
  check(avformat_write_header(muxer_.get(), &options.entries), capture::kEncoderCode, "MP4 header");
  avio_flush(io_.get());
  check(0, capture::kWriteCode, "MP4 header");
}

void SegmentWriter::encode(AVFrame& frame, int64_t pts) {
  frame.pts = pts;
  check(avcodec_send_frame(encoder_.get(), &frame), capture::kEncoderCode, "encoding a frame");
  drainPackets();
}

void SegmentWriter::drainPackets() {
  while (true) {
    const int received = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return;
    }
    check(received, capture::kEncoderCode, "encoding a frame");
    const int64_t pts = packet_->pts;
    // The muxer replaces this by the distance to the next packet when it has one.
    packet_->duration = kLatestFrameDuration;
    packet_->stream_index = stream_->index;
    av_packet_rescale_ts(packet_.get(), kTimeBase, stream_->time_base);
    const int written = av_write_frame(muxer_.get(), packet_.get());
    av_packet_unref(packet_.get());
    check(written, capture::kWriteCode, "writing a packet");
    if (firstPts_ == AV_NOPTS_VALUE) {
      firstPts_ = pts;
    }
    endPts_ = std::max(endPts_, pts + kLatestFrameDuration);
    progress_.secondsWritten.store(static_cast<double>(endPts_ - firstPts_) / kTimeBase.den);
  }
}

void SegmentWriter::flushFragment() {
  check(av_write_frame(muxer_.get(), nullptr), capture::kWriteCode, "writing a fragment");
  avio_flush(io_.get());
  check(0, capture::kWriteCode, "writing a fragment");
}

void SegmentWriter::finish() {
  check(avcodec_send_frame(encoder_.get(), nullptr), capture::kEncoderCode, "draining the encoder");
  drainPackets();
  check(av_write_trailer(muxer_.get()), capture::kWriteCode, "writing the trailer");
  avio_flush(io_.get());
  check(0, capture::kWriteCode, "writing the trailer");
  // The header was written with duration 0, as it must be before any fragment; players that read
  // a file from its start take their length from it.
  try {
    writeHeaderDuration(fd_.get(), hasWrittenPackets() ? endPts_ - firstPts_ : 0, kTimeBase);
  } catch (const std::system_error& error) {
    throw OutputFailure(capture::kWriteCode, path_ + ": " + error.what());
  }
  if (::fsync(fd_.get()) != 0) {
    throw OutputFailure(capture::kWriteCode, "cannot sync " + path_ + ": " + errnoText(errno));
  }
  if (const int error = fd_.close(); error != 0) {
    throw OutputFailure(capture::kWriteCode, "cannot close " + path_ + ": " + errnoText(error));
  }
  syncDirectory();
}

void SegmentWriter::syncDirectory() const {
  std::filesystem::path directory = std::filesystem::path(path_).parent_path();
  if (directory.empty()) {
    directory = ".";
  }
  const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A directory we may not open cannot be synced; the file itself is.
  if (fd && ::fsync(fd.get()) != 0 && errno != EINVAL) {
    throw OutputFailure(capture::kWriteCode,
                        "cannot sync the directory of " + path_ + ": " + errnoText(errno));
  }
}

void SegmentWriter::check(int result, int64_t code, const char* what) const {
  if (ioErrno_ != 0) {
    throw OutputFailure(capture::kWriteCode,
                        std::string(what) + ": " + path_ + ": " + errnoText(ioErrno_));
  }
  if (result < 0 || (io_ && io_->error < 0)) {
    throw OutputFailure(code,
                        std::string(what) + ": " + errorText(result < 0 ? result : io_->error));
  }
}

int SegmentWriter::writeCallback(void* opaque, WriteData data, int size) {
  auto& self = *static_cast<SegmentWriter*>(opaque);
  int done = 0;
  while (done < size) {
    const ssize_t written = ::write(self.fd_.get(), data + done, size - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      // A write that takes nothing is a full disk too.
      self.ioErrno_ = written < 0 ? errno : ENOSPC;
      return AVERROR(self.ioErrno_);
    }
    done += static_cast<int>(written);
  }
  self.position_ += size;
  self.size_ = std::max(self.size_, self.position_);
  self.progress_.bytesWritten.store(self.size_);
  return size;
}

int64_t SegmentWriter::seekCallback(void* opaque, int64_t offset, int whence) {
  auto& self = *static_cast<SegmentWriter*>(opaque);
  if ((whence & AVSEEK_SIZE) != 0) {
    return self.size_;
  }
  const off_t position = ::lseek(self.fd_.get(), offset, whence & ~AVSEEK_FORCE);
  if (position < 0) {
    self.ioErrno_ = errno;
    return AVERROR(self.ioErrno_);
  }
  self.position_ = position;
  return position;
}

}  // namespace darvo::recording::output
