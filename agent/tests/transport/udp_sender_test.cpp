#include <gtest/gtest.h>

#include <spdlog/fmt/fmt.h>

#include <asio/ip/address_v4.hpp>
#include <asio/ip/udp.hpp>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "network/transport/udp_sender.h"
#include "support/log_capture.h"
#include "transport/udp_test_support.h"

namespace vn::network {
namespace {

using test::eventually;
using test::make_packet;
using test::wire_bytes;

size_t lines_containing(const test::LogCapture& log, const std::string& text) {
  const auto lines = log.lines();
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; }));
}

uint32_t frame_id_of(const std::vector<uint8_t>& datagram) {
  const auto header = PacketHeader::parse(datagram);
  return header ? header->frame_id : ~0u;
}

TEST(UdpSender, DatagramsAreHeaderThenPayloadInOrderAndCounted) {
  test::LogCapture log;
  test::IoThreads io(2);
  test::UdpTestPeer launcher;
  uint16_t local_port = 0;
  auto sender = test::open_sender(io.io(), launcher.port(), &local_port);
  ASSERT_NE(sender, nullptr) << log.dump();
  EXPECT_TRUE(log.contains(fmt::format("debug: UDP sender bound to local port {}", local_port)));
  EXPECT_TRUE(log.contains(
      fmt::format("info: UDP sender opened -> 127.0.0.1:{} (initial, will update on probe)", launcher.port())));

  // Without a probe the datagrams go to the initial destination.
  const std::vector<Packet> batch = {make_packet(1, 0), make_packet(2, 100), make_packet(3, 1162)};
  sender->enqueue(batch);
  sender->enqueue({make_packet(4, 16)});
  uint64_t expected_bytes = 0;
  for (const Packet& packet : batch) {
    const auto received = launcher.receive();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, wire_bytes(packet));
    expected_bytes += PacketHeader::kSize + packet.payload.size();
  }
  const auto last = launcher.receive();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(frame_id_of(*last), 4u);
  expected_bytes += PacketHeader::kSize + 16;

  ASSERT_TRUE(eventually([&] { return sender->packets_sent() == 4; }));
  EXPECT_EQ(sender->bytes_sent(), expected_bytes);
  EXPECT_EQ(sender->send_errors(), 0u);
  EXPECT_EQ(sender->queued(), 0u);
  sender->close();
  sender->close();
  EXPECT_EQ(lines_containing(log, "info: UDP sender closed"), 1u);
}

// An IPv6 destination cannot be reached from the IPv4 socket: every send fails.
TEST(UdpSender, SendErrorsAreCountedRateLimitedAndTheChainGoesOn) {
  test::LogCapture log;
  test::IoThreads io(2);
  UdpSender sender(io.io(), "::1", 9, 0);
  ASSERT_TRUE(sender.open()) << log.dump();
  std::vector<Packet> batch;
  for (uint32_t i = 0; i < 130; ++i) batch.push_back(make_packet(i, 10));
  sender.enqueue(batch);
  ASSERT_TRUE(eventually([&] { return sender.send_errors() == 130; })) << sender.send_errors();
  EXPECT_EQ(sender.packets_sent(), 0u);
  EXPECT_EQ(sender.bytes_sent(), 0u);
  EXPECT_EQ(sender.queued(), 0u);
  // The first five and the 120th.
  EXPECT_EQ(lines_containing(log, "warning: UDP send error: "), 6u) << log.dump();
}

TEST(UdpSender, OverflowDropsTheOldestAndKeepsWholeBatches) {
  test::LogCapture log;
  test::IoThreads io(2, /*start_now=*/false);
  test::UdpTestPeer launcher;
  uint16_t local_port = 0;
  auto sender = test::open_sender(io.io(), launcher.port(), &local_port);
  ASSERT_NE(sender, nullptr) << log.dump();

  std::vector<Packet> big;
  for (uint32_t i = 0; i < 751; ++i) big.push_back(make_packet(i, 8));
  sender->enqueue(big);
  EXPECT_EQ(sender->queued(), 751u);
  EXPECT_FALSE(log.contains("queue overflow"));

  sender->enqueue({make_packet(751, 8), make_packet(752, 8), make_packet(753, 8)});
  EXPECT_EQ(sender->queued(), 753u);
  EXPECT_TRUE(log.contains("warning: UDP sender: queue overflow, dropped 1 stale packets")) << log.dump();

  io.start();
  const auto first = launcher.receive();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(frame_id_of(*first), 1u);
  ASSERT_TRUE(eventually([&] { return sender->packets_sent() == 753; })) << sender->packets_sent();
  EXPECT_EQ(sender->bytes_sent(), 753u * (PacketHeader::kSize + 8));
}

