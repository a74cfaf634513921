#include "network/backend/prepare_session_params.h"

#include "core/base/secret_wipe.h"

namespace vn::network {

PrepareSessionParams::~PrepareSessionParams() {
  wipe(encryption_key);
  wipe(session_token_sha256);
}

}  // namespace vn::network
