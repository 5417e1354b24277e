// Changes of a message's MIME tree: text parts added where a body has none,
// plain and HTML alternatives, conversion to plain text, wrapping the
// message as an attachment of a new one, and the body-structure flags.
//
// Every change keeps the part objects that stay in the tree (a caller may
// hold the text parts it asked for while it adds the other kind) and leaves
// each multipart level with a delimiter after every part and the closing
// delimiter after the last, so the text written back parses as the tree in
// memory.
#include "message/body_restructuring.h"

#include <algorithm>

#include "foundation/app/log.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/random_texts.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr const char* kContentType = "Content-Type";
constexpr const char* kTransferEncoding = "Content-Transfer-Encoding";
constexpr const char* kDisposition = "Content-Disposition";
constexpr const char* kDefaultPlainType = "text/plain; charset=\"iso-8859-1\"";
constexpr const char* kEightBit = "8bit";

std::string NewBoundary(const char* prefix) {
  return prefix + RandomPrintable(kRandomBoundaryChars);
}

bool HasEightBitBytes(const TStringList& lines) {
  for (int i = 0; i < lines.Count(); ++i)
    for (const char c : lines[i])
      if (static_cast<unsigned char>(c) > 127) return true;
  return false;
}

// Removes every entry of the name.
void RemoveField(TEmailHeader* header, const char* name) {
  while (header->SetValue(name, "")) {
  }
}

// A header value as stored (folds kept); empty when absent.
std::string RawValue(TEmailHeader* header, const char* name) {
  std::string value;
  if (header != nullptr) header->GetRawValue(name, value, false);
  return value;
}

// Sets the value, or removes the field for an empty one.
void PutField(TEmailHeader* header, const char* name, const std::string& value) {
  if (value.empty())
    RemoveField(header, name);
  else
    header->SetValue(name, value);
}

// The header of a new empty text part.
TEmailHeader* NewTextHeader(const TEmailMsgPartCollection& level, bool html) {
  TEmailHeader* header = level.NewHeader();
  header->SetValue(kContentType,
                   html ? "text/html; charset=\"us-ascii\"" : "text/plain; charset=\"us-ascii\"");
  header->SetValue(kTransferEncoding, "7bit");
  return header;
}

// A text of 8-bit bytes is labelled with the charset of the part it was
// made from (iso-8859-1 when that names none) and sent as 8bit; a pure
// ASCII text keeps the new part's labels.
void LabelEightBitText(TEmailHeader* header, const TStringList& lines, TEmailMsgPart* source,
                       const char* type) {
  if (!HasEightBitBytes(lines)) return;
  std::string charset;
  if (source == nullptr || source->Header() == nullptr || !source->Header()->GetCharset(charset) ||
      charset.empty())
    charset = kDefaultEightBitCharset;
  header->SetValue(kContentType, type);
  header->SetParam(kContentType, "charset", charset);
  header->SetValue(kTransferEncoding, kEightBit);
}

// Every part of the level followed by the delimiter, the last by the
// closing one.
void SetDelimiters(TEmailMsgPartCollection& level, const std::string& delimiter) {
  for (int i = 0; i < level.Count(); ++i)
    level.Items(i)->SetBoundaryText(i + 1 < level.Count() ? delimiter : delimiter + "--");
}

// The header's type with "text/html" made "text/plain", lower-cased.
std::string PlainTypeOf(TEmailHeader* header) {
  std::string type;
  if (header != nullptr) header->GetRawValue(kContentType, type, true);
  type = LowerCase1252(type);
  ReplaceAll("text/html", "text/plain", type);
  return type.empty() ? std::string(kDefaultPlainType) : type;
}

// The part's plain text (with descendants), tidied.
TStringList TidiedPlainText(TEmailMsgPart* part) {
  TStringList lines;
  if (part != nullptr) part->AppendPlainText(lines, true);
  NormalizeLines(lines);
  return lines;
}

bool IsHtmlBody(TEmailHeader* header) {
  return header != nullptr && header->IsTextHtml() && !header->IsAttachment();
}

bool IsPlainBody(TEmailHeader* header) {
  return header != nullptr && header->IsTextPlain() && !header->IsAttachment();
}

