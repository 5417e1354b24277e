#include "message/mail_store.h"

#include <climits>
#include <stdexcept>

#include "foundation/threads/abandonment.h"
#include "foundation/app/log.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/code_page_1252.h"
#include "message/accounts_saver.h"
#include "message/email_header.h"
#include "message/email_info.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "message/partial_messages.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "MailStore";
// A joined split message waits beside its pieces under this suffix until it
// has joined the queue.
constexpr const char* kJoinedSuffix = ".joined";
constexpr const char* kPieceReason = "Partial message";

const TQueueDescription kQueues[kQueueCount] = {
    {"UnProcessedIncoming", &GetUnprocessedIncomingDir},
    {"ProcessedIncoming", &GetProcessedIncomingDir},
    {"UnprocessedOutGoing", &GetUnprocessedOutgoingDir},
    {"ProcessedOutGoing", &GetProcessedOutgoingDir},
    {"Pendhold", &GetPendholdDir},
    {"Trash", &GetTrashDir},
};

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool HeldByAnotherOwner(TEmailMsg& msg) {
  const TClaimOwner owner = msg.ClaimOwner();
  return owner != kNoClaimOwner && IsClaimOwnerValid(owner);
}

// The queue of the repository whose folder holds the file; null when none.
TEmailMsgList* QueueOfFile(TMessageRepository& repo, const std::string& path) {
  const std::string folder = FolderOf(path);
  for (TEmailMsgList* queue : repo.Queues())
    if (queue->Folder() == folder) return queue;
  return nullptr;
}

// What TEmailMsg::GetSubject gives for the lines: the decoded Subject, else
// the Message-ID, else "No subject"; from the header only.
std::string SubjectOfLines(const TStringList& lines) {
  TStringList headerLines;
  for (int i = 0; i < lines.Count() && !lines[i].empty(); ++i) headerLines.Add(lines[i]);
  TEmailHeader header;
  header.ParseLines(headerLines, false);
  std::string subject;
  if (header.GetSubject(subject) && !subject.empty()) return subject;
  if (header.GetValue("Message-ID", subject) && !subject.empty()) return subject;
  return "No subject";
}

}  // namespace

const TQueueDescription& QueueDescription(int index) {
  return kQueues[index < 0 || index >= kQueueCount ? kQueueCount - 1 : index];
}

std::vector<std::string> StoreFolders(const std::string& userName) {
  std::vector<std::string> folders;
  for (const TQueueDescription& queue : kQueues) folders.push_back(queue.Folder(userName));
  folders.push_back(GetPartialsDir(userName));
  folders.push_back(GetBackupsDir(userName));
  folders.push_back(GetReportsDir(userName));
  folders.push_back(GetRelayProbesDir(userName));
  folders.push_back(GetRelaySpamDir(userName));
  folders.push_back(EmailInfoDir());
  return folders;
}

std::string StoreJournalFolder(const std::string& userName) {
  return GetMessagesDir(userName) + "/Journal";
}

TMailStore& GetMailStore() {
  // Never destroyed: workers may still use it while the program ends.
  static auto* store = new TMailStore;
  return *store;
}

TMessageRepository& TMailStore::Repository() {
  return *GetMessageRepository(kSingleUserName);
}

// ---------------------------------------------------------------------------
// Batches

TMailStore::TBatch::TBatch(TMailStore& store) : FStore(store), FScope(&FDurability) {
  FDurability.SetJournalFolder(StoreJournalFolder(kSingleUserName), GetInstallDir());
}

TMailStore::TBatch::~TBatch() {
  try {
    if (!FDurability.Empty())
      Log(kLogService, "A batch of " + std::to_string(FMessageCount) +
                           " messages ended without its commit; its files stay as they were",
          5, true);
    FDurability.Discard();
    LetGo(false);
    for (const auto& action : FAfter) action();
  } catch (...) {
    // An abandoned worker unwinds through here: what is left is put right
    // by Recover at the next start.
  }
}

