// The plain reading of ExtractEmailAddresses, for checking the linear one
// (tests and the fuzz target): while the text holds an "@", take the run of
// address characters around the first one; a valid address is listed and
// removed, else that "@" becomes a blank. It searches from the start after
// every "@" and checks whole runs again: feed it short texts only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "foundation/text/text_helpers.h"
#include "message/email_address.h"

namespace halvorn::test {

inline void ReferenceExtractEmailAddresses(std::string& text, std::vector<std::string>& list) {
  auto isAddressChar = [&](std::size_t i) {
    return IsAddressChar(static_cast<unsigned char>(text[i]));
  };
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@')) {
    std::size_t first = at, last = at;
    while (first > 0 && isAddressChar(first - 1)) --first;
    while (last < text.size() && isAddressChar(last)) ++last;
    const std::string run = text.substr(first, last - first);
    if (IsValidEmailAddress(run)) {
      list.push_back(run);
      text.erase(first, last - first);
    } else {
      text[at] = ' ';
    }
  }
}

}  // namespace halvorn::test
