#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vn::launcher {

// Counts video datagrams missing before the erasure code, frame by frame.
//
// A frame is expected to have max(N, highest packet index seen + 1)
// datagrams: every data packet plus the repair packets up to the highest one
// that arrived. Repair packets lost after the last one that arrived are
// invisible (the header does not announce R), so the loss is a lower bound
// when losses hit the tail. A frame id that never showed up between two
// frames that did counts as one expected, missing datagram and one lost frame.
//
// A frame is closed (counted) once no datagram of it arrived for `settle_us`;
// frames close in id order, so a frame still receiving holds back the newer
// ones. Datagrams of frames already closed are ignored. At most `max_open`
// frames are tracked; beyond that the oldest closes at once. Memory per open
// frame: one bit per packet index seen, at most 65790 bits.
class LossMeter {
 public:
  struct Counts {
    uint64_t expected = 0;  // datagrams
    uint64_t received = 0;  // distinct datagrams
    uint64_t frames_closed = 0;
    uint64_t frames_lost = 0;  // closed without completing, plus ids never seen
    double loss_pct() const { return expected == 0 ? 0.0 : 100.0 * double(expected - received) / double(expected); }
  };

  explicit LossMeter(uint64_t settle_us = 100'000, size_t max_open = 256);

  // An authentic, well-formed datagram of frame `frame_id` at `now_us`;
  // `packet_count` is the frame's N.
  void on_packet(uint32_t frame_id, uint32_t packet_index, uint32_t packet_count, uint64_t now_us);
  // The frame was rebuilt (it will not count as lost).
  void on_complete(uint32_t frame_id);

  // Closes the frames that settled by `now_us`; returns how many of them
  // (ids never seen included) were lost.
  uint64_t settle(uint64_t now_us);
  // Forgets frames that have not settled (the end of a session: their
  // datagrams may still be on the way).
  void discard_open() { open_.clear(); }

  // Counts of the frames closed since the previous call.
  Counts take_window();
  const Counts& totals() const { return totals_; }

 private:
  struct Tally {
    uint32_t packet_count = 0;
    uint64_t last_activity_us = 0;
    uint32_t received = 0;
    bool complete = false;
    std::vector<bool> seen;  // by packet index
  };
  uint64_t close(uint32_t frame_id, const Tally& tally);

  uint64_t settle_us_;
  size_t max_open_;
  std::map<uint32_t, Tally> open_;
  bool any_closed_ = false;
  uint32_t last_closed_ = 0;
  Counts totals_;
  Counts window_;
};

}  // namespace vn::launcher
