// Texts nobody is meant to read: stored passwords and identification tokens
// are passed through the string library's reversible scrambler, and numbers
// that would identify a message or session travel as scrambled tokens.
// Every function here keeps no state and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// A scrambled copy of the text (Scramble of the string library).
std::string ScrambleText(const std::string& text);
// The inverse: UnscrambleText(ScrambleText(x)) == x for every text.
std::string UnscrambleText(const std::string& text);

// The number in decimal behind two random letters or digits, scrambled and
// given as base64: a token that differs from call to call and that only this
// program reads back (see ReadScrambledNumberText).
std::string MakeScrambledNumberText(std::int64_t number);
// The number a MakeScrambledNumberText token holds; false for any other text.
bool ReadScrambledNumberText(const std::string& token, std::int64_t& number);

// The 1-based position of the last of the part's non-overlapping
// occurrences in the text, counted from the left (case counts); 0 when the
// part is empty or does not occur. The text is not changed.
int ReplaceWithRandomText(const std::string& part, const std::string& text);

}  // namespace halvorn
