#include "core/session/streaming_session.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "core/base/clock.h"
#include "core/base/crash_handler.h"
#include "core/base/log_text.h"
#include "core/base/run_flag.h"

namespace vn {
namespace {

size_t io_worker_count() {
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 4);
}

}  // namespace

StreamingSession::StreamingSession(const SessionConfig& config, SessionBackend* backend, SessionFlags& flags,
                                   const SessionLoopOptions& options)
    : config_(config), agent_(config.agent), backend_(backend), flags_(flags), options_(options) {}

StreamingSession::~StreamingSession() {
  // The teardown has run unless set-up stopped half-way; these are harmless twice.
  restore_isolation();
  if (priority_) priority_->restore();
  if (audio_) audio_->stop();
  if (input_) input_->stop();
  if (server_) server_->stop();
  if (video_sender_) video_sender_->close();
  if (audio_sender_) audio_sender_->close();
  stop_workers();
}

bool StreamingSession::run() {
  if (!open_capture() || !open_encoder() || !handshake()) return false;

  if (backend_ != nullptr && !config_.session_id.empty()) {
    backend_->send_session_ready(config_.session_id, agent_.public_ip, agent_.port_base,
                                 static_cast<uint16_t>(agent_.port_base + 1),
                                 static_cast<uint16_t>(agent_.port_base + 2));
    spdlog::info("Sent session_ready to SaaS - handshake complete");
  }
  start_us_ = now_us();
  spdlog::info("Session established — keys ready");

  isolation_ = SessionIsolation::Create();
  if (isolation_ != nullptr) {
    isolation_->begin({agent_.hide_desktop, agent_.launch_steam, agent_.steam_app_id, agent_.steam_path});
    set_active_isolation(isolation_.get());
  } else if (agent_.hide_desktop || agent_.launch_steam) {
    spdlog::warn("SessionIsolation: not part of this build - the desktop is streamed as it is");
  }

  if (!open_media()) return false;
  start_control_and_workers();
  wait_for_probes();
  const FrameLoopTotals totals = stream();
  tear_down(totals);
  return true;
}

void StreamingSession::report_failure(SessionError code, const char* message, bool pause) {
  if (backend_ == nullptr || config_.session_id.empty()) return;
  backend_->send_error(code, message, config_.session_id);
  if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(options_.failure_pause_ms));
}

bool StreamingSession::open_capture() {
  capture_ = options_.make_capturer ? options_.make_capturer() : nullptr;
  if (capture_ == nullptr || !capture_->initialize() || !capture_->select_output(0)) {
    spdlog::critical("DXGI capture init failed");
    report_failure(SessionError::kCaptureInitFailed, "DXGI screen capture initialization failed.", true);
    capture_.reset();
    return false;
  }
  spdlog::info("DXGI capture initialized: {}x{}", capture_->width(), capture_->height());
  return true;
}

bool StreamingSession::open_encoder() {
  encoder_ = open_first_encoder(options_.encoders, capture_->device(), encoder_config_for(agent_));
  if (encoder_ == nullptr) {
    report_failure(SessionError::kEncoderInitFailed, "No usable video encoder on this machine.", true);
    capture_.reset();
    return false;
  }
  return true;
}

bool StreamingSession::handshake() {
  io_ = std::make_unique<asio::io_context>();
  const auto tcp_port = static_cast<uint16_t>(agent_.port_base + 3);
  spdlog::info("Waiting for launcher connection on TCP port {}...", tcp_port);
  server_ = std::make_unique<network::TcpControlServer>(*io_, config_.master_key, config_.token_sha256,
                                                        options_.tcp_timeouts);
  if (server_->handshake(tcp_port, [] { return !g_running.load(); })) return true;

  const SessionError code = server_->error_code();
  spdlog::critical("TCP handshake failed ({})", to_text(code));
  // The backend hears of it even without a session id: its launcher was turned away.
  if (backend_ != nullptr) backend_->send_error(code, "TCP handshake failed", config_.session_id);
  server_.reset();
  io_.reset();
  encoder_.reset();
  capture_.reset();
  return false;
}

bool StreamingSession::open_media() {
  video_encryption_.set_key(server_->video_key().data(), server_->video_key().size());

  const std::string destination = server_->udp_destination();
  if (destination.empty()) {
    spdlog::critical("Could not determine launcher IP");
    restore_isolation();
    // The backend heard session_ready: it must learn that the session is gone.
    report_failure(SessionError::kMediaSetupFailed, "Could not determine the launcher's UDP address.", false);
    return false;
  }
  spdlog::info("Sending streams to launcher at {}", destination);

  video_sender_ = std::make_unique<network::UdpSender>(*io_, destination, agent_.port_base, kVideoLocalPort);
  if (!video_sender_->open()) {
    spdlog::critical("Video UDP sender open failed");
    restore_isolation();
    report_failure(SessionError::kMediaSetupFailed, "The video UDP socket could not be opened.", false);
    return false;
  }

  packetizer_.set_repair_ratio(0);
  audio_encryption_.set_key(server_->audio_key().data(), server_->audio_key().size());
  audio_sender_ = std::make_unique<network::UdpSender>(*io_, destination, static_cast<uint16_t>(agent_.port_base + 1),
                                                       kAudioLocalPort);
  if (!audio_sender_->open()) {
    spdlog::warn("Audio UDP sender open failed — continuing without audio");
    audio_sender_.reset();
  }

  const std::vector<uint8_t>& video_key = server_->video_key();
  const std::vector<uint8_t>& audio_key = server_->audio_key();
  if (video_key.size() >= network::UdpSender::kProbeTokenSize) video_sender_->set_probe_token(video_key.data(), video_key.size());
  if (audio_sender_ && audio_key.size() >= network::UdpSender::kProbeTokenSize) {
    audio_sender_->set_probe_token(audio_key.data(), audio_key.size());
  }
  video_sender_->start_probe_listening();
  if (audio_sender_) audio_sender_->start_probe_listening();

  input_ = InputReceiver::Create(*io_);
  if (input_ == nullptr) spdlog::info("InputReceiver: not part of this build");
  if (input_ == nullptr || !input_->start(server_->input_key(), static_cast<uint16_t>(agent_.port_base + 2))) {
    spdlog::warn("Input receiver start failed — continuing without input");
    input_.reset();
  }

  audio_ = audio_sender_ ? AudioPipeline::Create() : nullptr;
  if (audio_sender_ && audio_ == nullptr) spdlog::info("Audio: loopback capture is not part of this build");
  const auto audio_sink = [this](const std::vector<network::Packet>& batch) { audio_sender_->enqueue(batch); };
  if (audio_ == nullptr || !audio_->start(audio_encryption_, audio_sink)) {
    spdlog::warn("Audio pipeline not available");
    audio_.reset();
  } else {
    spdlog::info("Audio pipeline started");
  }
  return true;
}

