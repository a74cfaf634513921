#include "core/base/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vn {
namespace {

TEST(LoggableTest, EscapesWhatCouldForgeOrCorruptALine) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"192.168.1.20", "192.168.1.20"},
      {"a\r\n[info] Agent stopped cleanly", "a\\r\\n[info] Agent stopped cleanly"},
      {std::string("nul\0esc\x1b[31m", 12), "nul\\x00esc\\x1b[31m"},
      {"tab\there\x7f", "tab\\there\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(loggable(c.in), c.out) << c.out;
}

TEST(LoggableTest, CutsLongValuesBeforeEscaping) {
  EXPECT_EQ(loggable(std::string(200, 'x'), 4), "xxxx...");
  EXPECT_EQ(loggable("abcd", 4), "abcd");
  EXPECT_EQ(loggable("\n\n\n\n\n", 2), "\\n\\n...");
  EXPECT_EQ(loggable(std::string(1000, 'y')).size(), kLoggableDefaultMax + 3);
}

}  // namespace
}  // namespace vn
