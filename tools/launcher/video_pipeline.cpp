#include "video_pipeline.h"

#include <sodium.h>

#include <algorithm>

#include "media_auth.h"

namespace vn::launcher {
namespace {

// Capture-to-complete samples beyond this are clock mismatches (agent on
// another host), not latencies.
constexpr uint64_t kMaxLatencyUs = 60'000'000;

}  // namespace

VideoPipeline::VideoPipeline(const StreamKey& video_key, const StreamKey& audio_key, double drop_pct, uint64_t seed,
                             std::ostream* h264_out, Events events)
    : video_key_(video_key),
      audio_key_(audio_key),
      assembler_(video_key_),
      h264_out_(h264_out),
      events_(std::move(events)),
      drop_probability_(std::clamp(drop_pct, 0.0, 100.0) / 100.0),
      random_(seed) {}

VideoPipeline::~VideoPipeline() {
  sodium_memzero(video_key_.data(), video_key_.size());
  sodium_memzero(audio_key_.data(), audio_key_.size());
}

bool VideoPipeline::on_datagram(std::span<const uint8_t> datagram, uint64_t now_us) {
  ++counters_.datagrams;
  counters_.bytes += datagram.size();
  const auto header = open_datagram(video_key_, datagram, scratch_);
  if (!header) {
    if (const auto audio = open_datagram(audio_key_, datagram, scratch_)) {
      events_.violation("audio-sealed datagram on the video port: " + describe(*audio, scratch_.size()));
      return true;
    }
    ++counters_.auth_failures;
    return false;
  }
  if (drop_probability_ > 0 && uniform_(random_) < drop_probability_) {
    ++counters_.dropped_simulated;
    return true;
  }

  switch (assembler_.add_datagram(datagram, &frame_)) {
    case network::FrameAssembler::Result::kRejected:
      ++counters_.rejected_authentic;
      events_.violation("impossible video packet: " + describe(*header, scratch_.size()));
      return true;
    case network::FrameAssembler::Result::kDuplicate:
      ++counters_.duplicates;
      loss_.on_packet(header->frame_id, header->packet_index, header->packet_count, now_us);
      return true;
    case network::FrameAssembler::Result::kAccepted:
      loss_.on_packet(header->frame_id, header->packet_index, header->packet_count, now_us);
      return true;
    case network::FrameAssembler::Result::kFrameComplete:
      loss_.on_packet(header->frame_id, header->packet_index, header->packet_count, now_us);
      loss_.on_complete(header->frame_id);
      on_frame(frame_, now_us);
      return true;
  }
  return true;
}

void VideoPipeline::on_frame(const network::FrameAssembler::Frame& frame, uint64_t now_us) {
  ++counters_.frames_complete;
  counters_.access_unit_bytes += frame.data.size();
  if (frame.rebuilt) ++counters_.frames_rebuilt;
  if (frame.key_frame) ++counters_.key_frames;
  if (h264_out_ != nullptr) {
    h264_out_->write(reinterpret_cast<const char*>(frame.data.data()), static_cast<std::streamsize>(frame.data.size()));
  }
  if (frame.capture_timestamp_us != 0) {
    if (now_us >= frame.capture_timestamp_us && now_us - frame.capture_timestamp_us <= kMaxLatencyUs) {
      latency_.add(now_us - frame.capture_timestamp_us);
    }
    jitter_.add(frame.capture_timestamp_us, now_us);
  }

  if (frame.key_frame) {
    chain_intact_ = true;
  } else if (!have_last_frame_ || frame.frame_id != last_frame_id_ + 1) {
    chain_intact_ = false;
  }
  have_last_frame_ = true;
  last_frame_id_ = frame.frame_id;

  if (decoder_.decode(frame.data, picture_)) {
    have_picture_ = true;
    ++counters_.frames_decoded;
    if (events_.frame_decoded) events_.frame_decoded();
    return;
  }
  if (!decoder_.refused()) return;  // a unit without a picture
  ++counters_.decode_refused;
  if (chain_intact_) {
    events_.violation("decoder refused frame " + std::to_string(frame.frame_id) + " (" +
                      std::to_string(frame.data.size()) + " bytes) with every reference present");
  }
  chain_intact_ = false;
  if (events_.need_key_frame) events_.need_key_frame();
}

void VideoPipeline::settle(uint64_t now_us) {
  if (loss_.settle(now_us) > 0 && events_.need_key_frame) events_.need_key_frame();
}

void VideoPipeline::finish(uint64_t now_us) {
  loss_.settle(now_us);
  loss_.discard_open();
}

}  // namespace vn::launcher
