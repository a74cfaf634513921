#include "program_options.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

namespace vn::tools::backend_cli {

const char kSynopsis[] =
    "usage: test_backend [--bind ADDR] [--port N] [--agent-token T]\n"
    "                    [--prepare-on-register JSON] [--quiet]\n";
const char kUsage[] =
    "\n"
    "Serves the backend side of the agent's WebSocket connection on ws://ADDR:N/agent/connect.\n"
    "  --bind ADDR                 numeric address to listen on (default 127.0.0.1)\n"
    "  --port N                    TCP port, 0 for any free one (default 8080)\n"
    "  --agent-token T             answer 401 unless the agent-token header is T\n"
    "                              (default: accept any token, or none)\n"
    "  --prepare-on-register JSON  send this JSON text once, when the first register arrives\n"
    "  --quiet                     no lines for heartbeat and pong messages or pong frames\n"
    "\n"
    "Events on stdout: listening on ADDR:PORT | connected #N token=T | rejected STATUS TARGET |\n"
    "  recv TEXT | pong LEN | disconnected | error: ...\n"
    "Commands on stdin, one per line:\n"
    "  prepare SESSION_ID [JSON-OBJECT]  {\"type\":\"prepare_session\",\"session_id\":...} + the object's keys\n"
    "  terminate SESSION_ID [REASON]     {\"type\":\"terminate_session\",\"session_id\":...,\"reason\":...}\n"
    "  ping                              {\"type\":\"ping\"}\n"
    "  wsping [PAYLOAD]                  a WebSocket ping frame (payload up to 125 bytes)\n"
    "  close [CODE] [REASON]             a close frame (code 1000 by default; 0: no code)\n"
    "  send TEXT                         TEXT as one text message\n"
    "  drop                              close the TCP connection without a close frame\n"
    "  quit                              stop (end of input does not stop; SIGINT/SIGTERM do)\n";

std::optional<ProgramOptions> parse_options(int argc, char** argv, bool& help, std::string& error) {
  ProgramOptions o;
  o.backend.port = 8080;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inline_value;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inline_value) return inline_value;
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      help = true;
      return o;
    } else if (arg == "--quiet" && !inline_value) {
      o.quiet = true;
    } else if (arg == "--bind") {
      auto v = value();
      if (!v) return std::nullopt;
      o.backend.bind_address = *v;
    } else if (arg == "--port") {
      auto v = value();
      if (!v) return std::nullopt;
      char* end = nullptr;
      long p = std::strtol(v->c_str(), &end, 10);
      if (v->empty() || *end != '\0' || p < 0 || p > 65535) {
        error = "bad port '" + *v + "'";
        return std::nullopt;
      }
      o.backend.port = static_cast<uint16_t>(p);
    } else if (arg == "--agent-token") {
      auto v = value();
      if (!v) return std::nullopt;
      o.backend.agent_token = *v;
    } else if (arg == "--prepare-on-register") {
      auto v = value();
      if (!v) return std::nullopt;
      if (nlohmann::json::parse(*v, nullptr, false).is_discarded()) {
        error = "--prepare-on-register: not JSON: " + *v;
        return std::nullopt;
      }
      o.prepare_on_register = *v;
    } else {
      error = "unknown option '" + std::string(argv[i]) + "'";
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace vn::tools::backend_cli
