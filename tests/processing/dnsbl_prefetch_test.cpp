// Block-list questions through the real incoming thread: it prepares up to
// 11 messages before judging them, so their questions overlap and a silent
// DNS server costs about one wait per batch, not one per message; and with
// dnsmasq answering, only the messages whose relay is listed pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "classify/black_hole_test.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/net/host_names.h"
#include "foundation/time/clock.h"
#include "lists/dnsbl/dnsbl_servers.h"
#include "processing_test_support.h"
#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::IncomingThreadHarness;
using test::TTagAction;
using test::THoldAction;

constexpr int kMessages = 22;
constexpr int kRows = 40;

std::string Relay(int i) {
  return "198.51.100." + std::to_string(i + 1);
}

// Each test has zones of its own: the resolver outlives a test, with the
// questions it still holds.
std::string Zone(int row) {
  return "z" + std::to_string(row) + "." +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".test";
}

class DnsblPrefetchTest : public test::ProcessingTest {
 protected:
  // 40 rows under ".test" and two block-list tests over every enabled row,
  // one tagging and one holding what they find listed.
  void SetUpRules() {
    TDNSRBLServerRecArray rows;
    for (int i = 0; i < kRows; ++i) {
      TDNSRBLServerRec row;
      row.Name = "List " + std::to_string(i);
      row.Domain = Zone(i);
      row.Response = "127.0.0.2";
      row.StandardTestNumber = 831 + i;
      row.Enabled = true;
      rows.push_back(row);
    }
    SetGlobalDnsrblServers(rows);
    for (const char* name : {"Listed", "Listed too"}) {
      auto test = std::make_shared<TBlackHoleTest>();
      test->SetName(name);
      test->SetServerName(TBlackHoleTest::kAnyEnabled);
      test->SetIPNumber(TBlackHoleTest::kEveryRelay);
      ASSERT_EQ(test->Validate(), "");
      Tests().AddTest(test);
    }
    AddAction<TTagAction>("Tag", "[L] ");
    AddAction<THoldAction>("Hold");
    AddRule("Tag listed", "Listed too", "Tag");
    AddRule("Hold listed", "Listed", "Hold");
  }

  void PlaceMessages() {
    for (int i = 0; i < kMessages; ++i) {
      TEmailMsgRef msg = TEmailMsg::Create(Repository().UnProcessedIncoming());
      msg->SetText("Received: from relay" + std::to_string(i) + ".example (relay.example [" +
                   Relay(i) +
                   "]) by mx.example.test; Fri, 11 Dec 2026 10:00:00 +0000\r\n"
                   "From: a@example.org\r\nTo: user@example.com\r\nSubject: M" +
                   std::to_string(i) + "\r\nMessage-ID: <" + std::to_string(i) +
                   "@example.org>\r\n\r\nBody\r\n");
      ASSERT_TRUE(msg->SaveToFile());
    }
  }

  // The subjects of the messages of a queue folder, sorted.
  static std::vector<std::string> Subjects(TEmailMsgList* queue) {
    std::vector<std::string> subjects;
    for (const std::string& name : test::EmlFiles(queue->Folder())) {
      const std::string bytes = test::ReadFileBytes(queue->Folder() + "/" + name);
      const std::size_t at = bytes.find("\r\nSubject: ");
      if (at == std::string::npos) continue;
      const std::size_t start = at + 11;
      subjects.push_back(bytes.substr(start, bytes.find("\r\n", start) - start));
    }
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  // Runs the thread over the placed messages; answers the wall time in ms.
  std::int64_t Process() {
    const std::int64_t start = SteadyMilliseconds();
    IncomingThreadHarness harness;
    harness.Thread().Resume();
    EXPECT_TRUE(harness.RunUntilIdle());
    return SteadyMilliseconds() - start;
  }
};

// Every question of 22 messages times 40 rows goes unanswered. Judged one
// message at a time, each would wait its full second (over 22 s); prepared
// in batches, the waits overlap.
TEST_F(DnsblPrefetchTest, ASilentServerCostsAboutOneWaitPerBatch) {
  test::ScriptedUdpServer silent(R"PY(
import socket, sys
log = open(sys.argv[1], 'a', buffering=1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
print('PORT', s.getsockname()[1], flush=True)
while True:
    s.recvfrom(4096)
    log.write('q\n')
)PY");
  ASSERT_TRUE(silent.Ok()) << silent.Error();
  GlobalDnsResolver().SetPort(silent.Port());
  GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
  SetUpRules();
  PlaceMessages();
  const std::int64_t elapsed = Process();
  EXPECT_LT(elapsed, 15000);
  EXPECT_EQ(Subjects(Repository().ProcessedIncoming()).size(), static_cast<std::size_t>(kMessages));
  EXPECT_TRUE(Subjects(Repository().Pendhold()).empty());
  EXPECT_NE(silent.Output(), "");
}

// dnsmasq lists three relays in one zone each: only their messages are
// tagged and held. The two tests ask the same questions of the same
// message: a listing reaches dnsmasq once. No question names a zone of the
// built-in table.
TEST_F(DnsblPrefetchTest, OnlyListedRelaysPassWithDnsmasq) {
  const int listed[] = {0, 9, 21};
  std::vector<std::string> records{"local-ttl=300"};
  for (int i : listed)
    records.push_back("host-record=" + IPToReversedText(StrToIP(Relay(i))) + "." +
                      Zone(i + 3) + ",127.0.0.2");
  test::DnsmasqServer dnsmasq(records);
  ASSERT_TRUE(dnsmasq.Ok()) << dnsmasq.Error();
  GlobalDnsResolver().SetPort(dnsmasq.Port());
  GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
  SetUpRules();
  PlaceMessages();
  Process();
  EXPECT_EQ(Subjects(Repository().Pendhold()),
            (std::vector<std::string>{"[L] M0", "[L] M21", "[L] M9"}));
  EXPECT_EQ(Subjects(Repository().ProcessedIncoming()).size(),
            static_cast<std::size_t>(kMessages - 3));
  // A listing is kept for its records' time, so the second test joins it;
  // a "no such name" is not kept, so each test may ask it once.
  const std::string log = dnsmasq.LogText();
  std::map<std::string, int> queries;
  for (const std::string& line : test::OutputLines(log)) {
    const std::size_t at = line.find("query[A] ");
    if (at != std::string::npos) ++queries[line.substr(at + 9, line.find(' ', at + 9) - at - 9)];
  }
  for (int i = 0; i < kMessages; ++i)
    for (int row = 0; row < kRows; ++row) {
      const std::string name = IPToReversedText(StrToIP(Relay(i))) + "." + Zone(row);
      const bool isListed = row == i + 3 && std::count(std::begin(listed), std::end(listed), i);
      const int asked = queries[name];
      EXPECT_TRUE(isListed ? asked == 1 : asked == 1 || asked == 2) << name << " " << asked;
    }

  TDNSRBLServerRecArray builtIn;
  LoadBuiltInDnsrblServers(builtIn);
  ASSERT_NE(log.find(Zone(39)), std::string::npos);
  for (const TDNSRBLServerRec& row : builtIn) {
    if (row.Domain.empty()) continue;
    EXPECT_EQ(log.find("." + row.Domain), std::string::npos) << row.Domain;
  }
}

}  // namespace
}  // namespace halvorn
