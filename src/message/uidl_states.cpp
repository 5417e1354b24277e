#include "message/uidl_states.h"

#include <charconv>
#include <unordered_set>

#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/crypto/random_source.h"

namespace halvorn {

const char* UidlStatusName(TUidlStatus state) {
  switch (state) {
    case us_Downloaded:
      return "us_Downloaded";
    case us_Read:
      return "us_Read";
    case us_Deleted:
      return "us_Deleted";
    case us_NonExistant:
      return "us_NonExistant";
    case us_DeletedLocal:
      return "us_DeletedLocal";
  }
  return "?";
}

bool IsOwnUidl(std::string_view uidl) {
  return PosCI("Quor", uidl) == 1;
}

int TUidlStates::Set(const std::string& uidl, TUidlStatus state) {
  if (uidl.empty()) return 0;
  if (state == us_NonExistant) {
    FStates.erase(uidl);
    return 0;
  }
  const auto [where, added] = FStates.insert_or_assign(uidl, state);
  (void)where;
  return state * 256 + (added ? 1 : 0);
}

TUidlStatus TUidlStates::Get(std::string_view uidl) const {
  const auto where = FStates.find(uidl);
  return where == FStates.end() ? us_NonExistant : where->second;
}

void TUidlStates::Cull(const TStringList& serverList, TStringList& removed) {
  std::unordered_set<std::string_view> listed;
  listed.reserve(static_cast<std::size_t>(serverList.Count()));
  for (int i = 0; i < serverList.Count(); ++i) listed.insert(serverList[i]);
  for (auto it = FStates.end(); it != FStates.begin();) {
    --it;
    if (listed.count(it->first) == 0) {
      removed.Add(it->first);
      it = FStates.erase(it);
    }
  }
}

std::vector<std::pair<std::string, TUidlStatus>> TUidlStates::Entries() const {
  return {FStates.begin(), FStates.end()};
}

std::string TUidlStates::StoredForm() const {
  TStringList pairs;
  for (const auto& [uidl, state] : FStates) {
    if (IsOwnUidl(uidl)) continue;
    TStringList pair;
    pair.SetText(uidl);
    pair.Add(std::to_string(static_cast<int>(state)));
    pairs.Add(pair.CommaText());
  }
  return pairs.CommaText();
}

void TUidlStates::LoadStoredForm(std::string_view value) {
  TStringList pairs;
  pairs.SetCommaText(value);
  TStringList pair;
  for (int i = 0; i < pairs.Count(); ++i) {
    if (RandomInt(10) == 0) Heartbeat("", -1, -1);
    pair.SetCommaText(pairs[i]);
    if (pair.Count() < 2 || IsOwnUidl(pair[0])) continue;
    const std::string& text = pair[1];
    int state = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), state);
    if (error != std::errc() || end != text.data() + text.size()) state = 0;
    if (state < 0 || state > us_DeletedLocal || state == us_NonExistant) continue;
    Set(pair[0], static_cast<TUidlStatus>(state));
  }
}

}  // namespace halvorn
