#include "foundation/text/text_helpers.h"

#include <gtest/gtest.h>

#include <string>

#include "support/string_list_helpers.h"

namespace halvorn {
namespace {

using test::ListOf;

TEST(TextHelpersTest, CharacterClassesAtTheirBoundaries) {
  struct Row {
    const char* name;
    bool (*test)(unsigned char);
    std::string yes;
    std::string no;
  };
  const Row rows[] = {
      {"IsAsciiChar", IsAsciiChar, std::string("\0\x7F", 2), "\x80\xFF"},
      {"IsLetterChar", IsLetterChar, "AZaz", "@[`{\xC9"},
      {"IsLetterOrSpace", IsLetterOrSpace, "aZ ", "\t0"},
      {"IsControlChar", IsControlChar, std::string("\0\x1F", 2), " \x7F"},
      {"IsBlankChar", IsBlankChar, "\t ", "\r\n\x0B"},
      {"IsSpaceOrControlChar", IsSpaceOrControlChar, std::string("\0\t\r\n\x1F ", 6), "!\x7F\xA0"},
      {"IsDigitChar", IsDigitChar, "09", "/:"},
      {"IsVisibleChar", IsVisibleChar, "!~", " \x7F\x80"},
      {"IsInvisibleChar", IsInvisibleChar, " \x7F\xA0", "!~"},
      {"IsUpperChar", IsUpperChar, "AZ", "az\xC9"},
      {"IsLowerChar", IsLowerChar, "az", "AZ\xE9"},
      {"IsSentenceChar", IsSentenceChar, "az!.?", "A,;"},
      {"IsAddressChar", IsAddressChar, "a@.-_+$!'=", "\"#%&()*/;<>[\\]{|} "},
      {"IsFileNameChar", IsFileNameChar, " a.-_#&(", "\"*/:<>?\\|\t"},
      {"IsUrlSafeChar", IsUrlSafeChar, "a%&+:/@.=?~'", "!\"#$()*,;<>[]{|} "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (unsigned char c : row.yes) EXPECT_TRUE(row.test(c)) << "code " << int(c);
    for (unsigned char c : row.no) EXPECT_FALSE(row.test(c)) << "code " << int(c);
  }
}

TEST(TextHelpersTest, CutBetweenTakesThePieceAndLeavesTheRest) {
  struct Row {
    std::string start, end, text;
    bool withMarkers;
    bool ok;
    std::string piece, rest;
  };
  const Row rows[] = {
      {"(", ")", "x(abc)y", false, true, "abc", "x()y"},
      {"(", ")", "x(abc)y", true, true, "(abc)", "xy"},
      {"", "", "whole", false, true, "whole", ""},
      {"", "|", "name|rest", false, true, "name", "|rest"},
      {"", "|", "name|rest", true, true, "name|", "rest"},
      // An empty start marker with the end marker at position 1 fails.
      {"", "|", "|rest", false, false, "", "|rest"},
      {"<", "", "a<bcd", false, true, "bcd", "a<"},
      {"<", "", "a<bcd", true, true, "<bcd", "a"},
      {"[", "]", "no markers", false, false, "", "no markers"},
      {"[", "]", "open [only", false, false, "", "open [only"},
      // The end marker is looked for from the start marker on.
      {"[", "]", "] before [x]", false, true, "x", "] before []"},
      {"<", "", "ab<", false, false, "", "ab<"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.start + " " + row.end + " " + row.text);
    std::string text = row.text;
    std::string piece = "stale";
    EXPECT_EQ(CutBetween(row.start, row.end, text, row.withMarkers, piece), row.ok);
    EXPECT_EQ(piece, row.piece);
    EXPECT_EQ(text, row.rest);
    std::string between;
    EXPECT_EQ(TextBetween(row.start, row.end, row.text, row.withMarkers, between), row.ok);
    EXPECT_EQ(between, row.piece);
  }
}

TEST(TextHelpersTest, TextHelpers) {
  EXPECT_EQ(PadLeft("  42", 5, "0"), "00042");
  EXPECT_EQ(PadLeft("12345678", 4, "0"), "5678");
  EXPECT_EQ(PadLeft("7", 4, "ab"), "abab7");  // at least width long
  EXPECT_EQ(PadLeft("7", 4, ""), "7");        // no endless loop on an empty fill
  EXPECT_EQ(PadLeft("7", -1, "0"), "");
  EXPECT_EQ(TrimLeadingSpaces("  \ta "), "\ta ");
  EXPECT_EQ(TrimText("\r\n a b\t\x01"), "a b");
  EXPECT_EQ(TrimTextView("\r\n a b\t\x01"), "a b");
  EXPECT_EQ(TrimLeftView("\r\n a b\t "), "a b\t ");
  EXPECT_EQ(TrimRightView("\r\n a b\t "), "\r\n a b");
  EXPECT_EQ(TrimTextView(std::string(" \0 ", 3)), "");
  EXPECT_EQ(TrimText("\xA0x\xA0"), "\xA0x\xA0");  // only codes up to 32 are trimmed

  struct Prefix {
    std::string text;
    bool removed;
    std::string rest;
  };
  const Prefix prefixes[] = {
      {"Re: Fw: hello", true, " hello"},   {"RE:FWD:x", true, "x"},         {":x", true, "x"},
      {"Subject: x", false, "Subject: x"}, {"no colon", false, "no colon"}, {"Re:", true, ""},
  };
  for (const auto& row : prefixes) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    EXPECT_EQ(StripShortPrefixes(text), row.removed);
    EXPECT_EQ(text, row.rest);
  }

  EXPECT_EQ(BoolToText(true), "True");
  EXPECT_EQ(BoolToText(false), "False");

  std::string quoted = "\"a b\"";
  EXPECT_TRUE(StripDoubleQuotes(quoted));
  EXPECT_EQ(quoted, "a b");
  std::string lone = "\"";
  EXPECT_FALSE(StripDoubleQuotes(lone));
  EXPECT_EQ(CStrToString(nullptr), "");
  EXPECT_EQ(BytesToString("a\0b", 3), std::string("a\0b", 3));
  EXPECT_EQ(BytesToString("abc", -1), "");
}

TEST(TextHelpersTest, SearchesFindOneBasedPositions) {
  EXPECT_EQ(PosOf("lo", "hello lo"), 4);
  EXPECT_EQ(PosOf("LO", "hello"), 0);
  EXPECT_EQ(PosOf("", "hello"), 0);
  EXPECT_EQ(PosCI("LO", "hello"), 4);
  EXPECT_EQ(PosCI("x", "hello"), 0);

  struct Row {
    std::string text, part;
    int start, position;
  };
  const Row rows[] = {
      {"abcABC", "abc", 1, 1},
      {"abcABC", "abc", 2, 4},
      {"abcABC", "abc", 5, 0},
      {"abc", "ABC", -3, 1},
      // Accented letters match their other case (code page 1252).
      {"caf\xC9 caf\xE9", "CAF\xE9", 2, 6},
      {"short", "longer text", 1, 0},
      {"abc", "", 1, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text + " / " + row.part);
    EXPECT_EQ(FindTextCIFrom(row.text, row.part, row.start), row.position);
  }
}

TEST(TextHelpersTest, CommonSubstrings) {
  struct Row {
    std::string first, second;
    int minLength;
    bool caseSensitive;
    std::string result;
  };
  const Row rows[] = {
      {"hello world", "say hello there", 4, true, "hello "},
      {"HELLO", "say hello", 4, false, "hello"},  // taken from the second text
      {"HELLO", "say hello", 4, true, ""},
      {"ab", "AB", 4, false, "ab"},          // equal texts give the first, even when short
      {"abcxyz", "xyzabc", 3, true, "abc"},  // the first of equally long pieces
      {"abcd", "zzabc", 4, true, ""},        // too short
      {"", "abc", 1, true, ""},
      // Only the first occurrence of a character in the second text is tried.
      {"abcd", "ab abcd!", 1, true, "ab"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first + " / " + row.second);
    std::string result = "stale";
    LongestCommonSubstring(row.first, row.second, row.minLength, result, row.caseSensitive);
    EXPECT_EQ(result, row.result);
  }

  std::string common;
  CommonSubstringsOfList(
      ListOf({"buy cheap pills", "Cheap Pills now", "cheap pills here", "unrelated"}), 4, false,
      common);
  EXPECT_EQ(common, "Cheap Pills");
  CommonSubstringsOfList(ListOf({"only one line"}), 4, false, common);
  EXPECT_EQ(common, "");
}
}  // namespace
}  // namespace halvorn
