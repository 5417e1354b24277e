// Three-valued arrays: yes, no or unknown for each of a run of numbered items
// (which tests fired on a message, what a test decided per sub-test).
//
// Two text forms are stored and sent: the plain form, one letter per entry
// ('y', 'n', 'u') cut after the last yes or no, and the compressed form, "!"
// followed by CompressText of the plain form.
//
// The functions keep no state; an array is guarded by whoever owns it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvorn {

// One value: 0 yes, 1 no, 2 unknown. Other byte values read as unknown.
using TTrite = std::uint8_t;
inline constexpr TTrite kTriteYes = 0;
inline constexpr TTrite kTriteNo = 1;
inline constexpr TTrite kTriteUnknown = 2;

// Entries are indexed from 0; entries beyond the end read as unknown.
using TTriteArray = std::vector<TTrite>;

// The highest index an array holds; TriteSet ignores higher ones.
inline constexpr int kTriteMaxIndex = 5000;

// The plain text form: empty for an empty array, "u" for a non-empty array
// without any yes or no.
std::string TriteArrayToText(const TTriteArray& array);

// "!" + CompressText of the plain form; empty for an empty array.
std::string TriteArrayToCompressedText(const TTriteArray& array);

// Reads either text form. In the plain form 'y' is yes, 'n' is no and every
// other character (capitals included) unknown; the array is cut after the
// last yes or no, keeping one unknown entry when there is none. A "!" form is
// expanded and read again, up to a few levels deep (deeper nesting reads as
// empty). Entries past the highest index are dropped. Raises
// ECompressionError when a compressed form cannot be expanded.
TTriteArray TriteArrayFromText(const std::string& text);

// Sets the length to 0.
void TriteArrayClear(TTriteArray& array);

// 'y' for 0, 'n' for 1, 'u' for anything else.
char TriteToChar(TTrite value);

// After lower-casing: 'y' gives 0, 'n' gives 1, anything else 2.
TTrite CharToTrite(char c);

// After lower-casing the whole text: exactly "y" gives 0, "n" gives 1,
// anything else 2.
TTrite TextToTrite(const std::string& text);

// True for yes (0).
bool TriteIsYes(TTrite value);

// Yes (0) for true, no (1) for false.
inline TTrite TriteFromBool(bool flag) { return flag ? kTriteYes : kTriteNo; }

// The entry at `index`, or unknown when the index is negative or at or
// beyond the end.
TTrite TriteGet(const TTriteArray& array, int index);

// Sets entry `index` to `value`, growing the array with unknown entries as
// needed. An index below 0 or above kTriteMaxIndex does nothing; with
// `onlyIfUnknown` an entry that is already yes or no is kept.
void TriteSet(TTriteArray& array, int index, TTrite value, bool onlyIfUnknown);

// TriteSet with yes for true and no for false.
void TriteSetBool(TTriteArray& array, int index, bool flag, bool onlyIfUnknown);

// Sets the entry to yes when `force` is set or it is yes already, else to no.
void TriteResolve(TTriteArray& array, int index, bool force);

}  // namespace halvorn
