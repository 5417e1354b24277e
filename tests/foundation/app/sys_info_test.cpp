#include "foundation/app/sys_info.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <gtest/gtest.h>

#include "foundation/threads/heartbeat.h"
#include "foundation/net/host_names.h"
#include "foundation/text/string_list.h"
#include "foundation/files/version_info.h"

namespace halvorn {
namespace {

TEST(SysInfoTablesTest, VendorsProcessorTypesAndSubModels) {
  struct VendorRow {
    std::string text, name;
    int number;
  } vendors[] = {
      {"GenuineIntel", "Intel", 0},        {"UMC UMC UMC ", "UMC", 1},
      {"AuthenticAMD", "AMD", 2},          {"CyrixInstead", "Cyrix", 3},
      {"NexGenDriven", "NexGen", 4},       {"CentaurHauls", "CentaurHauls", 5},
      {"HygonGenuine", "HygonGenuine", 0},  // unknown: kept, looked up as Intel
  };
  for (const VendorRow& row : vendors) {
    SCOPED_TRACE(row.text);
    int number = -1;
    EXPECT_EQ(CPUVendorName(row.text, number), row.name);
    EXPECT_EQ(number, row.number);
  }

  struct TypeRow {
    int family, vendor, model;
    std::string name;
  } types[] = {
      {4, 0, 0, "i80486DX-25/33"},
      {4, 0, 6, ""},  // model missing from the table
      {4, 1, 2, "U5S(486SX)"},
      {4, 2, 15, "5x86WB"},
      {4, 3, 9, "Cyrix 5x86"},
      {5, 0, 7, "P54C"},
      {5, 0, 8, "P55C(0,25\xB5m)MMX"},
      {5, 2, 3, "5k86"},
      {5, 4, 11, "Nx586"},
      {5, 5, 0, "IDT C6 (WinChip)"},
      {6, 0, 5, "Pentium II 0,25\xB5m"},
      {6, 0, 2, ""},
      {6, 2, 9, "K6PLUS-3D"},
      {6, 3, 0, "Cx6x86 MX/MII"},
      {6, 4, 0, ""},
      {15, 2, 1, "Unknown type"},
      {3, 0, 0, "Unknown type"},
  };
  for (const TypeRow& row : types) {
    SCOPED_TRACE(std::to_string(row.family) + "/" + std::to_string(row.vendor) + "/" +
                 std::to_string(row.model));
    EXPECT_EQ(ProcessorTypeName(row.family, row.vendor, row.model), row.name);
  }

  EXPECT_EQ(CPUSubModelName(0), "Primary");
  EXPECT_EQ(CPUSubModelName(1), "OverDrive");
  EXPECT_EQ(CPUSubModelName(2), "Secondary");
  EXPECT_EQ(CPUSubModelName(3), "Reserved");
}

TEST(SysInfoTablesTest, SignatureFieldsAndFeatureWord) {
  TCPU cpu;
  // Family 6, model 5, stepping 2, type 1, with extended bits that must be
  // ignored.
  cpu.SetCpuId("GenuineIntel", 0x0FF51652u, (1u << 0) | (1u << 23) | (1u << 31));
  EXPECT_EQ(cpu.Family, 6);
  EXPECT_EQ(cpu.Model, 5);
  EXPECT_EQ(cpu.Stepping, 2);
  EXPECT_EQ(cpu.TypeID, 1);
  EXPECT_EQ(cpu.SubModel, "OverDrive");
  EXPECT_EQ(cpu.ProcessorType, "Pentium II 0,25\xB5m");
  EXPECT_TRUE(cpu.Features.Has(0));
  EXPECT_TRUE(cpu.Features.Has(23));
  EXPECT_FALSE(cpu.Features.Has(1));
}

TEST(SysInfoTablesTest, PercentagesAndUpTime) {
  struct Row {
    std::int64_t total, free, expected;
  } rows[] = {
      {0, 0, 0},  // no swap at all
      {0, 5, 0},      {-1, 0, 0},          {100, 25, 75},
      {3, 1, 66},     {100, 0, 100},       {100, 150, 0},
      {100, -4, 100}, {INT64_MAX, 0, 100}, {INT64_MAX, INT64_MAX / 2, 50},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.total) + "/" + std::to_string(row.free));
    EXPECT_EQ(UsedPercent(row.total, row.free), row.expected);
  }
  EXPECT_EQ(UpTimeText(0), "0:0");
  EXPECT_EQ(UpTimeText(59999), "0:0");
  EXPECT_EQ(UpTimeText(3600000 + 5 * 60000 + 59999), "1:5");
  EXPECT_EQ(UpTimeText(std::uint64_t{100} * 3600000), "100:0");
}

