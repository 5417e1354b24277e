// Runs the header decoder of encoded words and the ISO-2022-JP conversion on
// fuzzed header text. Besides crashes it checks that the linear decoder
// agrees with the plain recursive reading of its steps, and that neither
// output is longer than its input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/mime_words.h"
#include "support/mime_words_reference.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = DecodeMimeWords(text);
  if (decoded.size() > text.size()) __builtin_trap();
  if (size <= 2048 && decoded != test::ReferenceDecodeMimeWords(text)) __builtin_trap();
  if (JisToShiftJis(text).size() > text.size()) __builtin_trap();
  return 0;
}
