#include "foundation/text/string_list.h"

#include <gtest/gtest.h>

#include <random>

#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

TEST(StringListTest, CommaTextWritesQuotesOnlyWhereNeeded) {
  struct Row {
    Lines lines;
    std::string comma;
  };
  const Row rows[] = {
      {{}, ""},
      {{""}, "\"\""},
      {{"", ""}, ","},
      {{"a", ""}, "a,"},
      {{"", "a"}, ",a"},
      {{"a", "b c", "d"}, "a,\"b c\",d"},
      {{"x,y"}, "\"x,y\""},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"tab\there"}, "\"tab\there\""},
      {{"Name=Value", "K=a b"}, "Name=Value,\"K=a b\""},
      {{"\xE9t\xE9"}, "\xE9t\xE9"},  // 8-bit characters need no quotes
      {{std::string("z\0z", 3)}, std::string("\"z\0z\"", 5)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.comma);
    TStringList list = ListOf(row.lines);
    EXPECT_EQ(list.CommaText(), row.comma);
    TStringList back;
    back.SetCommaText(row.comma);
    EXPECT_EQ(back.ToVector(), row.lines);
  }
}

TEST(StringListTest, CommaTextReaderSkipsBlanksAndSplitsUnquotedItems) {
  struct Row {
    std::string comma;
    Lines lines;
  };
  const Row rows[] = {
      // Blanks and control characters separate items like commas do.
      {"a b", {"a", "b"}},
      {"  a ,\t b\r\n", {"a", "b"}},
      // Only one comma between items is skipped: the next one starts an empty item.
      {"a,,b", {"a", "", "b"}},
      {"a , , b", {"a", "", "b"}},
      {",", {"", ""}},
      // The property line of a message file starts with the blank after the colon.
      {" ContentId=12,SendAnon=Yes", {"ContentId=12", "SendAnon=Yes"}},
      // A doubled quote inside quotes is one quote; text after a closing quote is a new item.
      {"\"a\"\"b\"", {"a\"b"}},
      {"\"ab\"cd", {"ab", "cd"}},
      {"\"\"\"\"", {"\""}},
      // A missing closing quote ends the item at the end of the text.
      {"\"open, still", {"open, still"}},
      // A quote inside an unquoted item is kept.
      {"ab\"c,d", {"ab\"c", "d"}},
      {"", {}},
      {" \t ", {}},
      // Stray zero bytes neither stall the reader nor hide what follows.
      {std::string("a\0b", 3), {"a", "b"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.comma);
    TStringList list;
    list.SetCommaText(row.comma);
    EXPECT_EQ(list.ToVector(), row.lines);
  }
}

TEST(StringListTest, CommaTextRoundTripsRandomLists) {
  // Lines built from the characters the comma text treats specially.
  const std::string alphabet = std::string("ab=\",  \t\r\n\x01\x7F\xFF", 14) + std::string(1, '\0');
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    Lines lines(random() % 5);
    for (auto& line : lines) {
      int length = random() % 6;
      for (int k = 0; k < length; ++k) line += alphabet[random() % alphabet.size()];
    }
    TStringList list = ListOf(lines);
    const std::string comma = list.CommaText();
    TStringList back;
    back.SetCommaText(comma);
    ASSERT_EQ(back.ToVector(), lines) << "comma text: " << comma;
  }
}

TEST(StringListTest, NameValueAccessIgnoresCaseAndEmptyValueRemoves) {
  TStringList list =
      ListOf({"plain line", "Host=mail.example", "=nameless", "Port=110", "\xC9t\xE9=accented"});
  EXPECT_EQ(list.Names(0), "");
  EXPECT_EQ(list.ValueFromIndex(0), "");
  EXPECT_EQ(list.Names(1), "Host");
  EXPECT_EQ(list.Values("HOST"), "mail.example");
  EXPECT_EQ(list.IndexOfName("port"), 3);
  EXPECT_EQ(list.IndexOfName("plain line"), -1);  // a line without "=" has no name
  EXPECT_EQ(list.Values(""), "nameless");
  // Case of accented letters follows code page 1252, not the C locale.
  EXPECT_EQ(list.Values("\xE9T\xC9"), "accented");
  EXPECT_EQ(list.Values("missing"), "");

  list.SetValue("PORT", "995");
  EXPECT_EQ(list[3], "PORT=995");
  list.SetValue("User", "me=you");
  EXPECT_EQ(list[5], "User=me=you");
  EXPECT_EQ(list.Values("user"), "me=you");  // the value runs from the first "="
  list.SetValue("host", "");
  EXPECT_EQ(list.IndexOfName("Host"), -1);
  EXPECT_EQ(list.Count(), 5);
  list.SetValue("absent", "");  // removing what is not there changes nothing
  EXPECT_EQ(list.Count(), 5);
}

