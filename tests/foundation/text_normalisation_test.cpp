#include "foundation/text_normalisation.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "support/test_support.h"

namespace halvorn {
namespace {

std::string ToHex(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex;
}

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
    feed += ToHex(text) + "\n";
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

}  // namespace
}  // namespace halvorn
