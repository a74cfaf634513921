#pragma once

namespace vn::network {

// One-time check of the erasure code's GF(256) arithmetic, run at start-up
// before any session: every non-zero element must have an inverse and
// multiplication must agree with it. False means the FEC cannot be trusted
// and the agent must not stream.
bool erasure_code_init();

}  // namespace vn::network
