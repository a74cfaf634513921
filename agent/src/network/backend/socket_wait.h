#pragma once

#include <cstdint>

// Small socket calls asio does not offer, on the native handle of an asio
// socket (passed as an integer so that no platform type appears here).
namespace vn::network {

enum class SocketWait {
  kReady,    // readable (or writable), or a pending connect finished either way
  kTimeout,
  kError,
};

// Waits up to `timeout_ms` for the socket to become readable (`for_write`
// false) or writable. Failed connects report kReady: read SO_ERROR then.
SocketWait wait_socket(uint64_t native_handle, bool for_write, int timeout_ms);

// TCP keep-alive on, with the idle time before the first probe and the
// interval between probes. False when the system refuses.
bool set_tcp_keepalive(uint64_t native_handle, uint32_t idle_ms, uint32_t interval_ms);

}  // namespace vn::network
