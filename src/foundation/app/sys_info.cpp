#include "foundation/app/sys_info.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "foundation/app/processes.h"
#include "foundation/files/version_info.h"
#include "foundation/net/host_names.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "platform/main_thread.h"

namespace halvorn {

std::atomic<std::uint8_t> UserInterfaceMode{0};

void SetUserInterfaceMode(std::uint8_t mode) {
  UserInterfaceMode.store(mode);
}

const TCPUFeatureText kCPUFeatureTexts[19] = {
    {9, "Processor contains an enabled APIC"},
    {15, "CMOVcc (+FCMOVcc/F(U)COMI(P) opcodes"},
    {8, "CMPXCHG8B instruction"},
    {2, "Debugging Extension"},
    {0, "Built-in FPU"},
    {24, "FXSAVE/FXRSTOR instruction"},
    {14, "Machine Check Architecture"},
    {7, "Machine Check Except"},
    {23, "MMX extension"},
    {5, "Model Specific Registers"},
    {12, "Memory Type Range Registers"},
    {16, "Page Attribute Table"},
    {13, "Page Global Extension"},
    {3, "Page Size Extension"},
    {17, "36bit Page Size Extension"},
    {6, "Physical Address Extension"},
    {11, "SYSENTER/SYSEXIT extension"},
    {4, "Time Stamp Counter"},
    {1, "Virtual Mode Extension"},
};

namespace {

// Files under /proc and /sys are small; anything past this is not ours.
constexpr std::size_t kMaxFactFile = 1 << 20;

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  char buffer[4096];
  while (in && text.size() < kMaxFactFile) {
    in.read(buffer, sizeof(buffer));
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return text;
}

// The value after the first "name<blanks>:" line of a /proc text.
std::string ProcField(const std::string& text, const std::string& name) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (TrimText(line.substr(0, colon)) == name) return TrimText(line.substr(colon + 1));
  }
  return {};
}

// The number a /proc or /sys value begins with ("123456 kB" gives 123456);
// 0 when it begins with none.
std::int64_t ToInt64(const std::string& text) {
  const std::string_view value = TrimTextView(text);
  std::int64_t number = 0;
  if (!ParseSignedDecimal(value.substr(0, value.find(' ')), INT64_MIN, INT64_MAX, number)) return 0;
  return number;
}

// A /proc/meminfo value ("123456 kB") in bytes.
std::int64_t MemInfoBytes(const std::string& meminfo, const std::string& name) {
  const std::string value = ProcField(meminfo, name);
  std::int64_t number = ToInt64(value);
  if (value.find("kB") != std::string::npos) number *= 1024;
  return number;
}

// Processor architecture numbers as the system-information record gives them.
std::int32_t ArchitectureNumber(const std::string& machine) {
  if (machine == "x86_64") return 9;
  if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return 0;
  if (machine == "aarch64" || machine == "arm64") return 12;
  if (machine.rfind("arm", 0) == 0) return 5;
  if (machine.rfind("mips", 0) == 0) return 1;
  if (machine.rfind("alpha", 0) == 0) return 2;
  if (machine.rfind("ppc", 0) == 0) return 3;
  if (machine == "ia64") return 6;
  return 0xFFFF;
}

std::string FormatText(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

void ProcessMessagesOnMainThread() {
  if (platform::OnMainThread()) platform::RunProcessMessagesHook();
}

// Runs one part's gathering; a part that fails keeps what it had.
template <typename Part>
void GatherPart(Part& part) {
  ProcessMessagesOnMainThread();
  try {
    part.GetInfo();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
  }
}

}  // namespace

void TWinSock::GetInfo() {
  MajorVersion = 2;
  MinorVersion = 2;
  utsname names{};
  if (::uname(&names) == 0) {
    Description = std::string(names.sysname) + " " + names.release + " sockets";
  } else {
    Description = "Berkeley sockets";
  }
  Status = "Running";
}

