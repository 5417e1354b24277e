// TPhrasesList: the set of all phrase lists of the program, and the ten
// built-in lists reached by a fixed index.
//
// The set holds its lists by shared_ptr: a list that the main thread removes
// (the editor's Delete List) lives on while another thread still uses it.
// Lists are kept in the order they were added; names compare ignoring case.
//
// Settings. The set is stored in the rules file: the section "PhrasesList1"
// names the lists ("PhraseList0", "PhraseList1", ... in the order of the
// set), and each list has a section of its own (TPhrases::SaveToIni).
//
// Threads. Every operation may be called from any thread. The set's lock
// "PhrasesList_CS" guards its membership and is held only to read or change
// it (and to read the lists' names, taking each list's lock inside it: the
// set's lock before a list's, never the other way round). Files are read and
// lists loaded or saved with no set lock held; a list created by
// GetBuiltInList is filled before it joins the set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "lists/phrases.h"

namespace halvorn {

class TQuorIniFile;

// The built-in lists by index.
enum TBuiltInPhraseList : int {
  bplSentMessageIds = 0,
  bplApprovedSenders = 1,
  bplBannedSenders = 2,
  bplApprovedSubjectLines = 3,
  bplBannedSubjectLines = 4,
  bplPornographicKeywords = 5,
  bplMiscellaneousKeywords = 6,
  bplSexualWordList = 7,
  bplProfanityList = 8,
  bplSpamChecksums = 9,
};
inline constexpr int kBuiltInPhraseListCount = 10;

// What a built-in list is made with when it is missing.
struct TBuiltInPhraseListInfo {
  const char* Name;
  std::uint8_t Type;
  std::int32_t DaysToExpire;
  const char* Description;
  // Filled from the default-phrases file when that exists.
  bool FromDefaultPhrases;
};

// The table entry of a built-in index 0 .. 9; nullptr for any other index.
const TBuiltInPhraseListInfo* BuiltInPhraseListInfo(int index);

// The section that names the lists, unless the set was given another.
inline constexpr const char* kPhrasesListSection = "PhrasesList1";

// Called with (new name, old name) when the user renames a list.
using TListRenamedEvent = std::function<void(const std::string&, const std::string&)>;

class TPhrasesList {
 public:
  TPhrasesList() = default;
  TPhrasesList(const TPhrasesList&) = delete;
  TPhrasesList& operator=(const TPhrasesList&) = delete;

  int Count();
  // The list at the index; nullptr for an index out of range.
  std::shared_ptr<TPhrases> Items(int index);
  // Every list, in order, at one moment.
  std::vector<std::shared_ptr<TPhrases>> Snapshot();
  // Appends the list and answers its index (its present index when it is
  // already in the set; -1 for nullptr).
  int Add(std::shared_ptr<TPhrases> list);
  // Takes the list out of the set and answers its former index, or -1. The
  // list lives on while anyone holds it.
  int Remove(const TPhrases* list);
  // The first list whose name equals the name ignoring case; nullptr when
  // none.
  std::shared_ptr<TPhrases> FindList(std::string_view name);

  // The built-in list of the index (bplSentMessageIds .. bplSpamChecksums),
  // found by its name, or made with the table's settings and appended when
  // missing; lists 5, 7 and 8 are then filled from the default-phrases file
  // when it exists (an unreadable file is logged and leaves them empty).
  // nullptr for any other index. A list found is returned as it is, with
  // its settings as the user left them.
  std::shared_ptr<TPhrases> GetBuiltInList(int index);

  // The section that names the lists; empty until the first save or load,
  // which make it "PhrasesList1".
  std::string SectionName();

  // Erases the naming section and writes it again ("PhraseList" + n = name
  // for every list in order; a list without a name, or named like the
  // naming section itself, cannot be stored and is left out), then each
  // list's own section. Every list is written, whatever
  // its owner: lists imported for the user carry the user's id and would be
  // lost otherwise. The settings object belongs to the caller.
  void SaveToIni(TQuorIniFile& ini, const std::string& owner);
  // Reads "PhraseList" + 0, 1, 2 ... until the first missing or empty value
  // (so a gap in the numbering hides the lists after it). A list of the set
  // with that name (ignoring case) is reloaded in place, else a new one is
  // made and appended; either takes the stored name and the given owner.
  // Lists the file does not name stay as they are.
  void LoadFromIni(TQuorIniFile& ini, const std::string& owner);

  // The rename event; set by the test list's module start, cleared by its
  // end. An empty function removes it.
  void SetOnListRenamed(TListRenamedEvent handler);
  // Calls the rename event, when set, with the set's lock not held.
  void ListRenamed(const std::string& newName, const std::string& oldName);

 private:
  std::shared_ptr<TPhrases> FindListLocked(std::string_view name);
  std::string SectionNameLocked();

  TMutexCriticalSection FLock{"PhrasesList_CS"};
  std::vector<std::shared_ptr<TPhrases>> FItems;
  std::string FSectionName;
  TListRenamedEvent FOnListRenamed;
};

// The program's one set of phrase lists; nullptr before the lists module
// starts and after it ends (lists_module.h). Safe from any thread: callers
// keep the pointer they got for as long as they use the set.
std::shared_ptr<TPhrasesList> GlobalPhrasesList();
// Replaces the global set (the module start and end, and tests).
void SetGlobalPhrasesList(std::shared_ptr<TPhrasesList> list);

}  // namespace halvorn
