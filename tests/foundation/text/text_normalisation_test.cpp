#include "foundation/text/text_normalisation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "foundation/text/text_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

TEST(TextNormalisationTest, UrlEncodeAndDecodeCases) {
  struct Row {
    std::string plain, encoded;
  };
  const Row rows[] = {
      {"a b", "a%20b"},
      {"50%+5", "50%25%2B5"},
      {"x:/@.?=&~", "x:/@.?=&~"},  // URL-safe characters stay
      {"a,b;c", "a%2Cb%3Bc"},
      {"\xE9\x01", "%E9%01"},
      {"", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.plain);
    EXPECT_EQ(UrlEncode(row.plain), row.encoded);
    EXPECT_EQ(UrlDecode(row.encoded), row.plain);
  }

  struct Decode {
    std::string encoded, plain;
  };
  const Decode decodes[] = {
      {"a+b", "a b"},   {"%2B", "+"},  // an escaped plus is not a space
      {"ab%4", "ab%4"},                // one character after "%" at the end stays
      {"%", "%"},       {"%zz1", "%zz1"}, {"%%41", "%A"}, {"%4g%41", "%4gA"}, {"%e9", "\xE9"},
  };
  for (const auto& row : decodes) {
    SCOPED_TRACE(row.encoded);
    EXPECT_EQ(UrlDecode(row.encoded), row.plain);
  }
}

// Python's urllib is the reference: quote() with our safe set for encoding,
// unquote_to_bytes() after turning "+" into spaces for decoding, on random
// texts rich in "%", "+" and hexadecimal digits, malformed escapes included.
TEST(TextNormalisationTest, AgreesWithPythonUrllib) {
  const std::string alphabet = "%%%++aF09g Zz~!,\xE9\x01\x7F";
  std::mt19937 random(2024);
  std::vector<std::string> inputs;
  std::string feed;
  for (int i = 0; i < 400; ++i) {
    std::string text;
    int length = random() % 12;
    for (int k = 0; k < length; ++k) text += alphabet[random() % alphabet.size()];
    inputs.push_back(text);
    feed += test::HexOf(text) + "\n";
  }
  const std::string script = R"(
import sys, urllib.parse
safe = ''.join(chr(c) for c in range(33, 127) if chr(c) not in '!"#$()*,;<>[]{|}%+')
for line in sys.stdin.read().split('\n')[:-1]:
    raw = bytes.fromhex(line)
    enc = urllib.parse.quote(raw, safe=safe).encode('ascii')
    dec = urllib.parse.unquote_to_bytes(raw.replace(b'+', b' '))
    print(enc.hex(), dec.hex())
)";
  auto result = test::RunPython(script, feed);
  ASSERT_EQ(result.ExitCode, 0);
  std::istringstream lines(result.Output);
  for (const auto& text : inputs) {
    std::string encoded;
    std::string decoded;
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    std::istringstream fields(line);
    fields >> encoded >> decoded;
    SCOPED_TRACE(text);
    EXPECT_EQ(UrlEncode(text), FromHex(encoded));
    EXPECT_EQ(UrlDecode(text), FromHex(decoded));
    EXPECT_EQ(UrlDecode(UrlEncode(text)), text);
  }
}

TEST(TextNormalisationTest, EntityCandidates) {
  struct Row {
    std::string candidate;
    bool decoded;
    char character;
  };
  const Row rows[] = {
      {"&nbsp;", true, ' '},  // a plain space, not 160
      {"&hibar;", true, '\xAF'}, {"&brkbar;", true, '\xA6'}, {"&deg", true, '\xB0'},
      {"&AElig;", true, '\xC6'}, {"&aelig;", true, '\xE6'},  {"&Amp;", false, '&'},
      {"&#8217;", true, '\''},   {"&#8220;", true, '"'},     {"&#8221", true, '"'},
      {"&#8364;", true, 'E'},    {"&#65;", true, 'A'},       {"&#321;", true, 'A'},  // low 8 bits
      {"&#256;", false, '&'},    {"&#0;", false, '&'},       {"&#x41;", false, '&'},
      {"&#-191;", true, 'A'},    {"&am;", false, '&'},       {"amp;", false, '&'},
      {"&;", false, '&'},        {"", false, '&'},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.candidate);
    char c = 0;
    EXPECT_EQ(HtmlEntityToChar(row.candidate, c), row.decoded);
    EXPECT_EQ(c, row.character);
  }
}

