// TEmailMsg: one e-mail message as the whole program handles it.
//
// A message lives in a message file (".eml") in the folder of the queue that
// holds it. The object is made cheaply from a file name and reads and parses
// its file only when a caller first needs its content. It owns its parsed
// header and MIME part tree, the per-message properties that travel in the
// first line of its file, a reference to its side record (email_info.h), its
// cached derived data, the report fragments the analysis writes and the
// processing claim that a POP3 session or a web-mail run holds on it.
//
// The message file: an optional first line "X-SMTP: " + the properties as
// one comma text, then the message, every line ended by CR LF. Only a first
// line that begins with "X-SMTP: " is taken for the property line, so a file
// the program did not write cannot inject properties; every file the
// program writes has the line (with "ContentId"). A NUL byte is an ordinary
// character. Files are always written whole (a temporary file renamed into
// place), and a file under a new name never replaces another file.
//
// Ownership. Messages are held by shared_ptr (TEmailMsgRef): Create hands
// out the reference that the queue keeps too. The destroy rules run when the
// last holder lets go: a message flagged deleted loses its file (its own
// file only, never one another writer put under its name); a temporary
// message (one that does not save its changes) that carries a failure
// notice loses its file; a changed message is saved; a loaded message whose
// file is missing is saved. While a message is flagged deleted it never
// writes its file, so a thread still holding an obliterated message cannot
// bring its file back into a queue.
//
// The index. What the store looks up in every queued message (its UIDL, its
// source account, its size, its processing marks) is kept apart from the
// text: read once from the head of its file and its side record when a queue
// loads it (ReadIndexFromFile), and kept up to date by every change made
// through the message. Reading the index reads no file and takes no message
// lock, so a walk over ten thousand queued messages loads none of them.
//
// Batches. While the calling thread has a durability batch
// (durability_batch.h), saving the message and moving its file are staged in
// it: the file on the disk keeps its old content and place until the batch
// commits, and then gets the new ones in one step (GetFileName names the new
// place from then on). Without a batch both happen at once, as before.
//
// Size. GetSize is the number of octets the POP3 server sends for the
// message before dot-stuffing: the sum of (line length + 2) over the message
// lines, the property line not counted. For a message not loaded it comes
// from its file without loading it (the file length less the property line:
// every line the program writes ends with CR LF).
//
// Threads. Every operation that reads or changes the message's state takes
// the message lock "EmailMsg_CS" (re-entrant) for its whole run; the getters
// of simple side-record values and the claim test do not. Lock order:
// repository registry, repository, queue, message, accounts; and the
// message's lock comes before the side-record registry and records and
// before its headers' locks. The operations that move the message between
// queues (SendToPendhold, MoveToTrash, Obliterate, the duplicates of
// FSetUidl) reach the repository with the message lock released; calling
// them while holding it raises std::logic_error. The part tree has no lock:
// a caller walking it holds MessageLock().
//
// Failures. Operations that answer a Boolean turn failures into false, but
// an abandoned worker's EThreadAbandoned and a lock time-out
// (ECriticalSectionException) always pass through to the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/files/durability_batch.h"
#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/time/date_time.h"
#include "message/accounts.h"
#include "message/category_probability.h"
#include "message/dcc_checksums.h"
#include "message/dnsrbl_lookup.h"
#include "message/email_header.h"
#include "message/email_info.h"
#include "message/email_msg_links.h"
#include "message/email_msg_part.h"
#include "message/message_checksums.h"
#include "message/msg_search_rec.h"
#include "message/simple_html.h"
#include "message/uidl_states.h"

namespace halvorn {

// The property line's opening, blank included.
inline constexpr const char* kPropertyLinePrefix = "X-SMTP: ";

// Names of the properties the message model reads and writes itself.
inline constexpr const char* kPropContentId = "ContentId";
inline constexpr const char* kPropSendTime = "SendTime";
inline constexpr const char* kPropSendAnon = "SendAnon";
inline constexpr const char* kPropQuorCategory = "QuorCategory";
inline constexpr const char* kPropFailureNotice = "FailureNotice";
// The processing marks (the incoming processing thread writes them; the
// store reads them at start-up), the values of "Started ProcessingInc", and
// the set id a joined split message keeps.
inline constexpr const char* kPropStartedProcessing = "Started ProcessingInc";
inline constexpr const char* kPropExceptedProcessing = "Excepted Processing";
inline constexpr const char* kMarkPreProcessing = "1";
inline constexpr const char* kMarkProcessing = "2";
inline constexpr const char* kMarkFinished = "3";
inline constexpr const char* kPropPartialId = "PartialId";

// The held-mail reason of a duplicate UIDL.
inline constexpr const char* kDuplicateUidlReason =
    "The server returned two messages with the same unique identifier.  To avoid duplicates "
    "this copy was sent to the Pendhold.";

// Logs that a message operation failed (detail 5, error).
void LogMessageFailure(const char* what, const std::string& reason);

// The user every message belongs to.
inline constexpr const char* kSingleUserName = "SingleUser";

// ---------------------------------------------------------------------------
// Claim owners.
//
// A POP3 session or a web-mail run that claims messages first registers as
// an owner and gets a token: a 64-bit number never given out twice, so a
// claim of an owner that has gone can never look like a claim of a new one.
// The owner releases its claims (ReleaseMessageLocks) before it unregisters.

using TClaimOwner = std::uint64_t;
inline constexpr TClaimOwner kNoClaimOwner = 0;

// A new owner token. Safe from any thread.
TClaimOwner RegisterClaimOwner();
// The token is no longer valid; claims it still holds count as free.
void UnregisterClaimOwner(TClaimOwner owner);
// The token was registered and not unregistered (kNoClaimOwner never is).
bool IsClaimOwnerValid(TClaimOwner owner);

// Registers on construction, unregisters on destruction.
class TScopedClaimOwner {
 public:
  TScopedClaimOwner() : FOwner(RegisterClaimOwner()) {}
  ~TScopedClaimOwner() { UnregisterClaimOwner(FOwner); }
  TScopedClaimOwner(const TScopedClaimOwner&) = delete;
  TScopedClaimOwner& operator=(const TScopedClaimOwner&) = delete;
  TClaimOwner Token() const { return FOwner; }