void TNetwork::GetInfo() {
  LocalHost = GetHostNameOrLocal();
  LocalIP.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_LOOPBACK) != 0 || (entry->ifa_flags & IFF_UP) == 0) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text))) {
      LocalIP = text;
      break;
    }
  }
  ::freeifaddrs(list);
  WinSock.GetInfo();
}

void TCPU::SetCpuId(const std::string& vendorText, std::uint32_t signature,
                    std::uint32_t features) {
  int vendorNumber = 0;
  Vendor = CPUVendorName(vendorText, vendorNumber);
  Family = static_cast<std::int32_t>((signature >> 8) & 0xF);
  Model = static_cast<std::int32_t>((signature >> 4) & 0xF);
  Stepping = static_cast<std::int32_t>(signature & 0xF);
  TypeID = static_cast<std::int32_t>((signature >> 12) & 0x3);
  ProcessorType = ProcessorTypeName(Family, vendorNumber, Model);
  SubModel = CPUSubModelName(TypeID);
  Features.FeatureWord = features;
}

void TCPU::GetInfo() {
  utsname names{};
  if (::uname(&names) == 0) {
    Architecture = ArchitectureNumber(names.machine);
    OEMid = Architecture;
  }
  const std::string cpuinfo = ReadSmallFile("/proc/cpuinfo");
  Level = static_cast<std::int32_t>(ToInt64(ProcField(cpuinfo, "cpu family")));
  const std::int64_t model = ToInt64(ProcField(cpuinfo, "model"));
  const std::int64_t stepping = ToInt64(ProcField(cpuinfo, "stepping"));
  Revision = static_cast<std::int32_t>(((model & 0xFF) << 8) | (stepping & 0xFF));
  char version[64];
  std::snprintf(version, sizeof(version), "Level %d  Rev. %d.%d", Level, (Revision >> 8) & 0xFF,
                Revision & 0xFF);
  Version = version;

  const std::string mhz = ProcField(cpuinfo, "cpu MHz");
  double frequency = 0;
  if (!mhz.empty()) {
    frequency = std::strtod(mhz.c_str(), nullptr);
  } else {
    const std::string khz =
        TrimText(ReadSmallFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"));
    if (!khz.empty()) frequency = static_cast<double>(ToInt64(khz)) / 1000.0;
  }
  Freq = frequency > 0 ? FormatText("%.2f", frequency) : std::string();

#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
    char vendor[13] = {};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    const unsigned highest = eax;
    std::uint32_t signature = 0;
    std::uint32_t features = 0;
    if (highest >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
      signature = eax;
      features = edx;
    }
    SetCpuId(vendor, signature, features);
  }
#endif
}

void TMemory::GetInfo() {
  const std::string meminfo = ReadSmallFile("/proc/meminfo");
  PhysicalTotal = MemInfoBytes(meminfo, "MemTotal");
  PhysicalFree = MemInfoBytes(meminfo, "MemAvailable");
  PageFileTotal = MemInfoBytes(meminfo, "SwapTotal");
  PageFileFree = MemInfoBytes(meminfo, "SwapFree");
  SwapFileSize = PageFileTotal - PageFileFree;
  if (SwapFileSize < 0) SwapFileSize = 0;
  SwapFileUsage = UsedPercent(PageFileTotal, PageFileFree);

  PageSize = ::sysconf(_SC_PAGESIZE);
  if (PageSize <= 0) PageSize = 4096;
  AllocGranularity = PageSize;  // mappings are placed page by page
  MinAppAddress = ToInt64(TrimText(ReadSmallFile("/proc/sys/vm/mmap_min_addr")));
  if (MinAppAddress <= 0) MinAppAddress = PageSize;
  if constexpr (sizeof(void*) >= 8) {
    // The top of the user part of a 47-bit address space, less its guard page.
    MaxAppAddress = (std::int64_t{1} << 47) - PageSize - 1;
  } else {
    MaxAppAddress = 0xBFFFFFFF;
  }
  VirtualTotal = MaxAppAddress + 1 - MinAppAddress;
  const std::int64_t inUse = MemInfoBytes(ReadSmallFile("/proc/self/status"), "VmSize");
  VirtualFree = VirtualTotal > inUse ? VirtualTotal - inUse : 0;
}

