#include <gtest/gtest.h>

#include <atomic>
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
