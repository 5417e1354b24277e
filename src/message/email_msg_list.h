// TEmailMsgList: one message queue, an ordered list of messages that mirrors
// one folder of message files.
//
// A user's repository (message_repository.h) owns six queues. A message is in
// at most one queue (TEmailMsg::GetList names it), and once it is in a queue
// and saved, its file lies in the queue's folder under a name made from its
// subject. Joining a queue moves the file there; leaving one for good
// (obliteration) deletes it.
//
// Ownership. The list holds one reference (TEmailMsgRef) to each message.
// Whatever hands a message past the queue lock (Items, the searches, the
// collectors, Snapshot) hands a reference. Delete and the obliterations drop
// the queue's reference only after the queue lock is released, so the
// message's destroy rules (a save; up to 1000 ms waiting for its address
// check) run when the last holder lets go, never under the queue lock.
//
// Locks. "EmailMsgList_CS" guards the list and every operation below except
// where an entry says otherwise; an operation that cannot take it within the
// lock's time-out raises ECriticalSectionException. Lock order: repository
// registry, repository, queue, message, accounts. NewFileName takes no queue
// lock (a message's save calls it holding the message's lock), and the three
// counts only try the queue lock and each message's lock (TryEnter), so the
// main thread's status tick never waits for a queue or a message.
//
// Notices. Every change posts WM_QUEUE_CHANGED (PostMsgListChanged) with the
// queue and a change code (TQueueChange); a post made before the main window
// stores its handle is dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "message/email_msg.h"
#include "message/email_msg_links.h"

namespace halvorn {

// The change codes posted with WM_QUEUE_CHANGED.
enum TQueueChange : std::uint8_t {
  qc_Removed = 2,      // Remove: a message taken out, not freed
  qc_SendDueNow = 3,   // SendDueNow
  qc_SendAllNow = 4,   // SendAllNow
  qc_Obliterated = 5,  // ObliterateAt: a message removed for good
  qc_Deleted = 6,      // Delete: a message taken out and let go
  qc_Added = 7,        // Add (also every message LoadFolder adds)
};

class TEmailMsgList : public TEmailMsgListBase {
 public:
  // An empty queue without a folder; all counters 0. The name is the
  // queue's own (the repository names its queues after their accessors).
  explicit TEmailMsgList(std::string name = {});
  // Gives every message that has no file, or whose file is missing, a name
  // in the folder (NewFileName), then takes the messages out from the back
  // to the front (Delete: code 6 each), so a changed or never-saved message
  // is saved under its name when its last holder lets go. Never raises.
  ~TEmailMsgList() override;
  TEmailMsgList(const TEmailMsgList&) = delete;
  TEmailMsgList& operator=(const TEmailMsgList&) = delete;

  const std::string& Name() const { return FName; }

  // ---------------------------------------------------------------------------
  // Folder and owner. Neither takes the queue lock; set the folder before the
  // queue is shared (LoadFolder does) and do not change it afterwards.

  // Stores the path without one trailing "/".
  void SetFolder(const std::string& path);
  std::string Folder() const;
  // The user the queue belongs to ("SingleUser"); set by its repository.
  void SetUserName(const std::string& name);
  std::string UserName() const;

  // ---------------------------------------------------------------------------
  // The list

  // The message at the index; null outside 0 .. Count() - 1.
  TEmailMsgRef Items(int index);
  int Count();
  // The message's index; -1 when the queue does not hold it.
  int IndexOf(const TEmailMsg* msg);
  int IndexOf(const TEmailMsgRef& msg) { return IndexOf(msg.get()); }
  // The messages in order, each held by the caller.
  std::vector<TEmailMsgRef> Snapshot() override;

  // Posts code 7 and answers the message's index: appended at the end, or
  // kept where it is when the queue holds it. A message held by another
  // queue is first taken out of it (its Remove, code 2 there), before this
  // queue's lock is taken, so two opposite moves never wait on each other.
  // When the message's file exists, it is moved (under the message's lock,
  // taken after this queue's) to a new name from NewFileName; a taken name
  // is drawn again, never replaced. A move that fails leaves the file and
  // the message's name as they were and is logged; the message is in this
  // queue all the same. Answers -1, adding nothing, only when other threads
  // keep moving the message to other queues meanwhile.
  int Add(const TEmailMsgRef& msg) override;
  // Posts code 2; when the queue holds the message, takes it out (file
  // untouched, message not let go) and clears its queue. Answers its former
  // index, or -1.
  int Remove(const TEmailMsgRef& msg);
  // Posts code 6; takes the message at the index out, clears its queue and
  // drops the queue's reference after the lock is released (the destroy
  // rules run when the last holder lets go). Nothing else happens for an
  // index outside the list.
  void Delete(int index);
  // When the queue holds the message, puts it at the new index (clamped to
  // the list); otherwise nothing. Both argument orders are offered.
  void Move(int newIndex, const TEmailMsgRef& msg);
  void Move(const TEmailMsgRef& msg, int newIndex) { Move(newIndex, msg); }

