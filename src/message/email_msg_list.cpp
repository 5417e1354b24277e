#include "message/email_msg_list.h"

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <unordered_set>
#include <utility>

#include "foundation/threads/abandonment.h"
#include "foundation/app/log.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/unique_paths.h"
#include "foundation/time/clock.h"
#include "message/processing_options.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "EmailMsgList";
// How often Add starts again when other threads move the message elsewhere
// between its taking the message out of the old queue and into this one.
constexpr int kAddAttempts = 10;
constexpr std::size_t kSubjectNameChars = 20;
constexpr double kSecondsPerDay = 86400.0;

bool IsRegularFileNoLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

TEmailMsgList::TEmailMsgList(std::string name) : FName(std::move(name)) {}

TEmailMsgList::~TEmailMsgList() {
  std::vector<TEmailMsgRef> taken;
  try {
    TCriticalSectionGuard guard(FLock);
    for (const TEmailMsgRef& msg : FMessages) {
      if (!msg->IsFlaggedDeleted()) NameUnsavedMessage(*msg);
    }
    for (int i = static_cast<int>(FMessages.size()) - 1; i >= 0; --i) {
      PostMsgListChanged(this, qc_Deleted);
      taken.push_back(TakeOutLocked(i));
    }
  } catch (const std::exception& e) {
    Log(kLogService, "Freeing the queue " + FName + ": " + e.what(), 5, true);
  } catch (...) {
    Log(kLogService, "Freeing the queue " + FName + " failed", 5, true);
  }
  // The destroy rules of the messages nobody else holds run here, from the
  // back of the queue to the front; a message's destructor never raises.
  taken.clear();
}

// ---------------------------------------------------------------------------
// Folder and owner

void TEmailMsgList::SetFolder(const std::string& path) {
  std::lock_guard<std::mutex> lock(FNamesLock);
  FFolder = path;
  if (FFolder.size() > 1 && FFolder.back() == '/') FFolder.pop_back();
}

std::string TEmailMsgList::Folder() const {
  std::lock_guard<std::mutex> lock(FNamesLock);
  return FFolder;
}

void TEmailMsgList::SetUserName(const std::string& name) {
  std::lock_guard<std::mutex> lock(FNamesLock);
  FUserName = name;
}

std::string TEmailMsgList::UserName() const {
  std::lock_guard<std::mutex> lock(FNamesLock);
  return FUserName;
}

std::int32_t TEmailMsgList::NumSecsDelay() const {
  const std::string user = UserName();
  return GetGlobalProcessingOptions(user.empty() ? kSingleUserName : user)->NumSecsDelay;
}

// ---------------------------------------------------------------------------
// The list

int TEmailMsgList::IndexOfLocked(const TEmailMsg* msg) const {
  for (std::size_t i = 0; i < FMessages.size(); ++i) {
    if (FMessages[i].get() == msg) return static_cast<int>(i);
  }
  return -1;
}

TEmailMsgRef TEmailMsgList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FMessages.size())) return nullptr;
  return FMessages[index];
}

int TEmailMsgList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FMessages.size());
}

int TEmailMsgList::IndexOf(const TEmailMsg* msg) {
  TCriticalSectionGuard guard(FLock);
  return IndexOfLocked(msg);
}

std::vector<TEmailMsgRef> TEmailMsgList::Snapshot() {
  TCriticalSectionGuard guard(FLock);
  return FMessages;
}

TEmailMsgRef TEmailMsgList::TakeOutLocked(int index) {
  TEmailMsgRef msg = std::move(FMessages[index]);
  FMessages.erase(FMessages.begin() + index);
  msg->ExchangeList(this, nullptr);
  return msg;
}

