#include "message/email_header.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <utility>

#include "foundation/app/log.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/encoded_words.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"
#include "message/mime_words.h"

namespace halvorn {

namespace {

constexpr std::size_t npos = std::string::npos;

constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kContentDisposition = "Content-Disposition";

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != npos;
}

// The whole (lower-cased) value stands at the start of the word.
bool IsLeadingPartOf(std::string_view lowerValue, std::string_view word) {
  return lowerValue.size() <= word.size() && word.substr(0, lowerValue.size()) == lowerValue;
}

// A name as the look-ups compare it: its first ":" a blank, trimmed.
std::string NormalizedName(std::string_view name) {
  std::string n(name);
  const std::size_t colon = n.find(':');
  if (colon != npos) n[colon] = ' ';
  return TrimText(n);
}

// CR and LF that are not part of a fold (CR LF followed by a blank or tab)
// become blanks.
std::string KeepOnlyFolds(std::string_view text) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r' && i + 2 < out.size() && out[i + 1] == '\n' &&
        (out[i + 2] == ' ' || out[i + 2] == '\t')) {
      ++i;
      continue;
    }
    if (out[i] == '\r' || out[i] == '\n') out[i] = ' ';
  }
  return out;
}

// A value split at ";" outside double quotes, an empty last piece dropped,
// every piece trimmed. Inside quotes a backslash escapes the next
// character, so an escaped quote does not end the quoted text.
std::vector<std::string> SplitParameters(std::string_view value) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted && c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      pieces.push_back(TrimText(value.substr(start, i - start)));
      start = i + 1;
    }
  }
  if (start < value.size()) pieces.push_back(TrimText(value.substr(start)));
  return pieces;
}

// The text of a quoted value with its escapes undone: a backslash before a
// backslash or a double quote stands for that character; other backslashes
// stay (a quoted Windows path keeps its own).
std::string WithoutQuoteEscapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
    out += text[i];
  }
  return out;
}

// The piece is "name=..." for the parameter name, letter case ignored.
bool IsParameterPiece(std::string_view piece, std::string_view paramName) {
  const std::size_t eq = piece.find('=');
  return eq != npos && SameText1252(piece.substr(0, eq), paramName);
}

// A parameter value as SetParam writes it: in double quotes, with its own
// quotes and backslashes escaped, when it holds ";" or a double quote or
// has a blank or control character at an end, so that it reads back whole;
// also when it begins with "?", which would follow the "=" of "name=" as
// the start of an encoded word, decoded at the next read.
std::string ParameterText(std::string_view value) {
  const bool plain = value.find_first_of(";\"") == npos && value.front() != '?' &&
                     static_cast<unsigned char>(value.front()) > ' ' &&
                     static_cast<unsigned char>(value.back()) > ' ';
  if (plain) return std::string(value);
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

// Leaves the lines after the first `count`; the list keeps its settings.
void DropLeadingLines(TStringList& lines, int count) {
  if (count <= 0) return;
  if (count >= lines.Count()) {
    lines.Clear();
    return;
  }
  // Rebuilt in one pass: deleting line by line from the front would cost
  // the whole body once per header line.
  TStringList rest;
  rest.SetCaseSensitive(lines.CaseSensitive());
  rest.SetDuplicates(lines.Duplicates());
  for (int i = count; i < lines.Count(); ++i) rest.AddItem(lines.Item(i));
  const bool sorted = lines.Sorted();
  lines = std::move(rest);
  if (sorted) lines.SetSorted(true);
}

// The sources of an attachment name and the name repairs.
enum { kNameFromType, kNameFromDisposition, kNameFromContentId };
enum { kFixMultiline, kFixLengths, kFixCharacters };

}  // namespace

