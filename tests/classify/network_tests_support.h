// Shared pieces of the network-backed tests' tests: a DNS server on
// 127.0.0.1 that knows no name, with the global resolver pointed at it.
#pragma once

#include <gtest/gtest.h>

#include "foundation/dns/dns_lookups.h"
#include "support/dns_test_servers.h"

namespace halvorn::test {

// Answers every question "no such name".
inline constexpr const char* kNxDomainServer = R"PY(
import socket, sys
import dns.message, dns.rcode
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
print('PORT', s.getsockname()[1], flush=True)
while True:
    data, addr = s.recvfrom(4096)
    try:
        r = dns.message.make_response(dns.message.from_wire(data))
    except Exception:
        continue
    r.set_rcode(dns.rcode.NXDOMAIN)
    s.sendto(r.to_wire(), addr)
)PY";

// The server, and the global resolver asking it alone.
class NxDomainDns {
 public:
  NxDomainDns() : FServer(kNxDomainServer) {
    if (!FServer.Ok()) return;
    GlobalDnsResolver().SetPort(FServer.Port());
    GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
  }
  bool Ok() const { return FServer.Ok(); }
  const std::string& Error() const { return FServer.Error(); }

 private:
  ScriptedUdpServer FServer;
};

}  // namespace halvorn::test
