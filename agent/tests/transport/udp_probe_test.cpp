#include <gtest/gtest.h>

#include <spdlog/fmt/fmt.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "network/transport/udp_sender.h"
#include "support/log_capture.h"
#include "transport/udp_test_support.h"

namespace vn::network {
namespace {

using test::probe;

// The stream's session key; its first 8 bytes are the probe token.
constexpr std::array<uint8_t, 32> kKey{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                                       0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                       0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x12};
const std::vector<uint8_t> kToken(kKey.begin(), kKey.begin() + 8);

enum class Token { kNone, kKey, kTooShort };

struct ProbeCase {
  const char* name;
  Token token;
  std::vector<uint8_t> datagram;
  bool valid;
  size_t seen_size;  // what the 64-byte probe buffer holds of it
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<uint8_t> with(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& more) {
  std::vector<uint8_t> out(bytes.size() + more.size());
  std::copy(more.begin(), more.end(), std::copy(bytes.begin(), bytes.end(), out.begin()));
  return out;
}

std::vector<uint8_t> long_datagram() {
  return with(probe(kToken), std::vector<uint8_t>(88, 0x5A));
}

std::vector<ProbeCase> probe_cases() {
  std::vector<uint8_t> wrong_token = kToken;
  wrong_token[7] ^= 0x01;
  return {
      {"TokenExact", Token::kKey, probe(kToken), true, 12},
      {"TokenOneExtraByte", Token::kKey, with(probe(kToken), {0x00}), false, 13},
      {"TokenMagicOnly", Token::kKey, probe({}), false, 4},
      {"TokenWrong", Token::kKey, probe(wrong_token), false, 12},
      {"TokenWrongMagic", Token::kKey, with({'V', 'N', 'P', '2'}, kToken), false, 12},
      {"TokenLongDatagram", Token::kKey, long_datagram(), false, 64},
      {"NoTokenMagicOnly", Token::kNone, probe({}), true, 4},
      {"NoTokenThirteenBytes", Token::kNone, with(probe(kToken), {0x00}), true, 13},
      {"NoTokenLongDatagram", Token::kNone, long_datagram(), true, 64},
      {"NoTokenShort", Token::kNone, {'V', 'N', 'P'}, false, 3},
      {"NoTokenLowercaseMagic", Token::kNone, {'v', 'n', 'p', '1'}, false, 4},
      {"NoTokenEmpty", Token::kNone, {}, false, 0},
      {"ShortKeyMagicOnly", Token::kTooShort, probe({}), true, 4},
  };
}

class ProbeValidation : public ::testing::TestWithParam<ProbeCase> {};

// The candidate probe comes from one launcher socket; a valid probe from a
// second socket follows. The first valid one of the two decides where the
// next datagram goes.
TEST_P(ProbeValidation, FirstValidProbeDecidesTheDestination) {
  const ProbeCase& c = GetParam();
  test::LogCapture log;
  test::IoThreads io(2);
  test::UdpTestPeer initial, candidate, sentinel;
  uint16_t local_port = 0;
  auto sender = test::open_sender(io.io(), initial.port(), &local_port);
  ASSERT_NE(sender, nullptr) << log.dump();
  if (c.token == Token::kKey) sender->set_probe_token(kKey.data(), kKey.size());
  if (c.token == Token::kTooShort) {
    sender->set_probe_token(kKey.data(), 4);
    EXPECT_TRUE(log.contains("warning: UDP sender: probe token too short (4B) — magic-only validation"));
  }
  sender->start_probe_listening();
  EXPECT_TRUE(log.contains(fmt::format("info: UDP sender: waiting for hole-punch probe on port {}...", local_port)));

  candidate.send_to(c.datagram, local_port);
  if (c.valid) {
    // Launchers repeat their probes; so does this one, as Wine now and then
    // delivers an over-long datagram as an empty one.
    bool received = sender->wait_for_probe(1, {});
    for (int attempt = 0; attempt < 9 && !received; ++attempt) {
      candidate.send_to(c.datagram, local_port);
      received = sender->wait_for_probe(1, {});
    }
    ASSERT_TRUE(received) << log.dump();
    EXPECT_TRUE(log.contains(fmt::format("info: UDP sender: hole-punch probe received from 127.0.0.1:{} ({} bytes)",
                                         candidate.port(), c.seen_size)))
        << log.dump();
  } else {
    const std::string ignored = fmt::format("debug: UDP sender: ignoring invalid probe ({} bytes) from 127.0.0.1:{}",
                                            c.seen_size, candidate.port());
    bool seen = test::eventually([&] { return log.contains(ignored); }, std::chrono::seconds(1));
    for (int attempt = 0; attempt < 4 && !seen; ++attempt) {
      candidate.send_to(c.datagram, local_port);
      seen = test::eventually([&] { return log.contains(ignored); }, std::chrono::seconds(1));
    }
    ASSERT_TRUE(seen) << log.dump();
  }
  // Ignored after a valid candidate: no probe is received any more.
  sentinel.send_to(probe(kToken), local_port);
  ASSERT_TRUE(sender->wait_for_probe(10, {})) << log.dump();

  const Packet packet = test::make_packet(7, 40);
  sender->enqueue({packet});
  test::UdpTestPeer& expected = c.valid ? candidate : sentinel;
  EXPECT_TRUE(log.contains(fmt::format("info: UDP sender: destination updated -> 127.0.0.1:{}", expected.port())));
  const auto received = expected.receive();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, test::wire_bytes(packet));
}

INSTANTIATE_TEST_SUITE_P(Probes, ProbeValidation, ::testing::ValuesIn(probe_cases()),
                         [](const ::testing::TestParamInfo<ProbeCase>& p) { return p.param.name; });

}  // namespace
}  // namespace vn::network