void TMailStore::TBatch::KeepClaimed(const TEmailMsgRef& msg, TClaimOwner owner,
                                     const std::string& text) {
  if (!msg) return;
  // Without an owner there is no claim to keep; the text goes after the
  // commit all the same.
  for (const TKept& kept : FKept)
    if (kept.Msg == msg) return;
  FKept.push_back({msg, owner, text});
  ++FMessageCount;
}

void TMailStore::TBatch::AfterCommit(std::function<void()> action) {
  FAfter.push_back(std::move(action));
}

bool TMailStore::TBatch::Empty() const {
  return FDurability.Empty() && FKept.empty() && FAfter.empty();
}

std::string TMailStore::TBatch::Commit() {
  const std::string error = FDurability.Commit();
  if (!error.empty()) Log(kLogService, "A commit failed: " + error, 5, true);
  LetGo(error.empty());
  std::vector<std::function<void()>> actions;
  actions.swap(FAfter);
  for (const auto& action : actions) action();
  FMessageCount = 0;
  return error;
}

void TMailStore::TBatch::LetGo(bool committed) {
  std::vector<TKept> kept;
  kept.swap(FKept);
  TMessageRepository* repo = nullptr;
  for (const TKept& entry : kept) {
    const TEmailMsgRef& msg = entry.Msg;
    // A message whose file did not reach its new queue goes back to the
    // queue its file lies in, as its file has it.
    TEmailMsgListBase* list = msg->GetList();
    const std::string file = msg->GetFileName();
    auto* queue = dynamic_cast<TEmailMsgList*>(list);
    if (queue != nullptr && !msg->IsFlaggedDeleted() && FileExists(file) &&
        queue->Folder() != FolderOf(file)) {
      if (repo == nullptr) repo = &FStore.Repository();
      if (TEmailMsgList* home = QueueOfFile(*repo, file)) {
        Log(kLogService,
            (committed ? "A message was not placed; it stays in " : "A batch was dropped; ") +
                home->Name() + ": " + file,
            5, true);
        queue->Remove(msg);
        home->Adopt(msg);
        msg->DropChanges();
      }
    }
    if (entry.Owner != kNoClaimOwner) msg->Unlock(entry.Owner, entry.Text);
    msg->ReleaseText();
  }
}

// ---------------------------------------------------------------------------
// Look-ups

void TMailStore::NotePending(const std::string& accountId, const std::string& uidl, bool add) {
  std::lock_guard<std::mutex> lock(FPendingLock);
  if (add) {
    FPending.insert({accountId, uidl});
  } else {
    const auto found = FPending.find({accountId, uidl});
    if (found != FPending.end()) FPending.erase(found);
  }
}

bool TMailStore::HoldsUidl(const std::string& accountId, const std::string& uidl) {
  if (uidl.empty()) return false;
  {
    std::lock_guard<std::mutex> lock(FPendingLock);
    if (FPending.count({accountId, uidl}) != 0) return true;
  }
  for (TEmailMsgList* queue : Repository().Queues()) {
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      const TEmailMsg::TIndexEntry entry = TEmailMsgList::IndexEntryOf(*msg);
      if (entry.Uidl == uidl && entry.AccountId == accountId) return true;
    }
  }
  return false;
}

std::set<std::string> TMailStore::UidlsOfAccount(const std::string& accountId) {
  std::set<std::string> uidls;
  {
    std::lock_guard<std::mutex> lock(FPendingLock);
    for (const auto& [account, uidl] : FPending)
      if (account == accountId) uidls.insert(uidl);
  }
  for (TEmailMsgList* queue : Repository().Queues()) {
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      const TEmailMsg::TIndexEntry entry = TEmailMsgList::IndexEntryOf(*msg);
      if (entry.AccountId == accountId && !entry.Uidl.empty()) uidls.insert(entry.Uidl);
    }
  }
  return uidls;
}

