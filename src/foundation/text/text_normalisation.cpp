#include "foundation/text/text_normalisation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (unsigned char c : text) {
    if (IsUrlSafeChar(c) && c != '%' && c != '+') {
      result += static_cast<char>(c);
    } else {
      result += '%';
      result += kHex[c >> 4];
      result += kHex[c & 0x0F];
    }
  }
  return result;
}

std::string UrlDecode(std::string_view text) {
  std::string plus(text);
  for (char& c : plus) {
    if (c == '+') c = ' ';
  }
  std::string result;
  result.reserve(plus.size());
  std::size_t i = 0;
  while (i < plus.size()) {
    // A "%" needs two more characters; both must be hexadecimal digits.
    if (plus[i] == '%' && plus.size() - i > 2) {
      int high = HexDigitValue(plus[i + 1]);
      int low = HexDigitValue(plus[i + 2]);
      if (high >= 0 && low >= 0) {
        result += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    result += plus[i];
    ++i;
  }
  return result;
}

}  // namespace halvorn

namespace halvorn {

namespace {

// ---------------------------------------------------------------------------
// Entities

struct TNamedEntity {
  std::string_view Name;
  unsigned char Code;
};

// The program's own entity table. It differs from the HTML standard on
// purpose ("nbsp" is a plain space, "hibar" and "brkbar" are old names):
// checksums computed elsewhere were made with exactly these values.
constexpr TNamedEntity kEntities[] = {
    {"nbsp", 32},    {"quot", 34},    {"laquo", 171},  {"raquo", 187},  {"amp", 38},
    {"lt", 60},      {"gt", 62},      {"not", 172},    {"plusmn", 177}, {"divide", 247},
    {"micro", 181},  {"frac14", 188}, {"frac12", 189}, {"frac34", 190}, {"hibar", 175},
    {"cent", 162},   {"pound", 163},  {"yen", 165},    {"curren", 164}, {"copy", 169},
    {"reg", 174},    {"iexcl", 161},  {"iquest", 191}, {"brkbar", 166}, {"middot", 183},
    {"deg", 176},    {"sect", 167},   {"para", 182},   {"ordm", 186},   {"ordf", 170},
    {"sup1", 185},   {"sup2", 178},   {"sup3", 179},   {"shy", 173},    {"agrave", 224},
    {"aacute", 225}, {"acirc", 226},  {"atilde", 227}, {"auml", 228},   {"aring", 229},
    {"aelig", 230},  {"Agrave", 192}, {"Aacute", 193}, {"Acirc", 194},  {"Atilde", 195},
    {"Auml", 196},   {"Aring", 197},  {"AElig", 198},  {"egrave", 232}, {"eacute", 233},
    {"ecirc", 234},  {"euml", 235},   {"Egrave", 200}, {"Eacute", 201}, {"Ecirc", 202},
    {"Euml", 203},   {"igrave", 236}, {"iacute", 237}, {"icirc", 238},  {"iuml", 239},
    {"Igrave", 204}, {"Iacute", 205}, {"Icirc", 206},  {"Iuml", 207},   {"ograve", 242},
    {"oacute", 243}, {"ocirc", 244},  {"otilde", 245}, {"ouml", 246},   {"oslash", 248},
    {"Ograve", 210}, {"Oacute", 211}, {"Ocirc", 212},  {"Otilde", 213}, {"Ouml", 214},
    {"Oslash", 216}, {"ugrave", 249}, {"uacute", 250}, {"ucirc", 251},  {"uuml", 252},
    {"Ugrave", 217}, {"Uacute", 218}, {"Ucirc", 219},  {"Uuml", 220},   {"yuml", 255},
    {"ccedil", 231}, {"Ccedil", 199}, {"szlig", 223},  {"ntilde", 241}, {"Ntilde", 209},
};

// How far after an "&" the decoder looks for the ";" that ends an entity.
constexpr std::size_t kEntitySearchReach = 10;

}  // namespace

bool HtmlEntityToChar(std::string_view candidate, char& character) {
  character = '&';
  // The candidate with its final ";" supplied, seen as "&" + body + ";".
  const bool hasSemicolon = !candidate.empty() && candidate.back() == ';';
  const std::size_t length = candidate.size() + (hasSemicolon ? 0 : 1);
  if (length < 4 || candidate[0] != '&') return false;
  const std::string_view body = candidate.substr(1, length - 2);

  if (body == "#8217") {
    character = '\'';
    return true;
  }
  if (body == "#8220" || body == "#8221") {
    character = '"';
    return true;
  }
  if (body == "#8364") {
    character = 'E';
    return true;
  }
  if (body[0] == '#') {
    std::int32_t value = 0;
    if (!ParseInt32(body.substr(1), value)) value = 0;
    const unsigned char code = static_cast<unsigned char>(value & 0xFF);
    if (code == 0) return false;
    character = static_cast<char>(code);
    return true;
  }
  // Names are at most six letters and digits.
  if (body.size() > 6) return false;
  for (char c : body) {
    if (!IsLetterChar(static_cast<unsigned char>(c)) && !IsDigitChar(static_cast<unsigned char>(c)))
      return false;
  }
  for (const TNamedEntity& e : kEntities) {
    if (body == e.Name) {
      character = static_cast<char>(e.Code);
      return true;
    }
  }
  return false;
}

bool HtmlDecodeEntitiesInPlace(std::string& text) {
  const std::size_t first = text.find('&');
  if (first == std::string::npos) return false;
  std::string result(text, 0, first);
  result.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t i = first;
  while (i < n) {
    if (text[i] != '&') {
      result += text[i++];
      continue;
    }
    // e: the first ";" within reach, else the last position looked at.
    const std::size_t limit = std::min(n - 1, i + kEntitySearchReach);
    std::size_t e = limit;
    for (std::size_t k = i + 1; k <= limit; ++k) {
      if (text[k] == ';') {
        e = k;
        break;
      }
    }
    bool decoded = false;
    for (std::size_t last = e; last >= i + 2; --last) {
      char c;
      if (HtmlEntityToChar(std::string_view(text).substr(i, last - i + 1), c)) {
        result += c;
        i = last + 1;
        decoded = true;
        break;
      }
    }
    if (decoded) continue;
    result += '&';
    if (i + 1 < n) result += text[i + 1];
    i += 2;
  }
  if (result.size() == text.size()) return false;
  text = std::move(result);
  return true;
}

bool HtmlEscape(std::string& text) {
  std::string result;
  result.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      case '"':
        result += "&quot;";
        break;
      case '&':
        result += "&amp;";
        break;
      case ' ':
        result += (i > 0 && text[i - 1] == ' ') ? "&nbsp;" : " ";
        break;
      default:
        if (c > 126) {
          result += "&#" + std::to_string(c) + ";";
        } else {
          result += static_cast<char>(c);
        }
    }
  }
  if (result.size() == text.size()) return false;
  text = std::move(result);
  return true;
}

