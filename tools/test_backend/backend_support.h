#pragma once

#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

// Stateless pieces of the test backend: the error log line, canned HTTP
// answers, request-head splitting and the sorting of socket errors. Any
// thread; log_error() writes stderr and is the only one with a side effect.
namespace vn::tools::backend_detail {

// "test_backend: `what`" on stderr, flushed.
void log_error(const std::string& what);

// A complete HTTP/1.1 answer with `status` and no body that closes the connection.
std::string http_error(int status, const char* reason);

// Lines of a request head that ends with CR LF CR LF, without the empty last one.
// A head cut short keeps its last, unterminated line.
std::vector<std::string> split_lines(const std::string& raw);

// The second space-separated word of a request line (its target, when the
// request is too broken to parse); "" when the line has no space.
std::string request_line_target(const std::string& line);

// Errors that end a connection in the ordinary way (peer closed, we closed).
bool ordinary_end(const boost::system::error_code& ec);

}  // namespace vn::tools::backend_detail
