#include "lists/dcc/dcc_server_list.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "foundation/crypto/random_source.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/connection_checks.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "lists/network_tests.h"

namespace halvorn {

namespace {

constexpr int kPingSeconds = 60;
constexpr int kLookupMs = 5000;
constexpr int kStopWaitMs = 500;

bool IsDefaultHost(const std::string& host) {
  for (const std::string& name : DefaultDccHosts())
    if (SameText1252(name, host)) return true;
  return false;
}

// Clears the flag when the scope ends, however it ends.
class TResolvingScope {
 public:
  explicit TResolvingScope(std::atomic<bool>& flag) : FFlag(flag) {}
  ~TResolvingScope() { FFlag.store(false); }
  TResolvingScope(const TResolvingScope&) = delete;
  TResolvingScope& operator=(const TResolvingScope&) = delete;

 private:
  std::atomic<bool>& FFlag;
};

std::mutex gGlobalMutex;
std::shared_ptr<TDccServerList> gGlobalList;

}  // namespace

const std::vector<std::string>& DefaultDccHosts() {
  static const std::vector<std::string> hosts = {
      "dcc.dcc-servers.net",  "dcc1.dcc-servers.net", "dcc2.dcc-servers.net",
      "dcc3.dcc-servers.net", "dcc4.dcc-servers.net", "dcc5.dcc-servers.net",
      "dcc6.dcc-servers.net", "dcc7.dcc-servers.net", "dcc8.dcc-servers.net",
      "dcc9.dcc-servers.net", "dcc10.dcc-servers.net"};
  return hosts;
}

TDccServerList::TDccServerList() : FServers(std::make_shared<const std::vector<TDccServerRef>>()) {}

TDccServerList::~TDccServerList() {
  std::vector<TThreadHandle> threads;
  {
    TCriticalSectionGuard guard(FLock);
    threads.swap(FThreads);
  }
  try {
    for (const TThreadHandle& handle : threads) {
      TCriticalSectionGuard guard(ThreadListLock());
      TQuorThread* thread = nullptr;
      if (FindThreadByHandle(handle, thread)) thread->Terminate();
    }
  } catch (const std::exception& e) {
    Log("DCC", std::string("Could not stop the DCC set-up threads: ") + e.what(), 5, true);
  }
  // The threads use this list: it waits until they have ended, which their
  // bounded steps (a look-up, a NOP) ensure soon after the stop request.
  const auto start = std::chrono::steady_clock::now();
  bool logged = false;
  for (const TThreadHandle& handle : threads) {
    while (ThreadHandleAlive(handle)) {
      if (!logged && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kStopWaitMs)) {
        Log("DCC", "Waiting for a DCC set-up thread to end", 5, false);
        logged = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void TDccServerList::SetHosts(const TStringList& hosts) {
  TStringList cleaned;
  for (int i = 0; i < hosts.Count(); ++i) {
    const std::string host = TrimText(hosts[i]);
    if (!host.empty()) cleaned.Add(host);
  }
  TCriticalSectionGuard guard(FLock);
  FHosts = std::move(cleaned);
}

void TDccServerList::SetServerCommaText(bool threaded, const std::string& commaText) {
  if (threaded) {
    auto* thread = CreateQuorThread<TSetServerCommaTextThread>(true, *this, commaText);
    {
      TCriticalSectionGuard guard(FLock);
      std::erase_if(FThreads, [](const TThreadHandle& h) { return !ThreadHandleAlive(h); });
      FThreads.push_back(thread->Handle());
    }
    thread->Resume();
    return;
  }
  TStringList hosts;
  hosts.SetCommaText(commaText);
  SetHosts(hosts);
  if (Hosts().Empty())
    LoadDefaultDccServers();
  else
    HostsChanged();
}

void TDccServerList::LoadDefaultDccServers() {
  TStringList hosts;
  for (const std::string& host : DefaultDccHosts()) hosts.Add(host);
  SetHosts(hosts);
  HostsChanged();
}

std::string TDccServerList::HostsCommaText() const {
  TCriticalSectionGuard guard(FLock);
  return FHosts.CommaText();
}

TStringList TDccServerList::Hosts() const {
  TCriticalSectionGuard guard(FLock);
  return FHosts;
}

void TDccServerList::HostsChanged() {
  if (FResolving.load() || !NetworkTestsOn()) return;
  const TStringList hosts = Hosts();
  for (int i = 0; i < hosts.Count(); ++i) {
    if (Heartbeat("", -1, -1)) return;
    AddServersForHost(hosts[i]);
  }
}

int TDccServerList::AddServersForHost(const std::string& hostText) {
  const std::string host = TrimText(hostText);
  if (host.empty() || !NetworkTestsOn() || Heartbeat("", -1, -1)) return 0;
  if (FResolving.exchange(true)) return 0;
  TResolvingScope resolving(FResolving);
  if (!DccChecksumsArePublic() && IsDefaultHost(host)) return 0;  // shown, never asked

  TInAddrArray addresses;
  const std::uint32_t dotted = IsIPAddress(host) ? StrToIP(host) : 0;
  if (IsIPAddress(host)) {
    if (!DccAddressAllowed(dotted)) {
      Log("DCC", "Skipped the DCC server " + host + ": only a server on this machine is asked", 9,
          false);
      return 0;
    }
    // A server on this machine needs no internet.
    if ((dotted & 0xFFu) != 127 && !PingInternet(kPingSeconds)) return 0;
    addresses.push_back(dotted);
  } else {
    if (!PingInternet(kPingSeconds)) return 0;
    TStringList aliases;
    const TDNSResult result = LookupHostAddresses(host, addresses, aliases, kLookupMs);
    if (result != dns_NoError && result != dns_NotPerformed) return 0;
  }

  int tried = 0;
  for (std::uint32_t address : addresses) {
    if (Heartbeat("", -1, -1)) break;
    if (!DccAddressAllowed(address)) {
      Log("DCC", "Skipped the address " + IPToStr(address) + " of the DCC server " + host +
                     ": only a server on this machine is asked",
          9, false);
      continue;
    }
    if (IndexOfServerIP(address) >= 0) continue;
    ++tried;
    auto server = std::make_shared<TDccServer>(address);
    const std::string error = server->GetServerInfo();
    if (error.empty()) {
      AppendServer(std::move(server));
    } else if (IsMainThread()) {
      Log("DCC", "Failed to get server info from server at " + IPToStr(address), 9, true);
    }
  }
  return tried;
}

void TDccServerList::AppendServer(TDccServerRef server) {
  TDccServers old;
  TCriticalSectionGuard guard(FLock);
  auto servers = std::make_shared<std::vector<TDccServerRef>>(*FServers);
  servers->push_back(std::move(server));
  old = std::exchange(FServers, std::move(servers));
}

TDccServers TDccServerList::Servers() const {
  TCriticalSectionGuard guard(FLock);
  return FServers;
}

int TDccServerList::Count() const {
  return static_cast<int>(Servers()->size());
}

TDccServerRef TDccServerList::Items(int index) const {
  const TDccServers servers = Servers();
  if (index < 0 || index >= static_cast<int>(servers->size())) return nullptr;
  return (*servers)[static_cast<std::size_t>(index)];
}

int TDccServerList::IndexOfServerId(std::int32_t id) const {
  const TDccServers servers = Servers();
  for (std::size_t i = 0; i < servers->size(); ++i)
    if ((*servers)[i]->ServerId() == id) return static_cast<int>(i);
  return -1;
}

int TDccServerList::IndexOfServerIP(std::uint32_t address) const {
  const TDccServers servers = Servers();
  for (std::size_t i = 0; i < servers->size(); ++i)
    if ((*servers)[i]->Address() == address) return static_cast<int>(i);
  return -1;
}

std::string TDccServerList::GetServerBrand(std::int32_t id) const {
  const TDccServers servers = Servers();
  for (std::size_t i = servers->size(); i-- > 0;)
    if ((*servers)[i]->ServerId() == id) return (*servers)[i]->Brand();
  return {};
}

TDccServerRef TDccServerList::GetBestServer(const TDccChecksums& record) const {
  const TDccServers servers = Servers();
  TDccServerRef best;
  int bestScore = -1;
  for (const TDccServerRef& server : *servers) {
    const int score = server->CachedScore(record);
    if (score > bestScore) {
      best = server;
      bestScore = score;
    }
  }
  if (best) return best;
  for (const TDccServerRef& server : *servers)
    if (server->IsPending(record)) return server;
  int bestRatio = 0;
  for (const TDccServerRef& server : *servers) {
    const int ratio = server->ReplyRatio();
    if (ratio > bestRatio) {
      best = server;
      bestRatio = ratio;
    }
  }
  if (best) return best;
  for (const TDccServerRef& server : *servers)
    if (!best || server->WaitMs() < best->WaitMs()) best = server;
  return best;
}

TDccServerRef TDccServerList::RandomServer() const {
  const TDccServers servers = Servers();
  if (servers->empty()) return nullptr;
  return (*servers)[static_cast<std::size_t>(RandomInt(static_cast<int>(servers->size())))];
}

// ---- TSetServerCommaTextThread

TSetServerCommaTextThread::TSetServerCommaTextThread(TDccServerList& list, std::string commaText)
    : FList(list), FCommaText(std::move(commaText)) {
  SetFreeOnTerminate(true);
}

void TSetServerCommaTextThread::Execute() {
  try {
    FList.SetServerCommaText(false, FCommaText);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception&) {
    // Ends quietly: the list keeps the servers it has.
  }
}

std::shared_ptr<TDccServerList> GlobalDccServerList() {
  std::lock_guard<std::mutex> lock(gGlobalMutex);
  return gGlobalList;
}

void SetGlobalDccServerList(std::shared_ptr<TDccServerList> list) {
  std::shared_ptr<TDccServerList> old;
  {
    std::lock_guard<std::mutex> lock(gGlobalMutex);
    old = std::exchange(gGlobalList, std::move(list));
  }
  // The old list (its threads stopped) goes here, outside the lock.
}

}  // namespace halvorn
