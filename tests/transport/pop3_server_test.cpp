// The local POP3 server driven by real clients: scripted dialogues and
// Python's poplib on 127.0.0.1, clients of another user (setpriv), a peer in
// a second network namespace.
#include "transport/pop3_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/threads/heartbeat.h"
#include "message/mail_store.h"
#include "message/uidl_states.h"
#include "support/network_namespace.h"
#include "transport/pop3_test_support.h"
#include "platform/tcp_line_server.h"
#include "transport/pop3_texts.h"
#include "transport/webmail_download.h"

namespace halvorn {
namespace {

using test::LoginSteps;
using test::Pop3Step;

TEST(ParsePop3Command, WordsArePrefixesTriedInOrder) {
  struct Row {
    const char* Line;
    TPop3Command Code;
    const char* Argument;
  } rows[] = {
      {"user Bob", pcUser, "Bob"},
      {"  USER   Bob  ", pcUser, "Bob"},
      {"USER", pcUnknown, "USER"},
      {"PASS se cret", pcPass, "se cret"},
      {"PASS", pcUnknown, "PASS"},
      {"apop x y", pcApop, "x y"},
      {"QUIT", pcQuit, ""},
      {"stat", pcStat, ""},
      {"LISTX 3", pcList, "X 3"},
      {"LIST 2", pcList, "2"},
      {"RETR 1", pcRetr, "1"},
      {"TOP 1 0", pcTop, "1 0"},
      {"TOPS", pcTop, "S"},
      {"DELE 4", pcDele, "4"},
      {"NOOP", pcNoop, ""},
      {"LAST", pcLast, ""},
      {"RSET", pcRset, ""},
      {"AUTH PLAIN", pcAuth, "PLAIN"},
      {"uidl 7", pcUidl, "7"},
      {"CAPA", pcUnknown, "CAPA"},
      {"", pcUnknown, ""},
      {"  ", pcUnknown, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Line);
    std::string argument = "unchanged";
    EXPECT_EQ(ParsePop3Command(row.Line, argument), row.Code);
    EXPECT_EQ(argument, row.Argument);
  }
}

class Pop3Server : public test::Pop3Fixture {
 protected:
  // Five messages, one per subject, with UIDLs u1 .. u5.
  std::vector<TEmailMsgRef> AddFive(const TRemoteAccountRef& source) {
    std::vector<TEmailMsgRef> messages;
    for (int i = 1; i <= 5; ++i)
      messages.push_back(AddProcessed(
          "Subject: m" + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) + "\r\n",
          "u" + std::to_string(i), source));
    return messages;
  }
};

const char* const kDotted =
    "Subject: one\r\nMessage-Id: <1@x>\r\n\r\nline\r\n.\r\n..\r\n.x\r\ncaf\xe9\r\nend\r\n";
const char* const kThreeLines = "Subject: two\r\n\r\nbody 1\r\nbody 2\r\nbody 3\r\n";

// Every reply of a session, with the edge cases of each command.
TEST_F(Pop3Server, AnswersEachCommandAsTheProtocolSays) {
  MakeLocalAccount("bob", "secret");
  AddProcessed(kDotted, "uid-1");
  AddProcessed(kThreeLines, "uid-2");
  StartServer();
  const std::string size1 = std::to_string(std::string(kDotted).size());
  const std::string size2 = std::to_string(std::string(kThreeLines).size());
  const std::string total =
      std::to_string(std::string(kDotted).size() + std::string(kThreeLines).size());
  struct Row {
    Pop3Step Step;
    std::vector<std::string> Expected;
  } rows[] = {
      {{"NOOP", "1"}, {"-ERR Please wait for the welcome."}},
      {{std::nullopt, "1"}, {"+OK Halvorn POP3 server ready"}},
      {{"PASS x", "1"}, {"-ERR Awaiting user identification. Use USER command"}},
      {{"USER", "1"}, {"-ERR Awaiting user identification. Use USER command"}},
      {{"user bob", "1"}, {"+OK Always happy to see bob"}},
      {{"STAT", "1"}, {"-ERR Awaiting password. Use PASS command"}},
      {{"PASS secret", "1"}, {"+OK bob successfully logged in."}},
      {{"USER bob", "1"}, {"-ERR Already logged in"}},
      {{"PASS secret", "1"}, {"-ERR Already logged in"}},
      {{"STAT", "1"}, {"+OK 2 " + total + " Stat"}},
      {{"LIST", "M"}, {"+OK there are 2 messages in mail drop.", "1 " + size1, "2 " + size2, "."}},
      {{"UIDL", "M"},
       {"+OK there are 2 messages in mail drop. Unique-id listing follows.", "1 uid-1", "2 uid-2",
        "."}},
      {{"LIST abc", "1"}, {"-ERR No such Message \"abc\""}},
      {{"UIDL abc", "1"}, {"-ERR A message number is required. \"abc\""}},
      {{"LIST 3", "1"}, {"-ERR No such Message \"3\""}},
      {{"UIDL 2", "1"}, {"+OK 2 uid-2"}},
      {{"RETR 1", "M"},
       {"+OK ", "Subject: one", "Message-Id: <1@x>", "", "line", "..", "...", "..x", "caf\xe9",
        "end", "."}},
      {{"TOP 1", "1"}, {"-ERR bad arguments to TOP command \"1\" Should be TOP Message# LineCount"}},
      {{"TOP 0 1", "1"},
       {"-ERR bad arguments to TOP command \"0 1\" Should be TOP Message# LineCount"}},
      {{"TOP 2 0", "M"}, {"+OK ", "Subject: two", "", "."}},
      {{"TOP 2 1", "M"}, {"+OK ", "Subject: two", "", "body 1", "."}},
      {{"TOP 2 99999999", "M"}, {"+OK ", "Subject: two", "", "body 1", "body 2", "body 3", "."}},
      {{"TOP 3 1", "1"}, {"-ERR No such Message \"3\""}},
      {{"LAST", "1"}, {"+OK 2"}},
      {{"DELE 1", "1"}, {"+OK Message 1 marked deleted"}},
      {{"DELE 1", "1"}, {"-ERR Message \"1\" has already been deleted."}},
      {{"DELE 9", "1"}, {"-ERR No such Message \"9\""}},
      {{"STAT", "1"}, {"+OK 2 " + total + " Stat"}},
      {{"LIST", "M"}, {"+OK there are 2 messages in mail drop.", "2 " + size2, "."}},
      {{"LIST 1", "1"}, {"-ERR Message \"1\" has been marked deleted."}},
      {{"RETR 1", "1"}, {"-ERR Message \"1\" has been marked deleted."}},
      {{"TOP 1 0", "1"}, {"-ERR Message \"1\" has been marked deleted."}},
      {{"RSET", "1"}, {"+OK"}},
      {{"LAST", "1"}, {"+OK 0"}},
      {{"LIST 1", "1"}, {"+OK 1 " + size1}},
      {{"NOOP", "1"}, {"+OK"}},
      {{"APOP bob x", "1"}, {"-ERR Sorry, APOP is not allowed on this server"}},
      {{"AUTH", "1"}, {"-ERR Sorry, AUTH is not allowed on this server"}},
      {{"CAPA", "1"}, {"-ERR Eh?? Command \"CAPA\" not understood"}},
      {{"", "1"}, {"-ERR Empty string sent."}},
      {{"QUIT", "E"}, {"+OK ", "Halvorn POP3 server signing off", "<EOF>"}},
  };
  std::vector<Pop3Step> steps;
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    steps.push_back(row.Step);
    expected.insert(expected.end(), row.Expected.begin(), row.Expected.end());
  }
  EXPECT_EQ(Dialogue(steps), expected);
  // QUIT without deletions left both messages in the queue, released.
  ASSERT_EQ(Processed().Count(), 2);
  for (const TEmailMsgRef& msg : Processed().Snapshot()) EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
}

