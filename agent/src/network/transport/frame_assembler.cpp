#include "network/transport/frame_assembler.h"

#include <sodium.h>

#include <algorithm>

namespace vn::network {
namespace {

constexpr size_t kFinishedMemory = 256;

}  // namespace

struct FrameAssembler::Pending {
  Pending(uint32_t id, uint16_t n) : frame_id(id), data_packets(n), decoder(n) {}
  uint32_t frame_id;
  uint16_t data_packets;
  ErasureDecoder decoder;
  bool key_frame = false;
  uint64_t timestamp_us = 0;
  uint16_t data_received = 0;
  size_t last_length = 0;  // payload bytes of data packet N-1, 0 while it is missing
};

FrameAssembler::FrameAssembler(std::span<const uint8_t, Encryption::kKeySize> video_key, size_t max_pending_frames)
    : max_pending_(std::max<size_t>(1, max_pending_frames)) {
  std::copy(video_key.begin(), video_key.end(), key_.begin());
}

FrameAssembler::~FrameAssembler() { sodium_memzero(key_.data(), key_.size()); }

bool FrameAssembler::finished(uint32_t frame_id) const {
  return std::find(finished_.begin(), finished_.end(), frame_id) != finished_.end();
}

void FrameAssembler::remember_finished(uint32_t frame_id) {
  finished_.push_back(frame_id);
  if (finished_.size() > kFinishedMemory) finished_.pop_front();
}

FrameAssembler::Result FrameAssembler::add_datagram(std::span<const uint8_t> datagram, Frame* completed) {
  if (datagram.size() < PacketHeader::kSize + Encryption::kTagSize) return Result::kRejected;
  const std::span<const uint8_t, PacketHeader::kSize> header_bytes(datagram.data(), PacketHeader::kSize);
  const auto sealed = datagram.subspan(PacketHeader::kSize);
  plaintext_.resize(sealed.size() - Encryption::kTagSize);
  if (!open_sealed_packet(key_, header_bytes, sealed, plaintext_.data())) return Result::kRejected;

  const PacketHeader header = *PacketHeader::parse(header_bytes);
  const uint32_t n = header.packet_count;
  if (header.stream_type != kStreamVideo || n == 0 || header.packet_index >= n + kMaxRepairBlocks ||
      plaintext_.empty() || plaintext_.size() > kSymbolSize) {
    return Result::kRejected;
  }
  if (finished(header.frame_id)) return Result::kDuplicate;

  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const auto& p) { return p->frame_id == header.frame_id; });
  if (it == pending_.end()) {
    if (pending_.size() == max_pending_) {
      remember_finished(pending_.front()->frame_id);
      pending_.pop_front();
      ++frames_given_up_;
    }
    pending_.push_back(std::make_unique<Pending>(header.frame_id, static_cast<uint16_t>(n)));
    it = std::prev(pending_.end());
  }
  if ((*it)->data_packets != n) return Result::kRejected;  // a frame has one packet count

  const Result result = add_to(**it, header, plaintext_, completed);
  if (result == Result::kFrameComplete) {
    remember_finished(header.frame_id);
    pending_.erase(it);
  }
  return result;
}

FrameAssembler::Result FrameAssembler::add_to(Pending& pending, const PacketHeader& header,
                                              std::span<const uint8_t> payload, Frame* completed) {
  const uint32_t n = pending.data_packets;
  const bool is_data = header.packet_index < n;
  const bool is_last = header.packet_index == n - 1;
  // Data packets before the last are whole blocks; repair packets always are.
  if ((!is_data || !is_last) && payload.size() != kSymbolSize) return Result::kRejected;
  if (is_last && (header.flags & kFlagLastData) == 0) return Result::kRejected;

  switch (pending.decoder.add_block(header.packet_index, payload)) {
    case ErasureDecoder::AddResult::kInvalid: return Result::kRejected;
    case ErasureDecoder::AddResult::kDuplicate: return Result::kDuplicate;
    case ErasureDecoder::AddResult::kAdded: break;
  }
  pending.key_frame = pending.key_frame || (header.flags & kFlagKeyFrame) != 0;
  if (is_data) {
    ++pending.data_received;
    if (header.packet_index == 0) pending.timestamp_us = header.timestamp_us;
    if (is_last) pending.last_length = payload.size();
  }

  if (pending.decoder.received_count() < n) return Result::kAccepted;
  const bool needed_repair = !pending.decoder.complete();
  if (!pending.decoder.decode()) return Result::kAccepted;  // a further repair packet may still do it

  if (completed != nullptr) {
    const auto message = pending.decoder.message();
    const size_t length = pending.last_length != 0 ? size_t{n - 1} * kSymbolSize + pending.last_length
                                                   : message.size();
    completed->frame_id = pending.frame_id;
    completed->key_frame = pending.key_frame;
    completed->capture_timestamp_us = pending.timestamp_us;
    completed->data_packets = static_cast<uint16_t>(n);
    completed->data_packets_received = pending.data_received;
    completed->rebuilt = needed_repair;
    completed->data.assign(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(length));
  }
  return Result::kFrameComplete;
}

}  // namespace vn::network
