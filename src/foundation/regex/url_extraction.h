// The web addresses written out in a text, found with the program's own
// pattern engine.
#pragma once

#include <string>

#include "foundation/text/string_list.h"

namespace halvorn {

// Appends the http, https and ftp URLs of the text (those with a path after
// the host) to the list, duplicates and pieces without "://" removed, one
// trailing "'" cut. Removes every CR LF pair from the caller's text first. A
// search the pattern engine gives up on is logged; what was found until then
// is kept. Safe from any thread.
void ExtractUrls(std::string& text, TStringList& list);

}  // namespace halvorn