TEST_F(Pop3Server, QuitInTheFirstStateSignsOff) {
  StartServer();
  EXPECT_EQ(Dialogue({{std::nullopt, "1"}, {"QUIT", "E"}}),
            (std::vector<std::string>{"+OK Halvorn POP3 server ready", "+OK ",
                                      "Halvorn POP3 server signing off", "<EOF>"}));
}


// QUIT records the reader's deletions at the source account and saves the
// accounts before any file goes; then the files go.
TEST_F(Pop3Server, QuitRecordsDeletionsBeforeTheFilesGo) {
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = local->RemoteAccounts->Add();
  remote->SetUserId("bob");
  std::vector<TEmailMsgRef> messages = AddFive(remote);
  const std::string file2 = messages[1]->GetFileName();
  std::vector<std::string> atSave;
  SetAccountsSaver([&] {
    atSave.push_back(std::string(UidlStatusName(remote->GetUidlStatus("u2"))) + " " +
                     (std::filesystem::exists(file2) ? "file" : "no file"));
    return std::string();
  });
  StartServer().SetAcceptAnyLocal(true);
  std::vector<Pop3Step> steps = LoginSteps("bob", "secret");
  steps.push_back({"DELE 2", "1"});
  steps.push_back({"QUIT", "E"});
  const std::vector<std::string> lines = Dialogue(steps);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[3], "+OK Message 2 marked deleted");
  EXPECT_EQ(atSave, (std::vector<std::string>{"us_Deleted file"}));
  EXPECT_EQ(remote->GetUidlStatus("u2"), us_Deleted);
  EXPECT_FALSE(std::filesystem::exists(file2));
  EXPECT_EQ(Subjects(Processed()), (std::vector<std::string>{"m1", "m3", "m4", "m5"}));
  EXPECT_EQ(Held().Count(), 0);
}

