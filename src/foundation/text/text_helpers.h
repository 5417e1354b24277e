// Character classes and small operations on texts.
//
// Texts are byte strings; positions in them are 1-based with 0 meaning "not
// found". Every function works only on its arguments, never raises on
// ordinary input and is safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"

namespace halvorn {

// ---------------------------------------------------------------------------
// Character classes (one byte each)

constexpr bool IsAsciiChar(unsigned char c) {
  return c < 128;
}
constexpr bool IsUpperChar(unsigned char c) {
  return c >= 'A' && c <= 'Z';
}
constexpr bool IsLowerChar(unsigned char c) {
  return c >= 'a' && c <= 'z';
}
constexpr bool IsLetterChar(unsigned char c) {
  return IsUpperChar(c) || IsLowerChar(c);
}
constexpr bool IsLetterOrSpace(unsigned char c) {
  return IsLetterChar(c) || c == ' ';
}
constexpr bool IsControlChar(unsigned char c) {
  return c < 32;
}
// A blank in the narrow sense: tab or space.
constexpr bool IsBlankChar(unsigned char c) {
  return c == '\t' || c == ' ';
}
// A blank in the wide sense that trimming uses: a space or any control
// character (codes 0 to 32).
constexpr bool IsSpaceOrControlChar(unsigned char c) {
  return c <= ' ';
}
constexpr bool IsDigitChar(unsigned char c) {
  return c >= '0' && c <= '9';
}
constexpr bool IsVisibleChar(unsigned char c) {
  return c >= 33 && c <= 126;
}
constexpr bool IsInvisibleChar(unsigned char c) {
  return c < 33 || c > 126;
}
// Lower-case letters and the sentence marks ! . ?
constexpr bool IsSentenceChar(unsigned char c) {
  return IsLowerChar(c) || c == '!' || c == '.' || c == '?';
}
// A visible character other than " # % & ( ) * / ; < > [ \ ] { | }
bool IsAddressChar(unsigned char c);
// A space, or a visible character other than " * / : < > ? \ |
bool IsFileNameChar(unsigned char c);
// A visible character other than ! " # $ ( ) * , ; < > [ ] { | }
bool IsUrlSafeChar(unsigned char c);

// ---------------------------------------------------------------------------
// Texts

// Leading spaces removed; a longer result keeps only its last `width`
// characters; a shorter one gets `fill` put in front again and again until it
// is at least `width` long (an empty fill leaves it short).
std::string PadLeft(std::string_view text, int width, std::string_view fill);
// The text without its leading spaces (only the space character).
std::string TrimLeadingSpaces(std::string_view text);
// The text without leading and trailing spaces and control characters
// (IsSpaceOrControlChar).
std::string TrimText(std::string_view text);
// TrimText as a view into the caller's text, for parsers that must not copy;
// and the same at one end only.
std::string_view TrimTextView(std::string_view text);
std::string_view TrimLeftView(std::string_view text);
std::string_view TrimRightView(std::string_view text);

// First position of `part` in `text`, case-sensitive; 0 when absent or empty.
int PosOf(std::string_view part, std::string_view text);
// The same ignoring the case of ASCII letters; "?" in `part` matches any
// character (the string library's masked search).
int PosCI(std::string_view part, std::string_view text);
// Position of `part` in `text` at or after `start` (below 1 counts as 1),
// ignoring case by the code page 1252 table; 0 when absent or empty.
int FindTextCIFrom(std::string_view text, std::string_view part, int start);

// When the text (at least two characters) begins and ends with a double
// quote, removes both and answers true.
bool StripDoubleQuotes(std::string& text);
// The bytes up to the first zero byte; empty for a null pointer.
std::string CStrToString(const char* bytes);
// Exactly `count` bytes from `address`; empty for a null address or a count
// below 1.
std::string BytesToString(const void* address, std::int64_t count);
// "True" or "False".
std::string BoolToText(bool value);
// While the first ":" of the text stands at position 1 to 4, removes
// everything up to and including it (markers such as "Re:" and "Fw:"). True
// when anything was removed.
bool StripShortPrefixes(std::string& text);

// Cuts the piece between two markers out of `text`. The start marker is taken
// at its first occurrence f (1 when empty), the end marker at its first
// occurrence t at or after f (the text's length when empty). With both
// markers empty the piece is the whole text and the text becomes empty.
// Otherwise false, piece empty and text unchanged, when a marker is absent or
// t <= f. On success with `withMarkers` the piece runs from the start marker
// through the end marker and is removed with both; without, the piece is what
// lies between the markers and is removed while both markers stay.
bool CutBetween(std::string_view startMarker, std::string_view endMarker, std::string& text,
                bool withMarkers, std::string& piece);
// CutBetween on a copy: `text` stays unchanged.
bool TextBetween(std::string_view startMarker, std::string_view endMarker, std::string_view text,
                 bool withMarkers, std::string& piece);

// The longest piece both texts share, taken from `second` in its own case
// (only the first occurrence in `second` of each character of `first` is
// tried; the first of equally long pieces wins). Texts equal under the chosen
// case rule give `first` whatever its length. A result shorter than
// minLength is emptied; either text empty gives empty.
void LongestCommonSubstring(std::string_view first, std::string_view second, int minLength,
                            std::string& result, bool caseSensitive);
// The LongestCommonSubstring most often found over all pairs of lines (equal
// pieces counted together ignoring case); the earliest found on ties; empty
// when none.
void CommonSubstringsOfList(const TStringList& list, int minLength, bool caseSensitive,
                            std::string& result);

}  // namespace halvorn
