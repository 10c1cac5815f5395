#include "recording/output/x264_encoder.hpp"

#include <cstdarg>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

extern "C" {
#include <x264.h>
}

#include "capture/capture.hpp"
#include "recording/output/output_failure.hpp"

namespace darvo::recording::output {
namespace {

// Nothing may reach standard error.
void dropLog(void* /*unused*/, int /*level*/, const char* /*format*/, va_list /*arguments*/) {}

bool isNamed(const char* const* names, std::string_view name) {
  for (; *names != nullptr; ++names) {
    if (name == *names) {
      return true;
    }
  }
  return false;
}

void validate(const EncoderSettings& settings) {
  // libx264 prints an unknown preset to standard error itself, before any logger of ours.
  for (const std::string& preset : {settings.preset, settings.largePicturePreset}) {
    if (!isNamed(x264_preset_names, preset)) {
      throw OutputFailure(capture::kEncoderCode, "unknown libx264 preset " + preset);
    }
  }
  const int keyframeQuantiser = settings.quantiser - settings.keyframeFinerSteps;
  if (settings.quantiser > 51 || keyframeQuantiser < 0 || keyframeQuantiser > settings.quantiser ||
      settings.keyframeInterval < 1) {
    throw OutputFailure(capture::kEncoderCode,
                        "quantisers must be in 0..51, keyframes no coarser, and the keyframe "
                        "interval positive");
  }
}

x264_param_t parameters(int width, int height, const EncoderSettings& settings, int timeBase) {
  validate(settings);
  const bool large = static_cast<int64_t>(width) * height > settings.largePictureArea;
  x264_param_t param;
  // zerolatency: no lookahead, no B-frames, slice threads only; every picture comes out of its
  // own encode call.
  if (x264_param_default_preset(&param,
                                (large ? settings.largePicturePreset : settings.preset).c_str(),
                                "zerolatency") < 0) {
    throw OutputFailure(capture::kEncoderCode, "libx264 refused its preset");
  }
  param.pf_log = &dropLog;
  param.i_log_level = X264_LOG_NONE;
  param.i_width = width;
  param.i_height = height;
  param.i_csp = X264_CSP_I420;
  param.i_threads = large ? settings.largePictureEncoderThreads : settings.encoderThreads;
  param.b_sliced_threads = 1;
  param.i_fps_num = 15;  // the nominal rate; timestamps carry the real one
  param.i_fps_den = 1;
  param.i_timebase_num = 1;
  param.i_timebase_den = timeBase;
  // The planner decides keyframes; libx264 adds none of its own.
  param.i_keyint_max = X264_KEYINT_MAX_INFINITE;
  param.i_scenecut_threshold = 0;
  // libx264 skips a macroblock flagged constant only without weighted prediction.
  param.analyse.i_weighted_pred = X264_WEIGHTP_NONE;
  param.analyse.i_subpel_refine = settings.subpixelRefinement;
  param.analyse.b_mb_info = 1;
  // Each picture's quantiser is forced, so CRF's own choice is never used; but under constant
  // QP libx264 switches adaptive quantisation off, and with it the quantiser offsets.
  param.rc.i_rc_method = X264_RC_CRF;
  param.rc.f_rf_constant = static_cast<float>(settings.quantiser);
  param.rc.i_qp_min = 0;
  param.rc.i_qp_max = 51;
  param.rc.i_aq_mode = X264_AQ_VARIANCE;
  // Limited-range BT.709, as the converter writes.
  param.vui.b_fullrange = 0;
  param.vui.i_colorprim = 1;
  param.vui.i_transfer = 1;
  param.vui.i_colmatrix = 1;
  param.b_repeat_headers = 0;  // SPS and PPS once, in the MP4's sample entry
  param.b_annexb = 1;
  return param;
}

}  // namespace

void X264EncoderDeleter::operator()(x264_t* encoder) const {
  x264_encoder_close(encoder);
}

X264Encoder::X264Encoder(int width, int height, const EncoderSettings& settings, int timeBase) {
  x264_param_t param = parameters(width, height, settings, timeBase);
  encoder_.reset(x264_encoder_open(&param));
  if (!encoder_) {
    throw OutputFailure(capture::kEncoderCode, "libx264 did not open for " + std::to_string(width) +
                                                   "x" + std::to_string(height));
  }
  x264_nal_t* units = nullptr;
  int count = 0;
  if (x264_encoder_headers(encoder_.get(), &units, &count) < 0) {
    throw OutputFailure(capture::kEncoderCode, "libx264 gave no parameter sets");
  }
  for (int i = 0; i < count; ++i) {
    if (units[i].i_type == NAL_SPS || units[i].i_type == NAL_PPS) {
      parameterSets_.insert(parameterSets_.end(), units[i].p_payload,
                            units[i].p_payload + units[i].i_payload);
    }
  }
}

EncodedPicture X264Encoder::encode(const AVFrame& picture, int64_t pts, const PicturePlan& plan) {
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  for (int plane = 0; plane < 3; ++plane) {
    in.img.plane[plane] = picture.data[plane];
    in.img.i_stride[plane] = picture.linesize[plane];
  }
  in.i_pts = pts;
  in.i_type = plan.keyframe ? X264_TYPE_IDR : X264_TYPE_P;
  in.i_qpplus1 = plan.quantiser + 1;
  // libx264 reads both arrays during this call and writes neither (no b_mb_info_update).
  in.prop.quant_offsets = const_cast<float*>(plan.quantiserOffsets.data());
  in.prop.mb_info = plan.constantMacroblocks.empty()
                        ? nullptr
                        : const_cast<uint8_t*>(plan.constantMacroblocks.data());
  x264_nal_t* units = nullptr;
  int count = 0;
  x264_picture_t out;
  const int size = x264_encoder_encode(encoder_.get(), &units, &count, &in, &out);
  if (size < 0) {
    throw OutputFailure(capture::kEncoderCode, "libx264 failed to encode a picture");
  }
  if (size == 0 || count == 0) {
    throw std::logic_error("libx264 held a picture back");
  }
  // libx264 keeps the payloads of one picture's NAL units one after the other.
  return {
      {units[0].p_payload, static_cast<size_t>(size)}, out.i_pts, out.i_dts, out.b_keyframe != 0};
}

}  // namespace darvo::recording::output
