#include <gtest/gtest.h>

#include <string>

#include "core/base/session_error.h"

namespace vn {
namespace {

// The codes are what the backend matches on: each must keep its text.
TEST(SessionError, CodesOnTheWire) {
  const struct {
    SessionError error;
    const char* text;
  } cases[] = {
      {SessionError::kNone, "NONE"},
      {SessionError::kCaptureInitFailed, "DXGI_INIT_FAILED"},
      {SessionError::kEncoderInitFailed, "ENCODER_INIT_FAILED"},
      {SessionError::kAuthFail, "AUTH_FAIL"},
      {SessionError::kAuthRejected, "AUTH_REJECTED"},
      {SessionError::kHandshakeTimeout, "HANDSHAKE_TIMEOUT"},
      {SessionError::kSessionAborted, "SESSION_ABORTED"},
      {SessionError::kMediaSetupFailed, "MEDIA_SETUP_FAILED"},
      {SessionError::kAgentBusy, "AGENT_BUSY"},
      {SessionError::kSuperseded, "SESSION_SUPERSEDED"},
      {SessionError::kKeyReused, "KEY_REUSED"},
      {SessionError::kInvalidResolution, "INVALID_RESOLUTION"},
  };
  for (const auto& c : cases) EXPECT_STREQ(to_text(c.error), c.text);
  EXPECT_STREQ(to_text(static_cast<SessionError>(200)), "UNKNOWN");
}

}  // namespace
}  // namespace vn
