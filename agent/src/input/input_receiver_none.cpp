#include "input/input_receiver.h"

namespace vn {

// No input injection in this build: the launcher's input port stays closed.
std::unique_ptr<InputReceiver> InputReceiver::Create(asio::io_context&) { return nullptr; }

}  // namespace vn
