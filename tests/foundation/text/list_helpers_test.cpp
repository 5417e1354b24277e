#include "foundation/text/list_helpers.h"

#include <gtest/gtest.h>

#include <string>

#include "support/string_list_helpers.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

TEST(ListHelpersTest, SplittingAndJoining) {
  struct Row {
    std::string text, separator;
    Lines pieces;
  };
  const Row rows[] = {
      {"a,b,c", ",", {"a", "b", "c"}},    {"a,b,", ",", {"a", "b"}},  // no empty last piece
      {",a,,b", ",", {"", "a", "", "b"}}, {"", ",", {}},
      {"a::b::", "::", {"a", "b"}},       {"abc", "", {"abc"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    TStringList list = ListOf({"kept"});
    SplitToList(row.text, row.separator, list);
    Lines expected = row.pieces;
    expected.insert(expected.begin(), "kept");  // pieces are appended
    EXPECT_EQ(list.ToVector(), expected);
  }
  EXPECT_EQ(JoinStringList(ListOf({"a", "", "b"}), ", "), "a, , b");
  EXPECT_EQ(JoinStringList(TStringList(), ","), "");

  TStringList pairs = ListOf({"old"});
  SplitAmpersandList("Name=a+b&Cat=%41%2&", pairs);
  EXPECT_EQ(pairs.ToVector(), (Lines{"Name=a b", "Cat=A%2"}));
}

TEST(ListHelpersTest, ListEdits) {
  TStringList three = ListOf({"x", "x", "x"});
  RemoveDuplicateLinesUnsorted(three);
  EXPECT_EQ(three.ToVector(), (Lines{"x"}));

  TStringList mixed = ListOf({"b", "a", "B", "b", "a"});
  RemoveDuplicateLines(mixed, false);
  EXPECT_EQ(mixed.ToVector(), (Lines{"b", "a", "B"}));

  // Sorting ignores case, so the exact repeats of "a" need not be neighbours.
  TStringList sorted = ListOf({"a", "A", "a", "c", "b", "A"});
  RemoveDuplicateLines(sorted, true);
  EXPECT_EQ(sorted.ToVector(), (Lines{"a", "A", "b", "c"}));

  TStringList reversed = ListOf({"1", "2", "3"});
  ReverseStringList(reversed);
  EXPECT_EQ(reversed.ToVector(), (Lines{"3", "2", "1"}));

  TStringList trimmed = ListOf({"  a ", "\tb\r", ""});
  TrimStringList(trimmed);
  EXPECT_EQ(trimmed.ToVector(), (Lines{"a", "b", ""}));

  TStringList plain = ListOf({"a", "b"});
  EXPECT_FALSE(ListRoundTripChanged(plain));
  TStringList broken = ListOf({"a\r\nb", "c\rd\ne"});
  EXPECT_TRUE(ListRoundTripChanged(broken));
  EXPECT_EQ(broken.ToVector(), (Lines{"a", "b", "c", "d", "e"}));

  TStringList numbers = ListOf({"10", "9", "100", "1"});
  BubbleSortList(numbers, [](const std::string& a, const std::string& b) {
    return std::stoi(a) - std::stoi(b);
  });
  EXPECT_EQ(numbers.ToVector(), (Lines{"1", "9", "10", "100"}));
  // A comparison that always wants an exchange must not hang.
  TStringList stubborn = ListOf({"a", "b", "c"});
  BubbleSortList(stubborn, [](const std::string&, const std::string&) { return 1; });
  EXPECT_EQ(stubborn.Count(), 3);

  // A sorted list is edited through a copy and stays sorted.
  TStringList sortedList;
  sortedList.SetSorted(true);
  sortedList.Add(" b");
  sortedList.Add("a");
  TrimStringList(sortedList);
  EXPECT_EQ(sortedList.ToVector(), (Lines{"a", "b"}));
  EXPECT_TRUE(sortedList.Sorted());
}

TEST(ListHelpersTest, TildeColumnsLineUp) {
  TStringList list = ListOf({"a~1~x", "long name~2", "none", "mid~33~y"});
  AlignTildeColumns(list, 40);
  EXPECT_EQ(list.ToVector(), (Lines{"a        1 x", "long name2", "none", "mid      33y"}));

  TStringList capped = ListOf({"a~b", "a very long label~c"});
  AlignTildeColumns(capped, 5);
  EXPECT_EQ(capped.ToVector(), (Lines{"a   b", "a very long labelc"}));
}

TEST(ListHelpersTest, WrapLongLines) {
  struct Row {
    Lines lines;
    int width;
    bool keepIndent;
    Lines wrapped;
  };
  const Row rows[] = {
      {{"one two three"}, 8, false, {"one two ", "three"}},
      {{"  one two three"}, 8, true, {"  one ", "  two ", "  three"}},
      {{"abcdefghij klm"}, 5, false, {"abcdefghij ", "klm"}},
      {{"abcdefghij"}, 5, false, {"abcdefghij"}},
      // The only space within the width is the last leading one: break later.
      {{" abcdef gh"}, 3, false, {" abcdef ", "gh"}},
      // An indent deeper than the width cannot make the wrapping endless.
      {{"          a b c"}, 4, true, {"          a ", "          b ", "          c"}},
      {{"short", "fits"}, 10, true, {"short", "fits"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines[0]);
    TStringList list = ListOf(row.lines);
    WrapLongLines(list, row.width, row.keepIndent);
    EXPECT_EQ(list.ToVector(), row.wrapped);
  }

  TStringList padded = ListOf({"ab", "abcdef", ""});
  PadLinesRight(padded, 4, '.');
  EXPECT_EQ(padded.ToVector(), (Lines{"ab..", "abcdef", "...."}));
}

TEST(ListHelpersTest, CommaTextHelpers) {
  const std::string props = "ContentId=12,\"Name=a b\",SendAnon=Yes";
  EXPECT_EQ(CommaTextValue(props, "name"), "a b");
  EXPECT_EQ(CommaTextValue(props, "missing"), "");
  EXPECT_EQ(LinesValue("A=1\r\nB=2\nC=3", "b"), "2");

  std::string text = props;
  CommaTextSetValue("sendanon", "", text);
  EXPECT_EQ(text, "ContentId=12,\"Name=a b\"");
  CommaTextSetValue("RcptTo", "x@y,z@w", text);
  EXPECT_EQ(text, "ContentId=12,\"Name=a b\",\"RcptTo=x@y,z@w\"");
  EXPECT_EQ(CommaTextValue(text, "RcptTo"), "x@y,z@w");

  EXPECT_EQ(TextToCommaText("a b\r\nc\n"), "\"a b\",c");
  EXPECT_EQ(CommaTextToLines("\"a b\",c"), "a b\r\nc");
  // Lines stored as a comma text come back the same, empty last lines
  // included (else each save would drop one).
  for (const char* commaText : {"\"a b\",c", ",", "\"\"", "a,", ",a", "a,,", ",,", ""}) {
    SCOPED_TRACE(commaText);
    EXPECT_EQ(TextToCommaText(CommaTextToLines(commaText)), commaText);
  }

  struct Merge {
    std::string first, second;
    bool keep;
    std::string merged;
  };
  const Merge merges[] = {
      {"\"\"", "x,y", false, "x,y"},   {"", "x,y", false, "x,y"},
      {"a,b", "\"\"", false, "a,b"},   {"a,b", "b,c,a", false, "a,b,c"},
      {"a,b", "b,c", true, "a,b,b,c"}, {"a,a", "a", false, "a"},
  };
  for (const auto& row : merges) {
    SCOPED_TRACE(row.first + " + " + row.second);
    EXPECT_EQ(MergeCommaTexts(row.first, row.second, row.keep), row.merged);
  }
}
}  // namespace
}  // namespace halvorn