std::size_t HeaderTextEnd(std::string_view text, std::size_t from) {
  auto isBreak = [](char c) { return c == '\r' || c == '\n'; };
  if (from == 0 && !text.empty() && isBreak(text[0])) return 0;
  // An empty line is a line break right after another one; CR LF is one.
  for (std::size_t i = from == 0 ? 1 : from; i < text.size(); ++i) {
    if (isBreak(text[i]) && isBreak(text[i - 1]) && !(text[i - 1] == '\r' && text[i] == '\n'))
      return i;
  }
  return npos;
}

std::string UnfoldHeaderValue(std::string_view value) {
  if (value.find_first_of("\r\n") == npos) return std::string(value);
  std::string out;
  out.reserve(value.size());
  std::size_t i = 0;
  bool firstLine = true;
  while (true) {
    std::size_t end = value.find_first_of("\r\n", i);
    if (end == npos) end = value.size();
    const std::string_view line = value.substr(i, end - i);
    out += firstLine || line.empty() ? line : line.substr(1);
    firstLine = false;
    if (end == value.size()) break;
    i = end + (value[end] == '\r' && end + 1 < value.size() && value[end + 1] == '\n' ? 2 : 1);
    if (i == value.size()) break;  // a break at the very end starts no line
  }
  return out;
}

// ---------------------------------------------------------------------------
// Creation and the owner

TEmailHeader::TEmailHeader(TEmailHeaderOwner* owner) : FMsg(owner) {
  if (FMsg) FMsg->RegisterHeader(this);
}

TEmailHeader::~TEmailHeader() {
  if (!FMsg) return;
  try {
    FMsg->UnregisterHeader(this);
  } catch (const std::exception& e) {
    Log("EmailHeader", std::string("Could not unregister a header from its message: ") + e.what(),
        5, true);
  } catch (...) {
    Log("EmailHeader", "Could not unregister a header from its message", 5, true);
  }
}

void TEmailHeader::SetOwnerPlace(TEmailHeader* top, TEmailMsgPart* part, int depth) {
  TCriticalSectionGuard guard(FLock);
  FTop = top;
  FPart = part;
  FPartDepth = depth;
}

bool TEmailHeader::IsTopHeader() {
  TCriticalSectionGuard guard(FLock);
  return FMsg && FTop == this;
}

TEmailMsgPart* TEmailHeader::GetOwnerPart() {
  TCriticalSectionGuard guard(FLock);
  return FMsg ? FPart : nullptr;
}

std::uint32_t TEmailHeader::GetFlags() {
  TCriticalSectionGuard guard(FLock);
  return FFlags;
}

void TEmailHeader::AddFlags(std::uint32_t flags) {
  TCriticalSectionGuard guard(FLock);
  FFlags |= flags;
}

void TEmailHeader::ChangedLocked() {
  // Any change may move the Received lines: the relay answer is found anew.
  FLastExternalKnown = false;
  FLastExternalIndex = -1;
  FLastExternalIP.clear();
  if (FMsg) FMsg->HeaderChanged();
}

void TEmailHeader::ClearLocked() {
  const bool hadLines = !FNames.Empty() || !FLeadingLine.empty();
  FNames.Clear();
  FValues.Clear();
  FLeadingLine.clear();
  FFlags = 0;
  FLastExternalKnown = false;
  FLastExternalIndex = -1;
  FLastExternalIP.clear();
  if (hadLines) ChangedLocked();
}

// ---------------------------------------------------------------------------
// Parsing and writing

void TEmailHeader::Clear() {
  TCriticalSectionGuard guard(FLock);
  ClearLocked();
}

namespace {

// A header field: a name before the first ":" with no blank or control
// character inside it (blanks around the name are the obsolete form, and
// allowed).
bool IsFieldLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == npos) return false;
  std::size_t begin = 0;
  std::size_t end = colon;
  while (begin < end && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
  while (end > begin && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  if (begin == end) return false;
  for (std::size_t i = begin; i < end; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= 32 || c == 127) return false;
  }
  return true;
}

}  // namespace