bool HtmlEscapeList(TStringList& list) {
  bool changed = false;
  for (int i = 0; i < list.Count(); ++i) {
    std::string line = list[i];
    if (HtmlEscape(line)) {
      list.SetString(i, std::move(line));
      changed = true;
    }
  }
  return changed;
}

void LinesToHtml(TStringList& list) {
  for (int i = 0; i < list.Count(); ++i) {
    std::string line = list[i];
    HtmlEscape(line);
    list.SetString(i, line + "<br>");
  }
}

// ---------------------------------------------------------------------------
// Characters and replacing

bool KeepCharsMatching(std::string& text, TCharClass charClass) {
  const std::size_t before = text.size();
  std::erase_if(text, [&](char c) { return !charClass(static_cast<unsigned char>(c)); });
  return text.size() != before;
}

bool RemoveCharsMatching(std::string& text, TCharClass charClass) {
  const std::size_t before = text.size();
  std::erase_if(text, [&](char c) { return charClass(static_cast<unsigned char>(c)); });
  return text.size() != before;
}

std::string KeepCharsMatchingCopy(std::string_view text, TCharClass charClass) {
  std::string result;
  for (char c : text) {
    if (charClass(static_cast<unsigned char>(c))) result += c;
  }
  return result;
}

void ReplaceAll(std::string_view oldText, std::string_view newText, std::string& text) {
  if (oldText.empty() || oldText == newText) return;
  std::size_t at = text.find(oldText);
  if (at == std::string::npos) return;
  std::string result;
  result.reserve(text.size());
  std::size_t from = 0;
  while (at != std::string::npos) {
    result.append(text, from, at - from);
    result += newText;
    from = at + oldText.size();
    at = text.find(oldText, from);
  }
  result.append(text, from, std::string::npos);
  text = std::move(result);
}

