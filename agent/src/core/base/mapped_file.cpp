#include "core/base/mapped_file.h"

#include <cstring>

namespace vn {
namespace {

// Reads hex digits up to `end_char`; false when there are none or another byte stops them.
bool read_hex(std::string_view& text, char end_char, std::uintptr_t& value) {
  value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] != end_char; ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    value = (value << 4) | digit;
  }
  if (i == 0 || i == text.size()) return false;
  text.remove_prefix(i + 1);
  return true;
}

// Drops one space-ended field; false when the line ends first.
bool skip_field(std::string_view& text) {
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return false;
  text.remove_prefix(space + 1);
  return true;
}

}  // namespace

void MappedFileFinder::feed(std::string_view piece) {
  while (!done_ && !piece.empty()) {
    const size_t newline = piece.find('\n');
    const std::string_view part = piece.substr(0, newline);
    if (!overlong_) {
      if (line_size_ + part.size() > kMaxLine) {
        overlong_ = true;
      } else {
        std::memcpy(line_ + line_size_, part.data(), part.size());
        line_size_ += part.size();
      }
    }
    if (newline == std::string_view::npos) return;
    if (!overlong_) take_line({line_, line_size_});
    line_size_ = 0;
    overlong_ = false;
    piece.remove_prefix(newline + 1);
  }
}

void MappedFileFinder::finish() {
  if (!done_ && !overlong_ && line_size_ > 0) take_line({line_, line_size_});
  line_size_ = 0;
}

void MappedFileFinder::take_line(std::string_view line) {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  if (!read_hex(line, '-', start) || !read_hex(line, ' ', end)) return;
  if (address_ < start || address_ >= end) return;
  done_ = true;
  // perms, offset, device and inode, then the padding before the path.
  for (int field = 0; field < 4; ++field) {
    if (!skip_field(line)) return;
  }
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.empty() || line.front() != '/') return;
  std::memcpy(path_, line.data(), line.size());
  path_[line.size()] = '\0';
}

}  // namespace vn
