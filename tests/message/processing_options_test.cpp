#include "message/processing_options.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/time/clock.h"

namespace halvorn {
namespace {

using namespace std::string_literals;

constexpr TDateTime kSecond = 1.0 / 86400;
const std::string kUser = "SingleUser";

// A settings object holding the text, with no file behind it.
void LoadText(TQuorIniFile& ini, const std::string& text) {
  ini.LoadFromStream(text);
  ini.SetModified(false);
}

std::vector<std::pair<std::string, std::int64_t>> KeysOf(const TProcessingOptions& options) {
  std::vector<std::pair<std::string, std::int64_t>> keys;
  for (int i = 0; i < options.Keys.Count(); ++i)
    keys.emplace_back(options.Keys[i], options.Keys.Numbers(i));
  return keys;
}

TEST(ProcessingOptions, SaveWritesTheSectionInOrderAndDropsObsoleteKeys) {
  TQuorIniFile ini("");
  LoadText(ini,
           "[ProcessingOptions]\n"
           "RecipientsPhraseListName=Friends\n"
           "MsgIdPhraseListName=Ids\n"
           "SubjectLineListName=Subjects\n"
           "FriendsOfWhitelistedPhraseListName=More friends\n");
  TProcessingOptions options;
  options.AttachedFiles = false;
  options.DetailLevel = 7;
  options.NumSecsDelay = -30;
  options.PendholdTime = 10.75;
  options.PromptDeleteFromPendhold = kTriteYes;
  options.PromptReleaseFromPendhold = kTriteNo;
  options.Keys.AddNumber("Key=ab12cd34", 45000);
  options.Keys.AddNumber("Key=with space", 45001);
  options.SaveToIni(ini);
  EXPECT_EQ(ini.SaveToStream(),
            "[ProcessingOptions]\r\n"
            "AttachedFiles=0\r\n"
            "DetailLevel=7\r\n"
            "InfoLocation=0\r\n"
            "InfoType=2\r\n"
            "ProduceReport=1\r\n"
            "DeleteReportAfter=7\r\n"
            "DeleteMsgBackupsAfter=2\r\n"
            "DelInfoOnSend=1\r\n"
            "NumSecsDelay=-30\r\n"
            "MessageMatchThreshold=30\r\n"
            "WhitelistSentMsgIds=1\r\n"
            "WhitelistRecipients=1\r\n"
            "WhitelistSentSubjectLines=1\r\n"
            "WhitelistFriends=1\r\n"
            "PendholdTime=10\r\n"
            "PopFailureWarningCount=5\r\n"
            "SMTPFailureWarningCount=2\r\n"
            "AddMultipartAlternative=1\r\n"
            "PromptDeleteFromPendhold=y\r\n"
            "PromptReleaseFromPendhold=n\r\n"
            "DeleteFromPendholdRemoveFromServer=1\r\n"
            "Keys=Key=ab12cd34~45000,\"Key=with space~45001\"\r\n"
            "\r\n");

  // Read back: only the fraction of a day is lost.
  ScopedClockForTests clock(45001.5);
  TProcessingOptions back;
  back.LoadFromIni(ini);
  EXPECT_EQ(back.PendholdTime, 10.0);
  options.PendholdTime = 10.0;
  EXPECT_TRUE(back.SameValues(options));
}

TEST(ProcessingOptions, LoadKeepsCurrentValuesForWhatIsMissingOrUnreadable) {
  TProcessingOptions current;
  current.AttachedFiles = false;
  current.DetailLevel = 3;
  current.InfoType = 1;
  current.DeleteReportAfter = 9;
  current.PendholdTime = 4.5;
  current.PromptDeleteFromPendhold = kTriteYes;
  current.PromptReleaseFromPendhold = kTriteNo;

  TQuorIniFile ini("");
  LoadText(ini,
           "[ProcessingOptions]\n"
           "DetailLevel=70000\n"       // does not fit: kept
           "InfoType=four\n"           // not a number: kept
           "DeleteReportAfter= 30 \n"  // blanks around a number are fine
           "WhitelistFriends=2\n"      // present and not 1: false
           "PendholdTime=12.5\n"       // not a whole number: kept, cut to whole days
           "PromptReleaseFromPendhold=Y\n");
  TProcessingOptions loaded = current;
  loaded.LoadFromIni(ini);
  EXPECT_FALSE(loaded.AttachedFiles);
  EXPECT_EQ(loaded.DetailLevel, 3);
  EXPECT_EQ(loaded.InfoType, 1);
  EXPECT_EQ(loaded.DeleteReportAfter, 30);
  EXPECT_FALSE(loaded.WhitelistFriends);
  EXPECT_EQ(loaded.PendholdTime, 4.0);
  // The prompts fall back to 2 whatever they were.
  EXPECT_EQ(loaded.PromptDeleteFromPendhold, kTriteUnknown);
  EXPECT_EQ(loaded.PromptReleaseFromPendhold, kTriteYes);

  // No section at all: everything but the prompts and the fraction stays.
  TQuorIniFile empty("");
  TProcessingOptions untouched = current;
  untouched.LoadFromIni(empty);
  current.PendholdTime = 4.0;
  current.PromptDeleteFromPendhold = kTriteUnknown;
  current.PromptReleaseFromPendhold = kTriteUnknown;
  EXPECT_TRUE(untouched.SameValues(current));
}

TEST(ProcessingOptions, KeysAreDatedAndCulledOnLoad) {
  ScopedClockForTests clock(45000.5);
  TQuorIniFile ini("");
  LoadText(ini,
           "[ProcessingOptions]\n"
           "Keys=A~44991,B,C~xyz,D~44989,,E~-5,F~44999~junk,\"G H~44999\",~44999\n");
  TProcessingOptions options;
  options.LoadFromIni(ini);
  const std::vector<std::pair<std::string, std::int64_t>> expected = {
      {"A", 44991},  // 44991 + 10 days is still ahead of now
      {"B", 45000},  // no day: today
      {"C", 45000},  // a day that is no number: today
      {"F", 45000},
      {"G H", 44999},
  };
  EXPECT_EQ(KeysOf(options), expected);

  // Without "Keys" in the file the keys in memory stay with their days.
  TQuorIniFile noKeys("");
  LoadText(noKeys, "[ProcessingOptions]\nInfoType=3\n");
  options.LoadFromIni(noKeys);
  EXPECT_EQ(KeysOf(options), expected);
}

TEST(ProcessingOptions, KeyLivesUntilPendholdTimeDaysAfterItsMidnight) {
  struct Row {
    TDateTime now;
    bool kept;
  } rows[] = {
      {45000.0, true},
      {45009.9, true},             // the ninth day after the key's day
      {45010.0, true},             // its very first moment still counts
      {45010.0 + kSecond, false},  // the tenth day after it
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.now);
    ScopedClockForTests clock(r.now);
    TProcessingOptions options;
    options.Keys.AddNumber("Key=issued", 45000);
    options.CullKeys();
    EXPECT_EQ(options.Keys.Count(), r.kept ? 1 : 0);
  }
}

class ProcessingOptionsGlobal : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    TProcessingOptions defaults;
    SetProcessingOptions(kUser, defaults);
  }
};

