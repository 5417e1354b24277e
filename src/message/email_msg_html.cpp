#include "message/email_msg_html.h"

#include <algorithm>

#include "foundation/app/log.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/regex/reg_expr.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "message/email_msg.h"
#include "message/email_msg_part.h"
#include "message/message_checksums.h"
#include "message/quor_url.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "EmailMsgPart";
constexpr std::size_t npos = std::string::npos;

// The local web server's command and image for a blocked image.
constexpr const char* kImageCommand = "Image";
constexpr const char* kBlockedImageName = "BlockedImage.gif";

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The lower-case word stands at `pos` of the text, in any case.
bool WordAt(const std::string& text, std::size_t pos, std::string_view lowerWord) {
  if (pos + lowerWord.size() > text.size()) return false;
  for (std::size_t i = 0; i < lowerWord.size(); ++i)
    if (LowerAscii(text[pos + i]) != lowerWord[i]) return false;
  return true;
}

bool UrlSafe(char c) {
  return IsUrlSafeChar(static_cast<unsigned char>(c));
}

// What the tag text shows as a blank: the HTML parser's tag lines are joined
// with line breaks, and line breaks and double quotes become blanks.
bool TagBlank(char c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '"';
}

// ---------------------------------------------------------------------------
// Reading a value as the reference finder reads it. Both the finder (on the
// tag text) and the replacement (on the HTML itself) use these, so a
// reference is replaced exactly where it was found.

// The source value after "src=": blanks skipped, then the run up to a
// blank, ">" or a double quote; trimmed; a "cid:" value up to its first
// blank or tab, any other up to its first character that is not URL-safe.
// `end` receives where the run ended.
std::string ReadSourceValue(const std::string& text, std::size_t start, std::size_t& end) {
  std::size_t i = start;
  while (i < text.size() && TagBlank(text[i])) ++i;
  const std::size_t runStart = i;
  while (i < text.size() && !TagBlank(text[i]) && text[i] != '>') ++i;
  end = i;
  std::string value = TrimText(std::string_view(text).substr(runStart, i - runStart));
  if (WordAt(value, 0, "cid:")) {
    const std::size_t blank = value.find_first_of(" \t");
    if (blank != npos) value.resize(blank);
  } else {
    const auto bad = std::find_if(value.begin(), value.end(), [](char c) { return !UrlSafe(c); });
    value.erase(bad, value.end());
  }
  return TrimText(value);
}

// The run of URL-safe characters from `start`; `end` receives where it
// ended.
std::string ReadUrlSafeRun(const std::string& text, std::size_t start, std::size_t& end) {
  std::size_t i = start;
  while (i < text.size() && UrlSafe(text[i])) ++i;
  end = i;
  return TrimText(std::string_view(text).substr(start, i - start));
}

// The same value read in the HTML itself: the tag text shows a run of k
// quotes and blanks (a CR LF counting once, as the parser joins a tag's
// lines with one blank) as k / 2 blanks rounded up, so the value is there
// when the run is at most 2 long. `valueStart` receives where it begins.
std::string ReadHtmlBackground(const std::string& html, std::size_t start,
                               std::size_t& valueStart) {
  std::size_t i = start;
  int run = 0;
  while (i < html.size() && TagBlank(html[i])) {
    if (html[i] == '\r' && i + 1 < html.size() && html[i + 1] == '\n') ++i;
    ++i;
    ++run;
  }
  valueStart = i;
  if (run > 2) return {};
  std::size_t end = 0;
  return ReadUrlSafeRun(html, i, end);
}

// After "src" at `pos`: the blanks and the "=" that make it an attribute;
// the position after the "=" or npos.
std::size_t AfterSourceEquals(const std::string& text, std::size_t pos) {
  std::size_t i = pos + 3;
  while (i < text.size() && TagBlank(text[i])) ++i;
  return i < text.size() && text[i] == '=' ? i + 1 : npos;
}

