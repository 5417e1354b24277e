#include "foundation/text/html_parser.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "foundation/log/log_sink.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {

namespace {

std::string AsciiUpper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

std::string AsciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

// The Latin-1 entity names for the codes 160 to 255, in code order.
constexpr const char* kLatin1Names[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};

// The code of a named entity given without "&" and terminator; -1 when the
// name is not one of the table's.
int NamedEntityCode(std::string_view name) {
  if (name == "quot") return 34;
  if (name == "amp") return 38;
  if (name == "lt") return 60;
  if (name == "gt") return 62;
  for (int i = 0; i < 96; ++i) {
    if (name == kLatin1Names[i]) return 160 + i;
  }
  return -1;
}

// The byte a numeric entity gives: a blank for codes 0 to 31 and 160, the
// code itself for the rest.
char NumericTableChar(int code) {
  if (code < 32 || code == 160) return ' ';
  return static_cast<char>(code);
}

// The longest entity that can decode: "&" + a six-letter name + ";" (the
// numeric forms are shorter). The search for the terminator stops there.
constexpr std::size_t kLongestEntity = 8;

// Reads the digits of a numeric entity (its text without "&#" and the
// terminator): a leading "x" or "X" marks hexadecimal; decimal digits may
// carry a sign. At most three digits. False when they form no number.
bool ReadEntityNumber(std::string_view digits, int& value) {
  bool hex = false;
  if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
    hex = true;
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.size() > 3) return false;
  if (hex) {
    int v = 0;
    for (char c : digits) {
      const int d = HexDigitValue(c);
      if (d < 0) return false;
      v = v * 16 + d;
    }
    value = v;
    return true;
  }
  std::int64_t decimal = 0;
  if (!ParseSignedDecimal(digits, -999, 999, decimal)) return false;
  value = static_cast<int>(decimal);
  return true;
}

// Decodes the entities of a text in one scan (see THTMLText::SetText).
std::string DecodeTextEntities(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t amp = text.find('&', i);
    if (amp == std::string::npos) {
      out.append(text, i, std::string::npos);
      break;
    }
    out.append(text, i, amp - i);
    i = amp;
    std::size_t end = std::string::npos;  // the terminator's position
    const std::size_t reach = std::min(n, i + kLongestEntity);
    for (std::size_t k = i + 1; k < reach; ++k) {
      if (text[k] == ';' || text[k] == ' ') {
        end = k;
        break;
      }
    }
    if (end != std::string::npos) {
      const std::size_t length = end - i + 1;
      int code = -1;
      if (length > 3 && text[i + 1] == '#') {
        int value = 0;
        if (ReadEntityNumber(std::string_view(text).substr(i + 2, length - 3), value) &&
            value >= 0 && value <= 255) {
          code = value;
        }
      } else if (text[end] == ';') {
        code = NamedEntityCode(std::string_view(text).substr(i + 1, length - 2));
      }
      if (code >= 0) {
        out += NumericTableChar(code);
        i = end + 1;
        continue;
      }
    }
    out += '&';
    ++i;
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Items

void THTMLParam::SetText(const std::string& text) {
  Raw = text;
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos) {
    Key = AsciiUpper(text);
    Value.clear();
    return;
  }
  Key = AsciiUpper(std::string_view(text).substr(0, eq));
  Value = text.substr(eq + 1);
  if (Value.size() > 1 && Value.front() == '"' && Value.back() == '"') {
    Value = Value.substr(1, Value.size() - 2);
  }
}

void THTMLTag::SetText(const std::string& text) {
  Raw = text;
  Params.clear();
  const std::size_t blank = text.find(' ');
  Name = AsciiUpper(std::string_view(text).substr(0, blank));
  if (blank == std::string::npos) return;
  std::string piece;
  bool inQuotes = false;
  auto flush = [&] {
    if (piece.empty()) return;
    THTMLParam param;
    param.SetText(piece);
    Params.push_back(std::move(param));
    piece.clear();
  };
  for (std::size_t i = blank + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') inQuotes = !inQuotes;
    if (c == ' ' && !inQuotes) {
      flush();
    } else {
      piece += c;
    }
  }
  flush();
}

void THTMLText::SetText(const std::string& text) {
  Raw = text;
  std::string noFeeds = text;
  std::erase(noFeeds, '\n');
  Text = DecodeTextEntities(noFeeds);
}

