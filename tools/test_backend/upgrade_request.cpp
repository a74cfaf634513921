// Accepting TCP connections and answering their upgrade requests: the request
// head is read and recorded, then answered as the upgrade mode says. Under
// kAccept the path and the agent-token are checked, and a request that passes
// goes on to the WebSocket handshake (websocket_upgrade.cpp). Server thread.
//
// The previous connection is closed as soon as a new TCP connection is
// accepted, whatever state either is in.
#include <cstdint>
#include <string>
#include <utility>

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/parser.hpp>

#include "backend_connection.h"
#include "backend_support.h"
#include "test_backend_impl.h"

namespace vn::tools {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using backend_detail::Conn;
using backend_detail::http_error;
using backend_detail::log_error;

// Upper bound of an upgrade request (request line + headers); larger ones get a 400.
constexpr size_t kMaxRequestBytes = 64 * 1024;

constexpr const char kGarbageAnswer[] = "\x16\x03\x01 this is no HTTP answer \xff\xfe\x00\r\n\r\n";

}  // namespace

void TestBackend::Impl::accept_next() {
  auto conn = std::make_shared<Conn>(io);
  acceptor.async_accept(conn->ws.next_layer(), [this, conn](const error_code& ec) {
    if (stopping || !acceptor.is_open()) return;
    if (ec) {
      if (ec != net::error::operation_aborted) log_error("accept: " + ec.message());
      accept_next();
      return;
    }
    // One agent connection at a time: a new one replaces the previous.
    if (current) end_connection(current, "replaced by a new connection");
    current = conn;
    read_request(conn);
    accept_next();
  });
}

void TestBackend::Impl::read_request(const std::shared_ptr<Conn>& c) {
  net::async_read_until(c->ws.next_layer(), net::dynamic_buffer(c->in, kMaxRequestBytes), "\r\n\r\n",
                        [this, c](const error_code& ec, size_t n) { on_request(c, ec, n); });
}

void TestBackend::Impl::on_request(const std::shared_ptr<Conn>& c, const error_code& ec, size_t n) {
  if (!c->open) return;
  if (ec == net::error::not_found) {  // no empty line within the size cap
    record_request(c, c->in);
    emit_rejected(400, "");
    answer_and_close(c, http_error(400, "Bad Request"));
    return;
  }
  if (ec) {
    end_connection(c, "closed before a complete upgrade request: " + ec.message());
    return;
  }
  c->head = c->in.substr(0, n);
  c->leftover = c->in.substr(n);
  c->in.clear();
  const std::string& raw = c->head;

  http::request_parser<http::string_body> parser;
  parser.eager(true);
  parser.header_limit(static_cast<std::uint32_t>(kMaxRequestBytes));
  error_code pec;
  parser.put(net::buffer(raw), pec);
  const bool parsed = parser.is_header_done();
  if (parsed) c->request = parser.release();

  record_request(c, raw);
  UpgradeMode m;
  std::string raw_answer;
  {
    std::lock_guard lock(mutex);
    m = mode;
    raw_answer = raw_response;
  }
  switch (m) {
    case UpgradeMode::kNeverAnswer:
      discard_until_closed(c);
      return;
    case UpgradeMode::kGarbage:
      answer_and_close(c, std::string(kGarbageAnswer, sizeof kGarbageAnswer - 1));
      return;
    case UpgradeMode::kRawResponse:
      answer_and_close(c, raw_answer);
      return;
    case UpgradeMode::kAccept:
      break;
  }
  const std::string target = parsed ? std::string(c->request.target()) : std::string();
  if (!parsed) {
    emit_rejected(400, target);
    answer_and_close(c, http_error(400, "Bad Request"));
    return;
  }
  if (target != options.path) {
    emit_rejected(404, target);
    answer_and_close(c, http_error(404, "Not Found"));
    return;
  }
  if (!options.agent_token.empty()) {
    auto it = c->request.find("agent-token");
    if (it == c->request.end() || std::string(it->value()) != options.agent_token) {
      emit_rejected(401, target);
      answer_and_close(c, http_error(401, "Unauthorized"));
      return;
    }
  }
  upgrade(c);
}

void TestBackend::Impl::record_request(const std::shared_ptr<Conn>& c, const std::string& raw) {
  UpgradeRequest r;
  r.raw = raw;
  r.lines = backend_detail::split_lines(raw);
  if (!c->request.target().empty()) {
    r.target = std::string(c->request.target());
    auto it = c->request.find("agent-token");
    if (it != c->request.end()) r.agent_token = std::string(it->value());
  } else if (!r.lines.empty()) {
    // Unparsed: the second word of the request line, for the record.
    r.target = backend_detail::request_line_target(r.lines.front());
  }
  std::lock_guard lock(mutex);
  c->request_index = requests.size();
  c->request_generation = generation;
  requests.push_back(std::move(r));
  changed.notify_all();
}

void TestBackend::Impl::emit_rejected(int status, const std::string& target) {
  TestBackendEvent e;
  e.kind = TestBackendEvent::Kind::kRejected;
  e.status = status;
  e.detail = target;
  emit(e);
}

void TestBackend::Impl::answer_and_close(const std::shared_ptr<Conn>& c, std::string bytes) {
  c->out = std::move(bytes);
  net::async_write(c->ws.next_layer(), net::buffer(c->out), [this, c](const error_code& ec, size_t) {
    // Half-close first so the peer reads the answer before the end.
    error_code ignored;
    if (!ec) c->ws.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
    end_connection(c, ec ? "answer not written: " + ec.message() : "answered");
  });
}

void TestBackend::Impl::discard_until_closed(const std::shared_ptr<Conn>& c) {
  c->ws.next_layer().async_read_some(net::buffer(c->discard), [this, c](const error_code& ec, size_t) {
    if (!c->open) return;
    if (ec) {
      end_connection(c, "closed while unanswered");
      return;
    }
    discard_until_closed(c);
  });
}

}  // namespace vn::tools