bool TMailStore::IsProcessedDuplicate(const TEmailMsg& msg, const std::string& uidl,
                                      const std::string& accountId) {
  const std::vector<TEmailMsgRef> processed = Repository().ProcessedIncoming()->Snapshot();
  for (auto it = processed.rbegin(); it != processed.rend(); ++it) {
    if (it->get() == &msg) continue;
    const TEmailMsg::TIndexEntry entry = TEmailMsgList::IndexEntryOf(**it);
    if (entry.Uidl == uidl && entry.AccountId == accountId) return true;
  }
  return false;
}

bool TMailStore::IsExpunged(TEmailMsg& msg) {
  const TEmailMsg::TIndexEntry entry = TEmailMsgList::IndexEntryOf(msg);
  if (entry.Uidl.empty() || entry.AccountId.empty()) return false;
  const TRemoteAccountRef account = GlobalLocalAccounts().FindRemoteAccountById(entry.AccountId);
  return account && account->GetUidlStatus(entry.Uidl) == us_Deleted;
}

// ---------------------------------------------------------------------------
// Transitions

TEmailMsgRef TMailStore::StoreDownloaded(TBatch& batch, TDownloadedMessage message) {
  TMessageRepository& repo = Repository();
  TEmailMsgList* queue = repo.UnProcessedIncoming();
  const std::string accountId = message.Account ? message.Account->UniqueId() : std::string();
  // Staged in the batch with the message: a backup is never the only copy.
  const std::string backup = SaveMessageBackup(&repo, message.Lines);
  TEmailMsgRef msg = TEmailMsg::Create(nullptr);
  TStringList lines;
  lines.Add(message.ReceivedLine);
  lines.AddStrings(message.Lines);
  msg->SetRawMail(lines);
  msg->SetInfoValue(TEmailInfoKey::MailBox, message.Mailbox);
  msg->SetInfoValue(TEmailInfoKey::SourceIP, message.SourceIP);
  msg->SetInfoValue(TEmailInfoKey::BackupFile, backup.substr(backup.rfind('/') + 1));
  msg->SetInfoValue(TEmailInfoKey::UIDL, message.Uidl);
  msg->SetInfoValue(TEmailInfoKey::RemoteAccountId, accountId);
  // Named from a header read apart: the message itself stays unparsed, so
  // its file holds the lines exactly as the server sent them.
  msg->SetFileName(queue->NewFileNameForSubject(SubjectOfLines(message.Lines)));
  if (!msg->SaveToFile()) {
    Log(kLogService, "Could not store the message with Uidl=" + message.Uidl, 9, true);
    msg->FSetFlaggedDeleted(true);
    return nullptr;
  }
  NotePending(accountId, message.Uidl, true);
  ++batch.FMessageCount;
  TRemoteAccountRef account = message.Account;
  const std::string uidl = message.Uidl;
  batch.AfterCommit([this, msg, queue, account, accountId, uidl] {
    NotePending(accountId, uidl, false);
    const std::string file = msg->GetFileName();
    if (msg->HasStagedFile() || FolderOf(file) != queue->Folder() || !FileExists(file)) {
      // Not placed: the server keeps it and the next download fetches it.
      msg->FSetFlaggedDeleted(true);
      return;
    }
    queue->Adopt(msg);
    // Recorded only now that the file is durable.
    if (account) account->SetUidlStatus(uidl, us_Downloaded);
    msg->ReleaseText();
    WakeProcessing();
  });
  return msg;
}

bool TMailStore::CommitProcessed(TBatch& batch, const TEmailMsgRef& msg, TClaimOwner owner,
                                 const std::string& claimText) {
  TMessageRepository& repo = Repository();
  TEmailMsgList* incoming = repo.UnProcessedIncoming();
  TEmailMsgList* processed = repo.ProcessedIncoming();
  msg->SetProperty(kPropStartedProcessing, "");
  if (!repo.MoveMailMessage(msg, incoming, processed)) return false;
  batch.KeepClaimed(msg, owner, claimText);
  if (msg->SaveToFile()) return true;
  // Unsaved, the move would deliver the text as it arrived: it is taken
  // back, and the next run starts again.
  Log(kLogService, "Could not save " + msg->GetFileName() + " for processed-incoming", 5, true);
  repo.MoveMailMessage(msg, processed, incoming);
  msg->DropChanges();
  return false;
}

