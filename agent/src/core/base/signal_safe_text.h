#pragma once

#include <cstddef>
#include <string_view>

namespace vn {

// Text built in a caller-owned fixed buffer with no allocation, lock or
// locale: usable inside a signal handler (async-signal-safe) and after the
// heap is corrupt. What does not fit is cut off, so the buffer always holds a
// prefix of everything added. The buffer must outlive the object.
class SignalSafeText {
 public:
  SignalSafeText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  SignalSafeText& add(std::string_view text);
  SignalSafeText& add(char c) { return add(std::string_view(&c, 1)); }
  // Decimal digits, left-padded with '0' to at least `min_digits`.
  SignalSafeText& add_decimal(unsigned long long value, int min_digits = 1);
  // Hexadecimal digits without a prefix, e.g. "B" (upper) or "b".
  SignalSafeText& add_hex(unsigned long long value, bool upper_case);
  // As the standard stream prints a pointer: "0x" and lower-case digits,
  // or "0" for null.
  SignalSafeText& add_pointer(const void* pointer);

  std::string_view view() const { return {buffer_, size_}; }
  bool truncated() const { return truncated_; }

 private:
  char* buffer_;
  size_t capacity_;
  size_t size_ = 0;
  bool truncated_ = false;
};

}  // namespace vn
