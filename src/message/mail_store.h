// The mail store: the one owner of what makes a message safe.
//
// A message lives in several places on the disk: its message file in the
// folder of its queue (with the processing marks in its property line), its
// side record (EmailInfo/<Id>.dat), its raw backup and report files, and the
// UIDL state its source account keeps in the accounts file. Every transition
// that changes more than one of them goes through here, and one Recover at
// start-up finishes or undoes whatever a crash interrupted:
//
//   transition             who asks                  made safe by
//   store a download       the download thread       its batch's commit, before
//                                                    the UIDL is recorded
//   commit a processed one the incoming processing   its batch's commit, before
//                                                    the claim is let go
//   hold, trash, move      actions, the window       the batch of the thread
//                                                    (or at once without one)
//   obliterate             the queues                the same
//   expunge on QUIT        the local POP3 server     states saved, files removed,
//                                                    one commit, then "+OK"
//   join split messages    the incoming processing   each step durable in turn
//
// The message operations of the Parts (TEmailMsg::SendToPendhold,
// MoveToTrash, Obliterate, SetUidl; the queues' and the repository's
// members) keep their interfaces and file formats; underneath they stage
// their writes and moves in the calling thread's batch (durability_batch.h),
// which a TMailStore::TBatch opens. Workers and the POP3 server call the
// operations here and touch no message file, mark, side-record file or UIDL
// state themselves.
//
// The index. Every queued message keeps, apart from its text, what the
// look-ups need (TEmailMsg::IndexEntry: UIDL, source account, size, marks),
// read once when its queue loads it or set when it is stored; presence by
// UIDL, the duplicate check and the mailbox of a POP3 session read only the
// index. A queued message nobody works on keeps only that: its text is
// released once its batch has committed or its reader has it.
//
// What a crash or a power cut leaves. Every message once and whole: in its
// old form and queue, or in its new form and queue, never empty, truncated
// or twice. A downloaded message whose batch did not commit is not in the
// store, and its UIDL was not recorded, so the server still has it and the
// next download fetches it. A QUIT whose "+OK" was not sent may or may not
// have removed the reader's deletions; their UIDL states are saved first, so
// Recover removes any left and the download deletes them on the server.
//
// Threads. Any thread may use the store; a TBatch belongs to the thread that
// made it. Lock order as for the repository (repository, queue, message,
// accounts); the store takes no lock of its own around them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/files/durability_batch.h"
#include "foundation/text/string_list.h"
#include "message/accounts.h"
#include "message/email_msg.h"

namespace halvorn {

class TEmailMsgList;
class TMessageRepository;

// ---------------------------------------------------------------------------
// The queues: their names (the queues' own) and folders, in the order in
// which the repository creates, loads, searches and frees them.

inline constexpr int kQueueCount = 6;
struct TQueueDescription {
  const char* Name;
  std::string (*Folder)(const std::string& userName);
};
// UnProcessedIncoming, ProcessedIncoming, UnprocessedOutGoing,
// ProcessedOutGoing, Pendhold, Trash.
const TQueueDescription& QueueDescription(int index);
// Every folder the store keeps files of the user in: the six queues, the
// partials, the backups, the reports, the relay copies and the side records.
// The program creates them at start-up; Recover cleans them.
std::vector<std::string> StoreFolders(const std::string& userName);
// The folder of the store's commit journals (durability_batch.h).
std::string StoreJournalFolder(const std::string& userName);

// Why Recover removed a message the reader had deleted before a restart.
inline constexpr const char* kInterruptedQuitReason = "Deleted by the mail reader before a restart";

// A downloaded message as the download thread hands it to the store.
struct TDownloadedMessage {
  TStringList Lines;         // the message as received (dot-stuffing undone)
  std::string ReceivedLine;  // the program's own Received line, put first
  std::string Uidl;
  TRemoteAccountRef Account;
  std::string Mailbox;   // the account's mailbox address ("MailBox")
  std::string SourceIP;  // the server's address ("SourceIP")
};

class TMailStore {
 public:
  // A batch of transitions made by one thread: while it lives, the thread's
  // writes and moves of messages (and their side records, reports and
  // backups) are staged, and Commit makes them durable together. Messages
  // kept claimed stay claimed until then, so nobody serves or takes a
  // message whose file is not in place yet.
  class TBatch {
   public:
    explicit TBatch(TMailStore& store);
    // Drops what was not committed (logged when anything was staged): the
    // files stay as they were; messages kept are put back where their files
    // lie, with their unsaved changes dropped, and their claims let go.
    ~TBatch();
    TBatch(const TBatch&) = delete;
    TBatch& operator=(const TBatch&) = delete;

    // The message stays claimed by `owner` until the batch has committed
    // (or gone); then its claim goes and, when its file holds it, its text.
    void KeepClaimed(const TEmailMsgRef& msg, TClaimOwner owner, const std::string& text);
    // Runs after the commit (also a failed one), in the order given.
    void AfterCommit(std::function<void()> action);
    // Commits, then lets the kept messages go and runs the actions. Answers
    // the commit's error (empty on success). The batch may be used again.
    std::string Commit();
    // Nothing staged, kept or waiting to run.
    bool Empty() const;
    // Messages kept or stored in the batch.
    int MessageCount() const { return FMessageCount; }

   private:
    friend class TMailStore;
    void LetGo(bool committed);