bool ReplaceAllChecked(std::string_view oldText, std::string_view newText, std::string& text) {
  if (oldText.empty() || oldText == newText) return false;
  if (newText.find(oldText) != std::string_view::npos) return false;
  if (text.find(oldText) == std::string::npos) return false;

  // The output holds a prefix known to contain no occurrence; the pending
  // characters are a stack whose top is the next one to read. The occurrence
  // that ends first is the one that starts first, so replacing it as soon as
  // the output ends with oldText, and reading the new text again, gives the
  // same result as searching from the start after every replacement.
  std::string out;
  out.reserve(text.size());
  std::string pending(text.rbegin(), text.rend());
  const std::string newReversed(newText.rbegin(), newText.rend());
  const std::size_t growthLimit = text.size() * 64 + (1u << 20);
  const bool grows = newText.size() >= oldText.size();
  while (!pending.empty()) {
    out += pending.back();
    pending.pop_back();
    if (out.size() >= oldText.size() && std::memcmp(out.data() + out.size() - oldText.size(),
                                                    oldText.data(), oldText.size()) == 0) {
      out.resize(out.size() - oldText.size());
      pending += newReversed;
      if (grows && out.size() + pending.size() > growthLimit) break;
    }
  }
  out.append(pending.rbegin(), pending.rend());
  text = std::move(out);
  return true;
}

// ---------------------------------------------------------------------------
// Normalisation

void StripAbbreviationDots(std::string& text) {
  static constexpr const char* kRewrites[][2] = {
      {"e.g.", "eg"},       {"i.e.", "eg"},       {"p.o.", "po"},    {"P.O.", "po"},
      {"et al.", "et al"},  {"Mrs. ", "mrs "},    {"Mr. ", "mr "},   {"Dr. ", "dr "},
      {"Ms. ", "ms "},      {"Prof. ", "prof "},  {"Gen. ", "Gen "}, {"Rep. ", "Rep "},
      {"Sen. ", "Sen "},    {"St. ", "St "},      {"Sr. ", "Sr "},   {"Jr. ", "Jr "},
      {"Ph.D. ", "PhD "},   {"M.D. ", "MD "},     {"U.S.A.", "usa"}, {"U.S.", "us"},
      {"U.K.", "uk"},       {"B.C.", "bc"},       {"A.D.", "ad"},    {"B.C.E.", "bce"},
      {"C.E.", "ce"},       {"ea.", "ea"},        {"a.m.", "am"},    {"p.m.", "pm"},
      {"a.s.a.p.", "asap"}, {"r.s.v.p.", "rsvp"},
  };
  if (text.find('.') == std::string::npos) return;
  for (const auto& rewrite : kRewrites) ReplaceAll(rewrite[0], rewrite[1], text);
}

void CollapsePunctuation(std::string& text) {
  ReplaceAll("-----original message-----", "", text);
  ReplaceAll("..", ".", text);
  ReplaceAll("!!", "!", text);
  ReplaceAll("??", "?", text);
  ReplaceAll("  ", " ", text);
}

void StripQuotePrefixes(std::string& text) {
  TStringList lines;
  lines.SetText(text);
  bool changed = false;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    std::size_t start = 0;
    for (;;) {
      const std::size_t window = std::min<std::size_t>(8, line.size() - start);
      const void* hit = std::memchr(line.data() + start, '>', window);
      if (!hit) break;
      start = static_cast<std::size_t>(static_cast<const char*>(hit) - line.data()) + 1;
    }
    if (start > 0) {
      lines.SetString(i, line.substr(start));
      changed = true;
    }
  }
  if (changed) text = lines.Text();
}

