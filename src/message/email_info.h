// TEmailInfo: the side record of one message, what the program learned and
// decided about it that is not part of the message text (where it came from,
// why it was held, its category probabilities, the names of its report and
// backup files, the results of the standard tests, the targets its "Decode"
// links stand for, its danger entries...).
//
// A record lives in the file install folder + "/EmailInfo/" + Id + ".dat", a
// list of Name=Value lines (names read ignoring case and in any order); the
// message file carries the same number as its "ContentId".
//
// Sharing. Every record handed out by AcquireEmailInfo, AcquireNewEmailInfo
// or SwitchEmailInfo is live: the process keeps one registry from Id to live
// record, so every borrower of one Id shares one instance and no update is
// lost to a second copy saved over the first. Each live record counts its
// references; the last ReleaseEmailInfo saves it and unregisters it while
// holding the registry's lock, so an acquire racing with it gets either the
// live record or the file just saved. A loaded message marks the record it
// holds with a weak reference to itself (TEmailInfoOwner), which never keeps
// the message alive.
//
// Locks, in this order: the message's own lock, then the registry's
// ("EmailInfoRegistry_CS"), then the record's ("EmailInfo_CS"). A record's
// lock is a leaf: nothing else is locked under it, so every accessor below
// may be called with or without the message's lock held. Operations that
// change the Id (Load, Clear, NewId, SetId) take the registry's lock first.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"

namespace halvorn {

// The text fields of a record, named as their keys in the file.
enum class TEmailInfoKey {
  MailBox,                   // the mailbox (user id) the message was received for
  UIDL,                      // the message's UIDL at its remote account
  RemoteAccountId,           // UniqueId of the remote account it came from
  PendholdText,              // comma text: why the message was held
  PendholdCategory,          // decimal: the category given to a held message
  CategoryProbabilitiesStr,  // the category probabilities in their text form
  BackupFile,                // the raw backup copy of the downloaded message
  UserWanted,                // the user's verdict, a three-valued letter
  ShowExtRefs,               // may external references be shown, a letter
  ReportFile,                // the full report of the message
  SummaryReport,             // the summary report of the message
  MailListId,                // UniqueId of the mailing list the message matched
  QCHHasMsgText,             // whether the central service holds the text
  SourceIP,                  // dotted address the message came from
  DccBody,                   // cached DCC body checksum
  DccFuz1,                   // cached DCC fuzzy checksum 1
  DccFuz2,                   // cached DCC fuzzy checksum 2
  StatData,                  // statistics data reported to the central service
  POPDuplicate,              // "1": held because the reader dropped the line
};
inline constexpr int kEmailInfoKeyCount = static_cast<int>(TEmailInfoKey::POPDuplicate) + 1;

// The name of a key as it stands in the file ("MailBox", "UIDL", ...).
const char* EmailInfoKeyName(TEmailInfoKey key);

// What a loaded message is to the registry: something that holds one record.
// The message class derives from it (and is held by a std::shared_ptr), or
// keeps a std::shared_ptr to a small object derived from it for as long as it
// lives; the registry keeps only a std::weak_ptr.
class TEmailInfoOwner {
 public:
  virtual ~TEmailInfoOwner() = default;
};

class TEmailInfo {
 public:
  // An empty record with a fresh Id (see NewId), not live. Such a record is
  // the caller's to delete, or to give to ReleaseEmailInfo, which saves it.
  // A live record is never deleted directly: ReleaseEmailInfo frees it.
  TEmailInfo();
  ~TEmailInfo();
  TEmailInfo(const TEmailInfo&) = delete;
  TEmailInfo& operator=(const TEmailInfo&) = delete;

  // The record's number. Lock-free; any thread.
  std::int32_t Id() const { return FId.load(); }
  // References taken through the acquire functions (0 for a record that is
  // not live).
  int RefCount() const { return FRefCount.load(); }

