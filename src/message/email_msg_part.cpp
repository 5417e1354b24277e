#include "message/email_msg_part.h"

#include <algorithm>
#include <unordered_set>

#include "foundation/text/html_parser.h"
#include "message/email_msg.h"
#include "message/header_errors.h"
#include "message/message_checksums.h"

namespace halvorn {

namespace {

constexpr std::size_t npos = std::string::npos;

}  // namespace

// ---------------------------------------------------------------------------
// TMimeTextCursor

void TMimeTextCursor::LineAt(std::size_t from, std::size_t& end, std::size_t& next) const {
  end = FText.find_first_of("\r\n", from);
  if (end == npos) {
    end = next = FText.size();
    return;
  }
  next = end + (FText[end] == '\r' && end + 1 < FText.size() && FText[end + 1] == '\n' ? 2 : 1);
}

bool TMimeTextCursor::ReadUpTo(const std::string& boundary, TStringList& body,
                               std::string& boundaryLine) {
  const std::size_t found = FText.find(boundary, FPos);
  if (found == npos) return false;
  body.SetText(std::string_view(FText).substr(FPos, found - FPos));
  std::size_t end = 0;
  std::size_t next = 0;
  LineAt(found, end, next);
  boundaryLine.assign(FText, found, end - found);
  FPos = next;
  return true;
}

void TMimeTextCursor::TakeRest(TStringList& lines) {
  if (AtEnd()) return;
  if (lines.Empty()) {
    lines.SetText(std::string_view(FText).substr(FPos));
  } else {
    TStringList rest;
    rest.SetText(std::string_view(FText).substr(FPos));
    lines.AddStrings(rest);
  }
  FPos = FText.size();
}

void TMimeTextCursor::TakeHeaderLines(TStringList& lines) {
  std::size_t end = 0;
  std::size_t next = 0;
  while (!AtEnd()) {
    LineAt(FPos, end, next);
    const bool empty = end == FPos;
    if (!empty) lines.Add(FText.substr(FPos, end - FPos));
    FPos = next;
    if (empty) break;
  }
}

void SplitLineBreaks(TStringList& lines) {
  int i = 0;
  while (i < lines.Count()) {
    if (lines[i].find_first_of("\r\n") == npos) {
      ++i;
      continue;
    }
    const std::string line = lines[i];
    TStringList pieces;
    pieces.SetText(line);
    if (line.back() == '\r' || line.back() == '\n') pieces.Add("");
    lines.Delete(i);
    for (int p = 0; p < pieces.Count(); ++p) lines.Insert(i + p, pieces[p]);
    i += pieces.Count();
  }
}

// ---------------------------------------------------------------------------
// TEmailMsgPart: place in the tree

TEmailMsgPart::TEmailMsgPart(TEmailMsgPartCollection* collection)
    : FChildren(std::make_unique<TEmailMsgPartCollection>(collection ? collection->Msg() : nullptr,
                                                          this)),
      FCollection(collection) {
  InitMsgSearchRec(SearchRec);
}

TEmailMsgPart::~TEmailMsgPart() {
  // The children go first; then a header that still names this part forgets
  // it (headers outlive their parts until the message clears them).
  FChildren.reset();
  if (FHeader != nullptr && FHeader->GetOwnerPart() == this) {
    TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr;
    FHeader->SetOwnerPlace(msg ? msg->FHeader : nullptr, nullptr, 0);
  }
}

void TEmailMsgPart::SetHeader(TEmailHeader* header, bool place) {
  FHeader = header;
  if (place) PlaceHeaders();
}

void TEmailMsgPart::PlaceHeaders() {
  TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr;
  if (FHeader != nullptr && (Parent() == nullptr || Parent()->FHeader != FHeader))
    FHeader->SetOwnerPlace(msg ? msg->FHeader : nullptr, this, Level());
  for (int i = 0; i < FChildren->Count(); ++i) FChildren->Items(i)->PlaceHeaders();
}

TEmailMsgPart* TEmailMsgPart::Parent() const {
  return FCollection ? FCollection->Parent() : nullptr;
}

TEmailMsg* TEmailMsgPart::GetMsg() const {
  return FHeader != nullptr && FCollection != nullptr ? FCollection->Msg() : nullptr;
}

int TEmailMsgPart::Level() const {
  return FCollection ? FCollection->Depth() : 0;
}

bool TEmailMsgPart::IsLastInCollection() const {
  return FCollection != nullptr && FCollection->Count() > 0 &&
         FCollection->Items(FCollection->Count() - 1) == this;
}

bool TEmailMsgPart::IsPreamble() const {
  return FHeader != nullptr && FCollection != nullptr && FCollection->Items(0) == this &&
         FHeader->IsMultipart();
}

bool TEmailMsgPart::HasOwnHeader() const {
  if (FHeader == nullptr) return false;
  TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr;
  if (msg != nullptr && FHeader == msg->FHeader) return false;
  for (int i = 0; i < FChildren->Count(); ++i)
    if (FChildren->Items(i)->FHeader == FHeader) return false;
  return true;
}

TMIMEDecoderClass TEmailMsgPart::Decoder(bool* named) const {
  TMIMEDecoderClass decoder = DecoderClass<TDefaultDecoder>();
  bool hasEncoding = false;
  if (FHeader != nullptr) hasEncoding = FHeader->GetDecoderClass(decoder);
  if (named != nullptr) *named = hasEncoding;
  return decoder != nullptr ? decoder : DecoderClass<TDefaultDecoder>();
}

void TEmailMsgPart::BodyChanged() {
  if (TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr) msg->SetChanged(true);
}

// ---------------------------------------------------------------------------
// Parsing

bool TEmailMsgPart::ParseBody(TStringList& lines, const std::string& boundary, bool raw) {
  TMimeTextCursor cursor(lines);
  TMimeParseBudget budget;
  const bool last = ParseBodyFrom(cursor, boundary, raw, budget);
  lines.Clear();
  cursor.TakeRest(lines);
  return last;
}

bool TEmailMsgPart::ParseBodyFrom(TMimeTextCursor& cursor, const std::string& boundary, bool raw,
                                  TMimeParseBudget& budget) {
  if (cursor.AtEnd()) return true;
  bool last = true;
  FRawText.Clear();
  FDecodedTextNoSubpartsCache.clear();
  if (boundary.empty()) {
    cursor.TakeRest(FRawText);
  } else if (cursor.ReadUpTo(boundary, FRawText, FBoundaryText)) {
    last = FBoundaryText == boundary + "--";
  } else {
    cursor.TakeRest(FRawText);
    if (FHeader != nullptr) FHeader->AddFlags(HeaderErrorBit(heMissingEndBoundary));
    FBoundaryText = boundary + "--";
  }
  ParseSubpartsWith(raw, budget);
  return last;
}

void TEmailMsgPart::ParseSubparts(bool raw) {
  TMimeParseBudget budget;
  ParseSubpartsWith(raw, budget);
}

void TEmailMsgPart::ParseSubpartsWith(bool raw, TMimeParseBudget& budget) {
  if (!FParseSubparts || FHeader == nullptr || IsPreamble()) return;
  const bool multipart = FHeader->IsMultipart();
  if (!multipart && !FHeader->IsRfc822Attachment()) return;
  // Children would stand deeper than the cap, or the parse has made all the
  // parts it may: the body stays as it is.
  if (Level() >= kMaxMimeNesting || budget.PartsLeft <= 0) return;

  // A multipart or message body is only decoded when its header names a
  // transfer encoding; one without is not encoded (a guessing codec would
  // decode the children's own encodings).
  bool useRaw = raw || !FHeader->IsTransferEncoded();
  TStringList working;
  if (!useRaw && !DecodeLinesTo(Decoder(), FRawText, working)) useRaw = true;
  TMimeTextCursor cursor(useRaw ? FRawText : working);
  FRawText.Clear();
  FDecodedTextNoSubpartsCache.clear();

  TEmailMsgPartCollection& children = *FChildren;
  if (multipart) {
    const std::string boundary = FHeader->GetBoundary();
    TEmailMsgPart* first = children.Add();
    --budget.PartsLeft;
    first->FParseSubparts = FParseSubparts;
    first->SetHeader(FHeader, false);
    if (boundary.empty())
      first->ParseBodyFrom(cursor, {}, false, budget);
    else
      children.ParseSections(cursor, boundary, first, budget);
  } else {
    TEmailMsgPart* first = children.Add();
    --budget.PartsLeft;
    first->FParseSubparts = FParseSubparts;
    TEmailHeader* header = children.HeaderFrom(cursor);
    first->SetHeader(header);
    children.ParseSections(cursor, header->GetBoundary(), first, budget);
  }
  // What the children left is the epilogue: kept with raw working lines,
  // dropped with decoded ones.
  if (useRaw) cursor.TakeRest(FRawText);
}

void TEmailMsgPart::KeepRest(TMimeTextCursor& cursor) {
  if (cursor.AtEnd()) return;
  if (!FBoundaryText.empty()) FRawText.Add(FBoundaryText);
  FBoundaryText.clear();
  cursor.TakeRest(FRawText);
}

void TEmailMsgPartCollection::ParseSections(TMimeTextCursor& cursor, const std::string& boundary,
                                            TEmailMsgPart* first, TMimeParseBudget& budget) {
  TEmailMsgPart* part = first;
  bool last = part->ParseBodyFrom(cursor, boundary, false, budget);
  while (!last) {
    if (budget.PartsLeft <= 0) {
      part->KeepRest(cursor);
      return;
    }
    part = Add();
    --budget.PartsLeft;
    part->FParseSubparts = first->FParseSubparts;
    part->SetHeader(HeaderFrom(cursor));
    last = part->ParseBodyFrom(cursor, boundary, false, budget);
  }
}

// ---------------------------------------------------------------------------
// Content

const TStringList& TEmailMsgPart::FGetRawText() {
  if (FRawText.Empty() && !FDecodedTextNoSubpartsCache.empty()) {
    TMIMEDecoderClass decoder = Decoder();
    if (decoder->IsBinaryKind()) {
      FRawText.SetText(FDecodedTextNoSubpartsCache);
    } else if (!decoder->Encode(FDecodedTextNoSubpartsCache, FRawText)) {
      FRawText.SetText(FDecodedTextNoSubpartsCache);
    }
    SplitLineBreaks(FRawText);
  }
  return FRawText;
}

void TEmailMsgPart::SetRawText(const TStringList& lines) {
  FRawText = lines;
  SplitLineBreaks(FRawText);
  FDecodedTextNoSubpartsCache.clear();
  BodyChanged();
}

bool TEmailMsgPart::DecodeToStringList(TStringList& list, bool withChildren) {
  bool named = false;
  TMIMEDecoderClass decoder = Decoder(&named);
  if (withChildren && FChildren->Count() > 0) {
    list.Clear();
    WriteBody(list, true);
    return named;
  }
  if (!FRawText.Empty() && decoder->IsBinaryKind()) {
    list = FRawText;
    return named;
  }
  bool answer = true;
  if (FDecodedTextNoSubpartsCache.empty()) answer = decoder->Decode(FRawText, FDecodedTextNoSubpartsCache);
  list.SetText(FDecodedTextNoSubpartsCache);
  return answer;
}

bool TEmailMsgPart::DecodeToStream(std::string& stream, bool withChildren) {
  bool named = false;
  TMIMEDecoderClass decoder = Decoder(&named);
  if (withChildren && FChildren->Count() > 0) {
    TStringList body;
    WriteBody(body, true);
    stream += body.Text();
    return named;
  }
  if (!FDecodedTextNoSubpartsCache.empty()) {
    stream += FDecodedTextNoSubpartsCache;
    return true;
  }
  if (decoder->IsBinaryKind()) {
    stream += FRawText.Text();
    return named;
  }
  std::string decoded;
  if (!decoder->Decode(FRawText, decoded)) {
    stream += FRawText.Text();
    return false;
  }
  FDecodedTextNoSubpartsCache = decoded;
  stream += decoded;
  return named;
}

bool TEmailMsgPart::EncodeFromStringList(const TStringList& lines, bool reparse) {
  TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr;
  if (msg != nullptr) msg->ClearCheckSums();
  FCheckSum = 0;
  FDecodedTextNoSubpartsCache.clear();
  FRawText.Clear();
  BodyChanged();
  bool named = false;
  TMIMEDecoderClass decoder = Decoder(&named);
  const bool multipart = FHeader != nullptr && FHeader->IsMultipart();
  const bool attached = FHeader != nullptr && !multipart && FHeader->IsRfc822Attachment();
  if ((reparse && FParseSubparts) || multipart || attached) {
    FreeChildrenAndHeaders();
    TStringList copy = lines;
    SplitLineBreaks(copy);
    TMimeTextCursor cursor(copy);
    TMimeParseBudget budget;
    ParseBodyFrom(cursor, {}, true, budget);
  } else if (decoder->IsBinaryKind()) {
    FRawText = lines;
    SplitLineBreaks(FRawText);
  } else {
    FDecodedTextNoSubpartsCache = lines.Text();
  }
  return named;
}

void TEmailMsgPart::FreeChildrenAndHeaders() {
  // Every header below this part, each once; the one it shares with this
  // part stays.
  std::vector<TEmailHeader*> headers;
  std::unordered_set<TEmailHeader*> seen{FHeader};
  std::vector<TEmailMsgPart*> pending;
  for (int i = 0; i < FChildren->Count(); ++i) pending.push_back(FChildren->Items(i));
  while (!pending.empty()) {
    TEmailMsgPart* part = pending.back();
    pending.pop_back();
    if (part->FHeader != nullptr && seen.insert(part->FHeader).second) headers.push_back(part->FHeader);
    for (int i = 0; i < part->FChildren->Count(); ++i) pending.push_back(part->FChildren->Items(i));
  }
  TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr;
  FChildren = std::make_unique<TEmailMsgPartCollection>(msg, this);
  for (TEmailHeader* header : headers) delete header;
}

bool TEmailMsgPart::WriteTo(TStringList& lines, bool withAttachments) {
  return WritePart(lines, withAttachments, true);
}

bool TEmailMsgPart::WritePart(TStringList& lines, bool withAttachments, bool withHeader) {
  if (withHeader && HasOwnHeader()) {
    FHeader->WriteTo(lines);
    lines.Add("");
  }
  if (FChildren->Count() > 0 && FHeader != nullptr && FHeader->IsTransferEncoded()) {
    // The first child shares this part's header and writes it. That header
    // was read as it stands, before the body was decoded, so it goes before
    // the encoded body and not into it: encoded, it would change at every
    // save ("=" becoming "=3D", then "=3D3D").
    TEmailMsgPart* first = FChildren->Items(0);
    const bool sharedHeader = first->FHeader == FHeader && first->HasOwnHeader();
    if (sharedHeader) {
      FHeader->WriteTo(lines);
      lines.Add("");
    }
    TStringList body;
    WriteChildrenAndBody(body, withAttachments, !sharedHeader);
    EncodeLinesInPlace(Decoder(), body);
    SplitLineBreaks(body);
    lines.AddStrings(body);
  } else {
    WriteBody(lines, withAttachments);
  }
  // A part without a boundary line (the only part of a single-part body, an
  // attached message's body) writes none: an empty line here would grow the
  // message by one line at every save.
  if (!FBoundaryText.empty()) lines.Add(FBoundaryText);
  return true;
}

bool TEmailMsgPart::WriteBody(TStringList& lines, bool withAttachments) {
  return WriteChildrenAndBody(lines, withAttachments, true);
}

bool TEmailMsgPart::WriteChildrenAndBody(TStringList& lines, bool withAttachments,
                                         bool firstWithHeader) {
  for (int i = 0; i < FChildren->Count(); ++i)
    FChildren->Items(i)->WritePart(lines, withAttachments, i > 0 || firstWithHeader);
  if (!withAttachments && FHeader != nullptr && FHeader->IsAttachment()) {
    lines.Add(kEncodedAttachmentSnip);
    lines.Add("");
  } else if (!withAttachments && FHeader != nullptr && FHeader->IsInlineAttachment()) {
    lines.Add(kInlineAttachmentSnip);
    lines.Add("");
  } else {
    lines.AddStrings(FGetRawText());
  }
  return true;
}

namespace {

bool IsTextPart(TEmailHeader* header) {
  return header != nullptr && (header->IsTextPlain() || header->IsTextHtml());
}

void AppendLines(TStringList& lines, const TStringList& more) {
  if (lines.Empty())
    lines = more;
  else
    lines.AddStrings(more);
}

}  // namespace

bool TEmailMsgPart::AppendPlainText(TStringList& lines, bool withDescendants) {
  const bool isText = IsTextPart(FHeader);
  if (isText) {
    TStringList content;
    if (Decoder()->IsBinaryKind()) {
      content = FGetRawText();
    } else {
      std::string decoded;
      DecodeToStream(decoded, false);
      content.SetText(decoded);
    }
    if (FHeader->IsTextHtml()) HtmlLinesToPlainText(content);
    AppendLines(lines, content);
  }
  if (withDescendants)
    for (int i = 0; i < FChildren->Count(); ++i) FChildren->Items(i)->AppendPlainText(lines, true);
  return isText;
}

bool TEmailMsgPart::AppendDecodedText(TStringList& lines, bool withDescendants) {
  const bool isText = IsTextPart(FHeader);
  if (isText) {
    std::string decoded;
    DecodeToStream(decoded, false);
    TStringList content;
    content.SetText(decoded);
    AppendLines(lines, content);
  }
  if (withDescendants)
    for (int i = 0; i < FChildren->Count(); ++i) FChildren->Items(i)->AppendPlainText(lines, true);
  return isText;
}

void TEmailMsgPart::ClearCaches() {
  FGetRawText();
  FDecodedTextNoSubpartsCache.clear();
  FImageRefCache.reset();
  for (int i = 0; i < FChildren->Count(); ++i) FChildren->Items(i)->ClearCaches();
}

std::int64_t TEmailMsgPart::RawSize() const {
  std::int64_t size = 0;
  for (int i = 0; i < FRawText.Count(); ++i) size += static_cast<std::int64_t>(FRawText[i].size());
  return size;
}

int TEmailMsgPart::MaxLineLength(bool decoded) {
  TStringList decodedLines;
  if (decoded) DecodeToStringList(decodedLines, false);
  const TStringList& lines = decoded ? decodedLines : FRawText;
  std::size_t longest = 0;
  for (int i = 0; i < lines.Count(); ++i) longest = std::max(longest, lines[i].size());
  return static_cast<int>(longest);
}

std::uint32_t TEmailMsgPart::CheckSum() {
  if (FCheckSum != 0) return FCheckSum;
  std::string content;
  if (!DecodeToStream(content, true)) return 0;
  std::uint32_t sum = CheckSumOfStream(content);
  if (FHeader != nullptr &&
      (FHeader->IsAttachment() || (FHeader->IsInlineAttachment() && !FHeader->IsRfc822Attachment())))
    SetCheckSumType(cstImage, sum);
  FCheckSum = sum;
  return sum;
}

// ---------------------------------------------------------------------------
// TEmailMsgPartCollection

TEmailMsgPartCollection::TEmailMsgPartCollection(TEmailMsg* msg, TEmailMsgPart* parent)
    : FMsg(msg), FParent(parent) {}

TEmailMsgPartCollection::~TEmailMsgPartCollection() {
  for (auto& part : FParts) part.reset();
}

TEmailMsgPart* TEmailMsgPartCollection::Items(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return FParts[static_cast<std::size_t>(index)].get();
}

int TEmailMsgPartCollection::IndexOf(const TEmailMsgPart* part) const {
  for (int i = 0; i < Count(); ++i)
    if (FParts[static_cast<std::size_t>(i)].get() == part) return i;
  return -1;
}

TEmailMsgPart* TEmailMsgPartCollection::Add() {
  return Insert(Count());
}

TEmailMsgPart* TEmailMsgPartCollection::Insert(int index) {
  index = std::clamp(index, 0, Count());
  auto part = std::make_unique<TEmailMsgPart>(this);
  TEmailMsgPart* added = part.get();
  FParts.insert(FParts.begin() + index, std::move(part));
  return added;
}

void TEmailMsgPartCollection::AddExisting(std::unique_ptr<TEmailMsgPart> part) {
  if (!part) return;
  part->FCollection = this;
  TEmailMsgPart* added = part.get();
  FParts.push_back(std::move(part));
  added->PlaceHeaders();
}

std::unique_ptr<TEmailMsgPart> TEmailMsgPartCollection::Extract(TEmailMsgPart* part) {
  const int index = IndexOf(part);
  if (index < 0) return nullptr;
  std::unique_ptr<TEmailMsgPart> taken = std::move(FParts[static_cast<std::size_t>(index)]);
  FParts.erase(FParts.begin() + index);
  taken->FCollection = nullptr;
  return taken;
}

std::unique_ptr<TEmailMsgPart> TEmailMsgPartCollection::SetItem(int index,
                                                                std::unique_ptr<TEmailMsgPart> part) {
  if (index < 0 || index >= Count() || !part) return nullptr;
  std::unique_ptr<TEmailMsgPart> old = std::move(FParts[static_cast<std::size_t>(index)]);
  old->FCollection = nullptr;
  part->FCollection = this;
  FParts[static_cast<std::size_t>(index)] = std::move(part);
  FParts[static_cast<std::size_t>(index)]->PlaceHeaders();
  return old;
}

void TEmailMsgPartCollection::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  if (index == Count() - 1 && index > 0)
    FParts[static_cast<std::size_t>(index) - 1]->FBoundaryText =
        FParts[static_cast<std::size_t>(index)]->FBoundaryText;
  std::unique_ptr<TEmailMsgPart> gone = std::move(FParts[static_cast<std::size_t>(index)]);
  FParts.erase(FParts.begin() + index);
  gone.reset();
}

