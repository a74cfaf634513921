#include "core/agent_main.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <asio/io_context.hpp>

#include "core/agent_config.h"
#include "core/clock.h"
#include "core/firewall.h"
#include "core/host_info.h"
#include "core/network_runtime.h"
#include "core/run_flag.h"
#include "core/session_control.h"
#include "core/session_loop.h"
#include "network/erasure_code.h"

namespace vn {

int main_inner(int argc, char** argv) {
  init_clock();
  install_stop_signal_handler();

  if (sodium_init() < 0) {
    spdlog::critical("libsodium init failed");
    return 1;
  }
  if (!network::erasure_code_init()) {
    spdlog::critical("FEC init failed");
    return 1;
  }

  AgentConfig config;
  parse_args(config, argc, argv);

  spdlog::info("Vantor Agent starting");
  spdlog::info("Config: {}x{} @{} fps, {} kbps, codec={}", config.width, config.height, config.fps,
               config.bitrate / 1000, config.codec);

  install_firewall_rules(config.port_base);

  const NetworkRuntime network_runtime;
  asio::io_context connector_io;

  // The facts the backend registration carries; logged in both modes.
  const GpuInfo gpu = query_gpu_info();
  const HostInfo host = query_host_info();
  log_host_facts(gpu, host);

  if (!config.saas_host.empty()) {
    spdlog::warn("SaaS connector: not available in this build; {}:{} is not contacted", config.saas_host,
                 config.saas_port);
    spdlog::info("Agent stopped cleanly");
    return 0;
  }

  // Standalone: one session from the command line.
  SessionFlags flags;
  SessionLoop loop(config, nullptr, nullptr, flags);
  loop.run();
  spdlog::info("Agent stopped cleanly");
  return 0;
}

}  // namespace vn
