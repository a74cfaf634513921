#include "core/host/firewall_win.h"

#include <windows.h>

#include <vector>

#include "core/host/firewall.h"

namespace vn {

void run_hidden_command(const std::string& command) {
  const std::string line = "cmd.exe /C " + command;
  std::vector<char> mutable_line(line.begin(), line.end());  // CreateProcessA may write into it
  mutable_line.push_back('\0');

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    return;
  }
  WaitForSingleObject(process.hProcess, 5000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
}

void install_firewall_rules(uint16_t port_base) { install_firewall_rules(port_base, run_hidden_command); }

}  // namespace vn
