#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/crash_handler.h"
#include "core/base/crash_restore.h"
#include "core/base/logging.h"

namespace vn {
namespace {

TEST(LogFilePath, BesideTheExecutable) {
  struct Case {
    const char* exe;
    const char* log;
  };
  const Case cases[] = {
      {"C:\\Program Files\\Vantor\\agent.exe", "C:\\Program Files\\Vantor\\agent.log"},
      {"/opt/vantor/bin/agent", "/opt/vantor/bin/agent.log"},
      {"C:/mixed\\dir/agent.exe", "C:/mixed\\dir/agent.log"},
      {"\\\\server\\share\\agent.exe", "\\\\server\\share\\agent.log"},
      {"/agent", "/agent.log"},
      {"agent.exe", "agent.log"},
      {"", "agent.log"},
  };
  for (const auto& c : cases) EXPECT_EQ(log_file_path_for(c.exe), c.log) << c.exe;
}

TEST(CrashDetails, DescribesWhatIsKnown) {
  const void* ip = reinterpret_cast<const void*>(0x1234);
  CrashDetails bare;
  bare.instruction = ip;
  EXPECT_EQ(describe_crash(bare), "ip=0x1234 module=<unknown>");

  CrashDetails full;
  full.prefix = "SIGSEGV";
  full.instruction = ip;
  full.module = "/opt/vantor/agent";
  full.access = access_violation_kind(1);
  full.has_fault_address = true;
  full.fault_address = reinterpret_cast<const void*>(0x10);
  EXPECT_EQ(describe_crash(full), "SIGSEGV ip=0x1234 module=/opt/vantor/agent access=write addr=0x10");
}

// The crash path formats without the standard stream; pointers must still
// read as the stream prints them.
TEST(CrashDetails, PointersAsTheStandardStreamPrintsThem) {
  const std::uintptr_t values[] = {0, 0x10, 0x7f3a12bc0040, ~std::uintptr_t{0}};
  for (std::uintptr_t value : values) {
    const void* pointer = reinterpret_cast<const void*>(value);
    std::ostringstream expected;
    expected << "ip=" << pointer << " module=<unknown> addr=" << pointer;
    CrashDetails details;
    details.instruction = pointer;
    details.has_fault_address = true;
    details.fault_address = pointer;
    EXPECT_EQ(describe_crash(details), expected.str());
  }
}

TEST(CrashDetails, FatalLineWithTheCodeInUpperCaseHex) {
  struct Case {
    unsigned long long code;
    const char* prefix;
    const char* expected;
  };
  const Case cases[] = {
      {11, "SIGSEGV", "Fatal crash: Unhandled OS exception 0xB (SIGSEGV ip=0x4d2 module=/opt/a b/agent)"},
      {0xC0000005, nullptr, "Fatal crash: Unhandled OS exception 0xC0000005 (ip=0x4d2 module=/opt/a b/agent)"},
      {0, "", "Fatal crash: Unhandled OS exception 0x0 (ip=0x4d2 module=/opt/a b/agent)"},
  };
  for (const Case& c : cases) {
    CrashDetails details;
    details.prefix = c.prefix;
    details.instruction = reinterpret_cast<const void*>(1234);
    details.module = "/opt/a b/agent";
    char buffer[256];
    SignalSafeText out(buffer, sizeof(buffer));
    write_fatal_crash_line(out, c.code, details);
    EXPECT_EQ(out.view(), c.expected);
    EXPECT_FALSE(out.truncated());
  }
}

TEST(CrashDetails, DescribesAModulePathOfAnyLength) {
  const std::string module = "/" + std::string(4095, 'm');
  CrashDetails details;
  details.module = module.c_str();
  details.access = "read";
  details.has_fault_address = true;
  EXPECT_EQ(describe_crash(details), "ip=0 module=" + module + " access=read addr=0");
}

TEST(SignalSafeText, NumbersAndCutting) {
  char buffer[64];
  SignalSafeText out(buffer, sizeof(buffer));
  out.add_decimal(7, 3).add(' ').add_decimal(0).add(' ').add_decimal(~0ull).add(' ');
  out.add_hex(~0ull, true).add(' ').add_hex(0xab, false).add(' ').add_decimal(123456, 2);
  EXPECT_EQ(out.view(), "007 0 18446744073709551615 FFFFFFFFFFFFFFFF ab 123456");
  EXPECT_FALSE(out.truncated());

  // What does not fit is cut at the last byte, never past it.
  char small[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  SignalSafeText cut(small, 6);
  cut.add("Fatal").add_hex(0xABC, true).add(" more");
  EXPECT_EQ(cut.view(), "FatalA");
  EXPECT_TRUE(cut.truncated());
  EXPECT_EQ(small[6], 'x');
}

TEST(CrashDetails, AccessKinds) {
  EXPECT_STREQ(access_violation_kind(0), "read");
  EXPECT_STREQ(access_violation_kind(1), "write");
  EXPECT_STREQ(access_violation_kind(8), "execute");
  EXPECT_STREQ(access_violation_kind(2), "unknown");
  EXPECT_STREQ(access_violation_kind(~0ull), "unknown");
}

class CountingIsolation : public CrashRestorable {
 public:
  std::atomic<int> restores{0};

 protected:
  void restore() override { ++restores; }
};

TEST(CrashRestore, RestoresTheActiveIsolationOnceAndClearsIt) {
  restore_isolation_after_crash();  // nothing active: harmless

  CountingIsolation isolation;
  set_active_isolation(&isolation);
  restore_isolation_after_crash();
  EXPECT_EQ(isolation.restores, 1);
  EXPECT_TRUE(isolation.crashed());
  EXPECT_TRUE(isolation.restored());
  EXPECT_EQ(active_isolation(), nullptr);

  // Already restored by its owner: the crash path does not restore again.
  CountingIsolation restored_by_owner;
  EXPECT_TRUE(restored_by_owner.restore_once());
  set_active_isolation(&restored_by_owner);
  restore_isolation_after_crash();
  EXPECT_EQ(restored_by_owner.restores, 1);
  EXPECT_FALSE(restored_by_owner.restore_once());
}

}  // namespace
}  // namespace vn
