// The default keywords the program ships for the built-in lists
// "{Pornographic Keywords}", "{Sexual Word List}" and "{Profanity List}".
//
// They live in "DefaultPhrases.txt" in the install folder, a settings file
// with one section per list in the rules-file format. The source copy
// (src/lists/DefaultPhrases.txt) is compiled into the program, which puts it
// into the install folder when no file is there. The entries are patterns
// such as "* word *": the tests that use these lists look for them inside
// sentences padded with blanks, where a plain entry (compared whole) would
// never match.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// The bytes of the shipped file (compiled in from the source copy).
std::string_view ShippedDefaultPhrases();

// Writes the shipped file to GetDefaultPhrasesFilePath() when no file is
// there; a file the user changed is kept. Answers an empty text, or the
// error of the write. Safe from any thread.
std::string InstallDefaultPhrasesFile();

}  // namespace halvorn
