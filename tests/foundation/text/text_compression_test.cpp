#include "foundation/text/text_compression.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/test_support.h"

namespace halvorn {
namespace {

using namespace std::string_literals;

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string RandomBytes(std::size_t n, unsigned seed, int alphabet = 256) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, alphabet - 1);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(dist(gen));
  return out;
}

std::string Compressed(std::string text) {
  CompressString(text);
  return text;
}

std::string Expanded(std::string text) {
  ExpandString(text);
  return text;
}

// A block of a block-coded body: its little-endian signed length, then bytes.
std::string Block(const std::string& bytes, std::int32_t length) {
  const auto raw = static_cast<std::uint32_t>(length);
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(raw >> (8 * i) & 0xFF));
  return out + bytes;
}
std::string Block(const std::string& bytes) {
  return Block(bytes, static_cast<std::int32_t>(bytes.size()));
}

// A coded block: flag byte, coded length, coded data, pair table given as
// (first, second) pairs for the codes 129, 130, ...
std::string CodedBlock(const std::string& coded,
                       const std::vector<std::pair<unsigned char, unsigned char>>& pairs) {
  std::string out;
  out.push_back(static_cast<char>(127 + pairs.size()));
  out.push_back(static_cast<char>(coded.size() & 0xFF));
  out.push_back(static_cast<char>(coded.size() >> 8));
  out += coded;
  for (const auto& [first, second] : pairs) {
    out.push_back(static_cast<char>(second));
    out.push_back(static_cast<char>(first));
  }
  return out;
}

TEST(TextCompression, WritesTheKnownContainers) {
  struct Row {
    std::string text, container;
  } rows[] = {
      {"", ""},
      {"a", "\x02..a"},
      {"..x", "\x02....x"},
      {"ab", "\x02..ab"},
      {"abc",
       "\x02"
       "abc"},
      {".", "\x02..."},
      {std::string(100, 'a'), FromHex("0046C5FFFFFFFFFFFFFFFFFFFFFF7F0002")},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(Compressed(r.text), r.container);
    EXPECT_EQ(Expanded(r.container), r.text);
  }
}

TEST(TextCompression, StoresShortTextsAndCodesLongOnes) {
  struct Row {
    std::string text;
    char method;
  } rows[] = {
      {std::string(99, 'q'), 2},
      {std::string(100, 'q'), 0},
      // The ".." put in front counts towards the limit.
      {".." + std::string(95, 'q'), 2},
      {".." + std::string(96, 'q'), 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text.size());
    const std::string c = Compressed(r.text);
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c[0], r.method);
    EXPECT_EQ(Expanded(c), r.text);
  }
}

TEST(TextCompression, EveryTextRoundTrips) {
  std::vector<std::string> texts = {
      "x",
      "xy",
      "..",
      "...",
      "..x",
      "....",
      ".",
      "\x02",
      "\x02\x02",
      "abcdef",
      "abcdefg",
      "\0"s,
      "\0\0\0\0\0\0\0\0\0\0"s,
      "\xFF\xFE\x80",
      std::string(7, '\x02'),
      std::string(32767, 'z'),
      std::string(32768, 'z'),
      std::string(32769, '\0'),
  };
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  texts.push_back(all + all + all);
  for (std::size_t n : {1u, 2u, 5u, 6u, 7u, 98u, 99u, 100u, 101u, 1000u, 40000u, 70000u}) {
    texts.push_back(RandomBytes(n, static_cast<unsigned>(n)));
    texts.push_back(RandomBytes(n, static_cast<unsigned>(n) + 1, 4));
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size());
    std::string s = text;
    CompressString(s);
    ExpandString(s);
    EXPECT_EQ(s, text);
    std::string t = text;
    CompressText(t);
    EXPECT_EQ(
        t.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
    EXPECT_EQ(ExpandTextCopy(t), text);
    EXPECT_EQ(CompressBytesToText(text.data(), text.size()), t);
    EXPECT_EQ(CompressBufferToText(text.data(), text.size()), t);
  }
}