bool TEmailMsgPartCollection::RemovePart(TEmailMsgPart* part) {
  const int index = IndexOf(part);
  if (index >= 0) {
    Delete(index);
    return true;
  }
  for (auto& item : FParts)
    if (item->FChildren->RemovePart(part)) return true;
  return false;
}

TEmailMsgPart* TEmailMsgPartCollection::FindFirst(const TPartTest& test, TEmailHeader* header) const {
  for (const auto& item : FParts) {
    if (TEmailMsgPart* found = test(item.get(), header)) return found;
    if (TEmailMsgPart* found = item->FChildren->FindFirst(test, header)) return found;
  }
  return nullptr;
}

bool TEmailMsgPartCollection::RepairNames(bool (TEmailHeader::*repair)()) {
  bool changed = false;
  for (auto& item : FParts) {
    if (item->FHeader != nullptr && (item->FHeader->*repair)()) changed = true;
    if (item->FChildren->RepairNames(repair)) changed = true;
  }
  return changed;
}

bool TEmailMsgPartCollection::FixMultilineNames() {
  return RepairNames(&TEmailHeader::FixMultilineNames);
}

bool TEmailMsgPartCollection::FixNameLengths() {
  return RepairNames(&TEmailHeader::FixNameLengths);
}

bool TEmailMsgPartCollection::CleanNames() {
  return RepairNames(&TEmailHeader::CleanNames);
}

