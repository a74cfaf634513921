#pragma once

#include <cstddef>
#include <string_view>

// A check that a secret is wiped before its memory is freed: a test program
// that uses this replaces the global operator new and delete (with malloc and
// free underneath), and while a watch is active every block freed on the
// watching thread is searched for the needle. Needs the C library to tell a block's size (glibc here); where it
// cannot, supported() is false and the tests that need it skip.
namespace vn::test {

class FreedMemoryWatch {
 public:
  static bool supported();

  // `needle` must outlive the watch (a string literal); at most one watch
  // per thread.
  explicit FreedMemoryWatch(std::string_view needle);
  ~FreedMemoryWatch();
  FreedMemoryWatch(const FreedMemoryWatch&) = delete;
  FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

  // Blocks freed so far, on this thread, that held the needle.
  size_t hits() const;
  // Blocks freed so far on this thread (to see that the watch saw anything).
  size_t frees() const;
};

}  // namespace vn::test
