#pragma once

#include <memory>

#include "encode/encoder_types.h"

namespace vn::encode {

// Brings captured frames to the CPU for the software encoder. Windows copies
// the Direct3D texture into a CPU-readable staging texture and maps it; Linux
// frames already are CPU pictures. Used by one encoder on the session thread.
class CpuFrameReader {
 public:
  static std::unique_ptr<CpuFrameReader> Create();
  virtual ~CpuFrameReader() = default;

  // Takes its own reference to `device` (and its immediate context). False,
  // logged, when the device cannot be read on this platform.
  virtual bool open(const capture::DeviceHandle& device) = 0;

  // Releases the device references and the staging resources. Harmless twice.
  virtual void close() = 0;

  // Forgets the staging resources so that the next map() makes new ones.
  virtual void reset() = 0;

  // Makes `frame`'s pixels readable in `view` until unmap(). False, logged,
  // on failure; then unmap() need not be called.
  virtual bool map(const capture::CapturedFrame& frame, capture::CpuPicture& view) = 0;
  virtual void unmap() = 0;
};

}  // namespace vn::encode
