#include "loss_meter.h"

#include <algorithm>

namespace vn::launcher {

LossMeter::LossMeter(uint64_t settle_us, size_t max_open) : settle_us_(settle_us), max_open_(std::max<size_t>(1, max_open)) {}

void LossMeter::on_packet(uint32_t frame_id, uint32_t packet_index, uint32_t packet_count, uint64_t now_us) {
  if (any_closed_ && frame_id <= last_closed_) return;
  Tally& tally = open_[frame_id];
  if (tally.packet_count == 0) tally.packet_count = packet_count;
  tally.last_activity_us = now_us;
  if (packet_index >= tally.seen.size()) tally.seen.resize(size_t{packet_index} + 1, false);
  if (!tally.seen[packet_index]) {
    tally.seen[packet_index] = true;
    ++tally.received;
  }
  while (open_.size() > max_open_) {
    const auto oldest = open_.begin();
    close(oldest->first, oldest->second);
    open_.erase(oldest);
  }
}

void LossMeter::on_complete(uint32_t frame_id) {
  const auto it = open_.find(frame_id);
  if (it != open_.end()) it->second.complete = true;
}

uint64_t LossMeter::close(uint32_t frame_id, const Tally& tally) {
  uint64_t lost = 0;
  if (any_closed_ && frame_id > uint64_t{last_closed_} + 1) {
    const uint64_t never_seen = frame_id - last_closed_ - 1;
    lost += never_seen;
    for (Counts* c : {&totals_, &window_}) c->expected += never_seen;
  }
  const uint64_t expected = std::max<uint64_t>(tally.packet_count, tally.seen.size());
  if (!tally.complete) ++lost;
  for (Counts* c : {&totals_, &window_}) {
    c->expected += expected;
    c->received += tally.received;
    c->frames_closed += 1;
    c->frames_lost += lost;
  }
  any_closed_ = true;
  last_closed_ = frame_id;
  return lost;
}

uint64_t LossMeter::settle(uint64_t now_us) {
  uint64_t lost = 0;
  while (!open_.empty()) {
    const auto oldest = open_.begin();
    if (oldest->second.last_activity_us + settle_us_ > now_us) break;
    lost += close(oldest->first, oldest->second);
    open_.erase(oldest);
  }
  return lost;
}

LossMeter::Counts LossMeter::take_window() {
  const Counts window = window_;
  window_ = {};
  return window;
}

}  // namespace vn::launcher
