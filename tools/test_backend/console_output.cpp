#include "console_output.h"

#include <cstdio>
#include <mutex>

namespace vn::tools::backend_cli {
namespace {

std::mutex g_out_mutex;

}  // namespace

void out(const std::string& line) {
  std::lock_guard lock(g_out_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string one_line(const std::string& text) {
  std::string s;
  s.reserve(text.size());
  for (unsigned char ch : text) {
    if (ch == '\n') {
      s += "\\n";
    } else if (ch == '\r') {
      s += "\\r";
    } else if ((ch < 0x20 && ch != '\t') || ch == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      s += "\\x";
      s += hex[ch >> 4];
      s += hex[ch & 15];
    } else {
      s += static_cast<char>(ch);
    }
  }
  return s;
}

}  // namespace vn::tools::backend_cli