TEST(TextNormalisationTest, DecodeEntitiesInText) {
  struct Row {
    std::string text, decoded;
  };
  const Row rows[] = {
      {"x&ampy", "x&y"},  // ";" missing but a character follows the name
      {"x&amp", "x&"},    // the text's end closes the candidate
      {"&#65;&#66;", "AB"},
      {"&#x41;", "&#x41;"},  // hexadecimal stays
      {"&deg;C",
       "\xB0"
       "C"},
      {"AT&T", "AT&T"},
      {"&&amp;", "&&amp;"},  // the "&" after an unknown "&" is copied with it
      {"&lt;b&gt;", "<b>"},
      {"&abcdefghijkl;", "&abcdefghijkl;"},
      {"&", "&"},
      {"a&#;b", "a&#;b"},
      {"&amp;amp;", "&amp;"},  // one level only
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    EXPECT_EQ(HtmlDecodeEntitiesInPlace(text), row.decoded != row.text);
    EXPECT_EQ(text, row.decoded);
  }
}

TEST(TextNormalisationTest, EscapeForHtml) {
  struct Row {
    std::string text, escaped;
  };
  const Row rows[] = {
      {"a   b", "a &nbsp;&nbsp;b"},
      {"<a href=\"x\">&", "&lt;a href=&quot;x&quot;&gt;&amp;"},
      {"caf\xE9~", "caf&#233;~"},
      {"plain", "plain"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    EXPECT_EQ(HtmlEscape(text), row.escaped != row.text);
    EXPECT_EQ(text, row.escaped);
  }
  TStringList lines{"a<b", "c"};
  EXPECT_TRUE(HtmlEscapeList(lines));
  EXPECT_EQ(lines.ToVector(), (std::vector<std::string>{"a&lt;b", "c"}));
  TStringList plain{"x", "y"};
  EXPECT_FALSE(HtmlEscapeList(plain));
  LinesToHtml(plain);
  EXPECT_EQ(plain.ToVector(), (std::vector<std::string>{"x<br>", "y<br>"}));
}

TEST(TextNormalisationTest, KeepingAndRemovingCharacters) {
  std::string text = "a1 b2";
  EXPECT_TRUE(KeepCharsMatching(text, IsLetterChar));
  EXPECT_EQ(text, "ab");
  EXPECT_FALSE(KeepCharsMatching(text, IsLetterChar));
  text = "a1 b2";
  EXPECT_TRUE(RemoveCharsMatching(text, IsDigitChar));
  EXPECT_EQ(text, "a b");
  EXPECT_EQ(KeepCharsMatchingCopy("x-9-y", IsDigitChar), "9");
}

TEST(TextNormalisationTest, ReplaceAllNeverSearchesInsertedText) {
  std::string text = "aaa";
  ReplaceAll("a", "aa", text);
  EXPECT_EQ(text, "aaaaaa");
  text = "a    b";
  ReplaceAll("  ", " ", text);  // one pass halves the run
  EXPECT_EQ(text, "a  b");
  text = "abc";
  ReplaceAll("", "x", text);
  EXPECT_EQ(text, "abc");
}

// Replacing the first occurrence and searching from the start again, done
// literally, against the one-pass form.
TEST(TextNormalisationTest, ReplaceAllCheckedEqualsRepeatedFirstReplacement) {
  auto literal = [](const std::string& from, const std::string& to, std::string text) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from))
      text.replace(at, from.size(), to);
    return text;
  };
  const std::pair<std::string, std::string> rules[] = {
      {"  ", " "}, {"ab", "b"}, {"aba", "a"}, {"ba", "aab"}, {"xx", ""}, {"ab", "bba"},
  };
  std::mt19937 random(7);
  for (const auto& [from, to] : rules) {
    for (int i = 0; i < 300; ++i) {
      std::string text;
      const int length = random() % 14;
      for (int k = 0; k < length; ++k) text += "ab x"[random() % 4];
      SCOPED_TRACE(from + " -> " + to + " in [" + text + "]");
      std::string ours = text;
      EXPECT_EQ(ReplaceAllChecked(from, to, ours), text.find(from) != std::string::npos);
      EXPECT_EQ(ours, literal(from, to, text));
    }
  }
  std::string text = "aaa";
  EXPECT_FALSE(ReplaceAllChecked("a", "ab", text));  // the new text holds the old
  EXPECT_FALSE(ReplaceAllChecked("a", "a", text));
  EXPECT_EQ(text, "aaa");
  std::string spaces(200000, ' ');
  EXPECT_TRUE(ReplaceAllChecked("  ", " ", spaces));
  EXPECT_EQ(spaces, " ");
}

