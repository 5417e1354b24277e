// The block-list table: its built-in rows, the answer rule (against a Python
// transcription with `ipaddress`), the rules-file sections and the names of
// the test numbers.
#include "lists/dnsbl/dnsbl_servers.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TDNSRBLServerRec Row(std::string name, std::string domain, std::string response,
                     std::string endRange, bool mask, std::int32_t number = -1) {
  TDNSRBLServerRec r;
  r.Name = std::move(name);
  r.Domain = std::move(domain);
  r.Response = std::move(response);
  r.EndRange = std::move(endRange);
  r.Mask = mask;
  r.StandardTestNumber = number;
  return r;
}

const TDNSRBLServerRec& Shipped(std::int32_t number) {
  for (const TDNSRBLServerRec& r : BuiltInDnsrblRows())
    if (r.StandardTestNumber == number) return r;
  static const TDNSRBLServerRec none;
  ADD_FAILURE() << number;
  return none;
}

TEST(DnsrblServers, BuiltInRows) {
  const TDNSRBLServerRecArray& shipped = BuiltInDnsrblRows();
  ASSERT_EQ(shipped.size(), 141u);
  // 831 to 972 in order; 911 is not used.
  std::int32_t expected = 831;
  for (const TDNSRBLServerRec& r : shipped) {
    EXPECT_EQ(r.StandardTestNumber, expected);
    expected += expected == 910 ? 2 : 1;
  }

  TDNSRBLServerRecArray table;
  LoadBuiltInDnsrblServers(table);
  EXPECT_EQ(table.size(), 140u);  // 931 shares 930's key
  EXPECT_FALSE(DnsrblServerRecsDiffer(Shipped(930), Shipped(931)));

  // Twice: nothing added; a user's name and flag stay.
  table[3].Name = "My own name";
  table[3].Enabled = !table[3].Enabled;
  const TDNSRBLServerRecArray before = table;
  LoadBuiltInDnsrblServers(table);
  EXPECT_EQ(table, before);

  // Zones shared by several rows compare without case; eight rows show no
  // web site; every zone of a closed list ends in ".invalid".
  std::map<std::string, std::vector<std::int32_t>> zones;
  int emptySites = 0;
  for (const TDNSRBLServerRec& r : shipped) {
    zones[LowerCase1252(r.Domain)].push_back(r.StandardTestNumber);
    if (r.WebSite.empty()) ++emptySites;
    EXPECT_FALSE(r.Domain.empty()) << r.StandardTestNumber;
    EXPECT_FALSE(r.Name.empty()) << r.StandardTestNumber;
  }
  EXPECT_EQ(emptySites, 8);
  EXPECT_EQ(zones.size(), 89u);
  auto run = [](std::int32_t from, std::int32_t to) {
    std::vector<std::int32_t> numbers;
    for (std::int32_t n = from; n <= to; ++n) numbers.push_back(n);
    return numbers;
  };
  std::set<std::vector<std::int32_t>> shared, expectedShared{
      run(832, 849), run(850, 853), run(854, 855), run(863, 871), run(876, 881), run(886, 893),
      run(900, 906), run(907, 908), {929, 949},    {930, 931},    {932, 939},    {933, 967}};
  for (const auto& [zone, numbers] : zones)
    if (numbers.size() > 1) shared.insert(numbers);
  EXPECT_EQ(shared, expectedShared);
  EXPECT_TRUE(IsClosedDnsrblZone(shipped[0].Domain));  // AHBL is gone
}

