// Byte-string operations the rest of the program builds on: character
// classes, the wildcard matcher behind phrase wildcards, substring searches
// with a start position, a Boyer-Moore search, a similarity percentage of two
// short texts, hexadecimal conversion, the operating-system family test and
// the scrambler for stored passwords.
//
// Texts are 8-bit byte strings. Character classes and case folding are ASCII
// only: no locale is consulted. Positions are 1-based; 0 means "not found".
// Every search answers 0 when the text or the pattern is empty, when the start
// is 0 or when the start lies beyond the text. Texts longer than INT_MAX bytes
// are never found into (the searches answer 0).
//
// Nothing is kept between calls and the tables below are constant, so every
// function may be called from any thread at once.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvorn {

// A set of byte values: entry c is true when c belongs to the set.
using TCharSet = std::array<bool, 256>;

// A-Z, a-z and the space.
extern const TCharSet LetterOrSpaceSet;
// A-Z, a-z, 0-9 and the space.
extern const TCharSet WordSet;

// For each byte value, the same value with the case of an ASCII letter
// swapped (A-Z to a-z and back); every other value maps to itself.
extern const std::array<unsigned char, 256> CaseSwapTable;

// True when the text is not empty and every character is in the set.
bool IsAllInCharSet(std::string_view text, const TCharSet& set);

// IsAllInCharSet with LetterOrSpaceSet.
bool IsLettersAndSpaces(std::string_view text);

// Finds the first place at or after `start` where the pattern matches and
// answers the length of that match, setting `start` to its position; when
// nothing matches both the result and `start` are 0. A negative start means:
// ignore the case of ASCII letters and start at its absolute value.
//
// Pattern characters: '*' any run of characters (possibly empty); '?' any one
// character; '#' a digit; '@' an ASCII letter; '$' an ASCII letter or digit;
// '~' one character that is not an ASCII letter, digit or space; anything else
// stands for itself. The text is taken as followed by one character of value 0
// that only '?' and '~' match, so "c~" finds "c" at the end of a text (with
// length 2, which may reach one past the text's end).
int WildcardScan(std::string_view text, std::string_view pattern, int& start);

// One pattern character of WildcardScan against one text character, as the
// scanner decides it. `atEnd` stands for the value 0 that follows the text,
// which only '?' and '~' match. For matchers that must agree with the scanner.
bool WildcardCharMatches(unsigned char p, unsigned char c, bool atEnd, bool ignoreCase);

// Position of the first occurrence of the pattern at or after `start`, '?' in
// the pattern matching any character. A negative start searches from its
// absolute value and ignores the case of ASCII letters.
int PosMaskFrom(std::string_view text, std::string_view pattern, int start);

// Position of the first exact occurrence of `sub` at or after `start`
// (1 or more; anything less answers 0).
int PosFrom(std::string_view text, std::string_view sub, int start);

// Like PosMaskFrom (same answers, '?' and a negative start included), by a
// Boyer-Moore search; fast on long texts. Patterns of 1 to 256 characters; a
// longer pattern answers 0.
int BoyerMoorePos(std::string_view text, std::string_view pattern, int start);

// How alike two short texts are, 0 to 100: twice the number of characters in
// common runs (longest run first, then recursively left and right of it) per
// hundred characters of both texts, rounded. 0 when either text is empty or
// longer than 255 characters.
int SimilarityPercent(std::string_view a, std::string_view b);

// Reads a hexadecimal number: characters below '0' are skipped, '0'-'9' and
// 'A'-'F' are digits, and any character above 'F' (lower-case letters included) ends
// the number. The characters ':' to '@' (between '9' and 'A') are read as
// the digits 3 to 9, continuing the count down from 'A' = 10; they occur only
// in malformed input and give a defined value there. Only the last eight
// digits count (higher digits fall off the 32-bit value). Empty text gives 0.
std::uint32_t HexToInt(std::string_view text);

// Scrambles (unscrambles) a text in place for storing passwords. Only the
// characters 32 to 127 change, and they stay within 32 to 127; every other
// character keeps its place and value. Unscramble(Scramble(x)) == x for every
// text. The tables are fixed: stored texts depend on them.
void Scramble(std::string& text);
void Unscramble(std::string& text);

// True when the program runs on the operating-system family with the full
// process, security and threading model. Linux always does, so this answers
// true; callers use it to choose the richer of two code paths.
bool IsWindowsNT();

}  // namespace halvorn
