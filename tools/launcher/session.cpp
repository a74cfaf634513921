#include "session.h"

#include <sodium.h>

#include <asio/post.hpp>
#include <csignal>

#include "core/base/clock.h"
#include "network/transport/erasure_code.h"
#include "network/transport/udp_sender.h"
#include "probe.h"

namespace vn::launcher {
namespace {

constexpr auto kTick = std::chrono::milliseconds(100);
constexpr uint64_t kReportIntervalUs = 1'000'000;
constexpr uint64_t kIdrSpacingUs = 500'000;
constexpr uint64_t kNoMediaGraceUs = 5'000'000;
constexpr auto kHandshakeLimit = std::chrono::seconds(20);
constexpr auto kCloseLimit = std::chrono::seconds(1);
constexpr size_t kKeptViolationMessages = 20;

uint64_t seconds_to_us(double seconds) { return static_cast<uint64_t>(seconds * 1e6); }

}  // namespace

SessionEndpoints SessionEndpoints::from(const Options& options) {
  SessionEndpoints endpoints;
  endpoints.host = options.host;
  endpoints.tcp_port = static_cast<uint16_t>(options.port_base + 3);
  endpoints.video_local_port = options.port_base;
  endpoints.audio_local_port = static_cast<uint16_t>(options.port_base + 1);
  endpoints.video_probe_port = kVideoLocalPort;
  endpoints.audio_probe_port = kAudioLocalPort;
  return endpoints;
}

Session::Session(Options options, SessionEndpoints endpoints)
    : options_(std::move(options)),
      endpoints_(std::move(endpoints)),
      signals_(io_),
      tick_(io_),
      channel_(io_),
      media_(io_) {}

Session::~Session() = default;

int Session::run(std::ostream& out, std::ostream& err) {
  err_ = &err;
  if (sodium_init() < 0 || !network::erasure_code_init()) {
    err << "launcher: cannot initialise libsodium / the erasure code\n";
    return kExitFailure;
  }
  if (!options_.h264_path.empty()) {
    h264_file_.open(options_.h264_path, std::ios::binary | std::ios::trunc);
    if (!h264_file_) {
      err << "launcher: cannot open " << options_.h264_path << " for writing\n";
      return kExitFailure;
    }
  }
  std::string error;
  if (!media_.open(endpoints_.video_local_port, endpoints_.audio_local_port, error)) {
    err << "launcher: " << error << "\n";
    return kExitFailure;
  }

  signals_.add(SIGINT);
  signals_.add(SIGTERM);
  signals_.async_wait([this](const asio::error_code& e, int) {
    if (!e) finish("interrupted");
  });
  const auto timeout = std::chrono::milliseconds(static_cast<int64_t>(options_.connect_timeout_s * 1000));
  channel_.connect(endpoints_.host, endpoints_.tcp_port, timeout,
                   [this](const std::string& connect_error) { on_connected(connect_error); });
  io_.run();

  if (!ready_) {
    err << "launcher: " << (fail_message_.empty() ? end_reason_ : fail_message_) << "\n";
    return fail_code_ >= 0 ? fail_code_ : kExitFailure;
  }
  build_summary();
  out << summary_text(summary_);
  if (!options_.summary_json_path.empty()) {
    std::ofstream json(options_.summary_json_path, std::ios::trunc);
    json << summary_json(summary_) << "\n";
    json.close();
    if (!json) err << "launcher: cannot write " << options_.summary_json_path << "\n";
  }
  return summary_.exit_code;
}

void Session::on_connected(const std::string& error) {
  if (!error.empty()) {
    fail(kExitFailure, error);
    return;
  }
  channel_.send(auth_line(options_));
  channel_.start_reading([this](std::string_view line) { on_line(line); },
                         [this](const std::string& reason, bool framing) { on_channel_end(reason, framing); });
  tick_.expires_after(kHandshakeLimit);
  tick_.async_wait([this](const asio::error_code& e) {
    if (!e && !ready_) fail(kExitFailure, "no session_ready within 20 s");
  });
}

void Session::on_line(std::string_view line) {
  if (finishing_) return;
  if (!ready_) {
    const HandshakeReply reply = parse_handshake_reply(line);
    switch (reply.kind) {
      case HandshakeReply::Kind::kReady: on_session_ready(reply.keys); return;
      case HandshakeReply::Kind::kAgentError: fail(kExitFailure, "agent refused the session: " + reply.detail); return;
      case HandshakeReply::Kind::kInvalid: fail(kExitViolation, "invalid session_ready: " + reply.detail); return;
    }
    return;
  }
  const AgentLine parsed = parse_agent_line(line);
  switch (parsed.kind) {
    case AgentLine::Kind::kNotObject: violation("control line is not a JSON object"); break;
    case AgentLine::Kind::kBadPong: violation("pong without an unsigned integer ts"); break;
    case AgentLine::Kind::kOther: break;
    case AgentLine::Kind::kPong:
      if (!pings_.answer(parsed.ts)) {
        violation("pong for a ping never sent (ts " + std::to_string(parsed.ts) + ")");
        break;
      }
      rtt_ms_ = double(now_us() - parsed.ts) / 1000.0;
      break;
  }
}

void Session::on_channel_end(const std::string& reason, bool framing) {
  if (!ready_) {
    // The agent answers a bad token or auth line by closing without a word;
    // its error code (AUTH_REJECTED, ...) goes only to its backend.
    fail(kExitFailure, "no session_ready (" + reason + "): the agent rejected the handshake");
    return;
  }
  if (framing) violation(reason);
  finish(reason);
}

void Session::on_session_ready(const SessionKeys& keys) {
  ready_ = true;
  ready_us_ = now_us();
  last_report_us_ = ready_us_;
  VideoPipeline::Events events;
  events.violation = [this](const std::string& message) { violation(message); };
  events.need_key_frame = [this] { request_key_frame(); };
  events.frame_decoded = [this] {
    if (options_.frame_limit != 0 && video_->counters().frames_decoded >= options_.frame_limit) finish("frame limit");
  };
  video_ = std::make_unique<VideoPipeline>(keys.video, keys.audio, options_.drop_pct, options_.seed,
                                           h264_file_.is_open() ? &h264_file_ : nullptr, std::move(events));
  audio_ = std::make_unique<AudioCounter>(keys.audio, keys.video,
                                          [this](const std::string& message) { violation(message); });

  const asio::ip::address agent = channel_.remote_address();
  media_.start(MediaReceiver::kVideo, {agent, endpoints_.video_probe_port}, make_probe(keys.video),
               [this](std::span<const uint8_t> datagram) {
                 const uint64_t now = now_us();
                 const bool media = video_->on_datagram(datagram, now);
                 if (media && first_media_us_ == 0) first_media_us_ = now;
                 return media;
               });
  media_.start(MediaReceiver::kAudio, {agent, endpoints_.audio_probe_port}, make_probe(keys.audio),
               [this](std::span<const uint8_t> datagram) {
                 const bool media = audio_->on_datagram(datagram);
                 if (media && first_media_us_ == 0) first_media_us_ = now_us();
                 return media;
               });
  media_.send_probes();
  tick_.cancel();  // the handshake limit
  tick_.expires_after(kTick);
  tick_.async_wait([this](const asio::error_code& e) {
    if (!e) on_tick();
  });
}

void Session::on_tick() {
  if (finishing_) return;
  const uint64_t now = now_us();
  media_.send_probes();
  video_->settle(now);
  if (now - last_report_us_ >= kReportIntervalUs) report(now);
  if (first_media_us_ == 0 && now - ready_us_ >= seconds_to_us(options_.duration_s) + kNoMediaGraceUs) {
    finish("no media");
    return;
  }
  if (first_media_us_ != 0 && now - first_media_us_ >= seconds_to_us(options_.duration_s)) {
    finish("duration reached");
    return;
  }
  if (finishing_) return;
  tick_.expires_after(kTick);
  tick_.async_wait([this](const asio::error_code& e) {
    if (!e) on_tick();
  });
}

// Once a second: the stats of the last interval, then a ping.
void Session::report(uint64_t now) {
  const double elapsed_s = double(now - last_report_us_) / 1e6;
  const uint64_t decoded = video_->counters().frames_decoded;
  StatsReport stats;
  stats.rtt_ms = rtt_ms_ < 0 ? 0 : rtt_ms_;
  stats.packet_loss_pct = video_->loss().take_window().loss_pct();
  stats.decoded_fps = elapsed_s > 0 ? double(decoded - decoded_at_report_) / elapsed_s : 0;
  stats.jitter_ms = video_->jitter().jitter_ms();
  channel_.send(stats_line(stats));
  pings_.sent(now);
  channel_.send(ping_line(now));
  last_report_us_ = now;
  decoded_at_report_ = decoded;
}

void Session::request_key_frame() {
  const uint64_t now = now_us();
  if (finishing_ || (last_idr_us_ != 0 && now - last_idr_us_ < kIdrSpacingUs)) return;
  last_idr_us_ = now;
  if (channel_.send(command_line("request_idr"))) ++idr_requests_;
}

void Session::violation(const std::string& message) {
  ++violations_;
  if (violation_messages_.size() < kKeptViolationMessages) {
    violation_messages_.push_back(message);
    *err_ << "launcher: protocol violation: " << message << "\n";
  }
}

void Session::fail(int exit_code, const std::string& message) {
  if (fail_code_ < 0) {
    fail_code_ = exit_code;
    fail_message_ = message;
  }
  finish(message);
}

void Session::finish(const std::string& reason) {
  if (finishing_) return;
  finishing_ = true;
  end_reason_ = reason;
  end_us_ = now_us();
  tick_.cancel();
  signals_.cancel();
  media_.close();
  if (ready_ && channel_.is_open() && options_.end_session) {
    channel_.send(command_line("end_session"));
    channel_.close_gracefully(kCloseLimit, [this] { io_.stop(); });
    return;
  }
  channel_.close();
  asio::post(io_, [this] { io_.stop(); });
}

}  // namespace vn::launcher
