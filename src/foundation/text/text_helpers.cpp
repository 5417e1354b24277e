#include "foundation/text/text_helpers.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/string_library.h"

namespace halvorn {
namespace {

bool IsOneOf(unsigned char c, std::string_view set) {
  return set.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Character classes

bool IsAddressChar(unsigned char c) {
  return IsVisibleChar(c) && !IsOneOf(c, "\"#%&()*/;<>[\\]{|}");
}

bool IsFileNameChar(unsigned char c) {
  return c == ' ' || (IsVisibleChar(c) && !IsOneOf(c, "\"*/:<>?\\|"));
}

bool IsUrlSafeChar(unsigned char c) {
  return IsVisibleChar(c) && !IsOneOf(c, "!\"#$()*,;<>[]{|}");
}

// ---------------------------------------------------------------------------
// Texts

std::string TrimLeadingSpaces(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return std::string(text.substr(i));
}

std::string_view TrimLeftView(std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && IsSpaceOrControlChar(static_cast<unsigned char>(text[first])))
    ++first;
  return text.substr(first);
}

std::string_view TrimRightView(std::string_view text) {
  std::size_t last = text.size();
  while (last > 0 && IsSpaceOrControlChar(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(0, last);
}

std::string_view TrimTextView(std::string_view text) {
  return TrimRightView(TrimLeftView(text));
}

std::string TrimText(std::string_view text) {
  return std::string(TrimTextView(text));
}

std::string PadLeft(std::string_view text, int width, std::string_view fill) {
  std::string result = TrimLeadingSpaces(text);
  const std::size_t target = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (result.size() > target) return result.substr(result.size() - target);
  if (fill.empty()) return result;
  std::string prefix;
  while (prefix.size() + result.size() < target) prefix.append(fill);
  return prefix + result;
}

int PosOf(std::string_view part, std::string_view text) {
  if (part.empty()) return 0;
  auto found = text.find(part);
  return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
}

int PosCI(std::string_view part, std::string_view text) {
  if (part.empty()) return 0;
  return PosMaskFrom(text, part, -1);
}

int FindTextCIFrom(std::string_view text, std::string_view part, int start) {
  if (part.empty() || part.size() > text.size()) return 0;
  std::size_t from = start > 1 ? static_cast<std::size_t>(start) - 1 : 0;
  for (std::size_t p = from; p + part.size() <= text.size(); ++p) {
    if (SameText1252(text.substr(p, part.size()), part)) return static_cast<int>(p) + 1;
  }
  return 0;
}

bool StripDoubleQuotes(std::string& text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  text = text.substr(1, text.size() - 2);
  return true;
}

std::string CStrToString(const char* bytes) {
  return bytes ? std::string(bytes) : std::string();
}

std::string BytesToString(const void* address, std::int64_t count) {
  if (address == nullptr || count < 1) return {};
  return std::string(static_cast<const char*>(address), static_cast<std::size_t>(count));
}

std::string BoolToText(bool value) {
  return value ? "True" : "False";
}

bool StripShortPrefixes(std::string& text) {
  bool removed = false;
  for (;;) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon > 3) break;
    text.erase(0, colon + 1);
    removed = true;
  }
  return removed;
}

bool CutBetween(std::string_view startMarker, std::string_view endMarker, std::string& text,
                bool withMarkers, std::string& piece) {
  piece.clear();
  if (startMarker.empty() && endMarker.empty()) {
    piece = std::move(text);
    text.clear();
    return true;
  }
  // 0-based positions of the markers.
  std::size_t f = 0;
  if (!startMarker.empty()) {
    f = text.find(startMarker);
    if (f == std::string::npos) return false;
  }
  std::size_t t;
  if (endMarker.empty()) {
    if (text.empty()) return false;
    t = text.size() - 1;
  } else {
    t = text.find(endMarker, f);
    if (t == std::string::npos) return false;
  }
  if (t <= f) return false;
  if (withMarkers) {
    std::size_t stop = endMarker.empty() ? text.size() : t + endMarker.size();
    piece = text.substr(f, stop - f);
    text.erase(f, stop - f);
  } else {
    std::size_t from = f + startMarker.size();
    std::size_t to = endMarker.empty() ? text.size() : t;
    // Markers that overlap leave nothing between them.
    if (to > from) {
      piece = text.substr(from, to - from);
      text.erase(from, to - from);
    }
  }
  return true;
}

bool TextBetween(std::string_view startMarker, std::string_view endMarker, std::string_view text,
                 bool withMarkers, std::string& piece) {
  std::string copy(text);
  return CutBetween(startMarker, endMarker, copy, withMarkers, piece);
}

void LongestCommonSubstring(std::string_view first, std::string_view second, int minLength,
                            std::string& result, bool caseSensitive) {
  result.clear();
  if (first.empty() || second.empty()) return;
  const std::string a = caseSensitive ? std::string(first) : LowerCase1252(first);
  const std::string b = caseSensitive ? std::string(second) : LowerCase1252(second);
  if (a == b) {
    result = first;
    return;
  }
  std::size_t bestStart = 0;
  std::size_t bestLength = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::size_t j = b.find(a[i]);
    if (j == std::string::npos) continue;
    std::size_t length = 0;
    while (i + length < a.size() && j + length < b.size() && a[i + length] == b[j + length]) {
      ++length;
    }
    if (length > bestLength) {
      bestStart = j;
      bestLength = length;
    }
  }
  if (bestLength == 0 || bestLength < static_cast<std::size_t>(std::max(minLength, 0))) return;
  result = second.substr(bestStart, bestLength);
}

void CommonSubstringsOfList(const TStringList& list, int minLength, bool caseSensitive,
                            std::string& result) {
  result.clear();
  struct TTally {
    std::string Piece;
    int Count;
  };
  std::vector<TTally> tallies;
  std::string piece;
  for (int i = 0; i < list.Count(); ++i) {
    for (int j = i + 1; j < list.Count(); ++j) {
      LongestCommonSubstring(list[i], list[j], minLength, piece, caseSensitive);
      if (piece.empty()) continue;
      auto found = std::find_if(tallies.begin(), tallies.end(),
                                [&](const TTally& t) { return SameText1252(t.Piece, piece); });
      if (found == tallies.end()) {
        tallies.push_back({piece, 1});
      } else {
        ++found->Count;
      }
    }
  }
  int best = 0;
  for (const auto& tally : tallies) {
    if (tally.Count > best) {
      best = tally.Count;
      result = tally.Piece;
    }
  }
}

}  // namespace halvorn