    TMailStore& FStore;
    TDurabilityBatch FDurability;
    TDurabilityScope FScope;
    struct TKept {
      TEmailMsgRef Msg;
      TClaimOwner Owner;
      std::string Text;
    };
    std::vector<TKept> FKept;
    std::vector<std::function<void()>> FAfter;
    int FMessageCount = 0;
  };

  TMailStore() = default;
  TMailStore(const TMailStore&) = delete;
  TMailStore& operator=(const TMailStore&) = delete;

  // The user's repository (loaded on first use).
  TMessageRepository& Repository();

  // ---- Look-ups (the index; no message file is read)

  // A message of the account with the UIDL lies in one of the six queues,
  // or is stored in a batch not yet committed.
  bool HoldsUidl(const std::string& accountId, const std::string& uidl);
  // The UIDLs of the account's queued messages.
  std::set<std::string> UidlsOfAccount(const std::string& accountId);
  // The processed-incoming queue holds another message with the UIDL from
  // the account (the duplicate check of the incoming processing).
  bool IsProcessedDuplicate(const TEmailMsg& msg, const std::string& uidl,
                            const std::string& accountId);
  // The message's UIDL is recorded us_Deleted at its source account: the
  // reader deleted it and the removal of its file did not happen.
  bool IsExpunged(TEmailMsg& msg);

  // ---- Transitions

  // Stores a downloaded message in the unprocessed-incoming folder through
  // the batch (message file, side record and raw backup staged); at the
  // batch's commit it joins the queue, its UIDL is recorded us_Downloaded at
  // its account, its text is released and the incoming processing is woken.
  // Until then HoldsUidl counts it. Null when it could not be staged
  // (logged).
  TEmailMsgRef StoreDownloaded(TBatch& batch, TDownloadedMessage message);
  // The processed message leaves unprocessed-incoming for
  // processed-incoming with the mark "Started ProcessingInc" removed, its
  // new text and place staged in the batch, which keeps it claimed by
  // `owner`. False (nothing staged) when the move fails.
  bool CommitProcessed(TBatch& batch, const TEmailMsgRef& msg, TClaimOwner owner,
                       const std::string& claimText);
  // A message met with the mark "3" (finished) or "Excepted Processing"
  // goes on to processed-incoming as its file has it (a "3" removed),
  // through the batch, which keeps it claimed by `owner`.
  bool PassOnMarked(TBatch& batch, const TEmailMsgRef& msg, TClaimOwner owner,
                    const std::string& claimText);
  // A message whose processing failed goes on unanalysed: in
  // unprocessed-incoming its changes are dropped and it goes to
  // processed-incoming; held elsewhere it stays held; either way with
  // "Excepted Processing" = "1" and without "Started ProcessingInc". One in
  // the trash is obliterated.
  void PassOnUnanalysed(TBatch& batch, const TEmailMsgRef& msg, TClaimOwner owner,
                        const std::string& claimText);
  // The local POP3 server's QUIT: the UIDLs of the messages deleted become
  // us_Deleted and the accounts are saved; then the side records that
  // changed are saved, the deleted messages obliterated, and all of it
  // committed before the call returns (the caller replies "+OK" then).
  // Answers the first error (logged), empty when all went well.
  std::string ExpungeOnQuit(const std::vector<TEmailMsgRef>& deleted,
                            const std::vector<TEmailMsgRef>& recordsChanged,
                            const std::string& reason);
  // The culled UIDLs of the account (gone from its server): its queued
  // messages with them are flagged deleted unless another owner holds them.
  // Answers how many.
  int FlagCulled(const std::string& accountId, const TStringList& culled);

  // A piece of a split message (message/partial): stored in the partials
  // folder; once the set is complete the joined message is written beside
  // the pieces, the piece messages and pieces go, and the joined message
  // joins unprocessed-incoming. Each step is durable before the next
  // begins, so a crash leaves the pieces or the joined file, which Recover
  // adopts. False when the message is no piece (nothing done); true when it
  // was taken (it is gone from its queue). Raises on a failed write of the
  // joined message (the pieces stay).
  bool TakePiece(const TEmailMsgRef& msg);

  // Start-up, with no worker running: replays the commit journals, removes
  // the temporary files of batches that never committed, loads the queues
  // (dropping messages whose files are gone), adopts joined split messages
  // a crash left beside their pieces, passes marked messages on (finished
  // "3" and "Excepted Processing" ones to processed-incoming, the "3"
  // removed) and obliterates the messages whose UIDL the reader deleted.
  // Answers how many files and messages it put right.
  int Recover();

  // The waker of the incoming processing: called after a commit that
  // stored downloaded mail. The thread installs it when it starts and
  // removes it (passing its own token) when it ends. Any thread.
  void SetArrivalWaker(std::function<void()> waker, const void* owner);
  void RemoveArrivalWaker(const void* owner);
  void WakeProcessing();

 private:
  void NotePending(const std::string& accountId, const std::string& uidl, bool add);
  int AdoptJoined(const std::string& joinedPath);
  void ObliteratePiecesOf(const std::string& id);

  std::mutex FPendingLock;
  std::multiset<std::pair<std::string, std::string>> FPending;  // (account id, UIDL)
  std::mutex FWakerLock;
  std::function<void()> FWaker;
  const void* FWakerOwner = nullptr;
};

// The store of the program's one user. Never null; lives as long as the
// program.
TMailStore& GetMailStore();

}  // namespace halvorn
