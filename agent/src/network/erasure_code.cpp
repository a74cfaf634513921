#include "network/erasure_code.h"

#include <isa-l/erasure_code.h>

#include <atomic>

namespace vn::network {

bool erasure_code_init() {
  static std::atomic<bool> verified{false};
  if (verified.load()) return true;
  for (int a = 1; a < 256; ++a) {
    const auto element = static_cast<unsigned char>(a);
    if (gf_mul(element, gf_inv(element)) != 1) return false;
    if (gf_mul(element, 1) != element || gf_mul(element, 0) != 0) return false;
  }
  verified.store(true);
  return true;
}

}  // namespace vn::network
