// Random texts that name accounts and temporary files and fill unique paths.
// They draw from the calling thread's random source, so every function here
// may be called from any thread at once.
#pragma once

#include <string>

namespace halvorn {

// n characters, each a letter (A-Z, a-z) or a digit, drawn uniformly from
// those 62. An n below 1 gives an empty text.
std::string RandomPrintable(int n);

// n characters, each with a code drawn uniformly from 33 to 127 (95 values,
// the last of them code 127). An n below 1 gives an empty text.
std::string RandomVisibleChars(int n);

}  // namespace halvorn
