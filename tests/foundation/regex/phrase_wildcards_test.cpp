#include "foundation/regex/phrase_wildcards.h"

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(WildcardFindTest, PhrasesAgainstWholeTexts) {
  struct Row {
    const char* text;
    const char* phrase;
    bool caseSensitive;
    bool expected;
  };
  const Row rows[] = {
      // An address phrase: the "@" is literal, the domain matches any sender.
      {"john.smith@example.com", "*@example.com*", false, true},
      {"JOHN@EXAMPLE.COM", "*@example.com*", false, true},
      {"JOHN@EXAMPLE.COM", "*@example.com*", true, false},
      {"john@example.org", "*@example.com*", false, false},
      {"johnexample.com", "*@example.com*", false, false},  // "@" is not a letter
      {"a^b", "a@b", false, false},                         // nor a "^"
      {"a@b", "^@^", false, true},
      // "^" is a letter, never a digit.
      {"123", "^^^", false, false},
      {"abc", "^^^", false, true},
      // Anchored at the end unless the phrase ends with "*".
      {"a5", "a#", false, true},
      {"a5x", "a#", false, false},
      {"a5x", "a#*", false, true},
      // Anchored at the start unless the phrase begins with "*".
      {"xa5", "a#", false, false},
      {"xa5", "*a#", false, true},
      {"b7", "$#", false, true},
      {"!7", "$#", false, false},
      // "~" and "?" may take the end of the text.
      {"abc", "abc~", false, true},
      {"abc", "abc?", false, true},
      {"abc!", "abc~", false, true},
      {"abc ", "abc~", false, false},
      {"abc", "abc??", false, false},
      // The first way through the stars stops short of the end; a longer
      // star reaches it.
      {"evil.exe.exe", "*.exe", false, true},
      {"a@x.com@x.com", "*@x.com", false, true},
      {"a5a5", "*a#", false, true},
      {"a5a5x", "*a#", false, false},
      {"photo.jpg.exe", "*.jpg", false, false},
      // "*" alone is every non-empty text; empty text or phrase never match.
      {"anything", "*", false, true},
      {"", "*", false, false},
      {"", "a", false, false},
      {"a", "", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " / " + row.phrase);
    EXPECT_EQ(WildcardFind(row.text, row.phrase, row.caseSensitive), row.expected);
  }
}

TEST(WildcardExtractTest, PiecesOfTheText) {
  struct Row {
    const char* text;
    const char* phrase;
    bool anchored;
    const char* piece;
  };
  const Row rows[] = {
      {"Re: cheap pills now", "cheap*s", false, "cheap pills"},
      {"Re: cheap pills now", "CHEAP", false, "cheap"},
      {"order 123 shipped", "###", false, "123"},
      {"order 123 shipped", "###", true, ""},
      {"order 123 shipped", "*###*", true, "order 123"},  // a trailing "*" adds nothing
      {"from bob@example.com today", "^^^@", false, "bob@"},
      {"abc", "c~", false, "c"},  // the end character has no text of its own
      {"evil.exe.exe", "*.exe", true, "evil.exe.exe"},
      {"whole", "*", false, "whole"},
      {"no match here", "xyz", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " / " + row.phrase);
    std::string piece = "stale";
    EXPECT_EQ(WildcardExtract(row.text, row.phrase, false, piece, row.anchored),
              *row.piece != '\0');
    EXPECT_EQ(piece, row.piece);
  }
}

TEST(FindPhraseWildcardTest, OnlyTheWildcardCharactersCount) {
  struct Row {
    const char* phrase;
    bool expected;
  };
  const Row rows[] = {
      {"bob@example.com", false},
      {"", false},
      {"a#", true},
      {"a$", true},
      {"*", true},
      {"a?", true},
      {"^", true},
      {"~", true},
      {"100%", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.phrase);
    EXPECT_EQ(FindPhraseWildcard(row.phrase), row.expected);
  }
}

// The phrase language translated into a Python regular expression over the
// text followed by one NUL (the end character that "?" and "~" may take):
// the phrase matches when the expression matches the whole text, with or
// without that end character.
const char kOracle[] = R"PY(
import re, sys
def rx(phrase):
    out = []
    for c in phrase:
        ch = bytes([c])
        if ch == b'*': out.append(b'[^\x00]*')
        elif ch == b'?': out.append(b'[\x00-\xff]')
        elif ch == b'~': out.append(b'[^A-Za-z0-9 ]')
        elif ch == b'#': out.append(b'[0-9]')
        elif ch == b'^': out.append(b'[A-Za-z]')
        elif ch == b'$': out.append(b'[A-Za-z0-9]')
        else: out.append(re.escape(ch))
    return b''.join(out)
for line in sys.stdin:
    text, phrase, cs = line.split()
    text = bytes.fromhex(text); phrase = bytes.fromhex(phrase)
    r = re.compile(rx(phrase), 0 if cs == '1' else re.I)
    ok = bool(r.fullmatch(text) or r.fullmatch(text + b'\x00'))
    sys.stdout.write('1' if ok else '0')
)PY";

// Compares whole-text matching with Python's re on generated phrases and
// texts over small alphabets, where stars, classes and the end character
// meet in every combination.
TEST(WildcardFindTest, AgreesWithPythonRe) {
  const std::string textChars = "aB1 .@-";
  const std::string phraseChars = "aAb1.@ *?#$^~";
  std::mt19937 random(20240611);
  struct Case {
    std::string text, phrase;
    bool caseSensitive;
  };
  std::vector<Case> cases;
  std::ostringstream input;
  while (cases.size() < 4000) {
    Case c;
    const int textLength = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < textLength; ++i) c.text += textChars[random() % textChars.size()];
    const int phraseLength = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < phraseLength; ++i) c.phrase += phraseChars[random() % phraseChars.size()];
    // A phrase of stars only matches an empty piece; it is not a whole-text test.
    if (c.phrase.find_first_not_of('*') == std::string::npos) continue;
    c.caseSensitive = random() % 2 == 0;
    input << test::HexOf(c.text) << ' ' << test::HexOf(c.phrase) << ' ' << (c.caseSensitive ? 1 : 0)
          << '\n';
    cases.push_back(c);
  }
  const test::CommandResult result = test::RunPython(kOracle, input.str());
  ASSERT_EQ(result.ExitCode, 0);
  ASSERT_EQ(result.Output.size(), cases.size());
  int mismatches = 0;
  for (std::size_t i = 0; i < cases.size() && mismatches < 10; ++i) {
    const bool expected = result.Output[i] == '1';
    const Case& c = cases[i];
    if (WildcardFind(c.text, c.phrase, c.caseSensitive) != expected) {
      ++mismatches;
      ADD_FAILURE() << "text \"" << c.text << "\" phrase \"" << c.phrase << "\" case-sensitive "
                    << c.caseSensitive << ": expected " << expected;
    }
  }
}

}  // namespace
}  // namespace halvorn
