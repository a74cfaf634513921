#pragma once

#include <optional>
#include <string>

#include "test_backend.h"

// The test_backend program's command line and its help text.
namespace vn::tools::backend_cli {

// The one-line synopsis, shown with --help and after a command-line error.
extern const char kSynopsis[];
// The rest of --help: the options, the event lines and the stdin commands.
extern const char kUsage[];

struct ProgramOptions {
  TestBackendOptions backend;  // the port defaults to 8080 here
  std::optional<std::string> prepare_on_register;
  bool quiet = false;
};

// Parses the command line; nullopt with the reason in `error` when it is bad.
// --help (or -h) sets `help` and stops there.
std::optional<ProgramOptions> parse_options(int argc, char** argv, bool& help, std::string& error);

}  // namespace vn::tools::backend_cli
