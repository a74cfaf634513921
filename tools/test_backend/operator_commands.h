#pragma once

#include <string>

#include "test_backend.h"

// The test_backend program's stdin commands (listed in kUsage): each line
// becomes a send on `backend`; mistakes and failed sends are reported as
// "error: ..." lines on stdout. Called from the stdin reader thread.
namespace vn::tools::backend_cli {

enum class CommandResult { kGoOn, kQuit };

// Runs one input line (a trailing CR is ignored; an empty line does nothing).
CommandResult run_command(TestBackend& backend, std::string line);

}  // namespace vn::tools::backend_cli
