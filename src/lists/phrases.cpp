#include "lists/phrases.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "foundation/app/log.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/phrase_wildcards.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/time/clock.h"
#include "message/email_address.h"

namespace halvorn {

namespace {

// An outside list file larger than this is refused rather than read.
constexpr std::size_t kMaxPhraseFileSize = 64u * 1024 * 1024;

// The letters A to Z lowered; CR, LF and zero bytes (which neither the
// settings nor the outside file can hold inside an entry) as blanks.
std::string LowerPhrase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (c == '\r' || c == '\n' || c == '\0') {
      c = ' ';
    }
  }
  return out;
}

// The stored form of an entry.
std::string PrepareForAdd(std::string_view text, std::uint8_t type) {
  std::string lowered = LowerPhrase(text);
  if (type != pltEmailAddress) return lowered;
  std::size_t open = lowered.find('<');
  if (open != std::string::npos) {
    std::size_t close = lowered.find('>', open + 1);
    if (close != std::string::npos) return TrimText(lowered.substr(open + 1, close - open - 1));
  }
  return TrimText(lowered);
}

// The form a text is matched in.
std::string PrepareForMatch(std::string_view text, std::uint8_t type) {
  std::string lowered = LowerPhrase(text);
  return type == pltEmailAddress ? NormalizeEmailAddress(lowered) : lowered;
}

// The form IndexOf looks a text up in first: in an e-mail list, the bare
// address of the text read as an address field.
std::string PrepareForIndexOf(std::string_view text, std::uint8_t type) {
  std::string lowered = LowerPhrase(text);
  if (type != pltEmailAddress) return lowered;
  TEmailAddress address;
  address.Parse(lowered);
  return address.Address;
}

// The longest run of a pattern whose characters stand for themselves. Any
// text the pattern matches holds it: entries and prepared texts both have
// A to Z lowered, and the matcher folds no other case, so a plain find of the
// run rules most patterns out before the matcher runs.
std::string_view LongestLiteral(std::string_view pattern) {
  std::string_view best;
  std::size_t start = 0;
  while (start < pattern.size()) {
    std::size_t end = pattern.find_first_of("#$*?^~", start);
    if (end == std::string_view::npos) end = pattern.size();
    if (end - start > best.size()) best = pattern.substr(start, end - start);
    start = end + 1;
  }
  return best;
}

bool IsStorable(std::string_view prepared, std::uint8_t type) {
  return !prepared.empty() && !(type == pltEmailAddress && prepared == "@");
}

std::int32_t DayOf(TDateTime date) {
  double day = std::floor(date);
  if (!(day > INT32_MIN && day < INT32_MAX)) return 0;
  return static_cast<std::int32_t>(day);
}

// The date of a stored entry line: "Accessed", else "Created"; one that does
// not read falls back to "Created", then to now.
TDateTime EntryDate(const std::string& accessed, const std::string& created, TDateTime now) {
  try {
    return FileDateTextToDateTime(accessed.empty() ? created : accessed);
  } catch (const EConvertError&) {
  }
  try {
    return FileDateTextToDateTime(created);
  } catch (const EConvertError&) {
  }
  return now;
}

}  // namespace

std::string ReadPhraseFile(const std::string& path, TStringList& lines) {
  lines.Clear();
  std::string bytes;
  std::string error = ReadFileBytes(path, kMaxPhraseFileSize, bytes);
  if (!error.empty()) return error;
  // A text file ends at its first zero byte, as everywhere in the program.
  std::size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  lines.SetText(bytes);
  return {};
}

const char* PhraseListTypeName(std::uint8_t type) {
  switch (type) {
    case pltIPList:
      return "IP List";
    case pltEmailAddress:
      return "Email Address";
    default:
      return "Strings";
  }
}

std::uint8_t PhraseListTypeFromName(std::string_view name) {
  if (name == "IP List") return pltIPList;
  if (name == "Email Address") return pltEmailAddress;
  return pltStrings;
}

TPhrases::TPhrases() : FPlain(NewSortedList()), FWildcards(NewSortedList()) {}

