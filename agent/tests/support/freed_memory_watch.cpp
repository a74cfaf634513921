#include "support/freed_memory_watch.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#define VN_FREED_MEMORY_WATCH 1
#else
#define VN_FREED_MEMORY_WATCH 0
#endif

namespace vn::test {
namespace {

// Plain thread-locals: operator delete may run before or after anything else.
thread_local const char* t_needle = nullptr;
thread_local size_t t_needle_size = 0;
thread_local size_t t_hits = 0;
thread_local size_t t_frees = 0;

#if VN_FREED_MEMORY_WATCH
void inspect(void* block) {
  if (block == nullptr || t_needle == nullptr) return;
  ++t_frees;
  const size_t size = malloc_usable_size(block);
  if (size >= t_needle_size && memmem(block, size, t_needle, t_needle_size) != nullptr) ++t_hits;
}

void* allocate(size_t size) {
  if (size == 0) size = 1;
  void* block = std::malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release(void* block) noexcept {
  inspect(block);
  std::free(block);
}
#endif

}  // namespace

bool FreedMemoryWatch::supported() { return VN_FREED_MEMORY_WATCH != 0; }

FreedMemoryWatch::FreedMemoryWatch(std::string_view needle) {
  t_needle = needle.data();
  t_needle_size = needle.size();
  t_hits = 0;
  t_frees = 0;
}

FreedMemoryWatch::~FreedMemoryWatch() { t_needle = nullptr; }

size_t FreedMemoryWatch::hits() const { return t_hits; }
size_t FreedMemoryWatch::frees() const { return t_frees; }

}  // namespace vn::test

#if VN_FREED_MEMORY_WATCH
// The replacements: malloc underneath, a look at each block before it goes.
void* operator new(size_t size) { return vn::test::allocate(size); }
void* operator new[](size_t size) { return vn::test::allocate(size); }
void operator delete(void* block) noexcept { vn::test::release(block); }
void operator delete[](void* block) noexcept { vn::test::release(block); }
void operator delete(void* block, size_t) noexcept { vn::test::release(block); }
void operator delete[](void* block, size_t) noexcept { vn::test::release(block); }
#endif
