#include "message/email_info.h"
#include "message/link_key.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/atomic_file.h"
#include "foundation/files/folder_test_env.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/crypto/random_source.h"
#include "foundation/time/clock.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::string RecordPath(std::int32_t id) {
  return EmailInfoDir() + "/" + std::to_string(id) + ".dat";
}

void WriteRecord(std::int32_t id, const std::string& text) {
  std::filesystem::create_directories(EmailInfoDir());
  ASSERT_TRUE(test::WriteFileBytes(RecordPath(id), text));
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// Every test gets an install folder of its own, so the record files of tests
// running at once never meet.
class EmailInfoTest : public test::FolderEnvTest {
 protected:
  ~EmailInfoTest() override { EXPECT_EQ(LiveEmailInfoCount(), 0) << "a record was not released"; }
};

TEST_F(EmailInfoTest, SavesEveryFieldInOrderAndLoadsItBack) {
  TEmailInfo record;
  record.SetId(4242);
  for (int k = 0; k < kEmailInfoKeyCount; ++k) {
    const auto key = static_cast<TEmailInfoKey>(k);
    record.SetValue(key, std::string("v") + EmailInfoKeyName(key));
  }
  record.SetValue(TEmailInfoKey::PendholdText, "\"Held, for a reason\",second");
  record.SetValue(TEmailInfoKey::StatData, "two\r\nlines\nhere");  // stored on one line
  record.SetQCHMsgId(77);
  record.SetStandardTest(3, kTriteYes);
  record.SetStandardTest(5, kTriteNo);
  record.SetUrls(test::ListOf({"http://a/b?c=d", "with blank"}));
  record.AddDangerLevel("Script", 120);
  record.AddDangerLevel("Macro", 5);
  record.SetBannedPhrases(test::ListOf({"cheap=Phrases"}));
  ASSERT_EQ(record.Save(), "");

  const std::string text = test::ReadFileBytes(RecordPath(4242));
  const std::string expected =
      "MailBox=vMailBox\r\nUIDL=vUIDL\r\nRemoteAccountId=vRemoteAccountId\r\n"
      "PendholdText=\"Held, for a reason\",second\r\nPendholdCategory=vPendholdCategory\r\n"
      "CategoryProbabilitiesStr=vCategoryProbabilitiesStr\r\nBackupFile=vBackupFile\r\n"
      "UserWanted=vUserWanted\r\nShowExtRefs=vShowExtRefs\r\nReportFile=vReportFile\r\n"
      "SummaryReport=vSummaryReport\r\nMailListId=vMailListId\r\nQCHHasMsgText=vQCHHasMsgText\r\n"
      "SourceIP=vSourceIP\r\nDccBody=vDccBody\r\nDccFuz1=vDccFuz1\r\nDccFuz2=vDccFuz2\r\n"
      "QCHMsgId=77\r\nStandardTests=" +
      TriteArrayToCompressedText(record.StandardTests()) +
      "\r\nUrls=http://a/b?c=d,\"with blank\"\r\n"
      "StatData=two  lines here\r\nPOPDuplicate=vPOPDuplicate\r\n"
      "DangerLevel=005Macro,120Script\r\nBannedPhrases=cheap=Phrases\r\n";
  EXPECT_EQ(text, expected);

  // A restart: a new record of the same Id reads all of it back.
  TEmailInfo loaded;
  ASSERT_TRUE(loaded.Load(4242));
  for (int k = 0; k < kEmailInfoKeyCount; ++k) {
    const auto key = static_cast<TEmailInfoKey>(k);
    if (key != TEmailInfoKey::StatData) {
      EXPECT_EQ(loaded.Value(key), record.Value(key));
    }
  }
  EXPECT_EQ(loaded.Value(TEmailInfoKey::StatData), "two  lines here");
  EXPECT_EQ(loaded.QCHMsgId(), 77);
  EXPECT_EQ(loaded.StandardTests(), record.StandardTests());
  EXPECT_EQ(loaded.Urls(), record.Urls());
  EXPECT_EQ(loaded.DangerLevel(), record.DangerLevel());
  EXPECT_EQ(loaded.BannedPhrases(), record.BannedPhrases());
  EXPECT_EQ(loaded.GetPendholdCategory(-1), -1);
}

TEST_F(EmailInfoTest, WritesOnlyTheFieldsThatHoldSomething) {
  TEmailInfo record;
  record.SetValue(TEmailInfoKey::UIDL, "1234.abc");
  record.SetStandardTests({});
  record.SetQCHMsgId(0);
  ASSERT_EQ(record.Save(), "");
  EXPECT_EQ(test::ReadFileBytes(record.FileName()), "UIDL=1234.abc\r\n");

  TEmailInfo empty;
  ASSERT_EQ(empty.Save(), "");
  EXPECT_FALSE(Exists(empty.FileName()));  // nothing to store, no file
}

TEST_F(EmailInfoTest, ReadsDangerLevelsAndNamesInAnyCase) {
  WriteRecord(9, "uidl=u1\r\nDANGERLEVEL=120Script,005Macro,abcX\r\nPendholdCategory= 8\r\n");
  TEmailInfo record;
  ASSERT_TRUE(record.Load(9));
  EXPECT_EQ(record.Value(TEmailInfoKey::UIDL), "u1");
  EXPECT_EQ(record.GetPendholdCategory(-1), 8);
  const TStringList danger = record.DangerLevel();
  ASSERT_EQ(danger.ToVector(), (test::Lines{"Macro", "Script", "X"}));
  EXPECT_EQ(danger.Numbers(0), 5);
  EXPECT_EQ(danger.Numbers(1), 120);
  EXPECT_EQ(danger.Numbers(2), 10);  // "abc" is no level
  EXPECT_FALSE(record.AddDangerLevel("macro", 40)) << "a name is refused twice";
  EXPECT_TRUE(record.AddDangerLevel("Attachment", 1234));  // only three digits are kept
  ASSERT_EQ(record.Save(), "");
  EXPECT_EQ(test::ReadFileBytes(RecordPath(9)),
            "UIDL=u1\r\nPendholdCategory= 8\r\nDangerLevel=234Attachment,005Macro,120Script,010X\r\n");
}

TEST_F(EmailInfoTest, LoadingTheSameIdReadsNothing) {
  WriteRecord(12, "MailBox=first\r\n");
  TEmailInfo record;
  ASSERT_TRUE(record.Load(12));
  WriteRecord(12, "MailBox=changed\r\n");
  EXPECT_TRUE(record.Load(12));
  EXPECT_EQ(record.Value(TEmailInfoKey::MailBox), "first");
}

TEST_F(EmailInfoTest, MissingAndDamagedFiles) {
  TEmailInfo record;
  record.SetValue(TEmailInfoKey::MailBox, "old content");
  EXPECT_FALSE(record.Load(31));
  EXPECT_EQ(record.Id(), 31);
  EXPECT_EQ(record.Value(TEmailInfoKey::MailBox), "");

  // A value that cannot be read (here a block-coded container whose block
  // length is out of range) loses only itself.
  WriteRecord(32, "MailBox=box\r\nStandardTests=!Af//////////\r\nBannedPhrases=a,b\r\n");
  EXPECT_FALSE(record.Load(32));
  EXPECT_EQ(record.Value(TEmailInfoKey::MailBox), "box");
  EXPECT_EQ(record.BannedPhrases().ToVector(), (test::Lines{"a", "b"}));
  // A record that did not load whole never deletes the file it came from.
  record.SetValue(TEmailInfoKey::MailBox, "");
  record.SetBannedPhrases({});
  ASSERT_EQ(record.Save(), "");
  EXPECT_TRUE(Exists(RecordPath(32)));
}

TEST_F(EmailInfoTest, EmptiedRecordDeletesItsOldFile) {
  WriteRecord(40, "MailBox=box\r\nUrls=http://x/\r\n");
  TEmailInfo record;
  ASSERT_TRUE(record.Load(40));
  record.SetValue(TEmailInfoKey::MailBox, "");
  record.SetUrls({});
  ASSERT_EQ(record.Save(), "");
  EXPECT_FALSE(Exists(RecordPath(40))) << "the old values would come back at the next load";

  // Saved, then emptied: the same.
  record.SetValue(TEmailInfoKey::UIDL, "u");
  ASSERT_EQ(record.Save(), "");
  ASSERT_TRUE(Exists(RecordPath(40)));
  record.SetValue(TEmailInfoKey::UIDL, "");
  ASSERT_EQ(record.Save(), "");
  EXPECT_FALSE(Exists(RecordPath(40)));
}

TEST_F(EmailInfoTest, FreshIdsAvoidFilesAndLiveRecords) {
  SeedRandomForThisThread(99);
  const TEmailInfo first;
  const std::int32_t taken = first.Id();
  EXPECT_GE(taken, 1);
  EXPECT_LE(taken, 0x7FFFFFFE);
  WriteRecord(taken, "MailBox=someone else's\r\n");
  SeedRandomForThisThread(99);  // the same draw again finds the file and draws anew
  const TEmailInfo second;
  EXPECT_NE(second.Id(), taken);

  TEmailInfo* live = nullptr;
  SeedRandomForThisThread(5);
  AcquireNewEmailInfo(live, {});
  SeedRandomForThisThread(5);
  TEmailInfo third;
  EXPECT_NE(third.Id(), live->Id());
  third.NewId();
  EXPECT_NE(third.Id(), live->Id());
  ReleaseEmailInfo(live);
}

TEST_F(EmailInfoTest, DecodeLinks) {
  TEmailInfo record;
  record.SetId(255);
  std::string link;
  ASSERT_TRUE(record.MakeDecodeLink("http://joe:pw@LocalHost:6173/GetReport?UserId=A%20B&File=x", link));
  EXPECT_EQ(link, "http://LocalHost:6173/Decode?000000FF0&LinkKey=" + GetLinkKey());
  std::string second;
  record.MakeDecodeLink("https://example.com/a/b/page?x=1", second);
  EXPECT_EQ(second, "https://example.com/a/b/Decode?000000FF1");

  const struct {
    std::string link;
    bool resolves;
    std::string target;
  } rows[] = {
      {link, true, "http://joe:pw@LocalHost:6173/GetReport?UserId=A%20B&File=x"},
      {second, true, "https://example.com/a/b/page?x=1"},
      {"http://LocalHost/Decode?000000ff1", true, "https://example.com/a/b/page?x=1"},
      {"http://LocalHost/Decode?000000FF2", false, ""},   // no such position
      {"http://LocalHost/Decode?000000FF-1", false, ""},  // nor this
      {"http://LocalHost/Decode?000000FF", false, ""},
      {"http://LocalHost/Decode?000001FF0", false, ""},  // another record's link
      {"http://LocalHost/Decode?0000 0FF0", false, ""},
      {"http://LocalHost/decode?000000FF0", false, ""},  // the document's case counts
      {"http://LocalHost/GetReport?000000FF0", false, ""},
      {"", false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.link);
    std::string target = "stale";
    EXPECT_EQ(record.ResolveLink(row.link, target), row.resolves);
    EXPECT_EQ(target, row.target);
  }
}

TEST_F(EmailInfoTest, BorrowersShareOneRecordAndTheLastReleaseSaves) {
  TEmailInfo* a = nullptr;
  TEmailInfo* b = nullptr;
  EXPECT_FALSE(AcquireEmailInfo(70, a)) << "no file, no message";
  EXPECT_TRUE(AcquireEmailInfo(70, b)) << "a live record is found";
  ASSERT_EQ(a, b) << "two borrowers of one Id share one record";
  EXPECT_EQ(a->RefCount(), 2);
  a->SetValue(TEmailInfoKey::MailBox, "from a");
  b->SetValue(TEmailInfoKey::UIDL, "from b");
  ReleaseEmailInfo(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_FALSE(Exists(RecordPath(70))) << "saved only at the last release";
  ReleaseEmailInfo(b);
  EXPECT_EQ(test::ReadFileBytes(RecordPath(70)), "MailBox=from a\r\nUIDL=from b\r\n");

  EXPECT_TRUE(AcquireEmailInfo(70, a));
  EXPECT_EQ(a->Value(TEmailInfoKey::UIDL), "from b");
  ReleaseEmailInfo(a);
  TEmailInfo* none = nullptr;
  ReleaseEmailInfo(none);  // nothing for none
}

// What a loaded message does with its record.
struct Message : TEmailInfoOwner {};

TEST_F(EmailInfoTest, MessageOwnedRecords) {
  auto message = std::make_shared<Message>();
  TEmailInfo* own = nullptr;
  AcquireNewEmailInfo(own, message);
  const std::int32_t id = own->Id();
  EXPECT_EQ(FindEmailInfoOwner(id), message);
  EXPECT_FALSE(Exists(own->FileName()));

  TEmailInfo* borrowed = nullptr;
  EXPECT_TRUE(AcquireEmailInfo(id, borrowed)) << "a loaded message holds the Id";
  EXPECT_EQ(borrowed, own);
  borrowed->SetValue(TEmailInfoKey::ReportFile, "report.htm");

  // The message goes; the borrower's reference keeps the record, whose last
  // release saves it.
  ReleaseEmailInfo(own);
  message.reset();
  EXPECT_EQ(FindEmailInfoOwner(id), nullptr) << "the owner reference is weak";
  ReleaseEmailInfo(borrowed);
  EXPECT_EQ(test::ReadFileBytes(RecordPath(id)), "ReportFile=report.htm\r\n");
}

TEST_F(EmailInfoTest, SwitchingToTheIdOfTheMessageFile) {
  auto message = std::make_shared<Message>();
  WriteRecord(501, "MailBox=five oh one\r\n");
  WriteRecord(502, "MailBox=five oh two\r\n");

  // Unshared: the record loads the other Id in place.
  TEmailInfo* own = nullptr;
  AcquireNewEmailInfo(own, message);
  TEmailInfo* const first = own;
  EXPECT_TRUE(SwitchEmailInfo(own, 501, message));
  EXPECT_EQ(own, first);
  EXPECT_EQ(own->Value(TEmailInfoKey::MailBox), "five oh one");
  EXPECT_TRUE(SwitchEmailInfo(own, 501, message)) << "same Id: nothing to do";

  // Shared with a borrower: the borrower's record is never rewritten.
  TEmailInfo* borrower = nullptr;
  AcquireEmailInfo(501, borrower);
  EXPECT_TRUE(SwitchEmailInfo(own, 502, message));
  EXPECT_NE(own, borrower);
  EXPECT_EQ(borrower->Id(), 501);
  EXPECT_EQ(borrower->Value(TEmailInfoKey::MailBox), "five oh one");
  EXPECT_EQ(own->Value(TEmailInfoKey::MailBox), "five oh two");

  // Another record of the Id is live: the message takes that instance over.
  TEmailInfo* second = nullptr;
  AcquireNewEmailInfo(second, {});
  EXPECT_TRUE(SwitchEmailInfo(second, 501, message));
  EXPECT_EQ(second, borrower);
  EXPECT_EQ(borrower->RefCount(), 2);
  EXPECT_FALSE(SwitchEmailInfo(second, 503, {})) << "no file for 503";

  ReleaseEmailInfo(own);
  ReleaseEmailInfo(borrower);
  ReleaseEmailInfo(second);
}

TEST_F(EmailInfoTest, ChangingTheIdOfALiveRecord) {
  TEmailInfo* record = nullptr;
  AcquireEmailInfo(600, record);
  record->SetValue(TEmailInfoKey::MailBox, "kept");
  record->NewId();  // a message whose text was replaced
  const std::int32_t renewed = record->Id();
  TEmailInfo* again = nullptr;
  AcquireEmailInfo(renewed, again);
  EXPECT_EQ(again, record) << "filed under its new Id";
  TEmailInfo* old = nullptr;
  AcquireEmailInfo(600, old);
  EXPECT_NE(old, record);
  EXPECT_THROW(record->SetId(600), std::logic_error) << "600 is live in another record";
  EXPECT_EQ(record->Id(), renewed);
  ReleaseEmailInfo(old);
  ReleaseEmailInfo(again);
  ReleaseEmailInfo(record);
  EXPECT_EQ(test::ReadFileBytes(RecordPath(renewed)), "MailBox=kept\r\n");
}

TEST_F(EmailInfoTest, AFailedSaveAtTheLastReleaseIsLoggedNotRaised) {
  TEmailInfo* record = nullptr;
  AcquireEmailInfo(700, record);
  record->SetValue(TEmailInfoKey::MailBox, "lost");
  FailNextAtomicWriteForTests(AtomicWriteStep::Write, ENOSPC);
  ReleaseEmailInfo(record);
  EXPECT_EQ(record, nullptr);
  EXPECT_FALSE(Exists(RecordPath(700)));
  FailNextAtomicWriteForTests(AtomicWriteStep::None, 0);
}

TEST_F(EmailInfoTest, CullDeletesByTheCutOff) {
  for (std::int32_t id : {801, 802}) {
    TEmailInfo record;
    record.SetId(id);
    record.SetValue(TEmailInfoKey::MailBox, "m");
    ASSERT_EQ(record.Save(), "");
  }
  test::WriteFileBytes(EmailInfoDir() + "/notes.txt", "not a record");
  EXPECT_EQ(CullEmailInfo(Now() - 1), 0);
  EXPECT_TRUE(Exists(RecordPath(801)));
  EXPECT_EQ(CullEmailInfo(Now() + 1), 2);
  EXPECT_FALSE(Exists(RecordPath(801)));
  EXPECT_FALSE(Exists(RecordPath(802)));
  EXPECT_TRUE(Exists(EmailInfoDir() + "/notes.txt"));
}

// The racing test runs under ThreadSanitizer, which slows the file writes made
// under the registry's lock: waits get a long time-out there.
class EmailInfoRaceTest : public EmailInfoTest {
 protected:
  EmailInfoRaceTest() { TMutexCriticalSection::SetTimeOutForTests(60000); }
  ~EmailInfoRaceTest() override { TMutexCriticalSection::SetTimeOutForTests(0); }
};

// Borrowers on several threads acquire and release one Id while each adds
// entries of its own; acquires race with last releases (each of which saves
// and frees the record). No entry may be lost.
TEST_F(EmailInfoRaceTest, ConcurrentBorrowersLoseNoUpdate) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) {
        TEmailInfo* record = nullptr;
        AcquireEmailInfo(900, record);
        record->AddDangerLevel("t" + std::to_string(t) + "-" + std::to_string(i), 1);
        TStringList urls = record->Urls();  // a reader beside the writers
        ReleaseEmailInfo(record);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(LiveEmailInfoCount(), 0);
  TEmailInfo* record = nullptr;
  ASSERT_TRUE(AcquireEmailInfo(900, record));
  EXPECT_EQ(record->DangerLevel().Count(), kThreads * kRounds);
  ReleaseEmailInfo(record);
}

}  // namespace
}  // namespace halvorn
