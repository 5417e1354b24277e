// The incoming processing thread end to end: message files in the
// unprocessed-incoming queue go through the real thread, driven as the
// status tick drives it, by rules on scripted tests and test actions, and
// come out where the rules send them.
#include "processing/process_incoming_thread.h"

#include <sys/stat.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/app/main_window_notifications.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/file_helpers.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "message/accounts.h"
#include "message/message_repository.h"
#include "message/partial_messages.h"
#include "processing_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::IncomingThreadHarness;
using test::TConsumeAction;
using test::TDeleteTestAction;
using test::THoldAction;
using test::TRaiseAction;
using test::TScriptedStep;
using test::TTagAction;
using Lines = std::vector<std::string>;

const std::string kUser = kSingleUserName;

class IncomingThreadTest : public test::ProcessingTest {
 protected:
  // A message in the unprocessed-incoming queue, saved, with properties
  // and side-record values.
  TEmailMsgRef Place(const std::string& subject, const std::string& body = "Body text.\r\n",
                     const std::map<std::string, std::string>& properties = {},
                     const std::string& uidl = {}, const std::string& account = {}) {
    TEmailMsgRef msg = TEmailMsg::Create(Repository().UnProcessedIncoming());
    msg->SetText("From: Sender <sender@example.com>\r\nTo: user@example.com\r\nSubject: " +
                 subject + "\r\nMessage-ID: <" + std::to_string(++FCounter) +
                 "@example.com>\r\nDate: Fri, 15 Mar 2024 10:00:00 +0000\r\n\r\n" + body);
    for (const auto& [name, value] : properties) msg->SetProperty(name, value);
    if (!uidl.empty()) msg->SetInfoValue(TEmailInfoKey::UIDL, uidl);
    if (!account.empty()) msg->SetInfoValue(TEmailInfoKey::RemoteAccountId, account);
    EXPECT_TRUE(msg->SaveToFile());
    return msg;
  }

  // Python's email reading of every message file of a folder: one line per
  // file, "subject|defects|property names", sorted.
  static Lines Read(const std::string& folder) {
    std::string paths;
    for (const std::string& name : test::EmlFiles(folder)) paths += folder + "/" + name + "\n";
    const test::CommandResult result = test::RunPython(
        "import sys, email, csv\n"
        "from email import policy\n"
        "out = []\n"
        "for path in sys.stdin.read().split('\\n'):\n"
        "    if not path: continue\n"
        "    data = open(path, 'rb').read()\n"
        "    props = ''\n"
        "    if data.startswith(b'X-SMTP: '):\n"
        "        line, data = data.split(b'\\r\\n', 1)\n"
        "        items = next(csv.reader([line[8:].decode('latin-1')]))\n"
        "        props = ','.join(sorted(p.split('=')[0] for p in items))\n"
        "    msg = email.message_from_bytes(data, policy=policy.compat32)\n"
        "    out.append('%s|%d|%s' % (msg['Subject'], len(msg.defects), props))\n"
        "print('\\n'.join(sorted(out)))\n",
        paths);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return test::OutputLines(result.Output);
  }

  static std::string Folder(TEmailMsgList* queue) { return queue->Folder(); }
  static int Files(const std::string& folder) {
    return static_cast<int>(test::EmlFiles(folder).size());
  }

  int FCounter = 0;
};