void AddRef(TStringList& refs, std::string value, int kind,
            const std::unordered_set<std::string>& locations) {
  if (value.empty()) return;
  if (WordAt(value, 0, "cid:"))
    kind = irkContentId;
  else if (!locations.empty() && locations.count(LowerCase1252(value)) != 0)
    kind = irkContentLocation;
  refs.AddNumber(std::move(value), kind);
}

}  // namespace

// ---------------------------------------------------------------------------
// Finding references

void FindImageRefs(const std::string& decodedHtml, const TStringList& contentLocations,
                   TStringList& refs) {
  std::unordered_set<std::string> locations;
  for (int i = 0; i < contentLocations.Count(); ++i)
    if (!contentLocations[i].empty()) locations.insert(LowerCase1252(contentLocations[i]));

  std::string text = decodedHtml;
  std::string style;
  CutBetween("<style", "</style>", text, false, style);

  TStringList tagLines;
  tagLines.SetText(text);
  text.clear();
  ExtractHtmlTagLines(tagLines);
  std::string tags = tagLines.Text();
  tagLines.Clear();
  for (char& c : tags)
    if (TagBlank(c)) c = ' ';
  ReplaceAll("  ", " ", tags);

  // Kind 0: the first src= of each <img ...>. The tag ends at its first
  // ">": each tag line holds one tag, so the scan stays linear.
  for (std::size_t pos = 0; (pos = tags.find('<', pos)) != npos; ++pos) {
    if (!WordAt(tags, pos + 1, "img")) continue;
    const std::size_t close = tags.find('>', pos + 4);
    const std::size_t tagEnd = close == npos ? tags.size() : close;
    for (std::size_t s = pos + 4; s + 3 <= tagEnd; ++s) {
      if (!WordAt(tags, s, "src")) continue;
      const std::size_t value = AfterSourceEquals(tags, s);
      if (value == npos || value > tagEnd) continue;
      std::size_t end = 0;
      std::string read = ReadSourceValue(tags, value, end);
      AddRef(refs, std::move(read), irkImageSource, locations);
      break;
    }
    if (close == npos) break;
    pos = close;
  }

  // Kinds 1 to 3: the run after each marker. A marker inside the value read
  // for the one before it is part of that value, so the search goes on
  // after each value: glued markers cannot make the scan quadratic.
  struct TMarker {
    const std::string& Text;
    std::string_view Word;
    int Kind;
  } const markers[] = {
      {tags, "background=", irkBackground},
      // The source of an image input stands in another attribute: this
      // finds one only when a value is glued to the marker.
      {tags, "type=image", irkInputImage},
      {style, "url(", irkStyleUrl},
  };
  for (const TMarker& marker : markers) {
    int from = 1;
    for (int at; (at = FindTextCIFrom(marker.Text, marker.Word, from)) > 0;) {
      std::size_t start = static_cast<std::size_t>(at - 1) + marker.Word.size();
      // A background's opening quote became a blank of the tag text.
      if (marker.Kind == irkBackground && start < marker.Text.size() && marker.Text[start] == ' ')
        ++start;
      std::size_t end = 0;
      AddRef(refs, ReadUrlSafeRun(marker.Text, start, end), marker.Kind, locations);
      from = static_cast<int>(std::max(end, start)) + 1;
    }
  }
}

// ---------------------------------------------------------------------------
// Replacing references

