// The MIME part tree of a message.
//
// TEmailMsgPart is one node: its header, its own body lines as they stand in
// the message (transfer-encoded), a cache of their decoded bytes, its child
// parts and the boundary line that follows it. TEmailMsgPartCollection is the
// ordered list of the parts of one level. The message owns the top-level
// collection, parses its text into it on first use and writes the tree back
// when it saves.
//
// Tree shape. A multipart part's text is split at its boundary: the first
// child holds the preamble (the lines before the first boundary) and shares
// the parent's header object; each further child holds one section with its
// own header; the parent keeps in its own lines what follows the closing
// boundary. An attached message gets children the same way, its first child
// with a header of its own parsed from the attached message's header lines.
// A multipart part that is the first of its collection is a preamble part
// and is never split further.
//
// Splitting follows the boundary wherever it stands in the joined text, in
// the middle of a line too: the text before it stays with the part before,
// and the rest of that line is the boundary line. The scan runs forward once
// over the text of a level, so hostile mail cannot make it quadratic.
// Hostile structure is capped: parts nest at most kMaxMimeNesting levels
// deep and one parse makes at most kMaxMimeParts parts; what lies beyond a
// cap stays as body lines of the deepest part, and writes back as it came.
//
// Ownership. A collection owns its parts, a part its children and caches.
// Headers belong to the message: every header made for the tree registers
// with it, and the message frees them all when it clears its parse or goes.
// A part therefore holds its header by a plain pointer.
//
// Threads. Parts have no lock: they are used under the owning message's lock
// (TEmailMsg::MessageLock).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "message/email_header.h"
#include "message/mime_decoders.h"
#include "message/msg_search_rec.h"

namespace halvorn {

class TEmailMsg;
class TEmailMsgPartCollection;

// The deepest level a part may stand at (the message's own parts are level
// 0), and the most parts one parse may make.
inline constexpr int kMaxMimeNesting = 100;
inline constexpr int kMaxMimeParts = 10000;

// What replaces an attachment's body in text written without attachments.
inline constexpr const char* kEncodedAttachmentSnip = "[[[ Snip --- Encoded attachment --- Snip ]]]";
inline constexpr const char* kInlineAttachmentSnip = "[[[ Snip --- Inline attachment --- Snip ]]]";

// How many parts a parse may still make; shared by the parts of one parse.
struct TMimeParseBudget {
  int PartsLeft = kMaxMimeParts;
};

// The parser's view of a body: its lines joined into one text, each followed
// by CR LF, and a read position. Lines are read as TStringList::SetText reads
// them (breaks at CR LF, CR and LF).
class TMimeTextCursor {
 public:
  explicit TMimeTextCursor(const TStringList& lines) : FText(lines.Text()) {}
  bool AtEnd() const { return FPos >= FText.size(); }
  // The lines up to the next match of the boundary (which may stand in the
  // middle of a line) into `body`, and the rest of the matched line into
  // `boundaryLine`; the position moves past that line. False, reading
  // nothing, when the boundary does not occur again.
  bool ReadUpTo(const std::string& boundary, TStringList& body, std::string& boundaryLine);
  // The lines from the position on (appended), moving it to the end.
  void TakeRest(TStringList& lines);
  // The header block of a part at the position: the lines up to the next
  // empty line (or the end) appended, that empty line skipped. A section
  // that begins with an empty line has an empty header, and its body starts
  // right after that line.
  void TakeHeaderLines(TStringList& lines);

 private:
  // The line at `from`: its end and the start of the next line.
  void LineAt(std::size_t from, std::size_t& end, std::size_t& next) const;

  std::string FText;
  std::size_t FPos = 0;
};

// Splits every line that holds a CR or LF at its breaks (CR LF, CR, LF);
// a break that ends a line leaves an empty line after it. Written lines then
// stand in a file exactly as they are counted.
void SplitLineBreaks(TStringList& lines);

class TEmailMsgPart {
 public:
  // A new empty part; collections make parts (Add, Insert).
  explicit TEmailMsgPart(TEmailMsgPartCollection* collection);
  ~TEmailMsgPart();
  TEmailMsgPart(const TEmailMsgPart&) = delete;
  TEmailMsgPart& operator=(const TEmailMsgPart&) = delete;