TStringList TPhrases::NewSortedList() {
  TStringList list;
  list.SetCaseSensitive(false);
  list.SetDuplicates(TDuplicates::dupIgnore);
  list.SetSorted(true);
  return list;
}

// ---- Settings

std::string TPhrases::Name() const {
  TCriticalSectionGuard guard(FLock);
  return FName;
}

void TPhrases::SetName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FName = name;
}

std::string TPhrases::OldName() const {
  TCriticalSectionGuard guard(FLock);
  return FOldName;
}

void TPhrases::SetOldName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FOldName = name;
}

std::string TPhrases::Description() const {
  TCriticalSectionGuard guard(FLock);
  return FDescription;
}

void TPhrases::SetDescription(const std::string& description) {
  TCriticalSectionGuard guard(FLock);
  FDescription = description;
}

std::string TPhrases::FilePath() const {
  TCriticalSectionGuard guard(FLock);
  return FFilePath;
}

void TPhrases::SetFilePath(const std::string& path) {
  TCriticalSectionGuard guard(FLock);
  if (path == FFilePath) return;
  FFilePath = path;
  FFileBacked = !path.empty();
  FFileStamp = {};
  FFailedStamp = {};
  ++FGeneration;
}

std::uint8_t TPhrases::ListType() const {
  TCriticalSectionGuard guard(FLock);
  return FListType;
}

void TPhrases::SetListType(std::uint8_t type) {
  TCriticalSectionGuard guard(FLock);
  if (type == FListType) return;
  FListType = type;
  ++FGeneration;
}

std::string TPhrases::Owner() const {
  TCriticalSectionGuard guard(FLock);
  return FOwner;
}

void TPhrases::SetOwner(const std::string& owner) {
  TCriticalSectionGuard guard(FLock);
  FOwner = owner;
}

std::int32_t TPhrases::DaysToExpire() const {
  TCriticalSectionGuard guard(FLock);
  return FDaysToExpire;
}

void TPhrases::SetDaysToExpire(std::int32_t days) {
  TCriticalSectionGuard guard(FLock);
  FDaysToExpire = days;
}

void TPhrases::SetOnChange(std::function<void()> handler) {
  TCriticalSectionGuard guard(FLock);
  FOnChange = std::move(handler);
}

// ---- Private helpers (the lock held)

int TPhrases::CountLocked() const {
  return FPlain.Count() + FWildcards.Count();
}

const std::string& TPhrases::TextLocked(int index) const {
  return index < FPlain.Count() ? FPlain[index] : FWildcards[index - FPlain.Count()];
}

std::int32_t TPhrases::DayLocked(int index) const {
  auto day = index < FPlain.Count() ? FPlain.Numbers(index)
                                    : FWildcards.Numbers(index - FPlain.Count());
  return static_cast<std::int32_t>(day);
}

void TPhrases::StampLocked(int index, std::int32_t day) {
  if (index < FPlain.Count()) {
    FPlain.SetNumber(index, day);
    if (day != 0 && day < FOldestDay) FOldestDay = day;
  } else {
    FWildcards.SetNumber(index - FPlain.Count(), day);
  }
}

int TPhrases::FindEntryLocked(std::string_view prepared) const {
  if (prepared.empty()) return -1;
  int index = 0;
  if (FPlain.Find(prepared, index)) return index;
  if (FWildcards.Find(prepared, index)) return FPlain.Count() + index;
  return -1;
}

void TPhrases::ReplaceEntriesLocked(TEntrySet&& entries) {
  FPlain = std::move(entries.Plain);
  FWildcards = std::move(entries.Wildcards);
  FLastHit = -1;
  ++FGeneration;
  RecomputeOldestLocked();
}

void TPhrases::RecomputeOldestLocked() {
  FOldestDay = INT32_MAX;
  for (int i = 0; i < FPlain.Count(); ++i) {
    auto day = static_cast<std::int32_t>(FPlain.Numbers(i));
    if (day != 0 && day < FOldestDay) FOldestDay = day;
  }
}

void TPhrases::ChangedLocked() {
  if (FOnChange) FOnChange();
}

