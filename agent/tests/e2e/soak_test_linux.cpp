// Many sessions back to back through the backend, each ended another way: the
// launcher's end_session, the launcher killed outright, the backend's
// terminate_session, and the backend connection dropped mid-session. Every
// session's end must be reported, and the agent's threads, open descriptors
// and resident memory after the last session must be what they were after the
// first round.
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "e2e/backend_e2e_fixture_linux.h"

namespace vn {
namespace {

namespace fs = std::filesystem;

// AddressSanitizer holds freed memory in its quarantine (up to 256 MiB), so
// resident memory grows with every session there whether or not anything
// leaks; its leak check at exit covers that build instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryComparable = false;
#else
constexpr bool kResidentMemoryComparable = true;
#endif

struct ProcessFootprint {
  size_t threads = 0;
  size_t descriptors = 0;
  long rss_kib = 0;
};

ProcessFootprint footprint_of(long pid) {
  ProcessFootprint f;
  const fs::path proc = fs::path("/proc") / std::to_string(pid);
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(proc / "task")) ++f.threads;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(proc / "fd")) ++f.descriptors;
  std::ifstream status(proc / "status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) f.rss_kib = std::stol(line.substr(6));
  }
  return f;
}

enum class Ending { kEndSession, kLauncherKilled, kTerminated, kBackendDropped };
constexpr Ending kEndings[] = {Ending::kEndSession, Ending::kLauncherKilled, Ending::kTerminated,
                               Ending::kBackendDropped};
const char* name_of(Ending ending) {
  switch (ending) {
    case Ending::kEndSession: return "end_session";
    case Ending::kLauncherKilled: return "launcher killed";
    case Ending::kTerminated: return "terminate_session";
    case Ending::kBackendDropped: return "backend dropped";
  }
  return "";
}

class Soak : public BackendEndToEnd {
 protected:
  // One session from prepare_session to its reported end, and the agent idle again.
  void run_session(int index, Ending ending) {
    const std::string id = "soak-" + std::to_string(index);
    SCOPED_TRACE(id + " (" + name_of(ending) + ")");
    prepare(id);
    // The launcher ends the first and the last kind by itself (end_session
    // after 2 s); the others would run for 30 s.
    std::vector<std::string> args{"--token", kToken, "--duration", "2"};
    if (ending == Ending::kLauncherKilled || ending == Ending::kTerminated) {
      args = {"--token", kToken, "--duration", "30", "--no-end-session"};
    }
    auto launcher = start_launcher(args);
    ASSERT_TRUE(wait_for("session_ready", id)) << agent_.log();
    std::this_thread::sleep_for(700ms);  // some media

    switch (ending) {
      case Ending::kEndSession: break;
      case Ending::kLauncherKilled:
        launcher.reset();  // SIGKILL: the system closes its sockets
        break;
      case Ending::kTerminated:
        ASSERT_TRUE(backend_.send_json({{"type", "terminate_session"}, {"session_id", id}}));
        break;
      case Ending::kBackendDropped: {
        const int connections = backend_.connection_count();
        ASSERT_TRUE(backend_.drop());
        ASSERT_TRUE(backend_.wait_connections(connections + 1, 30s)) << agent_.log();
        break;
      }
    }
    const auto ended = wait_for("session_ended", id);
    ASSERT_TRUE(ended) << agent_.log();
    EXPECT_EQ(ended->json["reason"], "pipeline_ended");
    if (launcher) {
      EXPECT_TRUE(launcher->wait_for(30s).has_value());
    }
    // The teardown finishes right after the report.
    const std::string done = "Session " + id + " ended cleanly";
    EXPECT_TRUE(test::wait_until([&] { return agent_logged("info", done); }, 30s)) << agent_.log();
  }
};

TEST_F(Soak, SessionsBackToBackLeaveNothingBehind) {
  constexpr int kRounds = 6;
  int index = 0;
  ProcessFootprint after_first_round;
  for (int round = 0; round < kRounds; ++round) {
    for (const Ending ending : kEndings) {
      run_session(++index, ending);
      if (HasFatalFailure()) return;
    }
    std::this_thread::sleep_for(500ms);  // worker threads joined, sockets closed
    const ProcessFootprint now = footprint_of(agent_process_->pid());
    std::printf("after round %d: %zu threads, %zu descriptors, %ld KiB resident\n", round + 1, now.threads,
                now.descriptors, now.rss_kib);
    if (round == 0) after_first_round = now;
    if (round == kRounds - 1) {
      EXPECT_EQ(now.threads, after_first_round.threads);
      EXPECT_LE(now.descriptors, after_first_round.descriptors + 1);
      // The allocator keeps some pages; a leak per session would show as more.
      if (kResidentMemoryComparable) {
        EXPECT_LE(now.rss_kib, after_first_round.rss_kib + 8 * 1024);
      }
    }
  }
  // Each session's end once at least (a reconnect re-sends the last few).
  std::set<std::string> ended;
  for (const auto& m : backend_.messages_of("session_ended")) ended.insert(m.json.value("session_id", ""));
  EXPECT_EQ(ended.size(), static_cast<size_t>(index));
  EXPECT_TRUE(backend_.messages_of("error").empty());
}

}  // namespace
}  // namespace vn
