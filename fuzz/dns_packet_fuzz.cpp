// Feeds arbitrary bytes to the DNS answer parser, the name decoder and the
// query builder. The parser must fail cleanly on anything malformed; a query
// packet that can be built must read back to the name it was built from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/dns/dns_packet.h"
#include "foundation/dns/dns_records.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view packet(reinterpret_cast<const char*>(data), size);

  // As an answer to the question whose id it carries.
  std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  TDNSHeader header;
  TQueryResults results;
  if (ParseAnswerPacket(packet, id, header, results)) {
    TStringList lines;
    for (int i = 0; i < results.Count(); ++i) {
      TResourceRecord* r = results.Items(i);
      if (r->RDLength != r->RData.size()) std::abort();
      r->Dump(lines);
      results.FindRecord(r->RecordType, r->Name);
    }
    std::string address;
    results.GetAddress(address);
    results.HasAllTypes(TQTypeSet::FromBits(header.Flags), results.QueryName);
    results.ReduceTTL(static_cast<std::int32_t>(header.ARCount) * 1000);
  } else if (results.Count() != 0) {
    std::abort();
  }

  // A name starting at an offset the first byte chooses.
  if (size > 0) {
    std::size_t offset = data[0] % size;
    try {
      std::string name = DecodeName(packet, offset);
      if (name.size() > 254 || offset > size) std::abort();
    } catch (const EIdDnsResolverError&) {
    }
  }

  // As a name to ask about.
  for (TQType type : {qA, qPTR}) {
    std::string query = BuildQueryPacket(packet, {type}, true, 1);
    if (query.empty()) continue;
    std::size_t offset = 12;
    if (DecodeName(query, offset) != QuestionWireName(packet, type)) std::abort();
    if (offset + 4 != query.size()) std::abort();
  }
  return 0;
}
