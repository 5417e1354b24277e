// The worker that fetches the user's mail from the remote POP3 accounts into
// the unprocessed-incoming queue.
//
// For every account it selects it logs in, lists the messages by UIDL,
// deletes on the server what the reader deleted through the local POP3
// server, downloads what it has not seen, stores each message with a
// Received line of its own and a raw backup, and logs off. Login failures are
// counted and, at a threshold, reported to the user as a message in the
// processed-incoming queue. Web-mail accounts go to the web-mail download.
//
// The window creates the thread suspended (CreateQuorThread<...>(true)), sets
// its time-out and starts it with a selection mode; the thread suspends itself
// when the selection takes nothing. It reports progress by posting
// WM_POP_STATUS and an escaped error with WM_DOWNLOAD_THREAD_FAILED.
//
// What must survive a crash and a power cut: the messages of a connection
// are stored through one batch of the mail store (mail_store.h), committed
// before the connection sends any DELE or its QUIT, at its end, and after
// every 100 messages; only then are their UIDLs recorded as downloaded, and
// the accounts are saved (accounts_saver.h) after each connection that
// changed a UIDL state. A message of the account and UIDL found in the store
// is recorded rather than fetched again.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/net/quor_client_socket.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/quor_thread.h"
#include "message/accounts.h"
#include "message/email_msg.h"
#include "message/mail_store.h"

namespace halvorn {

class TEmailMsgList;
class TMessageRepository;

// Window messages of the download.
constexpr std::uint32_t WM_WEBMAIL_PAYMENT_REQUIRED = 0x4C9;

// The "LimitDownloadCount" switch of the registry section "Download": on
// unless the registry says otherwise; read once, on first use. While on, one
// connection stores at most 100 messages of an account and nothing is
// fetched while more than the queue cap wait unprocessed. Any thread.
bool LimitDownloadCount();
// Overrides the switch (the benchmark, tests).
void SetLimitDownloadCount(bool on);
// Test seam: the download records the UIDLs of a connection and saves the
// accounts before its batch commits, and sends DELE and QUIT without
// committing first: the fault the ordering checker must catch.
void SetDownloadCommitsLateForTests(bool late);

// The last error text of a web-mail download. Any thread.
std::string LastWebmailError();

// Account selection modes of StartWithMode.
enum TDownloadMode : std::uint8_t {
  dmAny = 0,           // any other trigger: every account
  dmCheckNow = 1,      // the "Check for Mail Now" button, the window: every account
  dmTimer = 2,         // timers and the Status tab: used in this run or the last
  dmStartup = 3,       // the check at start-up: used in the last run
  dmReaderWaiting = 4, // a POP3 session waits: used in this run
  dmShutDown = 5,      // shut-down: none
  dmOneAccount = 6,    // a menu item for one account: the waiting ones
  dmPendhold = 7,      // the Pendhold view: used in this run or the last
};

class TDownloadRemoteMailThread : public TQuorThread {
 public:
  // Frees itself when it ends. Make it with CreateQuorThread<...>(true).
  TDownloadRemoteMailThread();
  ~TDownloadRemoteMailThread() override;

  // Sets the mode, then resumes the thread. Any thread.
  void StartWithMode(std::uint8_t mode);
  // The line time-out (60000 ms unless set); also applied to a live client.
  // Any thread.
  void SetTimeOut(int ms);
  int TimeOut() const { return FTimeOut.load(); }

  // The window's request to stop the thread (shut-down): set it, then start
  // the thread with mode 5. The client's waits end at once.
  std::atomic<bool> FStopRequested{false};
  // The window's cancel (its button, WM_CANCEL_DOWNLOAD): the connection
  // ends as at a stop, with QUIT where the dialogue allows, and the thread
  // takes no further account until the next StartWithMode.
  void CancelDownload() { FCancelRequested.store(true); }
  bool CancelRequested() const { return FCancelRequested.load(); }

  // Execute has ended.
  bool Finished() const { return FFinished.load(); }