bool TMailStore::PassOnMarked(TBatch& batch, const TEmailMsgRef& msg, TClaimOwner owner,
                              const std::string& claimText) {
  TMessageRepository& repo = Repository();
  TEmailMsgList* incoming = repo.UnProcessedIncoming();
  if (!msg->EnsureLoaded()) return false;
  const bool finished = msg->GetProperty(kPropStartedProcessing) == kMarkFinished;
  if (!repo.MoveMailMessage(msg, incoming, repo.ProcessedIncoming())) return false;
  batch.KeepClaimed(msg, owner, claimText);
  if (finished) {
    msg->SetProperty(kPropStartedProcessing, "");
    if (!msg->SaveToFile()) {
      // Unsaved, it goes on with its mark: what it holds is finished.
      Log(kLogService, "Could not remove the mark of " + msg->GetFileName(), 5, true);
      msg->DropChanges();
    }
  }
  return true;
}

void TMailStore::PassOnUnanalysed(TBatch& batch, const TEmailMsgRef& msg, TClaimOwner owner,
                                  const std::string& claimText) {
  TMessageRepository& repo = Repository();
  TEmailMsgList* incoming = repo.UnProcessedIncoming();
  TEmailMsgList* own = repo.OwnQueueOf(*msg);
  if (own == repo.Trash()) {
    msg->Obliterate(msg->DeleteCode() != 0, msg->DeleteReason());
    return;
  }
  batch.KeepClaimed(msg, owner, claimText);
  // The message goes on as it arrived; a held one keeps its hold.
  if (own == incoming) msg->DropChanges();
  msg->SetProperty(kPropStartedProcessing, "");
  msg->SetProperty(kPropExceptedProcessing, "1");
  if (own == incoming && !repo.MoveMailMessage(msg, incoming, repo.ProcessedIncoming())) {
    msg->DropChanges();
    return;
  }
  if (msg->SaveToFile()) return;
  // Unsaved, the mark would not travel with the file: it stays in
  // unprocessed-incoming as it arrived, for the next run.
  if (own == incoming) repo.MoveMailMessage(msg, repo.ProcessedIncoming(), incoming);
  msg->DropChanges();
}

std::string TMailStore::ExpungeOnQuit(const std::vector<TEmailMsgRef>& deleted,
                                      const std::vector<TEmailMsgRef>& recordsChanged,
                                      const std::string& reason) {
  std::string firstError;
  // The states first, and durable: a crash before the files go leaves
  // messages whose state says deleted, which Recover removes and the
  // download deletes on the server.
  for (const TEmailMsgRef& msg : deleted) msg->SetRemoteState(us_Deleted);
  if (!deleted.empty()) {
    firstError = SaveAccountsNow();
    if (!firstError.empty())
      Log(kLogService, "Could not save the accounts before deleting: " + firstError, 9, true);
  }
  TBatch batch(*this);
  for (const TEmailMsgRef& msg : recordsChanged) {
    std::string error;
    msg->WithInfo([&](TEmailInfo& info) { error = info.Save(); });
    if (!error.empty()) Log(kLogService, "Side record not saved: " + error, 5, true);
  }
  for (const TEmailMsgRef& msg : deleted) msg->Obliterate(true, reason);
  const std::string error = batch.Commit();
  return firstError.empty() ? error : firstError;
}

int TMailStore::FlagCulled(const std::string& accountId, const TStringList& culled) {
  std::set<std::string> gone;
  for (int i = 0; i < culled.Count(); ++i)
    if (!IsOwnUidl(culled[i])) gone.insert(culled[i]);
  if (gone.empty()) return 0;
  int flagged = 0;
  for (TEmailMsgList* queue : Repository().Queues()) {
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      const TEmailMsg::TIndexEntry entry = TEmailMsgList::IndexEntryOf(*msg);
      if (entry.AccountId != accountId || gone.count(entry.Uidl) == 0) continue;
      if (HeldByAnotherOwner(*msg)) continue;
      msg->FSetFlaggedDeleted(true);
      ++flagged;
    }
  }
  return flagged;
}