  // Gives the record the Id; a live record is filed under it from now on.
  // Raises std::logic_error when another live record has that Id (a message
  // takes over another's Id with SwitchEmailInfo instead).
  void SetId(std::int32_t id);
  // Gives the record a fresh random Id from 1 to 0x7FFFFFFE that neither a
  // record file nor a live record has (0 stands for "the last message" where
  // messages are keyed by number). The content stays and will be saved under
  // the new Id; the file of the old Id is left alone.
  void NewId();

  // Empties every stored field and list, sets QCHMsgId to 0 and the standard
  // tests to length 0, and draws a fresh Id (NewId). WorkingCategory stays.
  void Clear();

  // When id is the record's Id, reads nothing and answers true. Otherwise
  // empties the record, takes the Id (as SetId, with its exception) and
  // reads its file: false when the file is missing (the record stays empty)
  // or could not be read whole (what could be read stays). Never raises for
  // a bad file.
  bool Load(std::int32_t id);

  // Writes the file (creating the EmailInfo folder): one Name=Value line per
  // non-empty field, in the order of TEmailInfoKey with the typed fields in
  // their places; every value on one line (CR and LF written as blanks).
  // Nothing is written when the record's file holds exactly that already.
  // A record with nothing to store writes no file; when it was loaded whole
  // from its file (or saved to it) since it took its Id, that file is deleted
  // so emptied values do not come back. Answers an empty text on success,
  // else the error (the old file is then untouched).
  std::string Save();

  // Deletes the record's file; true when a file was deleted.
  bool Delete();

  // install folder + "/EmailInfo/" + Id in decimal + ".dat".
  std::string FileName() const;

  // Text fields. Each call takes the record's lock.
  std::string Value(TEmailInfoKey key) const;
  void SetValue(TEmailInfoKey key, const std::string& value);

  // "PendholdCategory" as a number, or the default when it reads as none.
  std::int32_t GetPendholdCategory(std::int32_t defaultCategory) const;
  void SetPendholdCategory(std::int32_t category);
  // A category number kept in memory only (never stored, not cleared).
  std::string WorkingCategory() const;
  void SetWorkingCategory(std::int32_t category);

  // The message's number at the central service; 0 when none.
  std::int32_t QCHMsgId() const;
  void SetQCHMsgId(std::int32_t id);

  // Results of the standard tests, by test number.
  TTriteArray StandardTests() const;
  void SetStandardTests(const TTriteArray& tests);
  TTrite StandardTest(int index) const;
  // TriteSet on the stored array.
  void SetStandardTest(int index, TTrite value, bool onlyIfUnknown = false);

  // The targets the record's "Decode" links stand for, by position.
  TStringList Urls() const;
  void SetUrls(const TStringList& urls);

  // Danger entries: names sorted ignoring case, each with its level as the
  // line's number. AddDangerLevel refuses a name already present (false).
  TStringList DangerLevel() const;
  bool AddDangerLevel(const std::string& name, std::int32_t level);
  void SetDangerLevel(const TStringList& entries);

  // The banned phrases found in the message.
  TStringList BannedPhrases() const;
  void SetBannedPhrases(const TStringList& phrases);

  // Makes a link that stands for the target, so that the target's query
  // never appears in the message: the target's protocol, host, port and path
  // with the document "Decode" and the query Id (eight upper-case hexadecimal
  // digits) + the decimal position the target takes in Urls; the target is
  // appended to Urls. Always true.
  bool MakeDecodeLink(const std::string& target, std::string& link);
  // The target a "Decode" link of this record stands for: true when the
  // link's document is exactly "Decode", the first eight characters of its
  // query are this record's Id in hexadecimal and the rest (at most 999
  // characters) is the decimal position of an entry of Urls. False, with the
  // target emptied, otherwise and on any error.
  bool ResolveLink(const std::string& link, std::string& target) const;

 private:
  friend struct TEmailInfoRegistry;
  struct TNoId {};
  explicit TEmailInfo(TNoId);

  void ClearFieldsLocked();
  // Reads the file under the record's lock; what went wrong is added to
  // `problems`, for the caller to log once the lock is released.
  bool ReadFileLocked(std::vector<std::string>& problems);
  // What Save writes for the record as it stands.
  std::string FileTextLocked() const;

