#include "lists/mailing_lists.h"

#include <mutex>
#include <unordered_set>
#include <utility>

#include "foundation/crypto/random_source.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"

namespace halvorn {

namespace {

// Scores of FindBestMatch: above kMergeScore a message merges into the
// list; above kKnownListScore a known list alone makes it list mail.
constexpr int kSameListScore = 100;
constexpr int kKnownListScore = 80;
constexpr int kMergeScore = 50;

constexpr std::int64_t kHighestUniqueId = 2147483646;

std::uint32_t IdOf(const TMailingList& list) {
  TCriticalSectionGuard guard(list.Lock());
  return list.UniqueId;
}

// A private copy of a list, read under its lock.
std::unique_ptr<TMailingList> CopyOf(const TMailingList& list) {
  auto copy = std::make_unique<TMailingList>();
  copy->Assign(list);
  return copy;
}

// Both name a list, and not the same one: a message that names its own list
// never belongs to another, whatever its subject shares with that list's.
bool OtherListIds(const std::string& a, const std::string& b) {
  return !a.empty() && !b.empty() && !SameText1252(a, b);
}

std::string ListKey(int n) {
  return "List" + std::to_string(n);
}

std::mutex globalMutex;
std::shared_ptr<TMailingListList> globalTable;

}  // namespace

int TMailingListList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FItems.size());
}

std::shared_ptr<TMailingList> TMailingListList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[static_cast<std::size_t>(index)];
}

std::vector<std::shared_ptr<TMailingList>> TMailingListList::Snapshot() {
  TCriticalSectionGuard guard(FLock);
  return FItems;
}

void TMailingListList::Clear() {
  std::vector<std::shared_ptr<TMailingList>> old;
  {
    TCriticalSectionGuard guard(FLock);
    old.swap(FItems);
  }
  // The lists no one else holds go here, outside the lock.
}

int TMailingListList::IndexOfIdLocked(std::uint32_t id) {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (IdOf(*FItems[i]) == id) return static_cast<int>(i);
  return -1;
}

int TMailingListList::Add(std::shared_ptr<TMailingList> list) {
  if (!list) return -1;
  const std::uint32_t id = IdOf(*list);
  TCriticalSectionGuard guard(FLock);
  if (IndexOfIdLocked(id) >= 0) return -1;
  FItems.push_back(std::move(list));
  return static_cast<int>(FItems.size()) - 1;
}

std::shared_ptr<TMailingList> TMailingListList::FindByUniqueId(std::uint32_t id) {
  if (id == 0) return nullptr;
  TCriticalSectionGuard guard(FLock);
  const int index = IndexOfIdLocked(id);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)];
}

TMailingListMatch TMailingListList::FindBestMatchLocked(const TMailingList& copy) {
  TMailingListMatch best;
  if (copy.IsEmpty()) return best;
  const std::string listId = copy.GetListId();
  for (const std::shared_ptr<TMailingList>& known : FItems) {
    {
      TCriticalSectionGuard guard(known->Lock());
      const std::string& piece = known->SubjectLineSubstring;
      if (!piece.empty() && copy.FLastSubject.find(piece) != std::string::npos &&
          !OtherListIds(listId, known->GetListId()))
        return {known, kSameListScore};
    }
    // The copy is private: only the known list's lock is taken.
    const int score = known->MatchScore(copy);
    if (score == 0) continue;
    if (score == kSameListScore) return {known, score};
    if (score > best.Score) best = {known, score};
  }
  return best;
}

TMailingListMatch TMailingListList::FindBestMatch(const TMailingList& fingerprint) {
  const std::unique_ptr<TMailingList> copy = CopyOf(fingerprint);
  TCriticalSectionGuard guard(FLock);
  return FindBestMatchLocked(*copy);
}

bool TMailingListList::LooksLikeMailingList(const TMailingList& fingerprint) {
  const std::unique_ptr<TMailingList> copy = CopyOf(fingerprint);
  if (DefaultLooksLikeMailingList(*copy)) return true;
  TCriticalSectionGuard guard(FLock);
  return FindBestMatchLocked(*copy).Score > kKnownListScore;
}

