#include "message/decimal_text.h"

#include <charconv>

#include "foundation/text/general_helpers.h"

namespace halvorn {

bool TryDecimalToInt(std::string_view text, std::int64_t min, std::int64_t max,
                     std::int64_t& value) {
  const std::string trimmed = TrimText(text);
  std::string_view digits = trimmed;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  // from_chars would take a sign of its own after ours.
  if (digits.empty() || !IsDigitChar(static_cast<unsigned char>(digits[0]))) return false;
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return false;
  std::int64_t result = negative ? -static_cast<std::int64_t>(magnitude)
                                 : static_cast<std::int64_t>(magnitude);
  if (result < min || result > max) return false;
  value = result;
  return true;
}

}  // namespace halvorn