 private:
  TClaimOwner FOwner;
};

// A claim older than this many seconds is cleared by the next test of
// another thread.
inline constexpr double kClaimExpirySeconds = 120.0;

// ---------------------------------------------------------------------------

class TEmailMsg : public TEmailHeaderOwner,
                  public TEmailInfoOwner,
                  public std::enable_shared_from_this<TEmailMsg> {
 public:
  // A new message: not loaded, no file name, a fresh side record. With a
  // queue it is added to it (TEmailMsgListBase::Add) before it is handed
  // out. Reads no file.
  static TEmailMsgRef Create(TEmailMsgListBase* queue = nullptr);
  // The destroy rules (see the top of this file), then everything is freed
  // and the side record released. Never raises: what fails is logged.
  ~TEmailMsg() override;
  TEmailMsg(const TEmailMsg&) = delete;
  TEmailMsg& operator=(const TEmailMsg&) = delete;

  // The message lock, for callers that walk the part tree or need several
  // operations as one.
  TMutexCriticalSection& MessageLock() const { return FLock; }

  // ---------------------------------------------------------------------------
  // The header owner's side (email_header.h). Register and unregister under
  // the message lock; HeaderChanged takes no lock and marks the message
  // changed, except for the headers its own parse fills.
  void RegisterHeader(TEmailHeader* header) override;
  void UnregisterHeader(TEmailHeader* header) override;
  void HeaderChanged() noexcept override;

  // ---------------------------------------------------------------------------
  // File and queue

  // The full path of the message file; empty before the first save of a new
  // message.
  std::string GetFileName() const;
  // Sets the path without touching the disk (a queue's loading gives each
  // message the path of its file).
  void SetFileName(const std::string& path);
  // The queue that holds the message; null when none. Not owned.
  TEmailMsgListBase* GetList() const { return FList.load(); }
  // Set by the queue that adds or removes the message.
  void SetList(TEmailMsgListBase* list) { FList.store(list); }
  // Makes `desired` the message's queue only while its queue is `expected`;
  // answers whether it did. A queue takes and gives up a message with it, so
  // that two threads adding one message to two queues at once cannot leave it
  // in both.
  bool ExchangeList(TEmailMsgListBase* expected, TEmailMsgListBase* desired) {
    return FList.compare_exchange_strong(expected, desired);
  }
  // Under the message lock: when the file exists, moves it to a path the
  // function draws (drawn again while the name is taken, never replacing a
  // file) and takes that path. True when moved or when there is no file to
  // move; false (path unchanged, logged) when the move fails. With a
  // durability batch on the calling thread the move (and a save staged
  // before it) happens at the batch's commit; true.
  bool MoveFileTo(const std::function<std::string()>& drawPath);
  // A write or move of the message's file is staged in a batch that has not
  // committed yet.
  bool HasStagedFile() const;

  // ---------------------------------------------------------------------------
  // The index (see the top). Lock-free for readers; any thread.
  struct TIndexEntry {
    std::string Uidl;         // the side record's "UIDL" (empty: none yet)
    std::string AccountId;    // the side record's "RemoteAccountId"
    std::string StartedMark;  // the property "Started ProcessingInc"
    bool Excepted = false;    // the property "Excepted Processing" is set
    bool Known = false;       // read from the file, or set since
  };
  TIndexEntry IndexEntry() const;
  // IndexEntry, read from the file first when not known yet.
  TIndexEntry KnownIndexEntry();
  // Reads the head of the message's file (its property line, its length) and
  // the side record file its "ContentId" names into the index and the size,
  // without loading the message. Nothing for a loaded message (its index is
  // current). False when the file cannot be read.
  bool ReadIndexFromFile();

  // False for a temporary message that only views a file: it saves nothing
  // when it goes unless its file is missing.
  bool GetSaveChanges() const { return FSaveChanges.load(); }
  void SetSaveChanges(bool value) { FSaveChanges.store(value); }
  // Reading the file parses at once (a wrapped message).
  void SetParseOnLoad(bool value);
  // Parsing adds an empty text part to a message without one (on by
  // default); the held-mail viewer clears it.
  void SetEnsureTextPart(bool value);
  // Parsing splits attached messages into parts (on by default).
  void SetParseAttachedMessages(bool value);

  // ---------------------------------------------------------------------------
  // Content

  // The raw lines are there or the message is parsed.
  bool IsLoaded();
  // Reads the file when the message is not loaded (and has a file name);
  // answers whether it is loaded afterwards.
  bool EnsureLoaded();
  // Read the file when not loaded (not when that fails), parse when not
  // parsed, and answer the top header / the top-level parts. A message
  // without a file name parses as an empty message. Hold MessageLock() while
  // using what they answer beyond a single call.
  TEmailHeader* GetHeader();
  TEmailMsgPartCollection& GetParts();
  // The properties (name=value lines), reading the file when not loaded; a
  // copy.
  TStringList GetProperties();
  // One property's value; empty when absent.
  std::string GetProperty(const std::string& name);
  // Sets (an empty value removes) a property and marks the message changed.
  // The file is read first when the message is not loaded.
  void SetProperty(const std::string& name, const std::string& value);

  // Reads the message from the file, which becomes its file (see
  // LoadFromStream). False when the file is missing or cannot be read.
  bool ReadFromFile(const std::string& path);
  // Replaces the message by the bytes of a message file: checksums and
  // caches emptied, the lines split at CR LF, CR and LF, the property line
  // taken off, the side record of its "ContentId" taken (the record of
  // another message with that Id is shared), the size and the change flag
  // reset; parsed at once with SetParseOnLoad (the parse's answer).
  bool LoadFromStream(const std::string& bytes);

  // Writes the message to its file: nothing (true) when not loaded; false,
  // writing nothing, while it is flagged deleted. A message without a file
  // name gets one from its queue (NewFileName) or, without a queue, a free
  // "Temp*.eml" in the temporary folder; a file under a new name never
  // replaces another (another name is drawn). The message stays changed
  // when the write fails.
  bool SaveToFile();
  // The bytes of the message file into `stream` (appended): reads the file
  // when not loaded (the answer starts as that result), clears the change
  // flag, sets "ContentId" and saves the side record, writes the property
  // line and the lines (raw where parts have raw lines).
  bool SaveToStream(std::string& stream);
  // Write the message to another path (created or replaced atomically);
  // the file name stays. False on failure.
  bool SaveToNamedFile(const std::string& path);
  bool WriteToFile(const std::string& path) { return SaveToNamedFile(path); }
  // Writes a copy to a new free path in the folder named from the subject;
  // `path` receives it, empty on failure. Never replaces a file.
  void SaveCopyAs(const std::string& folder, std::string& path);
  // Deletes the message file; false when it does not exist or is not the
  // message's (a file that appeared under a name the message took but never
  // read or wrote).
  bool DiskDelete();

  // Replaces the whole message by the lines (split where a line holds a
  // line break): checksums emptied, the parse reset, parsed at once with
  // SetParseOnLoad (its answer) or taken as raw lines (true; the caller's
  // list is emptied). The message moves to a side record of a new Id that
  // starts as a copy of the old one, so a borrower of the old Id keeps what
  // it borrowed.
  bool SetRawMail(TStringList& lines);
  // SetRawMail of the text's lines.
  bool SetText(const std::string& text);
  // Parses the lines (consumed) into the header and the parts. Answers the
  // header's parse result.
  bool Parse(TStringList& lines);
  bool ParseRawLines();
  // Frees every header and part, empties the raw lines and clears the parse.
  void ClearParsed();

  // Drops every change its file does not hold: reads the file again (text,
  // parse, properties and change flag as the file has them) and empties what
  // analysis added in memory: the report sections and notes, the category
  // probabilities, the match records, the caches, the cached checksums and
  // InfoRemoved. The side record stays as it is. False, changing nothing,
  // when the message has no file or it cannot be read.
  bool DropChanges();
  // Frees the text and the parse of a message whose file holds it (saved,
  // unchanged), keeping its properties and side record, so that reading a
  // property, the UIDL or the send time does not read the file again; the
  // next use of the content reads it. False, freeing nothing, while the
  // message is changed, has no file of its own, or is not loaded.
  bool ReleaseText();

  // The message text as lines: the raw lines when not parsed and raw is
  // allowed; otherwise (parsing first) the top header, an empty line and
  // every top-level part (WriteTo with attachments = allowRaw). No line
  // holds a line break. Answers whether every part answered true.
  bool GetRawText(TStringList& lines, bool allowRaw);
  // The POP3 TOP view: count 0 gives the header lines; otherwise the text
  // with at most `count` body lines. False when nothing was cut.
  bool GetTopLines(int count, TStringList& lines);
  // See "Size" at the top; -1 when the message has no file and no content.
  std::int32_t GetSize();

  // The change flag; set also by header and part changes. Lock-free.
  void SetChanged(bool flag);
  bool IsChanged() const { return FChanged.load(); }
  // Frees the derived caches and the parts' caches.
  void ClearCaches();
  // The hook of every changing operation: asks the claim and ignores the
  // answer.
  void CheckAccess(const char* operation);

  // The cached checksums (filled by the checksum assembly) and how often they
  // were computed. The array is emptied whenever the content is replaced.
  TCheckSumArray GetCachedCheckSums();
  void SetCachedCheckSums(const TCheckSumArray& sums);
  void ClearCheckSums();

  // ---------------------------------------------------------------------------
  // Views for tests (email_msg_views.cpp). Each reads and parses the message
  // on first use and holds the message lock while it works; parts handed out
  // belong to the message and are used under MessageLock(). A view never
  // changes the message. Each stays linear in the size of the message.

  // The first text/plain and text/html parts that stand for the body (null
  // when absent): the top-level text parts, then the children of the first
  // multipart/alternative top-level part, else a depth-first search. Never
  // an attachment or a part of an attached message.
  void GetTextParts(TEmailMsgPart*& plain, TEmailMsgPart*& html);
  // The lines of the top-level text/plain parts (with their descendants),
  // else of the text/html parts made plain; with `allParts`, or when that
  // gave nothing, then the plain text of every top-level part. Replaces the
  // list.
  void GetPlainText(TStringList& lines, bool allParts);
  // GetPlainText's first `mostLines` lines (all when negative) as one line of
  // words: every character outside 33..126 a blank, a blank before each
  // line, double blanks halved once.
  void GetVeryPlainText(std::string& text, bool allParts, int mostLines = -1);
  // Appends the decoded text of every top-level text part (HTML kept) and
  // the plain text of their descendants.
  void GetAllDecodedText(TStringList& lines);
  // Appends the decoded lines of the HTML part; nothing without one.
  void GetDecodedHtml(TStringList& lines);
  // The message text (raw where possible) without its header and the empty
  // line after it. Replaces the list.
  void GetRawBody(TStringList& lines);
  // The lines of a message area (email_msg_views.h); any number above 6
  // gives area 0. Replaces the list.
  void GetArea(std::uint8_t area, TStringList& lines);
  // The http, https and ftp URLs of the body, sorted, without repeats;
  // computed once and kept until ClearCaches. Replaces the list.
  void GetUrls(TStringList& lines);
  // The word features of the Bayesian tests (replacing the list) and the
  // ratio of words the plain and HTML alternatives do not share: -1 not
  // multipart/alternative, -2 no plain part, -3 no HTML part. With
  // `useCache` repeats are dropped and the answer kept until ClearCaches.
  double GetBayesianWords(TStringList& words, bool useCache);
  // One lower-cased tag name per HTML tag ("<a>", "</td>"), without
  // comments and namespaced tags; false (list empty) without an HTML part.
  bool GetHtmlTags(TStringList& tags, bool noRepeats);
  // Appends the "Content-Location" values / the "Content-ID" values without
  // their angle brackets of every part, in tree order.
  void GetContentLocations(TStringList& lines);
  void GetContentIds(TStringList& lines);
  // The first multipart/alternative part of the tree; null when none.
  TEmailMsgPart* GetAlternativePart();
  // The first part, depth first, for which the test answers a part.
  TEmailMsgPart* FindPart(const TEmailMsgPartCollection::TPartTest& test, TEmailHeader* header);
  // Top-level attachments, inline attachments and attached messages.
  int CountAttachments();
  // The attachment name of the first top-level part (of the tree as it
  // stands: the message is not read for this) whose checksum is `checksum`;
  // `name` stays as it was when none is, and for the checksum 0.
  void GetAttachmentNameByCheckSum(std::uint32_t checksum, std::string& name);

  // Checks and counts of the rule catalogue. None raises for bad mail.
  bool HasBase64TextPart();
  bool IsHtmlWithoutCharset();
  // Lines over 40 characters of the text written without attachments, the
  // first line not counted.
  int CountLongLines();
  int SA_CountUnnecessaryQuotedPrintable();
  // Numeric entities in the HTML part that stand for ordinary characters.
  int SA_CountUnnecessaryHtmlEncoding();
  int GetMaxQuotedPrintableLineLength();
  int GetMaxLineLength(bool decoded);
  bool HasMismatchedAttachmentType();
  bool HasExecutableAttachment();
  bool HasPgpSignature();
  // 0 when the source account's address stands in From, To, CC or
  // "X-MDaemon-Deliver-To"; 1 when it does not; 2 when that cannot be told
  // (no account, no address, or an IP address).
  int AccountAddressNotInHeaders();
  // The OR of the header flags of every part; 0 when the file cannot be read.
  std::uint32_t GetPartHeaderFlags();
  bool IsFromHotmail();
  // The header's mailing-list fingerprint (the caller's), and whether it
  // looks like a mailing list.
  std::unique_ptr<TMailingList> GetMailingList();
  bool HasMailingListHeaders();

  // ---------------------------------------------------------------------------
  // Body restructuring (body_restructuring.cpp). Each works on the parsed
  // message under the message lock, marks it changed when it changes it, and
  // keeps every part object that stays in the tree (pointers taken before
  // stay valid for the parts not removed). Parts answered belong to the
  // message.

  // Recomputes the body-structure flags (GetBodyFlags); runs after every
  // parse.
  void AnalyzeTextParts();
  // Adds an empty text/plain part to a message without text parts (not to a
  // message/partial); the new part or null.
  TEmailMsgPart* EnsureTextPart();
  // Gives an HTML-only body a plain alternative and a plain-only body an
  // HTML one (a body without text parts gets both); the last part added or
  // null.
  TEmailMsgPart* AddMissingAlternative();
  // A new empty text/plain / text/html part in the place the body's
  // structure asks for; null when the body has one already or the structure
  // cannot take one.
  TEmailMsgPart* AddPlainTextPart();
  TEmailMsgPart* FAddHtmlTextPart();
  // A new text part holding the message's plain text, tidied (as plain
  // lines, or as escaped HTML); null when none was added.
  TEmailMsgPart* AddPlainTextAlternative();
  TEmailMsgPart* AddHtmlTextAlternative();
  // Makes the body plain text; false when it was plain already or nothing
  // could be converted.
  bool ConvertToPlainText();
  // Makes the message a new multipart/mixed message holding an inline text
  // part (the intro text, and the message's plain text when asked) and the
  // old message as a message/rfc822 attachment.
  void WrapAsAttachment(bool withText, const std::string& introText);
  // Replaces the external image references of the HTML part (see
  // TEmailMsgPart::ReplaceImageExternalRefs); -1 without an HTML part.
  int ReplaceImageExternalRefs(const std::string& replacement = {});
  // Removes "From" and "Reply-To".
  void DoRemoveSenderInfo();
  // The attachment-name repairs of every part (and of the top header for the
  // last two); true when a name changed.
  bool FixMultilineAttachmentNames();
  bool FixAttachmentNameLengths();
  bool CleanAttachmentNames();

  // ---------------------------------------------------------------------------
  // Processing claim

  // Takes the claim for the owner: true when it holds it already (text and
  // time stay those of the first claim) or the claim is free (its owner is
  // not valid); false when another valid owner holds it, however old.
  bool Lock(TClaimOwner owner, const std::string& text);
  // Gives the claim up when the owner holds it, or when the owner is itself
  // no longer valid.
  void Unlock(TClaimOwner owner, const std::string& text);
  // The owner that holds the claim renews its time; false when it does not
  // hold it. Takes no message lock.
  bool RenewClaim(TClaimOwner owner);
  // Another owner holds the claim: a valid owner, taken by another thread.
  // A claim older than kClaimExpirySeconds is cleared by this test, which
  // still answers true that once. Takes no message lock.
  bool IsLockedByOther();
  // Another living thread holds the message lock now.
  bool IsLocked();
  // The claim's owner is not valid, or the calling thread took it.
  bool ClaimAllowsCurrentThread();
  // The claim as it stands (for the owner's bookkeeping and tests).
  TClaimOwner ClaimOwner() const;
  std::string ClaimText() const;

  // ---------------------------------------------------------------------------
  // Properties

  // Now minus ten minutes, then the property "SendTime" (cached); false when
  // the file cannot be read or the property is missing or does not convert.
  bool TryGetSendTime(TDateTime& time);
  // TryGetSendTime's time whatever its answer.
  TDateTime GetSendTime();
  void FSetSendTime(TDateTime time);
  bool GetSendAnon();
  void FSetSendAnon(bool flag);
  // "QuorCategory" as a number; 0 when absent or not a number.
  std::int32_t GetQuorCategory();
  void SetQuorCategory(std::uint8_t category);

  // ---------------------------------------------------------------------------
  // Side record. The getters of simple values take no message lock.

  // The side record's Id (the message key; "ContentId" in its file).
  std::int32_t GetContentId() const;
  // A side-record text value / sets one (under the message lock).
  std::string GetInfoValue(TEmailInfoKey key) const;
  void SetInfoValue(TEmailInfoKey key, const std::string& value);
  // Runs `use` with the side record under the record pointer's own lock
  // (never the message lock): for reads and changes of its lists.
  void WithInfo(const std::function<void(TEmailInfo&)>& use) const;

  // "UserWanted" as yes (0), no (1) or unknown (2); unknown on any error.
  TTrite GetUserWanted();
  // Stores the verdict unless a stored yes would become something else
  // without `force`; answers whether it stored.
  bool SetUserWanted(TTrite value, bool force);
  // The sum of the danger entries, clamped to 0..100.
  std::int32_t GetScore();
  // Adds a danger entry; false for 0 points, a name already there, or an
  // error.
  bool AddScore(const std::string& name, std::int32_t points);
  // "MailBox"; else the last To, then CC, address whose text holds the user
  // name; else the local account's address (false). False too when none.
  bool GetRecipientAddress(std::string& address);
  // The decoded Subject when not empty, else the Message-ID value, else
  // "No subject".
  void GetSubject(std::string& subject);
  std::string GetSubject();
  // The message's user: "SingleUser".
  void GetUserId(std::string& name) const { name = kSingleUserName; }

  // The block-list look-ups of the message, made on first use.
  TAsynchDNSRBLLookupBase& GetDnsrblLookup();
  // The return-address check thread the test started for the message (none
  // to clear it): AddressCheckDone is true when none is recorded or it no
  // longer runs. The thread owns copies of what it needs.
  void SetAddressCheckThread(TThreadHandle thread);
  TThreadHandle GetAddressCheckThread();
  bool AddressCheckDone();

  // ---------------------------------------------------------------------------
  // Source account and UIDL

  // "UIDL", reading the file first when not loaded; a message without one
  // gets a generated "Quorvantis" UIDL, stored without the duplicate walk.
  void GetUidl(std::string& uidl);
  std::string GetUidl();
  // Stores the UIDL; unless it is the stored one, every other message of the
  // queue that no other thread has locked and whose side record holds that
  // UIDL is then sent to the Pendhold (lock released for that).
  void FSetUidl(const std::string& uidl);
  // The remote account named by "RemoteAccountId"; null when none.
  TRemoteAccountRef GetSourceRemoteAccount();
  // Moves the UIDL's state from the current source account to the new one
  // (us_Downloaded when it had none there) and records the new account.
  void FSetSourceRemoteAccount(const TRemoteAccountRef& account);
  // The UIDL's state at the source account; false (us_NonExistant) when the
  // message has no UIDL or no source account.
  bool GetRemoteState(TUidlStatus& state);
  // Sets the UIDL's state at the source account (us_NonExistant forgets
  // it). Nothing without a UIDL or source account.
  void SetRemoteState(TUidlStatus state = us_NonExistant);
  // The deleted flag; setting it on a message with a source account makes
  // sure it has a UIDL.
  bool IsFlaggedDeleted() const { return FFlaggedDeleted.load(); }
  void FSetFlaggedDeleted(bool flag);

  // The queue's obliteration of the message; false without a queue.
  bool Obliterate(bool deleteRemote, const std::string& reason);
  // The repository of the message's user holds it / moves it to the trash.
  bool SendToPendhold(const std::string& reason);
  bool MoveToTrash(std::uint8_t code, const std::string& reason);
  bool IsInPendhold();
  bool IsInTrash();
  // Set by the move to the trash; passed on to Obliterate.
  std::uint8_t DeleteCode() const;
  std::string DeleteReason() const;
  void SetDeleteReason(std::uint8_t code, const std::string& reason);

  // ---------------------------------------------------------------------------
  // What other units keep on the message (under the message lock)

  // The central service's match records, and the repetition factor of them.
  TMsgSearchRecArray& SearchRecs() { return FSearchRecs; }
  double GetRepetitionFactor();
  // The tests' category judgements.
  TCategoryProbabilityList& Probabilities() { return FProbabilities; }
  // Report fragments.
  TSimpleHtml& GeneralInfo() { return FGeneralInfo; }
  TSimpleHtml& GeneralInfo2() { return FGeneralInfo2; }
  TSimpleHtml& CategoryInfo() { return FCategoryInfo; }
  TSimpleHtml& MatchInfo() { return FMatchInfo; }
  TSimpleHtml& AttachmentInfo() { return FAttachmentInfo; }
  TSimpleHtml& ListInfo() { return FListInfo; }
  TSimpleHtmlList& AdditionalInfo() { return FAdditionalInfo; }
  TSimpleHtml& MessageInfo() { return FMessageInfo; }
  TSimpleHtml& RuleInfo() { return FRuleInfo; }
  TSimpleHtml& SummaryInfo() { return FSummaryInfo; }
  // Caches of the views and tests; ClearCaches frees them.
  std::unique_ptr<TStringList>& UrlCache() { return FUrlCache; }
  std::unique_ptr<TStringList>& WordCache() { return FWordCache; }
  double& WordRatio() { return FWordRatio; }
  std::unique_ptr<TStringList>& TestCache() { return FTestCache; }
  // The link domains the URI block-list test asks about: one registered
  // domain or dotted address per line, the id of its DNS question as the
  // line's number; null until the test collects them.
  std::unique_ptr<TStringList>& UriDomains() { return FUriDomains; }

  // Markers other units set.
  std::atomic<bool> PrefetchDone{false};
  std::atomic<bool> BlackWhiteChecked{false};
  std::atomic<bool> Reordered{false};
  std::atomic<bool> InfoRemoved{false};
  std::atomic<bool> ConvertedToPlain{false};
  std::atomic<std::int32_t> ViewMarker{0};
  std::atomic<std::int32_t> CheckSumCount{0};

  // Body-structure flags, set by the body restructuring after each parse.
  struct TBodyFlags {
    bool HasHtmlPart = false;
    bool HasPlainPart = false;
    bool IsAlternative = false;
    bool NoAttachments = false;
    bool TopIsPlainText = false;
  };
  TBodyFlags GetBodyFlags() const;
  void SetBodyFlags(const TBodyFlags& flags);

  // ---------------------------------------------------------------------------
  // Checksum assembly (email_msg_checksums.cpp), under the message lock.

  // The message's checksum array (replacing `array`), computed on the first
  // call and kept until the content changes: a checksum per sentence of the
  // body text, the special body checksums, the attached images and the
  // Received addresses, without repeats. With `trace` in developer mode the
  // computation is written into the match report (QchInfo). Answers the
  // length. A message whose file cannot be read gets what its content gives.
  int GetCheckSums(TCheckSumArray& array, bool trace = true);
  // Appends the content checksum of every top-level attachment or inline
  // attachment that is an image (type 2); nothing for an attached message.
  void GetImageChecksums(TCheckSumArray& array);
  // Appends an address pair (type 5) for each Received line, from the top,
  // whose sending address is a dotted IPv4 address.
  void GetReceivedIpChecksums(TCheckSumArray& array);
  // The prefetch pass: true when it ran before; otherwise hands the body
  // text to the prefetch hook, marks the message (PrefetchDone) and answers
  // false.
  bool PrefetchChecksums();
  // The DCC record: from the side record's "DccBody", "DccFuz1" and
  // "DccFuz2" when present, else computed once by the checksum library from
  // the raw backup (or the message's own lines without the program's own
  // Received line) and cached in the side record. False when the library
  // cannot be loaded or a call fails; true, with an empty record, for a
  // message without lines.
  bool GetDccChecksums(TDccChecksums& record);
  // One sum of the DCC record (all zero when absent or on failure); true
  // when it is not all zero.
  bool GetDccBodySum(TDigest16& sum);
  bool GetDccFuz1Sum(TDigest16& sum);
  bool GetDccFuz2Sum(TDigest16& sum);

  // ---------------------------------------------------------------------------
  // Reports (email_msg_reports.cpp), under the message lock. The sections
  // other units name differently: LinkInfo is FGeneralInfo2 (report and
  // backup links), QchInfo is FMatchInfo (central-service match information
  // and the checksum trace), ListLinks is FListInfo (add-to-list links).

  TSimpleHtml& LinkInfo() { return FGeneralInfo2; }
  TSimpleHtml& QchInfo() { return FMatchInfo; }
  TSimpleHtml& ListLinks() { return FListInfo; }

  // The path of the full / summary report in the user's reports folder: the
  // name the side record keeps ("ReportFile" / "SummaryReport"), else a new
  // free name from the subject ("Full_Report " / "Summary_Report " and its
  // first 25 characters, blanks made "_", ".htm"), which is stored.
  void GetFullReportFileName(std::string& path);
  void GetSummaryReportFileName(std::string& path);
  // The local links "GetReport" (UserId, File) and "GetBackup" (UserId,
  // File, FileExt); empty without a report name / backup file.
  void GetReportUrl(std::string& link);
  void GetBackupUrl(const std::string& fileExt, std::string& link);
  // The user's backups folder + "/" + the side record's "BackupFile"; empty
  // when it names none (or names anything but a file of that folder).
  void GetBackupFileName(std::string& path);
  // The items of AdditionalInfo cut to the level, each ended by "<br>" and
  // separated by a short rule, replacing `target`.
  void GetAdditionalInfo(TSimpleHtml& target, int level);
  // Writes the full report when it does not exist yet, then rebuilds the
  // summary table (SummaryInfo) at the level (empty at level 0). Answers
  // WriteFullReport's error; the table is built in any case.
  std::string BuildSummaryInfo(int level);
  // Writes the full report from the report template, once: nothing when its
  // file exists or the template is empty. The file appears whole or not at
  // all and never replaces another file (a taken name is drawn again and
  // stored). Answers an empty text, else the error.
  std::string WriteFullReport();

  // ---------------------------------------------------------------------------
  // The notice and the category headers (email_msg_notice.cpp), under the
  // message lock.

  // Writes the report files when missing and adds the notice the user's
  // processing options ask for (InfoType, DetailLevel, InfoLocation).
  // Answers an empty text, else what failed (the notice is added even when
  // a report file could not be written).
  std::string BuildSummaryReportAndInfo();
  // Frames the notice with the begin and end markers and the spacer image
  // and inserts it, boxed: at the top (placement 0), the bottom (1), or where
  // InfoLocation and the score put it (2).
  void AddInfoForUser(const TSimpleHtml& notice, int placement);
  // Inserts the notice's plain-text lines into the plain text part (boxed
  // when asked) and its HTML lines into the HTML part, at the top or the
  // bottom; a message with parts but no text part gets them first. Nothing
  // for an empty notice or a message without parts.
  void InsertUserText(const TSimpleHtml& notice, bool atTop, bool boxed);
  // Removes one inserted notice from every text part, once per message
  // object: false at once after the first call. True when something was
  // removed.
  bool DoRemoveQuorInfo();
  // Deletes the top-level parts that are the program's own images; true
  // when one was deleted.
  bool DoRemoveQuorImages();
  // The property "RemoveQuorInfoOnSend" ("Yes" / "No"), else the user's
  // option DelInfoOnSend.
  bool GetRemoveQuorInfoOnSend();
  void SetRemoveQuorInfoOnSend(bool flag);
  // The message's category probabilities: combined from the tests' results
  // (the user's verdict applied unless ignored) and stored in the side
  // record, or, without results, read from the side record and overridden
  // by the message's category headers (not for a message still in the
  // unprocessed-incoming queue: its headers are the sender's).
  void GetCategoryProbabilities(TCategoryProbability& result, bool ignoreVerdict);
  // The percentage of one category 1 to 9; 0 for any other number.
  std::int32_t GetCategoryProbability(std::uint8_t category, bool ignoreVerdict);
  // Sets the nine "X-Quor-..." category headers from the probabilities.
  void WriteCategoryHeaders();

  // Runs the work; what fails becomes false (logged under `what`), except
  // an abandoned worker's unwinding and a lock time-out, which pass. The
  // queues and the repository answer their failures by the same rule.
  template <class F>
  static bool FalseOnFailure(const char* what, F work);

 private:
  friend class TEmailMsgPart;
  friend class TEmailMsgPartCollection;

  // Takes the message lock for a scope, after checking the lock order: a
  // thread that holds an account lock must not wait for a message (raises
  // std::logic_error).
  class TMsgGuard {
   public:
    explicit TMsgGuard(TMutexCriticalSection& lock);
    ~TMsgGuard() { FLock.Leave(); }
    TMsgGuard(const TMsgGuard&) = delete;
    TMsgGuard& operator=(const TMsgGuard&) = delete;

   private:
    TMutexCriticalSection& FLock;
  };

  TEmailMsg();

  bool IsLoadedLocked() const;
  bool EnsureLoadedLocked();
  // The properties and the side record are those of the file: true when
  // loaded or released after a save; otherwise EnsureLoadedLocked.
  bool EnsureHeadLocked();
  void EnsureParsedLocked();
  bool ReadFromFileLocked(const std::string& path);
  bool LoadLocked(const std::string& bytes);
  bool ParseLocked(TStringList& lines);
  void ClearParsedLocked();
  bool GetRawTextLocked(TStringList& lines, bool allowRaw);
  bool SaveToStreamLocked(std::string& stream);
  std::string DrawFilePathLocked(const std::string& near);
  void SetPropertyLocked(const std::string& name, const std::string& value);
  void SwitchInfo(std::int32_t id);
  void MoveToFreshInfo();
  void ClearClaimLocked();
  void RequireMessageLockReleased(const char* operation) const;
  bool SetUidlLocked(const std::string& uidl);
  void RunDestroyRules();
  // The index from the side record and properties, when they are the file's
  // (loaded, head known, or a message that has no file yet).
  void RefreshIndexLocked();
  // Stages the saved bytes in the batch (see "Batches" at the top).
  std::string StageSaveLocked(TDurabilityBatch& batch, const std::string& bytes);
  void WatchStaged(const TStagedFileRef& staged);
  void StagedFilePlaced(const TStagedFileRef& staged, const std::string& placed);
  void DropStagedLocked();
  // The file the message has on the disk now (empty: none of its own).
  std::string FileOnDiskLocked() const;

  mutable TMutexCriticalSection FLock{"EmailMsg_CS"};
  // Guarded by FLock.
  TEmailHeader* FHeader = nullptr;
  std::unique_ptr<TEmailMsgPartCollection> FParts;
  bool FParsed = false;
  bool FParseAttachedMessages = true;
  TStringList FRawLines;
  TStringList FProperties;
  TDateTime FSendTime = 0;
  std::unique_ptr<TStringList> FUrlCache;
  std::unique_ptr<TStringList> FWordCache;
  double FWordRatio = 0;
  TCheckSumArray FCheckSums;
  std::unique_ptr<TAsynchDNSRBLLookupBase> FRblLookup;
  std::string FFileName;
  bool FFileIsOurs = false;  // FFileName holds what this message read or wrote
  // FProperties and the side record are those of FFileName's file, also
  // while the text is not in memory (ReleaseText).
  bool FHeadKnown = false;
  // The write or move of the file staged in a durability batch; null when
  // none is pending.
  TStagedFileRef FStaged;
  bool FParseOnLoad = false;
  bool FEnsureTextPart = true;
  std::vector<TEmailHeader*> FHeaders;
  TMsgSearchRecArray FSearchRecs;
  TCategoryProbabilityList FProbabilities;
  TThreadHandle FAddressCheckThread;
  std::unique_ptr<TStringList> FTestCache;
  std::unique_ptr<TStringList> FUriDomains;
  std::uint8_t FDeleteCode = 1;
  std::string FDeleteReason = "Not Set";
  TSimpleHtml FGeneralInfo, FGeneralInfo2, FCategoryInfo, FMatchInfo, FAttachmentInfo, FListInfo,
      FMessageInfo, FRuleInfo, FSummaryInfo;
  TSimpleHtmlList FAdditionalInfo;
  TBodyFlags FBodyFlags;
  TDccChecksums FDccSums;  // the DCC record once loaded or computed

  // Lock-free state.
  std::atomic<bool> FChanged{false};
  std::atomic<std::int32_t> FSize{-1};
  std::atomic<bool> FFlaggedDeleted{false};
  std::atomic<bool> FSaveChanges{true};
  std::atomic<TEmailMsgListBase*> FList{nullptr};
  // The thread whose parse fills the headers; their change notices are not
  // changes of the message.
  std::atomic<platform::ThreadId> FParsingThread{0};

  // The side record. Replaced only under FLock and FInfoLock together, read
  // under either.
  mutable std::mutex FInfoLock;
  TEmailInfo* FInfo = nullptr;

  // The index, under its own small lock (readers never wait for FLock).
  mutable std::mutex FIndexLock;
  TIndexEntry FIndex;

  // The claim, under its own small lock.
  mutable std::mutex FClaimLock;
  TClaimOwner FClaimOwner = kNoClaimOwner;
  std::string FClaimText;
  platform::ThreadId FClaimThreadId = 0;
  TDateTime FClaimTime = 0;
};

template <class F>
bool TEmailMsg::FalseOnFailure(const char* what, F work) {
  return CatchAllButAbandonment<ECriticalSectionException>(work, [&](const std::string& error) {
    LogMessageFailure(what, error);
    return false;
  });
}

}  // namespace halvorn