int TEmailMsgList::Add(const TEmailMsgRef& msg) {
  PostMsgListChanged(this, qc_Added);
  if (!msg) return -1;
  for (int attempt = 0; attempt < kAddAttempts; ++attempt) {
    // Out of the old queue first, holding no queue lock: two threads moving
    // messages in opposite directions never hold one queue and wait for the
    // other.
    TEmailMsgListBase* old = msg->GetList();
    if (old != nullptr && old != this) {
      if (auto* queue = dynamic_cast<TEmailMsgList*>(old)) {
        queue->Remove(msg);
      } else {
        msg->ExchangeList(old, nullptr);
      }
    }
    TCriticalSectionGuard guard(FLock);
    // Another thread may have put the message into a queue meanwhile; then
    // take it out of that one again.
    if (msg->GetList() != this && !msg->ExchangeList(nullptr, this)) continue;
    int index = IndexOfLocked(msg.get());
    if (index < 0) {
      FMessages.push_back(msg);
      index = static_cast<int>(FMessages.size()) - 1;
    }
    // Under the message's lock, so a save of the message cannot put its file
    // back under the old name beside the moved one.
    msg->MoveFileTo([&] { return NewFileName(*msg); });
    return index;
  }
  Log(kLogService, "A message kept being moved elsewhere while it was added to " + FName, 5, true);
  return -1;
}

int TEmailMsgList::Remove(const TEmailMsgRef& msg) {
  PostMsgListChanged(this, qc_Removed);
  TCriticalSectionGuard guard(FLock);
  const int index = IndexOfLocked(msg.get());
  if (index < 0) return -1;
  FMessages.erase(FMessages.begin() + index);
  msg->ExchangeList(this, nullptr);
  return index;
}

void TEmailMsgList::Delete(int index) {
  PostMsgListChanged(this, qc_Deleted);
  TEmailMsgRef taken;
  {
    TCriticalSectionGuard guard(FLock);
    if (index < 0 || index >= static_cast<int>(FMessages.size())) return;
    taken = TakeOutLocked(index);
  }
  // `taken` goes here, after the queue lock.
}

void TEmailMsgList::Move(int newIndex, const TEmailMsgRef& msg) {
  TCriticalSectionGuard guard(FLock);
  const int index = IndexOfLocked(msg.get());
  if (index < 0) return;
  TEmailMsgRef held = std::move(FMessages[index]);
  FMessages.erase(FMessages.begin() + index);
  const int size = static_cast<int>(FMessages.size());
  const int target = newIndex < 0 ? 0 : (newIndex > size ? size : newIndex);
  FMessages.insert(FMessages.begin() + target, std::move(held));
}

bool TEmailMsgList::LoadFolder(const std::string& folder) {
  SetFolder(folder);
  const std::string path = Folder();
  std::error_code error;
  if (path.empty() || !std::filesystem::is_directory(path, error)) return false;
  TStringList files;
  ListFilesInDir(path, "*.eml", false, INT_MAX, files);
  std::vector<TEmailMsgRef> added;
  {
    TCriticalSectionGuard guard(FLock);
    // The names the queue holds are read after the listing: a message that
    // saved its first file before the listing has its name by now.
    std::unordered_set<std::string> held;
    for (const TEmailMsgRef& msg : FMessages) held.insert(msg->GetFileName());
    for (int i = 0; i < files.Count(); ++i) {
      const std::string& file = files[i];
      const std::string name = file.substr(file.rfind('/') + 1);
      if (name.empty() || name[0] == '.' || held.count(file) != 0 || !IsRegularFileNoLink(file))
        continue;
      TEmailMsgRef msg = TEmailMsg::Create();
      msg->SetFileName(file);
      msg->ExchangeList(nullptr, this);
      FMessages.push_back(msg);
      added.push_back(std::move(msg));
      PostMsgListChanged(this, qc_Added);
    }
  }
  // The index of each new message, read once, outside the queue lock: its
  // head and its side record, never its text.
  for (const TEmailMsgRef& msg : added) msg->ReadIndexFromFile();
  return true;
}

int TEmailMsgList::Adopt(const TEmailMsgRef& msg) {
  PostMsgListChanged(this, qc_Added);
  if (!msg) return -1;
  TCriticalSectionGuard guard(FLock);
  if (msg->GetList() != this && !msg->ExchangeList(nullptr, this)) return -1;
  int index = IndexOfLocked(msg.get());
  if (index < 0) {
    FMessages.push_back(msg);
    index = static_cast<int>(FMessages.size()) - 1;
  }
  return index;
}

