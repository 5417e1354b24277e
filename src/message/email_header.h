// The header of a message or of one MIME part: its lines as two parallel
// lists, names and values, in the order they stand in the text.
//
// TEmailHeader parses header lines and writes them back, hands out values
// unfolded and with their encoded words decoded (mime_words.h), changes
// values, reads and rewrites the parameters of "Content-Type" and
// "Content-Disposition", names and classifies attachments, and reads dates,
// character sets, addresses, Received lines, the last relay outside this
// computer and the mailing-list fingerprint. While it answers it records the
// anomalies it meets as flag bits (header_errors.h); the flags only grow, so
// a header that was never asked about its attachments carries no attachment
// flags.
//
// Texts are byte strings. A stored value is the text after the line's first
// ":", trimmed of blanks and control characters at both ends; a folded
// header keeps its continuation lines inside the value, each as CR LF and
// the continuation line with its leading blank. Unfolding (GetRawValue with
// unfold, and everything that decodes) drops each line break together with
// the blank or tab after it and puts nothing in its place: "Re: long" CR LF
// " subject" unfolds to "Re: longsubject". Checksums and stored features
// depend on that reading, so it is kept.
//
// Names are compared ignoring letter case; look-ups by name take the first
// entry of that name.
//
// Threads. Every operation takes the header's lock "EmailHeader_CS"
// (re-entrant) for its whole run, so callers on different threads may share
// a header. A message's lock comes before its headers' locks: a header never
// takes its owner's lock. What it needs of its owner is set on it by the
// owner (SetOwnerPlace), and its change notice takes no lock. A part header
// may read the top header while it holds its own lock, never the reverse.
//
// Failures. Absence is reported by the Boolean results and empty outputs;
// reads never raise on malformed input (an encoded word that does not decode
// stays as written). What does raise is the lock: ECriticalSectionException
// on a time-out, and EThreadAbandoned in an abandoned worker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"
#include "message/email_address.h"
#include "message/header_errors.h"
#include "message/mailing_list.h"
#include "message/mime_decoders.h"
#include "message/received_line.h"

namespace halvorn {

class TEmailHeader;
// A node of the owner's MIME part tree; the header only hands it back.
class TEmailMsgPart;

// What a header needs of the message that owns it. The message implements
// it; a header may also have no owner.
class TEmailHeaderOwner {
 public:
  virtual ~TEmailHeaderOwner() = default;

  // Called by the header's constructor and destructor, without the header's
  // lock. The owner keeps the list of its headers under its own lock.
  virtual void RegisterHeader(TEmailHeader* header) = 0;
  virtual void UnregisterHeader(TEmailHeader* header) = 0;

  // The header's names or values changed. Called while the header holds its
  // lock, so it must take no lock (the message sets an atomic flag).
  virtual void HeaderChanged() noexcept = 0;
};

class TEmailHeader {
 public:
  // An empty header: no lines, flags 0, relay cache not computed. With an
  // owner it registers with it; the owner outlives its headers.
  explicit TEmailHeader(TEmailHeaderOwner* owner = nullptr);
  // Unregisters from the owner; a failure of that is logged and ignored.
  ~TEmailHeader();
  TEmailHeader(const TEmailHeader&) = delete;
  TEmailHeader& operator=(const TEmailHeader&) = delete;

  // -------------------------------------------------------------------------
  // The owner's side

  // Set by the owner when it builds its part tree, under its own lock: the
  // message's top header (null while unknown), the part that carries this
  // header (null for none) and that part's depth (0 for a direct part of the
  // message). The top header must outlive this header, as the owner frees
  // all its headers together.
  void SetOwnerPlace(TEmailHeader* top, TEmailMsgPart* part, int depth);

  // The owner; null for a header without one.
  TEmailHeaderOwner* GetMsg() const { return FMsg; }
  // The header has an owner and is its top header.
  bool IsTopHeader();
  // The part that carries this header; null when none does.
  TEmailMsgPart* GetOwnerPart();

  // The flag word (bits of THeaderError).
  std::uint32_t GetFlags();
  // Adds flags found by others: the MIME part reader adds
  // heMissingEndBoundary when it finds no boundary line.
  void AddFlags(std::uint32_t flags);

  // -------------------------------------------------------------------------
  // Parsing and writing

