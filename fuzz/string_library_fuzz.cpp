// Runs the string library's matchers and converters on arbitrary bytes: the
// first byte chooses a start position, the rest splits into text and pattern.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/text/string_library.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int start = static_cast<std::int8_t>(data[0]);
  const std::size_t split = data[1] % (size - 1);
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string_view pattern = rest.substr(0, split);
  std::string_view text = rest.substr(split);

  int wildcardStart = start;
  const int length = halvorn::WildcardScan(text, pattern, wildcardStart);
  if (length != 0 && (wildcardStart <= 0 ||
                      static_cast<std::size_t>(wildcardStart - 1 + length) > text.size() + 1)) {
    __builtin_trap();  // a match must lie within the text and its end marker
  }
  const int mask = halvorn::PosMaskFrom(text, pattern, start);
  const int boyerMoore = halvorn::BoyerMoorePos(text, pattern, start);
  if (pattern.size() <= 256 && mask != boyerMoore) __builtin_trap();
  halvorn::PosFrom(text, pattern, start);

  const int percent = halvorn::SimilarityPercent(text.substr(0, 255), pattern.substr(0, 255));
  if (percent < 0 || percent > 100) __builtin_trap();
  halvorn::HexToInt(text);

  std::string scrambled(text);
  halvorn::Scramble(scrambled);
  halvorn::Unscramble(scrambled);
  if (scrambled != text) __builtin_trap();
  return 0;
}