TEST(SysInfoTest, SocketsVersionPassesTheStartUpCheck) {
  std::uint16_t major = 10, minor = 10;
  ASSERT_TRUE(GetWinsockVersion(major, minor));
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 2);
}

std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> result;
  for (int i = 0; i < list.Count(); ++i) result.push_back(list[i]);
  return result;
}

TEST(SysInfoReportTest, LineNamesOrderAndFormats) {
  TSysInfo info;
  info.CPU.SetCpuId("AuthenticAMD", 0x00000562u, (1u << 9) | (1u << 1));
  info.CPU.Architecture = 9;
  info.CPU.OEMid = 9;
  info.CPU.Level = 5;
  info.CPU.Revision = 0x0602;
  info.CPU.Version = "Level 5  Rev. 6.2";
  info.CPU.Freq = "1234.50";
  info.Memory = {.PhysicalTotal = 1000,
                 .PhysicalFree = 250,
                 .PageFileTotal = 0,  // no swap
                 .PageFileFree = 0,
                 .VirtualTotal = 400,
                 .VirtualFree = 399,
                 .SwapFileSize = 0,
                 .SwapFileUsage = 0,
                 .PageSize = 4096,
                 .AllocGranularity = 4096,
                 .MinAppAddress = 65536,
                 .MaxAppAddress = 140737488351231};
  info.Network.LocalHost = "box";
  info.Network.LocalIP = "10.1.2.3";
  info.Network.WinSock = {2, 2, "Linux sockets", "Running"};
  info.OS.Platform = "Linux";
  info.OS.Version = "#1 SMP";
  info.OS.VersionNumber = "6.1 (0.-18-amd64)";
  info.OS.ProductName = "Debian GNU/Linux 12 (bookworm)";
  info.Workstation.BIOSName = "SeaBIOS 1.16";
  info.Workstation.UserName = "user";
  info.Workstation.ComputerName = "box";
  info.Workstation.SystemUpTime = "3:7";
  SetUserInterfaceMode(2);
  OwnIPAddress.store(0);

  TStringList lines;
  lines.Add("kept");
  AppendSysInfoReport(info, lines);
  SetUserInterfaceMode(0);

  const std::vector<std::string> expected = {
      "kept",
      "Quor Lite = 2",
      "Quor vers = " + GetVersionText(),
      "Quor LargeFonts = 0",
      "",
      "CPU ProcessorType = K6",
      "CPU Vendor = AMD",
      "CPU Version = Level 5  Rev. 6.2",
      "CPU Freq = 1234.50",
      "CPU Revision = 1538",
      "CPU SubModel = Primary",
      "CPU Architecture = 9",
      "CPU Family = 5",
      "CPU Level = 5",
      "CPU Stepping = 2",
      "CPU OEMID = 9",
      "CPU = Processor contains an enabled APIC",
      "CPU = Virtual Mode Extension",
      "",
      "Mem AllocGranularity = 4096",
      "Mem MaxAppAddress = 140737488351231",
      "Mem MinAppAddress = 65536",
      "Mem PageSize = 4096",
      "Mem PageFile = 0%",
      "Mem Physical = 75%",
      "Mem Virtual = 0%",
      "Mem SwapFileUsage = 0%",
      "Mem SwapFileSize = 0",
      "",
      "Net Localhost = box",
      "Net LocalIP = 10.1.2.3",
      "Net WinSockVersion = 2.2",
      "Net WinSockStatus = Running",
      "Net WinSockDesc = Linux sockets",
      "",
      "OS Platform = Linux",
      "OS Version = #1 SMP/6.1 (0.-18-amd64)",
      "OS ProductName = Debian GNU/Linux 12 (bookworm)",
      "",
      "WS BIOSName = SeaBIOS 1.16",
      "WS ComputerName = box",
      "WS Username = user",
      "WS SystemupTime = 3:7",
      "",
  };
  EXPECT_EQ(Lines(lines), expected);
  EXPECT_EQ(OwnIPAddress.load(), StrToIP("10.1.2.3"));
}

