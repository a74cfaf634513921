#include "core/session/encoder_chain.h"

#include <spdlog/spdlog.h>

#include "encode/software_encoder.h"

namespace vn {

std::vector<EncoderCandidate> default_encoder_chain() {
  // The hardware encoders load their vendor runtimes at initialise time; until
  // they are built in, their slots report themselves unavailable and the
  // chain moves on exactly as on a machine without that GPU.
  return {
      {"NvencEncoder", "NVENC unavailable - trying AMD AMF", nullptr},
      {"AmfEncoder", "AMF unavailable - falling back to software H.264", nullptr},
      {"SoftwareEncoder", "", [] { return std::make_unique<encode::SoftwareEncoder>(); }},
  };
}

std::unique_ptr<encode::IVideoEncoder> open_first_encoder(const std::vector<EncoderCandidate>& chain,
                                                          const capture::DeviceHandle& device,
                                                          const encode::EncoderConfig& config) {
  for (size_t i = 0; i < chain.size(); ++i) {
    const EncoderCandidate& candidate = chain[i];
    // The first candidate announces itself; the later ones follow the
    // previous candidate's fallback line.
    if (i == 0) {
      spdlog::info("Agent session setup: constructing {}", candidate.class_name);
      spdlog::info("Agent session setup: calling {}::initialize", candidate.class_name);
    }
    std::unique_ptr<encode::IVideoEncoder> encoder = candidate.create ? candidate.create() : nullptr;
    if (encoder == nullptr) {
      spdlog::debug("Agent session setup: {} is not part of this build", candidate.class_name);
    } else if (encoder->initialize(device, config)) {
      spdlog::info("Agent session setup: encoder = {}", encoder->info().name);
      return encoder;
    } else {
      encoder.reset();
    }
    if (!candidate.fallback_line.empty()) spdlog::warn("{}", candidate.fallback_line);
  }
  spdlog::critical("No usable video encoder (NVENC and software both failed)");
  return nullptr;
}

}  // namespace vn
