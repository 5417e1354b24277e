// The DCC server list under concurrency (run under ThreadSanitizer too): the
// resolving thread appends servers while tests choose among them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/net/host_names.h"
#include "lists/dcc/dcc_server_list.h"
#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// Answers NOPs only (an OK with the brand "Fake" and the delay 100).
std::string NopServer(const std::string& address) {
  return R"PY(
import socket, struct, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((')PY" + address + R"PY(', 6277))
print('PORT', 6277, flush=True)
while True:
    data, addr = s.recvfrom(2048)
    if data[3] == 1:
        r = struct.unpack('<I', data[16:20])[0]
        body = struct.pack('!BBH64s', 4, 0, 100, b'Fake')
        head = struct.pack('!HBBI', 24 + len(body) + 16, 4, 6, 4711) + struct.pack('<IIII', 0, 0, r, 1)
        s.sendto(head + body + bytes(16), addr)
)PY";
}

TEST(DccServerListThreads, AppendsWhileTestsChooseServers) {
  const std::vector<std::string> addresses = {"127.0.29.51", "127.0.29.52", "127.0.29.53",
                                              "127.0.29.54"};
  std::vector<std::unique_ptr<test::ScriptedUdpServer>> fakes;
  std::string hosts;
  for (const std::string& address : addresses) {
    fakes.push_back(std::make_unique<test::ScriptedUdpServer>(NopServer(address)));
    ASSERT_TRUE(fakes.back()->Ok()) << fakes.back()->Error();
    hosts += (hosts.empty() ? "" : ",") + address;
  }
  TDccServerList list;
  TDccChecksums record;
  ClearDccRecord(record);
  std::atomic<bool> stop{false};
  std::atomic<int> seen{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      while (!stop) {
        const TDccServerRef best = list.GetBestServer(record);
        const TDccServerRef random = list.RandomServer();
        if (best && random) seen = std::max(seen.load(), list.Count());
        (void)list.GetServerBrand(4711);
        (void)list.IndexOfServerIP(StrToIP(addresses.back()));
        (void)list.HostsCommaText();
      }
    });
  list.SetServerCommaText(true, hosts);
  EXPECT_TRUE(test::Eventually([&] { return list.Count() == 4 && !list.Resolving(); }, 30000));
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GE(seen.load(), 1);
  EXPECT_EQ(list.HostsCommaText(), hosts);
}

}  // namespace
}  // namespace halvorn
