// One DCC server against a fake (Python, stdlib) on its own 127.x address and
// port 6277: identity, counts and the cache, hostile replies (error, wrong
// length, a brand made to break a header) and silence.
#include "lists/dcc/dcc_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/threads/heartbeat.h"
#include "lists/dcc/dcc_server_list.h"
#include "foundation/time/clock.h"
#include "lists/network_tests.h"
#include "support/dns_test_servers.h"
#include "support/namespace_dns.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ScriptedUdpServer;

// A fake DCC server at ADDRESS:6277 behaving as MODE says: "counts" answers
// every query with counts 100 x the first byte of the first sum + 10, 20,
// ...; "error" answers queries with an ERROR ("emptyerror": one without a
// text); "length" with a reply whose length field lies; "silent" answers
// only NOPs; "swap" keeps a query
// unanswered and answers the next one first, then the kept one; "crossed"
// keeps a query and, at the next, sends an ERROR carrying the kept query's
// r before the next one's answer. A NOP gets an OK with the brand BRAND
// (hex) and the delay DELAY. Every datagram is logged as "op r".
std::string FakeServer(const std::string& address, const std::string& mode,
                       const std::string& brand, int delay = 100) {
  return R"PY(
import socket, struct, sys
ADDRESS, MODE, BRAND = ')PY" + address + "', '" + mode + "', bytes.fromhex('" + test::HexOf(brand) +
         "')\nDELAY = " + std::to_string(delay) + R"PY(
kept = None
log = open(sys.argv[1], 'a', buffering=1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((ADDRESS, 6277))
print('PORT', 6277, flush=True)
def header(length, op, r):
    return struct.pack('!HBBI', length, 4, op, 4711) + struct.pack('<IIII', 0, 0, r, 1)
while True:
    data, addr = s.recvfrom(2048)
    length, version, op, sender = struct.unpack('!HBBI', data[:8])
    r = struct.unpack('<I', data[16:20])[0]
    log.write('%d %d\n' % (op, r))
    if op == 1:
        body = struct.pack('!BBH64s', 4, 0, DELAY, BRAND)
        s.sendto(header(24 + len(body) + 16, 6, r) + body + bytes(16), addr)
    elif op == 3 and MODE != 'silent':
        n = (length - 44) // 18
        if MODE in ('error', 'emptyerror'):
            text = b'no <b>way</b>\0' if MODE == 'error' else b'\0'
            s.sendto(header(24 + len(text), 7, r) + text, addr)
            continue
        seed = data[30] if n else 0
        body = b''.join(struct.pack('!I', 100 * seed + 10 * (i + 1)) for i in range(n))
        packet = header(40 + 4 * n, 4, r) + body + bytes(16)
        if MODE == 'length':
            packet = packet + b'\0\0\0\0'
        if MODE in ('swap', 'crossed') and kept is None:
            kept = (packet, r)
            continue
        if MODE == 'crossed':
            text = b'not yours\0'
            s.sendto(header(24 + len(text), 7, kept[1]) + text, addr)
            kept = None
        s.sendto(packet, addr)
        if MODE == 'swap':
            s.sendto(kept[0], addr)
            kept = None
)PY";
}

TDccChecksums Record(int seed) {
  TDccChecksums record;
  ClearDccRecord(record);
  for (int type : {1, 3, 7}) {
    TDigest16 sum{};
    sum[0] = static_cast<std::uint8_t>(seed);
    sum[1] = static_cast<std::uint8_t>(type);
    SetDccSum(type, sum, record);
  }
  return record;
}

struct Fake {
  explicit Fake(const std::string& address, const std::string& mode,
                const std::string& brand = "Fake-1", int delay = 100)
      : Server(FakeServer(address, mode, brand, delay)), Dcc(StrToIP(address)) {}
  ScriptedUdpServer Server;
  TDccServer Dcc;
};

TEST(DccServer, CountsIdentityAndTheCache) {
  Fake fake("127.0.29.1", "counts", "Evil: X\r\nInjected <b>1</b>");
  ASSERT_TRUE(fake.Server.Ok()) << fake.Server.Error();
  EXPECT_EQ(fake.Dcc.GetServerInfo(), "");
  EXPECT_EQ(fake.Dcc.ServerId(), 4711);
  EXPECT_EQ(fake.Dcc.Brand(), "Evil: X\r\nInjected <b>1</b>");

  TDccChecksums record = Record(1);
  EXPECT_EQ(fake.Dcc.PresendQuery(record), "");
  EXPECT_EQ(fake.Dcc.QueryServer(record), "");
  EXPECT_EQ(GetDccTargetCount(1, record), 110u);
  EXPECT_EQ(GetDccTargetCount(3, record), 120u);
  EXPECT_EQ(GetDccTargetCount(7, record), 130u);
  EXPECT_EQ(fake.Dcc.QueriesSent(), 1u);
  // The same sums again: from the cache, nothing sent.
  TDccChecksums again = Record(1);
  EXPECT_EQ(fake.Dcc.QueryServer(again), "");
  EXPECT_EQ(GetDccTargetCount(7, again), 130u);
  EXPECT_EQ(fake.Dcc.QueriesSent(), 1u);

  // A hostile brand cannot break the header name.
  std::string name, value, third;
  fake.Dcc.BuildMetricsHeader(record, name, value, third);
  EXPECT_EQ(name, "X-DCC-EvilXInjectedb1b-Metrics");
  EXPECT_EQ(value, "Quorvantis 4711; IP=110 From=120 Body=130");
}

TEST(DccServer, BadRepliesAndSilenceCacheNothing) {
  struct Case {
    const char* Address;
    const char* Mode;
    const char* Error;  // its start
  } cases[] = {
      {"127.0.29.2", "error", "no <b>way</b>"},
      {"127.0.29.8", "emptyerror", "Dcc server Fake-1 answered the query with an error"},
      {"127.0.29.3", "length", "Timed out"},
      {"127.0.29.4", "silent", "Timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Mode);
    Fake fake(c.Address, c.Mode);
    ASSERT_TRUE(fake.Server.Ok()) << fake.Server.Error();
    TDccChecksums record = Record(2);
    const std::int64_t start = SteadyMilliseconds();
    const std::string error = fake.Dcc.QueryServer(record);
    EXPECT_LT(SteadyMilliseconds() - start, 10000);
    EXPECT_EQ(error.substr(0, std::string(c.Error).size()), c.Error) << error;
    EXPECT_EQ(fake.Dcc.CacheCount(), 0);
    for (int type : {1, 3, 7}) EXPECT_EQ(GetDccTargetCount(type, record), DCC_TGTS_INVALID);
  }
}

TEST(DccServer, NothingGoesOutWhileNetworkTestsAreOffOrToAPublicAddress) {
  EXPECT_TRUE(DccAddressAllowed(StrToIP("127.0.0.5")));
  if (!DccChecksumsArePublic()) {
    EXPECT_FALSE(DccAddressAllowed(StrToIP("192.0.2.1")));
  }
  Fake fake("127.0.29.5", "counts");
  ASSERT_TRUE(fake.Server.Ok()) << fake.Server.Error();
  {
    TScopedNetworkTests off(false);
    TDccChecksums record = Record(3);
    EXPECT_NE(fake.Dcc.QueryServer(record), "");
    EXPECT_NE(fake.Dcc.GetServerInfo(), "");
  }
  EXPECT_EQ(fake.Server.Output(), "");
  EXPECT_EQ(DccHeaderBrand(std::string(100, 'a') + ": -x"), std::string(64, 'a'));
  EXPECT_EQ(DccHeaderBrand("a b:c-d\xe9"), "abc-d");
}

// Replies in another order than the queries, and an ERROR carrying another
// pending query's r: each query gets its own counts, and the error makes no
// counts for the query it names (which stays pending).
TEST(DccServer, RepliesOutOfOrderAndAnErrorForAnotherQuery) {
  {
    Fake fake("127.0.29.6", "swap");
    ASSERT_TRUE(fake.Server.Ok()) << fake.Server.Error();
    TDccChecksums first = Record(1), second = Record(2);
    EXPECT_EQ(fake.Dcc.PresendQuery(first), "");
    EXPECT_EQ(fake.Dcc.QueryServer(second), "");
    EXPECT_EQ(fake.Dcc.QueryServer(first), "");
    EXPECT_EQ(GetDccTargetCount(7, first), 130u);
    EXPECT_EQ(GetDccTargetCount(7, second), 230u);
    EXPECT_EQ(fake.Dcc.QueriesSent(), 2u);
  }
  Fake fake("127.0.29.7", "crossed");
  ASSERT_TRUE(fake.Server.Ok()) << fake.Server.Error();
  TDccChecksums first = Record(1), second = Record(2);
  EXPECT_EQ(fake.Dcc.PresendQuery(first), "");
  EXPECT_EQ(fake.Dcc.QueryServer(second), "");
  EXPECT_EQ(GetDccTargetCount(1, second), 210u);
  EXPECT_EQ(fake.Dcc.CacheCount(), 3);
  EXPECT_EQ(fake.Dcc.PendingCount(), 1);
  EXPECT_TRUE(fake.Dcc.IsPending(first));
  EXPECT_EQ(fake.Dcc.CachedScore(first), -1);
}

// Three servers and a dead address: the dead one is left out; the best is
// the smallest delay before any count, the best reply ratio after, the one
// whose cache covers the record before all, and one with the record
// pending when no cache covers it.
TEST(DccServerList, BestOfThree) {
  Fake slow("127.0.29.11", "counts", "Slow", 300);
  Fake counting("127.0.29.12", "counts", "Counting", 200);
  Fake quiet("127.0.29.13", "silent", "Quiet", 50);
  for (const Fake* f : {&slow, &counting, &quiet}) ASSERT_TRUE(f->Server.Ok()) << f->Server.Error();
  TDccServerList list;
  list.SetServerCommaText(false, "127.0.29.11, 127.0.29.14,127.0.29.12,127.0.29.13");
  EXPECT_EQ(list.HostsCommaText(), "127.0.29.11,127.0.29.14,127.0.29.12,127.0.29.13");
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.IndexOfServerIP(StrToIP("127.0.29.14")), -1);
  auto brand = [](const TDccServerRef& server) { return server ? server->Brand() : "(none)"; };

  const TDccChecksums one = Record(1), two = Record(2), three = Record(3);
  EXPECT_EQ(brand(list.GetBestServer(one)), "Quiet");
  TDccChecksums asked = one;
  ASSERT_EQ(list.Items(list.IndexOfServerIP(StrToIP("127.0.29.12")))->QueryServer(asked), "");
  EXPECT_EQ(brand(list.GetBestServer(two)), "Counting");
  EXPECT_EQ(brand(list.GetBestServer(one)), "Counting");
  ASSERT_EQ(list.Items(list.IndexOfServerIP(StrToIP("127.0.29.13")))->PresendQuery(three), "");
  EXPECT_EQ(brand(list.GetBestServer(three)), "Quiet");
  EXPECT_EQ(list.GetServerBrand(4711), "Quiet");
  EXPECT_EQ(slow.Server.Output(), "1 1\n");  // its NOP alone
}

// An empty host text gives the built-in public hosts, kept and shown but
// never looked up nor asked while our checksums are not DCC's own.
TEST(DccServerList, EmptyHostsAreTheBuiltInOnesNeverAsked) {
  if (DccChecksumsArePublic()) GTEST_SKIP() << "the checksums are DCC's own here";
  TDccServerList list;
  list.SetServerCommaText(false, " ");
  TStringList expected;
  for (const std::string& host : DefaultDccHosts()) expected.Add(host);
  EXPECT_EQ(list.Hosts().CommaText(), expected.CommaText());
  EXPECT_EQ(expected.Count(), 11);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.GetBestServer(Record(1)), nullptr);
  EXPECT_EQ(list.RandomServer(), nullptr);
}

