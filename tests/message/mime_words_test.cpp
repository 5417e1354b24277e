#include "message/mime_words.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/text/text_compression.h"
#include "support/mime_words_reference.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(DecodeMimeWords, Table) {
  struct Row {
    std::string text, expected;
  } rows[] = {
      {"=?iso-8859-1?Q?Caf=E9_au_lait?=", "Caf\xE9 au lait"},  // no charset conversion
      {"=?iso-8859-1?q?caf=e9?=", "caf\xE9"},                  // lower-case hex
      {"=?utf-8?B?SGk=?=", "Hi"},                              // padding gives no NUL
      {"=?utf-8?B?SGk?=", "Hi"},  // "?" and "=" of the closing count 0
      // A malformed escape stays as written and never raises.
      {"=?iso-8859-1?Q?a=ZZb?=", "a=ZZb"},
      {"=?iso-8859-1?Q?a=4G_b?=", "a=4G b"},
      {"=?iso-8859-1?Q?a=41?=", "aA"},
      {"=?iso-8859-1?Q?=4?=", "=4"},  // an escape needs both digits before "?="
      {"=?iso-8859-1?Q?a=?=", "a="},
      // Characters outside the base64 alphabet count 0, not the last value.
      {"=?x?B?YWJj*GVm?=", "abcef"},
      {"=?x?Z?YQ==?=", "a"},     // any letter but Q is base64
      {"=?x?QQ?a_b?=", "a b"},   // the letter is the one after the charset
      {"=?iso-8859-1?Q?" "?=", ""},  // only the closing "?="
      {"x=?iso-8859-1?B?" "?=y", "xy"},
      // The prefix order decides which word is decoded; earlier words of a
      // later prefix stay as written.
      {"=?UTF-8?Q?a?= =?ISO-8859-1?Q?b?=", "=?UTF-8?Q?a?= b"},
      {"=?utf-8?Q?x?= =?windows-1252?Q?y?=", "=?utf-8?Q?x?= y"},
      {"=?UTF-8?Q?a?= =?US-ASCII?Q?b?=", "=?UTF-8?Q?a?= b"},
      {"=?cp-1252?Q?x?= =?UTF-8?Q?y?=", "=?cp-1252?Q?x?= y"},
      {"=?ISO-8859-1?Q?a?= =?UTF-8?Q?b?= =?ISO-8859-1?Q?c?=", "a =?UTF-8?Q?b?= c"},
      {"=?x?Q?a?= =?y?Q?b?=", "a b"},  // blanks between words stay
      // A decoded rest that began with "=?" loses its blanks at both ends.
      {"=?x?Q?a?==?x?Q?_b_?=", "ab"},
      {"=?x?Q?a?==?x?Q?_?= x ", "ax"},
      {"=?x?Q?a?==?x?Q?b?= =?x?Q?c?=", "ab c"},
      {"=?x?Q?a?==?x?Q?b", "a=?x?Q?b"},  // nothing decoded in the rest: kept
      {std::string("=?x?Q?a?==?abc\0 ", 16), "a=?abc"},  // a rest changed only by a NUL
      // NUL bytes go, also when nothing is decoded.
      {std::string("a\0b", 3), "ab"},
      {"=?abc", "=?abc"},
      {"=?abc?Q?no end", "=?abc?Q?no end"},
      {"plain", "plain"},
      {"", ""},
      // ISO-2022-JP words become Shift-JIS: ESC $B, "to" in hiragana, ESC (B.
      {"=?ISO-2022-JP?B?GyRCJEgbKEI=?=", "\x82\xC6"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.text));
    EXPECT_EQ(DecodeMimeWords(row.text), row.expected);
    EXPECT_EQ(test::ReferenceDecodeMimeWords(row.text), row.expected);
  }
}

