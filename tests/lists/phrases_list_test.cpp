#include "lists/phrases_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/phrase_wildcards.h"
#include "foundation/time/clock.h"
#include "lists/default_phrases.h"
#include "lists/lists_module.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using Lines = std::vector<std::string>;

const TDateTime kNow = EncodeDateTime(2024, 3, 15, 10, 0, 0);

// Each list as "name|type|days|owner|description" followed by one line
// "entry|access day" per entry in index order.
Lines Dump(TPhrasesList& set) {
  Lines lines;
  for (const auto& list : set.Snapshot()) {
    lines.push_back(list->Name() + "|" + PhraseListTypeName(list->ListType()) + "|" +
                    std::to_string(list->DaysToExpire()) + "|" + list->Owner() + "|" +
                    list->Description());
    for (int i = 0; i < list->Count(); ++i)
      lines.push_back("  " + list->Items(i) + "|" +
                      FormatDateTime("yyyy-mm-dd", list->GetAccessDate(i)));
  }
  return lines;
}

std::string SaveText(TPhrasesList& set, const std::string& owner = "Global") {
  TQuorIniFile ini("");
  set.SaveToIni(ini, owner);
  return ini.SaveToStream();
}

void LoadText(TPhrasesList& set, const std::string& text, const std::string& owner) {
  TQuorIniFile ini("");
  ini.LoadFromStream(text);
  set.LoadFromIni(ini, owner);
}

// Points the install folder at a folder of the test's own, so that the
// default-phrases file is the test's.
class PhrasesListHome : public ::testing::Test {
 protected:
  PhrasesListHome() : FHome("HALVORN_HOME", FFolder.Path()) { ResetFolderCachesForTests(); }
  ~PhrasesListHome() override { ResetFolderCachesForTests(); }

  test::TempFolder FFolder;
  test::ScopedEnv FHome;
};