  // Sets the folder and answers whether it exists. Adds a message (code 7
  // each) for every regular file of the folder whose name ends in ".eml" in
  // any case, in name order, without loading any: only the head of each file
  // and its side record are read, once, for the message's index
  // (TEmailMsg::ReadIndexFromFile), after the queue lock is released. Hidden
  // files (temporary files of interrupted saves) and files the queue already
  // holds are left out, so loading a folder again adds only what is new.
  bool LoadFolder(const std::string& folder);
  // Posts code 7 and answers the message's index: a message whose file lies
  // in the queue's folder already (the mail store placed it there) joins
  // the queue without a move. -1 when another queue holds it.
  int Adopt(const TEmailMsgRef& msg);
  // The message's index entry, read from its file first when not known yet.
  static TEmailMsg::TIndexEntry IndexEntryOf(TEmailMsg& msg);

  // A free path in the folder for the message's file, named from the first
  // 20 characters of its decoded subject (the message is read and parsed
  // when it is not yet), blanks replaced (GetUniquePath). Empty when the
  // queue has no folder. Takes no queue lock: safe under the message's lock.
  std::string NewFileName(TEmailMsg& msg) override;
  // The same for a message whose subject (as TEmailMsg::GetSubject gives
  // it) the caller knows; the message need not be parsed.
  std::string NewFileNameForSubject(std::string subject);

  // ---------------------------------------------------------------------------
  // Obliteration

  // False when the queue does not hold the message; else ObliterateAt.
  bool Obliterate(const TEmailMsgRef& msg, bool deleteRemote, const std::string& reason) override;
  // Removes the message at the index for good: with a source remote account,
  // its UIDL's state there becomes us_Deleted (deleteRemote: the download
  // deletes it on the server) or us_DeletedLocal, logged under the reason
  // as service when the reason is not empty; the message is flagged deleted
  // (it never writes its file again), its file deleted, the message taken
  // out (code 6) and code 5 posted. False for an index outside the list.
  bool ObliterateAt(int index, bool deleteRemote, const std::string& reason);
  // Obliterates every message flagged deleted, walking from the back. A
  // failure ends the walk (logged, not raised).
  void ObliterateFlagged(bool deleteRemote, const std::string& reason);

  // ---------------------------------------------------------------------------
  // Searches

  // Walking from the back, the first message whose UIDL equals the text
  // exactly, from the index: no message is read, none waited for (messages
  // whose lock another thread holds are passed by). Null when none (always
  // for an empty text).
  TEmailMsgRef FindByUidl(const std::string& uidl);
  // Walking from the back, the first message whose side-record Id is the
  // number. Reads no file: a message not yet read is found only by the
  // provisional Id of its creation.
  TEmailMsgRef FindByContentId(std::int32_t id);
  // Every message whose side record names the remote account id (exact
  // comparison, from the index) gets the account as its source
  // (TEmailMsg::FSetSourceRemoteAccount: only those are read). Answers how
  // many.
  int ReassignRemoteAccount(const std::string& accountId, const TRemoteAccountRef& account);
  // Appends every message whose side record names the remote account id,
  // walking from the back, from the index.
  void CollectByRemoteAccount(const std::string& accountId, std::vector<TEmailMsgRef>& list);

  // ---------------------------------------------------------------------------
  // Counts. None of them waits: when the queue lock is busy they answer at
  // once from their last complete run; a message whose lock another thread
  // holds counts as locked. Messages flagged deleted are never counted.

  // Per message: locked, not loaded or claimed by another owner: due; send
  // time before now: due; before now + NumSecsDelay seconds: soon; else
  // later.
  void CountOutgoing(std::int32_t& due, std::int32_t& soon, std::int32_t& later);
  // Per message: locked, not loaded, claimed by another owner, or without
  // the state us_Read at its source account: unread; else read.
  void CountRead(std::int32_t& read, std::int32_t& unread);
  // The messages not flagged deleted.
  std::int32_t CountNotDeleted();

  // ---------------------------------------------------------------------------
  // Send times

  // Posts code 3; every message whose send time lies before now +
  // NumSecsDelay seconds gets the send time now.
  void SendDueNow();
  // Posts code 4; every message gets the send time now.
  void SendAllNow();

  // The queue's lock, for callers that need several operations as one.
  TMutexCriticalSection& ListLock() { return FLock; }

 private:
  // Takes the message at the index out of the list and clears its queue;
  // answers the reference for the caller to drop after the lock goes.
  TEmailMsgRef TakeOutLocked(int index);
  // ObliterateAt under the lock; the taken reference goes into `taken`.
  bool ObliterateLocked(int index, bool deleteRemote, const std::string& reason,
                        std::vector<TEmailMsgRef>& taken);
  int IndexOfLocked(const TEmailMsg* msg) const;
  // The message's file name when it has none or its file is missing.
  void NameUnsavedMessage(TEmailMsg& msg);
  std::int32_t NumSecsDelay() const;

  const std::string FName;
  TMutexCriticalSection FLock{"EmailMsgList_CS"};
  std::vector<TEmailMsgRef> FMessages;  // guarded by FLock; index 0 is the front

  // The last complete counts.
  std::atomic<std::int32_t> FDueCount{0}, FSoonCount{0}, FLaterCount{0};
  std::atomic<std::int32_t> FReadCount{0}, FUnreadCount{0};
  std::atomic<std::int32_t> FNotDeletedCount{0};

  // Folder and user: read without the queue lock.
  mutable std::mutex FNamesLock;
  std::string FFolder;
  std::string FUserName;
};

}  // namespace halvorn
