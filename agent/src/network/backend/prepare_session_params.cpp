#include "network/backend/prepare_session_params.h"

#include <sodium.h>

namespace vn::network {

PrepareSessionParams::~PrepareSessionParams() {
  if (!encryption_key.empty()) sodium_memzero(encryption_key.data(), encryption_key.size());
  if (!session_token_sha256.empty()) sodium_memzero(session_token_sha256.data(), session_token_sha256.size());
}

}  // namespace vn::network
