#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "network/control/tcp_keepalive.h"

namespace vn::network {

bool enable_keepalive(asio::ip::tcp::socket& socket) {
  const int fd = socket.native_handle();
  const int on = 1;
  const int idle = kKeepAliveIdleS;
  const int interval = kKeepAliveIntervalS;
  const int probes = kKeepAliveProbes;
  return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
}

}  // namespace vn::network
