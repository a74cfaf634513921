#include "core/base/session_error.h"

namespace vn {

const char* to_text(SessionError error) {
  switch (error) {
    case SessionError::kNone: return "NONE";
    case SessionError::kCaptureInitFailed: return "DXGI_INIT_FAILED";
    case SessionError::kEncoderInitFailed: return "ENCODER_INIT_FAILED";
    case SessionError::kAuthFail: return "AUTH_FAIL";
    case SessionError::kAuthRejected: return "AUTH_REJECTED";
    case SessionError::kHandshakeTimeout: return "HANDSHAKE_TIMEOUT";
    case SessionError::kSessionAborted: return "SESSION_ABORTED";
    case SessionError::kMediaSetupFailed: return "MEDIA_SETUP_FAILED";
    case SessionError::kAgentBusy: return "AGENT_BUSY";
    case SessionError::kSuperseded: return "SESSION_SUPERSEDED";
    case SessionError::kKeyReused: return "KEY_REUSED";
    case SessionError::kInvalidResolution: return "INVALID_RESOLUTION";
  }
  return "UNKNOWN";
}

}  // namespace vn
