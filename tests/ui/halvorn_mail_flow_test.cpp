// Mail through the whole program, in a network namespace of the test's own:
// Dovecot holds corpus messages of a remote account, the halvorn program
// (the test build's, started as the README starts it) fetches them at its
// start-up check, processes them, and serves them on its local POP3 server
// to Python's poplib, each equal to Dovecot's but for the lines the program
// adds; mail added later reaches a reader whose login the program holds
// until download and processing are idle; the reader's deletions reach
// Dovecot at the next download.

#include "support/network_namespace.h"
#include "transport/pop3_test_support.h"
#include "ui/halvorn_mail_support.h"
#include "ui/halvorn_program_support.h"

namespace halvorn::test {
namespace {

constexpr int kStopMs = 30000;

TEST(HalvornMailFlow, DovecotMailReachesTheReaderAndItsDeletionsReachDovecot) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  if (DovecotBinary().empty()) GTEST_SKIP() << "dovecot is not installed";
  const std::vector<std::string> corpus = CorpusFiles();
  if (corpus.size() < 4) GTEST_SKIP() << "the mail corpus is not there";

  std::unique_ptr<DovecotServer> dovecot;
  {
    // Dovecot's unprivileged processes must reach its folder.
    ScopedEnv temp("TMPDIR", "/tmp");
    dovecot = std::make_unique<DovecotServer>(kMailFlowRemotePort,
                                              std::vector<DovecotServer::User>{{"alice", "pw"}});
  }
  ASSERT_TRUE(dovecot->Ok()) << dovecot->Error();
  for (std::size_t i = 0; i < 3; ++i)
    ASSERT_TRUE(dovecot->AddMessage("alice", "m" + std::to_string(i), MailboxText(corpus[i])));
  const std::vector<ServerMessage> served = DovecotMessages();
  ASSERT_EQ(served.size(), 3u);

  TempFolder root;
  const std::string home = root.Sub("data");
  std::filesystem::create_directories(home);
  ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt", AccountsFileText(kMailFlowRemotePort)));
  ASSERT_TRUE(WriteFileBytes(home + "/QuorSettings.txt", ""));
  HalvornRun program(home);
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 110"))
      << program.LogText() << program.Output();

  // The start-up check fetches the mail; the reader's login waits until the
  // download and the processing are idle, so one session sees it all.
  const std::vector<ReaderMessage> first = ReadMailFlow();
  EXPECT_EQ(MatchMailFlow(served, first), "") << program.LogText();
  // fetchmail, keeping them on the server, gets the same.
  if (RunCommand({"fetchmail", "--version"}).ExitCode == 0) {
    const std::vector<ReaderMessage> fetched = FetchmailMessages(root.Sub("fetchmail"));
    EXPECT_EQ(MatchMailFlow(served, fetched), "") << program.LogText();
  }

  // Mail added later reaches the next login, which waits for it.
  ASSERT_TRUE(dovecot->AddMessage("alice", "m3", MailboxText(corpus[3])));
  // Read Dovecot's four before the reader deletes three: a download that
  // follows its session may carry the deletions to Dovecot at any moment.
  const std::vector<ServerMessage> servedNow = DovecotMessages();
  ASSERT_EQ(servedNow.size(), 4u);
  std::string uidls;
  for (const ReaderMessage& message : first) uidls += (uidls.empty() ? "" : ",") + message.Uidl;
  const std::vector<ReaderMessage> second = ReadMailFlow(uidls);
  EXPECT_EQ(MatchMailFlow(servedNow, second), "") << program.LogText();
  ASSERT_EQ(second.size(), 4u) << program.LogText();

  // The reader deleted the first three: the next download (asked by the
  // next login) deletes them at Dovecot; the fourth stays.
  std::string last;
  for (const ReaderMessage& message : second)
    if (uidls.find(message.Uidl) == std::string::npos) last = message.Uidl;
  const std::vector<ReaderMessage> third = ReadMailFlow(last);
  ASSERT_EQ(third.size(), 1u);
  const std::vector<ServerMessage> remaining = DovecotMessages();
  ASSERT_EQ(remaining.size(), 1u);
  EXPECT_EQ(remaining.front().Text, servedNow.back().Text);

  // The fourth, deleted by the reader too, goes at the download of the stop
  // or the next start; the stop saves the accounts with their UIDL states.
  EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
  EXPECT_NE(ReadFileBytes(home + "/QuorAccounts.txt").find("UserId=alice"), std::string::npos);
  EXPECT_EQ(program.LogText().find("answered Abort"), std::string::npos) << program.LogText();
  RemoveIgnoreRecord(home);
}

}  // namespace
}  // namespace halvorn::test