TEST_F(ProcessingOptionsGlobal, SnapshotsNeverChange) {
  std::shared_ptr<const TProcessingOptions> before = GetGlobalProcessingOptions(kUser);
  TProcessingOptions copy = GetProcessingOptions(kUser);
  copy.InfoType = 4;
  EXPECT_EQ(GetGlobalProcessingOptions(kUser)->InfoType, 2);  // the copy is the writer's own
  SetProcessingOptions("another user shares the set", copy);
  EXPECT_EQ(before->InfoType, 2);
  EXPECT_EQ(GetGlobalProcessingOptions(kUser)->InfoType, 4);
  EXPECT_EQ(GetProcessingOptions(kUser).InfoType, 4);
}

TEST_F(ProcessingOptionsGlobal, WritersKeepEachOthersChanges) {
  {
    TProcessingOptions seed = GetProcessingOptions(kUser);
    seed.Keys.AddNumber("Key=old", 44000);
    seed.Keys.AddNumber("Key=redated", 44000);
    SetProcessingOptions(kUser, seed);
  }
  // The main window and the bounce action both take a copy of the same set.
  TProcessingOptions window = GetProcessingOptions(kUser);
  TProcessingOptions bounce = GetProcessingOptions(kUser);
  TProcessingOptions viewer = GetProcessingOptions(kUser);
  window.DetailLevel = 9;
  window.InfoType = 1;
  bounce.Keys.Delete(0);  // culled
  bounce.Keys.SetNumber(0, 44001);
  bounce.Keys.AddNumber("Key=new", 45000);
  viewer.InfoType = 3;  // the same field as the window: the later writer wins
  SetProcessingOptions(kUser, bounce);
  SetProcessingOptions(kUser, window);
  SetProcessingOptions(kUser, viewer);

  std::shared_ptr<const TProcessingOptions> now = GetGlobalProcessingOptions(kUser);
  EXPECT_EQ(now->DetailLevel, 9);
  EXPECT_EQ(now->InfoType, 3);
  const std::vector<std::pair<std::string, std::int64_t>> keys = {{"Key=redated", 44001},
                                                                   {"Key=new", 45000}};
  EXPECT_EQ(KeysOf(*now), keys);

  // The window hands its copy back again: only what it changed since counts.
  window.PromptDeleteFromPendhold = kTriteNo;
  SetProcessingOptions(kUser, window);
  now = GetGlobalProcessingOptions(kUser);
  EXPECT_EQ(now->InfoType, 3);
  EXPECT_EQ(now->PromptDeleteFromPendhold, kTriteNo);
  EXPECT_EQ(KeysOf(*now), keys);
}

