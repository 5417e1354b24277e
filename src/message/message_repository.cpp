#include "message/message_repository.h"

#include <utility>

#include "foundation/threads/abandonment.h"
#include "foundation/app/log.h"
#include "foundation/app/statistics_hooks.h"
#include "foundation/crypto/random_source.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/unique_paths.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "message/accounts.h"
#include "message/mail_store.h"
#include "message/processing_options.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "MessageRepository";
// The characters of a backup's subject: 9 to 38 of its "Subject:" line.
constexpr std::size_t kBackupSubjectChars = 30;

std::string OrSingleUser(const std::string& name) {
  return name.empty() ? std::string(kSingleUserName) : name;
}

// Runs a step of a global operation; what fails is logged and swallowed,
// except an abandoned worker's unwinding.
template <class F>
void Swallowing(const char* what, F work) {
  CatchAllButAbandonment(work, [what](const std::string& error) {
    Log(kLogService, std::string(what) + " failed: " + error, 3, true);
  });
}

// Ends a traced section however the scope is left.
class TTraced {
 public:
  explicit TTraced(const char* section) : FSection(section) { StatEnter(FSection); }
  ~TTraced() { StatLeave(FSection, 0); }
  TTraced(const TTraced&) = delete;
  TTraced& operator=(const TTraced&) = delete;

 private:
  const char* FSection;
};

}  // namespace

// ---------------------------------------------------------------------------
// The repository

TMessageRepository::TMessageRepository() {
  for (std::size_t i = 0; i < FQueues.size(); ++i)
    FQueues[i] = std::make_unique<TEmailMsgList>(QueueDescription(static_cast<int>(i)).Name);
}

TMessageRepository::~TMessageRepository() {
  for (auto& queue : FQueues) queue.reset();
}

std::string TMessageRepository::UserName() const {
  std::lock_guard<std::mutex> lock(FNameLock);
  return FUserName;
}

std::array<TEmailMsgList*, 6> TMessageRepository::Queues() {
  std::array<TEmailMsgList*, 6> queues{};
  for (std::size_t i = 0; i < FQueues.size(); ++i) queues[i] = FQueues[i].get();
  return queues;
}

TEmailMsgList* TMessageRepository::OwnQueueOf(const TEmailMsg& msg) {
  TEmailMsgListBase* list = msg.GetList();
  for (const auto& queue : FQueues) {
    if (queue.get() == list) return queue.get();
  }
  return nullptr;
}

TEmailMsgList* TMessageRepository::FirstHolding(const TEmailMsgRef& msg,
                                                std::initializer_list<TEmailMsgList*> queues) {
  for (TEmailMsgList* queue : queues) {
    if (queue->IndexOf(msg) >= 0) return queue;
  }
  return nullptr;
}

void TMessageRepository::Load(const std::string& userName) {
  TCriticalSectionGuard guard(FLock);
  if (userName.empty()) return;
  for (std::size_t i = 0; i < FQueues.size(); ++i) {
    if (i < std::size(kLoadingTexts)) Heartbeat(kLoadingTexts[i], -1, -1);
    FQueues[i]->LoadFolder(QueueDescription(static_cast<int>(i)).Folder(userName));
    FQueues[i]->SetUserName(userName);
  }
  std::lock_guard<std::mutex> lock(FNameLock);
  FUserName = userName;
}

bool TMessageRepository::MoveMailMessage(const TEmailMsgRef& msg, TEmailMsgList* from,
                                         TEmailMsgList* to) {
  TTraced traced("MoveMailMessage");
  TCriticalSectionGuard guard(FLock);
  if (from == to) return true;
  if (!msg || from == nullptr || to == nullptr || from->IndexOf(msg) < 0) return false;
  if (to->Add(msg) < 0) return false;
  // Add took it out of `from` already; this only covers a message whose own
  // queue was not `from`.
  if (from->IndexOf(msg) >= 0) from->Remove(msg);
  return true;
}