// Adds a new empty text part to a multipart level whose header is
// `levelHeader`: at index 1, an HTML part at 2 behind a text part there.
TEmailMsgPart* AddToLevel(TEmailMsg& msg, TEmailMsgPartCollection& level, TEmailHeader* levelHeader,
                          bool html) {
  if (level.Count() == 0 || levelHeader == nullptr) return nullptr;
  std::string delimiter = levelHeader->GetBoundary();
  if (delimiter.empty()) {
    if (!levelHeader->SetBoundary(NewBoundary(html ? kPlainSplitPrefix : kPlainIntoLevelPrefix)))
      return nullptr;
    delimiter = levelHeader->GetBoundary();
    if (delimiter.empty()) return nullptr;
  }
  msg.SetChanged(true);
  int index = 1;
  if (html) {
    TEmailMsgPart* second = level.Items(1);
    if (second != nullptr && second->Header() != nullptr && second->Header()->IsTextType() &&
        !second->Header()->IsAttachment())
      index = 2;
  }
  TEmailMsgPart* part = level.Insert(index);
  part->SetHeader(NewTextHeader(level, html));
  part->SetRawText(TStringList{""});
  SetDelimiters(level, delimiter);
  return part;
}

// A new multipart/alternative group at index 1 of the top level, holding
// only its preamble.
TEmailMsgPart* NewAlternativeGroup(TEmailMsgPartCollection& top, const std::string& topDelimiter) {
  const std::string boundary = NewBoundary(kNewAlternativeGroupPrefix);
  TEmailHeader* header = top.NewHeader();
  header->SetValue(kContentType, "multipart/alternative;\r\n\tboundary=\"" + boundary + "\"");
  TEmailMsgPart* group = top.Insert(1);
  group->SetHeader(header);
  group->SetBoundaryText(topDelimiter);
  TEmailMsgPart* preamble = group->Children().Add();
  preamble->SetHeader(header, false);
  preamble->SetRawText(TStringList{""});
  preamble->SetBoundaryText("--" + boundary);
  return group;
}

// Moves the first top-level text part of the kind (not an attachment) into
// the group, at its end.
void MoveIntoGroup(TEmailMsgPartCollection& top, TEmailMsgPart* group, bool html) {
  for (int i = 0; i < top.Count(); ++i) {
    TEmailMsgPart* part = top.Items(i);
    if (part == group || part->IsPreamble()) continue;
    if (html ? IsHtmlBody(part->Header()) : IsPlainBody(part->Header())) {
      group->Children().AddExisting(top.Extract(part));
      return;
    }
  }
}

// Makes a single-part message a multipart message of a preamble, the old
// body and a new empty text part.
TEmailMsgPart* SplitSinglePart(TEmailMsg& msg, bool html) {
  TEmailHeader* top = msg.GetHeader();
  TEmailMsgPartCollection& parts = msg.GetParts();
  if (parts.Count() == 0) return nullptr;
  TEmailMsgPart* old = parts.Items(0);
  // The body lines as they stand, before the part's header changes the
  // codec that would rebuild them.
  old->FGetRawText();
  const bool alternative = top->IsTextType() && !top->IsAttachment();
  const std::string boundary = NewBoundary(html ? kHtmlSplitPrefix : kPlainSplitPrefix);
  msg.SetChanged(true);

  TEmailHeader* bodyHeader = parts.NewHeader();
  PutField(bodyHeader, kContentType, RawValue(top, kContentType));
  PutField(bodyHeader, kTransferEncoding, RawValue(top, kTransferEncoding));
  PutField(bodyHeader, kDisposition, RawValue(top, kDisposition));
  if (old->Header() == top) {
    old->SetHeader(bodyHeader);
  } else {
    // An attached message: its part carries the inner message's header, so
    // a new part with the kept values holds it, as a parse would build it.
    std::unique_ptr<TEmailMsgPart> inner = parts.Extract(old);
    TEmailMsgPart* holder = parts.Add();
    holder->SetHeader(bodyHeader);
    holder->Children().AddExisting(std::move(inner));
  }

  top->SetValue(kContentType,
                std::string(alternative ? "multipart/alternative" : "multipart/mixed") +
                    "; boundary=\"" + boundary + "\"");
  RemoveField(top, kTransferEncoding);
  RemoveField(top, kDisposition);

  TEmailMsgPart* preamble = parts.Insert(0);
  preamble->SetHeader(top);
  preamble->SetRawText(TStringList{kSplitPreamble, ""});

  TEmailMsgPart* added = parts.Insert(html && alternative ? 2 : 1);
  added->SetHeader(NewTextHeader(parts, html));
  added->SetRawText(TStringList{""});
  SetDelimiters(parts, "--" + boundary);
  return added;
}

