#include "foundation/intercept/lsp_binding.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <optional>

#include "foundation/intercept/ip_mapping.h"
#include "foundation/app/log_capture.h"
#include "foundation/intercept/lsp_requests.h"
#include "lsp_test_support.h"

namespace halvorn {
namespace {

using test::InterceptFixture;
using test::RunHandlingEvents;

// 203.0.113.0/24 is set aside for documentation: with only loopback up it is
// unreachable, so a connection that is not redirected fails at once.
constexpr const char* kMadeUpServer = "203.0.113.5";

struct Request {
  std::uint32_t Msg;
  std::uintptr_t Pid;
  std::uintptr_t Address;
};

// Connects like a mail reader and prints what happened: the server's
// greeting, or the error's class and number.
std::string ClientScript(const std::string& host, int port, bool usePoplib) {
  std::string connect = usePoplib ? "    c = poplib.POP3(host, port, timeout=10)\n"
                                    "    print('WELCOME', c.getwelcome().decode())\n"
                                    "    c.quit()\n"
                                  : "    s = socket.create_connection((host, port), timeout=10)\n"
                                    "    print('CONNECTED')\n"
                                    "    s.close()\n";
  return "import os, poplib, socket, sys\n"
         "host, port = '" +
         host + "', " + std::to_string(port) +
         "\n"
         "print('PID', os.getpid())\n"
         "try:\n" +
         connect +
         "except OSError as e:\n"
         "    print('ERROR', type(e).__name__, e.errno)\n";
}

std::string Line(const std::string& output, const std::string& tag) {
  auto at = output.find(tag + " ");
  if (at == std::string::npos) return {};
  auto end = output.find('\n', at);
  return output.substr(at + tag.size() + 1,
                       end == std::string::npos ? std::string::npos : end - at - tag.size() - 1);
}

class InterceptEndToEnd : public InterceptFixture {
 protected:
  // The handler the main window will have, cut down to one fixed answer.
  enum class Answer { Leave, Block, Redirect };
  void UseHandler(Answer answer, std::uint16_t localPort = 0) {
    SetLspRequestHandler(
        [this, answer, localPort](std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t lParam) {
          FRequests.push_back({msg, wParam, lParam});
          auto* record = static_cast<std::uint8_t*>(LspGetRedirectTable());
          ASSERT_NE(record, nullptr);
          if (answer == Answer::Block) {
            std::memset(record + 2, 0, 6);
          } else if (answer == Answer::Redirect) {
            TIPMappingEntry entry;
            std::memcpy(&entry.Original, record, 16);
            entry.Redirected = entry.Original;
            entry.Redirected.Address = htonl(0x7f420709);  // 127.66.7.9
            entry.Redirected.Port = htons(localPort);
            entry.ProcessId = static_cast<std::uint32_t>(wParam);
            std::memcpy(record, &entry.Redirected, 16);
            IPMapping().Add(entry);
          }
        });
  }
  test::ProgramRun RunClient(const std::string& host, int port, bool underLibrary,
                             bool usePoplib = true) {
    std::vector<std::string> argv = {test::PythonPath(), "-c", ClientScript(host, port, usePoplib)};
    if (underLibrary) argv.insert(argv.begin(), Wrapper());
    return RunHandlingEvents(argv, KeyEnvironment());
  }
  std::vector<Request> FRequests;
};

TEST_F(InterceptEndToEnd, RedirectedPop3ReachesTheLocalServerWhichFindsTheOriginalDestination) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  std::mutex lock;
  std::optional<TIPMappingEntry> found;
  std::uint32_t peerSeen = 0;
  test::ScriptedServer server([&](int fd, std::uint32_t peer) {
    {
      std::lock_guard<std::mutex> guard(lock);
      peerSeen = peer;
      found = IPMapping().Take(MakeSockAddrIn(peer, 0));
    }
    test::SendText(fd, "+OK local server\r\n");
    if (test::ReadSocketLine(fd) == "QUIT") test::SendText(fd, "+OK bye\r\n");
  });
  ASSERT_TRUE(StartLspListener());
  UseHandler(Answer::Redirect, server.Port());

