#include "message/mime_words.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "message/base64_digits.h"
#include "foundation/text/numbers.h"

namespace halvorn {
namespace {

constexpr char kEsc = 0x1B;

// The prefixes that mark where a word starts, in the order they are tried.
constexpr std::array<std::string_view, 6> kWordPrefixes = {"=?ISO",  "=?WINDOWS", "=?US-ASCII",
                                                           "=?UTF-", "=?CP-",     "=?"};

bool StartsWithIgnoringCase(std::string_view text, std::size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The encoded text of a Q word, its closing "?=" included.
std::string DecodeQ(std::string_view encoded) {
  std::string out;
  const std::size_t end = encoded.size() - 2;
  for (std::size_t i = 0; i < end; ++i) {
    const char c = encoded[i];
    if (c == '_') {
      out.push_back(' ');
    } else if (c == '=' && i + 2 < end) {
      const int high = HexDigitValue(static_cast<unsigned char>(encoded[i + 1]));
      const int low = HexDigitValue(static_cast<unsigned char>(encoded[i + 2]));
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
      } else {
        // A malformed escape stays as written: one crafted Subject must
        // not make every read of its header fail.
        out.push_back(c);
      }
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The encoded text of a B word, its closing "?=" included.
std::string DecodeB(std::string_view encoded) {
  std::string out;
  for (std::size_t i = 0; encoded.size() - i >= 4; i += 4) {
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      // Characters outside the alphabet count 0.
      const int value = Base64DigitValue(static_cast<unsigned char>(encoded[i + k]));
      bits = (bits << 6) | static_cast<std::uint32_t>(value < 0 ? 0 : value);
    }
    out.push_back(static_cast<char>((bits >> 16) & 0xFF));
    out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

// The decoded bytes of the word text[start, end): "=?", the charset up to
// `charsetEnd`, "?", the letter, ..., "?" at `textStart` - 1, the encoded
// text and "?=".
std::string DecodeWord(std::string_view text, std::size_t start, std::size_t charsetEnd,
                       std::size_t textStart, std::size_t end) {
  const std::string_view encoded = text.substr(textStart, end - textStart);
  if (encoded.size() == 2) return {};
  const char letter = text[charsetEnd + 1];
  std::string decoded = (letter == 'Q' || letter == 'q') ? DecodeQ(encoded) : DecodeB(encoded);
  if (SameText1252(text.substr(start + 2, charsetEnd - start - 2), "ISO-2022-JP"))
    decoded = JisToShiftJis(decoded);
  return decoded;
}

void AppendWithoutNul(std::string_view piece, std::string& out) {
  for (const char c : piece) {
    if (c != '\0') out.push_back(c);
  }
}

// One decoded word with the text between it and the word before it (or the
// start of the text), or the text after the last word.
struct TPiece {
  std::string Text;
  std::size_t From = 0;  // characters before it were trimmed away
};

// The decoded text is built from the last piece backwards. `Pieces` holds it
// front last: the back of the vector is where the text starts, index
// `Bottom` where it ends (pieces below it were trimmed away whole).
class TDecodedRest {
 public:
  void PushFront(std::string text) { FPieces.push_back({std::move(text), 0}); }

  // Removes the blanks at both ends of the text built so far.
  void TrimBlanks() {
    while (FPieces.size() > FBottom) {
      TPiece& front = FPieces.back();
      while (front.From < front.Text.size() && front.Text[front.From] == ' ') ++front.From;
      if (front.From < front.Text.size()) break;
      FPieces.pop_back();
    }
    while (FPieces.size() > FBottom) {
      TPiece& last = FPieces[FBottom];
      while (last.Text.size() > last.From && last.Text.back() == ' ') last.Text.pop_back();
      if (last.Text.size() > last.From) break;
      ++FBottom;
    }
  }

  std::string Join() const {
    std::size_t size = 0;
    for (std::size_t i = FBottom; i < FPieces.size(); ++i) size += FPieces[i].Text.size() - FPieces[i].From;
    std::string out;
    out.reserve(size);
    for (std::size_t i = FPieces.size(); i > FBottom; --i)
      out.append(FPieces[i - 1].Text, FPieces[i - 1].From, std::string::npos);
    return out;
  }

 private:
  std::vector<TPiece> FPieces;
  std::size_t FBottom = 0;
};

// Where one decodable word lies.
struct TWord {
  std::size_t Before;      // where the undecoded text before it starts
  std::size_t Start;       // its "=?"
  std::size_t CharsetEnd;  // the "?" after the charset
  std::size_t TextStart;   // just after the "?" after the letter
  std::size_t End;         // just after its "?="
};

}  // namespace

// The decoding reads as a recursion: decode the first word, then the rest
// after it by the same rules, trimming the decoded rest in the case the
// header comment names. Done that way a header of many thousand words would
// nest as deep and search the rest again for every prefix at every level.
// Here the words are found in one pass forwards (each prefix's occurrences
// collected once, the "?" searches never going back), and the text is then
// put together from the last word backwards, which is where the recursion
// would trim. A rest "changed" exactly when it holds a decodable word (a
// decoded word is always shorter than its encoded form) or a NUL byte.
std::string DecodeMimeWords(std::string_view text) {
  std::array<std::vector<std::size_t>, kWordPrefixes.size()> occurrences;
  for (std::size_t at = text.find("=?"); at != std::string_view::npos; at = text.find("=?", at + 1)) {
    for (std::size_t k = 0; k + 1 < kWordPrefixes.size(); ++k) {
      if (StartsWithIgnoringCase(text, at, kWordPrefixes[k])) {
        occurrences[k].push_back(at);
        break;
      }
    }
    occurrences.back().push_back(at);
  }

  std::vector<TWord> words;
  std::array<std::size_t, kWordPrefixes.size()> next{};
  std::size_t offset = 0;
  while (true) {
    std::size_t start = std::string_view::npos;
    for (std::size_t k = 0; k < kWordPrefixes.size() && start == std::string_view::npos; ++k) {
      while (next[k] < occurrences[k].size() && occurrences[k][next[k]] < offset) ++next[k];
      if (next[k] < occurrences[k].size()) start = occurrences[k][next[k]];
    }
    if (start == std::string_view::npos) break;
    const std::size_t charsetEnd = text.find('?', start + 2);
    if (charsetEnd == std::string_view::npos) break;
    const std::size_t letterEnd = text.find('?', charsetEnd + 1);
    if (letterEnd == std::string_view::npos) break;
    const std::size_t close = text.find("?=", letterEnd + 1);
    if (close == std::string_view::npos) break;
    words.push_back({offset, start, charsetEnd, letterEnd + 1, close + 2});
    offset = close + 2;
  }

  const std::size_t lastNul = text.rfind('\0');
  TDecodedRest rest;
  {
    std::string tail;
    AppendWithoutNul(text.substr(offset), tail);
    rest.PushFront(std::move(tail));
  }
  for (std::size_t w = words.size(); w-- > 0;) {
    const TWord& word = words[w];
    const bool restChanged =
        w + 1 < words.size() || (lastNul != std::string_view::npos && lastNul >= word.End);
    if (restChanged && text.substr(word.End, 2) == "=?") rest.TrimBlanks();
    std::string piece;
    AppendWithoutNul(text.substr(word.Before, word.Start - word.Before), piece);
    AppendWithoutNul(DecodeWord(text, word.Start, word.CharsetEnd, word.TextStart, word.End), piece);
    rest.PushFront(std::move(piece));
  }
  return rest.Join();
}

std::string JisToShiftJis(std::string_view jis) {
  std::string out;
  out.reserve(jis.size());
  bool twoByte = false;
  std::size_t i = 0;
  while (i < jis.size()) {
    if (jis[i] == kEsc) {
      const std::string_view sequence = jis.substr(i, 3);
      if (sequence == "\x1B$B" || sequence == "\x1B$@") {
        twoByte = true;
      } else if (sequence == "\x1B(B" || sequence == "\x1B(J") {
        twoByte = false;
      }
      i += sequence.size();
      continue;
    }
    if (!twoByte) {
      out.push_back(jis[i]);
      ++i;
      continue;
    }
    if (i + 1 >= jis.size()) break;  // a lone last byte
    const int j1 = static_cast<unsigned char>(jis[i]);
    const int j2 = static_cast<unsigned char>(jis[i + 1]);
    const int s1 = ((j1 - 1) >> 1) + (j1 <= 94 ? 113 : 177);
    int s2;
    if (j1 % 2 == 0) {
      s2 = j2 + 126;
    } else {
      s2 = j2 >= 96 ? j2 + 32 : j2 + 31;
    }
    out.push_back(static_cast<char>(s1 & 0xFF));
    out.push_back(static_cast<char>(s2 & 0xFF));
    i += 2;
  }
  return out;
}

}  // namespace halvorn
