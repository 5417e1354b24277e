// The block-list, DCC, URI block-list and dictionary-attack tests over
// corpus messages, with a DNS server that knows no name and no DCC server:
// every message is prepared and judged without an error, each answer is the
// one its result code records, and none is listed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "classify/black_hole_test.h"
#include "classify/dcc_test.h"
#include "classify/dictionary_attack_test.h"
#include "classify/surbl_test.h"
#include "foundation/text/list_helpers.h"
#include "lists/dcc/dcc_server_list.h"
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"
#include "network_tests_support.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

// Every fiftieth corpus message by default, every one with HALVORN_FULL_CORPUS.
TEST(NetworkTestsCorpus, EveryMessageIsJudged) {
  const std::vector<std::string> files = test::CorpusSample(50);
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  const test::NxDomainDns dns;
  ASSERT_TRUE(dns.Ok()) << dns.Error();
  InstallDnsrblLookups();
  TDNSRBLServerRecArray rows;
  for (const char* zone : {"one.corpus.test", "two.corpus.test"}) {
    TDNSRBLServerRec row;
    row.Name = zone;
    row.Domain = zone;
    row.Response = "127.0.0.2";
    row.Enabled = true;
    row.StandardTestNumber = 831 + static_cast<std::int32_t>(rows.size());
    rows.push_back(row);
  }
  SetGlobalDnsrblServers(rows);
  const auto oldDcc = GlobalDccServerList();
  SetGlobalDccServerList(std::make_shared<TDccServerList>());
  const TScopedSurblZoneForTests zone("surbl.corpus.test");

  TBlackHoleTest blackHole;
  blackHole.SetServerName(TBlackHoleTest::kAnyEnabled);
  blackHole.SetIPNumber(TBlackHoleTest::kEveryRelay);
  TDccTest dcc;
  TSURBLTest surbl;
  TDictionaryAttackTest dictionary;
  TTest* tests[] = {&blackHole, &dcc, &surbl, &dictionary};
  for (TTest* t : tests) t->SetName(t->ClassName());

  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const TEmailMsgRef msg = test::MessageFromBytes(test::CorpusMessageBytes(file));
    for (TTest* t : tests) ASSERT_NO_THROW(t->Preprocess(*msg));
    for (TTest* t : tests) {
      SCOPED_TRACE(t->ClassName());
      bool result = true;
      ASSERT_NO_THROW(result = t->Evaluate(*msg, nullptr));
      const std::string code = t->GetResultCode(msg->GetContentId());
      if (t != &dictionary) {
        EXPECT_FALSE(result);
      }
      if (!code.empty()) {
        EXPECT_EQ(CommaTextValue(code, "Pa"), result ? "y" : "n") << code;
      }
    }
  }
  SetGlobalDccServerList(oldDcc);
  SetGlobalDnsrblServers({});
}

}  // namespace
}  // namespace halvorn
