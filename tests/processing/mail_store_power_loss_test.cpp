// The whole road under the recording seam of the durability mechanism: the
// download from Dovecot, the incoming processing, a mail reader that
// retrieves everything and deletes some at the local POP3 server, and the
// next download that deletes those on Dovecot.
//
// The ordering checker replays the recording and asserts, for every
// message: its final bytes were durable before any rename that placed it
// in a queue and before the removal of a copy it replaced; it was durable
// (file and side record) before its UIDL was recorded as downloaded in the
// accounts file; the reader's deletion was durable before the DELE that
// removed it from Dovecot; QUIT's removals were durable before its "+OK".
// A download made to save its UIDLs before its commit (the test seam) is
// caught.
//
// The power-loss simulation cuts the recording at many points and builds,
// for each, the states a power cut could leave (only what was flushed, all
// of it, and a random mix of what came since the last flush); after the
// store's Recover and a fresh load each message is in the store once and
// whole (finished wherever it is processed), or the reader deleted it, or
// Dovecot still holds it. HALVORN_FULL_POWER_LOSS=1 cuts at every point
// (slow under the sanitizers).
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "message/mail_store.h"
#include "processing_test_support.h"
#include "support/crash_states.h"
#include "support/durability_recording.h"
#include "support/network_namespace.h"
#include "transport/pop3_test_support.h"

namespace halvorn {
namespace {

constexpr int kMessages = 8;
constexpr int kBodyLines = 30;
constexpr const char* kNoticeMark = "Begin_Quorvantis_Information";

std::string Fixture(int n) {
  std::string text = "Subject: power " + std::to_string(n) + "\nMessage-Id: <" +
                     std::to_string(n) + "@power>\nX-Fixture: " + std::to_string(n) + "\n\n";
  for (int j = 0; j < kBodyLines; ++j)
    text += "fixture " + std::to_string(n) + " line " + std::to_string(j) + "\n";
  return text + "END of " + std::to_string(n) + "\n";
}

int FixtureOf(const std::string& text) {
  const std::size_t at = text.find("X-Fixture: ");
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 11);
}

// Every line of the fixture is there, in order.
bool IsWhole(const std::string& text, int n) {
  std::size_t at = 0;
  for (int j = 0; j < kBodyLines; ++j) {
    at = text.find("fixture " + std::to_string(n) + " line " + std::to_string(j) + "\r\n", at);
    if (at == std::string::npos) return false;
  }
  return text.find("END of " + std::to_string(n) + "\r\n", at) != std::string::npos;
}

// The UIDL states of the accounts file's text.
std::map<std::string, int> UidlStates(const std::string& accountsText) {
  std::map<std::string, int> states;
  TStringList lines;
  lines.SetText(accountsText);
  for (int i = 0; i < lines.Count(); ++i) {
    if (lines[i].rfind("UIDLs=", 0) != 0) continue;
    TStringList pairs;
    pairs.SetCommaText(lines[i].substr(6));
    for (int k = 0; k < pairs.Count(); ++k) {
      TStringList pair;
      pair.SetCommaText(pairs[k]);
      if (pair.Count() == 2) states[pair[0]] = std::atoi(pair[1].c_str());
    }
  }
  return states;
}

// What the model says of the store: per queue file, its fixture, whether it
// is whole and finished, and the UIDL its side record holds.
struct TStored {
  std::string Path;
  int Fixture = -1;
  bool Whole = false;
  bool Processed = false;
  std::string Uidl;
};

class StoreView {
 public:
  explicit StoreView(const std::string& root) {
    for (int i = 0; i < kQueueCount; ++i)
      FQueues.push_back(test::RelativeTo(root, QueueDescription(i).Folder(kSingleUserName)));
    FInfo = test::RelativeTo(root, EmailInfoDir());
    FAccounts = test::RelativeTo(root, GetAccountsFilePath());
  }
  bool IsQueueFile(const std::string& path) const {
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty() || name[0] == '.' || path.size() < 4 ||
        path.compare(path.size() - 4, 4, ".eml") != 0)
      return false;
    for (const std::string& queue : FQueues)
      if (path.rfind(queue + "/", 0) == 0 && path.find('/', queue.size() + 1) == std::string::npos)
        return true;
    return false;
  }
  std::vector<TStored> Stored(const test::TFiles& files) const {
    std::vector<TStored> stored;
    for (const auto& [path, content] : files) {
      if (!IsQueueFile(path)) continue;
      TStored s;
      s.Path = path;
      s.Fixture = FixtureOf(content);
      s.Whole = s.Fixture >= 0 && IsWhole(content, s.Fixture);
      s.Processed = path.rfind(FQueues[1] + "/", 0) == 0;
      if (content.rfind(kPropertyLinePrefix, 0) == 0) {
        TStringList properties;
        properties.SetCommaText(content.substr(8, content.find("\r\n") - 8));
        const auto info = files.find(FInfo + "/" + properties.Values("ContentId") + ".dat");
        if (info != files.end()) {
          TStringList record;
          record.SetText(info->second);
          s.Uidl = record.Values("UIDL");
        }
      }
      if (s.Processed && content.find(kNoticeMark) == std::string::npos) s.Whole = false;
      stored.push_back(s);
    }
    return stored;
  }
  std::map<std::string, int> States(const test::TFiles& files) const {
    const auto accounts = files.find(FAccounts);
    return accounts == files.end() ? std::map<std::string, int>() : UidlStates(accounts->second);
  }

