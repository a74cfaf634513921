#pragma once

#include <string>

// Wiping the buffers that held backend secrets (a master key in a received
// message, the agent token in the upgrade request) before they are freed or
// reused.
namespace vn::network {

// Overwrites the whole buffer of `text` with zeros, its capacity and not only
// its size (bytes past the size may be left from earlier, longer content),
// and empties it. The buffer stays allocated.
void wipe_capacity(std::string& text);

// Wipes a string (wipe_capacity) when the scope ends, however it ends.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) : text_(text) {}
  ~WipeOnExit() { wipe_capacity(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& text_;
};

}  // namespace vn::network
