#include "probe.h"

#include <algorithm>

namespace vn::launcher {

std::array<uint8_t, kProbeSize> make_probe(std::span<const uint8_t, 32> stream_key) {
  std::array<uint8_t, kProbeSize> probe = {'V', 'N', 'P', '1'};
  std::copy_n(stream_key.begin(), 8, probe.begin() + 4);
  return probe;
}

}  // namespace vn::launcher
