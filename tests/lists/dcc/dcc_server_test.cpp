// One DCC server against a fake (Python, stdlib) on its own 127.x address and
// port 6277: identity, counts and the cache, hostile replies (error, wrong
// length, a brand made to break a header) and silence.
#include "lists/dcc/dcc_server.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/net/host_names.h"
#include "foundation/time/clock.h"
#include "lists/network_tests.h"
#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ScriptedUdpServer;

// A fake DCC server at ADDRESS:6277 behaving as MODE says: "counts" answers
// every query with counts 10, 20, ...; "error" answers queries with an
// ERROR; "length" with a reply whose length field lies; "silent" answers
// only NOPs. A NOP gets an OK with the brand BRAND (hex). Every datagram is
// logged as "op r".
std::string FakeServer(const std::string& address, const std::string& mode,
                       const std::string& brand) {
  return R"PY(
import socket, struct, sys
ADDRESS, MODE, BRAND = ')PY" + address + "', '" + mode + "', bytes.fromhex('" + test::HexOf(brand) +
         R"PY(')
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
        body = struct.pack('!BBH64s', 4, 0, 100, BRAND)
        s.sendto(header(24 + len(body) + 16, 6, r) + body + bytes(16), addr)
    elif op == 3 and MODE != 'silent':
        n = (length - 44) // 18
        if MODE == 'error':
            text = b'no <b>way</b>\0'
            s.sendto(header(24 + len(text), 7, r) + text, addr)
            continue
        body = b''.join(struct.pack('!I', 10 * (i + 1)) for i in range(n))
        packet = header(40 + 4 * n, 4, r) + body + bytes(16)
        if MODE == 'length':
            packet = packet + b'\0\0\0\0'
        s.sendto(packet, addr)
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
                const std::string& brand = "Fake-1")
      : Server(FakeServer(address, mode, brand)), Dcc(StrToIP(address)) {}
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
  EXPECT_EQ(GetDccTargetCount(1, record), 10u);
  EXPECT_EQ(GetDccTargetCount(3, record), 20u);
  EXPECT_EQ(GetDccTargetCount(7, record), 30u);
  EXPECT_EQ(fake.Dcc.QueriesSent(), 1u);
  // The same sums again: from the cache, nothing sent.
  TDccChecksums again = Record(1);
  EXPECT_EQ(fake.Dcc.QueryServer(again), "");
  EXPECT_EQ(GetDccTargetCount(7, again), 30u);
  EXPECT_EQ(fake.Dcc.QueriesSent(), 1u);

  // A hostile brand cannot break the header name.
  std::string name, value, third;
  fake.Dcc.BuildMetricsHeader(record, name, value, third);
  EXPECT_EQ(name, "X-DCC-EvilXInjectedb1b-Metrics");
  EXPECT_EQ(value, "Quorvantis 4711; IP=10 From=20 Body=30");
}

TEST(DccServer, BadRepliesAndSilenceCacheNothing) {
  struct Case {
    const char* Address;
    const char* Mode;
    const char* Error;  // its start
  } cases[] = {
      {"127.0.29.2", "error", "no <b>way</b>"},
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

}  // namespace
}  // namespace halvorn
