#include "foundation/intercept/ip_mapping.h"

#include <arpa/inet.h>

#include <algorithm>

#include "foundation/time/clock.h"

namespace halvorn {

namespace {

constexpr TDateTime kOneMinute = 1.0 / (24.0 * 60.0);

bool SameEntry(const TIPMappingEntry& a, const TIPMappingEntry& b) {
  return a.Redirected == b.Redirected && a.Original == b.Original && a.ProcessId == b.ProcessId;
}

}  // namespace

TSockAddrIn MakeSockAddrIn(std::uint32_t hostOrderAddress, std::uint16_t hostOrderPort) {
  TSockAddrIn result;
  result.Family = 2;
  result.Port = htons(hostOrderPort);
  result.Address = htonl(hostOrderAddress);
  return result;
}

std::uint32_t HostOrderAddress(const TSockAddrIn& address) {
  return ntohl(address.Address);
}
std::uint16_t HostOrderPort(const TSockAddrIn& address) {
  return ntohs(address.Port);
}

TIPMapping::TIPMapping() : FLock("IPMapping_CS") {}

int TIPMapping::Add(const TIPMappingEntry& entry) {
  const TDateTime now = Now();
  TCriticalSectionGuard guard(FLock);
  std::erase_if(FEntries, [now](const TIPMappingEntry& e) { return e.Expiry < now; });
  TIPMappingEntry copy = entry;
  copy.Expiry = now + kOneMinute;
  FEntries.push_back(copy);
  return static_cast<int>(FEntries.size()) - 1;
}

std::optional<TIPMappingEntry> TIPMapping::Lookup(const TSockAddrIn& redirected) const {
  TCriticalSectionGuard guard(FLock);
  for (const auto& e : FEntries) {
    if (e.Redirected.Address == redirected.Address) return e;
  }
  return std::nullopt;
}

bool TIPMapping::Remove(const TIPMappingEntry& entry) {
  TCriticalSectionGuard guard(FLock);
  for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
    if (SameEntry(*it, entry)) {
      FEntries.erase(it);
      return true;
    }
  }
  return false;
}

std::optional<TIPMappingEntry> TIPMapping::Take(const TSockAddrIn& redirected) {
  TCriticalSectionGuard guard(FLock);
  for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
    if (it->Redirected.Address == redirected.Address) {
      TIPMappingEntry result = *it;
      FEntries.erase(it);
      return result;
    }
  }
  return std::nullopt;
}

int TIPMapping::Count() const {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FEntries.size());
}

std::optional<TIPMappingEntry> TIPMapping::Items(int index) const {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FEntries.size())) return std::nullopt;
  return FEntries[static_cast<std::size_t>(index)];
}

void TIPMapping::Clear() {
  TCriticalSectionGuard guard(FLock);
  FEntries.clear();
}

TProcessIdList::TProcessIdList() : FLock("ProcessIdList_CS") {}

int TProcessIdList::Add(std::uint32_t pid) {
  TCriticalSectionGuard guard(FLock);
  auto it = std::find(FIds.begin(), FIds.end(), pid);
  if (it != FIds.end()) return static_cast<int>(it - FIds.begin());
  FIds.push_back(pid);
  return static_cast<int>(FIds.size()) - 1;
}

bool TProcessIdList::Find(std::uint32_t pid, std::uint32_t& foundPid) const {
  TCriticalSectionGuard guard(FLock);
  if (std::find(FIds.begin(), FIds.end(), pid) == FIds.end()) return false;
  foundPid = pid;
  return true;
}

bool TProcessIdList::Contains(std::uint32_t pid) const {
  std::uint32_t ignored = 0;
  return Find(pid, ignored);
}

bool TProcessIdList::Remove(std::uint32_t pid) {
  TCriticalSectionGuard guard(FLock);
  auto it = std::find(FIds.begin(), FIds.end(), pid);
  if (it == FIds.end()) return false;
  FIds.erase(it);
  return true;
}

int TProcessIdList::Count() const {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FIds.size());
}

void TProcessIdList::Clear() {
  TCriticalSectionGuard guard(FLock);
  FIds.clear();
}

// The globals live for the whole process: servers and worker threads may still
// use them while static destructors run.
TIPMapping& IPMapping() {
  static TIPMapping* mapping = new TIPMapping();
  return *mapping;
}

TProcessIdList& IgnoredProcessIds() {
  static TProcessIdList* list = new TProcessIdList();
  return *list;
}

TProcessIdList& RedirectedProcessIds() {
  static TProcessIdList* list = new TProcessIdList();
  return *list;
}

}  // namespace halvorn
