#include "lists/dnsbl/dnsbl_servers.h"

#include <mutex>
#include <set>
#include <utility>

#include "foundation/crypto/random_source.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// The shipped rows (BuiltInDnsbl.txt, compiled in).
std::string_view ShippedDnsrblServers();

namespace {

constexpr const char* kClosedZoneSuffix = ".invalid";
constexpr int kHeartbeatRows = 16;

// The number of an address in address order: the first octet most
// significant, so that comparing numbers compares addresses.
std::uint32_t AddressOrder(std::uint32_t wire) {
  return (wire & 0xFFu) << 24 | (wire & 0xFF00u) << 8 | (wire & 0xFF0000u) >> 8 | wire >> 24;
}

std::vector<std::string> SplitTabs(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.emplace_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

TDNSRBLServerRecArray ParseShippedRows() {
  TDNSRBLServerRecArray rows;
  const std::string_view text = ShippedDnsrblServers();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 8) continue;  // the file is ours: a test checks every row is read
    TDNSRBLServerRec row;
    row.StandardTestNumber = std::stoi(f[0]);
    row.Name = f[1];
    row.Response = f[2];
    row.EndRange = f[3];
    row.Mask = f[4] == "1";
    row.Enabled = f[5] == "1";
    row.Domain = f[6];
    row.WebSite = f[7];
    rows.push_back(std::move(row));
  }
  return rows;
}

TMutexCriticalSection& TableLock() {
  static TMutexCriticalSection lock("DnsrblServers_CS");
  return lock;
}

TDnsrblTable& TableSlot() {
  static TDnsrblTable table = std::make_shared<const TDNSRBLServerRecArray>();
  return table;
}

std::string Section(std::size_t index) {
  return kDnsrblSectionPrefix + std::to_string(index);
}

// A hand-edited file may hold a heading twice: every copy goes.
void EraseAll(TQuorIniFile& ini, const std::string& section) {
  while (ini.SectionExists(section)) ini.EraseSection(section);
}

}  // namespace

bool DnsrblServerRecsDiffer(const TDNSRBLServerRec& a, const TDNSRBLServerRec& b) {
  return a.Domain != b.Domain || a.Response != b.Response || a.EndRange != b.EndRange ||
         a.Mask != b.Mask;
}

void AddDnsrblServer(TDNSRBLServerRecArray& table, const TDNSRBLServerRec& row) {
  for (const TDNSRBLServerRec& present : table)
    if (!DnsrblServerRecsDiffer(present, row)) return;
  table.push_back(row);
}

const TDNSRBLServerRecArray& BuiltInDnsrblRows() {
  static const TDNSRBLServerRecArray rows = ParseShippedRows();
  return rows;
}

void LoadBuiltInDnsrblServers(TDNSRBLServerRecArray& table) {
  int n = 0;
  for (const TDNSRBLServerRec& row : BuiltInDnsrblRows()) {
    if (++n % kHeartbeatRows == 0) Heartbeat("", -1, -1);
    AddDnsrblServer(table, row);
  }
}

bool DnsrblAnswerMatches(const std::string& answer, const TDNSRBLServerRec& row) {
  const std::uint32_t a = AddressOrder(StrToIP(answer));
  if (a == 0) return false;
  if (row.Mask) return (a & AddressOrder(StrToIP(row.Response))) != 0;
  const std::uint32_t low = AddressOrder(StrToIP(row.Response));
  const std::uint32_t high = AddressOrder(StrToIP(row.EndRange));
  return (low <= a && a <= high) || (low == 0 && a == high) || (high == 0 && a == low);
}

bool IsClosedDnsrblZone(std::string_view zone) {
  const std::string_view suffix = kClosedZoneSuffix;
  std::string_view trimmed = zone;
  while (!trimmed.empty() && trimmed.back() == '.') trimmed.remove_suffix(1);
  return trimmed.size() >= suffix.size() &&
         SameText1252(trimmed.substr(trimmed.size() - suffix.size()), suffix);
}

std::string DnsrblQuestionName(std::uint32_t address, const std::string& zone) {
  return IPToReversedText(address) + "." + zone;
}

