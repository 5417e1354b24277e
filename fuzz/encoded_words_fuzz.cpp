// Runs the encoded-word decoder and the UU line codec on fuzzed header text.
// Besides crashes it checks that the decoder agrees with the plain
// restart-from-the-start reading of the algorithm, and that UU lines
// round-trip.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/encoded_words.h"

using namespace halvorn;

namespace {

// Finds the first word, replaces it, and scans again from the start (after
// any U word that is left as written).
std::string SlowDecode(std::string_view input) {
  std::string text = TrimBlanks(input);
  std::size_t from = 0;
  for (;;) {
    std::size_t start = text.find("=?", from);
    if (start == std::string::npos) break;
    std::size_t q = text.find('?', start + 2);
    if (q == std::string::npos) break;
    std::size_t end = text.find("?=", q + 1);
    if (end == std::string::npos) break;
    std::size_t further = text.find('?', end + 1);
    if (further != std::string::npos && further + 1 < text.size() && text[further + 1] == '=')
      end = further;
    std::string decoded;
    try {
      decoded = DecodeEncodedWordInner(std::string_view(text).substr(q + 1, end - q - 1));
    } catch (const std::runtime_error&) {
      from = end + 2;
      continue;
    }
    text.replace(start, end + 2 - start, decoded);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string fast = DecodeEncodedWords(text);
  if (size <= 2048 && fast != SlowDecode(text)) __builtin_trap();
  (void)IsDottedNumberText(text);

  try {
    (void)UUDecode(text);
  } catch (const std::runtime_error&) {
  }
  std::string_view chunk = text.substr(0, std::min<std::size_t>(size, 45));
  if (UUDecode(UUEncode(chunk)) != chunk) __builtin_trap();
  return 0;
}