// A reader that drops the line: what it deleted or took whole goes to the
// held-mail queue as a duplicate; what it only looked at, or skipped, stays.
TEST_F(Pop3Server, ADroppedLineHoldsWhatTheReaderTook) {
  struct Row {
    const char* Case;
    std::vector<std::string> Commands;
    std::vector<std::string> Held;
    std::vector<std::string> Reasons;
  } rows[] = {
      {"two retrieved, one looked at",
       {"RETR 1", "RETR 2", "TOP 3 1"},
       {"m1", "m2"},
       {kPop3DroppedRetrievedReason, kPop3DroppedRetrievedReason}},
      {"and the fourth deleted",
       {"RETR 1", "RETR 2", "DELE 4"},
       {"m1", "m2", "m4"},
       {kPop3DroppedRetrievedReason, kPop3DroppedRetrievedReason, kPop3DroppedDeletedReason}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Case);
    GlobalLocalAccounts().Clear();
    ClearQueues();
    FRecorder->Messages.clear();
    MakeLocalAccount("bob", "secret");
    AddFive(nullptr);
    StartServer();
    std::vector<Pop3Step> steps = LoginSteps("bob", "secret");
    for (const std::string& command : row.Commands)
      steps.push_back({command, command.rfind("DELE", 0) == 0 ? "1" : "M"});
    steps.push_back({std::nullopt, "drop"});
    Dialogue(steps);
    std::vector<std::string> remaining;
    for (const char* subject : {"m1", "m2", "m3", "m4", "m5"})
      if (std::find(row.Held.begin(), row.Held.end(), subject) == row.Held.end())
        remaining.push_back(subject);
    EXPECT_EQ(Subjects(Held()), row.Held);
    EXPECT_EQ(Subjects(Processed()), remaining);
    std::vector<TEmailMsgRef> held = Held().Snapshot();
    std::sort(held.begin(), held.end(), [](const TEmailMsgRef& a, const TEmailMsgRef& b) {
      return a->GetSubject() < b->GetSubject();
    });
    ASSERT_EQ(held.size(), row.Reasons.size());
    for (std::size_t i = 0; i < held.size(); ++i)
      EXPECT_NE(held[i]->GetInfoValue(TEmailInfoKey::PendholdText).find(row.Reasons[i]),
                std::string::npos);
    for (const TEmailMsgRef& msg : held) {
      EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::POPDuplicate), "1");
      EXPECT_FALSE(msg->IsFlaggedDeleted());
      EXPECT_TRUE(std::filesystem::exists(msg->GetFileName()));
    }
    for (const TEmailMsgRef& msg : Processed().Snapshot()) {
      EXPECT_FALSE(msg->IsFlaggedDeleted());
      EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
    }
    DeliverPosts();
    EXPECT_EQ(FRecorder->Count(WM_CHECK_MAIL_WHEN_IDLE), 1);
    FServer.reset();
  }
}

