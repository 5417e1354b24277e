#include "foundation/text/scrambled_texts.h"

#include <charconv>

#include "foundation/text/random_texts.h"
#include "foundation/text/string_library.h"
#include "foundation/text/text_compression.h"

namespace halvorn {

namespace {

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
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
  if (plain.size() < 3 || !IsAsciiAlnum(plain[0]) || !IsAsciiAlnum(plain[1])) return false;
  const char* first = plain.data() + 2;
  const char* last = plain.data() + plain.size();
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return false;
  number = value;
  return true;
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
