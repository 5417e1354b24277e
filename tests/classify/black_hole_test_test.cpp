// The block-list test against a scripted DNS server on 127.0.0.1 (zones
// under ".test"): relay choices, a listing that a later relay cannot undo,
// its settings and stored bindings, and the network-tests switch.
#include "classify/black_hole_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/dns/dns_lookups.h"
#include "foundation/dns/dns_resolver.h"
#include "foundation/files/quor_ini_file.h"
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"
#include "lists/network_tests.h"
#include "simple_tests_support.h"
#include "support/dns_test_servers.h"

namespace halvorn {
namespace {

using test::MessageFromBytes;
using test::ScriptedUdpServer;

// 1.2.3.4 is listed (127.0.0.2) in every zone; anything else is unknown.
const char* kListServer = R"PY(
import socket, sys
import dns.flags, dns.message, dns.rcode, dns.rrset
log = open(sys.argv[1], 'a', buffering=1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
print('PORT', s.getsockname()[1], flush=True)
while True:
    data, addr = s.recvfrom(4096)
    q = dns.message.from_wire(data)
    name = q.question[0].name.to_text(omit_final_dot=True).lower()
    log.write(name + '\n')
    r = dns.message.make_response(q)
    if name.startswith('4.3.2.1.'):
        r.answer.append(dns.rrset.from_text(name + '.', 0, 'IN', 'A', '127.0.0.2'))
    else:
        r.set_rcode(dns.rcode.NXDOMAIN)
    s.sendto(r.to_wire(), addr)
)PY";

// Relays newest first: 5.6.7.8 handed the message to our network after
// 1.2.3.4 had sent it.
const char* kTwoRelays =
    "Received: from b.example (b.example [5.6.7.8]) by mx.example.test; Fri, 11 Dec 2026 10:00:01 +0000\r\n"
    "Received: from a.example (a.example [1.2.3.4]) by b.example; Fri, 11 Dec 2026 10:00:00 +0000\r\n"
    "From: a@example.org\r\nTo: b@example.test\r\nSubject: Relays\r\n\r\nHello\r\n";

TDNSRBLServerRec Row(const std::string& name, const std::string& zone, std::int32_t number,
                     bool enabled = true) {
  TDNSRBLServerRec r;
  r.Name = name;
  r.Domain = zone;
  r.Response = "127.0.0.2";
  r.Mask = false;
  r.Enabled = enabled;
  r.StandardTestNumber = number;
  return r;
}

class BlackHoleTestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = new ScriptedUdpServer(kListServer);
    if (Server->Ok()) {
      GlobalDnsResolver().SetPort(Server->Port());
      GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
    }
    InstallDnsrblLookups();
  }
  static void TearDownTestSuite() {
    delete Server;
    Server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(Server->Ok()) << Server->Error();
    SetGlobalDnsrblServers({Row("First list", "one.test", 831), Row("Second list", "two.test", 832),
                            Row("Off list", "off.test", 833, false),
                            Row("Mine", "mine.test", -7)});
  }
  void TearDown() override { SetGlobalDnsrblServers({}); }

  static ScriptedUdpServer* Server;
};
ScriptedUdpServer* BlackHoleTestTest::Server = nullptr;