TEmailMsgPart* TEmailMsgPartCollection::FindAlternative() const {
  auto attached = [](const TEmailMsgPart* part) {
    return part->FHeader != nullptr && part->FHeader->IsRfc822Attachment();
  };
  for (const auto& item : FParts)
    if (!attached(item.get()) && item->FHeader != nullptr && item->FHeader->IsMultipartAlternative())
      return item.get();
  for (const auto& item : FParts)
    if (!attached(item.get()))
      if (TEmailMsgPart* found = item->FChildren->FindAlternative()) return found;
  return nullptr;
}

int TEmailMsgPartCollection::Depth() const {
  return FParent ? FParent->Level() + 1 : 0;
}

TEmailHeader* TEmailMsgPartCollection::NewHeader() const {
  return new TEmailHeader(FMsg);
}

TEmailHeader* TEmailMsgPartCollection::HeaderFrom(TMimeTextCursor& cursor) const {
  TEmailHeader* header = NewHeader();
  TStringList lines;
  cursor.TakeHeaderLines(lines);
  header->ParseLines(lines, false, false);
  return header;
}

// ---------------------------------------------------------------------------
// Walks of the tree

namespace {

bool WithinAttachedMessage(const TEmailMsgPart* part) {
  for (const TEmailMsgPart* up = part->Parent(); up != nullptr; up = up->Parent())
    if (up->Header() != nullptr && up->Header()->IsRfc822Attachment()) return true;
  return false;
}

}  // namespace

