// Phrase wildcards: the pattern language of the user's phrase lists
// (approved and banned senders, subjects, file names) and of several tests.
//
//   *  any run of characters, also none
//   ?  any one character (also the end of the text)
//   #  one digit
//   $  one letter or digit
//   ^  one letter
//   ~  one character that is neither a letter, a digit nor a space (also the
//      end of the text)
//   @  itself, so that addresses can be written as they are
//
// Any other character stands for itself. There is no way to write a literal
// "^" (it always means a letter).
//
// Letters and digits are the ASCII ones; ignoring case folds ASCII letters,
// as the string library's wildcard scan does. Nothing is kept between calls:
// every function may run on any thread at once.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// Puts into `piece` the part of the text that the phrase matches, empty when
// none, and answers whether the piece is not empty. The phrase "*" alone
// gives the whole text; an empty text or phrase gives nothing.
//
// Unanchored, the piece is the first match the string library's scan finds
// (each "*" as short as it can be). Anchored, the phrase must match from the
// text's first character unless it begins with "*", and up to the text's end
// unless it ends with "*"; when the scan's first match stops short of the
// end, the longer runs of the phrase's stars are tried too, so "*.exe"
// finds "a.exe.exe".
bool WildcardExtract(std::string_view text, std::string_view phrase, bool caseSensitive,
                     std::string& piece, bool anchored);

// True when the anchored WildcardExtract gives a non-empty piece: the phrase
// matches the whole text, except that a leading or trailing "*" frees that
// end.
bool WildcardFind(std::string_view text, std::string_view phrase, bool caseSensitive);

// True when the phrase holds one of "#", "$", "*", "?", "^", "~" and so needs
// the wildcard matcher rather than a plain comparison ("@" alone does not).
bool FindPhraseWildcard(std::string_view phrase);

}  // namespace halvorn
