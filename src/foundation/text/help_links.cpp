#include "foundation/text/help_links.h"

#include <string_view>

namespace halvorn {
namespace {

// Replaces every occurrence, scanning left to right; the inserted address
// is never scanned again.
std::string ReplaceAll(const std::string& text, std::string_view from, const std::string& to) {
  std::string result;
  std::size_t start = 0;
  for (;;) {
    std::size_t found = text.find(from, start);
    if (found == std::string::npos) break;
    result.append(text, start, found - start);
    result += to;
    start = found + from.size();
  }
  result.append(text, start, std::string::npos);
  return result;
}

}  // namespace

std::string InsertHelpLinks(const std::string& text) {
  const std::string site = kHelpSite;
  std::string result = ReplaceAll(text, "Help_Categorize", site + "/Halvorn/help/Categorize.htm");
  return ReplaceAll(result, "Help_Buttons", site + "/Halvorn/help/Advanced/ReceivingTab.htm");
}

}  // namespace halvorn
