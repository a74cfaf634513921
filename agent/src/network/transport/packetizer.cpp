#include "network/transport/packetizer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vn::network {
namespace {

constexpr float kKeyFrameMinimumRatio = 0.05f;

// ceilf(product) as a 16-bit count, saturating instead of overflowing.
uint16_t ceil_to_u16(float product) {
  const float rounded = std::ceil(product);
  if (!(rounded > 0.0f)) return 0;
  if (rounded >= 65535.0f) return 65535;
  return static_cast<uint16_t>(rounded);
}

PacketHeader frame_header(const VideoFrameBytes& frame, uint32_t data_packets) {
  PacketHeader header;
  header.stream_type = kStreamVideo;
  header.frame_id = frame.frame_number;
  header.packet_count = static_cast<uint16_t>(data_packets);
  return header;
}

}  // namespace

uint16_t Packetizer::repair_count(uint32_t data_packets, uint32_t repair_ratio, bool key_frame) {
  if (data_packets <= 1) return 0;
  const float ratio = static_cast<float>(repair_ratio) / 10000.0f;
  const auto n = static_cast<float>(data_packets);
  uint32_t repair = 0;
  if (key_frame) {
    repair = ceil_to_u16(n * std::max(kKeyFrameMinimumRatio, ratio));
    repair = std::max<uint32_t>(repair, 2);
  } else {
    repair = ceil_to_u16(n * ratio);
  }
  repair = std::min(repair, data_packets);
  return static_cast<uint16_t>(std::min<uint32_t>(repair, kMaxRepairBlocks));
}

void Packetizer::packetize(const VideoFrameBytes& frame, std::vector<Packet>& out) {
  const size_t length = frame.data.size();
  if (length == 0) return;
  const size_t data_packets = (length + kSymbolSize - 1) / kSymbolSize;
  if (data_packets > kMaxBlocks) {
    spdlog::error("Packetizer: frame {} too large ({} bytes -> {} packets > 0xFFFF) — dropping", frame.frame_number,
                  length, data_packets);
    return;
  }
  const auto n = static_cast<uint32_t>(data_packets);
  uint32_t repair = repair_count(n, repair_ratio(), frame.key_frame);
  if (n + repair > kMaxBlocks) {
    spdlog::error("Packetizer: num_packets({}) + repair_packets({}) exceeds uint16 range — clamping repair to {}", n,
                  repair, kMaxBlocks - n);
    repair = kMaxBlocks - n;
  }
  out.reserve(out.size() + n + repair);

  const uint8_t key_flag = frame.key_frame ? kFlagKeyFrame : 0;
  for (uint32_t k = 0; k < n; ++k) {
    Packet packet;
    packet.header = frame_header(frame, n);
    packet.header.packet_index = static_cast<uint16_t>(k);
    packet.header.flags = static_cast<uint8_t>(key_flag | (k == n - 1 ? kFlagLastData : 0));
    packet.header.timestamp_us = k == 0 ? frame.capture_timestamp_us : 0;
    const size_t begin = size_t{k} * kSymbolSize;
    const size_t end = std::min(begin + kSymbolSize, length);
    packet.payload.assign(frame.data.begin() + static_cast<std::ptrdiff_t>(begin),
                          frame.data.begin() + static_cast<std::ptrdiff_t>(end));
    out.push_back(std::move(packet));
  }
  if (repair == 0) return;

  const uint8_t repair_flags = static_cast<uint8_t>(kFlagRepair | key_flag);
  const size_t message_length = size_t{n} * kSymbolSize;
  message_.assign(message_length, 0);
  std::memcpy(message_.data(), frame.data.data(), length);

  if (!encoder_.create(message_.data(), message_length, kSymbolSize)) {
    spdlog::warn("Packetizer: FEC encoder create failed (N={}) -- naive fallback", n);
    const Packet& last = out.back();
    for (uint32_t i = 0; i < repair; ++i) {
      Packet packet;
      packet.header = frame_header(frame, n);
      packet.header.packet_index = static_cast<uint16_t>(n + i);
      packet.header.flags = repair_flags;
      packet.header.repair_index = static_cast<uint8_t>(n - 1);
      packet.payload = last.payload;
      out.push_back(std::move(packet));
    }
    return;
  }

  encoder_.precompute(0, repair);
  block_.resize(kSymbolSize);
  for (uint32_t i = 0; i < repair; ++i) {
    size_t written = 0;
    const int result = encoder_.encode(n + i, block_.data(), block_.size(), &written);
    if (result != ErasureEncoder::kOk) {
      spdlog::debug("Packetizer: repair symbol {} skipped: {}", n + i, result);
      continue;
    }
    Packet packet;
    packet.header = frame_header(frame, n);
    packet.header.packet_index = static_cast<uint16_t>(n + i);
    packet.header.flags = repair_flags;
    packet.header.repair_index = static_cast<uint8_t>(i);
    packet.payload.assign(block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(written));
    out.push_back(std::move(packet));
  }
  encoder_.free();
}

}  // namespace vn::network