TEmailMsgPart* AddTextPart(TEmailMsg& msg, bool html) {
  TEmailHeader* top = msg.GetHeader();
  TEmailMsgPartCollection& parts = msg.GetParts();
  if (!top->IsMultipart()) return SplitSinglePart(msg, html);

  if (top->IsMultipartAlternative()) {
    for (int i = 0; i < parts.Count(); ++i) {
      TEmailHeader* header = parts.Items(i)->Header();
      if (header == nullptr || parts.Items(i)->IsPreamble()) continue;
      if (html ? IsHtmlBody(header) : header->IsTextPlain()) return nullptr;
    }
    return AddToLevel(msg, parts, top, html);
  }

  for (int i = 1; i < parts.Count(); ++i) {
    TEmailMsgPart* group = parts.Items(i);
    if (group->Header() == nullptr || group->Header()->IsRfc822Attachment() ||
        !group->Header()->IsMultipartAlternative())
      continue;
    TEmailMsgPartCollection& children = group->Children();
    for (int c = 0; c < children.Count(); ++c) {
      TEmailHeader* header = children.Items(c)->Header();
      if (header == nullptr || children.Items(c)->IsPreamble()) continue;
      if (html ? header->IsTextHtml() : header->IsTextPlain()) return nullptr;
    }
    return AddToLevel(msg, children, group->Header(), html);
  }

  const std::string topDelimiter = top->GetBoundary();
  if (topDelimiter.empty()) return nullptr;
  msg.SetChanged(true);
  TEmailMsgPart* group = NewAlternativeGroup(parts, topDelimiter);
  TEmailMsgPart* added = nullptr;
  if (html) {
    MoveIntoGroup(parts, group, false);
    added = AddToLevel(msg, group->Children(), group->Header(), true);
  } else {
    added = AddToLevel(msg, group->Children(), group->Header(), false);
    MoveIntoGroup(parts, group, true);
  }
  SetDelimiters(group->Children(), group->Header()->GetBoundary());
  SetDelimiters(parts, topDelimiter);
  return added;
}

// The message's own restructuring at the end of every parse.
class TMessageRestructuring : public TBodyRestructuring {
 public:
  void EnsureTextPart(TEmailMsg& msg) override { msg.EnsureTextPart(); }
  void AnalyzeTextParts(TEmailMsg& msg) override { msg.AnalyzeTextParts(); }
};

}  // namespace

std::shared_ptr<TBodyRestructuring> MessageBodyRestructuring() {
  static const std::shared_ptr<TBodyRestructuring> restructuring =
      std::make_shared<TMessageRestructuring>();
  return restructuring;
}

// ---------------------------------------------------------------------------
// Structure flags

void TEmailMsg::AnalyzeTextParts() {
  TMsgGuard guard(FLock);
  TBodyFlags flags;
  if (!FParsed) {
    FBodyFlags = flags;
    return;
  }
  TEmailHeader* top = FHeader;
  TEmailMsgPartCollection& parts = *FParts;
  flags.TopIsPlainText = top->IsTextPlain();
  // A text/html child sets the HTML flag, else a text/plain one the plain
  // flag.
  auto setBy = [&](TEmailMsgPart* part) {
    TEmailHeader* header = part->Header();
    if (header == nullptr) return;
    if (header->IsTextHtml())
      flags.HasHtmlPart = true;
    else if (header->IsTextPlain())
      flags.HasPlainPart = true;
  };
  if (top->IsMultipartMixed()) {
    flags.NoAttachments = true;
    for (int i = 0; i < parts.Count(); ++i) {
      TEmailMsgPart* part = parts.Items(i);
      TEmailHeader* header = part->Header();
      if (header == nullptr) continue;
      if (header->IsAttachment()) flags.NoAttachments = false;
      if (!part->IsPreamble() && header->IsMultipartAlternative()) {
        flags.IsAlternative = true;
        flags.HasHtmlPart = false;
        flags.HasPlainPart = false;
        for (int c = 0; c < part->Children().Count(); ++c) setBy(part->Children().Items(c));
      }
    }
    if (flags.IsAlternative) {
      FBodyFlags = flags;
      return;
    }
  }
  if (top->IsMultipart()) {
    flags.IsAlternative = top->IsMultipartAlternative();
    for (int i = 0; i < parts.Count(); ++i) setBy(parts.Items(i));
  } else {
    for (int i = 0; i < parts.Count(); ++i) {
      flags.HasHtmlPart = false;
      flags.HasPlainPart = false;
      setBy(parts.Items(i));
    }
    if (parts.Count() == 1 && !flags.HasPlainPart && !top->IsAttachment() && !top->IsTextHtml() &&
        !top->IsMultipart())
      flags.HasPlainPart = true;
  }
  FBodyFlags = flags;
}

