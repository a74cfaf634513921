#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The records between desktop capture, the video encoders and the packetizer.
// Platform-neutral: Direct3D objects travel as opaque pointers that only the
// Windows files look into (see d3d11_interop_win.h).
namespace vn::encode {

// The graphics device that produced the captured frames and that encoders
// read them with.
struct DeviceHandle {
  enum class Kind : uint8_t {
    kNone,    // no device: initialize() refuses it
    kD3D11,   // `native` is an ID3D11Device*, owned by the capture
    kCpu,     // frames are CPU pictures; there is no GPU object
  };
  Kind kind = Kind::kNone;
  void* native = nullptr;

  static DeviceHandle cpu() { return {Kind::kCpu, nullptr}; }
  bool valid() const { return kind == Kind::kCpu || (kind == Kind::kD3D11 && native != nullptr); }
};

struct EncoderConfig {
  uint32_t width = 1920;
  uint32_t height = 1080;
  uint32_t fps = 60;                     // 0: the implementation's default
  uint32_t bitrate_bps = 30000000;       // 0: the implementation's default
  uint32_t max_bitrate_bps = 50000000;   // peak (NVENC); 0: 1.5 x bitrate_bps
  std::string codec = "h264";            // "h264", or "hevc"/"h265" where supported
  bool low_latency = true;               // tune for latency over quality
};

struct DirtyRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  bool operator==(const DirtyRect&) const = default;
};

// Byte order of a CPU picture's 4-byte pixels.
enum class PixelOrder : uint8_t { kBgra, kRgba };

// Pixels in memory, owned by the capture.
struct CpuPicture {
  const uint8_t* pixels = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t row_pitch = 0;  // bytes from one row to the next, >= width * 4
  PixelOrder order = PixelOrder::kBgra;
};

// One desktop image. Its pixels are owned by the capture and stay valid until
// the capture's next release_frame() or capture_frame().
struct CapturedFrame {
  void* texture = nullptr;  // Windows: ID3D11Texture2D* (BGRA, or RGBA on some outputs)
  CpuPicture picture;       // Linux: the picture in memory
  uint32_t frame_number = 0;  // frames delivered by this capture, from 1
  uint64_t timestamp_us = 0;  // capture time on now_us()
  uint32_t width = 0;         // size of the captured output
  uint32_t height = 0;
  bool is_new = false;        // false after a timeout without change
  std::vector<DirtyRect> dirty_rects;

  bool has_pixels() const { return texture != nullptr || picture.pixels != nullptr; }
};

struct EncodedFrame {
  std::vector<uint8_t> data;  // one access unit, Annex B (start codes included)
  uint32_t frame_number = 0;
  uint64_t capture_timestamp_us = 0;
  uint64_t encode_done_us = 0;  // only NVENC sets it
  bool key_frame = false;       // IDR (or I picture for the software encoder)
  uint32_t width = 0;           // the encoder's configured size
  uint32_t height = 0;
};

struct EncoderInfo {
  // Capability flags, 1 = yes.
  uint8_t h264 = 0;
  uint8_t hevc = 0;
  uint8_t av1 = 0;
  uint8_t reports_encode_time = 0;  // fills EncodedFrame::encode_done_us
  uint32_t max_width = 0;
  uint32_t max_height = 0;
  std::string name;
};

}  // namespace vn::encode
