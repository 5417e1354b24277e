#include "foundation/text/string_library.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "foundation/text/text_helpers.h"

namespace halvorn {
namespace {

constexpr TCharSet MakeLetterOrSpaceSet() {
  TCharSet set{};
  for (int c = 0; c < 256; ++c) set[c] = IsLetterChar(c) || c == ' ';
  return set;
}

constexpr TCharSet MakeWordSet() {
  TCharSet set{};
  for (int c = 0; c < 256; ++c) set[c] = IsLetterChar(c) || IsDigitChar(c) || c == ' ';
  return set;
}

constexpr std::array<unsigned char, 256> MakeCaseSwapTable() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    if (c >= 'A' && c <= 'Z') {
      table[c] = static_cast<unsigned char>(c + 32);
    } else if (c >= 'a' && c <= 'z') {
      table[c] = static_cast<unsigned char>(c - 32);
    } else {
      table[c] = static_cast<unsigned char>(c);
    }
  }
  return table;
}

// The scrambler's permutation of the values 0 to 95 (characters 32 to 127)
// and its inverse. Passwords stored in the accounts file can only be read
// back with these exact tables: never change them.
constexpr std::array<unsigned char, 96> kScrambleTable = {
    49, 37, 22, 4,  61, 11, 66, 88, 68, 20, 8,  12, 57, 48, 70, 7,  87, 58, 71, 60, 35, 78, 91, 72,
    55, 40, 32, 5,  92, 18, 31, 44, 39, 28, 62, 82, 81, 73, 93, 21, 1,  50, 89, 56, 94, 27, 9,  34,
    13, 14, 24, 17, 84, 16, 36, 63, 74, 80, 54, 75, 67, 64, 65, 90, 59, 26, 51, 53, 69, 79, 30, 0,
    41, 25, 3,  83, 23, 10, 95, 85, 45, 52, 6,  15, 76, 38, 86, 29, 2,  42, 47, 46, 19, 33, 43, 77};

constexpr std::array<unsigned char, 96> kUnscrambleTable = {
    71, 40, 88, 74, 3,  27, 82, 15, 10, 46, 77, 5,  11, 48, 49, 83, 53, 51, 29, 92, 9,  39, 2,  76,
    50, 73, 65, 45, 33, 87, 70, 30, 26, 93, 47, 20, 54, 1,  85, 32, 25, 72, 89, 94, 31, 80, 91, 90,
    13, 0,  41, 66, 81, 67, 58, 24, 43, 12, 17, 64, 19, 4,  34, 55, 61, 62, 6,  60, 8,  68, 14, 18,
    23, 37, 56, 59, 84, 95, 21, 69, 57, 36, 35, 75, 52, 79, 86, 16, 7,  42, 63, 22, 28, 38, 44, 78};

constexpr bool AreInverse(const std::array<unsigned char, 96>& a,
                          const std::array<unsigned char, 96>& b) {
  for (int i = 0; i < 96; ++i) {
    if (a[i] >= 96 || b[a[i]] != i) return false;
  }
  return true;
}
static_assert(AreInverse(kScrambleTable, kUnscrambleTable) &&
                  AreInverse(kUnscrambleTable, kScrambleTable),
              "the scrambler tables must be inverse permutations");

// A search's start argument: a negative value asks to ignore case and start
// at its absolute value. `index` is 0-based; `valid` is false for a start of 0
// or one beyond the text.
struct TStart {
  bool IgnoreCase;
  std::size_t Index;
  bool Valid;
};

TStart ReadStart(int start, std::size_t textLength) {
  long long s = start;
  TStart result{s < 0, 0, false};
  if (s < 0) s = -s;
  if (s == 0 || static_cast<unsigned long long>(s) > textLength) return result;
  result.Index = static_cast<std::size_t>(s - 1);
  result.Valid = true;
  return result;
}

// A 0-based index as a 1-based position; texts too long for an int answer 0.
int ToPosition(std::size_t index) {
  return index < static_cast<std::size_t>(INT_MAX) ? static_cast<int>(index + 1) : 0;
}

bool SameChar(unsigned char patternChar, unsigned char textChar, bool ignoreCase) {
  return patternChar == textChar || (ignoreCase && patternChar == CaseSwapTable[textChar]);
}

}  // namespace

bool WildcardCharMatches(unsigned char p, unsigned char c, bool atEnd, bool ignoreCase) {
  switch (p) {
    case '?':
      return true;
    case '~':
      return atEnd || !WordSet[c];
    case '#':
      return !atEnd && IsDigitChar(c);
    case '@':
      return !atEnd && IsLetterChar(c);
    case '$':
      return !atEnd && (IsLetterChar(c) || IsDigitChar(c));
    default:
      return !atEnd && SameChar(p, c, ignoreCase);
  }
}

