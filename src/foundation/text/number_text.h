// Decimal numbers read from stored and received texts (settings values, side
// records, ports in links). Safe from any thread; never raises.
#pragma once

#include <cstdint>
#include <string_view>

namespace halvorn {

// Reads a whole decimal number: characters with codes up to 32 around it are
// ignored, one "+" or "-" may lead, then one or more digits and nothing else.
// False, with `value` unchanged, when the text is no such number or the
// number does not fit in 32 bits.
bool TryStrToInt(std::string_view text, std::int32_t& value);

// TryStrToInt's number, or `fallback` when the text is none.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

}  // namespace halvorn
