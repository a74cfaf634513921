#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "core/host/host_info_linux.h"
#include "core/host/host_load_linux.h"
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

// /proc/stat as the kernel writes it: the all-CPU line, then one per CPU.
std::string proc_stat(const std::string& cpu_fields) {
  return "cpu  " + cpu_fields + "\ncpu0 999 999 999 1 1 0 0 0 0 0\nintr 12345 0 0\nctxt 678\n";
}

TEST_F(HostFixture, CpuLoadIsTheBusyShareBetweenSnapshots) {
  struct Case {
    const char* name;
    const char* before;  // user nice system idle iowait irq softirq steal guest guest_nice
    const char* after;
    uint32_t percent;
  };
  const Case cases[] = {
      {"half busy", "100 0 100 800 0 0 0 0 0 0", "150 0 150 900 0 0 0 0 0 0", 50},
      {"nice, irq, softirq and steal are busy", "0 0 0 0 0 0 0 0 0 0", "0 10 0 60 0 10 10 10 0 0", 40},
      {"iowait is idle", "0 0 0 0 0 0 0 0 0 0", "10 0 10 40 40 0 0 0 0 0", 20},
      {"guest time is inside user time", "0 0 0 0 0 0 0 0 0 0", "50 0 0 50 0 0 0 0 50 0", 50},
      {"rounded", "0 0 0 0 0 0 0 0 0 0", "2 0 0 1 0 0 0 0 0 0", 67},
      {"all busy", "0 0 0 0 0 0 0 0 0 0", "30 0 70 0 0 0 0 0 0 0", 100},
      {"idle only", "10 0 10 80 5 0 0 0 0 0", "10 0 10 180 5 0 0 0 0 0", 0},
      {"no time passed", "10 0 10 80 5 0 0 0 0 0", "10 0 10 80 5 0 0 0 0 0", 0},
      {"counters went backwards", "500 0 500 800 0 0 0 0 0 0", "10 0 10 80 0 0 0 0 0 0", 0},
      {"idle + iowait stepped back", "0 0 0 100 50 0 0 0 0 0", "50 0 0 105 40 0 0 0 0 0", 100},
      {"old kernel, four fields", "10 0 10 80", "20 0 20 160", 20},
  };
  for (const Case& c : cases) {
    write("proc/stat", proc_stat(c.before));
    const auto sampler = create_host_load_sampler(paths());
    write("proc/stat", proc_stat(c.after));
    EXPECT_EQ(sampler->sample().cpu_pct, c.percent) << c.name;
  }
}

TEST_F(HostFixture, EachCpuSampleMeasuresSinceTheLastReadableOne) {
  write("proc/stat", proc_stat("0 0 0 0 0 0 0 0 0 0"));
  const auto sampler = create_host_load_sampler(paths());
  write("proc/stat", proc_stat("100 0 0 100 0 0 0 0 0 0"));
  EXPECT_EQ(sampler->sample().cpu_pct, 50u);
  write("proc/stat", proc_stat("110 0 0 190 0 0 0 0 0 0"));
  EXPECT_EQ(sampler->sample().cpu_pct, 10u);
  write("proc/stat", "intr 1\n");
  EXPECT_EQ(sampler->sample().cpu_pct, 0u);
  write("proc/stat", proc_stat("190 0 0 210 0 0 0 0 0 0"));
  EXPECT_EQ(sampler->sample().cpu_pct, 80u);
}

TEST_F(HostFixture, FreeRamIsAvailableMemoryInMib) {
  struct Case {
    const char* name;
    const char* meminfo;
    uint64_t mib;
  };
  const Case cases[] = {
      {"MemAvailable",
       "MemTotal:       32768000 kB\nMemFree:         1024000 kB\nMemAvailable:   20480000 kB\n"
       "Buffers:          204800 kB\nCached:          8192000 kB\n",
       20000},
      {"free + buffers + cached without MemAvailable",
       "MemTotal:        4096000 kB\nMemFree:          512000 kB\nBuffers:          102400 kB\n"
       "Cached:           409600 kB\nSwapCached:      9999999 kB\n",
       1000},
      {"free alone", "MemTotal:        4096000 kB\nMemFree:          512000 kB\n", 500},
      {"MemAvailable not a number", "MemAvailable:   lots kB\nMemFree:            2048 kB\n", 2},
      {"nothing known", "MemTotal:        4096000 kB\n", 0},
      {"empty", "", 0},
  };
  for (const Case& c : cases) {
    write("proc/meminfo", c.meminfo);
    EXPECT_EQ(read_ram_mb_free(paths()), c.mib) << c.name;
  }
}

