#include "foundation/dns/dns_lookups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::DnsmasqServer;

std::vector<std::string> Lines(const TStringList& list) {
  return list.ToVector();
}

// Every look-up here goes to a dnsmasq on 127.0.0.1 through the global
// resolver, whose servers and port are set before its first question.
class DnsLookupsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = new DnsmasqServer({
        "local-ttl=300",
        "host-record=a.test,10.1.2.3",
        "host-record=real.test,10.3.3.3",
        "cname=alias.test,real.test",
        // Listed out of order: the look-up orders them.
        "mx-host=mx.test,mx30.mx.test,30",
        "mx-host=mx.test,mx10.mx.test,10",
        "mx-host=mx.test,mx20.mx.test,20",
        "host-record=mx10.mx.test,10.5.0.10",
        "host-record=mx20.mx.test,10.5.0.20",
        // Reverse name "mail..." whose domain's exchanger is another host.
        "ptr-record=1.0.20.10.in-addr.arpa,mail.fallback.test",
        "mx-host=fallback.test,mx.fallback.test,10",
        "host-record=mx.fallback.test,10.20.0.99",
        // The reverse name's parent domain has an exchanger at the address.
        "ptr-record=1.0.30.10.in-addr.arpa,mail.match.test",
        "mx-host=match.test,mx1.match.test,10",
        "host-record=mx1.match.test,10.30.0.1",
        // The reverse name itself has an exchanger at the address.
        "ptr-record=1.0.35.10.in-addr.arpa,srv.self.test",
        "mx-host=srv.self.test,in.self.test,10",
        "host-record=in.self.test,10.35.0.1",
        // No prefix, no matching exchanger.
        "ptr-record=1.0.40.10.in-addr.arpa,host.none.test",
        "mx-host=none.test,mx.none.test,10",
        "host-record=mx.none.test,10.40.0.99",
    });
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

  static DnsmasqServer* Server;
};
DnsmasqServer* DnsLookupsTest::Server = nullptr;

TEST_F(DnsLookupsTest, AddressLookups) {
  TStringList list;
  EXPECT_EQ(DnsIPLookup("a.test", list, false, nullptr, 3000), dns_NoError);
  EXPECT_EQ(Lines(list), std::vector<std::string>{"10.1.2.3"});

  std::uint32_t number = 0;
  EXPECT_EQ(DnsIPLookupNumber("a.test", number, false, nullptr, 3000), dns_NoError);
  EXPECT_EQ(IPToStr(number), "10.1.2.3");

  // A dotted address is answered as it stands, without a question.
  std::int64_t sent = GlobalDnsResolver().DatagramsSent();
  list.Clear();
  EXPECT_EQ(DnsIPLookup("10.0.0.1", list, false, nullptr, 3000), dns_NotPerformed);
  EXPECT_EQ(Lines(list), std::vector<std::string>{"10.0.0.1"});
  EXPECT_EQ(DnsIPLookupNumber("10.0.0.1", number, false, nullptr, 3000), dns_NotPerformed);
  EXPECT_EQ(IPToStr(number), "10.0.0.1");
  EXPECT_EQ(GlobalDnsResolver().DatagramsSent(), sent);

  // A name that does not exist is no error.
  list.Clear();
  EXPECT_EQ(DnsIPLookup("nosuch.test", list, true, nullptr, 3000), dns_NoError);
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(DnsLookupsTest, AliasChainInTheAnswerGivesTheAddressOnlyWhenFollowed) {
  TStringList list;
  EXPECT_EQ(DnsIPLookup("alias.test", list, false, nullptr, 3000), dns_NoError);
  EXPECT_EQ(list.Count(), 0);
  std::int64_t sent = GlobalDnsResolver().DatagramsSent();
  EXPECT_EQ(DnsIPLookup("alias.test", list, true, nullptr, 3000), dns_NoError);
  EXPECT_EQ(Lines(list), std::vector<std::string>{"10.3.3.3"});
  EXPECT_EQ(GlobalDnsResolver().DatagramsSent(), sent) << "answered from the known alias answer";
}

TEST_F(DnsLookupsTest, MailExchangersComeOrderedByPreference) {
  TStringList hosts;
  EXPECT_EQ(DnsMXLookup("mx.test", hosts, true, nullptr, 3000), dns_NoError);
  EXPECT_EQ(Lines(hosts),
            (std::vector<std::string>{"mx10.mx.test", "mx20.mx.test", "mx30.mx.test"}));
  std::string first;
  EXPECT_EQ(DnsMXLookupFirst("mx.test", first, true, nullptr, 3000), dns_NoError);
  EXPECT_EQ(first, "mx10.mx.test");
  TStringList addresses;
  EXPECT_EQ(DnsMXIPLookup("mx.test", addresses, true, nullptr, 3000), dns_NoError);
  EXPECT_EQ(Lines(addresses), (std::vector<std::string>{"10.5.0.10", "10.5.0.20"}));

  EXPECT_EQ(DnsMXLookup("10.1.1.1", hosts, true, nullptr, 3000), dns_NotPerformed);
  EXPECT_EQ(DnsMXLookupFirst("10.1.1.1", first, true, nullptr, 3000), dns_NotPerformed);
  EXPECT_EQ(DnsMXIPLookup("10.1.1.1", addresses, true, nullptr, 3000), dns_NotPerformed);
}

TEST_F(DnsLookupsTest, ReverseLookups) {
  TStringList names;
  EXPECT_EQ(DnsReverseLookup("10.20.0.1", names, nullptr, 3000), dns_NoError);
  EXPECT_EQ(Lines(names), std::vector<std::string>{"mail.fallback.test"});
  std::string name;
  EXPECT_EQ(DnsReverseLookupFirst("10.40.0.1", name, nullptr, 3000), dns_NoError);
  EXPECT_EQ(name, "host.none.test");

  std::int64_t sent = GlobalDnsResolver().DatagramsSent();
  names.Clear();
  EXPECT_EQ(DnsReverseLookup("127.0.0.1", names, nullptr, 3000), dns_NoError);
  EXPECT_EQ(Lines(names), (std::vector<std::string>{GetHostNameOrLocal(), "LocalHost"}));
  struct Row {
    const char* Address;
    TDNSResult Expected;
  } rows[] = {{"192.168.0.5", dns_NotPerformed}, {"not-an-address", dns_NotPerformed}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Address);
    names.Clear();
    EXPECT_EQ(DnsReverseLookup(row.Address, names, nullptr, 3000), row.Expected);
    EXPECT_EQ(names.Count(), 0);
  }
  EXPECT_EQ(GlobalDnsResolver().DatagramsSent(), sent);
  // 192.0.2.x is public: it is asked (and has no name here).
  names.Clear();
  EXPECT_EQ(DnsReverseLookup("192.0.2.7", names, nullptr, 3000), dns_NoError);
  EXPECT_GT(GlobalDnsResolver().DatagramsSent(), sent);
}