// A held login answers nothing, and handles nothing the reader sends, until
// the window releases it; the mailbox it then gets is the queue as it stands.
TEST_F(Pop3Server, AHeldLoginWaitsForItsRelease) {
  MakeLocalAccount("bob", "secret");
  AddProcessed(kThreeLines);
  TPop3Server& server = StartServer();
  TPop3SessionHandle held;
  int raised = 0;
  server.OnUserConnectedButNoWaitingMail = [&](TPop3ServerSpawnedSocket* session, bool& wait) {
    ++raised;
    EXPECT_FALSE(wait);
    wait = true;
    held = session->Handle();
  };
  bool released = false;
  platform::Timer release([&] {
    if (released || !held) return;
    TPop3ServerSpawnedSocket* session = held.Get();
    // Nothing was answered meanwhile and the session is not idle.
    EXPECT_TRUE(session->LoginHeld());
    EXPECT_EQ(session->MailboxCount(), 0);
    AddProcessed(kDotted);
    released = true;
    session->ReleaseWaitingLogin();
  });
  release.Start(400);
  const std::vector<std::string> lines =
      Dialogue({{std::nullopt, "1"},
                {"USER bob", "1"},
                {"PASS secret", "0"},
                {"STAT", "0"},
                {std::nullopt, "1"},
                {std::nullopt, "1"},
                {"QUIT", "1"}});
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "+OK bob successfully logged in.");
  EXPECT_EQ(lines[3], "+OK 2 " +
                          std::to_string(std::string(kDotted).size() +
                                         std::string(kThreeLines).size()) +
                          " Stat");
  EXPECT_EQ(raised, 1);
  EXPECT_TRUE(released);
  // The session has gone: the handle reads empty.
  EXPECT_FALSE(held);
  EXPECT_EQ(held.Get(), nullptr);
}

// On the first run the first login gets the welcome reply and no wait; the
// welcome message waits for the next session.
TEST_F(Pop3Server, TheFirstRunWelcomesTheReaderOnce) {
  FirstTimeRun = true;
  MakeLocalAccount("bob", "secret");
  AddProcessed(kThreeLines);
  TPop3Server& server = StartServer();
  FirstTimeRun = false;
  int raised = 0;
  server.OnUserConnectedButNoWaitingMail = [&](TPop3ServerSpawnedSocket*, bool&) { ++raised; };
  std::vector<Pop3Step> steps = LoginSteps("bob", "secret");
  steps.push_back({"STAT", "1"});
  steps.push_back({"QUIT", "1"});
  std::vector<std::string> first = Dialogue(steps);
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(first[2], "+OK Successfully logged in.");
  EXPECT_EQ(first[3].rfind("+OK 1 ", 0), 0u) << first[3];
  EXPECT_EQ(raised, 0);
  steps[3] = {"TOP 2 0", "M"};
  std::vector<std::string> second = Dialogue(steps);
  EXPECT_EQ(second[2], "+OK bob successfully logged in.");
  EXPECT_NE(std::find(second.begin(), second.end(), "Subject: Welcome to Halvorn"), second.end());
  EXPECT_EQ(raised, 1);
  EXPECT_TRUE(server.WelcomeAdded());
}

