#include "foundation/text/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace halvorn {
namespace {

TEST(NumbersTest, SignedDecimalsFillTheWholeTextWithinTheirRange) {
  constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
  struct Row {
    const char* text;
    std::int64_t min, max;
    bool ok;
    std::int64_t value;
  };
  const Row rows[] = {
      {"0", -10, 10, true, 0},
      {"-0", -10, 10, true, 0},
      {"+7", -10, 10, true, 7},
      {"-10", -10, 10, true, -10},
      {"0010", -10, 10, true, 10},  // leading zeros are digits like any other
      {"11", -10, 10, false, 0},
      {"-11", -10, 10, false, 0},
      {"-1", 0, 10, false, 0},  // a range without negatives
      {"-0", 0, 10, true, 0},
      {"-18446744073709551616", 0, 10, false, 0},  // 2^64 must not wrap round to 0
      {"-99999999999999999999", 0, 10, false, 0},
      {"5", 0, 0, false, 0},
      {"", -10, 10, false, 0},
      {"+", -10, 10, false, 0},
      {"-", -10, 10, false, 0},
      {"+-1", -10, 10, false, 0},
      {" 1", -10, 10, false, 0},  // no blanks: callers trim first
      {"1 ", -10, 10, false, 0},
      {"1a", -10, 10, false, 0},
      {"0x1", -10, 10, false, 0},
      {"9223372036854775807", kMin64, kMax64, true, kMax64},
      {"-9223372036854775808", kMin64, kMax64, true, kMin64},
      {"9223372036854775808", kMin64, kMax64, false, 0},
      {"-9223372036854775809", kMin64, kMax64, false, 0},
      {"99999999999999999999999999999999", kMin64, kMax64, false, 0},  // no overflow
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::int64_t value = 12345;
    EXPECT_EQ(ParseSignedDecimal(row.text, row.min, row.max, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 12345) << "a refused text leaves the value alone";
  }

  std::int32_t value32 = 0;
  EXPECT_TRUE(ParseInt32("-2147483648", value32));
  EXPECT_EQ(value32, std::numeric_limits<std::int32_t>::min());
  EXPECT_TRUE(ParseInt32("+2147483647", value32));
  EXPECT_EQ(value32, std::numeric_limits<std::int32_t>::max());
  EXPECT_FALSE(ParseInt32("2147483648", value32));
  EXPECT_FALSE(ParseInt32("-2147483649", value32));
  EXPECT_EQ(value32, std::numeric_limits<std::int32_t>::max());
}

// Stored probabilities and thresholds: written in the shortest form that
// reads back exactly, with "." whatever the locale, and read back strictly.
TEST(NumbersTest, FloatsAsShortTextsAndBack) {
  struct Written {
    double value;
    const char* text;
  } written[] = {{0.5, "0.5"}, {1, "1"}, {0, "0"}, {0.57, "0.57"}, {-1, "-1"},
                 {1e-7, "1e-07"}, {0.1 + 0.2, "0.30000000000000004"}};
  for (const Written& row : written) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(FloatToText(row.value), row.text);
    double back = 12345;
    ASSERT_TRUE(TryStrToFloat(FloatToText(row.value), back));
    EXPECT_EQ(back, row.value);
  }
  struct Read {
    const char* text;
    bool ok;
    double value;
  } read[] = {{" 0.25\t", true, 0.25}, {"+2", true, 2}, {"-2.5e1", true, -25}, {".5", true, 0.5},
              {"", false, 0},         {"0,5", false, 0}, {"inf", false, 0},  {"nan", false, 0},
              {"+-1", false, 0},      {"1x", false, 0},  {"0x1p3", false, 0}, {"+", false, 0}};
  for (const Read& row : read) {
    SCOPED_TRACE(row.text);
    double value = 12345;
    EXPECT_EQ(TryStrToFloat(row.text, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 12345);
  }
}

TEST(NumbersTest, HexDigitValues) {
  const std::string digits = "0123456789abcdefABCDEF";
  const int values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                        11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
  for (std::size_t i = 0; i < digits.size(); ++i) EXPECT_EQ(HexDigitValue(digits[i]), values[i]);
  for (char c : std::string("/:@G`gxX \x80\xff")) EXPECT_EQ(HexDigitValue(c), -1) << c;
  EXPECT_EQ(HexDigitValue('\0'), -1);
}

TEST(NumbersTest, NumbersAndBits) {
  std::uint8_t byte = 0;
  SetBit8(7, byte);
  SetBit8(8, byte);  // out of range: no change
  SetBit8(-1, byte);
  EXPECT_EQ(byte, 0x80);
  EXPECT_TRUE(IsBitSet8(7, byte));
  EXPECT_FALSE(IsBitSet8(8, 0xFF));
  ClearBit8(7, byte);
  EXPECT_EQ(byte, 0);
  std::uint32_t word = 0;
  SetBit32(31, word);
  SetBit32(32, word);
  EXPECT_EQ(word, 0x80000000u);
  EXPECT_TRUE(IsBitSet32(31, word));
  EXPECT_FALSE(IsBitSet32(32, 0xFFFFFFFFu));
  ClearBit32(31, word);
  EXPECT_EQ(word, 0u);

  for (std::uint32_t value : {0u, 1u, 2u, 3u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
    SCOPED_TRACE(value);
    std::uint32_t mask = BitChangeMask(value);
    for (int i = 0; i < 31; ++i) {
      EXPECT_EQ((mask >> i) & 1, ((value >> i) ^ (value >> (i + 1))) & 1);
    }
    EXPECT_EQ(mask >> 31, value >> 31);
  }

  std::vector<std::uint32_t> values{5, 0xFFFFFFFFu, 1, 3, 99};
  SortCardinalArray(values, 3, true);  // only entries 0 to 3
  EXPECT_EQ(values, (std::vector<std::uint32_t>{1, 3, 5, 0xFFFFFFFFu, 99}));
  SortCardinalArray(values, 10, false);
  EXPECT_EQ(values, (std::vector<std::uint32_t>{0xFFFFFFFFu, 99, 5, 3, 1}));

  const std::vector<std::uint32_t> sorted{10, 20, 30, 40};
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 3, 5), 0);
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 3, 20), 0.5);
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 3, 40), 0.99);
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 0, 5), 0.5);
  EXPECT_DOUBLE_EQ(PercentileRank({}, 5, 5), 0.5);  // a last index past the array is clamped

  EXPECT_DOUBLE_EQ(RampScore(2, 0, 1, 3), 0);
  EXPECT_DOUBLE_EQ(RampScore(2, 3, 1, 3), 1);
  EXPECT_DOUBLE_EQ(RampScore(2, 2, 1, 3), 0.25);
  EXPECT_DOUBLE_EQ(RampScore(-2, 2, 1, 3), 0.75);
  EXPECT_DOUBLE_EQ(SharpenProbability(0.5), 0.5);
  EXPECT_DOUBLE_EQ(SharpenProbability(1), 1);
  EXPECT_DOUBLE_EQ(SharpenProbability(0.75), 0.5625);

  struct Size {
    bool truncate;
    std::int64_t value;
    std::int64_t number;
    std::string unit;
  };
  const Size sizes[] = {
      {false, 1500, 1500, ""},       {false, 3000000, 3, "Mega"}, {false, 0, 0, "Giga"},
      {false, 2000, 2, "Kilo"},      {true, 1500, 1, "Kilo"},     {true, 3456789, 3, "Mega"},
      {true, 7999999999, 7, "Giga"}, {true, 1000, 1, "Kilo"},     {false, 5000000000, 5, "Giga"},
      {true, 999, 999, ""},
  };
  for (const auto& row : sizes) {
    SCOPED_TRACE(row.value);
    std::string unit = "stale";
    EXPECT_EQ(SizeToText(row.truncate, row.value, unit), row.number);
    EXPECT_EQ(unit, row.unit);
  }

  EXPECT_EQ(IntToHexDigits(0x1A2B3C4D, 8), "1A2B3C4D");
  EXPECT_EQ(IntToHexDigits(0x1A2B3C4D, 2), "4D");
  EXPECT_EQ(IntToHexDigits(255, 12), "000000FF");
}
TEST(NumbersTest, TryStrToIntIgnoresBlanksAndControlsAround) {
  const struct {
    std::string text;
    bool ok;
    std::int32_t value;
  } rows[] = {
      {"0", true, 0},           {"6173", true, 6173},   {" 8\t", true, 8},
      {"+12", true, 12},        {"-40", true, -40},     {"005", true, 5},
      {"2147483647", true, 2147483647},                 {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"99999999999", false, 0},
      {"", false, 0},           {"  ", false, 0},       {"-", false, 0},
      {"12a", false, 0},        {"1 2", false, 0},      {"0x10", false, 0},
      {"abc", false, 0},        {"--1", false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::int32_t value = 777;
    EXPECT_EQ(TryStrToInt(row.text, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 777);
    EXPECT_EQ(StrToIntDef(row.text, -9), row.ok ? row.value : -9);
  }
}

}  // namespace
}  // namespace halvorn
