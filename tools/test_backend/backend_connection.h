#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket.hpp>

#include "write_job.h"

// One TCP connection to the test backend, from the accept to its end: the
// upgrade request, then the WebSocket and its write queue. Shared ownership:
// the server holds the current connection and every asynchronous operation on
// it holds another reference, so a replaced connection lives until its last
// operation completes. Server thread only.
namespace vn::tools::backend_detail {

struct Conn {
  using Socket = boost::asio::ip::tcp::socket;
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  explicit Conn(boost::asio::io_context& io) : ws(io) {}

  boost::beast::websocket::stream<Socket> ws;  // the socket is its next layer from the start
  std::string in;                              // bytes read before the upgrade
  std::string head;                            // the request head, up to the empty line
  std::string out;                             // an HTTP answer being written
  std::string leftover;                        // bytes after the request head
  Request request;
  boost::beast::flat_buffer read_buffer;
  std::array<char, 4096> discard{};
  size_t request_index = 0;
  uint64_t request_generation = 0;
  int number = 0;         // accepted connection number, 0 before the 101
  int answer_status = 0;  // the status Beast answered the upgrade with
  bool open = true;       // the socket is not closed yet
  bool upgraded = false;
  bool close_sent = false;
  std::deque<Job> jobs;  // front() is being written while `writing`
  bool writing = false;
};

}  // namespace vn::tools::backend_detail
