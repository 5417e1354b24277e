// The URI block-list test against a scripted DNS server on 127.0.0.1 that
// serves the combined zone moved under ".test": one question per registered
// domain, the answer bits, the bound of 100 domains, the network switch.
#include "classify/surbl_test.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "foundation/dns/dns_lookups.h"
#include "foundation/dns/dns_resolver.h"
#include "foundation/text/list_helpers.h"
#include "lists/network_tests.h"
#include "simple_tests_support.h"
#include "support/dns_test_servers.h"

namespace halvorn {
namespace {

using test::MessageFromBytes;
using test::ScriptedUdpServer;

// "spam<bits>.com" answers 127.0.0.<bits>; anything else is unknown.
const char* kUriServer = R"PY(
import socket, sys
import dns.message, dns.rcode, dns.rrset
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
    first = name.split('.')[0]
    if first.startswith('spam'):
        r.answer.append(dns.rrset.from_text(name + '.', 0, 'IN', 'A', '127.0.0.' + first[4:]))
    else:
        r.set_rcode(dns.rcode.NXDOMAIN)
    s.sendto(r.to_wire(), addr)
)PY";

std::string MessageWithLinks(const std::vector<std::string>& hosts) {
  std::string body;
  for (const std::string& h : hosts) body += "See http://" + h + "/page and more\r\n";
  return "From: a@b.test\r\nTo: c@d.test\r\nSubject: Links\r\n\r\n" + body;
}

// The distinct names asked (the resolver may send a question more than once).
int Lines(const std::string& text) {
  std::istringstream in(text);
  std::string l;
  std::set<std::string> names;
  while (std::getline(in, l)) names.insert(l);
  return static_cast<int>(names.size());
}

class SurblTestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = new ScriptedUdpServer(kUriServer);
    if (Server->Ok()) {
      GlobalDnsResolver().SetPort(Server->Port());
      GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
    }
  }
  static void TearDownTestSuite() {
    delete Server;
    Server = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(Server->Ok()) << Server->Error(); }

  // Prepares the message and waits until every posted question is answered.
  static void PrepareAndWait(TSURBLTest& test, TEmailMsg& msg) {
    test.Preprocess(msg);
    TStringList domains;
    {
      TCriticalSectionGuard guard(msg.MessageLock());
      ASSERT_TRUE(msg.UriDomains());
      domains = *msg.UriDomains();
    }
    EXPECT_TRUE(test::Eventually([&] {
      for (int i = 0; i < domains.Count(); ++i) {
        const auto id = static_cast<std::uint16_t>(domains.Numbers(i));
        std::unique_ptr<TQueryResults> results;
        if (id != 0 && GlobalDnsResolver().GetResult(id, results) >= 0) return false;
      }
      return true;
    }));
  }

  static ScriptedUdpServer* Server;
  TScopedSurblZoneForTests FZone{"surbl.test"};
};
ScriptedUdpServer* SurblTestTest::Server = nullptr;

TEST_F(SurblTestTest, AnswerBitsAndSettings) {
  struct Case {
    const char* Name;
    std::vector<std::string> Hosts;
    TSURBLTest::TSettings Settings;
    bool Passes;
    const char* ListCode;
  } cases[] = {
      // 64 = bit 6, the last sub-list.
      {"listed by the last", {"www.spam64.com", "clean.com"}, {true, true, true, true, true, true}, true, "64"},
      {"that sub-list off", {"spam64.com"}, {true, true, true, true, true, false}, false, "64"},
      {"two bits", {"a.spam6.com"}, {false, true, false, false, false, false}, true, "6"},
      {"clean, every sub-list on", {"clean.com"}, {true, true, true, true, true, true}, false, "0"},
      {"clean, every sub-list off", {"clean.com"}, {false, false, false, false, false, false}, true, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TSURBLTest test;
    test.SetName("Uri");
    test.SetSettings(c.Settings);
    TEmailMsgRef msg = MessageFromBytes(MessageWithLinks(c.Hosts));
    PrepareAndWait(test, *msg);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), c.Passes);
    std::string explanation;
    for (const std::string& l : test::ExplanationLines(test)) explanation += l + "\n";
    EXPECT_EQ(test.ListCode(), c.ListCode) << explanation;
    EXPECT_EQ(CommaTextValue(test.GetResultCode(msg->GetContentId()), "CR"), c.ListCode);
  }
  TSURBLTest test;
  const struct {
    const char* Code;
    std::vector<double> Inputs;
  } inputs[] = {{"CR=0", {0, 0, 0, 0, 0, 0, 1}}, {"CR=64", {0, 0, 0, 0, 0, 0, 0}},
                {"CR=6", {0, 1, 1, 0, 0, 0, 0}}, {"", {0, 0, 0, 0, 0, 0, 0}}};
  for (const auto& i : inputs) EXPECT_EQ(test.BuildNNInputs(i.Code), i.Inputs) << i.Code;
}

TEST_F(SurblTestTest, OneQuestionPerRegisteredDomainAtMostAHundred) {
  std::vector<std::string> hosts{"a.one.com", "b.one.com", "one.com", "www.two.com"};
  TSURBLTest test;
  test.SetName("Uri");
  TEmailMsgRef msg = MessageFromBytes(MessageWithLinks(hosts));
  PrepareAndWait(test, *msg);
  EXPECT_EQ(Lines(Server->Output()), 2) << Server->Output();

  std::vector<std::string> many;
  for (int i = 0; i < 150; ++i) many.push_back("host" + std::to_string(i) + ".com");
  TEmailMsgRef big = MessageFromBytes(MessageWithLinks(many));
  PrepareAndWait(test, *big);
  EXPECT_EQ(Lines(Server->Output()), 2 + kMaxUriDomains);
  EXPECT_FALSE(test.Evaluate(*big, nullptr));
  std::string explanation;
  for (const std::string& l : test::ExplanationLines(test)) explanation += l + "\n";
  EXPECT_NE(explanation.find("was lost"), std::string::npos);
}

TEST_F(SurblTestTest, NetworkTestsOffAskNothing) {
  TScopedNetworkTests off(false);
  TSURBLTest test;
  test.SetName("Uri");
  TEmailMsgRef msg = MessageFromBytes(MessageWithLinks({"spam64.com"}));
  test.Preprocess(*msg);
  EXPECT_FALSE(test.Evaluate(*msg, nullptr));
  EXPECT_EQ(test.ListCode(), "");
  EXPECT_EQ(CommaTextValue(test.GetResultCode(msg->GetContentId()), "CR"), "");
  EXPECT_EQ(Server->Output(), "");
}

}  // namespace
}  // namespace halvorn
