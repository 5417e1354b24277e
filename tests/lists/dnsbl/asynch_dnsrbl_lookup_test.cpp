// A message's block-list questions against a scripted DNS server on
// 127.0.0.1 (dnspython): listed and unlisted answers, glue, SERVFAIL, a late
// and a silent zone, joined questions, owners' time-outs, abort and the
// bounds. Every zone is under ".test".
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include "foundation/dns/dns_lookups.h"
#include "foundation/dns/dns_resolver.h"
#include "foundation/time/clock.h"
#include "lists/network_tests.h"
#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ScriptedUdpServer;

// Answers by the first label of the question (the last octet of the relay
// 1.2.3.x): see the table of ListedAndUnlistedAnswers.
const char* kBlockListServer = R"PY(
import socket, sys, threading, time
import dns.flags, dns.message, dns.rcode, dns.rrset

log = open(sys.argv[1], 'a', buffering=1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
print('PORT', s.getsockname()[1], flush=True)

def rr(name, rdtype, *values):
    return dns.rrset.from_text(name + '.', 0, 'IN', rdtype, *values)

def later(wire, addr):
    time.sleep(0.3)
    s.sendto(wire, addr)

while True:
    data, addr = s.recvfrom(4096)
    try:
        q = dns.message.from_wire(data)
    except Exception:
        continue
    name = q.question[0].name.to_text(omit_final_dot=True).lower()
    log.write(name + '\n')
    first = name.split('.')[0]
    r = dns.message.make_response(q)
    r.flags |= dns.flags.RA
    if first == '4':
        r.answer.append(rr(name, 'A', '127.0.0.2'))
    elif first == '5':
        r.set_rcode(dns.rcode.NXDOMAIN)
    elif first == '6':
        r.answer.append(rr(name, 'A', '127.0.0.3', '127.0.0.4'))
    elif first == '7':
        r.additional.append(rr(name, 'A', '127.0.0.2'))
        r.additional.append(rr('ns.test', 'A', '127.0.0.2'))
    elif first == '8':
        r.set_rcode(dns.rcode.SERVFAIL)
    elif first == '9':
        r.answer.append(rr('another.test', 'A', '127.0.0.2'))
    elif first == '10':
        r.answer.append(rr(name, 'CNAME', 'target.test.'))
        r.answer.append(rr('target.test', 'A', '127.0.0.9'))
        r.additional.append(rr('ns.test', 'A', '127.0.0.2'))
    elif first == '11':
        r.answer.append(rr(name, 'A', '127.0.0.2'))
        threading.Thread(target=later, args=(r.to_wire(), addr), daemon=True).start()
        continue
    elif first == '12':
        continue
    s.sendto(r.to_wire(), addr)
)PY";

TDNSRBLServerRec Zone(const std::string& domain, const std::string& response = "127.0.0.2",
                      const std::string& endRange = "127.0.0.9") {
  TDNSRBLServerRec r;
  r.Name = domain;
  r.Domain = domain;
  r.Response = response;
  r.EndRange = endRange;
  return r;
}

std::uint32_t Relay(int last) {
  return StrToIP("1.2.3." + std::to_string(last));
}

int LinesOf(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  std::string l;
  int n = 0;
  while (std::getline(in, l)) n += l == line;
  return n;
}

class AsynchDnsrblLookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = new ScriptedUdpServer(kBlockListServer);
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

  static ScriptedUdpServer* Server;
};
ScriptedUdpServer* AsynchDnsrblLookupTest::Server = nullptr;

TEST_F(AsynchDnsrblLookupTest, ListedAndUnlistedAnswers) {
  struct Case {
    int Relay;
    TDNSResult State;
    const char* Answer;
    bool Listed;
  } cases[] = {
      {4, dns_NoError, "127.0.0.2", true},
      {5, dns_NoError, "0.0.0.0", false},           // no such name
      {6, dns_NoError, nullptr, true},              // one of several A records
      {7, dns_NoError, "0.0.0.0", false},           // glue in the additional section
      {8, dns_BadResultReturned, "0.0.0.0", false}, // SERVFAIL
      {9, dns_NoError, "0.0.0.0", false},           // a record for another name
      {10, dns_NoError, "127.0.0.9", true},         // through an alias
      {11, dns_NoError, "127.0.0.2", true},         // after 300 ms
      {12, dns_Timeout, "0.0.0.0", false},          // silence
  };
  TAsynchDNSRBLLookup lookup;
  for (const Case& c : cases) lookup.AddQuery(Relay(c.Relay), Zone("answers.test"), -1);
  const std::int64_t start = SteadyMilliseconds();
  lookup.Perform(1500, nullptr, 0);
  EXPECT_LT(SteadyMilliseconds() - start, 5000);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const TAsynchDNSRBLQuery q = lookup.GetQuery(static_cast<int>(i));
    SCOPED_TRACE(cases[i].Relay);
    EXPECT_EQ(q.State, cases[i].State);
    if (cases[i].Answer != nullptr) {
      EXPECT_EQ(IPToStr(q.Answer), cases[i].Answer);
    }
    EXPECT_EQ(q.IsListed(), cases[i].Listed);
  }
  EXPECT_THROW(lookup.GetQuery(99), std::out_of_range);

  std::string answer;
  EXPECT_EQ(DnsrblCheck("check.test", "1.2.3.4", answer), dns_NoError);
  EXPECT_EQ(answer, "127.0.0.2");
  EXPECT_EQ(DnsrblCheck("check.test", "1.2.3.7", answer), dns_NoError);
  EXPECT_EQ(answer, "0.0.0.0");
}

