#include <gtest/gtest.h>

#include "core/host/host_text.h"

namespace vn::host_text {
namespace {

TEST(HostText, TrimSpacesOnlyTouchesSpaces) {
  EXPECT_EQ(trim_spaces("   Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz        "),
            "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz");
  EXPECT_EQ(trim_spaces("AMD Ryzen 9 5950X 16-Core Processor "), "AMD Ryzen 9 5950X 16-Core Processor");
  EXPECT_EQ(trim_spaces("    "), "");
  EXPECT_EQ(trim_spaces(""), "");
  EXPECT_EQ(trim_spaces("\tname\t"), "\tname\t");
}

TEST(HostText, NarrowLowBytesStopsAtZeroOrLimit) {
  const uint16_t name[] = {'R', 'T', 'X', 0x00E9, 0, 'x'};
  EXPECT_EQ(narrow_low_bytes(name, 6), "RTX\xE9");
  EXPECT_EQ(narrow_low_bytes(name, 2), "RT");
  const uint16_t wide[] = {0x4E2D, 'A', 0};
  EXPECT_EQ(narrow_low_bytes(wide, 3), std::string("\x2D""A"));
}

TEST(HostText, ColonField) {
  const char* cpuinfo =
      "processor\t: 0\n"
      "vendor_id\t: GenuineIntel\n"
      "model name\t:   Intel(R) Xeon(R) CPU @ 2.20GHz   \n"
      "processor\t: 1\n"
      "model name\t: second\n";
  EXPECT_EQ(colon_field(cpuinfo, "model name"), "Intel(R) Xeon(R) CPU @ 2.20GHz");
  EXPECT_EQ(colon_field(cpuinfo, "vendor_id"), "GenuineIntel");
  EXPECT_EQ(colon_field(cpuinfo, "model"), "");
  EXPECT_EQ(colon_field("Model: \t\t NVIDIA GeForce RTX 3080\r\nIRQ: 1\n", "Model"), "NVIDIA GeForce RTX 3080");
}

TEST(HostText, OsReleaseField) {
  const char* os_release = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
                           "VERSION_ID='12'\nID=debian\n";
  EXPECT_EQ(os_release_field(os_release, "NAME"), "Debian GNU/Linux");
  EXPECT_EQ(os_release_field(os_release, "VERSION_ID"), "12");
  EXPECT_EQ(os_release_field(os_release, "ID"), "debian");
  EXPECT_EQ(os_release_field(os_release, "VERSION"), "");
}

TEST(HostText, PciIdsName) {
  const char* ids =
      "# comment\n"
      "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
      "\t73bf  Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\n"
      "10de  NVIDIA Corporation\n"
      "\t2206  GA102 [GeForce RTX 3080]\n"
      "\t\t10de 1467  GA102 [GeForce RTX 3080]\n"
      "\t2484  GA104 [GeForce RTX 3070]\n"
      "8086  Intel Corporation\n"
      "\t2206  not an nvidia part\n";
  EXPECT_EQ(pci_ids_name(ids, "10de", "2206"), "NVIDIA Corporation GA102 [GeForce RTX 3080]");
  EXPECT_EQ(pci_ids_name(ids, "10DE", "2484"), "NVIDIA Corporation GA104 [GeForce RTX 3070]");
  EXPECT_EQ(pci_ids_name(ids, "1002", "73bf"), "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]");
  EXPECT_EQ(pci_ids_name(ids, "10de", "9999"), "");
  EXPECT_EQ(pci_ids_name(ids, "abcd", "2206"), "");
  EXPECT_EQ(pci_ids_name("", "10de", "2206"), "");
}

}  // namespace
}  // namespace vn::host_text
