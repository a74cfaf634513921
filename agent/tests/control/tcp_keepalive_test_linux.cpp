// The keep-alive that notices a launcher gone without FIN or RST: the options
// the system reports back on a connected socket.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>

#include "network/control/tcp_keepalive.h"

namespace vn::network {
namespace {

int socket_option(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  return getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
}

TEST(TcpKeepAlive, ProbesAfterFiveIdleSecondsAndGivesUpAfterAboutFifteen) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  asio::ip::tcp::socket server = acceptor.accept();

  ASSERT_TRUE(enable_keepalive(server));
  const int fd = server.native_handle();
  EXPECT_EQ(socket_option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  const int idle = socket_option(fd, IPPROTO_TCP, TCP_KEEPIDLE);
  const int interval = socket_option(fd, IPPROTO_TCP, TCP_KEEPINTVL);
  const int probes = socket_option(fd, IPPROTO_TCP, TCP_KEEPCNT);
  EXPECT_EQ(idle, 5);
  EXPECT_LE(idle + interval * probes, 16);
  EXPECT_GE(idle + interval * probes, 10);
}

}  // namespace
}  // namespace vn::network