  // Empties both lists and clears the flags.
  void Clear();

  // Replaces the header by the header lines at the start of the list.
  // Leading empty lines are skipped; the header runs to the first empty line
  // or the end. With `consume` the leading empty lines, the header lines and
  // the empty line after them are removed from the list, which then holds
  // only the body; without, the list is left as it is. Continuation lines
  // (beginning with a blank or tab, after the first line) join the line
  // before with CR LF, in one pass. A first line that is no field (no ":",
  // or blanks inside the name before it, as in an mbox "From x  Thu Aug 22
  // 12:46:39 2002" line) is kept as it stands and written back first, unless
  // `keepLeadingLine` is false (the headers of MIME parts, where such a line
  // is the remains of a broken boundary); any other line without ":" is
  // skipped. False for an empty list, a list of empty lines only, and when a
  // line had no ":".
  bool ParseLines(TStringList& lines, bool consume, bool keepLeadingLine = true);
  // Splits the text into lines (at CR LF, CR or LF) and parses them,
  // consuming.
  bool ParseText(std::string_view text);
  // Reads the file's lines up to the first empty line (or its end) and
  // parses them; true whatever the parse answered. False when the file
  // cannot be read, and the header is then left unchanged.
  bool LoadFromFile(const std::string& path);
  // Appends the kept first line (see ParseLines), then one line per entry,
  // name ": " value, with a folded value split back into the lines it was
  // parsed from.
  void WriteTo(TStringList& lines);

  // -------------------------------------------------------------------------
  // Values

  // The index of the first entry of that name, or -1. The given name is
  // upper-cased, its first ":" becomes a blank and it is trimmed; a stored
  // name is compared whole ("Subject " with a blank before its colon does
  // not match "Subject").
  int IndexOfName(std::string_view name);
  // The stored value of the first entry of that name, unfolded when asked;
  // false and empty when there is none.
  bool GetRawValue(std::string_view name, std::string& value, bool unfold);
  // The raw value unfolded, with its encoded words decoded.
  bool GetValue(std::string_view name, std::string& value);
  // The unfolded raw value cut before its first ";", trimmed, decoded.
  bool GetValueUpToSemicolon(std::string_view name, std::string& value);
  // Sets the value of the first entry of that name (its stored name stays),
  // deletes that entry when the value is empty, or appends name and value
  // when there is none and the value is not empty. True when an entry of
  // that name existed. The name's first ":" becomes a blank and it is
  // trimmed. One trailing CR LF of the value (longer than one character) is
  // dropped; any other CR or LF of the value or the name that is not part of
  // a fold (CR LF and a blank or tab) becomes a blank, so no value can write
  // a header line or an end of header of its own.
  bool SetValue(std::string_view name, std::string_view value);

  // A parameter of a header ("charset" of "Content-Type"), from the raw
  // value (unfolded when asked). The value is split at ";" outside double
  // quotes (a backslash inside quotes escapes the next character), an empty
  // last piece dropped and every piece trimmed; the parameter is the first
  // piece "name=text" whose name equals the parameter name ignoring case,
  // with no blanks around "=". A leading and a trailing double quote of the
  // text are removed, and each one that is missing adds
  // heMalformedParameter; in a text that began with a quote, a backslash
  // before a backslash or a quote stands for that character. False when the
  // header is missing, its value does not contain the parameter name at
  // all, or the text is empty.
  bool GetRawParam(std::string_view headerName, std::string_view paramName, std::string& value,
                   bool unfold);
  // GetRawParam unfolded, with its encoded words decoded.
  bool GetDecodedParam(std::string_view headerName, std::string_view paramName, std::string& value);
  // Rewrites one parameter of the decoded value: the first matching piece is
  // replaced by paramName=value (the caller's spelling), appended when there
  // is none, or removed when the value is empty; the pieces are joined with
  // "; " and stored with SetValue, so the whole value is stored decoded and
  // unfolded afterwards. A value holding ";" or a double quote, with a
  // blank at an end, or beginning with "?" (which the "=" before it would
  // make the start of an encoded word), is written in double quotes (its own
  // quotes and backslashes escaped) so that it reads back whole. False when
  // the header is missing.
  bool SetParam(std::string_view headerName, std::string_view paramName, std::string_view value);

