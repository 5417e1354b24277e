// The views of a message that the tests, rules and actions read: its text
// parts and texts, the message areas, its URLs, its Bayesian words, its HTML
// tags, and the small checks and counts of the rule catalogue.
#include "message/email_msg_views.h"

#include <algorithm>
#include <unordered_set>

#include "foundation/app/log.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/regex/url_extraction.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/string_library.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "EmailMsg";

constexpr const char* kAreaNames[kMessageAreaCount] = {
    "whole message undecoded",  "message header only",          "message body undecoded",
    "decoded body text",        "body converted to plain text", "decoded Body html",
    "urls extracted from body",
};

// Parts that never stand for the body.
bool IsAttachmentOrMessage(TEmailHeader* header) {
  return header->IsAttachment() || header->IsRfc822Attachment();
}

// Fills the empty slots from the parts of one level, as the top level is
// walked: the first text/plain and the first text/html part that is neither
// an attachment nor an attached message.
void WalkLevel(TEmailMsgPartCollection& parts, TEmailMsgPart*& plain, TEmailMsgPart*& html) {
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailMsgPart* part = parts.Items(i);
    TEmailHeader* header = part->Header();
    if (header == nullptr || header->IsMultipart() || IsAttachmentOrMessage(header)) continue;
    if (plain == nullptr && header->IsTextPlain())
      plain = part;
    else if (html == nullptr && header->IsTextHtml())
      html = part;
  }
}

// The extension of a file name without its dot; empty without one.
std::string ExtensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool HasWildcard(const std::string& text, std::string_view pattern) {
  int start = 1;
  return WildcardScan(text, pattern, start) > 0;
}

std::string TransferEncodingOf(TEmailHeader* header) {
  std::string encoding;
  if (header != nullptr) header->GetTransferEncoding(encoding);
  return LowerCase1252(encoding);
}

// Appends the Content-ID values (angle brackets taken off) of the part and
// its descendants, in tree order.
void CollectContentIds(TEmailMsgPart* part, TStringList& list) {
  std::vector<TEmailMsgPart*> pending{part};
  while (!pending.empty()) {
    TEmailMsgPart* next = pending.back();
    pending.pop_back();
    std::string id;
    if (next->Header() != nullptr && next->Header()->GetValue("Content-ID", id)) {
      id.erase(std::remove_if(id.begin(), id.end(), [](char c) { return c == '<' || c == '>'; }),
               id.end());
      list.Add(id);
    }
    for (int i = next->Children().Count() - 1; i >= 0; --i)
      pending.push_back(next->Children().Items(i));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Areas

std::string MessageAreaName(TMessageArea area) {
  const int index = area & 0x7F;
  return index < kMessageAreaCount ? kAreaNames[index] : "No area specified";
}

TMessageArea MessageAreaFromName(std::string_view text) {
  for (int area = 0; area < kMessageAreaCount; ++area)
    if (FindTextCIFrom(text, kAreaNames[area], 1) > 0) return static_cast<TMessageArea>(area);
  return maWholeMessageUndecoded;
}

// ---------------------------------------------------------------------------
// Text parts and texts

void TEmailMsg::GetTextParts(TEmailMsgPart*& plain, TEmailMsgPart*& html) {
  plain = nullptr;
  html = nullptr;
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  TEmailMsgPartCollection& parts = *FParts;
  if (parts.Count() == 0) return;
  WalkLevel(parts, plain, html);
  // The first multipart/alternative part holds the body's alternatives. The
  // first part of a multipart message (its preamble) carries the message's
  // own header and has no children: for a message that is itself
  // multipart/alternative the top level walked above is that level.
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailMsgPart* part = parts.Items(i);
    TEmailHeader* header = part->Header();
    if (header == nullptr || part->IsPreamble() || header->IsRfc822Attachment() ||
        !header->IsMultipartAlternative())
      continue;
    WalkLevel(part->Children(), plain, html);
    return;
  }
  for (int i = 0; i < parts.Count() && (plain == nullptr || html == nullptr); ++i)
    FindTextParts(parts.Items(i), plain, html);
}

void TEmailMsg::GetPlainText(TStringList& lines, bool allParts) {
  TMsgGuard guard(FLock);
  lines.Clear();
  EnsureParsedLocked();
  TEmailMsgPartCollection& parts = *FParts;
  auto appendKind = [&](bool html) {
    for (int i = 0; i < parts.Count(); ++i) {
      TEmailMsgPart* part = parts.Items(i);
      TEmailHeader* header = part->Header();
      if (header == nullptr || header->IsAttachment()) continue;
      if (html ? header->IsTextHtml() : header->IsTextPlain()) part->AppendPlainText(lines, true);
    }
  };
  appendKind(false);
  if (lines.Empty()) appendKind(true);
  if (allParts || lines.Empty())
    for (int i = 0; i < parts.Count(); ++i) parts.Items(i)->AppendPlainText(lines, true);
}

void TEmailMsg::GetVeryPlainText(std::string& text, bool allParts, int mostLines) {
  text.clear();
  TStringList lines;
  {
    TMsgGuard guard(FLock);
    GetPlainText(lines, allParts);
  }
  const int count = mostLines < 0 ? lines.Count() : std::min(lines.Count(), mostLines);
  for (int i = 0; i < count; ++i) {
    std::string line = " " + lines[i];
    for (char& c : line) {
      const auto code = static_cast<unsigned char>(c);
      if (code < 33 || code > 126) c = ' ';
    }
    ReplaceAll("  ", " ", line);
    text += line;
  }
}

void TEmailMsg::GetAllDecodedText(TStringList& lines) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  for (int i = 0; i < FParts->Count(); ++i) FParts->Items(i)->AppendDecodedText(lines, true);
}

