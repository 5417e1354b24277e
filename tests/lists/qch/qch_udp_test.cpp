// The UDP report path against a fake service on 127.0.0.1: reports arrive
// with the program's identity, polled stop codes replace the global ones
// and nothing else does, a sender that finds another one sending queues,
// and a service host that cannot be found is a quiet, logged failure.
#include "lists/qch/qch_udp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "foundation/log/log_sink.h"
#include "lists/qch/qch_identity.h"
#include "lists/qch/qch_service.h"
#include "message/repository_test_support.h"
#include "support/qch_fake_service.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::LogRecorder;
using test::QchFakeService;

class QchUdp : public ::testing::Test {
 protected:
  void Start(const std::string& script) {
    FFake = std::make_unique<QchFakeService>(script);
    ASSERT_TRUE(FFake->Ok()) << FFake->Error();
    FScope = std::make_unique<ScopedQchServiceForTests>(FFake->Host(), FFake->TcpPort(),
                                                        FFake->UdpPort());
  }
  // Sends a report and waits until the fake logged it (its answer is on its
  // way then).
  void SendAndWait(const std::string& text) {
    const int before = FFake->Count("udp");
    QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, text));
    ASSERT_TRUE(test::Eventually([&] { return FFake->Count("udp") > before; }));
  }

  std::unique_ptr<QchFakeService> FFake;
  std::unique_ptr<ScopedQchServiceForTests> FScope;
};

TEST_F(QchUdp, ReportsArriveWithTheProgramsIdentity) {
  Start("{}");
  SetQchIdentity(31337, "key");
  auto report = MakeQchUdpReport(kQchUdpTestsDone, "!compressed");
  const std::string bytes = report->Bytes();
  QchUdpSend(std::move(report));
  ASSERT_TRUE(test::Eventually([&] { return FFake->Count("udp") == 1; }));
  const auto event = FFake->EventsOf("udp")[0];
  EXPECT_EQ(event.at("kind"), "4");
  EXPECT_EQ(event.at("user"), "31337");
  EXPECT_EQ(event.at("hex"), test::HexOf(bytes));
}

TEST_F(QchUdp, TheSendPathPollsAtMostEveryFiveSeconds) {
  Start(R"({"udp": [[{"stopcodes": {"bits": {"160": 1}}}]]})");
  // The first send polls (too early for the answer to its own report), the
  // next one within 5000 ms does not.
  SendAndWait("first");
  SendAndWait("second");
  EXPECT_FALSE(QchStopCodes()->GetBit(160));
  // The answer waited all along.
  auto received = QchUdpReceive(2000);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->Kind(), kQchUdpStopCodes);
}

TEST_F(QchUdp, PolledStopCodesReplaceTheGlobalOnes) {
  Start(R"({"udp": [[{"stopcodes": {"bits": {"160": 1}, "ints": {"23": 5}}}]]})");
  SetQchUdpPollIntervalForTests(0);
  SendAndWait("first");
  SendAndWait("second");
  EXPECT_TRUE(QchStopCodes()->GetBit(160));
  EXPECT_EQ(QchStopCodes()->TransUdpMin(), 5);
  EXPECT_TRUE(QchStopCodes()->TransSendSomeUdp());
}

