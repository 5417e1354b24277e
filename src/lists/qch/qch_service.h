// Where the central service is, and the state its clients share: the host
// and ports, how host names are resolved, the 60-second back-off after a
// failed connection, and the module's start and end.
//
// The service host is "qch.halvorn.invalid". Names under "invalid" are
// reserved (RFC 6761) and never asked of DNS: they are looked up in
// /etc/hosts only. On a user's machine, which has no such line, every
// exchange therefore fails at once with nothing sent off the machine (and
// "Central service host not found" logged once per run); a machine that
// runs a service of its own names it there. Only a redirect from the service
// changes the host of a connection; the settings' "HostName" names this
// computer in local links and has nothing to do with the service.
//
// Every function is safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

inline constexpr const char* kQchServiceHost = "qch.halvorn.invalid";
// The service's TCP and UDP port.
inline constexpr int kQchServicePort = 6778;

// The service host and ports in force (the defaults above unless a test
// moved them).
std::string QchServiceHost();
int QchTcpPort();
int QchUdpPort();

// The IPv4 number of a host (first byte lowest; 0 when it cannot be found):
// a dotted address is converted, a name under "invalid" is looked up in
// /etc/hosts only, any other name through the system resolver within
// `timeoutMs`.
std::uint32_t ResolveQchHost(const std::string& host, int timeoutMs);

// The address of the name in a hosts file (the first IPv4 line naming it,
// names compared ignoring case, "#" starting a comment); 0 when none.
std::uint32_t LookupHostsFile(const std::string& name, const std::string& path = "/etc/hosts");

// Logs "Central service host not found" the first time in a run it is
// called (a test's scope counts as a run).
void ReportQchHostNotFound();

// The back-off: true while less than 60 seconds have passed since the last
// failed connection to the service (by any socket).
bool QchConnectBlocked();
// Starts the back-off now.
void RecordQchConnectFailure();

// Module start (lists module): the identity from the settings, the stop
// codes at their defaults, the UDP report path ready. Module end: the UDP
// client and queue freed. Neither raises.
void InitializeQchModule();
void FinalizeQchModule();

// Test seams.
//
// Points the clients at a service of the test's own for its scope: host
// (a dotted address or a name), TCP and UDP ports. Starting and ending, it
// clears the back-off, the stop codes (defaults), the identity (none), the
// UDP client and queue and the once-per-run log. Not copyable; one at a
// time.
class ScopedQchServiceForTests {
 public:
  ScopedQchServiceForTests(const std::string& host, int tcpPort, int udpPort);
  ~ScopedQchServiceForTests();
  ScopedQchServiceForTests(const ScopedQchServiceForTests&) = delete;
  ScopedQchServiceForTests& operator=(const ScopedQchServiceForTests&) = delete;
};
// Clears the shared state as the scope above does, the host and ports kept.
void ResetQchStateForTests();
// Moves the last failed connection `ms` further into the past.
void AgeQchBackOffForTests(int ms);

}  // namespace halvorn
