#include "network/control/tcp_listen_options.h"

namespace vn::network {

bool listener_reuses_address() { return false; }

}  // namespace vn::network
