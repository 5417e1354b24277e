#include "foundation/crypto/md5.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(MD5, MatchesTheReferenceSuite) {
  std::string kEightyDigits;
  for (int i = 0; i < 8; ++i) kEightyDigits += "1234567890";
  struct Row {
    std::string input;
    const char* digest;
  } rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {kEightyDigits, "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    EXPECT_EQ(MD5Hex(row.input), row.digest);
  }
}

TEST(MD5, DigestsBytesAsStoredIncludingZerosAndHighBytes) {
  // A text with an embedded 0 must not be cut there, and bytes above 127 must
  // not be sign-extended into the arithmetic.
  std::string withZero("ab\0cd", 5);
  EXPECT_NE(MD5Hex(withZero), MD5Hex("ab"));
  std::string high(3, '\xff');
  EXPECT_NE(MD5Hex(high), MD5Hex(std::string(3, '\x7f')));
}

// Every length from 0 to 300, so each padding case (lengths near 55, 56, 63,
// 64, 119, 120) occurs, plus a few long inputs, against coreutils' md5sum.
TEST(MD5, AgreesWithMd5sumOnRandomBinaryInputs) {
  std::mt19937 random(1321);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {1000u, 4095u, 4096u, 65537u, 1000003u}) lengths.push_back(n);

  test::TempFolder folder;
  std::vector<std::string> argv = {"md5sum"};
  std::vector<std::string> inputs;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    std::string bytes(lengths[i], '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    std::string path = folder.Sub("in" + std::to_string(i));
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    argv.push_back(path);
    inputs.push_back(std::move(bytes));
  }
  test::CommandResult result = test::RunCommand(argv);
  ASSERT_EQ(result.ExitCode, 0);

  std::istringstream lines(result.Output);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::string expected, path;
    ASSERT_TRUE(lines >> expected >> path);
    SCOPED_TRACE("length " + std::to_string(inputs[i].size()));
    EXPECT_EQ(MD5Hex(inputs[i]), expected);
  }
}

TEST(MD5, PiecewiseUpdatesGiveTheSameDigestAsOne) {
  std::mt19937 random(7);
  std::string text(300, '\0');
  for (char& c : text) c = static_cast<char>(random() & 0xFF);
  const TMD5Digest whole = MD5String(text);
  // Splits that leave the buffer empty, part-filled and exactly full.
  for (std::size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 127u, 128u, 200u, 300u}) {
    SCOPED_TRACE(split);
    TMD5Context context;
    MD5Init(context);
    MD5Update(context, text.data(), split);
    MD5Update(context, text.data() + split, text.size() - split);
    TMD5Digest digest;
    MD5Final(context, digest);
    EXPECT_EQ(digest, whole);
  }
  // Byte by byte.
  TMD5Context context;
  MD5Init(context);
  for (char c : text) MD5Update(context, &c, 1);
  TMD5Digest digest;
  MD5Final(context, digest);
  EXPECT_EQ(digest, whole);
}

TEST(MD5, FinalWipesTheContext) {
  TMD5Context context;
  MD5Init(context);
  MD5Update(context, "secret password");
  TMD5Digest digest;
  MD5Final(context, digest);
  const TMD5Context zero{};
  EXPECT_EQ(context.State, zero.State);
  EXPECT_EQ(context.Count, zero.Count);
  EXPECT_EQ(context.Buffer, zero.Buffer);
}

TEST(MD5, HexIsLowerCaseHighHalfFirst) {
  TMD5Digest digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 17);
  digest[15] = 0xAF;
  EXPECT_EQ(MD5DigestToHex(digest), "00112233445566778899aabbccddeeaf");
}

TEST(MD5, TextDigestsInBothCasesAndTheTextHash) {
  struct Row {
    std::string text;
    std::string hex;
    std::uint32_t hash;
  };
  const Row rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", 0x3b75655e},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", 0x275fa452},
      {"The quick brown fox", "a2004f37730b9445670a738fa0fc9ee5", 0x1836fd16},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(MD5Hex(row.text), row.hex);
    std::string upper = row.hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(MD5HexUpper(row.text), upper);
    EXPECT_EQ(HashText(row.text), row.hash);
  }
}

}  // namespace
}  // namespace halvorn
