#include "audio_counter.h"

#include <sodium.h>

#include "media_auth.h"

namespace vn::launcher {

AudioCounter::AudioCounter(const StreamKey& audio_key, const StreamKey& video_key, ViolationHandler on_violation)
    : audio_key_(audio_key), video_key_(video_key), on_violation_(std::move(on_violation)) {}

AudioCounter::~AudioCounter() {
  sodium_memzero(audio_key_.data(), audio_key_.size());
  sodium_memzero(video_key_.data(), video_key_.size());
}

bool AudioCounter::on_datagram(std::span<const uint8_t> datagram) {
  ++datagrams_;
  const auto header = open_datagram(audio_key_, datagram, scratch_);
  if (!header) {
    if (const auto video = open_datagram(video_key_, datagram, scratch_)) {
      on_violation_("video-sealed datagram on the audio port: " + describe(*video, scratch_.size()));
      return true;
    }
    ++auth_failures_;
    return false;
  }
  if (header->stream_type != network::kStreamAudio || header->packet_index != 0 || header->packet_count != 1 ||
      scratch_.empty()) {
    on_violation_("impossible audio packet: " + describe(*header, scratch_.size()));
    return true;
  }
  ++packets_;
  payload_bytes_ += scratch_.size();
  return true;
}

}  // namespace vn::launcher