TEST_F(DnsLookupsTest, FindMailHostCases) {
  struct Row {
    const char* Address;
    const char* Expected;
  } rows[] = {
      {"10.20.0.1", "mail.fallback.test"},  // exchangers elsewhere: the reverse name
      {"10.30.0.1", "mx1.match.test"},      // parent domain's exchanger is the address
      {"10.35.0.1", "in.self.test"},        // the reverse name's own exchanger
      {"10.40.0.1", "10.40.0.1"},           // nothing fits: the address itself
      {"10.50.0.1", "10.50.0.1"},           // no reverse name at all
      {"mail.test", "mail.test"},           // not an address: unchanged
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Address);
    std::string host;
    FindMailHost(row.Address, 4000, nullptr, host);
    EXPECT_EQ(host, row.Expected);
  }
}

TEST_F(DnsLookupsTest, AStopFlagEndsTheWait) {
  std::atomic<bool> stop{true};
  TStringList list;
  // Nothing answers at 127.0.0.2: only the flag can end this early.
  EXPECT_EQ(DnsIPLookup("stopped.test", list, false, &stop, 60000, "127.0.0.2"), dns_NotPerformed);
}

// ---------------------------------------------------------------------------

TEST(DnsServersTest, ResolvConfServersComeFirstAndAreCached) {
  test::TempFolder folder;
  std::string path = folder.Sub("resolv.conf");
  ASSERT_TRUE(test::WriteFileBytes(path,
                                   "# local\nsearch example.test\nnameserver 10.9.8.7\n"
                                   "nameserver ::1\nnameserver   10.9.8.6  \n"
                                   "nameserver fe80::1%eth0\n;nameserver 10.0.0.9\n"));
  EXPECT_EQ(ReadResolvConfServers(path), (std::vector<std::string>{"10.9.8.7", "10.9.8.6"}));
  SetResolvConfPathForTests(path);
  ResetIpconfigServerForTests();

  TStringList list;
  GetDnsServers(list, 0, nullptr);
  ASSERT_EQ(list.Count(), 2 + 9);
  EXPECT_EQ(list[0], "10.9.8.7");
  EXPECT_EQ(list[1], "10.9.8.6");
  for (int i = 2; i < list.Count(); ++i) EXPECT_FALSE(IsIPAddress(list[i])) << list[i];

  // Once found, the first server is answered without reading again.
  ASSERT_TRUE(test::WriteFileBytes(path, "nameserver 10.1.1.1\n"));
  std::uint32_t address = 0;
  EXPECT_TRUE(GetIpconfigDnsServer(address));
  EXPECT_EQ(IPToStr(address), "10.9.8.7");
  EXPECT_EQ(IpconfigRunCountForTests(), 1);

  // With no server, five reads and then never again.
  ResetIpconfigServerForTests();
  ASSERT_TRUE(test::WriteFileBytes(path, "nameserver ::1\n"));
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(GetIpconfigDnsServer(address));
  EXPECT_EQ(IpconfigRunCountForTests(), 5);
  SetResolvConfPathForTests("");
  ResetIpconfigServerForTests();
}

}  // namespace
}  // namespace halvorn