void TEmailMsg::GetDecodedHtml(TStringList& lines) {
  TMsgGuard guard(FLock);
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  if (html == nullptr) return;
  TStringList decoded;
  html->DecodeToStringList(decoded, false);
  if (lines.Empty())
    lines = std::move(decoded);
  else
    lines.AddStrings(decoded);
}

void TEmailMsg::GetRawBody(TStringList& lines) {
  TMsgGuard guard(FLock);
  GetRawTextLocked(lines, true);
  int bodyStart = lines.Count();
  for (int i = 0; i < lines.Count(); ++i) {
    if (lines[i].empty()) {
      bodyStart = i + 1;
      break;
    }
  }
  TStringList body;
  for (int i = bodyStart; i < lines.Count(); ++i) body.Add(lines[i]);
  lines = std::move(body);
}

void TEmailMsg::GetArea(std::uint8_t area, TStringList& lines) {
  TMsgGuard guard(FLock);
  lines.Clear();
  switch (area) {
    case maHeaderOnly:
      EnsureParsedLocked();
      FHeader->WriteTo(lines);
      SplitLineBreaks(lines);
      break;
    case maBodyUndecoded:
      GetRawBody(lines);
      break;
    case maDecodedBodyText:
      GetAllDecodedText(lines);
      break;
    case maBodyAsPlainText:
      GetPlainText(lines, false);
      break;
    case maDecodedBodyHtml:
      GetDecodedHtml(lines);
      break;
    case maBodyUrls:
      GetUrls(lines);
      break;
    default:
      GetRawTextLocked(lines, true);
      break;
  }
}

// ---------------------------------------------------------------------------
// Derived lists

void TEmailMsg::GetUrls(TStringList& lines) {
  TMsgGuard guard(FLock);
  if (!FUrlCache) {
    auto urls = std::make_unique<TStringList>();
    TEmailMsgPart* plain = nullptr;
    TEmailMsgPart* html = nullptr;
    GetTextParts(plain, html);
    if (html != nullptr) {
      std::string text;
      html->DecodeToStream(text, false);
      HtmlDecodeEntitiesInPlace(text);
      ExtractUrls(text, *urls);
    }
    if (plain != nullptr) {
      std::string text;
      plain->DecodeToStream(text, false);
      ExtractUrls(text, *urls);
      if (html == nullptr) {
        TStringList all;
        GetAllDecodedText(all);
        std::string allText = all.Text();
        ExtractUrls(allText, *urls);
      }
    }
    RemoveDuplicateLines(*urls, true);
    FUrlCache = std::move(urls);
  }
  lines = *FUrlCache;
}