  // ---------------------------------------------------------------------------
  // Attachment findings: written by the attachment scoring of the incoming
  // processing, read by the actions. All zero at creation unless said.
  bool MultipleFileNames = false;
  bool NoFileName = false;
  bool MultipleExtensions = false;
  bool HiddenExtension = false;    // a benign extension hides a dangerous one
  bool ConsecutiveSpaces = false;  // runs of spaces in the name
  std::int32_t AttachmentValue = 0;
  bool QchVirus = false;             // the central service calls it a virus
  bool DifferingExtensions = false;  // several names with different extensions
  std::int32_t FileRiskLevel = -1;   // -1 unknown
  std::int32_t DangerPoints = 0;
  std::int32_t LongestSpaceRun = 0;
  bool SafeMimeUnsafeType = false;  // a safe MIME type on an unsafe file type
  std::string ClassIdFileType;      // the file type its class id indicates
  bool AttachmentFlag = false;
  TMsgSearchRec SearchRec;  // the central service's record of the attachment

  // ---------------------------------------------------------------------------
  // Place in the tree

  TEmailHeader* Header() const { return FHeader; }
  // Gives the part a header of the message or none; the part does not own
  // it. With `place` the header learns that this part carries it
  // (SetOwnerPlace); a header shared with the parent stays the parent's.
  void SetHeader(TEmailHeader* header, bool place = true);
  TEmailMsgPartCollection* Collection() const { return FCollection; }
  // The children; never null.
  TEmailMsgPartCollection& Children() { return *FChildren; }
  const TEmailMsgPartCollection& Children() const { return *FChildren; }
  // The part whose children hold this one; null at the top level.
  TEmailMsgPart* Parent() const;
  // The message that owns the part's header; null when the part has none.
  TEmailMsg* GetMsg() const;
  // The depth of the collection that holds it (0 for a part of the message).
  int Level() const;
  bool IsLastInCollection() const;
  // A multipart part that is the first of its collection.
  bool IsPreamble() const;
  // False when the header is the message's top header or a child uses the
  // same header object (that child writes it); true otherwise.
  bool HasOwnHeader() const;
  // Whether multipart and attached-message parts are split into children;
  // copied from the message or the parent. Initially true.
  bool ParseSubpartsFlag() const { return FParseSubparts; }
  void SetParseSubpartsFlag(bool value) { FParseSubparts = value; }

  // The boundary line that follows the part ("--" + boundary, with "--"
  // after it behind the last part); empty when none.
  const std::string& BoundaryText() const { return FBoundaryText; }
  void SetBoundaryText(const std::string& text) { FBoundaryText = text; }

  // ---------------------------------------------------------------------------
  // Parsing

  // Takes the part's body from the front of the lines. Without a boundary
  // all lines are the body. With one, the lines are searched as one text
  // (each line followed by CR LF) for the boundary, case counting: the text
  // before it is the body, the rest of that line the part's boundary text,
  // and the lines after it stay in the list. A boundary that is never found
  // gives all lines, the header's heMissingEndBoundary flag and the boundary
  // text boundary + "--". Then the part is split into children when its
  // header asks for it (ParseSubparts). Answers true when this was the last
  // section: the closing boundary (boundary + "--") was seen, or no boundary
  // was given or found. No lines: nothing happens, true.
  bool ParseBody(TStringList& lines, const std::string& boundary, bool raw);
  // Splits a multipart or attached-message part into children, unless the
  // splitting flag is off, it is a preamble part or the nesting cap is
  // reached. The working text is the body lines themselves when `raw` is set
  // or the codec is of the binary kind (what the children leave stays the
  // part's body); otherwise their decoded text (and the body lines are
  // emptied).
  void ParseSubparts(bool raw);

  // ---------------------------------------------------------------------------
  // Content

  // The body lines, rebuilt first from the decoded cache when they are
  // empty: as they are for a codec of the binary kind, else encoded again.
  const TStringList& FGetRawText();
  // Replaces the body lines and empties the decoded cache; marks the
  // message changed. Lines holding line breaks are split at them.
  void SetRawText(const TStringList& lines);
  // The decoded body: with children asked for and present, WriteBody with
  // attachments; else the body lines for a codec of the binary kind; else
  // the decoded cache, filled first. The list is replaced. Answers the
  // header's transfer-encoding flag in the first two cases, true when the
  // cache was filled already, else the codec's answer.
  bool DecodeToStringList(TStringList& list, bool withChildren);
  // As DecodeToStringList, appending bytes to the stream (lines with CR LF).
  // A body that does not decode gives the body lines as they are and false.
  bool DecodeToStream(std::string& stream, bool withChildren);
  // Replaces the part's content by the decoded lines: drops the message's
  // checksums and the part's own, empties cache and body; then re-parses a
  // copy of the lines as the body (freeing the children and their headers)
  // when `reparse` and the splitting flag are set or the part is multipart or
  // an attached message; otherwise the lines become the body (binary kind)
  // or the decoded cache. Answers the header's transfer-encoding flag.
  bool EncodeFromStringList(const TStringList& lines, bool reparse);