 private:
  std::vector<std::string> FQueues;
  std::string FInfo;
  std::string FAccounts;
};

// The ordering checker: the rules at the top, over the recording. Answers
// the violations.
std::vector<std::string> CheckOrdering(const test::TFiles& initial,
                                       const std::vector<TDurabilityOp>& ops,
                                       const std::string& root) {
  const StoreView view(root);
  std::vector<std::string> violations;
  test::TFiles current = initial;
  test::TFiles durable = initial;
  std::map<std::string, int> durableStates = view.States(durable);
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const TDurabilityOp& op = ops[i];
    const std::string at = " (operation " + std::to_string(i) + ")";
    const std::string path = test::RelativeTo(root, op.Path);
    if (op.Kind == TDurabilityOp::Rename) {
      const std::string target = test::RelativeTo(root, op.Target);
      if (view.IsQueueFile(target) &&
          (!durable.count(path) || durable.at(path) != current.at(path)))
        violations.push_back("placed before its bytes were durable: " + target + at);
    }
    if (op.Kind == TDurabilityOp::Remove && view.IsQueueFile(path) && current.count(path)) {
      const int fixture = FixtureOf(current.at(path));
      for (const auto& [other, content] : current) {
        if (other == path || !view.IsQueueFile(other) || FixtureOf(content) != fixture) continue;
        if (!durable.count(other) || durable.at(other) != content)
          violations.push_back("a copy removed while its successor was not durable: " + path + at);
      }
    }
    test::ApplyOp(current, op, root);
    if (op.Kind == TDurabilityOp::Sync) {
      durable = current;
      const std::map<std::string, int> states = view.States(durable);
      if (states != durableStates) {
        durableStates = states;
        const std::vector<TStored> stored = view.Stored(durable);
        for (const auto& [uidl, state] : states) {
          if (state != us_Downloaded && state != us_Read) continue;
          bool held = false;
          for (const TStored& s : stored) held = held || (s.Uidl == uidl && s.Whole);
          if (!held) violations.push_back("recorded as downloaded, not durable: " + uidl + at);
        }
      }
    }
    if (op.Kind == TDurabilityOp::Event && op.Bytes.rfind("DELE ", 0) == 0) {
      const std::string uidl = op.Bytes.substr(5);
      const auto state = durableStates.find(uidl);
      if (state == durableStates.end() || state->second != us_Deleted)
        violations.push_back("DELE before the deletion was durable: " + uidl + at);
    }
    if (op.Kind == TDurabilityOp::Event && op.Bytes == "+OK QUIT") {
      for (const TStored& s : view.Stored(durable)) {
        const auto state = durableStates.find(s.Uidl);
        if (state != durableStates.end() && state->second == us_Deleted)
          violations.push_back("\"+OK\" before the removal was durable: " + s.Path + at);
      }
    }
  }
  return violations;
}

