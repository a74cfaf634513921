#include "core/base/log_text.h"

namespace vn {

std::string loggable(std::string_view text, size_t max_chars) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool cut = text.size() > max_chars;
  if (cut) text = text.substr(0, max_chars);
  std::string out;
  out.reserve(text.size() + (cut ? 3 : 0));
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\t': out += "\\t"; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  if (cut) out += "...";
  return out;
}

}  // namespace vn