// Sorts the entries once and keeps one of each run of equal texts: the first
// text, with the last non-zero day (what adding them one by one would give).
TPhrases::TEntrySet TPhrases::BuildEntrySet(std::vector<TEntry>&& entries) {
  std::vector<TEntry> plain;
  std::vector<TEntry> wildcards;
  for (TEntry& entry : entries)
    (FindPhraseWildcard(entry.Text) ? wildcards : plain).push_back(std::move(entry));

  auto build = [](std::vector<TEntry>& items) {
    std::stable_sort(items.begin(), items.end(), [](const TEntry& a, const TEntry& b) {
      return CompareText1252(a.Text, b.Text) < 0;
    });
    TStringList list;  // filled in order, then marked sorted (one check, no sort)
    for (std::size_t i = 0; i < items.size();) {
      std::size_t run = i + 1;
      std::int32_t day = items[i].Day;
      while (run < items.size() && CompareText1252(items[run].Text, items[i].Text) == 0) {
        if (items[run].Day != 0) day = items[run].Day;
        ++run;
      }
      list.AddNumber(std::move(items[i].Text), day);
      i = run;
    }
    list.SetSorted(true);
    return list;
  };
  return TEntrySet{build(plain), build(wildcards)};
}

// Both lists sorted without repeats; an entry of both keeps the base's text
// and takes the extra's day unless that is 0.
TStringList TPhrases::MergeSorted(const TStringList& base, const TStringList& extra) {
  TStringList merged;
  int i = 0;
  int j = 0;
  while (i < base.Count() || j < extra.Count()) {
    int order = i == base.Count()    ? 1
                : j == extra.Count() ? -1
                                     : CompareText1252(base[i], extra[j]);
    if (order < 0) {
      merged.AddNumber(base[i], base.Numbers(i));
      ++i;
    } else if (order > 0) {
      merged.AddNumber(extra[j], extra.Numbers(j));
      ++j;
    } else {
      merged.AddNumber(base[i], extra.Numbers(j) != 0 ? extra.Numbers(j) : base.Numbers(i));
      ++i;
      ++j;
    }
  }
  merged.SetSorted(true);
  return merged;
}

// ---- Entries

int TPhrases::Count() {
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  return CountLocked();
}

std::string TPhrases::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= CountLocked()) return {};
  FLastHit = index;
  return TextLocked(index);
}

TStringList TPhrases::EntryTexts() {
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  TStringList texts;
  for (int i = 0; i < CountLocked(); ++i) texts.Add(TextLocked(i));
  return texts;
}

TDateTime TPhrases::GetAccessDate(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= CountLocked()) return Now();
  FLastHit = index;
  std::int32_t day = DayLocked(index);
  return day != 0 ? static_cast<TDateTime>(day) : Now();
}

void TPhrases::SetAccessDate(int index, TDateTime date) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= CountLocked()) return;
  FLastHit = index;
  StampLocked(index, DayOf(date));
  ChangedLocked();
}

int TPhrases::Add(std::string_view text) {
  if (text.empty()) return -1;
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  std::string prepared = PrepareForAdd(text, FListType);
  if (!IsStorable(prepared, FListType)) return -1;

  int result;
  if (FLastHit >= 0 && FLastHit < CountLocked() && SameText1252(TextLocked(FLastHit), prepared)) {
    result = FLastHit;
  } else if (FindPhraseWildcard(prepared)) {
    result = FPlain.Count() + FWildcards.AddNumber(std::move(prepared), 0);
  } else {
    result = FPlain.AddNumber(std::move(prepared), 0);
  }
  FLastHit = result;
  if (FDaysToExpire != 0) StampLocked(result, DayOf(Now()));
  ChangedLocked();
  return result;
}