  // Appends the part as it stands in the message: its header and an empty
  // line when HasOwnHeader, the body (children encoded with the part's codec
  // when it has children and a transfer encoding that is not of the binary
  // kind), and its boundary text when that is not empty. Always true.
  bool WriteTo(TStringList& lines, bool withAttachments);
  // The children's WriteTo in order, then the part's own lines; without
  // attachments an attachment's lines are replaced by a snip line and an
  // empty line. Always true.
  bool WriteBody(TStringList& lines, bool withAttachments);

  // For a text/plain or text/html part, appends its text (decoded unless its
  // codec is of the binary kind; HTML made plain) and answers true. With
  // descendants every child appends its own in turn.
  bool AppendPlainText(TStringList& lines, bool withDescendants);
  // The same, always decoding and keeping HTML as HTML for this part; the
  // children append their plain text.
  bool AppendDecodedText(TStringList& lines, bool withDescendants);

  // Rebuilds the body lines, empties the decoded and image-reference caches,
  // in this part and every child.
  void ClearCaches();

  // Removes one notice the program inserted from the part's decoded text
  // (when it is a text part that is no attachment), then from each child in
  // turn. True when something was removed here or below. (Defined with the
  // notice, email_msg_notice.cpp.)
  bool RemoveQuorInfo();

  // The sum of the body lines' lengths, line breaks not counted.
  std::int64_t RawSize() const;
  // The longest line of the decoded body, or of the body lines.
  int MaxLineLength(bool decoded);

  // The checksum of the decoded content with children: the stream checksum
  // of its last 1024 bytes, of type 2 (image) for an attachment or an inline
  // attachment that is not an attached message. Computed once; 0 while it
  // cannot be (tried again next time).
  std::uint32_t CheckSum();
  // Forgets the part's checksum.
  void ClearCheckSum() { FCheckSum = 0; }

  // The image-reference cache of the HTML views (null until they fill it).
  std::unique_ptr<TStringList>& ImageRefCache() { return FImageRefCache; }

  // ---------------------------------------------------------------------------
  // HTML views and changes (email_msg_html.cpp), over the decoded text. Used
  // under the message's lock; linear in the size of the text.

  // The image references of the part's HTML, each line's Number its kind
  // (TImageRefKind, email_msg_html.h), in the order found, repeats kept.
  // Without `withEmbedded` the references to the message's own parts
  // ("cid:" and Content-Location, kinds 4 and 5) are left out. Computed once
  // and kept until ClearCaches. Replaces the list.
  void GetExtImageRefUrls(TStringList& list, bool withEmbedded = false);
  // One line per anchor of the decoded text (ExtractLinks). Replaces the
  // list.
  void GetUrls(TStringList& list);
  // The target of the first form's action; empty when none.
  void GetFormActions(std::string& action);
  // Replaces each external image reference (kinds 0 to 3) where it stands
  // as an attribute value (after src= or background=, quoted or not, or
  // inside url(...)) by `replacement`, or when that is empty by the local
  // blocked-image link carrying the reference as "OrigUrl". Answers the
  // number of values replaced; nothing changes when that is 0.
  int ReplaceImageExternalRefs(const std::string& replacement = {});
  // For a quoted-printable part: the escapes in its body lines that stand
  // for URL-safe ASCII characters other than "=". 0 for other parts.
  int CountUnnecessaryQuotedPrintableChars();
  // A small GIF attachment (or one without a name) whose checksum is one of
  // the local web server's own images.
  bool IsOwnImage();

 private:
  friend class TEmailMsgPartCollection;
  friend class TEmailMsg;

  TMIMEDecoderClass Decoder(bool* named = nullptr) const;
  void BodyChanged();
  bool ParseBodyFrom(TMimeTextCursor& cursor, const std::string& boundary, bool raw,
                     TMimeParseBudget& budget);
  void ParseSubpartsWith(bool raw, TMimeParseBudget& budget);
  // After the last part a budget allowed: the rest of the text follows this
  // part's boundary line as body lines.
  void KeepRest(TMimeTextCursor& cursor);
  void PlaceHeaders();
  void FreeChildrenAndHeaders();

