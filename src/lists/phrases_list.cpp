#include "lists/phrases_list.h"

#include <mutex>
#include <utility>

#include "foundation/app/log.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/threads/shared_lists.h"

namespace halvorn {

namespace {

// Names and descriptions are the program's own texts, kept word for word.
const TBuiltInPhraseListInfo kBuiltInLists[kBuiltInPhraseListCount] = {
    {"{Sent Message ids}", pltStrings, 7,
     "This is a list of message ids that you have sent.  It is used to white list any messages "
     "that reference messages you sent.",
     false},
    {"{Approved Senders}", pltEmailAddress, 0,
     "This is a list of people who's mail you ALWAYS want to accept.", false},
    {"{Banned Senders}", pltEmailAddress, 14,
     "This is a list of people who's mail you NEVER want to accept.", false},
    {"{Approved Subject Lines}", pltStrings, 7,
     "Any message that has a subject line that is found in this list will always be accepted.",
     false},
    {"{Banned Subject Lines}", pltStrings, 3,
     "If you receive a message with from someone who is not an Approved Sender with a Subject "
     "Line in this list then the message will be rejected.",
     false},
    {"{Pornographic Keywords}", pltStrings, 0,
     "This is a list of phrases that have a sexual meaning and can be considered pornographic in "
     "nature, or are often found in pornographic advertising.\r\n"
     "They are crude phrases that one would not normally use when simply discussing subjects of a "
     "sexual or biological nature.",
     true},
    {"{Miscellaneous Keywords}", pltStrings, 0,
     "This is a list of phrases that are commonly found in Spam but are not found in other "
     "messages.  You can also add any phrase particular to yourself which you would like to "
     "screen.",
     false},
    {"{Sexual Word List}", pltStrings, 0,
     "This is a list of words that have a sexual meaning or refer to sexual body parts.  They are "
     "NOT necessarily crude or pornographic.",
     true},
    {"{Profanity List}", pltStrings, 0, "This is a list of swear words.", true},
    {"{Spam Checksums}", pltStrings, 14,
     "This is a list of email checksums which you have categorized as spam", false},
};

// Fills a new built-in list from the default-phrases file, when there is
// one (opening a settings file would create a missing one).
void LoadDefaultPhrases(TPhrases& list) {
  const std::string path = GetDefaultPhrasesFilePath();
  if (!GetFileStamp(path).Exists) return;
  try {
    TQuorIniFile defaults(path);
    list.LoadFromIni(defaults);
  } catch (const EQuorIniFileError& error) {
    Log("Phrases", "The default phrases of " + list.Name() + " cannot be read: " + error.what(), 3,
        true);
  }
}

TGlobalHolder<TPhrasesList> globalList;

}  // namespace

const TBuiltInPhraseListInfo* BuiltInPhraseListInfo(int index) {
  if (index < 0 || index >= kBuiltInPhraseListCount) return nullptr;
  return &kBuiltInLists[index];
}

std::shared_ptr<TPhrasesList> GlobalPhrasesList() { return globalList.Get(); }

void SetGlobalPhrasesList(std::shared_ptr<TPhrasesList> list) { globalList.Set(std::move(list)); }

int TPhrasesList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FItems.size());
}

std::shared_ptr<TPhrases> TPhrasesList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[static_cast<std::size_t>(index)];
}

std::vector<std::shared_ptr<TPhrases>> TPhrasesList::Snapshot() {
  TCriticalSectionGuard guard(FLock);
  return FItems;
}

int TPhrasesList::Add(std::shared_ptr<TPhrases> list) {
  if (!list) return -1;
  TCriticalSectionGuard guard(FLock);
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i] == list) return static_cast<int>(i);
  FItems.push_back(std::move(list));
  return static_cast<int>(FItems.size()) - 1;
}

