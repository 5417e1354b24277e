// The message's properties, side-record values and source account.
#include <algorithm>
#include <stdexcept>

#include "foundation/threads/abandonment.h"
#include "foundation/app/log.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/crypto/random_source.h"
#include "foundation/time/clock.h"
#include "message/email_msg.h"

namespace halvorn {

// ---------------------------------------------------------------------------
// Properties

bool TEmailMsg::TryGetSendTime(TDateTime& time) {
  time = Now() - 10.0 / (24 * 60);
  return FalseOnFailure("Reading the send time", [&] {
    TMsgGuard guard(FLock);
    if (!EnsureHeadLocked()) return false;
    if (FSendTime == 0) {
      const std::string text = FProperties.Values(kPropSendTime);
      if (text.empty()) return false;
      FSendTime = FileDateTextToDateTime(text);
    }
    time = FSendTime;
    return true;
  });
}

TDateTime TEmailMsg::GetSendTime() {
  TDateTime time = 0;
  TryGetSendTime(time);
  return time;
}

void TEmailMsg::FSetSendTime(TDateTime time) {
  TMsgGuard guard(FLock);
  CheckAccess("FSetSendTime");
  const std::string text = DateTimeToFileDateText(time);
  SetPropertyLocked(kPropSendTime, text);
  // The cache holds what the stored text reads back as (two-second steps),
  // so the time does not change when the file is read again.
  try {
    FSendTime = text == "0" ? 0 : FileDateTextToDateTime(text);
  } catch (const std::exception&) {
    FSendTime = 0;
  }
}

bool TEmailMsg::GetSendAnon() {
  return GetProperty(kPropSendAnon) == "Yes";
}

void TEmailMsg::FSetSendAnon(bool flag) {
  TMsgGuard guard(FLock);
  CheckAccess("FSetSendAnon");
  SetPropertyLocked(kPropSendAnon, flag ? "Yes" : "No");
}

std::int32_t TEmailMsg::GetQuorCategory() {
  const std::string text = GetProperty(kPropQuorCategory);
  if (text.empty() || text.size() > 10) return 0;
  std::int64_t value = 0;
  std::size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return 0;
  for (; i < text.size(); ++i) {
    if (!IsDigitChar(static_cast<unsigned char>(text[i]))) return 0;
    value = value * 10 + (text[i] - '0');
  }
  if (text[0] == '-') value = -value;
  return value < INT32_MIN || value > INT32_MAX ? 0 : static_cast<std::int32_t>(value);
}

void TEmailMsg::SetQuorCategory(std::uint8_t category) {
  TMsgGuard guard(FLock);
  SetPropertyLocked(kPropQuorCategory, std::to_string(category));
}

// ---------------------------------------------------------------------------
// Side record

std::int32_t TEmailMsg::GetContentId() const {
  std::lock_guard<std::mutex> lock(FInfoLock);
  return FInfo != nullptr ? FInfo->Id() : 0;
}

std::string TEmailMsg::GetInfoValue(TEmailInfoKey key) const {
  std::lock_guard<std::mutex> lock(FInfoLock);
  return FInfo != nullptr ? FInfo->Value(key) : std::string();
}

void TEmailMsg::SetInfoValue(TEmailInfoKey key, const std::string& value) {
  TMsgGuard guard(FLock);
  // The record of the message's file comes with the file: a value set
  // before it is read would be lost to the record read then.
  EnsureHeadLocked();
  {
    std::lock_guard<std::mutex> lock(FInfoLock);
    FInfo->SetValue(key, value);
  }
  if (key == TEmailInfoKey::UIDL || key == TEmailInfoKey::RemoteAccountId) RefreshIndexLocked();
}

void TEmailMsg::WithInfo(const std::function<void(TEmailInfo&)>& use) const {
  std::lock_guard<std::mutex> lock(FInfoLock);
  if (FInfo != nullptr) use(*FInfo);
}

TTrite TEmailMsg::GetUserWanted() {
  TTrite answer = kTriteUnknown;
  CatchAllButAbandonment(
      [&] {
        const std::string text = GetInfoValue(TEmailInfoKey::UserWanted);
        if (!text.empty()) answer = CharToTrite(text[0]);
      },
      [](const std::string&) {});
  return answer;
}

bool TEmailMsg::SetUserWanted(TTrite value, bool force) {
  TMsgGuard guard(FLock);
  EnsureLoadedLocked();
  if (!force && GetUserWanted() == kTriteYes && value != kTriteYes) return false;
  SetInfoValue(TEmailInfoKey::UserWanted, std::string(1, TriteToChar(value)));
  return true;
}

std::int32_t TEmailMsg::GetScore() {
  TStringList entries;
  WithInfo([&](TEmailInfo& info) { entries = info.DangerLevel(); });
  std::int64_t sum = 0;
  for (int i = 0; i < entries.Count(); ++i) sum += entries.Numbers(i);
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, 0, 100));
}

