// The local POP3 server from which the mail reader fetches its mail.
//
// It serves the user's processed-incoming queue. A session reaches it in one
// of three ways, which the login tells apart:
//   - a direct session: the reader is set up to use this server;
//   - an intercepted session: the interception layer redirected the reader's
//     connection to one of its real POP3 servers; the session finds the
//     original destination in the connection-mapping table (ip_mapping.h) by
//     the address the connection came from, and is tied to the remote account
//     of that server and user, created on first use after a test login;
//   - a web-mail session: the user name carries a web-mail suffix, or the
//     original destination is one of two marker addresses.
// An intercepted session whose account has processing switched off is relayed
// unchanged to the real server (the pass-through relay).
//
// When no new mail waits, the window may ask the server to hold back the login
// reply until a download has run (the held login). The server keeps the UIDL
// states of the remote accounts in step with what the reader retrieves and
// deletes, and sends to the held-mail queue the messages a reader took when it
// drops the line without QUIT.
//
// Everything here runs on the main thread, driven by the event loop, like the
// line-server base (quor_server.h). The waits of the test login and of the
// relay keep the event loop running; the waiting session pauses its input
// meanwhile and touches nothing afterwards when it was closed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/net/quor_client_socket.h"
#include "foundation/net/quor_server.h"
#include "message/accounts.h"
#include "message/email_msg.h"

namespace halvorn {

class TPop3Server;
class TPop3ServerSpawnedSocket;
class TEmailMsgList;

// The option bits of a web-mail account, kept in its Port.
inline constexpr std::int32_t kWebmailUnreadOnly = 1;
inline constexpr std::int32_t kWebmailMarkRead = 2;

// The banner the window gives the server (the server starts with it too).
inline constexpr const char* kPop3Banner = "+OK Halvorn POP3 server ready";

// The two original destinations the interception layer reports for web-mail
// connections.
inline constexpr const char* kHotmailMarkerAddress = "223.235.145.123";
inline constexpr const char* kMsnMarkerAddress = "223.235.145.124";

// Command codes of ParsePop3Command.
enum TPop3Command : int {
  pcUser = 0,
  pcPass = 1,
  pcApop = 2,
  pcQuit = 3,
  pcUnknown = 4,
  pcStat = 5,
  pcList = 6,
  pcRetr = 7,
  pcTop = 8,
  pcDele = 9,
  pcNoop = 10,
  pcLast = 11,
  pcRset = 12,
  pcAuth = 13,
  pcUidl = 14,
};

// The command of a client line: the line is trimmed and compared, upper-cased,
// with "USER ", "PASS ", "APOP", "QUIT", "STAT", "LIST", "RETR", "TOP",
// "DELE", "NOOP", "LAST", "RSET", "AUTH", "UIDL" in that order; the first
// that begins the line wins (a prefix test: "LISTX" is LIST, "USER" without a
// blank is unknown). The argument is the rest after the word, trimmed, in
// the line's own case; for an unknown command the whole trimmed line.
TPop3Command ParsePop3Command(const std::string& line, std::string& argument);

// A reference to a session that reads empty once the session is gone: how
// the window keeps the session whose login it holds. Main thread only.
class TPop3SessionHandle {
 public:
  TPop3SessionHandle() = default;
  // The session, or null when it has ended (or the handle is empty).
  TPop3ServerSpawnedSocket* Get() const;
  explicit operator bool() const { return Get() != nullptr; }

 private:
  friend class TPop3ServerSpawnedSocket;
  explicit TPop3SessionHandle(std::weak_ptr<TPop3ServerSpawnedSocket*> session)
      : FSession(std::move(session)) {}
  std::weak_ptr<TPop3ServerSpawnedSocket*> FSession;
};

// The window's answer to a login: set `waitForPopClient` to hold the login
// reply back until it calls ReleaseWaitingLogin. `waitForPopClient` is false
// on entry.
using TOnUserConnectedButNoWaitingMailEvent =
    std::function<void(TPop3ServerSpawnedSocket* session, bool& waitForPopClient)>;

// The server. Main thread only; needs the event loop.
class TPop3Server : public TQuorServer {
 public:
  // Port 110, MaxConnections 10, TimeOut 60000, the banner above; the log
  // source "TPop3Server". Remembers FirstTimeRun (heartbeat.h) as it stands
  // now: the welcome message is added on the first run only.
  TPop3Server();
  // Ends every session first (each runs its end while the server is whole).
  ~TPop3Server() override;

