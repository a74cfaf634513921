// TestBackend's scripted sends and drop(): each builds a job for the current
// connection's write queue (connection_loop.cpp) and waits for its outcome,
// or, on the server thread, only queues it. Any thread.
//
// - send_raw() and drop() also work on a connection still in its upgrade
//   (e.g. under kNeverAnswer); the other sends need an accepted connection.
// - send_close() returns once the close frame is handed to the socket; the
//   connection ends when the agent answers it or closes TCP. Nothing but raw
//   bytes can be sent after it.
#include "test_backend.h"

#include <algorithm>
#include <cstddef>
#include <future>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>

#include "backend_support.h"
#include "test_backend_impl.h"

namespace vn::tools {
namespace {

namespace net = boost::asio;
using backend_detail::Completion;
using backend_detail::Job;
using backend_detail::log_error;

// What RFC 6455 allows in a control frame.
constexpr size_t kMaxPingPayload = 125;
constexpr size_t kMaxCloseReason = 123;

}  // namespace

bool TestBackend::send_text(const std::string& text) {
  Job j;
  j.kind = Job::Kind::kText;
  j.data = text;
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_json(const nlohmann::json& message) {
  return send_text(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

bool TestBackend::send_fragmented(const std::string& text, size_t pieces) {
  if (pieces == 0) {
    log_error("send_fragmented: zero pieces");
    return false;
  }
  Job j;
  j.kind = Job::Kind::kFragments;
  j.data = text;
  j.pieces = std::min(pieces, std::max<size_t>(text.size(), 1));
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_ping(const std::string& payload) {
  if (payload.size() > kMaxPingPayload) {
    log_error("send_ping: payload over 125 bytes (use send_raw for oversized control frames)");
    return false;
  }
  Job j;
  j.kind = Job::Kind::kPing;
  j.data = payload;
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_close(uint16_t code, const std::string& reason) {
  if (reason.size() > kMaxCloseReason) {
    log_error("send_close: reason over 123 bytes (use send_raw for oversized control frames)");
    return false;
  }
  Job j;
  j.kind = Job::Kind::kClose;
  j.code = code;
  j.data = reason;
  return impl_->submit(std::move(j), true);
}

bool TestBackend::send_raw(const std::string& bytes) {
  Job j;
  j.kind = Job::Kind::kRaw;
  j.data = bytes;
  return impl_->submit(std::move(j), false);
}

bool TestBackend::drop() {
  Impl& d = *impl_;
  Completion done;
  auto future = done.future();
  {
    std::lock_guard lock(d.mutex);  // as in submit()
    if (!d.running) return false;
    // Not through the write queue: a write stuck on a full socket must not hold it up.
    net::post(d.io, [&d, done] {
      if (d.stopping || !d.current) {
        done.set(false);
        return;
      }
      d.end_connection(d.current, "dropped by us");
      done.set(true);
    });
  }
  if (d.on_io_thread()) return true;
  try {
    return future.get();
  } catch (const std::future_error&) {
    return false;
  }
}

}  // namespace vn::tools