bool TEmailMsg::AddScore(const std::string& name, std::int32_t points) {
  if (points == 0) return false;
  TMsgGuard guard(FLock);
  EnsureLoadedLocked();
  return FalseOnFailure("Adding a danger entry", [&] {
    bool added = false;
    WithInfo([&](TEmailInfo& info) { added = info.AddDangerLevel(name, points); });
    return added;
  });
}

bool TEmailMsg::GetRecipientAddress(std::string& address) {
  address = GetInfoValue(TEmailInfoKey::MailBox);
  if (!address.empty()) return true;
  std::string user;
  GetUserId(user);
  {
    TMsgGuard guard(FLock);
    EnsureParsedLocked();
    std::unique_ptr<TEmailAddressCollection> collections[] = {FHeader->GetTo(), FHeader->GetCC()};
    for (const auto& collection : collections) {
      if (!collection) continue;
      for (int i = 0; i < collection->Count(); ++i)
        if (PosCI(user, collection->Items(i).Text) > 0) address = collection->Items(i).Address;
      if (!address.empty()) return true;
    }
  }
  TLocalAccountRef local = GlobalLocalAccounts().FindByUserId(user);
  if (local) address = local->UserId() + "@" + local->SMTPServer();
  return false;
}

void TEmailMsg::GetSubject(std::string& subject) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  if (FHeader->GetSubject(subject) && !subject.empty()) return;
  if (FHeader->GetValue("Message-ID", subject) && !subject.empty()) return;
  subject = "No subject";
}

std::string TEmailMsg::GetSubject() {
  std::string subject;
  GetSubject(subject);
  return subject;
}

TAsynchDNSRBLLookupBase& TEmailMsg::GetDnsrblLookup() {
  TMsgGuard guard(FLock);
  if (!FRblLookup) FRblLookup = NewDnsrblLookup();
  return *FRblLookup;
}

void TEmailMsg::SetAddressCheckThread(TThreadHandle thread) {
  TMsgGuard guard(FLock);
  FAddressCheckThread = std::move(thread);
}

TThreadHandle TEmailMsg::GetAddressCheckThread() {
  TMsgGuard guard(FLock);
  return FAddressCheckThread;
}

bool TEmailMsg::AddressCheckDone() {
  TThreadHandle thread;
  {
    TMsgGuard guard(FLock);
    thread = FAddressCheckThread;
  }
  return !thread || !ThreadIsRunning(thread);
}

double TEmailMsg::GetRepetitionFactor() {
  TMsgGuard guard(FLock);
  return RepetitionFactor(FSearchRecs);
}

// ---------------------------------------------------------------------------
// Source account and UIDL

bool TEmailMsg::SetUidlLocked(const std::string& uidl) {
  {
    std::lock_guard<std::mutex> lock(FInfoLock);
    if (FInfo->Value(TEmailInfoKey::UIDL) == uidl) return false;
    FInfo->SetValue(TEmailInfoKey::UIDL, uidl);
  }
  RefreshIndexLocked();
  return true;
}

void TEmailMsg::GetUidl(std::string& uidl) {
  TMsgGuard guard(FLock);
  EnsureHeadLocked();
  uidl = GetInfoValue(TEmailInfoKey::UIDL);
  if (!uidl.empty()) return;
  // A fresh UIDL has no duplicate: it is stored without the walk, which
  // could not run here anyway (callers hold their queue's lock).
  uidl = "Quorvantis" +
         IntToHexDigits(static_cast<std::uint32_t>(RandomRange(0, 0xFFFFFFFFLL)), 8) +
         FormatDateTime(".yyyy.mm.dd.hh.nn.ss", Now());
  SetUidlLocked(uidl);
}

std::string TEmailMsg::GetUidl() {
  std::string uidl;
  GetUidl(uidl);
  return uidl;
}

void TEmailMsg::RequireMessageLockReleased(const char* operation) const {
  if (FLock.IsEntered() && FLock.OwnerThreadId() == platform::CurrentThreadId())
    throw std::logic_error(std::string(operation) +
                           " reaches the queues and must not be called holding the message lock");
}

void TEmailMsg::FSetUidl(const std::string& uidl) {
  RequireMessageLockReleased("FSetUidl");
  TEmailMsgListBase* queue = nullptr;
  {
    TMsgGuard guard(FLock);
    CheckAccess("FSetUidl");
    EnsureLoadedLocked();
    if (!SetUidlLocked(uidl)) return;
    queue = FList.load();
  }
  if (queue == nullptr || uidl.empty()) return;
  for (const TEmailMsgRef& other : queue->Snapshot()) {
    if (other.get() == this || other->IsLocked()) continue;
    if (other->GetInfoValue(TEmailInfoKey::UIDL) == uidl) other->SendToPendhold(kDuplicateUidlReason);
  }
}

