// The tables through which a redirected connection is matched to the
// destination its program wanted. The program's own outgoing POP3 and SMTP
// connections, which are let through, are listed by the line client
// (net/own_connections.h).
//
// The main window adds an entry for each connection it redirects to a local
// server (through a random loopback address 127.66.x.y); the local server that
// accepts the connection finds the entry by the address the connection arrived
// at. Entries that no server takes out expire one minute after they were added
// and are dropped by a later Add.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"

namespace halvorn {

// One IPv4 socket address in the 16-byte layout the interception library
// shares with the program: family (2), port and address in network byte
// order, 8 zero bytes.
struct TSockAddrIn {
  std::uint16_t Family = 2;
  std::uint16_t Port = 0;     // network byte order
  std::uint32_t Address = 0;  // network byte order, as in in_addr.s_addr
  std::uint8_t Zero[8] = {};

  bool operator==(const TSockAddrIn& other) const {
    return Family == other.Family && Port == other.Port && Address == other.Address;
  }
};
static_assert(sizeof(TSockAddrIn) == 16);

// Builds a socket address from host-order values: MakeSockAddrIn(0x7f000001,
// 110) is 127.0.0.1:110.
TSockAddrIn MakeSockAddrIn(std::uint32_t hostOrderAddress, std::uint16_t hostOrderPort);
// The address and port back in host byte order.
std::uint32_t HostOrderAddress(const TSockAddrIn& address);
std::uint16_t HostOrderPort(const TSockAddrIn& address);

// One mapping entry.
struct TIPMappingEntry {
  TSockAddrIn Redirected;  // the address the connection really goes to
  TSockAddrIn Original;    // the address the program wanted to reach
  std::uint32_t ProcessId = 0;
  TDateTime Expiry = 0;  // set by Add: now plus one minute
};

// The connection-mapping table. Every operation holds the lock "IPMapping_CS"
// and is safe from any thread. Entries are copied in and out, so no caller
// ever holds a reference into the table that a later Add could free.
class TIPMapping {
 public:
  TIPMapping();
  TIPMapping(const TIPMapping&) = delete;
  TIPMapping& operator=(const TIPMapping&) = delete;

  // Drops every entry whose expiry lies before now, then appends a copy of the
  // entry with its expiry set to now plus one minute. Returns the new entry's
  // index (0-based).
  int Add(const TIPMappingEntry& entry);

  // A copy of the first entry whose redirected IPv4 address equals the
  // argument's (the port is not compared); nullopt when there is none.
  std::optional<TIPMappingEntry> Lookup(const TSockAddrIn& redirected) const;

  // Removes the first entry equal to the given one (as returned by Lookup):
  // same redirected and original address and process id. False when none.
  bool Remove(const TIPMappingEntry& entry);

  // Lookup and Remove in one step under the lock: the form local servers use,
  // so that two connections can never both take the same entry.
  std::optional<TIPMappingEntry> Take(const TSockAddrIn& redirected);

  int Count() const;
  // A copy of the entry at the 0-based index; nullopt when out of range.
  std::optional<TIPMappingEntry> Items(int index) const;
  // Drops all entries.
  void Clear();

 private:
  mutable TMutexCriticalSection FLock;
  std::vector<TIPMappingEntry> FEntries;
};

// A list of process ids under its own lock "ProcessIdList_CS". Safe from any
// thread.
class TProcessIdList {
 public:
  TProcessIdList();
  TProcessIdList(const TProcessIdList&) = delete;
  TProcessIdList& operator=(const TProcessIdList&) = delete;

  // Appends the pid unless present; returns its 0-based index either way.
  int Add(std::uint32_t pid);
  // True when present; then foundPid holds it.
  bool Find(std::uint32_t pid, std::uint32_t& foundPid) const;
  bool Contains(std::uint32_t pid) const;
  // Removes the pid; false when it was not present.
  bool Remove(std::uint32_t pid);
  int Count() const;
  void Clear();

 private:
  mutable TMutexCriticalSection FLock;
  std::vector<std::uint32_t> FIds;
};

// The program's one mapping table and its two process-id lists: processes
// whose connections are let through unchanged, and those redirected. Created
// on first use; safe from any thread.
TIPMapping& IPMapping();
TProcessIdList& IgnoredProcessIds();
TProcessIdList& RedirectedProcessIds();

}  // namespace halvorn
