#include "line_channel.h"

#include <asio/buffers_iterator.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <algorithm>

namespace vn::launcher {
namespace {

constexpr std::chrono::milliseconds kRetryPause{250};
constexpr std::chrono::milliseconds kAttemptLimit{3000};

}  // namespace

LineChannel::LineChannel(asio::io_context& io, size_t max_line_bytes, size_t max_queued_lines)
    : io_(io), socket_(io), timer_(io), input_(max_line_bytes), max_queued_(max_queued_lines) {}

void LineChannel::connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
                          ConnectDone done) {
  connect_done_ = std::move(done);
  deadline_ = std::chrono::steady_clock::now() + timeout;
  asio::error_code error;
  asio::ip::tcp::resolver resolver(io_);
  const auto results = resolver.resolve(asio::ip::tcp::v4(), host, std::to_string(port), error);
  for (const auto& entry : results) endpoints_.push_back(entry.endpoint());
  if (error || endpoints_.empty()) {
    const std::string reason = "cannot resolve " + host + ": " + (error ? error.message() : "no IPv4 address");
    asio::post(io_, [this, reason] { connect_done_(reason); });
    return;
  }
  attempt_connect();
}

void LineChannel::attempt_connect() {
  const auto now = std::chrono::steady_clock::now();
  const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now);
  const auto limit = std::clamp(remaining, std::chrono::milliseconds{1000}, kAttemptLimit);
  const asio::ip::tcp::endpoint endpoint = endpoints_[next_endpoint_++ % endpoints_.size()];

  asio::error_code ignored;
  socket_.close(ignored);
  const uint64_t attempt = ++attempt_;
  timer_.expires_after(limit);
  timer_.async_wait([this, attempt](const asio::error_code& error) {
    // The pending connect then completes with operation_aborted. A timer that
    // fired just as the connect succeeded must not close the new connection.
    if (!error && attempt == attempt_ && !connected_) {
      asio::error_code ignore;
      socket_.close(ignore);
    }
  });
  socket_.async_connect(endpoint, [this, endpoint](const asio::error_code& error) {
    timer_.cancel();
    if (closed_) return;
    if (!error) {
      connected_ = true;
      asio::error_code ignore;
      socket_.set_option(asio::ip::tcp::no_delay(true), ignore);
      connect_done_({});
      return;
    }
    last_error_ = endpoint.address().to_string() + ":" + std::to_string(endpoint.port()) + ": " +
                  (error == asio::error::operation_aborted ? std::string("timed out") : error.message());
    if (std::chrono::steady_clock::now() + kRetryPause >= deadline_) {
      connect_done_("cannot connect to " + last_error_);
      return;
    }
    timer_.expires_after(kRetryPause);
    timer_.async_wait([this](const asio::error_code& wait_error) {
      if (!wait_error && !closed_) attempt_connect();
    });
  });
}

void LineChannel::start_reading(LineHandler on_line, EndHandler on_end) {
  on_line_ = std::move(on_line);
  on_end_ = std::move(on_end);
  read_next();
}

void LineChannel::read_next() {
  asio::async_read_until(socket_, input_, '\n', [this](const asio::error_code& error, size_t length) {
    if (closed_) return;
    if (closing_) {
      // Draining until the peer closes; lines are no longer of interest.
      if (error) {
        finish_graceful_close();
        return;
      }
      input_.consume(length);
      read_next();
      return;
    }
    if (error) {
      if (error == asio::error::not_found) {
        ended("agent sent a line longer than " + std::to_string(input_.max_size()) + " bytes", true);
      } else if (error == asio::error::eof) {
        ended("agent closed the connection", false);
      } else {
        ended("control connection failed: " + error.message(), false);
      }
      return;
    }
    const auto begin = asio::buffers_begin(input_.data());
    const std::string line(begin, begin + static_cast<std::ptrdiff_t>(length - 1));
    input_.consume(length);
    on_line_(line);
    if (!closed_) read_next();
  });
}

bool LineChannel::send(std::string line) {
  if (!is_open() || closing_ || output_.size() >= max_queued_) return false;
  output_.push_back(std::move(line));
  if (!writing_) write_next();
  return true;
}

void LineChannel::write_next() {
  if (output_.empty()) {
    writing_ = false;
    if (closing_) {
      asio::error_code ignored;
      socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }
    return;
  }
  writing_ = true;
  asio::async_write(socket_, asio::buffer(output_.front()), [this](const asio::error_code& error, size_t) {
    if (closed_) return;
    output_.pop_front();
    if (error) {
      output_.clear();
      writing_ = false;
      if (closing_) finish_graceful_close();
      else ended("control connection failed: " + error.message(), false);
      return;
    }
    write_next();
  });
}

void LineChannel::ended(const std::string& reason, bool framing) {
  close();
  if (on_end_) on_end_(reason, framing);
}

void LineChannel::close_gracefully(std::chrono::milliseconds limit, std::function<void()> done) {
  close_done_ = std::move(done);
  if (!is_open()) {
    finish_graceful_close();
    return;
  }
  closing_ = true;
  timer_.expires_after(limit);
  timer_.async_wait([this](const asio::error_code& error) {
    if (!error) finish_graceful_close();
  });
  if (!writing_) write_next();  // shuts the sending side when nothing is queued
}

void LineChannel::finish_graceful_close() {
  close();
  if (close_done_) {
    auto done = std::move(close_done_);
    close_done_ = nullptr;
    asio::post(io_, std::move(done));
  }
}

asio::ip::address LineChannel::remote_address() const {
  asio::error_code ec;
  const auto endpoint = socket_.remote_endpoint(ec);
  return ec ? asio::ip::address{} : endpoint.address();
}

void LineChannel::close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  timer_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace vn::launcher
