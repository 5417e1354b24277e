#include "message/processing_options.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>
#include <utility>

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/clock.h"
#include "foundation/text/numbers.h"

namespace halvorn {

namespace {

// Every option but the keys, for comparing and merging field by field.
constexpr auto kValueFields = std::make_tuple(
    &TProcessingOptions::AttachedFiles, &TProcessingOptions::DetailLevel,
    &TProcessingOptions::InfoLocation, &TProcessingOptions::InfoType,
    &TProcessingOptions::ProduceReport, &TProcessingOptions::DeleteReportAfter,
    &TProcessingOptions::DeleteMsgBackupsAfter, &TProcessingOptions::DelInfoOnSend,
    &TProcessingOptions::NumSecsDelay, &TProcessingOptions::MessageMatchThreshold,
    &TProcessingOptions::PendholdTime, &TProcessingOptions::WhitelistSentMsgIds,
    &TProcessingOptions::WhitelistRecipients, &TProcessingOptions::WhitelistSentSubjectLines,
    &TProcessingOptions::WhitelistFriends, &TProcessingOptions::PopFailureWarningCount,
    &TProcessingOptions::SMTPFailureWarningCount, &TProcessingOptions::AddMultipartAlternative,
    &TProcessingOptions::PromptDeleteFromPendhold, &TProcessingOptions::PromptReleaseFromPendhold,
    &TProcessingOptions::DeleteFromPendholdRemoveFromServer);

// Calls f(field pointer) for every field of kValueFields.
template <class F>
void ForEachValueField(F&& f) {
  std::apply([&f](auto... field) { (f(field), ...); }, kValueFields);
}

// An unblock key with its day: the identity of a key entry.
using TKeyEntry = std::pair<std::string, std::int64_t>;

std::set<TKeyEntry> KeyEntries(const TStringList& keys) {
  std::set<TKeyEntry> entries;
  for (int i = 0; i < keys.Count(); ++i) entries.emplace(keys[i], keys.Numbers(i));
  return entries;
}

// The stored form: a comma text of key + "~" + day.
std::string KeysText(const TStringList& keys) {
  TStringList entries;
  for (int i = 0; i < keys.Count(); ++i)
    entries.Add(keys[i] + "~" + std::to_string(keys.Numbers(i)));
  return entries.CommaText();
}

std::int64_t Today() { return static_cast<std::int64_t>(std::trunc(Now())); }

// PendholdTime as the whole days it is stored as, held within 32 bits.
std::int64_t WholeDays(double days) {
  if (std::isnan(days)) return 0;
  return static_cast<std::int64_t>(std::trunc(std::clamp(days, double(INT32_MIN), double(INT32_MAX))));
}

// The current set, and the lock every read and replacement of it takes.
// Never destroyed: worker threads may still read options while the
// program's statics go.
struct TGlobalOptions {
  TMutexCriticalSection Lock{"ProcessingOptions_CS"};
  std::shared_ptr<const TProcessingOptions> Current = std::make_shared<const TProcessingOptions>();
};

TGlobalOptions& Global() {
  static TGlobalOptions* global = new TGlobalOptions();
  return *global;
}

// `current` with what `mine` changed since `origin` applied to it.
TProcessingOptions MergeChanges(const TProcessingOptions& current, const TProcessingOptions& mine,
                                const TProcessingOptions& origin) {
  TProcessingOptions merged = current;
  ForEachValueField([&](auto field) {
    if (mine.*field != origin.*field) merged.*field = mine.*field;
  });

  const std::set<TKeyEntry> before = KeyEntries(origin.Keys);
  const std::set<TKeyEntry> after = KeyEntries(mine.Keys);
  for (int i = merged.Keys.Count() - 1; i >= 0; --i) {
    TKeyEntry entry(merged.Keys[i], merged.Keys.Numbers(i));
    if (before.contains(entry) && !after.contains(entry)) merged.Keys.Delete(i);
  }
  std::set<TKeyEntry> present = KeyEntries(merged.Keys);
  for (int i = 0; i < mine.Keys.Count(); ++i) {
    TKeyEntry entry(mine.Keys[i], mine.Keys.Numbers(i));
    if (before.contains(entry) || present.contains(entry)) continue;
    merged.Keys.AddNumber(entry.first, entry.second);
    present.insert(std::move(entry));
  }
  return merged;
}

}  // namespace

// ---------------------------------------------------------------------------
// TProcessingOptions

bool TProcessingOptions::SameValues(const TProcessingOptions& other) const {
  bool same = Keys == other.Keys;
  ForEachValueField([&](auto field) { same = same && this->*field == other.*field; });
  return same;
}

void TProcessingOptions::LoadFromIni(TQuorIniFile& file) {
  const std::string section = kProcessingOptionsSection;
  auto readInt32 = [&](const char* ident, std::int32_t& value) {
    value = static_cast<std::int32_t>(file.ReadInteger(section, ident, value));
  };
  AttachedFiles = file.ReadBool(section, "AttachedFiles", AttachedFiles);
  const std::int64_t detail = file.ReadInteger(section, "DetailLevel", DetailLevel);
  if (detail >= 0 && detail <= UINT16_MAX) DetailLevel = static_cast<std::uint16_t>(detail);
  readInt32("InfoLocation", InfoLocation);
  readInt32("InfoType", InfoType);
  ProduceReport = file.ReadBool(section, "ProduceReport", ProduceReport);
  readInt32("DeleteReportAfter", DeleteReportAfter);
  readInt32("DeleteMsgBackupsAfter", DeleteMsgBackupsAfter);
  DelInfoOnSend = file.ReadBool(section, "DelInfoOnSend", DelInfoOnSend);
  readInt32("NumSecsDelay", NumSecsDelay);
  readInt32("MessageMatchThreshold", MessageMatchThreshold);
  WhitelistRecipients = file.ReadBool(section, "WhitelistRecipients", WhitelistRecipients);
  WhitelistSentMsgIds = file.ReadBool(section, "WhitelistSentMsgIds", WhitelistSentMsgIds);
  WhitelistSentSubjectLines =
      file.ReadBool(section, "WhitelistSentSubjectLines", WhitelistSentSubjectLines);
  WhitelistFriends = file.ReadBool(section, "WhitelistFriends", WhitelistFriends);
  PendholdTime =
      static_cast<double>(file.ReadInteger(section, "PendholdTime", WholeDays(PendholdTime)));
  readInt32("PopFailureWarningCount", PopFailureWarningCount);
  readInt32("SMTPFailureWarningCount", SMTPFailureWarningCount);
  AddMultipartAlternative =
      file.ReadBool(section, "AddMultipartAlternative", AddMultipartAlternative);
  PromptDeleteFromPendhold = file.ReadTrite(section, "PromptDeleteFromPendhold", kTriteUnknown);
  PromptReleaseFromPendhold = file.ReadTrite(section, "PromptReleaseFromPendhold", kTriteUnknown);
  DeleteFromPendholdRemoveFromServer = file.ReadBool(section, "DeleteFromPendholdRemoveFromServer",
                                                     DeleteFromPendholdRemoveFromServer);

  TStringList entries;
  entries.SetCommaText(file.ReadString(section, "Keys", KeysText(Keys)));
  Keys.Clear();
  const std::int64_t today = Today();
  for (int i = 0; i < entries.Count(); ++i) {
    const std::string& entry = entries[i];
    const std::size_t tilde = entry.find('~');
    std::string key = entry.substr(0, tilde);
    // An empty key would match any message's empty code.
    if (key.empty()) continue;
    std::int64_t day = today;
    if (tilde != std::string::npos &&
        !ParseTrimmedDecimal(std::string_view(entry).substr(tilde + 1, 999), INT32_MIN, INT32_MAX, day))
      day = today;
    Keys.AddNumber(std::move(key), day);
  }
  CullKeys();
}

void TProcessingOptions::SaveToIni(TQuorIniFile& file) const {
  const std::string section = kProcessingOptionsSection;
  file.WriteBool(section, "AttachedFiles", AttachedFiles);
  file.WriteInteger(section, "DetailLevel", DetailLevel);
  file.WriteInteger(section, "InfoLocation", InfoLocation);
  file.WriteInteger(section, "InfoType", InfoType);
  file.WriteBool(section, "ProduceReport", ProduceReport);
  file.WriteInteger(section, "DeleteReportAfter", DeleteReportAfter);
  file.WriteInteger(section, "DeleteMsgBackupsAfter", DeleteMsgBackupsAfter);
  file.WriteBool(section, "DelInfoOnSend", DelInfoOnSend);
  file.WriteInteger(section, "NumSecsDelay", NumSecsDelay);
  file.WriteInteger(section, "MessageMatchThreshold", MessageMatchThreshold);
  file.WriteBool(section, "WhitelistSentMsgIds", WhitelistSentMsgIds);
  file.WriteBool(section, "WhitelistRecipients", WhitelistRecipients);
  file.WriteBool(section, "WhitelistSentSubjectLines", WhitelistSentSubjectLines);
  file.WriteBool(section, "WhitelistFriends", WhitelistFriends);
  for (const char* obsolete : {"RecipientsPhraseListName", "MsgIdPhraseListName",
                               "SubjectLineListName", "FriendsOfWhitelistedPhraseListName"})
    file.WriteString(section, obsolete, "");
  file.WriteInteger(section, "PendholdTime", WholeDays(PendholdTime));
  file.WriteInteger(section, "PopFailureWarningCount", PopFailureWarningCount);
  file.WriteInteger(section, "SMTPFailureWarningCount", SMTPFailureWarningCount);
  file.WriteBool(section, "AddMultipartAlternative", AddMultipartAlternative);
  file.WriteTrite(section, "PromptDeleteFromPendhold", PromptDeleteFromPendhold);
  file.WriteTrite(section, "PromptReleaseFromPendhold", PromptReleaseFromPendhold);
  file.WriteBool(section, "DeleteFromPendholdRemoveFromServer", DeleteFromPendholdRemoveFromServer);
  file.WriteString(section, "Keys", KeysText(Keys));
}

bool TProcessingOptions::KeyExpired(int index, double now) const {
  return static_cast<double>(Keys.Numbers(index)) + PendholdTime < now;
}

void TProcessingOptions::CullKeys() {
  const TDateTime now = Now();
  for (int i = Keys.Count() - 1; i >= 0; --i)
    if (KeyExpired(i, now)) Keys.Delete(i);
}

bool TProcessingOptions::HoldsValidKey(std::string_view key) const {
  if (key.empty()) return false;
  const TDateTime now = Now();
  for (int i = 0; i < Keys.Count(); ++i)
    if (SameText1252(Keys[i], key) && !KeyExpired(i, now)) return true;
  return false;
}

// ---------------------------------------------------------------------------
// The global set

TProcessingOptions GetProcessingOptions(const std::string& UserName) {
  std::shared_ptr<const TProcessingOptions> snapshot = GetGlobalProcessingOptions(UserName);
  TProcessingOptions copy = *snapshot;
  copy.FOrigin = std::move(snapshot);
  return copy;
}

void SetProcessingOptions(const std::string&, TProcessingOptions& Options) {
  TProcessingOptions values = Options;
  values.FOrigin.reset();
  auto handedBack = std::make_shared<const TProcessingOptions>(std::move(values));
  TGlobalOptions& global = Global();
  {
    TCriticalSectionGuard guard(global.Lock);
    // Unchanged since the copy was taken (or made on its own): what the
    // writer holds is the whole new set.
    if (!Options.FOrigin || Options.FOrigin == global.Current)
      global.Current = handedBack;
    else
      global.Current = std::make_shared<const TProcessingOptions>(
          MergeChanges(*global.Current, *handedBack, *Options.FOrigin));
  }
  Options.FOrigin = std::move(handedBack);
}

std::shared_ptr<const TProcessingOptions> GetGlobalProcessingOptions(const std::string&) {
  TGlobalOptions& global = Global();
  TCriticalSectionGuard guard(global.Lock);
  return global.Current;
}

}  // namespace halvorn
