#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The record a desktop capture hands to the encoders: the picture (a Direct3D
// texture on Windows, pixels in memory on Linux) and what is known about it.
// Platform-neutral: Direct3D objects travel as opaque pointers that only the
// Windows files look into.
namespace vn::capture {

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

}  // namespace vn::capture
