#pragma once

#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>

// What the public send calls put in a connection's write queue, and how the
// caller learns the outcome. A Job is built on the caller's thread, then moved
// to the server thread, which alone touches it from then on.
namespace vn::tools::backend_detail {

// A caller's wait for one queued operation. The promise is settled exactly
// once: with the result, or with false when the operation is dropped unrun
// (io_context torn down, connection gone). Copies share the state; set() may
// be called from any thread.
class Completion {
 public:
  Completion() : state_(std::make_shared<State>()) {}
  std::future<bool> future() { return state_->promise.get_future(); }
  void set(bool ok) const { state_->set(ok); }

 private:
  struct State {
    std::promise<bool> promise;
    std::mutex mutex;
    bool done = false;
    void set(bool ok) {
      std::lock_guard lock(mutex);
      if (done) return;
      done = true;
      promise.set_value(ok);
    }
    ~State() { set(false); }
  };
  std::shared_ptr<State> state_;
};

struct Job {
  enum class Kind { kText, kFragments, kPing, kClose, kRaw };
  Kind kind = Kind::kText;
  std::string data;
  size_t pieces = 1;
  uint16_t code = 0;
  Completion done;
  // kFragments progress.
  size_t offset = 0;
  size_t sent_pieces = 0;
};

}  // namespace vn::tools::backend_detail
