#include "foundation/text/scrambled_texts.h"

#include <cstdint>

#include "foundation/text/numbers.h"
#include "foundation/text/random_texts.h"
#include "foundation/text/string_library.h"
#include "foundation/text/text_compression.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {
namespace {

bool IsLetterOrDigit(char c) {
  return IsLetterChar(static_cast<unsigned char>(c)) || IsDigitChar(static_cast<unsigned char>(c));
}

}  // namespace

std::string ScrambleText(const std::string& text) {
  std::string copy = text;
  Scramble(copy);
  return copy;
}

std::string UnscrambleText(const std::string& text) {
  std::string copy = text;
  Unscramble(copy);
  return copy;
}

std::string MakeScrambledNumberText(std::int64_t number) {
  return Base64Encode(ScrambleText(RandomPrintable(2) + std::to_string(number)));
}

bool ReadScrambledNumberText(const std::string& token, std::int64_t& number) {
  std::string plain = UnscrambleText(Base64Decode(token));
  if (plain.size() < 3 || !IsLetterOrDigit(plain[0]) || !IsLetterOrDigit(plain[1])) return false;
  return ParseSignedDecimal(std::string_view(plain).substr(2), INT64_MIN, INT64_MAX, number);
}

int ReplaceWithRandomText(const std::string& part, const std::string& text) {
  // Overwriting each occurrence with a random text of the part's length and
  // searching again from the start ends at the last non-overlapping
  // occurrence; finding those directly gives the same answer without the
  // chance that a random text forms a new occurrence with its neighbours.
  if (part.empty()) return 0;
  std::size_t last = std::string::npos;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = text.find(part, from);
    if (at == std::string::npos) break;
    last = at;
    from = at + part.size();
  }
  return last == std::string::npos ? 0 : static_cast<int>(last + 1);
}

}  // namespace halvorn
