// What the backend sends the agent: a byte stream of WebSocket frames, cut
// into frames as the connector does, assembled into messages and dispatched
// as backend JSON. Every path must stay memory-safe and bounded.
#include <sodium.h>
#include <spdlog/spdlog.h>

#include <asio/io_context.hpp>
#include <string>

#include "network/backend/saas_connector.h"
#include "network/backend/websocket_frame.h"

namespace {

struct Target {
  Target() {
    (void)sodium_init();
    spdlog::set_level(spdlog::level::off);
    connector.set_prepare_callback([](const vn::network::PrepareSessionParams&) {});
    connector.set_terminate_callback([](const std::string&, const std::string&) {});
  }
  asio::io_context io;
  vn::network::SaasConnector connector{io, vn::network::SaasConnectorConfig{}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Target target;
  namespace ws = vn::network::ws;
  ws::MessageAssembler assembler;
  size_t at = 0;
  while (size - at >= 2) {
    const ws::FrameStart start = ws::parse_frame_start(data[at], data[at + 1]);
    at += 2;
    const size_t extended = ws::extended_length_bytes(start.length7);
    if (size - at < extended) break;
    const uint64_t length = ws::payload_length(start.length7, data + at);
    at += extended;
    if (length > ws::kMaxPayloadBytes) break;  // the connection would close here
    std::array<uint8_t, 4> mask{};
    if (start.masked) {
      if (size - at < 4) break;
      std::copy(data + at, data + at + 4, mask.begin());
      at += 4;
    }
    if (size - at < length) break;
    std::string payload(reinterpret_cast<const char*>(data + at), static_cast<size_t>(length));
    at += static_cast<size_t>(length);
    if (start.masked) ws::apply_mask(reinterpret_cast<uint8_t*>(payload.data()), payload.size(), mask);

    ws::FrameOutcome outcome = assembler.on_frame(start.fin, start.opcode, std::move(payload));
    if (outcome.action == ws::FrameOutcome::Action::kClose) break;
    if (outcome.action == ws::FrameOutcome::Action::kMessage) target.connector.handle_message(outcome.message);
  }
  // The whole input as one text message, too: most findings live in the JSON.
  target.connector.handle_message(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