  test::ProgramRun run = RunClient(kMadeUpServer, 110, true);
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  EXPECT_EQ(Line(run.Output, "WELCOME"), "+OK local server") << run.Output;
  const std::uint32_t pid = static_cast<std::uint32_t>(std::stoul(Line(run.Output, "PID")));
  ASSERT_EQ(FRequests.size(), 1u);
  EXPECT_EQ(FRequests[0].Msg, WM_LSP_POP_REQUEST);
  EXPECT_EQ(FRequests[0].Pid, pid);
  EXPECT_EQ(FRequests[0].Address, inet_addr(kMadeUpServer)) << "LParam holds in_addr.s_addr";

  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(peerSeen, 0x7f420709u) << "the connection comes from the chosen loopback address";
  ASSERT_TRUE(found.has_value()) << "the server finds its entry by the peer address";
  EXPECT_EQ(found->ProcessId, pid);
  EXPECT_EQ(HostOrderAddress(found->Original), ntohl(inet_addr(kMadeUpServer)));
  EXPECT_EQ(HostOrderPort(found->Original), 110);
}

TEST_F(InterceptEndToEnd, BlockRefusesTheConnectionForBothKinds) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_TRUE(StartLspListener());
  UseHandler(Answer::Block);
  struct Row {
    int port;
    std::uint32_t msg;
  } rows[] = {{110, WM_LSP_POP_REQUEST}, {25, WM_LSP_SMTP_REQUEST}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    FRequests.clear();
    test::ProgramRun run = RunClient(kMadeUpServer, row.port, true, false);
    EXPECT_EQ(Line(run.Output, "ERROR"), "ConnectionRefusedError 111") << run.Output;
    ASSERT_EQ(FRequests.size(), 1u);
    EXPECT_EQ(FRequests[0].Msg, row.msg);
  }
}

TEST_F(InterceptEndToEnd, LeftAloneOrUnaskedConnectionsFailAsWithoutTheLibrary) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  const std::string plain = Line(RunClient(kMadeUpServer, 110, false).Output, "ERROR");
  ASSERT_EQ(plain, "OSError 101") << "with only loopback up the made-up server is unreachable";

  // Nobody listens: the library goes on at once.
  test::ProgramRun unheard = RunClient(kMadeUpServer, 110, true);
  EXPECT_EQ(Line(unheard.Output, "ERROR"), plain) << unheard.Output << unheard.ExitCode;

  ASSERT_TRUE(StartLspListener());
  UseHandler(Answer::Leave);
  test::ProgramRun left = RunClient(kMadeUpServer, 110, true);
  EXPECT_EQ(Line(left.Output, "ERROR"), plain) << left.Output;
  EXPECT_EQ(FRequests.size(), 1u);

  // Only ports 110 and 25 are asked about, even with a handler that blocks.
  UseHandler(Answer::Block);
  FRequests.clear();
  test::ProgramRun other = RunClient(kMadeUpServer, 143, true, false);
  EXPECT_EQ(Line(other.Output, "ERROR"), "OSError 101") << other.Output;
  EXPECT_TRUE(FRequests.empty());
}

TEST_F(InterceptEndToEnd, AProcessInTheIgnoreSlotIsNeverAsked) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_TRUE(StartLspListener());
  UseHandler(Answer::Block);
  auto* slot = static_cast<std::uint32_t*>(LspGetIgnorePid());
  ASSERT_NE(slot, nullptr);
  // The client puts its own pid into the shared slot before it connects,
  // like the program does for itself.
  std::string script =
      "import os, struct, socket\n"
      "with open('/dev/shm" +
      lsp::IgnorePidName(GetInstallDirKey()) +
      "', 'r+b') as f:\n"
      "    f.write(struct.pack('=I', os.getpid()))\n"
      "try:\n"
      "    socket.create_connection(('" +
      std::string(kMadeUpServer) +
      "', 110), timeout=10)\n"
      "except OSError as e:\n"
      "    print('ERROR', type(e).__name__, e.errno)\n";
  test::ProgramRun run =
      RunHandlingEvents({Wrapper(), test::PythonPath(), "-c", script}, KeyEnvironment());
  EXPECT_EQ(Line(run.Output, "ERROR"), "OSError 101") << run.Output;
  EXPECT_TRUE(FRequests.empty());
  EXPECT_NE(*slot, 0u) << "the slot is shared with the program";
}

TEST_F(InterceptEndToEnd, SelfTestPassesOnTheLibrarysAcknowledgementAlone) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  EXPECT_FALSE(LspSelfTest()) << "nobody listens for the acknowledgement";
  ASSERT_TRUE(StartLspListener());
  UseHandler(Answer::Leave);
  const std::uint64_t acks = LspTestAckCount();
  EXPECT_TRUE(LspSelfTest());
  EXPECT_GT(LspTestAckCount(), acks);
  ASSERT_FALSE(FRequests.empty());
  EXPECT_EQ(FRequests[0].Msg, WM_LSP_POP_REQUEST);
  EXPECT_EQ(FRequests[0].Address, 0u) << "a request without destination";

  SetLspProbePreloadForTests(false);
  EXPECT_FALSE(LspSelfTest()) << "a probe without the library acknowledges nothing";
  SetLspProbePreloadForTests(true);

  platform::UnregisterWindow(FWindow);
  FWindow = 0;
  EXPECT_FALSE(LspSelfTest()) << "no main window";
}

