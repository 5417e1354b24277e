// What became of each message of a remote mailbox, by its UIDL.
//
// A remote account records, for every server message the program has dealt
// with, its UIDL and a TUidlStatus. The download thread reads the record to
// fetch each message once and to delete on the server what the reader
// deleted; the local POP3 server, the queues and the messages write it. The
// record is stored with the account in the accounts file.
//
// UIDLs compare exactly (case counts): a server's unique ids are opaque
// texts, and two that differ only in case name two messages.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

// One byte.
enum TUidlStatus : std::uint8_t {
  us_Downloaded = 0,   // fetched from the server into the local store
  us_Read = 1,         // the mail reader retrieved it from the local server
  us_Deleted = 2,      // to be deleted on the server at the next download
  us_NonExistant = 3,  // no record; never stored: setting it forgets the UIDL
  us_DeletedLocal = 4, // deleted locally, to stay on the server
};

// "us_Downloaded" ... "us_DeletedLocal"; "?" for a value outside the five.
const char* UidlStatusName(TUidlStatus state);

// The UIDL begins with "Quor" (any case): one the program made up for a
// message that came without one. Such UIDLs are never stored.
bool IsOwnUidl(std::string_view uidl);

// The record of one account: UIDLs in byte order, each with its state. A plain
// value; the owning account's lock guards it.
class TUidlStates {
 public:
  // Records the state of the UIDL. us_NonExistant forgets it and answers 0;
  // any other state answers state * 256, plus 1 when the UIDL was new. An
  // empty UIDL names no message: nothing is recorded and the answer is 0.
  int Set(const std::string& uidl, TUidlStatus state);
  // The recorded state; us_NonExistant when the UIDL is not recorded.
  TUidlStatus Get(std::string_view uidl) const;
  int Count() const { return static_cast<int>(FStates.size()); }
  void Clear() { FStates.clear(); }

  // Forgets every recorded UIDL that the server list does not hold (exact
  // comparison) and appends each to `removed`, walking the record from its
  // last UIDL to its first. The server list is looked up through a hashed
  // copy, so a large mailbox costs time in proportion to its size.
  void Cull(const TStringList& serverList, TStringList& removed);

  // Every recorded UIDL with its state, in record order.
  std::vector<std::pair<std::string, TUidlStatus>> Entries() const;

  // The stored form: the comma text of one pair per UIDL that is not an own
  // UIDL, each pair the comma text of the UIDL (split at any line break it
  // holds, one item per piece) and its state in decimal: "abc,0","def,2".
  std::string StoredForm() const;
  // Records the pairs of a stored form, later pairs of a UIDL winning. A pair
  // without a second item, or whose state is a number outside 0 to 4, is
  // skipped, and one in state us_NonExistant records nothing; a state that is
  // no number reads as 0. Own UIDLs are skipped.
  // About one pair in ten, drawn at random, calls the heartbeat first.
  void LoadStoredForm(std::string_view value);

 private:
  std::map<std::string, TUidlStatus, std::less<>> FStates;
};

}  // namespace halvorn
