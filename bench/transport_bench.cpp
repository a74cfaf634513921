// Transport costs: sealing, erasure coding, packetize + seal per frame.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <numeric>
#include <random>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/erasure_code.h"
#include "network/transport/packetizer.h"

namespace {

using namespace vn::network;

std::vector<uint8_t> random_bytes(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

Encryption& keyed_encryption() {
  static Encryption encryption;
  if (!encryption.has_key()) {
    if (sodium_init() < 0) return encryption;
    const auto key = random_bytes(32);
    encryption.set_key(key.data(), key.size());
  }
  return encryption;
}

void BM_SealPacket(benchmark::State& state) {
  Encryption& encryption = keyed_encryption();
  const auto payload = random_bytes(kSymbolSize);
  std::vector<uint8_t> sealed(kSymbolSize + Encryption::kTagSize);
  PacketHeader header{1, 1, 0, 10, 0, 0, 0};
  size_t length = 0;
  for (auto _ : state) {
    ++header.packet_index;
    encryption.encrypt_packet(header, payload.data(), payload.size(), sealed.data(), &length);
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSymbolSize));
}
BENCHMARK(BM_SealPacket);

// Repair blocks for a frame of N blocks at R repair: bytes = frame data.
void BM_ErasureEncode(benchmark::State& state) {
  erasure_code_init();
  const auto n = static_cast<uint32_t>(state.range(0));
  const auto r = static_cast<uint32_t>(state.range(1));
  const auto message = random_bytes(size_t{n} * kSymbolSize);
  ErasureEncoder encoder;
  std::vector<uint8_t> block(kSymbolSize);
  for (auto _ : state) {
    encoder.create(message.data(), message.size(), kSymbolSize);
    encoder.precompute(0, r);
    size_t written = 0;
    for (uint32_t i = 0; i < r; ++i) encoder.encode(n + i, block.data(), block.size(), &written);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(message.size()));
}
BENCHMARK(BM_ErasureEncode)->Args({54, 11})->Args({256, 52})->Args({400, 80})->Unit(benchmark::kMicrosecond);

// Rebuilding a frame that lost R data blocks, from its R repair blocks.
void BM_ErasureDecode(benchmark::State& state) {
  erasure_code_init();
  const auto n = static_cast<uint32_t>(state.range(0));
  const auto r = static_cast<uint32_t>(state.range(1));
  const auto message = random_bytes(size_t{n} * kSymbolSize);
  ErasureEncoder encoder;
  encoder.create(message.data(), message.size(), kSymbolSize);
  encoder.precompute(0, r);
  std::vector<std::vector<uint8_t>> repair(r, std::vector<uint8_t>(kSymbolSize));
  size_t written = 0;
  for (uint32_t i = 0; i < r; ++i) encoder.encode(n + i, repair[i].data(), kSymbolSize, &written);
  std::vector<uint32_t> lost(n);
  std::iota(lost.begin(), lost.end(), 0u);
  std::shuffle(lost.begin(), lost.end(), std::mt19937(3));
  lost.resize(r);
  std::vector<bool> is_lost(n, false);
  for (uint32_t j : lost) is_lost[j] = true;
  for (auto _ : state) {
    state.PauseTiming();
    ErasureDecoder decoder(n);
    for (uint32_t j = 0; j < n; ++j) {
      if (!is_lost[j]) decoder.add_block(j, {message.data() + size_t{j} * kSymbolSize, kSymbolSize});
    }
    for (uint32_t i = 0; i < r; ++i) decoder.add_block(n + i, repair[i]);
    state.ResumeTiming();
    benchmark::DoNotOptimize(decoder.decode());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(message.size()));
}
BENCHMARK(BM_ErasureDecode)->Args({54, 11})->Args({256, 52})->Args({400, 80})->Unit(benchmark::kMicrosecond);

// What the frame loop does per encoded frame, at 10 % repair.
void BM_PacketizeAndSeal(benchmark::State& state) {
  erasure_code_init();
  Encryption& encryption = keyed_encryption();
  const std::vector<uint8_t> data = random_bytes(size_t(state.range(0)));
  vn::network::VideoFrameBytes frame;
  frame.data = data;
  frame.key_frame = state.range(1) != 0;
  Packetizer packetizer;
  packetizer.set_repair_ratio(1000);
  std::vector<Packet> packets;
  std::vector<uint8_t> sealed;
  for (auto _ : state) {
    packets.clear();
    packetizer.packetize(frame, packets);
    for (Packet& packet : packets) {
      sealed.resize(packet.payload.size() + Encryption::kTagSize);
      size_t length = 0;
      encryption.encrypt_packet(packet.header, packet.payload.data(), packet.payload.size(), sealed.data(), &length);
      packet.payload.assign(sealed.begin(), sealed.begin() + static_cast<std::ptrdiff_t>(length));
    }
    benchmark::DoNotOptimize(packets.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.data.size()));
}
BENCHMARK(BM_PacketizeAndSeal)->Args({60 * 1024, 0})->Args({400 * 1024, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
