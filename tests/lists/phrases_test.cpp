#include "lists/phrases.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/phrase_wildcards.h"
#include "foundation/time/clock.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

const TDateTime kNow = EncodeDateTime(2024, 3, 15, 10, 0, 0);
const TDateTime kToday = EncodeDateTime(2024, 3, 15);

Lines EntriesOf(TPhrases& list) {
  return list.EntryTexts().ToVector();
}

// A list of the type holding the texts, added one by one.
void Fill(TPhrases& list, std::uint8_t type, const Lines& texts) {
  list.SetListType(type);
  for (const auto& text : texts) list.Add(text);
}

TEST(Phrases, AddStoresTheNormalFormAndRefusesWhatCannotBeAnEntry) {
  struct Row {
    std::uint8_t type;
    std::string text;
    std::string stored;  // empty: refused
  };
  const Row rows[] = {
      {pltEmailAddress, "John Smith <John.Smith@Example.COM>", "john.smith@example.com"},
      {pltEmailAddress, "  Bob@X.org  ", "bob@x.org"},
      {pltEmailAddress, "<*@Spam.Example>", "*@spam.example"},
      {pltEmailAddress, "odd > order <a@b.c", "odd > order <a@b.c"},
      {pltEmailAddress, "@", ""},
      {pltEmailAddress, "< @ >", ""},
      {pltEmailAddress, "<>", ""},
      {pltEmailAddress, "", ""},
      {pltStrings, "@", "@"},
      {pltStrings, "  Free MONEY ", "  free money "},
      // Only A to Z are lowered; the entry still compares ignoring case.
      {pltStrings, "\xC9""COLE", "\xC9""cole"},
      // Line breaks cannot be stored inside an entry.
      {pltStrings, "two\r\nlines", "two  lines"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    TPhrases list;
    list.SetListType(row.type);
    int index = list.Add(row.text);
    if (row.stored.empty()) {
      EXPECT_EQ(index, -1);
      EXPECT_EQ(list.Count(), 0);
    } else {
      EXPECT_EQ(index, 0);
      EXPECT_EQ(EntriesOf(list), Lines{row.stored});
    }
  }
}

TEST(Phrases, EqualTextsMakeOneEntryAndAddAnswersItsIndex) {
  TPhrases list;
  Fill(list, pltStrings, {"beta", "alpha", "gamma"});
  EXPECT_EQ(list.Add("BETA"), 1);
  EXPECT_EQ(list.Add("Alpha"), 0);
  EXPECT_EQ(list.Add("\xE9t\xE9"), 3);
  EXPECT_EQ(list.Add("\xC9T\xC9"), 3);  // equal by the code page's case
  EXPECT_EQ(EntriesOf(list), (Lines{"alpha", "beta", "gamma", "\xE9t\xE9"}));
}

TEST(Phrases, WildcardEntriesFollowThePlainOnesInOneIndexSpace) {
  TPhrases list;
  Fill(list, pltEmailAddress,
       {"zed@plain.example", "*@spam.example", "amy@plain.example", "bulk#@*"});
  ASSERT_EQ(EntriesOf(list),
            (Lines{"amy@plain.example", "zed@plain.example", "*@spam.example", "bulk#@*"}));

  std::string piece;
  std::string entry;
  EXPECT_EQ(list.FindMatch("Spammer <Joe@SPAM.example>", piece, true, &entry), 2);
  EXPECT_EQ(piece, "joe@spam.example");
  EXPECT_EQ(entry, "*@spam.example");
  EXPECT_EQ(list.Items(2), "*@spam.example");
  EXPECT_EQ(list.FindMatch("bulk7@anywhere.example", piece, true, &entry), 3);
  EXPECT_EQ(list.FindMatch("ZED@plain.example", piece, true, &entry), 1);
  EXPECT_EQ(piece, "");
  EXPECT_EQ(entry, "zed@plain.example");
  EXPECT_EQ(list.FindMatch("nobody@plain.example", piece, true), -1);

  EXPECT_EQ(list.IndexOf("bulk#@*"), 3);
  EXPECT_TRUE(list.DeleteText("bulk#@*"));
  EXPECT_EQ(EntriesOf(list), (Lines{"amy@plain.example", "zed@plain.example", "*@spam.example"}));
  EXPECT_FALSE(list.DeleteAt(3));
  EXPECT_FALSE(list.DeleteAt(-1));
  EXPECT_TRUE(list.DeleteAt(0));
  EXPECT_EQ(list.Items(1), "*@spam.example");
  EXPECT_EQ(list.Items(2), "");  // gone meanwhile: empty, not an error
}

// Parsing as an address drops the "*" of a pattern: IndexOf and DeleteText
// must still find a pattern by the text it was added with.
TEST(Phrases, IndexOfFindsAddressesByTheirAddressAndPatternsAsAdded) {
  TPhrases list;
  Fill(list, pltEmailAddress, {"*@example.com", "bob@example.org", "#*@digits.example"});
  struct Row {
    std::string text;
    int index;
  };
  const Row rows[] = {
      {"Bob Builder <BOB@example.org>", 0},
      {"bob@example.org (the builder)", 0},
      {"*@Example.com", 2},
      {"<*@example.com>", 2},
      {"#*@digits.example", 1},
      {"bob@example.com", -1},
      {"", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(list.IndexOf(row.text), row.index);
  }
  EXPECT_TRUE(list.DeleteText("*@example.com"));
  EXPECT_FALSE(list.DeleteText("*@example.com"));
  EXPECT_EQ(EntriesOf(list), (Lines{"bob@example.org", "#*@digits.example"}));
}

TEST(Phrases, AnchoredPatternsMustCoverTheTextUnanchoredOnesMayMatchInside) {
  struct Row {
    std::string pattern;
    std::string text;
    bool anchored;
    std::string piece;  // empty: no match
  };
  const Row rows[] = {
      {"fr?e", "free", true, "free"},
      {"fr?e", "free money now", true, ""},
      {"fr?e", "free money now", false, "free"},
      {"free*", "Free money now", true, "free"},
      {"*money", "say free money now", true, ""},
      {"*money", "say free money now", false, "say free money"},
      {"*", "anything at all", true, "anything at all"},
      {"*", "", true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern + " / " + row.text);
    TPhrases list;
    list.Add("plain entry");
    list.Add(row.pattern);
    std::string piece = "stale";
    int index = list.FindMatch(row.text, piece, row.anchored);
    EXPECT_EQ(index, row.piece.empty() ? -1 : 1);
    EXPECT_EQ(piece, row.piece);
  }
}

// FindMatch skips a pattern whose longest literal run the text lacks before
// the matcher runs; on random small patterns and texts it must find exactly
// what the matcher finds.
TEST(Phrases, FindMatchFindsWhatTheMatcherFinds) {
  std::mt19937 random(11);
  auto draw = [&random](std::string_view alphabet, int maxLength) {
    std::string text(random() % (maxLength + 1), ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    return text;
  };
  for (int round = 0; round < 4000; ++round) {
    std::string pattern = draw("ab@. *?#$^~1", 6);
    const std::string text = draw("abAB@. 1x", 10);
    if (!FindPhraseWildcard(pattern)) pattern += "*";
    const bool anchored = round % 2 == 0;
    SCOPED_TRACE("[" + pattern + "] [" + text + "] " + (anchored ? "anchored" : "not anchored"));
    std::string lowered = text;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string expected;
    WildcardExtract(lowered, pattern, false, expected, anchored);

    TPhrases list;
    ASSERT_EQ(list.Add(pattern), 0);
    std::string piece;
    EXPECT_EQ(list.FindMatch(text, piece, anchored), expected.empty() ? -1 : 0);
    EXPECT_EQ(piece, expected);
  }
}

// Plain entries are compared whole, so a keyword list finds a word inside a
// padded sentence only through a pattern.
TEST(Phrases, PlainEntriesNeverMatchInsideALongerText) {
  TPhrases list;
  list.Add("free money");
  std::string piece;
  EXPECT_EQ(list.FindMatch(" get free money today ", piece, false), -1);
  list.Add("* free money *");
  EXPECT_EQ(list.FindMatch(" get free money today ", piece, false), 1);
  EXPECT_EQ(piece, " get free money ");
  EXPECT_FALSE(list.Contains(""));
  EXPECT_TRUE(list.Contains("FREE MONEY"));
}

TEST(Phrases, FindInTextFindsAnEqualEntryElseTheFirstThatContainsTheText) {
  TPhrases list;
  Fill(list, pltStrings,
       {"<r9@mail.example>", "<id7@mail.example>", "<other@mail.example>",
        "<a1@mail.example> <ID7@mail.example>"});
  struct Row {
    std::string text;
    int index;
  };
  const Row rows[] = {
      {"<ID7@MAIL.EXAMPLE>", 1},  // equal, whatever the case, before any containing entry
      {"<a1@mail.example>", 0},   // inside a References value
      {"<id?@mail.example>", 0},  // "?" stands for one character
      {"<r9@mail.example>", 3},
      {"<absent@mail.example>", -1},
      {"", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(list.FindInText(row.text), row.index);
  }
}

TEST(Phrases, StampsFollowAddFindMatchAndSetAccessDate) {
  ScopedClockForTests clock(kNow);
  TPhrases keep;  // never expires: Add does not stamp, a match does
  keep.Add("kept");
  EXPECT_EQ(keep.GetAccessDate(0), kNow);  // never stamped reads as now
  std::string piece;
  keep.FindMatch("kept", piece, true);
  EXPECT_EQ(keep.GetAccessDate(0), kToday);

  TPhrases expiring;
  expiring.SetDaysToExpire(7);
  expiring.Add("fresh");
  EXPECT_EQ(expiring.GetAccessDate(0), kToday);
  expiring.SetAccessDate(0, kNow - 20.5);
  EXPECT_EQ(expiring.GetAccessDate(0), kToday - 21);
  EXPECT_EQ(expiring.GetAccessDate(5), kNow);  // out of range
}

TEST(Phrases, PurgeExpiredDropsPlainEntriesUnusedForTheDays) {
  TDateTime now = kNow;
  SetClockForTests([&now] { return now; });
  TPhrases list;
  list.SetDaysToExpire(7);
  Fill(list, pltStrings, {"eight days", "six days", "*old pattern*", "matched again"});
  list.SetAccessDate(list.IndexOf("eight days"), kNow - 8);
  list.SetAccessDate(list.IndexOf("six days"), kNow - 6);
  list.SetAccessDate(list.IndexOf("*old pattern*"), kNow - 300);
  list.SetAccessDate(list.IndexOf("matched again"), kNow - 30);
  std::string piece;
  list.FindMatch("matched again", piece, true);  // used today after all

  EXPECT_EQ(list.PurgeExpired(), 1);
  EXPECT_EQ(EntriesOf(list), (Lines{"matched again", "six days", "*old pattern*"}));
  now = kNow + 0.5;
  EXPECT_EQ(list.PurgeExpired(), 0);
  now = kNow + 2;
  EXPECT_EQ(list.PurgeExpired(), 1);
  EXPECT_EQ(EntriesOf(list), (Lines{"matched again", "*old pattern*"}));

  TPhrases never;
  never.Add("old");
  never.SetAccessDate(0, kNow - 1000);
  EXPECT_EQ(never.PurgeExpired(), 0);
  EXPECT_EQ(never.Count(), 1);
  ResetClock();
}

TEST(Phrases, AddStringsMergesOnceAsAddingOneByOneWould) {
  ScopedClockForTests clock(kNow);
  TPhrases list;
  list.SetListType(pltEmailAddress);
  list.SetDaysToExpire(14);
  list.Add("old@example.com");
  list.SetAccessDate(0, kNow - 3);
  int changes = 0;
  list.SetOnChange([&changes] { ++changes; });
  list.AddStrings(ListOf({"New <NEW@example.com>", "@", "", "*@bulk.example", "OLD@example.com",
                          "new@example.com"}));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(EntriesOf(list), (Lines{"new@example.com", "old@example.com", "*@bulk.example"}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(list.GetAccessDate(i), kToday) << i;
}

TEST(Phrases, AssignCopiesEntriesDaysAndSettingsButNotTheChangeHandler) {
  ScopedClockForTests clock(kNow);
  TPhrases source;
  source.SetName("{Source}");
  source.SetOldName("{Before}");
  source.SetDescription("one\r\ntwo");
  source.SetOwner("SingleUser");
  source.SetDaysToExpire(9);
  Fill(source, pltEmailAddress, {"a@example.com", "*@b.example"});
  source.SetAccessDate(0, kNow - 2);

  TPhrases copy;
  int changes = 0;
  copy.SetOnChange([&changes] { ++changes; });
  copy.Assign(source);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(copy.Name(), "{Source}");
  EXPECT_EQ(copy.OldName(), "{Before}");
  EXPECT_EQ(copy.Description(), "one\r\ntwo");
  EXPECT_EQ(copy.Owner(), "SingleUser");
  EXPECT_EQ(copy.DaysToExpire(), 9);
  EXPECT_EQ(copy.ListType(), pltEmailAddress);
  EXPECT_EQ(EntriesOf(copy), EntriesOf(source));
  EXPECT_EQ(copy.GetAccessDate(0), kToday - 2);
  copy.Add("c@example.com");
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(source.Count(), 2);
}

// ---- Settings sections

std::string SectionText(TPhrases& list) {
  TQuorIniFile ini("");
  list.SaveToIni(ini);
  return ini.SaveToStream();
}

TEST(Phrases, SaveToIniWritesTheSectionByteForByte) {
  ScopedClockForTests clock(kNow);
  TPhrases list;
  list.SetName("{Banned Subject Lines}");
  list.SetDescription("First line.  Two blanks\r\nSecond, with a comma");
  list.SetDaysToExpire(3);
  Fill(list, pltStrings, {"free money", "say \"hi\"", "a,b", "*winner*", "plain"});
  list.SetAccessDate(list.IndexOf("free money"), EncodeDateTime(2024, 3, 14, 18, 0, 0));
  list.SetAccessDate(list.IndexOf("*winner*"), EncodeDateTime(2024, 3, 13));
  list.SetDaysToExpire(0);
  list.Add("unstamped");
  list.SetDaysToExpire(3);
  EXPECT_EQ(SectionText(list),
            "[{Banned Subject Lines}]\r\n"
            "Type=Strings\r\n"
            "Description=\"First line.  Two blanks\",\"Second, with a comma\"\r\n"
            "DaysToExpire=3\r\n"
            "0=\"Phrase=a,b\",Accessed=1483669504\r\n"
            "1=\"Phrase=free money\",Accessed=1483603968\r\n"
            "2=Phrase=plain,Accessed=1483669504\r\n"
            "3=\"Phrase=say \"\"hi\"\"\",Accessed=1483669504\r\n"
            "4=Phrase=unstamped,Accessed=1483689984\r\n"
            "5=Phrase=*winner*,Accessed=1483538432\r\n"
            "\r\n");

  list.SetFilePath("/somewhere/list.txt");
  list.SetListType(pltEmailAddress);
  EXPECT_EQ(SectionText(list),
            "[{Banned Subject Lines}]\r\n"
            "Type=Email Address\r\n"
            "Description=\"First line.  Two blanks\",\"Second, with a comma\"\r\n"
            "DaysToExpire=3\r\n"
            "FilePath=/somewhere/list.txt\r\n"
            "\r\n");
}

TEST(Phrases, LoadFromIniReadsDatesSkipsBadLinesAndKeepsExpiredPatterns) {
  ScopedClockForTests clock(kNow);
  TQuorIniFile ini("");
  ini.LoadFromStream(
      "[{List}]\r\n"
      "Type=Email Address\r\n"
      "DaysToExpire=10\r\n"
      "0=Phrase=recent@example.com,Accessed=1483341824\r\n"      // 10 March
      "3=Phrase=created@example.com,Created=1483341824\r\n"      // gap; 10 March
      "4=Phrase=bad@example.com,Accessed=junk,Created=1483538432\r\n"
      "5=Phrase=worse@example.com,Accessed=junk,Created=junk\r\n"
      "6=Phrase=expired@example.com,Accessed=1478583232\r\n"     // 1 January
      "7=Phrase=*@pattern.example,Accessed=1445003264\r\n"       // 2023: kept
      "8=Phrase=RECENT@example.com,Accessed=1483472896\r\n"      // repeat, 12 March
      "9=Phrase=@,Accessed=1483341824\r\n"
      "10=Accessed=1483341824\r\n"
      "key=Phrase=nokey@example.com\r\n"
      " 11 =\"Phrase=Spaced Key <spaced@example.com>\"\r\n");
  TPhrases list;
  list.SetName("{list}");
  list.Add("dropped@example.com");
  list.LoadFromIni(ini);
  EXPECT_EQ(list.ListType(), pltEmailAddress);
  EXPECT_EQ(list.DaysToExpire(), 10);
  EXPECT_EQ(EntriesOf(list),
            (Lines{"bad@example.com", "created@example.com", "recent@example.com",
                   "spaced@example.com", "worse@example.com", "*@pattern.example"}));
  const TDateTime days[] = {EncodeDateTime(2024, 3, 13), EncodeDateTime(2024, 3, 10),
                            EncodeDateTime(2024, 3, 12), kToday,
                            kToday,                       EncodeDateTime(2023, 1, 1)};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(list.GetAccessDate(i), days[i]) << i;
}

TEST(Phrases, LoadFromIniKeepsTheSettingsTheSectionDoesNotName) {
  TQuorIniFile ini("");
  ini.LoadFromStream("[{Other}]\r\nType=IP List\r\n");
  TPhrases list;
  list.SetName("{Missing}");
  list.SetDescription("kept\r\ntoo");
  list.SetDaysToExpire(5);
  list.SetListType(pltEmailAddress);
  list.LoadFromIni(ini);
  EXPECT_EQ(list.Description(), "kept\r\ntoo");
  EXPECT_EQ(list.DaysToExpire(), 5);
  EXPECT_EQ(list.ListType(), pltStrings);  // "Type" defaults to Strings
}

// ---- Outside files

class PhrasesFile : public ::testing::Test {
 protected:
  void Write(const std::string& bytes) { ASSERT_TRUE(test::WriteFileBytes(Path(), bytes)); }
  std::string Path() const { return FFolder.Sub("list.txt"); }
  // Sets the file's modification time, in nanoseconds, with Python's os.utime.
  void SetModified(const std::string& nanoseconds) {
    auto result = test::RunPython(
        "import os, sys\nos.utime(sys.stdin.read(), ns=(" + nanoseconds + ", " + nanoseconds + "))\n",
        Path());
    ASSERT_EQ(result.ExitCode, 0);
  }

  test::TempFolder FFolder;
};

TEST_F(PhrasesFile, EveryLookUpFollowsTheFileWheneverItsStampDiffers) {
  Write("Alpha\r\n*beta*\r\n\r\nalpha\n");
  SetModified("1700000000000000000");
  TPhrases list;
  list.SetFilePath(Path());
  // The first look-up reads the file; nothing has to count the list first.
  std::string piece;
  EXPECT_EQ(list.FindMatch("ALPHA", piece, true), 0);
  EXPECT_TRUE(list.Contains("xbetax"));

  list.Add("in memory");
  EXPECT_EQ(EntriesOf(list), (Lines{"alpha", "in memory", "*beta*"}));

  // Same size, same second, a nanosecond later: read again, memory entry gone.
  Write("gamma\r\n*beta*\r\n\r\nalpha\n");
  SetModified("1700000000000000001");
  EXPECT_EQ(list.IndexOf("gamma"), 1);
  EXPECT_EQ(EntriesOf(list), (Lines{"alpha", "gamma", "*beta*"}));

  // An older copy put in place is read too.
  Write("delta\r\n");
  SetModified("1600000000000000000");
  EXPECT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.Contains("Delta"));

  // A missing file leaves the entries as they are.
  ASSERT_EQ(::unlink(Path().c_str()), 0);
  EXPECT_TRUE(list.Contains("delta"));
}

TEST_F(PhrasesFile, ALoadThatClearsOrRePointsTheListReadsTheFileAgain) {
  Write("first\r\n");
  TPhrases list;
  list.SetName("{Keywords}");
  list.SetFilePath(Path());
  ASSERT_EQ(list.Count(), 1);
  TQuorIniFile ini("");
  ini.LoadFromStream("[{Keywords}]\r\nFilePath=" + Path() + "\r\n");
  list.LoadFromIni(ini);  // clears the entries, the file is unchanged
  EXPECT_TRUE(list.Contains("first"));

  list.Clear();
  EXPECT_EQ(list.Count(), 1);

  ASSERT_TRUE(test::WriteFileBytes(FFolder.Sub("other.txt"), "second\r\n"));
  TPhrases other;
  other.SetFilePath(FFolder.Sub("other.txt"));
  list.Assign(other);
  EXPECT_EQ(EntriesOf(list), Lines{"second"});
}

TEST_F(PhrasesFile, SaveToFileWritesPlainThenPatternsAndReadsBackTheSame) {
  TPhrases list;
  Fill(list, pltStrings, {"zeta", "*pattern*", "Alpha", "mid ?"});
  ASSERT_EQ(list.SaveToFile(Path()), "");
  EXPECT_EQ(test::ReadFileBytes(Path()), "alpha\r\nzeta\r\n*pattern*\r\nmid ?\r\n");

  TPhrases reread;
  reread.SetFilePath(Path());
  EXPECT_EQ(EntriesOf(reread), EntriesOf(list));
  EXPECT_NE(list.SaveToFile(FFolder.Sub("no/such/folder/list.txt")), "");
}

TEST_F(PhrasesFile, AnUnreadableFileKeepsTheEntries) {
  ASSERT_EQ(::mkdir(Path().c_str(), 0700), 0);  // a folder where the file should be
  TPhrases list;
  list.SetFilePath(Path());
  list.Add("kept");
  EXPECT_TRUE(list.Contains("kept"));
  EXPECT_EQ(list.Count(), 1);
}

}  // namespace
}  // namespace halvorn
