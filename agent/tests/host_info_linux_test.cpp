#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/host_info_linux.h"
#include "support/temp_dir.h"

namespace vn::linux_host {
namespace {

namespace fs = std::filesystem;

// A small /sys + /proc tree with DRM cards linked to PCI device folders.
class HostFixture : public ::testing::Test {
 protected:
  void write(const fs::path& relative, const std::string& text) {
    const fs::path path = dir_.path() / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  // card<number> -> sys/devices/pci0000:00/<address>, as the kernel links it.
  void add_card(int number, const std::string& address, const std::string& vendor, const std::string& device,
                bool boot_vga) {
    const fs::path pci = dir_.path() / "sys/devices/pci0000:00" / address;
    fs::create_directories(pci);
    std::ofstream(pci / "vendor") << "0x" << vendor << "\n";
    std::ofstream(pci / "device") << "0x" << device << "\n";
    std::ofstream(pci / "boot_vga") << (boot_vga ? "1\n" : "0\n");
    const fs::path card = dir_.path() / "sys/class/drm" / ("card" + std::to_string(number));
    fs::create_directories(card);
    fs::create_directory_symlink(pci, card / "device");
    // Connectors sit beside the cards and must be ignored.
    fs::create_directories(dir_.path() / "sys/class/drm" / ("card" + std::to_string(number) + "-HDMI-A-1"));
  }

  SystemPaths paths() const {
    SystemPaths p;
    p.sys = dir_.path() / "sys";
    p.proc = dir_.path() / "proc";
    p.os_release = dir_.path() / "etc/os-release";
    p.pci_ids = {dir_.path() / "missing.ids", dir_.path() / "pci.ids"};
    return p;
  }

  test::TempDir dir_;
};

TEST_F(HostFixture, NvidiaNameFromDriverAndMemoryFromItsTool) {
  add_card(0, "0000:01:00.0", "10de", "2206", true);
  write("proc/driver/nvidia/gpus/0000:01:00.0/information", "Model: \t\t NVIDIA GeForce RTX 3080\nIRQ: 130\n");
  SystemPaths p = paths();
  std::string asked;
  p.run_command = [&](const std::string& command) {
    asked = command;
    return std::string("10240\n");
  };
  const GpuInfo gpu = query_gpu(p);
  EXPECT_EQ(gpu.name, "NVIDIA GeForce RTX 3080");
  EXPECT_EQ(gpu.vram_mb, 10240u);
  EXPECT_NE(asked.find("-i 0000:01:00.0"), std::string::npos) << asked;
}

TEST_F(HostFixture, BootVgaCardWinsAndPciIdsNameIt) {
  add_card(0, "0000:00:02.0", "8086", "3e92", false);
  add_card(1, "0000:03:00.0", "1002", "73bf", true);
  write("sys/devices/pci0000:00/0000:03:00.0/mem_info_vram_total", "17163091968\n");
  write("pci.ids", "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n\t73bf  Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\n");
  const GpuInfo gpu = query_gpu(paths());
  EXPECT_EQ(gpu.name, "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]");
  EXPECT_EQ(gpu.vram_mb, 16368u);
}

TEST_F(HostFixture, UnlistedDeviceIsNamedByItsIdsAndFailuresStayEmpty) {
  add_card(0, "0000:00:02.0", "1af4", "1050", false);
  SystemPaths p = paths();
  p.run_command = [](const std::string&) { return std::string("garbage"); };
  const GpuInfo gpu = query_gpu(p);
  EXPECT_EQ(gpu.name, "PCI device 1af4:1050");
  EXPECT_EQ(gpu.vram_mb, 0u);
}

TEST_F(HostFixture, NoCardsGiveEmptyInfo) {
  const GpuInfo gpu = query_gpu(paths());
  EXPECT_EQ(gpu.name, "");
  EXPECT_EQ(gpu.vram_mb, 0u);
}

TEST_F(HostFixture, CpuNameTrimmedWithArmFallback) {
  write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i9-9900K CPU @ 3.60GHz    \n");
  EXPECT_EQ(query_cpu_name(paths()), "Intel(R) Core(TM) i9-9900K CPU @ 3.60GHz");
  write("proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 108.00\n\nHardware\t: BCM2835\n");
  EXPECT_EQ(query_cpu_name(paths()), "BCM2835");
  write("proc/cpuinfo", "");
  EXPECT_EQ(query_cpu_name(paths()), "");
}

TEST_F(HostFixture, OsVersionNamesKernelAndDistribution) {
  EXPECT_EQ(query_os_version(paths(), "6.1.0-18-amd64"), "Linux 6.1.0-18-amd64");
  write("etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
  EXPECT_EQ(query_os_version(paths(), "6.1.0-18-amd64"), "Linux 6.1.0-18-amd64 (Debian GNU/Linux 12)");
  EXPECT_EQ(query_os_version(paths(), ""), "");
}

}  // namespace
}  // namespace vn::linux_host
