// Runs any bytes through the HTML check's searches: as HTML (made into the
// searched text) and as a searched text itself. Property: each search
// answers what its pattern answers through the regular-expression engine,
// wherever the engine answers (it may give up on long backtracking).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "classify/html_check_scans.h"
#include "foundation/regex/reg_ex_wrappers.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Alternatives(std::span<const std::string_view> words) {
  std::string joined;
  for (const std::string_view word : words) joined += (joined.empty() ? "" : "|") + std::string(word);
  return joined;
}

void Compare(const std::string& text) {
  static const std::string events = "<[^>]*(" + Alternatives(kHtmlEventWords) + ")[:=].*?>";
  static const std::string scripts = "<[^>]*(" + Alternatives(kHtmlScriptWords) + "):.*?>";
  try {
    Check(HtmlHasEventHandler(text) == !RegExFirstMatch(events, text, 12).empty());
  } catch (const ERegExpr&) {
  }
  try {
    Check(HtmlTagHasWordThen(text, kHtmlScriptWords, ":") ==
          !RegExFirstMatch(scripts, text, 12).empty());
  } catch (const ERegExpr&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;  // the engine's answers on long texts take long
  const std::string input(reinterpret_cast<const char*>(data), size);
  TStringList lines;
  lines.SetText(input);
  Compare(HtmlCheckText(lines));
  Compare(input);
  return 0;
}