  // The any-local-host option ("AcceptAnyLocal"): a wrong password is
  // accepted from a peer of this machine owned by this program's user, and
  // a direct session from this machine gets all mail of the queue.
  bool AcceptAnyLocal() const { return FAcceptAnyLocal; }
  void SetAcceptAnyLocal(bool on) { FAcceptAnyLocal = on; }

  // Keeps the messages whose source account no longer exists (set while the
  // accounts could not be read at start-up: every account is missing then,
  // and its mail must not go as orphaned). Off by default.
  bool KeepOrphans() const { return FKeepOrphans; }
  void SetKeepOrphans(bool on) { FKeepOrphans = on; }

  // Raised after every successful login that is not the first-run welcome
  // (see TOnUserConnectedButNoWaitingMailEvent).
  TOnUserConnectedButNoWaitingMailEvent OnUserConnectedButNoWaitingMail;

  // The first-run welcome message has been queued (once per server).
  bool WelcomeAdded() const { return FWelcomeAdded; }
  bool FirstRunAtCreation() const { return FFirstRun; }

  // The sessions now alive, oldest first.
  std::vector<TPop3ServerSpawnedSocket*> Sessions() const;

 protected:
  std::unique_ptr<TQuorServerSpawnedSocket> CreateConnection(
      std::unique_ptr<platform::TcpConnection> socket) override;

 private:
  friend class TPop3ServerSpawnedSocket;
  bool FWelcomeAdded = false;
  bool FAcceptAnyLocal = false;
  bool FFirstRun = false;
  bool FKeepOrphans = false;
};

// One connection of the server.
class TPop3ServerSpawnedSocket : public TQuorServerSpawnedSocket {
 public:
  TPop3ServerSpawnedSocket(TPop3Server* server, std::unique_ptr<platform::TcpConnection> socket);
  // The end of the session (see EndSession), unless it ran already.
  ~TPop3ServerSpawnedSocket() override;

  // --- Overridden base operations ---
  // Refuses, before the banner and before any line is read, a peer that
  // is not this machine while the server is restricted to local peers, and
  // one from another machine beyond MaxConnections.
  bool AcceptPeer() override;
  void AfterBanner() override;
  // Logs the line (unless it is the password) and handles it.
  void ProcessLine(const std::string& line) override;
  // A relayed session never times out.
  void TimedOut() override;
  // Also drops the held reply.
  void ResetInput() override;
  // Sends the text, then the line "Halvorn POP3 server signing off", and
  // disconnects; the session goes back to state 0.
  void SignOff(const std::string& text) override;
  // Also keeps the claims of the mailbox fresh.
  void TickTimer() override;

  // --- The protocol ---
  void HandleCommand(TPop3Command code, const std::string& line, const std::string& argument);

  // The window's release of a held login: sends the held reply, fills the
  // mailbox again and lets the input that waited be handled.
  void ReleaseWaitingLogin();
  // Fills the mailbox from the queue; false when the session gets none.
  bool LoadMailbox();

  // The original destination of an intercepted connection (dotted), taken
  // from the mapping table once and kept; empty for a direct connection.
  std::string GetOriginalDestination();
  bool IsIntercepted() { return !GetOriginalDestination().empty(); }
  bool AnyLocalHostAllowed() const;
  // Queues the first-run welcome message in the processed-incoming queue.
  void AddWelcomeMessage();

  // The relay to the real server of a session whose account is not
  // processed.
  void ConnectPassThrough();
  void RelayPop3Command(const std::string& line, bool multiLine);

  // The peer is on this machine and its socket is owned by this program's
  // user (looked up once). Only such peers get the password exemptions and
  // the adoption of login data into the local account.
  bool PeerIsOwnUser();

  // The handle the window keeps for a held session.
  TPop3SessionHandle Handle() const { return TPop3SessionHandle(FSelf); }