TEST(TextCompression, CodesLongTextsInChunksThatEachEndOnAByte) {
  // The first chunk of a 32768-byte text is coded exactly like a text of its
  // 32767 bytes alone: closed by the end code and padded to a byte.
  const std::string text = RandomBytes(32768, 7, 16);
  const std::string whole = Compressed(text);
  const std::string first = Compressed(text.substr(0, 32767));
  ASSERT_GT(whole.size(), first.size());
  EXPECT_EQ(whole.substr(0, first.size()), first);
  EXPECT_EQ(Expanded(whole), text);
}

TEST(TextCompression, TruncatedSplayBodyGivesWhatWasDecoded) {
  const std::string text = RandomBytes(3000, 11, 8);
  const std::string container = Compressed(text);
  std::size_t last = 0;
  for (std::size_t cut = 8; cut <= container.size(); ++cut) {
    const std::string part = Expanded(container.substr(0, cut));
    ASSERT_EQ(text.compare(0, part.size(), part), 0) << cut;
    ASSERT_GE(part.size(), last) << cut;
    last = part.size();
  }
  EXPECT_EQ(last, text.size());
}

TEST(TextCompression, ReadsStoredContainersOfAnyMethodAndLength) {
  struct Row {
    std::string container, text;
  } rows[] = {
      {"\x07"
       "abcdefgh",
       "abcdefgh"},
      {"\xFF..abcdefg", "abcdefg"},
      {"\x02"
       "..abcdef",
       "abcdef"},
      // Short stored containers, as CompressString writes them.
      {"\x02..a", "a"},
      {"\x02..ab", "ab"},
      {"\x02"
       "abc",
       "abc"},
      {"\x02...", "."},
      {"\x02....", ".."},
      {"\x02", ""},
      // Other short texts are no containers and stay as they are.
      {"", ""},
      {"\x07..a", "\x07..a"},
      {"abcdefg", "abcdefg"},
      {"\x00\x00\x01"s, "\x00\x00\x01"s},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.container);
    EXPECT_EQ(Expanded(r.container), r.text);
  }
}

