// The "Check Return Address" test: which address it checks, how it judges
// and explains a check's record, what it stores, its network inputs, and a
// check thread whose message goes while its mail server stays silent.
#include "classify/valid_ret_addr_test.h"

#include <gtest/gtest.h>

#include <string>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/net/host_names.h"
#include "foundation/net/quor_client_socket.h"
#include "foundation/text/list_helpers.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "lists/network_tests.h"
#include "lists/phrases_list.h"
#include "simple_tests_support.h"
#include "support/scripted_tcp_server.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MessageFromBytes;
using test::StandardTrite;

const std::uint32_t kServerIP = StrToIP("203.0.113.9");

TValidEmailAddrRec Cached(const std::string& address, TEAddrCheckLevel level,
                          TEAddrResult result, std::uint8_t catchAll = 2) {
  TValidEmailAddrRec r;
  r.Address = address;
  r.Transcript = "10:00:00 - earlier <check> of " + address;
  r.MailServer = "mx.sender.test";
  r.MailServerIP = kServerIP;
  r.Level = level;
  r.Result = result;
  r.CatchAll = catchAll;
  return r;
}

std::string Message(const std::string& headers) {
  return headers + "To: me@here.test\r\nSubject: Hi\r\n\r\nBody\r\n";
}

class RetAddrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAddressCache();
    Test.SetName("Return address");
    Test.SetStandardTestNum(-1);
  }
  void TearDown() override { ClearAddressCache(); }

  TValidRetAddrTest Test;
  ScopedClockForTests Clock{EncodeDateTime(2026, 12, 11, 9, 8, 7)};
};

