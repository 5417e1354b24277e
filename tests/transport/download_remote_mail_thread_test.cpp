// The download thread against a real POP3 server (Dovecot) and scripted ones,
// each test inside a network namespace of its own with a DNS server of its
// own, so that the look-ups for the corpus's domains reach nothing outside.
#include "transport/download_remote_mail_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/version_info.h"
#include "foundation/net/connection_checks.h"
#include "foundation/net/host_names.h"
#include "support/network_namespace.h"
#include "support/scripted_tcp_server.h"
#include "message/repository_test_support.h"
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

// A small message numbered i.
std::string Numbered(int i) {
  return "Subject: n" + std::to_string(i) + "\nMessage-Id: <" + std::to_string(i) +
         "@test>\n\nbody " + std::to_string(i) + "\n";
}

// Leave on server, and delete: the reader gets the stored messages byte for
// byte with LIST sizes equal to what it counts; what it deletes and QUITs is
// deleted on the server at the next run, whose good QUIT forgets the UIDLs.
TEST_F(Download, TheReadersDeletionsReachTheServerAtTheNextRun) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({{"alice", "pw"}});
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(i), Numbered(i)));
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw");
  const std::vector<test::ServerMessage> server = ServerMessages("alice", "pw");
  ASSERT_EQ(server.size(), 6u);
  ASSERT_TRUE(RunDownload());
  ASSERT_EQ(MoveToProcessed(), 6);

  std::map<std::string, std::string> files;
  for (const TEmailMsgRef& msg : Processed().Snapshot())
    files[msg->GetUidl()] = test::MessagePartOf(test::ReadFileBytes(msg->GetFileName()));
  StartServer().SetAcceptAnyLocal(true);
  const std::string deleted = server[1].Uidl + "," + server[4].Uidl;
  const std::vector<test::ReaderMessage> read =
      test::ParseReaderOutput(RunClient(test::kPoplibReader, {deleted}));
  ASSERT_EQ(read.size(), 6u);
  for (const test::ReaderMessage& m : read) {
    SCOPED_TRACE(m.Uidl);
    EXPECT_EQ(m.Text, files[m.Uidl]);
    EXPECT_EQ(m.Size, m.Octets);
  }
  for (const test::ServerMessage& m : server)
    EXPECT_EQ(remote->GetUidlStatus(m.Uidl),
              m.Number == 2 || m.Number == 5 ? us_Deleted : us_Read)
        << m.Uidl;
  EXPECT_EQ(Processed().Count(), 4);

  ASSERT_TRUE(RunDownload());
  const std::vector<test::ServerMessage> left = ServerMessages("alice", "pw");
  std::set<std::string> leftUidls;
  for (const test::ServerMessage& m : left) leftUidls.insert(m.Uidl);
  EXPECT_EQ(leftUidls, (std::set<std::string>{server[0].Uidl, server[2].Uidl, server[3].Uidl,
                                               server[5].Uidl}));
  EXPECT_EQ(remote->GetUidlStatus(server[1].Uidl), us_NonExistant);
  EXPECT_EQ(remote->GetUidlStatus(server[4].Uidl), us_NonExistant);
  EXPECT_EQ(remote->GetUidlStatus(server[0].Uidl), us_Read);
  // Nothing came again.
  EXPECT_EQ(Unprocessed().Count(), 0);
  EXPECT_EQ(Processed().Count(), 4);
}

// At most 100 new messages of an account in one connection; the rest come
// next time.
TEST_F(Download, OneConnectionStoresAtMostAHundred) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  SetLimitDownloadCount(true);
  StartMailServers({{"alice", "pw"}});
  for (int i = 0; i < 101; ++i)
    ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(1000 + i), Numbered(i)));
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  MakeRemoteAccount(local, "alice", "pw");
  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(Unprocessed().Count(), 100);
  ASSERT_EQ(MoveToProcessed(), 100);
  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(Unprocessed().Count(), 1);
  EXPECT_EQ(Unprocessed().Snapshot()[0]->GetSubject(), "n100");
}

