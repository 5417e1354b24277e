#include "classify/valid_email_addr.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <utility>

#include "foundation/app/developer_mode.h"
#include "foundation/crypto/random_source.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/net/host_names.h"
#include "foundation/net/quor_client_socket.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "message/email_address.h"

namespace halvorn {

namespace {

const char* const kLevelNames[kAddrCheckLevels] = {
    "acl_Cache",   "acl_Format", "acl_MXLookup", "acl_MXResolve", "acl_Connect",
    "acl_Banner",  "acl_Helo",   "acl_MailFrom", "acl_RcptTo",    "acl_Data"};
const char* const kResultNames[kAddrResults] = {"ear_Valid", "ear_PermError", "ear_TransError",
                                                "ear_Timeout"};

const char* DnsResultName(TDNSResult result) {
  switch (result) {
    case dns_NoError: return "dns_NoError";
    case dns_NoContactServer: return "dns_NoContactServer";
    case dns_BadResultReturned: return "dns_BadResultReturned";
    case dns_Timeout: return "dns_Timeout";
    case dns_InternalError: return "dns_InternalError";
    case dns_NotPerformed: return "dns_NotPerformed";
  }
  return "";
}

std::mutex GSettingsMutex;
TAddrCheckTimes GTimes;
TAddrCheckSocketMaker GSocketMaker;

TMutexCriticalSection& CacheLock() {
  static TMutexCriticalSection lock("AddressCache");
  return lock;
}
// Under CacheLock(); oldest first.
std::deque<TValidEmailAddrRec>& Cache() {
  static std::deque<TValidEmailAddrRec> cache;
  return cache;
}

// 0.0.0.0/8 and 127.0.0.0/8 both reach this computer.
bool IsThisComputer(std::uint32_t ip) {
  const std::uint32_t first = ip & 0xFFu;
  return first == 0 || first == 127;
}

// A mail exchanger named by four dotted numbers.
bool IsDottedQuad(const std::string& name) {
  return IsIPAddress(name) && std::count(name.begin(), name.end(), '.') == 3;
}

// The newest entry qualifying; none when no entry does.
template <class Pred>
std::optional<TValidEmailAddrRec> FindNewest(Pred pred) {
  TCriticalSectionGuard guard(CacheLock());
  const auto& cache = Cache();
  for (auto it = cache.rbegin(); it != cache.rend(); ++it)
    if (pred(*it)) return *it;
  return std::nullopt;
}

// What the cache knows of the mail server's handling of unknown recipients;
// with 0 the entry that says so.
std::uint8_t CachedCatchAll(const std::string& mailServer, TValidEmailAddrRec& accepting) {
  TCriticalSectionGuard guard(CacheLock());
  std::uint8_t found = kCatchAllUnknown;
  const auto& cache = Cache();
  for (auto it = cache.rbegin(); it != cache.rend(); ++it) {
    if (it->MailServer != mailServer || it->CatchAll == kCatchAllUnknown) continue;
    found = it->CatchAll;
    if (found == kCatchAllAccepts) {
      accepting = *it;
      break;
    }
  }
  return found;
}

// Ends the check (steps 2 to 13 return through it).
struct TCheckEnded {};

class TCheck {
 public:
  TCheck(const std::string& given, TEAddrCheckLevel requested, TAddrCheckState& state,
         const std::atomic<bool>* stop, int limitMs)
      : FGiven(given),
        FRequested(requested),
        FState(state),
        FStop(stop),
        FTimes(AddrCheckTimes()),
        FStartMs(SteadyMilliseconds()) {
    int budget = FTimes.BudgetMs;
    if (limitMs > 0) {
      budget = std::min(budget, limitMs);
      FLimitMs = FStartMs + limitMs;
    }
    FDeadlineMs = FStartMs + budget;
  }

