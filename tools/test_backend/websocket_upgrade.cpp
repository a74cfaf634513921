// The WebSocket handshake for a request that passed the checks, done by Beast,
// and the switch to an accepted connection: its number, the request marked
// accepted, the kConnected event, then the read/write loop
// (connection_loop.cpp). Pong frames from the agent are recorded from here on.
// Server thread.
#include <cstdint>
#include <string>
#include <utility>

#include <boost/beast/websocket.hpp>

#include "backend_connection.h"
#include "test_backend_impl.h"

namespace vn::tools {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using error_code = boost::system::error_code;
using backend_detail::Conn;

// Beast's own message cap, kept far above anything the agent should accept, so
// tests of the agent's limits see its behaviour, not ours.
constexpr uint64_t kReadMessageMax = 64ull * 1024 * 1024;

}  // namespace

void TestBackend::Impl::upgrade(const std::shared_ptr<Conn>& c) {
  c->ws.read_message_max(kReadMessageMax);
  c->ws.auto_fragment(false);
  Conn* raw = c.get();  // the callbacks are owned by the stream: no shared_ptr cycle
  c->ws.set_option(websocket::stream_base::decorator(
      [raw](websocket::response_type& res) { raw->answer_status = res.result_int(); }));
  c->ws.control_callback([this, raw](websocket::frame_type kind, beast::string_view payload) {
    if (kind != websocket::frame_type::pong) return;
    std::string p(payload);
    {
      std::lock_guard lock(mutex);
      pongs.push_back(p);
      changed.notify_all();
    }
    emit(TestBackendEvent::Kind::kPong, raw->number, std::move(p));
  });
  auto done = [this, c](const error_code& ec) { on_upgraded(c, ec); };
  if (c->leftover.empty()) {
    c->ws.async_accept(c->request, done);
  } else {
    // Frames sent right behind the request: let Beast parse the request
    // again from bytes that keep them, so they stay in its read buffer.
    // (Beast copies them into its read buffer, which holds 1536 bytes:
    // more fails the upgrade with buffer_overflow.)
    c->leftover.insert(0, c->head);
    c->ws.async_accept(net::buffer(c->leftover), done);
  }
}

void TestBackend::Impl::on_upgraded(const std::shared_ptr<Conn>& c, const error_code& ec) {
  if (!c->open) return;
  if (ec) {
    if (c->answer_status != 0 && c->answer_status != 101)
      emit_rejected(c->answer_status, std::string(c->request.target()));
    end_connection(c, "upgrade failed: " + ec.message());
    return;
  }
  c->upgraded = true;
  std::string token;
  if (auto it = c->request.find("agent-token"); it != c->request.end()) token = std::string(it->value());
  {
    std::lock_guard lock(mutex);
    c->number = ++connection_count;
    connected = (current == c);
    if (c->request_generation == generation && c->request_index < requests.size())
      requests[c->request_index].accepted = true;
    changed.notify_all();
  }
  emit(TestBackendEvent::Kind::kConnected, c->number, token);
  read_next(c);
  pump(c);
}

}  // namespace vn::tools
