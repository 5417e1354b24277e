// The link rules of ExtractLinks written with the pattern engine, step by
// step as the rules read, for checking the scanner against (tests and the
// fuzz target). It may take time quadratic in the HTML and raises the
// engine's ERegExpr when a search exceeds its budget: feed it test inputs
// only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/regex/reg_expr.h"
#include "foundation/text/html_parser.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn::test {

namespace link_patterns {

inline constexpr std::uint8_t kOptionsA = kRegExIgnoreCase | kRegExDotAll;                    // 5
inline constexpr std::uint8_t kOptionsB = kRegExIgnoreCase | kRegExMultiLine | kRegExGreedy;  // 11
inline constexpr std::uint8_t kOptionsC = kRegExIgnoreCase | kRegExMultiLine;                 // 3

// The text without the first match of the pattern (unchanged when none).
inline std::string WithoutFirstMatch(const std::string& pattern, const std::string& text,
                                     std::uint8_t options) {
  TRegExpr engine;
  ApplyRegExOptions(engine, options);
  engine.SetExpression(pattern);
  if (!engine.Exec(text)) return text;
  std::string result = text;
  result.erase(static_cast<std::size_t>(engine.SubMatchStart(0) - 1),
               static_cast<std::size_t>(engine.SubMatchLength(0)));
  return result;
}

// The text before the first match of the pattern (all of it when none).
inline std::string BeforeFirstMatch(const std::string& pattern, const std::string& text,
                                    std::uint8_t options) {
  TRegExpr engine;
  ApplyRegExOptions(engine, options);
  engine.SetExpression(pattern);
  if (!engine.Exec(text)) return text;
  return text.substr(0, static_cast<std::size_t>(engine.SubMatchStart(0) - 1));
}

}  // namespace link_patterns

// The link lines of the HTML, as ExtractLinks answers them.
inline void ExtractLinksByPatterns(const std::string& html, TStringList& list) {
  using namespace link_patterns;
  list.Clear();
  TStringList elements;
  RegExCollectMatches(R"(<[\s]*a\s.*>.*<[\s]*\x2fa(\s.*>|>))", html, elements, false, kOptionsA);
  for (int i = 0; i < elements.Count(); ++i) {
    std::string element = elements[i];
    ReplaceAll("\r\n", "", element);
    const std::string h = RegExFirstMatch(R"(href[\s]*=[\s]*"?[^>" ]+)", element, kOptionsB);
    std::string rest = element;
    if (!h.empty()) rest = element.substr(element.find(h) + h.size());
    const std::string url = TrimText(WithoutFirstMatch(R"(href[\s]*=[\s]*"?)", h, kOptionsB));

    std::string content = RegExFirstMatch(R"(>.*<[\s]*\x2fa\s*>)", rest, kOptionsB);
    if (!content.empty()) content.erase(0, 1);
    content = BeforeFirstMatch(R"(<[\s]*\x2fa\s*>)", content, kOptionsB);
    for (const char* pattern :
         {R"(<[\s]*br(\s.*>|>))", R"(<[\s]*div(\s.*>|>))", R"(<[\s]*\x2fdiv(\s.*>|>))",
          R"(<[\s]*span(\s.*>|>))", R"(<[\s]*\x2fspan(\s.*>|>))", R"(<[\s]*p(\s.*>|>))",
          R"(<[\s]*\x2fp(\s.*>|>))"}) {
      std::string removed;
      RegExReplace(pattern, content, "", removed, kOptionsC);
      content = std::move(removed);
    }
    const std::string image = RegExFirstMatch(R"(<[\s]*img\s.*>)", content, kOptionsB);
    AddLinkLine(url, content, !image.empty(), list);
  }
}

}  // namespace halvorn::test