// Both phases, every way out: a message no rule acts on and a tagged one go
// to processed-incoming (tagged once, finished, unmarked); a phase-0 hold
// keeps the message in the Pendhold queue with its analysis done but not
// phase 1; phase-0 and phase-1 deletes leave nothing behind; an action that
// raises counts as not performed; a consuming action that does not move the
// message skips phase 1 and the message goes on. The full reports hold the
// rule tables; the texts of the processed messages are freed.
TEST_F(IncomingThreadTest, BothPhasesSendEachMessageWhereItsRulesSay) {
  AddTest("Always", true);
  TScriptedStep yes;
  yes.Answer = true;
  AddAction<THoldAction>("Hold");
  AddAction<TDeleteTestAction>("Delete");
  auto tag = AddAction<TTagAction>("Tag", "[TAG] ");
  AddAction<TRaiseAction>("Raise");
  AddAction<TConsumeAction>("Consume");
  // Phase 0: one rule per action, each on its own subject.
  auto holdTest = AddTest("Is hold me", false);
  holdTest->Script("Hold me", yes);
  auto deleteTest = AddTest("Is delete me", false);
  deleteTest->Script("Delete me", yes);
  auto consumeTest = AddTest("Is consume me", false);
  consumeTest->Script("Consume me", yes);
  AddRule("Hold early", "Is hold me", "Hold", Rt_ReceiveBeforeProcessing);
  AddRule("Delete early", "Is delete me", "Delete", Rt_ReceiveBeforeProcessing);
  AddRule("Consume early", "Is consume me", "Consume", Rt_ReceiveBeforeProcessing);
  // Phase 1.
  auto tagTest = AddTest("Is tag me", false);
  for (const char* subject : {"Tag me", "Hold me", "Consume me"}) tagTest->Script(subject, yes);
  auto lateDelete = AddTest("Is delete later", false);
  lateDelete->Script("Delete later", yes);
  auto raiseTest = AddTest("Is raise", false);
  raiseTest->Script("Raise", yes);
  AddRule("Tag it", "Is tag me", "Tag");
  AddRule("Delete late", "Is delete later", "Delete");
  AddRule("Raise it", "Is raise", "Raise");
  AddRule("Everyone", "Always", "Consume", Rt_ReceiveAfterProcessing, po_TestNotTrue);

  for (const char* subject :
       {"Keep me", "Tag me", "Hold me", "Delete me", "Delete later", "Raise", "Consume me"})
    Place(subject);
  TMessageRepository& repo = Repository();
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
    ASSERT_TRUE(harness.Alive());
  }
  EXPECT_EQ(Files(Folder(repo.UnProcessedIncoming())), 0);
  EXPECT_EQ(Read(Folder(repo.ProcessedIncoming())),
            (Lines{"Consume me|0|ContentId", "Keep me|0|ContentId", "Raise|0|ContentId",
                   "[TAG] Tag me|0|ContentId"}));
  EXPECT_EQ(Read(Folder(repo.Pendhold())), (Lines{"Hold me|0|ContentId,SendTime"}));
  EXPECT_EQ(Files(Folder(repo.Trash())), 0);
  // Phase 1 never saw what phase 0 consumed.
  EXPECT_EQ(tag->Performed(), 1);
  for (const std::string& subject : tagTest->Judged())
    EXPECT_TRUE(subject != "Hold me" && subject != "Consume me") << subject;

  // The held message is held with its reason, and its analysis ran.
  TEmailMsgRef held = repo.Pendhold()->Items(0);
  ASSERT_NE(held, nullptr);
  EXPECT_NE(held->GetInfoValue(TEmailInfoKey::PendholdText).find("held by the rule Hold early"),
            std::string::npos);
  // Every processed message freed its text after its last save.
  for (const TEmailMsgRef& msg : repo.ProcessedIncoming()->Snapshot())
    EXPECT_FALSE(msg->IsLoaded()) << msg->GetFileName();

  // The full report of the tagged message holds the tables of its rules.
  std::string tagReport;
  TStringList reports;
  ListFilesInDir(GetReportsDir(kUser), "Full_Report*.htm", false, 100, reports);
  for (int i = 0; i < reports.Count(); ++i) {
    const std::string page = test::ReadFileBytes(reports[i]);
    if (page.find("Halvorn Email Report - [TAG] Tag me") != std::string::npos) tagReport = page;
  }
  ASSERT_FALSE(tagReport.empty()) << reports.Count() << " full reports";
  EXPECT_NE(tagReport.find("<tr> <th colspan=\"3\"> Tag it</th> </tr>"), std::string::npos);
  EXPECT_NE(tagReport.find("<tr> <th colspan=\"3\"> Everyone</th> </tr>"), std::string::npos);
  EXPECT_NE(tagReport.find("<tr> <th colspan=\"3\"> Hold early</th> </tr>"), std::string::npos);
}

