#include <spdlog/spdlog.h>

#include <exception>

#include "core/agent_main.h"
#include "core/base/crash_handler.h"
#include "core/base/logging.h"

int main(int argc, char** argv) {
  vn::install_crash_handler();
  vn::setup_logging();
  try {
    return vn::main_inner(argc, argv);
  } catch (const std::exception& e) {
    if (auto logger = spdlog::default_logger_raw()) {
      logger->critical("Fatal crash: unhandled std::exception: {}", e.what());
      logger->flush();
    }
    return 1;
  } catch (...) {
    if (auto logger = spdlog::default_logger_raw()) {
      logger->critical("Fatal crash: unhandled unknown exception");
      logger->flush();
    }
    return 1;
  }
}
