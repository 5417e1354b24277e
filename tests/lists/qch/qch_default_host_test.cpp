// The service host with no test seam, inside a network of the test's own
// with a resolver (dnsmasq) that logs every question: a hosts line naming
// "qch.halvorn.invalid" brings the client to the service on 6778; without
// one every exchange fails at once, with one log line and no question to
// DNS.
#include <gtest/gtest.h>

#include "foundation/time/clock.h"
#include "lists/qch/qch_client_socket.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/repository_test_support.h"
#include "support/namespace_dns.h"
#include "support/network_namespace.h"
#include "support/qch_fake_service.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::LogRecorder;

TEST(QchDefaultHost, OnlyAHostsLineNamesTheService) {
  if (!test::DnsmasqInstalled()) GTEST_SKIP() << "dnsmasq is not installed";
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  {
    test::PrivateNetworkDns dns({}, {"127.0.0.1 qch.halvorn.invalid"});
    ASSERT_TRUE(dns.Ok()) << dns.Error();
    test::QchFakeService fake("{}", "127.0.0.1", kQchServicePort, kQchServicePort);
    ASSERT_TRUE(fake.Ok()) << fake.Error();
    ResetQchStateForTests();
    TQCHClientSocket socket("Default");
    ASSERT_TRUE(socket.Open());
    std::uint32_t address = 0;
    EXPECT_TRUE(socket.GetExternalIp(address));
    QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "report"));
    ASSERT_TRUE(test::Eventually([&] { return fake.Count("udp") == 1; }));
    EXPECT_EQ(fake.Count("tcp", Qch_Client), 1);
    EXPECT_EQ(dns.QueriesFor("A", kQchServiceHost), 0) << dns.LogText();
  }
  {
    test::PrivateNetworkDns dns({});
    ASSERT_TRUE(dns.Ok()) << dns.Error();
    ResetQchStateForTests();
    LogRecorder log;
    TQCHClientSocket socket("Default");
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(socket.Open());
    QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "report"));
    EXPECT_LT(test::ElapsedSince(start), 5000);
    EXPECT_EQ(socket.LastConnectAttempts(), 0);
    EXPECT_EQ(dns.LogText().find(kQchServiceHost), std::string::npos) << dns.LogText();
    const auto records = LogRecorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Text, "Central service host not found");
  }
}

}  // namespace
}  // namespace halvorn
