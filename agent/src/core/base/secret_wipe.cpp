#include "core/base/secret_wipe.h"

#include <sodium.h>

namespace vn {

void wipe(std::string& text) {
  // resize() within the capacity never reallocates, and makes every byte of
  // the buffer part of the string so that it may be written.
  text.resize(text.capacity());
  sodium_memzero(text.data(), text.size());
  text.clear();
}

void wipe(std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) sodium_memzero(bytes.data(), bytes.size());
  bytes.clear();
}

}  // namespace vn