// Which passwords a direct login accepts, and what a login may write into
// the local account: only peers of this program's user get the exemptions.
TEST_F(Pop3Server, PasswordExemptionsHoldOnlyForThisUsersPeers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  const std::vector<std::string> asNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                             "--clear-groups"};
  // Nobody may not read the source tree (a clone in /root): the client runs
  // from a copy in a folder anyone can read.
  const test::TempFolder readable = test::TempFolder::ForSockets();
  ASSERT_EQ(::chmod(readable.Path().c_str(), 0755), 0);
  FDialogueScript = readable.Sub("pop3_dialogue.py");
  ASSERT_TRUE(test::WriteFileBytes(FDialogueScript,
                                   test::ReadFileBytes(test::DataPath("pop3_dialogue.py"))));
  ASSERT_EQ(::chmod(FDialogueScript.c_str(), 0644), 0);
  struct Row {
    const char* Case;
    bool AnyLocal;
    bool OtherUser;
    const char* StoredUser;
    const char* StoredPassword;
    const char* Given;
    bool Accepted;
    const char* UserAfter;
    const char* PasswordAfter;
  } rows[] = {
      {"right password", false, false, "bob", "secret", "secret", true, "bob", "secret"},
      {"wrong password", false, false, "bob", "secret", "wrong", false, "bob", "secret"},
      {"wrong password, any local peer", true, false, "bob", "secret", "wrong", true, "bob",
       "secret"},
      {"wrong password of another user", true, true, "bob", "secret", "wrong", false, "bob",
       "secret"},
      {"right password of another user", false, true, "bob", "secret", "secret", true, "bob",
       "secret"},
      {"no password yet", false, false, "bob", "", "new", true, "bob", "new"},
      {"no password yet, another user", false, true, "bob", "", "new", false, "bob", ""},
      {"the first login names the account", false, false, kSingleUserName, "", "pw", true, "bob",
       "pw"},
      {"another user names nothing", false, true, kSingleUserName, "", "pw", false,
       kSingleUserName, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Case);
    GlobalLocalAccounts().Clear();
    TLocalAccountRef account = MakeLocalAccount(row.StoredUser, row.StoredPassword);
    StartServer().SetAcceptAnyLocal(row.AnyLocal);
    std::vector<Pop3Step> steps = LoginSteps("bob", row.Given);
    steps.push_back({"QUIT", "1"});
    const std::vector<std::string> lines =
        Dialogue(steps, row.OtherUser ? asNobody : std::vector<std::string>{});
    ASSERT_GE(lines.size(), 3u);
    if (row.Accepted)
      EXPECT_EQ(lines[2], "+OK " + std::string(row.UserAfter) + " successfully logged in.");
    else
      EXPECT_EQ(lines[2], "-ERR Sorry bob bad user id or password");
    EXPECT_EQ(account->BadPopPasswordCount.load(), row.Accepted ? 0 : 1);
    EXPECT_EQ(account->UserId(), row.UserAfter);
    EXPECT_EQ(account->Password(), row.PasswordAfter);
    FServer.reset();
  }
}

// A server restricted to local peers refuses a peer of another network
// namespace before its banner; over the connection limit only peers of other
// machines are refused. Runs in a network namespace of its own with a
// second one behind a veth pair.
TEST_F(Pop3Server, PeersOfOtherMachinesAreRefusedBeforeTheBanner) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"ip", "netns", "add", "far"},
           {"ip", "link", "add", "near0", "type", "veth", "peer", "name", "far0", "netns", "far"},
           {"ip", "addr", "add", "10.77.0.1/24", "dev", "near0"},
           {"ip", "link", "set", "near0", "up"},
           {"ip", "netns", "exec", "far", "ip", "addr", "add", "10.77.0.2/24", "dev", "far0"},
           {"ip", "netns", "exec", "far", "ip", "link", "set", "far0", "up"},
           {"ip", "netns", "exec", "far", "ip", "link", "set", "lo", "up"}}) {
    const test::CommandResult result = test::RunCommand(command);
    ASSERT_EQ(result.ExitCode, 0) << command[2] << ": " << result.Output;
  }
  const std::vector<std::string> far = {"ip", "netns", "exec", "far"};
  MakeLocalAccount("bob", "secret");
  // This machine's own addresses count as local, even on another interface.
  TPop3Server& server = StartServer();
  server.SetRestrictToLocalHost(true);
  EXPECT_EQ(Dialogue({{std::nullopt, "E"}}, far, "10.77.0.1"),
            (std::vector<std::string>{std::string(kPop3LocalOnly), kPop3SignOffLine, "<EOF>"}));
  EXPECT_EQ(Dialogue({{std::nullopt, "1"}, {"QUIT", "1"}}, {}, "10.77.0.1"),
            (std::vector<std::string>{kPop3Banner, "+OK "}));
  server.SetRestrictToLocalHost(false);
  server.SetMaxConnections(0);
  EXPECT_EQ(Dialogue({{std::nullopt, "E"}}, far, "10.77.0.1"),
            (std::vector<std::string>{std::string(kPop3MaxConnections), kPop3SignOffLine,
                                      "<EOF>"}));
  EXPECT_EQ(Dialogue({{std::nullopt, "1"}, {"QUIT", "1"}}),
            (std::vector<std::string>{kPop3Banner, "+OK "}));
  test::RunCommand({"ip", "netns", "del", "far"});
}