bool TEmailHeader::ParseLines(TStringList& lines, bool consume, bool keepLeadingLine) {
  TCriticalSectionGuard guard(FLock);
  ClearLocked();
  const int count = lines.Count();
  int first = 0;
  while (first < count && lines[first].empty()) ++first;
  int end = first;
  while (end < count && !lines[end].empty()) ++end;
  bool ok = end > first;

  // Continuation lines join the line before, in one pass.
  std::vector<std::string> joined;
  for (int i = first; i < end; ++i) {
    const std::string& line = lines[i];
    if (i > first && (line[0] == ' ' || line[0] == '\t')) {
      joined.back() += "\r\n";
      joined.back() += line;
    } else {
      joined.push_back(line);
    }
  }
  for (std::size_t i = 0; i < joined.size(); ++i) {
    const std::string& line = joined[i];
    const std::size_t colon = line.find(':');
    if (i == 0 && keepLeadingLine && !IsFieldLine(line)) {
      // An mbox separator or other text before the fields: kept whole, so
      // the message writes back as it came.
      FLeadingLine = line;
      if (colon == npos) ok = false;
      continue;
    }
    if (colon == npos) {
      ok = false;
      continue;
    }
    FNames.Add(line.substr(0, colon));
    FValues.Add(TrimText(std::string_view(line).substr(colon + 1)));
  }
  if (consume) DropLeadingLines(lines, end < count ? end + 1 : end);
  if (!FNames.Empty() || !FLeadingLine.empty()) ChangedLocked();
  return ok;
}

bool TEmailHeader::ParseText(std::string_view text) {
  TStringList lines;
  lines.SetText(text);
  return ParseLines(lines, true);
}

bool TEmailHeader::LoadFromFile(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  // Read until the first empty line; the header's lines are then split as
  // every message text is (TStringList::SetText), NUL bytes kept.
  std::string text;
  std::size_t end = npos;
  std::array<char, 65536> chunk;
  while (end == npos) {
    in.read(chunk.data(), chunk.size());
    const std::streamsize got = in.gcount();
    if (in.bad()) return false;
    if (got <= 0) break;
    const std::size_t searched = text.size();
    text.append(chunk.data(), static_cast<std::size_t>(got));
    end = HeaderTextEnd(text, searched);
  }
  TStringList lines;
  lines.SetText(std::string_view(text).substr(0, end));
  ParseLines(lines, true);
  return true;
}

void TEmailHeader::WriteTo(TStringList& lines) {
  TCriticalSectionGuard guard(FLock);
  TStringList written;
  if (!FLeadingLine.empty()) written.Add(FLeadingLine);
  for (int i = 0; i < FNames.Count(); ++i) written.Add(FNames[i] + ": " + FValues[i]);
  ListRoundTripChanged(written);
  lines.AddStrings(written);
}

// ---------------------------------------------------------------------------
// Values

int TEmailHeader::IndexOfNameLocked(std::string_view normalizedName) const {
  for (int i = 0; i < FNames.Count(); ++i)
    if (SameText1252(FNames[i], normalizedName)) return i;
  return -1;
}

bool TEmailHeader::LookupValueLocked(std::string_view name, std::string& raw) const {
  const int i = IndexOfNameLocked(NormalizedName(name));
  if (i < 0) {
    raw.clear();
    return false;
  }
  raw = FValues[i];
  return true;
}

int TEmailHeader::IndexOfName(std::string_view name) {
  TCriticalSectionGuard guard(FLock);
  return IndexOfNameLocked(NormalizedName(name));
}

bool TEmailHeader::GetRawValue(std::string_view name, std::string& value, bool unfold) {
  TCriticalSectionGuard guard(FLock);
  if (!LookupValueLocked(name, value)) return false;
  if (unfold) value = UnfoldHeaderValue(value);
  return true;
}

bool TEmailHeader::GetValue(std::string_view name, std::string& value) {
  TCriticalSectionGuard guard(FLock);
  if (!GetRawValue(name, value, true)) return false;
  value = DecodeMimeWords(value);
  return true;
}

