#pragma once

namespace vn {

// Process-wide socket layer set-up for as long as the object lives: Winsock
// 2.2 on Windows; on Linux SIGPIPE is ignored so that a launcher closing its
// end turns into a write error instead of ending the agent.
class NetworkRuntime {
 public:
  NetworkRuntime();
  ~NetworkRuntime();
  NetworkRuntime(const NetworkRuntime&) = delete;
  NetworkRuntime& operator=(const NetworkRuntime&) = delete;

  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

}  // namespace vn