TEST(TextNormalisationTest, AbbreviationsAndPunctuation) {
  struct Row {
    std::string text, abbreviated;
  };
  const Row abbreviations[] = {
      {"i.e. this, e.g. that", "eg this, eg that"},
      {"B.C.E. dates", "bcE. dates"},  // the B.C. rule runs first
      {"Mr. and Mrs. Smith, Ph.D. ", "mr and mrs Smith, PhD "},
      {"the U.S.A. and the U.S. and U.K.", "the usa and the us and uk"},
      {"St.Louis", "St.Louis"},  // only with the blank
      {"r.s.v.p. a.s.a.p.", "rsvp asap"},
  };
  for (const auto& row : abbreviations) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    StripAbbreviationDots(text);
    EXPECT_EQ(text, row.abbreviated);
  }
  const Row punctuation[] = {
      {"wait....", "wait.."},
      {"no!!! why???", "no!! why??"},
      {"-----original message-----\r\nhi", "\r\nhi"},
      {"-----Original Message-----", "-----Original Message-----"},
      {"a    b", "a  b"},
  };
  for (const auto& row : punctuation) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    CollapsePunctuation(text);
    EXPECT_EQ(text, row.abbreviated);
  }
}

TEST(TextNormalisationTest, QuotePrefixes) {
  struct Row {
    std::string text, stripped;
  };
  const Row rows[] = {
      {"> > hi\r\nplain\r\n", " hi\r\nplain\r\n"},
      {">>>>>>>>>>>x", "x\r\n"},
      {"1234567>x", "x\r\n"},
      {"12345678>x", "12345678>x"},  // ">" at position 9: unchanged, not rebuilt
      {"no quote\nline", "no quote\nline"},
      {"a>b\nc", "b\r\nc\r\n"},  // rebuilt from lines
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    StripQuotePrefixes(text);
    EXPECT_EQ(text, row.stripped);
  }
}

TEST(TextNormalisationTest, NormalizeLinesCutsLongLinesIntoSentences) {
  const std::string first = "This sentence is long enough to pass the fifty mark. ";  // 53
  const std::string second = "And the second one e.g. follows it here with more words!!";
  TStringList lines{"  two  spaces .", "", "", "", first + second, "", "short"};
  NormalizeLines(lines);
  EXPECT_EQ(lines.ToVector(),
            (std::vector<std::string>{
                "two spaces.", "", "This sentence is long enough to pass the fifty mark.",
                "And the second one eg follows it here with more words!", "", "short"}));

  // A line without sentence marks past position 50 stays whole.
  const std::string unbroken(150, 'x');
  TStringList one{unbroken};
  NormalizeLines(one);
  EXPECT_EQ(one.ToVector(), (std::vector<std::string>{unbroken}));

  // A very long line is cut in one pass.
  std::string huge;
  for (int i = 0; i < 20000; ++i) huge += "word word word word word word word word word word. ";
  TStringList big{huge};
  NormalizeLines(big);
  EXPECT_GT(big.Count(), 10000);
}

