// The block-list table under concurrent change (run under ThreadSanitizer
// too): readers keep whole snapshots while the table is swapped.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lists/dnsbl/dnsbl_servers.h"

namespace halvorn {
namespace {

TEST(DnsrblTableThreads, SwapsWhileReadersCopyRows) {
  TDNSRBLServerRecArray rows;
  LoadBuiltInDnsrblServers(rows);
  for (TDNSRBLServerRec& r : rows) r.Name = "0000" + r.Name;
  SetGlobalDnsrblServers(rows);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      while (!stop) {
        const TDnsrblTable table = GlobalDnsrblServers();
        // Every snapshot is one whole table: all names carry one generation.
        const std::string first = (*table)[0].Name;
        for (const TDNSRBLServerRec& r : *table)
          if (r.Name.substr(0, 4) != first.substr(0, 4)) ++torn;
        (void)DnsrblTestName(900);
      }
    });
  for (int generation = 0; generation < 200; ++generation) {
    const std::string tag = std::to_string(1000 + generation % 9000);
    ChangeGlobalDnsrblServers([&](TDNSRBLServerRecArray& table) {
      for (TDNSRBLServerRec& r : table) r.Name = tag + r.Name.substr(4);
    });
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(torn, 0);
  SetGlobalDnsrblServers({});
}

}  // namespace
}  // namespace halvorn
