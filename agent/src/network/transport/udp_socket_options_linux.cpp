#include "network/transport/udp_socket_options.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

namespace vn::network {

bool set_type_of_service(asio::ip::udp::socket& socket, int tos) {
  if (!socket.is_open()) return false;
  return ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) == 0;
}

void ignore_port_unreachable(asio::ip::udp::socket&) {}

void cancel_pending_io(asio::ip::udp::socket& socket) {
  if (!socket.is_open()) return;
  asio::error_code ignored;
  socket.cancel(ignored);
}

}  // namespace vn::network
