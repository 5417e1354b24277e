// The user's message repository: six queues, the moves between them, raw
// backups of arriving mail, and the registry that hands the repository out.
//
// The program serves one user, so there is one repository, named
// "SingleUser", whatever user name a caller gives. GetMessageRepository is
// the entry point of every other subsystem: the first call creates the
// repository and loads its six queues from their folders (reading no message
// file); it lives until the module ends.
//
// The six queues, in the order in which they are created, loaded, searched
// and freed, are named, with their folders under the user's Messages folder,
// in one place: the mail store's table (mail_store.h, QueueDescription):
// unprocessed incoming (downloaded mail awaiting analysis), processed
// incoming (analysed mail the reader may fetch), unprocessed outgoing,
// processed outgoing (mail for the send thread and its retries), Pendhold
// (mail held back for the user) and the trash.
//
// Locks, in this order only: the registry ("MsgReposList_CS"), the
// repository ("MessageRepository_CS"), a queue, a message, the accounts. The
// repository lock guards loading, renaming and every move. Nothing here takes
// a repository or queue lock while holding a message's lock; a caller that
// holds one raises std::logic_error in the message's own operations.
//
// Failures. Operations that answer a Boolean answer false when the message
// is not where it should be or a step fails (logged); an abandoned worker's
// unwinding and a lock time-out (ECriticalSectionException) pass through.
// The counts and the send-time setters over all repositories swallow every
// failure but the abandonment and answer what they have.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "message/email_msg.h"
#include "message/email_msg_links.h"
#include "message/email_msg_list.h"

namespace halvorn {

// The progress texts of the load, one for each queue but the trash.
inline constexpr const char* kLoadingTexts[] = {
    "Loading Unprocessed Incoming E-mail Messages", "Loading Processed Incoming E-mail Messages",
    "Loading Unprocessed Outgoing E-mail Messages", "Loading Processed Outgoing E-mail Messages",
    "Loading E-mail Messages in the Pendhold"};
// The name of a backup whose message has no subject.
inline constexpr const char* kNoSubjectLine = "No Subject Line";

class TMessageRepository : public TMessageRepositoryBase {
 public:
  // Six empty queues without folders and no user name; Load fills them.
  TMessageRepository();
  // Frees the queues in their order (each saves its changed messages, see
  // TEmailMsgList), then the lock. Free it only when no thread uses it.
  ~TMessageRepository() override;
  TMessageRepository(const TMessageRepository&) = delete;
  TMessageRepository& operator=(const TMessageRepository&) = delete;

  // The user name; empty until loaded.
  std::string UserName() const;

  // Under the repository lock: nothing for an empty name; otherwise each
  // queue in order reports its progress text through the heartbeat (the
  // trash none), loads its folder (TEmailMsgList::LoadFolder) and takes the
  // user name as its owner; then the repository takes the name.
  void Load(const std::string& userName);

  // The six queues. Never null; they live as long as the repository.
  TEmailMsgList* UnProcessedIncoming() { return FQueues[0].get(); }
  TEmailMsgList* ProcessedIncoming() { return FQueues[1].get(); }
  TEmailMsgList* UnprocessedOutGoing() { return FQueues[2].get(); }
  TEmailMsgList* ProcessedOutGoing() { return FQueues[3].get(); }
  TEmailMsgList* Pendhold() override { return FQueues[4].get(); }
  TEmailMsgList* Trash() override { return FQueues[5].get(); }
  // All six in their order.
  std::array<TEmailMsgList*, 6> Queues();
  // The queue of this repository that the message names as its own; null
  // when it names none of the six.
  TEmailMsgList* OwnQueueOf(const TEmailMsg& msg);

  // Traced as "MoveMailMessage". Under the repository lock: true at once
  // when both queues are the same; false when the message is not in `from`;
  // else the message joins `to` (TEmailMsgList::Add: out of `from`, its file
  // moved into `to`'s folder under a new free name) and the answer is true.
  bool MoveMailMessage(const TEmailMsgRef& msg, TEmailMsgList* from, TEmailMsgList* to);