// The rules-file fixture holds every kind of list, a "Created" date standing
// in for a missing "Accessed", unreadable dates, expired lines (a plain one
// dropped, a pattern kept), numbering gaps in the entries and in the list
// names (the list after the gap is not read), a list read from a file, and
// a list named in another case than the built-in list it reloads.
TEST_F(PhrasesListHome, TheRulesFileLoadsAndSavesTheSameBytesAgain) {
  ScopedClockForTests clock(kNow);
  std::string fixture = test::ReadFileBytes(test::DataPath("rules_file.txt"));
  ASSERT_FALSE(fixture.empty());
  fixture.replace(fixture.find("@FOLDER@"), 8, FFolder.Path());
  ASSERT_TRUE(test::WriteFileBytes(FFolder.Sub("keywords.txt"),
                                   "Free Money\r\n*lottery*\r\n\r\nfree money\r\n"));

  TPhrasesList set;
  auto sent = set.GetBuiltInList(bplSentMessageIds);  // made before the load, reused by it
  LoadText(set, fixture, "Global");
  LoadText(set,
           "[PhrasesList1]\r\nPhraseList0={Imported Friends}\r\n"
           "[{Imported Friends}]\r\nType=Email Address\r\n"
           "0=Phrase=friend@example.com,Accessed=1483341824\r\n",
           "SingleUser");
  EXPECT_EQ(set.Items(0), sent);
  EXPECT_EQ(set.SectionName(), "PhrasesList1");
  EXPECT_EQ(Dump(set),
            (Lines{
                "{sent message ids}|Strings|7|Global|This is a list of message ids that you have "
                "sent.  It is used to white list any messages that reference messages you sent.",
                "  <a1@mail.example>|2024-03-14",
                "  <a2@mail.example> <a3@mail.example>|2024-03-13",
                "{Approved Senders}|Email Address|0|Global|Friends and family\r\nSecond line",
                "  alice@example.com|2024-03-12",
                "  bob@example.org|2024-01-01",
                "  carol@example.net|2024-02-02",
                "  dave@example.net|2024-03-15",
                "  *@trusted.example|2023-06-01",
                "{Banned Subject Lines}|Strings|3|Global|",
                "  cheap meds|2024-03-14",
                "  unstamped subject|2024-03-15",
                "  *winner*|2023-01-01",
                "{Office IPs}|IP List|0|Global|",
                "  10.0.0.5|2024-03-05",
                "  192.168.1.*|2024-03-05",
                "{Shared Keywords}|Strings|0|Global|Read from a file",
                "  free money|2024-03-15",
                "  *lottery*|2024-03-15",
                "{Imported Friends}|Email Address|0|SingleUser|",
                "  friend@example.com|2024-03-10",
            }));

  // Every list is written, the imported one of the other owner too.
  const std::string saved = SaveText(set, "Global");
  EXPECT_EQ(saved,
            "[PhrasesList1]\r\n"
            "PhraseList0={sent message ids}\r\n"
            "PhraseList1={Approved Senders}\r\n"
            "PhraseList2={Banned Subject Lines}\r\n"
            "PhraseList3={Office IPs}\r\n"
            "PhraseList4={Shared Keywords}\r\n"
            "PhraseList5={Imported Friends}\r\n"
            "\r\n"
            "[{sent message ids}]\r\n"
            "Type=Strings\r\n"
            "Description=\"This is a list of message ids that you have sent.  It is used to white "
            "list any messages that reference messages you sent.\"\r\n"
            "DaysToExpire=7\r\n"
            "0=Phrase=<a1@mail.example>,Accessed=1483603968\r\n"
            "1=\"Phrase=<a2@mail.example> <a3@mail.example>\",Accessed=1483538432\r\n"
            "\r\n"
            "[{Approved Senders}]\r\n"
            "Type=Email Address\r\n"
            "Description=\"Friends and family\",\"Second line\"\r\n"
            "DaysToExpire=0\r\n"
            "0=Phrase=alice@example.com,Accessed=1483472896\r\n"
            "1=Phrase=bob@example.org,Accessed=1478557696\r\n"
            "2=Phrase=carol@example.net,Accessed=1480720384\r\n"
            "3=Phrase=dave@example.net,Accessed=1483669504\r\n"
            "4=Phrase=*@trusted.example,Accessed=1455489024\r\n"
            "\r\n"
            "[{Banned Subject Lines}]\r\n"
            "Type=Strings\r\n"
            "DaysToExpire=3\r\n"
            "0=\"Phrase=cheap meds\",Accessed=1483603968\r\n"
            "1=\"Phrase=unstamped subject\",Accessed=1483669504\r\n"
            "2=Phrase=*winner*,Accessed=1445003264\r\n"
            "\r\n"
            "[{Office IPs}]\r\n"
            "Type=IP List\r\n"
            "DaysToExpire=0\r\n"
            "0=Phrase=10.0.0.5,Accessed=1483014144\r\n"
            "1=Phrase=192.168.1.*,Accessed=1483014144\r\n"
            "\r\n"
            "[{Shared Keywords}]\r\n"
            "Type=Strings\r\n"
            "Description=\"Read from a file\"\r\n"
            "DaysToExpire=0\r\n"
            "FilePath=" +
                FFolder.Path() +
                "/keywords.txt\r\n"
                "\r\n"
                "[{Imported Friends}]\r\n"
                "Type=Email Address\r\n"
                "DaysToExpire=0\r\n"
                "0=Phrase=friend@example.com,Accessed=1483341824\r\n"
                "\r\n");

  TPhrasesList reloaded;
  LoadText(reloaded, saved, "Global");
  EXPECT_EQ(SaveText(reloaded), saved);
}