  void Run() {
    try {
      try {
        Steps();
      } catch (const TCheckEnded&) {
      }
    } catch (const EThreadAbandoned&) {
      // An abandoned check files nothing: its owner gave up on it.
      FSocket.reset();
      throw;
    } catch (...) {
      Finish();
      throw;
    }
    Finish();
  }

 private:
  void Steps();
  void Connection(bool mailServer);
  void Dialogue(std::uint8_t catchAllKnown);
  void Command(TEAddrCheckLevel level, const std::string& command, const char* failedRead,
               const char* read, const char* permanent, const char* temporary,
               const char* timedOut);

  // Step 14: the connection is dropped; what was learnt is filed.
  void Finish() {
    FSocket.reset();
    Publish();
    if (FFiling) FileAddressCacheEntry(FGiven, FRequested, R);
  }

  [[noreturn]] void End() { throw TCheckEnded{}; }
  [[noreturn]] void End(TEAddrResult result) {
    R.Result = result;
    Publish();
    throw TCheckEnded{};
  }

  void Publish() {
    FState.Update([this](TValidEmailAddrRec& rec) { rec = R; });
  }
  void SetLevel(TEAddrCheckLevel level) {
    R.Level = level;
    Publish();
  }
  void Line(const std::string& text) {
    const std::string line = FormatDateTime("hh:nn:ss", Now()) + " - " + text;
    if (R.Transcript.empty())
      R.Transcript = line;
    else
      R.Transcript += "\r\n" + line;
    Publish();
    Heartbeat(text, -1, -1);
  }

  bool Stopped() const { return (FStop != nullptr && FStop->load()) || ShuttingDown.load(); }
  bool TimeUp() const { return Stopped() || SteadyMilliseconds() > FDeadlineMs; }
  // A wait of `ms`, cut to the time left when the check is bounded.
  int Wait(int ms) const {
    if (FLimitMs == 0) return ms;
    const std::int64_t left = FLimitMs - SteadyMilliseconds();
    return static_cast<int>(std::clamp<std::int64_t>(left, 1, ms));
  }
  std::string DnsFailure(const char* text, TDNSResult result) const {
    std::string line = text;
    if (IsDeveloperMode()) line += DnsResultName(result);
    return line;
  }

  // A reply line; false when the read failed.
  bool ReadLine(std::string& line) {
    FSocket->SetTimeOut(Wait(FTimes.SocketTimeoutMs));
    line.clear();
    return FSocket->ReadLn(line);
  }
  // Step 9 after the first line; a broken multi-line reply ends the check.
  void Collect(std::string& reply) {
    FSocket->SetTimeOut(Wait(FTimes.SocketTimeoutMs));
    if (!CollectSmtpReply(*FSocket, reply)) {
      Line("Failed to read multiline response. Response so far is:\r\n" + reply);
      End(ear_TransError);
    }
  }
  bool Write(const std::string& line) {
    FSocket->SetTimeOut(Wait(FTimes.SocketTimeoutMs));
    return FSocket->WriteLn(line);
  }