// A rejected password is reported to the user at once for an account made
// in this run, and at the fifth failure in a row for an older one; the
// other failures are only logged.
TEST_F(Download, BadPasswordsAreReportedAtTheFirstOrTheFifthFailure) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({{"alice", "pw"}, {"carol", "pw"}});
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef fresh = MakeRemoteAccount(local, "alice", "wrong");
  fresh->NewThisRun = true;
  TRemoteAccountRef old = MakeRemoteAccount(local, "carol", "wrong");
  auto reports = [&](const TRemoteAccountRef& account) {
    int count = 0;
    for (const TEmailMsgRef& msg : Processed().Snapshot())
      if (msg->GetProperty(kPropFailureNotice) == "POP" &&
          msg->GetInfoValue(TEmailInfoKey::RemoteAccountId) == account->UniqueId())
        ++count;
    return count;
  };
  std::vector<std::pair<int, int>> seen;
  for (int run = 1; run <= 5; ++run) {
    ASSERT_TRUE(RunDownload());
    seen.push_back({reports(fresh), reports(old)});
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 1}}));
  EXPECT_EQ(old->LoginFailures.load(), 5);
  // The report names the error and carries the account's change form.
  for (const TEmailMsgRef& msg : Processed().Snapshot()) {
    if (msg->GetInfoValue(TEmailInfoKey::RemoteAccountId) != old->UniqueId()) continue;
    TStringList lines;
    msg->GetRawText(lines, true);
    const std::string text = lines.Text();
    EXPECT_NE(text.find("Subject: Bad remote POP login information."), std::string::npos);
    EXPECT_NE(text.find("Server rejected new password with message \"-ERR"), std::string::npos)
        << text;
    EXPECT_NE(text.find("NewPassWord"), std::string::npos);
  }
}

// A scripted POP3 server on a loopback address over a mailbox of the test's
// (pop3_mailbox_handler.py).
class ScriptedMailbox {
 public:
  ScriptedMailbox(const std::vector<std::pair<std::string, std::string>>& messages,
                  const std::vector<int>& uidlOrder = {}, const std::string& host = "127.0.0.1")
      : FState(FFolder.Sub("mailbox.json")) {
    std::string json = "{\"commands\": [], \"deleted\": [], \"messages\": [";
    for (std::size_t i = 0; i < messages.size(); ++i)
      json += (i ? "," : "") + std::string("[") + test::JsonText(messages[i].first) + "," +
              test::JsonText(messages[i].second) + "]";
    json += "]";
    if (!uidlOrder.empty()) {
      json += ", \"uidl_order\": [";
      for (std::size_t i = 0; i < uidlOrder.size(); ++i)
        json += (i ? "," : "") + std::to_string(uidlOrder[i]);
      json += "]";
    }
    test::WriteFileBytes(FState, json + "}");
    FServer = std::make_unique<test::ScriptedTcpServer>(
        "STATE_PATH = " + test::JsonText(FState) + "\n" +
            test::ReadFileBytes(test::DataPath("pop3_mailbox_handler.py")),
        0, host);
  }
  bool Ok() const { return FServer->Ok(); }
  int Port() const { return FServer->Port(); }
  // The items of one list of the state file.
  std::vector<std::string> List(const std::string& key) const {
    const test::CommandResult listed =
        test::RunCommand({test::PythonPath(), "-c",
                          "import json,sys\nfor x in json.load(open(sys.argv[1]))[sys.argv[2]]:\n"
                          "    print(x if isinstance(x, str) else x[0])\n",
                          FState, key});
    return test::OutputLines(listed.Output);
  }

 private:
  test::TempFolder FFolder;
  std::string FState;
  std::unique_ptr<test::ScriptedTcpServer> FServer;
};

// UIDLs are taken by the number on each listing line: a listing out of order
// must not make DELE remove another message, nor store one under another's
// UIDL.
TEST_F(Download, UidlsAreKeyedByTheirMessageNumbers) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({});
  ScriptedMailbox mailbox({{"ua", Numbered(1)}, {"ub", Numbered(2)}, {"uc", Numbered(3)}},
                          {3, 1, 2});
  ASSERT_TRUE(mailbox.Ok());
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw", "127.0.0.1", mailbox.Port());
  remote->SetUidlStatus("ub", us_Deleted);
  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(mailbox.List("deleted"), (std::vector<std::string>{"ub"}));
  const std::map<std::string, std::string> stored = StoredByUidl(Unprocessed());
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_NE(stored.at("ua").find("Subject: n1"), std::string::npos);
  EXPECT_NE(stored.at("uc").find("Subject: n3"), std::string::npos);
  EXPECT_EQ(remote->GetUidlStatus("ub"), us_NonExistant);
}