  // The most messages stored from one account in one connection, and the
  // most that may wait unprocessed (1000 in developer mode, else 100).
  int MaxPerAccount() const { return FMaxPerAccount; }
  int QueueCap() const { return FQueueCap; }

 protected:
  void Execute() override;

 private:
  // The client states.
  enum : std::uint8_t {
    csIdle = 0,
    csConnecting = 1,
    csBanner = 2,
    csUser = 3,
    csPass = 4,
    csUidl = 5,
    csUidlListing = 6,
    csList = 7,
    csListListing = 8,
    csRetr = 9,
    csMessage = 10,
    csDele = 11,
    csQuit = 12,
  };

  bool StopHolds();
  bool ConnectAccount();
  // The login dialogue on the connected client (pop3_protocol.h); on
  // success the UIDL listing is asked for.
  void Login();
  // The server refused the password (its reply): a login failure, or the
  // account merged into another of the same login at the same server.
  void PasswordRefused(const std::string& line);
  bool SelectNextAccount();
  bool ModeAllows(const TRemoteAccount& account) const;
  void ReadReply();
  void HandleReply(const std::string& line);
  void ProcessNextMessage();
  void StoreMessage();
  // Commits the connection's batch; false (logged) when it failed.
  bool CommitBatch();
  void SendQuit();
  void WriteLine(const std::string& line);
  void SetState(std::uint8_t state);
  void FinishAccount();
  void Abort();
  void ReportLoginFailure(const std::string& error);
  void DownloadWebmailAccount();
  void OnClientDisconnect();
  void OnClientError(const std::string& text);
  // The account's mailbox address: its EmailAddress, else the first To or
  // CC address of the header lines that belongs to the account (learnt).
  std::string MailboxAddress(const TStringList& lines);
  bool AddressBelongsToAccount(const std::string& domain);
  // The repository of the local account being worked on.
  TMessageRepository* Repository() const;
  std::string ReceivedLine();
  // The UIDLs of this account's messages in the six queues, built once per
  // connection; a miss is confirmed by a fresh look-up.
  bool AccountHoldsUidl(const std::string& uidl);
  bool AccountHoldsUidlIndexed(const std::string& uidl);
  void BuildUidlIndex(std::set<std::string>& index);
  void FlagCulledMessages(const TStringList& culled);
  std::string UserId() const;

  std::atomic<std::uint8_t> FMode{0};
  std::atomic<bool> FCancelRequested{false};
  std::atomic<bool> FFinished{false};
  std::atomic<int> FTimeOut{60000};
  TLocalAccountRef FLocalAccount;
  TRemoteAccountRef FRemoteAccount;
  std::unique_ptr<TQuorClientSocket> FClient;
  std::uint8_t FState = csIdle;
  // UIDLs by message number, from the UIDL listing.
  std::map<std::int32_t, std::string> FUidls;
  // The message numbers of the LIST listing, in order.
  std::vector<std::int32_t> FNumbers;
  TStringList FLines;
  std::int32_t FMessageCount = 0;
  std::int32_t FCurrent = 0;  // position in FNumbers of the message being handled, 1-based
  std::string FDeletingUidl;
  TStringList FDeletedUidls;
  std::int32_t FDownloaded = 0;
  std::int32_t FDeleted = 0;
  std::string FLastCommand;
  const std::int32_t FMaxPerAccount = 100;
  std::int32_t FQueueCap = 100;
  bool FFinishing = false;
  bool FStatesChanged = false;
  std::string FServerAddress;
  // Per connection: the UIDL index and when it was built, the mailbox
  // address of each domain looked up, and the owner of the claim on a
  // message being stored.
  bool FIndexBuilt = false;
  std::int64_t FIndexTime = 0;
  std::set<std::string> FUidlIndex;
  std::map<std::string, bool> FDomainChecks;
  TClaimOwner FClaimOwner;
  // The store's batch of the connection, and the UIDLs stored through it
  // since its last commit.
  std::unique_ptr<TMailStore::TBatch> FBatch;
  std::vector<std::string> FStoredUidls;
};

}  // namespace halvorn
