#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "audio_counter.h"
#include "control_protocol.h"
#include "line_channel.h"
#include "media_receiver.h"
#include "options.h"
#include "summary.h"
#include "video_pipeline.h"

namespace vn::launcher {

// Exit codes of the launcher.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;     // connection, authentication, local set-up
inline constexpr int kExitUsage = 2;
inline constexpr int kExitViolation = 3;   // the agent broke the protocol
inline constexpr int kExitNoMedia = 4;     // no media within the duration + 5 s

// Where a session connects and listens. From the options for real use;
// tests pick free ports.
struct SessionEndpoints {
  std::string host;
  uint16_t tcp_port = 0;
  uint16_t video_local_port = 0;  // 0: any free port
  uint16_t audio_local_port = 0;
  uint16_t video_probe_port = 0;  // the agent's sending ports
  uint16_t audio_probe_port = 0;

  static SessionEndpoints from(const Options& options);
};

// One launcher session from connect to summary, on one thread (run()'s):
// connect and authenticate, probe and receive the media, report statistics
// every second, stop at the duration / frame limit / agent's close / Ctrl-C,
// end the session, print the summary.
class Session {
 public:
  Session(Options options, SessionEndpoints endpoints);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs to the end; returns the exit code. Progress and errors go to `err`,
  // the summary to `out`. Call once.
  int run(std::ostream& out, std::ostream& err);
  // Valid after run() once the handshake succeeded.
  const Summary& summary() const { return summary_; }

 private:
  void on_connected(const std::string& error);
  void on_line(std::string_view line);
  void on_channel_end(const std::string& reason, bool framing);
  void on_session_ready(const SessionKeys& keys);
  void on_tick();
  void report(uint64_t now);
  void request_key_frame();
  void violation(const std::string& message);
  void fail(int exit_code, const std::string& message);
  void finish(const std::string& reason);
  void build_summary();

  Options options_;
  SessionEndpoints endpoints_;
  std::ostream* err_ = nullptr;

  asio::io_context io_;  // first: outlives every object with handlers on it
  asio::signal_set signals_;
  asio::steady_timer tick_;
  LineChannel channel_;
  MediaReceiver media_;
  std::ofstream h264_file_;
  std::unique_ptr<VideoPipeline> video_;
  std::unique_ptr<AudioCounter> audio_;
  PingTracker pings_;

  bool ready_ = false;
  bool finishing_ = false;
  int fail_code_ = -1;
  std::string fail_message_;
  std::string end_reason_;
  uint64_t ready_us_ = 0;
  uint64_t first_media_us_ = 0;  // 0: none yet
  uint64_t end_us_ = 0;
  uint64_t last_report_us_ = 0;
  uint64_t decoded_at_report_ = 0;
  uint64_t last_idr_us_ = 0;
  uint64_t idr_requests_ = 0;
  double rtt_ms_ = -1;  // < 0: no pong yet
  uint64_t violations_ = 0;
  std::vector<std::string> violation_messages_;
  Summary summary_;
};

}  // namespace vn::launcher
