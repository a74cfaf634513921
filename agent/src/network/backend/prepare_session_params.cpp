#include "network/backend/prepare_session_params.h"

#include <sodium.h>

#include "network/backend/wipe.h"

namespace vn::network {

PrepareSessionParams::~PrepareSessionParams() {
  if (!encryption_key.empty()) sodium_memzero(encryption_key.data(), encryption_key.size());
  wipe_capacity(session_token_sha256);
}

}  // namespace vn::network
