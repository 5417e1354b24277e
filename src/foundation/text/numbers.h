// Numbers: reading them from texts and writing them as texts, bits, and the
// small score functions the classifiers share.
//
// Every function works only on its arguments, never raises and is safe from
// any thread. Bit numbers outside the value's range test false and change
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn {

// ---------------------------------------------------------------------------
// Reading and writing numbers

// Reads the whole text as a decimal number with an optional "+" or "-" in
// front: at least one digit and nothing else (no blanks, no base prefix).
// False, with `value` unchanged, for any other text and for a number outside
// min .. max. The one reader of signed numbers in stored texts (log records,
// settings files, dates, entities).
bool ParseSignedDecimal(std::string_view text, std::int64_t min, std::int64_t max,
                        std::int64_t& value);
// ParseSignedDecimal within the range of 32 bits.
bool ParseInt32(std::string_view text, std::int32_t& value);
// ParseSignedDecimal of the text with the blanks and control characters
// around it ignored (IsSpaceOrControlChar), as values in settings lines, side
// records and links may carry them.
bool ParseTrimmedDecimal(std::string_view text, std::int64_t min, std::int64_t max,
                         std::int64_t& value);
// ParseTrimmedDecimal within the range of 32 bits.
bool TryStrToInt(std::string_view text, std::int32_t& value);
// TryStrToInt's number, or `fallback` when the text is none.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

// The shortest text that reads back as the same double, with "." as the
// decimal point whatever the locale: 0.5 gives "0.5", 1 gives "1", 1e-7
// gives "1e-07"; infinities and NaN give "inf", "-inf" and "nan".
std::string FloatToText(double value);
// Reads the text, blanks and control characters around it ignored, as a
// decimal floating-point number with "." as the decimal point (an exponent
// allowed, no hexadecimal form, no "inf" or "nan"). False, with `value`
// unchanged, for any other text.
bool TryStrToFloat(std::string_view text, double& value);
// The shortest text that reads back as the same double, in general form
// ("0.5", "44.5", "30", "1e-05"; "." in any locale): how reports write
// scores and network values.
std::string ShortestFloatText(double value);

// The value of a hexadecimal digit (0-9, a-f, A-F); -1 for any other
// character.
int HexDigitValue(char c);

// The last n characters (at most 8) of the value as 8 upper-case hexadecimal
// digits, most significant byte first.
std::string IntToHexDigits(std::uint32_t value, int n);
// A size in the largest unit that divides it exactly: answers the number and
// sets `unit` to "Giga", "Mega", "Kilo" or "" (0 gives 0 "Giga"). With
// truncateFirst, a value above 1000000000 (1000000, 1000) is first cut down to
// whole thousand millions (millions, thousands).
std::int64_t SizeToText(bool truncateFirst, std::int64_t value, std::string& unit);

// ---------------------------------------------------------------------------
// Bits

bool IsBitSet8(int bit, std::uint8_t value);
void SetBit8(int bit, std::uint8_t& value);
void ClearBit8(int bit, std::uint8_t& value);
bool IsBitSet32(int bit, std::uint32_t value);
void SetBit32(int bit, std::uint32_t& value);
void ClearBit32(int bit, std::uint32_t& value);
// The Gray code of the value: bit i set where bits i and i + 1 differ; bit 31
// is the value's bit 31.
std::uint32_t BitChangeMask(std::uint32_t value);

// ---------------------------------------------------------------------------
// Sorting and scores

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

}  // namespace halvorn
