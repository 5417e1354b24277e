// The plain reading of the encoded-word decoder, for checking the fast one
// (tests and the fuzz target): find the first word, replace it and start
// again from the beginning (after any U word left as written). Quadratic on
// purpose; feed it short texts only.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/text/encoded_words.h"

namespace halvorn::test {

inline std::string SlowDecodeEncodedWords(std::string_view input) {
  std::string text = TrimBlanks(input);
  std::size_t from = 0;
  while (true) {
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

}  // namespace halvorn::test