  // --- State, for the window and tests ---
  std::uint8_t State() const { return FState; }
  const std::string& UserName() const { return FUserName; }
  TLocalAccountRef LocalAccount() const { return FLocalAccount; }
  TRemoteAccountRef RemoteAccount() const { return FRemoteAccount; }
  int MailboxCount() const { return static_cast<int>(FMessages.size()); }
  bool LoginHeld() const { return FLoginHeld; }
  bool Relayed() const { return FPassThrough != nullptr; }
  TClaimOwner ClaimOwnerToken() const { return FClaimOwner; }
  // The server's log source + "(" + connection number + ")".
  const std::string& ClaimText() const { return FClaimText; }

  // Runs the end of the session once: the messages a reader took without
  // QUIT go to the held-mail queue, flags and claims are released. Called by
  // the destructor, and by the server before it goes.
  void EndSession();

 private:
  void HandleUser(const std::string& argument);
  void HandlePass(const std::string& argument);
  // Finds or creates the web-mail account of the login; false (replied)
  // when the service refuses it.
  bool WebmailLogin(const std::string& baseName, bool hotmail);
  // The reply to a wrong password; the session awaits USER again.
  void RefuseLogin(const std::string& baseName);
  // A message whose UIDL its account records as deleted is the leftover of
  // a QUIT that could not remove it: removed (the state kept), true.
  bool RemoveInterruptedQuitLeftover(const TEmailMsgRef& msg, const TRemoteAccountRef& source,
                                     const std::string& uidl);
  void Reply(const std::string& text);
  // Input waits while the session waits on something else (a test login, the
  // relay, a held login); resuming inside a command takes effect once the
  // command has ended.
  void PauseInput();
  void ResumeInput();
  void HandleTransaction(TPop3Command code, const std::string& line, const std::string& argument);
  void HandleQuit(const std::string& line);
  void SendRetr(const std::string& argument);
  void SendTop(const std::string& argument);
  void SendListing(TPop3Command code, const std::string& argument);
  void FinishLogin();
  void ReleaseMailbox();
  bool ClaimAndList(const TEmailMsgRef& msg);
  // Another valid owner holds the message's claim.
  bool HeldByOther(const TEmailMsgRef& msg) const;
  // Sends the lines and the terminating "."; false when closed.
  bool SendBlock(std::vector<std::string> lines);
  // After a wait that ran the event loop: the session is still there for
  // the peer.
  bool StillConnected() const;
  // The processed-incoming queue of the account's repository.
  TEmailMsgList* Queue(const TLocalAccountRef& account) const;
  // Notes that the reader took the last RETR reply whole.
  void ConfirmPendingRetr();

  TPop3Server* FPop3Server;
  std::uint8_t FState = 0;
  std::string FUserName;
  std::string FPassword;
  TLocalAccountRef FLocalAccount;
  TRemoteAccountRef FRemoteAccount;
  std::vector<TEmailMsgRef> FMessages;
  // Per mailbox position: the reader took a RETR reply of it whole.
  std::vector<bool> FTaken;
  // Per mailbox position: the side record's UIDL and source account as they
  // were when it was listed (RecordKey).
  std::vector<std::string> FRecordKeys;
  // The last RETR reply (mailbox index, the send count at its end) until its
  // taking is confirmed; index -1 when none.
  int FPendingRetr = -1;
  std::int64_t FPendingRetrEnd = 0;
  std::int32_t FLastAccessed = 0;
  std::int32_t FRetrievedCount = 0;
  std::string FHeldReply;
  bool FLoginHeld = false;
  bool FQuitReceived = false;
  bool FDestinationLooked = false;
  std::string FOriginalDestination;
  int FPeerOwnUser = -1;  // -1 not yet looked up
  std::unique_ptr<TQuorClientSocket> FPassThrough;
  TClaimOwner FClaimOwner;
  std::string FClaimText;
  std::int64_t FLastClaimRenewal = 0;
  bool FEnded = false;
  bool FInCommand = false;
  bool FResumeAfterCommand = false;
  std::shared_ptr<TPop3ServerSpawnedSocket*> FSelf;
};

}  // namespace halvorn
