#include <gtest/gtest.h>

#include "core/base/seh_guard_win.h"

namespace vn {
namespace {

TEST(SehGuard, NormalCallsSucceed) {
  int calls = 0;
  uint32_t code = 0;
  EXPECT_TRUE(seh_guarded([&] { ++calls; }, &code));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(code, 0u);
}

TEST(SehGuard, FaultsBecomeFailuresWithTheirCode) {
  for (int round = 0; round < 3; ++round) {  // the guard keeps working after a fault
    uint32_t code = 0;
    const bool ok = seh_guarded(
        [] {
          volatile uintptr_t address = 0x10;  // opaque to the optimiser
          *reinterpret_cast<volatile int*>(address) = 1;
        },
        &code);
    EXPECT_FALSE(ok);
    EXPECT_EQ(code, 0xC0000005u);
  }
  uint32_t code = 0;
  EXPECT_FALSE(seh_guarded([] { RaiseException(0xE0000042, 0, 0, nullptr); }, &code));
  EXPECT_EQ(code, 0xE0000042u);
}

TEST(SehGuard, NestedGuardsCatchAtTheInnermost) {
  uint32_t outer_code = 0, inner_code = 0;
  bool inner_ok = true;
  const bool outer_ok = seh_guarded(
      [&] {
        inner_ok = seh_guarded([] { RaiseException(0xE0000001, 0, 0, nullptr); }, &inner_code);
      },
      &outer_code);
  EXPECT_TRUE(outer_ok);
  EXPECT_FALSE(inner_ok);
  EXPECT_EQ(inner_code, 0xE0000001u);
}

}  // namespace
}  // namespace vn
