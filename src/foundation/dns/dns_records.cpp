#include "foundation/dns/dns_records.h"

#include <algorithm>

namespace halvorn {

namespace {

constexpr std::size_t kHeaderSize = 12;

std::string DottedAddress(std::string_view packet, std::size_t offset) {
  if (packet.size() - offset < 4) throw EIdDnsResolverError("Invalid Packet Size 3");
  std::string dotted;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) dotted.push_back('.');
    dotted += std::to_string(static_cast<unsigned char>(packet[offset + i]));
  }
  return dotted;
}

}  // namespace

void TResourceRecord::Parse(std::string_view, std::size_t) {}

void TResourceRecord::Dump(TStringList& lines) const {
  lines.Add("- Name=" + Name + ", Type=" + QTypeName(RecordType) +
            ", Class=" + std::to_string(RecordClass) + ", TTL=" + std::to_string(TTL) +
            ", RDLength=" + std::to_string(RDLength));
}

void TRDATARecord::Parse(std::string_view packet, std::size_t offset) {
  IPAddress.clear();
  FNumber = 0;
  if (offset >= packet.size()) return;
  IPAddress = DottedAddress(packet, offset);
  for (std::size_t i = 0; i < 4; ++i)
    FNumber |= static_cast<std::uint32_t>(static_cast<unsigned char>(packet[offset + i]))
               << (8 * i);
}

void TRDATARecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  IP=" + IPAddress);
}

void TNAMERecord::Parse(std::string_view packet, std::size_t offset) {
  HostName = DecodeName(packet, offset);
}

void TNAMERecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  Host Name=" + HostName);
}

void TSOARecord::Parse(std::string_view packet, std::size_t offset) {
  Primary = DecodeName(packet, offset);
  ResponsiblePerson = DecodeName(packet, offset);
  Serial = ReadWord32(packet, offset);
  Refresh = ReadWord32(packet, offset);
  Retry = ReadWord32(packet, offset);
  Expire = ReadWord32(packet, offset);
  MinimumTTL = ReadWord32(packet, offset);
}

void TSOARecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  Primary=" + Primary);
  lines.Add("  Responsible Person=" + ResponsiblePerson);
  lines.Add("  Serial=" + std::to_string(Serial));
  lines.Add("  Refresh=" + std::to_string(Refresh));
  lines.Add("  Retry=" + std::to_string(Retry));
  lines.Add("  Expire=" + std::to_string(Expire));
  lines.Add("  Minimum TTL=" + std::to_string(MinimumTTL));
}

void TWKSRecord::Parse(std::string_view packet, std::size_t offset) {
  if (offset > packet.size() || packet.size() - offset < 5)
    throw EIdDnsResolverError("Invalid Packet Size 3");
  Address = DottedAddress(packet, offset);
  Protocol = static_cast<std::uint8_t>(packet[offset + 4]);
  BitMap = std::string(packet.substr(offset + 5));
  ByteCount = static_cast<std::uint32_t>(BitMap.size());
}

void TWKSRecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  Address=" + Address);
  lines.Add("  Protocol=" + std::to_string(Protocol));
  lines.Add("  ByteCount=" + std::to_string(ByteCount));
}

void TMINFORecord::Parse(std::string_view packet, std::size_t offset) {
  ResponsiblePersonMailbox = DecodeName(packet, offset);
  ErrorMailbox = DecodeName(packet, offset);
}

void TMINFORecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  Responsible Person Mailbox=" + ResponsiblePersonMailbox);
  lines.Add("  Error Mailbox=" + ErrorMailbox);
}

void TMXRecord::Parse(std::string_view packet, std::size_t offset) {
  Preference = ReadWord16(packet, offset);
  ExchangeServer = DecodeName(packet, offset);
}

void TMXRecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  Server=" + ExchangeServer);
  lines.Add("  Preference=" + std::to_string(Preference));
}

void TTextRecord::Parse(std::string_view packet, std::size_t offset) {
  Text.clear();
  while (offset < packet.size()) {
    std::string s = ReadCharacterString(packet, offset);
    if (s.empty()) break;
    Text.push_back(std::move(s));
  }
}

void TTextRecord::Dump(TStringList& lines) const {
  TResourceRecord::Dump(lines);
  lines.Add("  Text=");
  for (const std::string& s : Text) lines.Add("   \"" + s + "\"");
}

void THINFORecord::Parse(std::string_view packet, std::size_t offset) {
  TTextRecord::Parse(packet, offset);
  CPU = Text.size() > 0 ? Text[0] : std::string();
  OS = Text.size() > 1 ? Text[1] : std::string();
}

void THINFORecord::Dump(TStringList& lines) const {
  TTextRecord::Dump(lines);
  lines.Add("  CPU=" + CPU);
  lines.Add("  OS=" + OS);
}

