#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <asio/ip/address_v4.hpp>
#include <asio/ip/udp.hpp>

#include <thread>
#include <vector>

#include "network/transport/packet.h"
#include "network/transport/udp_sender.h"
#include "support/io_threads.h"

namespace {

using asio::ip::udp;

// 22-byte header + 1162 sealed bytes: a full video datagram.
constexpr size_t kDatagramSize = 1184;

// Enqueues batches of range(0) datagrams (one video frame's worth) and waits
// for each batch to be sent before the next, so the queue never overflows.
// The loopback receiver is not read: the kernel drops what does not fit its
// buffer, which costs the sender nothing extra.
void BM_UdpSenderLoopback(benchmark::State& state) {
  spdlog::set_level(spdlog::level::warn);
  const size_t batch_size = static_cast<size_t>(state.range(0));
  vn::test::IoThreads io_threads(2);
  asio::io_context& io = io_threads.io();

  udp::socket receiver(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));
  uint64_t sent_target = 0;
  {
    vn::network::UdpSender sender(io, "127.0.0.1", receiver.local_endpoint().port(), 0);
    if (!sender.open()) {
      state.SkipWithError("open failed");
    } else {
      std::vector<vn::network::Packet> batch(batch_size);
      for (size_t i = 0; i < batch_size; ++i) {
        batch[i].header.stream_type = vn::network::kStreamVideo;
        batch[i].header.packet_index = static_cast<uint16_t>(i);
        batch[i].header.packet_count = static_cast<uint16_t>(batch_size);
        batch[i].payload.assign(kDatagramSize - vn::network::PacketHeader::kSize, 0xA5);
      }
      for (auto _ : state) {
        sender.enqueue(batch);
        sent_target += batch_size;
        while (sender.packets_sent() + sender.send_errors() < sent_target) std::this_thread::yield();
      }
      if (sender.send_errors() != 0) state.SkipWithError("send errors");
      state.SetItemsProcessed(static_cast<int64_t>(sender.packets_sent()));
      state.SetBytesProcessed(static_cast<int64_t>(sender.bytes_sent()));
    }
  }
  spdlog::set_level(spdlog::level::info);
}
BENCHMARK(BM_UdpSenderLoopback)->Arg(1)->Arg(16)->Arg(64)->UseRealTime();

}  // namespace
