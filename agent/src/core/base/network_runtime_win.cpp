#include "core/base/network_runtime.h"

#include <winsock2.h>

#include <spdlog/spdlog.h>

namespace vn {

NetworkRuntime::NetworkRuntime() {
  WSADATA data{};
  const int result = WSAStartup(MAKEWORD(2, 2), &data);
  ok_ = result == 0;
  if (!ok_) spdlog::error("WSAStartup failed: {}", result);
}

NetworkRuntime::~NetworkRuntime() {
  if (ok_) WSACleanup();
}

}  // namespace vn