void NormalizeLines(TStringList& list) {
  // Each line is handled on its own, so the new list is built front to back
  // in one pass instead of inserting pieces into the old one.
  TStringList result;
  for (int i = 0; i < list.Count(); ++i) {
    std::string line = list[i];
    ReplaceAll("  ", " ", line);
    ReplaceAll(" .", ".", line);
    if (!line.empty() && line[0] == ' ') line.erase(0, 1);
    if (line.size() < 72) {
      result.Add(std::move(line));
      continue;
    }
    CollapsePunctuation(line);
    StripAbbreviationDots(line);
    std::size_t start = 0;  // the rest is line[start..]
    while (line.size() - start > 70) {
      std::size_t cut = line.find_first_of(".!?", start + 49);
      std::size_t end = cut == std::string::npos ? line.size() : cut + 1;
      std::size_t pieceStart = start;
      if (line[pieceStart] == ' ') ++pieceStart;
      result.Add(line.substr(pieceStart, end - pieceStart));
      start = end;
      if (start < line.size() && line[start] == ' ') ++start;
    }
    if (start < line.size()) result.Add(line.substr(start));
  }
  TStringList shrunk;
  for (int i = 0; i < result.Count(); ++i) {
    if (result[i].empty() && i > 0 && result[i - 1].empty()) continue;
    shrunk.Add(result[i]);
  }
  list = std::move(shrunk);
}

namespace {

// The letter a look-alike character stands for, or 0 when it stays.
char LookalikeLetter(unsigned char c, unsigned char previous, unsigned char next) {
  const bool letterBeside = IsLetterChar(previous) || IsLetterChar(next);
  switch (c) {
    case '@':
      return 'a';
    case 174:
      return 'R';
    case '9':
      return letterBeside ? 'g' : 0;
    case '6':
      return letterBeside ? 'G' : 0;
    case '!':
    case '1':
      return letterBeside ? 'i' : 0;
    case '|':
      return 'i';
    case 'l':
      return IsUpperChar(next) ? 'I' : 0;
    case '0':
      return letterBeside ? 'o' : 0;
    case '$':
      return IsDigitChar(next) ? 0 : 's';
    case 162:
      return IsDigitChar(previous) ? 0 : 'c';
    case 167:
      return 's';
    case 199:
      return 'C';
    case 209:
      return 'N';
    case 215:
      return 'x';
    case 216:
      return 'o';
    case 221:
      return 'Y';
    case 223:
      return 'B';
    case 231:
      return 'c';
    case 240:
      return 'd';
    case 241:
      return 'n';
    case 254:
      return 'p';
    default:
      break;
  }
  if (c >= 192 && c <= 197) return 'A';
  if (c >= 200 && c <= 203) return 'E';
  if (c >= 204 && c <= 207) return 'I';
  if (c >= 210 && c <= 214) return 'O';
  if (c >= 217 && c <= 220) return 'U';
  if (c >= 224 && c <= 230) return 'a';
  if (c >= 232 && c <= 235) return 'e';
  if (c >= 236 && c <= 239) return 'i';
  if (c >= 242 && c <= 246) return 'o';
  if (c >= 249 && c <= 252) return 'u';
  if (c == 253 || c == 255) return 'y';
  return 0;
}

constexpr std::size_t kRewriteLimit = 100000;

// The text with `pad` before and after it.
std::string Padded(std::string_view text, std::string_view pad) {
  std::string result;
  result.reserve(text.size() + 2 * pad.size());
  result.append(pad).append(text).append(pad);
  return result;
}

}  // namespace

bool NormalizeLookalikeChars(std::string& text) {
  if (text.size() > kRewriteLimit) return false;
  const std::string padded = Padded(TrimText(text), " ");
  // The output is built left to right: the character before is the output's
  // last one (earlier replacements applied), the one after is still the
  // input's.
  std::string out;
  out.reserve(padded.size());
  out += ' ';
  const std::size_t last = padded.size() - 1;
  for (std::size_t i = 1; i < last; ++i) {
    const unsigned char c = static_cast<unsigned char>(padded[i]);
    const unsigned char next = static_cast<unsigned char>(padded[i + 1]);
    if (c == '/' && next == '\\') {
      out += 'A';
      ++i;
      continue;
    }
    if (c == '\\' && next == '/') {
      out += 'V';
      ++i;
      continue;
    }
    const char letter = LookalikeLetter(c, static_cast<unsigned char>(out.back()), next);
    out += letter ? letter : static_cast<char>(c);
  }
  out += ' ';
  const bool changed = out != padded;
  text = std::move(out);
  return changed;
}

