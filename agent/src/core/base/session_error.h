#pragma once

#include <cstdint>

namespace vn {

// Why a session could not be set up or ended early: the one vocabulary of the codes the
// backend receives in its "error" messages.
enum class SessionError : uint8_t {
  kNone,               // no failure (yet)
  kCaptureInitFailed,  // the desktop capture did not open
  kEncoderInitFailed,  // no encoder of the chain opened
  kAuthFail,           // the launcher handshake failed before a decision (I/O, bad JSON)
  kAuthRejected,       // the launcher's token, address or request was refused
  kHandshakeTimeout,   // no launcher, or no auth line, in time
  kSessionAborted,     // the agent stopped while waiting for the launcher
  kMediaSetupFailed,   // after session_ready: no launcher address, or the video socket did not open
  kAgentBusy,          // a prepare_session came while another session runs
  kSuperseded,         // a newer prepare_session replaced this one before it started
  kKeyReused,          // the master key was used by an earlier session of this process
  kInvalidResolution,  // the requested picture size is outside what the encoders accept
};

// The upper-case code on the wire ("DXGI_INIT_FAILED", "AUTH_REJECTED", ...);
// "NONE" for kNone. Never null.
const char* to_text(SessionError error);

}  // namespace vn