// What a server no longer lists is forgotten, and only this account's
// messages of those UIDLs are flagged deleted: not another account's with
// the same UIDL, and never the program's own UIDLs.
TEST_F(Download, OnlyThisAccountsMessagesOfCulledUidlsAreFlagged) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({});
  ScriptedMailbox mailbox({{"kept", Numbered(1)}});
  ASSERT_TRUE(mailbox.Ok());
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw", "127.0.0.1", mailbox.Port());
  TRemoteAccountRef other = MakeRemoteAccount(local, "carol", "pw", "127.0.0.9", 1);
  other->ProcessUsingQuor = false;
  remote->SetUidlStatus("kept", us_Read);
  TEmailMsgRef kept = AddProcessed(Numbered(1), "kept", remote);
  TEmailMsgRef gone = AddProcessed(Numbered(2), "gone", remote);
  TEmailMsgRef othersGone = AddProcessed(Numbered(3), "gone", other);
  TEmailMsgRef own = AddProcessed(Numbered(4), "QuorvantisABCDEF01.2026.01.01.00.00.00", remote);
  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(remote->GetUidlStatus("gone"), us_NonExistant);
  EXPECT_TRUE(gone->IsFlaggedDeleted());
  EXPECT_FALSE(kept->IsFlaggedDeleted());
  EXPECT_FALSE(othersGone->IsFlaggedDeleted());
  EXPECT_FALSE(own->IsFlaggedDeleted());
  EXPECT_EQ(other->GetUidlStatus("gone"), us_Downloaded);
}

// A known message counts as present while another owner holds it (a reader's
// session, processing); one in no queue at all is fetched again.
TEST_F(Download, AHeldMessageCountsAsPresent) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({});
  ScriptedMailbox mailbox({{"held", Numbered(1)}, {"lost", Numbered(2)}});
  ASSERT_TRUE(mailbox.Ok());
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw", "127.0.0.1", mailbox.Port());
  TEmailMsgRef held = AddProcessed(Numbered(1), "held", remote);
  remote->SetUidlStatus("held", us_Read);
  remote->SetUidlStatus("lost", us_Read);
  TScopedClaimOwner reader;
  ASSERT_TRUE(held->Lock(reader.Token(), "a reader's session"));
  ASSERT_TRUE(RunDownload());
  const std::vector<std::string> commands = mailbox.List("commands");
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 1"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 2"), 1);
  EXPECT_EQ(Unprocessed().Count(), 1);
  EXPECT_EQ(remote->GetUidlStatus("held"), us_Read);
  EXPECT_EQ(remote->GetUidlStatus("lost"), us_Downloaded);
  held->Unlock(reader.Token(), "a reader's session");
}

// A message stored before its state reached the accounts file (a crash in
// between) is recorded, not fetched a second time.
TEST_F(Download, AStoredMessageWhoseStateWasLostIsRecordedNotFetched) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({});
  ScriptedMailbox mailbox({{"u1", Numbered(1)}, {"u2", Numbered(2)}});
  ASSERT_TRUE(mailbox.Ok());
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw", "127.0.0.1", mailbox.Port());
  TEmailMsgRef stored = TEmailMsg::Create(&Unprocessed());
  stored->SetText(Numbered(1));
  stored->FSetUidl("u1");
  stored->SetInfoValue(TEmailInfoKey::RemoteAccountId, remote->UniqueId());
  ASSERT_TRUE(stored->SaveToFile());
  ASSERT_EQ(remote->GetUidlStatus("u1"), us_NonExistant);
  ASSERT_TRUE(RunDownload());
  const std::vector<std::string> commands = mailbox.List("commands");
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 1"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 2"), 1);
  EXPECT_EQ(remote->GetUidlStatus("u1"), us_Downloaded);
  EXPECT_EQ(Unprocessed().Count(), 2);
}

// A duplicate UIDL merges two accounts only when they share a server.
TEST_F(Download, AccountsOfDifferentServersAreNeverMerged) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({});
  ScriptedMailbox mailbox({{"same", Numbered(1)}}, {}, "127.0.0.2");
  ASSERT_TRUE(mailbox.Ok());
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef elsewhere = MakeRemoteAccount(local, "alice", "pw", "127.0.0.1", 1);
  elsewhere->ProcessUsingQuor = false;
  elsewhere->SetUidlStatus("same", us_Deleted);
  TRemoteAccountRef here = MakeRemoteAccount(local, "alice", "pw", "127.0.0.2", mailbox.Port());
  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(local->RemoteAccounts->Count(), 2);
  EXPECT_TRUE(mailbox.List("deleted").empty());
  EXPECT_EQ(here->GetUidlStatus("same"), us_Downloaded);
  EXPECT_EQ(elsewhere->GetUidlStatus("same"), us_Deleted);
  // The same login at the same server is one account: it merges.
  TRemoteAccountRef twin = MakeRemoteAccount(local, "alice", "pw", "127.0.0.2", mailbox.Port());
  twin->ProcessUsingQuor = false;
  twin->SetUidlStatus("other", us_Downloaded);
  here->SetUidlStatus("same", us_NonExistant);
  twin->SetUidlStatus("same", us_Read);
  ASSERT_TRUE(RunDownload());
  EXPECT_EQ(local->RemoteAccounts->Count(), 2);
  EXPECT_EQ(here->GetUidlStatus("other"), us_Downloaded);
}

