#include "foundation/dns/dns_packet.h"

#include <bit>

#include "foundation/crypto/random_source.h"

namespace halvorn {

namespace {

// Type codes by ordinal, qA..qSTAR.
constexpr std::uint16_t kTypeCodes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 255};

constexpr const char* kTypeNames[] = {"A",     "NS",    "MD", "MF",   "CName", "SOA",
                                      "MB",    "MG",    "MR", "Null", "WKS",   "PTR",
                                      "HINFO", "MINFO", "MX", "TXT",  "STAR",  "Other"};

// The longest name on the wire, length bytes and the root's zero byte included.
constexpr std::size_t kMaxNameWire = 255;
constexpr std::size_t kMaxLabel = 63;
// Bytes taken while decoding one name before it counts as a loop.
constexpr int kMaxNameSteps = 5000;

[[noreturn]] void ThrowOverrun() {
  throw EIdDnsResolverError("Invalid Packet Size 3");
}

unsigned char AsciiLower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool ContainsInAddr(std::string_view name) {
  return DnsNameLower(name).find("in-addr") != std::string::npos;
}

// Splits at each "."; an empty name has no pieces.
std::vector<std::string_view> SplitLabels(std::string_view name) {
  std::vector<std::string_view> pieces;
  if (name.empty()) return pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) {
      pieces.push_back(name.substr(start));
      return pieces;
    }
    pieces.push_back(name.substr(start, dot - start));
    start = dot + 1;
  }
}

void PutWord16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

// Appends the encoded form of a dotted name; false when it cannot be encoded.
bool EncodeName(std::string& out, std::string_view name) {
  std::size_t wire = 1;
  for (std::string_view label : SplitLabels(name)) {
    if (label.empty() || label.size() > kMaxLabel) return false;
    wire += 1 + label.size();
    if (wire > kMaxNameWire) return false;
    out.push_back(static_cast<char>(label.size()));
    out.append(label);
  }
  out.push_back('\0');
  return true;
}

}  // namespace

std::uint16_t QTypeCode(TQType type) {
  return type < qOther ? kTypeCodes[type] : 0;
}

TQType QTypeOfRecordCode(std::uint16_t code) {
  return code >= 1 && code <= 16 ? static_cast<TQType>(code - 1) : qOther;
}

std::string QTypeName(TQType type) {
  return kTypeNames[type <= qOther ? type : qOther];
}

int TQTypeSet::Count() const {
  return std::popcount(FBits);
}

TQType TQTypeSet::First() const {
  return FBits == 0 ? qOther : static_cast<TQType>(std::countr_zero(FBits));
}

std::vector<TQType> TQTypeSet::Types() const {
  std::vector<TQType> types;
  for (int t = qA; t < qOther; ++t)
    if (Contains(static_cast<TQType>(t))) types.push_back(static_cast<TQType>(t));
  return types;
}

TDNSHeader::TDNSHeader() : Id(static_cast<std::uint16_t>(RandomRange(0, 0xFFFF))) {}

std::string DnsNameLower(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return lower;
}

bool SameDnsName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(static_cast<unsigned char>(a[i])) !=
        AsciiLower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string QuestionWireName(std::string_view name, TQType type) {
  // A trailing "." (the root) adds nothing.
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (type == qPTR && !ContainsInAddr(name)) {
    std::vector<std::string_view> pieces = SplitLabels(name);
    std::string reversed;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
      reversed.append(*it);
      reversed.push_back('.');
    }
    return reversed + "in-addr.arpa";
  }
  return std::string(name);
}

std::string BuildQueryPacket(std::string_view name, TQTypeSet types, bool recurse,
                             std::uint16_t id) {
  if (types.Empty() || name.empty()) return {};
  std::string packet;
  PutWord16(packet, id);
  PutWord16(packet, recurse ? TDNSHeader::kFlagRD : 0);
  PutWord16(packet, static_cast<std::uint16_t>(types.Count()));
  PutWord16(packet, 0);
  PutWord16(packet, 0);
  PutWord16(packet, 0);
  for (TQType type : types.Types()) {
    if (!EncodeName(packet, QuestionWireName(name, type))) return {};
    PutWord16(packet, QTypeCode(type));
    PutWord16(packet, 1);
  }
  return packet;
}

std::uint16_t ReadWord16(std::string_view packet, std::size_t& offset) {
  if (offset > packet.size() || packet.size() - offset < 2) ThrowOverrun();
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(packet[offset + i]); };
  std::uint16_t v = static_cast<std::uint16_t>(b(0) << 8 | b(1));
  offset += 2;
  return v;
}

std::uint32_t ReadWord32(std::string_view packet, std::size_t& offset) {
  std::uint32_t high = ReadWord16(packet, offset);
  return high << 16 | ReadWord16(packet, offset);
}

std::string DecodeName(std::string_view packet, std::size_t& offset) {
  std::string name;
  std::size_t pos = offset;
  std::size_t resume = 0;
  bool jumped = false;
  std::size_t wire = 1;
  int steps = 0;
  auto take = [&](const char* runaway) {
    if (pos >= packet.size()) ThrowOverrun();
    if (++steps > kMaxNameSteps) throw EIdDnsResolverError(runaway);
    return static_cast<unsigned char>(packet[pos]);
  };
  for (;;) {
    unsigned char b = take("Runaway1");
    while ((b & 0xC0) == 0xC0) {
      if (pos + 1 >= packet.size()) ThrowOverrun();
      if (!jumped) {
        resume = pos + 2;
        jumped = true;
      }
      pos = static_cast<std::size_t>(b & 0x3F) << 8 | static_cast<unsigned char>(packet[pos + 1]);
      b = take("Runaway2");
    }
    if (b == 0) {
      ++pos;
      break;
    }
    // 0x40 and 0x80 are extended label types that this decoder does not know;
    // reading them as lengths would give labels no server sends.
    if ((b & 0xC0) != 0) throw EIdDnsResolverError("Invalid Label Type");
    if (packet.size() - pos - 1 < b) ThrowOverrun();
    wire += 1 + b;
    if (wire > kMaxNameWire) throw EIdDnsResolverError("Name Too Long");
    name.append(packet.substr(pos + 1, b));
    name.push_back('.');
    pos += 1 + b;
  }
  if (!name.empty()) name.pop_back();
  offset = jumped ? resume : pos;
  return name;
}

std::string ReadCharacterString(std::string_view packet, std::size_t& offset) {
  if (offset >= packet.size()) return {};
  std::size_t length = static_cast<unsigned char>(packet[offset]);
  if (packet.size() - offset - 1 < length) ThrowOverrun();
  std::string text(packet.substr(offset + 1, length));
  offset += 1 + length;
  return text;
}

}  // namespace halvorn
