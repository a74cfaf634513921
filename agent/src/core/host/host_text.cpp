#include "core/host/host_text.h"

#include "core/base/ascii_text.h"

namespace vn::host_text {
namespace {

// Calls `visit(line)` for each line until it returns true.
template <typename Visit>
void for_each_line(std::string_view text, Visit&& visit) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (visit(line)) return;
    start = end + 1;
  }
}

}  // namespace

std::string trim_spaces(std::string_view text) { return std::string(trim_chars(text, " ")); }

std::string narrow_low_bytes(const uint16_t* units, size_t max_units) {
  std::string out;
  for (size_t i = 0; i < max_units && units[i] != 0; ++i) out.push_back(static_cast<char>(units[i] & 0xFF));
  return out;
}

std::string colon_field(std::string_view text, std::string_view key) {
  std::string value;
  for_each_line(text, [&](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    if (trim_chars(line.substr(0, colon), " \t") != key) return false;
    value = std::string(trim_chars(line.substr(colon + 1), " \t"));
    return true;
  });
  return value;
}

std::string os_release_field(std::string_view text, std::string_view key) {
  std::string value;
  for_each_line(text, [&](std::string_view line) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || line.substr(0, equals) != key) return false;
    std::string_view raw = line.substr(equals + 1);
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
      raw = raw.substr(1, raw.size() - 2);
    }
    value = std::string(raw);
    return true;
  });
  return value;
}

std::string pci_ids_name(std::string_view pci_ids, std::string_view vendor, std::string_view device) {
  // Vendor lines start in column 0 ("10de  NVIDIA Corporation"); their devices
  // follow on lines with one leading tab ("\t2206  GA102 [GeForce RTX 3080]").
  std::string vendor_name;
  std::string device_name;
  bool in_vendor = false;
  for_each_line(pci_ids, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return false;
    if (line.front() != '\t') {
      if (in_vendor) return true;  // the vendor's block ended without the device
      if (line.size() > 6 && equal_ignoring_case(line.substr(0, 4), vendor) && line[4] == ' ') {
        vendor_name = std::string(trim_chars(line.substr(5), " "));
        in_vendor = true;
      }
      return false;
    }
    if (!in_vendor || line.size() < 7 || line[1] == '\t') return false;
    if (equal_ignoring_case(line.substr(1, 4), device) && line[5] == ' ') {
      device_name = std::string(trim_chars(line.substr(6), " "));
      return true;
    }
    return false;
  });
  if (vendor_name.empty() || device_name.empty()) return {};
  return vendor_name + " " + device_name;
}

}  // namespace vn::host_text
