// The crash helper faults for real; the unhandled-exception filter must log
// the desktop restored, then the fatal line, and the process must end with
// the exception code.
#include <gtest/gtest.h>

#include <string>

#include "support/installed_exe.h"

namespace vn {
namespace {

TEST(CrashProcess, AccessViolationsAreLoggedAfterTheDesktopIsRestored) {
  struct Case {
    const char* mode;
    std::string detail;
  };
  const Case cases[] = {
      {"read", " access=read addr=0x10)"},
      {"write", " access=write addr=0x10)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const test::InstalledExe child(VN_CRASH_CHILD_EXE);
    const auto result = child.run({c.mode});
    EXPECT_EQ(static_cast<unsigned>(result.exit_code), 0xC0000005u);
    const std::string log = child.log();
    const size_t fatal_at = log.find("Fatal crash: Unhandled OS exception 0xC0000005 (ip=");
    ASSERT_NE(fatal_at, std::string::npos) << log;
    const size_t line_start = log.rfind('\n', fatal_at) + 1;
    const std::string fatal_line = log.substr(line_start, log.find('\n', fatal_at) - line_start);
    EXPECT_NE(fatal_line.find("] [critical] ["), std::string::npos) << fatal_line;
    EXPECT_NE(fatal_line.find(c.detail), std::string::npos) << fatal_line;
    EXPECT_NE(fatal_line.find("crash_child.exe "), std::string::npos) << fatal_line;
    const size_t restored_at = log.find("CrashChild: desktop restored (crashed=true)");
    ASSERT_NE(restored_at, std::string::npos) << log;
    EXPECT_LT(restored_at, fatal_at);
  }
}

}  // namespace
}  // namespace vn