// ---------------------------------------------------------------------------
// Text parts

TEmailMsgPart* TEmailMsg::EnsureTextPart() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  std::string type;
  if (FHeader->GetValueUpToSemicolon(kContentType, type) && SameText1252(type, "message/partial"))
    return nullptr;
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  if (plain != nullptr || html != nullptr) return nullptr;
  return AddPlainTextPart();
}

TEmailMsgPart* TEmailMsg::AddMissingAlternative() {
  TMsgGuard guard(FLock);
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  if (html != nullptr && plain == nullptr) return AddPlainTextAlternative();
  if (plain != nullptr && html == nullptr) return AddHtmlTextAlternative();
  if (plain == nullptr && html == nullptr && EnsureTextPart() != nullptr)
    return AddHtmlTextAlternative();
  return nullptr;
}

TEmailMsgPart* TEmailMsg::AddPlainTextPart() {
  TMsgGuard guard(FLock);
  CheckAccess("AddPlainTextPart");
  EnsureParsedLocked();
  TEmailMsgPart* added = AddTextPart(*this, false);
  // The flags describe the structure as it stands, not as it was parsed.
  if (added != nullptr) AnalyzeTextParts();
  return added;
}

TEmailMsgPart* TEmailMsg::FAddHtmlTextPart() {
  TMsgGuard guard(FLock);
  CheckAccess("FAddHtmlTextPart");
  EnsureParsedLocked();
  TEmailMsgPart* added = AddTextPart(*this, true);
  if (added != nullptr) AnalyzeTextParts();
  return added;
}

TEmailMsgPart* TEmailMsg::AddPlainTextAlternative() {
  TMsgGuard guard(FLock);
  CheckAccess("AddPlainTextAlternative");
  TEmailMsgPart* plainSource = nullptr;
  TEmailMsgPart* htmlSource = nullptr;
  GetTextParts(plainSource, htmlSource);
  TStringList text;
  GetPlainText(text, false);
  NormalizeLines(text);
  TEmailMsgPart* part = AddPlainTextPart();
  if (part == nullptr) return nullptr;
  part->SetRawText(text);
  LabelEightBitText(part->Header(), text, htmlSource != nullptr ? htmlSource : plainSource,
                    "text/plain");
  SetChanged(true);
  return part;
}

TEmailMsgPart* TEmailMsg::AddHtmlTextAlternative() {
  TMsgGuard guard(FLock);
  CheckAccess("AddHtmlTextAlternative");
  TEmailMsgPart* plainSource = nullptr;
  TEmailMsgPart* htmlSource = nullptr;
  GetTextParts(plainSource, htmlSource);
  TStringList text;
  GetPlainText(text, false);
  NormalizeLines(text);
  LinesToHtml(text);
  text.Insert(0, "<html><body>");
  text.Add("</body></html>");
  TEmailMsgPart* part = FAddHtmlTextPart();
  if (part == nullptr) return nullptr;
  part->SetRawText(text);
  // Escaping writes every 8-bit byte as an entity: only a plain source
  // could leave one, and it keeps the part's labels honest either way.
  LabelEightBitText(part->Header(), text, plainSource, "text/html");
  SetChanged(true);
  return part;
}

// ---------------------------------------------------------------------------
// Conversion to plain text

