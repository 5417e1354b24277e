// The local POP3 server driven by real clients: scripted dialogues and
// Python's poplib on 127.0.0.1, clients of another user (setpriv), a peer in
// a second network namespace.
#include "transport/pop3_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/threads/heartbeat.h"
#include "message/uidl_states.h"
#include "support/network_namespace.h"
#include "transport/pop3_test_support.h"
#include "transport/pop3_texts.h"

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

class Pop3Server : public test::Pop3Fixture {};

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
  ASSERT_EQ(FProcessed->Snapshot().size(), 2u);
  for (const TEmailMsgRef& msg : FProcessed->Snapshot()) EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
}

TEST_F(Pop3Server, QuitInTheFirstStateSignsOff) {
  StartServer();
  EXPECT_EQ(Dialogue({{std::nullopt, "1"}, {"QUIT", "E"}}),
            (std::vector<std::string>{"+OK Halvorn POP3 server ready", "+OK ",
                                      "Halvorn POP3 server signing off", "<EOF>"}));
}

}  // namespace
}  // namespace halvorn