// A message whose file cannot be written records nothing, and the
// connection ends without QUIT: the server deletes nothing.
TEST_F(Download, AFailedSaveRecordsNothingAndEndsWithoutQuit) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  StartMailServers({});
  ScriptedMailbox mailbox({{"old", Numbered(1)}, {"new", Numbered(2)}});
  ASSERT_TRUE(mailbox.Ok());
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw", "127.0.0.1", mailbox.Port());
  remote->SetUidlStatus("old", us_Deleted);
  // The queue's folder is replaced by a file: nothing can be written there.
  const std::string folder = Unprocessed().Folder();
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(test::WriteFileBytes(folder, "not a folder"));
  ASSERT_TRUE(RunDownload());
  const std::vector<std::string> commands = mailbox.List("commands");
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 2"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), 0);
  EXPECT_TRUE(mailbox.List("deleted").empty());
  EXPECT_EQ(remote->GetUidlStatus("new"), us_NonExistant);
  EXPECT_EQ(remote->GetUidlStatus("old"), us_Deleted);
  EXPECT_EQ(Unprocessed().Count(), 0);
}

// A relay between the download and Dovecot cuts the line once at a chosen
// point; the run after it ends with every message held once and every
// message the reader deleted gone from the server.
class DownloadCut : public test::DownloadFixture {
 protected:
  void CutOnce(const std::string& cut) {
    StartMailServers({{"alice", "pw"}});
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(i), Numbered(i)));
    TLocalAccountRef local = MakeLocalAccount("bob", "secret");
    TRemoteAccountRef remote = MakeRemoteAccount(local, "alice", "pw");
    ASSERT_TRUE(RunDownload());
    ASSERT_EQ(MoveToProcessed(), 5);
    // The reader deletes two.
    const std::vector<test::ServerMessage> before = ServerMessages("alice", "pw");
    ASSERT_EQ(before.size(), 5u);
    StartServer().SetAcceptAnyLocal(true);
    const std::set<std::string> deleted = {before[1].Uidl, before[3].Uidl};
    RunClient(test::kPoplibReader, {before[1].Uidl + "," + before[3].Uidl});
    for (const std::string& uidl : deleted) ASSERT_EQ(remote->GetUidlStatus(uidl), us_Deleted);
    for (int i = 5; i < 8; ++i)
      ASSERT_TRUE(FDovecot->AddMessage("alice", "m" + std::to_string(i), Numbered(i)));

    test::ScriptedTcpServer relay("CUT = " + test::JsonText(cut) + "\n" +
                                  test::ReadFileBytes(test::DataPath("pop3_cutting_relay.py")));
    ASSERT_TRUE(relay.Ok()) << relay.Error();
    remote->Port = relay.Port();
    ASSERT_TRUE(RunDownload());
    // The cut took effect: without QUIT the server undid the deletions.
    EXPECT_EQ(ServerMessages("alice", "pw").size(), cut == "quit" ? 6u : 8u);
    ASSERT_TRUE(RunDownload());

    const std::vector<test::ServerMessage> after = ServerMessages("alice", "pw");
    EXPECT_EQ(after.size(), 6u);
    std::map<std::string, int> held;
    for (TEmailMsgList* queue : {&Unprocessed(), &Processed()})
      for (const TEmailMsgRef& msg : queue->Snapshot()) ++held[msg->GetUidl()];
    std::map<std::string, int> expected;
    for (const test::ServerMessage& m : after) expected[m.Uidl] = 1;
    EXPECT_EQ(held, expected);
    for (const std::string& uidl : deleted) {
      EXPECT_EQ(remote->GetUidlStatus(uidl), us_NonExistant);
      EXPECT_EQ(expected.count(uidl), 0u);
    }
  }
};

TEST_F(DownloadCut, InTheMiddleOfAMessage) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  CutOnce("retr");
}

TEST_F(DownloadCut, AfterADeletion) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  CutOnce("dele");
}

TEST_F(DownloadCut, AfterQuitBeforeItsReply) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  CutOnce("quit");
}

}  // namespace
}  // namespace halvorn