  const std::string FGiven;
  const TEAddrCheckLevel FRequested;
  TAddrCheckState& FState;
  const std::atomic<bool>* const FStop;
  const TAddrCheckTimes FTimes;
  const std::int64_t FStartMs;
  std::int64_t FDeadlineMs = 0;
  std::int64_t FLimitMs = 0;
  bool FFiling = false;
  std::string FDomain;
  std::unique_ptr<TQuorAbstractClientSocket> FSocket;
  TValidEmailAddrRec R;
};

void TCheck::Steps() {
  // 1. Set-up.
  R.Address = FGiven;
  R.Result = ear_Timeout;
  R.CatchAll = kCatchAllUnknown;
  R.Level = acl_Cache;
  Publish();
  Line("Checking email address \"" + FGiven + "\"");
  TEmailAddress parsed;
  parsed.Parse(FGiven);
  const bool wellFormed = parsed.IsValid();
  FDomain = parsed.GetDomain();
  R.Address = parsed.GetLocalPart() + "@" + FDomain;
  Publish();

  // 2. The cache.
  std::optional<TValidEmailAddrRec> cached =
      FindNewest([&](const TValidEmailAddrRec& e) { return e.Address == R.Address; });
  if (cached &&
      (cached->Level >= FRequested || cached->Result == ear_Valid ||
       cached->Result == ear_PermError)) {
    R = *cached;
    Line("Found address in cache.");
    End();
  }
  if (FRequested == acl_Cache) End(ear_TransError);
  if (TimeUp()) {
    Line("Ran out of time after checking cache.");
    End(ear_Timeout);
  }
  FFiling = true;

  // 3. Format.
  SetLevel(acl_Format);
  if (!wellFormed) {
    Line("Address has an invalid format. i.e. It is not a valid email address.");
    End(ear_PermError);
  }
  Line("Address has a valid format.");
  if (FRequested == acl_Format) End(ear_Valid);
  if (TimeUp()) {
    Line("Ran out of time after checking cache.");
    End(ear_Timeout);
  }

  // 4. The mail exchanger.
  SetLevel(acl_MXLookup);
  if (cached && !cached->MailServer.empty()) {
    Line("Found mail server \"" + cached->MailServer + "\" in cache.");
    R.MailServer = cached->MailServer;
  } else {
    std::string server;
    const TDNSResult result =
        DnsMXLookupFirst(FDomain, server, true, FStop, Wait(FTimes.MXTimeoutMs));
    R.MailServer = server;
    if (result == dns_NoError && server.empty()) {
      Line("Address has no mail server associated with it.");
      R.Result = ear_PermError;
      return Connection(false);
    }
    if (result == dns_NoError && IsDottedQuad(server)) {
      Line("Mail server for address is missconfigured.(MX rec returned " + server + ")");
      End(ear_PermError);
    }
    if (result == dns_NoError) {
      Line("Found mail server \"" + server + "\"");
    } else if (result == dns_BadResultReturned) {
      Line("Got bad result for mail server associated with this address.");
      R.Result = ear_PermError;
      return Connection(false);
    } else if (result == dns_Timeout) {
      Line("Timed out looking for mail server associated with this address.");
      End(ear_Timeout);
    } else {
      Line(DnsFailure("Failed to find the mail server associated with this address.", result));
      End(ear_TransError);
    }
  }
  if (FRequested == acl_MXLookup) End(ear_Valid);
  if (TimeUp()) {
    Line("Timed out after getting mail server.");
    End(ear_Timeout);
  }

  // 5. What the cache knows of this mail server. An entry of another sender
  // lends what it learnt of the server, never its address or transcript.
  TValidEmailAddrRec accepting;
  const std::uint8_t catchAllKnown = CachedCatchAll(R.MailServer, accepting);
  if (catchAllKnown == kCatchAllAccepts) {
    R.MailServer = accepting.MailServer;
    R.MailServerIP = accepting.MailServerIP;
    R.CatchAll = kCatchAllAccepts;
    R.Level = accepting.Level;
    R.Result = accepting.Result;
    Line("Mail server accepts mail for any address (known from an earlier check).");
    End();
  }

  // 6. The mail exchanger's address.
  SetLevel(acl_MXResolve);
  if (!cached || cached->MailServerIP == 0)
    cached = FindNewest([&](const TValidEmailAddrRec& e) {
      return e.MailServerIP != 0 && e.MailServer == R.MailServer;
    });
  if (cached) {
    Line("Found mail server IP of " + IPToStr(cached->MailServerIP) + " in cache.");
    R.MailServerIP = cached->MailServerIP;
  } else {
    std::uint32_t ip = 0;
    const TDNSResult result =
        DnsIPLookupNumber(R.MailServer, ip, true, FStop, Wait(FTimes.IPTimeoutMs));
    R.MailServerIP = ip;
    if (result == dns_NoError && ip == 0) {
      Line("Mail server doesn't have an IP address.");
      End(ear_PermError);
    }
    if (result == dns_NoError) {
      Line("Found mail server IP of " + IPToStr(ip));
    } else if (result == dns_BadResultReturned) {
      Line("Got bad result looking up IP for Mail server.");
      End(ear_PermError);
    } else if (result == dns_Timeout) {
      Line("Timed out looking up IP for Mail server.");
      End(ear_Timeout);
    } else {
      Line(DnsFailure("Failed to find the IP associated with this mail server.", result));
      End(ear_TransError);
    }
  }
  if (IsThisComputer(R.MailServerIP)) {
    Line("Mail server address is this computer (" + IPToStr(R.MailServerIP) + ").");
    End(ear_PermError);
  }
  if (FRequested == acl_MXResolve) End(ear_Valid);
  if (TimeUp()) {
    Line("Timed out looking up IP for Mail server.");
    End(ear_Timeout);
  }
  Connection(true);
  Dialogue(catchAllKnown);
}

// Steps 7 (direct connection, from step 4 with ear_PermError) and 8. Every
// end of the direct path keeps ear_PermError.
void TCheck::Connection(bool mailServer) {
  if (!mailServer) {
    if (FRequested == acl_MXLookup) End();
    Line("Host doesn't have a mail server registered to it.  Attempting direct connection...");
    std::uint32_t ip = 0;
    const TDNSResult result = DnsIPLookupNumber(FDomain, ip, true, FStop, Wait(FTimes.IPTimeoutMs));
    R.HostIP = ip;
    if (result == dns_NoError && ip == 0) {
      Line("Host doesn't have an IP address.");
      End();
    }
    if (result == dns_NoError) {
      Line("Found host IP of " + IPToStr(ip));
    } else if (result == dns_BadResultReturned) {
      Line("Got bad result looking up IP for host.");
      End();
    } else if (result == dns_Timeout) {
      Line("Timed out looking up IP for host.");
      End();
    } else {
      Line(DnsFailure("Failed to find the IP for this host.", result));
      End();
    }
    if (IsThisComputer(ip)) {
      Line("Mail server address is this computer (" + IPToStr(ip) + ").");
      End();
    }
    // Asked to go no further than an address, the direct path stops here
    // (the dialogue's level checks would never match acl_MXResolve).
    if (FRequested == acl_MXResolve) End();
    if (TimeUp()) {
      Line("Timed out looking up IP for host.");
      End();
    }
  }

  // 8. The connection.
  const char* const what = mailServer ? "mail server" : "host";
  {
    std::lock_guard<std::mutex> lock(GSettingsMutex);
    if (GSocketMaker) FSocket = GSocketMaker();
  }
  if (!FSocket) FSocket = std::make_unique<TQuorClientSocket>("ValidEmailAddr2 smtp");
  FSocket->SetHost(IPToStr(mailServer ? R.MailServerIP : R.HostIP));
  FSocket->SetPort(25);
  FSocket->SetTimeOut(Wait(FTimes.SocketTimeoutMs));
  FSocket->ConnectRetries = FTimes.ConnectRetries;
  const std::atomic<bool>* stop = FStop;
  FSocket->SetTerminatedFlag(
      [stop] { return (stop != nullptr && stop->load()) || ShuttingDown.load(); });
  SetLevel(acl_Connect);
  bool connected = false;
  try {
    connected = FSocket->Connect();
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    Line(std::string("Failed to connect to ") + what + " with " + e.what());
    if (mailServer) End(ear_TransError);
    End();
  }
  if (!connected) {
    if (TimeUp()) {
      Line(std::string("Timed out connecting to ") + what + ".");
      if (mailServer) End(ear_Timeout);
      End();
    }
    Line(std::string("Failed to connect to ") + what + ".");
    if (mailServer) End(ear_PermError);
    End();
  }
  if (FRequested == acl_Connect) End(ear_Valid);
  if (TimeUp()) {
    Line(std::string("Timed out after connecting to ") + what + ".");
    End(ear_Timeout);
  }
  if (!mailServer) Dialogue(kCatchAllUnknown);
}

void TCheck::Command(TEAddrCheckLevel level, const std::string& command, const char* failedRead,
                     const char* read, const char* permanent, const char* temporary,
                     const char* timedOut) {
  SetLevel(level);
  if (!Write(command)) {
    Line("Failed to write: " + command);
    End(ear_TransError);
  }
  Line("Wrote: " + command);
  std::string reply;
  if (!ReadLine(reply) || reply.empty()) {
    Line(failedRead);
    End(ear_Timeout);
  }
  if (!FSocket->Connected()) {
    Line("Server disconnected.");
    End(ear_TransError);
  }
  Collect(reply);
  Line(read + reply);
  const int code = SmtpReplyCode(reply);
  if (code > 499) {
    Line(permanent);
    End(ear_PermError);
  }
  if (code > 399) {
    Line(temporary);
    End(ear_TransError);
  }
  // DATA (no time-out text) has neither the level nor the time test.
  if (timedOut == nullptr) return;
  if (FRequested == level) End(ear_Valid);
  if (TimeUp()) {
    Line(timedOut);
    End(ear_Timeout);
  }
}

// Steps 10 to 13.
void TCheck::Dialogue(std::uint8_t catchAllKnown) {
  // 10. The banner.
  SetLevel(acl_Banner);
  std::string reply;
  if (!ReadLine(reply) || reply.empty()) {
    Line("Failed to read mail server banner.");
    End(ear_TransError);
  }
  Collect(reply);
  Line("Read banner:" + reply);
  if (FRequested == acl_Banner) End(ear_Valid);
  const int code = SmtpReplyCode(reply);
  if (code > 499) {
    Line("Permenantly rejected by the banner.");
    End(ear_PermError);
  }
  if (code > 399) {
    Line("Temporarily rejected by the banner..");
    End(ear_TransError);
  }
  if (TimeUp()) {
    Line("Timed out after reading banner.");
    End(ear_Timeout);
  }

  // 11. HELO, MAIL FROM and RCPT TO.
  std::string heloName = ExternalHostName();
  if (heloName.empty()) {
    const std::uint32_t external = ExternalIP.load();
    heloName = external != 0 ? IPToStr(external) : GetHostNameOrLocal();
  }
  Command(acl_Helo, "HELO " + heloName, "Failed to read HELO response.", "Read HELO response: ",
          "HELO permenantly rejected.", "HELO temporarily rejected.",
          "Timed out after reading HELO response.");
  Command(acl_MailFrom, "MAIL FROM: <>", "Failed to read MAIL FROM response.",
          "Read MAIL FROM response: ", "MAIL FROM permenantly rejected.",
          "MAIL FROM temporarily rejected.", "Timed out after reading MAIL FROM response.");
  Command(acl_RcptTo, "RCPT TO: <" + R.Address + ">", "Failed to read RCPT TO response.",
          "Read RCPT TO response: ", "RCPT TO permenantly rejected.",
          "RCPT TO temporarily rejected.", "Timed out after reading RCPT TO response.");

  // 12. Does the server accept mail for anyone? Its ends keep the result.
  if (catchAllKnown == kCatchAllUnknown) {
    const std::string probe = "RCPT TO: <WillYouAcceptMailForAnyone" +
                              std::to_string(RandomInt(999)) + "@" + FDomain + ">";
    if (!Write(probe)) {
      Line("Failed to write: " + probe);
      End();
    }
    Line("Wrote: " + probe);
    if (!ReadLine(reply) || reply.empty()) {
      Line("Failed to read RCPT TO response.");
      End();
    }
    if (!FSocket->Connected()) {
      Line("Server disconnected.");
      R.CatchAll = kCatchAllRejects;
      End();
    }
    Collect(reply);
    Line("Read RCPT TO response: " + reply);
    const int probeCode = SmtpReplyCode(reply);
    if (probeCode > 499) {
      Line("RCPT TO permenantly rejected.");
      R.CatchAll = kCatchAllRejects;
    } else if (LowerCase1252(reply).find("too many recipients") != std::string::npos) {
      Line("RCPT TO reply ambiguous");
      R.CatchAll = kCatchAllAccepts;
    } else if (probeCode > 399) {
      Line("RCPT TO temporarily rejected.");
      R.CatchAll = kCatchAllRejects;
    } else {
      R.CatchAll = kCatchAllAccepts;
      Publish();
    }
  }

  // 13. DATA, one line, and the connection is dropped: no message is ever
  // completed.
  Command(acl_Data, "DATA", "Failed to read DATA response.", "Read DATA response: ",
          "DATA permenantly rejected.", "DATA temporarily rejected.", nullptr);
  const std::string contents = "Email contents";
  if (!Write(contents)) {
    Line("Failed to write: " + contents);
    End(ear_TransError);
  }
  Line("Wrote: " + contents);
  if (!FSocket->Connected()) {
    Line("Server disconnected.");
    End(ear_TransError);
  }
  Line("Disconnected.");
  End(ear_Valid);
}

}  // namespace

const char* AddrCheckLevelName(int level) {
  return level >= 0 && level < kAddrCheckLevels ? kLevelNames[level] : "";
}

const char* AddrResultName(int result) {
  return result >= 0 && result < kAddrResults ? kResultNames[result] : "";
}

int RetAddrInputIndex(int level, int result) {
  return (level & 127) * 4 + (result & 127);
}

TAddrCheckTimes AddrCheckTimes() {
  std::lock_guard<std::mutex> lock(GSettingsMutex);
  return GTimes;
}

TScopedAddrCheckTimes::TScopedAddrCheckTimes(const TAddrCheckTimes& times) {
  std::lock_guard<std::mutex> lock(GSettingsMutex);
  FOld = std::exchange(GTimes, times);
}

TScopedAddrCheckTimes::~TScopedAddrCheckTimes() {
  std::lock_guard<std::mutex> lock(GSettingsMutex);
  GTimes = FOld;
}

TScopedAddrCheckSocketMaker::TScopedAddrCheckSocketMaker(TAddrCheckSocketMaker maker) {
  std::lock_guard<std::mutex> lock(GSettingsMutex);
  FOld = std::exchange(GSocketMaker, std::move(maker));
}

TScopedAddrCheckSocketMaker::~TScopedAddrCheckSocketMaker() {
  std::lock_guard<std::mutex> lock(GSettingsMutex);
  GSocketMaker = std::move(FOld);
}

// ---------------------------------------------------------------------------
// The cache

std::vector<TValidEmailAddrRec> AddressCacheEntries() {
  TCriticalSectionGuard guard(CacheLock());
  return {Cache().begin(), Cache().end()};
}

void SetAddressCacheEntries(const std::vector<TValidEmailAddrRec>& entries) {
  TCriticalSectionGuard guard(CacheLock());
  const std::size_t skip =
      entries.size() > kAddressCacheCapacity ? entries.size() - kAddressCacheCapacity : 0;
  Cache().assign(entries.begin() + static_cast<std::ptrdiff_t>(skip), entries.end());
}

void ClearAddressCache() {
  TCriticalSectionGuard guard(CacheLock());
  Cache().clear();
}

bool FindCachedAddress(const std::string& address, TValidEmailAddrRec& entry) {
  auto found = FindNewest([&](const TValidEmailAddrRec& e) { return e.Address == address; });
  if (found) entry = std::move(*found);
  return found.has_value();
}

void FileAddressCacheEntry(const std::string& givenAddress, TEAddrCheckLevel requested,
                           const TValidEmailAddrRec& record) {
  TCriticalSectionGuard guard(CacheLock());
  auto& cache = Cache();
  for (auto it = cache.rbegin(); it != cache.rend(); ++it) {
    if (SameText1252(it->Address, givenAddress) && it->Level <= requested &&
        it->Result <= record.Result) {
      *it = record;
      return;
    }
  }
  if (cache.size() >= kAddressCacheCapacity) cache.pop_front();
  cache.push_back(record);
}

// ---------------------------------------------------------------------------
// The shared state

TValidEmailAddrRec TAddrCheckState::Snapshot() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FRec;
}

