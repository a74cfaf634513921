// test_backend: the service backend's side of the agent connection, for
// driving an agent by hand or from scripts. Events go to stdout, one line
// each, flushed; commands come from stdin, one per line (see kUsage in
// program_options.cpp, run_command() in operator_commands.cpp). This file
// wires them up: the event lines, the stdin reader thread, and the wait for
// `quit` or a signal.
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

#include "console_output.h"
#include "operator_commands.h"
#include "program_options.h"
#include "test_backend.h"

namespace {

using vn::tools::TestBackend;
using vn::tools::TestBackendEvent;
using vn::tools::backend_cli::CommandResult;
using vn::tools::backend_cli::kSynopsis;
using vn::tools::backend_cli::kUsage;
using vn::tools::backend_cli::one_line;
using vn::tools::backend_cli::out;
using vn::tools::backend_cli::parse_options;
using vn::tools::backend_cli::run_command;

volatile std::sig_atomic_t g_signalled = 0;
extern "C" void on_signal(int) { g_signalled = 1; }

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
