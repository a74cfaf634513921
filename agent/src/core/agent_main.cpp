#include "core/agent_main.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "core/base/agent_config.h"
#include "core/base/clock.h"
#include "core/base/network_runtime.h"
#include "core/base/run_flag.h"
#include "core/host/firewall.h"
#include "core/host/host_info.h"
#include "core/host/host_load.h"
#include "core/session/session_control.h"
#include "core/session/session_loop.h"
#include "network/backend/saas_connector.h"
#include "network/transport/erasure_code.h"

namespace vn {
namespace {

network::SaasConnectorConfig connector_config(const AgentConfig& config, const GpuInfo& gpu, const HostInfo& host) {
  network::SaasConnectorConfig connector;
  connector.host = config.saas_host;
  connector.port = config.saas_port;
  connector.tls_requested = config.saas_port == 443;
  connector.server_id = config.server_id;
  connector.agent_token = config.agent_token;

  network::BackendRegistration& registration = connector.registration;
  registration.agent_version = "1.0.0";
  registration.gpu_model = gpu.name;
  registration.gpu_vram_mb = gpu.vram_mb;
  registration.cpu_model = host.cpu_name;
  registration.ram_mb = host.ram_mb;
  registration.os_version = host.os_version;
  registration.supported_codecs = {"h264", "hevc"};
  registration.port_base = config.port_base;
  registration.max_resolution = std::to_string(config.width) + "x" + std::to_string(config.height);
  registration.max_fps = config.fps;

  // Sampled on the connector thread only, one heartbeat at a time.
  std::shared_ptr<HostLoadSampler> sampler = HostLoadSampler::Create();
  connector.sample_load = [sampler] {
    const HostLoad load = sampler->sample();
    return network::BackendLoad{load.cpu_pct, load.gpu_pct, load.ram_mb_free};
  };
  return connector;
}

}  // namespace

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

  SessionFlags flags;
  if (config.saas_host.empty()) {
    // Standalone: one session from the command line. A session that never
    // streamed is a failure, unless the agent was asked to stop first.
    SessionLoop loop(config, nullptr, nullptr, flags);
    const bool streamed = loop.run();
    const bool failed = !streamed && !agent_stop_requested();
    if (failed) spdlog::error("The session never streamed - exiting with status 1");
    spdlog::info("Agent stopped cleanly");
    return failed ? 1 : 0;
  }

  // With a backend: the connector's thread hands requests to the session loop
  // on this thread, which runs a session for each until the agent stops.
  PrepareMailbox mailbox;
  network::SaasConnector connector(connector_io, connector_config(config, gpu, host));
  connector.set_prepare_callback([&mailbox, &connector](const network::PrepareSessionParams& params) {
    hand_over_prepare(mailbox, connector, params);
  });
  connector.set_terminate_callback([&flags, &mailbox](const std::string& session_id, const std::string& reason) {
    terminate_session(flags, mailbox, session_id, reason);
  });
  connector.start();
  {
    SessionLoop loop(config, &connector, &mailbox, flags);
    loop.run();
  }
  connector.stop();
  spdlog::info("Agent stopped cleanly");
  return 0;
}

}  // namespace vn