TEST(StringListTest, SetTextSplitsAtEveryLineBreak) {
  struct Row {
    std::string text;
    Lines lines;
  };
  const Row rows[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\n\r\nb", {"a", "", "b"}},
      {"a\r\r\n", {"a", ""}},
      {"\r\n\r\n", {"", ""}},
      {std::string("x\0y\n", 4), {std::string("x\0y", 3)}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    TStringList list;
    list.SetText(row.text);
    EXPECT_EQ(list.ToVector(), row.lines);
  }
  EXPECT_EQ(ListOf({"a", "", "b"}).Text(), "a\r\n\r\nb\r\n");
}

TEST(StringListTest, FilesRoundTripAndStopAtZeroByte) {
  test::TempFolder folder;
  TStringList list = ListOf({"one", "", "three"});
  ASSERT_TRUE(list.SaveToFile(folder.Sub("list.txt")));
  EXPECT_EQ(test::ReadFileBytes(folder.Sub("list.txt")), "one\r\n\r\nthree\r\n");
  TStringList back;
  ASSERT_TRUE(back.LoadFromFile(folder.Sub("list.txt")));
  EXPECT_EQ(back, list);

  ASSERT_TRUE(test::WriteFileBytes(folder.Sub("zero.txt"), std::string("a\nb\0c\nd", 7)));
  ASSERT_TRUE(back.LoadFromFile(folder.Sub("zero.txt")));
  EXPECT_EQ(back.ToVector(), (Lines{"a", "b"}));

  EXPECT_FALSE(back.LoadFromFile(folder.Sub("missing.txt")));
  EXPECT_EQ(back.Count(), 0);
  EXPECT_FALSE(list.SaveToFile(folder.Sub("no/such/folder.txt")));
}

TEST(StringListTest, SortedListKeepsOrderAndHonoursDuplicates) {
  TStringList list;
  list.SetSorted(true);
  for (const char* line : {"pear", "Apple", "fig", "apple"}) list.Add(line);
  // Ignoring case by default: "apple" equals "Apple" and is ignored.
  EXPECT_EQ(list.ToVector(), (Lines{"Apple", "fig", "pear"}));
  EXPECT_EQ(list.IndexOf("PEAR"), 2);
  EXPECT_EQ(list.IndexOf("kiwi"), -1);

  list.SetDuplicates(TDuplicates::dupAccept);
  EXPECT_EQ(list.Add("APPLE"), 1);  // after its equal
  list.SetDuplicates(TDuplicates::dupError);
  EXPECT_THROW(list.Add("fig"), EStringListError);
  EXPECT_THROW(list.Insert(0, "zzz"), EStringListError);

  TStringList exact;
  exact.SetCaseSensitive(true);
  exact.SetSorted(true);
  for (const char* line : {"b", "B", "a", "A"}) exact.Add(line);
  EXPECT_EQ(exact.ToVector(), (Lines{"A", "B", "a", "b"}));
  EXPECT_EQ(exact.IndexOf("a"), 2);

  // SetValue on a sorted list moves the changed line to its place.
  TStringList values;
  values.SetSorted(true);
  values.Add("b=1");
  values.Add("c=1");
  values.SetValue("a", "9");
  EXPECT_EQ(values.ToVector(), (Lines{"a=9", "b=1", "c=1"}));
}

TEST(StringListTest, ObjectsAndNumbersTravelWithTheirLines) {
  int first = 1;
  int second = 2;
  TStringList list;
  list.AddObject("x", &first);
  list.AddNumber("y", -7);
  list.AddObject("a", &second);
  list.Sort();
  EXPECT_EQ(list.ToVector(), (Lines{"a", "x", "y"}));
  EXPECT_EQ(list.Objects(0), &second);
  EXPECT_EQ(list.Objects(1), &first);
  EXPECT_EQ(list.Numbers(2), -7);
  EXPECT_EQ(list.IndexOfObject(&first), 1);

  TStringList copy = list;  // a value: the copy is independent
  copy.SetNumber(2, 40);
  copy.Move(2, 0);
  EXPECT_EQ(list.Numbers(2), -7);
  EXPECT_EQ(copy.ToVector(), (Lines{"y", "a", "x"}));
  EXPECT_EQ(copy.Numbers(0), 40);

  list.AddStrings(list);
  EXPECT_EQ(list.Count(), 6);
  EXPECT_THROW(list.Strings(6), std::out_of_range);
  EXPECT_THROW(list.Delete(-1), std::out_of_range);
}

}  // namespace
}  // namespace halvorn