TEST(DnsrblServers, KeysAndAdding) {
  const TDNSRBLServerRec a = Row("A", "bl.test", "127.0.0.2", "", false);
  struct Case {
    TDNSRBLServerRec Other;
    bool Differs;
  } cases[] = {
      {Row("Another name", "bl.test", "127.0.0.2", "", false), false},
      {Row("A", "BL.test", "127.0.0.2", "", false), true},  // the key is case-sensitive
      {Row("A", "bl.test", "127.0.0.3", "", false), true},
      {Row("A", "bl.test", "127.0.0.2", "127.0.0.9", false), true},
      {Row("A", "bl.test", "127.0.0.2", "", true), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DnsrblServerRecsDiffer(a, c.Other), c.Differs) << c.Other.Domain;
    TDNSRBLServerRecArray table{a};
    AddDnsrblServer(table, c.Other);
    EXPECT_EQ(table.size(), c.Differs ? 2u : 1u);
  }
}

// Every built-in answer column and bound pairs of our own against answers
// 127.0.0.x, 0, 255.255.255.255 and random ones, compared with the rule as
// Python writes it with ipaddress.
TEST(DnsrblServers, AnswerRuleAgreesWithPython) {
  std::vector<TDNSRBLServerRec> rows(BuiltInDnsrblRows().begin(), BuiltInDnsrblRows().end());
  rows.push_back(Row("", "", "0.0.0.0", "127.0.0.5", false));
  rows.push_back(Row("", "", "127.0.0.5", "", false));
  rows.push_back(Row("", "", "127.0.0.200", "127.0.0.3", false));
  rows.push_back(Row("", "", "not an address", "127.0.0.3", false));
  rows.push_back(Row("", "", "128.0.0.0", "255.255.255.255", false));
  std::vector<std::string> answers{"0.0.0.0", "255.255.255.255", "128.0.0.1", "1.0.0.127"};
  for (int i = 0; i < 256; ++i) answers.push_back("127.0.0." + std::to_string(i));
  std::mt19937 random(29);
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t v = random();
    answers.push_back(std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 255) + "." +
                      std::to_string(v >> 8 & 255) + "." + std::to_string(v & 255));
  }
  std::string input, ours;
  for (const TDNSRBLServerRec& r : rows) {
    input += r.Response + "\t" + r.EndRange + "\t" + (r.Mask ? "1" : "0") + "\n";
    for (const std::string& a : answers) ours += DnsrblAnswerMatches(a, r) ? '1' : '0';
    ours += "\n";
  }
  std::string script = R"PY(
import ipaddress, sys
answers = sys.argv[1].split(",")
def num(t):
    try:
        return int(ipaddress.IPv4Address(t))
    except ValueError:
        return 0
for line in sys.stdin.read().splitlines():
    low, high, mask = line.split("\t")
    lo, hi = num(low), num(high)
    out = ""
    for a in answers:
        v = num(a)
        if v == 0:
            m = False
        elif mask == "1":
            m = (v & lo) != 0
        else:
            m = lo <= v <= hi or (lo == 0 and v == hi) or (hi == 0 and v == lo)
        out += "1" if m else "0"
    print(out)
)PY";
  std::string joined;
  for (const std::string& a : answers) joined += (joined.empty() ? "" : ",") + a;
  const std::string path = test::OutputFolder("DnsrblRule") + "/rule.py";
  ASSERT_TRUE(test::WriteFileBytes(path, script));
  const auto python = test::RunCommand({test::PythonPath(), path, joined}, input);
  ASSERT_EQ(python.ExitCode, 0) << python.Output;
  EXPECT_EQ(ours, python.Output);

  // The faults the signed comparison made: row 850 matched nothing, 909 and
  // 914 only 255.255.255.255; 897 matched an answer of 0.
  for (int n : {850, 909, 914}) EXPECT_TRUE(DnsrblAnswerMatches("127.0.0.2", Shipped(n))) << n;
  EXPECT_FALSE(DnsrblAnswerMatches("0.0.0.0", Shipped(897)));
  EXPECT_FALSE(DnsrblAnswerMatches("", Shipped(897)));
}