namespace {

std::uint32_t RotateLeft3(std::uint32_t key) {
  return (key << 3) | (key >> 29);
}

// The key step the scrambler takes before each character from 32 to 127;
// `remaining` counts the characters from this one to the end.
std::uint32_t NextKey(std::uint32_t key, std::uint32_t remaining) {
  if (remaining % 4 != 0) key = RotateLeft3(key);
  return key & ~std::uint32_t{0xE0};
}

}  // namespace

const TCharSet LetterOrSpaceSet = MakeLetterOrSpaceSet();
const TCharSet WordSet = MakeWordSet();
const std::array<unsigned char, 256> CaseSwapTable = MakeCaseSwapTable();

bool IsAllInCharSet(std::string_view text, const TCharSet& set) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (!set[c]) return false;
  }
  return true;
}

bool IsLettersAndSpaces(std::string_view text) {
  return IsAllInCharSet(text, LetterOrSpaceSet);
}

int WildcardScan(std::string_view text, std::string_view pattern, int& start) {
  const TStart from = ReadStart(start, text.size());
  start = 0;
  if (!from.Valid || pattern.empty()) return 0;

  const std::size_t n = text.size();
  const std::size_t m = pattern.size();
  for (std::size_t anchor = from.Index; anchor < n; ++anchor) {
    std::size_t pi = 0;      // pattern index
    std::size_t offset = 0;  // text offset from the anchor
    bool haveStar = false;   // only the latest '*' is remembered
    std::size_t starPattern = 0;
    std::size_t starOffset = 0;
    for (;;) {
      if (pi == m) {
        int position = ToPosition(anchor);
        if (position == 0 || offset > static_cast<std::size_t>(INT_MAX)) return 0;
        start = position;
        return static_cast<int>(offset);
      }
      const unsigned char p = static_cast<unsigned char>(pattern[pi]);
      if (p == '*') {
        haveStar = true;
        starPattern = pi + 1;
        starOffset = offset;
        ++pi;
        continue;
      }
      const std::size_t at = anchor + offset;
      // Past the 0 that ends the text: no later anchor can do better, since
      // every '*' segment was already tried against the whole rest.
      if (at > n) return 0;
      const bool atEnd = at == n;
      const unsigned char c = atEnd ? 0 : static_cast<unsigned char>(text[at]);
      if (WildcardCharMatches(p, c, atEnd, from.IgnoreCase)) {
        ++pi;
        ++offset;
      } else if (haveStar) {
        ++starOffset;
        offset = starOffset;
        pi = starPattern;
      } else {
        break;  // next anchor
      }
    }
  }
  return 0;
}

int PosMaskFrom(std::string_view text, std::string_view pattern, int start) {
  const TStart from = ReadStart(start, text.size());
  const std::size_t m = pattern.size();
  if (!from.Valid || m == 0 || m > text.size()) return 0;
  const std::size_t last = text.size() - m;  // last index a match can begin at
  for (std::size_t i = from.Index; i <= last; ++i) {
    std::size_t k = 0;
    while (k < m) {
      const unsigned char p = static_cast<unsigned char>(pattern[k]);
      if (p != '?' && !SameChar(p, static_cast<unsigned char>(text[i + k]), from.IgnoreCase)) break;
      ++k;
    }
    if (k == m) return ToPosition(i);
  }
  return 0;
}

int PosFrom(std::string_view text, std::string_view sub, int start) {
  if (start < 1 || sub.empty() || static_cast<std::size_t>(start) > text.size()) return 0;
  const std::size_t found = text.find(sub, static_cast<std::size_t>(start) - 1);
  return found == std::string_view::npos ? 0 : ToPosition(found);
}

