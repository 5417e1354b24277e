#include "foundation/dns/dns_lookups.h"

#include <arpa/inet.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "foundation/log/log_sink.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/clock.h"

namespace halvorn {
namespace {

// Public DNS servers asked when the system names none that answer.
const char* const kFallbackServers[9] = {
    "dns.google",      "one.one.one.one",       "dns.quad9.net",
    "dns9.quad9.net",  "resolver1.opendns.com", "resolver2.opendns.com",
    "dns10.quad9.net", "dns11.quad9.net",       "ordns.he.net",
};

constexpr int kMaxCNameLinks = 16;

std::mutex GGlobalMutex;
std::unique_ptr<TMultiDNSResolver> GGlobal;

// The resolv.conf stand-in for the command-output server.
struct TIpconfigState {
  TMutexCriticalSection Lock{"IpConfig_CS"};
  std::mutex PathMutex;
  std::string Path;
  std::uint32_t Address = 0;
  int RunsLeft = 5;
  int Runs = 0;
};

TIpconfigState& IpconfigState() {
  static TIpconfigState* state = new TIpconfigState();  // lives to the end of the process
  return *state;
}

std::string ResolvConfPath() {
  TIpconfigState& s = IpconfigState();
  std::lock_guard<std::mutex> lock(s.PathMutex);
  return s.Path.empty() ? std::string("/etc/resolv.conf") : s.Path;
}

bool Stopped(TDnsStopFlag stop) {
  return stop != nullptr && stop->load();
}

// The result of a wait mapped to a look-up result; dns_NoError for an answer.
TDNSResult WaitResult(int wait) {
  if (wait == -1) return dns_NoError;
  if (wait == 0) return dns_NotPerformed;
  if (wait == -2) return dns_InternalError;
  return dns_Timeout;
}

// A 3 (no such name) is a valid answer; other error codes are not.
TDNSResult AnswerResult(const TQueryResults* results) {
  if (results == nullptr) return dns_BadResultReturned;
  if (results->RCode != 0 && results->RCode != 3) return dns_BadResultReturned;
  return dns_NoError;
}

// The answer-section records of a type owned by the name.
template <class T>
std::vector<const T*> AnswerRecords(const TQueryResults& results, TQType type,
                                    const std::string& name) {
  std::vector<const T*> out;
  for (int i = 0; i < results.Count(); ++i) {
    const TResourceRecord* rec = results.Items(i);
    if (rec->Section != dsAnswer || rec->RecordType != type) continue;
    if (!name.empty() && !SameDnsName(rec->Name, name)) continue;
    if (auto* typed = dynamic_cast<const T*>(rec)) out.push_back(typed);
  }
  return out;
}

std::string CanonicalOf(const TQueryResults& results, const std::string& name) {
  auto cnames = AnswerRecords<TNAMERecord>(results, qCName, name);
  return cnames.empty() ? std::string() : cnames.front()->HostName;
}

std::int64_t LeftOf(std::int64_t deadline) {
  return std::max<std::int64_t>(0, deadline - SteadyMilliseconds());
}

}  // namespace

// ---------------------------------------------------------------------------
// The global resolver

TMultiDNSResolver& GlobalDnsResolver() {
  std::lock_guard<std::mutex> lock(GGlobalMutex);
  if (!GGlobal) {
    GGlobal = std::make_unique<TMultiDNSResolver>(false);
    TStringList servers;
    GetDnsServers(servers, 0, nullptr);
    GGlobal->SetServers(servers);
  }
  return *GGlobal;
}

std::atomic<std::uint32_t> ExternalIP{0};

namespace {
std::mutex GExternalNameMutex;
std::string GExternalHostName;
}  // namespace

std::string ExternalHostName() {
  std::lock_guard<std::mutex> lock(GExternalNameMutex);
  return GExternalHostName;
}

void SetExternalHostName(const std::string& name) {
  std::lock_guard<std::mutex> lock(GExternalNameMutex);
  GExternalHostName = name;
}

void StartDnsModule() {
  ExternalIP.store(0);
  SetExternalHostName({});
  GlobalDnsResolver();
}

void EndDnsModule() {
  ExternalIP.store(0);
  SetExternalHostName({});
  std::unique_ptr<TMultiDNSResolver> old;
  {
    std::lock_guard<std::mutex> lock(GGlobalMutex);
    old = std::move(GGlobal);
  }
}

// ---------------------------------------------------------------------------
// Servers

std::vector<std::string> ReadResolvConfServers(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line;
  for (int n = 0; n < 10000 && std::getline(in, line); ++n) {
    std::istringstream words(line);
    std::string keyword, value;
    if (!(words >> keyword) || keyword != "nameserver" || !(words >> value)) continue;
    in_addr parsed{};
    // IPv6 servers (and anything else that is no IPv4 address) are skipped.
    if (::inet_pton(AF_INET, value.c_str(), &parsed) != 1 || parsed.s_addr == 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &parsed, text, sizeof text);
    out.emplace_back(text);
  }
  return out;
}

void SetResolvConfPathForTests(const std::string& path) {
  TIpconfigState& s = IpconfigState();
  std::lock_guard<std::mutex> lock(s.PathMutex);
  s.Path = path;
}

void ResetIpconfigServerForTests() {
  TIpconfigState& s = IpconfigState();
  TCriticalSectionGuard guard(s.Lock);
  s.Address = 0;
  s.RunsLeft = 5;
  s.Runs = 0;
}

int IpconfigRunCountForTests() {
  TIpconfigState& s = IpconfigState();
  TCriticalSectionGuard guard(s.Lock);
  return s.Runs;
}

bool GetDnsServersFromIpconfig(std::uint32_t& address) {
  address = 0;
  std::vector<std::string> servers = ReadResolvConfServers(ResolvConfPath());
  if (servers.empty()) return false;
  address = StrToIP(servers.front());
  return address != 0;
}

bool GetIpconfigDnsServer(std::uint32_t& address) {
  address = 0;
  try {
    TIpconfigState& s = IpconfigState();
    TCriticalSectionGuard guard(s.Lock);
    if (s.Address != 0) {
      address = s.Address;
      return true;
    }
    if (s.RunsLeft <= 0) return false;
    ++s.Runs;
    std::uint32_t found = 0;
    if (GetDnsServersFromIpconfig(found)) {
      s.Address = found;
      address = found;
      return true;
    }
    --s.RunsLeft;
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

void GetDnsServers(TStringList& list, int timeoutMs, TDnsStopFlag stop) {
  const std::int64_t deadline = SteadyMilliseconds() + std::max(0, timeoutMs);
  std::uint32_t first = 0;
  if (GetIpconfigDnsServer(first)) list.Add(IPToStr(first));
  for (const std::string& server : ReadResolvConfServers(ResolvConfPath()))
    if (list.IndexOf(server) < 0) list.Add(server);
  for (const char* name : kFallbackServers) {
    if ((timeoutMs > 0 && Stopped(stop)) || SteadyMilliseconds() >= deadline) {
      list.Add(name);
      continue;
    }
    std::uint32_t address = 0;
    if (ResolveHost(name, address, static_cast<int>(LeftOf(deadline))) && address != 0)
      list.Add(IPToStr(address));
    else
      list.Add(name);
  }
  for (int i = list.Count() - 1; i >= 0; --i) {
    std::string trimmed = TrimText(list[i]);
    if (trimmed.empty())
      list.Delete(i);
    else if (trimmed != list[i])
      list.SetString(i, trimmed);
  }
}

// ---------------------------------------------------------------------------
// Look-ups

TDNSResult DnsIPLookup(const std::string& name, TStringList& addresses, bool followCName,
                       TDnsStopFlag stop, int timeoutMs, const std::string& server) {
  try {
    if (IsIPAddress(name)) {
      addresses.Add(name);
      return dns_NotPerformed;
    }
    const std::int64_t deadline = SteadyMilliseconds() + std::max(0, timeoutMs);
    if (!IsValidDomainName(name)) {
      std::uint32_t address = 0;
      if (ResolveHostAddress(name, address, timeoutMs) == dns_NoError && address != 0) {
        addresses.Add(IPToStr(address));
        return dns_NoError;
      }
      // The caller's time-out covers both paths: what the system resolver
      // used is gone for the question below.
      if (timeoutMs > 0) {
        const std::int64_t left = LeftOf(deadline);
        if (left == 0) return dns_Timeout;
        timeoutMs = static_cast<int>(left);
      }
    }
    TMultiDNSResolver& resolver = GlobalDnsResolver();
    std::string asked = name;
    if (followCName) {
      std::string canonical;
      if (resolver.FindCName(name, canonical) && !canonical.empty()) asked = canonical;
    }
    std::unique_ptr<TQueryResults> results;
    int wait =
        resolver.QueryAndWait(asked, TQTypeSet{qA}, true, stop, timeoutMs, true, results, server);
    if (wait != -1) return WaitResult(wait);
    if (!results) return dns_BadResultReturned;
    const int before = addresses.Count();
    for (const TARecord* a : AnswerRecords<TARecord>(*results, qA, asked))
      if (!a->IPAddress.empty()) addresses.Add(a->IPAddress);
    if (addresses.Count() == before && followCName) {
      // Walk the alias chain inside the answer; the addresses of its end give
      // the answer at once.
      std::string canonical = CanonicalOf(*results, asked);
      if (canonical.empty()) resolver.FindCName(asked, canonical);
      std::string current = canonical;
      for (int link = 0; link < kMaxCNameLinks && !current.empty(); ++link) {
        for (const TARecord* a : AnswerRecords<TARecord>(*results, qA, current))
          if (!a->IPAddress.empty()) addresses.Add(a->IPAddress);
        if (addresses.Count() != before) break;
        current = CanonicalOf(*results, current);
      }
      if (addresses.Count() == before && !canonical.empty() && !SameDnsName(canonical, asked)) {
        return DnsIPLookup(canonical, addresses, false, stop, static_cast<int>(LeftOf(deadline)),
                           server);
      }
    }
    return AnswerResult(results.get());
  } catch (const std::exception& e) {
    Log("DNS", std::string("DnsIPLookup failed: ") + e.what(), 6, true);
    return dns_InternalError;
  }
}

TDNSResult DnsIPLookupNumber(const std::string& name, std::uint32_t& address, bool followCName,
                             TDnsStopFlag stop, int timeoutMs, const std::string& server) {
  address = 0;
  try {
    if (IsIPAddress(name)) {
      address = StrToIP(name);
      return dns_NotPerformed;
    }
    TStringList list;
    TDNSResult result = DnsIPLookup(name, list, followCName, stop, timeoutMs, server);
    if (list.Count() > 0) address = StrToIP(list[0]);
    return result;
  } catch (const std::exception&) {
    return dns_InternalError;
  }
}

TDNSResult DnsReverseLookup(const std::string& address, TStringList& names, TDnsStopFlag stop,
                            int timeoutMs, const std::string& server) {
  try {
    if (!IsIPAddress(address)) return dns_NotPerformed;
    if (address.rfind("127.", 0) == 0) {
      names.Add(GetHostNameOrLocal());
      names.Add(LocalHostName());
      return dns_NoError;
    }
    // Private addresses have no public names; only 192.168/16 is private.
    if (address.rfind("192.168.", 0) == 0) return dns_NotPerformed;
    std::unique_ptr<TQueryResults> results;
    int wait = GlobalDnsResolver().QueryAndWait(address, TQTypeSet{qPTR}, true, stop, timeoutMs,
                                                true, results, server);
    if (wait != -1) return WaitResult(wait);
    if (!results) return dns_BadResultReturned;
    for (const TNAMERecord* ptr : AnswerRecords<TNAMERecord>(*results, qPTR, {}))
      if (!TrimText(ptr->HostName).empty()) names.Add(ptr->HostName);
    return AnswerResult(results.get());
  } catch (const std::exception& e) {
    Log("DNS", std::string("DnsReverseLookup failed: ") + e.what(), 6, true);
    return dns_InternalError;
  }
}

TDNSResult DnsReverseLookupFirst(const std::string& address, std::string& name, TDnsStopFlag stop,
                                 int timeoutMs, const std::string& server) {
  name.clear();
  try {
    TStringList list;
    TDNSResult result = DnsReverseLookup(address, list, stop, timeoutMs, server);
    if (list.Count() > 0) name = list[0];
    return result;
  } catch (const std::exception&) {
    return dns_InternalError;
  }
}

TDNSResult DnsMXLookup(const std::string& domain, TStringList& hosts, bool followCName,
                       TDnsStopFlag stop, int timeoutMs, const std::string& server) {
  try {
    if (IsIPAddress(domain)) return dns_NotPerformed;
    TMultiDNSResolver& resolver = GlobalDnsResolver();
    std::string asked = domain;
    if (followCName) {
      std::string canonical;
      if (resolver.FindCName(domain, canonical) && !canonical.empty()) asked = canonical;
    }
    std::unique_ptr<TQueryResults> results;
    int wait =
        resolver.QueryAndWait(asked, TQTypeSet{qMX}, true, stop, timeoutMs, true, results, server);
    if (wait != -1) return WaitResult(wait);
    if (!results) return dns_BadResultReturned;
    std::vector<const TMXRecord*> mx = AnswerRecords<TMXRecord>(*results, qMX, asked);
    std::stable_sort(mx.begin(), mx.end(), [](const TMXRecord* a, const TMXRecord* b) {
      return a->Preference < b->Preference;
    });
    for (const TMXRecord* rec : mx)
      if (!rec->ExchangeServer.empty()) hosts.Add(rec->ExchangeServer);
    return AnswerResult(results.get());
  } catch (const std::exception& e) {
    Log("DNS", std::string("DnsMXLookup failed: ") + e.what(), 6, true);
    return dns_InternalError;
  }
}

TDNSResult DnsMXLookupFirst(const std::string& domain, std::string& host, bool followCName,
                            TDnsStopFlag stop, int timeoutMs, const std::string& server) {
  host.clear();
  try {
    if (IsIPAddress(domain)) return dns_NotPerformed;
    TStringList list;
    TDNSResult result = DnsMXLookup(domain, list, followCName, stop, timeoutMs, server);
    if (list.Count() > 0) host = list[0];
    return result;
  } catch (const std::exception&) {
    return dns_InternalError;
  }
}

TDNSResult DnsMXIPLookup(const std::string& domain, TStringList& addresses, bool followCName,
                         TDnsStopFlag stop, int timeoutMs) {
  try {
    if (IsIPAddress(domain)) return dns_NotPerformed;
    TStringList hosts;
    TDNSResult result = DnsMXLookup(domain, hosts, followCName, stop, timeoutMs);
    if (result != dns_NoError) return result;
    for (int i = 0; i < hosts.Count(); ++i)
      DnsIPLookup(hosts[i], addresses, followCName, stop, timeoutMs);
    return dns_NoError;
  } catch (const std::exception&) {
    return dns_InternalError;
  }
}

void FindMailHost(const std::string& address, int timeoutMs, TDnsStopFlag stop, std::string& host) {
  host = address;
  if (!IsIPAddress(address)) return;
  try {
    const std::int64_t deadline = SteadyMilliseconds() + std::max(0, timeoutMs);
    TStringList names;
    if (DnsReverseLookup(address, names, stop, timeoutMs) != dns_NoError || names.Count() == 0)
      return;
    std::string fallback;
    for (const char* prefix : {"Mail.", "MX.", "SMTP.", "POP."}) {
      for (int i = 0; i < names.Count() && fallback.empty(); ++i)
        if (PosCI(prefix, names[i]) > 0) fallback = names[i];
      if (!fallback.empty()) break;
    }
    bool found = false;
    for (int round = 0; round < 2 && !found; ++round) {
      RemoveDuplicateLinesUnsorted(names);
      // Ask for all of them at once; the waits below collect the answers.
      for (int i = 0; i < names.Count(); ++i) {
        TStringList ignored;
        DnsMXLookup(names[i], ignored, true, stop, 0);
      }
      for (int i = 0; i < names.Count() && !found && !Stopped(stop); ++i) {
        if (SteadyMilliseconds() >= deadline) {
          round = 2;
          break;
        }
        TStringList exchangers;
        DnsMXLookup(names[i], exchangers, true, stop, static_cast<int>(LeftOf(deadline)));
        RemoveDuplicateLinesUnsorted(exchangers);
        for (int k = 0; k < exchangers.Count() && !found; ++k) {
          TStringList addresses;
          DnsIPLookup(exchangers[k], addresses, true, stop, static_cast<int>(LeftOf(deadline)));
          if (addresses.IndexOf(address) >= 0) {
            host = exchangers[k];
            found = true;
          }
        }
      }
      if (found || round >= 1) break;
      // Then the parent domains of the names.
      TStringList parents;
      for (int i = 0; i < names.Count(); ++i) {
        std::size_t dot = names[i].find('.');
        if (dot == std::string::npos) continue;
        std::string parent = names[i].substr(dot + 1);
        if (parent.find('.') != std::string::npos) parents.Add(parent);
      }
      names = parents;
    }
    if (!found && !fallback.empty()) host = fallback;
  } catch (const std::exception& e) {
    Log("DNS", std::string("FindMailHost failed: ") + e.what(), 6, true);
    host = address;
  }
}

}  // namespace halvorn