TEST(PhrasesList, BuiltInListsAreMadeOnceWithTheirOwnNamesAndTexts) {
  struct Row {
    int index;
    std::string name;
    std::uint8_t type;
    std::int32_t days;
    std::string description;
  };
  const Row rows[] = {
      {0, "{Sent Message ids}", pltStrings, 7,
       "This is a list of message ids that you have sent.  It is used to white list any messages "
       "that reference messages you sent."},
      {1, "{Approved Senders}", pltEmailAddress, 0,
       "This is a list of people who's mail you ALWAYS want to accept."},
      {2, "{Banned Senders}", pltEmailAddress, 14,
       "This is a list of people who's mail you NEVER want to accept."},
      {3, "{Approved Subject Lines}", pltStrings, 7,
       "Any message that has a subject line that is found in this list will always be accepted."},
      {4, "{Banned Subject Lines}", pltStrings, 3,
       "If you receive a message with from someone who is not an Approved Sender with a Subject "
       "Line in this list then the message will be rejected."},
      {5, "{Pornographic Keywords}", pltStrings, 0,
       "This is a list of phrases that have a sexual meaning and can be considered pornographic "
       "in nature, or are often found in pornographic advertising.\r\nThey are crude phrases that "
       "one would not normally use when simply discussing subjects of a sexual or biological "
       "nature."},
      {6, "{Miscellaneous Keywords}", pltStrings, 0,
       "This is a list of phrases that are commonly found in Spam but are not found in other "
       "messages.  You can also add any phrase particular to yourself which you would like to "
       "screen."},
      {7, "{Sexual Word List}", pltStrings, 0,
       "This is a list of words that have a sexual meaning or refer to sexual body parts.  They "
       "are NOT necessarily crude or pornographic."},
      {8, "{Profanity List}", pltStrings, 0, "This is a list of swear words."},
      {9, "{Spam Checksums}", pltStrings, 14,
       "This is a list of email checksums which you have categorized as spam"},
  };
  TPhrasesList set;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = set.GetBuiltInList(row.index);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->Name(), row.name);
    EXPECT_EQ(list->ListType(), row.type);
    EXPECT_EQ(list->DaysToExpire(), row.days);
    EXPECT_EQ(list->Description(), row.description);
    EXPECT_EQ(list->Owner(), "Global");
    EXPECT_EQ(set.GetBuiltInList(row.index), list);
  }
  EXPECT_EQ(set.Count(), 10);
  EXPECT_EQ(set.GetBuiltInList(-1), nullptr);
  EXPECT_EQ(set.GetBuiltInList(10), nullptr);

  // A list the user changed is handed out as it is.
  set.GetBuiltInList(bplBannedSenders)->SetDaysToExpire(30);
  EXPECT_EQ(set.GetBuiltInList(bplBannedSenders)->DaysToExpire(), 30);
  EXPECT_EQ(set.FindList("{BANNED SENDERS}"), set.GetBuiltInList(bplBannedSenders));
}

TEST_F(PhrasesListHome, KeywordListsAreFilledFromTheDefaultPhrasesFileWhenItExists) {
  const std::string path = GetDefaultPhrasesFilePath();
  {
    TPhrasesList set;
    EXPECT_EQ(set.GetBuiltInList(bplSexualWordList)->Count(), 0);
    EXPECT_FALSE(GetFileStamp(path).Exists);  // looking did not create it
  }
  ASSERT_EQ(InstallDefaultPhrasesFile(), "");
  TPhrasesList set;
  for (int index : {bplPornographicKeywords, bplSexualWordList, bplProfanityList}) {
    auto list = set.GetBuiltInList(index);
    SCOPED_TRACE(list->Name());
    EXPECT_GT(list->Count(), 5);
    EXPECT_EQ(list->Description(), BuiltInPhraseListInfo(index)->Description);
    // The tests look for these inside padded sentences: plain entries never
    // match there.
    for (int i = 0; i < list->Count(); ++i) EXPECT_TRUE(FindPhraseWildcard(list->Items(i)));
  }
  std::string piece;
  EXPECT_GE(set.GetBuiltInList(bplSexualWordList)->FindMatch(" this is Sex talk ", piece, false),
            0);
  EXPECT_EQ(set.GetBuiltInList(bplMiscellaneousKeywords)->Count(), 0);
}

TEST_F(PhrasesListHome, TheModuleInstallsTheShippedFileOnceAndOwnsTheGlobalSet) {
  const std::string path = GetDefaultPhrasesFilePath();
  InitializeListsModule();
  ASSERT_TRUE(GlobalPhrasesList());
  EXPECT_EQ(GlobalPhrasesList()->Count(), 0);
  EXPECT_EQ(test::ReadFileBytes(path), std::string(ShippedDefaultPhrases()));

  // A list someone still holds outlives the module's end.
  auto held = GlobalPhrasesList()->GetBuiltInList(bplApprovedSenders);
  FinalizeListsModule();
  EXPECT_EQ(GlobalPhrasesList(), nullptr);
  EXPECT_GE(held->Add("still@usable.example"), 0);

  // The user's own file is kept.
  ASSERT_TRUE(test::WriteFileBytes(path, "[{Profanity List}]\r\n0=\"Phrase=* heck *\"\r\n"));
  InitializeListsModule();
  EXPECT_EQ(test::ReadFileBytes(path), "[{Profanity List}]\r\n0=\"Phrase=* heck *\"\r\n");
  EXPECT_EQ(GlobalPhrasesList()->GetBuiltInList(bplProfanityList)->EntryTexts().ToVector(),
            Lines{"* heck *"});
  FinalizeListsModule();
}

