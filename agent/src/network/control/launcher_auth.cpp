#include "network/control/launcher_auth.h"

#include <nlohmann/json.hpp>
#include <sodium.h>
#include <spdlog/spdlog.h>

#include <array>

#include "core/base/ascii_text.h"
#include "core/base/json_fields.h"
#include "core/base/secret_wipe.h"

namespace vn::network {
namespace {

constexpr size_t kHexDigits = crypto_hash_sha256_BYTES * 2;

// The parser's message without the text it last read, which can be part of
// the token.
std::string parse_error_text(const nlohmann::json::exception& e) {
  std::string text = e.what();
  const size_t quote = text.find("; last read");
  if (quote != std::string::npos) text.resize(quote);
  return text;
}

// Wipes the token's copy inside the parsed message before the message is freed.
void wipe_token_value(nlohmann::json& message) {
  if (!message.is_object()) return;
  const auto token = message.find("token");
  if (token == message.end() || !token->is_string()) return;
  wipe(token->get_ref<std::string&>());
}

}  // namespace

AuthLineResult parse_auth_line(std::string_view line) {
  AuthLineResult result;
  nlohmann::json message;
  try {
    message = nlohmann::json::parse(line.begin(), line.end());
    const std::string type = json_string(message, "type", "unknown");
    if (type != "auth") {
      result.status = AuthLineStatus::kNotAuth;
      result.detail = type;
      wipe_token_value(message);
      return result;
    }
    LauncherAuth& auth = result.auth;
    auth.token = json_string(message, "token", "");
    auth.stream.codec = json_i32(message, "codec", auth.stream.codec);
    auth.stream.width = json_i32(message, "width", auth.stream.width);
    auth.stream.height = json_i32(message, "height", auth.stream.height);
    auth.stream.fps = json_i32(message, "fps", auth.stream.fps);
    auth.stream.bitrate_kbps = json_i32(message, "bitrate", auth.stream.bitrate_kbps);
    auth.udp_ip = json_string(message, "udp_ip", "");
    result.status = AuthLineStatus::kAuth;
  } catch (const nlohmann::json::exception& e) {
    wipe(result.auth.token);
    result = AuthLineResult{};
    result.detail = parse_error_text(e);
  } catch (const JsonFieldError& e) {
    wipe(result.auth.token);
    result = AuthLineResult{};
    result.detail = e.what();
  }
  wipe_token_value(message);
  return result;
}

bool verify_launcher_token(std::string_view token, std::string_view expected_sha256_hex) {
  if (expected_sha256_hex.empty()) {
    if (!token.empty()) {
      spdlog::warn(
          "TcpControlServer: SECURITY — no session_token_sha256 supplied by backend; accepting non-empty token "
          "UNVERIFIED");
      return true;
    }
    spdlog::error("TcpControlServer: empty token and no expected hash — rejecting");
    return false;
  }

  std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(token.data()), token.size());
  std::array<char, kHexDigits + 1> actual{};
  sodium_bin2hex(actual.data(), actual.size(), digest.data(), digest.size());
  sodium_memzero(digest.data(), digest.size());

  bool match = false;
  if (expected_sha256_hex.size() == kHexDigits) {
    std::array<char, kHexDigits> expected{};
    for (size_t i = 0; i < kHexDigits; ++i) expected[i] = ascii_lower(expected_sha256_hex[i]);
    match = sodium_memcmp(actual.data(), expected.data(), kHexDigits) == 0;
    sodium_memzero(expected.data(), expected.size());
  }
  sodium_memzero(actual.data(), actual.size());

  if (match) {
    spdlog::info("TcpControlServer: session token verified (SHA-256 match)");
  } else {
    spdlog::error("TcpControlServer: session token verification FAILED — rejecting client");
  }
  return match;
}

}  // namespace vn::network
