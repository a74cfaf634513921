// Which address UDP media goes to: the private-address test, the handshake's
// udp_ip override rules and udp_destination's choice.
#include <gtest/gtest.h>

#include <string>

#include "network/control/private_address.h"
#include "support/log_capture.h"
#include "support/tcp_test_client.h"

namespace vn::network {
namespace {

struct AddressCase {
  const char* text;
  bool is_private;
};

class PrivateAddress : public testing::TestWithParam<AddressCase> {};

TEST_P(PrivateAddress, Classifies) { EXPECT_EQ(is_private_address(GetParam().text), GetParam().is_private); }

INSTANTIATE_TEST_SUITE_P(Table, PrivateAddress,
                         testing::Values(AddressCase{"10.0.0.1", true}, AddressCase{"10.255.255.255", true},
                                         AddressCase{"172.16.0.1", true}, AddressCase{"172.31.255.254", true},
                                         AddressCase{"172.15.0.1", false}, AddressCase{"172.32.0.1", false},
                                         AddressCase{"192.168.1.5", true}, AddressCase{"192.169.1.5", false},
                                         AddressCase{"127.0.0.1", true}, AddressCase{"127.200.1.1", true},
                                         AddressCase{"203.0.113.7", false}, AddressCase{"8.8.8.8", false},
                                         AddressCase{"169.254.1.1", false},  // link-local does not count
                                         AddressCase{"100.64.0.1", false},   // nor shared address space
                                         AddressCase{"::1", false}, AddressCase{"fd00::1", false},
                                         AddressCase{"::ffff:192.168.1.5", false}, AddressCase{"", false},
                                         AddressCase{"192.168.1", false}, AddressCase{"192.168.1.5.6", false},
                                         AddressCase{"192.168.1.256", false}, AddressCase{"010.0.0.1", false},
                                         AddressCase{" 10.0.0.1", false}, AddressCase{"10.0.0.1 ", false},
                                         AddressCase{"10.0.0.-1", false}, AddressCase{"localhost", false}));

struct RouteCase {
  const char* name;
  friend void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }
  std::string sent_udp_ip;  // the launcher's value
  std::string tcp_remote;
  std::string kept;         // after the handshake's override rules
  const char* kept_log;
  std::string destination;  // udp_destination() with the kept value
  const char* destination_log;
};

class UdpRoute : public testing::TestWithParam<RouteCase> {};

TEST_P(UdpRoute, KeepsAndChooses) {
  const RouteCase& c = GetParam();
  test::LogCapture logs;
  const std::string kept = reconcile_udp_ip(c.sent_udp_ip, c.tcp_remote);
  EXPECT_EQ(kept, c.kept);
  if (*c.kept_log != '\0') {
    EXPECT_TRUE(logs.contains(c.kept_log)) << logs.dump();
  }
  EXPECT_EQ(choose_udp_destination(kept, c.tcp_remote), c.destination);
  EXPECT_TRUE(logs.contains(c.destination_log)) << logs.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Table, UdpRoute,
    testing::Values(
        RouteCase{"PrivateLauncherBehindPublicPeer", "192.168.1.5", "203.0.113.7", "192.168.1.5",
                  "info: TcpControlServer: launcher self-reported UDP IP = 192.168.1.5 (overrides TCP remote "
                  "203.0.113.7)",
                  "203.0.113.7",
                  "warning: TcpControlServer: launcher self-reported UDP IP 192.168.1.5 is private but TCP remote is "
                  "203.0.113.7 (public) — cross-internet session, using TCP remote instead"},
        RouteCase{"PublicLauncherWithPrivatePeer", "203.0.113.7", "192.168.1.5", "192.168.1.5",
                  "warning: TcpControlServer: udp_ip '203.0.113.7' is a different public address from TCP "
                  "'192.168.1.5' — ignoring override",
                  "192.168.1.5", "debug: TcpControlServer: using launcher-provided UDP IP: 192.168.1.5"},
        RouteCase{"DifferentPublicAddresses", "198.51.100.9", "203.0.113.7", "203.0.113.7",
                  "ignoring override", "203.0.113.7", "using launcher-provided UDP IP: 203.0.113.7"},
        RouteCase{"GarbageIsReplaced", "not an address", "203.0.113.7", "203.0.113.7", "ignoring override",
                  "203.0.113.7", "using launcher-provided UDP IP: 203.0.113.7"},
        RouteCase{"SameAsPeer", "203.0.113.7", "203.0.113.7", "203.0.113.7",
                  "info: TcpControlServer: launcher UDP IP matches TCP remote: 203.0.113.7", "203.0.113.7",
                  "using launcher-provided UDP IP: 203.0.113.7"},
        RouteCase{"BothPrivate", "10.0.0.8", "192.168.1.5", "10.0.0.8", "overrides TCP remote 192.168.1.5",
                  "10.0.0.8", "using launcher-provided UDP IP: 10.0.0.8"},
        RouteCase{"NoLauncherValue", "", "203.0.113.7", "", "", "203.0.113.7",
                  "debug: TcpControlServer: using TCP remote IP as UDP dest: 203.0.113.7"},
        RouteCase{"PrivateWithoutPeer", "192.168.1.5", "", "192.168.1.5", "overrides TCP remote",
                  "192.168.1.5", "using launcher-provided UDP IP: 192.168.1.5"}),
    [](const testing::TestParamInfo<RouteCase>& p) { return p.param.name; });

TEST(UdpRoute, NothingKnownGivesEmpty) { EXPECT_EQ(choose_udp_destination("", ""), ""); }

// Over a real connection the TCP peer is loopback (private), so a private
// udp_ip from the launcher wins both at the handshake and afterwards.
TEST(UdpRoute, HandshakeKeepsAPrivateLauncherAddress) {
  test::ServerUnderTest run({}, "");
  run.start_handshake();
  test::TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(R"({"type":"auth","token":"t","udp_ip":"192.168.1.5"})" "\n"));
  ASSERT_TRUE(launcher.read_line().has_value());
  ASSERT_TRUE(run.handshake_result());
  EXPECT_EQ(run.server().udp_ip(), "192.168.1.5");
  EXPECT_EQ(run.server().udp_destination(), "192.168.1.5");
}

TEST(UdpRoute, HandshakeWithoutLauncherAddressUsesThePeer) {
  test::ServerUnderTest run({}, "");
  run.start_handshake();
  test::TestLauncher launcher;
  ASSERT_TRUE(launcher.connect(run.port()));
  ASSERT_TRUE(launcher.send(R"({"type":"auth","token":"t"})" "\n"));
  ASSERT_TRUE(launcher.read_line().has_value());
  ASSERT_TRUE(run.handshake_result());
  EXPECT_EQ(run.server().udp_destination(), "127.0.0.1");
  run.server().stop();
  EXPECT_EQ(run.server().udp_destination(), "");
}

}  // namespace
}  // namespace vn::network
