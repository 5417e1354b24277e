// Feeds arbitrary bytes to the HTML parser, the plain-text conversion, the
// link scanner and the text normalisation that mail passes through; small
// inputs also go through the pattern form of the link rules, which must give
// the scanner's lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/regex/reg_expr.h"
#include "foundation/regex/url_extraction.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/text_normalisation.h"
#include "support/link_extraction_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string html(reinterpret_cast<const char*>(data), size);

  THTMLParser parser;
  parser.Lines.SetText(html);
  parser.Execute();
  std::vector<const THTMLItem*> collected;
  int position = 0;
  HtmlCollectElement("a", parser.Items, position, collected);

  TStringList tags;
  tags.SetText(html);
  ExtractHtmlTagLines(tags);
  const std::string plain = HtmlToPlainText(html);

  TStringList links;
  ExtractLinks(html, links);
  if (size < 2048) {
    TStringList reference;
    bool finished = true;
    try {
      test::ExtractLinksByPatterns(html, reference);
    } catch (const ERegExpr&) {
      finished = false;
    }
    if (finished && !(reference == links)) std::abort();
  }

  std::string text = html;
  HtmlDecodeEntitiesInPlace(text);
  HtmlEscape(text);
  StripQuotePrefixes(text);
  CollapsePunctuation(text);
  StripAbbreviationDots(text);
  std::string words = text;
  NormalizeLookalikeChars(words);
  JoinSpacedLetters(words);
  TStringList list;
  ParseIntoWords(words, list);
  list.SetText(plain);
  NormalizeLines(list);
  ExtractUrls(text, list);
  CutWebAddresses(text, list);
  ConsonantRunScore(html.substr(0, 64));
  return 0;
}