TEST(PhrasesList, MembershipAndTheRenameEvent) {
  TPhrasesList set;
  auto a = std::make_shared<TPhrases>();
  a->SetName("{A}");
  auto b = std::make_shared<TPhrases>();
  b->SetName("{B}");
  EXPECT_EQ(set.Add(a), 0);
  EXPECT_EQ(set.Add(b), 1);
  EXPECT_EQ(set.Add(a), 0);
  EXPECT_EQ(set.Add(nullptr), -1);
  EXPECT_EQ(set.Items(2), nullptr);
  EXPECT_EQ(set.Remove(a.get()), 0);
  EXPECT_EQ(set.Remove(a.get()), -1);
  EXPECT_EQ(set.Items(0), b);

  std::vector<std::string> calls;
  // The handler may use the set: the set's lock is not held while it runs.
  set.SetOnListRenamed([&](const std::string& now, const std::string& before) {
    calls.push_back(before + ">" + now + (set.FindList(now) ? " found" : ""));
  });
  b->SetName("{B2}");
  set.ListRenamed("{B2}", "{B}");
  set.SetOnListRenamed(nullptr);
  set.ListRenamed("{B3}", "{B2}");
  EXPECT_EQ(calls, Lines{"{B}>{B2} found"});
}

// Lists without a name cannot be found again in the file: they are left out
// and the numbering has no gap.
TEST(PhrasesList, SaveLeavesOutListsWithoutAName) {
  TPhrasesList set;
  set.Add(std::make_shared<TPhrases>());
  set.GetBuiltInList(bplProfanityList);
  TQuorIniFile ini("");
  set.SaveToIni(ini, "Global");
  EXPECT_EQ(ini.ReadString(kPhrasesListSection, "PhraseList0", ""), "{Profanity List}");
  EXPECT_EQ(ini.ReadString(kPhrasesListSection, "PhraseList1", ""), "");
}

// Outside readers of the format: Python's configparser reads the section and
// csv the comma texts of a saved 1 000-entry list; the DOS dates are decoded
// with datetime, which also checks that they are valid dates.
TEST(PhrasesList, PythonReadsBackASavedThousandEntryList) {
  ScopedClockForTests clock(kNow);
  const char* const suffixes[] = {"",        " with, comma", " \"quoted\"", " 100% sure",
                                  "=equals=", " ;semi",      "#hash",       " caf\xe9",
                                  "[x]",     "  two  blanks "};
  auto list = std::make_shared<TPhrases>();
  list->SetName("{Oracle List}");
  list->SetDaysToExpire(400);
  list->SetDescription("Line one\r\nLine \"two\", last");
  for (int i = 0; i < 1000; ++i) {
    std::string text = (i % 7 == 0 ? " Lead " : "Phrase ") + std::to_string(i) + suffixes[i % 10];
    int index = list->Add(text);
    ASSERT_GE(index, 0);
    list->SetAccessDate(index, kNow - i % 300);
  }
  ASSERT_EQ(list->Count(), 1000);
  TPhrasesList set;
  set.Add(list);
  test::TempFolder folder;
  const std::string path = folder.Sub("rules.txt");
  {
    TQuorIniFile ini(path, true);
    set.SaveToIni(ini, "Global");
    ini.UpdateFile();
  }

  auto result = test::RunPython(R"(
import configparser, csv, datetime, sys
parser = configparser.ConfigParser(interpolation=None, strict=False)
parser.optionxform = str
with open(sys.stdin.read(), encoding="latin-1", newline="") as f:
    parser.read_file(f)
out = [parser["PhrasesList1"]["PhraseList0"]]
for key, value in parser["{Oracle List}"].items():
    if not key.isdigit():
        out.append(key + "=" + value)
        continue
    fields = dict(item.split("=", 1) for item in next(csv.reader([value])))
    stamp = int(fields["Accessed"])
    day, time = stamp >> 16, stamp & 0xFFFF
    when = datetime.datetime(1980 + (day >> 9), (day >> 5) & 15, day & 31,
                             time >> 11, (time >> 5) & 63, (time & 31) * 2)
    out.append(key + "|" + fields["Phrase"] + "|" + when.isoformat())
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("latin-1"))
)",
                                 path);
  ASSERT_EQ(result.ExitCode, 0);

  Lines expected = {"{Oracle List}", "Type=Strings",
                    "Description=\"Line one\",\"Line \"\"two\"\", last\"", "DaysToExpire=400"};
  for (int i = 0; i < list->Count(); ++i)
    expected.push_back(std::to_string(i) + "|" + list->Items(i) + "|" +
                       FormatDateTime("yyyy-mm-dd'T'hh:nn:ss", list->GetAccessDate(i)));
  EXPECT_EQ(test::OutputLines(result.Output), expected);
}

}  // namespace
}  // namespace halvorn
