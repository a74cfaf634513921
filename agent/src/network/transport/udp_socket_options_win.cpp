#include "network/transport/udp_socket_options.h"

// winsock2.h before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <windows.h>

namespace vn::network {

bool set_type_of_service(asio::ip::udp::socket& socket, int tos) {
  if (!socket.is_open()) return false;
  // IP_TOS from ws2tcpip.h (3), not winsock.h's obsolete 8. Windows accepts
  // the option but only marks packets when QoS policy allows it.
  const DWORD value = static_cast<DWORD>(tos);
  const SOCKET handle = socket.native_handle();
  return ::setsockopt(handle, IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&value), sizeof(value)) == 0;
}

void ignore_port_unreachable(asio::ip::udp::socket& socket) {
  if (!socket.is_open()) return;
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(socket.native_handle(), SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr,
             nullptr);
}

void cancel_pending_io(asio::ip::udp::socket& socket) {
  if (!socket.is_open()) return;
  // A SOCKET is a kernel handle; a null OVERLAPPED cancels every outstanding
  // operation on it, whichever thread issued it. asio's IOCP handle type
  // converts to SOCKET only.
  const SOCKET handle = socket.native_handle();
  ::CancelIoEx(reinterpret_cast<HANDLE>(handle), nullptr);
}

}  // namespace vn::network
