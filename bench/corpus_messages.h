// The mail corpus as the message benchmarks read it: every file's name and
// its message bytes (a first "From " line of the mbox form taken off), read
// once per program.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn::bench {

struct TCorpusMessages {
  std::vector<std::string> Files;
  std::vector<std::string> Messages;
};

// Empty lists when the corpus is not there.
inline const TCorpusMessages& CorpusMessages() {
  static const TCorpusMessages corpus = [] {
    TCorpusMessages c;
    c.Files = test::CorpusFiles();
    for (const std::string& file : c.Files) {
      std::string bytes = test::ReadFileBytes(file);
      if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
      c.Messages.push_back(std::move(bytes));
    }
    return c;
  }();
  return corpus;
}

}  // namespace halvorn::bench