// A message whose UIDL the processed-incoming queue holds from the same
// account is removed without analysis, with its UIDL left on the server;
// the same UIDL from another account is another message. Mail of an account
// whose mail is not to be processed never reaches the rules.
TEST_F(IncomingThreadTest, DuplicatesAndAccountsNotProcessed) {
  TLocalAccountRef local = GlobalLocalAccounts().Add();
  TRemoteAccountRef a = local->RemoteAccounts->Add();
  TRemoteAccountRef b = local->RemoteAccounts->Add();
  TRemoteAccountRef off = local->RemoteAccounts->Add();
  off->ProcessUsingQuor.store(false);
  auto test = AddTest("All", true);
  AddAction<TTagAction>("Tag", "[T] ");
  AddRule("Tag all", "All", "Tag");

  TEmailMsgRef kept = TEmailMsg::Create(Repository().ProcessedIncoming());
  kept->SetText("Subject: Already here\r\n\r\nbody\r\n");
  kept->SetInfoValue(TEmailInfoKey::UIDL, "u1");
  kept->SetInfoValue(TEmailInfoKey::RemoteAccountId, a->UniqueId());
  ASSERT_TRUE(kept->SaveToFile());
  a->SetUidlStatus("u1", us_Downloaded);
  Place("Duplicate", "body\r\n", {}, "u1", a->UniqueId());
  Place("Same uidl other account", "body\r\n", {}, "u1", b->UniqueId());
  Place("Other uidl", "body\r\n", {}, "u2", a->UniqueId());
  Place("Not processed", "body\r\n", {}, "u3", off->UniqueId());
  off->SetUidlStatus("u3", us_Downloaded);
  // The one in the queue is freed, as after its analysis: the duplicate
  // check reads it and frees it again.
  ASSERT_TRUE(kept->ReleaseText());
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  EXPECT_EQ(Read(Folder(Repository().ProcessedIncoming())),
            (Lines{"Already here|0|ContentId", "[T] Other uidl|0|ContentId",
                   "[T] Same uidl other account|0|ContentId"}));
  Lines judged = test->Judged();
  std::sort(judged.begin(), judged.end());
  EXPECT_EQ(judged, (Lines{"Other uidl", "Same uidl other account"}));
  EXPECT_EQ(a->GetUidlStatus("u1"), us_DeletedLocal);
  EXPECT_EQ(off->GetUidlStatus("u3"), us_DeletedLocal);
  EXPECT_FALSE(kept->IsLoaded());
}

// Marks of earlier runs: a finished message ("3") and one that already
// took the exception path go on as they are, before any rule; a message
// whose run never ended ("1" or "2") takes the exception path: it goes on
// unanalysed and marked.
TEST_F(IncomingThreadTest, MarkedMessagesGoOnBeforeAnyRule) {
  auto test = AddTest("All", true);
  AddAction<TTagAction>("Tag", "[T] ");
  AddRule("Tag early", "All", "Tag", Rt_ReceiveBeforeProcessing);
  AddRule("Tag late", "All", "Tag");
  const TEmailMsgRef finished = Place("Finished", "b\r\n", {{kPropStartedProcessing, "3"}});
  const TEmailMsgRef excepted = Place("Excepted", "b\r\n", {{kPropExceptedProcessing, "1"}});
  const TEmailMsgRef unfinished = Place("Unfinished", "b\r\n", {{kPropStartedProcessing, "2"}});
  const TEmailMsgRef preprocessed = Place("Pre", "b\r\n", {{kPropStartedProcessing, "1"}});
  Place("Fresh");
  std::map<std::string, std::string> before;
  for (const TEmailMsgRef& msg : {finished, excepted, unfinished, preprocessed})
    before[msg->GetSubject()] = test::MessagePartOf(test::ReadFileBytes(msg->GetFileName()));
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  EXPECT_EQ(test->Judged(), (Lines{"Fresh"}));
  EXPECT_EQ(Read(Folder(Repository().ProcessedIncoming())),
            (Lines{"Excepted|0|ContentId,Excepted Processing", "Finished|0|ContentId",
                   "Pre|0|ContentId,Excepted Processing",
                   "Unfinished|0|ContentId,Excepted Processing", "[T] [T] Fresh|0|ContentId"}));
  // Their texts went on byte for byte.
  for (const TEmailMsgRef& msg : {finished, excepted, unfinished, preprocessed})
    EXPECT_EQ(test::MessagePartOf(test::ReadFileBytes(msg->GetFileName())),
              before[msg->GetSubject()])
        << msg->GetSubject();
}

