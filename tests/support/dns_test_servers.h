// DNS servers that tests start on 127.0.0.1: a real dnsmasq with records of
// the test's choosing, and a scripted Python server (dnspython) for replies no
// well-behaved server sends. Both run in the foreground as child processes and
// are stopped when the object goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace halvorn::test {

// A free UDP (and TCP) port on 127.0.0.1, above 20000; 0 when none was found.
std::uint16_t FreeLocalPort();

// Sends an A question for the name to 127.0.0.1:port and answers whether any
// reply came within the time-out.
bool DnsServerAnswers(std::uint16_t port, const std::string& name, int timeoutMs);

// dnsmasq on 127.0.0.1 and a free port, with no upstream servers: names it
// has no record for answer NXDOMAIN. `records` are extra configuration lines
// ("host-record=a.test,10.1.2.3", "mx-host=...", "cname=...", "ptr-record=...",
// "txt-record=...", "local-ttl=..."). Every query is logged, so a test can
// count the datagrams that reached it.
class DnsmasqServer {
 public:
  explicit DnsmasqServer(const std::vector<std::string>& records);
  ~DnsmasqServer();
  DnsmasqServer(const DnsmasqServer&) = delete;
  DnsmasqServer& operator=(const DnsmasqServer&) = delete;

  // Running and answering; otherwise Error() says why.
  bool Ok() const { return FServer.Pid() > 0 && FError.empty(); }
  const std::string& Error() const { return FError; }
  std::uint16_t Port() const { return FPort; }
  // How many queries for the name (any type; case kept as asked) it has logged.
  int QueriesFor(const std::string& name) const;
  std::string LogText() const;

 private:
  std::string FFolder;
  std::string FLogPath;
  std::uint16_t FPort = 0;
  ChildProcess FServer;
  std::string FError;
};

// A Python script run with /usr/bin/python3 from an empty temporary folder
// (so that no "dns/" folder in the working directory hides dnspython). The
// script receives the path of a file it may write to as argv[1], binds
// 127.0.0.1 itself and prints "PORT <n>" as its first output line once it is
// ready.
class ScriptedUdpServer {
 public:
  explicit ScriptedUdpServer(const std::string& script);
  ~ScriptedUdpServer();
  ScriptedUdpServer(const ScriptedUdpServer&) = delete;
  ScriptedUdpServer& operator=(const ScriptedUdpServer&) = delete;

  bool Ok() const { return FServer.Pid() > 0 && FPort != 0; }
  const std::string& Error() const { return FError; }
  std::uint16_t Port() const { return FPort; }
  // The contents of the file the script writes to.
  std::string Output() const;

 private:
  std::string FFolder;
  std::string FOutputPath;
  std::uint16_t FPort = 0;
  ChildProcess FServer;
  std::string FError;
};

}  // namespace halvorn::test
