#pragma once

#include <cstdint>

#include "encode/encoder_types.h"

namespace vn::encode {

// A video encoder of the session. Called from the session thread, except
// request_idr(), which may come from any thread.
class IVideoEncoder {
 public:
  // Implementations shut down first, then release their device objects.
  virtual ~IVideoEncoder() = default;

  // Opens the codec for `config` on the capture's `device`. An invalid device
  // yields false. On failure the reason is logged and the encoder stays shut
  // down; initialize() may be called again.
  virtual bool initialize(const capture::DeviceHandle& device, const EncoderConfig& config) = 0;

  // Encodes one picture into `out`. True only when out.data is not empty;
  // false means nothing to send for this frame (not open, no pixels, a skipped
  // picture, or a logged error) and leaves `out` as it was when nothing was
  // attempted.
  virtual bool encode(const capture::CapturedFrame& frame, EncodedFrame& out) = 0;

  // The next encode() produces an IDR picture. Thread-safe; several requests
  // before one encode() yield one IDR.
  virtual void request_idr() = 0;

  // New target bitrate in bits per second without a restart; 0 or a closed
  // encoder is ignored. Outcomes are logged.
  virtual void reconfigure_bitrate(uint32_t bitrate_bps) = 0;

  // Re-opens the encoder at a new picture size, other settings kept. False on
  // a closed encoder, a zero size or a failure.
  virtual bool reconfigure_resolution(uint32_t width, uint32_t height) = 0;

  // Pure; callable before initialize().
  virtual EncoderInfo info() const = 0;

  // Closes the codec and releases what initialize() acquired. Harmless twice
  // and on an encoder that never opened.
  virtual void shutdown() = 0;
};

}  // namespace vn::encode
