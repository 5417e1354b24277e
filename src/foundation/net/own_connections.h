// The program's own outgoing POP3 and SMTP connections.
//
// The line client registers every connection it makes to a POP3 or SMTP
// server here while the connection is set up, so that the interception, which
// redirects the mail connections of other programs to the local servers, can
// tell them apart and let them through.
#pragma once

#include <cstdint>

namespace halvorn {

// The program's own outgoing connections, one list for SMTP (lock
// "OutgoingSMTPConnection_CS") and one for POP3 ("OutgoingPOPConnection_CS").
// Each address is an IPv4 address as held in in_addr.s_addr (network byte
// order). Add appends (also when already present: one entry per connection
// being set up); Is answers whether it is present; Remove takes out one
// occurrence and answers whether there was one. Safe from any thread; the
// line client registers an address before it connects and removes exactly
// that address afterwards.
void AddOutgoingSmtpConnection(std::uint32_t address);
bool IsOutgoingSmtpConnection(std::uint32_t address);
bool RemoveOutgoingSmtpConnection(std::uint32_t address);
void AddOutgoingPopConnection(std::uint32_t address);
bool IsOutgoingPopConnection(std::uint32_t address);
bool RemoveOutgoingPopConnection(std::uint32_t address);

}  // namespace halvorn
