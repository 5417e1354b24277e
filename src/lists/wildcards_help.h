// The page that explains the wildcards of list entries to the user
// (foundation/regex/phrase_wildcards.h is the matcher it describes).
//
// The source copy, src/lists/PhraseWildcards.html, is compiled into the
// program, which puts it into the install folder before it opens it, so the
// page is read from the disk as a file address and needs no network.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// The bytes of the shipped page.
std::string_view ShippedWildcardsHelpPage();

// install folder/Help/PhraseWildcards.html.
std::string WildcardsHelpPagePath();

// Writes the shipped page to WildcardsHelpPagePath() (creating the folder)
// unless the file there holds it already: the page is the program's, so a
// newer program replaces it. Answers an empty text, or the error. Safe from
// any thread.
std::string InstallWildcardsHelpPage();

}  // namespace halvorn
