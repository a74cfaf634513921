#include "core/base/parse_int.h"

#include <climits>
#include <cstdint>
#include <stdexcept>

namespace vn {
namespace {

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int parse_int(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;

  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  const size_t first_digit = i;
  // The magnitude is capped just past INT_MAX + 1 so that long digit strings
  // cannot overflow the accumulator; anything past the cap is out of range.
  constexpr int64_t kCap = int64_t{INT_MAX} + 2;
  int64_t magnitude = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (magnitude < kCap) magnitude = magnitude * 10 + (text[i] - '0');
    ++i;
  }
  if (i == first_digit) throw std::invalid_argument("invalid stoi argument");

  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT_MAX || value < INT_MIN) throw std::out_of_range("stoi argument out of range");
  return static_cast<int>(value);
}

}  // namespace vn
