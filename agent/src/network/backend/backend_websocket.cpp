#include "network/backend/backend_websocket.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vn::network {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr size_t kResponseQuoteChars = 256;
constexpr auto kRejectionBodyWait = std::chrono::milliseconds(500);

}  // namespace

BackendWebSocket::BackendWebSocket(asio::io_context& io, std::string host, uint16_t port, std::string agent_token,
                                   std::function<bool()> abort, BackendWebSocketLimits limits)
    : socket_(io, abort),
      host_(std::move(host)),
      port_(port),
      agent_token_(std::move(agent_token)),
      limits_(limits),
      abort_(std::move(abort)) {}

bool BackendWebSocket::connect_tcp() {
  pending_.clear();
  assembler_.reset();
  std::string error;
  if (!socket_.connect(host_, port_, limits_.connect_timeout, error)) {
    spdlog::warn("SaasConnector: TCP connect failed: {}", error);
    return false;
  }
  return true;
}

bool BackendWebSocket::websocket_handshake() {
  try {
    const std::string key = ws::random_handshake_key();
    const std::string request = ws::upgrade_request(host_, key, agent_token_);
    socket_.write_all(request.data(), request.size(), limits_.handshake_timeout);

    // Read up to the end of the header block; what follows it is already
    // the first frame and stays in pending_.
    std::string response;
    const auto deadline = steady_clock::now() + limits_.handshake_timeout;
    size_t header_end = std::string::npos;
    char chunk[2048];
    while (header_end == std::string::npos) {
      if (response.size() >= limits_.max_response_header) {
        throw std::runtime_error("upgrade response header exceeds " + std::to_string(limits_.max_response_header) +
                                 " bytes");
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
      size_t got = 0;
      try {
        if (left.count() <= 0) throw SocketTimeout("upgrade");
        got = socket_.read_some(chunk, std::min(sizeof(chunk), limits_.max_response_header - response.size()), left);
      } catch (const SocketTimeout&) {
        throw std::runtime_error("no upgrade response within " + std::to_string(limits_.handshake_timeout.count()) +
                                 " ms");
      }
      const size_t search_from = response.size() >= 3 ? response.size() - 3 : 0;
      response.append(chunk, got);
      header_end = response.find(kHeaderEnd, search_from);
    }
    const ws::UpgradeVerdict verdict =
        ws::check_upgrade_response(response.substr(0, header_end + kHeaderEnd.size()), key);
    if (verdict == ws::UpgradeVerdict::kAccepted) {
      // What followed the header block is already the first frame.
      pending_ = response.substr(header_end + kHeaderEnd.size());
      return true;
    }
    if (verdict == ws::UpgradeVerdict::kBadAccept) {
      spdlog::error(
          "SaasConnector: the upgrade answer's Sec-WebSocket-Accept is missing or does not match the key sent");
    }

    // A refusal explains itself in its body (a proxy's "plain HTTP request
    // sent to HTTPS port" page): take what arrives of it shortly.
    read_rejection_body(response, std::min(deadline, steady_clock::now() + kRejectionBodyWait));
    if (ws::check_upgrade_response(response, key) == ws::UpgradeVerdict::kRejectedPlainHttp) {
      spdlog::error(
          "SaasConnector: the agent speaks plain ws:// only. Use --saas-port 80 (behind a TLS-terminating proxy) "
          "or run a local TLS terminator in front of the agent.");
    }
    spdlog::error("SaasConnector: WebSocket handshake rejected:\n{}", response.substr(0, kResponseQuoteChars));
    return false;
  } catch (const std::exception& e) {
    spdlog::warn("SaasConnector: WS handshake failed: {}", e.what());
    return false;
  }
}

void BackendWebSocket::read_rejection_body(std::string& response, steady_clock::time_point deadline) {
  char chunk[1024];
  try {
    while (response.size() < limits_.max_response_header) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
      if (left.count() <= 0) return;
      const size_t got =
          socket_.read_some(chunk, std::min(sizeof(chunk), limits_.max_response_header - response.size()), left);
      response.append(chunk, got);
    }
  } catch (const std::exception&) {
    // Closed or quiet: judge what arrived.
  }
}

void BackendWebSocket::send_frame(ws::Opcode opcode, std::string_view payload) {
  std::array<uint8_t, 4> mask{};
  randombytes_buf(mask.data(), mask.size());
  const std::vector<uint8_t> frame = ws::encode_client_frame(opcode, payload, mask);
  socket_.write_all(frame.data(), frame.size(), limits_.stall_timeout);
}

void BackendWebSocket::send_text(std::string_view text) { send_frame(ws::kText, text); }

void BackendWebSocket::send_pong(std::string_view payload) {
  send_frame(ws::kPong, payload.substr(0, ws::kMaxControlPayload));
}

size_t BackendWebSocket::readable_bytes() { return pending_.size() + socket_.available(); }

bool BackendWebSocket::wait_readable(milliseconds timeout) {
  return !pending_.empty() || socket_.wait_readable(timeout);
}

void BackendWebSocket::read_bytes(void* data, size_t size) {
  auto* out = static_cast<uint8_t*>(data);
  const size_t from_pending = std::min(size, pending_.size());
  if (from_pending > 0) {
    std::memcpy(out, pending_.data(), from_pending);
    pending_.erase(0, from_pending);
  }
  if (size > from_pending) socket_.read_exact(out + from_pending, size - from_pending, limits_.stall_timeout);
}

std::optional<std::string> BackendWebSocket::read_frame() {
  uint8_t start_bytes[2];
  read_bytes(start_bytes, sizeof(start_bytes));
  const ws::FrameStart start = ws::parse_frame_start(start_bytes[0], start_bytes[1]);

  uint8_t extended[8];
  const size_t extended_size = ws::extended_length_bytes(start.length7);
  if (extended_size > 0) read_bytes(extended, extended_size);
  const uint64_t length = ws::payload_length(start.length7, extended);
  if (length > ws::kMaxPayloadBytes) {
    spdlog::warn("SaasConnector: WS frame payload {} bytes exceeds {} — closing", length, ws::kMaxPayloadBytes);
    throw std::runtime_error("frame too large");
  }

  std::array<uint8_t, 4> mask{};
  if (start.masked) read_bytes(mask.data(), mask.size());
  std::string payload(static_cast<size_t>(length), '\0');
  if (length > 0) read_bytes(payload.data(), payload.size());
  if (start.masked) ws::apply_mask(reinterpret_cast<uint8_t*>(payload.data()), payload.size(), mask);

  ws::FrameOutcome outcome = assembler_.on_frame(start.fin, start.opcode, std::move(payload));
  switch (outcome.action) {
    case ws::FrameOutcome::Action::kMessage:
      return std::move(outcome.message);
    case ws::FrameOutcome::Action::kPong:
      send_pong(outcome.pong_payload);
      return std::nullopt;
    case ws::FrameOutcome::Action::kClose:
      throw std::runtime_error("WebSocket connection closed");
    case ws::FrameOutcome::Action::kNone:
      return std::nullopt;
  }
  return std::nullopt;
}

void BackendWebSocket::close() {
  socket_.close();
  pending_.clear();
  assembler_.reset();
}

}  // namespace vn::network
