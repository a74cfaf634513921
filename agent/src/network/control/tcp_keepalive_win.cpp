#include <winsock2.h>
#include <mstcpip.h>

#include "network/control/tcp_keepalive.h"

namespace vn::network {

// SIO_KEEPALIVE_VALS sets the idle time and the interval (milliseconds); the
// number of probes is fixed at 10 since Windows Vista.
bool enable_keepalive(asio::ip::tcp::socket& socket) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = kKeepAliveIdleS * 1000;
  values.keepaliveinterval = kKeepAliveIntervalS * 1000;
  DWORD returned = 0;
  return WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                  nullptr) == 0;
}

}  // namespace vn::network
