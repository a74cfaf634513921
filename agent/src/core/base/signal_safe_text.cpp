#include "core/base/signal_safe_text.h"

#include <cstdint>

namespace vn {

SignalSafeText& SignalSafeText::add(std::string_view text) {
  for (char c : text) {
    if (size_ == capacity_) {
      truncated_ = true;
      break;
    }
    buffer_[size_++] = c;
  }
  return *this;
}

SignalSafeText& SignalSafeText::add_decimal(unsigned long long value, int min_digits) {
  char digits[24];  // 2^64 has 20 decimal digits
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < static_cast<int>(sizeof(digits)));
  while (count < min_digits && count < static_cast<int>(sizeof(digits))) digits[count++] = '0';
  while (count > 0) add(digits[--count]);
  return *this;
}

SignalSafeText& SignalSafeText::add_hex(unsigned long long value, bool upper_case) {
  const char* alphabet = upper_case ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[16];
  int count = 0;
  do {
    digits[count++] = alphabet[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count > 0) add(digits[--count]);
  return *this;
}

SignalSafeText& SignalSafeText::add_pointer(const void* pointer) {
  const auto value = reinterpret_cast<std::uintptr_t>(pointer);
  if (value == 0) return add('0');
  return add("0x").add_hex(value, false);
}

}  // namespace vn
