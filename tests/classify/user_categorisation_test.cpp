// The user's categorisations: what reaches the central service (the fake of
// tests/data/qch_fake_service.py) over UDP and TCP as the stop codes say,
// what reaches the tests, and the queue's order while the training lock is
// busy, at the next call and at the module's end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "classify/classify_module.h"
#include "classify/test_list.h"
#include "foundation/crypto/md5.h"
#include "foundation/files/version_info.h"
#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"
#include "lists/lists_module.h"
#include "lists/qch/qch_client_socket.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/email_info.h"
#include "message/repository_test_support.h"
#include "support/qch_fake_service.h"
#include "support/scripted_test.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::MakeScriptedTest;
using test::QchFakeService;
using test::TScriptedTest;
using Categorisations = std::vector<std::pair<std::uint8_t, std::string>>;

// The result codes the processing stored: tests A and B answered, C did not.
const std::string kStatData = "UidAa=Pa=y,\"UidBb=Pa=n,VA=3\"";
const char* const kTrites = "yynuny";

// A saved side record with the result codes and standard tests; its Id.
std::int32_t SideRecord(const std::string& statData = kStatData,
                        const std::string& trites = kTrites) {
  TBorrowedEmailInfo record;
  AcquireNewEmailInfo(record.Ref(), {});
  record.Ref()->SetValue(TEmailInfoKey::StatData, statData);
  record.Ref()->SetStandardTests(TriteArrayFromText(trites));
  const std::int32_t id = record.Ref()->Id();
  record.Release();
  return id;
}

// What the side record's file holds; empty when there is none.
std::string SideRecordFile(std::int32_t id) {
  TEmailInfo probe;
  probe.SetId(id);
  return test::ReadFileBytes(probe.FileName());
}

// Holds a lock on a thread of its own while it lives.
class LockHolder {
 public:
  explicit LockHolder(TMutexCriticalSection& lock) {
    FThread = std::thread([this, &lock] {
      TCriticalSectionGuard guard(lock);
      FHeld = true;
      while (!FRelease) std::this_thread::yield();
    });
    while (!FHeld) std::this_thread::yield();
  }
  ~LockHolder() { Release(); }
  void Release() {
    FRelease = true;
    if (FThread.joinable()) FThread.join();
  }

 private:
  std::atomic<bool> FHeld{false};
  std::atomic<bool> FRelease{false};
  std::thread FThread;
};

// A fresh install folder with the local account the service's requests
// name, and a test list of three scripted tests.
class UserCategorisation : public test::RepositoryTest {
 protected:
  UserCategorisation() {
    FAccount = GlobalLocalAccounts().Add();
    FAccount->SetUserId(kSingleUserName);
    for (const char* name : {"A", "B", "C"}) {
      auto test = MakeScriptedTest(name);
      test->SetUniqueId(std::string("Uid") + name + static_cast<char>(name[0] + 32));
      FList->AddTest(test);
      FTests.push_back(test);
    }
  }
  ~UserCategorisation() override { SetQchStopCodes(nullptr); }

  void Start(const std::string& script) {
    FScope.reset();
    FFake = std::make_unique<QchFakeService>(script);
    ASSERT_TRUE(FFake->Ok()) << FFake->Error();
    FScope = std::make_unique<ScopedQchServiceForTests>(FFake->Host(), FFake->TcpPort(),
                                                        FFake->UdpPort());
  }

  // The datagrams the fake got since the last call, as "kind:data" (data in
  // hexadecimal); a marker datagram sent after the categorisations bounds
  // them.
  std::vector<std::string> NextDatagrams() {
    QchUdpSend(MakeQchUdpReport(kQchUdpTestsDone, "marker"));
    ++FMarkers;
    EXPECT_TRUE(test::Eventually([&] { return FFake->Count("udp", kQchUdpTestsDone) == FMarkers; }));
    std::vector<std::string> datagrams;
    const auto events = FFake->EventsOf("udp");
    for (std::size_t i = FSeen; i < events.size(); ++i) {
      if (events[i].at("kind") == std::to_string(kQchUdpTestsDone)) continue;
      datagrams.push_back(events[i].at("kind") + ":" + events[i].at("hex").substr(2 * kQchUdpHeaderSize));
    }
    FSeen = events.size();
    return datagrams;
  }

  Categorisations Received(int test) { return FTests[static_cast<std::size_t>(test)]->Categorisations(); }

  TLocalAccountRef FAccount;
  std::shared_ptr<TTestList> FList = std::make_shared<TTestList>();
  std::vector<std::shared_ptr<TScriptedTest>> FTests;
  std::unique_ptr<QchFakeService> FFake;
  std::unique_ptr<ScopedQchServiceForTests> FScope;
  int FMarkers = 0;
  std::size_t FSeen = 0;
};

