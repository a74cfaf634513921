#pragma once

#include <cstdint>

namespace vn {

// Why a session could not be set up: the one vocabulary of the codes the
// backend receives in its "error" messages.
enum class SessionError : uint8_t {
  kNone,               // no failure (yet)
  kCaptureInitFailed,  // the desktop capture did not open
  kEncoderInitFailed,  // no encoder of the chain opened
  kAuthFail,           // the launcher handshake failed before a decision (I/O, bad JSON)
  kAuthRejected,       // the launcher's token, address or request was refused
  kHandshakeTimeout,   // no launcher, or no auth line, in time
  kSessionAborted,     // the agent stopped while waiting for the launcher
};

// The upper-case code on the wire ("DXGI_INIT_FAILED", "AUTH_REJECTED", ...);
// "NONE" for kNone. Never null.
const char* to_text(SessionError error);

}  // namespace vn
