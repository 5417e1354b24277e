// Look-ups through the C library's resolver against a DNS server of the
// test's own. The C library asks only port 53 of the servers in
// /etc/resolv.conf, so such tests run in a network and mount namespace of
// their own: the outer test starts this program again under "unshare -n -m"
// with a flag in the environment, and the tests of that child bring up its
// loopback, mount private resolver files over /etc's and start dnsmasq on
// 127.0.0.1:53. No datagram leaves the namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn::test {

// True inside the child that RunTestsInPrivateNetwork started with this flag.
bool InsidePrivateNetwork(const std::string& flag);

// The body of the outer test: runs this test program again inside a new
// network and mount namespace, with `flag`=1 in its environment and only the
// tests that `gtestFilter` selects, and expects the child to pass exactly
// `tests` tests with none skipped (so a child that ran nothing fails). Skips
// the calling test inside the child itself, and where no namespace can be
// made (not root, no dnsmasq, namespaces not allowed). Blocks until the child
// ends.
void RunTestsInPrivateNetwork(const std::string& flag, const std::string& gtestFilter, int tests);

// Inside the namespace: brings loopback up, makes every mount private, binds
// a resolv.conf ("nameserver 127.0.0.1"), a hosts file (localhost only) and an
// nsswitch.conf ("hosts: files dns") over /etc's, and starts dnsmasq on
// 127.0.0.1:53 with the extra configuration lines given ("host-record=...",
// "server=/zone/127.0.0.1#port", ...). Names it has no record for answer
// NXDOMAIN. Every query is logged. dnsmasq is stopped and the files are
// unmounted when the object goes, so a later object starts afresh.
class PrivateNetworkDns {
 public:
  explicit PrivateNetworkDns(const std::vector<std::string>& records);
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
  pid_t FPid = -1;
  std::string FError;
};

}  // namespace halvorn::test