  // Holds the message. The reason's non-empty lines go into the side
  // record's "PendholdText": as its comma text, or, when it has one, merged
  // into it after a line "Also:" (MergeCommaTexts, repeats dropped), also
  // when the message is held already. A message not yet held gets the
  // release time now + PendholdTime days as its send time and moves from
  // its queue (its own, else the first of unprocessed incoming, processed
  // incoming, unprocessed outgoing, processed outgoing and trash that holds
  // it) to the Pendhold queue. True when held; false when no queue holds it
  // or a step fails.
  bool SendToPendhold(const TEmailMsgRef& msg, const std::string& reason) override;
  // Stores the deletion code and the reason in the message, then moves it
  // to the trash queue as SendToPendhold does (searched in unprocessed
  // incoming, processed incoming, unprocessed outgoing, processed outgoing,
  // Pendhold). True when it is in the trash (already, or moved).
  bool SendToTrash(const TEmailMsgRef& msg, std::uint8_t code, const std::string& reason) override;

  // The first hit of each queue's search, the queues in order.
  TEmailMsgRef FindByUidl(const std::string& uidl);
  TEmailMsgRef FindById(std::int32_t id);
  // For each UIDL in order, the message FindByUidl finds is flagged deleted
  // unless another owner holds its claim; its queue obliterates it later.
  // Answers how many were flagged.
  int FlagDeletedByUidls(const TStringList& uidls);
  // TEmailMsgList::ReassignRemoteAccount over the six queues; the sum.
  int ReassignRemoteAccount(const std::string& accountId, const TRemoteAccountRef& account);
  // A message of the processed-incoming queue has the property
  // "FailureNotice" = "SMTP" (exact). False also when anything fails.
  bool HasSmtpFailureNotice();
  // Under the repository lock: when the repository has a user name and the
  // messages folders of the old and the new name are the same (ignoring
  // case), the repository and its queues take the new name: true. Else
  // nothing changes: false.
  bool RenameUser(const std::string& newName);

  TMutexCriticalSection& RepositoryLock() { return FLock; }

 private:
  // The first queue of the list that holds the message; null when none.
  static TEmailMsgList* FirstHolding(const TEmailMsgRef& msg,
                                     std::initializer_list<TEmailMsgList*> queues);

  mutable std::mutex FNameLock;
  std::string FUserName;  // guarded by FNameLock; changed under FLock too
  TMutexCriticalSection FLock{"MessageRepository_CS"};
  std::array<std::unique_ptr<TEmailMsgList>, 6> FQueues;
};

// The registry of repositories: exactly one repository, "SingleUser".
class TMsgReposList {
 public:
  TMsgReposList() = default;
  // Frees the repositories in index order.
  ~TMsgReposList();
  TMsgReposList(const TMsgReposList&) = delete;
  TMsgReposList& operator=(const TMsgReposList&) = delete;

  // The repository, whatever the name: the first one while there is one.
  // Otherwise, under the registry lock, creates the repository, loads it as
  // "SingleUser" and adds it, so two threads asking at once get the same
  // one. Once it exists the answer takes no lock. A lock time-out passes to
  // the caller.
  TMessageRepository* GetRepository(const std::string& userName);
  // The repository at the index; null outside the list. No lock waits.
  TMessageRepository* Items(int index) const;
  int Count() const;
  // Adds a repository (owned from now on).
  void Add(std::unique_ptr<TMessageRepository> repository);
  // The repositories in order, for walks over all of them.
  std::vector<TMessageRepository*> Repositories() const;
  // The first message whose side-record Id is the number, repositories in
  // order (TMessageRepository::FindById).
  TEmailMsgRef FindMessageById(std::int32_t id);