std::shared_ptr<TMailingList> TMailingListList::AddOrMerge(const TMailingList& fingerprint) {
  const std::unique_ptr<TMailingList> copy = CopyOf(fingerprint);
  const bool listHeaders = DefaultLooksLikeMailingList(*copy);
  TCriticalSectionGuard guard(FLock);
  TMailingListMatch match = FindBestMatchLocked(*copy);
  if (!listHeaders && match.Score <= kKnownListScore) return nullptr;
  if (match.Score > kMergeScore) {
    match.List->MergeFrom(*copy);
    return match.List;
  }
  auto list = std::make_shared<TMailingList>();
  list->Assign(*copy);
  {
    TCriticalSectionGuard listGuard(list->Lock());
    list->MsgCount = 1;
    // A list of the table may have the fingerprint's id (a fingerprint made
    // from a stored list, or a random draw that met one): the new list gets
    // a free one, so that it is in the table it is handed out of.
    while (IndexOfIdLocked(list->UniqueId) >= 0)
      list->UniqueId = static_cast<std::uint32_t>(RandomRange(1, kHighestUniqueId));
  }
  FItems.push_back(list);
  return list;
}

void TMailingListList::Assign(TMailingListList& other) {
  if (&other == this) return;
  std::vector<std::unique_ptr<TMailingList>> copies;
  {
    TCriticalSectionGuard guard(other.FLock);
    copies.reserve(other.FItems.size());
    for (const std::shared_ptr<TMailingList>& list : other.FItems) copies.push_back(CopyOf(*list));
  }
  std::vector<std::shared_ptr<TMailingList>> dropped;
  TCriticalSectionGuard guard(FLock);
  std::vector<std::shared_ptr<TMailingList>> items;
  items.reserve(copies.size());
  std::unordered_set<std::uint32_t> taken;
  for (const std::unique_ptr<TMailingList>& copy : copies) {
    // The other table holds each id once; a second one is skipped all the
    // same rather than put twice into this table.
    if (!taken.insert(copy->UniqueId).second) continue;
    const int index = IndexOfIdLocked(copy->UniqueId);
    std::shared_ptr<TMailingList> list =
        index >= 0 ? FItems[static_cast<std::size_t>(index)] : std::make_shared<TMailingList>();
    list->Assign(*copy);
    items.push_back(std::move(list));
  }
  for (const std::shared_ptr<TMailingList>& list : FItems)
    if (taken.count(IdOf(*list)) == 0) dropped.push_back(list);
  FItems.swap(items);
}

void TMailingListList::SaveToIni(TQuorIniFile& ini, const std::string& section) {
  std::vector<std::string> texts;
  {
    TCriticalSectionGuard guard(FLock);
    texts.reserve(FItems.size());
    for (const std::shared_ptr<TMailingList>& list : FItems) texts.push_back(list->ToCommaText());
  }
  ini.EraseSection(section);
  for (std::size_t i = 0; i < texts.size(); ++i)
    ini.WriteString(section, ListKey(static_cast<int>(i) + 1), texts[i]);
}

void TMailingListList::LoadFromIni(TQuorIniFile& ini, const std::string& section) {
  for (int n = 1;; ++n) {
    std::string text;
    if (!ini.TryReadString(section, ListKey(n), text) || text.empty()) break;
    auto list = std::make_shared<TMailingList>();
    list->FromCommaText(text);
    Add(std::move(list));
  }
}

std::shared_ptr<TMailingListList> GlobalMailingListList() {
  std::lock_guard<std::mutex> lock(globalMutex);
  return globalTable;
}

void SetGlobalMailingListList(std::shared_ptr<TMailingListList> table) {
  std::shared_ptr<TMailingListList> old;
  {
    std::lock_guard<std::mutex> lock(globalMutex);
    old = std::exchange(globalTable, std::move(table));
  }
  // The old table goes here, outside the mutex.
}

bool GlobalLooksLikeMailingList(TMailingList& fingerprint) {
  const std::shared_ptr<TMailingListList> table = GlobalMailingListList();
  return table ? table->LooksLikeMailingList(fingerprint) : DefaultLooksLikeMailingList(fingerprint);
}

}  // namespace halvorn