bool TMessageRepository::SendToPendhold(const TEmailMsgRef& msg, const std::string& reason) {
  if (!msg) return false;
  return TEmailMsg::FalseOnFailure("Holding a message", [&] {
    TCriticalSectionGuard guard(FLock);
    TStringList lines;
    lines.SetText(reason);
    for (int i = lines.Count() - 1; i >= 0; --i) {
      if (lines[i].empty()) lines.Delete(i);
    }
    // The side record comes with the file.
    msg->EnsureLoaded();
    const std::string old = msg->GetInfoValue(TEmailInfoKey::PendholdText);
    std::string text;
    if (old.empty() || old == "\"\"") {
      text = lines.CommaText();
    } else {
      lines.Insert(0, "Also:");
      text = MergeCommaTexts(old, lines.CommaText(), false);
    }
    msg->SetInfoValue(TEmailInfoKey::PendholdText, text);
    if (msg->GetList() == Pendhold()) return true;
    msg->FSetSendTime(Now() + GetGlobalProcessingOptions(OrSingleUser(UserName()))->PendholdTime);
    TEmailMsgList* from = OwnQueueOf(*msg);
    if (from == nullptr)
      from = FirstHolding(msg, {UnProcessedIncoming(), ProcessedIncoming(), UnprocessedOutGoing(),
                                ProcessedOutGoing(), Trash()});
    return from != nullptr && MoveMailMessage(msg, from, Pendhold());
  });
}

bool TMessageRepository::SendToTrash(const TEmailMsgRef& msg, std::uint8_t code,
                                     const std::string& reason) {
  if (!msg) return false;
  return TEmailMsg::FalseOnFailure("Moving a message to the trash", [&] {
    msg->SetDeleteReason(code, reason);
    TCriticalSectionGuard guard(FLock);
    if (msg->GetList() == Trash()) return true;
    TEmailMsgList* from = OwnQueueOf(*msg);
    if (from == nullptr)
      from = FirstHolding(msg, {UnProcessedIncoming(), ProcessedIncoming(), UnprocessedOutGoing(),
                                ProcessedOutGoing(), Pendhold()});
    return from != nullptr && MoveMailMessage(msg, from, Trash());
  });
}

TEmailMsgRef TMessageRepository::FindByUidl(const std::string& uidl) {
  for (const auto& queue : FQueues) {
    if (TEmailMsgRef msg = queue->FindByUidl(uidl)) return msg;
  }
  return nullptr;
}

TEmailMsgRef TMessageRepository::FindById(std::int32_t id) {
  for (const auto& queue : FQueues) {
    if (TEmailMsgRef msg = queue->FindByContentId(id)) return msg;
  }
  return nullptr;
}

int TMessageRepository::FlagDeletedByUidls(const TStringList& uidls) {
  int count = 0;
  for (int i = 0; i < uidls.Count(); ++i) {
    TEmailMsgRef msg = FindByUidl(uidls[i]);
    if (!msg || msg->IsLockedByOther()) continue;
    msg->FSetFlaggedDeleted(true);
    ++count;
  }
  return count;
}

int TMessageRepository::ReassignRemoteAccount(const std::string& accountId,
                                              const TRemoteAccountRef& account) {
  int count = 0;
  for (const auto& queue : FQueues) count += queue->ReassignRemoteAccount(accountId, account);
  return count;
}

bool TMessageRepository::HasSmtpFailureNotice() {
  bool found = false;
  Swallowing("Looking for a failure notice", [&] {
    for (const TEmailMsgRef& msg : ProcessedIncoming()->Snapshot()) {
      if (msg->GetProperty(kPropFailureNotice) == "SMTP") {
        found = true;
        return;
      }
    }
  });
  return found;
}

bool TMessageRepository::RenameUser(const std::string& newName) {
  TCriticalSectionGuard guard(FLock);
  const std::string old = UserName();
  if (old.empty()) return false;
  if (LowerCase1252(GetMessagesDir(old)) != LowerCase1252(GetMessagesDir(newName))) return false;
  for (const auto& queue : FQueues) queue->SetUserName(newName);
  std::lock_guard<std::mutex> lock(FNameLock);
  FUserName = newName;
  return true;
}

// ---------------------------------------------------------------------------
// The registry

TMsgReposList::~TMsgReposList() {
  std::vector<std::unique_ptr<TMessageRepository>> items;
  {
    std::lock_guard<std::mutex> lock(FListLock);
    items.swap(FItems);
  }
  for (auto& repository : items) repository.reset();
}

TMessageRepository* TMsgReposList::GetRepository(const std::string& /*userName*/) {
  if (TMessageRepository* first = Items(0)) return first;
  TCriticalSectionGuard guard(FLock);
  if (TMessageRepository* first = Items(0)) return first;
  auto repository = std::make_unique<TMessageRepository>();
  repository->Load(kSingleUserName);
  TMessageRepository* answer = repository.get();
  Add(std::move(repository));
  return answer;
}