// ---------------------------------------------------------------------------
// Split messages

bool TMailStore::TakePiece(const TEmailMsgRef& msg) {
  std::string type;
  std::string id;
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailHeader* header = msg->GetHeader();
    if (!header->GetValueUpToSemicolon("Content-Type", type) ||
        !SameText1252(type, "message/partial"))
      return false;
    if (!header->GetDecodedParam("Content-Type", "id", id)) return false;
  }
  // Each step is durable before the next begins: no batch of the caller's.
  TDurabilityScope alone(nullptr);
  const std::string folder = GetPartialsDir(kSingleUserName);
  if (!StorePartialMessage(folder, *msg)) return false;
  TStringList lines;
  if (!ReassemblePartialMessage(folder, id, lines)) {
    TDurabilityBatch removal;
    TDurabilityScope scope(&removal);
    msg->Obliterate(true, kPieceReason);
    removal.Commit();
    return true;
  }
  // The joined message first lies whole beside the pieces under a name of
  // its own; then the piece message goes; the joined file moves into the
  // queue last, and the pieces go with that step.
  TEmailMsgRef joined = TEmailMsg::Create();
  joined->SetRawMail(lines);
  joined->SetInfoValue(TEmailInfoKey::MailBox, msg->GetInfoValue(TEmailInfoKey::MailBox));
  joined->SetInfoValue(TEmailInfoKey::SourceIP, msg->GetInfoValue(TEmailInfoKey::SourceIP));
  TStringList raw;
  joined->GetRawText(raw, true);
  const std::string backup = SaveMessageBackup(&Repository(), raw);
  if (!backup.empty())
    joined->SetInfoValue(TEmailInfoKey::BackupFile, backup.substr(backup.rfind('/') + 1));
  joined->SetProperty(kPropPartialId, id);
  const std::string path = folder + "/" + EncodePartialMessageId(id) + kJoinedSuffix;
  const bool written = joined->SaveToNamedFile(path);
  // The object only carried the file's content: it writes nothing more.
  joined->FSetFlaggedDeleted(true);
  joined.reset();
  if (!written) throw std::runtime_error("the joined message could not be written to " + path);
  {
    TDurabilityBatch removal;
    TDurabilityScope scope(&removal);
    msg->Obliterate(true, kPieceReason);
    removal.Commit();
  }
  AdoptJoined(path);
  return true;
}

int TMailStore::AdoptJoined(const std::string& joinedPath) {
  TEmailMsgRef joined = TEmailMsg::Create();
  if (!joined->ReadFromFile(joinedPath)) {
    Log(kLogService, "The joined message " + joinedPath + " cannot be read", 3, true);
    joined->FSetFlaggedDeleted(true);
    return 0;
  }
  const std::string id = joined->GetProperty(kPropPartialId);
  TEmailMsgList* incoming = Repository().UnProcessedIncoming();
  TDurabilityBatch step;
  {
    TDurabilityScope scope(&step);
    if (!id.empty()) DeletePartialMessage(GetPartialsDir(kSingleUserName), id);
  }
  // Moved at once (no batch in scope), then made durable with the removals.
  incoming->Add(joined);
  if (FolderOf(joined->GetFileName()) != incoming->Folder()) {
    Log(kLogService, "The joined message " + joinedPath + " could not join the queue", 3, true);
    incoming->Remove(joined);
    joined->SetSaveChanges(false);
    return 0;
  }
  step.AddFolder(incoming->Folder());
  step.AddFolder(GetPartialsDir(kSingleUserName));
  step.Commit();
  // A piece message a crash caught before it went is in the joined message
  // already: stored again, it would wait for its set forever.
  if (!id.empty()) ObliteratePiecesOf(id);
  return 1;
}