// In a network of its own, with 192.0.2.1 on the loopback and a fake
// listening there: of the hosts "127.0.0.5", "192.0.2.1" and a name that
// resolves to both, only loopback addresses become servers and the fake at
// 192.0.2.1 gets nothing. Then the built-in hosts: none is looked up.
TEST(DccServerList, OnlyLoopbackServersAreAsked) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  if (DccChecksumsArePublic()) GTEST_SKIP() << "the checksums are DCC's own here";
  ASSERT_EQ(test::RunCommand({"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"}).ExitCode, 0);
  const test::PrivateNetworkDns dns({"host-record=both.dcc.test,127.0.0.6",
                                     "host-record=both.dcc.test,192.0.2.1"});
  ASSERT_TRUE(dns.Ok()) << dns.Error();
  Fake five("127.0.0.5", "counts", "Five");
  Fake six("127.0.0.6", "counts", "Six");
  Fake outside("192.0.2.1", "counts", "Outside");
  for (const Fake* f : {&five, &six, &outside}) ASSERT_TRUE(f->Server.Ok()) << f->Server.Error();
  LastNetworkSuccess.store(Now());  // the name's look-up needs the internet "up"
  TDccServerList list;
  list.SetServerCommaText(false, "127.0.0.5,192.0.2.1,both.dcc.test");
  EXPECT_EQ(dns.QueriesFor("A", "both.dcc.test"), 1);
  std::vector<std::string> servers;
  for (const TDccServerRef& server : *list.Servers()) servers.push_back(IPToStr(server->Address()));
  EXPECT_EQ(servers, (std::vector<std::string>{"127.0.0.5", "127.0.0.6"}));
  TDccChecksums record = Record(1);
  EXPECT_EQ(list.GetBestServer(record)->QueryServer(record), "");
  EXPECT_EQ(outside.Server.Output(), "");

  list.SetServerCommaText(false, "");
  EXPECT_EQ(list.Hosts().Count(), 11);
  for (const std::string& host : DefaultDccHosts()) EXPECT_EQ(dns.QueriesFor("A", host), 0) << host;
  EXPECT_EQ(outside.Server.Output(), "");
}

}  // namespace
}  // namespace halvorn
