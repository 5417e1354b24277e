#include "transport/pop3_server.h"

#include <algorithm>
#include <map>
#include <exception>
#include <utility>

#include "foundation/app/developer_mode.h"
#include "foundation/files/durability_batch.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/intercept/ip_mapping.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/connection_checks.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "message/email_msg_list.h"
#include "message/mail_store.h"
#include "message/mail_providers.h"
#include "message/message_repository.h"
#include "platform/socket_owner.h"
#include "platform/tcp_line_server.h"
#include "message/accounts_saver.h"
#include "transport/pop3_protocol.h"
#include "transport/pop3_texts.h"
#include "transport/webmail_download.h"

namespace halvorn {

namespace {

// How often a session renews the claims of its mailbox while it waits for
// the reader (claims older than kClaimExpirySeconds count as free).
constexpr std::int64_t kClaimRenewalMs = 30000;
// The test login of a new intercepted account, and the relay's waits.
constexpr int kTestLoginTimeOutMs = 10000;
constexpr int kRelayTimeOutMs = 10000;


// What a session may change in a message's side record: its UIDL (made up
// for a message without one) and its source account. From the index: no
// message is read for it.
std::string RecordKey(const TEmailMsgRef& msg) {
  const TEmailMsg::TIndexEntry entry = msg->KnownIndexEntry();
  return entry.Uidl + "\n" + entry.AccountId;
}

// The UIDL the listing shows: the index's, or one made up (and stored) for a
// message without one.
std::string ListedUidl(const TEmailMsgRef& msg) {
  const std::string uidl = msg->KnownIndexEntry().Uidl;
  return uidl.empty() ? msg->GetUidl() : uidl;
}

}  // namespace

TPop3Command ParsePop3Command(const std::string& line, std::string& argument) {
  static const struct {
    const char* Word;
    TPop3Command Code;
  } kWords[] = {
      {"USER ", pcUser}, {"PASS ", pcPass}, {"APOP", pcApop}, {"QUIT", pcQuit},
      {"STAT", pcStat},  {"LIST", pcList},  {"RETR", pcRetr}, {"TOP", pcTop},
      {"DELE", pcDele},  {"NOOP", pcNoop},  {"LAST", pcLast}, {"RSET", pcRset},
      {"AUTH", pcAuth},  {"UIDL", pcUidl},
  };
  const std::string trimmed = TrimText(line);
  const std::string upper = UpperCase1252(trimmed);
  for (const auto& word : kWords) {
    const std::size_t length = std::char_traits<char>::length(word.Word);
    if (upper.compare(0, length, word.Word) == 0) {
      argument = TrimText(std::string_view(trimmed).substr(length));
      return word.Code;
    }
  }
  argument = trimmed;
  return pcUnknown;
}

TPop3ServerSpawnedSocket* TPop3SessionHandle::Get() const {
  std::shared_ptr<TPop3ServerSpawnedSocket*> session = FSession.lock();
  return session ? *session : nullptr;
}

// ---------------------------------------------------------------------------
// Server

TPop3Server::TPop3Server() {
  SetTranscriptFileName("TPop3Server");
  SetPort(110);
  SetMaxConnections(10);
  SetTimeOut(60000);
  SetBanner(kPop3Banner);
  FFirstRun = FirstTimeRun.load();
}

TPop3Server::~TPop3Server() {
  // The sessions' end needs this object whole; the base frees them later.
  for (TPop3ServerSpawnedSocket* session : Sessions()) session->EndSession();
}

std::vector<TPop3ServerSpawnedSocket*> TPop3Server::Sessions() const {
  std::vector<TPop3ServerSpawnedSocket*> sessions;
  for (TQuorServerSpawnedSocket* c : Connections())
    if (auto* s = dynamic_cast<TPop3ServerSpawnedSocket*>(c)) sessions.push_back(s);
  return sessions;
}

std::unique_ptr<TQuorServerSpawnedSocket> TPop3Server::CreateConnection(
    std::unique_ptr<platform::TcpConnection> socket) {
  try {
    return std::make_unique<TPop3ServerSpawnedSocket>(this, std::move(socket));
  } catch (const std::exception& e) {
    Log(TranscriptFileName(), std::string("Could not create a session: ") + e.what(), 9, true);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Session: set-up and the base's operations

TPop3ServerSpawnedSocket::TPop3ServerSpawnedSocket(TPop3Server* server,
                                                   std::unique_ptr<platform::TcpConnection> socket)
    : TQuorServerSpawnedSocket(server, std::move(socket)),
      FPop3Server(server),
      FClaimOwner(RegisterClaimOwner()),
      FSelf(std::make_shared<TPop3ServerSpawnedSocket*>(this)) {
  FClaimText = GetLogSource() + "(" + std::to_string(ConnectionNumber()) + ")";
}

TPop3ServerSpawnedSocket::~TPop3ServerSpawnedSocket() {
  EndSession();
  *FSelf = nullptr;
}

bool TPop3ServerSpawnedSocket::AcceptPeer() {
  // Both looked up while the connection is fresh: the mapping entry expires,
  // and the peer's socket is only in the table while it is open.
  GetOriginalDestination();
  PeerIsOwnUser();
  TQuorServer* server = Server();
  if (server != nullptr && server->ActiveConnections() > server->MaxConnections() &&
      !IsLocalHostAddress(PeerIP())) {
    SignOff(kPop3MaxConnections);
    return false;
  }
  if (RestrictToLocalHost()) {
    std::uint32_t own = 0;
    const bool ownAddress =
        platform::GetLocalSocketAddress(GetSocketHandle(), own) && own == PeerAddress();
    if (!ownAddress && !IsLocalHostAddress(PeerIP())) {
      Log(std::string(kPop3LocalOnlyLog) + PeerIP(), 10, true);
      SignOff(kPop3LocalOnly);
      return false;
    }
  }
  return true;
}

void TPop3ServerSpawnedSocket::AfterBanner() {
  FState = 1;
}

void TPop3ServerSpawnedSocket::ProcessLine(const std::string& line) {
  // Another command means the reader took the last message reply whole.
  ConfirmPendingRetr();
  if (FState != 2 || IsDeveloperMode()) Log("Read: " + Quoted(line), 1, false);
  std::string argument;
  const TPop3Command code = ParsePop3Command(line, argument);
  FInCommand = true;
  HandleCommand(code, line, argument);
  FInCommand = false;
  if (FResumeAfterCommand) {
    FResumeAfterCommand = false;
    if (!FLoginHeld && StillConnected()) SetPaused(false);
  }
}

void TPop3ServerSpawnedSocket::TimedOut() {
  // A relayed session waits on the real server's pace; a held one on the
  // window's.
  if (FPassThrough || FLoginHeld) {
    ResetIdleTime();
    return;
  }
  Log("User connection timed out.", 9, true);
  SignOff(kTimedOutSignOff);
}

void TPop3ServerSpawnedSocket::ResetInput() {
  TQuorServerSpawnedSocket::ResetInput();
  FHeldReply.clear();
}

void TPop3ServerSpawnedSocket::SignOff(const std::string& text) {
  StopIdleTimer();
  if (!Closed()) SendLineDelayed(text + "\r\n" + kPop3SignOffLine, 0);
  try {
    Disconnect();
  } catch (const std::exception& e) {
    Log(std::string("Disconnecting failed: ") + e.what(), 8, true);
  }
  FState = 0;
}

void TPop3ServerSpawnedSocket::TickTimer() {
  TQuorServerSpawnedSocket::TickTimer();
  const std::int64_t now = SteadyMilliseconds();
  if (now - FLastClaimRenewal < kClaimRenewalMs) return;
  FLastClaimRenewal = now;
  for (const TEmailMsgRef& msg : FMessages) msg->RenewClaim(FClaimOwner);
}

void TPop3ServerSpawnedSocket::PauseInput() {
  SetPaused(true);
}

void TPop3ServerSpawnedSocket::ResumeInput() {
  // Inside a command the lines that waited are handled once it has ended,
  // never in the middle of it.
  if (FInCommand)
    FResumeAfterCommand = true;
  else if (!FLoginHeld && StillConnected())
    SetPaused(false);
}

bool TPop3ServerSpawnedSocket::StillConnected() const {
  return !Closed() && !PeerGone() && !DisconnectRequested();
}

void TPop3ServerSpawnedSocket::Reply(const std::string& text) {
  SendLineDelayed(text, 0);
}

std::string TPop3ServerSpawnedSocket::GetOriginalDestination() {
  if (!FDestinationLooked) {
    FDestinationLooked = true;
    TSockAddrIn key;
    key.Address = PeerAddress();
    if (std::optional<TIPMappingEntry> entry = IPMapping().Take(key)) {
      if (entry->Original.Address != 0) FOriginalDestination = IPToStr(entry->Original.Address);
    }
  }
  return FOriginalDestination;
}

bool TPop3ServerSpawnedSocket::PeerIsOwnUser() {
  if (FPeerOwnUser < 0) {
    std::uint32_t uid = 0;
    FPeerOwnUser =
        platform::FindTcpPeerOwner(GetSocketHandle(), uid) && uid == platform::CurrentUserId();
  }
  return FPeerOwnUser == 1;
}

bool TPop3ServerSpawnedSocket::AnyLocalHostAllowed() const {
  return FPop3Server != nullptr && FPop3Server->FAcceptAnyLocal;
}

TEmailMsgList* TPop3ServerSpawnedSocket::Queue(const TLocalAccountRef& account) const {
  const std::string user = account ? account->UserId() : std::string();
  return GetMessageRepository(user.empty() ? std::string(kSingleUserName) : user)
      ->ProcessedIncoming();
}

bool TPop3ServerSpawnedSocket::HeldByOther(const TEmailMsgRef& msg) const {
  const TClaimOwner owner = msg->ClaimOwner();
  return owner != kNoClaimOwner && owner != FClaimOwner && IsClaimOwnerValid(owner);
}

// ---------------------------------------------------------------------------
// Dispatch

void TPop3ServerSpawnedSocket::HandleCommand(TPop3Command code, const std::string& line,
                                             const std::string& argument) {
  try {
    if (FState == 0) {
      Reply("-ERR Please wait for the welcome.");
      Log("Client spoke before welcome banner sent.", 3, true);
      return;
    }
    if (code == pcQuit) {
      HandleQuit(line);
      return;
    }
    if (FState == 1 && code != pcUser) {
      Log("Wrong command Issued.  Expected " + Quoted("USER") + ".", 3, true);
      Reply("-ERR Awaiting user identification. Use USER command");
      return;
    }
    if (FState == 2 && code != pcPass) {
      Log("Wrong command Issued.  Expected " + Quoted("PASS") + ".", 3, true);
      Reply("-ERR Awaiting password. Use PASS command");
      return;
    }
    if (code == pcUser)
      HandleUser(argument);
    else if (code == pcPass)
      HandlePass(argument);
    else
      HandleTransaction(code, line, argument);
  } catch (const std::exception& e) {
    Log(std::string("Command failed: ") + e.what(), 9, true);
    SignOff("-ERR Sorry internal error.");
  } catch (...) {
    Log("Command failed with an unknown error", 9, true);
    SignOff("-ERR Sorry internal error.");
  }
}

void TPop3ServerSpawnedSocket::HandleUser(const std::string& argument) {
  if (FState == 3) {
    Log("Erroneously tried logging in again as " + argument, 3, true);
    Reply("-ERR Already logged in");
    return;
  }
  FUserName = argument;
  Log("User " + Quoted(argument) + " given", 4, false);
  FState = 2;
  Reply("+OK Always happy to see " + argument);
}

// ---------------------------------------------------------------------------
// The login

void TPop3ServerSpawnedSocket::RefuseLogin(const std::string& baseName) {
  Log("Bad password given for valid user.", 10, true);
  if (FLocalAccount) FLocalAccount->BadPopPasswordCount.fetch_add(1);
  FState = 1;
  Reply("-ERR Sorry " + baseName + " bad user id or password");
  FLocalAccount.reset();
  FRemoteAccount.reset();
}

void TPop3ServerSpawnedSocket::HandlePass(const std::string& argument) {
  if (FState == 3) {
    Log("Gave PASS command while logged in", 3, true);
    Reply("-ERR Already logged in");
    return;
  }
  FPassword = argument;
  // The web-mail kinds: a suffix counts from the third character on.
  enum { kPlain, kHotmail, kMsn } kind = kPlain;
  std::string baseName = FUserName;
  if (const int at = PosCI("_hotmail", FUserName); at >= 3) {
    kind = kHotmail;
    baseName = FUserName.substr(0, static_cast<std::size_t>(at - 1));
  } else if (const int atMsn = PosCI("_msn", FUserName); atMsn >= 3) {
    kind = kMsn;
    baseName = FUserName.substr(0, static_cast<std::size_t>(atMsn - 1));
  }

  // The local account. A login from another user of this machine, or from
  // another machine, gives the account nothing of its own data.
  const bool ownUser = PeerIsOwnUser();
  TLocalAccounts& accounts = GlobalLocalAccounts();
  if (accounts.Count() == 0 && ownUser) accounts.Add()->SetUserId(baseName);
  FLocalAccount = accounts.GetFirstAccount();
  if (FLocalAccount && ownUser) {
    if (FLocalAccount->UserId() == kSingleUserName) FLocalAccount->SetUserId(baseName);
    if (FLocalAccount->UserId().empty()) FLocalAccount->SetUserId(baseName);
    if (FLocalAccount->Password().empty()) FLocalAccount->SetPassword(FPassword);
  }

  const std::string destination = GetOriginalDestination();
  if (destination == kHotmailMarkerAddress) {
    if (kind != kHotmail) FUserName += "_hotmail";
    kind = kHotmail;
  } else if (destination == kMsnMarkerAddress) {
    if (kind != kMsn) FUserName += "_msn";
    kind = kMsn;
  }

  if (!destination.empty() && kind == kPlain) {
    // Intercepted: the real server is the judge of the login.
    if (!FLocalAccount) {
      RefuseLogin(baseName);
      return;
    }
    const std::shared_ptr<TRemoteAccounts> remotes = FLocalAccount->RemoteAccounts;
    FRemoteAccount = remotes->FindAccount(FUserName, FPassword, destination);
    if (FRemoteAccount) {
      FRemoteAccount->NewThisRun = false;
      FRemoteAccount->AddHost(destination);
      if (!FRemoteAccount->ProcessUsingQuor && LspVersion() > 1) {
        ConnectPassThrough();
        return;
      }
    } else {
      PauseInput();
      const std::string error =
          CheckPopLogin(FUserName, FPassword, destination, kTestLoginTimeOutMs);
      if (!StillConnected()) return;
      ResumeInput();
      if (!error.empty()) {
        FState = 1;
        Reply("-ERR Sorry, could not confirm new account details: " + error);
        return;
      }
      FRemoteAccount = remotes->Add();
      FRemoteAccount->AutoGenerated = true;
      FRemoteAccount->AddHost(destination);
      FRemoteAccount->SetUserId(FUserName);
      FRemoteAccount->SetPassword(FPassword);
      Log("Created new Remote POP account record. Host = " + FRemoteAccount->GetHostText(false) +
              " Userid = " + FUserName + " UniqueId = " + FRemoteAccount->UniqueId(),
          10, false);
    }
    FRemoteAccount->GetHostText(true);
    FRemoteAccount->InterceptedThisRun = true;
    FinishLogin();
    return;
  }

  if (kind != kPlain) {
    if (!WebmailLogin(baseName, kind == kHotmail)) return;
  } else {
    FLocalAccount = accounts.FindByUserId(FUserName);
    if (FLocalAccount) {
      for (const TRemoteAccountRef& remote : FLocalAccount->RemoteAccounts->Snapshot())
        remote->InterceptedThisRun = true;
    }
  }

  // The password check of direct and web-mail sessions.
  if (!FLocalAccount) {
    RefuseLogin(baseName);
    return;
  }
  const std::string password = FLocalAccount->Password();
  if (password != argument) {
    if (password.empty() && ownUser) {
      FLocalAccount->SetPassword(argument);
      Log("Accepted password because no existing password exists.  Setting password", 10, false);
    } else if (FRemoteAccount) {
      // A web-mail login: the service has judged the password.
    } else if (AnyLocalHostAllowed() && ownUser && IsLocalHostAddress(PeerIP())) {
      Log("Accepted bad password because source is LocalHost.", 10, false);
    } else {
      RefuseLogin(baseName);
      return;
    }
  } else {
    Log("Correct password given.  User " + FLocalAccount->UserId() + " successfully logged in", 5,
        false);
  }
  FinishLogin();
}

bool TPop3ServerSpawnedSocket::WebmailLogin(const std::string& baseName, bool hotmail) {
  FRemoteAccount.reset();
  TLocalAccountRef owner;
  for (const TLocalAccountRef& local : GlobalLocalAccounts().Snapshot()) {
    for (const TRemoteAccountRef& remote : local->RemoteAccounts->Snapshot()) {
      if ((hotmail ? remote->IsHotmail() : remote->IsMsn()) && remote->UserId() == baseName) {
        FRemoteAccount = remote;
        owner = local;
        break;
      }
    }
    if (FRemoteAccount) break;
  }
  auto refuse = [&](const std::string& error) {
    FState = 1;
    Reply("-ERR Sorry, webmail rejected credentails with " + error);
    FRemoteAccount.reset();
    return false;
  };
  if (FRemoteAccount) {
    FLocalAccount = owner;
    // A password that differs from the stored one is the service's to judge
    // before it replaces the stored one.
    if (FRemoteAccount->Password() != FPassword) {
      PauseInput();
      const std::string error = CheckWebmailLogin(baseName, FPassword, hotmail);
      if (!StillConnected()) return false;
      ResumeInput();
      if (!error.empty()) return refuse(error);
    }
    FRemoteAccount->InterceptedThisRun = true;
    FRemoteAccount->SetPassword(FPassword);
    return true;
  }
  PauseInput();
  const std::string error = CheckWebmailLogin(baseName, FPassword, hotmail);
  if (!StillConnected()) return false;
  ResumeInput();
  if (!error.empty()) return refuse(error);
  if (!FLocalAccount) return refuse("no local account");
  FRemoteAccount = FLocalAccount->RemoteAccounts->Add();
  FRemoteAccount->SetHost(std::string(hotmail ? kHotmailPseudoHost : kMsnPseudoHost), true);
  FRemoteAccount->SetUserId(baseName);
  FRemoteAccount->SetPassword(FPassword);
  FRemoteAccount->Port = 0;
  FRemoteAccount->SetOption(kWebmailUnreadOnly, false);
  FRemoteAccount->SetOption(kWebmailMarkRead, true);
  FRemoteAccount->SetEmailAddress(baseName + "@" +
                                  std::string(hotmail ? kHotmailMailDomain : kMsnMailDomain));
  FRemoteAccount->NewThisRun = true;
  FRemoteAccount->AutoGenerated = true;
  FRemoteAccount->InterceptedThisRun = true;
  Log("Created new webmail account for " + baseName, 10, false);
  return true;
}

void TPop3ServerSpawnedSocket::FinishLogin() {
  FState = 3;
  const std::string localUserId = FLocalAccount->UserId();
  for (const TRemoteAccountRef& remote : FLocalAccount->RemoteAccounts->Snapshot()) {
    if (remote->Password().empty()) remote->SetPassword(FPassword);
    if (remote->UserId().empty()) remote->SetUserId(localUserId);
  }
  LoadMailbox();
  if (!StillConnected()) return;
  const std::string reply = "+OK " + localUserId + " successfully logged in.";
  if (FPop3Server != nullptr && FPop3Server->FFirstRun && !FPop3Server->FWelcomeAdded) {
    // After the mailbox was filled: the reader gets it at its next session.
    AddWelcomeMessage();
    FPop3Server->FWelcomeAdded = true;
    Reply("+OK Successfully logged in.");
    return;
  }
  if (FPop3Server != nullptr && FPop3Server->OnUserConnectedButNoWaitingMail) {
    bool wait = false;
    if (FRemoteAccount) {
      FRemoteAccount->ReaderWaiting = true;
      FRemoteAccount->SelectedThisCycle = false;
    }
    // The handler may outlive nothing of ours: copy it first.
    const TOnUserConnectedButNoWaitingMailEvent handler =
        FPop3Server->OnUserConnectedButNoWaitingMail;
    handler(this, wait);
    if (wait) {
      ReleaseMailbox();
      Log("Waiting for new mail for " + localUserId, 4, false);
      FHeldReply = reply;
      FLoginHeld = true;
      // A command sent early must not meet an empty mailbox: the input waits
      // for the release, and the session is not idle meanwhile.
      PauseInput();
      StopIdleTimer();
      return;
    }
    if (FRemoteAccount) FRemoteAccount->ReaderWaiting = false;
  }
  Reply(reply);
}

void TPop3ServerSpawnedSocket::ReleaseWaitingLogin() {
  if (!FHeldReply.empty()) {
    Reply(FHeldReply);
    FHeldReply.clear();
  }
  LoadMailbox();
  FLoginHeld = false;
  if (StillConnected()) {
    ResumeInput();
    StartIdleTimer();
  }
}

// ---------------------------------------------------------------------------
// The mailbox

void TPop3ServerSpawnedSocket::ReleaseMailbox() {
  for (const TEmailMsgRef& msg : FMessages) msg->Unlock(FClaimOwner, FClaimText);
  FMessages.clear();
  FTaken.clear();
  FRecordKeys.clear();
  FPendingRetr = -1;
}

bool TPop3ServerSpawnedSocket::ClaimAndList(const TEmailMsgRef& msg) {
  if (!msg->Lock(FClaimOwner, FClaimText)) return false;
  FMessages.push_back(msg);
  FTaken.push_back(false);
  FRecordKeys.push_back(RecordKey(msg));
  return true;
}

bool TPop3ServerSpawnedSocket::RemoveInterruptedQuitLeftover(const TEmailMsgRef& msg,
                                                             const TRemoteAccountRef& source,
                                                             const std::string& uidl) {
  if (!source || uidl.empty() || source->GetUidlStatus(uidl) != us_Deleted || HeldByOther(msg))
    return false;
  // The reader deleted it and QUIT; only removing the file did not happen.
  // The state stays, so the download deletes it on the server.
  msg->Obliterate(true, kPop3LeftoverReason);
  return true;
}

bool TPop3ServerSpawnedSocket::LoadMailbox() {
  ReleaseMailbox();
  TLocalAccountRef account = FLocalAccount;
  if (!account) {
    const int count = GlobalLocalAccounts().Count();
    if (count == 0) {
      SignOff("Internal error.  Sorry.");
      return false;
    }
    if (count >= 2) {
      SignOff("Internal error accessing local account.  Sorry.");
      return false;
    }
    account = GlobalLocalAccounts().GetFirstAccount();
  }
  TEmailMsgList* queue = Queue(account);
  if (queue == nullptr) return false;
  const std::vector<TEmailMsgRef> snapshot = queue->Snapshot();
  // The index tells each message's account and UIDL: nothing is read until
  // the reader asks for a message. Each account is looked up once.
  std::map<std::string, TRemoteAccountRef> sources;
  auto sourceOf = [&](const std::string& id) -> TRemoteAccountRef {
    if (id.empty()) return nullptr;
    const auto known = sources.find(id);
    if (known != sources.end()) return known->second;
    return sources[id] = GlobalLocalAccounts().FindRemoteAccountById(id);
  };

  if (FRemoteAccount) {
    // The newest message first.
    const std::string ownId = FRemoteAccount->UniqueId();
    for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
      const TEmailMsgRef& msg = *it;
      const TEmailMsg::TIndexEntry entry = msg->KnownIndexEntry();
      TRemoteAccountRef source = sourceOf(entry.AccountId);
      if (RemoveInterruptedQuitLeftover(msg, source, entry.Uidl)) continue;
      std::string id = entry.AccountId;
      if (id.empty()) {
        msg->FSetSourceRemoteAccount(FRemoteAccount);
        id = ownId;
        source = FRemoteAccount;
      }
      if (id == ownId) {
        if (msg->IsFlaggedDeleted() && !HeldByOther(msg)) {
          msg->Obliterate(false, kPop3FlaggedReason);
          continue;
        }
        const std::string uidl = msg->KnownIndexEntry().Uidl;
        if (source && !uidl.empty() && source->GetUidlStatus(uidl) == us_NonExistant)
          source->SetUidlStatus(uidl, us_Downloaded);
        ClaimAndList(msg);
      } else if (!source && !HeldByOther(msg) &&
                 !(FPop3Server != nullptr && FPop3Server->KeepOrphans())) {
        // Its account is gone.
        msg->FSetFlaggedDeleted(true);
        msg->Obliterate(false, kPop3OrphanReason);
      }
    }
    return true;
  }

  // An intercepted session without an account gets nothing.
  if (IsIntercepted()) return false;
  const bool everything = !IsLocalHostAddress(PeerIP()) || AnyLocalHostAllowed();
  for (const TEmailMsgRef& msg : snapshot) {
    const TEmailMsg::TIndexEntry entry = msg->KnownIndexEntry();
    const TRemoteAccountRef source = sourceOf(entry.AccountId);
    if (RemoveInterruptedQuitLeftover(msg, source, entry.Uidl)) continue;
    if (everything) {
      ClaimAndList(msg);
    } else if (!source) {
      if (msg->IsFlaggedDeleted() && !HeldByOther(msg)) {
        msg->Obliterate(false, kPop3FlaggedReason);
      } else {
        ClaimAndList(msg);
      }
    }
  }
  return true;
}

void TPop3ServerSpawnedSocket::AddWelcomeMessage() {
  if (!FLocalAccount || GlobalLocalAccounts().Count() == 0) return;
  TEmailMsgList* queue = Queue(FLocalAccount);
  if (queue == nullptr) return;
  std::string text = kWelcomeMessageTemplate;
  ReplaceAll("<!Date>", DateTimeToRfc822(LocalTimeZoneBias(), Now()), text);
  TEmailMsgRef msg = TEmailMsg::Create(queue);
  msg->SetText(text);
  msg->SaveToFile();
}

// ---------------------------------------------------------------------------
// Transaction commands

void TPop3ServerSpawnedSocket::HandleTransaction(TPop3Command code, const std::string& line,
                                                 const std::string& argument) {
  if (FPassThrough) {
    switch (code) {
      case pcStat:
      case pcDele:
      case pcNoop:
      case pcLast:
      case pcRset:
        RelayPop3Command(line, false);
        return;
      case pcList:
      case pcUidl:
        RelayPop3Command(line, argument.empty());
        return;
      case pcRetr:
      case pcTop:
        RelayPop3Command(line, true);
        return;
      default:
        break;
    }
  }
  switch (code) {
    case pcStat: {
      Log("Received STAT Request", 4, false);
      std::int64_t total = 0;
      for (const TEmailMsgRef& msg : FMessages) total += std::max<std::int32_t>(msg->GetSize(), 0);
      Reply("+OK " + std::to_string(FMessages.size()) + " " + std::to_string(total) + " Stat");
      return;
    }
    case pcList:
    case pcUidl:
      SendListing(code, argument);
      return;
    case pcRetr:
      SendRetr(argument);
      return;
    case pcTop:
      SendTop(argument);
      return;
    case pcDele: {
      const int n = StrToIntDef(argument, -1);
      if (n < 1 || n > MailboxCount()) {
        Log("Received DELE Request with " + Quoted(argument) + " - no such message", 3, true);
        Reply("-ERR No such Message " + Quoted(argument));
        return;
      }
      const TEmailMsgRef& msg = FMessages[static_cast<std::size_t>(n - 1)];
      if (msg->IsFlaggedDeleted()) {
        Log("Received DELE Request with " + Quoted(argument) + " - message already deleted", 3,
            true);
        Reply("-ERR Message " + Quoted(argument) + " has already been deleted.");
        return;
      }
      Log("Flagging msg deleted. Uidl=" + ListedUidl(msg), 5, false);
      Reply("+OK Message " + argument + " marked deleted");
      FLastAccessed = std::max(FLastAccessed, n);
      msg->FSetFlaggedDeleted(true);
      return;
    }
    case pcNoop:
      Log("Received NOOP Request", 4, false);
      Reply("+OK");
      return;
    case pcLast:
      Log("Received LAST Request", 4, false);
      Reply("+OK " + std::to_string(FLastAccessed));
      return;
    case pcRset:
      Log("Received RSET Request", 5, false);
      for (const TEmailMsgRef& msg : FMessages) msg->FSetFlaggedDeleted(false);
      FLastAccessed = 0;
      Reply("+OK");
      return;
    case pcApop:
      Log("APOP login attempted", 3, true);
      Reply("-ERR Sorry, APOP is not allowed on this server");
      return;
    case pcAuth:
      Log("AUTH login attempted", 3, true);
      Reply("-ERR Sorry, AUTH is not allowed on this server");
      return;
    default: {
      const std::string trimmed = TrimText(line);
      if (trimmed.empty()) {
        Log("Blank command Received", 3, true);
        Reply("-ERR Empty string sent.");
      } else {
        Log("Unknown command Received: " + Quoted(trimmed), 3, true);
        Reply("-ERR Eh?? Command " + Quoted(trimmed) + " not understood");
      }
      return;
    }
  }
}

void TPop3ServerSpawnedSocket::SendListing(TPop3Command code, const std::string& argument) {
  const bool uidl = code == pcUidl;
  Log(std::string(uidl ? "Received UIDL Request with " : "Received LIST Request with ") +
          Quoted(argument),
      4, false);
  auto value = [&](const TEmailMsgRef& msg) {
    return uidl ? ListedUidl(msg) : std::to_string(std::max<std::int32_t>(msg->GetSize(), 0));
  };
  if (argument.empty()) {
    std::vector<std::string> lines;
    lines.push_back("+OK there are " + std::to_string(FMessages.size()) +
                    (uidl ? " messages in mail drop. Unique-id listing follows."
                          : " messages in mail drop."));
    for (std::size_t i = 0; i < FMessages.size(); ++i) {
      if (FMessages[i]->IsFlaggedDeleted()) continue;
      lines.push_back(std::to_string(i + 1) + " " + value(FMessages[i]));
    }
    SendBlock(lines);
    return;
  }
  std::int32_t n = -1;
  if (!TryStrToInt(argument, n) && uidl) {
    Reply("-ERR A message number is required. " + Quoted(argument));
    return;
  }
  if (n < 1 || n > MailboxCount()) {
    Reply("-ERR No such Message " + Quoted(argument));
    return;
  }
  const TEmailMsgRef& msg = FMessages[static_cast<std::size_t>(n - 1)];
  if (msg->IsFlaggedDeleted()) {
    Reply("-ERR Message " + Quoted(argument) + " has been marked deleted.");
    return;
  }
  Reply("+OK " + std::to_string(n) + " " + value(msg));
}

bool TPop3ServerSpawnedSocket::SendBlock(std::vector<std::string> lines) {
  lines.push_back(".");
  return SendLines(lines);
}

void TPop3ServerSpawnedSocket::SendRetr(const std::string& argument) {
  const int n = StrToIntDef(argument, -1);
  if (n < 1 || n > MailboxCount()) {
    Log("Received RETR Request with " + Quoted(argument) + " No such Message", 3, true);
    Reply("-ERR No such Message " + Quoted(argument));
    return;
  }
  const std::size_t index = static_cast<std::size_t>(n - 1);
  const TEmailMsgRef msg = FMessages[index];
  if (msg->IsFlaggedDeleted()) {
    Log("Received RETR Request with " + Quoted(argument) + " Message marked deleted", 3, true);
    Reply("-ERR Message " + Quoted(argument) + " has been marked deleted.");
    return;
  }
  Log("Received RETR Request with " + Quoted(argument) + " Sending msg. Uidl=" + ListedUidl(msg), 5,
      false);
  TStringList text;
  msg->GetRawText(text, true);
  // The reader has it now: the queue keeps only the index.
  msg->ReleaseText();
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(text.Count()) + 2);
  lines.push_back("+OK ");
  for (int i = 0; i < text.Count(); ++i) {
    const std::string& l = text[i];
    lines.push_back(DotStuffed(l));
  }
  if (!SendBlock(std::move(lines))) {
    Log("Inexplicably failed to send message body", 9, true);
    Disconnect();
    return;
  }
  msg->SetRemoteState(us_Read);
  FLastAccessed = std::max(FLastAccessed, n);
  ++FRetrievedCount;
  FPendingRetr = static_cast<int>(index);
  FPendingRetrEnd = BytesQueued();
}

void TPop3ServerSpawnedSocket::SendTop(const std::string& argument) {
  Log("Received TOP Request with " + Quoted(argument), 4, false);
  const std::size_t blank = argument.find(' ');
  std::string numberText = TrimText(argument.substr(0, blank));
  const int n = StrToIntDef(numberText, -1);
  const int k = blank == std::string::npos ? -1 : StrToIntDef(TrimText(argument.substr(blank + 1)), -1);
  if (blank == std::string::npos || n < 1 || k < 0) {
    Reply("-ERR bad arguments to TOP command " + Quoted(argument) +
          " Should be TOP Message# LineCount");
    return;
  }
  if (n > MailboxCount()) {
    Reply("-ERR No such Message " + Quoted(numberText));
    return;
  }
  const TEmailMsgRef& msg = FMessages[static_cast<std::size_t>(n - 1)];
  if (msg->IsFlaggedDeleted()) {
    Reply("-ERR Message " + Quoted(numberText) + " has been marked deleted.");
    return;
  }
  FLastAccessed = std::max(FLastAccessed, n);
  // The header as the message holds it (never re-written by a parse), the
  // empty line after it, and at most k body lines.
  TStringList text;
  if (k > 0) {
    msg->GetTopLines(k, text);
  } else {
    msg->GetRawText(text, true);
    int end = 0;
    while (end < text.Count() && !text[end].empty()) ++end;
    while (text.Count() > end) text.Delete(text.Count() - 1);
  }
  bool separated = false;
  std::vector<std::string> lines;
  lines.push_back("+OK ");
  for (int i = 0; i < text.Count(); ++i) {
    const std::string& l = text[i];
    if (l.empty()) separated = true;
    lines.push_back(DotStuffed(l));
  }
  if (!separated) lines.push_back("");
  SendBlock(std::move(lines));
}

// ---------------------------------------------------------------------------
// QUIT and the end of the session

void TPop3ServerSpawnedSocket::HandleQuit(const std::string& line) {
  if (FPassThrough) {
    RelayPop3Command(line, false);
    Disconnect();
    return;
  }
  // The store records the deletions and saves them before any file goes,
  // then commits the removals: only then does the reader get "+OK".
  std::vector<TEmailMsgRef> deleted;
  std::vector<TEmailMsgRef> recordsChanged;
  while (!FMessages.empty()) {
    const TEmailMsgRef msg = FMessages.back();
    const std::string key = FRecordKeys.back();
    FMessages.pop_back();
    FTaken.pop_back();
    FRecordKeys.pop_back();
    // Only what the session changed is written: a thousand unchanged
    // records would each cost a write while the reader waits.
    if (msg->IsLoaded() && (msg->IsFlaggedDeleted() || RecordKey(msg) != key))
      recordsChanged.push_back(msg);
    if (msg->IsFlaggedDeleted())
      deleted.push_back(msg);
    else
      msg->Unlock(FClaimOwner, FClaimText);
  }
  GetMailStore().ExpungeOnQuit(deleted, recordsChanged, kPop3QuitReason);
  RecordDurabilityEvent("+OK QUIT");
  FPendingRetr = -1;
  Log("Received Request QUIT", 5, false);
  FQuitReceived = true;
  SignOff("+OK ");
}

void TPop3ServerSpawnedSocket::EndSession() {
  if (FEnded) return;
  FEnded = true;
  try {
    if (FLocalAccount) {
      const std::string name = FLocalAccount->UserId() + "(" + FUserName + ")";
      int flagged = 0;
      for (const TEmailMsgRef& msg : FMessages)
        if (msg->IsFlaggedDeleted()) ++flagged;
      if (FPendingRetr >= 0 && BytesHandedToSystem() >= FPendingRetrEnd) ConfirmPendingRetr();
      if (!FQuitReceived) {
        int sent = 0;
        try {
          // Only what the reader deleted, or took whole: a message it only
          // looked at with TOP, or skipped, stays for its next session.
          for (std::size_t i = FMessages.size(); i-- > 0;) {
            const TEmailMsgRef msg = FMessages[i];
            const bool deleted = msg->IsFlaggedDeleted();
            if (!deleted && !FTaken[i]) continue;
            if (!msg->GetProperty(kPropFailureNotice).empty()) continue;
            // Held mail is never flagged deleted: its file must survive.
            if (deleted) msg->FSetFlaggedDeleted(false);
            msg->Unlock(FClaimOwner, FClaimText);
            msg->SetInfoValue(TEmailInfoKey::POPDuplicate, "1");
            if (msg->SendToPendhold(deleted ? kPop3DroppedDeletedReason
                                            : kPop3DroppedRetrievedReason))
              ++sent;
            FMessages.erase(FMessages.begin() + static_cast<std::ptrdiff_t>(i));
            FTaken.erase(FTaken.begin() + static_cast<std::ptrdiff_t>(i));
            FRecordKeys.erase(FRecordKeys.begin() + static_cast<std::ptrdiff_t>(i));
          }
        } catch (const std::exception& e) {
          Log(std::string("Holding the messages failed: ") + e.what(), 9, true);
        }
        if (sent > 0)
          Log(name + " dropped the line prematurely.  Halvorn sent " + std::to_string(sent) +
                  " dowloaded messages to the Pendhold",
              9, true);
        else
          Log(name + " dropped the line prematurely.", 8, true);
      }
      if (flagged > 0 || FRetrievedCount > 0)
        Log(name + " downloaded " + std::to_string(FRetrievedCount) + " messages, and deleted " +
                std::to_string(flagged) + " messages.",
            8, false);
      else
        Log(name + " connected but neither downloaded nor deleted any messages.", 7, false);
    }
    for (const TEmailMsgRef& msg : FMessages) {
      if (msg->IsFlaggedDeleted()) {
        msg->FSetFlaggedDeleted(false);
        TUidlStatus state = us_NonExistant;
        if (msg->GetRemoteState(state) && state == us_Deleted) msg->SetRemoteState(us_Read);
      }
      msg->Unlock(FClaimOwner, FClaimText);
    }
    FMessages.clear();
    FTaken.clear();
    FRecordKeys.clear();
    if (FPassThrough) {
      FPassThrough->Close();
      FPassThrough.reset();
    }
    ReleaseMessageLocks(FClaimOwner, FClaimText);
    if (FRetrievedCount > 0) PostMainMessage(WM_CHECK_MAIL_WHEN_IDLE);
  } catch (const std::exception& e) {
    Log(std::string("Ending the session failed: ") + e.what(), 9, true);
  } catch (...) {
    Log("Ending the session failed with an unknown error", 9, true);
  }
  UnregisterClaimOwner(FClaimOwner);
}

void TPop3ServerSpawnedSocket::ConfirmPendingRetr() {
  if (FPendingRetr < 0) return;
  if (static_cast<std::size_t>(FPendingRetr) < FTaken.size())
    FTaken[static_cast<std::size_t>(FPendingRetr)] = true;
  FPendingRetr = -1;
}

// ---------------------------------------------------------------------------
// The relay

void TPop3ServerSpawnedSocket::ConnectPassThrough() {
  const std::string destination = GetOriginalDestination();
  auto client = std::make_unique<TQuorClientSocket>("PopPTCS-" +
                                                    std::to_string(ConnectionNumber()) + "-" +
                                                    FRemoteAccount->UniqueId());
  client->SetTimeOut(kRelayTimeOutMs);
  client->SetPort(110);
  client->SetHost(destination);
  PauseInput();
  std::string error;
  if (!client->Connect()) {
    error = "could not connect to " + destination;
  } else {
    TPop3LoginDialogue how;
    how.ClosedReplyIsDisconnect = true;
    const TPop3LoginOutcome outcome = Pop3Login(*client, FUserName, FPassword, how);
    const bool userStep = outcome.Step == TPop3LoginOutcome::User;
    switch (outcome.Failure) {
      case TPop3LoginOutcome::None:
      case TPop3LoginOutcome::Stopped:
        break;
      case TPop3LoginOutcome::ReadFailed:
        error = outcome.Step == TPop3LoginOutcome::Banner
                    ? "Failed to read POP banner from " + destination
                    : (userStep ? "USER command timed out on " : "PASS command timed out on ") +
                          destination;
        break;
      case TPop3LoginOutcome::Disconnected:
        error = destination + " disconnected with " + outcome.Reply;
        break;
      case TPop3LoginOutcome::WriteFailed:
        error = (userStep ? "Couldn't write USER command to " : "Couldn't write PASS command to ") +
                destination;
        break;
      case TPop3LoginOutcome::Rejected:
        error = destination + (userStep ? " rejected userid with: " : " rejected password with: ") +
                outcome.Reply;
        break;
    }
  }
  if (!StillConnected()) return;
  ResumeInput();
  if (error.empty()) {
    FPassThrough = std::move(client);
    FState = 3;
    Reply("+OK Logged into " + destination + " Halvorn will not proces mail from this account.");
  } else {
    FState = 1;
    Reply("-ERR " + error);
  }
}

void TPop3ServerSpawnedSocket::RelayPop3Command(const std::string& line, bool multiLine) {
  if (!FPassThrough) {
    Reply("-ERR internal error");
    return;
  }
  PauseInput();
  if (!FPassThrough->WriteLn(line)) {
    if (!StillConnected()) return;
    ResumeInput();
    Reply("-ERR failed to transmit " + line);
    return;
  }
  std::string answer;
  bool ok = true;
  if (!multiLine) {
    ok = FPassThrough->ReadLn(answer);
  } else {
    std::string got;
    bool first = true;
    for (;;) {
      if (!FPassThrough->ReadLn(got)) {
        ok = false;
        break;
      }
      if (!first) answer += "\r\n";
      answer += got;
      // An error reply is one line: no "." follows it.
      if (first && !got.empty() && got[0] == '-') break;
      first = false;
      if (got == ".") break;
    }
  }
  if (!StillConnected()) return;
  ResumeInput();
  Reply(ok ? answer : std::string("-ERR timed out wating for response"));
}

}  // namespace halvorn
