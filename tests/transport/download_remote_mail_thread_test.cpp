// The download thread against a real POP3 server (Dovecot) and scripted ones,
// each test inside a network namespace of its own with a DNS server of its
// own, so that the look-ups for the corpus's domains reach nothing outside.
#include "transport/download_remote_mail_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/version_info.h"
#include "foundation/net/connection_checks.h"
#include "foundation/net/host_names.h"
#include "support/network_namespace.h"
#include "support/scripted_tcp_server.h"
#include "transport/pop3_test_support.h"

namespace halvorn {
namespace {

class Download : public test::DownloadFixture {};

// The message that tells dot-stuffing, 8-bit bytes and odd line ends apart.
const std::string kOddLines = std::string(
                                  "To: alice@example.com\n"
                                  "Subject: dots\n"
                                  "\n"
                                  ".\n"
                                  "..\n"
                                  ".x\n"
                                  "caf\xe9 \xff\n"
                                  "bare\rcarriage return\n"
                                  "nul") +
                              std::string(1, '\0') + "byte\n" + "end\n";

// The corpus file without its mbox "From " line.
std::string CorpusMessage(const std::string& path) {
  std::string text = test::ReadFileBytes(path);
  if (text.rfind("From ", 0) == 0) text.erase(0, text.find('\n') + 1);
  return text;
}

// A spread of corpus messages.
std::vector<std::string> SomeCorpusFiles(std::size_t count) {
  const std::vector<std::string> all = test::CorpusFiles();
  std::vector<std::string> picked;
  if (all.empty()) return picked;
  const std::size_t step = std::max<std::size_t>(1, all.size() / count);
  for (std::size_t i = 0; i < all.size() && picked.size() < count; i += step)
    picked.push_back(all[i]);
  return picked;
}

// One run stores every message once, as the server sends it, behind a
// Received line of its own; a second run fetches nothing.
TEST_F(Download, StoresEachMessageOnceAsTheServerSendsIt) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  const std::vector<std::string> corpus = SomeCorpusFiles(40);
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  StartMailServers({{"alice", "pw"}}, {"mx-host=example.com,mail.example.com,10",
                                       "host-record=mail.example.com,127.0.0.1"});
  ASSERT_TRUE(FDovecot->AddMessage("alice", "0000.odd", kOddLines));
  for (std::size_t i = 0; i < corpus.size(); ++i)
    ASSERT_TRUE(FDovecot->AddMessage("alice", "1" + std::to_string(1000 + i) + ".corpus",
                                     CorpusMessage(corpus[i])));
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw");
  const std::vector<test::ServerMessage> server = ServerMessages("alice", "pw");
  ASSERT_EQ(server.size(), corpus.size() + 1) << FDovecot->LogText();

  ASSERT_TRUE(RunDownload());
  std::vector<std::string> received;
  const std::map<std::string, std::string> stored = StoredByUidl(Unprocessed(), &received);
  EXPECT_EQ(static_cast<std::size_t>(Unprocessed().Count()), server.size());
  for (const test::ServerMessage& m : server) {
    SCOPED_TRACE(m.Uidl);
    ASSERT_EQ(stored.count(m.Uidl), 1u);
    EXPECT_EQ(stored.at(m.Uidl), m.Text);
    EXPECT_EQ(remote->GetUidlStatus(m.Uidl), us_Downloaded);
  }
  // The odd message as stored: the dots as the maildir file has them, a
  // bare CR ends a line, the NUL byte is gone.
  EXPECT_EQ(stored.at(server[0].Uidl),
            std::string("To: alice@example.com\r\nSubject: dots\r\n\r\n.\r\n..\r\n.x\r\n"
                        "caf\xe9 \xff\r\nbare\r\ncarriage return\r\nnulbyte\r\nend\r\n"));
  for (const std::string& line : received) {
    EXPECT_EQ(line.rfind("Received: from 127.0.0.1 by " + GetHostNameOrLocal() +
                             " with POP3 Quorvantis Halvorn" + GetVersionText() + " id ",
                         0),
              0u)
        << line;
  }
  // The account learnt its mailbox from the message addressed to it.
  EXPECT_EQ(remote->EmailAddress(), "alice@example.com");
  for (const TEmailMsgRef& msg : Unprocessed().Snapshot()) {
    EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::RemoteAccountId), remote->UniqueId());
    EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::SourceIP), "127.0.0.1");
  }
  // The states reached the accounts file.
  EXPECT_NE(test::ReadFileBytes(GetAccountsFilePath()).find(server[0].Uidl), std::string::npos);

  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(static_cast<std::size_t>(Unprocessed().Count()), server.size());
  EXPECT_EQ(ServerMessages("alice", "pw").size(), server.size());
}

}  // namespace
}  // namespace halvorn
