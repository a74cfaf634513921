#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/host_info.h"

// Linux host detection over a configurable file-system root, so that tests can
// point it at a fixture tree.
namespace vn::linux_host {

struct SystemPaths {
  std::filesystem::path sys = "/sys";
  std::filesystem::path proc = "/proc";
  std::filesystem::path os_release = "/etc/os-release";
  std::vector<std::filesystem::path> pci_ids = {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"};
  // Runs a command line and returns its standard output ("" on failure); used
  // for the NVIDIA driver's nvidia-smi. Null: commands are not run.
  std::function<std::string(const std::string&)> run_command;
};

// The boot VGA card (else the lowest-numbered DRM card with a PCI device):
// name from the NVIDIA driver, the amdgpu product name or pci.ids; dedicated
// memory from amdgpu's VRAM counter or nvidia-smi.
GpuInfo query_gpu(const SystemPaths& paths);

// /proc/cpuinfo's "model name" (or "Hardware"/"Processor" on ARM boards).
std::string query_cpu_name(const SystemPaths& paths);

// "Linux <kernel release>" followed by " (<NAME> <VERSION_ID>)" from os-release when known.
std::string query_os_version(const SystemPaths& paths, const std::string& kernel_release);

}  // namespace vn::linux_host