TDNSResult DnsrblCheck(const std::string& zone, const std::string& address, std::string& answer) {
  std::uint32_t found = 0;
  TDNSResult result = dns_InternalError;
  if (!IsClosedDnsrblZone(zone))
    result = DnsIPLookupNumber(DnsrblQuestionName(StrToIP(address), zone), found, false, nullptr,
                               5000);
  answer = IPToStr(found);
  return result;
}

// ---- The global table

TDnsrblTable GlobalDnsrblServers() {
  TCriticalSectionGuard guard(TableLock());
  return TableSlot();
}

void SetGlobalDnsrblServers(TDNSRBLServerRecArray table) {
  auto fresh = std::make_shared<const TDNSRBLServerRecArray>(std::move(table));
  TDnsrblTable old;
  {
    TCriticalSectionGuard guard(TableLock());
    old = std::exchange(TableSlot(), std::move(fresh));
  }
  // The old rows are freed here, outside the lock, when nobody reads them.
}

void ChangeGlobalDnsrblServers(const std::function<void(TDNSRBLServerRecArray&)>& change) {
  TDnsrblTable old;
  {
    TCriticalSectionGuard guard(TableLock());
    TDNSRBLServerRecArray rows = *TableSlot();
    change(rows);
    old = std::exchange(TableSlot(), std::make_shared<const TDNSRBLServerRecArray>(std::move(rows)));
  }
}

std::string DnsrblTestName(const TDNSRBLServerRecArray& table, std::int32_t number) {
  const std::int64_t position = std::int64_t{number} - 831;
  if (position >= 0 && position < static_cast<std::int64_t>(table.size()) &&
      table[static_cast<std::size_t>(position)].StandardTestNumber == number)
    return table[static_cast<std::size_t>(position)].Name;
  for (const TDNSRBLServerRec& row : table)
    if (row.StandardTestNumber == number) return row.Name;
  return kUnknownDnsDb;
}

std::string DnsrblTestName(std::int32_t number) {
  return DnsrblTestName(*GlobalDnsrblServers(), number);
}

// ---- The rules file

void LoadDnsrblServersFromIni(TQuorIniFile& ini, TDNSRBLServerRecArray& table) {
  std::set<std::int32_t> taken;
  for (const TDNSRBLServerRec& row : table) taken.insert(row.StandardTestNumber);
  for (std::size_t n = 0;; ++n) {
    const std::string section = Section(n);
    TDNSRBLServerRec row;
    row.Name = ini.ReadString(section, "Name", "");
    if (row.Name.empty()) return;
    row.Domain = ini.ReadString(section, "Domain", "");
    row.WebSite = ini.ReadString(section, "WebSite", "");
    row.Response = ini.ReadString(section, "Response", "");
    row.EndRange = ini.ReadString(section, "EndRange", "");
    row.Mask = ini.ReadBool(section, "Mask", true);
    row.Enabled = ini.ReadBool(section, "Enabled", true);
    std::int32_t number = 0;
    if (!ini.TryReadInteger(section, "StandardTestNumber", number)) {
      // Free numbers are plenty (a rules file holds far fewer rows than
      // 65535), but a table that took them all must not loop for ever.
      for (int tries = 0; tries < 65535 * 4; ++tries) {
        number = -static_cast<std::int32_t>(RandomRange(1, 65535));
        if (!taken.contains(number)) break;
      }
    }
    row.StandardTestNumber = number;
    taken.insert(number);
    table.push_back(std::move(row));
  }
}

void SaveDnsrblServersToIni(TQuorIniFile& ini, const TDNSRBLServerRecArray& table) {
  for (std::size_t n = 0; n < table.size(); ++n) {
    const TDNSRBLServerRec& row = table[n];
    const std::string section = Section(n);
    EraseAll(ini, section);
    ini.WriteString(section, "Name", row.Name);
    ini.WriteString(section, "Domain", row.Domain);
    ini.WriteString(section, "WebSite", row.WebSite);
    ini.WriteString(section, "Response", row.Response);
    ini.WriteString(section, "EndRange", row.EndRange);
    ini.WriteBool(section, "Mask", row.Mask);
    ini.WriteBool(section, "Enabled", row.Enabled);
    ini.WriteInteger(section, "StandardTestNumber", row.StandardTestNumber);
  }
  for (std::size_t n = table.size(); ini.SectionExists(Section(n)); ++n) EraseAll(ini, Section(n));
}

}  // namespace halvorn