// Texts built from the pieces words are made of, in every order, decode as
// the plain recursive reading does.
TEST(DecodeMimeWords, AgreesWithTheRecursiveReadingOnGeneratedTexts) {
  const std::vector<std::string> pieces = {
      "=?",     "?=",       "?",          "=",          " ",      "  ",      "_",
      "a",      "YQ==",     "GyRC",       "JEg",        "=4",     "=4a",     "=zz",
      "=?ISO-8859-1?Q?",    "=?iso-8859-1?b?", "=?Windows-1252?Q?", "=?US-ASCII?q?",
      "=?UTF-8?B?",         "=?utf-8?Q?",      "=?CP-1252?Q?",      "=?x?Q?",
      "=?ISO-2022-JP?B?",   "=?iso-2022-jp?Q?", std::string(1, '\0'), "\x1B$B",
      "\x1B(B", "\t",       "\xE9",
  };
  std::mt19937 rng(23);
  for (int k = 0; k < 20000; ++k) {
    std::string text;
    const int n = static_cast<int>(rng() % 14);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    SCOPED_TRACE(test::HexOf(text));
    ASSERT_EQ(DecodeMimeWords(text), test::ReferenceDecodeMimeWords(text));
  }
}

// One well-formed word in an ISO-8859, Windows or UTF-8 charset gives the
// bytes of Python's decode_header. Payloads hold no NUL byte: we remove
// those, Python keeps them.
TEST(DecodeMimeWords, SingleWordsGivePythonsBytes) {
  const char* charsets[] = {"ISO-8859-1", "iso-8859-15", "ISO-8859-2", "windows-1252",
                            "Windows-1251", "UTF-8", "utf-8"};
  std::mt19937 rng(29);
  std::vector<std::string> words;
  std::string input;
  for (int k = 0; k < 300; ++k) {
    std::string data(rng() % 40, ' ');
    for (char& c : data) c = static_cast<char>(1 + rng() % 255);
    const std::string charset = charsets[rng() % std::size(charsets)];
    std::string word = "=?" + charset + "?";
    if (rng() % 2 == 0) {
      word += (rng() % 2 ? "B?" : "b?") + Base64Encode(data);
    } else {
      word += rng() % 2 ? "Q?" : "q?";
      const char* hex = rng() % 2 ? "0123456789ABCDEF" : "0123456789abcdef";
      for (const char ch : data) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ') {
          word += '_';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
          word += static_cast<char>(c);
        } else {
          word += '=';
          word += hex[c >> 4];
          word += hex[c & 15];
        }
      }
    }
    word += "?=";
    words.push_back(word);
    input += word + "\n";
  }
  const auto py = test::RunPython(R"(
import sys
from email.header import decode_header
for line in sys.stdin:
    parts = decode_header(line.strip())
    print(b''.join(p[0] for p in parts).hex())
)",
                                  input);
  ASSERT_EQ(py.ExitCode, 0);
  const auto answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    SCOPED_TRACE(words[i]);
    EXPECT_EQ(test::HexOf(DecodeMimeWords(words[i])), answers[i]);
  }
}

// A recursive decoder nests once per word and searches the rest for every
// prefix at every level: on 50 000 words it overflows the stack or takes
// minutes. Each kind of header below stresses one of the two.
TEST(DecodeMimeWords, FiftyThousandWords) {
  constexpr int kWords = 50000;
  std::string spaced, glued, expectedSpaced;
  for (int i = 0; i < kWords; ++i) {
    const std::string n = std::to_string(i);
    spaced += "=?UTF-8?Q?w_" + n + "?= ";
    expectedSpaced += "w " + n + " ";
    glued += "=?iso-8859-1?Q?_?=";
  }
  EXPECT_EQ(DecodeMimeWords(spaced), expectedSpaced);
  // Every rest begins with "=?": the blanks are trimmed away level by level.
  EXPECT_EQ(DecodeMimeWords("x" + glued + "=?iso-8859-1?Q?y?="), "x y");
  // Only the last word has the winning prefix: all others stay as written.
  const std::string late = spaced + "=?ISO-8859-1?Q?last?=";
  EXPECT_EQ(DecodeMimeWords(late), spaced + "last");
}

