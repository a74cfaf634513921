#pragma once

#include <algorithm>
#include <string_view>

// ASCII text helpers for protocol and system text (header names, tokens,
// /proc files). Locale-free: only 'A'..'Z' fold.
namespace vn {

inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal when compared without ASCII case.
inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

// `text` without the leading and trailing characters found in `chars`.
inline std::string_view trim_chars(std::string_view text, std::string_view chars) {
  const size_t first = text.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(chars);
  return text.substr(first, last - first + 1);
}

}  // namespace vn
