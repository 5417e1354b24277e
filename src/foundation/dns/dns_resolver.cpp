#include "foundation/dns/dns_resolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <set>
#include <thread>

#include "foundation/app/statistics_hooks.h"
#include "foundation/crypto/md5.h"
#include "foundation/crypto/random_source.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"

namespace halvorn {
namespace {

constexpr int kTableSize = 1000;
constexpr std::size_t kMaxDatagram = 2000;
// A server host name that did not resolve is looked up again after this.
constexpr std::int64_t kLookupRetryMs = 30000;
// Replies read in one pass at most, so a flood cannot hold the lock forever.
constexpr int kMaxRepliesPerPass = 4096;
// CNAME links followed from a question's name.
constexpr int kMaxCNameDepth = 16;

double MsBetween(TDateTime from, TDateTime to) {
  return (to - from) * 86400000.0;
}

int ClampMs(double ms) {
  if (!(ms > 0)) return 0;
  if (ms > INT_MAX) return INT_MAX;
  return static_cast<int>(ms);
}

std::uint32_t KeyOfDigest(const TMD5Digest& d) {
  return static_cast<std::uint32_t>(d[0]) | static_cast<std::uint32_t>(d[1]) << 8 |
         static_cast<std::uint32_t>(d[2]) << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

// One byte per type of the set (ascending ordinals), the name in lower case,
// and for a question bound to one server "@" and that server.
std::uint32_t QuestionKey(TQTypeSet set, const std::string& name, const std::string& server) {
  std::string bytes;
  for (TQType t : set.Types()) bytes.push_back(static_cast<char>(t));
  bytes += DnsNameLower(name);
  if (!server.empty()) bytes += "@" + server;
  return KeyOfDigest(MD5String(bytes));
}

std::uint32_t AnswerKey(TQType type, std::string_view name) {
  std::string bytes(1, static_cast<char>(type));
  bytes += DnsNameLower(name);
  return KeyOfDigest(MD5String(bytes));
}

// Reverse look-ups of loop-back and private 192.168/16 addresses never leave
// the machine.
bool IsPrivatePtrName(const std::string& name) {
  return name.rfind("127.", 0) == 0 || name.rfind("192.168.", 0) == 0;
}

// The canonical dotted form of an address text; empty when it is none.
std::string DottedOf(const std::string& text) {
  if (text.empty() || !IsIPAddress(text)) return {};
  std::uint32_t n = StrToIP(text);
  return n == 0 ? std::string() : IPToStr(n);
}

// Leaves a statistics section however the operation ends.
class TStatScope {
 public:
  explicit TStatScope(std::string name) : FName(std::move(name)) { StatEnter(FName); }
  ~TStatScope() { StatLeave(FName, 0); }
  TStatScope(const TStatScope&) = delete;
  TStatScope& operator=(const TStatScope&) = delete;

 private:
  std::string FName;
};

class TDoWorkThread : public TQuorThread {
 public:
  explicit TDoWorkThread(TMultiDNSResolver* resolver) : FResolver(resolver) {}

 protected:
  void Execute() override {
    while (!CheckTerminated()) {
      FResolver->DoWork();
      for (int i = 0; i < 10 && !Terminated(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  TMultiDNSResolver* FResolver;
};

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TMultiDNSResolver::TMultiDNSResolver(bool startWorker)
    : FQuestionTable(
          kTableSize,
          [](std::uint32_t k) { return static_cast<std::uint16_t>((k & 0xFFFF) % kTableSize); },
          [](std::uint32_t a, std::uint32_t b) { return a == b ? 0 : 1; }),
      FKeyTable(
          kTableSize,
          [](std::uint32_t k) { return static_cast<std::uint16_t>((k & 0xFFFF) % kTableSize); },
          [](std::uint32_t a, std::uint32_t b) { return a == b ? 0 : 1; }),
      FAnswerTable(
          kTableSize,
          [](std::uint32_t k) { return static_cast<std::uint16_t>((k & 0xFFFF) % kTableSize); },
          [](std::uint32_t a, std::uint32_t b) { return a == b ? 0 : 1; }) {
  FLock.SetTimeOut(4000);
  FLastWork = Now();
  FLastCull = FLastWork;
  FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FSocket >= 0) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (::bind(FSocket, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      Log("DNS", "Could not bind the resolver's socket", 8, true);
    }
  } else {
    Log("DNS", "Could not create the resolver's socket", 8, true);
  }
  if (startWorker) FWorker = CreateQuorThread<TDoWorkThread>(false, this)->Handle();
}

TMultiDNSResolver::~TMultiDNSResolver() {
  if (FWorker) {
    try {
      FreeThreadByHandle(FWorker);
    } catch (const std::exception& e) {
      Log("DNS", std::string("The resolver's worker could not be freed: ") + e.what(), 8, true);
    }
  }
  // The clean-up runs under the lock when it can be had. When it cannot (an
  // abandoned owner, a caller still inside), it runs all the same: the
  // members go anyway, and freeing the questions first keeps their records
  // from reaching into an answer table that is already gone.
  bool locked = false;
  try {
    FLock.Enter();
    locked = true;
  } catch (const std::exception& e) {
    Log("DNS", std::string("The resolver is freed without its lock: ") + e.what(), 8, true);
  }
  try {
    for (auto& q : FQuestions) ReleaseQuestion(*q);
    FQuestions.clear();
    for (auto& e : FServers) EndHostLookup(e.Lookup);
    FServers.clear();
  } catch (const std::exception& e) {
    Log("DNS", std::string("The resolver's clean-up failed: ") + e.what(), 8, true);
  }
  if (locked) FLock.Leave();
  if (FSocket >= 0) ::close(FSocket);
}

// ---------------------------------------------------------------------------
// Servers

TStringList TMultiDNSResolver::Servers() {
  TCriticalSectionGuard guard(FLock);
  TStringList list;
  for (const auto& e : FServers) list.Add(e.Text);
  return list;
}

void TMultiDNSResolver::SetServers(const TStringList& servers) {
  TCriticalSectionGuard guard(FLock);
  for (auto& e : FServers) EndHostLookup(e.Lookup);
  FServers.clear();
  for (int i = 0; i < servers.Count(); ++i) {
    std::string text = TrimText(servers[i]);
    if (text.empty()) continue;
    std::string dotted = DottedOf(text);
    FServers.push_back({dotted.empty() ? text : dotted, nullptr, 0});
  }
}

bool TMultiDNSResolver::HasDottedServer() const {
  return std::any_of(FServers.begin(), FServers.end(),
                     [](const TServerEntry& e) { return !DottedOf(e.Text).empty(); });
}

bool TMultiDNSResolver::NeedsServerDiscovery() {
  TCriticalSectionGuard guard(FLock);
  return FServers.empty();
}

void TMultiDNSResolver::DiscoverServers() {
  // Runs without the lock: resolving the fallback names may take seconds.
  TStringList list;
  GetDnsServers(list, 10000, nullptr);
  TCriticalSectionGuard guard(FLock);
  if (FServers.empty()) {
    for (int i = 0; i < list.Count(); ++i) {
      std::string dotted = DottedOf(list[i]);
      FServers.push_back({dotted.empty() ? list[i] : dotted, nullptr, 0});
    }
  }
}

void TMultiDNSResolver::PollServerLookups() {
  std::int64_t now = SteadyMilliseconds();
  // Every host-name entry gets a look-up of its own.
  for (auto& e : FServers) {
    if (e.Lookup != nullptr || !DottedOf(e.Text).empty() || now < e.RetryLookupAfter) continue;
    THostLookup* handle = nullptr;
    if (!StartHostLookup(e.Text, handle, false)) {
      EndHostLookup(handle);
      e.RetryLookupAfter = now + kLookupRetryMs;
    } else {
      e.Lookup = handle;
    }
  }
  // Finished look-ups put their addresses in place of the name. An address
  // already in the list is not added twice.
  for (int i = static_cast<int>(FServers.size()) - 1; i >= 0; --i) {
    if (FServers[i].Lookup == nullptr) continue;
    TInAddrArray addresses;
    TStringList aliases;
    int code = -1;
    if (!PollHostLookup(FServers[i].Lookup, addresses, aliases, code)) continue;
    EndHostLookup(FServers[i].Lookup);
    FServers[i].Lookup = nullptr;
    if (addresses.empty()) {
      FServers[i].RetryLookupAfter = now + kLookupRetryMs;
      continue;
    }
    auto inList = [this](const std::string& dotted) {
      return std::any_of(FServers.begin(), FServers.end(),
                         [&](const TServerEntry& e) { return e.Text == dotted; });
    };
    std::vector<std::string> fresh;
    for (std::uint32_t a : addresses) {
      std::string dotted = IPToStr(a);
      if (a != 0 && !inList(dotted) && std::find(fresh.begin(), fresh.end(), dotted) == fresh.end())
        fresh.push_back(dotted);
    }
    FServers[i].Text = fresh.empty() ? std::string() : fresh[0];
    for (std::size_t k = 1; k < fresh.size(); ++k) FServers.push_back({fresh[k], nullptr, 0});
  }
  FServers.erase(std::remove_if(FServers.begin(), FServers.end(),
                                [](const TServerEntry& e) { return e.Text.empty(); }),
                 FServers.end());
}

void TMultiDNSResolver::WaitForServerLookups() {
  for (int round = 0; round < 500; ++round) {
    {
      TCriticalSectionGuard guard(FLock);
      PollServerLookups();
      if (HasDottedServer()) return;
      bool pending = std::any_of(FServers.begin(), FServers.end(),
                                 [](const TServerEntry& e) { return e.Lookup != nullptr; });
      if (!pending) return;
    }
    CheckAbandoned();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// ---------------------------------------------------------------------------
// Tables

TDNSQuestion* TMultiDNSResolver::QuestionById(std::uint16_t id) {
  if (id == 0) return nullptr;
  return static_cast<TDNSQuestion*>(FQuestionTable.LookUp(id));
}

std::uint16_t TMultiDNSResolver::NewId() {
  // Random ids make forged replies a guess; none is used twice while in flight.
  for (int attempt = 0; attempt < 64; ++attempt) {
    auto id = static_cast<std::uint16_t>(RandomInt(65535) + 1);
    if (QuestionById(id) == nullptr) return id;
  }
  int start = RandomInt(65535);
  for (int n = 0; n < 65535; ++n) {
    auto id = static_cast<std::uint16_t>((start + n) % 65535 + 1);
    if (QuestionById(id) == nullptr) return id;
  }
  return 0;
}

void TMultiDNSResolver::RegisterQuestion(TDNSQuestion& q) {
  if (FQuestionTable.LookUp(q.Id) == nullptr) {
    FQuestionTable.Add(q.Id, &q);
    q.Registered = true;
  }
}

void TMultiDNSResolver::UnregisterQuestion(TDNSQuestion& q) {
  if (q.Registered && FQuestionTable.LookUp(q.Id) == &q) FQuestionTable.LookUpAndRemove(q.Id);
  q.Registered = false;
}

void TMultiDNSResolver::RegisterKey(TDNSQuestion& q) {
  q.Key = QuestionKey(q.QuerySet, q.Name, q.Server);
  if (FKeyTable.LookUp(q.Key) == nullptr) {
    FKeyTable.Add(q.Key, &q);
    q.KeyRegistered = true;
  }
}

void TMultiDNSResolver::UnregisterKey(TDNSQuestion& q) {
  if (q.KeyRegistered && FKeyTable.LookUp(q.Key) == &q) FKeyTable.LookUpAndRemove(q.Key);
  q.KeyRegistered = false;
}

void TMultiDNSResolver::RegisterAnswerRecords(TDNSQuestion& q) {
  if (!q.Results) return;
  // The names this question owns: the asked name and the targets of the
  // CNAME chain that starts from it, in the answer section only.
  std::set<std::string> owned;
  for (TQType t : q.AskedSet.Types()) owned.insert(DnsNameLower(QuestionWireName(q.Name, t)));
  TQueryResults& r = *q.Results;
  for (int depth = 0; depth < kMaxCNameDepth; ++depth) {
    bool grew = false;
    for (int i = 0; i < r.Count(); ++i) {
      auto* cname = dynamic_cast<TNAMERecord*>(r.Items(i));
      if (cname == nullptr || cname->Section != dsAnswer || cname->RecordType != qCName) continue;
      if (owned.count(DnsNameLower(cname->Name)) == 0 || cname->HostName.empty()) continue;
      grew |= owned.insert(DnsNameLower(cname->HostName)).second;
    }
    if (!grew) break;
  }
  for (int i = 0; i < r.Count(); ++i) {
    TResourceRecord* rec = r.Items(i);
    if (rec->Registered || rec->Section != dsAnswer || rec->RecordType == qOther) continue;
    if (owned.count(DnsNameLower(rec->Name)) == 0) continue;
    rec->Key = AnswerKey(rec->RecordType, rec->Name);
    auto* list = static_cast<TRecordList*>(FAnswerTable.LookUp(rec->Key));
    if (list == nullptr) {
      list = new TRecordList();
      FAnswerTable.Add(rec->Key, list);
    }
    list->push_back(rec);
    rec->Registered = true;
  }
}

void TMultiDNSResolver::UnregisterRecord(TResourceRecord& record) {
  if (!record.Registered) return;
  record.Registered = false;
  auto* list = static_cast<TRecordList*>(FAnswerTable.LookUp(record.Key));
  if (list == nullptr) return;
  list->erase(std::remove(list->begin(), list->end(), &record), list->end());
  if (list->empty()) {
    FAnswerTable.LookUpAndRemove(record.Key);
    delete list;
  }
}

void TMultiDNSResolver::ReleaseQuestion(TDNSQuestion& q) {
  LeaveFlight(q);
  q.Queued = false;
  UnregisterQuestion(q);
  UnregisterKey(q);
  q.Results.reset();  // its records leave the answer table on the way
  q.Dead = true;
}

void TMultiDNSResolver::LeaveFlight(TDNSQuestion& q) {
  if (!q.InFlight) return;
  q.InFlight = false;
  --FInFlight;
}

void TMultiDNSResolver::SendWaiting() {
  while (FInFlight < MaxInFlight && !FWaiting.empty()) {
    const auto [id, serial] = FWaiting.front();
    FWaiting.pop_front();
    TDNSQuestion* q = QuestionById(id);
    if (q == nullptr || q->Serial != serial || !q->Queued || q->Dead) continue;
    q->Queued = false;
    if (!FPostQuestion(*q)) {
      // No server can be reached yet: it stays first in line.
      q->Queued = true;
      FWaiting.emplace_front(id, serial);
      return;
    }
  }
}

void TMultiDNSResolver::EraseDeadQuestions() {
  for (auto& q : FQuestions)
    if (q->Dead) ReleaseQuestion(*q);
  FQuestions.erase(std::remove_if(FQuestions.begin(), FQuestions.end(),
                                  [](const std::unique_ptr<TDNSQuestion>& q) { return q->Dead; }),
                   FQuestions.end());
}

bool TMultiDNSResolver::HasAllAnswerTypes(const TDNSQuestion& q, TQTypeSet types,
                                          const std::string& name) const {
  if (!q.Results || types.Empty()) return false;
  const TQueryResults& r = *q.Results;
  for (TQType t : types.Types()) {
    std::string wire = QuestionWireName(name, t);
    bool found = false;
    for (int i = 0; i < r.Count() && !found; ++i) {
      const TResourceRecord* rec = r.Items(i);
      found = rec->Registered && rec->RecordType == t && SameDnsName(rec->Name, wire);
    }
    if (!found) return false;
  }
  return true;
}

bool TMultiDNSResolver::IsHeld(const TDNSQuestion& q, TDateTime now) const {
  return q.HeldAt != 0 && MsBetween(q.HeldAt, now) <= QuestionLifetime;
}

// ---------------------------------------------------------------------------
// Questions

std::uint16_t TMultiDNSResolver::AddQuery(const std::string& name, TQTypeSet querySet, bool recurse,
                                          const std::string& server) {
  TStatScope stat("Dns-AddQuery");
  return CatchAllButAbandonment(
      [&]() -> std::uint16_t {
        if (querySet.Empty() || name.empty()) return 0;
        if (querySet == TQTypeSet{qPTR} && IsPrivatePtrName(name)) return 0;
        std::string destination;
        if (!server.empty()) {
          destination = DottedOf(TrimText(server));
          if (destination.empty()) {
            std::uint32_t address = 0;
            if (!ResolveHost(TrimText(server), address, 5000) || address == 0) return 0;
            destination = IPToStr(address);
          }
        } else if (NeedsServerDiscovery()) {
          DiscoverServers();
        }
        bool postFailed = false;
        std::uint16_t id;
        {
          TCriticalSectionGuard guard(FLock);
          id = AddQueryLocked(name, querySet, recurse, destination, postFailed);
        }
        if (id != 0 && postFailed) {
          // No server address known yet: give the servers' host look-ups a while
          // (without the lock), then send once more.
          WaitForServerLookups();
          TCriticalSectionGuard guard(FLock);
          TDNSQuestion* q = QuestionById(id);
          if (q == nullptr) return 0;
          SendWaiting();
          if (q->Queued && FInFlight < MaxInFlight) return 0;
        }
        return id;
      },
      [](const std::string& error) -> std::uint16_t {
        Log("DNS", "AddQuery failed: " + error, 6, true);
        return 0;
      });
}

std::uint16_t TMultiDNSResolver::AddQueryLocked(const std::string& name, TQTypeSet querySet,
                                                bool recurse, const std::string& server,
                                                bool& postFailed) {
  std::uint16_t found = FindQueryLocked(name, querySet, server);
  if (TDNSQuestion* q = QuestionById(found)) {
    ++q->Holders;
    return q->Id;
  }
  auto q = std::make_unique<TDNSQuestion>();
  q->Id = NewId();
  if (q->Id == 0) return 0;
  if (BuildQueryPacket(name, querySet, recurse, q->Id).empty()) return 0;
  q->Name = name;
  q->QuerySet = querySet;
  q->AskedSet = querySet;
  q->Recurse = recurse;
  q->Server = server;
  q->PostedAt = Now();
  q->Serial = FNextSerial++;
  TDNSQuestion& ref = *q;
  FQuestions.push_back(std::move(q));
  RegisterQuestion(ref);
  RegisterKey(ref);
  // Last in line; sent at once when the window has room.
  ref.Queued = true;
  FWaiting.emplace_back(ref.Id, ref.Serial);
  SendWaiting();
  if (ref.Queued && FInFlight < MaxInFlight) postFailed = true;
  return ref.Id;
}

std::uint16_t TMultiDNSResolver::FindQuery(const std::string& name, TQTypeSet querySet,
                                           const std::string& server) {
  TStatScope stat("Dns-FindQuery");
  if (querySet.Empty() || name.empty()) return 0;
  TCriticalSectionGuard guard(FLock);
  return FindQueryLocked(name, querySet, DottedOf(server));
}

std::uint16_t TMultiDNSResolver::FindQueryLocked(const std::string& name, TQTypeSet querySet,
                                                 const std::string& server) {
  FCheckIncoming();
  auto* byKey = static_cast<TDNSQuestion*>(FKeyTable.LookUp(QuestionKey(querySet, name, server)));
  if (byKey != nullptr && !byKey->Dead && byKey->QuerySet == querySet && byKey->Server == server &&
      SameDnsName(byKey->Name, name))
    return byKey->Id;
  TQType first = querySet.First();
  std::string wire = QuestionWireName(name, first);
  auto* list = static_cast<TRecordList*>(FAnswerTable.LookUp(AnswerKey(first, wire)));
  if (list == nullptr) return 0;
  for (TResourceRecord* rec : *list) {
    if (rec->RecordType != first || !SameDnsName(rec->Name, wire)) continue;
    TQueryResults* owner = rec->Collection();
    if (owner == nullptr || owner->Question == nullptr) continue;
    TDNSQuestion* q = owner->Question;
    if (q->Dead || q->Server != server) continue;
    if (HasAllAnswerTypes(*q, querySet, name)) return q->Id;
  }
  return 0;
}

int TMultiDNSResolver::QueryAndWait(const std::string& name, TQTypeSet querySet, bool honourAge,
                                    TDnsStopFlag stop, int timeoutMs, bool recurse,
                                    std::unique_ptr<TQueryResults>& results,
                                    const std::string& server) {
  TStatScope stat("Dns-QueryAndWait");
  return CatchAllButAbandonment(
      [&]() -> int {
        if (querySet.Empty()) return 0;
        if (timeoutMs < 0) timeoutMs = 0;
        const std::int64_t deadline = SteadyMilliseconds() + timeoutMs;
        bool honour = honourAge;
        // A question freed while we wait (trimmed by the cull) is asked again with
        // the time that is left, a bounded number of times.
        for (int round = 0; round < 8; ++round) {
          std::uint16_t id = AddQuery(name, querySet, recurse, server);
          if (id == 0) return 0;
          if (timeoutMs == 0) return 1;
          std::uint64_t serial = 0;
          {
            TCriticalSectionGuard guard(FLock);
            TDNSQuestion* q = QuestionById(id);
            if (q == nullptr) {
              honour = true;
              continue;
            }
            ++q->Waiters;
            serial = q->Serial;
          }
          auto releaseWaiter = [&]() {
            TCriticalSectionGuard guard(FLock);
            TDNSQuestion* q = QuestionById(id);
            if (q != nullptr && q->Serial == serial && q->Waiters > 0) --q->Waiters;
          };
          int last = 0;
          bool again = false;
          try {
            if (SteadyMilliseconds() >= deadline) {
              last = GetResult(id, results);
            } else {
              while (stop == nullptr || !stop->load()) {
                last = GetResult(id, results);
                if (last == -2) {
                  again = true;
                  break;
                }
                if (last < 0) break;
                if (honour && last > timeoutMs) break;
                std::int64_t left = deadline - SteadyMilliseconds();
                if (left <= 0) break;
                WaitForReply(static_cast<int>(std::min<std::int64_t>(100, left)));
                DoWorkIfNoThread();
                if (SteadyMilliseconds() >= deadline) {
                  last = GetResult(id, results);
                  break;
                }
              }
            }
          } catch (...) {
            releaseWaiter();
            throw;
          }
          releaseWaiter();
          if (!again) return last;
          honour = true;
          if (SteadyMilliseconds() >= deadline) return -2;
          timeoutMs = static_cast<int>(deadline - SteadyMilliseconds());
        }
        return -2;
      },
      [](const std::string& error) -> int {
        Log("DNS", "QueryAndWait failed: " + error, 6, true);
        return -2;
      });
}

int TMultiDNSResolver::GetResult(std::uint16_t id, std::unique_ptr<TQueryResults>& results) {
  TStatScope stat("Dns-GetResult");
  return CatchAllButAbandonment(
      [&]() -> int {
        TCriticalSectionGuard guard(FLock);
        DoWorkIfNoThread();
        FCheckIncoming();
        TDNSQuestion* q = QuestionById(id);
        if (q == nullptr) return -2;
        TDateTime now = Now();
        if (q->Resolved()) {
          auto copy = std::make_unique<TQueryResults>();
          TDNSHeader header;
          if (!ParseAnswerPacket(q->Answer, q->Id, header, *copy)) return -2;
          copy->Server = q->Results->Server;
          double seconds = std::floor(MsBetween(q->AnsweredAt, now) / 1000.0);
          copy->ReduceTTL(seconds > INT32_MAX ? INT32_MAX
                                              : static_cast<std::int32_t>(std::max(0.0, seconds)));
          results = std::move(copy);
          return -1;
        }
        return std::max(1, ClampMs(MsBetween(q->PostedAt, now)));
      },
      [](const std::string& error) -> int {
        Log("DNS", "GetResult failed: " + error, 6, true);
        return -2;
      });
}

bool TMultiDNSResolver::HoldQuery(std::uint16_t id) {
  TStatScope stat("Dns-HoldQuery");
  TCriticalSectionGuard guard(FLock);
  TDNSQuestion* q = QuestionById(id);
  if (q == nullptr) return false;
  q->HeldAt = Now();
  return true;
}

bool TMultiDNSResolver::FindCName(const std::string& name, std::string& canonical) {
  TStatScope stat("Dns-FindCName");
  TCriticalSectionGuard guard(FLock);
  FCheckIncoming();
  for (auto it = FQuestions.rbegin(); it != FQuestions.rend(); ++it) {
    TDNSQuestion& q = **it;
    if (q.Dead || !q.Resolved()) continue;
    for (int i = 0; i < q.Results->Count(); ++i) {
      auto* rec = dynamic_cast<TNAMERecord*>(q.Results->Items(i));
      // Only records that the question's own name chain owns count.
      if (rec == nullptr || !rec->Registered || rec->RecordType != qCName) continue;
      if (!SameDnsName(rec->Name, name)) continue;
      canonical = rec->HostName;
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// The work

void TMultiDNSResolver::DoWorkIfNoThread() {
  if (!FWorker) DoWork();
}

void TMultiDNSResolver::DoWork() {
  TStatScope stat("Dns-DoWork");
  const auto failed = [](const std::string& error) {
    Log("DNS", "DoWork failed: " + error, 6, true);
  };
  CatchAllButAbandonment(
      [&] {
        TCriticalSectionGuard guard(FLock);
        double since = MsBetween(FLastWork, Now());
        if (since >= 0 && since < 250) return;
        CatchAllButAbandonment(
            [&] {
              FCheckIncoming();
              FRetryUnresponsiveQuestions();
              // By the time since the last cull, so that steady work cannot put it off.
              double sinceCull = MsBetween(FLastCull, Now());
              if (sinceCull > 5000 || sinceCull < 0) {
                FCullExpiredQuestions();
                FLastCull = Now();
                SendWaiting();  // the questions freed may have been in flight
              }
            },
            failed);
        FLastWork = Now();
      },
      failed);
}

bool TMultiDNSResolver::ReadString(std::string& datagram, std::string& sender,
                                   std::uint16_t& port) {
  if (FSocket < 0) return false;
  char buffer[kMaxDatagram];
  for (;;) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ::recvfrom(FSocket, buffer, sizeof buffer, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      // ICMP errors of earlier sends surface here; they are not datagrams.
      if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) continue;
      return false;
    }
    if (from.sin_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    sender = text;
    port = ntohs(from.sin_port);
    datagram.assign(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

void TMultiDNSResolver::WaitForReply(int milliseconds) {
  CheckAbandoned();
  if (FSocket < 0 || milliseconds <= 0) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  pollfd p{FSocket, POLLIN, 0};
  ::poll(&p, 1, milliseconds);
}

bool TMultiDNSResolver::AcceptedSender(const TDNSQuestion& q, const std::string& sender,
                                       std::uint16_t port) const {
  if (port != FPort.load()) return false;
  if (!q.Server.empty()) return sender == q.Server;
  return std::any_of(FServers.begin(), FServers.end(),
                     [&](const TServerEntry& e) { return e.Text == sender; });
}

bool TMultiDNSResolver::ParseReply(TDNSQuestion& q, const std::string& datagram,
                                   std::unique_ptr<TQueryResults>& out, TDNSHeader& header) const {
  auto results = std::make_unique<TQueryResults>();
  TDNSHeader h;
  if (!ParseAnswerPacket(datagram, q.Id, h, *results)) return false;
  if ((h.Flags & 0x8000) == 0) return false;  // a query, not a reply
  TQType first = q.AskedSet.First();
  if (!SameDnsName(results->QueryName, QuestionWireName(q.Name, first)) ||
      results->QueryType != QTypeCode(first) || results->QueryClass != 1)
    return false;
  results->Question = &q;
  TMultiDNSResolver* self = const_cast<TMultiDNSResolver*>(this);
  results->OnRecordFree = [self](TResourceRecord& rec) { self->UnregisterRecord(rec); };
  out = std::move(results);
  header = h;
  return true;
}

void TMultiDNSResolver::FCheckIncoming() {
  for (int n = 0; n < kMaxRepliesPerPass; ++n) {
    std::string datagram, sender;
    std::uint16_t port = 0;
    if (!ReadString(datagram, sender, port)) break;
    CatchAllButAbandonment(
        [&] {
          if (datagram.size() < 2) return;
          auto id = static_cast<std::uint16_t>(static_cast<unsigned char>(datagram[0]) << 8 |
                                               static_cast<unsigned char>(datagram[1]));
          TDNSQuestion* q = QuestionById(id);
          if (q == nullptr || q->Dead) return;
          if (!AcceptedSender(*q, sender, port)) {
            Log("DNS", "Reply from " + sender + " ignored: not one of the DNS servers", 4, false);
            return;
          }
          std::unique_ptr<TQueryResults> parsed;
          TDNSHeader header;
          if (!ParseReply(*q, datagram, parsed, header)) {
            // Unreadable, or not the answer to this question: ask again while the
            // question has no answer. It does not count as answered.
            if (!q->Results && q->Sends < kMaxSends) {
              ++q->Tries;
              FPostQuestion(*q);
            }
            return;
          }
          if (!q->Answered()) q->AnsweredAt = Now();
          parsed->Server = sender;
          if (q->Results) {
            bool replace = q->Results->RCode != 0 || (q->Results->AuthoritativeAnswer == 0 &&
                                                      datagram.size() > q->Answer.size());
            if (replace) {
              q->Results = std::move(parsed);
              q->Answer = datagram;
              q->Header = header;
              RegisterAnswerRecords(*q);
            }
            return;
          }
          q->Results = std::move(parsed);
          q->Answer = datagram;
          q->Header = header;
          RegisterAnswerRecords(*q);
          LeaveFlight(*q);
          if (!HasAllAnswerTypes(*q, q->AskedSet, q->Name) &&
              q->Tries < static_cast<int>(FServers.size()) &&
              q->Results->AuthoritativeAnswer == 0 && q->Sends < kMaxSends) {
            ++q->Tries;
            if ((header.Flags & TDNSHeader::kFlagRA) == 0) {
              // A server that does not recurse goes to the end of the list.
              auto it = std::find_if(FServers.begin(), FServers.end(),
                                     [&](const TServerEntry& e) { return e.Text == sender; });
              if (it != FServers.end()) std::rotate(it, it + 1, FServers.end());
            }
            FPostQuestion(*q);
          }
        },
        [](const std::string& error) { Log("DNS", "Reply not handled: " + error, 4, true); });
  }
  // Answers make room for waiting questions.
  SendWaiting();
}

void TMultiDNSResolver::FRetryUnresponsiveQuestions() {
  TDateTime now = Now();
  for (std::size_t i = FQuestions.size(); i-- > 0;) {
    TDNSQuestion& q = *FQuestions[i];
    if (q.Dead || q.Results || q.Queued) continue;
    const TDateTime sentAt = q.SentAt != 0 ? q.SentAt : q.PostedAt;
    if (MsBetween(sentAt, now) <= static_cast<double>(q.Tries + 1) * RetryInterval) continue;
    if (q.Sends >= kMaxSends) {
      // Given up: it waits for a late answer outside the window.
      LeaveFlight(q);
      continue;
    }
    ++q.Tries;
    FPostQuestion(q);
  }
  SendWaiting();
}

void TMultiDNSResolver::FCullExpiredQuestions() {
  TDateTime now = Now();
  for (std::size_t i = FQuestions.size(); i-- > 0;) {
    TDNSQuestion& q = *FQuestions[i];
    if (q.Dead || q.Waiters > 0 || IsHeld(q, now)) continue;
    if (!q.Resolved()) {
      if (MsBetween(q.PostedAt, now) > QuestionLifetime) q.Dead = true;
      continue;
    }
    // Records that answer later questions leave when they expire; so does
    // their type from the question's set.
    bool changed = false;
    for (int k = q.Results->Count() - 1; k >= 0; --k) {
      TResourceRecord* rec = q.Results->Items(k);
      if (!rec->Registered) continue;
      if (rec->TTL <= 0 || q.AnsweredAt + rec->TTL / 86400.0 < now) {
        q.QuerySet.Exclude(rec->RecordType);
        q.Results->Delete(k);
        changed = true;
      }
    }
    if (changed) {
      UnregisterKey(q);
      RegisterKey(q);
    }
  }
  Heartbeat("", -1, -1);
  for (auto& q : FQuestions)
    if (q->QuerySet.Empty()) q->Dead = true;
  EraseDeadQuestions();
  Heartbeat("", -1, -1);

  int remaining = static_cast<int>(FQuestions.size());
  if (remaining <= MaxQuestions - 1) return;
  struct TPass {
    int Minutes;
    int Holders;
  };
  static constexpr TPass kPasses[] = {{10, 0}, {2, 0},  {15, 1}, {5, 1},      {2, 1},
                                      {2, 2},  {2, 16}, {2, 64}, {2, INT_MAX}};
  constexpr int kLast = static_cast<int>(std::size(kPasses)) - 1;
  for (int p = 0; p <= kLast && remaining >= MaxQuestions; ++p) {
    for (std::size_t i = FQuestions.size(); i-- > 0;) {
      TDNSQuestion& q = *FQuestions[i];
      if (q.Dead || !q.Answered()) continue;
      if (p != kLast && (q.Waiters > 0 || IsHeld(q, now))) continue;
      double minutes = std::floor(MsBetween(q.AnsweredAt, now) / 60000.0);
      if (minutes > kPasses[p].Minutes && q.Holders <= kPasses[p].Holders) {
        q.Dead = true;
        --remaining;
        if (p == kLast && remaining < MaxQuestions) break;
      }
    }
    Heartbeat("", -1, -1);
  }
  EraseDeadQuestions();
}

bool TMultiDNSResolver::FPostQuestion(TDNSQuestion& q) {
  if (q.Sends >= kMaxSends) return false;
  std::string destination = q.Server;
  if (destination.empty()) {
    PollServerLookups();
    const std::size_t count = FServers.size();
    for (std::size_t n = 0; n < count && destination.empty(); ++n)
      destination = DottedOf(FServers[(n + static_cast<std::size_t>(q.Tries)) % count].Text);
    // Now and then a look-up that hangs is dropped, so a later post starts
    // it afresh.
    for (auto& e : FServers) {
      if (e.Lookup != nullptr && RandomInt(100) == 50) {
        EndHostLookup(e.Lookup);
        e.Lookup = nullptr;
      }
    }
    if (destination.empty()) return false;
  }
  std::string packet = BuildQueryPacket(q.Name, q.AskedSet, q.Recurse, q.Id);
  if (packet.empty() || FSocket < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(FPort.load());
  if (::inet_pton(AF_INET, destination.c_str(), &to.sin_addr) != 1) return false;
  CheckAbandoned();
  ssize_t sent = ::sendto(FSocket, packet.data(), packet.size(), MSG_DONTWAIT,
                          reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (sent != static_cast<ssize_t>(packet.size())) return false;
  if (q.SentAt == 0) q.SentAt = Now();
  if (!q.Results && !q.InFlight) {
    q.InFlight = true;
    ++FInFlight;
  }
  ++q.Sends;
  ++FDatagramsSent;
  FLastDestination = destination;
  return true;
}

// ---------------------------------------------------------------------------
// Introspection

int TMultiDNSResolver::QuestionCount() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FQuestions.size());
}

bool TMultiDNSResolver::QuestionInfo(std::uint16_t id, TDNSQuestionInfo& info) {
  TCriticalSectionGuard guard(FLock);
  TDNSQuestion* q = QuestionById(id);
  if (q == nullptr) return false;
  info.Id = q->Id;
  info.Name = q->Name;
  info.QuerySet = q->QuerySet;
  info.Holders = q->Holders;
  info.Tries = q->Tries;
  info.Waiters = q->Waiters;
  info.Sends = q->Sends;
  info.Answered = q->Answered();
  info.Resolved = q->Resolved();
  info.Queued = q->Queued;
  info.InFlight = q->InFlight;
  info.ResultServer = q->Results ? q->Results->Server : std::string();
  return true;
}

}  // namespace halvorn
