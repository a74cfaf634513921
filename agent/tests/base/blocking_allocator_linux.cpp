// Replaces malloc, calloc, realloc and the aligned allocations of the test
// program (symbol interposition: the C library and libstdc++ call these).
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "blocking_allocator.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<bool> g_blocked{false};
std::atomic<size_t> g_calls{0};

void enter_allocator() {
  g_calls.fetch_add(1, std::memory_order_relaxed);
  if (!g_blocked.load()) return;
  for (;;) pause();
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  enter_allocator();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  enter_allocator();
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
  enter_allocator();
  return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
  enter_allocator();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  enter_allocator();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  enter_allocator();
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}

}  // extern "C"

namespace vn::test {

bool allocation_can_be_blocked() { return true; }
size_t allocation_calls() { return g_calls.load(); }
void block_allocation() { g_blocked.store(true); }

}  // namespace vn::test
