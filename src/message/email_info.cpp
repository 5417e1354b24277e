#include "message/email_info.h"

#include "message/link_key.h"

#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>

#include "foundation/app/log.h"
#include "foundation/app/statistics_hooks.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/net/host_names.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/crypto/random_source.h"
#include "message/quor_url.h"

namespace halvorn {

namespace {

const char* const kLogService = "EmailInfo";

// Record files are a few hundred bytes; anything this large is damage.
constexpr std::size_t kMaxRecordFileBytes = 16 * 1024 * 1024;

constexpr std::int32_t kFirstRandomId = 1;
constexpr std::int32_t kLastRandomId = 0x7FFFFFFE;

constexpr std::size_t kMaxPositionLength = 999;

// What a line of the file holds besides the plain texts.
enum class TSlot { Text, QCHMsgId, StandardTests, Urls, DangerLevel, BannedPhrases };

struct TFileField {
  const char* Name;
  TSlot Slot;
  TEmailInfoKey Key;  // for TSlot::Text
};

// The writer's order of the lines.
constexpr TFileField kFileOrder[] = {
    {"MailBox", TSlot::Text, TEmailInfoKey::MailBox},
    {"UIDL", TSlot::Text, TEmailInfoKey::UIDL},
    {"RemoteAccountId", TSlot::Text, TEmailInfoKey::RemoteAccountId},
    {"PendholdText", TSlot::Text, TEmailInfoKey::PendholdText},
    {"PendholdCategory", TSlot::Text, TEmailInfoKey::PendholdCategory},
    {"CategoryProbabilitiesStr", TSlot::Text, TEmailInfoKey::CategoryProbabilitiesStr},
    {"BackupFile", TSlot::Text, TEmailInfoKey::BackupFile},
    {"UserWanted", TSlot::Text, TEmailInfoKey::UserWanted},
    {"ShowExtRefs", TSlot::Text, TEmailInfoKey::ShowExtRefs},
    {"ReportFile", TSlot::Text, TEmailInfoKey::ReportFile},
    {"SummaryReport", TSlot::Text, TEmailInfoKey::SummaryReport},
    {"MailListId", TSlot::Text, TEmailInfoKey::MailListId},
    {"QCHHasMsgText", TSlot::Text, TEmailInfoKey::QCHHasMsgText},
    {"SourceIP", TSlot::Text, TEmailInfoKey::SourceIP},
    {"DccBody", TSlot::Text, TEmailInfoKey::DccBody},
    {"DccFuz1", TSlot::Text, TEmailInfoKey::DccFuz1},
    {"DccFuz2", TSlot::Text, TEmailInfoKey::DccFuz2},
    {"QCHMsgId", TSlot::QCHMsgId, TEmailInfoKey::MailBox},
    {"StandardTests", TSlot::StandardTests, TEmailInfoKey::MailBox},
    {"Urls", TSlot::Urls, TEmailInfoKey::MailBox},
    {"StatData", TSlot::Text, TEmailInfoKey::StatData},
    {"POPDuplicate", TSlot::Text, TEmailInfoKey::POPDuplicate},
    {"DangerLevel", TSlot::DangerLevel, TEmailInfoKey::MailBox},
    {"BannedPhrases", TSlot::BannedPhrases, TEmailInfoKey::MailBox},
};

// A value holding a line break would split into false keys at the next load.
std::string OneLine(std::string value) {
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

// The entries "level name", the level as three digits ("005Macro").
std::string DangerLevelText(const TStringList& entries) {
  TStringList texts;
  for (int i = 0; i < entries.Count(); ++i)
    texts.Add(PadLeft(std::to_string(entries.Numbers(i)), 3, "0") + entries[i]);
  return texts.CommaText();
}

void ReadDangerLevel(const std::string& commaText, TStringList& entries) {
  TStringList texts;
  texts.SetCommaText(commaText);
  for (int i = 0; i < texts.Count(); ++i) {
    const std::string& entry = texts[i];
    const std::int32_t level = StrToIntDef(std::string_view(entry).substr(0, 3), 10);
    entries.AddNumber(entry.size() > 3 ? entry.substr(3) : std::string(), level);
  }
}

void MakeDangerList(TStringList& list) {
  list.SetSorted(true);
  list.SetDuplicates(TDuplicates::dupIgnore);
}

// Problems met while reading a record, logged once its lock is released:
// nothing is locked under a record's lock.
void LogReadProblems(const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) Log(kLogService, problem, 5, true);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace

const char* EmailInfoKeyName(TEmailInfoKey key) {
  for (const TFileField& field : kFileOrder) {
    if (field.Slot == TSlot::Text && field.Key == key) return field.Name;
  }
  return "";
}

std::string EmailInfoDir() {
  return GetInstallDir() + "/EmailInfo";
}

// ---------------------------------------------------------------------------
// The registry of live records.

struct TEmailInfoRegistry {
  TMutexCriticalSection Lock{"EmailInfoRegistry_CS"};
  std::unordered_map<std::int32_t, TEmailInfo*> Live;

  // Never destroyed: records may be released by threads that outlive the
  // static objects' destruction.
  static TEmailInfoRegistry& Get() {
    static auto* registry = new TEmailInfoRegistry;
    return *registry;
  }

  // Callers hold Lock.
  std::int32_t DrawFreshId() const {
    while (true) {
      const auto id = static_cast<std::int32_t>(RandomRange(kFirstRandomId, kLastRandomId));
      if (Live.count(id) == 0 && !FileExists(EmailInfoDir() + "/" + std::to_string(id) + ".dat"))
        return id;
    }
  }

  // Files a live record under its new Id. Callers hold Lock.
  void Rekey(TEmailInfo& record, std::int32_t id) {
    if (!record.FRegistered) return;
    const auto other = Live.find(id);
    if (other != Live.end() && other->second != &record)
      throw std::logic_error("Side record " + std::to_string(id) + " is live twice");
    Live.erase(record.Id());
    Live[id] = &record;
  }

  void Register(TEmailInfo& record) {
    if (record.FRegistered) return;
    record.FRegistered = true;
    Live[record.Id()] = &record;
    if (record.FRefCount.load() < 1) record.FRefCount.store(1);
  }

  void Unregister(TEmailInfo& record) {
    if (!record.FRegistered) return;
    const auto entry = Live.find(record.Id());
    if (entry != Live.end() && entry->second == &record) Live.erase(entry);
    record.FRegistered = false;
  }

  static void Adopt(TEmailInfo& record, const std::weak_ptr<TEmailInfoOwner>& owner) {
    if (!owner.expired() && record.FOwner.expired()) record.FOwner = owner;
  }

  // AcquireEmailInfo under Lock.
  bool Acquire(std::int32_t id, TEmailInfo*& record, const std::weak_ptr<TEmailInfoOwner>& owner) {
    const auto live = Live.find(id);
    if (live != Live.end()) {
      TEmailInfo& shared = *live->second;
      shared.FRefCount.fetch_add(1);
      Adopt(shared, owner);
      record = &shared;
      return true;
    }
    std::unique_ptr<TEmailInfo> fresh(new TEmailInfo(TEmailInfo::TNoId{}));
    fresh->FId.store(id);
    bool found = false;
    std::vector<std::string> problems;
    {
      TCriticalSectionGuard guard(fresh->FLock);
      found = fresh->ReadFileLocked(problems);
    }
    LogReadProblems(problems);
    Register(*fresh);
    Adopt(*fresh, owner);
    record = fresh.release();
    return found;
  }

  // SwitchEmailInfo under Lock.
  bool Switch(TEmailInfo*& record, std::int32_t id, const std::weak_ptr<TEmailInfoOwner>& owner) {
    if (record != nullptr && record->Id() == id) {
      Adopt(*record, owner);
      return true;
    }
    if (record != nullptr && Live.count(id) == 0 && record->RefCount() <= 1) {
      // Nobody else sees this record: it may load the other Id in place.
      const bool found = record->Load(id);
      Register(*record);
      Adopt(*record, owner);
      return found;
    }
    TEmailInfo* old = record;
    const bool found = Acquire(id, record, owner);
    ReleaseEmailInfo(old);
    return found;
  }

  // The body of ReleaseEmailInfo; never raises.
  static void Release(TEmailInfo* record) noexcept {
    const std::string id = std::to_string(record->Id());
    try {
      TEmailInfoRegistry& registry = Get();
      TCriticalSectionGuard guard(registry.Lock);
      if (record->FRefCount.fetch_sub(1) > 1) return;
      std::string error;
      try {
        error = record->Save();
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (!error.empty()) Log(kLogService, "Side record " + id + " not saved: " + error, 10, true);
      registry.Unregister(*record);
      delete record;
    } catch (const std::exception& e) {
      Log(kLogService, "Side record " + id + " not released: " + e.what(), 10, true);
    } catch (...) {
      Log(kLogService, "Side record " + id + " not released", 10, true);
    }
  }

  static std::shared_ptr<TEmailInfoOwner> OwnerOf(const TEmailInfo& record) {
    return record.FOwner.lock();
  }
};

// ---------------------------------------------------------------------------
// TEmailInfo

TEmailInfo::TEmailInfo(TNoId) {
  MakeDangerList(FDangerLevel);
}

TEmailInfo::TEmailInfo() : TEmailInfo(TNoId{}) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard guard(registry.Lock);
  FId.store(registry.DrawFreshId());
}

TEmailInfo::~TEmailInfo() = default;

void TEmailInfo::SetId(std::int32_t id) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard registryGuard(registry.Lock);
  TCriticalSectionGuard guard(FLock);
  if (id == FId.load()) return;
  registry.Rekey(*this, id);
  FId.store(id);
  FFileIsOurs = false;
}

void TEmailInfo::NewId() {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard registryGuard(registry.Lock);
  TCriticalSectionGuard guard(FLock);
  const std::int32_t id = registry.DrawFreshId();
  registry.Rekey(*this, id);
  FId.store(id);
  FFileIsOurs = false;
}

void TEmailInfo::Clear() {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard registryGuard(registry.Lock);
  TCriticalSectionGuard guard(FLock);
  ClearFieldsLocked();
  NewId();
}

void TEmailInfo::ClearFieldsLocked() {
  for (std::string& value : FValues) value.clear();
  FQCHMsgId = 0;
  FStandardTests.clear();
  FUrls.Clear();
  FDangerLevel.Clear();
  FBannedPhrases.Clear();
}

bool TEmailInfo::Load(std::int32_t id) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard registryGuard(registry.Lock);
  std::vector<std::string> problems;
  bool found = false;
  {
    TCriticalSectionGuard guard(FLock);
    if (id == FId.load()) return true;
    registry.Rekey(*this, id);
    ClearFieldsLocked();
    FId.store(id);
    found = ReadFileLocked(problems);
  }
  LogReadProblems(problems);
  return found;
}

bool TEmailInfo::ReadFileLocked(std::vector<std::string>& problems) {
  FFileIsOurs = false;
  const std::string path = FileName();
  if (!FileExists(path)) return false;
  std::string bytes;
  const std::string error = ReadFileBytes(path, kMaxRecordFileBytes, bytes);
  if (!error.empty()) {
    problems.push_back(error);
    return false;
  }
  TStringList lines;
  lines.SetText(bytes);
  bool whole = true;
  for (const TFileField& field : kFileOrder) {
    const std::string value = lines.Values(field.Name);
    try {
      switch (field.Slot) {
        case TSlot::Text:
          FValues[static_cast<int>(field.Key)] = value;
          break;
        case TSlot::QCHMsgId:
          FQCHMsgId = StrToIntDef(value, 0);
          break;
        case TSlot::StandardTests:
          FStandardTests = TriteArrayFromText(value);
          break;
        case TSlot::Urls:
          FUrls.SetCommaText(value);
          break;
        case TSlot::DangerLevel:
          ReadDangerLevel(value, FDangerLevel);
          break;
        case TSlot::BannedPhrases:
          FBannedPhrases.SetCommaText(value);
          break;
      }
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& e) {
      // A damaged value loses only itself; the rest of the file still loads.
      problems.push_back(path + ": " + field.Name + ": " + e.what());
      whole = false;
    }
  }
  FFileIsOurs = whole;
  return whole;
}

std::string TEmailInfo::Save() {
  TCriticalSectionGuard guard(FLock);
  std::string text;
  for (const TFileField& field : kFileOrder) {
    std::string value;
    switch (field.Slot) {
      case TSlot::Text:
        value = FValues[static_cast<int>(field.Key)];
        break;
      case TSlot::QCHMsgId:
        if (FQCHMsgId != 0) value = std::to_string(FQCHMsgId);
        break;
      case TSlot::StandardTests:
        value = TriteArrayToCompressedText(FStandardTests);
        break;
      case TSlot::Urls:
        if (!FUrls.Empty()) value = FUrls.CommaText();
        break;
      case TSlot::DangerLevel:
        if (!FDangerLevel.Empty()) value = DangerLevelText(FDangerLevel);
        break;
      case TSlot::BannedPhrases:
        if (!FBannedPhrases.Empty()) value = FBannedPhrases.CommaText();
        break;
    }
    if (!value.empty()) text += std::string(field.Name) + "=" + OneLine(std::move(value)) + "\r\n";
  }
  const std::string path = FileName();
  if (text.empty()) {
    if (FFileIsOurs) {
      std::error_code ec;
      std::filesystem::remove(path, ec);
      if (ec) return "Cannot delete " + path + ": " + ec.message();
      FFileIsOurs = false;
    }
    return {};
  }
  CreateFolderTree(EmailInfoDir());
  std::string error = WriteFileAtomically(path, text);
  if (error.empty()) FFileIsOurs = true;
  return error;
}

bool TEmailInfo::Delete() {
  TCriticalSectionGuard guard(FLock);
  FFileIsOurs = false;
  std::error_code ec;
  return std::filesystem::remove(FileName(), ec);
}

std::string TEmailInfo::FileName() const {
  return EmailInfoDir() + "/" + std::to_string(FId.load()) + ".dat";
}

std::string TEmailInfo::Value(TEmailInfoKey key) const {
  TCriticalSectionGuard guard(FLock);
  return FValues[static_cast<int>(key)];
}

void TEmailInfo::SetValue(TEmailInfoKey key, const std::string& value) {
  TCriticalSectionGuard guard(FLock);
  FValues[static_cast<int>(key)] = value;
}

std::int32_t TEmailInfo::GetPendholdCategory(std::int32_t defaultCategory) const {
  return StrToIntDef(Value(TEmailInfoKey::PendholdCategory), defaultCategory);
}

void TEmailInfo::SetPendholdCategory(std::int32_t category) {
  SetValue(TEmailInfoKey::PendholdCategory, std::to_string(category));
}

std::string TEmailInfo::WorkingCategory() const {
  TCriticalSectionGuard guard(FLock);
  return FWorkingCategory;
}

void TEmailInfo::SetWorkingCategory(std::int32_t category) {
  TCriticalSectionGuard guard(FLock);
  FWorkingCategory = std::to_string(category);
}

std::int32_t TEmailInfo::QCHMsgId() const {
  TCriticalSectionGuard guard(FLock);
  return FQCHMsgId;
}

void TEmailInfo::SetQCHMsgId(std::int32_t id) {
  TCriticalSectionGuard guard(FLock);
  FQCHMsgId = id;
}

TTriteArray TEmailInfo::StandardTests() const {
  TCriticalSectionGuard guard(FLock);
  return FStandardTests;
}

void TEmailInfo::SetStandardTests(const TTriteArray& tests) {
  TCriticalSectionGuard guard(FLock);
  FStandardTests = tests;
}

TTrite TEmailInfo::StandardTest(int index) const {
  TCriticalSectionGuard guard(FLock);
  return TriteGet(FStandardTests, index);
}

void TEmailInfo::SetStandardTest(int index, TTrite value, bool onlyIfUnknown) {
  TCriticalSectionGuard guard(FLock);
  TriteSet(FStandardTests, index, value, onlyIfUnknown);
}

TStringList TEmailInfo::Urls() const {
  TCriticalSectionGuard guard(FLock);
  return FUrls;
}

void TEmailInfo::SetUrls(const TStringList& urls) {
  TCriticalSectionGuard guard(FLock);
  FUrls = urls;
}

TStringList TEmailInfo::DangerLevel() const {
  TCriticalSectionGuard guard(FLock);
  return FDangerLevel;
}

bool TEmailInfo::AddDangerLevel(const std::string& name, std::int32_t level) {
  TCriticalSectionGuard guard(FLock);
  int index = 0;
  if (FDangerLevel.Find(name, index)) return false;
  FDangerLevel.AddNumber(name, level);
  return true;
}

void TEmailInfo::SetDangerLevel(const TStringList& entries) {
  TCriticalSectionGuard guard(FLock);
  FDangerLevel.Clear();
  for (int i = 0; i < entries.Count(); ++i) FDangerLevel.AddNumber(entries[i], entries.Numbers(i));
}

TStringList TEmailInfo::BannedPhrases() const {
  TCriticalSectionGuard guard(FLock);
  return FBannedPhrases;
}

void TEmailInfo::SetBannedPhrases(const TStringList& phrases) {
  TCriticalSectionGuard guard(FLock);
  FBannedPhrases = phrases;
}

bool TEmailInfo::MakeDecodeLink(const std::string& target, std::string& link) {
  TQuorUrl url;
  url.SetUrl(target);
  url.Clear();
  url.User.clear();
  url.Password.clear();
  url.Document = "Decode";
  TCriticalSectionGuard guard(FLock);
  url.Add(IntToHexDigits(static_cast<std::uint32_t>(FId.load()), 8) +
          std::to_string(FUrls.Count()));
  // After the id-and-index pair, which is all ResolveLink reads; dropped
  // again for a link that does not lead to this machine.
  url.Add(std::string(kLinkKeyName) + "=" + GetLinkKey());
  link = url.GetUrl();
  FUrls.Add(target);
  return true;
}

bool TEmailInfo::ResolveLink(const std::string& link, std::string& target) const {
  target.clear();
  try {
    TQuorUrl url;
    url.SetUrl(link);
    if (url.Document != "Decode") return false;
    // Only the id-and-index pair counts; the link key may follow it.
    const std::string query = url.Count() > 0 ? url[0] : std::string();
    if (query.size() < 8) return false;
    for (int i = 0; i < 8; ++i) {
      if (!std::isxdigit(static_cast<unsigned char>(query[i]))) return false;
    }
    std::int32_t position = -1;
    if (!TryStrToInt(query.substr(8, kMaxPositionLength), position) || position < 0) return false;
    TCriticalSectionGuard guard(FLock);
    if (HexToIP(query.substr(0, 8)) != static_cast<std::uint32_t>(FId.load())) return false;
    if (position >= FUrls.Count()) return false;
    target = FUrls[position];
    return true;
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

// ---------------------------------------------------------------------------
// Sharing

bool AcquireEmailInfo(std::int32_t id, TEmailInfo*& record,
                      const std::weak_ptr<TEmailInfoOwner>& owner) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard guard(registry.Lock);
  return registry.Acquire(id, record, owner);
}

void AcquireNewEmailInfo(TEmailInfo*& record, const std::weak_ptr<TEmailInfoOwner>& owner) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard guard(registry.Lock);
  auto fresh = std::make_unique<TEmailInfo>();
  registry.Register(*fresh);
  TEmailInfoRegistry::Adopt(*fresh, owner);
  record = fresh.release();
}

bool SwitchEmailInfo(TEmailInfo*& record, std::int32_t id,
                     const std::weak_ptr<TEmailInfoOwner>& owner) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard guard(registry.Lock);
  return registry.Switch(record, id, owner);
}

void ReleaseEmailInfo(TEmailInfo*& record) noexcept {
  TEmailInfo* released = record;
  record = nullptr;
  if (released != nullptr) TEmailInfoRegistry::Release(released);
}

std::shared_ptr<TEmailInfoOwner> FindEmailInfoOwner(std::int32_t id) {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard guard(registry.Lock);
  const auto live = registry.Live.find(id);
  return live == registry.Live.end() ? nullptr : TEmailInfoRegistry::OwnerOf(*live->second);
}

int LiveEmailInfoCount() {
  TEmailInfoRegistry& registry = TEmailInfoRegistry::Get();
  TCriticalSectionGuard guard(registry.Lock);
  return static_cast<int>(registry.Live.size());
}

int CullEmailInfo(TDateTime before) {
  StatEnter("CullEmailInfo");
  const int deleted = DeleteFilesOlderThan(EmailInfoDir(), "*.dat", before);
  StatLeave("CullEmailInfo", deleted);
  return deleted;
}

}  // namespace halvorn
