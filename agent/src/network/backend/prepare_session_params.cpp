#include "network/backend/prepare_session_params.h"

#include <sodium.h>

namespace vn::network {

PrepareSessionParams::~PrepareSessionParams() {
  if (!encryption_key.empty()) sodium_memzero(encryption_key.data(), encryption_key.size());
}

}  // namespace vn::network
