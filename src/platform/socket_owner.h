// Who is at the other end of an accepted TCP connection, when that end lies
// on this machine.
//
// On Linux "a connection from this machine" may come from any user. The
// kernel's table of the network namespace's TCP sockets (/proc/net/tcp)
// names the owner of every socket, so the peer's end of a connection made
// on this machine can be found there: it is the socket whose local end is
// the connection's remote end and whose remote end is the connection's local
// end.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn::platform {

// The user id that owns the peer's socket of the connected IPv4 TCP socket
// `fd`. False when the descriptor is no connected IPv4 TCP socket, the table
// cannot be read, or no socket of this machine's network namespace is the
// peer's end (a peer on another machine). Never blocks beyond reading the
// table. Safe from any thread.
bool FindTcpPeerOwner(int fd, std::uint32_t& uid);

// The same search over a table text in the format of /proc/net/tcp: the
// owner of the socket whose local end is peerAddress:peerPort and whose
// remote end is localAddress:localPort. Addresses are in wire order (as in
// in_addr.s_addr), ports in host order.
bool FindTcpSocketOwnerInTable(const std::string& table, std::uint32_t peerAddress,
                               std::uint16_t peerPort, std::uint32_t localAddress,
                               std::uint16_t localPort, std::uint32_t& uid);

// The local IPv4 address (wire order) of the connected socket `fd`; false
// when it has none.
bool GetLocalSocketAddress(int fd, std::uint32_t& address);

// The effective user id of this process.
std::uint32_t CurrentUserId();

}  // namespace halvorn::platform
