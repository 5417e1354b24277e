// Kill safety of the incoming processing thread: this test program, run
// again as a child, processes a few hundred messages and a split message
// with hold, delete and tag rules, and is killed with SIGKILL at random
// moments and started again until it finishes by itself. After every kill
// each message is in exactly one place and whole: in processed-incoming
// always finished (tagged once where a tag rule fires), in the Pendhold
// queue finished or as it arrived, in unprocessed-incoming as it arrived or
// finished; a deleted one is gone, or lies in the trash as it arrived;
// nothing lies anywhere twice. At the end every message is where its rules
// send it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/install_folders.h"
#include "message/partial_messages.h"
#include "processing_test_support.h"
#include "support/child_process.h"
#include "support/store_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

constexpr const char* kChildVariable = "HALVORN_INCOMING_KILL_CHILD";
constexpr int kPerKind = 40;     // messages of each kind
constexpr int kMostKills = 400;  // the child gives up after this many
constexpr const char* kKinds[] = {"keep", "tag", "hold0", "hold1", "delete0", "delete1",
                                  "taghold"};
constexpr const char* kTag = "[TAG] ";
// Written into the body by the notice: a message with it is finished.
constexpr const char* kNoticeMark = "Begin_Quorvantis_Information";

std::string KindOf(const std::string& subject) {
  return subject.substr(0, subject.find('-'));
}

// The child: the rules by subject, and the thread driven until nothing
// waits.
TEST(IncomingKillChild, ProcessesUntilKilled) {
  // What the last kill interrupted is finished or undone first, as the
  // program's start does.
  test::KillChild child(kChildVariable);
  if (!child.Started()) GTEST_SKIP() << "runs only as the child of the kill test";
  const std::string root = child.Root();
  InitializeListsModule();
  InitializeClassifyModule();
  StartProcessingModule();
  test::TScriptedTestBinding scripted;
  test::TTestActionBindings actions;
  std::map<std::string, std::shared_ptr<test::TScriptedTest>> tests;
  for (const char* kind : kKinds) {
    tests[kind] = test::MakeScriptedTest(kind, false);
    GlobalTestList()->AddTest(tests[kind]);
  }
  test::TScriptedStep yes;
  yes.Answer = true;
  for (int i = 0; i < kPerKind; ++i) {
    for (const char* kind : kKinds) {
      const std::string subject = std::string(kind) + "-" + std::to_string(i);
      tests[kind]->Script(subject, yes);
      tests[kind]->Script(kTag + subject, yes);
    }
  }
  GlobalActionList()->Add(test::MakeAction<test::TTagAction>("Tag", kTag));
  GlobalActionList()->Add(test::MakeAction<test::THoldAction>("Hold"));
  GlobalActionList()->Add(test::MakeAction<test::TDeleteTestAction>("Delete"));
  struct RuleRow {
    const char *name, *test, *action;
    std::uint8_t time;
  };
  const RuleRow rules[] = {
      {"Tag", "tag", "Tag", Rt_ReceiveAfterProcessing},
      {"Hold early", "hold0", "Hold", Rt_ReceiveBeforeProcessing},
      {"Hold late", "hold1", "Hold", Rt_ReceiveAfterProcessing},
      {"Delete early", "delete0", "Delete", Rt_ReceiveBeforeProcessing},
      {"Delete late", "delete1", "Delete", Rt_ReceiveAfterProcessing},
      {"Tag then", "taghold", "Tag", Rt_ReceiveBeforeProcessing},
      {"Hold then", "taghold", "Hold", Rt_ReceiveAfterProcessing},
  };
  for (const RuleRow& row : rules) {
    auto rule = std::make_shared<TRule>();
    rule->SetName(row.name);
    rule->SetTestName(row.test);
    rule->SetActionName(row.action);
    rule->SetTime(row.time);
    GlobalRuleList()->Add(rule);
  }
  test::IncomingThreadHarness harness(50);
  harness.Thread().Resume();
  ASSERT_TRUE(test::WriteFileBytes(std::string(root) + "/ready", ""));
  ASSERT_TRUE(harness.RunUntilIdle(600000));
  harness.Stop();
  EndProcessingModule();
  FinalizeClassifyModule();
  FinalizeListsModule();
  EndMessageRepositoryModule();
  EndAccountsModule();
}

