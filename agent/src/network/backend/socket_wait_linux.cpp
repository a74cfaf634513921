#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "network/backend/socket_wait.h"

namespace vn::network {

SocketWait wait_socket(uint64_t native_handle, bool for_write, int timeout_ms) {
  pollfd entry{};
  entry.fd = static_cast<int>(native_handle);
  entry.events = for_write ? POLLOUT : POLLIN;
  const int ready = ::poll(&entry, 1, timeout_ms);
  if (ready < 0) return errno == EINTR ? SocketWait::kTimeout : SocketWait::kError;
  if (ready == 0) return SocketWait::kTimeout;
  // POLLERR / POLLHUP: the next read, write or SO_ERROR tells what happened.
  return SocketWait::kReady;
}

bool set_tcp_keepalive(uint64_t native_handle, uint32_t idle_ms, uint32_t interval_ms) {
  const int fd = static_cast<int>(native_handle);
  const int on = 1;
  const int idle_s = static_cast<int>(idle_ms / 1000 > 0 ? idle_ms / 1000 : 1);
  const int interval_s = static_cast<int>(interval_ms / 1000 > 0 ? interval_ms / 1000 : 1);
  return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof(idle_s)) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof(interval_s)) == 0;
}

}  // namespace vn::network
