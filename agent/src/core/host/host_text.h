#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Text helpers of host detection; pure functions, usable on every platform.
namespace vn::host_text {

// Removes leading and trailing ' ' characters only.
std::string trim_spaces(std::string_view text);

// Narrows UTF-16 units to their low byte, up to the first zero unit or
// `max_units` units.
std::string narrow_low_bytes(const uint16_t* units, size_t max_units);

// The value of the first "key : value" line of /proc/cpuinfo-style text whose
// key is `key` (surrounding spaces and tabs ignored), with its spaces trimmed;
// empty when absent.
std::string colon_field(std::string_view text, std::string_view key);

// The value of KEY=value (optionally quoted) in os-release-style text.
std::string os_release_field(std::string_view text, std::string_view key);

// The device name of vendor:device (hex, e.g. "10de", "2206") in pci.ids-style
// text, as "<vendor name> <device name>"; empty when the ids are not listed.
std::string pci_ids_name(std::string_view pci_ids, std::string_view vendor, std::string_view device);

}  // namespace vn::host_text