int ReplaceImageRefValues(
    std::string& html, const std::unordered_set<std::string>& refs,
    const std::function<std::string(const std::string& ref)>& replacementFor) {
  if (refs.empty()) return 0;
  std::string out;
  int replaced = 0;
  std::size_t copied = 0;  // html[copied..] is not in `out` yet
  // Replaces html[from, to) by the reference's replacement when `read` is
  // one; `to` is where the scan goes on.
  auto replace = [&](std::size_t from, std::size_t to, const std::string& read) {
    if (to <= from || refs.count(read) == 0) return;
    if (out.empty()) out.reserve(html.size() + 256);
    out.append(html, copied, from - copied);
    out += replacementFor(read);
    copied = to;
    ++replaced;
  };
  // The span of a value that starts (after "=" and blanks) at `start`: in
  // quotes up to the closing quote (or the tag's end), else up to a blank or
  // ">".
  auto valueSpan = [&](std::size_t start, std::size_t& from, std::size_t& to) {
    std::size_t i = start;
    while (i < html.size() &&
           (html[i] == ' ' || html[i] == '\t' || html[i] == '\r' || html[i] == '\n'))
      ++i;
    if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
      const char quote = html[i];
      from = i + 1;
      to = from;
      while (to < html.size() && html[to] != quote && html[to] != '>') ++to;
      return;
    }
    from = i;
    to = i;
    while (to < html.size() && !IsSpaceOrControlChar(static_cast<unsigned char>(html[to])) &&
           html[to] != '>')
      ++to;
  };

  bool inTag = false;
  bool inStyle = false;
  std::size_t tagStart = 0;
  // Replaces the reference inside the "url(" at `at` and steps past it.
  const auto replaceUrlAt = [&](std::size_t& at) {
    std::size_t end = 0;
    const std::string read = ReadUrlSafeRun(html, at + 4, end);
    replace(at + 4, end, read);
    at = std::max(end, at + 4);
  };
  std::size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (!inTag) {
      if (c == '<') {
        inTag = true;
        tagStart = i + 1;
        // Leaving a style block: its closing tag.
        if (inStyle && WordAt(html, i + 1, "/style")) inStyle = false;
      } else if (inStyle && (c == 'u' || c == 'U') && WordAt(html, i, "url(")) {
        replaceUrlAt(i);
        continue;
      }
      ++i;
      continue;
    }
    if (c == '>') {
      inTag = false;
      if (WordAt(html, tagStart, "style")) inStyle = true;
      ++i;
      continue;
    }
    if ((c == 's' || c == 'S') && WordAt(html, i, "src")) {
      const std::size_t value = AfterSourceEquals(html, i);
      if (value != npos) {
        std::size_t end = 0;
        const std::string read = ReadSourceValue(html, value, end);
        std::size_t from = 0;
        std::size_t to = 0;
        valueSpan(value, from, to);
        replace(from, to, read);
        i = std::max(to, value);
        continue;
      }
    } else if ((c == 'b' || c == 'B') && WordAt(html, i, "background=")) {
      std::size_t valueStart = 0;
      const std::string read = ReadHtmlBackground(html, i + 11, valueStart);
      std::size_t from = 0;
      std::size_t to = 0;
      valueSpan(i + 11, from, to);
      replace(from, to, read);
      i = std::max(to, i + 11);
      continue;
    } else if ((c == 'u' || c == 'U') && WordAt(html, i, "url(")) {
      replaceUrlAt(i);
      continue;
    }
    ++i;
  }
  if (replaced == 0) return 0;
  out.append(html, copied, npos);
  html.swap(out);
  return replaced;
}

// ---------------------------------------------------------------------------
// Form actions and quoted-printable escapes

std::string FindFormAction(const std::string& decodedHtml) {
  try {
    // "<[\s]*form\s.*>" with "." matching line breaks and greedy repetition:
    // from the first "<form" tag to the text's last ">". The tail is taken
    // directly: the engine would retry it from every later "<form".
    TRegExpr start;
    ApplyRegExOptions(start, kRegExIgnoreCase | kRegExMultiLine | kRegExDotAll | kRegExGreedy);
    start.SetExpression("<[\\s]*form\\s");
    if (!start.Exec(decodedHtml)) return {};
    const std::size_t from = static_cast<std::size_t>(start.SubMatchStart(0) - 1);
    const std::size_t after = from + static_cast<std::size_t>(start.SubMatchLength(0));
    const std::size_t last = decodedHtml.rfind('>');
    if (last == npos || last < after) return {};
    std::string form = decodedHtml.substr(from, last - from + 1);
    form.erase(
        std::remove_if(form.begin(), form.end(), [](char c) { return c == '\r' || c == '\n'; }),
        form.end());
    constexpr std::uint8_t options = kRegExIgnoreCase | kRegExMultiLine | kRegExGreedy;
    const std::string action = RegExFirstMatch("action[\\s]*=[\\s]*\"?[^>\" ]+", form, options);
    if (action.empty()) return {};
    const std::string head = RegExFirstMatch("action[\\s]*=[\\s]*\"?", action, options);
    return TrimText(std::string_view(action).substr(std::min(head.size(), action.size())));
  } catch (const ERegExpr& e) {
    Log(kLogService, std::string("Form action search stopped: ") + e.what(), 5, true);
    return {};
  }
}

