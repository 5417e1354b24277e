#include "foundation/text/encoded_words.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/encoded_words_reference.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::string Unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(UUCodec, KnownLinesAndErrors) {
  EXPECT_EQ(UUEncode("Cat"), "#0V%T");
  EXPECT_EQ(UUEncode(""), "`");
  EXPECT_EQ(UUEncode(std::string(3, '\0')), "#````");  // 0 is written as backquote
  EXPECT_EQ(UUDecode("#0V%T"), "Cat");
  EXPECT_EQ(UUDecode("`"), "");
  EXPECT_EQ(UUEncode(std::string(45, 'x')).size(), 61u);
  EXPECT_EQ(ErrorOf([] { UUEncode(std::string(46, 'x')); }), "UUEncode: String too long");

  struct Row {
    std::string line, error;
  } bad[] = {{" #0V%T", "UUDecode: Incorrect string format"},
             {"", "UUDecode: Incorrect string format"},
             {"b", "UUDecode: Incorrect string format"},
             {"\x7f", "UUDecode: Incorrect string format"}};
  for (const Row& row : bad) {
    SCOPED_TRACE(test::HexOf(row.line));
    EXPECT_EQ(ErrorOf([&] { UUDecode(row.line); }), row.error);
  }
}

TEST(UUCodec, LinesThePartAcceptsBeyondStrictUuencode) {
  struct Row {
    std::string line, bytes;
  } rows[] = {
      // A short last group counts its missing characters as 0.
      {"#0V", std::string("C`\0", 3)},
      {"$0V%T", "Cat"},  // count beyond the groups: no zero padding
      {"#", ""},
      // Backquote as first character gives all bytes the groups carry.
      {"`0V%T", "Cat"},
      // "a" is a length character too (65 bytes), cut to what is there.
      {"a0V%T", "Cat"},
      // Characters outside the alphabet are taken to 6 bits, never rejected.
      {"!\x01\x01", std::string("\x86")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.line));
    EXPECT_EQ(UUDecode(row.line), row.bytes);
  }
}

// Python's binascii in backtick mode as the reference. Where the two differ
// by design the rows are checked on our side only:
//  - Python zero-pads a line shorter than its count; we return what is there;
//  - Python takes " " (and an empty line) as an empty line; we reject both;
//  - Python rejects characters outside " " to "`" and trailing garbage; we
//    read any character to 6 bits and ignore what lies beyond the count;
//  - Python reads a leading "`" as count 0 and "a" as count 1.
TEST(UUCodec, AgreesWithPythonBinasciiOnWellFormedLines) {
  std::mt19937 rng(7);
  std::vector<std::string> datas;
  for (int n = 0; n <= 45; ++n) {
    for (int k = 0; k < 4; ++k) {
      std::string d(static_cast<std::size_t>(n), '\0');
      for (char& c : d) c = static_cast<char>(rng() & 0xFF);
      datas.push_back(d);
    }
  }
  std::string input;
  for (const auto& d : datas) input += test::HexOf(d) + "\n";
  auto result = test::RunPython(R"(
import binascii, sys
for line in sys.stdin:
    data = bytes.fromhex(line.strip())
    enc = binascii.b2a_uu(data, backtick=True).rstrip(b'\n')
    print(enc.hex(), binascii.a2b_uu(enc).hex())
)",
                                input);
  ASSERT_EQ(result.ExitCode, 0);
  auto lines = Lines(result.Output);
  ASSERT_EQ(lines.size(), datas.size());
  for (std::size_t i = 0; i < datas.size(); ++i) {
    SCOPED_TRACE(test::HexOf(datas[i]));
    std::istringstream fields(lines[i]);
    std::string encHex, decHex;
    fields >> encHex >> decHex;
    std::string line = UUEncode(datas[i]);
    EXPECT_EQ(line, Unhex(encHex));
    EXPECT_EQ(UUDecode(line), Unhex(decHex));
    EXPECT_EQ(UUDecode(line), datas[i]);
  }
}