  TStringList FRawText;
  std::string FDecodedTextNoSubpartsCache;
  std::unique_ptr<TEmailMsgPartCollection> FChildren;
  TEmailHeader* FHeader = nullptr;
  std::unique_ptr<TStringList> FImageRefCache;
  std::uint32_t FCheckSum = 0;
  TEmailMsgPartCollection* FCollection;
  std::string FBoundaryText;
  bool FParseSubparts = true;
};

// The parts of one level, in order. Owns them.
class TEmailMsgPartCollection {
 public:
  // The message's own collection (level 0), or the children of a part.
  explicit TEmailMsgPartCollection(TEmailMsg* msg, TEmailMsgPart* parent = nullptr);
  // Frees the parts from the front.
  ~TEmailMsgPartCollection();
  TEmailMsgPartCollection(const TEmailMsgPartCollection&) = delete;
  TEmailMsgPartCollection& operator=(const TEmailMsgPartCollection&) = delete;

  int Count() const { return static_cast<int>(FParts.size()); }
  // The part at the index; null outside the list.
  TEmailMsgPart* Items(int index) const;
  int IndexOf(const TEmailMsgPart* part) const;
  // A new empty part at the end, or before the index (the end when past it).
  TEmailMsgPart* Add();
  TEmailMsgPart* Insert(int index);
  // Moves a part in at the end (it takes this collection's level) or out
  // without freeing it; Extract answers null when the part is not here. A
  // part taken out must go before its message clears its parse: its header
  // belongs to the message.
  void AddExisting(std::unique_ptr<TEmailMsgPart> part);
  std::unique_ptr<TEmailMsgPart> Extract(TEmailMsgPart* part);
  // Replaces the part at an index below the count; answers the part that
  // stood there (null for a bad index, and the new part is then dropped).
  std::unique_ptr<TEmailMsgPart> SetItem(int index, std::unique_ptr<TEmailMsgPart> part);
  // Frees the part at the index; nothing for a bad index. When it is the
  // last of several, the part before it takes over its boundary text, so the
  // closing boundary survives.
  void Delete(int index);
  // Deletes the part from this level or, depth first, from the children of a
  // part; true when found.
  bool RemovePart(TEmailMsgPart* part);

  // The test's answer for each part in order, else the same search in its
  // children, depth first; the first answer that is not null.
  using TPartTest = std::function<TEmailMsgPart*(TEmailMsgPart* part, TEmailHeader* header)>;
  TEmailMsgPart* FindFirst(const TPartTest& test, TEmailHeader* header) const;
  // The header's attachment-name repairs over every part of the tree; true
  // when one changed a name.
  bool FixMultilineNames();
  bool FixNameLengths();
  bool CleanNames();
  // The first part of this level that is no attached message and is
  // multipart/alternative; else the same search in the children of each
  // part that is no attached message.
  TEmailMsgPart* FindAlternative() const;

  // The level of the parts of this collection.
  int Depth() const;
  TEmailMsgPart* Parent() const { return FParent; }
  TEmailMsg* Msg() const { return FMsg; }

  // Parses sections separated by the boundary from the cursor: `first` (a
  // part of this collection with its header) reads the first section, and
  // while no closing boundary has ended a section a new part with a header
  // read from the text reads the next. At the budget's end the last part
  // keeps the rest of the text.
  void ParseSections(TMimeTextCursor& cursor, const std::string& boundary, TEmailMsgPart* first,
                     TMimeParseBudget& budget);
  // A new header of the message (registered with it).
  TEmailHeader* NewHeader() const;
  // A new header holding the part header at the cursor (TakeHeaderLines).
  TEmailHeader* HeaderFrom(TMimeTextCursor& cursor) const;

 private:
  friend class TEmailMsgPart;
  bool RepairNames(bool (TEmailHeader::*repair)());

  TEmailMsg* const FMsg;
  TEmailMsgPart* const FParent;
  std::vector<std::unique_ptr<TEmailMsgPart>> FParts;
};

// Fills the first text/plain and the first text/html part found depth first
// from the part: the part itself when it is inline and neither an
// attachment, an attached message, within one, nor multipart; then each
// child that is no attachment, searched inside while a slot is empty.
void FindTextParts(TEmailMsgPart* part, TEmailMsgPart*& plain, TEmailMsgPart*& html);
// Appends each "Content-Location" value of the part and its descendants,
// blanks removed, in tree order.
void CollectContentLocations(TEmailMsgPart* part, TStringList& list);
// The OR of the header flags of the part and all its descendants.
std::uint32_t CollectPartHeaderFlags(TEmailMsgPart* part);

}  // namespace halvorn
