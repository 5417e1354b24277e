// Help placeholders in texts: "Help_Categorize" and "Help_Buttons" become
// the addresses of their help pages on the maker's web site.
#pragma once

#include <string>

namespace halvorn {

// The web site the help pages live on, without a trailing "/".
inline constexpr const char* kHelpSite = "https://www.halvorn.example";

// Replaces every "Help_Categorize" by the address of
// "/Halvorn/help/Categorize.htm" and every "Help_Buttons" by that of
// "/Halvorn/help/Advanced/ReceivingTab.htm". A text without placeholders
// comes back unchanged. Safe from any thread.
std::string InsertHelpLinks(const std::string& text);

}  // namespace halvorn
