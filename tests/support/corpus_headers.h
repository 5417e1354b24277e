// The top header block of a corpus message, for tests that read only
// headers: splitting just that block keeps corpus-wide tests cheap under
// the sanitizers.
#pragma once

#include <string>

#include "support/test_support.h"

namespace halvorn::test {

// The file's text up to its first empty line (CR LF, CR or LF line ends),
// without a first line beginning with "From " (the mailbox separator).
inline std::string CorpusHeaderText(const std::string& path) {
  const std::string text = ReadFileBytes(path);
  // The start of the line after the one that `i` stands in.
  auto nextLine = [&text](std::size_t i) {
    i = text.find_first_of("\r\n", i);
    if (i == std::string::npos) return text.size();
    return i + (text.compare(i, 2, "\r\n") == 0 ? 2 : 1);
  };
  const std::size_t start = text.rfind("From ", 0) == 0 ? nextLine(0) : 0;
  for (std::size_t line = start; line < text.size(); line = nextLine(line)) {
    if (text[line] == '\r' || text[line] == '\n') return text.substr(start, line - start);
  }
  return text.substr(start);
}

}  // namespace halvorn::test
