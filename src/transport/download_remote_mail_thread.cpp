#include "transport/download_remote_mail_thread.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "foundation/threads/abandonment.h"
#include "foundation/app/developer_mode.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/files/registry_settings.h"
#include "foundation/files/version_info.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/connection_checks.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/scrambled_texts.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "message/email_address.h"
#include "message/email_header.h"
#include "message/email_msg_list.h"
#include "message/mail_store.h"
#include "message/message_repository.h"
#include "message/processing_options.h"
#include "message/accounts_saver.h"
#include "transport/pop3_protocol.h"
#include "transport/webmail_download.h"

namespace halvorn {

namespace {

constexpr const char* kSource = "POPClient";

// Gives a flag its value however the scope ends, an abandoned worker's
// unwinding included.
template <class Flag>
class TSetOnExit {
 public:
  TSetOnExit(Flag& flag, bool value) : FFlag(flag), FValue(value) {}
  ~TSetOnExit() { FFlag = FValue; }
  TSetOnExit(const TSetOnExit&) = delete;
  TSetOnExit& operator=(const TSetOnExit&) = delete;

 private:
  Flag& FFlag;
  const bool FValue;
};
// Mailbox-address look-ups while storing.
constexpr int kMailboxLookupMs = 500;
// How long a known message may be missing from the queues (moving between
// two of them) before its UIDL is given up.
constexpr std::int64_t kMissingConfirmMs = 1000;

std::atomic<int> gLimitDownloadCount{-1};  // -1: not read yet
std::atomic<bool> gCommitLate{false};

std::mutex& WebmailErrorLock() {
  static std::mutex lock;
  return lock;
}
std::string& WebmailError() {
  static std::string text;
  return text;
}

bool StartsWithCI(const std::string& text, const char* prefix) {
  const std::size_t n = std::char_traits<char>::length(prefix);
  return text.size() >= n && UpperCase1252(std::string_view(text).substr(0, n)) == prefix;
}

// The text of a listing line after its first blank, trimmed; and its number.
bool SplitListingLine(const std::string& line, std::int32_t& number, std::string& rest) {
  const std::string trimmed = TrimText(line);
  const std::size_t blank = trimmed.find(' ');
  if (!TryStrToInt(trimmed.substr(0, blank), number)) return false;
  rest = blank == std::string::npos ? std::string() : TrimText(trimmed.substr(blank + 1));
  return true;
}

// The two accounts know one server: a host name in common (ignoring case)
// or an address in common.
bool ShareHost(const TRemoteAccountRef& a, const TRemoteAccountRef& b) {
  const std::vector<THostEntry> hostsA = a->Hosts();
  const std::vector<THostEntry> hostsB = b->Hosts();
  for (const THostEntry& x : hostsA) {
    for (const THostEntry& y : hostsB) {
      if (!x.Text.empty() && SameText1252(x.Text, y.Text)) return true;
      if (x.Address != 0 && x.Address == y.Address) return true;
    }
  }
  return false;
}

}  // namespace

bool LimitDownloadCount() {
  int value = gLimitDownloadCount.load();
  if (value < 0) {
    const int read = RegReadBool("Download", "LimitDownloadCount", true) ? 1 : 0;
    gLimitDownloadCount.compare_exchange_strong(value, read);
    value = gLimitDownloadCount.load();
  }
  return value == 1;
}

void SetLimitDownloadCount(bool on) {
  gLimitDownloadCount.store(on ? 1 : 0);
}

void SetDownloadCommitsLateForTests(bool late) {
  gCommitLate.store(late);
}

std::string LastWebmailError() {
  std::lock_guard<std::mutex> lock(WebmailErrorLock());
  return WebmailError();
}

// ---------------------------------------------------------------------------

TDownloadRemoteMailThread::TDownloadRemoteMailThread() : FClaimOwner(RegisterClaimOwner()) {
  FQueueCap = IsDeveloperMode() ? 1000 : 100;
  SetFreeOnTerminate(true);
}

TDownloadRemoteMailThread::~TDownloadRemoteMailThread() {
  UnregisterClaimOwner(FClaimOwner);
}

void TDownloadRemoteMailThread::StartWithMode(std::uint8_t mode) {
  FMode.store(mode);
  FCancelRequested.store(false);
  Resume();
}

void TDownloadRemoteMailThread::SetTimeOut(int ms) {
  // The thread hands it to its client before each wait.
  FTimeOut.store(ms > 0 ? ms : 60000);
}

bool TDownloadRemoteMailThread::StopHolds() {
  return CheckTerminated() || FStopRequested.load() || FCancelRequested.load();
}

std::string TDownloadRemoteMailThread::UserId() const {
  const std::string id = FLocalAccount ? FLocalAccount->UserId() : std::string();
  return id.empty() ? std::string(kSingleUserName) : id;
}

void TDownloadRemoteMailThread::Execute() {
  TSetOnExit<std::atomic<bool>> finished(FFinished, true);
  CatchAllButAbandonment(
      [&]() {
        FState = csIdle;
        FClient = std::make_unique<TQuorClientSocket>(kSource);
        FClient->ConnectRetries = 1;
        FClient->SetTerminatedFlag([this] { return Terminated() || ShuttingDown.load(); });
        FClient->SetStopFlag([this] { return FStopRequested.load() || FCancelRequested.load(); });
        FClient->SetOnDisconnect([this](TQuorAbstractClientSocket*) { OnClientDisconnect(); });
        FClient->SetOnError(
            [this](TQuorAbstractClientSocket*, const std::string& text) { OnClientError(text); });
        while (!CheckTerminated() && !FStopRequested.load()) {
          if (!ConnectAccount()) {
            if (CheckTerminated() || FStopRequested.load()) break;
            Suspend();
            StampAlive();
            continue;
          }
          while (FState != csIdle) {
            ReadReply();
            if (CheckTerminated()) break;
          }
        }
        FinishAccount();
      },
      [&](const std::string& error) {
        Log(kSource, "The download failed: " + error, 9, true);
        PostMainMessage(WM_DOWNLOAD_THREAD_FAILED);
      });
  FClient.reset();
}

// ---------------------------------------------------------------------------
// Selecting and connecting

bool TDownloadRemoteMailThread::ModeAllows(const TRemoteAccount& account) const {
  switch (FMode.load()) {
    case dmAny:
    case dmCheckNow:
      return true;
    case dmTimer:
    case dmPendhold:
      return account.InterceptedThisRun.load() || account.InterceptedLastRun.load();
    case dmStartup:
      return account.InterceptedLastRun.load();
    case dmReaderWaiting:
      return account.InterceptedThisRun.load();
    case dmShutDown:
      return false;
    case dmOneAccount:
      return account.ReaderWaiting.load();
    default:
      return true;
  }
}

bool TDownloadRemoteMailThread::SelectNextAccount() {
  FLocalAccount.reset();
  FRemoteAccount.reset();
  const std::vector<TLocalAccountRef> locals = GlobalLocalAccounts().Snapshot();
  if (locals.empty()) return false;
  for (int pass = 1; pass <= 2; ++pass) {
    for (const TLocalAccountRef& local : locals) {
      const TRemoteAccountList remotes = local->RemoteAccounts->Snapshot();
      if (remotes.empty()) continue;
      if (GetMessageRepository(local->UserId())->UnProcessedIncoming()->Count() > FQueueCap)
        continue;
      for (const TRemoteAccountRef& remote : remotes) {
        if (StopHolds()) {
          FinishAccount();
          return false;
        }
        if (pass == 1 && !remote->ReaderWaiting.load()) continue;
        if (!remote->ProcessUsingQuor.load()) continue;
        if (remote->SelectedThisCycle.load()) continue;
        if (!ModeAllows(*remote)) continue;
        if (remote->GetHostText(true).empty()) continue;
        remote->SelectedThisCycle = true;
        remote->ReaderWaiting = false;
        FLocalAccount = local;
        FRemoteAccount = remote;
        return true;
      }
    }
  }
  // A cycle ends: every account may be taken again.
  for (const TLocalAccountRef& local : locals)
    for (const TRemoteAccountRef& remote : local->RemoteAccounts->Snapshot())
      remote->SelectedThisCycle = false;
  return false;
}

bool TDownloadRemoteMailThread::ConnectAccount() {
  if (FState != csIdle) FinishAccount();
  if (StopHolds()) return false;
  if (GlobalLocalAccounts().Count() == 0) return false;
  if (!SelectNextAccount()) return false;
  FIndexBuilt = false;
  FUidlIndex.clear();
  FDomainChecks.clear();
  FServerAddress.clear();
  FBatch = std::make_unique<TMailStore::TBatch>(GetMailStore());
  FStoredUidls.clear();
  if (FRemoteAccount->IsWebmail()) {
    DownloadWebmailAccount();
    FLocalAccount.reset();
    FRemoteAccount.reset();
    return true;
  }
  FClient->SetPort(FRemoteAccount->Port.load());
  const std::string address = FRemoteAccount->GetHostIP();
  if (address.empty()) {
    const std::string host = FRemoteAccount->GetHostText(false);
    Log(kSource, "Failed to find IP for host " + host, 9, true);
    ReportLoginFailure("Failed to find IP address for host " + host);
    return true;
  }
  FServerAddress = address;
  FClient->SetHost(address);
  if (FClient->Connected()) FClient->Close();
  SetState(csConnecting);
  FClient->SetTimeOut(FTimeOut.load());
  if (FClient->Connect()) {
    SetState(csBanner);
    if (FRemoteAccount) PostStatusText(FRemoteAccount->GetEmailAddress());
    Login();
  } else if (FState == csConnecting) {
    FinishAccount();
  }
  return true;
}

void TDownloadRemoteMailThread::Login() {
  TPop3LoginDialogue how;
  how.RefuseErrorBanner = true;
  how.ReadLine = [this](std::string& line) {
    FClient->SetTimeOut(FTimeOut.load());
    if (!FClient->ReadLn(line)) return false;
    StampAlive();
    return true;
  };
  how.Stop = [this](TPop3LoginDialogue::TPoint point) {
    if (!FRemoteAccount || CheckTerminated() || FStopRequested.load() || FCancelRequested.load())
      return true;
    if (point == TPop3LoginDialogue::BeforeUser) {
      SetState(csUser);
      FLastCommand = "USER";
    } else if (point == TPop3LoginDialogue::BeforePass) {
      SetState(csPass);
      FLastCommand = "PASS";
    }
    return false;
  };
  const TPop3LoginOutcome outcome =
      Pop3Login(*FClient, FRemoteAccount->UserId(), FRemoteAccount->Password(), how);
  switch (outcome.Failure) {
    case TPop3LoginOutcome::None:
      SetState(csUidl);
      FRemoteAccount->LoginFailures = 0;
      return WriteLine("UIDL");
    case TPop3LoginOutcome::Rejected:
      if (outcome.Step == TPop3LoginOutcome::Pass) return PasswordRefused(outcome.Reply);
      return Abort();
    case TPop3LoginOutcome::WriteFailed:
      return Abort();
    default:
      // A stop, or no reply (a socket error is reported as it happens).
      return FinishAccount();
  }
}

void TDownloadRemoteMailThread::PasswordRefused(const std::string& line) {
  if (!StartsWithCI(line, "-ERR"))
    return ReportLoginFailure("Server failed to confirm Password with message " + Quoted(line));
  TRemoteAccountRef other = FLocalAccount->RemoteAccounts->FindAccount(
      FRemoteAccount->UserId(), std::string(), FServerAddress);
  if (other == FRemoteAccount)
    return ReportLoginFailure("Server rejected new password with message " + Quoted(line));
  if (!other) return ReportLoginFailure("Server rejected Password with message " + Quoted(line));
  // The same login at the same server under another password: the other
  // account takes this one over.
  TRemoteAccountRef absorbed = FRemoteAccount;
  const std::string oldId = FRemoteAccount->UniqueId();
  if (!other->MergeDuplicate(absorbed, false))
    return ReportLoginFailure("Server rejected password with " + Quoted(line));
  Repository()->ReassignRemoteAccount(oldId, other);
  FRemoteAccount = other;
  FStatesChanged = true;
  return Abort();
}

void TDownloadRemoteMailThread::DownloadWebmailAccount() {
  PostStatusText(FRemoteAccount->GetEmailAddress());
  TEmailMsgList* queue = Repository()->UnProcessedIncoming();
  std::atomic<bool> terminated{Terminated()};
  const std::string error = DownloadWebmail(FRemoteAccount, terminated, FStopRequested,
                                            FMaxPerAccount, queue);
  {
    std::lock_guard<std::mutex> lock(WebmailErrorLock());
    WebmailError() = error;
  }
  if (!error.empty())
    Log(kSource,
        "Skipped web-mail account " + FRemoteAccount->GetEmailAddress() + ": " + error, 7, false);
  if (error.find("402") != std::string::npos)
    PostToMainWindow(WM_WEBMAIL_PAYMENT_REQUIRED,
                     reinterpret_cast<TMessageParam>(FRemoteAccount.get()), 0);
}

// ---------------------------------------------------------------------------
// The dialogue

void TDownloadRemoteMailThread::SetState(std::uint8_t state) {
  if (state == FState) return;
  FState = state;
  PostStatus(state);
}

void TDownloadRemoteMailThread::WriteLine(const std::string& line) {
  FLastCommand = line;
  FClient->SetTimeOut(FTimeOut.load());
  if (!FClient->WriteLn(line)) {
    Abort();
    return;
  }
  if (CheckTerminated()) FinishAccount();
}

void TDownloadRemoteMailThread::SendQuit() {
  // The QUIT makes the server's deletions happen: what this connection
  // stored is durable first.
  if (!CommitBatch()) return Abort();
  SetState(csQuit);
  RecordDurabilityEvent("QUIT");
  WriteLine("QUIT");
}

bool TDownloadRemoteMailThread::CommitBatch() {
  if (!FBatch || FBatch->Empty() || gCommitLate.load()) return true;
  const int stored = FBatch->MessageCount();
  const std::string error = FBatch->Commit();
  FStoredUidls.clear();
  if (stored > 0) FStatesChanged = true;
  if (!error.empty()) {
    Log(kSource, "Could not make the downloaded mail durable: " + error, 9, true);
    return false;
  }
  return true;
}

void TDownloadRemoteMailThread::Abort() {
  FinishAccount();
}

void TDownloadRemoteMailThread::ReadReply() {
  std::string line;
  FClient->SetTimeOut(FTimeOut.load());
  if (!FClient->ReadLn(line)) {
    FinishAccount();
    return;
  }
  StampAlive();
  const bool stop = FStopRequested.load() || FCancelRequested.load();
  if (CheckTerminated() || (stop && FState < csRetr)) {
    FinishAccount();
    return;
  }
  CatchAllButAbandonment([&] { HandleReply(line); }, [this](const std::string& error) {
    Log(kSource, "Error handling the reply to " + FLastCommand + ": " + error, 9, true);
    FinishAccount();
  });
}

void TDownloadRemoteMailThread::HandleReply(const std::string& line) {
  const bool good = StartsWithCI(line, "+OK");
  const bool error = StartsWithCI(line, "-ERR");
  const bool stop = FStopRequested.load() || FCancelRequested.load();
  switch (FState) {
    case csUidl:
      if (stop) return SendQuit();
      if (good) {
        SetState(csUidlListing);
        FUidls.clear();
        return;
      }
      SetState(csList);
      return WriteLine("LIST");
    case csUidlListing: {
      if (error) {
        SetState(csList);
        return WriteLine("LIST");
      }
      if (line != ".") {
        std::int32_t number = 0;
        std::string uidl;
        if (SplitListingLine(line, number, uidl) && !uidl.empty()) FUidls[number] = uidl;
        return;
      }
      // The server's list is complete: what it no longer lists is gone.
      TStringList listed;
      for (const auto& [number, uidl] : FUidls) listed.Add(uidl);
      TStringList removed;
      FRemoteAccount->CullUidls(listed, removed);
      if (removed.Count() > 0) {
        FStatesChanged = true;
        FlagCulledMessages(removed);
      }
      SetState(csList);
      return WriteLine("LIST");
    }
    case csList:
      if (!good) return Abort();
      if (stop) return SendQuit();
      SetState(csListListing);
      FNumbers.clear();
      return;
    case csListListing: {
      if (error) return Abort();
      if (line != ".") {
        std::int32_t number = 0;
        std::string size;
        if (SplitListingLine(line, number, size)) FNumbers.push_back(number);
        return;
      }
      FMessageCount = static_cast<std::int32_t>(FNumbers.size());
      if (FMessageCount == 0) return SendQuit();
      FCurrent = 0;
      return ProcessNextMessage();
    }
    case csRetr:
      if (!good) return Abort();
      SetState(csMessage);
      FLines.Clear();
      return;
    case csMessage:
      if (line != ".") {
        FLines.Add(DotUnstuffed(line));
        return;
      }
      StoreMessage();
      FLines.Clear();
      if (FState == csMessage) ProcessNextMessage();
      return;
    case csDele:
      if (!good) return Abort();
      if (!FDeletingUidl.empty()) FDeletedUidls.Add(FDeletingUidl);
      FDeletingUidl.clear();
      ++FDeleted;
      return ProcessNextMessage();
    case csQuit: {
      if (!good) return Abort();
      // The server has deleted them: their UIDLs are done with.
      for (int i = 0; i < FDeletedUidls.Count(); ++i)
        FRemoteAccount->SetUidlStatus(FDeletedUidls[i], us_NonExistant);
      if (FDeletedUidls.Count() > 0) FStatesChanged = true;
      FRemoteAccount->LoginFailures = 0;
      FClient->Close();
      return FinishAccount();
    }
    default:
      return Abort();
  }
}

void TDownloadRemoteMailThread::ProcessNextMessage() {
  const bool stopped = Heartbeat("", -1, -1);
  for (;;) {
    if (stopped || FStopRequested.load() || FCancelRequested.load() || !FRemoteAccount ||
        FCurrent >= FMessageCount)
      return SendQuit();
    ++FCurrent;
    const std::int32_t number = FNumbers[static_cast<std::size_t>(FCurrent - 1)];
    const auto found = FUidls.find(number);
    if (found == FUidls.end()) {
      // Fetched, it would come again at every run and could never be
      // deleted on the server.
      Log(kSource,
          "Message " + std::to_string(number) + " at " + FRemoteAccount->GetHostText(false) +
              " has no UIDL: it is not fetched and the connection ends here",
          6, true);
      return Abort();
    }
    const std::string uidl = found->second;

    // Another account of the same server that knows the UIDL is this
    // account under another name: this one takes it over.
    if (TRemoteAccountRef duplicate =
            FLocalAccount->RemoteAccounts->CheckForDupUidl(FRemoteAccount.get(), uidl)) {
      if (ShareHost(FRemoteAccount, duplicate)) {
        const std::string oldId = duplicate->UniqueId();
        if (FRemoteAccount->MergeDuplicate(duplicate, true)) {
          Repository()->ReassignRemoteAccount(oldId, FRemoteAccount);
          FStatesChanged = true;
        }
      }
    }

    switch (FRemoteAccount->GetUidlStatus(uidl)) {
      case us_Deleted:
        // Whatever this connection stored is durable before the server is
        // asked to delete anything.
        if (!CommitBatch()) return Abort();
        SetState(csDele);
        PostStatusNumbers(11, number, FMessageCount);
        FDeletingUidl = uidl;
        Log(kSource, "Deleting from remote msg with Uidl: " + uidl, 6, false);
        RecordDurabilityEvent("DELE " + uidl);
        return WriteLine("DELE " + std::to_string(number));
      case us_Downloaded:
      case us_Read:
        Log(kSource, "Previously downloaded message with Uidl: " + uidl + " still on server - ignoring",
            4, false);
        // An error of the look-up is passed over: the next message follows.
        CatchAllButAbandonment(
            [&] {
              if (!AccountHoldsUidl(uidl)) {
                // The user emptied it from every queue: fetch it again.
                FRemoteAccount->SetUidlStatus(uidl, us_NonExistant);
                FStatesChanged = true;
                --FCurrent;
              }
            },
            [](const std::string&) {});
        continue;
      case us_DeletedLocal:
        continue;
      default:
        break;
    }

    // Unknown.
    if (LimitDownloadCount()) {
      const int waiting = Repository()->UnProcessedIncoming()->Count();
      if (FDownloaded >= FMaxPerAccount || waiting > FQueueCap) return SendQuit();
    }
    // Stored before its state reached the accounts file (a crash), or
    // stored by this connection: record it instead of fetching a second
    // copy.
    if (AccountHoldsUidlIndexed(uidl)) {
      FRemoteAccount->SetUidlStatus(uidl, us_Downloaded);
      FStatesChanged = true;
      Log(kSource, "Message with Uidl=" + uidl + " is already stored - recorded", 6, false);
      continue;
    }
    Log(kSource,
        "Downloading message " + std::to_string(number) + " of " + std::to_string(FMessageCount) +
            " Uidl=" + uidl,
        6, false);
    PostStatusNumbers(10, number, FMessageCount);
    SetState(csRetr);
    return WriteLine("RETR " + std::to_string(number));
  }
}

// ---------------------------------------------------------------------------
// Presence in the queues

void TDownloadRemoteMailThread::BuildUidlIndex(std::set<std::string>& index) {
  index.clear();
  if (FRemoteAccount) index = GetMailStore().UidlsOfAccount(FRemoteAccount->UniqueId());
}

bool TDownloadRemoteMailThread::AccountHoldsUidlIndexed(const std::string& uidl) {
  if (!FIndexBuilt) {
    BuildUidlIndex(FUidlIndex);
    FIndexBuilt = true;
    FIndexTime = SteadyMilliseconds();
  }
  return FUidlIndex.count(uidl) > 0;
}

bool TDownloadRemoteMailThread::AccountHoldsUidl(const std::string& uidl) {
  if (AccountHoldsUidlIndexed(uidl)) return true;
  // A message moving between two queues is in neither for a moment: look
  // again a while after the index was built.
  const std::int64_t wait = kMissingConfirmMs - (SteadyMilliseconds() - FIndexTime);
  const std::int64_t until = SteadyMilliseconds() + wait;
  while (SteadyMilliseconds() < until && !StopHolds())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::set<std::string> fresh;
  BuildUidlIndex(fresh);
  if (fresh.count(uidl) == 0) return false;
  FUidlIndex.insert(uidl);
  return true;
}

void TDownloadRemoteMailThread::FlagCulledMessages(const TStringList& culled) {
  // Only this account's messages: UIDLs are unique per server only. The
  // program's own UIDLs are never listed by a server, so never culled.
  if (FRemoteAccount) GetMailStore().FlagCulled(FRemoteAccount->UniqueId(), culled);
}

// ---------------------------------------------------------------------------
// Storing

std::string TDownloadRemoteMailThread::ReceivedLine() {
  return "Received: from " + FRemoteAccount->GetHostText(false) + " by " + GetHostNameOrLocal() +
         " with POP3 Quorvantis Halvorn" + GetVersionText() + " id " +
         MakeScrambledNumberText(UserNumber.load()) + "; " +
         DateTimeToRfc822(LocalTimeZoneBias(), Now());
}

bool TDownloadRemoteMailThread::AddressBelongsToAccount(const std::string& domain) {
  const std::string key = LowerCase1252(domain);
  const auto known = FDomainChecks.find(key);
  if (known != FDomainChecks.end()) return known->second;
  const std::atomic<bool>& stop = FStopRequested;
  bool belongs = false;
  TStringList exchangers;
  DnsMXLookup(domain, exchangers, true, &stop, kMailboxLookupMs);
  for (int i = 0; i < exchangers.Count() && !belongs; ++i)
    belongs = FRemoteAccount->HasHost(exchangers[i]);
  if (!belongs) belongs = FRemoteAccount->HasHost(domain);
  auto matchesHostAddress = [&](const TStringList& addresses) {
    const std::vector<THostEntry> hosts = FRemoteAccount->Hosts();
    for (int i = 0; i < addresses.Count(); ++i) {
      const std::uint32_t address = StrToIP(addresses[i]);
      if (address == 0) continue;
      for (const THostEntry& host : hosts)
        if (host.Address == address) return true;
    }
    return false;
  };
  if (!belongs) {
    TStringList addresses;
    DnsMXIPLookup(domain, addresses, true, &stop, kMailboxLookupMs);
    belongs = matchesHostAddress(addresses);
  }
  if (!belongs) {
    TStringList addresses;
    DnsIPLookup(domain, addresses, true, &stop, kMailboxLookupMs);
    belongs = matchesHostAddress(addresses);
  }
  FDomainChecks[key] = belongs;
  return belongs;
}

std::string TDownloadRemoteMailThread::MailboxAddress(const TStringList& lines) {
  std::string address = FRemoteAccount->EmailAddress();
  if (!address.empty()) return address;
  const std::string userId = FRemoteAccount->UserId();
  if (userId.empty()) return {};
  // A header of its own: the message keeps its lines exactly as received.
  TStringList headerLines = lines;
  TEmailHeader header;
  header.ParseLines(headerLines, false);
  for (const char* name : {"To", "CC"}) {
    TEmailAddressCollection addresses;
    header.GetAddresses(name, addresses);
    for (int i = 0; i < addresses.Count(); ++i) {
      const TEmailAddress& candidate = addresses.Items(i);
      if (!SameText1252(candidate.GetLocalPart(), userId)) continue;
      const std::string domain = candidate.GetDomain();
      if (domain.empty() || !AddressBelongsToAccount(domain)) continue;
      FRemoteAccount->SetEmailAddress(candidate.Address);
      return candidate.Address;
    }
  }
  return {};
}

void TDownloadRemoteMailThread::StoreMessage() {
  ++FDownloaded;
  const std::int32_t number = FNumbers[static_cast<std::size_t>(FCurrent - 1)];
  TDownloadedMessage message;
  message.Uidl = FUidls[number];
  message.Account = FRemoteAccount;
  message.Mailbox = MailboxAddress(FLines);
  message.SourceIP = FServerAddress;
  message.ReceivedLine = ReceivedLine();
  message.Lines = std::move(FLines);
  FLines.Clear();
  const std::string uidl = message.Uidl;
  // The store records the UIDL once the batch has made the file durable.
  if (!FBatch || !GetMailStore().StoreDownloaded(*FBatch, std::move(message))) {
    Log(kSource, "Could not save the message with Uidl=" + uidl + "; the connection ends", 9, true);
    return Abort();
  }
  FUidlIndex.insert(uidl);
  FStoredUidls.push_back(uidl);
  if (FBatch->MessageCount() >= FMaxPerAccount && !CommitBatch()) return Abort();
}

TMessageRepository* TDownloadRemoteMailThread::Repository() const {
  return GetMessageRepository(UserId());
}

// ---------------------------------------------------------------------------
// Login failures and the end of an account

void TDownloadRemoteMailThread::ReportLoginFailure(const std::string& error) {
  const TRemoteAccountRef account = FRemoteAccount;
  const std::string address = FServerAddress;
  FinishAccount();
  if (!account) return;
  const int warnAt = GetProcessingOptions(kSingleUserName).PopFailureWarningCount;
  const int failures = account->LoginFailures.fetch_add(1) + 1;
  const std::string host = account->GetHostText(false);
  const std::string user = account->UserId();
  if (!account->NewThisRun.load() && account->AutoGenerated.load() && account->UidlCount() == 0) {
    Log(kSource,
        "Failed to log into " + host + " UserId = " + user +
            " However there are no messages pending for this account and it was automatically "
            "generated so we will disable it.",
        9, true);
    return;
  }
  if (!account->NewThisRun.load() && failures != warnAt) {
    Log(kSource,
        "Failed to log into " + host + " UserId = " + user + ". Attempt number " +
            std::to_string(failures),
        9, true);
    return;
  }
  Log(kSource, "Failed to log into " + host + " UserId = " + user + " Generating report for user.",
      9, true);

  TLocalAccountRef owner = GlobalLocalAccounts().FindOwner(account.get());
  if (!owner) owner = GlobalLocalAccounts().GetFirstAccount();
  TStringList lines;
  lines.Add("Date: " + DateTimeToRfc822(LocalTimeZoneBias(), Now()));
  lines.Add("From: Quorvantis POP Client");
  lines.Add("Subject: Bad remote POP login information.");
  lines.Add("To: " + user);
  lines.Add("Content-Type: text/html; charset=us-ascii");
  lines.Add("Content-Transfer-Encoding: 7bit");
  lines.Add("");
  lines.Add("<b>Error encountered while attempting to download mail.</b><br>");
  lines.Add("<br>");
  lines.Add(error + "<br>");
  if (account->NewThisRun.load())
    lines.Add(
        "The following account was just accessed for the first time using Halvorn and may "
        "require correcting.<br>");
  if (owner && !address.empty()) {
    const TRemoteAccountRef other = owner->RemoteAccounts->FindAccount(user, std::string(), address);
    if (other && other != account) {
      lines.Add("<br><b>Note:</b> You currently have an account defined that differs only in the "
                "password.<br>");
      lines.Add("You should confirm that the password in your e-mail reader is correct.<br><br>");
    }
  }
  lines.Add(
      "Please enter the correct information or recheck your account information, which you will "
      "find on the accounts tab of Halvorn.<br>");
  lines.Add("<br>");
  lines.Add(account->PopInfoForm());
  lines.Add("<br>Halvorn will continue to attempt to log in and download mail.<br>");

  TEmailMsgList* queue =
      GetMessageRepository(owner && !owner->UserId().empty() ? owner->UserId()
                                                             : std::string(kSingleUserName))
          ->ProcessedIncoming();
  TEmailMsgRef msg = TEmailMsg::Create(nullptr);
  msg->SetRawMail(lines);
  msg->SetProperty(kPropFailureNotice, "POP");
  msg->SetInfoValue(TEmailInfoKey::SourceIP, address);
  msg->FSetSourceRemoteAccount(account);
  queue->Add(msg);
  msg->SaveToFile();
}

void TDownloadRemoteMailThread::FinishAccount() {
  if (FFinishing) return;
  FFinishing = true;
  TSetOnExit<bool> finishing(FFinishing, false);
  CatchAllButAbandonment(
      [&]() {
        FUidls.clear();
        FNumbers.clear();
        FDeletedUidls.Clear();
        FDeletingUidl.clear();
        if (FRemoteAccount) {
          const std::string user = FRemoteAccount->UserId();
          const std::string host = FRemoteAccount->GetHostText(false);
          if (FDownloaded > 0 || FDeleted > 0)
            Log(kSource,
                "Downloaded " + std::to_string(FDownloaded) + " and deleted " +
                    std::to_string(FDeleted) + " messages from " + user + " at " + host,
                8, false);
          else
            Log(kSource, "Checked mailbox " + user + " at " + host + " - no mail", 7, false);
        }
        if (FClient) FClient->Close();
        SetState(csIdle);
        if (gCommitLate.load() && FBatch && !FBatch->Empty()) {
          // The fault the ordering test must catch: the UIDLs saved as
          // downloaded before the mail is durable.
          for (const std::string& uidl : FStoredUidls)
            if (FRemoteAccount) FRemoteAccount->SetUidlStatus(uidl, us_Downloaded);
          SaveAccountsNow();
          FBatch->Commit();
          FStatesChanged = true;
        }
        CommitBatch();
        FBatch.reset();
        FStoredUidls.clear();
        if (FStatesChanged) {
          FStatesChanged = false;
          const std::string saveError = SaveAccountsNow();
          if (!saveError.empty()) Log(kSource, "Could not save the accounts: " + saveError, 9, true);
        }
        FLocalAccount.reset();
        FRemoteAccount.reset();
        FCurrent = 0;
        FMessageCount = 0;
        FDownloaded = 0;
        FDeleted = 0;
        FLines.Clear();
      },
      [&](const std::string& error) {
        Log(kSource, "Ending the account failed: " + error, 8, true);
      });
}

void TDownloadRemoteMailThread::OnClientDisconnect() {
  if (FState == csConnecting) return;
  FinishAccount();
}

void TDownloadRemoteMailThread::OnClientError(const std::string& text) {
  if (CheckTerminated()) return FinishAccount();
  const std::string host = FRemoteAccount ? FRemoteAccount->GetHostText(false) : std::string();
  if (FState == csConnecting) {
    if (!PingInternet(60)) return FinishAccount();
    return ReportLoginFailure(FRemoteAccount ? "Connection error encountered connecting to " + host +
                                                   " Socket Error: " + text
                                             : "Connection error.  Socket Error: " + text);
  }
  if (FState <= csPass)
    return ReportLoginFailure(FRemoteAccount ? "Error encountered while logging in to " + host +
                                                   " Socket Error: " + text
                                             : "Error encountered while logging in.  Socket Error: " +
                                                   text);
  Abort();
}

}  // namespace halvorn
