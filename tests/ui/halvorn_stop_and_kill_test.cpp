// The whole program stopped at bad moments, in a network namespace of the
// test's own with Dovecot holding corpus messages: SIGTERM during the
// download and during the processing ends it in order (exit 0, accounts
// saved); SIGKILL at random moments, again and again, never leaves a queue
// with two copies of a message, and a final run hands the reader every
// Dovecot message exactly once.
#include <chrono>
#include <random>
#include <thread>

#include "foundation/files/install_folders.h"
#include "support/network_namespace.h"
#include "support/store_test_support.h"
#include "transport/pop3_test_support.h"
#include "ui/halvorn_mail_support.h"
#include "ui/halvorn_program_support.h"

namespace halvorn::test {
namespace {

constexpr int kMessages = 12;
constexpr int kKills = 12;
// The stop's bounds: 5 s and 10 s for workers that ignore the stop, then the
// 3 s wait, and the start-up the signal may interrupt.
constexpr int kStopMs = 30000;

const std::string kNumberHeader = "X-Test-Number: ";

// The number a message carries, or -1.
int MessageNumber(const std::string& text) {
  const std::size_t at = text.find(kNumberHeader);
  if (at == std::string::npos) return -1;
  return std::atoi(text.c_str() + at + kNumberHeader.size());
}

// Per message number, the copies in the queues of the data folder.
std::map<int, int> QueuedCopies(const std::string& home) {
  return test::QueuedCopies(MessageNumber, home);
}

class HalvornStopAndKill : public testing::Test {
 protected:
  // Inside the namespace: Dovecot with kMessages corpus messages, each
  // marked with its number, and a data folder that is no first run.
  bool Prepare() {
    const std::vector<std::string> corpus = CorpusFiles();
    if (corpus.size() < static_cast<std::size_t>(kMessages)) return false;
    {
      ScopedEnv temp("TMPDIR", "/tmp");
      FDovecot = std::make_unique<DovecotServer>(kMailFlowRemotePort,
                                                 std::vector<DovecotServer::User>{{"alice", "pw"}});
    }
    EXPECT_TRUE(FDovecot->Ok()) << FDovecot->Error();
    for (int i = 0; i < kMessages; ++i) {
      const std::string text = kNumberHeader + std::to_string(i) + "\r\n" + MailboxText(corpus[i]);
      EXPECT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(100 + i), text));
    }
    NewHome("data");
    return !HasFailure();
  }

  // A fresh data folder of that name that is no first run, with the remote
  // account used in the last run (so the start-up check fetches its mail).
  void NewHome(const std::string& name) {
    if (!FHome.empty()) RemoveIgnoreRecord(FHome);
    FHome = FRoot.Sub(name);
    std::filesystem::create_directories(FHome);
    EXPECT_TRUE(WriteFileBytes(FHome + "/QuorAccounts.txt", AccountsFileText(kMailFlowRemotePort)));
    EXPECT_TRUE(WriteFileBytes(FHome + "/QuorSettings.txt", ""));
  }

  // A last run left alone: the reader gets every Dovecot message once.
  void ExpectEveryMessageOnce() {
    HalvornRun program(FHome);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 110"))
        << program.LogText() << program.Output();
    const std::vector<ServerMessage> served = DovecotMessages();
    ASSERT_EQ(served.size(), static_cast<std::size_t>(kMessages));
    // A login waits at most 10 s for download and processing: read until
    // all came (nothing is deleted, so every session lists them all).
    std::vector<ReaderMessage> read;
    Eventually([&] { return (read = ReadMailFlow()).size() >= served.size(); }, 240000);
    EXPECT_EQ(MatchMailFlow(served, read), "") << program.LogText();
    EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
    for (const auto& [number, count] : QueuedCopies(FHome)) EXPECT_EQ(count, 1) << number;
    RemoveIgnoreRecord(FHome);
  }

  TempFolder FRoot;
  std::string FHome;
  std::unique_ptr<DovecotServer> FDovecot;
};

TEST_F(HalvornStopAndKill, SigtermDuringDownloadAndProcessingStopsInOrder) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  if (DovecotBinary().empty()) GTEST_SKIP() << "dovecot is not installed";
  if (!Prepare()) GTEST_SKIP() << "the mail corpus is not there";

  // Each row: what the log shows when the signal comes.
  const char* const kMoments[] = {
      "Downloading message 3 of",  // in the middle of the download
      "Downloaded ",               // the download done, the processing running
  };
  for (const char* const& moment : kMoments) {
    SCOPED_TRACE(moment);
    NewHome(std::string("data-") + std::to_string(&moment - kMoments));
    HalvornRun program(FHome);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForLog(moment, 120000)) << program.LogText() << program.Output();
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(kStopMs));
    // The stop saved the accounts: the file is rewritten (the password
    // scrambled) and the backup made of the file that loaded.
    const std::string saved = ReadFileBytes(FHome + "/QuorAccounts.txt");
    EXPECT_NE(saved.find("PassWordMD5"), std::string::npos) << saved;
    EXPECT_TRUE(std::filesystem::exists(FHome + "/QuorAccounts.txt.bak"));
    EXPECT_NE(program.LogText().find("T=Stopped Halvorn"), std::string::npos);
    for (const auto& [number, count] : QueuedCopies(FHome)) EXPECT_EQ(count, 1) << number;
  }
  // The last row's data folder goes on: the mail is all there once.
  ExpectEveryMessageOnce();
}

TEST_F(HalvornStopAndKill, KillsAtRandomMomentsLoseAndDoubleNothing) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  if (DovecotBinary().empty()) GTEST_SKIP() << "dovecot is not installed";
  if (!Prepare()) GTEST_SKIP() << "the mail corpus is not there";

  const unsigned seed =
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // From the start-up to well into the processing of the last messages.
  std::uniform_int_distribution<int> life(200, 6000);
  for (int kill = 0; kill < kKills; ++kill) {
    HalvornRun program(FHome);
    ASSERT_TRUE(program.Start()) << "round " << kill;
    std::this_thread::sleep_for(std::chrono::milliseconds(life(random)));
    EXPECT_EQ(program.Signal(SIGKILL, 10000), 128 + SIGKILL) << "round " << kill;
    for (const auto& [number, count] : QueuedCopies(FHome))
      ASSERT_EQ(count, 1) << "message " << number << " after kill " << kill;
  }
  ExpectEveryMessageOnce();
}

}  // namespace
}  // namespace halvorn::test
