#include "lists/qch/qch_service.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/time/clock.h"
#include "lists/qch/qch_identity.h"
#include "lists/qch/qch_udp.h"

namespace halvorn {

namespace {

constexpr std::int64_t kBackOffMs = 60000;

struct TServiceState {
  std::mutex Lock;  // a leaf
  std::string Host = kQchServiceHost;
  int TcpPort = kQchServicePort;
  int UdpPort = kQchServicePort;
};

TServiceState& Service() {
  static TServiceState state;
  return state;
}

std::atomic<bool> HostNotFoundLogged{false};
std::atomic<bool> HaveFailure{false};
std::atomic<std::int64_t> LastFailure{0};

bool IsUnderInvalid(const std::string& host) {
  const std::string lower = LowerCase1252(host);
  return lower == "invalid" || (lower.size() > 8 && lower.ends_with(".invalid"));
}

}  // namespace

std::string QchServiceHost() {
  std::lock_guard<std::mutex> guard(Service().Lock);
  return Service().Host;
}

int QchTcpPort() {
  std::lock_guard<std::mutex> guard(Service().Lock);
  return Service().TcpPort;
}

int QchUdpPort() {
  std::lock_guard<std::mutex> guard(Service().Lock);
  return Service().UdpPort;
}

std::uint32_t LookupHostsFile(const std::string& name, const std::string& path) {
  std::ifstream file(path);
  if (!file) return 0;
  const std::string wanted = LowerCase1252(name);
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    std::string address;
    if (!(fields >> address)) continue;
    // IPv4 lines in the plain dotted form only.
    if (std::count(address.begin(), address.end(), '.') != 3 || !IsIPAddress(address)) continue;
    std::string alias;
    while (fields >> alias) {
      if (LowerCase1252(alias) == wanted) return StrToIP(address);
    }
  }
  return 0;
}

std::uint32_t ResolveQchHost(const std::string& host, int timeoutMs) {
  if (host.empty()) return 0;
  if (IsIPAddress(host)) return StrToIP(host);
  if (IsUnderInvalid(host)) return LookupHostsFile(host);
  std::uint32_t address = 0;
  ResolveHostAddress(host, address, timeoutMs);
  return address;
}

void ReportQchHostNotFound() {
  if (HostNotFoundLogged.exchange(true)) return;
  Log("QCH", "Central service host not found", 6, true);
}

bool QchConnectBlocked() {
  if (!HaveFailure.load()) return false;
  return SteadyMilliseconds() - LastFailure.load() < kBackOffMs;
}

void RecordQchConnectFailure() {
  LastFailure.store(SteadyMilliseconds());
  HaveFailure.store(true);
}

void InitializeQchModule() {
  LoadQchIdentity();
  StartQchUdp();
}

void FinalizeQchModule() {
  EndQchUdp();
}

void ResetQchStateForTests() {
  HaveFailure.store(false);
  LastFailure.store(0);
  HostNotFoundLogged.store(false);
  SetQchIdentity(0, "");
  SetQchUdpPollIntervalForTests(-1);
  EndQchUdp();
  StartQchUdp();
}

ScopedQchServiceForTests::ScopedQchServiceForTests(const std::string& host, int tcpPort,
                                                   int udpPort) {
  {
    std::lock_guard<std::mutex> guard(Service().Lock);
    Service().Host = host;
    Service().TcpPort = tcpPort;
    Service().UdpPort = udpPort;
  }
  ResetQchStateForTests();
}

ScopedQchServiceForTests::~ScopedQchServiceForTests() {
  {
    std::lock_guard<std::mutex> guard(Service().Lock);
    Service().Host = kQchServiceHost;
    Service().TcpPort = kQchServicePort;
    Service().UdpPort = kQchServicePort;
  }
  ResetQchStateForTests();
}

void AgeQchBackOffForTests(int ms) {
  LastFailure.fetch_sub(ms);
}

}  // namespace halvorn
