#include "network/control/session_keys.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <string_view>

namespace vn::network {
namespace {

// Context strings are exactly crypto_kdf_CONTEXTBYTES (8) characters.
struct Derivation {
  uint64_t id;
  const char* context;
};
constexpr Derivation kVideo{1, "vnvideo1"};
constexpr Derivation kAudio{2, "vnaudio1"};
constexpr Derivation kInput{3, "vninput1"};
static_assert(crypto_kdf_CONTEXTBYTES == 8);
static_assert(crypto_kdf_KEYBYTES == kSessionKeyBytes);

void derive(const std::vector<uint8_t>& master, const Derivation& d, std::vector<uint8_t>& key) {
  crypto_kdf_derive_from_key(key.data(), key.size(), d.id, d.context, master.data());
}

}  // namespace

void make_session_keys(const std::vector<uint8_t>& master, std::vector<uint8_t>& video,
                       std::vector<uint8_t>& audio, std::vector<uint8_t>& input) {
  video.resize(kSessionKeyBytes);
  audio.resize(kSessionKeyBytes);
  input.resize(kSessionKeyBytes);
  if (master.size() == crypto_kdf_KEYBYTES) {
    derive(master, kVideo, video);
    derive(master, kAudio, audio);
    derive(master, kInput, input);
    spdlog::info("TcpControlServer: derived 3x 32-byte session keys from SaaS master (HKDF)");
  } else {
    randombytes_buf(video.data(), video.size());
    randombytes_buf(audio.data(), audio.size());
    randombytes_buf(input.data(), input.size());
    spdlog::debug("TcpControlServer: generated 3x 32-byte random session keys");
  }
}

std::string to_base64(const std::vector<uint8_t>& bytes) {
  constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), kVariant);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

std::string session_ready_line(const std::vector<uint8_t>& video, const std::vector<uint8_t>& audio,
                               const std::vector<uint8_t>& input) {
  // Written out rather than through a JSON value so that every copy of the
  // key text can be wiped; Base64 needs no escaping, and this is byte for
  // byte the compact serialisation with sorted keys.
  static constexpr std::string_view kAudio = "{\"audio_key\":\"";
  static constexpr std::string_view kInput = "\",\"input_key\":\"";
  static constexpr std::string_view kVideo = "\",\"type\":\"session_ready\",\"video_key\":\"";
  static constexpr std::string_view kEnd = "\"}\n";
  std::string video_text = to_base64(video);
  std::string audio_text = to_base64(audio);
  std::string input_text = to_base64(input);
  // Reserved in full (202 bytes for 32-byte keys): a line that outgrew its
  // buffer would leave the keys so far in a freed, unwiped one.
  std::string line;
  line.reserve(kAudio.size() + audio_text.size() + kInput.size() + input_text.size() + kVideo.size() +
               video_text.size() + kEnd.size());
  line += kAudio;
  line += audio_text;
  line += kInput;
  line += input_text;
  line += kVideo;
  line += video_text;
  line += kEnd;
  wipe(video_text);
  wipe(audio_text);
  wipe(input_text);
  return line;
}

}  // namespace vn::network
