#include "core/base/crash_handler.h"

#include <cstring>

namespace vn {
namespace {

bool has_text(const char* text) { return text != nullptr && text[0] != '\0'; }

size_t length_of(const char* text) { return text != nullptr ? std::strlen(text) : 0; }

}  // namespace

void write_crash_description(SignalSafeText& out, const CrashDetails& details) {
  if (has_text(details.prefix)) out.add(details.prefix).add(' ');
  out.add("ip=").add_pointer(details.instruction);
  out.add(" module=").add(has_text(details.module) ? details.module : "<unknown>");
  if (details.access != nullptr) out.add(" access=").add(details.access);
  if (details.has_fault_address) out.add(" addr=").add_pointer(details.fault_address);
}

std::string describe_crash(const CrashDetails& details) {
  // Room for the three strings, the fixed words and two 64-bit pointers.
  std::string text(length_of(details.prefix) + length_of(details.module) + length_of(details.access) + 128, '\0');
  SignalSafeText out(text.data(), text.size());
  write_crash_description(out, details);
  text.resize(out.view().size());
  return text;
}

void write_fatal_crash_line(SignalSafeText& out, unsigned long long code, const CrashDetails& details) {
  out.add("Fatal crash: Unhandled OS exception 0x").add_hex(code, true).add(" (");
  write_crash_description(out, details);
  out.add(')');
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
