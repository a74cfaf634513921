#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "audio/audio_pipeline.h"
#include "capture/desktop_capturer.h"
#include "core/host/streaming_priority.h"
#include "core/session/frame_loop.h"
#include "core/session/session_config.h"
#include "core/session/session_control.h"
#include "core/session/session_feedback.h"
#include "core/session/session_loop.h"
#include "encode/video_encoder.h"
#include "input/input_receiver.h"
#include "isolation/session_isolation.h"
#include "network/backend/session_backend.h"
#include "network/control/tcp_control_server.h"
#include "network/transport/encryption.h"
#include "network/transport/packetizer.h"
#include "network/transport/udp_sender.h"

namespace vn {

// One session from set-up to teardown: capture, encoder, the launcher's
// handshake, the media senders and the frame loop. A set-up failure is logged
// (and reported to the backend where that applies, after session_ready too)
// and ends run() early; the objects built so far are released in reverse
// order either way.
class StreamingSession {
 public:
  StreamingSession(const SessionConfig& config, SessionBackend* backend, SessionFlags& flags,
                   const SessionLoopOptions& options);
  ~StreamingSession();
  StreamingSession(const StreamingSession&) = delete;
  StreamingSession& operator=(const StreamingSession&) = delete;

  // True when the session reached streaming.
  bool run();

 private:
  bool open_capture();
  bool open_encoder();
  bool handshake();
  bool open_media();
  void start_control_and_workers();
  void wait_for_probes();
  FrameLoopTotals stream();
  void tear_down(const FrameLoopTotals& totals);
  void restore_isolation();
  void stop_workers();
  void report_failure(SessionError code, const char* message, bool pause);

  const SessionConfig& config_;
  const AgentConfig& agent_;
  SessionBackend* backend_;
  SessionFlags& flags_;
  const SessionLoopOptions& options_;
  uint64_t start_us_ = 0;

  // In creation order; released in reverse.
  std::unique_ptr<capture::DesktopCapturer> capture_;
  std::unique_ptr<encode::IVideoEncoder> encoder_;
  std::unique_ptr<asio::io_context> io_;
  std::unique_ptr<network::TcpControlServer> server_;
  std::unique_ptr<SessionIsolation> isolation_;
  network::Encryption video_encryption_;
  std::unique_ptr<network::UdpSender> video_sender_;
  network::Encryption audio_encryption_;
  std::unique_ptr<network::UdpSender> audio_sender_;
  std::unique_ptr<InputReceiver> input_;
  std::unique_ptr<AudioPipeline> audio_;
  network::Packetizer packetizer_;
  std::unique_ptr<SessionFeedback> feedback_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> workers_;
  std::unique_ptr<StreamingPriority> priority_;
};

}  // namespace vn