std::unique_ptr<TResourceRecord> CreateResourceRecord(std::uint16_t typeCode) {
  switch (typeCode) {
    case 1:
      return std::make_unique<TARecord>();
    case 2:
      return std::make_unique<TNSRecord>();
    case 5:
      return std::make_unique<TNAMERecord>();
    case 6:
      return std::make_unique<TSOARecord>();
    case 11:
      return std::make_unique<TWKSRecord>();
    case 12:
      return std::make_unique<TPTRRecord>();
    case 13:
      return std::make_unique<THINFORecord>();
    case 14:
      return std::make_unique<TMINFORecord>();
    case 15:
      return std::make_unique<TMXRecord>();
    case 16:
      return std::make_unique<TTextRecord>();
    default:
      return std::make_unique<TResourceRecord>();
  }
}

TQueryResults::~TQueryResults() {
  Clear();
}

void TQueryResults::Clear() {
  while (!FItems.empty()) Delete(Count() - 1);
  QueryName.clear();
  QueryType = 0;
  QueryClass = 0;
  RCode = 0;
  AuthoritativeAnswer = 0;
  RecursionAvailable = 0;
  Server.clear();
  Question = nullptr;
}

TResourceRecord* TQueryResults::Items(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(index)].get();
}

TResourceRecord* TQueryResults::Add(std::unique_ptr<TResourceRecord> record) {
  record->FCollection = this;
  FItems.push_back(std::move(record));
  return FItems.back().get();
}

void TQueryResults::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  auto it = FItems.begin() + index;
  if (OnRecordFree) OnRecordFree(**it);
  FItems.erase(it);
}

bool TQueryResults::GetAddress(std::string& address) const {
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it) {
    if (auto* a = dynamic_cast<const TARecord*>(it->get())) {
      address = a->IPAddress;
      return true;
    }
  }
  address.clear();
  return false;
}

TResourceRecord* TQueryResults::FindRecord(TQType type, std::string_view name) const {
  if (type == qOther) return nullptr;
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->RecordType == type && SameDnsName((*it)->Name, name)) return it->get();
  return nullptr;
}

bool TQueryResults::HasAllTypes(TQTypeSet types, std::string_view name) const {
  for (TQType t : types.Types())
    if (!FindRecord(t, name)) return false;
  return true;
}

void TQueryResults::ReduceTTL(std::int32_t seconds) {
  for (auto& r : FItems) {
    std::int64_t ttl = static_cast<std::int64_t>(r->TTL) - seconds;
    r->TTL = static_cast<std::int32_t>(std::clamp<std::int64_t>(ttl, 0, INT32_MAX));
  }
}

namespace {

void ParseRecords(std::string_view packet, TDNSHeader& header, TQueryResults& results) {
  std::size_t offset = kHeaderSize;
  results.QueryName = DecodeName(packet, offset);
  results.QueryType = ReadWord16(packet, offset);
  results.QueryClass = ReadWord16(packet, offset);
  for (int q = 1; q < header.QDCount; ++q) {
    DecodeName(packet, offset);
    ReadWord32(packet, offset);
  }
  const int sections[] = {header.ANCount, header.NSCount, header.ARCount};
  for (int section = 0; section < 3; ++section) {
    for (int i = 0; i < sections[section]; ++i) {
      std::string name = DecodeName(packet, offset);
      std::uint16_t type = ReadWord16(packet, offset);
      std::uint16_t cls = ReadWord16(packet, offset);
      std::uint32_t ttl = ReadWord32(packet, offset);
      std::uint16_t length = ReadWord16(packet, offset);
      if (packet.size() - offset < length) throw EIdDnsResolverError("Invalid Packet Size 3");
      auto record = CreateResourceRecord(type);
      record->Name = std::move(name);
      record->RecordType = QTypeOfRecordCode(type);
      record->TypeCode = type;
      record->RecordClass = cls;
      // A TTL with the top bit set is treated as 0 (RFC 2181), not as negative.
      record->TTL = ttl > INT32_MAX ? 0 : static_cast<std::int32_t>(ttl);
      record->RData = std::string(packet.substr(offset, length));
      record->RDLength = length;
      record->Section = static_cast<TDNSSection>(section);
      record->Parse(packet.substr(0, offset + length), offset);
      results.Add(std::move(record));
      offset += length;
    }
  }
}

}  // namespace

bool ParseAnswerPacket(std::string_view packet, std::uint16_t id, TDNSHeader& header,
                       TQueryResults& results) {
  results.Clear();
  if (packet.size() <= kHeaderSize) return false;
  std::size_t offset = 0;
  TDNSHeader read;
  read.Id = ReadWord16(packet, offset);
  if (read.Id != id) return false;
  read.Flags = ReadWord16(packet, offset);
  read.QDCount = ReadWord16(packet, offset);
  read.ANCount = ReadWord16(packet, offset);
  read.NSCount = ReadWord16(packet, offset);
  read.ARCount = ReadWord16(packet, offset);
  // An answer repeats the question it answers; one without is no answer to it.
  if (read.QDCount == 0) return false;
  try {
    ParseRecords(packet, read, results);
  } catch (const EIdDnsResolverError&) {
    results.Clear();
    return false;
  }
  results.AuthoritativeAnswer = (read.Flags & TDNSHeader::kFlagAA) ? 1 : 0;
  results.RecursionAvailable = (read.Flags & TDNSHeader::kFlagRA) ? 1 : 0;
  results.RCode = read.Flags & TDNSHeader::kRCodeMask;
  header = read;
  return true;
}

}  // namespace halvorn