TEST_F(BlackHoleTestTest, RelayChoices) {
  struct Case {
    std::int32_t IPNumber;
    bool Passes;
  } cases[] = {
      {TBlackHoleTest::kEveryRelay, true},  // the later relay does not undo the listing
      {TBlackHoleTest::kLastExternalRelay, false},
      {1, true},  // the bottom-most (oldest) Received line
      {2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.IPNumber);
    TBlackHoleTest test;
    test.SetName("Lists");
    test.SetServerName(TBlackHoleTest::kAnyEnabled);
    test.SetIPNumber(c.IPNumber);
    test.SetStandardTestNum(70);
    ASSERT_EQ(test.Validate(), "");
    EXPECT_EQ(test.Servers().size(), 3u);
    TEmailMsgRef msg = MessageFromBytes(kTwoRelays);
    test.Preprocess(*msg);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), c.Passes);
    EXPECT_EQ(test::StandardTrite(*msg, 70), c.Passes ? kTriteYes : kTriteNo);
    for (std::int32_t number : {831, 832})
      EXPECT_EQ(test::StandardTrite(*msg, number), c.Passes ? kTriteYes : kTriteNo) << number;
    EXPECT_EQ(test::StandardTrite(*msg, 833), kTriteUnknown);  // not enabled: not asked
    // Inputs: the bound rows' (831, 832, -7) trites; the names of the inputs.
    const TBlackHoleTest::TNeurons neurons = test.Neurons();
    EXPECT_EQ(std::count_if(neurons.begin(), neurons.end(), [](std::int32_t n) { return n != 0; }), 3);
    const TVectorFloat inputs = test.BuildNNInputs(test.GetResultCode(msg->GetContentId()));
    EXPECT_EQ(std::count(inputs.begin(), inputs.end(), 1.0), c.Passes ? 3 : 0);
    const test::Lines lines = test::ExplanationLines(test);
    const std::string all = [&] {
      std::string text;
      for (const std::string& l : lines) text += l + "\n";
      return text;
    }();
    EXPECT_NE(all.find(c.Passes ? "email passed DNS database test: \"Lists\""
                                : "email failed DNS database test: \"Lists\""),
              std::string::npos)
        << all;
    if (c.Passes) {
      EXPECT_NE(all.find("<b>Passed</b> - First list returned 127.0.0.2"), std::string::npos);
    }
  }
}

TEST_F(BlackHoleTestTest, ValidationAndStoredBindings) {
  TBlackHoleTest test;
  EXPECT_EQ(test.Validate(), "the Test has no name");
  test.SetName("Lists");
  test.SetServerName("Nowhere");
  EXPECT_EQ(test.Validate(), "Server \"Nowhere\" doesn't exist");
  test.SetServerName("Second list");
  EXPECT_EQ(test.Validate(), "");
  ASSERT_EQ(test.Servers().size(), 1u);
  SetGlobalDnsrblServers({Row("Off list", "off.test", 833, false)});
  test.SetServerName(TBlackHoleTest::kAnyEnabled);
  EXPECT_EQ(test.Validate(), "Found no enabled servers to check.");

  TBlackHoleTest::TNeurons neurons{};
  neurons[0] = 831;
  neurons[7] = -70000;
  neurons[49] = 1231;
  test.SetNeurons(neurons);
  const std::string path = test::OutputFolder("BlackHole") + "/rules.ini";
  TQuorIniFile ini(path);
  test.SetIPNumber(3);
  test.SaveToIni(ini);
  TBlackHoleTest loaded;
  loaded.SetName("Lists");
  loaded.LoadFromIni(ini);
  EXPECT_EQ(loaded.Neurons(), neurons);
  EXPECT_EQ(loaded.IPNumber(), 3);
  EXPECT_EQ(loaded.ServerName(), TBlackHoleTest::kAnyEnabled);
  EXPECT_EQ(BlockListBindingName(-70000), "Reserved -70000");
  EXPECT_EQ(BlockListBindingName(833), "Off list");
  // An empty text frees every input.
  EXPECT_TRUE(loaded.SetNeuronsText(""));
  EXPECT_EQ(loaded.Neurons(), TBlackHoleTest::TNeurons{});
}

TEST_F(BlackHoleTestTest, NetworkTestsOffAskAndRecordNothing) {
  TScopedNetworkTests off(false);
  TBlackHoleTest test;
  test.SetName("Lists");
  test.SetServerName(TBlackHoleTest::kAnyEnabled);
  test.SetIPNumber(TBlackHoleTest::kEveryRelay);
  test.SetStandardTestNum(70);
  TEmailMsgRef msg = MessageFromBytes(kTwoRelays);
  test.Preprocess(*msg);
  EXPECT_FALSE(test.Evaluate(*msg, nullptr));
  for (std::int32_t number : {70, 831, 832})
    EXPECT_EQ(test::StandardTrite(*msg, number), kTriteUnknown) << number;
  EXPECT_EQ(Server->Output(), "");
}

}  // namespace
}  // namespace halvorn
