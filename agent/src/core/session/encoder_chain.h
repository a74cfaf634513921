#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encode/video_encoder.h"

namespace vn {

// One encoder the session may use, in the order they are tried.
struct EncoderCandidate {
  std::string class_name;     // for the set-up lines, e.g. "NvencEncoder"
  std::string fallback_line;  // warned when it does not initialise
  // Null when the encoder is not part of this build.
  std::function<std::unique_ptr<encode::IVideoEncoder>()> create;
};

// NVENC, AMF, then the software encoder.
std::vector<EncoderCandidate> default_encoder_chain();

// The first candidate that initialises on `device` with `config`, or null
// (logged critical) when none does. The others are destroyed on the way.
std::unique_ptr<encode::IVideoEncoder> open_first_encoder(const std::vector<EncoderCandidate>& chain,
                                                          const capture::DeviceHandle& device,
                                                          const encode::EncoderConfig& config);

}  // namespace vn
