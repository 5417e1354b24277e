// The DCC packets the client sends and reads: protocol version 4 over UDP
// port 6277, operations NOP and QUERY.
//
// Every packet starts with a 24-byte header: the whole packet's length
// (16 bits, network order), the protocol version, the operation, the sender
// (32 bits, network order: the client id going out, the server id coming
// back), then four 32-bit request numbers h, p, r and t, which the server
// echoes without reading them and which go out as the client holds them,
// least significant byte first.
//
//   NOP      header, 16-byte signature (zero): 40 bytes
//   QUERY    header, target count 0 (network order), n items of 18 bytes
//            (type, length 18, 16-byte sum), signature: 44 + 18 n bytes
//   QUERY_RESP  header, n counts (network order), signature: 40 + 4 n
//   OK       (answer to a NOP) header, highest packet version, a spare byte,
//            the delay the server asks for in ms (16 bits, network order),
//            the brand (zero-terminated in 64 bytes), signature
//   ERROR    header, a zero-terminated message
//
// A received datagram is the peer's: every text read from it stops at the
// bytes that arrived, and only a datagram whose length field equals the
// bytes received counts as a packet at all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "message/dcc_checksums.h"

namespace halvorn {

enum TDccOperationCodes : std::uint8_t {
  DCC_OP_INVALID = 0,
  DCC_OP_NOP = 1,
  DCC_OP_REPORT = 2,
  DCC_OP_QUERY = 3,
  DCC_OP_QUERY_RESP = 4,
  DCC_OP_ADMN = 5,
  DCC_OP_OK = 6,
  DCC_OP_ERROR = 7,
  DCC_OP_DELETE = 8,
};

// "DCC_OP_NOP" ... for 0 to 8; "DCC_OP_" + the number for any other value.
std::string DccOperationName(int operation);

inline constexpr int kDccPort = 6277;
inline constexpr std::uint8_t kDccProtocolVersion = 4;
inline constexpr std::uint32_t kDccAnonymousClient = 1;
inline constexpr std::size_t kDccHeaderBytes = 24;
inline constexpr std::size_t kDccSignatureBytes = 16;
inline constexpr std::size_t kDccNopBytes = 40;
inline constexpr std::size_t kDccItemBytes = 18;
inline constexpr int kDccMaxItems = 14;
// The largest query: header, count, 14 items, signature.
inline constexpr std::size_t kDccQueryBufferBytes =
    kDccHeaderBytes + 4 + kDccMaxItems * kDccItemBytes + kDccSignatureBytes;
// What of a received datagram is kept.
inline constexpr std::size_t kDccReplyBufferBytes = 168;
inline constexpr std::size_t kDccBrandBytes = 64;

// The request numbers of one packet.
struct TDccRequestNumbers {
  std::uint32_t H = 0;  // the central service's user id of this installation
  std::uint32_t P = 0;  // the process id
  std::uint32_t R = 0;  // the server object's request counter
  std::uint32_t T = 1;
};

// The length a query of n items has: 44 + 18 n.
constexpr std::size_t DccQueryBytes(int items) {
  return kDccHeaderBytes + 4 + static_cast<std::size_t>(items) * kDccItemBytes + kDccSignatureBytes;
}
// The length the answer to a query of n items has: 40 + 4 n.
constexpr std::size_t DccAnswerBytes(int items) {
  return kDccHeaderBytes + static_cast<std::size_t>(items) * 4 + kDccSignatureBytes;
}

std::string BuildDccNop(const TDccRequestNumbers& numbers);

// The types a query of the record carries, in slot order: every slot whose
// type lies from 1 to 12, whatever its sum, at most 14.
std::vector<std::uint8_t> DccQueryTypes(const TDccChecksums& record);
// The query packet for the record (its items as DccQueryTypes chooses).
std::string BuildDccQuery(const TDccChecksums& record, const TDccRequestNumbers& numbers);

// A datagram as the client keeps it: its first 168 bytes (zero after what
// arrived) and how many bytes arrived. A default one holds nothing: its
// operation is 0, which means that nothing arrived.
class TDccReply {
 public:
  TDccReply() = default;
  explicit TDccReply(std::string_view datagram);

  // Something was stored (its operation byte is not 0).
  bool Arrived() const { return Operation() != DCC_OP_INVALID; }
  // At least a header arrived and its length field equals the bytes
  // received: only such a datagram is a packet.
  bool IsPacket() const;

  std::size_t Received() const { return FReceived; }
  std::uint16_t Length() const;
  std::uint8_t Version() const { return FBytes[2]; }
  std::uint8_t Operation() const { return FBytes[3]; }
  std::uint32_t Sender() const;
  std::uint32_t R() const;
  // The i-th count of a QUERY_RESP (0 beyond what arrived).
  std::uint32_t Count(int i) const;
  // Of an OK: the highest packet version, the delay, the brand.
  std::uint8_t MaxPacketVersion() const { return FBytes[24]; }
  std::uint16_t DelayMs() const;
  std::string Brand() const;
  // Of an ERROR: the message.
  std::string ErrorText() const;

 private:
  // The zero-terminated text at the offset, at most `limit` bytes, never
  // past the bytes that arrived.
  std::string TextAt(std::size_t offset, std::size_t limit) const;

  std::array<std::uint8_t, kDccReplyBufferBytes> FBytes{};
  std::size_t FReceived = 0;
};

}  // namespace halvorn