TEST_F(QchUdp, NothingButWholeStopCodesFromTheServiceReplacesThem) {
  TQchUdpMsg kind0;
  TStopCodesQchUdpMsg valid;
  valid.SetBit(160, true);
  auto other = [](std::int32_t kind) {
    TQchUdpMsg msg;
    msg.SetInt(kQchUdpKindOffset, kind);
    msg.SetDataSize(48);
    return test::HexOf(msg.Bytes());
  };
  const std::string hostile[] = {
      // Stop codes cut short: every switch would read off.
      R"([{"raw": ")" + test::HexOf(valid.Bytes().substr(0, 38)) + R"("}])",
      R"([{"raw": ")" + other(0) + R"("}])",
      R"([{"raw": ")" + other(2) + R"("}])",
      R"([{"raw": ")" + other(3) + R"("}])",
      R"([{"raw": ")" + other(12) + R"("}])",
      // Whole stop codes, but from another port: the socket never sees them.
      R"([{"other_port": true}, {"stopcodes": {"bits": {"160": 1}}}])",
  };
  std::string script = R"({"udp": [)";
  for (const std::string& answer : hostile) script += answer + ",[],";
  script += R"([{"stopcodes": {"bits": {"160": 1}}}]]})";
  Start(script);
  SetQchUdpPollIntervalForTests(0);
  LogRecorder log;
  const auto defaults = QchStopCodes();
  for (const std::string& answer : hostile) {
    SCOPED_TRACE(answer);
    SendAndWait("provokes");
    SendAndWait("polls");
    EXPECT_EQ(QchStopCodes(), defaults);
  }
  bool logged = false;
  for (const auto& record : LogRecorder::Records())
    logged = logged || record.Text.find("Stop codes from a polled datagram are not taken") == 0;
  EXPECT_TRUE(logged);
  SendAndWait("provokes");
  SendAndWait("polls");
  EXPECT_TRUE(QchStopCodes()->GetBit(160));
}

// Holds the UDP lock on a thread of its own for its scope, as a sender
// busy on another thread does.
class TUdpLockHolder {
 public:
  TUdpLockHolder()
      : FThread([this] {
          TCriticalSectionGuard guard(QchUdpLockForTests());
          FTaken.set_value();
          FRelease.get_future().wait();
        }) {
    FTaken.get_future().wait();
  }
  ~TUdpLockHolder() {
    FRelease.set_value();
    FThread.join();
  }

 private:
  std::promise<void> FTaken;
  std::promise<void> FRelease;
  std::thread FThread;
};

TEST_F(QchUdp, ASenderThatFindsTheLockTakenQueues) {
  Start("{}");
  {
    TUdpLockHolder busy;
    for (const char* text : {"0", "1", "2"}) QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, text));
    EXPECT_EQ(QchUdpQueueCount(), 3u);
  }
  // The next send takes the queue along, first.
  QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "last"));
  EXPECT_EQ(QchUdpQueueCount(), 0u);
  ASSERT_TRUE(test::Eventually([&] { return FFake->Count("udp") == 4; }));
  std::vector<std::string> texts;
  for (const auto& event : FFake->EventsOf("udp")) texts.push_back(event.at("hex").substr(40));
  EXPECT_EQ(texts, (std::vector<std::string>{test::HexOf("0"), test::HexOf("1"), test::HexOf("2"),
                                             test::HexOf("last")}));

  LogRecorder log;
  {
    TUdpLockHolder busy;
    for (int i = 0; i < 1005; ++i)
      QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, std::to_string(i)));
    EXPECT_EQ(QchUdpQueueCount(), kMaxQchUdpQueue);
  }
  int full = 0;
  for (const auto& record : LogRecorder::Records())
    full += record.Text.find("queue of reports to the central service is full") != std::string::npos;
  EXPECT_EQ(full, 1);
}

TEST_F(QchUdp, AnUnknownServiceHostIsAQuietFailure) {
  // No /etc/hosts line names it, and DNS is never asked for it.
  ScopedQchServiceForTests scope("qch.halvorn.invalid", 6778, 6778);
  LogRecorder log;
  auto codes = std::make_shared<TStopCodesQchUdpMsg>();
  codes->SetInt(TStopCodesQchUdpMsg::kTransUdpMinOffset, 5);
  SetQchStopCodes(codes);
  QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "x"));
  QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "y"));
  EXPECT_FALSE(QchUdpReceive(1));
  // A failed send stops the UDP reports the stop codes asked for.
  EXPECT_EQ(QchStopCodes()->TransUdpMin(), 11);
  EXPECT_FALSE(QchStopCodes()->TransSendSomeUdp());
  int lines = 0;
  for (const auto& record : LogRecorder::Records()) lines += record.Text == "Central service host not found";
  EXPECT_EQ(lines, 1);
}

}  // namespace
}  // namespace halvorn