// The stop request in the middle of the analysis: the message's file stays
// byte for byte as it arrived, the thread ends, and the next thread
// processes the message from the start (tagged once).
TEST_F(IncomingThreadTest, AStopMidAnalysisLeavesTheFileAsItArrived) {
  AddTest("Early", true);
  auto test = AddTest("Stopper", true);
  auto tag = AddAction<TTagAction>("Tag", "[T] ");
  AddRule("Tag early", "Early", "Tag", Rt_ReceiveBeforeProcessing);
  AddRule("Tag late", "Stopper", "Tag");
  const TEmailMsgRef msg = Place("Stop here", "line one\r\nline two\r\n");
  const std::string path = msg->GetFileName();
  const std::string original = test::ReadFileBytes(path);
  IncomingThreadHarness first;
  TScriptedStep stop;
  stop.Answer = true;
  stop.Before = [&](TEmailMsg&) {
    // The run holds its claim while it works.
    EXPECT_NE(msg->ClaimOwner(), kNoClaimOwner);
    first.Thread().SetStopRequested(true);
  };
  test->Script("[T] Stop here", stop);
  first.Thread().Resume();
  ASSERT_TRUE(test::Eventually([&] { return !first.Alive() || first.Thread().HasFinished(); }));
  first.Stop();
  EXPECT_EQ(tag->Performed(), 1);  // phase 0 ran
  EXPECT_EQ(test::ReadFileBytes(path), original);
  EXPECT_EQ(msg->GetList(), Repository().UnProcessedIncoming());
  EXPECT_FALSE(msg->IsChanged());
  EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);

  // As after a restart: the tests are new objects, which remember no
  // answer of the stopped run.
  Tests().RemoveTest(test.get());
  AddTest("Stopper", true);
  IncomingThreadHarness second;
  second.Thread().Resume();
  ASSERT_TRUE(second.RunUntilIdle());
  EXPECT_EQ(Read(Folder(Repository().ProcessedIncoming())),
            (Lines{"[T] [T] Stop here|0|ContentId"}));
}

// The pause request: the thread processes nothing and rests; cleared, the
// next tick lets it go on.
TEST_F(IncomingThreadTest, PauseHoldsProcessingUntilCleared) {
  AddTest("All", true);
  AddAction<TTagAction>("Tag", "[T] ");
  AddRule("Tag", "All", "Tag");
  Place("Waits");
  IncomingThreadHarness harness;
  harness.Thread().SetPauseRequested(true);
  harness.Thread().Resume();
  ASSERT_TRUE(harness.WaitSuspended());
  EXPECT_EQ(CountUnprocessedIncoming(), 1);
  harness.Thread().SetPauseRequested(false);
  harness.Tick();
  ASSERT_TRUE(harness.RunUntilIdle());
  EXPECT_EQ(Read(Folder(Repository().ProcessedIncoming())), (Lines{"[T] Waits|0|ContentId"}));
}