bool TEmailHeader::GetValueUpToSemicolon(std::string_view name, std::string& value) {
  TCriticalSectionGuard guard(FLock);
  if (!GetRawValue(name, value, true)) return false;
  value = DecodeMimeWords(TrimText(std::string_view(value).substr(0, value.find(';'))));
  return true;
}

bool TEmailHeader::SetValue(std::string_view name, std::string_view value) {
  // A name never folds: every line break of it is a blank.
  std::string n(name);
  for (char& c : n)
    if (c == '\r' || c == '\n') c = ' ';
  n = NormalizedName(n);
  if (value.size() > 1 && value.substr(value.size() - 2) == "\r\n") value.remove_suffix(2);
  const std::string v = KeepOnlyFolds(value);

  TCriticalSectionGuard guard(FLock);
  const int i = IndexOfNameLocked(n);
  if (i >= 0) {
    if (FValues[i] != v) {
      if (v.empty()) {
        FNames.Delete(i);
        FValues.Delete(i);
      } else {
        FValues.SetString(i, v);
      }
      ChangedLocked();
    }
    return true;
  }
  if (!v.empty()) {
    FNames.Add(n);
    FValues.Add(v);
    ChangedLocked();
  }
  return false;
}

bool TEmailHeader::GetRawParam(std::string_view headerName, std::string_view paramName,
                               std::string& value, bool unfold) {
  TCriticalSectionGuard guard(FLock);
  std::string raw;
  value.clear();
  if (!GetRawValue(headerName, raw, unfold)) return false;
  if (!Contains(UpperCase1252(raw), UpperCase1252(paramName))) return false;
  for (const std::string& piece : SplitParameters(raw)) {
    if (IsParameterPiece(piece, paramName)) {
      value = piece.substr(piece.find('=') + 1);
      break;
    }
  }
  if (value.empty()) return false;
  const bool quoted = value.front() == '"';
  if (quoted) {
    value.erase(0, 1);
  } else {
    FFlags |= HeaderErrorBit(heMalformedParameter);
  }
  if (!value.empty()) {
    if (value.back() == '"') {
      value.pop_back();
    } else {
      FFlags |= HeaderErrorBit(heMalformedParameter);
    }
  }
  if (quoted) value = WithoutQuoteEscapes(value);
  return !value.empty();
}

bool TEmailHeader::GetDecodedParam(std::string_view headerName, std::string_view paramName,
                                   std::string& value) {
  TCriticalSectionGuard guard(FLock);
  if (!GetRawParam(headerName, paramName, value, true)) return false;
  value = DecodeMimeWords(value);
  return true;
}

bool TEmailHeader::SetParam(std::string_view headerName, std::string_view paramName,
                            std::string_view value) {
  TCriticalSectionGuard guard(FLock);
  std::string decoded;
  if (!GetValue(headerName, decoded)) return false;
  std::vector<std::string> pieces = SplitParameters(decoded);
  bool replaced = false;
  for (std::size_t i = 0; i < pieces.size() && !replaced; ++i) {
    if (!IsParameterPiece(pieces[i], paramName)) continue;
    if (value.empty()) {
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      pieces[i] = std::string(paramName) + "=" + ParameterText(value);
    }
    replaced = true;
  }
  if (!replaced && !value.empty())
    pieces.push_back(std::string(paramName) + "=" + ParameterText(value));
  std::string joined;
  for (const std::string& piece : pieces) {
    if (!joined.empty()) joined += "; ";
    joined += piece;
  }
  SetValue(headerName, joined);
  return true;
}

bool TEmailHeader::GetSubject(std::string& subject) {
  return GetValue("Subject", subject);
}

std::uint16_t TEmailHeader::GetDate(TDateTime& date, TDateTime& zone) {
  date = Now();
  zone = 0;
  std::string value;
  GetValue("Date", value);
  return ParseDateTime(value, date, zone);
}

bool TEmailHeader::GetCharset(std::string& charset) {
  if (GetDecodedParam(kContentType, "charset", charset)) return true;
  charset = "default";
  return false;
}

