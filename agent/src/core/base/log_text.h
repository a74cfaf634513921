#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Peer-supplied text on its way into the log. A launcher or backend value is
// logged through loggable() so that a CR/LF cannot forge a line of its own and
// NUL, ESC and other control bytes never reach the file or the console raw.
namespace vn {

inline constexpr size_t kLoggableDefaultMax = 128;

// `text` with every control byte (0x00-0x1F, 0x7F) and the backslash written
// as an escape (\r, \n, \t, \\ or \xNN), cut after `max_chars` input bytes
// with "..." appended. Other bytes, UTF-8 included, pass as they are.
std::string loggable(std::string_view text, size_t max_chars = kLoggableDefaultMax);

}  // namespace vn
