// Sanitizer builds: the sanitizer runtime owns malloc, so nothing replaces it.
#include "blocking_allocator.h"

namespace vn::test {

bool allocation_can_be_blocked() { return false; }
size_t allocation_calls() { return 0; }
void block_allocation() {}

}  // namespace vn::test