void TPhrases::AddStrings(const TStringList& texts) {
  ReloadFile();
  std::uint8_t type;
  std::int32_t days;
  {
    TCriticalSectionGuard guard(FLock);
    type = FListType;
    days = FDaysToExpire;
  }
  // Prepared and sorted outside the lock; only the merge runs under it.
  const std::int32_t day = days != 0 ? DayOf(Now()) : 0;
  std::vector<TEntry> entries;
  entries.reserve(static_cast<std::size_t>(texts.Count()));
  std::string last;
  for (int i = 0; i < texts.Count(); ++i) {
    std::string prepared = PrepareForAdd(texts[i], type);
    if (!IsStorable(prepared, type)) continue;
    last = prepared;
    entries.push_back({std::move(prepared), day});
  }
  if (entries.empty()) return;
  TEntrySet added = BuildEntrySet(std::move(entries));

  TCriticalSectionGuard guard(FLock);
  FPlain = MergeSorted(FPlain, added.Plain);
  FWildcards = MergeSorted(FWildcards, added.Wildcards);
  RecomputeOldestLocked();
  FLastHit = FindEntryLocked(last);
  ChangedLocked();
}

int TPhrases::IndexOf(std::string_view text) {
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  return IndexOfLocked(text);
}

int TPhrases::IndexOfLocked(std::string_view text) const {
  int index = FindEntryLocked(PrepareForIndexOf(text, FListType));
  // Parsing as an address drops "*", "#" and comments, so a pattern such as
  // "*@example.com" is only found in the form Add stored it in.
  if (index < 0 && FListType == pltEmailAddress)
    index = FindEntryLocked(PrepareForAdd(text, FListType));
  return index;
}

bool TPhrases::DeleteAt(int index) {
  TCriticalSectionGuard guard(FLock);
  FLastHit = -1;
  if (index < 0 || index >= CountLocked()) return false;
  if (index < FPlain.Count()) {
    FPlain.Delete(index);
  } else {
    FWildcards.Delete(index - FPlain.Count());
  }
  ChangedLocked();
  return true;
}

bool TPhrases::DeleteText(std::string_view text) {
  ReloadFile();
  TCriticalSectionGuard guard(FLock);  // the look-up and the deletion as one step
  int index = IndexOfLocked(text);
  return index >= 0 && DeleteAt(index);
}

void TPhrases::Clear() {
  TCriticalSectionGuard guard(FLock);
  ReplaceEntriesLocked(TEntrySet{NewSortedList(), NewSortedList()});
  FFileStamp = {};
  FFailedStamp = {};
  ChangedLocked();
}

int TPhrases::FindMatch(std::string_view text, std::string& piece, bool anchored,
                        std::string* entry) {
  piece.clear();
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  const std::string prepared = PrepareForMatch(text, FListType);
  if (prepared.empty()) return -1;

  int result = -1;
  if (FLastHit >= 0 && FLastHit < CountLocked() && SameText1252(TextLocked(FLastHit), prepared)) {
    result = FLastHit;
  } else {
    for (int j = 0; j < FWildcards.Count(); ++j) {
      const std::string& pattern = FWildcards[j];
      if (prepared.find(LongestLiteral(pattern)) == std::string::npos) continue;
      if (WildcardExtract(prepared, pattern, false, piece, anchored)) {
        result = FPlain.Count() + j;
        break;
      }
    }
    if (result < 0) {
      piece.clear();
      int index = 0;
      if (FPlain.Find(prepared, index)) result = index;
    }
  }
  if (result < 0) return -1;
  StampLocked(result, DayOf(Now()));
  FLastHit = result;
  if (entry) *entry = TextLocked(result);
  ChangedLocked();
  return result;
}

bool TPhrases::Contains(std::string_view text) {
  if (text.empty()) return false;
  std::string piece;
  return FindMatch(text, piece, true) >= 0;
}

int TPhrases::FindInText(std::string_view text) {
  if (text.empty()) return -1;
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  int result = FindEntryLocked(text);
  if (result < 0) {
    for (int i = 0; i < CountLocked(); ++i) {
      if (PosCI(text, TextLocked(i)) > 0) {
        result = i;
        break;
      }
    }
  }
  if (result < 0) return -1;
  StampLocked(result, DayOf(Now()));
  ChangedLocked();
  return result;
}

