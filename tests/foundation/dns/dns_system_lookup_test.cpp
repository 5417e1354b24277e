// Names the look-ups hand to the C library's resolver: names that are no
// valid domain names, and the resolver's own servers given by host name. The
// C library asks only port 53 of the servers in /etc/resolv.conf, so these run
// in network and mount namespaces of their own (support/namespace_dns.h),
// with one dnsmasq on 127.0.0.1:53 for the C library ("the system server")
// and another on a free port for the program's resolver ("our server"). The
// two give the same name different addresses, so an answer shows which path
// it took.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foundation/dns/dns_lookups.h"
#include "foundation/dns/dns_resolver.h"
#include "support/dns_test_servers.h"
#include "support/namespace_dns.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// A UDP socket on 127.0.0.1 that never answers; closed when the object goes.
class SilentServer {
 public:
  SilentServer() {
    FPort = test::FreeLocalPort();
    FSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(FPort);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FSocket >= 0 && FPort != 0 &&
        bind(FSocket, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) {
      close(FSocket);
      FSocket = -1;
    }
  }
  ~SilentServer() {
    if (FSocket >= 0) close(FSocket);
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  bool Ok() const { return FSocket >= 0; }
  std::uint16_t Port() const { return FPort; }

 private:
  int FSocket = -1;
  std::uint16_t FPort = 0;
};

// The servers of every test; each test starts them inside its own
// namespaces.
class DnsSystemLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::DnsmasqInstalled()) GTEST_SKIP() << "dnsmasq is not installed";
  }

  void StartServers() {
    ASSERT_TRUE(Silent.Ok());
    System = std::make_unique<test::PrivateNetworkDns>(std::vector<std::string>{
        "host-record=mailhost,192.0.2.20",
        "host-record=box.x,192.0.2.21",
        "host-record=dns.test,127.0.0.1",
        "host-record=dns.google,127.0.0.2",
        "server=/slowhost/127.0.0.1#" + std::to_string(Silent.Port()),
    });
    ASSERT_TRUE(System->Ok()) << System->Error();
    Ours = std::make_unique<test::DnsmasqServer>(std::vector<std::string>{
        "host-record=mailhost,198.51.100.20",
        "host-record=onlyours,198.51.100.21",
        "host-record=www.example.test,198.51.100.30",
        "host-record=other.example.test,198.51.100.31",
    });
    ASSERT_TRUE(Ours->Ok()) << Ours->Error();
  }

  void TearDown() override { EndDnsModule(); }

  SilentServer Silent;
  std::unique_ptr<test::PrivateNetworkDns> System;
  std::unique_ptr<test::DnsmasqServer> Ours;
};

std::string FirstAddress(const std::unique_ptr<TQueryResults>& results) {
  std::string address;
  if (results) results->GetAddress(address);
  return address;
}

TEST_F(DnsSystemLookupTest, NamesThatAreNoDomainNamesAskTheSystemFirst) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_NO_FATAL_FAILURE(StartServers());
  GlobalDnsResolver().SetPort(Ours->Port());
  GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
  struct Row {
    const char* name;
    std::vector<std::string> addresses;
    bool systemAsked;     // the name went to the C library
    bool systemAnswered;  // and our resolver was not asked
  } rows[] = {
      {"mailhost", {"192.0.2.20"}, true, true},  // one label
      {"box.x", {"192.0.2.21"}, true, true},     // one-letter top level
      // Unknown to the system: our resolver is asked next.
      {"onlyours", {"198.51.100.21"}, true, false},
      {"nowhere", {}, true, false},
      // A valid domain name never goes to the C library.
      {"www.example.test", {"198.51.100.30"}, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TStringList addresses;
    EXPECT_EQ(DnsIPLookup(row.name, addresses, true, nullptr, 5000), dns_NoError);
    std::vector<std::string> got;
    for (int i = 0; i < addresses.Count(); ++i) got.push_back(addresses[i]);
    EXPECT_EQ(got, row.addresses);
    EXPECT_EQ(System->QueriesFor("A", row.name) > 0, row.systemAsked) << System->LogText();
    EXPECT_EQ(Ours->QueriesFor(row.name) == 0, row.systemAnswered) << Ours->LogText();
  }
  std::uint32_t number = 0;
  EXPECT_EQ(DnsIPLookupNumber("mailhost", number, true, nullptr, 5000), dns_NoError);
  EXPECT_EQ(number, StrToIP("192.0.2.20"));

  // Neither the system nor our server answers: one time-out for the whole
  // look-up, not one for each path.
  GlobalDnsResolver().SetPort(Silent.Port());
  TStringList addresses;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(DnsIPLookup("slowhost", addresses, true, nullptr, 2000), dns_Timeout);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(3200));
  EXPECT_EQ(addresses.Count(), 0);
  EXPECT_GT(System->QueriesFor("A", "slowhost"), 0);
}

