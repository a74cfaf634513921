#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The launcher's first line on the control connection and its token check.
namespace vn::network {

// What the launcher asks for; logged and kept, the session's encoding
// parameters come from the backend.
struct StreamRequest {
  int32_t codec = 0;
  int32_t width = 1920;
  int32_t height = 1080;
  int32_t fps = 60;
  int32_t bitrate_kbps = 15000;
};

struct LauncherAuth {
  std::string token;
  StreamRequest stream;
  std::string udp_ip;  // as sent, before the override rules
};

enum class AuthLineStatus {
  kAuth,       // an object with type "auth" and every present key well typed
  kNotAuth,    // well-formed object whose `type` is not "auth"
  kJsonError,  // not JSON, not an object, or a key of the wrong type or range
};

struct AuthLineResult {
  AuthLineStatus status = AuthLineStatus::kJsonError;
  LauncherAuth auth;   // filled for kAuth
  std::string detail;  // kNotAuth: the `type` ("unknown" when absent); kJsonError: the parser's message, never the input it quotes
};

// Parses one line (without its line feed). Never throws for any input.
AuthLineResult parse_auth_line(std::string_view line);

// Checks the launcher's token against the backend's SHA-256 hex digest (any
// letter case). An empty `expected_sha256_hex` accepts any non-empty token
// with a warning. Logs the outcome. Constant time in the compared digits; the
// computed digest is wiped.
bool verify_launcher_token(std::string_view token, std::string_view expected_sha256_hex);

}  // namespace vn::network