TEST_F(HostFixture, GpuLoadFromTheDetectedCardsBusyPercent) {
  add_card(0, "0000:00:02.0", "8086", "3e92", false);
  add_card(1, "0000:03:00.0", "1002", "73bf", true);
  write("sys/devices/pci0000:00/0000:00:02.0/gpu_busy_percent", "5\n");
  write("sys/devices/pci0000:00/0000:03:00.0/gpu_busy_percent", "73\n");
  const auto sampler = create_host_load_sampler(paths());
  EXPECT_EQ(sampler->sample().gpu_pct, 73u);
  write("sys/devices/pci0000:00/0000:03:00.0/gpu_busy_percent", "250\n");
  EXPECT_EQ(sampler->sample().gpu_pct, 100u);
  write("sys/devices/pci0000:00/0000:03:00.0/gpu_busy_percent", "busy\n");
  EXPECT_EQ(sampler->sample().gpu_pct, 0u);
}

TEST_F(HostFixture, NvidiaGpuLoadFromItsToolOncePerSample) {
  add_card(0, "0000:01:00.0", "10de", "2206", true);
  SystemPaths p = paths();
  std::vector<std::string> asked;
  std::string reply;
  p.run_command = [&](const std::string& command) {
    asked.push_back(command);
    return reply;
  };
  const auto sampler = create_host_load_sampler(p);
  EXPECT_TRUE(asked.empty());

  struct Case {
    const char* reply;
    uint32_t percent;
  };
  const Case cases[] = {{"42\n", 42}, {"7\n99\n", 7}, {" 100\n", 100}, {"[N/A]\n", 0}, {"", 0}};
  for (const Case& c : cases) {
    reply = c.reply;
    asked.clear();
    EXPECT_EQ(sampler->sample().gpu_pct, c.percent) << c.reply;
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].find("--query-gpu=utilization.gpu --format=csv,noheader,nounits"), std::string::npos)
        << asked[0];
    EXPECT_NE(asked[0].find("-i 0000:01:00.0"), std::string::npos) << asked[0];
  }
}

TEST_F(HostFixture, GpuLoadWithoutASourceIsZeroAndRunsNothing) {
  add_card(0, "0000:00:02.0", "1af4", "1050", true);
  SystemPaths p = paths();
  int runs = 0;
  p.run_command = [&](const std::string&) {
    ++runs;
    return std::string("55\n");
  };
  EXPECT_EQ(create_host_load_sampler(p)->sample().gpu_pct, 0u);
  EXPECT_EQ(runs, 0);
  // An NVIDIA card, then without a way to run its tool.
  add_card(1, "0000:01:00.0", "10de", "2206", true);
  write("sys/devices/pci0000:00/0000:00:02.0/boot_vga", "0\n");
  EXPECT_EQ(create_host_load_sampler(p)->sample().gpu_pct, 55u);
  EXPECT_EQ(create_host_load_sampler(paths())->sample().gpu_pct, 0u);
}

TEST_F(HostFixture, UnreadableSourcesGiveZeros) {
  SystemPaths p = paths();
  p.run_command = [](const std::string&) { return std::string("55\n"); };
  const auto sampler = create_host_load_sampler(p);
  for (int i = 0; i < 2; ++i) {
    const HostLoad load = sampler->sample();
    EXPECT_EQ(load.cpu_pct, 0u);
    EXPECT_EQ(load.gpu_pct, 0u);
    EXPECT_EQ(load.ram_mb_free, 0u);
  }
}

}  // namespace
}  // namespace vn::linux_host
