#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "encode/cpu_frame_reader.h"
#include "encode/video_encoder.h"

class ISVCEncoder;

namespace vn::encode {

// H.264 Constrained Baseline on the CPU with OpenH264: the last fallback of
// the encoder chain. Frames are read back to the CPU, converted to I420 and
// encoded; every NAL unit of the access unit goes out in Annex B form.
class SoftwareEncoder final : public IVideoEncoder {
 public:
  SoftwareEncoder();
  ~SoftwareEncoder() override;
  SoftwareEncoder(const SoftwareEncoder&) = delete;
  SoftwareEncoder& operator=(const SoftwareEncoder&) = delete;

  bool initialize(const capture::DeviceHandle& device, const EncoderConfig& config) override;
  bool encode(const capture::CapturedFrame& frame, EncodedFrame& out) override;
  void request_idr() override;
  void reconfigure_bitrate(uint32_t bitrate_bps) override;
  bool reconfigure_resolution(uint32_t width, uint32_t height) override;
  EncoderInfo info() const override;
  void shutdown() override;

 private:
  // Creates and opens the OpenH264 instance for the recorded settings; logs
  // and leaves no instance on failure.
  bool open_codec();
  void close_codec();
  void resize_buffers();
  // Converts the mapped picture into i420_; `view` is what the reader mapped.
  void convert(const capture::CpuPicture& view);

  ISVCEncoder* encoder_ = nullptr;
  std::unique_ptr<CpuFrameReader> reader_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t fps_ = 0;
  uint32_t bitrate_bps_ = 0;
  std::atomic<bool> idr_requested_{false};
  std::vector<uint8_t> bgra_;  // packed copy for sources smaller than the picture
  std::vector<uint8_t> i420_;
};

}  // namespace vn::encode