std::string Hex(const std::string& bytes) {
  return test::HexOf(bytes);
}

// With the default stop codes a spam categorisation sends its result codes
// as one datagram of kind 9 and a personal one as kind 8; other categories
// send nothing. Every test gets its own code once; the codes are cleared in
// the side record's file, so a second categorisation gives empty codes; a
// message without a side record does nothing.
TEST_F(UserCategorisation, TheDefaultStopCodesSendTheResultCodesOverUdp) {
  Start("{}");
  const struct Row {
    std::uint8_t Category;
    std::vector<std::string> Datagrams;
  } rows[] = {
      {Mc_CommercialSpam, {"9:" + Hex(kStatData)}},
      {Mc_Personal, {"8:" + Hex(kStatData)}},
      {Mc_Bulk, {}},
      {Mc_Unknown, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.Category));
    const std::int32_t id = SideRecord();
    ASSERT_NE(SideRecordFile(id).find("StatData="), std::string::npos);
    const std::size_t before = Received(0).size();
    FList->QueueUserCategorisation(id, row.Category);
    EXPECT_EQ(NextDatagrams(), row.Datagrams);
    EXPECT_TRUE(FList->PendingCategorisations().empty());
    EXPECT_EQ(SideRecordFile(id).find("StatData="), std::string::npos) << SideRecordFile(id);
    EXPECT_NE(SideRecordFile(id).find("StandardTests="), std::string::npos);
    ASSERT_EQ(Received(0).size(), before + 1);
    EXPECT_EQ(Received(0).back(), std::make_pair(row.Category, std::string("Pa=y")));
    EXPECT_EQ(Received(1).back(), std::make_pair(row.Category, std::string("Pa=n,VA=3")));
    EXPECT_EQ(Received(2).back(), std::make_pair(row.Category, std::string()));

    FList->QueueUserCategorisation(id, Mc_Joke);
    EXPECT_EQ(NextDatagrams(), std::vector<std::string>{});
    for (int t = 0; t < 3; ++t) EXPECT_EQ(Received(t).back(), std::make_pair(std::uint8_t{Mc_Joke}, std::string()));
  }

  const std::size_t before = Received(0).size();
  FList->QueueUserCategorisation(2000000001, Mc_CommercialSpam);
  EXPECT_EQ(NextDatagrams(), std::vector<std::string>{});
  EXPECT_EQ(Received(0).size(), before);
  EXPECT_EQ(SideRecordFile(2000000001), "");
  EXPECT_TRUE(FList->PendingCategorisations().empty());
}

// With bits 161 and 162 the standard tests go first, compressed, as kinds 5
// and 6.
TEST_F(UserCategorisation, StandardTestsGoFirstWhenTheStopCodesAskForThem) {
  Start("{}");
  auto codes = std::make_shared<TStopCodesQchUdpMsg>();
  codes->SetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatPers, true);
  codes->SetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpam, true);
  SetQchStopCodes(codes);
  const std::string trites = TriteArrayToCompressedText(TriteArrayFromText(kTrites));
  ASSERT_EQ(trites.rfind("!", 0), 0u);
  FList->QueueUserCategorisation(SideRecord(), Mc_Personal);
  EXPECT_EQ(NextDatagrams(), (std::vector<std::string>{"5:" + Hex(trites), "8:" + Hex(kStatData)}));
  FList->QueueUserCategorisation(SideRecord(), Mc_CommercialSpam);
  EXPECT_EQ(NextDatagrams(), (std::vector<std::string>{"6:" + Hex(trites), "9:" + Hex(kStatData)}));
  // Without the result-code bits only the standard tests go.
  codes = std::make_shared<TStopCodesQchUdpMsg>(*codes);
  codes->SetBit(TStopCodesQchUdpMsg::kRepQuorTestStatDataOnCatPers, false);
  SetQchStopCodes(codes);
  FList->QueueUserCategorisation(SideRecord(), Mc_Personal);
  EXPECT_EQ(NextDatagrams(), (std::vector<std::string>{"5:" + Hex(trites)}));
}

// The oracle's frame of a categorisation's test report: no reply asked for
// (id 0), this program's identity and version.
std::string ReportFrame(const TLocalAccount& account, const std::string& trites,
                        const std::string& statData, int occasion) {
  const TMD5Digest tag = MD5String(account.UniqueId());
  const std::string json =
      "[{\"type\":15,\"version\":" + std::to_string(GetPackedVersion()) +
      ",\"id\":0,\"user_id\":0,\"key\":\"\",\"client_tag\":\"" +
      test::HexOf(std::string(tag.begin(), tag.end())) + "\",\"trites\":\"" + trites +
      "\",\"stat_data\":\"" + Hex(statData) + "\",\"probabilities\":\"" +
      TCategoryProbability().SaveToText() + "\",\"occasion\":" + std::to_string(occasion) + "}]";
  const test::CommandResult result =
      test::RunCommand({test::PythonPath(), test::DataPath("qch_frames.py"), "encode"}, json);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  const auto lines = test::OutputLines(result.Output);
  return lines.empty() ? std::string() : lines[0];
}

