// Real and hostile mail through the incoming processing thread: every
// message of the mail corpus, and messages made to break parsers (deep
// nesting, megabyte header lines, unclosed boundaries, NUL bytes, cut
// base64, split messages whose ids hold "/", ".." and "["), each come out
// exactly once in processed-incoming, and the thread never stops.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/install_folders.h"
#include "processing_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::IncomingThreadHarness;

class IncomingThreadMail : public test::ProcessingTest {
 protected:
  IncomingThreadMail() {
    // A rule that judges every message and tags none, so every message
    // meets a test, an action and the report.
    AddTest("Never", false);
    AddAction<test::TTagAction>("Tag", "[T] ");
    AddRule("Judge all early", "Never", "Tag", Rt_ReceiveBeforeProcessing);
    AddRule("Judge all", "Never", "Tag");
  }

  // Runs the thread over what lies in unprocessed-incoming; the thread is
  // alive at the end and posted no failure.
  void RunAll(int timeoutMs) {
    test::PostRecorder posts;
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle(timeoutMs));
    EXPECT_TRUE(harness.Alive());
    EXPECT_FALSE(harness.Thread().HasFinished());
    EXPECT_EQ(posts.Take(WM_INCOMING_THREAD_FAILED), 0);
  }

  // The "X-Mail-Key" values of every message file of processed-incoming
  // (found by bytes, so also in a file no parser reads whole).
  static std::multiset<std::string> KeysOut() {
    std::multiset<std::string> keys;
    const std::string folder = GetProcessedIncomingDir(kSingleUserName);
    for (const std::string& name : test::EmlFiles(folder)) {
      const std::string bytes = test::ReadFileBytes(folder + "/" + name);
      const std::size_t at = bytes.find("X-Mail-Key: ");
      keys.insert(at == std::string::npos
                      ? "(none) " + name
                      : bytes.substr(at + 12, bytes.find_first_of("\r\n", at) - at - 12));
    }
    return keys;
  }
};

// Every message of the corpus (the mbox "From " line taken off), with a key
// line put first so it can be found again. The corpus goes through in a few
// slices, each a test of its own (every kSlices-th message), so that each
// stays well inside a test's time limit under the sanitizers.
constexpr int kSlices = 4;

class IncomingThreadCorpus : public IncomingThreadMail,
                             public ::testing::WithParamInterface<int> {};

TEST_P(IncomingThreadCorpus, EveryMessageComesOut) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  const std::string incoming = GetUnprocessedIncomingDir(kSingleUserName);
  std::multiset<std::string> keys;
  for (std::size_t i = static_cast<std::size_t>(GetParam()); i < files.size(); i += kSlices) {
    std::string bytes = test::ReadFileBytes(files[i]);
    if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
    const std::string key = "corpus-" + std::to_string(i);
    keys.insert(key);
    test::WriteMessageFile(incoming, key + ".eml", "X-Mail-Key: " + key + "\n" + bytes);
  }
  RunAll(580000);
  EXPECT_EQ(KeysOut(), keys);
  EXPECT_TRUE(test::EmlFiles(incoming).empty());
}
INSTANTIATE_TEST_SUITE_P(Slices, IncomingThreadCorpus, ::testing::Range(0, kSlices));

std::string Hostile(const std::string& key, const std::string& rest) {
  return "X-Mail-Key: " + key + "\r\nFrom: h@example.com\r\n" + rest;
}

