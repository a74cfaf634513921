// test_backend: the service backend's side of the agent connection, for
// driving an agent by hand or from scripts. Events go to stdout, one line
// each, flushed; commands come from stdin, one per line (see kUsage).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <nlohmann/json.hpp>

#include "test_backend.h"

namespace {

using vn::tools::TestBackend;
using vn::tools::TestBackendEvent;
using vn::tools::TestBackendOptions;

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

volatile std::sig_atomic_t g_signalled = 0;
extern "C" void on_signal(int) { g_signalled = 1; }

std::mutex g_out_mutex;
void out(const std::string& line) {
  std::lock_guard lock(g_out_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Keeps an event on one line: control bytes become \n, \r, \xHH.
std::string one_line(const std::string& text) {
  std::string s;
  s.reserve(text.size());
  for (unsigned char ch : text) {
    if (ch == '\n') {
      s += "\\n";
    } else if (ch == '\r') {
      s += "\\r";
    } else if ((ch < 0x20 && ch != '\t') || ch == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      s += "\\x";
      s += hex[ch >> 4];
      s += hex[ch & 15];
    } else {
      s += static_cast<char>(ch);
    }
  }
  return s;
}

struct Options {
  TestBackendOptions backend;
  std::optional<std::string> prepare_on_register;
  bool quiet = false;
};

// Parses the command line; nullopt with the reason in `error` when it is bad.
std::optional<Options> parse_options(int argc, char** argv, bool& help, std::string& error) {
  Options o;
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

// Splits off the first space-separated word of `rest`; `rest` keeps what follows it.
std::string next_word(std::string& rest) {
  size_t start = rest.find_first_not_of(" \t");
  if (start == std::string::npos) {
    rest.clear();
    return {};
  }
  size_t end = rest.find_first_of(" \t", start);
  std::string word = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t after = end == std::string::npos ? std::string::npos : rest.find_first_not_of(" \t", end);
  rest = after == std::string::npos ? std::string() : rest.substr(after);
  return word;
}

enum class CommandResult { kGoOn, kQuit };

CommandResult run_command(TestBackend& backend, std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string rest = line;
  const std::string cmd = next_word(rest);
  if (cmd.empty()) return CommandResult::kGoOn;
  auto sent = [](bool ok) {
    if (!ok) out("error: not sent (no agent connected?)");
  };
  if (cmd == "quit") return CommandResult::kQuit;
  if (cmd == "prepare") {
    std::string session_id = next_word(rest);
    if (session_id.empty()) {
      out("error: prepare needs a session id");
      return CommandResult::kGoOn;
    }
    nlohmann::json message = {{"type", "prepare_session"}, {"session_id", session_id}};
    if (!rest.empty()) {
      auto extra = nlohmann::json::parse(rest, nullptr, false);
      if (!extra.is_object()) {
        out("error: prepare: the extra keys must be one JSON object: " + one_line(rest));
        return CommandResult::kGoOn;
      }
      message.update(extra);  // its keys win, so crafted messages are possible
    }
    sent(backend.send_json(message));
  } else if (cmd == "terminate") {
    std::string session_id = next_word(rest);
    if (session_id.empty()) {
      out("error: terminate needs a session id");
      return CommandResult::kGoOn;
    }
    nlohmann::json message = {{"type", "terminate_session"}, {"session_id", session_id}};
    if (!rest.empty()) message["reason"] = rest;
    sent(backend.send_json(message));
  } else if (cmd == "ping") {
    sent(backend.send_json({{"type", "ping"}}));
  } else if (cmd == "wsping") {
    if (rest.size() > 125) {
      out("error: wsping: payload over 125 bytes");
      return CommandResult::kGoOn;
    }
    sent(backend.send_ping(rest));
  } else if (cmd == "close") {
    long code = 1000;
    if (std::string word = next_word(rest); !word.empty()) {
      char* end = nullptr;
      code = std::strtol(word.c_str(), &end, 10);
      if (*end != '\0' || code < 0 || code > 65535) {
        out("error: close: bad code '" + one_line(word) + "'");
        return CommandResult::kGoOn;
      }
    }
    if (rest.size() > 123) {
      out("error: close: reason over 123 bytes");
      return CommandResult::kGoOn;
    }
    sent(backend.send_close(static_cast<uint16_t>(code), rest));
  } else if (cmd == "send") {
    // Everything after "send " as it is, inner spaces included.
    size_t at = line.find("send") + 4;
    if (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    sent(backend.send_text(line.substr(std::min(at, line.size()))));
  } else if (cmd == "drop") {
    if (!backend.drop()) out("error: no agent connected");
  } else {
    out("error: unknown command '" + one_line(cmd) + "' (see --help)");
  }
  return CommandResult::kGoOn;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // LF line ends as on Linux, so scripts read the same lines on both.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  bool help = false;
  std::string error;
  auto options = parse_options(argc, argv, help, error);
  if (help) {
    std::fputs(kSynopsis, stdout);
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options) {
    std::fprintf(stderr, "test_backend: %s\n%s", error.c_str(), kSynopsis);
    return 2;
  }
  const bool quiet = options->quiet;
  const std::optional<std::string> prepare = options->prepare_on_register;

  TestBackend backend(options->backend);
  std::atomic<bool> prepare_sent{false};
  backend.set_event_handler([&](const TestBackendEvent& e) {
    using Kind = TestBackendEvent::Kind;
    switch (e.kind) {
      case Kind::kConnected:
        out("connected #" + std::to_string(e.connection) + " token=" + one_line(e.detail));
        break;
      case Kind::kRejected:
        out("rejected " + std::to_string(e.status) + " " + one_line(e.detail));
        break;
      case Kind::kMessage: {
        const std::string& type = e.message.type;
        if (!quiet || (type != "heartbeat" && type != "pong")) out("recv " + one_line(e.message.text));
        // On the server thread this queues the send and returns at once.
        if (prepare && type == "register" && !prepare_sent.exchange(true)) backend.send_text(*prepare);
        break;
      }
      case Kind::kPong:
        if (!quiet) out("pong " + std::to_string(e.detail.size()));
        break;
      case Kind::kDisconnected:
        out("disconnected");
        break;
    }
  });
  if (!backend.start()) return 1;

  std::string shown = options->backend.bind_address;
  if (shown.find(':') != std::string::npos) shown = "[" + shown + "]";
  out("listening on " + shown + ":" + std::to_string(backend.port()));

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  std::mutex mutex;
  std::condition_variable wake;
  bool quit = false;
  bool reader_done = false;
  std::thread reader([&] {
    std::string line;
    bool stop = false;
    while (!stop && std::getline(std::cin, line)) stop = run_command(backend, line) == CommandResult::kQuit;
    std::lock_guard lock(mutex);
    quit = stop;  // end of input alone does not stop the server
    reader_done = true;
    wake.notify_all();
  });

  {
    // The signal handler only sets a flag: look at it now and then.
    std::unique_lock lock(mutex);
    while (!quit && !g_signalled) wake.wait_for(lock, std::chrono::milliseconds(100));
  }
  backend.stop();
  std::fflush(stdout);
  bool joinable;
  {
    std::lock_guard lock(mutex);
    joinable = reader_done;
  }
  if (joinable) {
    reader.join();
    return 0;
  }
  // The reader is blocked on stdin and cannot be woken portably: leave without it.
  reader.detach();
  std::_Exit(0);
}
