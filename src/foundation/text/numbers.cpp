#include "foundation/text/numbers.h"

#include "foundation/text/text_helpers.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <limits>
#include <utility>

namespace halvorn {

// ---------------------------------------------------------------------------
// Reading and writing numbers

std::string ShortestFloatText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general);
  return std::string(buffer, result.ptr);
}

bool ParseSignedDecimal(std::string_view text, std::int64_t min, std::int64_t max,
                        std::int64_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  // The magnitude is gathered unsigned and stopped as soon as it passes the
  // largest one the range allows, so no text can overflow it.
  const std::uint64_t limit = negative ? (min < 0 ? static_cast<std::uint64_t>(-(min + 1)) + 1 : 0)
                                       : (max > 0 ? static_cast<std::uint64_t>(max) : 0);
  std::uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (digit > limit || magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  std::int64_t result;
  if (negative) {
    result = magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
  } else {
    result = static_cast<std::int64_t>(magnitude);
  }
  if (result < min || result > max) return false;
  value = result;
  return true;
}

bool ParseInt32(std::string_view text, std::int32_t& value) {
  std::int64_t wide = 0;
  if (!ParseSignedDecimal(text, std::numeric_limits<std::int32_t>::min(),
                          std::numeric_limits<std::int32_t>::max(), wide))
    return false;
  value = static_cast<std::int32_t>(wide);
  return true;
}

std::string FloatToText(double value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) return {};
  return std::string(buffer, end);
}

bool TryStrToFloat(std::string_view text, double& value) {
  text = TrimTextView(text);
  if (text.empty()) return false;
  // from_chars takes no "+" and reads "inf" and "nan": both are refused here.
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == 'e' || c == 'E' || c == '+'))
      return false;
  }
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '-') return false;
  }
  double read = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), read, std::chars_format::general);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  value = read;
  return true;
}

bool ParseTrimmedDecimal(std::string_view text, std::int64_t min, std::int64_t max,
                         std::int64_t& value) {
  return ParseSignedDecimal(TrimTextView(text), min, max, value);
}

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  std::int64_t parsed;
  if (!ParseTrimmedDecimal(text, INT32_MIN, INT32_MAX, parsed)) return false;
  value = static_cast<std::int32_t>(parsed);
  return true;
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  std::int32_t value = fallback;
  return TryStrToInt(text, value) ? value : fallback;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string IntToHexDigits(std::uint32_t value, int n) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string digits(8, '0');
  for (int i = 7; i >= 0; --i) {
    digits[i] = kHex[value & 0x0F];
    value >>= 4;
  }
  if (n <= 0) return {};
  if (n >= 8) return digits;
  return digits.substr(8 - n);
}

std::int64_t SizeToText(bool truncateFirst, std::int64_t value, std::string& unit) {
  constexpr std::int64_t kGiga = 1000000000;
  constexpr std::int64_t kMega = 1000000;
  constexpr std::int64_t kKilo = 1000;
  if (truncateFirst) {
    if (value > kGiga) {
      value -= value % kGiga;
    } else if (value > kMega) {
      value -= value % kMega;
    } else if (value > kKilo) {
      value -= value % kKilo;
    }
  }
  if (value % kGiga == 0) {
    unit = "Giga";
    return value / kGiga;
  }
  if (value % kMega == 0) {
    unit = "Mega";
    return value / kMega;
  }
  if (value % kKilo == 0) {
    unit = "Kilo";
    return value / kKilo;
  }
  unit.clear();
  return value;
}

// ---------------------------------------------------------------------------
// Bits

bool IsBitSet8(int bit, std::uint8_t value) {
  return bit >= 0 && bit < 8 && (value >> bit) & 1;
}

void SetBit8(int bit, std::uint8_t& value) {
  if (bit >= 0 && bit < 8) value = static_cast<std::uint8_t>(value | (1u << bit));
}

void ClearBit8(int bit, std::uint8_t& value) {
  if (bit >= 0 && bit < 8) value = static_cast<std::uint8_t>(value & ~(1u << bit));
}

bool IsBitSet32(int bit, std::uint32_t value) {
  return bit >= 0 && bit < 32 && (value >> bit) & 1u;
}

void SetBit32(int bit, std::uint32_t& value) {
  if (bit >= 0 && bit < 32) value |= (1u << bit);
}

void ClearBit32(int bit, std::uint32_t& value) {
  if (bit >= 0 && bit < 32) value &= ~(1u << bit);
}

std::uint32_t BitChangeMask(std::uint32_t value) {
  return value ^ (value >> 1);
}

// ---------------------------------------------------------------------------
// Sorting and scores

void SortCardinalArray(std::vector<std::uint32_t>& values, int lastIndex, bool ascending) {
  const int last = std::min(lastIndex, static_cast<int>(values.size()) - 1);
  for (bool exchanged = true; exchanged;) {
    exchanged = false;
    for (int i = 0; i < last; ++i) {
      bool outOfOrder = ascending ? values[i] > values[i + 1] : values[i] < values[i + 1];
      if (outOfOrder) {
        std::swap(values[i], values[i + 1]);
        exchanged = true;
      }
    }
  }
}

double PercentileRank(const std::vector<std::uint32_t>& sorted, int lastIndex,
                      std::uint32_t value) {
  const int last = std::min(lastIndex, static_cast<int>(sorted.size()) - 1);
  if (last < 1) return 0.5;
  for (int i = 0; i <= last; ++i) {
    if (sorted[i] > value) return static_cast<double>(i) / (last + 1);
  }
  return 0.99;
}

double RampScore(double exponent, double value, double low, double high) {
  if (value <= low) return 0;
  if (value >= high) return 1;
  double score = std::pow((value - low) / (high - low), std::fabs(exponent));
  return exponent < 0 ? 1 - score : score;
}

double SharpenProbability(double p) {
  double d = 2 * p - 1;
  return (d * d * d + 1) / 2;
}

}  // namespace halvorn
