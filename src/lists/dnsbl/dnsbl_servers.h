// The table of DNS block lists ("DNS databases"): its rows, the built-in
// rows, the rule that decides whether an answer means "listed", a
// synchronous check of one address, the table's sections in the rules file,
// and the names of the block-list test numbers 831 to 1231.
//
// A block list answers an A question for a relay's address written backwards
// in front of its zone ("4.3.2.1.zone" for 1.2.3.4); an answer means the
// address is listed, and the answer's value says why.
//
// The global table is an immutable array swapped whole under a leaf lock
// ("DnsrblServers_CS"): a reader keeps the snapshot it got for as long as it
// uses it, and a change builds a new array, so a worker copying rows never
// sees a table half changed by the user interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/net/host_names.h"

namespace halvorn {

class TQuorIniFile;

// One block list. The key of a row (de-duplication, and the editor's
// question whether a row still is the list its number names) is (Domain,
// Response, EndRange, Mask); the other fields are not part of it.
struct TDNSRBLServerRec {
  std::string Name;      // display name; also the name of its test number
  std::string Domain;    // the zone asked
  std::string WebSite;   // information about the list; may be empty
  std::string Response;  // the "listed" answer, the range's low end, or a bit mask
  std::string EndRange;  // the range's high end; empty: Response only
  bool Mask = false;     // Response is a bit mask
  bool Enabled = false;  // takes part in "Any enabled DNS database"
  // 831 to 972 for the built-in rows, negative for rows the user made.
  std::int32_t StandardTestNumber = 0;

  bool operator==(const TDNSRBLServerRec&) const = default;
};

using TDNSRBLServerRecArray = std::vector<TDNSRBLServerRec>;

// ---------------------------------------------------------------------------
// Rows and answers. Pure functions; safe from any thread.

// True when the keys of the rows differ: Domain, Response and EndRange
// compared exactly (case-sensitive), Mask as a flag.
bool DnsrblServerRecsDiffer(const TDNSRBLServerRec& a, const TDNSRBLServerRec& b);

// Appends a copy of the row unless a row with the same key is there.
void AddDnsrblServer(TDNSRBLServerRecArray& table, const TDNSRBLServerRec& row);

// Offers the 141 built-in rows to AddDnsrblServer in number order: an empty
// table gets 140 rows (931 shares 930's key), a filled one only the rows
// whose keys it lacks, so the user's names and Enabled flags stay. Calls the
// heartbeat every few rows.
void LoadBuiltInDnsrblServers(TDNSRBLServerRecArray& table);
// The 141 built-in rows as shipped, in number order (parsed once).
const TDNSRBLServerRecArray& BuiltInDnsrblRows();

// Whether the dotted answer means "listed" for the row. With Mask: the answer
// shares a set bit with Response. Otherwise, with the answer A and the
// bounds L (Response) and H (EndRange) as unsigned numbers in address order
// (first octet most significant; an empty or invalid text is 0): L <= A <= H,
// or L is 0 and A equals H, or H is 0 and A equals L. The answer 0 (none, or
// "0.0.0.0") never matches.
bool DnsrblAnswerMatches(const std::string& answer, const TDNSRBLServerRec& row);

// A zone of a list known to be closed: it ends in ".invalid" (any case). No
// question is ever posted under such a zone.
bool IsClosedDnsrblZone(std::string_view zone);

// The name asked for the address in the zone: IPToReversedText, ".", zone.
std::string DnsrblQuestionName(std::uint32_t address, const std::string& zone);

// Asks the zone about the dotted address (an invalid text is asked as
// "0.0.0.0") and waits up to 5000 ms for the first address of the answer:
// the DNS front end's result (dns_NoError when answered), `answer` its dotted
// form ("0.0.0.0" when none). A closed zone is refused: dns_InternalError
// and "0.0.0.0" without a question. Blocks the caller; any thread.
TDNSResult DnsrblCheck(const std::string& zone, const std::string& address, std::string& answer);

// ---------------------------------------------------------------------------
// The global table. Safe from any thread.

using TDnsrblTable = std::shared_ptr<const TDNSRBLServerRecArray>;

// The table as it stands; never null (empty at start). The snapshot never
// changes.
TDnsrblTable GlobalDnsrblServers();
// Replaces the whole table.
void SetGlobalDnsrblServers(TDNSRBLServerRecArray table);
// Changes the table: the function gets a copy of the current rows and what
// it leaves becomes the table, as one step (concurrent changes queue behind
// the lock; the function must take no other lock).
void ChangeGlobalDnsrblServers(const std::function<void(TDNSRBLServerRecArray&)>& change);

// The name of a block-list test number (meant for 831 to 1231): the row at
// position number - 831 when it carries the number, else the first row that
// does, else "Unknown DNS db". The second form reads the global table.
inline constexpr const char* kUnknownDnsDb = "Unknown DNS db";
std::string DnsrblTestName(const TDNSRBLServerRecArray& table, std::int32_t number);
std::string DnsrblTestName(std::int32_t number);

// ---------------------------------------------------------------------------
// The rules file: one section "DNSDatabase" + n per row, n from 0 in table
// order, keys "Name", "Domain", "WebSite", "Response", "EndRange", "Mask",
// "Enabled" ("1"/"0") and "StandardTestNumber" (decimal).

inline constexpr const char* kDnsrblSectionPrefix = "DNSDatabase";

// Appends the rows the file holds, reading from "DNSDatabase0" up to the
// first section without a non-empty "Name". A missing "Mask" or "Enabled"
// reads as true; a missing (or non-numeric) "StandardTestNumber" becomes
// minus a random number from 1 to 65535 that no other row of the table
// holds, so a user's row never takes 0 (which marks a free network input).
// Never raises for what the file holds.
void LoadDnsrblServersFromIni(TQuorIniFile& ini, TDNSRBLServerRecArray& table);
// Writes every row (each section erased first, so empty texts read back
// empty) and erases the sections after the last row that a longer table
// left, so the next load reads exactly these rows.
void SaveDnsrblServersToIni(TQuorIniFile& ini, const TDNSRBLServerRecArray& table);

}  // namespace halvorn
