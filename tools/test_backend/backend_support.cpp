#include "backend_support.h"

#include <cstdio>

#include <boost/asio/error.hpp>
#include <boost/beast/websocket/error.hpp>

namespace vn::tools::backend_detail {

void log_error(const std::string& what) {
  std::fprintf(stderr, "test_backend: %s\n", what.c_str());
  std::fflush(stderr);
}

std::string http_error(int status, const char* reason) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::vector<std::string> split_lines(const std::string& raw) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(raw.substr(pos));
      break;
    }
    lines.push_back(raw.substr(pos, end - pos));
    pos = end + 2;
  }
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string request_line_target(const std::string& line) {
  size_t a = line.find(' ');
  if (a == std::string::npos) return {};
  size_t b = line.find(' ', a + 1);
  return line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

bool ordinary_end(const boost::system::error_code& ec) {
  namespace net = boost::asio;
  namespace websocket = boost::beast::websocket;
  return ec == websocket::error::closed || ec == net::error::eof || ec == net::error::operation_aborted ||
         ec == net::error::connection_reset || ec == net::error::connection_aborted ||
         ec == net::error::broken_pipe || ec == net::error::bad_descriptor;
}

}  // namespace vn::tools::backend_detail