// ---------------------------------------------------------------------------
// Parser

namespace {

// Cuts the lines into raw tag and text pieces in document order and hands
// each to emit(isTag, raw). The parser and the plain-text conversion share
// it, so both see exactly the same items.
template <typename Emit>
void Tokenize(const TStringList& lines, Emit&& emit) {
  std::string pendingText;
  std::string pendingTag;
  bool inTag = false;
  for (int l = 0; l < lines.Count(); ++l) {
    const std::string& line = lines[l];
    std::size_t i = 0;
    while (i < line.size()) {
      if (inTag) {
        const std::size_t gt = line.find('>', i);
        if (gt == std::string::npos) {
          if (!pendingTag.empty()) pendingTag += ' ';
          pendingTag.append(line, i, std::string::npos);
          break;
        }
        pendingTag.append(line, i, gt - i);
        emit(true, pendingTag);
        pendingTag.clear();
        inTag = false;
        i = gt + 1;
      } else {
        const std::size_t lt = line.find('<', i);
        if (lt == std::string::npos) {
          pendingText.append(line, i, std::string::npos);
          break;
        }
        pendingText.append(line, i, lt - i);
        if (!pendingText.empty()) emit(false, pendingText);
        pendingText.clear();
        inTag = true;
        i = lt + 1;
      }
    }
  }
  if (inTag && !pendingTag.empty()) {
    emit(true, pendingTag);
  } else if (!pendingText.empty()) {
    emit(false, pendingText);
  }
}

}  // namespace

void THTMLParser::Execute() {
  Tokenize(Lines, [this](bool isTag, const std::string& raw) {
    std::unique_ptr<THTMLItem> item;
    if (isTag) {
      item = std::make_unique<THTMLTag>();
    } else {
      item = std::make_unique<THTMLText>();
    }
    item->SetText(raw);
    Items.push_back(std::move(item));
  });
}

// ---------------------------------------------------------------------------
// Helpers

namespace {

const THTMLTag* AsTag(const THTMLItem* item) {
  return dynamic_cast<const THTMLTag*>(item);
}

const THTMLText* AsText(const THTMLItem* item) {
  return dynamic_cast<const THTMLText*>(item);
}

bool IsTagNamed(const THTMLItem* item, std::string_view name) {
  const THTMLTag* tag = AsTag(item);
  return tag && tag->Name == name;
}

}  // namespace

namespace {

// The tag name of a raw tag text: up to the first blank, upper case.
std::string TagName(const std::string& raw) {
  return AsciiUpper(std::string_view(raw).substr(0, raw.find(' ')));
}

bool ContainsScript(const std::string& raw) {
  static constexpr std::string_view kWord = "script";
  for (std::size_t i = 0; i + kWord.size() <= raw.size(); ++i) {
    std::size_t k = 0;
    while (k < kWord.size()) {
      char c = raw[i + k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != kWord[k]) break;
      ++k;
    }
    if (k == kWord.size()) return true;
  }
  return false;
}

}  // namespace

void HtmlLinesToPlainText(TStringList& lines) {
  // The items are streamed through the script filter, then the style filter
  // (each a removal from its starting tag up to a closing tag that stays),
  // then into lines, without keeping a parsed document.
  const TStringList input = std::move(lines);
  lines.Clear();
  bool inScript = false;
  bool inStyle = false;
  std::string current;
  try {
    Tokenize(input, [&](bool isTag, const std::string& raw) {
      const std::string name = isTag ? TagName(raw) : std::string();
      if (inScript) {
        if (!isTag || name != "/SCRIPT") return;
        inScript = false;
      } else if (isTag && ContainsScript(raw)) {
        inScript = true;
        return;
      }
      if (inStyle) {
        if (!isTag || name != "/STYLE") return;
        inStyle = false;
      } else if (isTag && name == "STYLE") {
        inStyle = true;
        return;
      }
      if (!isTag) {
        THTMLText text;
        text.SetText(raw);
        current += text.Text;
        return;
      }
      static constexpr std::string_view kBreaks[] = {"BR", "P", "BLOCKQUOTE", "DD", "/TITLE", "LI"};
      if (std::find(std::begin(kBreaks), std::end(kBreaks), name) == std::end(kBreaks)) return;
      HtmlDecodeEntitiesInPlace(current);
      lines.Add(std::move(current));
      current.clear();
    });
    if (!current.empty()) {
      HtmlDecodeEntitiesInPlace(current);
      lines.Add(std::move(current));
    }
  } catch (const std::exception& error) {
    // The lines gathered so far stay.
    Log("HtmlToPlainText", std::string("Plain text stopped: ") + error.what(), 5, true);
  }
}

