// Feeds arbitrary bytes to the central service's datagram parser: a datagram
// comes back only for the kinds 1 to 9, holding exactly the bytes; and only
// kind-1 datagrams long enough to carry every field replace the stop codes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lists/qch/qch_udp.h"
#include "lists/qch/qch_udp_msg.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::int32_t kind = TQchUdpMsg(bytes).Kind();
  auto parsed = QchUdpParse(bytes);
  Check((parsed != nullptr) == (kind >= 1 && kind <= 9));
  if (parsed) {
    Check(parsed->Bytes() == bytes);
    Check(parsed->Kind() == kind);
    Check(!parsed->DumpText().empty());
    Check((dynamic_cast<TStopCodesQchUdpMsg*>(parsed.get()) != nullptr) == (kind == 1));
    Check((dynamic_cast<TStringQchUdpMsg*>(parsed.get()) != nullptr) == (kind >= 4));
  }
  SetQchStopCodes(nullptr);
  const bool whole = kind == 1 && size >= TStopCodesQchUdpMsg::kMinReceivedSize;
  Check(ReplaceQchStopCodes(bytes, "fuzz") == whole);
  Check((QchStopCodes()->Bytes() == bytes) == whole);
  return 0;
}
