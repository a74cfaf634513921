#pragma once

#include <cstdint>
#include <vector>

class ISVCDecoder;

namespace vn::test {

// A decoded picture as packed I420 (Y, then U, then V, each ceil(w/2) x ceil(h/2)).
struct DecodedPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> i420;
};

// OpenH264's decoder over whole Annex B access units.
class H264Decoder {
 public:
  H264Decoder();
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  bool ok() const { return decoder_ != nullptr; }
  // Decodes one access unit; true with `out` filled when a picture came out.
  bool decode(const std::vector<uint8_t>& access_unit, DecodedPicture& out);

 private:
  ISVCDecoder* decoder_ = nullptr;
};

// NAL unit types (low 5 bits of the byte after each start code), in order.
std::vector<int> nal_unit_types(const std::vector<uint8_t>& annex_b);

}  // namespace vn::test
