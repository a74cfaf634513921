#include <windows.h>

#include <string>

#include "core/base/logging.h"

namespace vn {

std::string executable_path() {
  char buffer[260] = {};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  if (length == 0 || length >= sizeof(buffer)) return {};
  return std::string(buffer, length);
}

}  // namespace vn
