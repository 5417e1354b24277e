// Names of test numbers across the whole numbering.
#include "classify/test_numbers.h"

#include "lists/dnsbl/dnsbl_servers.h"

#include <gtest/gtest.h>

#include <string>

namespace halvorn {
namespace {

TEST(StandardTestName, EveryRangeOfTheNumbering) {
  struct Row {
    std::int32_t number;
    const char* expected;
  };
  const Row rows[] = {
      {-1, "Test number out of range (Too small)"},
      {-2147483647 - 1, "Test number out of range (Too small)"},
      {0, "SK_BAD_MS_HEADERS"},
      {499, "SK_BCC_ME"},
      {631, "EXCUSE_ES_05"},
      {632, "Reserved 632"},
      {681, "Reserved 681"},
      {682, "TESTNUM_QUOR_CHAINLETTER"},
      {689, "TESTNUM_QUOR_SPAM"},
      {690, "TESTNUM_QUOR_PERSONAL"},
      {728, "Reserved 728"},
      {796, "TESTNUM_UNKNOWN_HTML_TAGS"},
      {797, "Reserved 797"},
      {830, "Reserved 830"},
      {1231, "Unknown DNS db"},
      {1232, "Test number out of range (Too large)"},
      {2147483647, "Test number out of range (Too large)"},
  };
  for (const Row& row : rows) EXPECT_EQ(StandardTestName(row.number), row.expected) << row.number;
}

TEST(StandardTestName, BlockListNumbersNameTheTablesRows) {
  TDNSRBLServerRecArray table(2);
  table[0].Name = "First list";
  table[0].StandardTestNumber = 831;
  table[1].Name = "Moved list";
  table[1].StandardTestNumber = 1000;
  SetGlobalDnsrblServers(table);
  EXPECT_EQ(StandardTestName(831), "First list");
  EXPECT_EQ(StandardTestName(1000), "Moved list");
  EXPECT_EQ(StandardTestName(832), "Unknown DNS db");
  SetGlobalDnsrblServers({});
  EXPECT_EQ(StandardTestName(831), "Unknown DNS db");
}

}  // namespace
}  // namespace halvorn