int TPhrases::PurgeExpired() {
  ReloadFile();
  TCriticalSectionGuard guard(FLock);
  if (FDaysToExpire <= 0) return 0;
  const TDateTime limit = Now() - FDaysToExpire;
  // Nothing is older than the oldest day: most calls end here.
  if (FOldestDay == INT32_MAX || static_cast<TDateTime>(FOldestDay) >= limit) return 0;

  TStringList kept;
  int dropped = 0;
  for (int i = 0; i < FPlain.Count(); ++i) {
    auto day = static_cast<std::int32_t>(FPlain.Numbers(i));
    if (day != 0 && static_cast<TDateTime>(day) < limit) {
      ++dropped;
    } else {
      kept.AddNumber(FPlain[i], day);
    }
  }
  if (dropped > 0) {
    kept.SetSorted(true);
    FPlain = std::move(kept);
    FLastHit = -1;
  }
  RecomputeOldestLocked();
  if (dropped > 0) ChangedLocked();
  return dropped;
}

void TPhrases::ReloadFile() {
  std::string path;
  std::string name;
  TFileStamp known;
  std::uint64_t generation;
  std::uint8_t type;
  std::int32_t days;
  if (!FFileBacked) return;  // the common case, without the lock
  {
    TCriticalSectionGuard guard(FLock);
    if (FFilePath.empty()) return;
    path = FFilePath;
    name = FName;
    known = FFileStamp;
    generation = FGeneration;
    type = FListType;
    days = FDaysToExpire;
  }
  // Taken before the read: a change during the read gives another stamp
  // than the one recorded, and the next look-up reads again.
  const TFileStamp stamp = GetFileStamp(path);
  if (!stamp.Exists || stamp == known) return;

  TStringList lines;
  std::string error = ReadPhraseFile(path, lines);
  if (!error.empty()) {
    bool first;
    {
      TCriticalSectionGuard guard(FLock);
      first = !(FFailedStamp == stamp);
      FFailedStamp = stamp;
    }
    if (first) Log("Phrases", "List " + name + " keeps its entries: " + error, 3, true);
    return;
  }
  const std::int32_t day = days != 0 ? DayOf(Now()) : 0;
  std::vector<TEntry> entries;
  entries.reserve(static_cast<std::size_t>(lines.Count()));
  for (int i = 0; i < lines.Count(); ++i) {
    std::string prepared = PrepareForAdd(lines[i], type);
    if (IsStorable(prepared, type)) entries.push_back({std::move(prepared), day});
  }
  TEntrySet read = BuildEntrySet(std::move(entries));

  TCriticalSectionGuard guard(FLock);
  // Loaded, cleared, re-pointed or read by another thread meanwhile.
  if (FGeneration != generation) return;
  ReplaceEntriesLocked(std::move(read));
  FFileStamp = stamp;
  ChangedLocked();
}

std::string TPhrases::SaveToFile(const std::string& path) {
  ReloadFile();
  std::string bytes;
  {
    TCriticalSectionGuard guard(FLock);
    for (int i = 0; i < CountLocked(); ++i) bytes.append(TextLocked(i)).append("\r\n");
  }
  return WriteFileAtomically(path, bytes);
}

void TPhrases::SaveToIni(TQuorIniFile& ini) {
  std::string name;
  std::string description;
  std::string path;
  std::uint8_t type;
  std::int32_t days;
  TStringList plain;
  TStringList wildcards;
  {
    TCriticalSectionGuard guard(FLock);
    name = FName;
    description = FDescription;
    path = FFilePath;
    type = FListType;
    days = FDaysToExpire;
    if (path.empty()) {
      plain = FPlain;
      wildcards = FWildcards;
    }
  }
  ini.EraseSection(name);
  ini.WriteString(name, "Type", PhraseListTypeName(type));
  ini.WriteString(name, "Description", TextToCommaText(description));
  ini.WriteInteger(name, "DaysToExpire", days);
  if (!path.empty()) {
    ini.WriteString(name, "FilePath", path);
    return;
  }
  const std::string now = DateTimeToFileDateText(Now());
  TStringList lines;
  int index = 0;
  for (const TStringList* part : {&plain, &wildcards}) {
    for (int i = 0; i < part->Count(); ++i) {
      auto day = part->Numbers(i);
      TStringList item;
      item.Add("Phrase=" + (*part)[i]);
      item.Add("Accessed=" + (day != 0 ? DateTimeToFileDateText(static_cast<TDateTime>(day)) : now));
      lines.Add(std::to_string(index++) + "=" + item.CommaText());
    }
  }
  ini.WriteSectionValues(name, lines);
}