TEST(UdpSender, ProbeAfterATimedOutWaitStillMovesTheDestination) {
  test::LogCapture log;
  test::IoThreads io(2);
  test::UdpTestPeer initial, launcher;
  uint16_t local_port = 0;
  auto sender = test::open_sender(io.io(), initial.port(), &local_port);
  ASSERT_NE(sender, nullptr) << log.dump();
  sender->start_probe_listening();

  EXPECT_FALSE(sender->wait_for_probe(1, [] { return false; }));
  EXPECT_TRUE(log.contains(fmt::format(
      "warning: UDP sender: no probe received within 1s - using TCP-derived endpoint 127.0.0.1:{}", initial.port())))
      << log.dump();
  sender->enqueue({make_packet(1, 20)});
  const auto before = initial.receive();
  ASSERT_TRUE(before.has_value());
  EXPECT_EQ(frame_id_of(*before), 1u);

  launcher.send_to(test::probe({}), local_port);
  ASSERT_TRUE(sender->wait_for_probe(10, {})) << log.dump();
  EXPECT_TRUE(log.contains(fmt::format("info: UDP sender: destination updated -> 127.0.0.1:{}", launcher.port())));
  sender->enqueue({make_packet(2, 20)});
  const auto after = launcher.receive();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(frame_id_of(*after), 2u);
}

// Timeout 0 has no deadline: only the predicate (or a probe) ends the wait.
TEST(UdpSender, CloseDuringAWaitWithoutDeadlineEndsItByThePredicate) {
  test::LogCapture log;
  test::IoThreads io(2);
  uint16_t local_port = 0;
  auto sender = test::open_sender(io.io(), 9, &local_port);
  ASSERT_NE(sender, nullptr) << log.dump();
  sender->start_probe_listening();

  std::atomic<int> calls{0};
  std::atomic<bool> ending{false};
  auto waiter = std::async(std::launch::async, [&] {
    return sender->wait_for_probe(0, [&] {
      ++calls;
      return ending.load();
    });
  });
  ASSERT_TRUE(eventually([&] { return calls.load() >= 2; }));
  ending = true;
  sender->close();
  ASSERT_EQ(waiter.wait_for(test::kHangGuard), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  EXPECT_TRUE(log.contains("warning: UDP sender: probe wait aborted (session ending)")) << log.dump();
  EXPECT_FALSE(log.contains("no probe received within")) << log.dump();
  // The pending probe receive ends silently.
  EXPECT_FALSE(log.contains("probe recv error")) << log.dump();
  EXPECT_TRUE(log.contains("info: UDP sender closed"));
}

// The launcher probes both fixed ports; each sender accepts only its own
// stream's token.
TEST(UdpSender, VideoAndAudioSendersOwnTheFixedPortsAndTheirTokens) {
  test::LogCapture log;
  test::IoThreads io(2);
  test::UdpTestPeer launcher;
  const std::vector<uint8_t> video_key(32, 0xA1), audio_key(32, 0xB2);
  const std::vector<uint8_t> video_token(video_key.begin(), video_key.begin() + 8);
  const std::vector<uint8_t> audio_token(audio_key.begin(), audio_key.begin() + 8);
  UdpSender video(io.io(), "127.0.0.1", launcher.port(), kVideoLocalPort);
  UdpSender audio(io.io(), "127.0.0.1", launcher.port(), kAudioLocalPort);
  ASSERT_TRUE(video.open()) << log.dump();
  ASSERT_TRUE(audio.open()) << log.dump();
  video.set_probe_token(video_key.data(), video_key.size());
  audio.set_probe_token(audio_key.data(), audio_key.size());
  video.start_probe_listening();
  audio.start_probe_listening();

  launcher.send_to(test::probe(audio_token), kVideoLocalPort);
  ASSERT_TRUE(eventually([&] {
    return log.contains(
        fmt::format("debug: UDP sender: ignoring invalid probe (12 bytes) from 127.0.0.1:{}", launcher.port()));
  })) << log.dump();
  launcher.send_to(test::probe(video_token), kVideoLocalPort);
  launcher.send_to(test::probe(audio_token), kAudioLocalPort);
  ASSERT_TRUE(video.wait_for_probe(10, {})) << log.dump();
  ASSERT_TRUE(audio.wait_for_probe(10, {})) << log.dump();
  EXPECT_EQ(lines_containing(log, "info: UDP sender: hole-punch probe received from"), 2u) << log.dump();
}

TEST(UdpSender, OpenFailsOnABadAddressOrABusyPort) {
  test::LogCapture log;
  asio::io_context io;
  {
    UdpSender sender(io, "launcher.local", 9, 0);
    EXPECT_FALSE(sender.open());
    EXPECT_TRUE(log.contains("error: UDP sender open failed: ")) << log.dump();
  }
  asio::ip::udp::socket holder(io, asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0));
  UdpSender sender(io, "127.0.0.1", 9, holder.local_endpoint().port());
  EXPECT_FALSE(sender.open());
  EXPECT_EQ(lines_containing(log, "error: UDP sender open failed: "), 2u) << log.dump();
}

}  // namespace
}  // namespace vn::network
