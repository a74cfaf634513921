#include "core/base/crash_handler.h"

#include <sstream>

namespace vn {

std::string describe_crash(const CrashDetails& details) {
  std::ostringstream text;
  if (!details.prefix.empty()) text << details.prefix << ' ';
  text << "ip=" << details.instruction;
  text << " module=" << (details.module.empty() ? std::string("<unknown>") : details.module);
  if (details.access != nullptr) text << " access=" << details.access;
  if (details.has_fault_address) text << " addr=" << details.fault_address;
  return text.str();
}

const char* access_violation_kind(unsigned long long parameter0) {
  switch (parameter0) {
    case 0: return "read";
    case 1: return "write";
    case 8: return "execute";
    default: return "unknown";
  }
}

}  // namespace vn