TEST_F(DnsSystemLookupTest, ServerNamesResolveThroughTheSystem) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_NO_FATAL_FAILURE(StartServers());
  TMultiDNSResolver resolver(false);
  resolver.SetPort(Ours->Port());
  resolver.SetServers(TStringList{"nothere.test", "dns.test"});
  std::unique_ptr<TQueryResults> results;
  ASSERT_EQ(
      resolver.QueryAndWait("www.example.test", TQTypeSet{qA}, true, nullptr, 5000, true, results),
      -1);
  EXPECT_EQ(FirstAddress(results), "198.51.100.30");
  EXPECT_EQ(results->Server, "127.0.0.1");
  EXPECT_EQ(Ours->QueriesFor("www.example.test"), 1);
  EXPECT_GT(System->QueriesFor("A", "dns.test"), 0);
  const TStringList servers = resolver.Servers();
  EXPECT_GE(servers.IndexOf("127.0.0.1"), 0);
  EXPECT_LT(servers.IndexOf("dns.test"), 0);

  // One server for one question, given by name.
  results.reset();
  ASSERT_EQ(resolver.QueryAndWait("other.example.test", TQTypeSet{qA}, true, nullptr, 5000, true,
                                  results, "dns.test"),
            -1);
  EXPECT_EQ(FirstAddress(results), "198.51.100.31");
  TStringList addresses;
  GlobalDnsResolver().SetPort(Ours->Port());
  GlobalDnsResolver().SetServers(TStringList{"192.0.2.1"});  // never asked
  EXPECT_EQ(DnsIPLookup("www.example.test", addresses, true, nullptr, 5000, "dns.test"),
            dns_NoError);
  ASSERT_EQ(addresses.Count(), 1);
  EXPECT_EQ(addresses[0], "198.51.100.30");

  // A server name that does not resolve refuses the question.
  results.reset();
  EXPECT_EQ(resolver.QueryAndWait("other.example.test", TQTypeSet{qMX}, true, nullptr, 5000, true,
                                  results, "nothere.test"),
            0);
  EXPECT_EQ(results, nullptr);
  EXPECT_EQ(Ours->QueriesFor("other.example.test"), 1);
}

TEST_F(DnsSystemLookupTest, DiscoveryResolvesTheFallbackNames) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_NO_FATAL_FAILURE(StartServers());
  // resolv.conf's server first, then the fallback names: the one the system
  // server knows as its address, the others as names.
  TStringList list;
  GetDnsServers(list, 5000, nullptr);
  ASSERT_GE(list.Count(), 3);
  EXPECT_EQ(list[0], "127.0.0.1");
  EXPECT_EQ(list[1], "127.0.0.2");
  EXPECT_EQ(list[2], "one.one.one.one");
  EXPECT_GT(System->QueriesFor("A", "dns.google"), 0);

  // A resolver with no servers discovers them at its first question and asks
  // the first.
  TMultiDNSResolver resolver(false);
  resolver.SetPort(Ours->Port());
  std::unique_ptr<TQueryResults> results;
  ASSERT_EQ(
      resolver.QueryAndWait("www.example.test", TQTypeSet{qA}, true, nullptr, 5000, true, results),
      -1);
  EXPECT_EQ(FirstAddress(results), "198.51.100.30");
  const TStringList servers = resolver.Servers();
  ASSERT_GE(servers.Count(), 2);
  EXPECT_EQ(servers[0], "127.0.0.1");
  EXPECT_EQ(servers[1], "127.0.0.2");
}

}  // namespace
}  // namespace halvorn