// When the service turns the UDP reports off (bits 167 and 168), by the
// stop codes of a probability reply or by a datagram of kind 1, the same
// categorisations go over TCP as test reports, through one socket of the
// list, without waiting for replies.
TEST_F(UserCategorisation, TheServiceCanTurnTheReportsOverToTcp) {
  const char* const script =
      R"({"stop_codes": {"bits": {"161": 1, "162": 1, "167": 0, "168": 0}},)"
      R"( "udp": [[{"stopcodes": {"bits": {"161": 1, "162": 1, "167": 0, "168": 0}}}]]})";
  for (const bool byDatagram : {false, true}) {
    SCOPED_TRACE(byDatagram ? "a kind-1 datagram" : "a probability reply");
    Start(script);
    FList = std::make_shared<TTestList>();
    for (const auto& test : FTests) FList->AddTest(test);
    if (byDatagram) {
      QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "A=Pa=y"));
      ASSERT_TRUE(test::Eventually([&] {
        if (auto datagram = QchUdpReceive(100)) ReplaceQchStopCodes(datagram->Bytes(), "the test");
        return !QchStopCodes()->GetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpamUDP);
      }));
      ASSERT_TRUE(test::Eventually([&] { return FFake->Count("udp") == 1; }));
    } else {
      auto codes = std::make_shared<TStopCodesQchUdpMsg>();
      codes->SetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport, true);
      SetQchStopCodes(codes);
      TQCHClientSocket socket("Processing");
      socket.UserName = kSingleUserName;
      TCategoryProbability probabilities;
      ASSERT_TRUE(socket.SubmitTests(TriteArrayFromText("y"), "A=Pa=y", 0, probabilities));
    }
    ASSERT_FALSE(QchStopCodes()->GetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatPersUDP));
    ASSERT_TRUE(QchStopCodes()->GetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatPers));
    const int reportsBefore = FFake->Count("tcp", Qch_SubmitTestsReq);
    const int udpBefore = FFake->Count("udp");

    FList->QueueUserCategorisation(SideRecord(), Mc_Personal);
    FList->QueueUserCategorisation(SideRecord(), Mc_CommercialSpam);
    ASSERT_TRUE(test::Eventually(
        [&] { return FFake->Count("tcp", Qch_SubmitTestsReq) == reportsBefore + 4; }))
        << FFake->LogText();
    std::vector<std::string> frames;
    const auto reports = FFake->EventsOf("tcp", Qch_SubmitTestsReq);
    for (std::size_t i = static_cast<std::size_t>(reportsBefore); i < reports.size(); ++i)
      frames.push_back(reports[i].at("frame"));
    EXPECT_EQ(frames, (std::vector<std::string>{ReportFrame(*FAccount, kTrites, "", 1),
                                                ReportFrame(*FAccount, "", kStatData, 1),
                                                ReportFrame(*FAccount, kTrites, "", 2),
                                                ReportFrame(*FAccount, "", kStatData, 2)}));
    EXPECT_EQ(FFake->Count("udp"), udpBefore);
    // One connection for the list's reports (and one for the test's own
    // socket).
    EXPECT_EQ(FFake->Count("open"), byDatagram ? 1 : 2);
    EXPECT_EQ(Received(0).back(), std::make_pair(std::uint8_t{Mc_CommercialSpam}, std::string("Pa=y")));
    FList.reset();
  }
}

// ---------------------------------------------------------------------------
// Order and the training lock (no reports: categories other than 8 and 9)

std::vector<std::uint8_t> Categories(const Categorisations& received) {
  std::vector<std::uint8_t> categories;
  for (const auto& entry : received) categories.push_back(entry.first);
  return categories;
}

// While another thread holds the lock, a second categorisation of a message
// changes its one entry; the next call that gets the lock applies every
// pending entry, the last first.
TEST_F(UserCategorisation, ABusyLockQueuesAndTheNextCallAppliesTheLastFirst) {
  const std::int32_t first = SideRecord(), second = SideRecord(), third = SideRecord();
  {
    LockHolder training(FList->TrainLock());
    FList->QueueUserCategorisation(first, Mc_ChainLetter);
    FList->QueueUserCategorisation(first, Mc_Petition);
    FList->QueueUserCategorisation(second, Mc_UrbanLegend);
    FList->QueueUserCategorisation(third, Mc_Bulk);
    const auto pending = FList->PendingCategorisations();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[0].MsgKey, first);
    EXPECT_EQ(pending[0].Category, Mc_Petition);
    EXPECT_TRUE(Received(0).empty());
  }
  const std::int32_t fourth = SideRecord("UidAa=Pa=n");
  FList->QueueUserCategorisation(fourth, Mc_Hoax);
  EXPECT_EQ(Categories(Received(0)),
            (std::vector<std::uint8_t>{Mc_Hoax, Mc_Bulk, Mc_UrbanLegend, Mc_Petition}));
  EXPECT_EQ(Received(0)[0].second, "Pa=n");
  EXPECT_TRUE(FList->PendingCategorisations().empty());
}