bool JoinSpacedLetters(std::string& text) {
  const std::string padded = Padded(text, "  ");
  if (padded.size() > kRewriteLimit) return false;
  const std::size_t n = padded.size();

  // 1: letters and spaces stay; anything else vanishes between two letters
  // and becomes a space elsewhere. The character before is the output's.
  std::string clean;
  clean.reserve(n);
  clean += padded[0];
  for (std::size_t i = 1; i + 2 < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(padded[i]);
    if (IsLetterOrSpace(c)) {
      clean += static_cast<char>(c);
    } else if (IsLetterChar(static_cast<unsigned char>(clean.back())) &&
               IsLetterChar(static_cast<unsigned char>(padded[i + 1]))) {
      // dropped
    } else {
      clean += ' ';
    }
  }
  clean.append(padded, n - 2, 2);

  // 2: join single letters separated by one space.
  const std::size_t m = clean.size();
  auto single = [&](std::size_t p) {
    return p >= 1 && p + 1 < m && IsLetterChar(static_cast<unsigned char>(clean[p])) &&
           clean[p - 1] == ' ' && clean[p + 1] == ' ';
  };
  std::string joined;
  joined.reserve(m);
  for (std::size_t i = 0; i < m; ++i) {
    if (clean[i] == ' ' && i >= 2 && i + 2 < m && single(i - 1) && single(i + 1)) continue;
    joined += clean[i];
  }

  // 3: runs of spaces shrink to one; trimmed.
  ReplaceAllChecked("  ", " ", joined);
  text = TrimText(joined);
  return true;
}

int LongestSpaceRun(std::string_view text) {
  int best = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != ' ') {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && text[j] == ' ') ++j;
    if (j < text.size()) best = std::max(best, static_cast<int>(j - i) - 1);
    i = j;
  }
  return best;
}

void SplitByPredicate(std::string_view text, TCharClass charClass, TStringList& list) {
  list.Clear();
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (charClass(static_cast<unsigned char>(text[i]))) {
      list.Add(std::string(text.substr(start, i - start)));
      start = i + 1;
    }
  }
  if (start < text.size()) list.Add(std::string(text.substr(start)));
}

void ParseIntoWords(std::string_view text, TStringList& list) {
  TStringList pieces;
  SplitByPredicate(text, IsInvisibleChar, pieces);
  list.Clear();
  for (int i = 0; i < pieces.Count(); ++i) {
    std::string word = TrimText(KeepCharsMatchingCopy(pieces[i], IsLetterChar));
    if (!word.empty()) list.Add(std::move(word));
  }
}

// ---------------------------------------------------------------------------
// Extraction and judging

