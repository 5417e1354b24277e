// Whether a short text (a subject) looks like random characters rather than
// writing: its pairs of adjacent characters are compared with a table of how
// often each pair occurs in ordinary text.
//
// Pairs. A pair of two CRs is skipped. Otherwise both characters are mapped
// (TAB, LF and CR to the blank; other bytes below 32 or above 126 to 127, so
// a UTF-8 text counts each byte above 126 as 127) and the pair is counted
// (P). A pair holding the blank or 127 is counted but not scored; the other
// pairs are scored with the table's count v of the two characters.
//
// The table: 96 x 96 counts, row-major, rows and columns for the codes 32 to
// 127; the entry of (a, b) is at (a - 32) * 96 + (b - 32). From a table come
// M = sum of its entries / 9025 and L = sum of ln(count + 1) / 9025 (9025,
// not 9216). The built-in table's are computed once per process.
//
// Pure functions; safe from any thread at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace halvorn {

inline constexpr std::size_t kBigramTableSize = 96 * 96;
using TBigramTable = std::array<std::uint16_t, kBigramTableSize>;

// The built-in table (bigram_counts.cpp, made by
// scripts/make-bigram-counts.py from the training ham).
extern const TBigramTable BigramCounts;

// M and L of a table (see the top of this file).
double BigramTableMean(const TBigramTable& table);
double BigramTableLogMean(const TBigramTable& table);

// (sum of ln(v + 1) over the scored pairs / P) / L. -1 when the text has no
// pair, and -1 too when it has pairs but none is scored (blanks only, or a
// text wholly outside 33 to 126): such a text gives no verdict.
double LogBigramScore(std::string_view text, const TBigramTable& table);
// With U the scored pairs whose count is 0: x = (U / P) * M^2 + 1; 1 when
// x^2 > 10, else 0. -1 when the text has no pair.
double UnseenBigramScore(std::string_view text, const TBigramTable& table);

// LogBigramScore with the built-in table is not -1 and is below 1.
bool IsRandomLogScore(std::string_view text);
// UnseenBigramScore with the built-in table is not -1 and is above 0.
bool IsRandomUnseenScore(std::string_view text);

}  // namespace halvorn