  // GetValue of "Subject".
  bool GetSubject(std::string& subject);
  // ParseDateTime's flags (date_time.h) for the decoded "Date" value; the
  // date-time is first set to Now() and the zone to 0.
  std::uint16_t GetDate(TDateTime& date, TDateTime& zone);
  // The decoded "charset" parameter of "Content-Type"; "default" and false
  // when there is none.
  bool GetCharset(std::string& charset);

  // -------------------------------------------------------------------------
  // Content type, transfer encoding and boundary

  // True with GetValueUpToSemicolon of "Content-Type" when there is one;
  // otherwise false with "text/html" when IsTextHtml, "text/plain" when
  // IsTextPlain, else empty.
  bool GetContentType(std::string& type);

  // Tests of the lower-cased decoded "Content-Type". Without one they answer
  // false and add heMissingContentType, except as said.
  bool IsMultipart();             // contains "multipart"
  bool IsMultipartAlternative();  // its part before ";" contains "multipart/alternative"
  bool IsMultipartRelated();      // contains "multipart/related"
  bool IsMultipartMixed();        // contains "multipart/mixed"
  bool IsTextHtml();              // contains "text/html"
  // Contains "text"; else true, adding heCharsetWithoutText, when it
  // contains "charset". Without Content-Type: true (and the flag).
  bool IsTextType();
  // Contains "text/plain" or equals "text". Without Content-Type: true (and
  // the flag) for a direct part of the message, false without flag for a
  // deeper part or no part.
  bool IsTextPlain();

  // The "Content-Transfer-Encoding" value. Missing: "7bit", false, and
  // heMissingContentTransferEncoding. "7bit", "8bit" and "binary" (any case)
  // are handed out as written; any other value adds
  // heNonBinaryEncodingOfMultipart on a multipart header; "quoted-printable"
  // and "base64" are handed out as written and anything else is "binary"
  // with heUnknownContentTransferEncoding.
  bool GetTransferEncoding(std::string& encoding);
  // The codec of the part's body. With a transfer encoding: its codec
  // (DecoderForEncoding), true when there is one. Without: false, and
  // TBase64Decoder for a non-text attachment of an owned part header, the
  // TDefaultDecoder for everything else (text/plain, text/html, no owner,
  // the top header, neither attachment nor inline attachment, an attached
  // message). Never null.
  bool GetDecoderClass(TMIMEDecoderClass& decoder);
  // GetDecoderClass is true and its codec is not of the binary kind.
  bool IsTransferEncoded();

  // The boundary of a multipart body with "--" in front, from the decoded
  // "Content-Type": the text after "boundary=" (letter case ignored); when
  // it begins with a double quote, up to the next one (or the end);
  // otherwise up to the first ";", trimmed. Empty when there is no
  // Content-Type, no "boundary=" or the boundary is empty.
  std::string GetBoundary();
  // Sets the "boundary" parameter of "Content-Type", first setting
  // "Content-Type" to "multipart/alternative" when it is missing. The
  // answer of SetParam.
  bool SetBoundary(std::string_view boundary);

  // -------------------------------------------------------------------------
  // Attachments. "A leading part of a word" below means that the whole
  // lower-cased value, parameters included, stands at the start of the word:
  // "att" and "attachment" are leading parts of "attachment",
  // "attachment; filename=a.doc" is not.

  // When the owner's top header is not multipart and has a
  // "Content-Disposition", whether that value begins with "attachment"
  // decides for every header of the message. Otherwise this header's own
  // "Content-Disposition": a leading part of "attachment" is true, of
  // "inline" false, and any other value true with heUnspecifiedDisposition
  // (IsTextType is asked too, for its flags). Without one: a multipart or
  // text header is an attachment when it names one (GetAttachmentName);
  // anything else is.
  bool IsAttachment();
  // With an owner whose top header is known: true when that top header is
  // not multipart or its "Content-Disposition" is a leading part of
  // "inline". Otherwise this header's "Content-Disposition" up to and
  // including its first ";" (empty without one) contains "inline" (any
  // case); without one, not multipart and IsTextType.
  bool IsInline();
  // False for the top header, a multipart header, and in a message whose
  // top header is not multipart. Otherwise by "Content-Disposition": a
  // leading part of "inline" is true unless IsTextType; anything else, and
  // none, is false.
  bool IsInlineAttachment();
  // An attached message: the decoded "Content-Type" contains "rfc822", or
  // the "Name" of "Content-Type" or else the "FileName" of
  // "Content-Disposition" has an extension registered as such a type or one
  // of ".eml", ".nws", ".msg" (any case).
  bool IsRfc822Attachment();
  // IsRfc822Attachment for a header that a part carries; false without a
  // part and on any failure.
  bool IsRfc822Part();