TEST(SysInfoReportTest, WithoutCpuIdOrAddressTheirLinesAreLeftOut) {
  TSysInfo info;  // nothing gathered: no CPUID, no address
  OwnIPAddress.store(StrToIP("10.9.9.9"));
  TStringList lines;
  AppendSysInfoReport(info, lines);
  const std::vector<std::string> got = Lines(lines);
  for (const std::string& line : got) {
    EXPECT_NE(line.rfind("CPU Vendor", 0), 0u);
    EXPECT_NE(line.rfind("CPU ProcessorType", 0), 0u);
    EXPECT_NE(line.rfind("CPU SubModel", 0), 0u);
    EXPECT_NE(line.rfind("Net LocalIP", 0), 0u);
    EXPECT_NE(line.rfind("OS Version", 0), 0u);
    EXPECT_FALSE(line.size() >= 3 && line.compare(line.size() - 3, 3, " = ") == 0) << line;
  }
  for (const char* line : {"CPU Family = 0", "CPU Stepping = 0", "CPU Level = 0",
                           "Mem PageFile = 0%", "Mem Physical = 0%", "Mem SwapFileUsage = 0%"}) {
    EXPECT_NE(std::find(got.begin(), got.end(), line), got.end()) << line;
  }
  EXPECT_EQ(OwnIPAddress.load(), 0u);
}

// ---------------------------------------------------------------------------
// The report of this machine against independent readings.

std::map<std::string, std::string> ReportValues(const TStringList& lines,
                                                std::vector<std::string>& features) {
  std::map<std::string, std::string> values;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    const std::size_t at = line.find(" = ");
    if (at == std::string::npos) continue;
    const std::string name = line.substr(0, at);
    if (name == "CPU") {
      features.push_back(line.substr(at + 3));
    } else {
      values[name] = line.substr(at + 3);
    }
  }
  return values;
}

std::int64_t MemInfoKb(const std::string& name) {
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoll(line.substr(name.size() + 1));
  }
  return -1;
}

std::int64_t Percent(const std::string& text) {
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '%');
  return std::stoll(text);
}

