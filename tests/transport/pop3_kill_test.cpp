// Kill safety of the whole road: a child process (this test program run
// again) runs the download from Dovecot, a mover standing in for processing
// and the local POP3 server, and is killed with SIGKILL at random moments
// while a mail reader (poplib) fetches and deletes. After every kill no
// message lies twice in the queues; in the end the reader holds every
// Dovecot message once and, after a last clean run, Dovecot keeps none the
// reader deleted. Runs in a network namespace of its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/numbers.h"
#include "platform/qt_main_thread.h"
#include "platform/qt_test_app.h"
#include "platform/tcp_line_server.h"
#include "support/network_namespace.h"
#include "support/store_test_support.h"
#include "transport/pop3_test_support.h"

namespace halvorn {
namespace {

constexpr const char* kChildVariable = "HALVORN_POP3_KILL_CHILD";
constexpr int kServerPort = 1110;
constexpr int kMessages = 60;
constexpr int kKills = 100;

std::string Fixture(int i) {
  std::string text = "Subject: kill " + std::to_string(i) + "\nMessage-Id: <" +
                     std::to_string(i) + "@kill>\n\n";
  for (int line = 0; line < 20 + i % 7 * 30; ++line)
    text += "line " + std::to_string(line) + " of message " + std::to_string(i) + "\n";
  return text;
}

// The number of the fixture a message text holds; -1 when none.
int FixtureNumber(const std::string& text) {
  const std::string tag = "Message-Id: <";
  const std::size_t at = text.find(tag);
  if (at == std::string::npos) return -1;
  const std::size_t end = text.find("@kill>", at);
  if (end == std::string::npos) return -1;
  std::int32_t number = -1;
  return TryStrToInt(text.substr(at + tag.size(), end - at - tag.size()), number) ? number : -1;
}

// The child: loads the accounts and the queues as the program would at
// start-up, recovers the store, and runs the download, the mover and the server until it
// is killed.
TEST(Pop3KillChild, RunsUntilKilled) {
  // The test program's start moved the install folder; the parent names it.
  // The program's start: its accounts, then the store's recovery.
  test::KillChild child(kChildVariable, true, [] {
    test::EnsureQtApplication();
    platform::MarkMainThread();
    platform::InstallQtMainThreadHooks();
    {
      TQuorIniFile ini(GetAccountsFilePath());
      GlobalLocalAccounts().Load(ini);
    }
    if (GlobalLocalAccounts().Count() == 0) {
      TLocalAccountRef local = GlobalLocalAccounts().Add();
      local->SetUserId("bob");
      local->SetPassword("secret");
      TRemoteAccountRef remote = local->RemoteAccounts->Add();
      remote->SetHost("127.0.0.1", false);
      remote->SetUserId("alice");
      remote->SetPassword("pw");
    }
    SetAccountsSaver([] { return SaveAccountsFile(GetAccountsFilePath(), "bob", false); });
  });
  if (!child.Started()) GTEST_SKIP() << "runs only as the kill test's child";
  ASSERT_EQ(SaveAccountsNow(), "");
  TMessageRepository& repository = *GetMessageRepository(kSingleUserName);

  TPop3Server server;
  server.SetPort(kServerPort);
  server.SetAcceptAnyLocal(true);
  server.SetTickInterval(20);
  ASSERT_EQ(server.SetActive(true), "");

  auto* thread = CreateQuorThread<TDownloadRemoteMailThread>(true);
  const TThreadHandle handle = thread->Handle();
  thread->SetTimeOut(10000);
  platform::Timer work([&] {
    if (ThreadHandleAlive(handle) && thread->Suspended()) thread->StartWithMode(dmCheckNow);
    for (const TEmailMsgRef& msg : repository.UnProcessedIncoming()->Snapshot())
      repository.MoveMailMessage(msg, repository.UnProcessedIncoming(),
                                 repository.ProcessedIncoming());
  });
  work.Start(30);
  ASSERT_TRUE(test::WriteFileBytes(GetInstallDir() + "/ready", ""));
  test::RunEventsUntil([] { return false; }, 3600000);
}

class Pop3Kill : public test::DownloadFixture {
 protected:
  // Message-Id number -> how many message files of the queues hold it.
  static std::map<int, int> QueuedCopies() { return test::QueuedCopies(FixtureNumber); }

