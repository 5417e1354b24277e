// Feeds arbitrary bytes to the registry value decoder: it must never crash,
// what it decodes must encode to a form that decodes to the same value, and
// every text or binary value must survive encoding and decoding unchanged in
// a form that a settings line can hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry_store.h"

namespace {

using halvorn::platform::DecodeRegValue;
using halvorn::platform::EncodeRegValue;
using halvorn::platform::RegValue;

bool Same(const RegValue& a, const RegValue& b) {
  return a.Type == b.Type && a.Bytes == b.Bytes && a.Number == b.Number;
}

void CheckRoundTrip(const RegValue& value) {
  std::string stored = EncodeRegValue(value);
  if (stored.empty()) std::abort();
  for (unsigned char c : stored)
    if (c < 0x20 || c == 0x7F) std::abort();
  auto back = DecodeRegValue(stored);
  if (!back || !Same(*back, value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto value = DecodeRegValue(input)) CheckRoundTrip(*value);
  CheckRoundTrip(RegValue::Text(std::string(input)));
  CheckRoundTrip(RegValue::Binary(std::string(input)));
  halvorn::platform::RegNameStorable(input);
  halvorn::platform::RegKeyPathStorable(input);
  std::size_t half = size / 2;
  halvorn::platform::RegKeyCovers(input.substr(0, half), input.substr(half));
  return 0;
}