void TPhrases::LoadFromIni(TQuorIniFile& ini) {
  std::string name;
  std::string currentDescription;
  std::int32_t currentDays;
  {
    TCriticalSectionGuard guard(FLock);
    name = FName;
    currentDescription = FDescription;
    currentDays = FDaysToExpire;
  }
  // Everything is read from the caller's settings object outside the lock.
  const std::uint8_t type = PhraseListTypeFromName(ini.ReadString(name, "Type", "Strings"));
  const std::string description =
      CommaTextToLines(ini.ReadString(name, "Description", TextToCommaText(currentDescription)));
  const auto days = static_cast<std::int32_t>(ini.ReadInteger(name, "DaysToExpire", currentDays));
  const std::string path = ini.ReadString(name, "FilePath", "");

  std::vector<TEntry> entries;
  if (path.empty()) {
    TStringList lines;
    ini.ReadSectionValues(name, lines);
    const TDateTime now = Now();
    const TDateTime limit = now - days;
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string& line = lines[i];
      std::size_t equals = line.find('=');
      std::int64_t key;
      if (equals == std::string::npos ||
          !ParseTrimmedDecimal(std::string_view(line).substr(0, equals), INT32_MIN, INT32_MAX, key))
        continue;  // also the keys Type, Description, DaysToExpire and FilePath
      TStringList item;
      item.SetCommaText(std::string_view(line).substr(equals + 1));
      std::string prepared = PrepareForAdd(item.Values("Phrase"), type);
      if (!IsStorable(prepared, type)) continue;
      const std::int32_t day = DayOf(EntryDate(item.Values("Accessed"), item.Values("Created"), now));
      // The entry keeps only its day, so the day decides, as in PurgeExpired:
      // what loads is saved and loads again. Patterns never expire, also not
      // while the settings are read.
      if (days > 0 && static_cast<TDateTime>(day) < limit && !FindPhraseWildcard(prepared))
        continue;
      entries.push_back({std::move(prepared), day});
    }
  }
  TEntrySet loaded = BuildEntrySet(std::move(entries));

  {
    TCriticalSectionGuard guard(FLock);
    // A list that keeps its file and type keeps what it read from it: the
    // stamp still tells whether the file changed. Emptying it here would let
    // a look-up on another thread, past its own re-read check, find nothing.
    const bool sameFile = !path.empty() && FFileBacked && path == FFilePath && type == FListType;
    FListType = type;
    FDescription = description;
    FDaysToExpire = days;
    FFilePath = path;
    FFileBacked = !path.empty();
    if (!sameFile) {
      ReplaceEntriesLocked(std::move(loaded));
      FFileStamp = {};
      FFailedStamp = {};
    }
    ChangedLocked();
  }
  ReloadFile();
}

void TPhrases::Assign(TPhrases& other) {
  if (&other == this) return;
  TEntrySet entries;
  std::string name, oldName, description, path, owner;
  std::uint8_t type;
  std::int32_t days;
  TFileStamp stamp;
  {
    TCriticalSectionGuard guard(other.FLock);
    entries.Plain = other.FPlain;
    entries.Wildcards = other.FWildcards;
    name = other.FName;
    oldName = other.FOldName;
    description = other.FDescription;
    path = other.FFilePath;
    owner = other.FOwner;
    type = other.FListType;
    days = other.FDaysToExpire;
    stamp = other.FFileStamp;
  }
  TCriticalSectionGuard guard(FLock);
  FName = std::move(name);
  FOldName = std::move(oldName);
  FDescription = std::move(description);
  FFilePath = std::move(path);
  FFileBacked = !FFilePath.empty();
  FOwner = std::move(owner);
  FListType = type;
  FDaysToExpire = days;
  ReplaceEntriesLocked(std::move(entries));
  FFileStamp = stamp;
  FFailedStamp = {};
  ChangedLocked();
}

}  // namespace halvorn