struct TArrived {
  std::string Subject;
  std::string Text;  // as it arrived
};

// One message file as the checks see it.
struct TFound {
  std::string Folder, Path, Properties, Text, Subject, Key;
};

TFound ReadFound(const std::string& folder, const std::string& path) {
  TFound found;
  found.Folder = folder;
  found.Path = path;
  const std::string bytes = test::ReadFileBytes(path);
  found.Text = test::MessagePartOf(bytes);
  if (bytes.rfind("X-SMTP: ", 0) == 0) found.Properties = bytes.substr(8, bytes.find("\r\n") - 8);
  const std::size_t subject = found.Text.find("Subject: ");
  if (subject != std::string::npos)
    found.Subject = found.Text.substr(subject + 9, found.Text.find("\r\n", subject) - subject - 9);
  found.Key = found.Subject;
  if (found.Key.rfind(kTag, 0) == 0) found.Key.erase(0, std::string(kTag).size());
  return found;
}

class IncomingThreadKill : public test::MessageFolderTest {};

TEST_F(IncomingThreadKill, EveryMessageEndsOnceWhereItsRulesSendIt) {
  const std::string user = kSingleUserName;
  const std::string incoming = GetUnprocessedIncomingDir(user);
  const std::string processed = GetProcessedIncomingDir(user);
  const std::string pendhold = GetPendholdDir(user);
  const std::string trash = GetTrashDir(user);
  const std::string partials = GetPartialsDir(user);
  std::map<std::string, TArrived> arrived;  // by subject
  for (int i = 0; i < kPerKind; ++i) {
    for (const char* kind : kKinds) {
      const std::string subject = std::string(kind) + "-" + std::to_string(i);
      std::string text = "From: sender@example.com\r\nTo: user@example.com\r\nSubject: " + subject +
                         "\r\nMessage-ID: <" + subject + "@kill>\r\n\r\n";
      for (int line = 0; line < 20; ++line) text += "line " + std::to_string(line) + "\r\n";
      arrived[subject] = {subject, text};
      test::WriteMessageFile(incoming, subject + ".eml", text);
    }
  }
  // A split message.
  std::string payload;
  for (int i = 0; i < 400; ++i) payload += "split payload line " + std::to_string(i) + "\n";
  ASSERT_TRUE(test::WriteFileBytes(FRoot.Sub("payload.txt"), payload));
  const test::CommandResult split = test::RunCommand(
      {"mpack", "-s", "split-0", "-m", "4000", "-o", FRoot.Sub("piece"), FRoot.Sub("payload.txt")});
  ASSERT_EQ(split.ExitCode, 0) << split.Output;
  std::set<std::string> pieceTexts;
  for (int n = 1; n <= 9; ++n) {
    const std::string piece = FRoot.Sub("piece") + ".0" + std::to_string(n);
    if (!std::filesystem::exists(piece)) continue;
    std::string crlf;
    for (char c : test::ReadFileBytes(piece)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    test::WriteMessageFile(incoming, "piece" + std::to_string(n) + ".eml", crlf);
    pieceTexts.insert(crlf);
  }
  ASSERT_GE(pieceTexts.size(), 2u);

  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string readyPath = FRoot.Sub("ready");
  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(quiet, 0);
  test::ChildOptions options;
  options.StdoutFd = options.StderrFd = quiet;
  options.Environment = {std::string(kChildVariable) + "=" + FRoot.Path()};
  std::mt19937 random(20240315);
  int kills = 0;
  bool finished = false;
  for (int run = 0; run <= kMostKills && !finished && !HasFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    std::filesystem::remove(readyPath);
    test::ChildProcess child;
    ASSERT_TRUE(child.Start({self, "--gtest_filter=IncomingKillChild.ProcessesUntilKilled"},
                            options))
        << child.Error();
    ASSERT_TRUE(test::Eventually(
        [&] { return std::filesystem::exists(readyPath) || !child.Running(); }, 120000));
    if (run < kMostKills && child.Running()) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
      ::kill(child.Pid(), SIGKILL);
    }
    ASSERT_TRUE(child.Wait(600000));
    if (child.ExitCode() == 128 + SIGKILL) {
      ++kills;
    } else {
      ASSERT_EQ(child.ExitCode(), 0);
      finished = true;
    }

    // Every file, once, whole, in a place its rules allow.
    std::map<std::string, std::vector<TFound>> seen;
    int joined = 0;
    for (const std::string& folder : {incoming, processed, pendhold, trash}) {
      for (const std::string& name : test::EmlFiles(folder)) {
        if (name[0] == '.') {
          std::filesystem::remove(folder + "/" + name);  // an interrupted write
          continue;
        }
        const TFound found = ReadFound(folder, folder + "/" + name);
        if (pieceTexts.count(found.Text)) {
          EXPECT_EQ(folder, incoming) << "a piece went on: " << name;
          continue;
        }
        seen[found.Key].push_back(found);
      }
    }
    for (const auto& [key, places] : seen) {
      SCOPED_TRACE(key);
      ASSERT_EQ(places.size(), 1u) << places[0].Path << " and " << places.back().Path;
      const TFound& found = places[0];
      if (key == "split-0") {
        ++joined;
        EXPECT_NE(found.Folder, pendhold);
        continue;
      }
      ASSERT_TRUE(arrived.count(key)) << found.Path;
      const std::string kind = KindOf(key);
      const bool asArrived = found.Text == arrived[key].Text;
      const bool isFinished = found.Text.find(kNoticeMark) != std::string::npos;
      const bool tagged = found.Subject.rfind(kTag, 0) == 0;
      EXPECT_EQ(found.Subject.find("[TAG]", tagged ? 1 : 0), std::string::npos)
          << "tagged twice: " << found.Path;
      EXPECT_EQ(found.Properties.find("Excepted"), std::string::npos) << found.Path;
      if (found.Folder == processed) {
        EXPECT_TRUE(isFinished) << found.Path;
        EXPECT_TRUE(kind == "keep" || kind == "tag") << found.Path;
        EXPECT_EQ(tagged, kind == "tag") << found.Path;
      } else if (found.Folder == pendhold) {
        EXPECT_TRUE(kind == "hold0" || kind == "hold1" || kind == "taghold") << found.Path;
        EXPECT_TRUE(asArrived || isFinished) << found.Path;
        if (isFinished) {
          EXPECT_EQ(tagged, kind == "taghold") << found.Path;
        }
      } else if (found.Folder == trash) {
        EXPECT_TRUE(kind == "delete0" || kind == "delete1") << found.Path;
        EXPECT_TRUE(asArrived) << found.Path;
      } else {
        const bool markedFinished =
            found.Properties.find("Started ProcessingInc=3") != std::string::npos;
        EXPECT_TRUE(asArrived || (markedFinished && isFinished)) << found.Path;
        EXPECT_EQ(found.Properties.find("Started ProcessingInc=1"), std::string::npos);
        EXPECT_EQ(found.Properties.find("Started ProcessingInc=2"), std::string::npos);
      }
    }
    // Nothing lost: whatever is not deleted lies somewhere.
    for (const auto& [subject, message] : arrived) {
      const std::string kind = KindOf(subject);
      if (kind == "delete0" || kind == "delete1") continue;
      EXPECT_EQ(seen.count(subject), 1u) << subject << " is lost";
    }
    // The joined message once at most, counting a join waiting beside the
    // pieces.
    TStringList waiting;
    ListFilesInDir(partials, "*.joined", false, 100, waiting);
    EXPECT_LE(joined + waiting.Count(), 1);
  }
  ASSERT_TRUE(finished) << "the child never finished within " << kMostKills << " kills";
  RecordProperty("kills", kills);
  std::printf("%d kills before the work was done\n", kills);
  // The end: everything where its rules send it.
  EXPECT_TRUE(test::EmlFiles(incoming).empty());
  EXPECT_EQ(static_cast<int>(test::EmlFiles(processed).size()), 2 * kPerKind + 1);
  EXPECT_EQ(static_cast<int>(test::EmlFiles(pendhold).size()), 3 * kPerKind);
  TStringList left;
  ListFilesInDir(partials, "*", false, 100, left);
  EXPECT_EQ(left.Count(), 0);
}

}  // namespace
}  // namespace halvorn
