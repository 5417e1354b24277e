// Small exact text transformations applied before texts are checksummed,
// tokenised or shown as HTML.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// Keeps every URL-safe character (IsUrlSafeChar) except "%" and "+", and
// writes every other byte as "%" and two upper-case hexadecimal digits (a
// space becomes "%20"). Safe from any thread.
std::string UrlEncode(std::string_view text);

// Turns every "+" into a space, then, from the left, each "%" followed by two
// hexadecimal digits into the byte they name. A "%" without two hexadecimal
// digits after it (also at the end of the text) is copied unchanged and
// decoding goes on with the next character. Safe from any thread.
std::string UrlDecode(std::string_view text);

}  // namespace halvorn