int BoyerMoorePos(std::string_view text, std::string_view pattern, int start) {
  const TStart from = ReadStart(start, text.size());
  const std::size_t n = text.size();
  const std::size_t m = pattern.size();
  if (!from.Valid || m == 0 || m > 256) return 0;

  // skip[c]: how far the last pattern character lies after the last place
  // where c may stand in the pattern (m when it may stand nowhere). A '?' may
  // stand for any character, so every entry is at most its distance.
  std::array<std::size_t, 256> skip;
  skip.fill(m);
  for (std::size_t index = 0; index < m; ++index) {
    const unsigned char p = static_cast<unsigned char>(pattern[index]);
    const std::size_t distance = m - 1 - index;
    if (p == '?') {
      skip.fill(distance);
    } else {
      skip[p] = distance;
      if (from.IgnoreCase) skip[CaseSwapTable[p]] = distance;
    }
  }

  // `end` is the text index under the last pattern character.
  if (m - 1 > n - 1 - from.Index) return 0;
  std::size_t end = from.Index + m - 1;
  while (end < n) {
    std::size_t j = 0;
    unsigned char mismatch = 0;
    bool matched = true;
    while (j < m) {
      const unsigned char p = static_cast<unsigned char>(pattern[m - 1 - j]);
      const unsigned char c = static_cast<unsigned char>(text[end - j]);
      ++j;
      if (p != '?' && !SameChar(p, c, from.IgnoreCase)) {
        mismatch = c;
        matched = false;
        break;
      }
    }
    if (matched) return ToPosition(end + 1 - m);
    // Bring the last place where the mismatched character may stand in the
    // pattern under it, or move one on when that place is already passed.
    const std::size_t shift = std::max(skip[mismatch], j) + 1 - j;
    if (shift > n - end) break;
    end += shift;
  }
  return 0;
}

int SimilarityPercent(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty() || a.size() > 255 || b.size() > 255) return 0;
  const int total = static_cast<int>(a.size() + b.size());
  int score = 0;

  // Half-open ranges [aLo, aHi) of a and [bLo, bHi) of b still to compare.
  struct TPiece {
    int aLo, aHi, bLo, bHi;
  };
  std::vector<TPiece> work;
  work.push_back({0, static_cast<int>(a.size()), 0, static_cast<int>(b.size())});
  auto push = [&work](int aLo, int aHi, int bLo, int bHi) {
    const int aLength = aHi - aLo;
    const int bLength = bHi - bLo;
    // Two single characters cannot be equal here: the run found would then
    // have reached over them.
    if (aLength > 0 && bLength > 0 && !(aLength == 1 && bLength == 1)) {
      work.push_back({aLo, aHi, bLo, bHi});
    }
  };

  while (!work.empty()) {
    const TPiece piece = work.back();
    work.pop_back();

    // The first longest common run, scanning i and then j in order. Starts
    // that leave no room for a longer run than the best are not tried. Every
    // j is tried: a run that starts inside a shorter one may be the longest.
    int bestLength = 0;
    int bestA = 0;
    int bestB = 0;
    for (int i = piece.aLo; i < piece.aHi - bestLength; ++i) {
      for (int j = piece.bLo; j < piece.bHi - bestLength; ++j) {
        int run = 0;
        while (i + run < piece.aHi && j + run < piece.bHi && a[i + run] == b[j + run]) ++run;
        if (run > bestLength) {
          bestLength = run;
          bestA = i;
          bestB = j;
        }
      }
    }
    if (bestLength == 0) continue;

    score += 2 * bestLength;
    push(piece.aLo, bestA, piece.bLo, bestB);
    push(bestA + bestLength, piece.aHi, bestB + bestLength, piece.bHi);
  }
  return (score * 1000 / total + 5) / 10;
}

std::uint32_t HexToInt(std::string_view text) {
  std::uint32_t value = 0;
  for (unsigned char c : text) {
    if (c < '0') continue;
    if (c > 'F') break;
    // '0'-'9' give 0-9 and 'A'-'F' give 10-15; ':' to '@' fall between as
    // 3 to 9.
    const std::uint32_t digit = c <= '9' ? c - '0' : c - ('A' - 10);
    value = (value << 4) + digit;
  }
  return value;
}

void Scramble(std::string& text) {
  std::uint32_t key = static_cast<std::uint32_t>(text.size());
  std::uint32_t remaining = static_cast<std::uint32_t>(text.size());
  for (char& ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 32 && c <= 127) {
      std::uint32_t t = kScrambleTable[c - 32];
      key = NextKey(key, remaining);
      t ^= key & 31;
      key += remaining + t;
      ch = static_cast<char>(t + 32);
    }
    --remaining;
  }
}

void Unscramble(std::string& text) {
  std::uint32_t key = static_cast<std::uint32_t>(text.size());
  std::uint32_t remaining = static_cast<std::uint32_t>(text.size());
  for (char& ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 32 && c <= 127) {
      const std::uint32_t v = c - 32;
      key = NextKey(key, remaining);
      const std::uint32_t t = kUnscrambleTable[v ^ (key & 31)];
      key += remaining + v;
      ch = static_cast<char>(t + 32);
    }
    --remaining;
  }
}

bool IsWindowsNT() {
  // The program's richer code paths were written for the NT family of its
  // first platform; Linux offers everything they rely on.
  return true;
}

}  // namespace halvorn