// ---------------------------------------------------------------------------
// Content type, transfer encoding and boundary

bool TEmailHeader::ContentTypeContains(std::string_view what, bool upToSemicolon) {
  TCriticalSectionGuard guard(FLock);
  std::string value;
  const bool found =
      upToSemicolon ? GetValueUpToSemicolon(kContentType, value) : GetValue(kContentType, value);
  if (!found) {
    FFlags |= HeaderErrorBit(heMissingContentType);
    return false;
  }
  return Contains(LowerCase1252(value), what);
}

bool TEmailHeader::GetContentType(std::string& type) {
  TCriticalSectionGuard guard(FLock);
  if (GetValueUpToSemicolon(kContentType, type)) return true;
  if (IsTextHtml()) {
    type = "text/html";
  } else if (IsTextPlain()) {
    type = "text/plain";
  } else {
    type.clear();
  }
  return false;
}

bool TEmailHeader::IsMultipart() {
  return ContentTypeContains("multipart", false);
}

bool TEmailHeader::IsMultipartAlternative() {
  return ContentTypeContains("multipart/alternative", true);
}

bool TEmailHeader::IsMultipartRelated() {
  return ContentTypeContains("multipart/related", false);
}

bool TEmailHeader::IsMultipartMixed() {
  return ContentTypeContains("multipart/mixed", false);
}

bool TEmailHeader::IsTextHtml() {
  return ContentTypeContains("text/html", false);
}

bool TEmailHeader::IsTextType() {
  TCriticalSectionGuard guard(FLock);
  std::string value;
  if (!GetValue(kContentType, value)) {
    FFlags |= HeaderErrorBit(heMissingContentType);
    return true;
  }
  value = LowerCase1252(value);
  if (Contains(value, "text")) return true;
  if (!Contains(value, "charset")) return false;
  FFlags |= HeaderErrorBit(heCharsetWithoutText);
  return true;
}

bool TEmailHeader::IsTextPlain() {
  TCriticalSectionGuard guard(FLock);
  std::string value;
  if (!GetValue(kContentType, value)) {
    if (!FMsg || !FPart || FPartDepth != 0) return false;
    FFlags |= HeaderErrorBit(heMissingContentType);
    return true;
  }
  value = LowerCase1252(value);
  return Contains(value, "text/plain") || value == "text";
}

bool TEmailHeader::GetTransferEncoding(std::string& encoding) {
  TCriticalSectionGuard guard(FLock);
  if (!GetValue("Content-Transfer-Encoding", encoding)) {
    encoding = "7bit";
    FFlags |= HeaderErrorBit(heMissingContentTransferEncoding);
    return false;
  }
  const std::string lower = LowerCase1252(encoding);
  if (lower == "7bit" || lower == "8bit" || lower == "binary") return true;
  if (IsMultipart()) FFlags |= HeaderErrorBit(heNonBinaryEncodingOfMultipart);
  if (lower == "quoted-printable" || lower == "base64") return true;
  FFlags |= HeaderErrorBit(heUnknownContentTransferEncoding);
  encoding = "binary";
  return true;
}

bool TEmailHeader::GetDecoderClass(TMIMEDecoderClass& decoder) {
  TCriticalSectionGuard guard(FLock);
  std::string encoding;
  if (GetTransferEncoding(encoding)) {
    decoder = DecoderForEncoding(encoding);
    const bool found = decoder != nullptr;
    if (!found) decoder = DecoderClass<TDefaultDecoder>();
    return found;
  }
  // No transfer encoding named: only a non-text attachment of a part is
  // taken for base64; everything else is left to the default decoder.
  const bool plainDecoder = IsTextPlain() || IsTextHtml() || !FMsg || IsTopHeader() ||
                            (!IsAttachment() && !IsInlineAttachment()) || IsRfc822Part();
  decoder = plainDecoder ? DecoderClass<TDefaultDecoder>() : DecoderClass<TBase64Decoder>();
  return false;
}

