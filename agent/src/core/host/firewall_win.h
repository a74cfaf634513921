#pragma once

#include <string>

namespace vn {

// Runs "cmd.exe /C <command>" without a window and waits for it at most 5 s.
// The exit code is not read and failures are silent.
void run_hidden_command(const std::string& command);

}  // namespace vn
