#pragma once

#include <cstdint>
#include <vector>

class ISVCDecoder;

namespace vn::launcher {

// A decoded picture as packed I420 (Y, then U, then V, each ceil(w/2) x ceil(h/2)).
struct DecodedPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> i420;
};

// OpenH264's decoder over whole Annex B access units. One thread at a time.
class H264Decoder {
 public:
  H264Decoder();
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  bool ok() const { return decoder_ != nullptr; }
  // Decodes one access unit; true with `out` filled when a picture came out.
  // False either because the unit held no picture or because the decoder
  // refused it; refused() tells which.
  bool decode(const std::vector<uint8_t>& access_unit, DecodedPicture& out);
  // The last decode() hit a bitstream error (missing reference, corrupt
  // slice...); no picture is handed out then.
  bool refused() const { return refused_; }

 private:
  ISVCDecoder* decoder_ = nullptr;
  bool refused_ = false;
};

// NAL unit types (low 5 bits of the byte after each start code), in order.
std::vector<int> nal_unit_types(const std::vector<uint8_t>& annex_b);

}  // namespace vn::launcher
