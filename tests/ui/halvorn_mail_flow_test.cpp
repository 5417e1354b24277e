// Mail through the whole program, in a network namespace of the test's own:
// Dovecot holds corpus messages of a remote account, the halvorn program
// (the test build's, started as the README starts it) fetches them at its
// start-up check, processes them, and serves them on its local POP3 server
// to Python's poplib, each equal to Dovecot's but for the lines the program
// adds; mail added later reaches a reader whose login the program holds
// until download and processing are idle; the reader's deletions reach
// Dovecot at the next download.

#include <algorithm>
#include <iterator>

#include "support/network_namespace.h"
#include "transport/pop3_test_support.h"
#include "ui/halvorn_program_support.h"

namespace halvorn::test {
namespace {

// Dovecot's port inside the namespace (the program takes 110 there).
constexpr std::uint16_t kRemotePort = 10110;
constexpr int kStopMs = 30000;

// What Dovecot holds for alice, as the program must store it.
std::vector<ServerMessage> DovecotMessages() {
  const CommandResult result =
      RunCommand({PythonPath(), DataPath("pop3_server_messages.py"), "127.0.0.1",
                  std::to_string(kRemotePort), "alice", "pw"});
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  std::vector<ServerMessage> messages;
  for (const std::string& line : OutputLines(result.Output)) {
    const std::size_t a = line.find(' ');
    const std::size_t b = line.find(' ', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    messages.push_back({0, line.substr(a + 1, b - a - 1), BytesFromHex(line.substr(b + 1))});
  }
  return messages;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines = OutputLines(text);
  for (std::string& line : lines)
    if (!line.empty() && line.back() == '\r') line.pop_back();
  return lines;
}

// The lines of a message the reader got, without those the program adds on
// the way, sorted: the Received line of the download on top, the category
// headers, and the notice: its multipart frame (the new Content-Type, the
// preamble, the boundaries; the original Content-Type heads the first
// part), its information block at the end of the text, and the HTML
// alternative it makes of the text. Blank lines are left out on both sides
// (the frame and the block bring some).
std::vector<std::string> WithoutAddedLines(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  const std::string frame = "Content-Type: multipart/alternative; boundary=\"----Quor";
  std::string boundary;
  int boundaries = 0;
  bool inBlock = false;
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    if (i == 0 && line.rfind("Received: from 127.0.0.1 by ", 0) == 0) continue;
    if (line.rfind("X-Quor-", 0) == 0) continue;
    if (boundary.empty() && line.rfind(frame, 0) == 0) {
      // The boundary's value starts at "----Quor" and ends before the quote.
      const std::size_t value = frame.size() - 8;
      boundary = "--" + line.substr(value, line.size() - value - 1);
      continue;
    }
    if (line == "This is a multi-part message in MIME format added by Quorvantis.") continue;
    if (!boundary.empty() && line.rfind(boundary, 0) == 0) {
      ++boundaries;
      continue;
    }
    if (boundaries >= 2) continue;  // the HTML alternative
    if (line.find("Begin_Quorvantis_Information") != std::string::npos) inBlock = true;
    const bool blockEnds = line.find("End_Quorvantis_Information") != std::string::npos;
    if (inBlock) {
      inBlock = !blockEnds;
      continue;
    }
    kept.push_back(line);
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

// The lines of a message as Dovecot served it, blank lines aside, sorted.
std::vector<std::string> ServedLines(const std::string& text) {
  std::vector<std::string> kept;
  for (const std::string& line : Lines(text))
    if (!line.empty()) kept.push_back(line);
  std::sort(kept.begin(), kept.end());
  return kept;
}

// Empty when the reader's message is the served one with added lines only;
// else a line that differs.
std::string Difference(const std::string& served, const std::string& read) {
  const std::vector<std::string> want = ServedLines(served);
  const std::vector<std::string> got = WithoutAddedLines(read);
  std::vector<std::string> missing;
  std::vector<std::string> extra;
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                      std::back_inserter(missing));
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  if (!missing.empty()) return "missing line: " + missing.front();
  if (!extra.empty()) return "unexpected line: " + extra.front();
  return {};
}

// Matches the reader's messages to Dovecot's (order aside): each reader
// message to one served message. Empty when every message matched.
std::string Match(const std::vector<ServerMessage>& served,
                  const std::vector<ReaderMessage>& read) {
  if (served.size() != read.size())
    return "served " + std::to_string(served.size()) + ", read " + std::to_string(read.size());
  std::vector<bool> used(served.size(), false);
  std::string problems;
  for (const ReaderMessage& message : read) {
    if (message.Text.find("Received: from 127.0.0.1 by ") == std::string::npos)
      problems += message.Uidl + ": no Received line of the download\n";
    std::string closest;
    bool found = false;
    for (std::size_t i = 0; i < served.size() && !found; ++i) {
      if (used[i]) continue;
      const std::string difference = Difference(served[i].Text, message.Text);
      if (difference.empty()) {
        used[i] = true;
        found = true;
      } else {
        closest += " [" + std::to_string(i) + "] " + difference;
      }
    }
    if (!found) problems += message.Uidl + ": matches no served message (" + closest + ")\n";
  }
  return problems;
}

// A corpus message as a mailbox holds it: without the mbox separator line.
std::string MailboxText(const std::string& path) {
  std::string text = ReadFileBytes(path);
  if (text.rfind("From ", 0) == 0) text.erase(0, text.find('\n') + 1);
  return text;
}

// One poplib session on the program's port: every message retrieved, those
// named (by the program's UIDL) deleted.
std::vector<ReaderMessage> Read(const std::string& deleteUidls = "") {
  std::vector<std::string> argv = {PythonPath(), "-c", kPoplibReader, "110"};
  if (!deleteUidls.empty()) argv.push_back(deleteUidls);
  const CommandResult result = RunCommand(argv, {}, 120000);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  return ParseReaderOutput(result.Output);
}

TEST(HalvornMailFlow, DovecotMailReachesTheReaderAndItsDeletionsReachDovecot) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  if (DovecotBinary().empty()) GTEST_SKIP() << "dovecot is not installed";
  const std::vector<std::string> corpus = CorpusFiles();
  if (corpus.size() < 4) GTEST_SKIP() << "the mail corpus is not there";

  std::unique_ptr<DovecotServer> dovecot;
  {
    // Dovecot's unprivileged processes must reach its folder.
    ScopedEnv temp("TMPDIR", "/tmp");
    dovecot = std::make_unique<DovecotServer>(kRemotePort,
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
  ASSERT_TRUE(WriteFileBytes(home + "/QuorAccounts.txt", AccountsFileText(kRemotePort)));
  ASSERT_TRUE(WriteFileBytes(home + "/QuorSettings.txt", ""));
  HalvornRun program(home);
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(program.WaitForLog("The POP3 server listens on port 110"))
      << program.LogText() << program.Output();

  // The start-up check fetches the mail; the reader's login waits until the
  // download and the processing are idle, so one session sees it all.
  const std::vector<ReaderMessage> first = Read();
  EXPECT_EQ(Match(served, first), "") << program.LogText();

  // Mail added later reaches the next login, which waits for it.
  ASSERT_TRUE(dovecot->AddMessage("alice", "m3", MailboxText(corpus[3])));
  std::string uidls;
  for (const ReaderMessage& message : first) uidls += (uidls.empty() ? "" : ",") + message.Uidl;
  const std::vector<ReaderMessage> second = Read(uidls);
  const std::vector<ServerMessage> servedNow = DovecotMessages();
  EXPECT_EQ(Match(servedNow, second), "") << program.LogText();
  ASSERT_EQ(second.size(), 4u) << program.LogText();

  // The reader deleted the first three: the next download (asked by the
  // next login) deletes them at Dovecot; the fourth stays.
  std::string last;
  for (const ReaderMessage& message : second)
    if (uidls.find(message.Uidl) == std::string::npos) last = message.Uidl;
  const std::vector<ReaderMessage> third = Read(last);
  ASSERT_EQ(third.size(), 1u);
  const std::vector<ServerMessage> remaining = DovecotMessages();
  ASSERT_EQ(remaining.size(), 1u);
  EXPECT_EQ(remaining.front().Text, servedNow.back().Text);

  // The fourth, deleted by the reader too, goes at the download of the stop
  // or the next start; the stop saves the accounts with their UIDL states.
  EXPECT_EQ(program.Signal(SIGTERM, kStopMs), 0) << program.Output();
  EXPECT_NE(ReadFileBytes(home + "/QuorAccounts.txt").find("UserId=alice"), std::string::npos);
  EXPECT_EQ(program.LogText().find("answered Abort"), std::string::npos) << program.LogText();
}

}  // namespace
}  // namespace halvorn::test