TEST(TextNormalisationTest, LookalikeCharacters) {
  struct Row {
    std::string text, normal;
    bool changed;
  };
  const Row rows[] = {
      {"V1agra", " Viagra ", true},
      {"  $100 ", " $100 ", false},  // "$" before a digit, digits without letters
      {"/\\pple \\/iagra", " Apple Viagra ", true},
      {"fr33 m0ney", " fr33 money ", true},
      {"lEGAL l\xC9", " IEGAL lE ", true},  // \xC9 is no A-Z upper case,
      {"c\xE9l\xE8"
       "bre \xA2\xA7",
       " celebre cs ", true},
      {"5\xA2", " 5\xA2 ", false},
      {"\xC6\xD0\xDE\xF7\xF8", " \xC6\xD0\xDE\xF7\xF8 ", false},
      {"|nfo @ 6oogle!", " info a Googlei ", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    EXPECT_EQ(NormalizeLookalikeChars(text), row.changed);
    EXPECT_EQ(text, row.normal);
  }
  std::string longText(100001, '@');
  EXPECT_FALSE(NormalizeLookalikeChars(longText));
  EXPECT_EQ(longText, std::string(100001, '@'));
}

TEST(TextNormalisationTest, SpacedLettersJoin) {
  struct Row {
    std::string text, joined;
  };
  const Row rows[] = {
      {"f r e e", "free"},
      {"c-a-s-h now", "cash now"},
      {"a b cd e f", "ab cd ef"},
      {"x  y", "x y"},  // two spaces end a run
      {"x1 y", "x y"},
      {"", ""},
      {"hello, world", "hello world"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    EXPECT_TRUE(JoinSpacedLetters(text));
    EXPECT_EQ(text, row.joined);
  }
  std::string longText(99997, 'a');
  EXPECT_FALSE(JoinSpacedLetters(longText));
  EXPECT_EQ(longText.size(), 99997u);
}

TEST(TextNormalisationTest, SpaceRunsSplittingAndWords) {
  const std::pair<std::string, int> runs[] = {
      {"a   b", 2}, {"a b", 0}, {"a    ", 0}, {"", 0}, {"  x     ", 1},
  };
  for (const auto& [text, longest] : runs) {
    SCOPED_TRACE(text);
    EXPECT_EQ(LongestSpaceRun(text), longest);
  }
  TStringList pieces{"old"};
  SplitByPredicate("a  b ", IsBlankChar, pieces);
  EXPECT_EQ(pieces.ToVector(), (std::vector<std::string>{"a", "", "b"}));
  TStringList words;
  ParseIntoWords("don't\tstop\r\n now 123 !! x2y \xE9t\xE9", words);
  EXPECT_EQ(words.ToVector(), (std::vector<std::string>{"dont", "stop", "now", "xy", "t"}));
}

// The rule as written, erasing inside the text at every taken token.
void LiteralCutWebAddresses(std::string& text, TStringList& list) {
  std::size_t scan = 0;
  for (;;) {
    const std::size_t d = text.find('.', scan);
    if (d == std::string::npos) return;
    const std::size_t len = text.size();
    auto visible = [&](std::size_t p) { return text[p] > 32 && text[p] < 127; };
    std::size_t left = d;
    while (left > 0 && visible(left - 1)) --left;
    std::size_t right = d;
    while (right < len - 1 && visible(right)) ++right;
    const std::string token = text.substr(left, right - left);
    bool taken = false;
    if (token.size() >= 4 && token.find("..") == std::string::npos) {
      int dots = static_cast<int>(std::count(token.begin(), token.end(), '.'));
      if (right == len - 1 && text[len - 1] == '.') ++dots;
      taken = (dots > 2 && token[0] != '.') || token.rfind("www.", 0) == 0 ||
              token.find(".com") != std::string::npos || token.find(".net") != std::string::npos ||
              token.find(".org") != std::string::npos;
    }
    if (taken) {
      list.Add(token);
      text.erase(left, token.size());
    }
    scan = d + 1;
  }
}

TEST(TextNormalisationTest, CutWebAddresses) {
  struct Row {
    std::string text, rest;
    std::vector<std::string> cut;
  };
  const Row rows[] = {
      {"visit www.example.com today", "visit  today", {"www.example.com"}},
      {"a.b.c.d x", " x", {"a.b.c.d"}},
      {"ab.c x", "ab.c x", {}},
      {"end www.x.com", "end m", {"www.x.co"}},  // the last character never joins
      {"1.2.3.", ".", {"1.2.3"}},                // the final dot counts
      {"www..com x", "www..com x", {}},
      {"www.ab.com x.y.z.w", " w", {"www.ab.com", "x.y.z."}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    TStringList list;
    CutWebAddresses(text, list);
    EXPECT_EQ(text, row.rest);
    EXPECT_EQ(list.ToVector(), row.cut);
  }
  std::mt19937 random(11);
  const std::string alphabet = "w.co.mnetrg  \t.ab";
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    const int length = random() % 30;
    for (int k = 0; k < length; ++k) text += alphabet[random() % alphabet.size()];
    SCOPED_TRACE("[" + text + "]");
    std::string ours = text, literal = text;
    TStringList ourList, literalList;
    CutWebAddresses(ours, ourList);
    LiteralCutWebAddresses(literal, literalList);
    ASSERT_EQ(ours, literal);
    ASSERT_EQ(ourList.ToVector(), literalList.ToVector());
  }
}

TEST(TextNormalisationTest, KnownDomainsAndSuffixes) {
  EXPECT_TRUE(EndsWith("abc", "bc"));
  EXPECT_FALSE(EndsWith("abc", "BC"));
  EXPECT_FALSE(EndsWith("c", "bc"));
  EXPECT_TRUE(EndsWith("abc", ""));
  const std::pair<std::string, bool> banking[] = {
      {"www.paypal.com", true},
      {"SIGNIN.PAYPAL.COM", true},
      {"notpaypal.com", true},  // a plain suffix test
      {"paypal.com.evil.net", false},
      {"ebay.com", false},
      {"", false},
      // No entry ends another common name.
      {"mindspring.com", false},
      {"world.std.com", false},
      {"purchase.com", false},
      {"clubs.com", false},
      {"mm53.com", false},
      {"home.ingdirect.com", true},
  };
  for (const auto& [host, expected] : banking) {
    SCOPED_TRACE(host);
    EXPECT_EQ(IsBankingDomain(host), expected);
  }
  EXPECT_TRUE(IsMajorVendorDomain("cgi.ebay.com"));
  EXPECT_TRUE(IsMajorVendorDomain("www.FDIC.gov"));
  EXPECT_FALSE(IsMajorVendorDomain("paypal.com"));
  EXPECT_FALSE(IsMajorVendorDomain("snapple.com"));
}

TEST(TextNormalisationTest, ConsonantRunScore) {
  const std::pair<std::string, int> rows[] = {
      {"abcdfgh", 5},                            // the last character is not walked
      {"", 0},        {"aaa", 0}, {"bcdf1", 1},  // trailing digits go
      {"bbbcddf", 1},                            // repeated letters count once
      {"BCdf", 0},     // an upper-case letter before a lower-case one restarts at 1
      {"vanbcdf", 3},  // "va" of "van" removed
      {"McXqzt", 1},   // "m" of "mc" removed; X before q restarts
      {"x-y-z", 0},
  };
  for (const auto& [name, score] : rows) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ConsonantRunScore(name), score);
  }
}

}  // namespace
}  // namespace halvorn
