#pragma once

#include <cstddef>

namespace vn::test {

// Test-only stand-in for a heap whose lock is held by a crashed thread, as
// after glibc aborts on heap corruption. Where it is linked in it replaces
// malloc and its relatives for the whole test program: they forward to
// glibc's allocator until block_allocation(), after which every call blocks
// forever (waiting for signals only).

// False where the replacement is not linked (sanitizer builds own malloc).
bool allocation_can_be_blocked();
// Calls made through the replacement so far.
size_t allocation_calls();
// From now on allocating blocks the calling thread for good.
void block_allocation();

}  // namespace vn::test