// Every header value of the real mail corpus decodes, without an exception
// and as the recursive reading decodes it.
TEST(DecodeMimeWords, EveryHeaderValueOfTheCorpus) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  int values = 0, changed = 0;
  for (const std::string& file : files) {
    TStringList lines;
    lines.SetText(test::ReadFileBytes(file));
    int i = 0;
    if (lines.Count() > 0 && lines[0].rfind("From ", 0) == 0) ++i;
    std::vector<std::string> headerValues;
    for (; i < lines.Count() && !lines[i].empty(); ++i) {
      const std::string& line = lines[i];
      if ((line[0] == ' ' || line[0] == '\t') && !headerValues.empty()) {
        headerValues.back() += line;
      } else {
        const std::size_t colon = line.find(':');
        headerValues.push_back(colon == std::string::npos ? line : line.substr(colon + 1));
      }
    }
    for (const std::string& value : headerValues) {
      SCOPED_TRACE(file + ": " + value);
      std::string decoded;
      ASSERT_NO_THROW(decoded = DecodeMimeWords(value));
      ASSERT_EQ(decoded, test::ReferenceDecodeMimeWords(value));
      ++values;
      if (decoded != value) ++changed;
    }
  }
  // The corpus does hold encoded words: the walk above read it right.
  EXPECT_GT(changed, 0);
  EXPECT_GT(values, static_cast<int>(files.size()));
}

// ---------------------------------------------------------------------------
// JisToShiftJis

TEST(JisToShiftJis, EscapesAndEnds) {
  struct Row {
    std::string jis, sjis;
  } rows[] = {
      {"plain", "plain"},
      {"a\x1B$B$H\x1B(Bb", "a\x82\xC6" "b"},
      {"\x1B$@$H\x1B(J~", "\x82\xC6~"},   // the 1978 set and JIS-Roman switch too
      {"\x1B$B$H%", "\x82\xC6"},          // a lone last byte is dropped
      {"a\x1B$)Cb", "aCb"},  // another escape: three bytes skipped, mode kept
      {"a\x1B$", "a"},                    // an escape too near the end
      {"a\x1B", "a"},
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.jis));
    EXPECT_EQ(JisToShiftJis(row.jis), row.sjis);
  }
}

// JIS X 0208 text (hiragana, katakana, level-1 kanji, in both two-byte sets,
// with ASCII and JIS-Roman between) converts as Python's codecs do.
TEST(JisToShiftJis, AgreesWithPythonsCodecs) {
  std::mt19937 rng(31);
  std::vector<std::string> texts;
  std::string input;
  for (int k = 0; k < 200; ++k) {
    std::string jis;
    const int segments = 1 + static_cast<int>(rng() % 6);
    for (int s = 0; s < segments; ++s) {
      jis += rng() % 4 == 0 ? "\x1B$@" : "\x1B$B";
      const int pairs = 1 + static_cast<int>(rng() % 10);
      for (int p = 0; p < pairs; ++p) {
        int row, last;
        switch (rng() % 3) {
          case 0: row = 0x24; last = 0x73; break;  // hiragana
          case 1: row = 0x25; last = 0x76; break;  // katakana
          default: row = 0x30 + static_cast<int>(rng() % 0x1F); last = 0x7E; break;  // kanji
        }
        jis += static_cast<char>(row);
        jis += static_cast<char>(0x21 + rng() % (last - 0x21 + 1));
      }
      jis += rng() % 4 == 0 ? "\x1B(J" : "\x1B(B";
      const int ascii = static_cast<int>(rng() % 6);
      for (int a = 0; a < ascii; ++a) jis += static_cast<char>(0x20 + rng() % 0x5F);
    }
    texts.push_back(jis);
    input += test::HexOf(jis) + "\n";
  }
  const auto py = test::RunPython(R"(
import sys
for line in sys.stdin:
    print(bytes.fromhex(line.strip()).decode('iso2022_jp').encode('shift_jis').hex())
)",
                                  input);
  ASSERT_EQ(py.ExitCode, 0);
  const auto answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(test::HexOf(texts[i]));
    EXPECT_EQ(test::HexOf(JisToShiftJis(texts[i])), answers[i]);
  }
}

}  // namespace
}  // namespace halvorn