double TEmailMsg::GetBayesianWords(TStringList& words, bool useCache) {
  TMsgGuard guard(FLock);
  if (useCache && FWordCache) {
    words = *FWordCache;
    return FWordRatio;
  }
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  auto wordsOf = [](TEmailMsgPart* part, TStringList& list) {
    list.Clear();
    if (part == nullptr) return;
    TStringList lines;
    part->AppendPlainText(lines, false);
    std::string text = lines.Text();
    if (text.size() > 10000) {
      NormalizeLookalikeChars(text);
      JoinSpacedLetters(text);
    }
    ParseIntoWords(text, list);
    for (int i = 0; i < list.Count(); ++i) list.SetString(i, LowerCase1252(list[i]));
  };
  TStringList plainWords;
  TStringList htmlWords;
  wordsOf(plain, plainWords);
  wordsOf(html, htmlWords);

  std::unordered_set<std::string> plainSet;
  std::unordered_set<std::string> htmlSet;
  for (int i = 0; i < plainWords.Count(); ++i) plainSet.insert(plainWords[i]);
  for (int i = 0; i < htmlWords.Count(); ++i) htmlSet.insert(htmlWords[i]);

  double ratio = 0;
  if (!FHeader->IsMultipartAlternative()) {
    ratio = -1;
  } else if (plain == nullptr) {
    ratio = -2;
  } else if (html == nullptr) {
    ratio = -3;
  } else {
    int unshared = 0;
    for (int i = 0; i < plainWords.Count(); ++i) unshared += htmlSet.count(plainWords[i]) == 0;
    for (int i = 0; i < htmlWords.Count(); ++i) unshared += plainSet.count(htmlWords[i]) == 0;
    const int total = plainWords.Count() + htmlWords.Count();
    ratio = total > 0 ? static_cast<double>(unshared) / total : 0;
  }

  TStringList result;
  std::unordered_set<std::string> kept;
  for (int i = 0; i < htmlWords.Count(); ++i) {
    if (htmlWords[i].size() < 4) continue;
    result.Add(htmlWords[i]);
    kept.insert(htmlWords[i]);
  }
  for (int i = 0; i < plainWords.Count(); ++i)
    if (plainWords[i].size() > 3 && kept.insert(plainWords[i]).second) result.Add(plainWords[i]);

  std::string subject;
  if (FHeader->GetSubject(subject) && !subject.empty()) {
    StripShortPrefixes(subject);
    TStringList subjectWords;
    ParseIntoWords(subject, subjectWords);
    for (int i = 0; i < subjectWords.Count(); ++i) result.Add(subjectWords[i] + "!");
  }

  if (useCache) {
    RemoveDuplicateLinesUnsorted(result);
    FWordCache = std::make_unique<TStringList>(result);
    FWordRatio = ratio;
  }
  words = std::move(result);
  return ratio;
}

bool TEmailMsg::GetHtmlTags(TStringList& tags, bool noRepeats) {
  TMsgGuard guard(FLock);
  tags.Clear();
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  if (html == nullptr) return false;
  TStringList lines;
  html->DecodeToStringList(lines, false);
  ExtractHtmlTagLines(lines);
  std::unordered_set<std::string> seen;
  for (int i = 0; i < lines.Count(); ++i) {
    std::string line = lines[i];
    if (line.find("<!") != std::string::npos) continue;
    const std::size_t colon = line.find(':');
    if (colon == 2 || colon == 3) continue;
    std::size_t cut = line.find(' ');
    if (cut == std::string::npos) cut = line.find('=');
    if (cut != std::string::npos) line = line.substr(0, cut) + ">";
    line = LowerCase1252(line);
    if (noRepeats && !seen.insert(line).second) continue;
    tags.Add(std::move(line));
  }
  return true;
}

void TEmailMsg::GetContentLocations(TStringList& lines) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  for (int i = 0; i < FParts->Count(); ++i) CollectContentLocations(FParts->Items(i), lines);
}

void TEmailMsg::GetContentIds(TStringList& lines) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  for (int i = 0; i < FParts->Count(); ++i) CollectContentIds(FParts->Items(i), lines);
}

// ---------------------------------------------------------------------------
// Parts

TEmailMsgPart* TEmailMsg::GetAlternativePart() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FParts->FindAlternative();
}

TEmailMsgPart* TEmailMsg::FindPart(const TEmailMsgPartCollection::TPartTest& test,
                                   TEmailHeader* header) {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FParts->FindFirst(test, header);
}

int TEmailMsg::CountAttachments() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  int count = 0;
  for (int i = 0; i < FParts->Count(); ++i) {
    TEmailHeader* header = FParts->Items(i)->Header();
    if (header != nullptr &&
        (header->IsAttachment() || header->IsInlineAttachment() || header->IsRfc822Attachment()))
      ++count;
  }
  return count;
}

