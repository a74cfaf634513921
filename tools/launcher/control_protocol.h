#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "options.h"

// The launcher's side of the TCP control lines: what it writes, and reading
// what the agent writes back. Every line built here ends in one line feed;
// lines handed in are without it (a trailing carriage return is tolerated).
// Agent lines are untrusted: parsing never throws.
namespace vn::launcher {

using StreamKey = std::array<uint8_t, 32>;

// The three keys of session_ready; wiped on destruction.
struct SessionKeys {
  StreamKey video{};
  StreamKey audio{};
  StreamKey input{};
  SessionKeys() = default;
  SessionKeys(const SessionKeys&) = default;
  SessionKeys& operator=(const SessionKeys&) = default;
  ~SessionKeys();
};

std::string auth_line(const Options& options);
std::string ping_line(uint64_t ts);
std::string command_line(std::string_view type);  // {"type":...}: request_idr, end_session

struct StatsReport {
  double rtt_ms = 0;
  double packet_loss_pct = 0;
  double decoded_fps = 0;
  double jitter_ms = 0;
};
std::string stats_line(const StatsReport& stats);

// The agent's answer to auth.
struct HandshakeReply {
  enum class Kind {
    kReady,       // keys filled
    kAgentError,  // the agent named an error ("code" or "error" key); detail holds it
    kInvalid,     // anything else; detail says what was wrong
  };
  Kind kind = Kind::kInvalid;
  SessionKeys keys;
  std::string detail;
};
HandshakeReply parse_handshake_reply(std::string_view line);

// One line after session_ready.
struct AgentLine {
  enum class Kind {
    kPong,       // ts set
    kBadPong,    // a pong whose ts is missing or not an unsigned integer
    kOther,      // a JSON object of another type (ignored)
    kNotObject,  // not JSON, or not an object
  };
  Kind kind = Kind::kNotObject;
  uint64_t ts = 0;
  std::string type;
};
AgentLine parse_agent_line(std::string_view line);

// The pings in flight. Pongs come back in ping order; a pong answers its ping
// and every older one still waiting (those replies were lost). Keeps the
// newest `capacity` pings; older ones are forgotten.
class PingTracker {
 public:
  explicit PingTracker(size_t capacity = 64) : capacity_(capacity) {}
  void sent(uint64_t ts);
  // True when `ts` is a ping still waiting; it and the older ones stop waiting.
  bool answer(uint64_t ts);
  size_t waiting() const { return waiting_.size(); }

 private:
  size_t capacity_;
  std::deque<uint64_t> waiting_;  // oldest first
};

}  // namespace vn::launcher