// The user changes a categorisation that waits: the call that changes it
// applies it once the lock is free, instead of leaving it for another
// message's categorisation.
TEST_F(UserCategorisation, AChangedEntryIsAppliedByTheCallThatChangedIt) {
  const std::int32_t id = SideRecord();
  {
    LockHolder training(FList->TrainLock());
    FList->QueueUserCategorisation(id, Mc_ChainLetter);
  }
  FList->QueueUserCategorisation(id, Mc_Joke);
  EXPECT_EQ(Received(0), (Categorisations{{Mc_Joke, "Pa=y"}}));
  EXPECT_TRUE(FList->PendingCategorisations().empty());
}

// A test that raises out of UserCategorised (which tests must not do).
class RaisingTest : public TScriptedTest {
 public:
  std::atomic<std::uint8_t> RaiseOn{255};
  void UserCategorised(std::uint8_t category, const std::string& resultCode) override {
    if (category == RaiseOn) throw std::runtime_error("categorisation failed");
    TScriptedTest::UserCategorised(category, resultCode);
  }
};

// An error while applying reaches the caller; the entry that failed and
// those not reached stay pending, in their order, and the lock is free.
TEST_F(UserCategorisation, AnErrorLeavesTheRestPendingAndTheLockFree) {
  auto raising = std::make_shared<RaisingTest>();
  raising->SetName("Raising");
  raising->RaiseOn = Mc_UrbanLegend;
  FList->AddTest(raising);
  const std::int32_t a = SideRecord(), b = SideRecord(), c = SideRecord(), d = SideRecord();
  {
    LockHolder training(FList->TrainLock());
    FList->QueueUserCategorisation(a, Mc_ChainLetter);
    FList->QueueUserCategorisation(b, Mc_UrbanLegend);
    FList->QueueUserCategorisation(c, Mc_Bulk);
  }
  EXPECT_THROW(FList->QueueUserCategorisation(d, Mc_Hoax), std::runtime_error);
  const auto pending = FList->PendingCategorisations();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].MsgKey, a);
  EXPECT_EQ(pending[1].MsgKey, b);
  std::thread other([&] {
    EXPECT_TRUE(FList->TrainLock().TryEnter());
    FList->TrainLock().Leave();
  });
  other.join();

  raising->RaiseOn = 255;
  FList->QueueUserCategorisation(SideRecord(), Mc_Joke);
  EXPECT_EQ(Categories(raising->Categorisations()),
            (std::vector<std::uint8_t>{Mc_Hoax, Mc_Bulk, Mc_Joke, Mc_UrbanLegend, Mc_ChainLetter}));
  // b had its codes taken by the attempt that failed: its record was saved
  // without them, and the tests after the failing one never saw them.
  EXPECT_EQ(SideRecordFile(b).find("StatData="), std::string::npos);
  EXPECT_TRUE(FList->PendingCategorisations().empty());
}

// The module's end applies what waits, first to last, before the tests go.
TEST_F(UserCategorisation, TheModuleEndAppliesThePendingEntriesInTheirOrder) {
  InitializeListsModule();
  InitializeClassifyModule();
  auto test = MakeScriptedTest("Last");
  test->SetUniqueId("UidAa");
  GlobalTestList()->AddTest(test);
  const std::int32_t a = SideRecord(), b = SideRecord(), c = SideRecord();
  {
    LockHolder training(GlobalTestList()->TrainLock());
    GlobalTestList()->QueueUserCategorisation(a, Mc_ChainLetter);
    GlobalTestList()->QueueUserCategorisation(b, Mc_Petition);
    GlobalTestList()->QueueUserCategorisation(c, Mc_UrbanLegend);
    GlobalTestList()->QueueUserCategorisation(a, Mc_Bulk);
  }
  EXPECT_TRUE(test->Categorisations().empty());
  FinalizeClassifyModule();
  EXPECT_EQ(test->Categorisations(),
            (Categorisations{{Mc_Bulk, "Pa=y"}, {Mc_Petition, "Pa=y"}, {Mc_UrbanLegend, "Pa=y"}}));
  for (const std::int32_t id : {a, b, c})
    EXPECT_EQ(SideRecordFile(id).find("StatData="), std::string::npos);
  FinalizeListsModule();
}

}  // namespace
}  // namespace halvorn
