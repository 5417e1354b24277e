// TPhrases: one named phrase list (approved or banned senders, subject lines,
// sent message ids, keywords, IP patterns, spam checksums).
//
// Entries. A list holds plain entries, compared whole, and wildcard entries
// (any entry holding one of "#", "$", "*", "?", "^", "~"), matched with
// WildcardExtract (foundation/regex/phrase_wildcards.h). Both kinds are kept
// sorted and searched ignoring case (CompareText1252); an entry equal to one
// present is never added twice. They share one index space: 0 .. P - 1 are
// the plain entries in their order, P .. Count() - 1 the wildcard entries in
// theirs. Adding or deleting an entry may move the indices of others, so a
// caller that wants the text of what FindMatch found asks FindMatch for it.
//
// Entries are stored in normal form: the letters A to Z lowered (other
// characters as they are; CR, LF and zero bytes, which no stored form can
// hold, become blanks); in an e-mail list, the text between "<" and the first
// ">" after it when it has both, else the whole text, trimmed. An e-mail list
// refuses the entry "@".
//
// Access days. Each entry carries the day (a whole date-time number) on which
// it was last added or matched; 0 means never stamped, which counts as today.
// A list with DaysToExpire above 0 drops plain entries not used for that many
// days (PurgeExpired, and when the list is loaded from the settings);
// wildcard entries never expire.
//
// Outside file. A list whose FilePath is set takes its entries from that text
// file, one per line, and reads it again whenever the file's stamp (time,
// size, inode) differs from the one it last read: every look-up checks. The
// file is read and sorted outside the lock and the new entries swapped in.
// Entries added in memory to such a list last until the file changes.
//
// Threads. Every operation may be called from any thread; the list's lock
// "Phrases_CS" guards the entries and every setting. It is never held while a
// file is read or written, and never while another list's or the set's lock
// is taken: a thread holding it must not call into TPhrasesList. An operation
// that cannot take the lock raises ECriticalSectionException (or
// EThreadAbandoned for an abandoned worker); nothing has changed then.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/files/file_stamp.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"

namespace halvorn {

class TQuorIniFile;

// What a list holds; stored as "Strings", "IP List" and "Email Address".
enum TPhraseListType : std::uint8_t {
  pltStrings = 0,
  pltIPList = 1,
  pltEmailAddress = 2,
};

// Reads a phrase-list text file, as a list reads its outside file and the
// editor imports one: its lines up to the first zero byte (a text file ends
// there), split at CR LF, a lone CR and a lone LF. Answers an empty text, or
// the error, with `lines` emptied (a file above 64 MB is refused unread).
// Safe from any thread.
std::string ReadPhraseFile(const std::string& path, TStringList& lines);

// The stored name of a list type ("Strings" for any unknown value), and the
// type of a stored name ("IP List" 1, "Email Address" 2, anything else 0).
const char* PhraseListTypeName(std::uint8_t type);
std::uint8_t PhraseListTypeFromName(std::string_view name);

class TPhrases {
 public:
  // An empty list kept in the settings: no name, type Strings, owner
  // "Global", entries never expire.
  TPhrases();
  TPhrases(const TPhrases&) = delete;
  TPhrases& operator=(const TPhrases&) = delete;

  // ---- Settings (each read or written under the lock)

  // The list's name; built-in lists and lists named in the editor are
  // written in braces, e.g. "{Approved Senders}". Also its settings section.
  std::string Name() const;
  void SetName(const std::string& name);
  // The name before an edit in the editor (not stored).
  std::string OldName() const;
  void SetOldName(const std::string& name);
  // Several lines joined by CR LF.
  std::string Description() const;
  void SetDescription(const std::string& description);
  // Empty for a list kept in the settings. Setting another path forgets what
  // was read, so that the next look-up reads the new file.
  std::string FilePath() const;
  void SetFilePath(const std::string& path);
  std::uint8_t ListType() const;
  void SetListType(std::uint8_t type);
  std::string Owner() const;
  void SetOwner(const std::string& owner);
  // 0 or less: entries never expire.
  std::int32_t DaysToExpire() const;
  void SetDaysToExpire(std::int32_t days);

  // Called after every change of the entries (added, deleted, stamped,
  // replaced), on the changing thread, with the list's lock held: the
  // handler only notes the change (the editor marks its copy modified) and
  // must not wait for anything. An empty function removes it.
  void SetOnChange(std::function<void()> handler);

  // ---- Entries

  // The number of entries, after the outside file check.
  int Count();
  // The entry at the index, and it becomes the last hit; empty for an index
  // out of range (entries may have gone since the caller counted them).
  std::string Items(int index);
  // The entries in index order, copied at one moment (after the outside file
  // check): for callers that show or walk the whole list.
  TStringList EntryTexts();
  // The entry's access day as a date; now when it was never stamped or the
  // index is out of range. The index becomes the last hit.
  TDateTime GetAccessDate(int index);
  // Stamps the entry with the date's day; nothing for an index out of range.
  void SetAccessDate(int index, TDateTime date);

  // Adds the text in normal form and answers its index; the index of the
  // equal entry when one is present. -1 for an empty text and, in an e-mail
  // list, for "@". The entry becomes the last hit and, when the list
  // expires entries, is stamped with today.
  int Add(std::string_view text);
  // Add of each text in turn, done as one bulk merge: the new entries are
  // sorted once, not inserted one by one.
  void AddStrings(const TStringList& texts);
  // The index of the entry equal to the text, or -1. The text is lowered;
  // in an e-mail list it is first read as an address field and its bare
  // address taken, and when that finds nothing, the text is taken as Add
  // would store it (so "*@example.com" finds that pattern).
  int IndexOf(std::string_view text);
  // Deletes the entry at the index; false (nothing changed) for an index out
  // of range. Forgets the last hit either way.
  bool DeleteAt(int index);
  // IndexOf, then DeleteAt; false when the text is not in the list.
  bool DeleteText(std::string_view text);
  // Deletes every entry; forgets the last hit and what was read from the
  // outside file (a file-backed list reads it again at the next look-up).
  void Clear();

