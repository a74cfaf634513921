#include <winsock2.h>
#include <mstcpip.h>

#include "network/backend/socket_wait.h"

namespace vn::network {

SocketWait wait_socket(uint64_t native_handle, bool for_write, int timeout_ms) {
  // select() rather than WSAPoll: older WSAPoll does not report a failed connect.
  const SOCKET socket = static_cast<SOCKET>(native_handle);
  fd_set wanted;
  fd_set failed;
  FD_ZERO(&wanted);
  FD_ZERO(&failed);
  FD_SET(socket, &wanted);
  FD_SET(socket, &failed);  // a failed non-blocking connect shows here
  timeval timeout{};
  timeout.tv_sec = timeout_ms / 1000;
  timeout.tv_usec = (timeout_ms % 1000) * 1000;
  const int ready = ::select(0, for_write ? nullptr : &wanted, for_write ? &wanted : nullptr, &failed, &timeout);
  if (ready == SOCKET_ERROR) return SocketWait::kError;
  if (ready == 0) return SocketWait::kTimeout;
  return SocketWait::kReady;
}

bool set_tcp_keepalive(uint64_t native_handle, uint32_t idle_ms, uint32_t interval_ms) {
  const SOCKET socket = static_cast<SOCKET>(native_handle);
  const BOOL on = TRUE;
  if (::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
    return false;
  }
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = idle_ms;
  values.keepaliveinterval = interval_ms;
  DWORD returned = 0;
  return ::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned, nullptr, nullptr) ==
         0;
}

}  // namespace vn::network