int TPhrasesList::Remove(const TPhrases* list) {
  TCriticalSectionGuard guard(FLock);
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i].get() == list) {
      FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(i));
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::shared_ptr<TPhrases> TPhrasesList::FindListLocked(std::string_view name) {
  for (const auto& list : FItems)
    if (SameText1252(list->Name(), name)) return list;
  return nullptr;
}

std::shared_ptr<TPhrases> TPhrasesList::FindList(std::string_view name) {
  TCriticalSectionGuard guard(FLock);
  return FindListLocked(name);
}

std::shared_ptr<TPhrases> TPhrasesList::GetBuiltInList(int index) {
  const TBuiltInPhraseListInfo* info = BuiltInPhraseListInfo(index);
  if (!info) return nullptr;
  {
    TCriticalSectionGuard guard(FLock);
    if (auto present = FindListLocked(info->Name)) return present;
  }
  // Made and filled outside the set's lock; another thread may have added
  // the list meanwhile, and then that one is the list.
  auto list = std::make_shared<TPhrases>();
  list->SetName(info->Name);
  list->SetOwner("Global");
  list->SetListType(info->Type);
  list->SetDaysToExpire(info->DaysToExpire);
  list->SetDescription(info->Description);
  if (info->FromDefaultPhrases) LoadDefaultPhrases(*list);
  TCriticalSectionGuard guard(FLock);
  if (auto present = FindListLocked(info->Name)) return present;
  FItems.push_back(list);
  return list;
}

std::string TPhrasesList::SectionNameLocked() {
  if (FSectionName.empty()) FSectionName = kPhrasesListSection;
  return FSectionName;
}

std::string TPhrasesList::SectionName() {
  TCriticalSectionGuard guard(FLock);
  return FSectionName;
}

void TPhrasesList::SaveToIni(TQuorIniFile& ini, const std::string& owner) {
  (void)owner;  // every list is written, see the header
  std::string section;
  std::vector<std::shared_ptr<TPhrases>> lists;
  {
    TCriticalSectionGuard guard(FLock);
    section = SectionNameLocked();
    lists = FItems;
  }
  ini.EraseSection(section);
  std::vector<std::shared_ptr<TPhrases>> written;
  for (const auto& list : lists) {
    std::string name = list->Name();
    if (TrimText(name).empty() || SameText1252(name, section)) continue;
    ini.WriteString(section, "PhraseList" + std::to_string(written.size()), name);
    written.push_back(list);
  }
  for (const auto& list : written) list->SaveToIni(ini);
}

void TPhrasesList::LoadFromIni(TQuorIniFile& ini, const std::string& owner) {
  std::string section;
  {
    TCriticalSectionGuard guard(FLock);
    section = SectionNameLocked();
  }
  for (int n = 0;; ++n) {
    const std::string name = ini.ReadString(section, "PhraseList" + std::to_string(n), "");
    if (name.empty()) break;
    std::shared_ptr<TPhrases> list;
    {
      TCriticalSectionGuard guard(FLock);
      list = FindListLocked(name);
    }
    const bool isNew = !list;
    if (isNew) list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetOwner(owner);
    list->LoadFromIni(ini);
    if (!isNew) continue;
    TCriticalSectionGuard guard(FLock);
    // A list of that name made meanwhile (a built-in one asked for by
    // another thread) takes what was loaded, so the set holds it once.
    if (auto present = FindListLocked(name)) {
      present->Assign(*list);
    } else {
      FItems.push_back(std::move(list));
    }
  }
}

void TPhrasesList::SetOnListRenamed(TListRenamedEvent handler) {
  TCriticalSectionGuard guard(FLock);
  FOnListRenamed = std::move(handler);
}

void TPhrasesList::ListRenamed(const std::string& newName, const std::string& oldName) {
  TListRenamedEvent handler;
  {
    TCriticalSectionGuard guard(FLock);
    handler = FOnListRenamed;
  }
  if (handler) handler(newName, oldName);
}

}  // namespace halvorn