// Library files copied into a folder of the test's own, so installing and
// uninstalling never touch the build's copies.
class LspBinding : public InterceptFixture {
 protected:
  void CopyIn(const std::string& name) {
    std::filesystem::copy_file(std::string(HALVORN_LSP_FOLDER) + "/" + name, FFolder.Sub(name));
  }
  test::TempFolder FFolder;
};

TEST_F(LspBinding, InstallPutsTheWrapperBesideTheLibraryAndUninstallRemovesIt) {
  CopyIn(lsp::kLibraryFileName);
  SetLspFolderForTests(FFolder.Path());
  const std::string wrapper = FFolder.Sub(lsp::kWrapperFileName);
  EXPECT_EQ(LspVersion(), 6);
  EXPECT_NE(LspGetRedirectTable(), nullptr);
  EXPECT_EQ(LspInstalled(), 0);
  EXPECT_EQ(LspInstall(), 1);
  struct stat st {};
  ASSERT_EQ(stat(wrapper.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_EQ(test::ReadFileBytes(FFolder.Sub(lsp::kKeyFileName)), GetInstallDirKey() + "\n");
  EXPECT_EQ(test::ReadFileBytes(wrapper), test::ReadFileBytes(Wrapper()))
      << "the installed wrapper is the one the build leaves";
  EXPECT_EQ(LspInstalled(), 1);
  EXPECT_EQ(LspInstall(), -1) << "already installed";
  EXPECT_EQ(LspUninstall(), 1);
  EXPECT_FALSE(std::filesystem::exists(wrapper));
  EXPECT_EQ(LspInstalled(), 0);
  EXPECT_EQ(LspConfirmCurrentVersion(), 6);
}

TEST_F(LspBinding, AMissingLibraryIsRestoredFromItsBackup) {
  std::filesystem::copy_file(std::string(HALVORN_LSP_FOLDER) + "/" + lsp::kLibraryFileName,
                             LspBackupPath());
  SetLspFolderForTests(FFolder.Path());
  EXPECT_TRUE(LoadLspDll());
  EXPECT_TRUE(std::filesystem::exists(LspDllPath()));
  EXPECT_EQ(test::ReadFileBytes(LspDllPath()), test::ReadFileBytes(LspBackupPath()));
  EXPECT_EQ(LspVersion(), 6);
}

TEST_F(LspBinding, WithoutLibraryOrBackupEveryCallAnswersItsFailureValue) {
  SetLspFolderForTests(FFolder.Path());
  EXPECT_FALSE(LoadLspDll());
  EXPECT_EQ(LspVersion(), -1);
  EXPECT_EQ(LspGetRedirectTable(), nullptr);
  EXPECT_EQ(LspGetIgnorePid(), nullptr);
  EXPECT_EQ(LspInstalled(), 0);
  EXPECT_EQ(LspInstall(), 0);
  EXPECT_EQ(LspUninstall(), 0);
  EXPECT_EQ(LspConfirmCurrentVersion(), 0);
  EXPECT_FALSE(LspSelfTest());
  EXPECT_FALSE(RunLspInstaller()) << "there is no installer here";
}

// A runtime folder so deep that the request channel's socket name cannot be
// formed: the listener does not start, and the log names the path instead of
// the kernel's bare "invalid argument".
TEST_F(InterceptFixture, AListenerSocketPathTooLongIsLoggedWithThePath) {
  test::LogCapture log;
  test::TempFolder runtime = test::TempFolder::ForSockets();
  test::ScopedEnv deep("XDG_RUNTIME_DIR", runtime.Path() + "/" + std::string(100, 'd'));
  const std::string path = lsp::SocketPath(GetInstallDirKey());
  ASSERT_GT(path.size(), 107u);
  EXPECT_FALSE(StartLspListener());
  EXPECT_TRUE(log.Contains("Cannot listen for interception requests. Socket path too long (" +
                           std::to_string(path.size()) + " bytes, at most 107): " + path))
      << log.Text();
}

}  // namespace
}  // namespace halvorn
