// The login check of a new account's server, against a real Dovecot and
// scripted peers on port 110 inside a network namespace of the test's own:
// each outcome of the shared login dialogue with its text, within the
// check's time, also when the main thread asks.
#include "transport/pop3_protocol.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "foundation/time/clock.h"
#include "platform/main_thread.h"
#include "support/dovecot_server.h"
#include "support/network_namespace.h"
#include "support/scripted_tcp_server.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::DovecotServer;
using test::ScriptedTcpServer;
using test::SilentListener;

TEST(Pop3LoginCheck, EachOutcomeHasItsTextWithinTheTime) {
  if (test::DovecotBinary().empty()) GTEST_SKIP() << "dovecot-pop3d is not installed";
  if (::getuid() != 0) GTEST_SKIP() << "needs root for a network namespace and port 110";
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);

  DovecotServer dovecot(110, {{"alice", "secret"}});
  ASSERT_TRUE(dovecot.Ok()) << dovecot.Error();
  // USER refused by a scripted server on another loopback address.
  ScriptedTcpServer refusesUser(R"(
def handle(conn):
    conn.sendall(b'+OK ready\r\n')
    conn.recv(100)
    conn.sendall(b'-ERR no such mailbox\r\n')
    conn.recv(100)
)",
                                110, "127.0.0.4");
  ASSERT_TRUE(refusesUser.Ok()) << refusesUser.Error();
  SilentListener silent("127.0.0.3", 110);
  ASSERT_TRUE(silent.Ok());

  struct Row {
    const char* User;
    const char* Password;
    const char* Host;
    std::string Expected;  // a prefix for server texts
  };
  const Row rows[] = {
      {"alice", "secret", "127.0.0.1", ""},
      {"alice", "wrong", "127.0.0.1", "server rejected pass with -ERR"},
      {"bob", "secret", "127.0.0.1", "server rejected pass with -ERR"},
      {"alice", "secret", "127.0.0.2", "Could not connect to 127.0.0.2"},
      {"alice", "secret", "127.0.0.3", "Timed out waiting on banner"},
      {"alice", "secret", "127.0.0.4", "server rejected userid with -ERR no such mailbox"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.User) + "/" + row.Password + "@" + row.Host);
    const std::int64_t start = SteadyMilliseconds();
    const std::string text = CheckPopLogin(row.User, row.Password, row.Host, 1500);
    if (row.Expected.empty())
      EXPECT_EQ(text, "");
    else
      EXPECT_EQ(text.substr(0, row.Expected.size()), row.Expected) << text;
    EXPECT_LT(SteadyMilliseconds() - start, 5000);
  }


  // On the main thread the check runs on a worker; one that runs out of
  // time never reads as success.
  platform::MarkMainThread();
  EXPECT_EQ(CheckPopLogin("alice", "secret", "127.0.0.1", 3000), "");
  EXPECT_FALSE(CheckPopLogin("alice", "secret", "127.0.0.3", 400).empty());
}

TEST(Pop3Lines, StuffingAndQuoting) {
  const struct {
    const char* Line;
    const char* Stuffed;
  } rows[] = {{"", ""}, {".", ".."}, {".x", "..x"}, {"x.", "x."}, {"..", "..."}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Line);
    EXPECT_EQ(DotStuffed(row.Line), row.Stuffed);
    EXPECT_EQ(DotUnstuffed(row.Stuffed), row.Line);
  }
  EXPECT_EQ(Quoted("LIST 1"), "\"LIST 1\"");
}

}  // namespace
}  // namespace halvorn
