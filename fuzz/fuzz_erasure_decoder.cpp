// Drives the erasure decoder with arbitrary block counts, ids, sizes and
// contents, decoding after every block.
#include <cstdint>
#include <vector>

#include "network/transport/erasure_code.h"

using namespace vn::network;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = erasure_code_init();
  if (!ready || size < 2) return 0;
  const uint32_t blocks = 1 + (uint32_t{data[0]} << 8 | data[1]) % 300;
  ErasureDecoder decoder(blocks);
  size_t at = 2;
  // Records: 2-byte id, 2-byte length, then that many bytes (fewer at the end).
  while (at + 4 <= size) {
    const uint32_t id = uint32_t{data[at]} << 8 | data[at + 1];
    const size_t length = (size_t{data[at + 2]} << 8 | data[at + 3]) % 1200;
    at += 4;
    std::vector<uint8_t> block(length);
    for (size_t k = 0; k < length && at < size; ++k) block[k] = data[at++];
    decoder.add_block(id, block);
    decoder.decode();
  }
  return 0;
}
