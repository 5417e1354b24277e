// Mail through the whole program, for the program's own tests: Dovecot's
// port inside the test's namespace, what Dovecot serves, a poplib reader on
// the program's port, and the comparison of what the reader got with what
// Dovecot served, but for the lines the program adds on the way.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "transport/pop3_test_support.h"

namespace halvorn::test {

// Dovecot's port inside the namespace (the program takes 110 there).
inline constexpr std::uint16_t kMailFlowRemotePort = 10110;

// What Dovecot holds for alice, as the program must store it.
inline std::vector<ServerMessage> DovecotMessages() {
  const CommandResult result =
      RunCommand({PythonPath(), DataPath("pop3_server_messages.py"), "127.0.0.1",
                  std::to_string(kMailFlowRemotePort), "alice", "pw"});
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

inline std::vector<std::string> MailLines(const std::string& text) {
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
inline std::vector<std::string> WithoutAddedLines(const std::string& text) {
  const std::vector<std::string> lines = MailLines(text);
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
inline std::vector<std::string> ServedMailLines(const std::string& text) {
  std::vector<std::string> kept;
  for (const std::string& line : MailLines(text))
    if (!line.empty()) kept.push_back(line);
  std::sort(kept.begin(), kept.end());
  return kept;
}

// Empty when the reader's message is the served one with added lines only;
// else a line that differs.
inline std::string MailDifference(const std::string& served, const std::string& read) {
  const std::vector<std::string> want = ServedMailLines(served);
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
inline std::string MatchMailFlow(const std::vector<ServerMessage>& served,
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
      const std::string difference = MailDifference(served[i].Text, message.Text);
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
inline std::string MailboxText(const std::string& path) {
  std::string text = ReadFileBytes(path);
  if (text.rfind("From ", 0) == 0) text.erase(0, text.find('\n') + 1);
  return text;
}

// One poplib session on the program's port: every message retrieved, those
// named (by the program's UIDL) deleted.
inline std::vector<ReaderMessage> ReadMailFlow(const std::string& deleteUidls = "") {
  std::vector<std::string> argv = {PythonPath(), "-c", kPoplibReader, "110"};
  if (!deleteUidls.empty()) argv.push_back(deleteUidls);
  const CommandResult result = RunCommand(argv, {}, 120000);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  return ParseReaderOutput(result.Output);
}

// One fetchmail run (as the transport tests run it: no SSL, UIDLs kept,
// messages kept on the server) as bob on the program's port 110; each
// message delivered becomes one entry (its UIDL left empty). Empty when
// fetchmail is not installed or failed.
inline std::vector<ReaderMessage> FetchmailMessages(const std::string& work) {
  const std::string rc = work + "/fetchmailrc";
  std::filesystem::create_directories(work);
  WriteFileBytes(rc, "poll 127.0.0.1 protocol pop3 port 110 user bob password secret\n");
  ::chmod(rc.c_str(), 0600);
  const std::string mail = work + "/mail";
  std::filesystem::create_directories(mail);
  const CommandResult run = RunCommand(
      {"env", "FETCHMAILHOME=" + work, "fetchmail", "-N", "-n", "--invisible", "--sslproto", "",
       "-f", rc, "--pidfile", work + "/pid", "-i", work + "/ids", "--uidl", "--keep", "--mda",
       PythonPath() + " " + DataPath("mda_writer.py") + " " + mail},
      {}, 120000);
  EXPECT_EQ(run.ExitCode, 0) << run.Output;
  std::vector<ReaderMessage> messages;
  for (const auto& entry : std::filesystem::directory_iterator(mail))
    messages.push_back({"", 0, 0, ReadFileBytes(entry.path().string())});
  return messages;
}

}  // namespace halvorn::test
