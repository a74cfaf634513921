#pragma once

#include <string>

namespace vn {

// Where agent.log goes for an executable at `executable_path`: the
// executable's directory (up to and including its last '\\' or '/') followed
// by "agent.log", or plain "agent.log" (current directory) for a bare name.
std::string log_file_path_for(const std::string& executable_path);

// The running executable's full path, or empty when the system cannot tell.
std::string executable_path();

// Installs the process-wide logger "agent" as spdlog's default: a colour
// console sink and a rotating agent.log beside the executable (10 MiB, three
// rotated files), level info, flushed on every info-or-above message and every
// second. If the file cannot be opened the logger keeps the console alone and
// says so; if it can, the file is also where the crash handler appends its
// fatal line (set_crash_log_file). Call once, first thing in main after the
// crash handler.
void setup_logging();

}  // namespace vn