int CountNeedlessQuotedPrintable(const TStringList& rawLines) {
  int count = 0;
  for (int l = 0; l < rawLines.Count(); ++l) {
    const std::string& line = rawLines[l];
    std::size_t i = 0;
    while ((i = line.find('=', i)) != npos) {
      if (i + 2 < line.size()) {
        const int high = HexDigitValue(line[i + 1]);
        const int low = HexDigitValue(line[i + 2]);
        if (high >= 0 && low >= 0) {
          const int value = high * 16 + low;
          if (value < 128 && value != '=' && IsUrlSafeChar(static_cast<unsigned char>(value))) {
            ++count;
            i += 3;
            continue;
          }
        }
      }
      ++i;
    }
  }
  return count;
}

// ---------------------------------------------------------------------------
// TEmailMsgPart

namespace {

std::string DecodedTextOf(TEmailMsgPart& part) {
  std::string text;
  part.DecodeToStream(text, false);
  return text;
}

}  // namespace

void TEmailMsgPart::GetExtImageRefUrls(TStringList& list, bool withEmbedded) {
  if (!FImageRefCache) {
    TStringList locations;
    if (TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr)
      msg->GetContentLocations(locations);
    auto refs = std::make_unique<TStringList>();
    FindImageRefs(DecodedTextOf(*this), locations, *refs);
    FImageRefCache = std::move(refs);
  }
  list.Clear();
  for (int i = 0; i < FImageRefCache->Count(); ++i)
    if (withEmbedded || IsExternalImageRefKind(FImageRefCache->Numbers(i)))
      list.AddItem(FImageRefCache->Item(i));
}

void TEmailMsgPart::GetUrls(TStringList& list) {
  ExtractLinks(DecodedTextOf(*this), list);
}

void TEmailMsgPart::GetFormActions(std::string& action) {
  action = FindFormAction(DecodedTextOf(*this));
}

int TEmailMsgPart::ReplaceImageExternalRefs(const std::string& replacement) {
  TStringList refs;
  GetExtImageRefUrls(refs, false);
  if (refs.Empty()) return 0;
  std::unordered_set<std::string> wanted;
  for (int i = 0; i < refs.Count(); ++i) wanted.insert(refs[i]);

  TQuorUrl link;
  link.Document = kImageCommand;
  link.SetValue("Name", kBlockedImageName);
  TEmailMsg* msg = FCollection ? FCollection->Msg() : nullptr;
  link.SetValue("CID", std::to_string(msg != nullptr ? msg->GetContentId() : 0));
  auto replacementFor = [&](const std::string& ref) {
    if (!replacement.empty()) return replacement;
    link.SetValue("OrigUrl", ref);
    return link.GetUrl();
  };

  std::string text = DecodedTextOf(*this);
  const int replaced = ReplaceImageRefValues(text, wanted, replacementFor);
  if (replaced == 0) return 0;
  TStringList lines;
  lines.SetText(text);
  EncodeFromStringList(lines, false);
  return replaced;
}

int TEmailMsgPart::CountUnnecessaryQuotedPrintableChars() {
  if (FHeader == nullptr) return 0;
  std::string encoding;
  FHeader->GetTransferEncoding(encoding);
  if (!SameText1252(encoding, "quoted-printable")) return 0;
  return CountNeedlessQuotedPrintable(FGetRawText());
}

bool TEmailMsgPart::IsOwnImage() {
  if (FHeader == nullptr || !(FHeader->IsAttachment() || FHeader->IsInlineAttachment()))
    return false;
  std::string name;
  if (FHeader->GetAttachmentName(name) && PosCI(".gif", name) == 0) return false;
  if (RawSize() >= 3001) return false;
  return IsOwnImageChecksum(CheckSum());
}

}  // namespace halvorn
