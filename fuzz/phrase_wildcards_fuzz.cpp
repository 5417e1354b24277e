// Matches any phrase against any text (texts come from mail, phrases from
// the user's lists) in every mode, and checks that a piece found is a part of
// the text and that an anchored find of a phrase without stars at its ends
// gives the whole text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/regex/phrase_wildcards.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool caseSensitive = (data[0] & 1) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.empty() ? 0 : (data[0] >> 1) % (rest.size() + 1);
  const std::string_view phrase = rest.substr(0, split);
  const std::string_view text = rest.substr(split);

  std::string piece;
  for (bool anchored : {false, true}) {
    const bool found = halvorn::WildcardExtract(text, phrase, caseSensitive, piece, anchored);
    if (found != !piece.empty()) std::abort();
    if (found && text.find(piece) == std::string_view::npos) std::abort();
    if (found && anchored && phrase.front() != '*' && phrase.back() != '*' && piece != text) {
      std::abort();
    }
  }
  if (halvorn::WildcardFind(text, phrase, caseSensitive) !=
      halvorn::WildcardExtract(text, phrase, caseSensitive, piece, true)) {
    std::abort();
  }
  return 0;
}
