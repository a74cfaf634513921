#include "audio/audio_pipeline.h"

namespace vn {

// No audio in this build: sessions stream video only.
std::unique_ptr<AudioPipeline> AudioPipeline::Create() { return nullptr; }

}  // namespace vn
