// TMailingListList: the table of the mailing lists the program has seen, and
// GlobalMailingListList, the one table of the program.
//
// Each message's list headers make a fingerprint (TMailingList,
// message/mailing_list.h); the table compares it with every known list and
// either merges it into the best match or keeps it as a new list. Lists are
// held by std::shared_ptr: a list the table drops (a rules reload, the
// editor's OK) lives on while another thread still uses it.
//
// Storage: the section "MailingLists" of the rules file holds "List1",
// "List2", ... in table order, each a list's comma text
// (TMailingList::ToCommaText). The rules file's loading and saving call
// LoadFromIni and SaveToIni.
//
// Threads. The incoming processing thread, the address-book scan and the
// main thread (link server, editor, rules file) use the table at once. Every
// operation holds the table's lock "TMailingListList" and takes a list's own
// lock inside it when it reads or changes that list. Lock order: a message
// header's lock (IsKnownMailingList asks while holding it), then the table's,
// then a list's; never the other way round, and never the locks of two
// tables together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "message/mailing_list.h"

namespace halvorn {

class TQuorIniFile;

// The section of the rules file that holds the table.
inline constexpr const char* kMailingListsSection = "MailingLists";

// A best match of FindBestMatch: the list (null when none) and its score.
struct TMailingListMatch {
  std::shared_ptr<TMailingList> List;
  int Score = 0;
};

class TMailingListList {
 public:
  TMailingListList() = default;
  TMailingListList(const TMailingListList&) = delete;
  TMailingListList& operator=(const TMailingListList&) = delete;

  int Count();
  // The list at the index; null outside the table.
  std::shared_ptr<TMailingList> Items(int index);
  // Every list, in order, at one moment.
  std::vector<std::shared_ptr<TMailingList>> Snapshot();

  // Lets go of every list.
  void Clear();
  // Appends the list unless one with its UniqueId is there (or it is
  // null): its index, or -1 with the table unchanged.
  int Add(std::shared_ptr<TMailingList> list);
  // The list with that id; null for none (and always for 0).
  std::shared_ptr<TMailingList> FindByUniqueId(std::uint32_t id);

  // The known list the fingerprint belongs to and how well it matches:
  // the first list (in table order) whose subject substring occurs in the
  // fingerprint's subject scores 100 at once; otherwise the highest
  // MatchScore above 0 (the earlier list on equal scores; 100 ends the
  // search). An empty fingerprint gives no list and 0. The fingerprint is
  // read through a private copy and never changed.
  TMailingListMatch FindBestMatch(const TMailingList& fingerprint);
  // Mailing-list mail: not empty, and list headers (or Precedence "list"),
  // or a known list scoring above 80.
  bool LooksLikeMailingList(const TMailingList& fingerprint);
  // The list the message belongs to, null when it is no mailing-list mail:
  // a best match above 50 takes the fingerprint in (MergeFrom); otherwise a
  // copy of the fingerprint (its UniqueId, or a new one when a list of the
  // table has that id, and its Subscribed state) joins the table with
  // MsgCount 1. The fingerprint stays the caller's, unchanged.
  std::shared_ptr<TMailingList> AddOrMerge(const TMailingList& fingerprint);

  // Makes this table equal to the other, list by UniqueId: a list of this
  // table whose id the other has takes a copy of that list (the object
  // stays the same), new ones are made, the others dropped; the order
  // becomes the other's. The other table is copied under its own lock
  // first, then applied under this one's.
  void Assign(TMailingListList& other);

  // Writes "List1", "List2", ... into the section, after erasing it.
  void SaveToIni(TQuorIniFile& ini, const std::string& section = kMailingListsSection);
  // Adds the lists of "List1", "List2", ... up to the first missing or
  // empty value; a list whose UniqueId is taken is dropped. The table is
  // not emptied first (the caller clears it).
  void LoadFromIni(TQuorIniFile& ini, const std::string& section = kMailingListsSection);

  // The table's lock.
  TMutexCriticalSection& Lock() { return FLock; }

 private:
  // Under the table's lock.
  int IndexOfIdLocked(std::uint32_t id);
  TMailingListMatch FindBestMatchLocked(const TMailingList& copy);

  TMutexCriticalSection FLock{"TMailingListList"};
  std::vector<std::shared_ptr<TMailingList>> FItems;
};

// The program's table; null before the lists module starts and after it
// ends. Safe from any thread.
std::shared_ptr<TMailingListList> GlobalMailingListList();
// Replaces the program's table (null drops it); the old one goes when its
// last holder lets go.
void SetGlobalMailingListList(std::shared_ptr<TMailingListList> table);

// The answer of LooksLikeMailingList (message/mailing_list.h) once the
// lists module has started: the global table's, or the field rules alone
// while there is none.
bool GlobalLooksLikeMailingList(TMailingList& fingerprint);

}  // namespace halvorn
