#include "classify/html_check_scans.h"

#include <algorithm>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {

std::string HtmlCheckText(const TStringList& decodedLines) {
  TStringList tags = decodedLines;
  ExtractHtmlTagLines(tags);
  std::string joined = tags.Text();
  ReplaceAll("\r\n", "", joined);
  std::string text = LowerCase1252(joined);
  std::erase_if(text, [](char c) { return c == ' ' || c == '"'; });
  return text;
}

bool HtmlTagHasWordThen(std::string_view text, std::span<const std::string_view> words,
                        std::string_view terminators) {
  const std::size_t lastClose = text.rfind('>');
  if (lastClose == std::string_view::npos) return false;
  // Whether a "<" stands after the last ">" seen so far: a tag is open.
  bool open = false;
  for (std::size_t at = 0; at < lastClose; ++at) {
    const char c = text[at];
    if (c == '>') {
      open = false;
      continue;
    }
    if (!open) {
      open = c == '<';
      continue;
    }
    for (const std::string_view word : words) {
      const std::size_t end = at + word.size();
      // The terminator must stand before the last ">" for ".*?>" to find one.
      if (end < lastClose && text.compare(at, word.size(), word) == 0 &&
          terminators.find(text[end]) != std::string_view::npos)
        return true;
    }
  }
  return false;
}

bool HtmlHasEventHandler(std::string_view text) {
  return HtmlTagHasWordThen(text, kHtmlEventWords, ":=");
}

}  // namespace halvorn
