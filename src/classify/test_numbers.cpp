#include "classify/test_numbers.h"

#include "classify/rule_catalogue.h"

namespace halvorn {

namespace {

// The block-list rows' names: here lies the call of the block-list table,
// DnsrblTestName (lists/dnsbl), once that table is in the lists.
std::string BlockListTestName(std::int32_t) {
  return "Unknown DNS db";
}

}  // namespace

std::string StandardTestName(std::int32_t number) {
  if (number < 0) return "Test number out of range (Too small)";
  if (number > kLastDnsrblTest) return "Test number out of range (Too large)";
  if (number <= kLastRuleTest) return GetSATestName(static_cast<std::uint16_t>(number));
  if (number >= kFirstDnsrblTest) return BlockListTestName(number);
  if (const char* name = NamedStandardTestName(number)) return name;
  return "Reserved " + std::to_string(number);
}

}  // namespace halvorn