void TEmailMsg::GetAttachmentNameByCheckSum(std::uint32_t checksum, std::string& name) {
  // 0 is the checksum of a part whose content could not be decoded: it
  // names no part.
  if (checksum == 0) return;
  TMsgGuard guard(FLock);
  for (int i = 0; i < FParts->Count(); ++i) {
    TEmailMsgPart* part = FParts->Items(i);
    if (part->CheckSum() != checksum) continue;
    if (part->Header() != nullptr) part->Header()->GetAttachmentName(name);
    return;
  }
}

// ---------------------------------------------------------------------------
// Checks and counts

bool TEmailMsg::HasBase64TextPart() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  for (int i = 1; i < FParts->Count(); ++i) {
    TEmailHeader* header = FParts->Items(i)->Header();
    if (header != nullptr && header->IsTextType() && TransferEncodingOf(header) == "base64")
      return true;
  }
  return false;
}

bool TEmailMsg::IsHtmlWithoutCharset() {
  return FalseOnFailure("Reading the charset", [&] {
    TMsgGuard guard(FLock);
    EnsureParsedLocked();
    std::string charset;
    return FHeader->IsTextHtml() && !FHeader->GetCharset(charset);
  });
}

int TEmailMsg::CountLongLines() {
  TMsgGuard guard(FLock);
  TStringList lines;
  GetRawTextLocked(lines, false);
  int count = 0;
  for (int i = 1; i < lines.Count(); ++i) count += lines[i].size() > 40;
  return count;
}

int TEmailMsg::SA_CountUnnecessaryQuotedPrintable() {
  int count = 0;
  FalseOnFailure("Counting quoted-printable escapes", [&] {
    TMsgGuard guard(FLock);
    EnsureParsedLocked();
    for (int i = 1; i < FParts->Count(); ++i) {
      TEmailHeader* header = FParts->Items(i)->Header();
      if (header == nullptr || TransferEncodingOf(header) != "quoted-printable") continue;
      count = FParts->Items(i)->CountUnnecessaryQuotedPrintableChars();
      if (count > 0) break;
    }
    return true;
  });
  return count;
}

int TEmailMsg::SA_CountUnnecessaryHtmlEncoding() {
  TMsgGuard guard(FLock);
  TStringList lines;
  GetDecodedHtml(lines);
  if (lines.Count() <= 1) return 0;
  TStringList matches;
  try {
    RegExCollectMatches("&#\\d{1,4};", lines.Text(), matches, false, kRegExGreedy);
  } catch (const ERegExpr& e) {
    // What was found until the engine stopped still counts.
    Log(kLogService, std::string("Entity count stopped: ") + e.what(), 5, true);
  }
  int count = 0;
  for (int i = 0; i < matches.Count(); ++i) {
    const std::string& match = matches[i];
    int code = 38;
    if (match.size() >= 4) {
      const std::string digits = match.substr(2, match.size() - 3);
      code = std::all_of(digits.begin(), digits.end(),
                         [](char c) { return IsDigitChar(static_cast<unsigned char>(c)); })
                 ? std::stoi(digits)
                 : 38;
    }
    if (code >= 21 && code <= 125 && code != 34 && code != 38 && code != 60 && code != 62) ++count;
  }
  return count;
}

int TEmailMsg::GetMaxQuotedPrintableLineLength() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  int longest = 0;
  for (int i = 0; i < FParts->Count(); ++i) {
    TEmailMsgPart* part = FParts->Items(i);
    if (TransferEncodingOf(part->Header()) == "quoted-printable")
      longest = std::max(longest, part->MaxLineLength(false));
  }
  return longest;
}

int TEmailMsg::GetMaxLineLength(bool decoded) {
  int longest = 0;
  FalseOnFailure("Measuring lines", [&] {
    TMsgGuard guard(FLock);
    EnsureParsedLocked();
    for (int i = 0; i < FParts->Count(); ++i)
      longest = std::max(longest, FParts->Items(i)->MaxLineLength(decoded));
    return true;
  });
  return longest;
}

