#pragma once

#include <string>

namespace vn {

// Converts like std::stoi in base 10: leading white space and one sign are
// accepted, conversion stops at the first non-digit. Throws
// std::invalid_argument("invalid stoi argument") when no digit is found and
// std::out_of_range("stoi argument out of range") when the value does not fit
// an int. The texts are the same on every platform and standard library.
int parse_int(const std::string& text);

}  // namespace vn