bool TEmailMsg::ConvertToPlainText() {
  // An attached message converts the message inside it; nesting is bounded
  // as the parse bounds it.
  static thread_local int depth = 0;
  if (depth >= kMaxMimeNesting) return false;
  struct TDepth {
    TDepth() { ++depth; }
    ~TDepth() { --depth; }
  } level;

  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  TEmailHeader* top = FHeader;
  TEmailMsgPartCollection& parts = *FParts;
  bool converted = false;

  if (top->IsTextPlain()) return false;

  if (top->IsTextHtml()) {
    const std::string type = PlainTypeOf(top);
    TEmailMsgPart* body = parts.Items(0);
    if (body == nullptr) return false;
    body->SetRawText(TidiedPlainText(body));
    top->SetValue(kContentType, type);
    top->SetValue(kTransferEncoding, kEightBit);
    converted = true;
  } else if (top->IsMultipart()) {
    TEmailMsgPart* plain = nullptr;
    TEmailMsgPart* html = nullptr;
    GetTextParts(plain, html);
    TEmailMsgPart* alternative = parts.FindAlternative();
    if (alternative != nullptr) {
      TStringList body;
      std::string type;
      std::string encoding;
      if (plain != nullptr) {
        body = plain->FGetRawText();
        type = RawValue(plain->Header(), kContentType);
        encoding = RawValue(plain->Header(), kTransferEncoding);
      } else if (html != nullptr) {
        body = TidiedPlainText(html);
        type = PlainTypeOf(html->Header());
        encoding = kEightBit;
      } else {
        GetPlainText(body, false);
        NormalizeLines(body);
        type = "text/plain";
        encoding = kEightBit;
      }
      if (alternative->Collection() == &parts && alternative == parts.Items(0)) {
        // The message itself is the alternative: it becomes a single part.
        while (parts.Count() > 1) parts.Delete(parts.Count() - 1);
        alternative->SetBoundaryText("");
      }
      alternative->FreeChildrenAndHeaders();
      alternative->SetRawText(body);
      PutField(alternative->Header(), kContentType, type);
      PutField(alternative->Header(), kTransferEncoding, encoding);
      converted = true;
    } else if (html != nullptr) {
      const std::string type = PlainTypeOf(html->Header());
      html->SetRawText(TidiedPlainText(html));
      html->Header()->SetValue(kContentType, type);
      html->Header()->SetValue(kTransferEncoding, kEightBit);
      converted = true;
    }
  } else if (top->IsRfc822Attachment()) {
    TStringList lines;
    GetRawTextLocked(lines, true);
    TStringList header;
    TStringList inner;
    int i = 0;
    for (; i < lines.Count() && !lines[i].empty(); ++i) header.Add(lines[i]);
    for (++i; i < lines.Count(); ++i) inner.Add(lines[i]);
    TEmailMsgRef temp = TEmailMsg::Create();
    temp->FSetFlaggedDeleted(true);  // a scratch message writes no file
    temp->SetRawMail(inner);
    if (!temp->ConvertToPlainText()) return false;
    TStringList rebuilt = std::move(header);
    rebuilt.Add("");
    TStringList convertedText;
    temp->GetRawText(convertedText, true);
    rebuilt.AddStrings(convertedText);
    SetRawMail(rebuilt);
    converted = true;
  } else {
    TEmailMsgPart* plain = nullptr;
    TEmailMsgPart* html = nullptr;
    GetTextParts(plain, html);
    TStringList body;
    std::string type = kDefaultPlainType;
    std::string encoding = kEightBit;
    if (plain != nullptr) {
      body = plain->FGetRawText();
      type = RawValue(plain->Header(), kContentType);
      encoding = RawValue(plain->Header(), kTransferEncoding);
    } else if (html != nullptr) {
      body = TidiedPlainText(html);
      type = PlainTypeOf(html->Header());
    } else {
      GetPlainText(body, false);
      NormalizeLines(body);
    }
    while (parts.Count() > 1) parts.Delete(parts.Count() - 1);
    TEmailMsgPart* first = parts.Items(0);
    if (first == nullptr) return false;
    first->FreeChildrenAndHeaders();
    first->SetRawText(body);
    first->SetBoundaryText("");
    PutField(top, kContentType, type);
    PutField(top, kTransferEncoding, encoding);
    converted = true;
  }
  if (converted) {
    ConvertedToPlain.store(true);
    SetChanged(true);
    AnalyzeTextParts();
  }
  return converted;
}