bool TEmailHeader::IsTransferEncoded() {
  TMIMEDecoderClass decoder = nullptr;
  return GetDecoderClass(decoder) && !decoder->IsBinaryKind();
}

std::string TEmailHeader::GetBoundary() {
  std::string value;
  if (!GetValue(kContentType, value)) return {};
  const std::size_t at = LowerCase1252(value).find("boundary=");
  if (at == npos) return {};
  const std::string rest = TrimText(std::string_view(value).substr(at + 9));
  std::string boundary;
  if (!rest.empty() && rest.front() == '"') {
    boundary = rest.substr(1, rest.find('"', 1) - 1);
  } else {
    boundary = TrimText(std::string_view(rest).substr(0, rest.find(';')));
  }
  return boundary.empty() ? std::string() : "--" + boundary;
}

bool TEmailHeader::SetBoundary(std::string_view boundary) {
  TCriticalSectionGuard guard(FLock);
  if (IndexOfName(kContentType) < 0) SetValue(kContentType, "multipart/alternative");
  SetParam(kContentType, "boundary", boundary);
  return SetParam(kContentType, "boundary", boundary);
}

// ---------------------------------------------------------------------------
// Attachments

bool TEmailHeader::IsAttachment() {
  TCriticalSectionGuard guard(FLock);
  std::string disposition;
  // A single-part message's own disposition speaks for the whole message;
  // in a multipart message each part speaks for itself, so one "inline" at
  // the top cannot hide the attachments below it.
  if (FMsg && FTop && FTop->GetValue(kContentDisposition, disposition) && !FTop->IsMultipart())
    return LowerCase1252(disposition).starts_with("attachment");
  if (GetValue(kContentDisposition, disposition)) {
    const std::string lower = LowerCase1252(disposition);
    if (IsLeadingPartOf(lower, "attachment")) return true;
    if (IsLeadingPartOf(lower, "inline")) return false;
    FFlags |= HeaderErrorBit(heUnspecifiedDisposition);
    IsTextType();
    return true;
  }
  if (IsMultipart() || IsTextType()) {
    std::string name;
    return GetAttachmentName(name);
  }
  return true;
}

bool TEmailHeader::IsInline() {
  TCriticalSectionGuard guard(FLock);
  std::string disposition;
  if (FMsg && FTop) {
    if (!FTop->IsMultipart()) return true;
    if (FTop->GetValue(kContentDisposition, disposition) &&
        IsLeadingPartOf(LowerCase1252(disposition), "inline"))
      return true;
  }
  if (GetValue(kContentDisposition, disposition)) {
    const std::size_t semicolon = disposition.find(';');
    const std::string upToSemicolon =
        semicolon == npos ? std::string() : disposition.substr(0, semicolon + 1);
    return FindTextCIFrom(upToSemicolon, "Inline", 1) > 0;
  }
  return !IsMultipart() && IsTextType();
}

bool TEmailHeader::IsInlineAttachment() {
  TCriticalSectionGuard guard(FLock);
  if (IsTopHeader() || IsMultipart()) return false;
  if (FMsg && FTop && !FTop->IsMultipart()) return false;
  std::string disposition;
  if (!GetValue(kContentDisposition, disposition)) return false;
  const std::string lower = LowerCase1252(disposition);
  if (IsLeadingPartOf(lower, "attachment")) return false;
  if (IsLeadingPartOf(lower, "inline")) return !IsTextType();
  return false;
}

bool TEmailHeader::IsRfc822Attachment() {
  TCriticalSectionGuard guard(FLock);
  std::string value;
  if (GetValue(kContentType, value) && Contains(LowerCase1252(value), "rfc822")) return true;
  const std::pair<std::string_view, std::string_view> names[] = {{kContentType, "Name"},
                                                                 {kContentDisposition, "FileName"}};
  for (const auto& [header, param] : names) {
    std::string name;
    if (!GetDecodedParam(header, param, name)) continue;
    std::string type;
    ContentTypeForFileName(name, type);
    if (Contains(LowerCase1252(type), "rfc822")) return true;
    const std::string extension = LowerCase1252(GetFileExtension(name));
    if (extension == ".eml" || extension == ".nws" || extension == ".msg") return true;
  }
  return false;
}