// Split messages: the pieces mpack makes, processed in any order, give one
// joined message (its attachment whole) and leave no piece behind. A join a
// kill left half done (the joined file beside the pieces) is finished by the
// store's recovery at the start.
TEST_F(IncomingThreadTest, SplitMessagesAreJoinedOnce) {
  AddTest("All", true);
  AddAction<TTagAction>("Tag", "[T] ");
  AddRule("Tag", "All", "Tag");
  std::string payload;
  for (int i = 0; i < 600; ++i) payload += "payload line " + std::to_string(i) + "\n";
  ASSERT_TRUE(test::WriteFileBytes(FRoot.Sub("payload.txt"), payload));
  const test::CommandResult split =
      test::RunCommand({"mpack", "-s", "Split in three", "-m", "6000", "-o",
                        FRoot.Sub("piece"), FRoot.Sub("payload.txt")});
  ASSERT_EQ(split.ExitCode, 0) << split.Output;
  const std::string incoming = GetUnprocessedIncomingDir(kUser);
  int pieces = 0;
  for (int n = 9; n >= 1; --n) {  // the last piece first
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%02d", n);
    const std::string piece = FRoot.Sub("piece") + suffix;
    if (!std::filesystem::exists(piece)) continue;
    ++pieces;
    std::string text = test::ReadFileBytes(piece);
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    test::WriteMessageFile(incoming, "piece" + std::to_string(n) + ".eml", crlf);
  }
  ASSERT_GE(pieces, 2);
  // A half-done join of another set.
  const std::string partials = GetPartialsDir(kUser);
  {
    TEmailMsgRef joined = TEmailMsg::Create();
    joined->SetText("Subject: Joined before the kill\r\n\r\nwhole\r\n");
    joined->SetProperty(kPropPartialId, "other/set");
    ASSERT_TRUE(joined->SaveToNamedFile(partials + "/" + EncodePartialMessageId("other/set") +
                                        ".joined"));
    joined->FSetFlaggedDeleted(true);
    TEmailMsgRef piece = TEmailMsg::Create();
    piece->SetText(
        "Subject: piece\r\nContent-Type: message/partial; id=\"other/set\"; number=1; "
        "total=2\r\n\r\nSubject: Joined before the kill\r\n");
    ASSERT_TRUE(StorePartialMessage(partials, *piece));
    piece->FSetFlaggedDeleted(true);
  }
  GetMailStore().Recover();
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  const std::string processed = Folder(Repository().ProcessedIncoming());
  EXPECT_EQ(Read(processed),
            (Lines{"[T] Joined before the kill|0|ContentId,PartialId",
                   "[T] Split in three|0|ContentId,PartialId"}));
  EXPECT_TRUE(test::EmlFiles(partials).empty());
  TStringList left;
  ListFilesInDir(partials, "*", false, 100, left);
  EXPECT_EQ(left.Count(), 0);
  // The attachment of the joined message is the file that was split.
  std::string paths;
  for (const std::string& name : test::EmlFiles(processed)) paths += processed + "/" + name + "\n";
  const test::CommandResult attached = test::RunPython(
      "import sys, email\n"
      "for path in sys.stdin.read().split():\n"
      "    data = open(path, 'rb').read()\n"
      "    data = data[data.index(b'\\r\\n') + 2:]\n"
      "    for part in email.message_from_bytes(data).walk():\n"
      "        if part.get_filename():\n"
      "            sys.stdout.buffer.write(part.get_payload(decode=True))\n",
      paths);
  EXPECT_EQ(attached.Output, payload);
}

// Mail of the selective open relay: small single-recipient probes are
// relayed straight to the recipients' exchangers, ten a day; the rest is
// kept as a sample (a repeated checksum once) and removed. The next day the
// count starts again.
TEST_F(IncomingThreadTest, RelayedMailTenProbesADay) {
  test::LogRecorder log;
  ScopedClockForTests clock(EncodeDateTime(2024, 3, 15, 10, 0, 0));
  SelectiveOpenRelay.store(true);
  auto test = AddTest("All", true);
  AddAction<TTagAction>("Tag", "[T] ");
  AddRule("Tag", "All", "Tag");
  for (int i = 0; i < 12; ++i)
    Place("Probe " + std::to_string(i), "hello\r\n",
          {{kPropUserAuthenticated, "someone"}, {kPropRcptTo, "target@example.net"}});
  Place("Two recipients", "hello\r\n",
        {{kPropUserAuthenticated, "someone"},
         {kPropRcptTo, "one@example.net,two@example.net"}});
  Place("To the maker", "hello\r\n",
        {{kPropUserAuthenticated, "someone"},
         {kPropRcptTo, std::string("x@") + kMakerUserMailDomain}});
  Place("Not relayed mail", "hello\r\n");
  TMessageRepository& repo = Repository();
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  const std::string outgoing = Folder(repo.ProcessedOutGoing());
  EXPECT_EQ(Files(outgoing), 10);
  for (const std::string& line : Read(outgoing))
    EXPECT_EQ(line.substr(line.find('|')), "|0|ContentId,DirectToMX,RcptTo,UserAuthenticated");
  EXPECT_EQ(Files(GetRelayProbesDir(kUser)), 10);
  EXPECT_GE(Files(GetRelaySpamDir(kUser)), 1);
  EXPECT_EQ(Read(Folder(repo.ProcessedIncoming())), (Lines{"[T] Not relayed mail|0|ContentId"}));
  EXPECT_EQ(test->Judged(), (Lines{"Not relayed mail"}));
  int failed = 0;
  for (const auto& record : log.Records())
    if (record.Text == "Failed to submit Msg" && record.Error) ++failed;
  EXPECT_GE(failed, 1);

  SetClockForTests(EncodeDateTime(2024, 3, 16, 0, 0, 1));
  Place("Next day", "hello\r\n",
        {{kPropUserAuthenticated, "someone"}, {kPropRcptTo, "target@example.net"}});
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  EXPECT_EQ(Files(outgoing), 11);
}