TEST(UUCodec, ShortLinesArePythonsResultWithoutItsZeroPadding) {
  std::string line = UUEncode("Hello, world");  // 12 bytes, 16 characters
  std::string input;
  for (std::size_t keep = 1; keep <= line.size(); ++keep)
    input += test::HexOf(line.substr(0, keep)) + "\n";
  auto result = test::RunPython(R"(
import binascii, sys
for line in sys.stdin:
    print(binascii.a2b_uu(bytes.fromhex(line.strip())).hex())
)",
                                input);
  ASSERT_EQ(result.ExitCode, 0);
  auto lines = Lines(result.Output);
  ASSERT_EQ(lines.size(), line.size());
  for (std::size_t keep = 1; keep <= line.size(); ++keep) {
    SCOPED_TRACE(keep);
    std::string ours = UUDecode(line.substr(0, keep));
    std::string python = Unhex(lines[keep - 1]);
    ASSERT_LE(ours.size(), python.size());
    EXPECT_EQ(python.substr(0, ours.size()), ours);
    EXPECT_EQ(python.substr(ours.size()).find_first_not_of('\0'), std::string::npos);
  }
}

TEST(TrimBlanks, OnlyTheBlankCharacter) {
  EXPECT_EQ(TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(TrimBlanks("\t a \r\n"), "\t a \r\n");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(TrimBlanks(""), "");
}

TEST(IsDottedNumberText, Table) {
  struct Row {
    const char* text;
    bool expected;
  } rows[] = {
      {"10.0.0.1", true},     {"1.2.x", true},         {"a.1", false},  {"1234", false},
      {".1", false},          {"1..2", false},         {"1.", true},    {"-1.5", false},
      {"-2.5", true},         {"+3.4", true},          {"1 .2", false}, {"99999999999.1", false},
      {"2147483647.0", true}, {"-2147483648.0", true}, {"", false},     {"-.1", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(IsDottedNumberText(row.text), row.expected);
  }
}

TEST(DecodeEncodedWords, Table) {
  struct Row {
    std::string text, expected;
  } rows[] = {
      {"=?iso-8859-1?Q?Caf=E9_au_lait?=", "Caf\xE9 au lait"},
      {"=?utf-8?Q?=3Dsign?=", "=sign"},  // the end moves past "?=3D"
      {"=?x?B?SGVsbG8=?= world", "Hello world"},
      {"=?x?Q?caf=e9?=", "caf=e9"},  // lower-case hex stays
      {"=?abc", "=?abc"},
      {"=?abc?Q?no end", "=?abc?Q?no end"},
      {"  =?x?q?a_b?=  ", "a b"},            // trimmed; letter case of the kind ignored
      {"=?x?B?YQ==?= =?x?B?Yg==?=", "a b"},  // blanks between words stay
      {"=?x?Z?a_b?=", "a b"},                // unknown kind counts as Q
      {"=?x?abc?=", "c"},                    // no "?" second: Q from the third character
      {"=?x?B?YQBi?=", "a"},                 // base64 ends at the first zero byte
      {"=?x?B?YW*i?=", "a`\""},              // "*" keeps its position's last value, 0 at first
      {"=?x?B?YWJj*GVm?=", "abc`ef"},
      {"=?x?B?YWJjZA?=", "abc"},  // characters short of a group are ignored
      {"=?x?B?=AAA?=", ""},       // padding first: no bytes
      {"=?x?U?#0V%T?=", "Cat"},
      {"pre =?x?Q?a?= mid =?y?Q?b?= post", "pre a mid b post"},
      // A decoded word that forms a new word with what precedes it.
      {"=?x?Q?=3D?=?x?Q?z?=", "z"},
      {"=?x?Q?=3D=3F?=x?Q?y?=", "y"},
      // Soft line breaks and the end of a Q text.
      {"=?x?Q?a=\r\nb?=", "ab"},
      {"=?x?Q?a=\nb?=", "ab"},
      {"=?x?Q?a=?=", "a"},       // a final "=" is dropped
      {"=?x?Q?a=b?=", "a=b"},    // second-to-last stays
      {"=?x?Q?a=Gb?=", "a=Gb"},  // not hex: kept
      // Charset without a closing "?" ends the decoding.
      {"=?x?Q?a?= =?broken", "a =?broken"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(DecodeEncodedWords(row.text), row.expected);
  }
}

TEST(DecodeEncodedWords, MalformedUWordIsKeptAndScanningGoesOn) {
  struct Row {
    std::string text, expected;
  } rows[] = {
      {"=?x?U? bad?= =?x?Q?ok?=", "=?x?U? bad?= ok"},
      {"=?x?U?"
       "?= tail",
       "=?x?U?"
       "?= tail"},  // empty line
      // Scanning resumes after the "?=", so its "=" opens no new word.
      {"a=?x?U?b?=?x?Q?c?=", "a=?x?U?b?=?x?Q?c?="},
      {"=?x?U?b?==?x?Q?c?=", "=?x?U?b?=c"},
      // Nor when a later word decodes into a "?" right after it.
      {"=?x?U?b?==?y?Q?=3Fx=3FQ=3Fc=3F=3D?=", "=?x?U?b?=?x?Q?c?="},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(DecodeEncodedWords(row.text), row.expected);
  }
}

TEST(DecodeEncodedWords, ResumingNearTheWordMatchesRescanningFromTheStart) {
  std::mt19937 rng(11);
  const std::string pieces[] = {"=?", "?=",   "?",     "=", "x",   "Q?",   "B?", "U?",
                                "3D", "YQ==", "#0V%T", " ", "=3F", "=?x?", "_",  "=3D=3F"};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    int n = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) text += pieces[rng() % std::size(pieces)];
    SCOPED_TRACE(text);
    ASSERT_EQ(DecodeEncodedWords(text), test::SlowDecodeEncodedWords(text));
  }
}

TEST(DecodeEncodedWords, ManySmallWordsAreDecodedInLinearTime) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "=?x?Q?a?=";
  // Rescanning from the start after every word would take minutes here.
  EXPECT_EQ(DecodeEncodedWords(text), std::string(200000, 'a'));
}

