#include "lists/dcc/dcc_server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <utility>

#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/net/udp_client.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "lists/network_tests.h"

namespace halvorn {

namespace {

constexpr const char* kNetworkTestsOff = "Network tests are switched off";

bool IsChecksumSlot(const TDccSlot& slot) {
  return slot.Type >= DCC_CK_IP && slot.Type <= DCC_CK_SRVR_ID;
}

}  // namespace

bool DccAddressAllowed(std::uint32_t address) {
  if (address == 0) return false;
  return DccChecksumsArePublic() || (address & 0xFFu) == 127;
}

std::string DccHeaderBrand(const std::string& brand) {
  std::string out;
  for (unsigned char c : brand) {
    if (out.size() == 64) break;
    if ((c < 128 && std::isalnum(c)) || c == '-') out.push_back(static_cast<char>(c));
  }
  return out;
}

TDccServer::TDccServer(std::uint32_t address)
    : FAddress(address), FLastActivity(SteadyMilliseconds()) {
  if (!DccAddressAllowed(address)) return;
  try {
    FSocket = std::make_unique<TUdpClient>(IPToStr(address), kDccPort);
  } catch (const EUdpClientError& e) {
    Log("DCC", std::string("No socket for the server at ") + IPToStr(address) + ": " + e.what(), 9,
        true);
  }
}

TDccServer::~TDccServer() = default;

TDccRequestNumbers TDccServer::NextNumbersLocked() {
  TDccRequestNumbers n;
  n.H = static_cast<std::uint32_t>(UserNumber.load());
  n.P = static_cast<std::uint32_t>(getpid());
  n.R = FNextRequest++;
  n.T = 1;
  return n;
}

bool TDccServer::SendBytes(const std::string& bytes, std::string& error) {
  if (!NetworkTestsOn()) {
    error = kNetworkTestsOff;
    return false;
  }
  if (!FSocket) {
    error = "Invalid IP for server";
    return false;
  }
  try {
    FSocket->Send(bytes);
    return true;
  } catch (const EUdpClientError& e) {
    error = e.what();
    return false;
  }
}

std::string TDccServer::GetServerInfo() {
  std::lock_guard<std::mutex> io(FIo);
  std::string error = "Unknown error";
  auto nop = std::make_shared<TPending>();
  {
    TCriticalSectionGuard guard(FLock);
    ++FInfoFailures;
    if (FAddress == 0) return "No IP address for server was provided";
    const TDccRequestNumbers numbers = NextNumbersLocked();
    nop->Packet = BuildDccNop(numbers);
    nop->R = numbers.R;
    FLastActivity = SteadyMilliseconds();
  }
  try {
    if (!SendBytes(nop->Packet, error)) return error;
    // Late answers to queries that come meanwhile go to their queries.
    ReceiveReply(nop, kNopTimeoutMs);
    const TDccReply& reply = nop->Reply;
    if (!reply.Arrived()) return "Timed out waiting for server info.";
    LastNetworkSuccess.store(Now());
    TCriticalSectionGuard guard(FLock);
    switch (reply.Operation()) {
      case DCC_OP_OK:
        FServerId = static_cast<std::int32_t>(reply.Sender());
        FServerVersion = reply.Version();
        FMaxPacketVersion = reply.MaxPacketVersion();
        FBrand = reply.Brand();
        FWaitMs = reply.DelayMs() + 1000;
        --FInfoFailures;
        return {};
      case DCC_OP_ERROR:
        return reply.ErrorText();
      default:
        return "Server at " + IPToStr(FAddress) + "responded to GetServerInfo with Op code " +
               DccOperationName(reply.Operation());
    }
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    return std::string("GetServerInfo excepted with ") + e.what();
  }
}

TDccServer::TPendingRef TDccServer::FindPendingLocked(const TDccChecksums& record) const {
  for (const TPendingRef& entry : FPending)
    if (SameDccRecord(entry->Record, record)) return entry;
  return nullptr;
}

void TDccServer::DropStalePendingLocked() {
  const std::int64_t now = SteadyMilliseconds();
  std::erase_if(FPending, [&](const TPendingRef& entry) {
    return now - entry->SentAt > kPendingLifetimeMs;
  });
}

std::string TDccServer::SendQuery(const TDccChecksums& record) {
  auto entry = std::make_shared<TPending>();
  {
    TCriticalSectionGuard guard(FLock);
    DropStalePendingLocked();
    if (FindPendingLocked(record)) return {};
    if (FAddress == 0) return "Invalid IP for server";
    const TDccRequestNumbers numbers = NextNumbersLocked();
    entry->Packet = BuildDccQuery(record, numbers);
    entry->Types = DccQueryTypes(record);
    entry->Record = record;
    entry->R = numbers.R;
    entry->SentAt = SteadyMilliseconds();
    FLastActivity = entry->SentAt;
  }
  std::string error;
  if (!SendBytes(entry->Packet, error)) return error;
  TCriticalSectionGuard guard(FLock);
  FPending.push_back(entry);
  ++FQueriesSent;
  FChecksumsSent += static_cast<std::uint32_t>(entry->Types.size());
  return {};
}

void TDccServer::ReceiveReply(const TPendingRef& awaited, int timeoutMs) {
  if (!FSocket) return;
  const std::int64_t start = SteadyMilliseconds();
  try {
    for (;;) {
      const std::int64_t left = timeoutMs - (SteadyMilliseconds() - start);
      if (left < 0) return;
      awaited->Reply = TDccReply();
      {
        TCriticalSectionGuard guard(FLock);
        FLastActivity = SteadyMilliseconds();
      }
      std::optional<std::string> datagram = FSocket->Receive(static_cast<int>(left));
      if (!datagram) return;
      TDccReply reply(*datagram);
      if (!reply.IsPacket()) {
        Log("DCC", "Dropped a datagram of " + std::to_string(datagram->size()) + " bytes from " +
                       IPToStr(FAddress) + " that is no DCC packet",
            11, false);
        continue;
      }
      if (reply.R() == awaited->R) {
        awaited->Reply = reply;
        return;
      }
      TCriticalSectionGuard guard(FLock);
      auto other = std::find_if(FPending.begin(), FPending.end(), [&](const TPendingRef& e) {
        return e != awaited && e->R == reply.R();
      });
      if (other == FPending.end()) continue;  // belongs to no pending query
      if (CheckReply(reply, static_cast<int>((*other)->Types.size())).empty()) {
        ParseAnswerLocked((*other)->Record, reply, (*other)->Types);
        FPending.erase(other);
      } else {
        // Not counts: kept for the query's own wait, which reports it.
        (*other)->Reply = reply;
      }
    }
  } catch (const EUdpClientError&) {
    // A refusal or a failed read ends the reads quietly: the caller sees
    // that nothing arrived.
  }
}

std::string TDccServer::CheckReply(const TDccReply& reply, int items) const {
  const std::size_t expected = DccAnswerBytes(items);
  switch (reply.Operation()) {
    case DCC_OP_INVALID:
      return "Timed out waiting for server.";
    case DCC_OP_ERROR:
      return reply.ErrorText();
    case DCC_OP_QUERY_RESP:
      if (reply.Length() != expected || reply.Received() != expected)
        return "Dcc server " + Brand() + "responded to query with " +
               std::to_string(reply.Length()) + " bytes rather than " + std::to_string(expected) +
               " bytes";
      return {};
    default:
      return "Dcc server " + Brand() + "responded to query with bad Op code " +
             DccOperationName(reply.Operation());
  }
}

void TDccServer::ParseAnswerLocked(TDccChecksums& record, const TDccReply& reply,
                                   const std::vector<std::uint8_t>& types) {
  for (TDccSlot& slot : record.Slots) slot.TargetCount = DCC_TGTS_INVALID;
  for (std::size_t i = 0; i < types.size(); ++i) {
    const int index = IndexOfDccSum(types[i], record);
    if (index == 0) continue;
    TDccSlot& slot = record.Slots[static_cast<std::size_t>(index - 1)];
    const std::uint32_t count = reply.Count(static_cast<int>(i));
    slot.TargetCount = count;
    ++FCountsSeen;
    if (count == DCC_TGTS_INVALID) continue;
    if (count != 0) ++FCountsNonZero;
    CacheStoreLocked(slot.Type, slot.Sum, count);
  }
}

const TDccServer::TCacheEntry* TDccServer::CacheLookupLocked(int type, const TDigest16& sum) const {
  for (const TCacheEntry& entry : FCache)
    if (entry.Type == type && SameDigest16(entry.Sum, sum)) return &entry;
  return nullptr;
}

void TDccServer::CacheStoreLocked(int type, const TDigest16& sum, std::uint32_t count) {
  if (count == DCC_TGTS_INVALID) return;
  for (TCacheEntry& entry : FCache)
    if (entry.Type == type && SameDigest16(entry.Sum, sum)) {
      entry.Count = count;
      return;
    }
  FCache.push_back({count, static_cast<std::uint8_t>(type), sum});
  while (FCache.size() > static_cast<std::size_t>(kCacheCapacity)) FCache.pop_front();
}

bool TDccServer::AllCachedLocked(TDccChecksums& record) const {
  bool all = true;
  for (TDccSlot& slot : record.Slots) {
    if (!IsChecksumSlot(slot) || IsDigest16Empty(slot.Sum)) continue;
    const TCacheEntry* entry = CacheLookupLocked(slot.Type, slot.Sum);
    slot.TargetCount = entry != nullptr ? entry->Count : DCC_TGTS_INVALID;
    if (entry == nullptr) all = false;
  }
  return all;
}

int TDccServer::CachedScore(const TDccChecksums& record) {
  CheckForInput();
  TCriticalSectionGuard guard(FLock);
  int score = 0;
  for (const TDccSlot& slot : record.Slots) {
    if (!IsChecksumSlot(slot) || IsDigest16Empty(slot.Sum)) continue;
    const TCacheEntry* entry = CacheLookupLocked(slot.Type, slot.Sum);
    if (entry == nullptr) return -1;
    if (slot.Type == DCC_CK_ENV_FROM && entry->Count != 0 && entry->Count != DCC_TGTS_INVALID)
      return -1;
    if (entry->Count == DCC_TGTS_INVALID) continue;
    if (entry->Count != 0) ++score;
    if (entry->Count == DCC_TGTS_TOO_MANY) ++score;
  }
  return score;
}

bool TDccServer::IsPending(const TDccChecksums& record) {
  TCriticalSectionGuard guard(FLock);
  return FindPendingLocked(record) != nullptr;
}

int TDccServer::ReplyRatio() const {
  TCriticalSectionGuard guard(FLock);
  if (FCountsSeen == 0) return 0;
  return static_cast<int>(std::uint64_t{FCountsNonZero} * 1000 / FCountsSeen);
}

std::string TDccServer::PresendQuery(const TDccChecksums& record) {
  if (CachedScore(record) >= 0 || IsPending(record)) return {};
  if (IsDccRecordEmpty(record)) return "Was not able to compute checksums";
  if (ServerId() == 0) {
    std::string error = GetServerInfo();
    if (!error.empty()) return error;
  }
  std::lock_guard<std::mutex> io(FIo);
  return SendQuery(record);
}

std::string TDccServer::QueryServer(TDccChecksums& record) {
  {
    TCriticalSectionGuard guard(FLock);
    if (AllCachedLocked(record)) return {};
  }
  if (IsDccRecordEmpty(record)) return "Was not able to compute checksums";
  if (ServerId() == 0) {
    std::string error = GetServerInfo();
    if (!error.empty()) return error;
  }
  std::lock_guard<std::mutex> io(FIo);
  std::string error = SendQuery(record);
  if (!error.empty()) return error;
  return WaitForAnswer(record);
}

std::string TDccServer::WaitForAnswer(TDccChecksums& record) {
  TPendingRef entry;
  {
    TCriticalSectionGuard guard(FLock);
    entry = FindPendingLocked(record);
    if (!entry) return "Unknown Query";
    std::erase(FPending, entry);
  }
  if (!entry->Reply.Arrived()) {
    const std::int64_t left = kQueryTimeoutMs - (SteadyMilliseconds() - entry->SentAt);
    if (left > 0) ReceiveReply(entry, static_cast<int>(left));
  }
  const std::string error = CheckReply(entry->Reply, static_cast<int>(entry->Types.size()));
  if (error.empty()) {
    TCriticalSectionGuard guard(FLock);
    ParseAnswerLocked(record, entry->Reply, entry->Types);
  }
  return error;
}

void TDccServer::CheckForInput() {
  std::unique_lock<std::mutex> io(FIo, std::try_to_lock);
  // Another thread's exchange reads the socket already.
  if (!io.owns_lock()) return;
  CheckForInputIo();
}

void TDccServer::CheckForInputIo() {
  TPendingRef oldest;
  {
    TCriticalSectionGuard guard(FLock);
    const std::int64_t now = SteadyMilliseconds();
    if (now - FLastActivity < kCheckIntervalMs) return;
    FLastActivity = now;
    DropStalePendingLocked();
    if (FPending.empty()) return;
    oldest = FPending.front();
  }
  if (!oldest->Reply.Arrived()) ReceiveReply(oldest, kCheckReadMs);
  TCriticalSectionGuard guard(FLock);
  if (!CheckReply(oldest->Reply, static_cast<int>(oldest->Types.size())).empty()) return;
  ParseAnswerLocked(oldest->Record, oldest->Reply, oldest->Types);
  std::erase(FPending, oldest);
}

void TDccServer::BuildMetricsHeader(const TDccChecksums& record, std::string& name,
                                    std::string& value, std::string& third) const {
  static const char* const kLabels[] = {"IP",         "env_From", "From", "substitute", "Message-ID",
                                        "Received",   "Body",     "Fuz1", "Fuz2"};
  third.clear();
  name = "X-DCC-" + DccHeaderBrand(Brand()) + "-Metrics";
  value = "Quorvantis " + std::to_string(ServerId()) + ";";
  for (int type = DCC_CK_IP; type <= DCC_CK_FUZ2; ++type) {
    const std::uint32_t count = GetDccTargetCount(type, record);
    const std::string label = kLabels[type - 1];
    switch (count) {
      case DCC_TGTS_TOO_MANY:
        value += " " + label + "=MANY";
        break;
      case DCC_TGTS_OK:
        value += " " + label + "=OK";
        break;
      case DCC_TGTS_OK2:
        value += " " + label + "=OK2";
        break;
      case DCC_TGTS_DEL:
      case DCC_TGTS_INVALID:
        break;
      default:
        value += " " + label + "=" + std::to_string(count);
    }
  }
}

std::string TDccServer::Brand() const {
  TCriticalSectionGuard guard(FLock);
  return FBrand;
}
std::int32_t TDccServer::ServerId() const {
  TCriticalSectionGuard guard(FLock);
  return FServerId;
}
int TDccServer::ServerVersion() const {
  TCriticalSectionGuard guard(FLock);
  return FServerVersion;
}
int TDccServer::MaxPacketVersion() const {
  TCriticalSectionGuard guard(FLock);
  return FMaxPacketVersion;
}
int TDccServer::WaitMs() const {
  TCriticalSectionGuard guard(FLock);
  return FWaitMs;
}
std::uint32_t TDccServer::QueriesSent() const {
  TCriticalSectionGuard guard(FLock);
  return FQueriesSent;
}
std::uint32_t TDccServer::ChecksumsSent() const {
  TCriticalSectionGuard guard(FLock);
  return FChecksumsSent;
}
std::uint32_t TDccServer::CountsSeen() const {
  TCriticalSectionGuard guard(FLock);
  return FCountsSeen;
}
std::uint32_t TDccServer::CountsNonZero() const {
  TCriticalSectionGuard guard(FLock);
  return FCountsNonZero;
}
std::uint32_t TDccServer::InfoFailures() const {
  TCriticalSectionGuard guard(FLock);
  return FInfoFailures;
}
int TDccServer::PendingCount() const {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FPending.size());
}
int TDccServer::CacheCount() const {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FCache.size());
}

}  // namespace halvorn
