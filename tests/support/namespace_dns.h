// Look-ups through the C library's resolver against a DNS server of the
// test's own. The C library asks only port 53 of the servers in
// /etc/resolv.conf, so such tests run in namespaces of their own
// (HALVORN_IN_OWN_NETWORK_NAMESPACE, network_namespace.h), mount private
// resolver files over /etc's there and start dnsmasq on 127.0.0.1:53. No
// datagram leaves the namespace.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace halvorn::test {

// dnsmasq is installed; tests that need it skip without it.
bool DnsmasqInstalled();

// Inside the test's own namespaces: makes every mount private, binds
// a resolv.conf ("nameserver 127.0.0.1"), a hosts file (localhost and the
// extra lines given) and an nsswitch.conf ("hosts: files dns") over /etc's,
// and starts dnsmasq on 127.0.0.1:53 with the extra configuration lines given
// ("host-record=...", "server=/zone/127.0.0.1#port", ...). Names it has no record for answer
// NXDOMAIN. Every query is logged. dnsmasq is stopped and the files are
// unmounted when the object goes, so a later object starts afresh.
class PrivateNetworkDns {
 public:
  explicit PrivateNetworkDns(const std::vector<std::string>& records,
                             const std::vector<std::string>& hostsLines = {});
  ~PrivateNetworkDns();
  PrivateNetworkDns(const PrivateNetworkDns&) = delete;
  PrivateNetworkDns& operator=(const PrivateNetworkDns&) = delete;

  // Set up and answering on port 53; otherwise Error() says why.
  bool Ok() const { return FError.empty(); }
  const std::string& Error() const { return FError; }
  std::string LogText() const;
  // How many logged queries of the type ("A", "MX", ...) name exactly this
  // name.
  int QueriesFor(const std::string& type, const std::string& name) const;

 private:
  TempFolder FFolder;
  std::vector<std::string> FMounted;
  ChildProcess FServer;
  std::string FError;
};

}  // namespace halvorn::test