TEST(SysInfoReportTest, ReportOfThisMachineAgreesWithTheSystem) {
  TStringList lines;
  BuildSysInfoReport(lines);
  ASSERT_GT(lines.Count(), 20);
  for (int i = 0; i < lines.Count(); ++i) std::cout << lines[i] << "\n";

  std::vector<std::string> features;
  const std::map<std::string, std::string> values = ReportValues(lines, features);
  EXPECT_EQ(values.at("Quor Lite"), "0");
  EXPECT_EQ(values.at("Net WinSockVersion"), "2.2");
  EXPECT_EQ(values.at("OS Platform"), "Linux");
  EXPECT_FALSE(values.at("WS SystemupTime").empty());

  // Memory: the used shares against /proc/meminfo, free memory being
  // MemAvailable; a few points of drift between the two readings are fine.
  const std::int64_t memTotal = MemInfoKb("MemTotal");
  const std::int64_t memAvailable = MemInfoKb("MemAvailable");
  ASSERT_GT(memTotal, 0);
  EXPECT_NEAR(Percent(values.at("Mem Physical")), (memTotal - memAvailable) * 100 / memTotal, 3);
  const std::int64_t swapTotal = MemInfoKb("SwapTotal");
  const std::int64_t swapFree = MemInfoKb("SwapFree");
  const std::int64_t swapUsed = swapTotal > 0 ? (swapTotal - swapFree) * 100 / swapTotal : 0;
  EXPECT_NEAR(Percent(values.at("Mem PageFile")), swapUsed, 3);
  EXPECT_NEAR(Percent(values.at("Mem SwapFileUsage")), swapUsed, 3);
  EXPECT_NEAR(std::stoll(values.at("Mem SwapFileSize")) / 1024.0,
              static_cast<double>(swapTotal - swapFree), 64 * 1024.0);
  EXPECT_EQ(values.at("Mem PageSize"), std::to_string(::sysconf(_SC_PAGESIZE)));

  // The local address is the machine's own, never loopback, and is what
  // OwnIPAddress now holds.
  if (values.count("Net LocalIP") != 0) {
    EXPECT_NE(values.at("Net LocalIP").rfind("127.", 0), 0u);
    EXPECT_EQ(OwnIPAddress.load(), StrToIP(values.at("Net LocalIP")));
  }

#if defined(__x86_64__) || defined(__i386__)
  // Processor: the CPUID fields straight from the instruction.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  ASSERT_NE(__get_cpuid(0, &eax, &ebx, &ecx, &edx), 0);
  char vendor[13] = {};
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  ASSERT_NE(__get_cpuid(1, &eax, &ebx, &ecx, &edx), 0);
  const unsigned family = (eax >> 8) & 0xF;
  const unsigned model = (eax >> 4) & 0xF;
  const unsigned stepping = eax & 0xF;
  const std::map<std::string, std::string> vendorNames = {
      {"GenuineIntel", "Intel"}, {"AuthenticAMD", "AMD"}, {"CentaurHauls", "CentaurHauls"}};
  const auto named = vendorNames.find(vendor);
  EXPECT_EQ(values.at("CPU Vendor"), named != vendorNames.end() ? named->second : vendor);
  EXPECT_EQ(values.at("CPU Family"), std::to_string(family));
  EXPECT_EQ(values.at("CPU Stepping"), std::to_string(stepping));
  EXPECT_EQ(values.at("CPU SubModel"), CPUSubModelName((eax >> 12) & 3));
  // The level and revision are the kernel's family and model, which fold in
  // the extended fields.
  const unsigned level = family == 0xF ? family + ((eax >> 20) & 0xFF) : family;
  const unsigned fullModel = family >= 6 ? model + (((eax >> 16) & 0xF) << 4) : model;
  EXPECT_EQ(values.at("CPU Level"), std::to_string(level));
  EXPECT_EQ(values.at("CPU Revision"), std::to_string((fullModel << 8) | stepping));
  EXPECT_EQ(values.at("CPU Version"), "Level " + std::to_string(level) + "  Rev. " +
                                          std::to_string(fullModel) + "." +
                                          std::to_string(stepping));
  if (family < 4 || family > 6) {
    EXPECT_EQ(values.at("CPU ProcessorType"), "Unknown type");
  }
  std::vector<std::string> expectedFeatures;
  for (const TCPUFeatureText& feature : kCPUFeatureTexts) {
    if ((edx >> feature.Bit) & 1u) expectedFeatures.push_back(feature.Text);
  }
  EXPECT_EQ(features, expectedFeatures);
  EXPECT_EQ(values.at("CPU Architecture"), sizeof(void*) == 8 ? "9" : "0");
#endif
}

}  // namespace
}  // namespace halvorn