void StreamingSession::start_control_and_workers() {
  feedback_ = std::make_unique<SessionFeedback>(flags_, packetizer_);
  feedback_->reset();
  network::ControlCallbacks callbacks = feedback_->callbacks();
  server_->set_stats_callback(std::move(callbacks.stats));
  server_->set_command_callback(std::move(callbacks.command));
  server_->set_settings_callback(std::move(callbacks.settings));
  server_->start_control_loop();

  work_.emplace(asio::make_work_guard(*io_));
  const size_t count = io_worker_count();
  for (size_t i = 0; i < count; ++i) {
    workers_.emplace_back([io = io_.get()] {
      const ThreadCrashStack crash_stack;
      // A handler that throws must not take the process down; the worker
      // logs it and goes back to the queue.
      while (true) {
        try {
          io->run();
          return;
        } catch (const std::exception& e) {
          spdlog::error("Session I/O worker: unexpected exception: {}", e.what());
        }
      }
    });
  }
}

void StreamingSession::wait_for_probes() {
  spdlog::info("Waiting for UDP hole-punch probes from launcher...");
  const auto abort = [this] { return !g_running.load() || flags_.end_requested.load(); };
  if (video_sender_->wait_for_probe(options_.video_probe_wait_s, abort)) {
    spdlog::info("Video NAT traversal complete");
  } else {
    spdlog::warn("No valid video UDP probe after {}s - NAT hole-punch not established", options_.video_probe_wait_s);
  }
  if (audio_sender_ == nullptr) return;
  if (audio_sender_->wait_for_probe(options_.audio_probe_wait_s, abort)) {
    spdlog::info("Audio NAT traversal complete");
  } else {
    spdlog::warn("No valid audio UDP probe after {}s - audio may not reach launcher through NAT",
                 options_.audio_probe_wait_s);
  }
}

FrameLoopTotals StreamingSession::stream() {
  priority_ = StreamingPriority::Create();

  FrameLoopParts parts;
  parts.capture = capture_.get();
  parts.encoder = encoder_.get();
  parts.packetizer = &packetizer_;
  parts.encryption = &video_encryption_;
  parts.flags = &flags_;
  parts.send = [this](const std::vector<network::Packet>& batch) { video_sender_->enqueue(batch); };
  parts.launcher_connected = [this] { return server_->connected(); };
  parts.counters = [this] {
    MediaCounters c;
    c.video_bytes_sent = video_sender_->bytes_sent();
    c.video_packets_sent = video_sender_->packets_sent();
    c.video_send_errors = video_sender_->send_errors();
    c.input_events_applied = input_ ? input_->events_applied() : 0;
    c.audio_packets_sent = audio_ ? audio_->packets_sent() : 0;
    return c;
  };
  parts.take_bitrate_request = [this] { return feedback_->take_bitrate_request(); };

  FrameLoopSettings settings;
  settings.fps = agent_.fps;
  settings.max_duration_sec = agent_.max_duration_sec;
  settings.session_start_us = start_us_;
  FrameLoop loop(parts, settings);
  return loop.run(g_running);
}

void StreamingSession::tear_down(const FrameLoopTotals& totals) {
  spdlog::info("Session ending — cleaning up...");
  restore_isolation();
  if (priority_) priority_->restore();
  if (audio_) audio_->stop();
  if (input_) input_->stop();
  server_->stop();
  video_sender_->close();
  if (audio_sender_) audio_sender_->close();
  stop_workers();
  encoder_->shutdown();

  const uint64_t now = now_us();
  const uint64_t duration_s = now > start_us_ ? (now - start_us_) / 1'000'000 : 0;
  spdlog::info("Session stats: {} frames encoded, {}s duration, {} frames dropped (no key), {} pkts dropped (encrypt)",
               totals.frames_total, duration_s, totals.no_key_drops, totals.encrypt_drops);
  if (backend_ != nullptr && !config_.session_id.empty()) {
    backend_->send_session_ended(config_.session_id, "pipeline_ended", duration_s);
  }
  spdlog::info("Session {} ended cleanly", loggable(config_.session_id));
}

void StreamingSession::restore_isolation() {
  if (isolation_ == nullptr) return;
  isolation_->restore_once();
  set_active_isolation(nullptr);
}

void StreamingSession::stop_workers() {
  work_.reset();
  if (io_) io_->stop();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
}

}  // namespace vn