  mutable TMutexCriticalSection FLock{"EmailInfo_CS"};
  std::atomic<std::int32_t> FId{0};
  // Changed only under the registry's lock.
  std::atomic<int> FRefCount{0};
  bool FRegistered = false;
  std::weak_ptr<TEmailInfoOwner> FOwner;
  // Guarded by FLock.
  bool FFileIsOurs = false;  // the file holds what this record loaded or saved
  std::string FFileText;     // FileTextLocked() of what it loaded or saved
  std::array<std::string, kEmailInfoKeyCount> FValues;
  std::string FWorkingCategory;
  std::int32_t FQCHMsgId = 0;
  TTriteArray FStandardTests;
  TStringList FUrls;
  TStringList FDangerLevel;
  TStringList FBannedPhrases;
};

// The record of the Id, shared: the live record when there is one (true: a
// loaded message or another borrower holds it), else a new live record loaded
// from the file (the load's answer: false when there is no file). Its reference
// count goes up by one; every call is paired with ReleaseEmailInfo. `owner`
// marks the record as held by that message when no living message holds it
// yet. Any thread; raises ECriticalSectionException when the registry stays
// locked past its time-out.
bool AcquireEmailInfo(std::int32_t id, TEmailInfo*& record,
                      const std::weak_ptr<TEmailInfoOwner>& owner = {});

// A new, empty live record with a fresh Id (no file, no live record has it),
// held by the owner: a message's own record when it is created.
void AcquireNewEmailInfo(TEmailInfo*& record, const std::weak_ptr<TEmailInfoOwner>& owner);

// A message's record becomes the record of id (its file's "ContentId"), as
// one step under the registry's lock:
//  - the record already has the Id: nothing changes, true;
//  - another record with the Id is live: the message takes over that
//    instance (AcquireEmailInfo) and releases its old record;
//  - its own record is shared with borrowers: it is released, never
//    rewritten, and a new live record is loaded for the Id;
//  - otherwise its own record loads the Id in place (TEmailInfo::Load).
// `record` may be none; it must otherwise come from the acquire functions.
// Answers as AcquireEmailInfo (the load's answer for a load).
bool SwitchEmailInfo(TEmailInfo*& record, std::int32_t id,
                     const std::weak_ptr<TEmailInfoOwner>& owner);

// Drops one reference; the last one saves the record, unregisters it and
// frees it. Nothing for none. `record` is none afterwards in every case.
// Never raises (messages call it from their destructors): a failed save or a
// registry that cannot be locked is logged; in the second case the record
// stays live with its reference.
void ReleaseEmailInfo(TEmailInfo*& record) noexcept;

// A borrowed record given back however the borrower leaves: pass Ref() to
// AcquireEmailInfo, and the destructor calls ReleaseEmailInfo (also when the
// acquire answered false: the reference was taken all the same); Release()
// gives it back early. Not copyable.
class TBorrowedEmailInfo {
 public:
  TBorrowedEmailInfo() = default;
  ~TBorrowedEmailInfo() { ReleaseEmailInfo(FRecord); }
  TBorrowedEmailInfo(const TBorrowedEmailInfo&) = delete;
  TBorrowedEmailInfo& operator=(const TBorrowedEmailInfo&) = delete;
  TEmailInfo*& Ref() { return FRecord; }
  void Release() { ReleaseEmailInfo(FRecord); }
  TEmailInfo* Get() const { return FRecord; }

 private:
  TEmailInfo* FRecord = nullptr;
};

// The loaded message that holds the live record of the Id; null when none.
std::shared_ptr<TEmailInfoOwner> FindEmailInfoOwner(std::int32_t id);

// How many records are live (for tests and diagnostics).
int LiveEmailInfoCount();

// Deletes every "*.dat" file of the EmailInfo folder created before the date
// (taken as it stands; birth time, else modification time: every save makes
// a new file, so the age counts from the last save). Answers the number
// deleted, -1 when the folder does not exist. Single failures are ignored.
int CullEmailInfo(TDateTime before);

// The folder of the record files: install folder + "/EmailInfo".
std::string EmailInfoDir();

}  // namespace halvorn