TMessageRepository* TMsgReposList::Items(int index) const {
  std::lock_guard<std::mutex> lock(FListLock);
  if (index < 0 || index >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[index].get();
}

int TMsgReposList::Count() const {
  std::lock_guard<std::mutex> lock(FListLock);
  return static_cast<int>(FItems.size());
}

void TMsgReposList::Add(std::unique_ptr<TMessageRepository> repository) {
  if (!repository) return;
  TCriticalSectionGuard guard(FLock);
  std::lock_guard<std::mutex> lock(FListLock);
  FItems.push_back(std::move(repository));
}

std::vector<TMessageRepository*> TMsgReposList::Repositories() const {
  std::lock_guard<std::mutex> lock(FListLock);
  std::vector<TMessageRepository*> list;
  for (const auto& repository : FItems) list.push_back(repository.get());
  return list;
}

TEmailMsgRef TMsgReposList::FindMessageById(std::int32_t id) {
  for (TMessageRepository* repository : Repositories()) {
    if (TEmailMsgRef msg = repository->FindById(id)) return msg;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Module and entry points

namespace {

std::mutex gRegistryMutex;
std::unique_ptr<TMsgReposList> gRegistry;

}  // namespace

TMsgReposList& GlobalMsgReposList() {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  if (!gRegistry) gRegistry = std::make_unique<TMsgReposList>();
  return *gRegistry;
}

void StartMessageRepositoryModule() {
  EndMessageRepositoryModule();
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    gRegistry = std::make_unique<TMsgReposList>();
  }
  SetMessageRepositoryLookup(
      [](const std::string& userName) -> TMessageRepositoryBase* {
        return GetMessageRepository(userName);
      });
  SetRenameUserRepository([](const std::string& oldUserId, const std::string& newUserId) {
    GetMessageRepository(oldUserId)->RenameUser(newUserId);
  });
}

void EndMessageRepositoryModule() {
  SetMessageRepositoryLookup(nullptr);
  SetRenameUserRepository(nullptr);
  std::unique_ptr<TMsgReposList> registry;
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    registry.swap(gRegistry);
  }
  // Freed outside the mutex: freeing saves the changed messages.
  registry.reset();
}

TMessageRepository* GetMessageRepository(const std::string& userName) {
  return GlobalMsgReposList().GetRepository(userName);
}

void LoadAllRepositories() {
  for (const TLocalAccountRef& account : GlobalLocalAccounts().Snapshot())
    GlobalMsgReposList().GetRepository(account->UserId());
}

TEmailMsgRef FindMessageByContentId(std::int32_t id) {
  TEmailMsgRef found;
  CatchAllButAbandonment([&] { found = GlobalMsgReposList().FindMessageById(id); },
                         [](const std::string&) {});
  return found;
}

// ---------------------------------------------------------------------------
// Over every repository

void CountUnprocessedOutgoing(std::int32_t& due, std::int32_t& soon, std::int32_t& later) {
  due = soon = later = 0;
  Swallowing("Counting unprocessed outgoing mail", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories()) {
      std::int32_t d = 0, s = 0, l = 0;
      repository->UnprocessedOutGoing()->CountOutgoing(d, s, l);
      due += d;
      soon += s;
      later += l;
    }
  });
}

void CountProcessedOutgoing(std::int32_t& due, std::int32_t& soon, std::int32_t& later) {
  due = soon = later = 0;
  Swallowing("Counting processed outgoing mail", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories()) {
      std::int32_t d = 0, s = 0, l = 0;
      repository->ProcessedOutGoing()->CountOutgoing(d, s, l);
      due += d;
      soon += s;
      later += l;
    }
  });
}

std::int32_t CountUnprocessedIncoming() {
  std::int32_t count = 0;
  Swallowing("Counting unprocessed incoming mail", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories())
      count += repository->UnProcessedIncoming()->CountNotDeleted();
  });
  return count;
}

void CountProcessedIncoming(std::int32_t& read, std::int32_t& unread) {
  read = unread = 0;
  Swallowing("Counting processed incoming mail", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories()) {
      std::int32_t r = 0, u = 0;
      repository->ProcessedIncoming()->CountRead(r, u);
      read += r;
      unread += u;
    }
  });
}

void SendOutgoingNow() {
  Swallowing("Sending outgoing mail now", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories())
      repository->UnprocessedOutGoing()->SendDueNow();
  });
}

void RetryFailedOutgoing() {
  Swallowing("Retrying failed mail", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories())
      repository->ProcessedOutGoing()->SendAllNow();
  });
}