TEST(TextCompression, ReadsBlockCodedBodies) {
  // 129 = "ab", 130 = 129 "c"; 128 adds 128 to the next literal.
  const std::string coded = CodedBlock("\x82\x80\x41\x81-\x80\x81"s, {{'a', 'b'}, {0x81, 'c'}});
  struct Row {
    std::string body, text;
  } rows[] = {
      {Block("stored block"), "stored block"},
      {Block(coded),
       "abc\xC1"
       "ab-\xE1"
       "b"},
      {Block("one ") + Block("two"), "one two"},
      {Block("") + Block("end"), "end"},
      // A coded length beyond the block gives nothing; the next block is read.
      {Block("\x81\xFF\x00xyz"s) + Block("next"), "next"},
      {Block("\x80\x01"s) + Block("next"), "next"},
      // A last block shorter than its length is read as far as it goes;
      // a length cut short ends the body.
      {Block("tail", 100), "tail"},
      {Block("whole") + "\x05\x00"s, "whole"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(Expanded("\x01"s + r.body), r.text);
  }
}

TEST(TextCompression, RejectsUnreadableBlockCodedBodies) {
  struct Row {
    std::string body, message;
  } rows[] = {
      {Block("xyz", 40000), "Read blocksize too big. BlockSize=40000"},
      {Block("xyz", 32768), "Read blocksize too big. BlockSize=32768"},
      {Block("xyz", -1), "Read blocksize too big. BlockSize=-1"},
      {Block("ok") + Block("x", -2147483647 - 1), "Read blocksize too big. BlockSize=-2147483648"},
      // A pair may only refer to codes below its own: no cycles.
      {Block(CodedBlock("\x81", {{0x81, 'a'}})), "Bad pair code in compressed block: 129"},
      {Block(CodedBlock("\x82", {{'a', 'b'}, {0x82, 'a'}})),
       "Bad pair code in compressed block: 130"},
      // A code without a table entry.
      {Block(CodedBlock("\x83", {{'a', 'b'}})), "Bad pair code in compressed block: 131"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.message);
    std::string text = "\x01"s + r.body;
    const std::string before = text;
    try {
      ExpandString(text);
      ADD_FAILURE() << "no error";
    } catch (const ECompressionError& e) {
      EXPECT_EQ(std::string(e.what()), r.message);
    }
    EXPECT_EQ(text, before);
  }
}

TEST(TextCompression, CapsTheExpansionOfNestedPairs) {
  // Each code doubles the one below it: 2^127 bytes if nothing stopped it.
  std::vector<std::pair<unsigned char, unsigned char>> pairs = {{'a', 'a'}};
  for (int code = 129; code < 255; ++code) {
    pairs.push_back({static_cast<unsigned char>(code), static_cast<unsigned char>(code)});
  }
  std::string text = "\x01"s + Block(CodedBlock("\xFF", pairs));
  EXPECT_THROW(ExpandString(text), ECompressionError);
  // Just under the cap a block is read whole: code 129 + 14 doubles 15 times.
  pairs.resize(16);
  std::string fits = "\x01"s + Block(CodedBlock("\x8F", pairs));
  ExpandString(fits);
  EXPECT_EQ(fits, std::string(1 << 15, 'a'));
}

TEST(TextCompression, Base64KnownForms) {
  struct Row {
    std::string bytes, text;
  } rows[] = {
      {"", ""},          {"a", "YQ=="},        {"ab", "YWI="},
      {"abc", "YWJj"},   {"abcd", "YWJjZA=="}, {"\xFF\xFF\xFE", "///+"},
      {"\0\0"s, "AAA="},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(Base64Encode(r.bytes), r.text);
    EXPECT_EQ(Base64Decode(r.text), r.bytes);
  }
}

TEST(TextCompression, Base64DecodeReadsGroupsOfFour) {
  struct Row {
    std::string text, bytes;
  } rows[] = {
      {"", ""},
      {"YQ", ""},  // an incomplete last group is ignored
      {"YWJjYQ", "abc"},
      {"YWJjYQ=", "abc"},
      {"YQ==YWJj",
       "a"
       "abc"},       // padding inside the text ends only its group
      {"Y===", ""},  // one counted character gives nothing
      {"====", ""},
      {"YW\r\nJj",
       "a"
       ""},            // nothing is skipped: line ends fall inside groups
      {"Y!WJ", "ab"},  // others are passed over within their group
      {"YWJ*", "ab"},
      {"\xFF\xFF\xFF\xFF", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(Base64Decode(r.text), r.bytes);
  }
}

TEST(TextCompression, Base64AgreesWithPython) {
  std::string input;
  std::vector<std::string> samples;
  for (unsigned n = 0; n < 64; ++n) {
    samples.push_back(RandomBytes(n * 7 % 50, n));
    input += Base64Encode(samples.back()) + "\n";
  }
  const auto result = test::RunPython(
      "import sys, base64\n"
      "for line in sys.stdin.read().split('\\n')[:-1]:\n"
      "    data = base64.b64decode(line, validate=True)\n"
      "    print(base64.b64encode(data).decode(), data.hex())\n",
      input);
  ASSERT_EQ(result.ExitCode, 0);
  std::string expected;
  for (const std::string& s : samples) {
    expected += Base64Encode(s) + " " + test::HexOf(s) + "\n";
    EXPECT_EQ(Base64Decode(Base64Encode(s)), s);
  }
  EXPECT_EQ(result.Output, expected);
}

TEST(TextCompression, EmptyTextsStayEmpty) {
  std::string a, b, c, d;
  CompressText(a);
  ExpandText(b);
  CompressString(c);
  ExpandString(d);
  EXPECT_EQ(a + b + c + d, "");
  EXPECT_EQ(ExpandTextCopy(""), "");
  EXPECT_EQ(CompressBytesToText(nullptr, 0), "");
  // A text that is no base64 at all expands to nothing rather than failing.
  EXPECT_EQ(ExpandTextCopy("!!!!"), "");
}

}  // namespace
}  // namespace halvorn
