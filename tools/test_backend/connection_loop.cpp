// The life of an accepted connection: one read always pending (each complete
// message is recorded, then reported), the write queue drained one job at a
// time, and the end that fails whatever is still queued. submit() is the
// queue's entry from any thread; the rest runs on the server thread.
#include <chrono>
#include <future>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>

#include "backend_connection.h"
#include "backend_support.h"
#include "test_backend_impl.h"

namespace vn::tools {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using backend_detail::Conn;
using backend_detail::Job;
using backend_detail::log_error;

}  // namespace

// ---------------------------------------------------------------- reading

void TestBackend::Impl::read_next(const std::shared_ptr<Conn>& c) {
  c->ws.async_read(c->read_buffer, [this, c](const error_code& ec, size_t) {
    if (!c->open) return;
    if (ec) {
      std::string why;
      if (ec == websocket::error::closed) {
        const auto& reason = c->ws.reason();
        why = "close frame " + std::to_string(reason.code) +
              (reason.reason.empty() ? std::string() : " " + std::string(reason.reason.data(), reason.reason.size()));
      } else {
        why = ec.message();
        if (!backend_detail::ordinary_end(ec)) log_error("connection #" + std::to_string(c->number) + ": " + why);
      }
      end_connection(c, why);
      return;
    }
    ReceivedMessage m;
    m.connection = c->number;
    m.text = beast::buffers_to_string(c->read_buffer.data());
    c->read_buffer.consume(c->read_buffer.size());
    m.json = nlohmann::json::parse(m.text, nullptr, false);
    if (m.json.is_object()) {
      auto it = m.json.find("type");
      if (it != m.json.end() && it->is_string()) m.type = it->get<std::string>();
    }
    m.at = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex);
      messages.push_back(m);
      changed.notify_all();
    }
    TestBackendEvent e;
    e.kind = TestBackendEvent::Kind::kMessage;
    e.connection = m.connection;
    e.message = std::move(m);
    emit(e);
    read_next(c);
  });
}

// ---------------------------------------------------------------- writing

void TestBackend::Impl::pump(const std::shared_ptr<Conn>& c) {
  if (c->writing || c->jobs.empty()) return;
  if (!c->open) {
    for (auto& j : c->jobs) j.done.set(false);
    c->jobs.clear();
    return;
  }
  Job& j = c->jobs.front();
  const bool needs_ws = j.kind != Job::Kind::kRaw;
  if (needs_ws && (!c->upgraded || c->close_sent)) {
    finish_job(c, false);
    return;
  }
  c->writing = true;
  auto after = [this, c](const error_code& ec, size_t = 0) { finish_job(c, !ec); };
  switch (j.kind) {
    case Job::Kind::kText:
      c->ws.text(true);
      c->ws.async_write(net::buffer(j.data), after);
      break;
    case Job::Kind::kFragments:
      c->ws.text(true);
      write_fragment(c);
      break;
    case Job::Kind::kPing:
      c->ws.async_ping(websocket::ping_data(j.data.data(), j.data.size()),
                       [after](const error_code& ec) { after(ec); });
      break;
    case Job::Kind::kClose: {
      // Beast completes async_close only once the agent answered the close
      // frame (or the TCP connection ended). The caller gets its answer as
      // soon as the frame is handed to the socket; the rest goes on here.
      c->close_sent = true;
      websocket::close_reason reason(j.code);
      reason.reason = websocket::reason_string(j.data.data(), j.data.size());
      c->ws.async_close(reason, [this, c](const error_code& ec) {
        if (!c->open) return;
        end_connection(c, ec ? "closed by us: " + ec.message() : "closed by us");
      });
      finish_job(c, true);
      break;
    }
    case Job::Kind::kRaw:
      net::async_write(c->ws.next_layer(), net::buffer(j.data), after);
      break;
  }
}

void TestBackend::Impl::write_fragment(const std::shared_ptr<Conn>& c) {
  Job& j = c->jobs.front();
  const size_t left_pieces = j.pieces - j.sent_pieces;
  const size_t left_bytes = j.data.size() - j.offset;
  const size_t n = left_pieces <= 1 ? left_bytes : left_bytes / left_pieces;
  const bool fin = left_pieces <= 1;
  c->ws.async_write_some(fin, net::buffer(j.data.data() + j.offset, n),
                         [this, c, n, fin](const error_code& ec, size_t) {
                           if (ec || fin || !c->open) {
                             finish_job(c, !ec && c->open);
                             return;
                           }
                           Job& job = c->jobs.front();
                           job.offset += n;
                           ++job.sent_pieces;
                           write_fragment(c);
                         });
}

void TestBackend::Impl::finish_job(const std::shared_ptr<Conn>& c, bool ok) {
  if (c->jobs.empty()) return;
  c->jobs.front().done.set(ok);
  c->jobs.pop_front();
  c->writing = false;
  pump(c);
}

bool TestBackend::Impl::submit(Job job, bool needs_upgrade) {
  auto future = job.done.future();
  {
    // Posted under the lock that stop() clears `running` under: whatever is
    // posted runs before the server thread ends.
    std::lock_guard lock(mutex);
    if (!running) return false;
    if (needs_upgrade && !connected) return false;
    net::post(io, [this, job = std::move(job), needs_upgrade]() mutable {
      if (stopping || !current || !current->open || (needs_upgrade && !current->upgraded)) {
        job.done.set(false);
        return;
      }
      current->jobs.push_back(std::move(job));
      pump(current);
    });
  }
  if (on_io_thread()) return true;
  try {
    return future.get();
  } catch (const std::future_error&) {
    return false;
  }
}

// ---------------------------------------------------------------- ending

void TestBackend::Impl::end_connection(std::shared_ptr<Conn> c, const std::string& why) {
  if (!c->open) return;
  c->open = false;
  error_code ignored;
  c->ws.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
  c->ws.next_layer().close(ignored);
  pump(c);  // fails what is queued; a write in flight completes with an error
  const bool was_current = current == c;
  if (was_current) current.reset();
  if (!c->upgraded) return;
  {
    std::lock_guard lock(mutex);
    if (was_current) connected = false;
    changed.notify_all();
  }
  emit(TestBackendEvent::Kind::kDisconnected, c->number, why);
}

}  // namespace vn::tools