void FindTextParts(TEmailMsgPart* part, TEmailMsgPart*& plain, TEmailMsgPart*& html) {
  if (part == nullptr) return;
  TEmailHeader* header = part->Header();
  if (header != nullptr && header->IsInline() && !header->IsAttachment() &&
      !header->IsRfc822Attachment() && !WithinAttachedMessage(part) && !header->IsMultipart()) {
    if (plain == nullptr && header->IsTextPlain())
      plain = part;
    else if (html == nullptr && header->IsTextHtml())
      html = part;
  }
  TEmailMsgPartCollection& children = part->Children();
  for (int i = 0; i < children.Count(); ++i) {
    TEmailMsgPart* child = children.Items(i);
    TEmailHeader* childHeader = child->Header();
    if (childHeader == nullptr || childHeader->IsAttachment()) continue;
    if (plain == nullptr && childHeader->IsTextPlain()) plain = child;
    if (html == nullptr && childHeader->IsTextHtml()) html = child;
    if (plain == nullptr || html == nullptr) FindTextParts(child, plain, html);
  }
}

void CollectContentLocations(TEmailMsgPart* part, TStringList& list) {
  if (part == nullptr) return;
  std::string location;
  if (part->Header() != nullptr && part->Header()->GetValue("Content-Location", location)) {
    location.erase(std::remove(location.begin(), location.end(), ' '), location.end());
    list.Add(location);
  }
  for (int i = 0; i < part->Children().Count(); ++i)
    CollectContentLocations(part->Children().Items(i), list);
}

std::uint32_t CollectPartHeaderFlags(TEmailMsgPart* part) {
  if (part == nullptr) return 0;
  std::uint32_t flags = part->Header() != nullptr ? part->Header()->GetFlags() : 0;
  for (int i = 0; i < part->Children().Count(); ++i)
    flags |= CollectPartHeaderFlags(part->Children().Items(i));
  return flags;
}

}  // namespace halvorn