// A "Date" header of 61 characters adds 90 danger points, one of 60 none.
TEST_F(IncomingThreadTest, AnOverlongDateAddsDangerPoints) {
  const std::string sixty(55, 'x');  // "Fri, " and these: 60 characters
  TEmailMsgRef at60 = TEmailMsg::Create(Repository().UnProcessedIncoming());
  at60->SetText("Subject: sixty\r\nDate: Fri, " + sixty + "\r\n\r\nb\r\n");
  ASSERT_TRUE(at60->SaveToFile());
  TEmailMsgRef at61 = TEmailMsg::Create(Repository().UnProcessedIncoming());
  at61->SetText("Subject: sixty-one\r\nDate: Fri, x" + sixty + "\r\n\r\nb\r\n");
  ASSERT_TRUE(at61->SaveToFile());
  {
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  EXPECT_EQ(at60->GetScore(), 0);
  EXPECT_EQ(at61->GetScore(), 90);
}

// Going idle, the thread deletes the reports nobody used for the days the
// options keep them.
TEST_F(IncomingThreadTest, IdleDeletesOldReports) {
  SetOptions([](TProcessingOptions& options) { options.DeleteReportAfter = 7; });
  const std::string reports = GetReportsDir(kUser);
  const std::time_t now = time(nullptr);
  struct Row {
    const char* name;
    std::time_t used;
    bool stays;
  };
  const Row rows[] = {{"old.htm", now - 10 * 86400, false},
                      {"recent.htm", now - 2 * 86400, true},
                      {"old.txt", now - 10 * 86400, true}};
  for (const Row& row : rows) {
    const std::string path = reports + "/" + row.name;
    ASSERT_TRUE(test::WriteFileBytes(path, "<html></html>"));
    const timespec times[2] = {{row.used, 0}, {row.used, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  IncomingThreadHarness harness;
  harness.Thread().Resume();
  ASSERT_TRUE(harness.WaitSuspended());
  for (const Row& row : rows)
    EXPECT_EQ(std::filesystem::exists(reports + "/" + row.name), row.stays) << row.name;
}

// A failure that ends the thread's loop (here a queue lock that cannot be
// had in time) posts the failure message to the main window; the messages
// stay where they were.
TEST_F(IncomingThreadTest, AFailedLoopPostsTheFailureMessage) {
  test::PostRecorder posts;
  test::LogRecorder log;
  Place("Waits");
  TEmailMsgList* incoming = Repository().UnProcessedIncoming();
  IncomingThreadHarness harness;
  {
    TCriticalSectionGuard busy(incoming->ListLock());
    harness.Thread().Resume();
    ASSERT_TRUE(test::Eventually([&] { return harness.Thread().HasFinished(); }, 60000));
  }
  EXPECT_EQ(posts.Take(WM_INCOMING_THREAD_FAILED), 1);
  EXPECT_EQ(CountUnprocessedIncoming(), 1);
}

}  // namespace
}  // namespace halvorn
