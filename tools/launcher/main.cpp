// The reference launcher: see tools/README.md.
#include <spdlog/spdlog.h>

#include <iostream>
#include <string>
#include <vector>

#include "options.h"
#include "session.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const vn::launcher::ParseResult parsed = vn::launcher::parse_options(args);
  if (parsed.help) {
    std::cout << vn::launcher::usage_text();
    return vn::launcher::kExitOk;
  }
  if (!parsed.options) {
    std::cerr << "launcher: " << parsed.error << "\n\n" << vn::launcher::usage_text();
    return vn::launcher::kExitUsage;
  }
  // The shared network code logs through spdlog; only its problems matter here.
  spdlog::set_level(spdlog::level::warn);

  vn::launcher::Session session(*parsed.options, vn::launcher::SessionEndpoints::from(*parsed.options));
  return session.run(std::cout, std::cerr);
}
