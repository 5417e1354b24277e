// Whole decimal numbers in stored texts (probability and statistics texts,
// the day numbers of unblock keys).
#pragma once

#include <cstdint>
#include <string_view>

namespace halvorn {

// Reads the text as one whole decimal number: blanks and control characters around it allowed, an
// optional "+" or "-", then digits only. True with `value` set when it reads
// and lies within [min, max]; otherwise false with `value` untouched.
bool TryDecimalToInt(std::string_view text, std::int64_t min, std::int64_t max,
                     std::int64_t& value);

}  // namespace halvorn