// Python's email.header as the reference for well-formed B and Q words. The
// generated texts keep a non-blank between adjacent words (Python drops the
// blanks there) and use capital hex only (Python decodes lower-case hex too).
TEST(DecodeEncodedWords, AgreesWithPythonEmailHeaderOnWellFormedWords) {
  std::mt19937 rng(3);
  const std::string plainChars = "abcXYZ019 .,;:!()<>@\"'-";
  const std::string qSafe = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!*+-/";
  const char* charsets[] = {"iso-8859-1", "utf-8", "US-ASCII", "windows-1252"};
  auto base64 = [](const std::string& data) {
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 3) {
      unsigned b0 = static_cast<unsigned char>(data[i]);
      unsigned b1 = i + 1 < data.size() ? static_cast<unsigned char>(data[i + 1]) : 0;
      unsigned b2 = i + 2 < data.size() ? static_cast<unsigned char>(data[i + 2]) : 0;
      unsigned w = b0 << 16 | b1 << 8 | b2;
      out.push_back(alphabet[w >> 18 & 63]);
      out.push_back(alphabet[w >> 12 & 63]);
      out.push_back(i + 1 < data.size() ? alphabet[w >> 6 & 63] : '=');
      out.push_back(i + 2 < data.size() ? alphabet[w & 63] : '=');
    }
    return out;
  };
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i) {
    std::string text;
    int words = 1 + static_cast<int>(rng() % 4);
    for (int w = 0; w < words; ++w) {
      std::string plain;
      int len = static_cast<int>(rng() % 6);
      for (int k = 0; k < len; ++k) plain.push_back(plainChars[rng() % plainChars.size()]);
      // Between words, and at the ends, at least one non-blank.
      if (w > 0 || rng() % 2) plain = "x" + plain + "y";
      text += plain;
      std::string data;
      int dlen = 1 + static_cast<int>(rng() % 20);
      for (int k = 0; k < dlen; ++k) data.push_back(static_cast<char>(1 + rng() % 255));
      text += std::string("=?") + charsets[rng() % 4] + "?";
      if (rng() % 2) {
        text += (rng() % 2 ? "B?" : "b?") + base64(data);
      } else {
        text += rng() % 2 ? "Q?" : "q?";
        for (char c : data) {
          unsigned char u = static_cast<unsigned char>(c);
          if (u == ' ') {
            text += "_";
          } else if (qSafe.find(c) != std::string::npos) {
            text.push_back(c);
          } else {
            static const char* hex = "0123456789ABCDEF";
            text += "=";
            text.push_back(hex[u >> 4]);
            text.push_back(hex[u & 15]);
          }
        }
      }
      text += "?=";
    }
    if (rng() % 2) text += "z.";
    texts.push_back(text);
  }
  std::string input;
  for (const auto& t : texts) input += test::HexOf(t) + "\n";
  auto result = test::RunPython(R"(
import sys
from email.header import decode_header
for line in sys.stdin:
    text = bytes.fromhex(line.strip()).decode('latin-1')
    out = b''
    for part, charset in decode_header(text):
        out += part.encode('latin-1') if isinstance(part, str) else part
    print(out.hex())
)",
                                input);
  ASSERT_EQ(result.ExitCode, 0);
  auto lines = Lines(result.Output);
  ASSERT_EQ(lines.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    EXPECT_EQ(test::HexOf(DecodeEncodedWords(texts[i])), lines[i]);
  }
}

}  // namespace
}  // namespace halvorn
