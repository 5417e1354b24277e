// The user's processing options: what is added to incoming mail, how long
// reports, backups, held mail and unblock keys live, how outgoing mail is
// held, which sent-mail facts are learned, when failures are reported, and
// how releasing and deleting held mail behave.
//
// There is one global set (every user name shares it), kept as an immutable
// snapshot behind the lock "ProcessingOptions_CS":
// - a reader that only looks takes the snapshot (GetGlobalProcessingOptions)
//   and may keep reading it while the set is replaced;
// - a writer takes a copy (GetProcessingOptions), changes it and hands it
//   back (SetProcessingOptions). The copy remembers the snapshot it was taken
//   from, and handing it back applies only what the writer changed since
//   then, field by field and unblock key by unblock key, onto the current
//   set. Two writers working at once therefore keep both their changes;
//   when both changed the same field, the later one wins.
//
// The main window loads the set from, and saves it to, the section
// "ProcessingOptions" of the rules file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"

namespace halvorn {

class TQuorIniFile;

// The section of the settings file the options live in.
inline constexpr const char* kProcessingOptionsSection = "ProcessingOptions";

class TProcessingOptions {
 public:
  // Each field with its key in the settings file and its default.
  bool AttachedFiles = true;            // "AttachedFiles": add attachment file-type information
  std::uint16_t DetailLevel = 5;        // "DetailLevel": detail of the information added
  std::int32_t InfoLocation = 0;        // "InfoLocation": 0 automatic, 1 top, 2 bottom
  std::int32_t InfoType = 2;            // "InfoType": 0 summary report, 1 full buttons,
                                        //   2 basic buttons, 3 links only, 4 nothing
  bool ProduceReport = true;            // "ProduceReport"
  std::int32_t DeleteReportAfter = 7;   // "DeleteReportAfter": days an unread report lives
  std::int32_t DeleteMsgBackupsAfter = 2;  // "DeleteMsgBackupsAfter": days; 0 writes no backups
  bool DelInfoOnSend = true;            // "DelInfoOnSend": default of a message's
                                        //   remove-information-on-send property
  std::int32_t NumSecsDelay = 0;        // "NumSecsDelay": seconds outgoing mail is held;
                                        //   negated while holding is switched off
  std::int32_t MessageMatchThreshold = 30;  // "MessageMatchThreshold"
  double PendholdTime = 10.0;           // "PendholdTime": days held mail waits and an unblock
                                        //   key stays valid; stored as whole days
  bool WhitelistSentMsgIds = true;      // "WhitelistSentMsgIds"
  bool WhitelistRecipients = true;      // "WhitelistRecipients"
  bool WhitelistSentSubjectLines = true;  // "WhitelistSentSubjectLines"
  bool WhitelistFriends = true;         // "WhitelistFriends"
  // "Keys": the unblock keys the bounce action issued, one line each, with
  // the day it was issued (the whole part of a date-time) as the line's
  // Number. Stored as a comma text of key + "~" + day.
  TStringList Keys;
  std::int32_t PopFailureWarningCount = 5;   // "PopFailureWarningCount"
  std::int32_t SMTPFailureWarningCount = 2;  // "SMTPFailureWarningCount"
  bool AddMultipartAlternative = true;  // "AddMultipartAlternative"
  // "PromptDeleteFromPendhold" / "PromptReleaseFromPendhold", stored "y",
  // "n" or "u": 0 ask whether to blacklist (whitelist) senders, 1 never,
  // 2 do it without asking.
  TTrite PromptDeleteFromPendhold = kTriteUnknown;
  TTrite PromptReleaseFromPendhold = kTriteUnknown;
  bool DeleteFromPendholdRemoveFromServer = true;  // "DeleteFromPendholdRemoveFromServer"

  // The defaults above, with no snapshot of origin: handed to
  // SetProcessingOptions, such an object replaces the whole set.
  TProcessingOptions() = default;

  // Copies every field, the keys with their days, and the snapshot the other
  // object was taken from.
  void Assign(const TProcessingOptions& other) { *this = other; }

  // Reads the section "ProcessingOptions": each value with the current one
  // as its default (a missing value or a number that does not read keeps
  // it), except the two prompts, whose default is always 2. A Boolean is
  // true when it reads as 1. "PendholdTime" is read as whole days.
  // "Keys" entries are key + "~" + day; an entry without "~", or whose day
  // is not a number, is dated today (Now()). A missing "Keys" keeps the
  // current keys with their days. Ends with CullKeys. Never fails.
  void LoadFromIni(TQuorIniFile& file);
  // Writes the section "ProcessingOptions" (Booleans "1"/"0", numbers in
  // decimal, "PendholdTime" cut to whole days, the prompts as one letter),
  // and removes the obsolete keys "RecipientsPhraseListName",
  // "MsgIdPhraseListName", "SubjectLineListName" and
  // "FriendsOfWhitelistedPhraseListName". Never fails; the file object
  // saves when it is freed or updated.
  void SaveToIni(TQuorIniFile& file) const;

  // Drops every key whose day plus PendholdTime is earlier than Now(): a key
  // stays valid until PendholdTime days after the midnight that began its
  // day.
  void CullKeys();
  // Keys holds the key (ignoring case) and CullKeys would keep it: an
  // unblock code is honoured by the day it stands at now, whenever the list
  // was last culled.
  bool HoldsValidKey(std::string_view key) const;

  // Compares the option values (the snapshot of origin does not count).
  bool SameValues(const TProcessingOptions& other) const;

 private:
  friend TProcessingOptions GetProcessingOptions(const std::string& UserName);
  friend void SetProcessingOptions(const std::string& UserName, TProcessingOptions& Options);

  // The set this copy was taken from (or last handed back as); null for an
  // object made on its own.
  std::shared_ptr<const TProcessingOptions> FOrigin;

  // The key at the index has passed its PendholdTime days at `now`.
  bool KeyExpired(int index, double now) const;
};

// A copy of the global set for the caller to change; it remembers the
// snapshot it was taken from. The user name is not used. Safe from any
// thread; raises ECriticalSectionException when the lock times out.
TProcessingOptions GetProcessingOptions(const std::string& UserName);

// Applies the caller's changes to the global set and publishes the result as
// the new snapshot. For a copy from GetProcessingOptions, only the fields
// that differ from its snapshot of origin are taken, and of the keys only
// the entries it added or removed (a changed day is a removal and an
// addition; added entries go to the end); everything else keeps the current
// value, so a writer never undoes another writer's change. An object made on
// its own replaces the whole set. Afterwards `Options` counts as taken from
// what it handed back, so that handing it back again applies only later
// changes. The user name is not used. Safe from any thread; raises
// ECriticalSectionException when the lock times out (nothing is changed
// then).
void SetProcessingOptions(const std::string& UserName, TProcessingOptions& Options);

// The current snapshot, shared and never changed: a later
// SetProcessingOptions publishes a new one and leaves this one as it is.
// Never null. The user name is not used. Safe from any thread; raises
// ECriticalSectionException when the lock times out.
std::shared_ptr<const TProcessingOptions> GetGlobalProcessingOptions(const std::string& UserName);

}  // namespace halvorn
