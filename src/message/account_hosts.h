// The host entries of a remote account and the DNS look-ups that keep them.
//
// A remote account knows its mail server by a list of entries, each a host
// name or a dotted address with the IPv4 address last seen for it. The
// look-ups below are the only way the accounts reach DNS. The accounts call
// them with no account or collection lock held (a look-up may take seconds),
// and a look-up that failed (no answer, no server) is remembered for a minute:
// an offline machine answers at once instead of waiting again at every login
// of a mail reader.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/text/string_list.h"

namespace halvorn {

// One entry of a remote account's host list.
struct THostEntry {
  // A host name, a dotted address, or a web-mail pseudo-host ("Hotmail",
  // "msn").
  std::string Text;
  // Its IPv4 number (host_names.h order); 0 while unknown. A dotted address
  // always carries its own number.
  std::uint32_t Address = 0;
  bool operator==(const THostEntry&) const = default;
};

// The text is exactly one of the web-mail pseudo-hosts.
bool IsWebmailPseudoHost(const std::string& text);

// How long a failed look-up is remembered, in milliseconds.
inline constexpr int kFailedHostLookupMemoryMs = 60000;
// The time-outs of the look-ups.
inline constexpr int kHostReverseLookupMs = 1000;
inline constexpr int kHostForwardLookupMs = 1000;
inline constexpr int kHostResolveMs = 5000;

// The names of a dotted address (PTR), reduced to mail-server names
// (KeepMailServerHostNames). Appends to `names`.
TDNSResult AccountReverseLookup(const std::string& address, TStringList& names);
// The IPv4 addresses of a host name (A, a CNAME chain followed) through the
// program's resolver. Appends to `addresses`. A name that does not exist
// answers dns_NoError with nothing.
TDNSResult AccountForwardLookup(const std::string& name, std::vector<std::uint32_t>& addresses);
// The first address of a name through the system resolver (ResolveHost);
// `address` 0 when none.
TDNSResult AccountResolveHost(const std::string& name, std::uint32_t& address);

// Forgets every remembered failure (the network came back; tests).
void ForgetFailedHostLookups();

// Test seam. `Observer`, when set, is called on the calling thread just before
// each look-up starts (not for a remembered failure), with the kind ("PTR",
// "A" or "resolve") and the name. Each of the other three, when set, answers
// in place of the real look-up. Assigning an empty struct restores the real
// ones. Set it while no look-up runs.
struct THostLookupsForTests {
  std::function<void(const std::string& kind, const std::string& name)> Observer;
  std::function<TDNSResult(const std::string& address, TStringList& names)> Reverse;
  std::function<TDNSResult(const std::string& name, std::vector<std::uint32_t>& addresses)>
      Forward;
  std::function<TDNSResult(const std::string& name, std::uint32_t& address)> Resolve;
};
void SetHostLookupsForTests(THostLookupsForTests lookups);

}  // namespace halvorn
