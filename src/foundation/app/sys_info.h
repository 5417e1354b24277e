// Facts about the machine and the program: the sockets-layer version check at
// start-up and the diagnostic report the statistics viewer shows.
//
// On Linux the facts come from /proc, /sys, uname, sysinfo, CPUID and the
// network interfaces. Facts without a Linux source stay empty, and the report
// leaves their lines out. Gathering never changes the process's or a
// thread's priority and never waits: the clock rate is the one the kernel
// reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace halvorn {

class TStringList;

// The main window's user-interface mode: 0 Lite, 1 Advanced, 2 Power User.
// Lite until the user interface sets it. Safe from any thread.
extern std::atomic<std::uint8_t> UserInterfaceMode;
void SetUserInterfaceMode(std::uint8_t mode);

// The sockets layer. Linux sockets offer everything version 2.2 did.
struct TWinSock {
  std::uint16_t MajorVersion = 0;
  std::uint16_t MinorVersion = 0;
  std::string Description;
  std::string Status;
  void GetInfo();
};

// The machine on the network.
struct TNetwork {
  std::string LocalHost;  // the machine's host name
  std::string LocalIP;    // the first non-loopback IPv4 address, dotted
  TWinSock WinSock;
  void GetInfo();
};

// The 19 processor features the report names, with their CPUID function 1
// feature bits, in report order.
struct TCPUFeatureText {
  int Bit;
  const char* Text;
};
extern const TCPUFeatureText kCPUFeatureTexts[19];

struct TCPUFeatures {
  std::uint32_t FeatureWord = 0;  // EDX of CPUID function 1
  bool Has(int bit) const { return bit >= 0 && bit < 32 && ((FeatureWord >> bit) & 1u) != 0; }
};

// The processor. The CPUID facts stay empty or 0 without CPUID.
struct TCPU {
  std::int32_t Architecture = 0;  // 0 x86, 5 ARM, 9 x86-64, 12 ARM64, ...
  std::int32_t OEMid = 0;
  std::int32_t Level = 0;     // the family the kernel reports
  std::int32_t Revision = 0;  // model in the high byte, stepping in the low
  std::string Version;        // "Level %d  Rev. %d.%d"
  std::string Freq;           // MHz, two decimals
  std::string Vendor;
  std::int32_t Family = 0;
  std::int32_t Model = 0;
  std::int32_t Stepping = 0;
  std::int32_t TypeID = 0;
  std::string ProcessorType;
  std::string SubModel;
  TCPUFeatures Features;
  void GetInfo();
  // Fills the CPUID facts from the 12-character vendor text and the signature
  // (EAX) and feature word (EDX) of CPUID function 1.
  void SetCpuId(const std::string& vendorText, std::uint32_t signature, std::uint32_t features);
};

// Memory, in bytes. The page file is the swap space.
struct TMemory {
  std::int64_t PhysicalTotal = 0;
  std::int64_t PhysicalFree = 0;  // MemAvailable
  std::int64_t PageFileTotal = 0;
  std::int64_t PageFileFree = 0;
  std::int64_t VirtualTotal = 0;  // the process's address space
  std::int64_t VirtualFree = 0;
  std::int64_t SwapFileSize = 0;   // swap in use
  std::int64_t SwapFileUsage = 0;  // used share of the swap space, percent
  std::int64_t PageSize = 0;
  std::int64_t AllocGranularity = 0;
  std::int64_t MinAppAddress = 0;
  std::int64_t MaxAppAddress = 0;
  void GetInfo();
};

// The operating system.
struct TOperatingSystem {
  std::string Platform;       // the kernel's name ("Linux")
  std::string VersionNumber;  // "%d.%d (%d.%s)": major, minor, patch, rest of the release
  std::string Version;        // the kernel's build text
  std::string RegOwner;
  std::string RegOrg;
  std::string ProductName;  // PRETTY_NAME of os-release
  std::string SerialNo;
  std::string InstallDate;
  std::string BootCount;
  std::string BootDrive;
  void GetInfo();
};

// The machine and its user.
struct TWorkstation {
  std::string BIOSName;  // firmware vendor and version
  std::string BIOSDate;
  std::string BIOSCopyright;
  std::string BIOSExtendedInfo;
  std::string Workgroup;
  std::string UserName;
  std::string ComputerName;
  std::string SystemUpTime;  // hours ":" minutes
  void GetInfo();
};

// The system-information component. Creating it gathers nothing; Refresh
// gathers every part (on the main thread it lets queued window messages run
// before each part). A part that fails keeps what it had gathered; Refresh
// itself raises only what the C++ library raises (out of memory).
class TSysInfo {
 public:
  TOperatingSystem OS;
  TWorkstation Workstation;
  TCPU CPU;
  TMemory Memory;
  TNetwork Network;
  void Refresh();
};

// The sockets layer's version: true with its major and minor numbers, false
// only when gathering failed (the variables are then unchanged).
bool GetWinsockVersion(std::uint16_t& major, std::uint16_t& minor);

// The vendor's short name for a 12-character CPUID vendor text, and its
// number in the vendor table (0 Intel, 1 UMC, 2 AMD, 3 Cyrix, 4 NexGen, 5
// Centaur). A text not in the table is answered as it is, with number 0.
std::string CPUVendorName(const std::string& vendorText, int& vendorNumber);
// The processor's name by family, vendor number and model; empty for a model
// the table lacks, "Unknown type" for a family other than 4, 5 and 6.
// Windows-1252 text.
std::string ProcessorTypeName(int family, int vendorNumber, int model);
// "Primary", "OverDrive", "Secondary" or "Reserved" for processor types 0-3.
std::string CPUSubModelName(int type);

// The used share (total minus free) of the total in whole percent,
// truncated; 0 when the total is not above 0. Free above total counts as 0.
std::int64_t UsedPercent(std::int64_t total, std::int64_t free);
// Milliseconds as whole hours + ":" + the remaining whole minutes.
std::string UpTimeText(std::uint64_t milliseconds);

// Appends the report of gathered facts to the lines, and stores the local
// address in OwnIPAddress. See BuildSysInfoReport.
void AppendSysInfoReport(const TSysInfo& info, TStringList& lines);

// Gathers the facts and appends the report: name + " = " + value lines in
// groups (program, processor, memory, network, operating system,
// workstation), each group followed by an empty line; a line whose value is
// empty is left out. Any error ends the report quietly with the lines
// appended so far. Safe from any thread; takes about as long as reading a
// few files.
void BuildSysInfoReport(TStringList& lines);

}  // namespace halvorn
