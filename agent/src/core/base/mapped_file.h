#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vn {

// Finds which file maps an address from the text of /proc/self/maps
// ("start-end perms offset dev inode   path" per line, hex addresses), fed in
// pieces of any size as read(2) returns them. It neither allocates nor locks,
// so the crash handler can use it where dladdr() could block on the loader's
// lock. The object is large (two line buffers, about 8 KiB): a stack local.
class MappedFileFinder {
 public:
  explicit MappedFileFinder(std::uintptr_t address) : address_(address) {}

  // Takes the next piece of the text; pieces may split lines anywhere.
  // Lines longer than kMaxLine bytes are skipped.
  void feed(std::string_view piece);
  // Ends the text: a last line without '\n' is looked at too.
  void finish();

  // True once the line mapping the address was seen (nothing more is read).
  bool done() const { return done_; }
  // The full path of the mapped file (NUL-terminated), or "" when the
  // address is unmapped, anonymous or a pseudo mapping such as "[heap]".
  const char* path() const { return path_; }

  static constexpr size_t kMaxLine = 4096 + 128;  // PATH_MAX and the fields before it

 private:
  void take_line(std::string_view line);

  std::uintptr_t address_;
  char line_[kMaxLine];
  size_t line_size_ = 0;
  bool overlong_ = false;
  bool done_ = false;
  char path_[kMaxLine + 1] = {};
};

}  // namespace vn