// Every record here comes from the cache, so no DNS or SMTP is asked: a
// check of an address whose cached outcome is final answers at once.
TEST_F(RetAddrTest, JudgesTheRecord) {
  struct Case {
    const char* Name;
    std::string Headers;
    std::vector<TValidEmailAddrRec> Cache;
    TEAddrCheckLevel TestLevel;
    bool Passes;
    TTrite Std725;
    std::string LR;
    std::string AA;
    bool Transcript;  // shown in the explanation
  };
  const Case cases[] = {
      {"valid via Reply-To", "Reply-To: r@sender.test\r\nFrom: f@sender.test\r\n",
       {Cached("r@sender.test", acl_RcptTo, ear_Valid), Cached("f@sender.test", acl_RcptTo,
                                                                 ear_PermError)},
       acl_RcptTo, true, kTriteYes, "32", "", true},
      {"From when no Reply-To", "From: f@sender.test\r\n",
       {Cached("f@sender.test", acl_RcptTo, ear_PermError)}, acl_RcptTo, false, kTriteNo, "33",
       "", true},
      {"no return address", "Date: Fri, 11 Dec 2026 09:00:00 +0000\r\n", {}, acl_Data, false,
       kTriteUnknown, "5", "", false},
      {"level 0, not cached", "From: f@sender.test\r\n", {}, acl_Cache, true, kTriteUnknown, "2",
       "", true},
      {"catch-all server", "From: f@sender.test\r\n",
       {Cached("f@sender.test", acl_Data, ear_Valid, 0)}, acl_Data, false, kTriteYes, "36", "1",
       false},
      {"temporary failure passes, 725 untouched", "From: f@sender.test\r\n",
       {Cached("f@sender.test", acl_RcptTo, ear_TransError)}, acl_RcptTo, true, kTriteUnknown,
       "34", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SetAddressCacheEntries(c.Cache);
    Test.SetTestLevel(c.TestLevel);
    TEmailMsgRef msg = MessageFromBytes(Message(c.Headers));
    EXPECT_EQ(Test.Evaluate(*msg, nullptr), c.Passes);
    EXPECT_EQ(StandardTrite(*msg, TESTNUM_INVALID_RETURN), c.Std725);
    const std::string code = Test.GetResultCode(msg->GetContentId());
    EXPECT_EQ(CommaTextValue(code, "LR"), c.LR);
    EXPECT_EQ(CommaTextValue(code, "AA"), c.AA);
    const Lines lines = ExplanationLines(Test);
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    EXPECT_NE(all.find(c.Passes ? "9 <br>email passed return address check."
                                : "9 <br>email failed return address check."),
              std::string::npos)
        << all;
    // The transcript is escaped and closed with the "Completed" line.
    EXPECT_EQ(all.find("earlier &lt;check&gt;") != std::string::npos ||
                  all.find("<br>09:08:07 - Checking email address") != std::string::npos,
              c.Transcript)
        << all;
    if (c.Transcript) {
      EXPECT_NE(all.find("09:08:07 - Completed"), std::string::npos) << all;
    }
    if (std::string(c.Name) == "no return address") {
      EXPECT_NE(all.find("9 <br>No return address, either \"Reply-To\" or \"From\" was found."),
                std::string::npos);
    }
    if (c.AA == "1") {
      EXPECT_NE(all.find("it's server claims to accept mail for any email address."),
                std::string::npos);
    }
    // A repeated evaluation of the same message answers the same at once.
    EXPECT_EQ(Test.Evaluate(*msg, nullptr), c.Passes);
  }
}

TEST_F(RetAddrTest, ApprovedSendersRescueATimeOut) {
  auto lists = std::make_shared<TPhrasesList>();
  auto old = GlobalPhrasesList();
  SetGlobalPhrasesList(lists);
  lists->GetBuiltInList(bplApprovedSenders)->Add("*@sender.test");
  SetAddressCacheEntries({Cached("f@sender.test", acl_RcptTo, ear_Timeout)});
  Test.SetTestLevel(acl_RcptTo);
  TEmailMsgRef msg = MessageFromBytes(Message("From: f@sender.test\r\n"));
  const bool passed = Test.Evaluate(*msg, nullptr);
  SetGlobalPhrasesList(old);
  EXPECT_TRUE(passed);
  EXPECT_EQ(Test.CheckRecord().Result, ear_TransError);
  EXPECT_EQ(StandardTrite(*msg, TESTNUM_INVALID_RETURN), kTriteUnknown);
  std::string all;
  for (const std::string& l : ExplanationLines(Test)) all += l + "\n";
  EXPECT_NE(all.find("We failed to confirm the address but since you have approved "),
            std::string::npos)
      << all;
}

TEST_F(RetAddrTest, NetworkTestsOffRecordANeverRunCheck) {
  TScopedNetworkTests off(false);
  Test.SetTestLevel(acl_Data);
  TEmailMsgRef msg = MessageFromBytes(Message("From: f@sender.test\r\n"));
  Test.Preprocess(*msg);
  EXPECT_FALSE(msg->GetAddressCheckThread());
  Test.Evaluate(*msg, nullptr);
  const std::string code = Test.GetResultCode(msg->GetContentId());
  EXPECT_EQ(CommaTextValue(code, "LR"), "2");
  const TVectorFloat inputs = Test.BuildNNInputs(code);
  EXPECT_EQ(inputs, TVectorFloat(TValidRetAddrTest::kInputs, 0.0));
  EXPECT_TRUE(AddressCacheEntries().empty());
}

TEST_F(RetAddrTest, SettingsDescribeAndInputs) {
  struct Stored {
    std::string Value;
    TEAddrCheckLevel Level;
  } stored[] = {{"3", acl_MXResolve}, {"12", acl_Data}, {"-1", acl_Data}, {"0", acl_Cache}};
  const std::string path = test::OutputFolder("RetAddrTest") + "/rules.ini";
  for (const Stored& s : stored) {
    SCOPED_TRACE(s.Value);
    {
      TQuorIniFile ini(path);
      ini.WriteString(Test.SectionName(), "TestLevel", s.Value);
      Test.LoadFromIni(ini);
    }
    EXPECT_EQ(Test.TestLevel(), s.Level);
  }
  // Saved, loaded and saved again: the same bytes.
  Test.SetTestLevel(acl_RcptTo);
  {
    TQuorIniFile ini(path);
    Test.SaveToIni(ini);
    ini.UpdateFile();
  }
  const std::string first = test::ReadFileBytes(path);
  TValidRetAddrTest loaded;
  loaded.SetName("Return address");
  {
    TQuorIniFile ini(path);
    loaded.LoadFromIni(ini);
    loaded.SaveToIni(ini);
    ini.UpdateFile();
  }
  EXPECT_EQ(loaded.TestLevel(), acl_RcptTo);
  EXPECT_EQ(test::ReadFileBytes(path), first);

  Test.SetTestLevel(acl_Cache);
  EXPECT_EQ(Test.Describe(), "The return address of the incoming email  if found in the cache");
  Test.SetTestLevel(acl_Data);
  EXPECT_EQ(Test.Describe(),
            "The return address of the incoming email has a valid format, and the mail server "
            "will accept mail body.");
  EXPECT_EQ(Test.GetTypeName(), "Check Return Address");
  TValidRetAddrTest unnamed;
  EXPECT_EQ(unnamed.Validate(), "the Test has no name");
  EXPECT_EQ(Test.Net().InputNames().front(), "RetAdr Cache/_Valid");
  EXPECT_EQ(Test.Net().InputNames().back(), "RetAdr Data/_Timeout");

  struct Inputs {
    std::string Code;
    int One;  // -1: all zero
  } inputs[] = {{"Pa=y,LR=32", 32}, {"Pa=y,LR=2", -1}, {"Pa=n,LR=36,AA=1", -1},
                {"Pa=n,LR=40", -1}, {"Pa=n,LR=-3", -1}, {"Pa=n,LR=x", 0}, {"Pa=n,LR=39", 39}};
  for (const Inputs& row : inputs) {
    SCOPED_TRACE(row.Code);
    TVectorFloat expected(TValidRetAddrTest::kInputs, 0.0);
    if (row.One >= 0) expected[static_cast<std::size_t>(row.One)] = 1.0;
    EXPECT_EQ(Test.BuildNNInputs(row.Code), expected);
  }
}

// A client that always reaches the scripted peer on the loopback, whatever
// address and port the check asks for.
class LoopbackClient : public TQuorClientSocket {
 public:
  explicit LoopbackClient(std::uint16_t port) : TQuorClientSocket("loopback"), FLoopPort(port) {}
  void SetHost(const std::string&) override { TQuorClientSocket::SetHost("127.0.0.1"); }
  void SetPort(int) override { TQuorClientSocket::SetPort(FLoopPort); }

 private:
  std::uint16_t FLoopPort;
};

// The message goes while its check waits on a silent server: the message's
// destructor returns within about a second, the abandoned check ends soon
// after, and the shared record outlives both.
TEST_F(RetAddrTest, MessageDestroyedWhileItsCheckWaits) {
  test::ScriptedTcpServer silent("def handle(conn):\n    time.sleep(30)\n");
  ASSERT_TRUE(silent.Ok()) << silent.Error();
  const std::uint16_t port = silent.Port();
  TScopedAddrCheckSocketMaker maker([port] { return std::make_unique<LoopbackClient>(port); });
  SetAddressCacheEntries({Cached("f@sender.test", acl_Format, ear_Timeout)});
  Test.SetTestLevel(acl_Data);
  TEmailMsgRef msg = MessageFromBytes(Message("From: f@sender.test\r\n"));
  Test.Preprocess(*msg);
  const TThreadHandle handle = msg->GetAddressCheckThread();
  ASSERT_TRUE(handle);
  TAddrCheckStateRef state;
  {
    TCriticalSectionGuard guard(ThreadListLock());
    TQuorThread* thread = nullptr;
    ASSERT_TRUE(FindThreadByHandle(handle, thread));
    state = static_cast<TValidEmailAddrThread2*>(thread)->State();
  }
  // Wait until the check sits in the banner read.
  const std::int64_t until = SteadyMilliseconds() + 10000;
  while (state->Snapshot().Level < acl_Banner && SteadyMilliseconds() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(state->Snapshot().Level, acl_Banner);
  const std::int64_t start = SteadyMilliseconds();
  msg.reset();
  EXPECT_LT(SteadyMilliseconds() - start, 3000);
  EXPECT_TRUE(state->WaitDoneUntil(SteadyMilliseconds() + 5000));
  EXPECT_FALSE(ThreadIsRunning(handle));
}

// Without preparation the check runs here, bounded like a thread's wait.
TEST_F(RetAddrTest, UnpreparedCheckIsBounded) {
  test::ScriptedTcpServer silent("def handle(conn):\n    time.sleep(30)\n");
  ASSERT_TRUE(silent.Ok()) << silent.Error();
  const std::uint16_t port = silent.Port();
  TScopedAddrCheckSocketMaker maker([port] { return std::make_unique<LoopbackClient>(port); });
  TAddrCheckTimes times;
  times.WaitMs = 1000;
  TScopedAddrCheckTimes bound(times);
  SetAddressCacheEntries({Cached("f@sender.test", acl_Format, ear_Timeout)});
  Test.SetTestLevel(acl_Data);
  TEmailMsgRef msg = MessageFromBytes(Message("From: f@sender.test\r\n"));
  const std::int64_t start = SteadyMilliseconds();
  EXPECT_FALSE(Test.Evaluate(*msg, nullptr));
  EXPECT_LT(SteadyMilliseconds() - start, 5000);
  EXPECT_EQ(Test.CheckRecord().Level, acl_Banner);
}

}  // namespace
}  // namespace halvorn
