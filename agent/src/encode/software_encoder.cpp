#include "encode/software_encoder.h"

#include <spdlog/spdlog.h>
#include <wels/codec_api.h>

#include <algorithm>
#include <cstring>

#include "encode/i420_convert.h"
#include "encode/openh264_params.h"

namespace vn::encode {
namespace {

constexpr uint32_t kDefaultFps = 30;
constexpr uint32_t kDefaultBitrate = 8000000;
// 1280 x 720 x 30: more pixels per second than this strains a CPU encoder.
constexpr uint32_t kHeavyPixelRate = 27648000;

}  // namespace

void fill_openh264_params(SEncParamExt& params, uint32_t width, uint32_t height, uint32_t fps,
                          uint32_t bitrate_bps) {
  params.iUsageType = CAMERA_VIDEO_REAL_TIME;
  params.iPicWidth = static_cast<int>(width);
  params.iPicHeight = static_cast<int>(height);
  params.iTargetBitrate = static_cast<int>(bitrate_bps);
  params.iRCMode = RC_BITRATE_MODE;
  params.fMaxFrameRate = static_cast<float>(fps);
  params.iTemporalLayerNum = 1;
  params.iSpatialLayerNum = 1;
  SSpatialLayerConfig& layer = params.sSpatialLayers[0];
  layer.iVideoWidth = static_cast<int>(width);
  layer.iVideoHeight = static_cast<int>(height);
  layer.fFrameRate = static_cast<float>(fps);
  layer.iSpatialBitrate = static_cast<int>(bitrate_bps);
  layer.uiProfileIdc = PRO_BASELINE;
  layer.uiLevelIdc = LEVEL_UNKNOWN;  // the library picks the level
  params.uiIntraPeriod = software_intra_period(fps);
  params.eSpsPpsIdStrategy = CONSTANT_ID;
  params.bPrefixNalAddingCtrl = false;
  params.bEnableFrameSkip = true;
}

SoftwareEncoder::SoftwareEncoder() : reader_(CpuFrameReader::Create()) {}

SoftwareEncoder::~SoftwareEncoder() { shutdown(); }

bool SoftwareEncoder::initialize(const capture::DeviceHandle& device, const EncoderConfig& config) {
  if (!device.valid()) return false;
  shutdown();
  if (!reader_->open(device)) return false;

  width_ = config.width;
  height_ = config.height;
  fps_ = config.fps != 0 ? config.fps : kDefaultFps;
  bitrate_bps_ = config.bitrate_bps != 0 ? config.bitrate_bps : kDefaultBitrate;
  if (width_ * height_ * fps_ > kHeavyPixelRate) {
    spdlog::warn("SoftwareEncoder: {}x{}@{} is heavy for CPU encoding; expect reduced frame rate (720p30 recommended)",
                 width_, height_, fps_);
  }
  if (!open_codec()) {
    shutdown();
    return false;
  }
  resize_buffers();
  spdlog::info("SoftwareEncoder: OpenH264 ready, {}x{} @ {} fps, {} kbps", width_, height_, fps_,
               bitrate_bps_ / 1000);
  return true;
}

bool SoftwareEncoder::open_codec() {
  if (WelsCreateSVCEncoder(&encoder_) != 0 || encoder_ == nullptr) {
    spdlog::error("SoftwareEncoder: WelsCreateSVCEncoder failed");
    encoder_ = nullptr;
    return false;
  }
  SEncParamExt params;
  std::memset(&params, 0, sizeof(params));
  encoder_->GetDefaultParams(&params);
  fill_openh264_params(params, width_, height_, fps_, bitrate_bps_);
  const int result = encoder_->InitializeExt(&params);
  if (result != 0) {
    spdlog::error("SoftwareEncoder: InitializeExt failed ({})", result);
    close_codec();
    return false;
  }
  int format = videoFormatI420;
  encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  return true;
}

void SoftwareEncoder::close_codec() {
  if (encoder_ == nullptr) return;
  encoder_->Uninitialize();
  WelsDestroySVCEncoder(encoder_);
  encoder_ = nullptr;
}

void SoftwareEncoder::resize_buffers() {
  i420_.assign(I420Layout::of(width_, height_).total_size(), 0);
  bgra_.clear();  // made on demand, see convert()
}

void SoftwareEncoder::convert(const capture::CpuPicture& view) {
  if (view.width >= width_ && view.height >= height_) {
    // The source covers the picture: convert straight from its rows; pixels
    // right of and below the configured size are not read.
    convert_to_i420(view.pixels, view.row_pitch, view.order, width_, height_, i420_.data());
    return;
  }
  // A smaller source: its rows land in a packed picture of the configured
  // size whose uncovered part keeps what it held.
  const size_t packed_pitch = size_t{width_} * 4;
  if (bgra_.size() != packed_pitch * height_) bgra_.assign(packed_pitch * height_, 0);
  const size_t row_bytes = std::min<size_t>(view.row_pitch, packed_pitch);
  const uint32_t rows = std::min(view.height, height_);
  for (uint32_t row = 0; row < rows; ++row) {
    std::memcpy(bgra_.data() + row * packed_pitch, view.pixels + size_t{row} * view.row_pitch, row_bytes);
  }
  convert_to_i420(bgra_.data(), packed_pitch, view.order, width_, height_, i420_.data());
}

bool SoftwareEncoder::encode(const capture::CapturedFrame& frame, EncodedFrame& out) {
  if (encoder_ == nullptr || !frame.has_pixels()) return false;
  capture::CpuPicture view;
  if (!reader_->map(frame, view)) return false;
  convert(view);
  reader_->unmap();

  if (idr_requested_.exchange(false)) encoder_->ForceIntraFrame(true);

  const I420Layout layout = I420Layout::of(width_, height_);
  SSourcePicture picture;
  std::memset(&picture, 0, sizeof(picture));
  picture.iColorFormat = videoFormatI420;
  picture.iPicWidth = static_cast<int>(width_);
  picture.iPicHeight = static_cast<int>(height_);
  picture.iStride[0] = static_cast<int>(layout.width);
  picture.iStride[1] = static_cast<int>(layout.chroma_width);
  picture.iStride[2] = static_cast<int>(layout.chroma_width);
  picture.pData[0] = i420_.data();
  picture.pData[1] = i420_.data() + layout.luma_size();
  picture.pData[2] = i420_.data() + layout.luma_size() + layout.chroma_size();
  picture.uiTimeStamp = static_cast<long long>(frame.timestamp_us / 1000);

  SFrameBSInfo bitstream;
  std::memset(&bitstream, 0, sizeof(bitstream));
  if (encoder_->EncodeFrame(&picture, &bitstream) != 0 || bitstream.eFrameType == videoFrameTypeSkip) {
    out.data.clear();
    return false;
  }

  out.data.clear();
  for (int l = 0; l < bitstream.iLayerNum; ++l) {
    const SLayerBSInfo& layer = bitstream.sLayerInfo[l];
    size_t offset = 0;
    for (int n = 0; n < layer.iNalCount; ++n) {
      const int length = layer.pNalLengthInByte[n];
      if (length < 1) break;
      out.data.insert(out.data.end(), layer.pBsBuf + offset, layer.pBsBuf + offset + length);
      offset += static_cast<size_t>(length);
    }
  }
  out.frame_number = frame.frame_number;
  out.capture_timestamp_us = frame.timestamp_us;
  out.key_frame = bitstream.eFrameType == videoFrameTypeIDR || bitstream.eFrameType == videoFrameTypeI;
  out.width = width_;
  out.height = height_;
  return !out.data.empty();
}

void SoftwareEncoder::request_idr() { idr_requested_.store(true); }

void SoftwareEncoder::reconfigure_bitrate(uint32_t bitrate_bps) {
  if (encoder_ == nullptr || bitrate_bps == 0) return;
  bitrate_bps_ = bitrate_bps;
  SBitrateInfo bitrate{SPATIAL_LAYER_ALL, static_cast<int>(bitrate_bps)};
  if (encoder_->SetOption(ENCODER_OPTION_BITRATE, &bitrate) != 0) {
    spdlog::warn("SoftwareEncoder: bitrate change to {} bps rejected", bitrate_bps);
  }
}

bool SoftwareEncoder::reconfigure_resolution(uint32_t width, uint32_t height) {
  if (encoder_ == nullptr || width == 0 || height == 0) return false;
  width_ = width;
  height_ = height;
  close_codec();
  reader_->reset();
  if (!open_codec()) return false;
  resize_buffers();
  return true;
}

EncoderInfo SoftwareEncoder::info() const {
  EncoderInfo info;
  info.h264 = 1;
  info.max_width = 1920;
  info.max_height = 1080;
  info.name = "OpenH264 (software)";
  return info;
}

void SoftwareEncoder::shutdown() {
  close_codec();
  reader_->close();
}

}  // namespace vn::encode