void TMailStore::ObliteratePiecesOf(const std::string& id) {
  for (const TEmailMsgRef& msg : Repository().UnProcessedIncoming()->Snapshot()) {
    if (msg->IsLocked() || msg->IsLockedByOther()) continue;
    std::string type;
    std::string pieceId;
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      TEmailHeader* header = msg->GetHeader();
      const bool piece = header->GetValueUpToSemicolon("Content-Type", type) &&
                         SameText1252(type, "message/partial") &&
                         header->GetDecodedParam("Content-Type", "id", pieceId) && pieceId == id;
      if (!piece) {
        msg->ReleaseText();
        continue;
      }
    }
    msg->Obliterate(true, kPieceReason);
  }
}

// ---------------------------------------------------------------------------
// Start-up

int TMailStore::Recover() {
  const std::string user = kSingleUserName;
  int count = ReplayDurabilityJournals(StoreJournalFolder(user), GetInstallDir());
  for (const std::string& folder : StoreFolders(user)) count += RemoveStaleTemporaryFiles(folder);
  TMessageRepository& repo = Repository();
  // Queues loaded before the replay may hold messages whose files it
  // removed.
  for (TEmailMsgList* queue : repo.Queues()) {
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      if (msg->IsLoaded() || msg->HasStagedFile() || FileExists(msg->GetFileName())) continue;
      queue->Remove(msg);
      msg->FSetFlaggedDeleted(true);
      ++count;
    }
  }
  // Joined split messages a crash left beside their pieces.
  TStringList joined;
  ListFilesInDir(GetPartialsDir(user), std::string("*") + kJoinedSuffix, false, INT_MAX, joined);
  for (int i = 0; i < joined.Count(); ++i) {
    CatchAllButAbandonment([&] { count += AdoptJoined(joined[i]); },
                           [&](const std::string& error) {
                             Log(kLogService, "Finishing the join " + joined[i] + " failed: " + error,
                                 3, true);
                           });
  }
  TBatch batch(*this);
  // Marked messages go on as they are: finished ones without their mark.
  TEmailMsgList* incoming = repo.UnProcessedIncoming();
  for (const TEmailMsgRef& msg : incoming->Snapshot()) {
    const TEmailMsg::TIndexEntry entry = TEmailMsgList::IndexEntryOf(*msg);
    if ((entry.StartedMark != kMarkFinished && !entry.Excepted) || HeldByAnotherOwner(*msg))
      continue;
    if (PassOnMarked(batch, msg, kNoClaimOwner, kLogService)) ++count;
  }
  // What the reader deleted before a QUIT was interrupted.
  int expunged = 0;
  for (TEmailMsgList* queue : repo.Queues()) {
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      if (!IsExpunged(*msg) || HeldByAnotherOwner(*msg)) continue;
      if (msg->Obliterate(true, kInterruptedQuitReason)) ++expunged;
    }
  }
  batch.Commit();
  for (TEmailMsgList* queue : repo.Queues())
    for (const TEmailMsgRef& msg : queue->Snapshot()) msg->ReleaseText();
  if (expunged > 0)
    Log(kLogService, "Removed " + std::to_string(expunged) +
                         " messages the mail reader had deleted before a restart", 8, false);
  return count + expunged;
}

// ---------------------------------------------------------------------------
// Waking the incoming processing

void TMailStore::SetArrivalWaker(std::function<void()> waker, const void* owner) {
  std::lock_guard<std::mutex> lock(FWakerLock);
  FWaker = std::move(waker);
  FWakerOwner = owner;
}

void TMailStore::RemoveArrivalWaker(const void* owner) {
  std::lock_guard<std::mutex> lock(FWakerLock);
  if (FWakerOwner != owner) return;
  FWaker = nullptr;
  FWakerOwner = nullptr;
}

void TMailStore::WakeProcessing() {
  std::function<void()> waker;
  {
    std::lock_guard<std::mutex> lock(FWakerLock);
    waker = FWaker;
  }
  if (waker) waker();
}

}  // namespace halvorn