 private:
  TMutexCriticalSection FLock{"MsgReposList_CS"};
  // The list; changed under FLock and FListLock, read under FListLock.
  mutable std::mutex FListLock;
  std::vector<std::unique_ptr<TMessageRepository>> FItems;
};

// Module start-up: a fresh registry (any earlier one freed), and the hooks
// through which messages find their repository (FindMessageRepository) and
// a local account's new user id reaches it (SetRenameUserRepository).
// Module end: the hooks removed and the registry freed with its repository,
// which saves every changed message. Call both with no worker running.
void StartMessageRepositoryModule();
void EndMessageRepositoryModule();

// The global registry; made on first use when the module was not started.
TMsgReposList& GlobalMsgReposList();
// The repository (any user name gives "SingleUser"'s), created and loaded
// on first use. Never null.
TMessageRepository* GetMessageRepository(const std::string& userName);
// GetRepository for the user id of every local account (holding no account
// lock meanwhile); the main window calls it once at start-up.
void LoadAllRepositories();
// TMsgReposList::FindMessageById on the global registry; null also when
// anything fails (the side records use it).
TEmailMsgRef FindMessageByContentId(std::int32_t id);

// ---------------------------------------------------------------------------
// Over every repository, in registry order. None of the counts waits for a
// busy queue (it answers its last counts).

// The three outgoing counts of the unprocessed-outgoing queues (due now,
// due within NumSecsDelay, later), summed from 0.
void CountUnprocessedOutgoing(std::int32_t& due, std::int32_t& soon, std::int32_t& later);
// The same over the processed-outgoing queues (ready, and two counts of
// messages waiting for a later retry).
void CountProcessedOutgoing(std::int32_t& due, std::int32_t& soon, std::int32_t& later);
// The unprocessed-incoming messages not flagged deleted.
std::int32_t CountUnprocessedIncoming();
// The processed-incoming messages read at their source account, and the
// others.
void CountProcessedIncoming(std::int32_t& read, std::int32_t& unread);
// The user's send-now command: in each unprocessed-outgoing queue, every
// message due within NumSecsDelay gets the send time now.
void SendOutgoingNow();
// The user's retry of failed mail: every processed-outgoing message gets the
// send time now.
void RetryFailedOutgoing();

// The next message for the incoming processing thread: of the
// unprocessed-incoming messages, walked from the front, that are not flagged
// deleted, not locked by another thread and not claimed by another owner:
// the first that the pre-processing pass has visited (PrefetchDone) and whose
// address check has ended; else the first visited one; else the first. Null
// when none. A failure ends the walk with the best found so far.
TEmailMsgRef GetNextIncomingToProcess();
// The first unprocessed-outgoing message, in queue order, not flagged
// deleted and whose send time is not after now; null when none or on a
// failure.
TEmailMsgRef GetNextOutgoingToSend();
// Every message of the six queues whose claim the owner holds is released
// with the text (a POP3 session calls it when it ends).
void ReleaseMessageLocks(TClaimOwner owner, const std::string& text);

// ---------------------------------------------------------------------------
// Raw backups, in the user's "Backups" folder.

// Writes the raw lines of an arriving message (each followed by CR LF) to a
// new file and answers its path; empty when backups are off
// (DeleteMsgBackupsAfter 0) or the write fails (logged). One call in ten
// (RandomInt(10) == 5) first purges old backups, at most once a minute. The name is a free name
// (GetUniquePath, blanks replaced) from the 30 characters after "Subject:"
// of the first line of the header (up to the first empty line) that begins
// with "Subject:" in any case, or "No Subject Line" when there is none or
// those characters are empty, trimmed, and ".eml"; the file is written whole
// and never replaces another (a name taken meanwhile is drawn again). A null
// repository stands for "SingleUser"'s. Safe from any thread.
std::string SaveMessageBackup(TMessageRepository* repository, const TStringList& lines);
// The same; `path` receives the answer.
void SaveMessageBackup(TMessageRepository* repository, const TStringList& lines,
                       std::string& path);
// Deletes every ".eml" backup created before now - DeleteMsgBackupsAfter
// days (with 0 days, every backup); answers how many (-1 without a folder).
int PurgeMessageBackups(TMessageRepository* repository);

}  // namespace halvorn
