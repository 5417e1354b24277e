#include "classify/test_numbers.h"

#include "classify/rule_catalogue.h"
#include "lists/dnsbl/dnsbl_servers.h"

namespace halvorn {

std::string StandardTestName(std::int32_t number) {
  if (number < 0) return "Test number out of range (Too small)";
  if (number > kLastDnsrblTest) return "Test number out of range (Too large)";
  if (number <= kLastRuleTest) return GetSATestName(static_cast<std::uint16_t>(number));
  if (number >= kFirstDnsrblTest) return DnsrblTestName(number);
  if (const char* name = NamedStandardTestName(number)) return name;
  return "Reserved " + std::to_string(number);
}

}  // namespace halvorn
