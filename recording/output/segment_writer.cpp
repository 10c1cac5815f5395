#include "recording/output/segment_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <span>
#include <system_error>

#include "capture/capture.hpp"
#include "recording/output/mp4_header.hpp"

namespace darvo::recording::output {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

std::string errnoText(int error) {
  return std::strerror(error);
}

}  // namespace

SegmentWriter::SegmentWriter(const std::string& path, int width, int height,
                             const EncoderSettings& settings, SegmentProgress& progress)
    // The encoder first: when it cannot work, no empty file is left behind.
    : path_(path),
      progress_(progress),
      encoder_(width, height, settings, kTimeBase.den),
      packet_(av_packet_alloc()) {
  if (!packet_) {
    throw std::bad_alloc();
  }
  createFile();
  openMuxer(width, height);
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

void SegmentWriter::openMuxer(int width, int height) {
  AVFormatContext* muxer = nullptr;
  const int result = avformat_alloc_output_context2(&muxer, nullptr, "mp4", nullptr);
  muxer_.reset(muxer);
  if (result < 0 || !muxer_) {
    throw OutputFailure(capture::kEncoderCode, "no MP4 muxer: " + errorText(result));
  }
  stream_ = avformat_new_stream(muxer_.get(), nullptr);
  if (stream_ == nullptr) {
    throw std::bad_alloc();
  }
  AVCodecParameters& parameters = *stream_->codecpar;
  parameters.codec_type = AVMEDIA_TYPE_VIDEO;
  parameters.codec_id = AV_CODEC_ID_H264;
  parameters.width = width;
  parameters.height = height;
  parameters.format = AV_PIX_FMT_YUV420P;
  parameters.color_range = AVCOL_RANGE_MPEG;
  parameters.color_space = AVCOL_SPC_BT709;
  parameters.color_primaries = AVCOL_PRI_BT709;
  parameters.color_trc = AVCOL_TRC_BT709;
  // The muxer turns the Annex B parameter sets into the sample entry's avcC, and each packet's
  // start codes into lengths.
  const std::span<const uint8_t> sets = encoder_.parameterSets();
  parameters.extradata =
      static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (parameters.extradata == nullptr) {
    throw std::bad_alloc();
  }
  std::copy(sets.begin(), sets.end(), parameters.extradata);
  parameters.extradata_size = static_cast<int>(sets.size());
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

void SegmentWriter::encode(const AVFrame& picture, int64_t pts, const PicturePlan& plan) {
  writePacket(encoder_.encode(picture, pts, plan));
}

void SegmentWriter::writePacket(const EncodedPicture& picture) {
  // The muxer copies what it keeps: the packet may borrow libx264's buffer.
  packet_->data = const_cast<uint8_t*>(picture.data.data());
  packet_->size = static_cast<int>(picture.data.size());
  packet_->pts = picture.pts;
  packet_->dts = picture.dts;
  packet_->flags = picture.keyframe ? AV_PKT_FLAG_KEY : 0;
  // The muxer replaces this by the distance to the next packet when it has one.
  packet_->duration = kLatestFrameDuration;
  packet_->stream_index = stream_->index;
  av_packet_rescale_ts(packet_.get(), kTimeBase, stream_->time_base);
  const int written = av_write_frame(muxer_.get(), packet_.get());
  av_packet_unref(packet_.get());
  check(written, capture::kWriteCode, "writing a packet");
  if (firstPts_ == AV_NOPTS_VALUE) {
    firstPts_ = picture.pts;
  }
  endPts_ = std::max(endPts_, picture.pts + kLatestFrameDuration);
  progress_.secondsWritten.store(static_cast<double>(endPts_ - firstPts_) / kTimeBase.den);
}

void SegmentWriter::flushFragment() {
  check(av_write_frame(muxer_.get(), nullptr), capture::kWriteCode, "writing a fragment");
  avio_flush(io_.get());
  check(0, capture::kWriteCode, "writing a fragment");
}

void SegmentWriter::finish() {
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
