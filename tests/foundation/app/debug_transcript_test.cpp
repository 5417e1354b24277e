#include "foundation/app/debug_transcript.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/app/log_capture.h"
#include "foundation/files/folder_test_env.h"
#include "foundation/time/clock.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/app/module_startup.h"
#include "foundation/files/registry_settings.h"
#include "foundation/text/string_list.h"
#include "platform/main_thread.h"
#include "platform/thread_identity.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ScopedEnv;

TEST(TranscriptLineTextTest, CutsLongTextsAndMarksLineBreaks) {
  const std::string sixHundred(600, 'x');
  const std::string fiveHundred(500, 'y');
  struct Row {
    std::string text;
    std::string prefix;
    std::string expected;
  } rows[] = {
      {"plain", "", "plain"},
      {"a\r\nb\nc\rd", "", "a<CRLF>b<LF>c<CR>d"},
      {"\n\r", "", "<LF><CR>"},
      {"\r\r\n", "", "<CR><CRLF>"},
      {fiveHundred, "", fiveHundred},
      {sixHundred, "", "TRUNCATED(600bytes):" + std::string(500, 'x')},
      // The prefix goes in front of the cut text, and breaks are marked last.
      {sixHundred, ".", ".TRUNCATED(600bytes):" + std::string(500, 'x')},
      // A cut between CR and LF leaves a lone CR.
      {std::string(499, 'z') + "\r\nrest", ",",
       ",TRUNCATED(505bytes):" + std::string(499, 'z') + "<CR>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 40));
    EXPECT_EQ(TranscriptLineText(row.text, row.prefix), row.expected);
  }
}

TEST(TranscriptRecordTest, ItemsInOrderWithEmptyValuesLeftOut) {
  TTranscriptLine line;
  line.Source = "QchUdp";
  line.Text = "unknown kind 7";
  line.Level = 9;
  line.Time = 0.5;
  line.ThreadId = 3;
  line.ProcessId = 4000000000u;
  line.ThreadCpu = 12;
  EXPECT_EQ(BuildTranscriptRecord(line),
            "S=QchUdp,\"T=unknown kind 7\",D=9,Ti=1073741823,I=3,P=4000000000,TT=12");

  line.Source.clear();
  line.Text = "say \"hi\",";
  line.Error = true;
  line.HasMemory = true;
  line.TotalAllocated = 1;
  line.TotalUncommitted = 2;
  line.TotalCommitted = 3;
  line.TotalFree = 4;
  line.FreeSmall = 5;
  line.FreeBig = 6;
  line.HeldBack = 7;
  line.Overhead = 8;
  EXPECT_EQ(BuildTranscriptRecord(line),
            "\"T=say \"\"hi\"\",\",D=9,E=1,Ti=1073741823,I=3,P=4000000000,TT=12,"
            "TA=1,TU=2,TC=3,TF=4,FS=5,FB=6,UU=7,OH=8");
}

// A viewer bound at the transcript's socket in a private runtime folder.
class TranscriptViewerTest : public test::FolderEnvTest {
 protected:
  TranscriptViewerTest() : FRuntime("XDG_RUNTIME_DIR", FRunFolder.Path()) {
    SetTranscriptBeepHook([this] { ++FBeeps; });
  }
  ~TranscriptViewerTest() override {
    if (FViewer >= 0) ::close(FViewer);
    SetTranscriptBeepHook(nullptr);
    InWindowProc.store(false);
    LoadTranscriptSettings();
  }

  void BindViewer(int receiveBuffer = 0) {
    FViewer = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(FViewer, 0);
    if (receiveBuffer > 0) {
      ::setsockopt(FViewer, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    const std::string path = TranscriptViewerSocketPath();
    ASSERT_EQ(path.rfind(FRunFolder.Path() + "/TTranscriptClient-", 0), 0u) << path;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(FViewer, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }

  // Every datagram waiting at the viewer, without waiting for more.
  std::vector<std::string> Received() {
    std::vector<std::string> result;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(FViewer, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n < 0) break;
      result.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return result;
  }

  static TStringList Items(const std::string& record) {
    TStringList items;
    items.SetCommaText(record);
    return items;
  }

  test::TempFolder FRunFolder = test::TempFolder::ForSockets();
  ScopedEnv FRuntime;
  int FViewer = -1;
  std::atomic<int> FBeeps{0};
};

TEST_F(TranscriptViewerTest, ViewerReceivesTheRecordOfEachLine) {
  BindViewer();
  LoadTranscriptSettings();
  const TDateTime moment = 46000.25;
  ScopedClockForTests clock(moment);
  EXPECT_TRUE(TranscriptLog("QchUdp", "first\r\nsecond\nthird", 7, false));
  EXPECT_TRUE(TranscriptLog("QchUdp", "bad", 200, true));

  const std::vector<std::string> got = Received();
  ASSERT_EQ(got.size(), 2u);
  const std::string tail = ",Ti=" + std::to_string(TimeOfDayToInt(moment)) +
                           ",I=" + std::to_string(platform::CurrentThreadId()) +
                           ",P=" + std::to_string(::getpid()) + ",TT=";
  EXPECT_EQ(got[0].rfind("S=QchUdp,T=first<CRLF>second<LF>third,D=7" + tail, 0), 0u) << got[0];
  EXPECT_EQ(got[1].rfind("S=QchUdp,T=bad,D=200,E=1" + tail, 0), 0u) << got[1];
  const TStringList items = Items(got[1]);
  EXPECT_EQ(items.Count(), 8);
  EXPECT_EQ(items.Values("TA"), "");
}

TEST_F(TranscriptViewerTest, RegistrySwitchesDecideWhatIsSentAndWhatBeeps) {
  BindViewer();
  struct Row {
    const char* name;
    bool sendAnything, errorsOnly, memory;
    int beepLevel;
    std::uint8_t level;
    bool error;
    bool sent, beeps;
  } rows[] = {
      {"defaults", true, false, false, 0, 5, false, true, false},
      {"level 0 never", true, false, false, 0, 0, true, false, false},
      {"master switch off", false, false, false, 0, 9, true, false, false},
      {"errors only, no error", true, true, false, 1, 9, false, false, false},
      {"errors only, error", true, true, false, 0, 9, true, true, false},
      {"memory figures", true, false, true, 0, 5, false, true, false},
      {"beep at level", true, false, false, 4, 4, true, true, true},
      {"below beep level", true, false, false, 4, 3, true, true, false},
      {"beep needs error", true, false, false, 4, 9, false, true, false},
      {"beeps though not sent", false, false, false, 2, 3, true, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(RegWriteBool("Transcript", "TransSendAnything", row.sendAnything));
    ASSERT_TRUE(RegWriteBool("Transcript", "TransSendErrorsOnly", row.errorsOnly));
    ASSERT_TRUE(RegWriteBool("Transcript", "TransSendMemory", row.memory));
    ASSERT_TRUE(RegWriteInteger("Transcript", "TransBeepOnErrorLevel", row.beepLevel));
    LoadTranscriptSettings();
    FBeeps = 0;
    EXPECT_TRUE(TranscriptLog("Test", "line", row.level, row.error));
    const std::vector<std::string> got = Received();
    EXPECT_EQ(got.size(), row.sent ? 1u : 0u);
    EXPECT_EQ(FBeeps.load(), row.beeps ? 1 : 0);
    if (!got.empty()) {
      const TStringList items = Items(got[0]);
      const int memoryItems = row.memory ? 8 : 0;
      EXPECT_EQ(items.Count(), (row.error ? 8 : 7) + memoryItems) << got[0];
      if (row.memory) {
        EXPECT_EQ(items.Names(items.Count() - 8), "TA");
        EXPECT_EQ(items.Names(items.Count() - 1), "OH");
      }
    }
  }
}

TEST_F(TranscriptViewerTest, MainWindowMarksAndCommands) {
  BindViewer();
  LoadTranscriptSettings();
  platform::MarkMainThread();
  InWindowProc.store(true);
  TranscriptLog("Main", "from main", 5, false);
  std::thread([] { TranscriptLog("Worker", "from worker", 5, false); }).join();
  InWindowProc.store(false);
  TranscriptLog("Main", "outside", 5, false);
  TranscriptPostCommand(0, 1);
  TranscriptPostCommand(4294967295u, 255);

  const std::vector<std::string> got = Received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(Items(got[0]).Values("T"), ".from main");
  EXPECT_EQ(Items(got[1]).Values("T"), ",from worker");
  EXPECT_EQ(Items(got[2]).Values("T"), "outside");
  EXPECT_EQ(got[3], "#1182 0 1");
  EXPECT_EQ(got[4], "#1182 4294967295 255");
}

TEST_F(TranscriptViewerTest, NoViewerMeansNothingSentAndNoFailure) {
  LoadTranscriptSettings();
  EXPECT_TRUE(TranscriptLog("Test", "nobody listens", 5, true));
  TranscriptPostCommand(0, 1);
  // A socket file left by a viewer that has gone is no viewer either.
  BindViewer();
  ::close(FViewer);
  FViewer = -1;
  EXPECT_TRUE(TranscriptLog("Test", "viewer gone", 5, true));
  TranscriptPostCommand(0, 1);
}

TEST_F(TranscriptViewerTest, SocketOfAnotherUserIsNoViewer) {
  BindViewer();
  LoadTranscriptSettings();
  const std::string path = TranscriptViewerSocketPath();
  if (::chown(path.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) != 0) {
    GTEST_SKIP() << "cannot give the socket to another user";
  }
  EXPECT_TRUE(TranscriptLog("Test", "private", 5, false));
  TranscriptPostCommand(0, 1);
  EXPECT_TRUE(Received().empty());
  ASSERT_EQ(::chown(path.c_str(), ::geteuid(), static_cast<gid_t>(-1)), 0);
  TranscriptLog("Test", "mine again", 5, false);
  EXPECT_EQ(Received().size(), 1u);
}

// A runtime folder so deep that the viewer's socket name cannot be formed:
// the log says so, naming the path, and lines are still dropped quietly.
TEST_F(TranscriptViewerTest, ASocketPathTooLongIsLoggedWithThePath) {
  test::LogCapture log;
  const std::string deep = FRunFolder.Path() + "/" + std::string(100, 'd');
  ScopedEnv runtime("XDG_RUNTIME_DIR", deep);
  LoadTranscriptSettings();
  const std::string path = TranscriptViewerSocketPath();
  ASSERT_GT(path.size(), 107u);
  EXPECT_TRUE(log.Contains("Socket path too long (" + std::to_string(path.size()) +
                           " bytes, at most 107): " + path))
      << log.Text();
  EXPECT_TRUE(TranscriptLog("Test", "dropped", 5, false));
}

TEST_F(TranscriptViewerTest, ViewerThatNeverReadsNeverBlocksTheSender) {
  BindViewer(4096);
  LoadTranscriptSettings();
  const std::string text(400, 'q');
  // Far more than the viewer's queue holds: a blocking send would hang here.
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(TranscriptLog("Flood", text, 5, false));
  const std::vector<std::string> got = Received();
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), 5000u);
  for (const std::string& record : got) EXPECT_EQ(Items(record).Values("T"), text);
}

TEST_F(TranscriptViewerTest, StackOverflowTextReachesTheHandling) {
  LoadTranscriptSettings();
  platform::MarkMainThread();
  int ended = 0;
  SetApplicationTerminateHook([&ended] { ++ended; });
  EXPECT_TRUE(TranscriptLog("Test", "EStackOverflow: Stack overflow", 5, true));
  EXPECT_TRUE(TranscriptLog("Test", "stack overflow", 5, true));  // case counts
  SetApplicationTerminateHook(nullptr);
  EXPECT_EQ(ended, 1);
}

}  // namespace
}  // namespace halvorn