TEST_F(ProcessingOptionsGlobal, AnObjectMadeOnItsOwnReplacesTheWholeSet) {
  TProcessingOptions copy = GetProcessingOptions(kUser);
  copy.InfoType = 4;
  copy.Keys.AddNumber("Key=x", 45000);
  SetProcessingOptions(kUser, copy);

  TProcessingOptions own;
  own.DetailLevel = 1;
  SetProcessingOptions(kUser, own);
  EXPECT_TRUE(GetGlobalProcessingOptions(kUser)->SameValues(own));
}

// Writers on several threads, each changing a field of its own and issuing
// keys, with readers looking at the snapshots meanwhile: no change may be
// lost (run under ThreadSanitizer too).
TEST(ProcessingOptionsThreads, ConcurrentWritersLoseNoChange) {
  TProcessingOptions defaults;
  SetProcessingOptions(kUser, defaults);
  std::int32_t TProcessingOptions::*const fields[] = {
      &TProcessingOptions::InfoLocation,          &TProcessingOptions::InfoType,
      &TProcessingOptions::DeleteReportAfter,     &TProcessingOptions::DeleteMsgBackupsAfter,
      &TProcessingOptions::NumSecsDelay,          &TProcessingOptions::MessageMatchThreshold,
      &TProcessingOptions::PopFailureWarningCount, &TProcessingOptions::SMTPFailureWarningCount,
  };
  constexpr int kRounds = 150;
  std::atomic<bool> writing{true};
  std::vector<std::thread> writers;
  for (auto field : fields)
    writers.emplace_back([field, writer = writers.size()] {
      for (int round = 1; round <= kRounds; ++round) {
        TProcessingOptions copy = GetProcessingOptions(kUser);
        copy.*field = round;
        copy.Keys.AddNumber("Key=" + std::to_string(writer) + "-" + std::to_string(round), 45000);
        SetProcessingOptions(kUser, copy);
      }
    });
  std::thread reader([&writing] {
    while (writing.load()) {
      std::shared_ptr<const TProcessingOptions> snapshot = GetGlobalProcessingOptions(kUser);
      int count = 0;
      for (int i = 0; i < snapshot->Keys.Count(); ++i) count += snapshot->Keys[i].size() > 4;
      EXPECT_EQ(count, snapshot->Keys.Count());
    }
  });
  for (std::thread& writer : writers) writer.join();
  writing.store(false);
  reader.join();

  std::shared_ptr<const TProcessingOptions> final = GetGlobalProcessingOptions(kUser);
  for (auto field : fields) EXPECT_EQ((*final).*field, kRounds);
  EXPECT_EQ(final->Keys.Count(), static_cast<int>(std::size(fields)) * kRounds);
  SetProcessingOptions(kUser, defaults);
}

}  // namespace
}  // namespace halvorn