bool TEmailHeader::IsRfc822Part() {
  return CatchAllButAbandonment(
      [&]() -> bool {
        TCriticalSectionGuard guard(FLock);
        return FMsg && FPart && IsRfc822Attachment();
      },
      [&](const std::string&) -> bool {
        return false;
      });
}

bool TEmailHeader::AttachmentName(int source, std::string& name) {
  TCriticalSectionGuard guard(FLock);
  bool found = false;
  switch (source) {
    case kNameFromType:
      found = GetDecodedParam(kContentType, "name", name);
      break;
    case kNameFromDisposition:
      found = GetDecodedParam(kContentDisposition, "filename", name);
      break;
    default:
      found = GetValue("Content-ID", name);
      break;
  }
  if (!found) name = "Attachment";
  name = DecodeEncodedWords(name);
  if (!Contains(name, ".")) {
    // Only a type the MIME table knows gives an extension: an unknown one
    // would answer ".txt".
    std::string type, extension;
    if (GetValueUpToSemicolon(kContentType, type) && ExtensionForContentType(type, extension))
      name += extension;
  }
  std::string kept;
  for (const char c : name) {
    if (Contains("<>?*:|\"/\\", std::string_view(&c, 1))) {
      FFlags |= HeaderErrorBit(heIllegalCharsInFileName);
    } else {
      kept += c;
    }
  }
  name = std::move(kept);
  return found;
}

bool TEmailHeader::GetAttachmentNameFromType(std::string& name) {
  return AttachmentName(kNameFromType, name);
}

bool TEmailHeader::GetAttachmentNameFromDisposition(std::string& name) {
  return AttachmentName(kNameFromDisposition, name);
}

bool TEmailHeader::GetAttachmentNameFromContentId(std::string& name) {
  return AttachmentName(kNameFromContentId, name);
}

bool TEmailHeader::GetAttachmentName(std::string& name) {
  TCriticalSectionGuard guard(FLock);
  if (GetAttachmentNameFromDisposition(name)) return true;
  return GetAttachmentNameFromType(name);
}

bool TEmailHeader::FixNames(int repair) {
  TCriticalSectionGuard guard(FLock);
  bool changed = false;
  const std::pair<std::string_view, std::string_view> names[] = {{kContentDisposition, "FileName"},
                                                                 {kContentType, "Name"}};
  for (const auto& [header, param] : names) {
    std::string name;
    switch (repair) {
      case kFixMultiline: {
        std::string raw;
        if (GetRawParam(header, param, raw, false) && Contains(raw, "\r\n") &&
            GetDecodedParam(header, param, name)) {
          SetParam(header, param, name);
          changed = true;
        }
        break;
      }
      case kFixLengths: {
        if (!GetDecodedParam(header, param, name)) break;
        const std::size_t last = name.find_last_not_of('.');
        if (last + 1 == name.size()) break;
        SetParam(header, param, name.substr(0, last + 1));
        changed = true;
        break;
      }
      default: {
        if (!GetDecodedParam(header, param, name)) break;
        std::string kept;
        for (const char c : name)
          if (IsFileNameChar(static_cast<unsigned char>(c))) kept += c;
        if (kept == name) break;
        SetParam(header, param, kept);
        changed = true;
        break;
      }
    }
  }
  return changed;
}

bool TEmailHeader::FixMultilineNames() {
  return FixNames(kFixMultiline);
}

bool TEmailHeader::FixNameLengths() {
  return FixNames(kFixLengths);
}

bool TEmailHeader::CleanNames() {
  return FixNames(kFixCharacters);
}

}  // namespace halvorn