// A message whose UIDL its account records as deleted is what a QUIT left
// behind when it was cut off after saving the states: every mailbox walk and
// the store's start-up recovery remove it, keeping the state for the
// download.
TEST_F(Pop3Server, LeftoversOfAnInterruptedQuitAreRemovedNotListed) {
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef remote = local->RemoteAccounts->Add();
  remote->SetUserId("bob");
  std::vector<TEmailMsgRef> messages = AddFive(remote);
  remote->SetUidlStatus("u2", us_Deleted);
  remote->SetUidlStatus("u4", us_Deleted);
  // One of them had been held already.
  ASSERT_TRUE(Repository().SendToPendhold(messages[3], "held"));
  StartServer().SetAcceptAnyLocal(true);
  std::vector<Pop3Step> steps = LoginSteps("bob", "secret");
  steps.push_back({"UIDL", "M"});
  steps.push_back({"QUIT", "1"});
  const std::vector<std::string> lines = Dialogue(steps);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end() - 1),
            (std::vector<std::string>{
                "+OK there are 3 messages in mail drop. Unique-id listing follows.", "1 u1",
                "2 u3", "3 u5", "."}));
  EXPECT_EQ(Subjects(Processed()), (std::vector<std::string>{"m1", "m3", "m5"}));
  EXPECT_EQ(remote->GetUidlStatus("u2"), us_Deleted);
  EXPECT_EQ(Held().Count(), 1);
  EXPECT_EQ(GetMailStore().Recover(), 1);
  EXPECT_EQ(Held().Count(), 0);
  EXPECT_FALSE(std::filesystem::exists(messages[3]->GetFileName()));
  EXPECT_EQ(remote->GetUidlStatus("u4"), us_Deleted);
}

// A web-mail login is judged by the service: a new account is made only
// after its test login, and a known account's password is replaced only
// after the service accepted the new one (until web-mail exists, it accepts
// nothing).
TEST_F(Pop3Server, WebmailLoginsAreJudgedByTheService) {
  TLocalAccountRef local = MakeLocalAccount("bob", "secret");
  TRemoteAccountRef known = local->RemoteAccounts->Add();
  known->SetHost("Hotmail", false);
  known->SetUserId("joe");
  known->SetPassword("old");
  StartServer();
  const std::string refused =
      std::string("-ERR Sorry, webmail rejected credentails with ") + kWebmailUnavailable;
  struct Row {
    const char* User;
    const char* Password;
    std::string Reply;
  } rows[] = {
      {"joe_hotmail", "new", refused},
      {"amy_msn", "pw", refused},
      {"joe_hotmail", "old", "+OK bob successfully logged in."},
      // A suffix in the first two characters is no web-mail suffix.
      {"j_hotmail", "secret", "+OK bob successfully logged in."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.User);
    std::vector<Pop3Step> steps = LoginSteps(row.User, row.Password);
    steps.push_back({"QUIT", "1"});
    const std::vector<std::string> lines = Dialogue(steps);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], row.Reply);
  }
  EXPECT_EQ(known->Password(), "old");
  EXPECT_EQ(local->RemoteAccounts->Count(), 1);
}

}  // namespace
}  // namespace halvorn