class MailStorePowerLoss : public test::DownloadFixture {
 protected:
  void SetUp() override {
    test::DownloadFixture::SetUp();
    InitializeListsModule();
    InitializeClassifyModule();
    StartProcessingModule();
  }
  void TearDown() override {
    EndProcessingModule();
    FinalizeClassifyModule();
    FinalizeListsModule();
    test::DownloadFixture::TearDown();
  }

  void ProcessAll() {
    test::IncomingThreadHarness harness;
    harness.Thread().Resume();
    EXPECT_TRUE(harness.RunUntilIdle());
  }

  // A fresh start over the crash state: the accounts loaded, the store
  // recovered, the queues loaded. Answers what is wrong with it.
  // `dropped` holds the UIDLs Dovecot no longer has at the cut (a DELE
  // went), `readerDeleted` those the reader deleted.
  std::vector<std::string> RecoverAndCheck(const test::TFiles& files, std::size_t cut,
                                           const std::map<int, std::string>& uidlOf,
                                           const std::set<std::string>& dropped,
                                           const std::set<std::string>& readerDeleted) {
    test::TempFolder folder;
    test::WriteFiles(files, folder.Path());
    std::vector<std::string> problems;
    {
      test::ScopedEnv env("HALVORN_HOME", folder.Path());
      ResetFolderCachesForTests();
      EndMessageRepositoryModule();
      EndAccountsModule();
      StartAccountsModule();
      {
        TQuorIniFile ini(GetAccountsFilePath());
        GlobalLocalAccounts().Load(ini);
      }
      StartMessageRepositoryModule();
      GetMailStore().Recover();
      std::map<int, int> copies;
      int loaded = 0;
      for (TEmailMsgList* queue : GetMessageRepository(kSingleUserName)->Queues())
        loaded += queue->Count();
      const StoreView view(folder.Path());
      const test::TFiles after = test::SnapshotFiles(folder.Path());
      const std::vector<TStored> stored = view.Stored(after);
      if (loaded != static_cast<int>(stored.size()))
        problems.push_back("the queues load " + std::to_string(loaded) + " messages of " +
                           std::to_string(stored.size()) + " files");
      for (const TStored& s : stored) {
        ++copies[s.Fixture];
        if (!s.Whole) problems.push_back("not whole or not finished: " + s.Path);
      }
      // Not in the store: the reader deleted it (and Recover removed what
      // its QUIT left), or Dovecot still has it for the next download.
      for (const auto& [n, uidl] : uidlOf) {
        if (copies[n] > 1) problems.push_back("twice: " + std::to_string(n));
        if (copies[n] == 0 && dropped.count(uidl) && !readerDeleted.count(uidl))
          problems.push_back("lost, and gone from Dovecot: " + std::to_string(n));
      }
      EndMessageRepositoryModule();
      EndAccountsModule();
    }
    ResetFolderCachesForTests();
    StartAccountsModule();
    StartMessageRepositoryModule();
    for (std::string& problem : problems) problem += " (cut " + std::to_string(cut) + ")";
    return problems;
  }
};

