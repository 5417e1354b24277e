#include "foundation/text/number_text.h"

#include <charconv>
#include <climits>

namespace halvorn {

namespace {

std::string_view TrimControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

}  // namespace

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  std::string_view digits = TrimControls(text);
  if (digits.empty()) return false;
  // from_chars takes "-" but not "+"; stored values may carry either.
  bool negative = false;
  if (digits[0] == '+' || digits[0] == '-') {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits[0] < '0' || digits[0] > '9') return false;
  std::int64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  const std::int64_t result = negative ? -magnitude : magnitude;
  if (result < INT32_MIN || result > INT32_MAX) return false;
  value = static_cast<std::int32_t>(result);
  return true;
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  std::int32_t value = fallback;
  return TryStrToInt(text, value) ? value : fallback;
}

}  // namespace halvorn