TEmailMsgRef GetNextIncomingToProcess() {
  TEmailMsgRef visited;  // the first visited one whose address check runs
  TEmailMsgRef first;    // the first eligible one
  Swallowing("Choosing the next incoming message", [&] {
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories()) {
      for (const TEmailMsgRef& msg : repository->UnProcessedIncoming()->Snapshot()) {
        if (!msg || msg->IsFlaggedDeleted() || msg->IsLocked() || msg->IsLockedByOther()) continue;
        if (msg->PrefetchDone.load()) {
          if (msg->AddressCheckDone()) {
            visited = msg;
            first = nullptr;
            return;
          }
          if (!visited) visited = msg;
        }
        if (!first) first = msg;
      }
    }
  });
  return visited ? visited : first;
}

TEmailMsgRef GetNextOutgoingToSend() {
  TEmailMsgRef next;
  Swallowing("Choosing the next message to send", [&] {
    const TDateTime now = Now();
    for (TMessageRepository* repository : GlobalMsgReposList().Repositories()) {
      for (const TEmailMsgRef& msg : repository->UnprocessedOutGoing()->Snapshot()) {
        if (!msg->IsFlaggedDeleted() && msg->GetSendTime() <= now) {
          next = msg;
          return;
        }
      }
    }
  });
  return next;
}

void ReleaseMessageLocks(TClaimOwner owner, const std::string& text) {
  for (TMessageRepository* repository : GlobalMsgReposList().Repositories()) {
    for (TEmailMsgList* queue : repository->Queues()) {
      for (const TEmailMsgRef& msg : queue->Snapshot()) {
        if (msg->ClaimOwner() == owner) msg->Unlock(owner, text);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Raw backups

namespace {

std::string BackupUser(TMessageRepository* repository) {
  return OrSingleUser(repository != nullptr ? repository->UserName() : std::string());
}

// A purge walks every backup: one in ten backups would make a download of
// many messages into a folder of many backups quadratic. At most one purge a
// minute (by the program's clock; a clock set back counts as due).
bool PurgeIsDue() {
  static std::mutex lock;
  static TDateTime last = 0;
  const TDateTime now = Now();
  std::lock_guard<std::mutex> guard(lock);
  if (last != 0 && now >= last && (now - last) * 24 * 60 < 1) return false;
  last = now;
  return true;
}

// The subject part of a backup's name.
std::string BackupSubject(const TStringList& lines) {
  std::string subject;
  for (int i = 0; i < lines.Count() && !lines[i].empty(); ++i) {
    if (lines[i].size() >= 8 && SameText1252(std::string_view(lines[i]).substr(0, 8), "Subject:")) {
      subject = lines[i].substr(8, kBackupSubjectChars);
      break;
    }
  }
  if (subject.empty()) subject = kNoSubjectLine;
  return TrimText(subject);
}

}  // namespace

std::string SaveMessageBackup(TMessageRepository* repository, const TStringList& lines) {
  std::string path;
  SaveMessageBackup(repository, lines, path);
  return path;
}

void SaveMessageBackup(TMessageRepository* repository, const TStringList& lines,
                       std::string& path) {
  path.clear();
  Swallowing("Saving a message backup", [&] {
    if (RandomInt(10) == 5 && PurgeIsDue()) PurgeMessageBackups(repository);
    const std::string user = BackupUser(repository);
    if (GetGlobalProcessingOptions(user)->DeleteMsgBackupsAfter == 0) return;
    const std::string folder = GetBackupsDir(user);
    const std::string subject = BackupSubject(lines);
    std::string bytes;
    for (int i = 0; i < lines.Count(); ++i) {
      bytes += lines[i];
      bytes += "\r\n";
    }
    auto draw = [&] {
      std::string free;
      GetUniquePath(folder, subject, ".eml", free);
      return free;
    };
    // A backup is never the only copy of mail: in a durability batch it
    // rides on the commit of the message it backs up.
    std::string written;
    const std::string error = WriteFileInCurrentBatch(draw(), bytes, false, draw, written);
    if (!error.empty()) {
      Log(kLogService, "The backup was not written: " + error, 5, true);
      return;
    }
    path = written;
  });
}

int PurgeMessageBackups(TMessageRepository* repository) {
  const std::string user = BackupUser(repository);
  const double days = GetGlobalProcessingOptions(user)->DeleteMsgBackupsAfter;
  return DeleteFilesOlderThan(GetBackupsDir(user), "*.eml", Now() - days);
}

}  // namespace halvorn
