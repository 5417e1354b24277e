#include "foundation/regex/phrase_wildcards.h"

#include <string>

#include "foundation/text/string_library.h"

namespace halvorn {

namespace {

// The string library's scanner reads "@" as "one letter", takes "^" as
// itself and has no literal "@"; the phrase language writes a letter as "^"
// and "@" for itself. Exchanging "^" and "@" in the phrase alone would leave
// a phrase's "@" looking for a "^" in the text, and no address would ever
// match; so the two are exchanged in the text as well. Neither is a letter,
// a digit or a space, so every class judges the exchanged text as the
// original one, and positions stay the same.
std::string ExchangeCaretAndAt(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '^') {
      c = '@';
    } else if (c == '@') {
      c = '^';
    }
  }
  return out;
}

// True when the scanner pattern matches text[from, end) exactly, where `end`
// is the text's length or one more (the end character consumed). Stars are
// tried at every length by the usual backtrack to the latest star, which is
// complete for whole matches and takes at most text x pattern steps.
bool MatchesUpTo(std::string_view text, std::string_view pattern, std::size_t from, std::size_t end,
                 bool ignoreCase) {
  const std::size_t n = text.size();
  std::size_t t = from;
  std::size_t p = 0;
  bool haveStar = false;
  std::size_t starPattern = 0;
  std::size_t starText = 0;
  while (t < end || p < pattern.size()) {
    if (p < pattern.size()) {
      const unsigned char pc = static_cast<unsigned char>(pattern[p]);
      if (pc == '*') {
        haveStar = true;
        starPattern = ++p;
        starText = t;
        continue;
      }
      if (t < end) {
        const bool atEnd = t == n;
        const unsigned char tc = atEnd ? 0 : static_cast<unsigned char>(text[t]);
        if (WildcardCharMatches(pc, tc, atEnd, ignoreCase)) {
          ++p;
          ++t;
          continue;
        }
      }
    }
    if (!haveStar || starText >= end) return false;
    // The end character may only be the last one a match takes, so a star
    // never swallows it: the character after the star must.
    if (starText == n) return false;
    t = ++starText;
    p = starPattern;
  }
  return true;
}

}  // namespace

bool WildcardExtract(std::string_view text, std::string_view phrase, bool caseSensitive,
                     std::string& piece, bool anchored) {
  piece.clear();
  if (phrase == "*") {
    piece.assign(text);
    return !piece.empty();
  }
  if (text.empty() || phrase.empty()) return false;

  const std::string pattern = ExchangeCaretAndAt(phrase);
  const std::string scanned = ExchangeCaretAndAt(text);
  int start = caseSensitive ? 1 : -1;
  const int length = WildcardScan(scanned, pattern, start);
  if (start == 0) return false;

  const std::size_t position = static_cast<std::size_t>(start);  // 1-based
  std::size_t matchLength = static_cast<std::size_t>(length);
  if (anchored) {
    if (phrase.front() != '*' && position != 1) return false;
    if (phrase.back() != '*' && position - 1 + matchLength < text.size()) {
      // The scanner keeps each star as short as it can and stops at the
      // first way through; a whole-text match may need a longer star.
      const bool ignoreCase = !caseSensitive;
      const std::size_t from = position - 1;
      if (MatchesUpTo(scanned, pattern, from, text.size(), ignoreCase)) {
        matchLength = text.size() - from;
      } else if (MatchesUpTo(scanned, pattern, from, text.size() + 1, ignoreCase)) {
        matchLength = text.size() + 1 - from;
      } else {
        return false;
      }
    }
  }
  // A match may take the end character, one past the text; it has no text.
  piece.assign(text.substr(position - 1, matchLength));
  return !piece.empty();
}

bool WildcardFind(std::string_view text, std::string_view phrase, bool caseSensitive) {
  std::string piece;
  return WildcardExtract(text, phrase, caseSensitive, piece, true);
}

bool FindPhraseWildcard(std::string_view phrase) {
  return phrase.find_first_of("#$*?^~") != std::string_view::npos;
}

}  // namespace halvorn
