// The DNS message format as the resolver builds and reads it: query types and
// their sets, the packet header, the query packet of a question, and the
// bounded readers that every parse of a received packet goes through.
//
// Received packets come from servers that strangers control. Every read here
// checks its length against the packet first and raises EIdDnsResolverError
// instead of reading past the end; the whole-packet parse in dns_records.h
// turns that into a failed parse.
//
// Offsets into a packet are 0-based byte offsets, as in the packet's own
// compression pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn {

// The query types a question may ask for, by ordinal. qOther is the type of a
// received record whose type code is none of the others (AAAA, OPT, SRV, ...):
// it never enters a TQTypeSet, so no question is ever answered by such a
// record.
enum TQType : std::uint8_t {
  qA,
  qNS,
  qMD,
  qMF,
  qCName,
  qSOA,
  qMB,
  qMG,
  qMR,
  qNull,
  qWKS,
  qPTR,
  qHINFO,
  qMINFO,
  qMX,
  qTXT,
  qSTAR,
  qOther,
};

// The type code on the wire: 1-16 for qA..qTXT, 255 for qSTAR, 0 for qOther.
std::uint16_t QTypeCode(TQType type);

// The type of a received record's type code: codes 1-16 give their type,
// every other code (255 included: it only ever appears in questions) qOther.
TQType QTypeOfRecordCode(std::uint16_t code);

// The display name: the enumeration name without its leading "q" ("A",
// "CName", "MX", "STAR"); "Other" for qOther.
std::string QTypeName(TQType type);

// A set of query types, one bit per ordinal (bit 0 qA ... bit 16 qSTAR): the
// 32-bit value other modules store and pass ({qMX} is 0x4000, {qPTR} 0x0800).
// Only the 17 question types can be members; qOther and stray bits are
// dropped.
class TQTypeSet {
 public:
  static constexpr std::uint32_t kValidBits = 0x1FFFF;

  constexpr TQTypeSet() = default;
  constexpr TQTypeSet(std::initializer_list<TQType> types) {
    for (TQType t : types) Include(t);
  }
  static constexpr TQTypeSet FromBits(std::uint32_t bits) {
    TQTypeSet s;
    s.FBits = bits & kValidBits;
    return s;
  }

  constexpr std::uint32_t Bits() const { return FBits; }
  constexpr bool Contains(TQType type) const {
    return type < qOther && (FBits & (1u << type)) != 0;
  }
  constexpr void Include(TQType type) {
    if (type < qOther) FBits |= 1u << type;
  }
  constexpr void Exclude(TQType type) {
    if (type < qOther) FBits &= ~(1u << type);
  }
  constexpr bool Empty() const { return FBits == 0; }
  int Count() const;
  // The member with the lowest ordinal; qOther for an empty set.
  TQType First() const;
  // The members in ascending ordinal order.
  std::vector<TQType> Types() const;

  friend constexpr bool operator==(TQTypeSet a, TQTypeSet b) { return a.FBits == b.FBits; }

 private:
  std::uint32_t FBits = 0;
};

// A malformed packet: a name, field, record or string that reaches beyond the
// packet's end, a compression loop ("Runaway1" / "Runaway2"), a reserved label
// type or a name longer than 255 bytes. Raised by the readers below and caught
// by the whole-packet parse.
class EIdDnsResolverError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Flags and counts of a DNS message. Id starts as a random value; a packet
// built for a question carries the question's id instead.
class TDNSHeader {
 public:
  static constexpr std::uint16_t kFlagAA = 0x0400;  // authoritative answer
  static constexpr std::uint16_t kFlagRD = 0x0100;  // recursion desired
  static constexpr std::uint16_t kFlagRA = 0x0080;  // recursion available
  static constexpr std::uint16_t kRCodeMask = 0x000F;

  TDNSHeader();

  std::uint16_t Id = 0;
  std::uint16_t Flags = 0;
  std::uint16_t QDCount = 0;
  std::uint16_t ANCount = 0;
  std::uint16_t NSCount = 0;
  std::uint16_t ARCount = 0;
};

// The ASCII lower-case form of a name. DNS names compare without regard to
// case in ASCII only (bytes above 0x7F are distinct), so every key and every
// comparison of names uses this form.
std::string DnsNameLower(std::string_view name);

// True when two names are equal without regard to ASCII case.
bool SameDnsName(std::string_view a, std::string_view b);

// The name as it is sent for a question of the type: for qPTR a name that does
// not contain "in-addr" is taken as a dotted address, its pieces reversed and
// followed by "in-addr.arpa" ("10.1.2.3" -> "3.2.1.10.in-addr.arpa"); every
// other name is sent as given, without a trailing ".". Case is kept.
std::string QuestionWireName(std::string_view name, TQType type);

// The query packet of a question: the header with the id, flags RD when
// recurse is set, QDCount the number of types; then one question entry per
// type of the set in ordinal order (the name, type code, class 1).
// Answers an empty text when the packet cannot be built: an empty set, or a
// name that is not a sequence of 1-63 byte labels of at most 255 bytes in all
// (such a name would be written as a different name or a corrupt packet).
std::string BuildQueryPacket(std::string_view name, TQTypeSet types, bool recurse,
                             std::uint16_t id);

// Reads a 16-bit (32-bit) big-endian number at the offset and moves past it.
// Raises EIdDnsResolverError when it reaches beyond the packet.
std::uint16_t ReadWord16(std::string_view packet, std::size_t& offset);
std::uint32_t ReadWord32(std::string_view packet, std::size_t& offset);

// Decodes a possibly compressed name starting at the offset. Labels are joined
// with "." as they stand (bytes kept); the root name gives an empty text.
// Afterwards the offset is just after the first compression pointer when one
// was followed, otherwise just after the terminating zero byte.
// Raises EIdDnsResolverError on any overrun ("Invalid Packet Size 3"; a name
// whose zero byte lies beyond the packet is one), on a label type 0x40 or
// 0x80, on a name longer than 255 bytes, and after more than 5000 steps
// ("Runaway1" / "Runaway2", which ends pointer loops).
std::string DecodeName(std::string_view packet, std::size_t& offset);

// Reads one character-string (a length byte and that many bytes) at the
// offset and moves past it. At or beyond the packet's end nothing is read and
// the answer is empty. Raises EIdDnsResolverError when the string reaches
// beyond the packet.
std::string ReadCharacterString(std::string_view packet, std::size_t& offset);

}  // namespace halvorn
