// Feeds the video receiver datagrams of arbitrary headers and payloads. Each
// input chunk is sealed with the stream key first, so the fuzzer reaches the
// frame logic behind authentication; a few chunks go in unsealed as well.
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/erasure_code.h"
#include "network/transport/frame_assembler.h"

using namespace vn::network;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = sodium_init() >= 0 && erasure_code_init();
  if (!ready) return 0;
  static const std::array<uint8_t, 32> key{1, 2, 3};
  static Encryption encryption;
  if (!encryption.has_key()) encryption.set_key(key.data(), key.size());
  FrameAssembler assembler(key, 4);
  FrameAssembler::Frame frame;
  // Chunks: 1 control byte (bit 7: send unsealed), 2-byte payload length, 22-byte header, payload.
  size_t at = 0;
  while (at + 3 + PacketHeader::kSize <= size) {
    const uint8_t control = data[at];
    const size_t length = std::min<size_t>((size_t{data[at + 1]} << 8 | data[at + 2]) % 1300, size - at - 3 - PacketHeader::kSize);
    const uint8_t* header_bytes = data + at + 3;
    const uint8_t* payload = header_bytes + PacketHeader::kSize;
    at += 3 + PacketHeader::kSize + length;

    std::vector<uint8_t> datagram(PacketHeader::kSize + length + Encryption::kTagSize);
    std::memcpy(datagram.data(), header_bytes, PacketHeader::kSize);
    if (control & 0x80) {
      std::memcpy(datagram.data() + PacketHeader::kSize, payload, length);
      datagram.resize(PacketHeader::kSize + length);
    } else {
      const PacketHeader header = *PacketHeader::parse({header_bytes, PacketHeader::kSize});
      size_t sealed = 0;
      encryption.encrypt_packet(header, payload, length, datagram.data() + PacketHeader::kSize, &sealed);
    }
    assembler.add_datagram(datagram, &frame);
  }
  return 0;
}
