#include "network/udp_socket_options.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace vn::network {

bool set_type_of_service(asio::ip::udp::socket& socket, int tos) {
  if (!socket.is_open()) return false;
  // IP_TOS from ws2tcpip.h (3), not winsock.h's obsolete 8. Windows accepts
  // the option but only marks packets when QoS policy allows it.
  const DWORD value = static_cast<DWORD>(tos);
  return ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&value),
                      sizeof(value)) == 0;
}

void cancel_pending_io(asio::ip::udp::socket& socket) {
  if (!socket.is_open()) return;
  // A SOCKET is a kernel handle; a null OVERLAPPED cancels every outstanding
  // operation on it, whichever thread issued it.
  ::CancelIoEx(reinterpret_cast<HANDLE>(socket.native_handle()), nullptr);
}

}  // namespace vn::network
