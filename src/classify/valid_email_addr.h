// The return-address check: can mail be written back to an address? Checked
// step by step only as deep as the caller asks: format, mail exchanger, its
// address, a TCP connection to port 25 and an SMTP dialogue (banner, HELO,
// "MAIL FROM: <>", RCPT TO, DATA) that never completes a message: after DATA
// one line is written and the connection is dropped, without the end-of-data
// line or QUIT.
//
// Every step appends a time-stamped line to the check's transcript, which
// the return-address test shows to the user (texts are kept verbatim,
// spelling included, since rules and users read them).
//
// Outcomes are remembered for the run in one process-wide address cache
// (lock "AddressCache"), so a repeated sender, or another sender at a mail
// server known to accept any address, costs no DNS or SMTP work. The cache
// keeps at most kAddressCacheCapacity entries, dropping the oldest first, so
// months of random spam senders cannot exhaust memory.
//
// A sender's DNS decides where the check connects, so an address in
// 0.0.0.0/8 or 127.0.0.0/8 is refused without connecting: it would make the
// check hold an SMTP dialogue with this computer.
//
// Threads: a check runs on its own worker (TValidEmailAddrThread2) or
// synchronously on the caller's thread. The record it fills lives in a
// shared state (TAddrCheckState): each step writes it under the state's
// leaf lock, and a snapshot copies under the same lock, so the test may read
// a running check. Thread, message and test share the state, so neither an
// abandoned thread nor a freed message frees it under another.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/threads/quor_thread.h"

namespace halvorn {

class TQuorAbstractClientSocket;

// How far a check goes, and how far it got (one byte).
enum TEAddrCheckLevel : std::uint8_t {
  acl_Cache = 0,
  acl_Format = 1,
  acl_MXLookup = 2,
  acl_MXResolve = 3,
  acl_Connect = 4,
  acl_Banner = 5,
  acl_Helo = 6,
  acl_MailFrom = 7,
  acl_RcptTo = 8,
  acl_Data = 9,
};
inline constexpr int kAddrCheckLevels = 10;

// The outcome; the cache compares results by this order.
enum TEAddrResult : std::uint8_t {
  ear_Valid = 0,
  ear_PermError = 1,
  ear_TransError = 2,
  ear_Timeout = 3,
};
inline constexpr int kAddrResults = 4;

// "acl_Cache" ... and "ear_Valid" ...; "" out of range.
const char* AddrCheckLevelName(int level);
const char* AddrResultName(int result);

// What CatchAll says of a mail server.
inline constexpr std::uint8_t kCatchAllAccepts = 0;
inline constexpr std::uint8_t kCatchAllRejects = 1;
inline constexpr std::uint8_t kCatchAllUnknown = 2;

// One check's outcome, and unchanged one entry of the address cache.
struct TValidEmailAddrRec {
  std::string Address;     // local part "@" domain, as parsed
  std::string Transcript;  // "hh:mm:ss - text" lines joined by CR LF
  std::string MailServer;  // the first mail exchanger; empty when none known
  std::uint32_t MailServerIP = 0;  // first octet in the lowest byte; 0 unknown
  std::uint32_t HostIP = 0;        // the domain's own address (direct connection)
  TEAddrCheckLevel Level = acl_Cache;
  TEAddrResult Result = ear_TransError;
  std::uint8_t CatchAll = kCatchAllUnknown;
  bool operator==(const TValidEmailAddrRec&) const = default;
};

// (level and 127) * 4 + (result and 127): 0 .. 39 for the enumerations.
int RetAddrInputIndex(int level, int result);

// The times of a check, in ms.
struct TAddrCheckTimes {
  int BudgetMs = 60000;         // the whole check, tested between steps
  int MXTimeoutMs = 10000;      // the MX look-up
  int IPTimeoutMs = 4000;       // each address look-up
  int SocketTimeoutMs = 20000;  // connect deadline and each read or write
  int ConnectRetries = 3;
  int WaitMs = 4000;  // how long the test waits for a check, from its start
};
TAddrCheckTimes AddrCheckTimes();
// Sets the times for a scope (tests). Not copyable.
class TScopedAddrCheckTimes {
 public:
  explicit TScopedAddrCheckTimes(const TAddrCheckTimes& times);
  ~TScopedAddrCheckTimes();
  TScopedAddrCheckTimes(const TScopedAddrCheckTimes&) = delete;
  TScopedAddrCheckTimes& operator=(const TScopedAddrCheckTimes&) = delete;

 private:
  TAddrCheckTimes FOld;
};

// Makes the client through which a check talks to a mail server: host (a
// dotted address) and port 25 are set on it afterwards. By default a
// TQuorClientSocket named "ValidEmailAddr2 smtp". Tests put a scripted
// in-memory client here for a scope. Called on the check's thread.
using TAddrCheckSocketMaker = std::function<std::unique_ptr<TQuorAbstractClientSocket>()>;
class TScopedAddrCheckSocketMaker {
 public:
  explicit TScopedAddrCheckSocketMaker(TAddrCheckSocketMaker maker);
  ~TScopedAddrCheckSocketMaker();
  TScopedAddrCheckSocketMaker(const TScopedAddrCheckSocketMaker&) = delete;
  TScopedAddrCheckSocketMaker& operator=(const TScopedAddrCheckSocketMaker&) = delete;

