#include "core/base/mapped_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace vn {
namespace {

// A /proc/self/maps excerpt: the program, the heap, a library, an anonymous
// mapping, a path with spaces and a deleted file, and the vsyscall page.
const char kMaps[] =
    "55d0c0a00000-55d0c0a4f000 r--p 00000000 08:01 1311 /opt/vantor/bin/agent\n"
    "55d0c0a4f000-55d0c0c10000 r-xp 0004f000 08:01 1311 /opt/vantor/bin/agent\n"
    "55d0c2000000-55d0c2021000 rw-p 00000000 00:00 0                          [heap]\n"
    "7f3a12b00000-7f3a12c94000 r-xp 00028000 08:01 4202                       /usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7f3a12d00000-7f3a12d04000 rw-p 00000000 00:00 0 \n"
    "7f3a12e00000-7f3a12e10000 r-xp 00000000 08:01 99 /home/a user/My Games/gpu driver.so\n"
    "7f3a12f00000-7f3a12f10000 r-xp 00000000 08:01 77 /tmp/agent (deleted)\n"
    "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0                  [vsyscall]";  // no final '\n'

struct Case {
  std::uintptr_t address;
  const char* path;
};
const Case kCases[] = {
    {0x55d0c0a00000, "/opt/vantor/bin/agent"},
    {0x55d0c0a4f123, "/opt/vantor/bin/agent"},
    {0x55d0c0c0ffff, "/opt/vantor/bin/agent"},
    {0x55d0c0c10000, ""},  // the end is not part of the mapping
    {0x55d0c2000010, ""},  // [heap]
    {0x7f3a12b12345, "/usr/lib/x86_64-linux-gnu/libc.so.6"},
    {0x7f3a12d00100, ""},  // anonymous
    {0x7f3a12e00001, "/home/a user/My Games/gpu driver.so"},
    {0x7f3a12f00001, "/tmp/agent (deleted)"},
    {0xffffffffff600000, ""},
    {0x10, ""},
};

std::string find_in(std::string_view text, std::uintptr_t address, size_t piece_size) {
  MappedFileFinder finder(address);
  for (size_t at = 0; at < text.size(); at += piece_size) finder.feed(text.substr(at, piece_size));
  finder.finish();
  return finder.path();
}

TEST(MappedFileFinder, FindsTheFileWhateverThePieces) {
  for (size_t piece_size : {size_t{1}, size_t{7}, size_t{4096}}) {
    for (const Case& c : kCases) {
      EXPECT_EQ(find_in(kMaps, c.address, piece_size), c.path) << std::hex << c.address << " pieces of " << piece_size;
    }
  }
}

TEST(MappedFileFinder, SkipsOverlongAndMalformedLines) {
  const std::string overlong = "7f0000000000-7f0000001000 r-xp 00000000 08:01 5 /" +
                               std::string(MappedFileFinder::kMaxLine, 'x') + "\n";
  const std::string text = overlong +
                           "zz-7f0000002000 r-xp 0 0 0 /bad\n"
                           "7f0000001000 r-xp 0 0 0 /no-dash\n"
                           "7f0000000000-7f0000003000 r-xp 00000000 08:01 6 /after\n";
  for (size_t piece_size : {size_t{5}, size_t{1000}}) {
    EXPECT_EQ(find_in(text, 0x7f0000000800, piece_size), "/after") << piece_size;
    EXPECT_EQ(find_in(text, 0x7f0000001800, piece_size), "/after") << piece_size;
  }
  EXPECT_EQ(find_in("", 0x10, 1), "");
  EXPECT_EQ(find_in("\n\n", 0x10, 1), "");
}

}  // namespace
}  // namespace vn