  // The index of the entry the text matches, or -1; `piece` gets the part of
  // the text a wildcard entry matched (empty for a plain match). The text is
  // lowered, and in an e-mail list reduced to "local part@domain"
  // (NormalizeEmailAddress). The last hit is tried first, then every
  // wildcard entry in order (the first non-empty piece wins), then the plain
  // entries by binary search. Anchored, a pattern must cover the text from
  // its first character (unless it begins with "*") to its last (unless it
  // ends with "*"); not anchored it may match anywhere. A found entry is
  // stamped with today whatever the expiry and becomes the last hit; its
  // text goes to `entry` when given, read under the same lock.
  int FindMatch(std::string_view text, std::string& piece, bool anchored,
                std::string* entry = nullptr);
  // False for an empty text; else FindMatch, anchored, found an entry.
  bool Contains(std::string_view text);
  // The first entry in index order equal to the text ignoring case, else the
  // first entry that contains the text ignoring case, where "?" in the text
  // stands for any one character (PosCI); -1 when none. The text is taken as
  // given. A found entry is stamped with today.
  int FindInText(std::string_view text);

  // When the list expires entries: deletes every plain entry whose access
  // day lies before now minus DaysToExpire days, and answers how many. An
  // entry never stamped counts as used now. Returns at once while the oldest
  // access day of the list cannot have expired, so callers may call it
  // before every look-up.
  int PurgeExpired();

  // For a file-backed list: reads the outside file when its stamp differs
  // from the one last read. A missing or unreadable file leaves the entries
  // as they are (an unreadable one is logged once per stamp). The look-ups
  // call it themselves.
  void ReloadFile();

  // Writes the entries to a text file, one per line ending in CR LF, the
  // plain entries and then the wildcard entries, replacing the file in one
  // atomic write. Answers an empty text, or the error.
  std::string SaveToFile(const std::string& path);

  // Erases the list's section of the settings and writes it again: "Type",
  // "Description" (a comma text of its lines), "DaysToExpire", then either
  // "FilePath" or one line per entry in index order:
  //   <index>="Phrase=<entry>",Accessed=<DOS date and time>
  // (the comma text quotes what needs it; an entry never stamped is written
  // with the time of saving). The entries are copied under the lock and
  // written after it is left. The settings object belongs to the caller.
  void SaveToIni(TQuorIniFile& ini);
  // Reads the list's section (named after the list): the type, description
  // and expiry (each with the current value as its default), the file path,
  // and for a list without one its entry lines. A line whose key is no
  // decimal number, whose phrase is empty or not storable, or (for a plain
  // entry of an expiring list) whose date's day lies before now minus
  // DaysToExpire days (what PurgeExpired would drop), is skipped. The date is "Accessed", else "Created";
  // one that does not read falls back to "Created", then to now. Equal
  // entries keep one, with the date of the last. Forgets the last hit and
  // what was read from an outside file.
  void LoadFromIni(TQuorIniFile& ini);

  // Copies the other list's entries with their days, name, old name,
  // description, file path, type, owner, expiry and what it read from its
  // file; forgets the last hit. The change handler stays this list's.
  void Assign(TPhrases& other);

 private:
  struct TEntry {
    std::string Text;
    std::int32_t Day = 0;
  };
  // What one read of the settings or the outside file gives: both sorted
  // lists, ready to be swapped in.
  struct TEntrySet {
    TStringList Plain;
    TStringList Wildcards;
  };

  static TEntrySet BuildEntrySet(std::vector<TEntry>&& entries);
  static TStringList MergeSorted(const TStringList& base, const TStringList& extra);
  static TStringList NewSortedList();

  int CountLocked() const;
  const std::string& TextLocked(int index) const;
  std::int32_t DayLocked(int index) const;
  void StampLocked(int index, std::int32_t day);
  int FindEntryLocked(std::string_view prepared) const;
  int IndexOfLocked(std::string_view text) const;
  void ReplaceEntriesLocked(TEntrySet&& entries);
  void RecomputeOldestLocked();
  void ChangedLocked();

  mutable TMutexCriticalSection FLock{"Phrases_CS"};
  TStringList FPlain;      // sorted, ignoring case; Numbers are access days
  TStringList FWildcards;  // the same for the wildcard entries
  // The stamp of the outside file when it was last read; not Exists while
  // nothing was read (the next look-up reads it).
  TFileStamp FFileStamp;
  // The stamp a failed read was logged for, so that it is logged once.
  TFileStamp FFailedStamp;
  // Grows whenever the entries are replaced or the file path or type
  // changes: a read of the file started before is then not swapped in.
  std::uint64_t FGeneration = 0;
  int FLastHit = -1;
  // No plain entry has an access day (other than 0) before this one; a lower
  // bound, made exact by each full pass. INT32_MAX when there is none.
  std::int32_t FOldestDay = INT32_MAX;
  std::string FName;
  std::string FOldName;
  std::string FDescription;
  std::string FFilePath;
  // FFilePath is not empty; read without the lock by every look-up.
  std::atomic<bool> FFileBacked{false};
  std::uint8_t FListType = pltStrings;
  std::string FOwner = "Global";
  std::int32_t FDaysToExpire = 0;
  std::function<void()> FOnChange;
};

}  // namespace halvorn