TEmailMsg::TIndexEntry TEmailMsg::KnownIndexEntry() {
  TIndexEntry entry = IndexEntry();
  if (!entry.Known && ReadIndexFromFile()) entry = IndexEntry();
  return entry;
}

TRemoteAccountRef TEmailMsg::GetSourceRemoteAccount() {
  // From the index: a message not read knows its account all the same.
  const std::string id = KnownIndexEntry().AccountId;
  if (id.empty()) return nullptr;
  return GlobalLocalAccounts().FindRemoteAccountById(id);
}

void TEmailMsg::FSetSourceRemoteAccount(const TRemoteAccountRef& account) {
  TMsgGuard guard(FLock);
  CheckAccess("FSetSourceRemoteAccount");
  EnsureLoadedLocked();
  const std::string uidl = GetInfoValue(TEmailInfoKey::UIDL);
  TUidlStatus remembered = us_NonExistant;
  if (TRemoteAccountRef old = GetSourceRemoteAccount()) {
    remembered = old->GetUidlStatus(uidl);
    old->SetUidlStatus(uidl, us_NonExistant);
  }
  if (account) account->SetUidlStatus(uidl, remembered == us_NonExistant ? us_Downloaded : remembered);
  {
    std::lock_guard<std::mutex> lock(FInfoLock);
    FInfo->SetValue(TEmailInfoKey::RemoteAccountId, account ? account->UniqueId() : std::string());
  }
  RefreshIndexLocked();
}

bool TEmailMsg::GetRemoteState(TUidlStatus& state) {
  state = us_NonExistant;
  const std::string uidl = KnownIndexEntry().Uidl;
  if (uidl.empty()) return false;
  TRemoteAccountRef account = GetSourceRemoteAccount();
  if (!account) return false;
  state = account->GetUidlStatus(uidl);
  return true;
}

void TEmailMsg::SetRemoteState(TUidlStatus state) {
  const std::string uidl = KnownIndexEntry().Uidl;
  if (uidl.empty()) return;
  if (TRemoteAccountRef account = GetSourceRemoteAccount()) account->SetUidlStatus(uidl, state);
}

void TEmailMsg::FSetFlaggedDeleted(bool flag) {
  TMsgGuard guard(FLock);
  CheckAccess("FSetFlaggedDeleted");
  FFlaggedDeleted.store(flag);
  if (flag && KnownIndexEntry().Uidl.empty() && GetSourceRemoteAccount()) {
    std::string uidl;
    GetUidl(uidl);
  }
}

bool TEmailMsg::Obliterate(bool deleteRemote, const std::string& reason) {
  RequireMessageLockReleased("Obliterate");
  CheckAccess("Obliterate");
  TEmailMsgListBase* queue = FList.load();
  if (queue == nullptr) return false;
  return queue->Obliterate(shared_from_this(), deleteRemote, reason);
}

bool TEmailMsg::SendToPendhold(const std::string& reason) {
  RequireMessageLockReleased("SendToPendhold");
  TMessageRepositoryBase* repository = FindMessageRepository(kSingleUserName);
  return repository != nullptr && repository->SendToPendhold(shared_from_this(), reason);
}

bool TEmailMsg::MoveToTrash(std::uint8_t code, const std::string& reason) {
  RequireMessageLockReleased("MoveToTrash");
  TMessageRepositoryBase* repository = FindMessageRepository(kSingleUserName);
  return repository != nullptr && repository->SendToTrash(shared_from_this(), code, reason);
}

bool TEmailMsg::IsInPendhold() {
  RequireMessageLockReleased("IsInPendhold");
  TMessageRepositoryBase* repository = FindMessageRepository(kSingleUserName);
  return repository != nullptr && GetList() != nullptr && GetList() == repository->Pendhold();
}

bool TEmailMsg::IsInTrash() {
  RequireMessageLockReleased("IsInTrash");
  TMessageRepositoryBase* repository = FindMessageRepository(kSingleUserName);
  return repository != nullptr && GetList() != nullptr && GetList() == repository->Trash();
}

std::uint8_t TEmailMsg::DeleteCode() const {
  TMsgGuard guard(FLock);
  return FDeleteCode;
}

std::string TEmailMsg::DeleteReason() const {
  TMsgGuard guard(FLock);
  return FDeleteReason;
}

void TEmailMsg::SetDeleteReason(std::uint8_t code, const std::string& reason) {
  TMsgGuard guard(FLock);
  FDeleteCode = code;
  FDeleteReason = reason;
}

}  // namespace halvorn