bool TEmailMsg::HasMismatchedAttachmentType() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  for (int i = 0; i < FParts->Count(); ++i) {
    TEmailHeader* header = FParts->Items(i)->Header();
    if (header == nullptr) continue;
    std::string type;
    std::string name;
    if (!header->GetContentType(type) || !header->GetAttachmentName(name)) continue;
    type = LowerCase1252(type);
    const std::string ext = LowerCase1252(ExtensionOf(name));
    const bool mismatch =
        ((ext == "html" || ext == "htm") && type != "text/html") ||
        ((ext == "jpg" || ext == "jpeg") && type != "image/jpeg") ||
        (ext == "pdf" && type != "application/pdf") || (ext == "gif" && type != "image/gif") ||
        (ext == "txt" && type != "text/plain") || (ext == "vcf" && type != "text/vcard") ||
        ext == "bat" || ext == "com" || ext == "exe" || ext == "pif" || ext == "scr" ||
        ext == "swf" || (ext == "vbs" && type.find("application") == std::string::npos) ||
        (ext == "doc" && !HasWildcard(type, "application/*word")) ||
        (ext == "ppt" && !HasWildcard(type, "application/*powerpoint") &&
         !HasWildcard(type, "application/*ppt")) ||
        (ext == "xls" && !HasWildcard(type, "application/*excel"));
    if (mismatch) return true;
  }
  return false;
}

bool TEmailMsg::HasExecutableAttachment() {
  static const std::unordered_set<std::string> kExecutable = {
      "ADE", "ADP", "BAS", "BAT", "CHM", "CMD", "COM", "CPL", "CRT", "EXE", "HLP", "HTA", "INF",
      "INS", "ISP", "JS",  "JSE", "LNK", "MDB", "MDE", "MSC", "MSI", "MSP", "MST", "PCD", "PIF",
      "REG", "SCR", "SCT", "SHS", "URL", "VB",  "VBE", "VBS", "WSC", "WSF", "WSH"};
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  for (int i = 0; i < FParts->Count(); ++i) {
    TEmailHeader* header = FParts->Items(i)->Header();
    std::string name;
    if (header != nullptr && header->GetAttachmentName(name) &&
        kExecutable.count(UpperCase1252(ExtensionOf(name))) != 0)
      return true;
  }
  return false;
}

bool TEmailMsg::HasPgpSignature() {
  return FalseOnFailure("Looking for a signature", [&] {
    TMsgGuard guard(FLock);
    EnsureParsedLocked();
    for (int i = 0; i < FParts->Count(); ++i) {
      TEmailHeader* header = FParts->Items(i)->Header();
      std::string type;
      if (header == nullptr || !header->GetValue("Content-Type", type)) continue;
      if (!RegExFirstMatch("protocol=.?application\\/pgp-signature.?;", type,
                           kRegExIgnoreCase | kRegExMultiLine)
               .empty())
        return true;
    }
    return false;
  });
}

int TEmailMsg::AccountAddressNotInHeaders() {
  TRemoteAccountRef account = GetSourceRemoteAccount();
  if (!account) return 2;
  const std::string own = account->EmailAddress();
  if (own.empty() ||
      !RegExFirstMatch("\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}", own, kRegExGreedy).empty())
    return 2;
  TEmailAddressCollection addresses;
  {
    TMsgGuard guard(FLock);
    EnsureParsedLocked();
    for (const char* name : {"From", "To", "CC", "X-MDaemon-Deliver-To"})
      FHeader->GetAddresses(name, addresses);
  }
  if (addresses.Count() == 0) return 1;
  for (int i = 0; i < addresses.Count(); ++i) {
    const TEmailAddress& address = addresses.Items(i);
    if (SameText1252(TrimText(address.Text), own) ||
        SameText1252(address.GetLocalPart() + "@" + address.GetDomain(), own))
      return 0;
  }
  return 1;
}

std::uint32_t TEmailMsg::GetPartHeaderFlags() {
  TMsgGuard guard(FLock);
  if (!EnsureLoadedLocked()) return 0;
  EnsureParsedLocked();
  std::uint32_t flags = 0;
  for (int i = 0; i < FParts->Count(); ++i) flags |= CollectPartHeaderFlags(FParts->Items(i));
  return flags;
}

bool TEmailMsg::IsFromHotmail() {
  if (TRemoteAccountRef account = GetSourceRemoteAccount())
    if (account->IsHotmail()) return true;
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FHeader->HasHotmailReceivedHop();
}

std::unique_ptr<TMailingList> TEmailMsg::GetMailingList() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FHeader->GetMailingList();
}

bool TEmailMsg::HasMailingListHeaders() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FHeader->IsKnownMailingList();
}

}  // namespace halvorn