TEST_F(AsynchDnsrblLookupTest, OneQuestionForOneAddressInOneZone) {
  // Two rows of one zone (the zone's case differs), asked by two tests and
  // by another message: one datagram reaches the server.
  TAsynchDNSRBLLookup first, second;
  first.AddQuery(Relay(4), Zone("joined.test", "127.0.0.2", ""), 1);
  first.AddQuery(Relay(4), Zone("JOINED.test", "127.0.0.3", ""), 2);
  second.AddQuery(Relay(4), Zone("joined.test"), 1);
  first.Perform(2000, nullptr, 0);
  second.Perform(2000, nullptr, 0);
  for (const auto* l : {&first, &second})
    for (const TAsynchDNSRBLQuery& q : l->Queries()) EXPECT_EQ(q.State, dns_NoError);
  EXPECT_TRUE(first.GetQuery(0).IsListed());
  EXPECT_FALSE(first.GetQuery(1).IsListed());
  EXPECT_EQ(LinesOf(Server->Output(), "4.3.2.1.joined.test"), 1);
}

TEST_F(AsynchDnsrblLookupTest, AWaitTimesOutOnlyItsOwnersQuestions) {
  TAsynchDNSRBLLookup lookup;
  lookup.AddQuery(Relay(12), Zone("owners.test"), 5);
  lookup.AddQuery(Relay(12), Zone("owners2.test"), 7);
  lookup.AddQuery(Relay(4), Zone("owners.test"), 7);
  lookup.Perform(300, nullptr, 5);
  EXPECT_EQ(lookup.GetQuery(0).State, dns_Timeout);
  EXPECT_EQ(lookup.GetQuery(1).State, dns_NotPerformed);
  // Answered questions of other owners are collected on the way.
  EXPECT_TRUE(test::Eventually([&] {
    lookup.Perform(100, nullptr, 5);
    return lookup.GetQuery(2).State == dns_NoError;
  }));
  // Owner 0 waits for, and times out, everybody's.
  lookup.Perform(300, nullptr, 0);
  EXPECT_EQ(lookup.GetQuery(1).State, dns_Timeout);
}

TEST_F(AsynchDnsrblLookupTest, AbortEndsTheWaitWithoutTimeOuts) {
  TAsynchDNSRBLLookup lookup;
  lookup.AddQuery(Relay(12), Zone("abort.test"), -1);
  std::atomic<bool> abort{true};
  lookup.Perform(5000, &abort, 0);
  EXPECT_EQ(lookup.GetQuery(0).State, dns_NotPerformed);

  abort = false;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    abort = true;
  });
  const std::int64_t start = SteadyMilliseconds();
  lookup.Perform(20000, &abort, 0);
  setter.join();
  EXPECT_LT(SteadyMilliseconds() - start, 10000);
  EXPECT_EQ(lookup.GetQuery(0).State, dns_NotPerformed);
}

TEST_F(AsynchDnsrblLookupTest, RefusedQuestionsPostNothing) {
  TAsynchDNSRBLLookup lookup;
  // A closed list, an empty zone, and anything while network tests are off.
  lookup.AddQuery(Relay(4), Zone("closed.test.invalid"), -1);
  lookup.AddQuery(Relay(4), Zone(""), -1);
  {
    TScopedNetworkTests off(false);
    lookup.AddQuery(Relay(4), Zone("off.test"), -1);
  }
  // At most 500 questions a message: the 501st is refused.
  for (int i = 0; i < kMaxDnsrblQuestions; ++i) lookup.AddQuery(Relay(4), Zone("many.test"), -1);
  const int refused = lookup.AddQuery(Relay(5), Zone("many.test"), -1);
  lookup.Perform(2000, nullptr, 0);
  for (int i : {0, 1, 2, refused}) {
    EXPECT_EQ(lookup.GetQuery(i).QueryId, 0u) << i;
    EXPECT_EQ(lookup.GetQuery(i).State, dns_InternalError) << i;
  }
  EXPECT_EQ(lookup.GetQuery(3).State, dns_NoError);
  std::string answer;
  EXPECT_EQ(DnsrblCheck("closed.test.INVALID", "1.2.3.4", answer), dns_InternalError);
  EXPECT_EQ(answer, "0.0.0.0");
  const std::string log = Server->Output();
  for (const char* zone : {"invalid", "off.test", "5.3.2.1.many.test"})
    EXPECT_EQ(log.find(zone), std::string::npos) << zone;

  // Clear starts the count again.
  lookup.Clear();
  EXPECT_EQ(lookup.Count(), 0);
  EXPECT_NE(lookup.GetQuery(lookup.AddQuery(Relay(5), Zone("many.test"), -1)).QueryId, 0u);
}

}  // namespace
}  // namespace halvorn