  // Starts the child and waits for it to be ready.
  bool StartChild(test::ChildProcess& child) {
    std::filesystem::remove(GetInstallDir() + "/ready");
    test::ChildOptions options;
    options.Environment = {std::string(kChildVariable) + "=" + GetInstallDir()};
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    if (!child.Start({self, "--gtest_filter=Pop3KillChild.RunsUntilKilled"}, options)) return false;
    return test::Eventually(
        [&] { return std::filesystem::exists(GetInstallDir() + "/ready") || !child.Running(); },
        30000) &&
           child.Running();
  }
};

TEST_F(Pop3Kill, EveryMessageReachesTheReaderOnceWhateverTheKills) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  // The repository and the accounts belong to the child.
  EndMessageRepositoryModule();
  StartMailServers({{"alice", "pw"}});
  for (int i = 0; i < kMessages; ++i)
    ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(1000 + i), Fixture(i)));
  test::TempFolder readerFolder;
  test::ChildProcess reader;
  ASSERT_TRUE(reader.Start({test::PythonPath(), test::DataPath("pop3_kill_reader.py"),
                            std::to_string(kServerPort), readerFolder.Path()}));

  const unsigned seed = static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> life(50, 900);
  for (int kill = 0; kill < kKills; ++kill) {
    test::ChildProcess child;
    ASSERT_TRUE(StartChild(child)) << "round " << kill;
    std::this_thread::sleep_for(std::chrono::milliseconds(life(random)));
    ::kill(child.Pid(), SIGKILL);
    ASSERT_TRUE(child.Wait(10000));
    for (const auto& [number, count] : QueuedCopies())
      ASSERT_EQ(count, 1) << "message " << number << " after kill " << kill;
  }

  // A last run that is left alone: the reader gets everything, and the
  // download deletes on the server what the reader deleted.
  test::ChildProcess child;
  ASSERT_TRUE(StartChild(child));
  auto readerHoldsAll = [&] {
    for (int i = 0; i < kMessages; ++i)
      if (!std::filesystem::exists(readerFolder.Sub(std::to_string(i) + ".eml"))) return false;
    return true;
  };
  EXPECT_TRUE(test::Eventually(readerHoldsAll, 120000));
  std::set<std::string> expected;
  for (int i = 0; i < kMessages; ++i)
    if (i % 3 != 0) expected.insert(std::to_string(i));
  std::set<std::string> onServer;
  EXPECT_TRUE(test::Eventually(
      [&] {
        onServer.clear();
        for (const test::ServerMessage& m : ServerMessages("alice", "pw"))
          onServer.insert(std::to_string(FixtureNumber(m.Text)));
        return onServer == expected;
      },
      120000));
  EXPECT_EQ(onServer, expected);
  ::kill(child.Pid(), SIGKILL);
  child.Wait(10000);
  reader.Stop(1000);
  for (int i = 0; i < kMessages; ++i) {
    SCOPED_TRACE(i);
    // The message as Dovecot had it, behind our Received line.
    std::string got = test::ReadFileBytes(readerFolder.Sub(std::to_string(i) + ".eml"));
    got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
    EXPECT_EQ(got.substr(got.find('\n') + 1), Fixture(i));
  }
  EXPECT_EQ(test::ReadFileBytes(readerFolder.Sub("duplicates")), "");
  for (const auto& [number, count] : QueuedCopies()) EXPECT_EQ(count, 1) << number;
}

}  // namespace
}  // namespace halvorn