 private:
  TAddrCheckSocketMaker FOld;
};

// ---------------------------------------------------------------------------
// The address cache. Every read and write holds the "AddressCache" lock
// (TMutexCriticalSection: raises on its time-out); copies are made under it;
// searches run from the newest entry.

inline constexpr std::size_t kAddressCacheCapacity = 10000;

// Every entry, oldest first (a copy).
std::vector<TValidEmailAddrRec> AddressCacheEntries();
// Replaces the whole cache (tests; oldest first, cut to the capacity).
void SetAddressCacheEntries(const std::vector<TValidEmailAddrRec>& entries);
void ClearAddressCache();
// The newest entry whose Address equals `address` exactly; false when none.
bool FindCachedAddress(const std::string& address, TValidEmailAddrRec& entry);
// Files a check's record: overwrites the newest entry whose Address equals
// `givenAddress` ignoring case, whose Level is not above `requested` and
// whose Result is not above the record's; appends otherwise (dropping the
// oldest entry when full).
void FileAddressCacheEntry(const std::string& givenAddress, TEAddrCheckLevel requested,
                           const TValidEmailAddrRec& record);

// ---------------------------------------------------------------------------
// The shared state of one check.

class TAddrCheckState {
 public:
  TAddrCheckState() = default;
  TAddrCheckState(const TAddrCheckState&) = delete;
  TAddrCheckState& operator=(const TAddrCheckState&) = delete;

  // A copy of the record as it stands. Safe from any thread.
  TValidEmailAddrRec Snapshot() const;
  // Replaces the record (its owner, before a check runs).
  void Reset(const TValidEmailAddrRec& record);
  // Runs `change` on the record under the lock. `change` must not take
  // other locks.
  void Update(const std::function<void(TValidEmailAddrRec&)>& change);

  // The check's start, SteadyMilliseconds; the waits count from it.
  std::int64_t StartMs() const { return FStartMs.load(); }
  void SetStartMs(std::int64_t ms) { FStartMs.store(ms); }
  // The check has ended (also when it raised). Wakes WaitForAddressCheck.
  bool Done() const;
  void MarkDone();
  // Waits until Done or the steady clock reaches `deadlineMs`.
  bool WaitDoneUntil(std::int64_t deadlineMs) const;

 private:
  mutable std::mutex FMutex;
  mutable std::condition_variable FDoneChanged;
  TValidEmailAddrRec FRec;
  bool FDone = false;
  std::atomic<std::int64_t> FStartMs{0};
};
using TAddrCheckStateRef = std::shared_ptr<TAddrCheckState>;

// Runs the check of `address` as deep as `requested` and fills `state`'s
// record, returning when the check has ended. `stop` (may be null) is read
// between steps and by the DNS waits and the socket; ShuttingDown stops a
// check as well. `limitMs` > 0 cuts the budget and every wait to the time
// left of that many ms from the start (the synchronous check of the test).
// Failures of a step go to the transcript and the record only. Other
// exceptions reach the caller after the cache filing; EThreadAbandoned
// files nothing. Does not mark the state done.
void CheckEmailAddress(const std::string& address, TEAddrCheckLevel requested,
                       TAddrCheckState& state, const std::atomic<bool>* stop, int limitMs = 0);

// The reply reader of the SMTP steps. `reply` holds the first line read;
// the rest of a multi-line reply is appended, lines joined by CR LF. False
// when a read failed after delivering part of a line.
bool CollectSmtpReply(TQuorAbstractClientSocket& socket, std::string& reply);
// The first three characters as a number when they are all digits; else -1.
int SmtpReplyCode(const std::string& reply);

// ---------------------------------------------------------------------------
// The check thread. Created running, not freed on termination; the creator
// keeps its Handle and frees it (FreeThreadByHandle), or sets
// FreeOnTerminate when it stops waiting.
class TValidEmailAddrThread2 : public TQuorThread {
 public:
  TValidEmailAddrThread2(const std::string& address, TEAddrCheckLevel requested);

  const TAddrCheckStateRef& State() const { return FState; }

 protected:
  void Execute() override;

 private:
  const std::string FAddress;
  const TEAddrCheckLevel FRequested;
  const TAddrCheckStateRef FState;
};

// Starts a check thread (CreateQuorThread, running). Raises what thread
// creation raises.
TValidEmailAddrThread2* StartAddressCheckThread(const std::string& address,
                                                TEAddrCheckLevel requested);

// Waits for the check until it is done (true) or `timeoutMs` after its start
// has passed (false), looking at least every 100 ms.
bool WaitForAddressCheck(const TAddrCheckState& state, int timeoutMs);

}  // namespace halvorn
