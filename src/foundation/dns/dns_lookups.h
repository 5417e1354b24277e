// The system's DNS resolver instance, the DNS servers it asks, and the
// look-ups the rest of the program uses: addresses of a host, names of an
// address, mail exchangers of a domain, and the mail-server name behind an
// address.
//
// Every look-up answers a TDNSResult (host_names.h) and never raises. A stop
// flag, when given, ends a wait as soon as it turns true. Any thread may run
// the look-ups; they wait inside the global resolver, which the waiting
// callers drive.
//
// DNS servers on Linux: the IPv4 "nameserver" lines of /etc/resolv.conf
// (IPv6 servers are skipped), then nine public fallback names.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/dns/dns_resolver.h"
#include "foundation/net/host_names.h"
#include "foundation/text/string_list.h"

namespace halvorn {

// The one resolver of the program, without a worker thread. Made on first use
// (or by StartDnsModule) with the servers of GetDnsServers(time-out 0), so the
// fallback names enter as names and are resolved in the background when first
// needed. A test sets its servers and port before the first question. Safe
// from any thread; valid until EndDnsModule.
TMultiDNSResolver& GlobalDnsResolver();

// Module start-up (creates the global resolver) and end (frees it; no look-up
// may run then). Both clear ExternalIP and the external host name.
void StartDnsModule();
void EndDnsModule();

// This computer's address as the outside world sees it (first octet in the
// lowest byte); 0 while unknown. Safe from any thread.
extern std::atomic<std::uint32_t> ExternalIP;
// The name of ExternalIP found by reverse look-up; empty while unknown. Kept
// under a leaf lock of its own. Safe from any thread.
std::string ExternalHostName();
void SetExternalHostName(const std::string& name);

// Fills the list with DNS servers: the cached first resolv.conf server, the
// other resolv.conf servers, then the fallback names, each resolved with the
// time left (the name itself when it does not resolve, when the time is up, or
// when the stop flag is set). Entries are trimmed; empty ones are removed.
// Never fails. A time-out of 0 resolves nothing.
void GetDnsServers(TStringList& list, int timeoutMs, TDnsStopFlag stop);

// The first IPv4 server of resolv.conf: false when there is none.
bool GetDnsServersFromIpconfig(std::uint32_t& address);
// The cached form: a server once found is answered from then on; after five
// runs that found none, false at once for good. Guarded by "IpConfig_CS".
bool GetIpconfigDnsServer(std::uint32_t& address);

// The IPv4 "nameserver" addresses of a resolv.conf file, in order.
std::vector<std::string> ReadResolvConfServers(const std::string& path);

// Tests: read another file in place of /etc/resolv.conf (empty: the real
// one), and forget the cached server and the runs used. How often the file was
// read for the cached server.
void SetResolvConfPathForTests(const std::string& path);
void ResetIpconfigServerForTests();
int IpconfigRunCountForTests();

// The server argument of the look-ups below: empty for the resolver's usual
// servers, otherwise the one server (dotted address or host name) to ask.

// Appends the name's IPv4 addresses in answer order. A dotted address is
// appended as it is (dns_NotPerformed). A name that is not a valid domain name
// goes to the system resolver first; the time-out covers both look-ups. With
// followCName, a known canonical name replaces the name, and an alias chain in
// the answer is followed (to its address in the same answer, or by one more
// look-up of the canonical name).
// A name that does not exist answers dns_NoError with nothing appended.
TDNSResult DnsIPLookup(const std::string& name, TStringList& addresses, bool followCName,
                       TDnsStopFlag stop, int timeoutMs, const std::string& server = {});
// The first address as a number (0 when none); a dotted address is converted
// directly and answers dns_NotPerformed.
TDNSResult DnsIPLookupNumber(const std::string& name, std::uint32_t& address, bool followCName,
                             TDnsStopFlag stop, int timeoutMs, const std::string& server = {});

// Appends the names of a dotted address. 127.x answers this machine's name and
// "LocalHost" without a question; 192.168.x is never asked (dns_NotPerformed),
// nor is a text that is no dotted address.
TDNSResult DnsReverseLookup(const std::string& address, TStringList& names, TDnsStopFlag stop,
                            int timeoutMs, const std::string& server = {});
TDNSResult DnsReverseLookupFirst(const std::string& address, std::string& name, TDnsStopFlag stop,
                                 int timeoutMs, const std::string& server = {});

// Appends the domain's mail exchangers, ordered by preference (lowest first;
// equal preferences keep answer order). A dotted address answers
// dns_NotPerformed.
TDNSResult DnsMXLookup(const std::string& domain, TStringList& hosts, bool followCName,
                       TDnsStopFlag stop, int timeoutMs, const std::string& server = {});
TDNSResult DnsMXLookupFirst(const std::string& domain, std::string& host, bool followCName,
                            TDnsStopFlag stop, int timeoutMs, const std::string& server = {});
// Appends the addresses of every mail exchanger of the domain (each looked up
// with the full time-out).
TDNSResult DnsMXIPLookup(const std::string& domain, TStringList& addresses, bool followCName,
                         TDnsStopFlag stop, int timeoutMs);

// The mail-server host name behind a dotted address: a mail exchanger (of a
// reverse name's domain or a parent domain) that resolves to the address; else
// the first reverse name that holds "Mail.", "MX.", "SMTP." or "POP."; else
// the address itself (also for any failure). Input that is no dotted address
// is answered unchanged.
void FindMailHost(const std::string& address, int timeoutMs, TDnsStopFlag stop, std::string& host);

}  // namespace halvorn