// ---------------------------------------------------------------------------
// Wrapping

void TEmailMsg::WrapAsAttachment(bool withText, const std::string& introText) {
  TMsgGuard guard(FLock);
  const std::string boundary = NewBoundary(kWrappedMessagePrefix);
  TStringList old;
  GetRawTextLocked(old, true);

  // The old header without its Content-Type, Content-Transfer-Encoding and
  // Content-Disposition fields (continuation lines included); the new
  // Content-Type stands where the old one stood.
  const std::string contentType = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"";
  TStringList lines;
  bool placed = false;
  bool dropping = false;
  for (int i = 0; i < old.Count(); ++i) {
    const std::string& line = old[i];
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (!dropping) lines.Add(line);
      continue;
    }
    const std::size_t colon = line.find(':');
    const std::string name =
        colon == std::string::npos ? std::string() : TrimText(line.substr(0, colon));
    dropping = SameText1252(name, kContentType) || SameText1252(name, kTransferEncoding) ||
               SameText1252(name, kDisposition);
    if (!dropping) {
      lines.Add(line);
    } else if (!placed && SameText1252(name, kContentType)) {
      lines.Add(contentType);
      placed = true;
    }
  }
  if (!placed) lines.Add(contentType);

  TStringList text;
  TEmailMsgPart* plainSource = nullptr;
  if (!introText.empty()) {
    TStringList intro;
    intro.SetText(introText);
    text.AddStrings(intro);
  }
  if (withText) {
    TEmailMsgPart* htmlSource = nullptr;
    GetTextParts(plainSource, htmlSource);
    if (plainSource == nullptr) plainSource = htmlSource;
    TStringList plain;
    GetPlainText(plain, false);
    NormalizeLines(plain);
    text.AddStrings(plain);
  }
  std::string textType = "Content-Type: text/plain; charset=us-ascii";
  std::string textEncoding = "Content-Transfer-Encoding: 7bit";
  if (HasEightBitBytes(text)) {
    std::string charset;
    if (plainSource == nullptr || plainSource->Header() == nullptr ||
        !plainSource->Header()->GetCharset(charset) || charset.empty())
      charset = kDefaultEightBitCharset;
    textType = "Content-Type: text/plain; charset=\"" + charset + "\"";
    textEncoding = std::string("Content-Transfer-Encoding: ") + kEightBit;
  }

  lines.Add("");
  lines.Add(kWrapPreamble);
  lines.Add("");
  lines.Add("--" + boundary);
  lines.Add(textType);
  lines.Add(textEncoding);
  lines.Add("Content-Disposition: inline");
  lines.Add("");
  lines.AddStrings(text);
  lines.Add("");
  lines.Add("--" + boundary);
  lines.Add("Content-Type: message/rfc822");
  lines.Add(std::string("Content-Transfer-Encoding: ") +
            (HasEightBitBytes(old) ? kEightBit : "7bit"));
  lines.Add("Content-Disposition: attachment");
  lines.Add("");
  lines.AddStrings(old);
  lines.Add("--" + boundary + "--");

  FParseOnLoad = true;
  FCheckSums.clear();
  FUrlCache.reset();
  FWordCache.reset();
  FTestCache.reset();
  FUriDomains.reset();
  ParseLocked(lines);
  SetChanged(true);
}

// ---------------------------------------------------------------------------
// Other changes

int TEmailMsg::ReplaceImageExternalRefs(const std::string& replacement) {
  TMsgGuard guard(FLock);
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  if (html == nullptr) return -1;
  return html->ReplaceImageExternalRefs(replacement);
}

void TEmailMsg::DoRemoveSenderInfo() {
  TMsgGuard guard(FLock);
  CheckAccess("DoRemoveSenderInfo");
  EnsureParsedLocked();
  RemoveField(FHeader, "From");
  RemoveField(FHeader, "Reply-To");
}

bool TEmailMsg::FixMultilineAttachmentNames() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FParts->FixMultilineNames();
}

bool TEmailMsg::FixAttachmentNameLengths() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  const bool top = FHeader->FixNameLengths();
  return FParts->FixNameLengths() || top;
}

bool TEmailMsg::CleanAttachmentNames() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  const bool top = FHeader->CleanNames();
  return FParts->CleanNames() || top;
}

}  // namespace halvorn
