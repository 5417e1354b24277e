// Feeds an arbitrary datagram to a DCC server as the reply to a pending
// query of n items (n from the first byte, 0 to 14): it is taken only when it
// is a QUERY_RESP of exactly 40 + 4n bytes, the cache never holds an invalid
// count, and the brand the datagram would carry in an OK yields a header
// name of letters, digits and "-" only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lists/dcc/dcc_packets.h"
#include "lists/dcc/dcc_server.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool HeaderNameCharacters(const std::string& text) {
  for (unsigned char c : text)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  if (size == 0) return 0;
  const int items = data[0] % 15;
  const std::string_view datagram(reinterpret_cast<const char*>(data) + 1, size - 1);

  TDccChecksums record;
  ClearDccRecord(record);
  for (int i = 0; i < items; ++i) {
    TDigest16 sum{};
    sum[0] = static_cast<std::uint8_t>(i + 1);
    record.Slots[static_cast<std::size_t>(i)].Type = static_cast<std::uint8_t>(1 + i % 12);
    record.Slots[static_cast<std::size_t>(i)].Sum = sum;
  }
  const std::vector<std::uint8_t> types = DccQueryTypes(record);
  Check(static_cast<int>(types.size()) == items);

  TDccServer server(0);  // no socket: nothing is ever sent
  const TDccReply reply(datagram);
  const std::string error = server.TakeAnswer(record, types, reply);
  const bool fits = datagram.size() == DccAnswerBytes(items) && reply.Operation() == DCC_OP_QUERY_RESP &&
                    reply.Length() == datagram.size();
  Check(error.empty() == fits);
  if (fits) {
    int valid = 0;
    for (int i = 0; i < items; ++i) valid += reply.Count(i) != DCC_TGTS_INVALID;
    Check(server.CacheCount() <= valid);
    Check(static_cast<int>(server.CountsSeen()) == items);
  } else {
    Check(server.CacheCount() == 0);
    Check(server.CountsSeen() == 0);
  }

  const std::string brand = DccHeaderBrand(reply.Brand());
  Check(brand.size() <= 64 && HeaderNameCharacters(brand));
  std::string name, value, third;
  server.BuildMetricsHeader(record, name, value, third);
  Check(HeaderNameCharacters(name));
  return 0;
}