  // The attachment's file name from the decoded "filename" of
  // "Content-Disposition", else from the decoded "name" of "Content-Type";
  // true when either names one. See GetAttachmentNameFromType.
  bool GetAttachmentName(std::string& name);
  // The name from one source ("name" of "Content-Type", "filename" of
  // "Content-Disposition", the "Content-ID" value): true when it is there,
  // else the name is "Attachment". The name is decoded once more
  // (DecodeEncodedWords, which trims it); without a "." it gets the
  // extension of its "Content-Type" when the MIME table knows one; every
  // character of < > ? * : | " / \ is dropped, each adding
  // heIllegalCharsInFileName.
  bool GetAttachmentNameFromType(std::string& name);
  bool GetAttachmentNameFromDisposition(std::string& name);
  bool GetAttachmentNameFromContentId(std::string& name);

  // Repairs of the attachment names, each over "FileName" of
  // "Content-Disposition" and "Name" of "Content-Type"; true when a name was
  // rewritten (SetParam). FixMultilineNames: a raw name holding CR LF is
  // stored decoded and unfolded. FixNameLengths: trailing dots are removed.
  // CleanNames: characters that are no file-name characters (IsFileNameChar)
  // are removed.
  bool FixMultilineNames();
  bool FixNameLengths();
  bool CleanNames();

  // -------------------------------------------------------------------------
  // Addresses. Collections belong to the caller.

  // The addresses of the decoded "To" / "CC"; null when the header is
  // missing.
  std::unique_ptr<TEmailAddressCollection> GetTo();
  std::unique_ptr<TEmailAddressCollection> GetCC();
  // The decoded "TO" and then "CC" in one collection; null when both are
  // missing or empty.
  std::unique_ptr<TEmailAddressCollection> GetToAndCC();
  // The recipient-list score of GetToAndCC (TEmailAddressCollection); false
  // with a score of 0 when there is no collection.
  bool RecipientListScore(bool fewAddressesRule, double& score);
  // Adds the addresses of the first header of that name, unfolded but not
  // decoded, to the collection.
  void GetAddresses(std::string_view name, TEmailAddressCollection& addresses);
  // Appends the bare address of every address of "To", then "CC", then
  // "BCC"; an item without an address (a group's name, "undisclosed
  // recipients") adds nothing.
  void GetRecipients(TStringList& recipients);
  // The first address GetRecipients gives; false when there is none.
  bool GetFirstRecipient(std::string& recipient);
  // The decoded value of "From", "Reply-To", "X-Sender", "Sender" or
  // "X-ReturnPath" reduced to its bare address (NormalizeEmailAddress);
  // false when the header is missing.
  bool GetFromAddress(std::string& address);
  bool GetReplyToAddress(std::string& address);
  bool GetXSenderAddress(std::string& address);
  bool GetSenderAddress(std::string& address);
  bool GetXReturnPathAddress(std::string& address);

  // -------------------------------------------------------------------------
  // Received lines. n counts Received headers: -1 the topmost (newest), -2
  // the one below it, 1 the bottom-most (oldest), 2 the one above it; 0 is
  // none.