std::string HtmlToPlainText(std::string_view text) {
  TStringList lines;
  lines.SetText(text);
  HtmlLinesToPlainText(lines);
  return lines.Text();
}

void HtmlStreamToPlainText(std::string& buffer) {
  buffer = HtmlToPlainText(buffer);
}

void ExtractHtmlTagLines(TStringList& lines) {
  THTMLParser parser;
  parser.Lines = lines;
  lines.Clear();
  parser.Execute();
  bool inBlock = false;
  for (const auto& item : parser.Items) {
    const THTMLTag* tag = AsTag(item.get());
    if (inBlock) {
      lines.Add(tag ? "<" + tag->Raw + ">" : item->Raw);
      if (tag && tag->Name == "/SCRIPT") inBlock = false;
      continue;
    }
    if (!tag) continue;
    lines.Add("<" + tag->Raw + ">");
    if (AsciiLower(tag->Raw).find("script language=") != std::string::npos) inBlock = true;
  }
}

bool HtmlCollectElement(std::string_view tagName, const THTMLItems& items, int& position,
                        std::vector<const THTMLItem*>& list) {
  const int count = static_cast<int>(items.size());
  if (count < 3) return false;
  const std::string open = AsciiUpper(tagName);
  const std::string close = "/" + open;
  int i = std::max(position, 0);
  while (i < count && !IsTagNamed(items[i].get(), open)) ++i;
  if (i >= count) {
    position = count;
    return false;
  }
  for (++i; i < count; ++i) {
    if (IsTagNamed(items[i].get(), close)) {
      position = i;
      return true;
    }
    list.push_back(items[i].get());
  }
  position = count;
  return false;
}

int HtmlElementText(std::string_view tagName, const THTMLItems& items, std::string& text,
                    int& position) {
  std::vector<const THTMLItem*> collected;
  HtmlCollectElement(tagName, items, position, collected);
  int found = 0;
  for (const THTMLItem* item : collected) {
    if (const THTMLText* t = AsText(item)) {
      text += t->Text;
      ++found;
    }
  }
  return found;
}

// ---------------------------------------------------------------------------
// Links

