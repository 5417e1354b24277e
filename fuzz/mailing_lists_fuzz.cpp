// Reads any bytes as a rules file and loads its "MailingLists" section.
// Properties: no UniqueId twice; what loads, saved and loaded again, saves
// the same bytes; MatchScore is within 0 to 100 and the same both ways; a
// best match scores what MatchScore (or a subject piece) gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "lists/mailing_lists.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Saved(TMailingListList& table) {
  TQuorIniFile ini("", true);
  table.SaveToIni(ini);
  return ini.SaveToStream();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TQuorIniFile ini("", true);
  ini.LoadFromStream(std::string_view(reinterpret_cast<const char*>(data), size));
  TMailingListList table;
  table.LoadFromIni(ini);
  const auto lists = table.Snapshot();
  std::vector<std::uint32_t> ids;
  for (const auto& list : lists) ids.push_back(list->UniqueId);
  std::sort(ids.begin(), ids.end());
  Check(std::adjacent_find(ids.begin(), ids.end()) == ids.end());
  const std::size_t pairs = std::min<std::size_t>(lists.size(), 16);
  for (std::size_t i = 0; i < pairs; ++i) {
    for (std::size_t j = 0; j < pairs; ++j) {
      const int score = lists[i]->MatchScore(*lists[j]);
      Check(score >= 0 && score <= 100);
      Check(score == lists[j]->MatchScore(*lists[i]));
    }
    const TMailingListMatch match = table.FindBestMatch(*lists[i]);
    Check(match.Score >= 0 && match.Score <= 100);
    Check((match.List == nullptr) == (match.Score == 0));
  }
  const std::string first = Saved(table);
  TQuorIniFile saved("", true);
  saved.LoadFromStream(first);
  TMailingListList again;
  again.LoadFromIni(saved);
  Check(again.Count() == table.Count());
  Check(Saved(again) == first);
  return 0;
}
