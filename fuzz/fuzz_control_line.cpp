// The launcher's TCP lines: the auth line parser and the control-message
// dispatcher, with every callback installed.
#include <spdlog/spdlog.h>

#include <string>
#include <string_view>

#include "network/control/control_messages.h"
#include "network/control/launcher_auth.h"

using namespace vn::network;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    spdlog::set_level(spdlog::level::off);
    return true;
  }();
  (void)quiet;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  (void)parse_auth_line(line);

  ControlCallbacks callbacks;
  callbacks.stats = [](const vn::ClientStats&) {};
  callbacks.command = [](const std::string&) {};
  callbacks.settings = [](const SettingsChange&) {};
  (void)dispatch_control_line(line, callbacks, [](std::string) {});
  return 0;
}