TEST_F(MailStorePowerLoss, EveryMessageSurvivesACrashOnceAndWhole) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  ASSERT_EQ(GetSyncMethod(), TSyncMethod::FileSystem);
  StartMailServers({{"alice", "pw"}});
  for (int n = 0; n < kMessages; ++n)
    ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(1000 + n), Fixture(n)));
  std::map<int, std::string> uidlOf;
  for (const test::ServerMessage& m : ServerMessages("alice", "pw"))
    uidlOf[FixtureOf(m.Text)] = m.Uidl;
  ASSERT_EQ(static_cast<int>(uidlOf.size()), kMessages);
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  MakeRemoteAccount(local, "alice", "pw");
  ASSERT_EQ(SaveAccountsNow(), "");
  std::string toDelete;
  std::set<std::string> readerDeleted;
  for (int n = 1; n < kMessages; n += 2) {
    toDelete += (toDelete.empty() ? "" : ",") + uidlOf[n];
    readerDeleted.insert(uidlOf[n]);
  }

  const std::string root = GetInstallDir();
  const test::TFiles initial = test::SnapshotFiles(root);
  std::vector<TDurabilityOp> ops;
  {
    test::DurabilityRecording recording;
    ASSERT_TRUE(RunDownload());
    ProcessAll();
    StartServer().SetAcceptAnyLocal(true);
    const std::vector<test::ReaderMessage> read =
        test::ParseReaderOutput(RunClient(test::kPoplibReader, {toDelete}));
    EXPECT_EQ(static_cast<int>(read.size()), kMessages);
    ASSERT_TRUE(RunDownload());
    ops = recording.Ops();
  }
  std::set<std::string> dropped;  // by the DELEs of the recording, at their point
  int deles = 0;
  for (const TDurabilityOp& op : ops)
    if (op.Kind == TDurabilityOp::Event && op.Bytes.rfind("DELE ", 0) == 0) ++deles;
  EXPECT_EQ(deles, kMessages / 2);
  EXPECT_EQ(static_cast<int>(ServerMessages("alice", "pw").size()), kMessages - kMessages / 2);

  // The order of the recording.
  const std::vector<std::string> violations = CheckOrdering(initial, ops, root);
  EXPECT_TRUE(violations.empty()) << violations.front();

  // Power cuts.
  const bool full = std::getenv("HALVORN_FULL_POWER_LOSS") != nullptr;
  std::set<std::size_t> cuts;
  for (std::size_t i = 0; i <= ops.size(); ++i) {
    const bool atFlushOrNote =
        i < ops.size() && (ops[i].Kind == TDurabilityOp::Sync || ops[i].Kind == TDurabilityOp::Event);
    if (full || atFlushOrNote || i % 7 == 0) {
      cuts.insert(i);
      if (atFlushOrNote) cuts.insert(i + 1);
    }
  }
  cuts.insert(ops.size());
  std::mt19937 random(4711);
  int states = 0;
  std::vector<std::string> problems;
  for (std::size_t cut : cuts) {
    if (cut > ops.size()) continue;
    for (const TDurabilityOp& op : std::vector<TDurabilityOp>(ops.begin(), ops.begin() + cut))
      if (op.Kind == TDurabilityOp::Event && op.Bytes.rfind("DELE ", 0) == 0)
        dropped.insert(op.Bytes.substr(5));
    const unsigned mix = random();
    const std::function<bool(std::size_t)> variants[] = {
        [](std::size_t) { return false; },
        [](std::size_t) { return true; },
        [mix](std::size_t i) { return ((mix >> (i % 31)) & 1) != 0; },
    };
    for (const auto& persisted : variants) {
      ++states;
      for (std::string& problem :
           RecoverAndCheck(test::CrashState(initial, ops, cut, root, persisted), cut, uidlOf,
                           dropped, readerDeleted))
        problems.push_back(std::move(problem));
      if (problems.size() > 20) break;
    }
    if (problems.size() > 20) break;
  }
  RecordProperty("cut_points", static_cast<int>(cuts.size()));
  RecordProperty("crash_states", states);
  std::printf("%zu operations, %zu cut points, %d crash states\n", ops.size(), cuts.size(), states);
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems, the first: " << problems.front();
}

// The checker is not trusting: a download that saves its UIDLs before its
// commit is caught.
TEST_F(MailStorePowerLoss, TheCheckerCatchesACommitAfterTheAccountsSave) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({{"alice", "pw"}});
  for (int n = 0; n < 3; ++n)
    ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(1000 + n), Fixture(n)));
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  MakeRemoteAccount(local, "alice", "pw");
  ASSERT_EQ(SaveAccountsNow(), "");
  const std::string root = GetInstallDir();
  const test::TFiles initial = test::SnapshotFiles(root);
  std::vector<TDurabilityOp> ops;
  {
    test::DurabilityRecording recording;
    SetDownloadCommitsLateForTests(true);
    const bool ran = RunDownload();
    SetDownloadCommitsLateForTests(false);
    ASSERT_TRUE(ran);
    ops = recording.Ops();
  }
  EXPECT_EQ(Unprocessed().Count(), 3);
  const std::vector<std::string> violations = CheckOrdering(initial, ops, root);
  ASSERT_FALSE(violations.empty());
  EXPECT_NE(violations.front().find("recorded as downloaded, not durable"), std::string::npos)
      << violations.front();
}

}  // namespace
}  // namespace halvorn
