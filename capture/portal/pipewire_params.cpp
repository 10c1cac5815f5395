#include "capture/portal/pipewire_params.hpp"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <vector>

namespace darvo::capture::portal {
namespace {

constexpr int kLongestSide = 16384;
constexpr int kMostDamageRegions = 16;

std::optional<StreamPixelOrder> orderOf(uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return StreamPixelOrder::bgrx;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return StreamPixelOrder::rgbx;
    default:
      return std::nullopt;
  }
}

ImageArea areaOf(const spa_region& region) {
  return {region.position.x, region.position.y, static_cast<int>(region.size.width),
          static_cast<int>(region.size.height)};
}

// SPA's builder macros are C: compound literals, which GCC allows in C++ as an extension.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"

// `fastest`: the most frames a second asked for; 0 for no limit.
const spa_pod* videoFormat(spa_pod_builder& builder, int fastest) {
  spa_rectangle size{320, 240};
  spa_rectangle smallest{1, 1};
  spa_rectangle largest{kLongestSide, kLongestSide};
  spa_fraction variable{0, 1};
  spa_fraction quickest{360, 1};
  spa_pod_frame object{};
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(
      &builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&variable, &variable, &quickest),
      0);
  if (fastest > 0) {
    spa_fraction most{static_cast<uint32_t>(fastest), 1};
    spa_fraction slowest{1, 1};
    spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_maxFramerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&most, &slowest, &most), 0);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

#pragma GCC diagnostic pop

}  // namespace

std::optional<VideoFormat> parseVideoFormat(const spa_pod* format) {
  uint32_t mediaType = 0;
  uint32_t mediaSubtype = 0;
  spa_video_info_raw raw{};
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_video_raw_parse(format, &raw) < 0) {
    return std::nullopt;
  }
  const auto order = orderOf(raw.format);
  if (!order || raw.size.width == 0 || raw.size.height == 0 || raw.size.width > kLongestSide ||
      raw.size.height > kLongestSide) {
    return std::nullopt;
  }
  return VideoFormat{*order, static_cast<int>(raw.size.width), static_cast<int>(raw.size.height)};
}

StreamBuffer describeBuffer(const spa_buffer& buffer, const uint8_t* pixels, int width, int height,
                            StreamPixelOrder order) {
  StreamBuffer view;
  view.width = width;
  view.height = height;
  view.order = order;
  if (buffer.n_datas < 1) return view;
  const spa_data& plane = buffer.datas[0];
  const spa_chunk& chunk = *plane.chunk;
  // The picture begins `offset` (modulo the plane's size) into the plane: no more than the rest
  // of it is read, whatever size the compositor claims.
  const uint32_t offset = plane.maxsize != 0 ? chunk.offset % plane.maxsize : 0;
  view.size = std::min(chunk.size, plane.maxsize - offset);
  view.data = pixels != nullptr ? pixels + offset : nullptr;
  view.stride = chunk.stride != 0 ? chunk.stride : width * 4;
  view.corrupted = (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) != 0;
  auto& mutableBuffer = const_cast<spa_buffer&>(buffer);  // SPA's lookups take no const
  if (const auto* crop = static_cast<const spa_meta_region*>(
          spa_buffer_find_meta_data(&mutableBuffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
      crop != nullptr && spa_meta_region_is_valid(crop)) {
    view.crop = areaOf(crop->region);
  }
  if (spa_meta* damage = spa_buffer_find_meta(&mutableBuffer, SPA_META_VideoDamage)) {
    std::vector<ImageArea> areas;
    spa_meta_region* region = nullptr;
    spa_meta_for_each(region, damage) {
      if (!spa_meta_region_is_valid(region)) break;
      areas.push_back(areaOf(region->region));
    }
    view.damage = std::move(areas);
  }
  return view;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"

FormatParams::FormatParams(int fastest) {
  spa_pod_builder builder =
      SPA_POD_BUILDER_INIT(storage_.data(), static_cast<uint32_t>(storage_.size()));
  pods_[count_++] = videoFormat(builder, fastest);
  pods_[count_++] = videoFormat(builder, 0);
}

BufferParams::BufferParams() {
  spa_pod_builder builder =
      SPA_POD_BUILDER_INIT(storage_.data(), static_cast<uint32_t>(storage_.size()));
  const int mappable = (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_DmaBuf);
  pods_[count_++] = static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                                 SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
                                 SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(mappable)));
  pods_[count_++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
  pods_[count_++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMostDamageRegions,
                               sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * kMostDamageRegions)));
  pods_[count_++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
}

#pragma GCC diagnostic pop

}  // namespace darvo::capture::portal
