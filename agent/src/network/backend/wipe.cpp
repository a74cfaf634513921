#include "network/backend/wipe.h"

#include <sodium.h>

namespace vn::network {

void wipe_capacity(std::string& text) {
  // resize() within the capacity never reallocates, and makes every byte of
  // the buffer part of the string so that it may be written.
  text.resize(text.capacity());
  sodium_memzero(text.data(), text.size());
  text.clear();
}

}  // namespace vn::network
