#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Wiping the buffers that held secrets (keys, tokens, messages that carry
// them) before they are freed or reused.
namespace vn {

// Overwrites the whole buffer of `text` with zeros, its capacity and not only
// its size (bytes past the size may be left from earlier, longer content),
// and empties it. The buffer stays allocated.
void wipe(std::string& text);

// Overwrites the bytes with zeros and empties the vector.
void wipe(std::vector<uint8_t>& bytes);

// Wipes a string when the scope ends, however it ends.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) : text_(text) {}
  ~WipeOnExit() { wipe(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& text_;
};

}  // namespace vn
