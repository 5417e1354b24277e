// fetchmail, a mail reader of its own, fetches from the local POP3 server: the
// messages it hands its delivery program are the stored ones line for line,
// with UIDL bookkeeping over two runs, and deletions.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "message/repository_test_support.h"
#include "transport/pop3_test_support.h"

namespace halvorn {
namespace {

class Pop3Fetchmail : public test::Pop3Fixture {
 protected:
  void SetUp() override {
    test::Pop3Fixture::SetUp();
    if (RunCommand({"fetchmail", "--version"}).ExitCode < 0)
      GTEST_SKIP() << "fetchmail is not installed";
  }

  static test::CommandResult RunCommand(const std::vector<std::string>& argv) {
    return test::RunCommand(argv, {}, 20000);
  }

  // One fetchmail run as bob with the password; the exit code (0: mail
  // fetched, 1: none).
  int Fetch(const std::string& password, bool keep) {
    const std::string rc = FWork.Sub("fetchmailrc");
    test::WriteFileBytes(rc, "poll 127.0.0.1 protocol pop3 port " +
                                 std::to_string(FServer->BoundPort()) + " user bob password " +
                                 password + "\n");
    ::chmod(rc.c_str(), 0600);
    std::filesystem::create_directories(FWork.Sub("mail"));
    std::vector<std::string> argv = {
        "fetchmail", "-N", "-n", "--invisible", "--sslproto", "", "-f", rc, "--pidfile",
        FWork.Sub("pid"), "-i", FWork.Sub("ids"), "--uidl", "--mda",
        test::PythonPath() + " " + test::DataPath("mda_writer.py") + " " + FWork.Sub("mail")};
    if (keep) argv.push_back("--keep");
    const test::ProgramRun run =
        test::RunHandlingEvents(argv, {"FETCHMAILHOME=" + FWork.Path()}, 60000);
    test::RunEventsUntil([&] { return FServer->ActiveConnections() == 0; }, 5000);
    FLastOutput = run.Output;
    return run.ExitCode;
  }

  // The messages delivered so far, as lines (line ends dropped), sorted.
  std::vector<std::vector<std::string>> Delivered() {
    std::vector<std::vector<std::string>> messages;
    for (const auto& entry : std::filesystem::directory_iterator(FWork.Sub("mail")))
      messages.push_back(Lines(test::ReadFileBytes(entry.path().string())));
    std::sort(messages.begin(), messages.end());
    return messages;
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      start = end + 1;
    }
    return lines;
  }

  test::TempFolder FWork;
  std::string FLastOutput;
};

TEST_F(Pop3Fetchmail, GetsTheStoredMessagesLineForLine) {
  MakeLocalAccount("bob", "secret");
  std::vector<std::vector<std::string>> expected;
  std::vector<std::string> texts = {
      "Subject: one\r\nMessage-Id: <1@x>\r\n\r\nline\r\n.\r\n..\r\n.x\r\ncaf\xe9\r\nend\r\n",
      "Subject: two\r\n\r\nbody 1\r\nbody 2\r\n"};
  const std::vector<std::string> corpus = test::CorpusFiles();
  for (std::size_t i = 0; i < corpus.size() && i < 400; i += 100) {
    std::string text = test::ReadFileBytes(corpus[i]);
    if (text.rfind("From ", 0) == 0) text.erase(0, text.find('\n') + 1);
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    TEmailMsgRef msg = AddProcessed(text);
    expected.push_back(
        Lines(test::MessagePartOf(test::ReadFileBytes(msg->GetFileName()))));
  }
  std::sort(expected.begin(), expected.end());
  StartServer();

  // Kept, with UIDLs: the second run fetches nothing. Keeping, fetchmail
  // asks for whole messages with TOP.
  test::LogRecorder log;
  EXPECT_EQ(Fetch("secret", true), 0) << FLastOutput;
  EXPECT_EQ(Delivered(), expected);
  int tops = 0;
  for (const auto& record : log.Records())
    if (record.Text.find("Received TOP Request with \"1 99999999\"") != std::string::npos) ++tops;
  EXPECT_EQ(tops, 1);
  EXPECT_EQ(Fetch("secret", true), 1) << FLastOutput;
  EXPECT_EQ(Delivered().size(), texts.size());
  EXPECT_EQ(Processed().Count(), static_cast<int>(texts.size()));

  // A wrong password is refused.
  EXPECT_EQ(Fetch("wrong", false), 3) << FLastOutput;

  // Fetched and deleted: the queue is empty afterwards.
  std::filesystem::remove_all(FWork.Sub("mail"));
  std::filesystem::remove(FWork.Sub("ids"));
  EXPECT_EQ(Fetch("secret", false), 0) << FLastOutput;
  EXPECT_EQ(Delivered(), expected);
  EXPECT_EQ(Processed().Count(), 0);
}

}  // namespace
}  // namespace halvorn