void CutWebAddresses(std::string& text, TStringList& list) {
  // The shortened text is `out` followed by text[in..]; positions below are
  // in the shortened text. Taken tokens are skipped instead of erased, so the
  // whole cut is one pass.
  std::string out;
  std::size_t in = 0;
  const std::size_t n = text.size();  // the shortened text's length is out.size() + n - in
  auto length = [&] { return out.size() + (n - in); };
  auto at = [&](std::size_t p) -> unsigned char {
    return static_cast<unsigned char>(p < out.size() ? out[p] : text[in + (p - out.size())]);
  };
  auto find_dot = [&](std::size_t from) -> std::size_t {
    if (from < out.size()) {
      const std::size_t d = out.find('.', from);
      if (d != std::string::npos) return d;
      from = out.size();
    }
    const std::size_t d = text.find('.', in + (from - out.size()));
    return d == std::string::npos ? std::string::npos : out.size() + (d - in);
  };

  std::size_t scan = 0;
  for (;;) {
    const std::size_t d = find_dot(scan);
    if (d == std::string::npos) break;
    const std::size_t len = length();
    std::size_t left = d;
    while (left > 0 && IsVisibleChar(at(left - 1))) --left;
    // The token never includes the text's last character.
    std::size_t right = d;  // one past the token's end
    while (right < len - 1 && IsVisibleChar(at(right))) ++right;
    const bool reachedEnd = right == len - 1;
    std::string token;
    if (right > left) {
      token.reserve(right - left);
      for (std::size_t p = left; p < right; ++p) token += static_cast<char>(at(p));
    }
    bool taken = false;
    if (token.size() >= 4 && token.find("..") == std::string::npos) {
      std::size_t dots = static_cast<std::size_t>(std::count(token.begin(), token.end(), '.'));
      if (reachedEnd && at(len - 1) == '.') ++dots;
      taken = (dots > 2 && token[0] != '.') || token.rfind("www.", 0) == 0 ||
              token.find(".com") != std::string::npos || token.find(".net") != std::string::npos ||
              token.find(".org") != std::string::npos;
    }
    if (!taken) {
      // Every other dot of the same token gives the same token and answer.
      scan = std::max(right, d + 1);
      continue;
    }
    list.Add(token);
    // Everything before the token moves into `out` and the token is stepped
    // over. The token cannot start inside `out`: the character before an
    // earlier cut is invisible and stays.
    const std::size_t copy = left - out.size();
    out.append(text, in, copy);
    in += copy + token.size();
    scan = d + 1;
  }
  if (!out.empty() || in > 0) {
    out.append(text, in, std::string::npos);
    text = std::move(out);
  }
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

namespace {

enum class TDomainKind { Banking, MajorVendor };

struct TKnownDomain {
  const char* Domain;  // lower case
  TDomainKind Kind;
};

// Well-known domains that phishing mail likes to imitate. They are matched
// as plain suffixes, so none may end another common name: "ing.com" made
// mindspring.com a bank, "td.com" world.std.com, "chase.com" purchase.com,
// "ubs.com" clubs.com and "apple.com" snapple.com.
constexpr TKnownDomain kKnownDomains[] = {
    // Banks, card schemes and payment services.
    {"paypal.com", TDomainKind::Banking},
    {"citibank.com", TDomainKind::Banking},
    {"citigroup.com", TDomainKind::Banking},
    {"bankofamerica.com", TDomainKind::Banking},
    {"wellsfargo.com", TDomainKind::Banking},
    {"bankofthewest.com", TDomainKind::Banking},
    {"jpmorganchase.com", TDomainKind::Banking},
    {"usbank.com", TDomainKind::Banking},
    {"wachovia.com", TDomainKind::Banking},
    {"wamu.com", TDomainKind::Banking},
    {"suntrust.com", TDomainKind::Banking},
    {"pnc.com", TDomainKind::Banking},
    {"keybank.com", TDomainKind::Banking},
    {"firstunion.com", TDomainKind::Banking},
    {"bbt.com", TDomainKind::Banking},
    {"capitalone.com", TDomainKind::Banking},
    {"fleetboston.com", TDomainKind::Banking},
    {"bankone.com", TDomainKind::Banking},
    {"huntington.com", TDomainKind::Banking},
    {"fifththird.com", TDomainKind::Banking},
    {"hsbc.com", TDomainKind::Banking},
    {"hsbc.co.uk", TDomainKind::Banking},
    {"barclays.co.uk", TDomainKind::Banking},
    {"lloydstsb.com", TDomainKind::Banking},
    {"natwest.com", TDomainKind::Banking},
    {"halifax.co.uk", TDomainKind::Banking},
    {"rbs.co.uk", TDomainKind::Banking},
    {"nationwide.co.uk", TDomainKind::Banking},
    {"abbeynational.co.uk", TDomainKind::Banking},
    {"santander.com", TDomainKind::Banking},
    {"deutsche-bank.de", TDomainKind::Banking},
    {"usaa.com", TDomainKind::Banking},
    {"credit-suisse.com", TDomainKind::Banking},
    {"abnamro.com", TDomainKind::Banking},
    {"ingdirect.com", TDomainKind::Banking},
    {"rbc.com", TDomainKind::Banking},
    {"scotiabank.com", TDomainKind::Banking},
    {"tdbank.com", TDomainKind::Banking},
    {"bmo.com", TDomainKind::Banking},
    {"cibc.com", TDomainKind::Banking},
    {"westpac.com.au", TDomainKind::Banking},
    {"commbank.com.au", TDomainKind::Banking},
    {"anz.com.au", TDomainKind::Banking},
    {"visa.com", TDomainKind::Banking},
    {"mastercard.com", TDomainKind::Banking},
    {"americanexpress.com", TDomainKind::Banking},
    {"discovercard.com", TDomainKind::Banking},
    {"westernunion.com", TDomainKind::Banking},
    {"e-gold.com", TDomainKind::Banking},
    {"schwab.com", TDomainKind::Banking},
    // Large software, hardware, retail, auction, travel and security-software
    // companies, a domain registrar and a deposit-insurance agency.
    {"microsoft.com", TDomainKind::MajorVendor},
    {"ibm.com", TDomainKind::MajorVendor},
    {"compaq.com", TDomainKind::MajorVendor},
    {"amazon.com", TDomainKind::MajorVendor},
    {"ebay.com", TDomainKind::MajorVendor},
    {"expedia.com", TDomainKind::MajorVendor},
    {"symantec.com", TDomainKind::MajorVendor},
    {"mcafee.com", TDomainKind::MajorVendor},
    {"networksolutions.com", TDomainKind::MajorVendor},
    {"fdic.gov", TDomainKind::MajorVendor},
};

bool IsKnownDomain(std::string_view host, TDomainKind kind) {
  const std::string lower = LowerCase1252(host);
  for (const TKnownDomain& entry : kKnownDomains) {
    if (entry.Kind == kind && EndsWith(lower, entry.Domain)) return true;
  }
  return false;
}

bool SameLetterIgnoringCase(char a, char b) {
  return LowerChar1252(static_cast<unsigned char>(a)) ==
         LowerChar1252(static_cast<unsigned char>(b));
}

bool IsVowel(unsigned char c) {
  switch (LowerChar1252(c)) {
    case 'a':
    case 'e':
    case 'i':
    case 'o':
    case 'u':
    case 'y':
      return true;
    default:
      return false;
  }
}

// Removes `count` characters at the first occurrence of `part` found
// ignoring case.
void RemoveAtFirst(std::string& text, std::string_view part, std::size_t count) {
  const int pos = FindTextCIFrom(text, part, 1);
  if (pos > 0) text.erase(static_cast<std::size_t>(pos - 1), count);
}

}  // namespace

bool IsBankingDomain(std::string_view host) {
  return IsKnownDomain(host, TDomainKind::Banking);
}

bool IsMajorVendorDomain(std::string_view host) {
  return IsKnownDomain(host, TDomainKind::MajorVendor);
}

int ConsonantRunScore(std::string_view name) {
  std::string text(name);
  RemoveAtFirst(text, "mc", 1);
  RemoveAtFirst(text, "van", 2);
  RemoveAtFirst(text, "von", 2);
  while (!text.empty() && IsDigitChar(static_cast<unsigned char>(text.back()))) text.pop_back();
  // Going backwards, each character is compared with its untouched
  // predecessor: runs of one letter keep their first character.
  std::string collapsed;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && SameLetterIgnoringCase(text[i], text[i - 1])) continue;
    collapsed += text[i];
  }
  int score = 0;
  int run = 0;
  for (std::size_t i = 0; i + 1 < collapsed.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(collapsed[i]);
    const unsigned char next = static_cast<unsigned char>(collapsed[i + 1]);
    if (IsLetterChar(c)) {
      if (IsVowel(c)) {
        run = 0;
      } else if (IsUpperChar(c) && IsLowerChar(next)) {
        run = 1;
      } else {
        ++run;
      }
    } else if (IsDigitChar(c)) {
      ++run;
    } else {
      run = 0;
    }
    if (run > 2) ++score;
    if (run > 3) ++score;
  }
  return score;
}

}  // namespace halvorn
