#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/qt_test_app.h"
#include "platform/qt_window_messages.h"
#include "support/test_support.h"

namespace halvorn::platform {
namespace {

std::string OwnUserName() {
  passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : std::to_string(geteuid());
}

bool CloseOnExec(std::intptr_t fd) {
  int flags = fcntl(static_cast<int>(fd), F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

// Sends raw bytes to the socket and answers what comes back before the
// other side hangs up (empty when it closes without answering).
std::string RawExchange(const std::string& path, const std::string& bytes) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "<no connection>";
  }
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string reply;
  for (;;) {
    pollfd waiter{fd, POLLIN, 0};
    if (poll(&waiter, 1, 5000) != 1) {
      reply += "<time-out>";
      break;
    }
    char buffer[64];
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return reply;
}

class Counter : public QObject {
 public:
  std::vector<std::uint32_t> Msgs;
  bool event(QEvent* event) override {
    if (event->type() != WindowMessageEvent::EventType()) return QObject::event(event);
    auto* message = static_cast<WindowMessageEvent*>(event);
    EXPECT_EQ(message->WParam(), 0u);
    EXPECT_EQ(message->LParam(), 0u);
    Msgs.push_back(message->Msg());
    return true;
  }
};

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }
  test::TempFolder FRuntime = test::TempFolder::ForSockets();
  test::ScopedEnv FEnv{"XDG_RUNTIME_DIR", FRuntime.Path()};
};

TEST_F(SingleInstanceTest, NameKeepsOnlySafeBytes) {
  const std::string user = OwnUserName();
  struct Row {
    const char* Title;
    const char* Key;
    std::string Expected;
  } rows[] = {
      {"Halvorn", "0123456789ab", "Halvorn-" + user + "-0123456789ab"},
      {"Hal vorn/../x", "k", "Hal_vorn_.._x-" + user + "-k"},
      {"\xE9t\xE9", "", "_t_-" + user + "-"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Title);
    EXPECT_EQ(MakeSingleInstanceName(row.Title, row.Key), row.Expected);
  }
}

TEST_F(SingleInstanceTest, FolderIsTheRuntimeFolderOrTheTemporaryOne) {
  std::string made = FRuntime.Sub("not/yet");
  {
    test::ScopedEnv env("XDG_RUNTIME_DIR", made + "/");
    EXPECT_EQ(SingleInstanceFolder("n"), made);
    EXPECT_EQ(access(made.c_str(), W_OK), 0) << "missing folder is created";
  }
  test::ScopedEnv tmp("TMPDIR", FRuntime.Path());
  {
    test::ScopedEnv env("XDG_RUNTIME_DIR", "relative/run");
    EXPECT_EQ(SingleInstanceFolder("n"), FRuntime.Path());
  }
  {
    test::ScopedEnv env("XDG_RUNTIME_DIR", "");
    EXPECT_EQ(SingleInstanceFolder("n"), FRuntime.Path());
  }
  // A socket path that would not fit a socket address falls back to /tmp.
  EXPECT_EQ(SingleInstanceFolder(std::string(120, 'n')), "/tmp");
}

TEST_F(SingleInstanceTest, OneHolderAtATimeAndTheLockOutlivesNoHolder) {
  std::string name = "guard-test";
  auto first = std::make_unique<SingleInstanceGuard>(name);
  ASSERT_TRUE(first->Acquire()) << first->ErrorText();
  EXPECT_TRUE(first->Held());
  EXPECT_FALSE(first->AlreadyExists());
  EXPECT_TRUE(first->ErrorText().empty()) << first->ErrorText();
  EXPECT_TRUE(CloseOnExec(first->LockDescriptor()));
  ASSERT_GE(first->ServerDescriptor(), 0);
  EXPECT_TRUE(CloseOnExec(first->ServerDescriptor()));
  EXPECT_EQ(test::ReadFileBytes(first->LockPath()), std::to_string(getpid()) + "\n");

  SingleInstanceGuard second(name);
  EXPECT_FALSE(second.Acquire());
  EXPECT_TRUE(second.AlreadyExists());
  EXPECT_FALSE(second.Held());
  EXPECT_FALSE(second.Acquire()) << "a second call answers the first result";

  std::string socketPath = first->SocketPath();
  first.reset();
  EXPECT_NE(access(socketPath.c_str(), F_OK), 0) << "socket file removed";
  // A file left where the socket goes (a crashed holder's) does not stop
  // the next holder from listening.
  ASSERT_TRUE(test::WriteFileBytes(socketPath, "stale"));
  SingleInstanceGuard third(name);
  ASSERT_TRUE(third.Acquire());
  EXPECT_GE(third.ServerDescriptor(), 0) << third.ErrorText();
}

// A name too long for a socket even in /tmp: the program runs alone, and the
// reason names the path instead of a bare "name error".
TEST_F(SingleInstanceTest, ASocketPathTooLongIsReportedWithThePath) {
  SingleInstanceGuard guard(std::string(120, 'n'));
  const std::string lockPath = guard.LockPath();
  EXPECT_TRUE(guard.Acquire());
  EXPECT_TRUE(guard.Held());
  EXPECT_LT(guard.ServerDescriptor(), 0);
  EXPECT_NE(guard.ErrorText().find("too long"), std::string::npos) << guard.ErrorText();
  EXPECT_NE(guard.ErrorText().find(guard.SocketPath()), std::string::npos) << guard.ErrorText();
  ::unlink(lockPath.c_str());
}

TEST_F(SingleInstanceTest, ServerPostsOnlyWellFormedUserMessages) {
  SingleInstanceGuard guard("server-test");
  ASSERT_TRUE(guard.Acquire());
  Counter counter;
  WindowHandle window = RegisterWindow(&counter, "TMainQuorForm");
  struct Row {
    const char* Name;
    std::string Request;
    std::string Reply;
  } rows[] = {
      {"restore", "POST TMainQuorForm 1170\n", "OK\n"},
      {"unknown class", "POST TOtherForm 1170\n", "NONE\n"},
      {"below user messages", "POST TMainQuorForm 16\n", ""},
      {"above user messages", "POST TMainQuorForm 32768\n", ""},
      {"not a number", "POST TMainQuorForm 11x0\n", ""},
      {"huge number", "POST TMainQuorForm 99999999999999999999\n", ""},
      {"bad verb", "SEND TMainQuorForm 1170\n", ""},
      {"bad class bytes", "POST TMain/Form 1170\n", ""},
      {"no line end, too long", std::string(300, 'P'), ""},
      {"line end after 128 bytes", "POST TMainQuorForm 1170" + std::string(200, ' ') + "\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    auto reply = std::async(std::launch::async, RawExchange, guard.SocketPath(), row.Request);
    ASSERT_TRUE(test::RunEventsUntil(
        [&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        10000));
    EXPECT_EQ(reply.get(), row.Reply);
  }
  QCoreApplication::sendPostedEvents(&counter);
  EXPECT_EQ(counter.Msgs, std::vector<std::uint32_t>{1170});

  // A client that says nothing is dropped after its time-out.
  auto silent = std::async(std::launch::async, RawExchange, guard.SocketPath(), std::string());
  ASSERT_TRUE(test::RunEventsUntil(
      [&] { return silent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      10000));
  EXPECT_EQ(silent.get(), "");
  UnregisterWindow(window);
}

TEST_F(SingleInstanceTest, NobodyToPostTo) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PostToInstance("nobody-runs", "TMainQuorForm", 0x492, 2000));
  // Without a lock holder there is nothing to wait for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));

  // A process holding the guard never reaches itself through its socket.
  SingleInstanceGuard guard("self-test");
  ASSERT_TRUE(guard.Acquire());
  EXPECT_FALSE(PostToWindowClass("TMainQuorForm", 0x492));
}

}  // namespace
}  // namespace halvorn::platform