void TOperatingSystem::GetInfo() {
  utsname names{};
  if (::uname(&names) == 0) {
    Platform = names.sysname;
    Version = names.version;
    int major = 0, minor = 0, patch = 0, used = 0;
    const std::string release = names.release;
    if (std::sscanf(release.c_str(), "%d.%d%n", &major, &minor, &used) >= 2) {
      int more = 0;
      if (std::sscanf(release.c_str() + used, ".%d%n", &patch, &more) >= 1) used += more;
      char text[160];
      std::snprintf(text, sizeof(text), "%d.%d (%d.%s)", major, minor, patch,
                    release.c_str() + used);
      VersionNumber = text;
    } else {
      VersionNumber = release;
    }
  }
  const std::string osRelease = ReadSmallFile("/etc/os-release");
  std::istringstream lines(osRelease);
  std::string line;
  ProductName.clear();
  while (std::getline(lines, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string value = TrimText(line.substr(12));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    ProductName = value;
    break;
  }
}

void TWorkstation::GetInfo() {
  const std::string vendor = TrimText(ReadSmallFile("/sys/class/dmi/id/bios_vendor"));
  const std::string version = TrimText(ReadSmallFile("/sys/class/dmi/id/bios_version"));
  BIOSName = TrimText(vendor + " " + version);
  BIOSDate = TrimText(ReadSmallFile("/sys/class/dmi/id/bios_date"));
  std::vector<char> buffer(256);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> scratch(16384);
  if (::getpwuid_r(::geteuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found) {
    UserName = TrimText(found->pw_name);
  }
  if (::gethostname(buffer.data(), buffer.size() - 1) == 0) {
    ComputerName = TrimText(std::string(buffer.data()));
  }
  struct sysinfo facts {};
  if (::sysinfo(&facts) == 0) {
    SystemUpTime = UpTimeText(static_cast<std::uint64_t>(facts.uptime) * 1000u);
  }
}

void TSysInfo::Refresh() {
  GatherPart(OS);
  GatherPart(Network);
  GatherPart(CPU);
  GatherPart(Memory);
  GatherPart(Workstation);
}

bool GetWinsockVersion(std::uint16_t& major, std::uint16_t& minor) {
  try {
    TWinSock winSock;
    winSock.GetInfo();
    major = winSock.MajorVersion;
    minor = winSock.MinorVersion;
    return true;
  } catch (...) {
    return false;
  }
}

std::string CPUVendorName(const std::string& vendorText, int& vendorNumber) {
  static const char* const kTable[][2] = {
      {"GenuineIntel", "Intel"}, {"UMC UMC UMC ", "UMC"},    {"AuthenticAMD", "AMD"},
      {"CyrixInstead", "Cyrix"}, {"NexGenDriven", "NexGen"}, {"CentaurHauls", "CentaurHauls"},
  };
  for (int i = 0; i < 6; ++i) {
    // "UMC UMC UMC " carries a trailing blank in CPUID; accept it either way.
    const std::string text = kTable[i][0];
    if (vendorText == text || (i == 1 && vendorText == "UMC UMC UMC")) {
      vendorNumber = i;
      return kTable[i][1];
    }
  }
  vendorNumber = 0;
  return vendorText;
}

std::string ProcessorTypeName(int family, int vendorNumber, int model) {
  enum { kIntel = 0, kUmc = 1, kAmd = 2, kCyrix = 3, kNexGen = 4, kCentaur = 5 };
  struct Row {
    int Family;
    int Vendor;
    int Model;  // -1: any model
    const char* Name;
  };
  static const Row kRows[] = {
      {4, kIntel, 0, "i80486DX-25/33"},
      {4, kIntel, 1, "i80486DX-50"},
      {4, kIntel, 2, "i80486SX"},
      {4, kIntel, 3, "i80486DX2"},
      {4, kIntel, 4, "i80486SL"},
      {4, kIntel, 5, "i80486SX2"},
      {4, kIntel, 7, "i80486DX2WB"},
      {4, kIntel, 8, "i80486DX4"},
      {4, kIntel, 9, "i80486DX4WB"},
      {4, kUmc, 1, "U5D(486DX)"},
      {4, kUmc, 2, "U5S(486SX)"},
      {4, kAmd, 3, "80486DX2WT"},
      {4, kAmd, 7, "80486DX2WB"},
      {4, kAmd, 8, "80486DX4"},
      {4, kAmd, 9, "80486DX4WB"},
      {4, kAmd, 14, "5x86"},
      {4, kAmd, 15, "5x86WB"},
      {4, kCyrix, 4, "Cyrix Media GX"},
      {4, kCyrix, 9, "Cyrix 5x86"},
      {5, kIntel, 0, "P5 A-step"},
      {5, kIntel, 1, "P5"},
      {5, kIntel, 2, "P54C"},
      {5, kIntel, 7, "P54C"},
      {5, kIntel, 3, "P24T OverDrive"},
      {5, kIntel, 4, "P55C"},
      {5, kIntel, 5, "DX4 OverDrive?"},
      {5, kIntel, 6, "P5 OverDrive?"},
      {5, kIntel, 8, "P55C(0,25\xB5m)MMX"},
      {5, kAmd, 0, "SSA5"},
      {5, kAmd, 1, "5k86"},
      {5, kAmd, 2, "5k86"},
      {5, kAmd, 3, "5k86"},
      {5, kAmd, 6, "K6"},
      {5, kAmd, 7, "K6"},
      {5, kAmd, 8, "K6-3D"},
      {5, kAmd, 9, "K6PLUS-3D"},
      {5, kCyrix, 0, "Pentium Cx6X86 GXm"},
      {5, kCyrix, 2, "Std. Cx6x86"},
      {5, kCyrix, 4, "Cx6x86 GXm"},
      {5, kNexGen, -1, "Nx586"},
      {5, kCentaur, -1, "IDT C6 (WinChip)"},
      {6, kIntel, 0, "PentiumPro A-step"},
      {6, kIntel, 1, "Pentium Pro"},
      {6, kIntel, 3, "Pentium II"},
      {6, kIntel, 4, "P55CT (P54 overdrive)"},
      {6, kIntel, 5, "Pentium II 0,25\xB5m"},
      {6, kAmd, 6, "K6"},
      {6, kAmd, 7, "K6"},
      {6, kAmd, 8, "K6-3D"},
      {6, kAmd, 9, "K6PLUS-3D"},
      {6, kCyrix, 0, "Cx6x86 MX/MII"},
  };
  if (family < 4 || family > 6) return "Unknown type";
  for (const Row& row : kRows) {
    if (row.Family == family && row.Vendor == vendorNumber &&
        (row.Model == -1 || row.Model == model)) {
      return row.Name;
    }
  }
  return {};
}

std::string CPUSubModelName(int type) {
  switch (type) {
    case 0:
      return "Primary";
    case 1:
      return "OverDrive";
    case 2:
      return "Secondary";
    case 3:
      return "Reserved";
    default:
      return {};
  }
}

std::int64_t UsedPercent(std::int64_t total, std::int64_t free) {
  if (total <= 0) return 0;
  if (free < 0) free = 0;
  if (free > total) return 0;
  // Divide first where the product could overflow; whole percent either way.
  const std::int64_t used = total - free;
  if (used > INT64_MAX / 100) return used / (total / 100);
  return used * 100 / total;
}

std::string UpTimeText(std::uint64_t milliseconds) {
  const std::uint64_t minutes = milliseconds / 60000u;
  return std::to_string(minutes / 60u) + ":" + std::to_string(minutes % 60u);
}

void AppendSysInfoReport(const TSysInfo& info, TStringList& lines) {
  auto line = [&lines](const std::string& name, const std::string& value) {
    if (!value.empty()) lines.Add(name + " = " + value);
  };
  auto number = [&line](const std::string& name, std::int64_t value) {
    line(name, std::to_string(value));
  };
  auto percent = [&line](const std::string& name, std::int64_t value) {
    line(name, std::to_string(value) + "%");
  };

  number("Quor Lite", UserInterfaceMode.load());
  line("Quor vers", GetVersionText());
  number("Quor LargeFonts", IsNonStandardDpi() ? 1 : 0);
  lines.Add("");

  const TCPU& cpu = info.CPU;
  line("CPU ProcessorType", cpu.ProcessorType);
  line("CPU Vendor", cpu.Vendor);
  line("CPU Version", cpu.Version);
  line("CPU Freq", cpu.Freq);
  number("CPU Revision", cpu.Revision);
  line("CPU SubModel", cpu.SubModel);
  number("CPU Architecture", cpu.Architecture);
  number("CPU Family", cpu.Family);
  number("CPU Level", cpu.Level);
  number("CPU Stepping", cpu.Stepping);
  number("CPU OEMID", cpu.OEMid);
  for (const TCPUFeatureText& feature : kCPUFeatureTexts) {
    if (cpu.Features.Has(feature.Bit)) line("CPU", feature.Text);
  }
  lines.Add("");

  const TMemory& memory = info.Memory;
  number("Mem AllocGranularity", memory.AllocGranularity);
  number("Mem MaxAppAddress", memory.MaxAppAddress);
  number("Mem MinAppAddress", memory.MinAppAddress);
  number("Mem PageSize", memory.PageSize);
  percent("Mem PageFile", UsedPercent(memory.PageFileTotal, memory.PageFileFree));
  percent("Mem Physical", UsedPercent(memory.PhysicalTotal, memory.PhysicalFree));
  percent("Mem Virtual", UsedPercent(memory.VirtualTotal, memory.VirtualFree));
  percent("Mem SwapFileUsage", memory.SwapFileUsage);
  number("Mem SwapFileSize", memory.SwapFileSize);
  lines.Add("");

  const TNetwork& network = info.Network;
  line("Net Localhost", network.LocalHost);
  line("Net LocalIP", network.LocalIP);
  OwnIPAddress.store(StrToIP(network.LocalIP));
  line("Net WinSockVersion", std::to_string(network.WinSock.MajorVersion) + "." +
                                 std::to_string(network.WinSock.MinorVersion));
  line("Net WinSockStatus", network.WinSock.Status);
  line("Net WinSockDesc", network.WinSock.Description);
  lines.Add("");

  const TOperatingSystem& os = info.OS;
  line("OS Platform", os.Platform);
  if (!os.Version.empty() || !os.VersionNumber.empty()) {
    line("OS Version", os.Version + "/" + os.VersionNumber);
  }
  line("OS RegOwner", os.RegOwner);
  line("OS RegOrg", os.RegOrg);
  line("OS ProductName", os.ProductName);
  line("OS SerialNo", os.SerialNo);
  line("OS BootDrive", os.BootDrive);
  line("OS BootCount", os.BootCount);
  line("OS InstallDate", os.InstallDate);
  lines.Add("");

  const TWorkstation& ws = info.Workstation;
  line("WS BIOSCopyright", ws.BIOSCopyright);
  line("WS BIOSDate", ws.BIOSDate);
  line("WS BIOSExtendedInfo", ws.BIOSExtendedInfo);
  line("WS BIOSName", ws.BIOSName);
  line("WS ComputerName", ws.ComputerName);
  line("WS Username", ws.UserName);
  line("WS Workgroup", ws.Workgroup);
  line("WS SystemupTime", ws.SystemUpTime);
  lines.Add("");
}

void BuildSysInfoReport(TStringList& lines) {
  try {
    TSysInfo info;
    info.Refresh();
    AppendSysInfoReport(info, lines);
  } catch (...) {
    // The report is a diagnostic aid: what was appended stays, the rest is
    // left out.
  }
}

}  // namespace halvorn
