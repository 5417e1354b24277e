#include "foundation/net/own_connections.h"

#include <algorithm>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {
namespace {

// One list of own outgoing connections.
class TOutgoingList {
 public:
  explicit TOutgoingList(const char* lockName) : FLock(lockName) {}
  void Add(std::uint32_t address) {
    TCriticalSectionGuard guard(FLock);
    FAddresses.push_back(address);
  }
  bool Is(std::uint32_t address) {
    TCriticalSectionGuard guard(FLock);
    return std::find(FAddresses.begin(), FAddresses.end(), address) != FAddresses.end();
  }
  bool Remove(std::uint32_t address) {
    TCriticalSectionGuard guard(FLock);
    auto it = std::find(FAddresses.begin(), FAddresses.end(), address);
    if (it == FAddresses.end()) return false;
    FAddresses.erase(it);
    return true;
  }

 private:
  TMutexCriticalSection FLock;
  std::vector<std::uint32_t> FAddresses;
};

TOutgoingList& SmtpList() {
  static TOutgoingList* list = new TOutgoingList("OutgoingSMTPConnection_CS");
  return *list;
}

TOutgoingList& PopList() {
  static TOutgoingList* list = new TOutgoingList("OutgoingPOPConnection_CS");
  return *list;
}

}  // namespace

void AddOutgoingSmtpConnection(std::uint32_t address) {
  SmtpList().Add(address);
}
bool IsOutgoingSmtpConnection(std::uint32_t address) {
  return SmtpList().Is(address);
}
bool RemoveOutgoingSmtpConnection(std::uint32_t address) {
  return SmtpList().Remove(address);
}
void AddOutgoingPopConnection(std::uint32_t address) {
  PopList().Add(address);
}
bool IsOutgoingPopConnection(std::uint32_t address) {
  return PopList().Is(address);
}
bool RemoveOutgoingPopConnection(std::uint32_t address) {
  return PopList().Remove(address);
}

}  // namespace halvorn