TEST(DnsrblServers, TestNames) {
  TDNSRBLServerRecArray table;
  LoadBuiltInDnsrblServers(table);
  auto shippedName = [](std::int32_t number) { return Shipped(number).Name; };
  struct Case {
    std::int32_t Number;
    std::string Name;
  } cases[] = {
      // At its position (before the unused 911), and found by search after it.
      {831, shippedName(831)},
      {910, shippedName(910)},
      {912, shippedName(912)},
      {972, shippedName(972)},
      // 911 is unused; 931 was not added (it shares 930's key).
      {911, kUnknownDnsDb},
      {931, kUnknownDnsDb},
      {1231, kUnknownDnsDb},
      {0, kUnknownDnsDb},
  };
  for (const Case& c : cases) EXPECT_EQ(DnsrblTestName(table, c.Number), c.Name) << c.Number;

  SetGlobalDnsrblServers(table);
  EXPECT_EQ(DnsrblTestName(831), table[0].Name);
  ChangeGlobalDnsrblServers([](TDNSRBLServerRecArray& rows) { rows[0].Name = "Renamed"; });
  EXPECT_EQ(DnsrblTestName(831), "Renamed");
  SetGlobalDnsrblServers({});
  EXPECT_EQ(DnsrblTestName(831), kUnknownDnsDb);
}

TEST(DnsrblServers, SectionsLoadAndSave) {
  const std::string folder = test::OutputFolder("DnsrblIni");
  const std::string path = folder + "/rules.ini";
  // Section 1 lacks Mask, Enabled and the number; section 3 is past the gap.
  ASSERT_TRUE(test::WriteFileBytes(path,
                                   "[DNSDatabase0]\nName=First\nDomain=bl.test\nWebSite=\n"
                                   "Response=127.0.0.2\nEndRange=127.0.0.9\nMask=0\nEnabled=0\n"
                                   "StandardTestNumber=-5\n"
                                   "[DNSDatabase1]\nName=Second\nDomain=b.test\nResponse=0.0.0.4\n"
                                   "[DNSDatabase2]\nDomain=nameless.test\n"
                                   "[DNSDatabase3]\nName=Never read\n"));
  TDNSRBLServerRecArray table;
  {
    TQuorIniFile ini(path);
    LoadDnsrblServersFromIni(ini, table);
  }
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0], Row("First", "bl.test", "127.0.0.2", "127.0.0.9", false, -5));
  EXPECT_TRUE(table[1].Mask);
  EXPECT_TRUE(table[1].Enabled);
  EXPECT_GE(table[1].StandardTestNumber, -65535);
  EXPECT_LE(table[1].StandardTestNumber, -1);
  EXPECT_NE(table[1].StandardTestNumber, -5);

  // Save (a shorter table erases the rows after it), load, save: same bytes.
  const std::string saved1 = folder + "/saved1.ini", saved2 = folder + "/saved2.ini";
  ASSERT_TRUE(test::WriteFileBytes(saved1, test::ReadFileBytes(path)));
  {
    TQuorIniFile ini(saved1);
    SaveDnsrblServersToIni(ini, table);
    ini.UpdateFile();
  }
  TDNSRBLServerRecArray again;
  {
    TQuorIniFile ini(saved1);
    LoadDnsrblServersFromIni(ini, again);
  }
  EXPECT_EQ(again, table);
  {
    TQuorIniFile ini(saved2);
    SaveDnsrblServersToIni(ini, again);
    ini.UpdateFile();
  }
  EXPECT_EQ(test::ReadFileBytes(saved1), test::ReadFileBytes(saved2));

  // Python's configparser reads what we write.
  const auto python = test::RunPython(
      "import configparser,sys\nc=configparser.ConfigParser(interpolation=None)\n"
      "c.optionxform=str\nc.read(sys.stdin.readline().strip())\n"
      "print(sorted(c.sections()), c['DNSDatabase1']['Mask'], c['DNSDatabase0']['Name'])\n",
      saved1 + "\n");
  EXPECT_EQ(python.Output, "['DNSDatabase0', 'DNSDatabase1'] 1 First\n");
}

}  // namespace
}  // namespace halvorn