namespace {

// The white space of the pattern engine's \s.
bool IsPatternSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool IsLineSeparator(unsigned char c) {
  return c == '\r' || c == '\n';
}

// Characters of an href value: anything but > " and the space.
bool IsHrefValueChar(unsigned char c) {
  return c != '>' && c != '"' && c != ' ';
}

unsigned char At(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

std::size_t SkipSpaces(std::string_view s, std::size_t i) {
  while (i < s.size() && IsPatternSpace(At(s, i))) ++i;
  return i;
}

// True when `word` (lower-case letters and "/") stands at i, letters in any
// case.
bool WordAt(std::string_view s, std::size_t i, std::string_view word) {
  if (s.size() - std::min(i, s.size()) < word.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k) {
    unsigned char c = At(s, i + k);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    if (c != static_cast<unsigned char>(word[k])) return false;
  }
  return true;
}

// Anchor elements: "<", spaces, "a", one space, then (lazily) up to a ">",
// then up to the first closing "<", spaces, "/a" followed by ">" or by a
// space and then the next ">" anywhere.
void CollectAnchorElements(std::string_view s, TStringList& elements) {
  const std::size_t n = s.size();
  std::size_t from = 0;
  for (;;) {
    // The first "<" that opens an anchor.
    std::size_t start = std::string_view::npos;
    std::size_t afterSpace = 0;
    for (std::size_t lt = s.find('<', from); lt != std::string_view::npos;
         lt = s.find('<', lt + 1)) {
      const std::size_t k = SkipSpaces(s, lt + 1);
      if (k + 1 < n && (s[k] == 'a' || s[k] == 'A') && IsPatternSpace(At(s, k + 1))) {
        start = lt;
        afterSpace = k + 2;
        break;
      }
    }
    if (start == std::string_view::npos) return;
    // When this anchor finds no ">" or no closing tag, no later one can.
    const std::size_t firstGt = s.find('>', afterSpace);
    if (firstGt == std::string_view::npos) return;
    std::size_t end = std::string_view::npos;
    for (std::size_t q = s.find('<', firstGt + 1); q != std::string_view::npos;
         q = s.find('<', q + 1)) {
      const std::size_t slash = SkipSpaces(s, q + 1);
      if (!WordAt(s, slash, "/a")) continue;
      const std::size_t t = slash + 2;
      if (t >= n) return;
      if (s[t] == '>') {
        end = t + 1;
        break;
      }
      if (IsPatternSpace(At(s, t))) {
        const std::size_t gt = s.find('>', t + 1);
        if (gt == std::string_view::npos) return;
        end = gt + 1;
        break;
      }
    }
    if (end == std::string_view::npos) return;
    std::string element(s.substr(start, end - start));
    ReplaceAll("\r\n", "", element);
    elements.Add(std::move(element));
    from = end;
  }
}

// The first "href", spaces, "=", spaces, an optional double quote and a run
// of value characters, with the pattern engine's backtracking order: all the
// spaces after "=" first, then ever fewer, where a space that is not a blank
// may itself start the run. Sets start and length; false when none.
bool FindHref(std::string_view e, std::size_t& start, std::size_t& length) {
  const std::size_t n = e.size();
  auto runEnd = [&](std::size_t p) {
    while (p < n && IsHrefValueChar(At(e, p))) ++p;
    return p;
  };
  for (std::size_t i = 0; i + 4 <= n; ++i) {
    if (!WordAt(e, i, "href")) continue;
    const std::size_t eq = SkipSpaces(e, i + 4);
    if (eq >= n || e[eq] != '=') continue;
    const std::size_t spaces = eq + 1;
    const std::size_t value = SkipSpaces(e, spaces);
    if (value < n) {
      if (e[value] == '"') {
        if (value + 1 < n && IsHrefValueChar(At(e, value + 1))) {
          start = i;
          length = runEnd(value + 1) - i;
          return true;
        }
      } else if (IsHrefValueChar(At(e, value))) {
        start = i;
        length = runEnd(value) - i;
        return true;
      }
    }
    for (std::size_t p = value; p > spaces; --p) {
      if (e[p - 1] != ' ') {
        start = i;
        length = runEnd(p - 1) - i;
        return true;
      }
    }
  }
  return false;
}

// h without its leading "href", spaces, "=", spaces and double quote.
std::string HrefValue(std::string_view h) {
  std::size_t p = SkipSpaces(h, 4);
  p = SkipSpaces(h, p + 1);
  if (p < h.size() && h[p] == '"') ++p;
  return std::string(h.substr(std::min(p, h.size())));
}

// A closing anchor tag "<", spaces, "/a", spaces, ">" at q: one past its end,
// or npos.
std::size_t ClosingAnchorEnd(std::string_view s, std::size_t q) {
  const std::size_t slash = SkipSpaces(s, q + 1);
  if (!WordAt(s, slash, "/a")) return std::string_view::npos;
  const std::size_t gt = SkipSpaces(s, slash + 2);
  if (gt >= s.size() || s[gt] != '>') return std::string_view::npos;
  return gt + 1;
}

// The anchor's content: after the first ">" whose line (up to the next CR or
// LF) holds a closing anchor tag, up to the first such tag.
std::string AnchorContent(std::string_view rest) {
  const std::size_t n = rest.size();
  std::size_t g = rest.find('>');
  while (g != std::string_view::npos) {
    std::size_t p = g + 1;
    while (p < n && !IsLineSeparator(At(rest, p))) {
      if (rest[p] == '<' && ClosingAnchorEnd(rest, p) != std::string_view::npos) {
        return std::string(rest.substr(g + 1, p - g - 1));
      }
      ++p;
    }
    // Every ">" before this line's end fails the same way.
    if (p >= n) break;
    g = rest.find('>', p + 1);
  }
  return {};
}

// Removes every "<", spaces, name, then ">" or a space and (within the
// line) up to the next ">"; leftmost first, going on after each removal.
std::string RemoveTags(const std::string& text, std::string_view name) {
  const std::size_t n = text.size();
  std::string out;
  out.reserve(n);
  std::size_t copied = 0;
  // The next ">" or line separator at or after a position; queries only
  // move forward, so one answer serves many.
  std::size_t stopFrom = 0, stopAt = 0;
  bool haveStop = false;
  auto nextStop = [&](std::size_t from) {
    if (!haveStop || from < stopFrom || from > stopAt) {
      stopAt = from;
      while (stopAt < n && text[stopAt] != '>' && !IsLineSeparator(At(text, stopAt))) ++stopAt;
      stopFrom = from;
      haveStop = true;
    }
    return stopAt;
  };
  std::size_t i = text.find('<');
  while (i != std::string::npos) {
    const std::size_t k = SkipSpaces(text, i + 1);
    std::size_t end = std::string::npos;
    if (WordAt(text, k, name)) {
      const std::size_t t = k + name.size();
      if (t < n && text[t] == '>') {
        end = t + 1;
      } else if (t < n && IsPatternSpace(At(text, t))) {
        const std::size_t stop = nextStop(t + 1);
        if (stop < n && text[stop] == '>') end = stop + 1;
      }
    }
    if (end == std::string::npos) {
      i = text.find('<', i + 1);
      continue;
    }
    out.append(text, copied, i - copied);
    copied = end;
    i = text.find('<', end);
  }
  out.append(text, copied, std::string::npos);
  return out;
}

// True when the content holds "<", spaces, "img", a space and then, on the
// same line, a ">".
bool HasImage(std::string_view s) {
  const std::size_t n = s.size();
  // The last ">" before each line's end, worked out once per line.
  std::size_t lineEnd = std::string_view::npos, lastGt = std::string_view::npos;
  bool haveLine = false;
  for (std::size_t i = s.find('<'); i != std::string_view::npos; i = s.find('<', i + 1)) {
    const std::size_t k = SkipSpaces(s, i + 1);
    if (!WordAt(s, k, "img")) continue;
    const std::size_t t = k + 3;
    if (t >= n || !IsPatternSpace(At(s, t))) continue;
    const std::size_t from = t + 1;
    if (!haveLine || from > lineEnd) {
      lineEnd = from;
      while (lineEnd < n && !IsLineSeparator(At(s, lineEnd))) ++lineEnd;
      // Later queries on this line start further on, so looking back only
      // to this one's start keeps the work linear.
      const std::size_t back = s.substr(from, lineEnd - from).rfind('>');
      lastGt = back == std::string_view::npos ? back : from + back;
      haveLine = true;
    }
    if (lastGt != std::string_view::npos && lastGt >= from) return true;
  }
  return false;
}

constexpr std::string_view kRemovedTags[] = {"br", "div", "/div", "span", "/span", "p", "/p"};

}  // namespace

void AddLinkLine(const std::string& url, const std::string& content, bool image,
                 TStringList& list) {
  // Content without tags, entities and line breaks converts to itself, so
  // the parser is needed only for the rest.
  bool plainEmpty;
  if (content.find_first_of("<&\r\n") == std::string::npos) {
    plainEmpty = TrimText(content).empty();
  } else {
    plainEmpty = TrimText(HtmlToPlainText(content)).empty();
  }
  int kind = 2;
  if (!plainEmpty && !image) kind = 0;
  if (plainEmpty && image) kind = 1;
  TStringList pair{url, content};
  list.AddNumber(pair.CommaText(), kind);
}

void ExtractLinks(const std::string& html, TStringList& list) {
  list.Clear();
  try {
    TStringList elements;
    CollectAnchorElements(html, elements);
    for (int i = 0; i < elements.Count(); ++i) {
      const std::string& element = elements[i];
      std::size_t start = 0, length = 0;
      std::string url;
      std::string_view rest = element;
      if (FindHref(element, start, length)) {
        const std::string_view h = std::string_view(element).substr(start, length);
        url = TrimText(HrefValue(h));
        rest = std::string_view(element).substr(start + length);
      }
      std::string content = AnchorContent(rest);
      for (std::string_view name : kRemovedTags) {
        if (content.find('<') == std::string::npos) break;
        content = RemoveTags(content, name);
      }
      AddLinkLine(url, content, HasImage(content), list);
    }
  } catch (const std::exception& error) {
    Log("ExtractLinks", std::string("Link extraction stopped: ") + error.what(), 5, true);
  }
}

}  // namespace halvorn
