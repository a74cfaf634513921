#include "core/base/network_runtime.h"

#include <csignal>

namespace vn {

NetworkRuntime::NetworkRuntime() {
  std::signal(SIGPIPE, SIG_IGN);
  ok_ = true;
}

NetworkRuntime::~NetworkRuntime() = default;

}  // namespace vn
