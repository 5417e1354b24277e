// The halvorn program started as the README starts it, in a network
// namespace of the test's own (it listens on fixed ports): it creates its
// folders, listens on 110 (or 2000 while 110 is taken), runs its clocks,
// gives the first reader of the first run the welcome message at the next
// login and never again, hands a second start over to the running one, keeps
// a damaged accounts file's good backup, and stops in order on SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "support/held_port.h"
#include "support/network_namespace.h"
#include "ui/halvorn_program_support.h"

namespace halvorn::test {
namespace {

// SIGTERM must end the program well within the stop's bounds (5 s and 10 s
// for workers that ignore the stop, then the 3 s wait).
constexpr int kStopMs = 30000;

// The lines of the reader's output.
std::vector<std::string> ReaderLines(const CommandResult& result) {
  return OutputLines(result.Output);
}

TEST(HalvornProgram, RunsListensWelcomesTheFirstReaderOnceAndStopsOnSigterm) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  TempFolder root;
  const std::string home = root.Sub("data");
  std::filesystem::create_directories(home);
  ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt", AccountsFileText()));

  // The first run: no settings file.
  {
    HalvornRun program(home);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 110"))
        << program.LogText() << program.Output();
    EXPECT_TRUE(std::filesystem::is_directory(home + "/Users/SingleUser/Messages"));
    EXPECT_NE(program.Output().find("Data folder: " + home + "\n"), std::string::npos)
        << program.Output();
    // The first login gets no mail but queues the welcome message for the
    // next one.
    const std::vector<std::string> first = ReaderLines(RunReader(110));
    EXPECT_EQ(first, (std::vector<std::string>{"LOGIN +OK Successfully logged in.", "STAT 0"}));
    const std::vector<std::string> second = ReaderLines(RunReader(110, "dele"));
    EXPECT_EQ(second, (std::vector<std::string>{"LOGIN +OK bob successfully logged in.", "STAT 1",
                                                "SUBJECT Welcome to Halvorn"}));
    EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
    const std::string log = program.LogText();
    for (const char* text : {"T=Started Halvorn", "No display: the window is kept offscreen",
                             "Received SIGTERM: stopping", "T=Stopped Halvorn"})
      EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
    // Nothing asked a question nobody could answer.
    EXPECT_EQ(log.find("answered Abort"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::exists(home + "/QuorSettings.txt"));
  }

  // The second run, while 110 is taken: port 2000, and no welcome again.
  {
    test::HeldPort taken(110);
    HalvornRun program(home);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 2000"))
        << program.LogText() << program.Output();
    // The login waits for a download (the clock starts it; there is no
    // remote account), and the tick releases it.
    const std::vector<std::string> lines = ReaderLines(RunReader(2000));
    EXPECT_EQ(lines, (std::vector<std::string>{"LOGIN +OK bob successfully logged in.", "STAT 0"}));
    EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
    EXPECT_NE(program.LogText().find("Could not aquire port 110"), std::string::npos);
  }
  RemoveIgnoreRecord(home);
}

TEST(HalvornProgram, ASecondStartHandsOverToTheRunningOneAndChangesNothing) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  TempFolder root;
  const std::string home = root.Sub("data");
  std::filesystem::create_directories(home);
  ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt", AccountsFileText()));
  ASSERT_TRUE(WriteFileBytes(home + "/QuorSettings.txt", ""));

  HalvornRun first(home);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(first.WaitForLog("The POP3 server listens on port 110"))
      << first.LogText() << first.Output();
  const std::uint32_t ignored = IgnoreRecord(home);
  EXPECT_EQ(ignored, static_cast<std::uint32_t>(first.Pid()));
  const auto before = FolderSnapshot(home);

  HalvornRun second(home);
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(second.Wait(10000), 0) << second.Output();
  EXPECT_NE(second.Output().find("Halvorn is already running."), std::string::npos);
  EXPECT_TRUE(
      first.WaitForLog("Another start of the program asked this one to show its window", 10000))
      << first.LogText() << first.Output();
  EXPECT_EQ(FolderSnapshot(home), before);
  EXPECT_EQ(IgnoreRecord(home), ignored);
  EXPECT_TRUE(first.Running());

  // The running one clears the record at its stop: it holds its own id.
  EXPECT_EQ(first.Signal(SIGTERM, kStopMs), 0) << first.Output();
  EXPECT_EQ(IgnoreRecord(home), 0u);
  RemoveIgnoreRecord(home);
}

TEST(HalvornProgram, DamagedAccountsFilesAreNeverSavedOver) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  TempFolder root;
  const std::string home = root.Sub("data");
  std::filesystem::create_directories(home);
  ASSERT_TRUE(WriteFileBytes(home + "/QuorSettings.txt", ""));
  const std::string good = AccountsFileText();
  const std::string zeroed(good.size(), '\0');
  const std::string cut = good.substr(0, good.size() / 2);

  // A damaged file with a good backup: the backup is read and kept, and the
  // stop saves the accounts it held.
  {
    ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt", zeroed));
    ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt.bak", good));
    HalvornRun program(home);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 110"))
        << program.LogText() << program.Output();
    const std::vector<std::string> lines = ReaderLines(RunReader(110));
    EXPECT_EQ(lines, (std::vector<std::string>{"LOGIN +OK bob successfully logged in.", "STAT 0"}));
    EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
    EXPECT_EQ(ReadFileBytes(home + "/QuorAccounts.txt.bak"), good);
    EXPECT_NE(ReadFileBytes(home + "/QuorAccounts.txt").find("UserId=bob"), std::string::npos);
  }

  // Both damaged, with mail in the queue: nothing is saved over them and no
  // message goes.
  {
    ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt", cut));
    ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt.bak", zeroed));
    const std::string queue = home + "/Users/SingleUser/Messages/ProcessedIncoming";
    std::filesystem::create_directories(queue);
    ASSERT_TRUE(WriteFileBytes(queue + "/kept.eml", "Subject: kept\r\n\r\nbody\r\n"));
    HalvornRun program(home);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 110"))
        << program.LogText() << program.Output();
    // A reader comes and goes (with or without a login).
    RunReader(110);
    EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
    EXPECT_EQ(ReadFileBytes(home + "/QuorAccounts.txt"), cut);
    EXPECT_EQ(ReadFileBytes(home + "/QuorAccounts.txt.bak"), zeroed);
    EXPECT_EQ(ReadFileBytes(queue + "/kept.eml"), "Subject: kept\r\n\r\nbody\r\n");
    EXPECT_NE(program.LogText().find("this run saves no accounts"), std::string::npos);
  }
  RemoveIgnoreRecord(home);
}

}  // namespace
}  // namespace halvorn::test