TEST_F(IncomingThreadMail, HostileMimeComesOut) {
  std::vector<std::pair<std::string, std::string>> mail;  // key, text
  {
    std::string nested = "Subject: deep\r\nContent-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n";
    for (int depth = 1; depth < 3000; ++depth)
      nested += "--b" + std::to_string(depth - 1) + "\r\nContent-Type: multipart/mixed; boundary=\"b" +
                std::to_string(depth) + "\"\r\n\r\n";
    nested += "--b2999\r\nContent-Type: text/plain\r\n\r\ninnermost\r\n";
    mail.emplace_back("deep", Hostile("deep", nested));
  }
  mail.emplace_back("long-header",
                    Hostile("long-header", "Subject: " + std::string(1 << 20, 's') +
                                               "\r\nX-Long: " + std::string(1 << 20, 'a') +
                                               "\r\n\r\nbody\r\n"));
  mail.emplace_back("folded-header",
                    Hostile("folded-header", "Subject: folds\r\nX-Folded: a" +
                                                 [] {
                                                   std::string f;
                                                   for (int i = 0; i < 50000; ++i) f += "\r\n b";
                                                   return f;
                                                 }() +
                                                 "\r\n\r\nbody\r\n"));
  mail.emplace_back("unclosed",
                    Hostile("unclosed",
                            "Subject: unclosed\r\nContent-Type: multipart/alternative; "
                            "boundary=\"outer\"\r\n\r\n--outer\r\nContent-Type: multipart/mixed; "
                            "boundary=\"inner\"\r\n\r\n--inner\r\nContent-Type: text/html\r\n\r\n"
                            "<html><body><p>open\r\n--outer\r\nContent-Type: text/plain\r\n\r\n"
                            "never closed\r\n"));
  {
    static const char kNul[] =
        "Subject: nul\0here\r\nContent-Type: text/plain\r\n\r\nbody\0\0with NULs\r\n";
    mail.emplace_back("nul", Hostile("nul", std::string(kNul, sizeof kNul - 1)));
  }
  mail.emplace_back("cut-base64",
                    Hostile("cut-base64",
                            "Subject: cut\r\nContent-Type: multipart/mixed; boundary=\"x\"\r\n\r\n"
                            "--x\r\nContent-Type: text/plain\r\n\r\ntext\r\n--x\r\nContent-Type: "
                            "application/octet-stream; name=\"a.exe\"\r\nContent-Transfer-Encoding: "
                            "base64\r\n\r\nTVqQAAMAAAAEAAAA//8AALgAAAAAAAAAQAAAAAAA=A\r\nTVq\r\n"));
  mail.emplace_back("only-header", Hostile("only-header", "Subject: no body"));
  mail.emplace_back("bare-cr", Hostile("bare-cr", "Subject: cr\rX-Odd: \r\r\rbody\r"));
  // Split messages whose ids no file name may hold as they are; each set is
  // complete, so each comes out once, joined.
  for (const std::string id : {"a/b/../c", "..", "[x]*?\"<>|:\\", "/"}) {
    const std::string key = "split " + std::to_string(mail.size());
    const std::string inner = "X-Mail-Key: " + key + "\r\nSubject: joined\r\n\r\nfirst half ";
    std::string quoted;
    for (char c : id) quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    for (int n = 1; n <= 2; ++n) {
      mail.emplace_back(
          "",  // a piece: comes out inside the joined message
          "Subject: piece\r\nContent-Type: message/partial; id=\"" + quoted +
              "\"; number=" + std::to_string(n) + "; total=2\r\n\r\n" +
              (n == 1 ? inner : std::string("second half\r\n")));
    }
    mail.emplace_back(key, "");  // expected, not written
  }
  const std::string incoming = GetUnprocessedIncomingDir(kSingleUserName);
  std::multiset<std::string> keys;
  int n = 0;
  for (const auto& [key, text] : mail) {
    if (!key.empty()) keys.insert(key);
    if (text.empty()) continue;
    test::WriteMessageFile(incoming, "hostile-" + std::to_string(n++) + ".eml", text);
  }
  RunAll(600000);
  EXPECT_EQ(KeysOut(), keys);
  EXPECT_TRUE(test::EmlFiles(incoming).empty());
  EXPECT_TRUE(test::EmlFiles(GetPartialsDir(kSingleUserName)).empty());
}

}  // namespace
}  // namespace halvorn