void TAddrCheckState::Reset(const TValidEmailAddrRec& record) {
  std::lock_guard<std::mutex> lock(FMutex);
  FRec = record;
}

void TAddrCheckState::Update(const std::function<void(TValidEmailAddrRec&)>& change) {
  std::lock_guard<std::mutex> lock(FMutex);
  change(FRec);
}

bool TAddrCheckState::Done() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FDone;
}

void TAddrCheckState::MarkDone() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FDone = true;
  }
  FDoneChanged.notify_all();
}

bool TAddrCheckState::WaitDoneUntil(std::int64_t deadlineMs) const {
  std::unique_lock<std::mutex> lock(FMutex);
  while (!FDone) {
    const std::int64_t left = deadlineMs - SteadyMilliseconds();
    if (left <= 0) return false;
    FDoneChanged.wait_for(lock, std::chrono::milliseconds(std::min<std::int64_t>(left, 100)));
  }
  return true;
}

// ---------------------------------------------------------------------------
// The check

void CheckEmailAddress(const std::string& address, TEAddrCheckLevel requested,
                       TAddrCheckState& state, const std::atomic<bool>* stop, int limitMs) {
  TCheck(address, requested, state, stop, limitMs).Run();
}

bool CollectSmtpReply(TQuorAbstractClientSocket& socket, std::string& reply) {
  // A first line of exactly four characters is a reply of one line; a later
  // one of four ("250-") still continues it.
  if (!(reply.size() > 4 && reply[3] == '-')) return true;
  std::string line;
  do {
    line.clear();
    if (!socket.ReadLn(line)) {
      if (!socket.UnfinishedLine().empty()) return false;
      line.clear();
    }
    reply += "\r\n" + line;
  } while (line.size() >= 4 && line[3] == '-');
  return true;
}

