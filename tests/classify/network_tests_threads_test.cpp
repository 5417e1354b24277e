// The network-backed tests described and edited on one thread while another
// judges messages (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "classify/black_hole_test.h"
#include "classify/dcc_test.h"
#include "classify/surbl_test.h"
#include "lists/dcc/dcc_server_list.h"
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"
#include "network_tests_support.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

TEST(NetworkTestsThreads, DescribeAndEditDuringEvaluate) {
  const test::NxDomainDns dns;
  ASSERT_TRUE(dns.Ok()) << dns.Error();
  InstallDnsrblLookups();
  TDNSRBLServerRec row;
  row.Name = "Threads list";
  row.Domain = "threads.test";
  row.Response = "127.0.0.2";
  row.Enabled = true;
  row.StandardTestNumber = 831;
  SetGlobalDnsrblServers({row});
  const auto oldDcc = GlobalDccServerList();
  SetGlobalDccServerList(std::make_shared<TDccServerList>());

  TBlackHoleTest blackHole;
  blackHole.SetName("Lists");
  blackHole.SetServerName(TBlackHoleTest::kAnyEnabled);
  blackHole.SetIPNumber(TBlackHoleTest::kEveryRelay);
  TDccTest dcc;
  dcc.SetName("Dcc");
  const TScopedSurblZoneForTests zone("surbl.threads.test");
  TSURBLTest surbl;
  surbl.SetName("Links");
  TTest* tests[] = {&blackHole, &dcc, &surbl};

  std::atomic<bool> stop{false};
  std::thread judge([&] {
    for (int i = 0; i < 20 && !stop; ++i) {
      TEmailMsgRef msg = test::MessageFromBytes(
          "Received: from a.example (a.example [1.2.3." + std::to_string(i) +
          "]) by mx.example.test; Fri, 11 Dec 2026 10:00:00 +0000\r\n"
          "From: a@example.org\r\nSubject: T\r\n\r\nSee http://link" + std::to_string(i) +
          ".example/\r\n");
      for (TTest* t : tests) t->Preprocess(*msg);
      for (TTest* t : tests) (void)t->Evaluate(*msg, nullptr);
      for (TTest* t : tests) (void)t->GetResultCode(msg->GetContentId());
    }
    stop = true;
  });
  int round = 0;
  while (!stop) {
    for (TTest* t : tests) (void)t->Describe();
    blackHole.SetIPNumber(round % 2 ? TBlackHoleTest::kEveryRelay : 1);
    (void)blackHole.Neurons();
    dcc.SetCondition(round % TDccTest::kKinds,
                     {TDccTest::kOr, static_cast<std::uint32_t>(round), TDccTest::kMoreThan});
    ++round;
  }
  judge.join();
  EXPECT_GT(round, 0);
  SetGlobalDccServerList(oldDcc);
  SetGlobalDnsrblServers({});
}

}  // namespace
}  // namespace halvorn
