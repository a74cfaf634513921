#include <unistd.h>

#include <climits>
#include <string>

#include "core/base/logging.h"

namespace vn {

std::string executable_path() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace vn
