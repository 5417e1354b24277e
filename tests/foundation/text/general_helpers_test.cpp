#include "foundation/text/general_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "platform/main_thread.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

TEST(GeneralHelpersTest, CharacterClassesAtTheirBoundaries) {
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

TEST(GeneralHelpersTest, CutBetweenTakesThePieceAndLeavesTheRest) {
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

TEST(GeneralHelpersTest, TextHelpers) {
  EXPECT_EQ(PadLeft("  42", 5, "0"), "00042");
  EXPECT_EQ(PadLeft("12345678", 4, "0"), "5678");
  EXPECT_EQ(PadLeft("7", 4, "ab"), "abab7");  // at least width long
  EXPECT_EQ(PadLeft("7", 4, ""), "7");        // no endless loop on an empty fill
  EXPECT_EQ(PadLeft("7", -1, "0"), "");
  EXPECT_EQ(TrimLeadingSpaces("  \ta "), "\ta ");
  EXPECT_EQ(TrimText("\r\n a b\t\x01"), "a b");

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

  struct Size {
    bool truncate;
    std::int64_t value;
    std::int64_t number;
    std::string unit;
  };
  const Size sizes[] = {
      {false, 1500, 1500, ""},       {false, 3000000, 3, "Mega"}, {false, 0, 0, "Giga"},
      {false, 2000, 2, "Kilo"},      {true, 1500, 1, "Kilo"},     {true, 3456789, 3, "Mega"},
      {true, 7999999999, 7, "Giga"}, {true, 1000, 1, "Kilo"},     {false, 5000000000, 5, "Giga"},
      {true, 999, 999, ""},
  };
  for (const auto& row : sizes) {
    SCOPED_TRACE(row.value);
    std::string unit = "stale";
    EXPECT_EQ(SizeToText(row.truncate, row.value, unit), row.number);
    EXPECT_EQ(unit, row.unit);
  }

  EXPECT_EQ(IntToHexDigits(0x1A2B3C4D, 8), "1A2B3C4D");
  EXPECT_EQ(IntToHexDigits(0x1A2B3C4D, 2), "4D");
  EXPECT_EQ(IntToHexDigits(255, 12), "000000FF");
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

TEST(GeneralHelpersTest, SearchesFindOneBasedPositions) {
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

TEST(GeneralHelpersTest, CommonSubstrings) {
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

TEST(GeneralHelpersTest, DigestsAgreeWithPython) {
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

TEST(GeneralHelpersTest, SplittingAndJoining) {
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

TEST(GeneralHelpersTest, ListEdits) {
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

TEST(GeneralHelpersTest, TildeColumnsLineUp) {
  TStringList list = ListOf({"a~1~x", "long name~2", "none", "mid~33~y"});
  AlignTildeColumns(list, 40);
  EXPECT_EQ(list.ToVector(), (Lines{"a        1 x", "long name2", "none", "mid      33y"}));

  TStringList capped = ListOf({"a~b", "a very long label~c"});
  AlignTildeColumns(capped, 5);
  EXPECT_EQ(capped.ToVector(), (Lines{"a   b", "a very long labelc"}));
}

TEST(GeneralHelpersTest, WrapLongLines) {
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

TEST(GeneralHelpersTest, CommaTextHelpers) {
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

TEST(GeneralHelpersTest, FileMasksIgnoreCase) {
  struct Row {
    std::string name, mask;
    bool matches;
  };
  const Row rows[] = {
      {"Report.LOG", "*.log", true},
      {"noext", "*.*", true},
      {"a.txt", "?.TXT", true},
      {"ab.txt", "?.txt", false},
      {"a.b.c", "*.c", true},
      {"file.log.bak", "*.log", false},
      {"\xC9T\xC9.txt", "\xE9t\xE9*", true},
      {"x", "", false},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*c", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name + " ~ " + row.mask);
    EXPECT_EQ(MatchesFileMask(row.name, row.mask), row.matches);
  }
}

TEST(GeneralHelpersTest, ListingFilesStaysOutOfFolderLinks) {
  namespace fs = std::filesystem;
  test::TempFolder folder;
  const std::string root = folder.Path();
  fs::create_directories(root + "/sub/deeper");
  fs::create_directories(root + "/Other");
  for (const char* name :
       {"a.LOG", "b.log", "c.txt", "sub/d.Log", "sub/deeper/e.log", "Other/f.log"}) {
    ASSERT_TRUE(test::WriteFileBytes(root + "/" + name, "x"));
  }
  fs::create_directory(root + "/dir.log");  // a folder that matches the mask is no file
  // A link back to the top: following it would list the same files for ever.
  fs::create_directory_symlink(root, root + "/sub/loop");
  fs::create_symlink(root + "/c.txt", root + "/linked.log");  // a link to a file counts

  TStringList folders;
  ListSubfolders(root, true, folders);
  EXPECT_EQ(folders.ToVector(),
            (Lines{root + "/Other/", root + "/dir.log/", root + "/sub/", root + "/sub/deeper/"}));
  TStringList top;
  ListSubfolders(root + "/", false, top);
  EXPECT_EQ(top.Count(), 3);

  TStringList files;
  ListFilesInDir(root, "*.LOG", true, 100, files);
  EXPECT_EQ(files.ToVector(),
            (Lines{root + "/a.LOG", root + "/b.log", root + "/linked.log", root + "/Other/f.log",
                   root + "/sub/d.Log", root + "/sub/deeper/e.log"}));

  TStringList limited = ListOf({"already here"});
  ListFilesInDir(root, "*.log", true, 3, limited);
  EXPECT_EQ(limited.ToVector(), (Lines{"already here", root + "/a.LOG", root + "/b.log"}));

  TStringList flat;
  ListFilesInDir(root + "/", "*.*", false, 100, flat);
  EXPECT_EQ(flat.Count(), 4);

  TStringList none;
  ListFilesInDir(root + "/missing", "*.*", true, 100, none);
  ListFilesInDir("/", "*.*", false, 100, none);  // a one-character folder name is refused
  EXPECT_EQ(none.Count(), 0);
}

TEST(GeneralHelpersTest, DeleteFilesOlderThanCountsOnlyRealDeletions) {
  test::TempFolder folder;
  const std::string root = folder.Path();
  for (const char* name : {"one.tmp", "two.TMP", "keep.txt", "stuck.tmp"}) {
    ASSERT_TRUE(test::WriteFileBytes(root + "/" + name, "x"));
  }
  const double tomorrow = (static_cast<double>(time(nullptr)) / 86400.0) + 25569.0 + 1;
  const double lastYear = tomorrow - 366;

  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", lastYear), 0);
  EXPECT_EQ(DeleteFilesOlderThan(root + "/missing", "*.tmp", tomorrow), -1);
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", std::nan("")), -1);
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", -200000.0), -1);

  // A file the system refuses to delete is not counted as deleted.
  detail::SetDeleteFileForTests([](const std::string& path) {
    if (path.ends_with("/stuck.tmp")) return false;
    return ::unlink(path.c_str()) == 0;
  });
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", tomorrow), 2);
  detail::SetDeleteFileForTests(nullptr);
  EXPECT_TRUE(std::filesystem::exists(root + "/stuck.tmp"));
  EXPECT_TRUE(std::filesystem::exists(root + "/keep.txt"));
  EXPECT_FALSE(std::filesystem::exists(root + "/one.tmp"));
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", tomorrow), 1);
}

TEST(GeneralHelpersTest, FileSizesAndAppending) {
  test::TempFolder folder;
  const std::string path = folder.Sub("notes.txt");
  EXPECT_FALSE(AppendTextToFile("x", path, true));  // only an existing file
  EXPECT_FALSE(AppendTextToFile("", path, false));
  EXPECT_EQ(FileSizeOf(path), -1);
  EXPECT_TRUE(AppendTextToFile("abc", path, false));
  EXPECT_TRUE(AppendTextToFile("de", path, true));
  EXPECT_EQ(test::ReadFileBytes(path), "abcde");
  EXPECT_EQ(FileSizeOf(path), 5);
  EXPECT_EQ(FileSizeOf(folder.Sub("*.TXT")), 5);
  EXPECT_EQ(FileSizeOf(folder.Sub("*.doc")), -1);
  EXPECT_EQ(FileSizeOf(folder.Path()), -1);  // a folder is no file
}

TEST(GeneralHelpersTest, FileTypes) {
  struct Ext {
    std::string name, extension;
  };
  const Ext extensions[] = {
      {"report.txt", ".txt"},
      {"report.txt.", ".txt"},
      {"archive.tar.gz", ".gz"},
      {"noext", ""},
      {"dir.d/file", ""},
      {".profile", ".profile"},
      {"", ""},
  };
  for (const auto& row : extensions) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(GetFileExtension(row.name), row.extension);
  }

  std::string type;
  EXPECT_TRUE(ContentTypeForExtension("PDF", type));
  EXPECT_EQ(type, "application/pdf");
  EXPECT_TRUE(ContentTypeForFileName("Photo.JPG", type));
  EXPECT_EQ(type, "image/jpeg");
  EXPECT_FALSE(ContentTypeForExtension(".no-such-extension", type));
  EXPECT_EQ(type, "application/octet-stream");
  EXPECT_FALSE(ContentTypeForFileName("noext", type));

  std::string extension;
  EXPECT_TRUE(ExtensionForContentType("Image/GIF", extension));
  EXPECT_EQ(extension, ".gif");
  EXPECT_FALSE(ExtensionForContentType("x-no/such-type", extension));
  EXPECT_EQ(extension, ".txt");
  EXPECT_EQ(ProgramForExtension(".txt"), "");
}

TEST(GeneralHelpersTest, NumbersAndBits) {
  std::uint8_t byte = 0;
  SetBit8(7, byte);
  SetBit8(8, byte);  // out of range: no change
  SetBit8(-1, byte);
  EXPECT_EQ(byte, 0x80);
  EXPECT_TRUE(IsBitSet8(7, byte));
  EXPECT_FALSE(IsBitSet8(8, 0xFF));
  ClearBit8(7, byte);
  EXPECT_EQ(byte, 0);
  std::uint32_t word = 0;
  SetBit32(31, word);
  SetBit32(32, word);
  EXPECT_EQ(word, 0x80000000u);
  EXPECT_TRUE(IsBitSet32(31, word));
  EXPECT_FALSE(IsBitSet32(32, 0xFFFFFFFFu));
  ClearBit32(31, word);
  EXPECT_EQ(word, 0u);

  for (std::uint32_t value : {0u, 1u, 2u, 3u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
    SCOPED_TRACE(value);
    std::uint32_t mask = BitChangeMask(value);
    for (int i = 0; i < 31; ++i) {
      EXPECT_EQ((mask >> i) & 1, ((value >> i) ^ (value >> (i + 1))) & 1);
    }
    EXPECT_EQ(mask >> 31, value >> 31);
  }

  std::vector<std::uint32_t> values{5, 0xFFFFFFFFu, 1, 3, 99};
  SortCardinalArray(values, 3, true);  // only entries 0 to 3
  EXPECT_EQ(values, (std::vector<std::uint32_t>{1, 3, 5, 0xFFFFFFFFu, 99}));
  SortCardinalArray(values, 10, false);
  EXPECT_EQ(values, (std::vector<std::uint32_t>{0xFFFFFFFFu, 99, 5, 3, 1}));

  const std::vector<std::uint32_t> sorted{10, 20, 30, 40};
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 3, 5), 0);
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 3, 20), 0.5);
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 3, 40), 0.99);
  EXPECT_DOUBLE_EQ(PercentileRank(sorted, 0, 5), 0.5);
  EXPECT_DOUBLE_EQ(PercentileRank({}, 5, 5), 0.5);  // a last index past the array is clamped

  EXPECT_DOUBLE_EQ(RampScore(2, 0, 1, 3), 0);
  EXPECT_DOUBLE_EQ(RampScore(2, 3, 1, 3), 1);
  EXPECT_DOUBLE_EQ(RampScore(2, 2, 1, 3), 0.25);
  EXPECT_DOUBLE_EQ(RampScore(-2, 2, 1, 3), 0.75);
  EXPECT_DOUBLE_EQ(SharpenProbability(0.5), 0.5);
  EXPECT_DOUBLE_EQ(SharpenProbability(1), 1);
  EXPECT_DOUBLE_EQ(SharpenProbability(0.75), 0.5625);
}

TEST(GeneralHelpersTest, ThreadsAndMessages) {
  int processed = 0;
  std::string shown;
  platform::MarkMainThread();
  platform::SetMainThreadHooks({[&] { ++processed; }, [&](const std::string& t) { shown = t; }});
  EXPECT_TRUE(IsMainThread());
  EXPECT_TRUE(ProcessMessagesIfMain());
  bool workerMain = true;
  bool workerProcessed = true;
  std::thread worker([&] {
    workerMain = IsMainThread();
    workerProcessed = ProcessMessagesIfMain();
  });
  worker.join();
  EXPECT_FALSE(workerMain);
  EXPECT_FALSE(workerProcessed);
  EXPECT_EQ(processed, 1);

  ShowMessageUnlessQuiet("quiet", true);
  EXPECT_EQ(shown, "");
  ShowMessageUnlessQuiet("shown", false);
  EXPECT_EQ(shown, "shown");
  platform::SetMainThreadHooks({});

  EXPECT_FALSE(IsValidHandle(0));
  EXPECT_FALSE(IsValidHandle(-1));
  EXPECT_TRUE(IsValidHandle(42));
}

TEST(GeneralHelpersTest, DeveloperModeTriggers) {
  test::ScopedEnv clear("IsVostek", "");
  SetCommandLine(0, nullptr);
  EXPECT_FALSE(IsDeveloperMode());
  {
    test::ScopedEnv on("IsVostek", "Yes");
    EXPECT_TRUE(IsDeveloperMode());
  }
  {
    test::ScopedEnv lower("IsVostek", "yes");
    EXPECT_FALSE(IsDeveloperMode());  // the value must be exactly "Yes"
  }
  const char* args[] = {"halvorn", "-Minimize", "-VOSTEK"};
  SetCommandLine(3, args);
  EXPECT_TRUE(IsDeveloperMode());
  const char* program[] = {"-Vostek"};  // the program's own name is no argument
  SetCommandLine(1, program);
  EXPECT_FALSE(IsDeveloperMode());

  test::ScopedEnv value("HALVORN_HELPERS_PROBE", std::string(300, 'v'));
  EXPECT_EQ(GetEnvironmentVar("HALVORN_HELPERS_PROBE"), std::string(300, 'v'));
  EXPECT_EQ(GetEnvironmentVar("HALVORN_HELPERS_UNSET_VARIABLE"), "");
}

}  // namespace
}  // namespace halvorn
