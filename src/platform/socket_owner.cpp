#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace halvorn::platform {

namespace {

// "0100007F:0035" -> address (as stored in memory) and port.
bool ParseEndpoint(const std::string& text, std::uint32_t& address, std::uint16_t& port) {
  const std::size_t colon = text.find(':');
  if (colon != 8 || text.size() != 13) return false;
  const std::string addressText = text.substr(0, 8);
  const std::string portText = text.substr(9);
  char* end = nullptr;
  const unsigned long a = std::strtoul(addressText.c_str(), &end, 16);
  if (end == nullptr || *end != '\0') return false;
  const unsigned long p = std::strtoul(portText.c_str(), &end, 16);
  if (end == nullptr || *end != '\0' || p > 0xFFFF) return false;
  // The kernel prints the address word as the machine reads it, which is the
  // in-memory (wire) order of in_addr.s_addr on this machine.
  address = static_cast<std::uint32_t>(a);
  port = static_cast<std::uint16_t>(p);
  return true;
}

}  // namespace

bool FindTcpSocketOwnerInTable(const std::string& table, std::uint32_t peerAddress,
                               std::uint16_t peerPort, std::uint32_t localAddress,
                               std::uint16_t localPort, std::uint32_t& uid) {
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, owner;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> owner))
      continue;
    std::uint32_t la = 0, ra = 0;
    std::uint16_t lp = 0, rp = 0;
    if (!ParseEndpoint(local, la, lp) || !ParseEndpoint(remote, ra, rp)) continue;
    if (la != peerAddress || lp != peerPort || ra != localAddress || rp != localPort) continue;
    char* end = nullptr;
    const unsigned long value = std::strtoul(owner.c_str(), &end, 10);
    if (end == nullptr || *end != '\0') continue;
    uid = static_cast<std::uint32_t>(value);
    return true;
  }
  return false;
}

bool FindTcpPeerOwner(int fd, std::uint32_t& uid) {
  if (fd < 0) return false;
  sockaddr_in local{};
  sockaddr_in peer{};
  socklen_t length = sizeof(local);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET)
    return false;
  length = sizeof(peer);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET)
    return false;
  std::ifstream file("/proc/net/tcp");
  if (!file) return false;
  std::stringstream text;
  text << file.rdbuf();
  return FindTcpSocketOwnerInTable(text.str(), peer.sin_addr.s_addr, ntohs(peer.sin_port),
                                   local.sin_addr.s_addr, ntohs(local.sin_port), uid);
}

bool GetLocalSocketAddress(int fd, std::uint32_t& address) {
  if (fd < 0) return false;
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET)
    return false;
  address = local.sin_addr.s_addr;
  return true;
}

std::uint32_t CurrentUserId() {
  return static_cast<std::uint32_t>(::geteuid());
}

}  // namespace halvorn::platform
