// TDccServer: one DCC server at one address, and the exchange with it.
//
// A NOP learns the server's id, protocol version, brand and the delay it asks
// for; a query sends a message's checksums and gets one count per checksum.
// Queries go out early (PresendQuery, while a message is prepared) and are
// collected later (QueryServer, when it is judged); a reply is matched to its
// query by the request number r, so replies may come in any order, and each
// query listens until QueryTimeout after it was sent, so the waits of
// prepared messages overlap. Counts are cached per checksum (1000 entries),
// so the same body in many messages costs one query.
//
// Trust. A reply counts only when its length field equals the bytes
// received, and a reply to another pending query is checked before its
// counts are taken; the brand and error texts are the peer's bytes (bounded
// by what arrived) and are escaped or filtered wherever they are shown.
// While the checksums are not DCC's own (DccChecksumsArePublic false), a
// server exists only for an address in 127.0.0.0/8 and nothing is sent
// anywhere else; while network tests are off nothing is sent at all.
//
// Threads. The exchange (the socket) is serialised by a lock of its own;
// the state that others read (identity, counters, cache, pending queries) is
// guarded by "DccServer_CS", a leaf taken only briefly. Any thread may call
// every operation; the DCC test calls them on the incoming processing
// thread and the editor reads the identity and counters on the main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "lists/dcc/dcc_packets.h"
#include "message/dcc_checksums.h"

namespace halvorn {

class TUdpClient;

// An address (first octet lowest) a DCC server may have: any while the
// checksums are public, else only 127.0.0.0/8.
bool DccAddressAllowed(std::uint32_t address);

// The brand as it may stand in a header name: its letters, digits and "-",
// at most 64 of them.
std::string DccHeaderBrand(const std::string& brand);

class TDccServer {
 public:
  static constexpr int kQueryTimeoutMs = 2000;
  static constexpr int kNopTimeoutMs = 1000;
  static constexpr int kCacheCapacity = 1000;
  // An unanswered query older than this is dropped.
  static constexpr int kPendingLifetimeMs = 60000;
  // CheckForInput reads at most this often, and this long.
  static constexpr int kCheckIntervalMs = 100;
  static constexpr int kCheckReadMs = 10;

  // A server for the address (first octet lowest; 0 = none), with a socket
  // connected to it on port 6277 (none for 0 or an address that is not
  // allowed: every exchange then fails). Sends nothing.
  explicit TDccServer(std::uint32_t address);
  ~TDccServer();
  TDccServer(const TDccServer&) = delete;
  TDccServer& operator=(const TDccServer&) = delete;

  // The NOP exchange: empty on success (identity taken), else the error.
  std::string GetServerInfo();
  // Sends the record's query unless the cache or a pending query covers it;
  // does not wait. Empty, or the error.
  std::string PresendQuery(const TDccChecksums& record);
  // Fills the record's target counts: from the cache when it covers every
  // checksum, else by the query (sent when not pending) and its answer.
  // Empty, or the error (the counts are then DCC_TGTS_INVALID or as they
  // were).
  std::string QueryServer(TDccChecksums& record);
  // Takes the answer to the oldest pending query into the cache when it has
  // come; reads at most every 100 ms, for 10 ms.
  void CheckForInput();
  // How well the cache covers the record; -1 when it misses a checksum or
  // knows the envelope sender as sent before.
  int CachedScore(const TDccChecksums& record);
  // A pending query carries an identical record.
  bool IsPending(const TDccChecksums& record);
  // CountsNonZero x 1000 / CountsSeen; 0 before any count.
  int ReplyRatio() const;
  // The metrics header of an answered record: "X-DCC-" + the brand's header
  // form + "-Metrics" and "Quorvantis " + ServerId + ";" with " label=count"
  // for the checksum types 1 to 9 that have a count. `third` is cleared.
  void BuildMetricsHeader(const TDccChecksums& record, std::string& name, std::string& value,
                          std::string& third) const;

  // ---- Identity and counters (copies, under the lock)
  std::uint32_t Address() const { return FAddress; }
  std::string Brand() const;
  std::int32_t ServerId() const;
  int ServerVersion() const;
  int MaxPacketVersion() const;
  int WaitMs() const;
  std::uint32_t QueriesSent() const;
  std::uint32_t ChecksumsSent() const;
  std::uint32_t CountsSeen() const;
  std::uint32_t CountsNonZero() const;
  std::uint32_t InfoFailures() const;
  int PendingCount() const;
  int CacheCount() const;

 private:
  struct TCacheEntry {
    std::uint32_t Count = 0;
    std::uint8_t Type = 0;
    TDigest16 Sum{};
  };
  struct TPending {
    std::string Packet;
    TDccReply Reply;
    TDccChecksums Record;
    std::vector<std::uint8_t> Types;
    std::uint32_t R = 0;
    std::int64_t SentAt = 0;  // steady ms
  };
  using TPendingRef = std::shared_ptr<TPending>;

  // The next request numbers (r taken from NextRequest). Under FLock.
  TDccRequestNumbers NextNumbersLocked();
  // Sends the record's query unless one is pending. Under FIo.
  std::string SendQuery(const TDccChecksums& record);
  // Reads datagrams into the awaited query's reply until its own arrives or
  // `timeoutMs` pass; replies to other pending queries are taken on the
  // way. Under FIo.
  void ReceiveReply(const TPendingRef& awaited, int timeoutMs);
  std::string CheckReply(const TDccReply& reply, int items) const;
  // The answer's counts into the record's slots and the cache. Under FLock.
  void ParseAnswerLocked(TDccChecksums& record, const TDccReply& reply,
                         const std::vector<std::uint8_t>& types);
  std::string WaitForAnswer(TDccChecksums& record);
  bool AllCachedLocked(TDccChecksums& record) const;
  const TCacheEntry* CacheLookupLocked(int type, const TDigest16& sum) const;
  void CacheStoreLocked(int type, const TDigest16& sum, std::uint32_t count);
  TPendingRef FindPendingLocked(const TDccChecksums& record) const;
  void DropStalePendingLocked();
  void CheckForInputIo();
  // Sends the bytes; false (with the error) when the socket refused them.
  bool SendBytes(const std::string& bytes, std::string& error);

  const std::uint32_t FAddress;
  std::unique_ptr<TUdpClient> FSocket;
  std::mutex FIo;  // the socket and every exchange; taken before FLock

  mutable TMutexCriticalSection FLock{"DccServer_CS"};
  std::deque<TCacheEntry> FCache;
  std::vector<TPendingRef> FPending;  // oldest first
  std::int64_t FLastActivity = 0;     // steady ms
  int FServerVersion = 0;
  int FMaxPacketVersion = 0;
  int FWaitMs = 0;
  std::string FBrand;
  std::int32_t FServerId = 0;
  std::uint32_t FNextRequest = 1;
  std::uint32_t FQueriesSent = 0;
  std::uint32_t FChecksumsSent = 0;
  std::uint32_t FCountsSeen = 0;
  std::uint32_t FCountsNonZero = 0;
  std::uint32_t FInfoFailures = 0;
};

}  // namespace halvorn
