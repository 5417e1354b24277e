// Small operations every subsystem uses: character classes, texts, string
// lists and comma texts, files and file types, numbers and bits, threads and
// the developer-mode switch.
//
// Texts are byte strings; positions in them are 1-based with 0 meaning "not
// found". Unless said otherwise every function works only on its arguments,
// never raises on ordinary input (missing files and folders give the empty,
// false or -1 answers documented below) and is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/time/date_time.h"
#include "foundation/text/string_list.h"

namespace halvorn {

// ---------------------------------------------------------------------------
// Character classes (one byte each)

inline bool IsAsciiChar(unsigned char c) {
  return c < 128;
}
inline bool IsUpperChar(unsigned char c) {
  return c >= 'A' && c <= 'Z';
}
inline bool IsLowerChar(unsigned char c) {
  return c >= 'a' && c <= 'z';
}
inline bool IsLetterChar(unsigned char c) {
  return IsUpperChar(c) || IsLowerChar(c);
}
inline bool IsLetterOrSpace(unsigned char c) {
  return IsLetterChar(c) || c == ' ';
}
inline bool IsControlChar(unsigned char c) {
  return c < 32;
}
inline bool IsBlankChar(unsigned char c) {
  return c == '\t' || c == ' ';
}
inline bool IsDigitChar(unsigned char c) {
  return c >= '0' && c <= '9';
}
inline bool IsVisibleChar(unsigned char c) {
  return c >= 33 && c <= 126;
}
inline bool IsInvisibleChar(unsigned char c) {
  return c < 33 || c > 126;
}
// Lower-case letters and the sentence marks ! . ?
inline bool IsSentenceChar(unsigned char c) {
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
// The text without leading and trailing characters with codes up to 32.
std::string TrimText(std::string_view text);

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
// The last n characters (at most 8) of the value as 8 upper-case hexadecimal
// digits, most significant byte first.
std::string IntToHexDigits(std::uint32_t value, int n);
// A size in the largest unit that divides it exactly: answers the number and
// sets `unit` to "Giga", "Mega", "Kilo" or "" (0 gives 0 "Giga"). With
// truncateFirst, a value above 1000000000 (1000000, 1000) is first cut down to
// whole thousand millions (millions, thousands).
std::int64_t SizeToText(bool truncateFirst, std::int64_t value, std::string& unit);
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

// 32 lower-case (upper-case) hexadecimal digits of the text's MD5 digest.
std::string MD5Hex(std::string_view text);
std::string MD5HexUpper(std::string_view text);
// The exclusive-or of the digest's four 32-bit words (little-endian).
std::uint32_t HashText(std::string_view text);

// Shows a plain message box with the text unless `quiet` is set. Belongs on
// the main thread; does nothing until the event loop installs its hook.
void ShowMessageUnlessQuiet(const std::string& text, bool quiet);
// The environment variable's value, empty when it is not set.
std::string GetEnvironmentVar(const std::string& name);

// ---------------------------------------------------------------------------
// String lists and comma texts

// Appends the pieces of `text` between occurrences of `separator`; an empty
// last piece is not appended (empty pieces elsewhere are). An empty separator
// appends the whole text when it is not empty.
void SplitToList(std::string_view text, std::string_view separator, TStringList& list);
// The lines joined with the separator between them; empty for an empty list.
std::string JoinStringList(const TStringList& list, std::string_view separator);
// Clears the list and appends each "&"-separated piece of the text
// URL-decoded; an empty last piece is not appended.
void SplitAmpersandList(std::string_view text, TStringList& list);
void ReverseStringList(TStringList& list);
// TrimText on every line.
void TrimStringList(TStringList& list);
// With `sorted`, sorts the list and removes every line exactly equal to an
// earlier one; otherwise RemoveDuplicateLinesUnsorted. Equality is exact.
void RemoveDuplicateLines(TStringList& list, bool sorted);
// Removes every line exactly equal to an earlier one; first occurrences keep
// their places.
void RemoveDuplicateLinesUnsorted(TStringList& list);
// Writes the list out as text lines and reads it back, so that line breaks
// inside lines split them. True when the number of lines changed.
bool ListRoundTripChanged(TStringList& list);
// Bubble sort: passes over adjacent pairs, exchanging a pair whenever
// compare(a, b) > 0, until a pass exchanges nothing (at most Count() passes,
// so an inconsistent comparison cannot loop for ever).
void BubbleSortList(TStringList& list,
                    const std::function<int(const std::string&, const std::string&)>& compare);
// Lines up the "~" marks of the lines in columns: pass by pass the first "~"
// of every line is removed and the text after it moved to the largest such
// position over all lines (capped at maxColumn) by inserting spaces.
void AlignTildeColumns(TStringList& list, int maxColumn);
// Cuts lines longer than `width` after the last space at or before position
// `width` (else after the first space past it); the rest becomes the next
// line, indented like the cut line when keepIndent is set. A line without a
// usable space stays whole. Leading spaces never serve as the break.
void WrapLongLines(TStringList& list, int width, bool keepIndent);
// Appends `fill` to every line shorter than `width` until it is that long.
void PadLinesRight(TStringList& list, int width, char fill);

// The value of a name in the name=value lines of a comma text (of a text of
// lines); names match ignoring case. Empty when absent.
std::string CommaTextValue(std::string_view commaText, std::string_view name);
std::string LinesValue(std::string_view text, std::string_view name);
// Sets name=value in the lines of the comma text and writes it back (an
// empty value removes the name).
void CommaTextSetValue(std::string_view name, std::string_view value, std::string& commaText);
// The comma text of the text's lines.
std::string TextToCommaText(std::string_view text);
// The lines of the comma text joined by CR LF (no break after the last).
std::string CommaTextToLines(std::string_view commaText);
// A text empty or exactly two double quotes yields to the other; otherwise
// the lines of the second are appended to those of the first and, unless
// keepDuplicates, later repeats removed. Answers the combined comma text.
std::string MergeCommaTexts(std::string_view first, std::string_view second, bool keepDuplicates);

// ---------------------------------------------------------------------------
// Files and file types. Folder paths use "/"; masks take "*" and "?" and
// match names ignoring case ("*.*" matches every name).

// True when the name matches the mask in the way the file helpers use.
bool MatchesFileMask(std::string_view name, std::string_view mask);
// Appends every subfolder of the folder, each path ending in "/", in name
// order; with `recursive` each one's own subfolders follow it. Symbolic links
// to folders are neither listed nor entered, so a link loop cannot make the
// walk endless.
void ListSubfolders(const std::string& folder, bool recursive, TStringList& list);
// With a folder name longer than 1 character that exists, appends the path of
// every file (not folder) in it matching the mask, in name order, until the
// list holds maxCount lines; then, while below that and with withSubfolders,
// the same for every subfolder of ListSubfolders (recursive).
void ListFilesInDir(const std::string& folder, const std::string& mask, bool withSubfolders,
                    int maxCount, TStringList& list);
// Deletes every file of the folder (not its subfolders) that matches the mask
// and was created before the date (a date-time taken as it stands, with no
// time-zone conversion; the creation time is the file system's birth time, or
// the modification time where it keeps none). Answers the number of files
// actually deleted: a file that could not be deleted is not counted. -1 when
// the folder does not exist or the date is no valid date-time.
int DeleteFilesOlderThan(const std::string& folder, const std::string& mask, TDateTime date);
// The size in bytes of the first file matching the path (its name part may
// hold a mask); -1 when there is none.
std::int64_t FileSizeOf(const std::string& path);
// Appends the text to the file, creating it when missing unless onlyExisting.
// False for an empty text, a missing file with onlyExisting, or a failed
// write.
bool AppendTextToFile(std::string_view text, const std::string& path, bool onlyExisting);
// The extension of a file name with its dot (".txt"), trailing dots of the
// name dropped first; empty when there is none.
std::string GetFileExtension(std::string_view fileName);
// The content type of an extension (a dot is put in front when missing).
// When unknown: "application/octet-stream" and false.
bool ContentTypeForExtension(std::string_view extension, std::string& type);
bool ContentTypeForFileName(std::string_view fileName, std::string& type);
// The preferred extension of a content type. When unknown: ".txt" and false.
bool ExtensionForContentType(std::string_view type, std::string& extension);
// The program that opens files of the extension. Linux keeps no such
// registration the program could read reliably, so the answer is always
// empty and callers fall back as they do for an unregistered type.
std::string ProgramForExtension(std::string_view extension);

// ---------------------------------------------------------------------------
// Numbers and bits. Bit numbers outside the value's range test false and
// change nothing.

bool IsBitSet8(int bit, std::uint8_t value);
void SetBit8(int bit, std::uint8_t& value);
void ClearBit8(int bit, std::uint8_t& value);
bool IsBitSet32(int bit, std::uint32_t value);
void SetBit32(int bit, std::uint32_t& value);
void ClearBit32(int bit, std::uint32_t& value);
// The Gray code of the value: bit i set where bits i and i + 1 differ; bit 31
// is the value's bit 31.
std::uint32_t BitChangeMask(std::uint32_t value);
// Bubble sort of entries 0 .. lastIndex (clamped to the array).
void SortCardinalArray(std::vector<std::uint32_t>& values, int lastIndex, bool ascending);
// The index of the first entry above the value over lastIndex + 1; 0.5 when
// lastIndex is below 1; 0.99 when no entry is above the value.
double PercentileRank(const std::vector<std::uint32_t>& sorted, int lastIndex, std::uint32_t value);
// 0 at or below low, 1 at or above high, ((value - low) / (high - low)) ^
// |exponent| between; 1 minus that when the exponent is negative.
double RampScore(double exponent, double value, double low, double high);
// ((2p - 1)^3 + 1) / 2: a probability pushed away from 0.5.
double SharpenProbability(double p);

// ---------------------------------------------------------------------------
// Threads and messages

// The calling thread is the program's main thread.
bool IsMainThread();
// On the main thread, lets the event loop handle its pending messages and
// answers true; elsewhere does nothing and answers false.
bool ProcessMessagesIfMain();
// Worker threads have no window messages on Linux (they report through the
// main thread's queue), so there is nothing to pump: does nothing.
void PumpThreadMessages(std::intptr_t window);
// False for 0 and -1 (the two "no handle" values); true for anything else,
// as the platform offers no general way to ask about a handle.
bool IsValidHandle(std::intptr_t handle);

// ---------------------------------------------------------------------------
// Developer mode

// Stores the program's command-line arguments (argv[1] on) for the developer
// switch. main() calls it first thing; safe from any thread.
void SetCommandLine(int argc, const char* const* argv);
// The developer switch, worked out anew at every call: the host name equals
// the developer host name (none is set, so it never does), some command-line
// argument is "-Vostek" ignoring case, or the environment variable
// "IsVostek" is exactly "Yes".
bool IsDeveloperMode();

namespace detail {
// Test seam: replaces the function DeleteFilesOlderThan deletes a file with
// (true when deleted); an empty function restores the real one.
void SetDeleteFileForTests(std::function<bool(const std::string&)> deleteFile);
}  // namespace detail

}  // namespace halvorn