TEmailMsg::TIndexEntry TEmailMsgList::IndexEntryOf(TEmailMsg& msg) {
  return msg.KnownIndexEntry();
}

std::string TEmailMsgList::NewFileName(TEmailMsg& msg) {
  return NewFileNameForSubject(msg.GetSubject());
}

std::string TEmailMsgList::NewFileNameForSubject(std::string subject) {
  const std::string folder = Folder();
  if (folder.empty()) return {};
  if (subject.size() > kSubjectNameChars) subject.resize(kSubjectNameChars);
  std::string path;
  GetUniquePath(folder, subject, ".eml", path);
  return path;
}

void TEmailMsgList::NameUnsavedMessage(TEmailMsg& msg) {
  // Only a loaded message has something to save.
  if (!msg.IsLoaded()) return;
  const std::string name = msg.GetFileName();
  if (!FileExists(name)) msg.SetFileName(NewFileName(msg));
}

// ---------------------------------------------------------------------------
// Obliteration

bool TEmailMsgList::Obliterate(const TEmailMsgRef& msg, bool deleteRemote,
                               const std::string& reason) {
  // `taken` is declared before the guard, so the references it collects
  // drop after the lock is released.
  std::vector<TEmailMsgRef> taken;
  TCriticalSectionGuard guard(FLock);
  const int index = IndexOfLocked(msg.get());
  return index >= 0 && ObliterateLocked(index, deleteRemote, reason, taken);
}

bool TEmailMsgList::ObliterateAt(int index, bool deleteRemote, const std::string& reason) {
  std::vector<TEmailMsgRef> taken;
  TCriticalSectionGuard guard(FLock);
  return ObliterateLocked(index, deleteRemote, reason, taken);
}

bool TEmailMsgList::ObliterateLocked(int index, bool deleteRemote, const std::string& reason,
                                     std::vector<TEmailMsgRef>& taken) {
  if (index < 0 || index >= static_cast<int>(FMessages.size())) return false;
  const TEmailMsgRef& msg = FMessages[index];
  if (TRemoteAccountRef account = msg->GetSourceRemoteAccount()) {
    const std::string uidl = msg->KnownIndexEntry().Uidl;
    msg->SetRemoteState(deleteRemote ? us_Deleted : us_DeletedLocal);
    if (!reason.empty())
      Log(reason,
          "Tagging Uidl " + uidl + " for removal from remote account: " + account->UniqueId(), 6,
          false);
  }
  msg->FSetFlaggedDeleted(true);
  msg->DiskDelete();
  PostMsgListChanged(this, qc_Deleted);
  taken.push_back(TakeOutLocked(index));
  PostMsgListChanged(this, qc_Obliterated);
  return true;
}

void TEmailMsgList::ObliterateFlagged(bool deleteRemote, const std::string& reason) {
  std::vector<TEmailMsgRef> taken;
  CatchAllButAbandonment(
      [&] {
        TCriticalSectionGuard guard(FLock);
        for (int i = static_cast<int>(FMessages.size()) - 1; i >= 0; --i) {
          if (FMessages[i]->IsFlaggedDeleted()) ObliterateLocked(i, deleteRemote, reason, taken);
        }
      },
      [this](const std::string& error) {
        Log(kLogService, "Obliterating the flagged messages of " + FName + ": " + error, 3, true);
      });
}

// ---------------------------------------------------------------------------
// Searches

TEmailMsgRef TEmailMsgList::FindByUidl(const std::string& uidl) {
  TCriticalSectionGuard guard(FLock);
  for (int i = static_cast<int>(FMessages.size()) - 1; i >= 0; --i) {
    const TEmailMsgRef& msg = FMessages[i];
    // Another thread works on it: passed by, as before the index.
    if (msg->IsLocked()) continue;
    if (!uidl.empty() && IndexEntryOf(*msg).Uidl == uidl) return msg;
  }
  return nullptr;
}

TEmailMsgRef TEmailMsgList::FindByContentId(std::int32_t id) {
  TCriticalSectionGuard guard(FLock);
  for (int i = static_cast<int>(FMessages.size()) - 1; i >= 0; --i) {
    if (FMessages[i]->GetContentId() == id) return FMessages[i];
  }
  return nullptr;
}

