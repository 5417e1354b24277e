// Runs the address parser, the validity check, the list parser and the
// address extraction on fuzzed text. Besides crashes it checks that the
// linear extraction agrees with the plain "@ by @" reading and that the
// parser's flags and parts are consistent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "message/email_address.h"
#include "support/email_address_reference.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  TEmailAddress address;
  address.Parse(text);
  if (address.Text != text) __builtin_trap();
  if (address.IsValid() != IsValidEmailAddress(text)) __builtin_trap();
  if (!address.Address.empty() && address.IsValid() &&
      address.GetLocalPart() + "@" + address.GetDomain() != address.Address)
    __builtin_trap();
  (void)CheckAddressSpec(text);

  TEmailAddressCollection list;
  list.AddList(text);
  if (list.Count() <= 64) (void)list.RecipientListScore(false);

  std::string fast = text;
  TStringList found;
  ExtractEmailAddresses(fast, found);
  if (size <= 1024) {
    std::string slow = text;
    std::vector<std::string> slowFound;
    test::ReferenceExtractEmailAddresses(slow, slowFound);
    if (fast != slow || found.ToVector() != slowFound) __builtin_trap();
  }
  return 0;
}
