#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/base/secret_wipe.h"

// The three per-session keys the handshake hands to the launcher.
namespace vn::network {

inline constexpr size_t kSessionKeyBytes = 32;

// Resizes each key to 32 bytes and fills it: derived from `master` with
// libsodium's KDF (ids 1/2/3, contexts "vnvideo1"/"vnaudio1"/"vninput1") when
// `master` is exactly 32 bytes, random otherwise. Logs which. libsodium must
// be initialised.
void make_session_keys(const std::vector<uint8_t>& master, std::vector<uint8_t>& video,
                       std::vector<uint8_t>& audio, std::vector<uint8_t>& input);

// Standard padded Base64 (RFC 4648).
std::string to_base64(const std::vector<uint8_t>& bytes);

// The compact session_ready object (keys in lexicographic order) followed by
// one line feed. The caller should wipe it once written.
std::string session_ready_line(const std::vector<uint8_t>& video, const std::vector<uint8_t>& audio,
                               const std::vector<uint8_t>& input);

}  // namespace vn::network