int TEmailMsgList::ReassignRemoteAccount(const std::string& accountId,
                                         const TRemoteAccountRef& account) {
  std::vector<TEmailMsgRef> named;
  CollectByRemoteAccount(accountId, named);
  // The messages named are read (their side record changes); the others
  // stay as they are.
  for (const TEmailMsgRef& msg : named) msg->FSetSourceRemoteAccount(account);
  return static_cast<int>(named.size());
}

void TEmailMsgList::CollectByRemoteAccount(const std::string& accountId,
                                           std::vector<TEmailMsgRef>& list) {
  TCriticalSectionGuard guard(FLock);
  for (int i = static_cast<int>(FMessages.size()) - 1; i >= 0; --i) {
    const TEmailMsgRef& msg = FMessages[i];
    if (IndexEntryOf(*msg).AccountId == accountId) list.push_back(msg);
  }
}

// ---------------------------------------------------------------------------
// Counts

void TEmailMsgList::CountOutgoing(std::int32_t& due, std::int32_t& soon, std::int32_t& later) {
  TTryEnterGuard queueLock(FLock);
  if (queueLock.Taken()) {
    const TDateTime now = Now();
    const TDateTime delayed = now + NumSecsDelay() / kSecondsPerDay;
    std::int32_t d = 0, s = 0, l = 0;
    for (const TEmailMsgRef& msg : FMessages) {
      if (msg->IsFlaggedDeleted()) continue;
      TTryEnterGuard msgLock(msg->MessageLock());
      if (!msgLock.Taken() || !msg->IsLoaded() || msg->IsLockedByOther()) {
        ++d;
        continue;
      }
      const TDateTime sendTime = msg->GetSendTime();
      if (sendTime < now) {
        ++d;
      } else if (sendTime < delayed) {
        ++s;
      } else {
        ++l;
      }
    }
    FDueCount = d;
    FSoonCount = s;
    FLaterCount = l;
  }
  due = FDueCount;
  soon = FSoonCount;
  later = FLaterCount;
}

void TEmailMsgList::CountRead(std::int32_t& read, std::int32_t& unread) {
  TTryEnterGuard queueLock(FLock);
  if (queueLock.Taken()) {
    std::int32_t r = 0, u = 0;
    for (const TEmailMsgRef& msg : FMessages) {
      if (msg->IsFlaggedDeleted()) continue;
      TTryEnterGuard msgLock(msg->MessageLock());
      TUidlStatus state = us_NonExistant;
      if (msgLock.Taken() && msg->IsLoaded() && !msg->IsLockedByOther() &&
          msg->GetRemoteState(state) && state == us_Read) {
        ++r;
      } else {
        ++u;
      }
    }
    FReadCount = r;
    FUnreadCount = u;
  }
  read = FReadCount;
  unread = FUnreadCount;
}

std::int32_t TEmailMsgList::CountNotDeleted() {
  TTryEnterGuard queueLock(FLock);
  if (queueLock.Taken()) {
    std::int32_t n = 0;
    for (const TEmailMsgRef& msg : FMessages) {
      if (!msg->IsFlaggedDeleted()) ++n;
    }
    FNotDeletedCount = n;
  }
  return FNotDeletedCount;
}

// ---------------------------------------------------------------------------
// Send times

void TEmailMsgList::SendDueNow() {
  PostMsgListChanged(this, qc_SendDueNow);
  TCriticalSectionGuard guard(FLock);
  const TDateTime now = Now();
  const TDateTime delayed = now + NumSecsDelay() / kSecondsPerDay;
  for (const TEmailMsgRef& msg : FMessages) {
    if (msg->GetSendTime() < delayed) msg->FSetSendTime(now);
  }
}

void TEmailMsgList::SendAllNow() {
  PostMsgListChanged(this, qc_SendAllNow);
  TCriticalSectionGuard guard(FLock);
  const TDateTime now = Now();
  for (const TEmailMsgRef& msg : FMessages) msg->FSetSendTime(now);
}

}  // namespace halvorn
