#include "foundation/net/line_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace halvorn {
namespace {

std::vector<std::string> TakeAll(TLineBuffer& buffer) {
  std::vector<std::string> lines;
  std::string line;
  while (buffer.TakeLine(line)) lines.push_back(line);
  return lines;
}

struct SplitCase {
  const char* name;
  std::string input;
  std::vector<std::string> lines;
  std::string partial;
};

// Every case is fed whole, byte by byte and in random pieces: the lines and
// the partial line must not depend on where the stream was cut.
const std::vector<SplitCase>& SplitCases() {
  static const std::vector<SplitCase> cases = {
      {"two CR LF lines", "USER a\r\nPASS b\r\n", {"USER a", "PASS b"}, ""},
      {"no line end stays partial", "HELO half", {}, "HELO half"},
      {"partial after a line", "one\r\ntwo", {"one"}, "two"},
      {"bare LF ends a line", "a\nb\n", {"a", "b"}, ""},
      {"bare CR ends a line", "a\rb\r", {"a", "b"}, ""},
      {"LF CR is two line ends", "a\n\rb\r\n", {"a", "", "b"}, ""},
      {"empty lines are kept", "\r\n\r\nx\r\n\n", {"", "", "x", ""}, ""},
      {"CR CR LF is an empty line", "a\r\r\n", {"a", ""}, ""},
      {"mixed ends", "a\r\nb\nc\rd", {"a", "b", "c"}, "d"},
      {"NUL dropped alone", std::string("ab\0cd\r\nef", 9), {"abcd"}, "ef"},
      {"NUL between CR and LF", std::string("a\r\0\nb\r\n", 7), {"a", "b"}, ""},
      {"only NULs", std::string("\0\0\0", 3), {}, ""},
      {"8-bit bytes kept", "\xff\xe9\x80\r\n", {"\xff\xe9\x80"}, ""},
  };
  return cases;
}

void FeedInPieces(TLineBuffer& buffer, const std::string& input, std::mt19937& random) {
  std::size_t pos = 0;
  while (pos < input.size()) {
    std::size_t n = std::uniform_int_distribution<std::size_t>(0, input.size() - pos)(random);
    ASSERT_TRUE(buffer.Append(std::string_view(input).substr(pos, n)));
    pos += n;
  }
}

TEST(LineBuffer, SplitsTheSameWhateverThePieces) {
  std::mt19937 random(12345);
  for (const SplitCase& row : SplitCases()) {
    SCOPED_TRACE(row.name);
    {
      TLineBuffer whole;
      ASSERT_TRUE(whole.Append(row.input));
      EXPECT_EQ(TakeAll(whole), row.lines);
      EXPECT_EQ(whole.PartialLine(), row.partial);
    }
    {
      TLineBuffer bytes;
      for (char c : row.input) ASSERT_TRUE(bytes.Append(std::string_view(&c, 1)));
      EXPECT_EQ(TakeAll(bytes), row.lines);
      EXPECT_EQ(bytes.PartialLine(), row.partial);
    }
    for (int round = 0; round < 50; ++round) {
      TLineBuffer pieces;
      FeedInPieces(pieces, row.input, random);
      EXPECT_EQ(TakeAll(pieces), row.lines);
      EXPECT_EQ(pieces.PartialLine(), row.partial);
    }
  }
}

// CR at the end of one packet and LF at the start of the next: one line end,
// no stray empty line and no CR left in the text.
TEST(LineBuffer, CrAndLfInDifferentPackets) {
  TLineBuffer buffer;
  ASSERT_TRUE(buffer.Append("first\r"));
  ASSERT_TRUE(buffer.Append("\nsecond\r"));
  ASSERT_TRUE(buffer.Append("\n"));
  EXPECT_EQ(TakeAll(buffer), (std::vector<std::string>{"first", "second"}));
  EXPECT_FALSE(buffer.HasPendingInput());
}

// Randomly generated streams of lines with random ends, re-chunked at random:
// the lines come out as they were written.
TEST(LineBuffer, RandomStreamsRoundTrip) {
  std::mt19937 random(777);
  const char* ends[] = {"\r\n", "\n", "\r"};
  const std::string alphabet = std::string("ab .\t\x80\xff", 7);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> lines;
    std::string stream;
    int count = std::uniform_int_distribution<int>(0, 30)(random);
    for (int i = 0; i < count; ++i) {
      std::string line;
      int length = std::uniform_int_distribution<int>(0, 12)(random);
      for (int k = 0; k < length; ++k)
        line +=
            alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
      lines.push_back(line);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string end = ends[std::uniform_int_distribution<int>(0, 2)(random)];
      // A bare CR before an empty line ended by LF would be read as CR LF:
      // that stream means something else, so it is not generated.
      if (end == "\r" && i + 1 < lines.size() && lines[i + 1].empty()) end = "\r\n";
      stream += lines[i] + end;
    }
    SCOPED_TRACE(stream);
    TLineBuffer buffer;
    FeedInPieces(buffer, stream, random);
    EXPECT_EQ(TakeAll(buffer), lines);
    EXPECT_EQ(buffer.PartialLine(), "");
  }
}

TEST(LineBuffer, CapsTheLineWithoutEnd) {
  TLineBuffer buffer(10);
  EXPECT_TRUE(buffer.Append("ok\r\n0123456789"));  // exactly at the cap
  EXPECT_EQ(buffer.PartialLine(), "0123456789");
  EXPECT_TRUE(buffer.Append("\r\n"));
  EXPECT_FALSE(buffer.Append("0123456789A"));  // one byte beyond
  EXPECT_TRUE(buffer.Overflowed());
  EXPECT_EQ(buffer.PartialLine(), "");
  EXPECT_FALSE(buffer.Append("\r\nmore\r\n"));  // ignored from now on
  // Lines completed before the overflow are still handed out.
  EXPECT_EQ(TakeAll(buffer), (std::vector<std::string>{"ok", "0123456789"}));
  buffer.Clear();
  EXPECT_FALSE(buffer.Overflowed());
  EXPECT_TRUE(buffer.Append("x\n"));
  EXPECT_EQ(TakeAll(buffer), (std::vector<std::string>{"x"}));
}

TEST(LineBuffer, CapCountsAcrossPiecesAndIgnoresNul) {
  TLineBuffer buffer(6);
  EXPECT_TRUE(buffer.Append("abc"));
  EXPECT_TRUE(buffer.Append(std::string("\0\0\0def", 6)));  // NULs do not count
  EXPECT_EQ(buffer.PartialLine(), "abcdef");
  EXPECT_FALSE(buffer.Append("g"));
}

TEST(LineBuffer, ResetInputKeepsCrLfPairing) {
  TLineBuffer buffer;
  ASSERT_TRUE(buffer.Append("a\r\nb\rc"));
  EXPECT_TRUE(buffer.HasPendingInput());
  buffer.ResetInput();
  EXPECT_FALSE(buffer.HasPendingInput());
  ASSERT_TRUE(buffer.Append("x\r"));
  buffer.ResetInput();
  ASSERT_TRUE(buffer.Append("\ny\n"));  // the LF still pairs with the CR
  EXPECT_EQ(TakeAll(buffer), (std::vector<std::string>{"y"}));
}

}  // namespace
}  // namespace halvorn
