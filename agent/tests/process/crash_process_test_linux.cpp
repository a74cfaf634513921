// The crash helper faults for real; its log must show the desktop restored,
// then the fatal line, and the process must end by the signal.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/installed_exe.h"

namespace vn {
namespace {

TEST(CrashProcess, FatalSignalsAreLoggedAfterTheDesktopIsRestored) {
  struct Case {
    const char* mode;
    int signal;
    const char* code_and_name;
    std::string detail;  // must appear in the fatal line
  };
  const Case cases[] = {
      {"read", SIGSEGV, "B (SIGSEGV", " access=read addr=0x10)"},
      {"write", SIGSEGV, "B (SIGSEGV", " access=write addr=0x10)"},
      {"execute", SIGSEGV, "B (SIGSEGV", " access=execute addr=0x"},
      {"abort", SIGABRT, "6 (SIGABRT", ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const test::InstalledExe child(VN_CRASH_CHILD_EXE);
    const auto result = child.run({c.mode});
    EXPECT_EQ(result.term_signal, c.signal);
    const std::string log = child.log();
    const size_t fatal_at = log.find(std::string("Fatal crash: Unhandled OS exception 0x") + c.code_and_name + " ip=0x");
    ASSERT_NE(fatal_at, std::string::npos) << log;
    const size_t line_start = log.rfind('\n', fatal_at) + 1;  // npos + 1 == 0 on the first line
    const std::string fatal_line = log.substr(line_start, log.find('\n', fatal_at) - line_start);
    EXPECT_NE(fatal_line.find("] [critical] ["), std::string::npos) << fatal_line;
    EXPECT_NE(fatal_line.find(c.detail), std::string::npos) << fatal_line;
    if (std::string(c.mode) == "read" || std::string(c.mode) == "write") {
      EXPECT_NE(fatal_line.find(" module=" + child.exe().string() + " "), std::string::npos) << fatal_line;
    }
    const size_t restored_at = log.find("CrashChild: desktop restored (crashed=true)");
    ASSERT_NE(restored_at, std::string::npos) << log;
    EXPECT_LT(restored_at, fatal_at);
  }
}

}  // namespace
}  // namespace vn
