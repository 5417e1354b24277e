// Runs the encoded-word decoder and the UU line codec on fuzzed header text.
// Besides crashes it checks that the decoder agrees with the plain
// restart-from-the-start reading of the algorithm, and that UU lines
// round-trip.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/text/encoded_words.h"
#include "support/encoded_words_reference.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string fast = DecodeEncodedWords(text);
  if (size <= 2048 && fast != test::SlowDecodeEncodedWords(text)) __builtin_trap();
  (void)IsDottedNumberText(text);

  try {
    (void)UUDecode(text);
  } catch (const std::runtime_error&) {
  }
  std::string_view chunk = text.substr(0, std::min<std::size_t>(size, 45));
  if (UUDecode(UUEncode(chunk)) != chunk) __builtin_trap();
  return 0;
}