int SmtpReplyCode(const std::string& reply) {
  if (reply.size() < 3) return -1;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    const char c = reply[static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}

// ---------------------------------------------------------------------------
// The thread

TValidEmailAddrThread2::TValidEmailAddrThread2(const std::string& address,
                                               TEAddrCheckLevel requested)
    : FAddress(address), FRequested(requested), FState(std::make_shared<TAddrCheckState>()) {
  TValidEmailAddrRec rec;
  rec.Address = address;
  FState->Reset(rec);
  FState->SetStartMs(SteadyMilliseconds());
}

void TValidEmailAddrThread2::Execute() {
  // The state outlives this object when the thread is abandoned.
  const TAddrCheckStateRef state = FState;
  state->SetStartMs(SteadyMilliseconds());
  struct TDone {
    TAddrCheckState& S;
    ~TDone() { S.MarkDone(); }
  } done{*state};
  CheckEmailAddress(FAddress, FRequested, *state, TerminatedFlag());
}

TValidEmailAddrThread2* StartAddressCheckThread(const std::string& address,
                                                TEAddrCheckLevel requested) {
  return CreateQuorThread<TValidEmailAddrThread2>(false, address, requested);
}

bool WaitForAddressCheck(const TAddrCheckState& state, int timeoutMs) {
  return state.WaitDoneUntil(state.StartMs() + timeoutMs);
}

}  // namespace halvorn