  // CountHeader("Received").
  int ReceivedCount();
  // The number of entries of that name. Each one that stands below a header
  // of another name adds heReceivedOutOfOrder, unless its own stored name
  // is exactly "Return-Path" or "X-Message-Info".
  int CountHeader(std::string_view name);
  // The unfolded value of the n-th Received header; a value of a single line
  // that does not contain "Quor" adds heReceivedLineNotWraped.
  bool GetReceivedLine(int n, std::string& line);
  // Every Received value unfolded, from the top (n = -1, -2, ...), in one
  // pass, each as GetReceivedLine gives it (with its flag). Replaces the
  // list.
  void GetReceivedLines(std::vector<std::string>& lines);
  // The n-th Received line parsed; null when there is none. Its flags are
  // added to the header's.
  std::unique_ptr<TReceivedLine> CreateReceivedLine(int n);
  // The sending address of the n-th Received line (ReceivedFromIP).
  bool GetReceivedFromIP(int n, std::string& address);
  bool GetReceivedIP(int n, std::string& address) { return GetReceivedFromIP(n, address); }
  // ParseDateTime's flags for the last ";"-piece of the n-th Received line
  // that reads as a date (LastDatePart); the date-time is first set to
  // Now() and the zone to 0. kDateEmpty (2) when there is no such line.
  std::uint16_t GetReceivedDate(int n, TDateTime& date, TDateTime& zone);
  // The hour of the day, 0 to 24, of the topmost Received line that does not
  // contain "Quor" and whose date reads without kDateIrregular: the time of
  // day as written times 24, rounded half to even. -1 when there is none.
  int GetReceivedHour();
  int GetArrivalHour() { return GetReceivedHour(); }
  // The relay that handed the message to this computer's network: walking
  // the Received lines from the top (past a topmost line of the program's
  // own, beginning with "Quorvantis"), the first whose sending address is a
  // dotted number beginning with neither "127." nor "192.", whose from- and
  // by-hosts are not both web-mail relays, which is the bottom-most line or
  // whose from- and by-hosts share fewer than 3 leading labels, and whose
  // address is not this computer's. True with its n and address; false with
  // 0 and empty when none qualifies. The answer is kept until the lines
  // change (a new parse, SetValue, Clear); without Received lines nothing is
  // kept.
  bool GetLastExternalReceivedIP(int& index, std::string& address);
  // Some Received line, from the top, matches the web-mail relay host-name
  // shape as a whole line.
  bool HasHotmailReceivedHop();

  // -------------------------------------------------------------------------
  // Mailing lists

  // A new fingerprint of the decoded list headers and the subject.
  std::unique_ptr<TMailingList> GetMailingList();
  // LooksLikeMailingList of GetMailingList, asked while this header's lock
  // is held.
  bool IsKnownMailingList();

 private:
  // Every private member expects the lock to be held.
  void ChangedLocked();
  void ClearLocked();
  int IndexOfNameLocked(std::string_view normalizedName) const;
  bool LookupValueLocked(std::string_view name, std::string& raw) const;
  bool ContentTypeContains(std::string_view what, bool upToSemicolon);
  std::vector<int> ReceivedIndexesLocked() const;
  std::string TakeReceivedLocked(int entry);
  bool AttachmentName(int source, std::string& name);
  bool FixNames(int repair);
  bool AddressOf(std::string_view name, std::string& address);
  std::unique_ptr<TEmailAddressCollection> AddressesOf(std::string_view name);

  TMutexCriticalSection FLock{"EmailHeader_CS"};
  TEmailHeaderOwner* const FMsg;
  TStringList FNames;
  TStringList FValues;
  // A first line that is no field, kept as it stands.
  std::string FLeadingLine;
  std::uint32_t FFlags = 0;
  // The answer of GetLastExternalReceivedIP, once known. A separate mark:
  // -1 is also the n of a topmost relay.
  bool FLastExternalKnown = false;
  int FLastExternalIndex = -1;
  std::string FLastExternalIP;
  // Set by the owner (SetOwnerPlace).
  TEmailHeader* FTop = nullptr;
  TEmailMsgPart* FPart = nullptr;
  int FPartDepth = 0;
};

// Where the header of a message text ends: the position of its first empty
// line (lines end at CR LF, CR or LF, as TStringList::SetText reads them), so
// that the text before it holds the header lines with the line break of the
// last one. 0 for a text that begins with a line break; npos when the text
// holds no empty line. The search may start at `from` when the text before
// it was searched already (a text read piece by piece): a break right at
// `from` is taken together with the one before it.
std::size_t HeaderTextEnd(std::string_view text, std::size_t from = 0);

// The unfolded form of a stored value: each line break (CR LF, CR or LF)
// is dropped with the one character after it. Linear in the value's length.
std::string UnfoldHeaderValue(std::string_view value);

}  // namespace halvorn
