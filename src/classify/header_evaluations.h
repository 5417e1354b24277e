// The header evaluations of the rule set: small algorithms over one parsed
// header that compare the Received lines with the sender's claims, look for
// the fingerprints mail programs leave in message ids and boundaries,
// measure the subject, and ask the fixed block lists about the last outside
// relay. The rule program (rule_program.h) decides what each result is worth;
// TRuleHeaderEvaluations below reports them to it.
//
// Every evaluation reads the header through its own accessors (which take
// the header's lock) and changes nothing. Results: Booleans, hours, or trits
// (kTriteYes, kTriteNo, kTriteUnknown). Received indices: 1 is the oldest
// line, -1 the newest.
//
// Errors. The evaluations marked "guarded" catch an error raised inside them
// and answer their result so far (false, 0, unknown); the others let it reach
// the caller. An abandoned worker's EThreadAbandoned always passes.
//
// Threads: the evaluations may run on any thread, one header per thread at a
// time; the block-list evaluations block for at most their wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "classify/rule_program.h"
#include "foundation/text/trite_array.h"
#include "lists/dnsbl/dnsbl_servers.h"
#include "message/email_header.h"

namespace halvorn {

// ---- The subject (false without one). All guarded but the last five.

// A unique id at the subject's end (eight shapes; two need word boundaries).
bool SubjectHasUniqueId(TEmailHeader& header);
// No small letter a to z, and more than 5 letters A to Z.
bool SubjectIsAllCaps(TEmailHeader& header);
// More than 3 bytes above 127, and more of them than of the others.
bool SubjectFullOf8Bit(TEmailHeader& header);
// LongestSpaceRun above 3.
bool SubjectHasSpaceRun(TEmailHeader& header);
// IsRandomLogScore / IsRandomUnseenScore (random_strings.h) of the subject.
bool SubjectLooksRandom1(TEmailHeader& header);
bool SubjectLooksRandom3(TEmailHeader& header);
// The raw (unfolded) Subject and the decoded one differ, case aside.
bool SubjectWasEncoded(TEmailHeader& header);
// Encoded although every decoded byte is a TAB or 32 to 126.
bool SubjectNeedlesslyEncoded(TEmailHeader& header);

// ---- Dates and zones

// Hours from the Received date (of the tenth line from the newest, or the
// oldest of fewer) to the Date header, both in universal time, rounded
// halves to even; positive when Date is later. 0 without a Date that parses
// or without Received lines. Guarded.
int DateToReceivedHours(TEmailHeader& header);
// |(zone of Date - zone of the oldest non-local Received line, whole hours)
// rem 24|, 0 to 23; -1 without such a line or when either zone is missing
// or not understood.
int FirstHopZoneDifference(TEmailHeader& header);
// The newest non-local Received line's reverse-DNS name is a dynamic host.
bool IsFirstExternalHopDialup(TEmailHeader& header);
// IsFirstExternalHopDialup and a zone difference of 2 or more.
bool IsDialupFromOtherZone(TEmailHeader& header);

// A Received line is this computer's own or the local network's: it
// contains "Quorvantis" (case matters) or "LocalHost" (any case), or is a
// dotted address beginning "127." or "192.".
bool IsLocalReceivedLine(const std::string& line);

// ---- The Received path

bool HasForgedAolRelay(TEmailHeader& header);  // guarded
bool HasDialupMidReceived(TEmailHeader& header);
bool FromDomainInFirstReceived(TEmailHeader& header);
// A gateway stamp "from X by Y with ESMTP; <date>" whose by-host Y holds no
// full stop. Guarded.
bool HasForgedGatewayReceived(TEmailHeader& header);
// Every Received line contains "Quor" (any case); true without lines; an
// error gives false.
bool IsInternalMail(TEmailHeader& header);
// From names the domain, and (expected) some Received line shows a hop
// from the domain with a bracketed address to the domain; not `expected`
// when none does. False whatever `expected` when From does not name it.
// Guarded.
bool CheckDomainReceived(TEmailHeader& header, std::string_view domain, bool expected);

// ---- Web-mail forgeries (From names the provider, but the relays do not
// show its servers). Guarded.
bool IsForgedHotmail(TEmailHeader& header);
bool IsForgedEudoramail(TEmailHeader& header);
bool IsForgedYahoo(TEmailHeader& header);
bool IsForgedJuno(TEmailHeader& header);
// The top content type is HTML and no Received line shows Hotmail's own
// relay. Guarded.
bool IsHtmlOnly(TEmailHeader& header);

// ---- Header presence and the sender's name. Guarded but the last two.
bool HasAuthenticationWarning(TEmailHeader& header);
bool HasManyCCAddresses(TEmailHeader& header);  // more than 20
bool HasNoRecipientHeader(TEmailHeader& header);
bool MissingMimeOle(TEmailHeader& header);
bool OutlookHeadersWithoutOutlook(TEmailHeader& header);
bool PriorityWithoutMailer(TEmailHeader& header);
bool FromLocalPartLooksRandom(TEmailHeader& header);
bool FromNameMatchesAddress(TEmailHeader& header);

// ---- Mail-program fingerprints
TTrite MsBoundaryCheck(TEmailHeader& header);
TTrite ImsBoundaryCheck(TEmailHeader& header);
TTrite MsBoundaryNonMsCheck(TEmailHeader& header);
bool BoundaryMatchesMailer(TEmailHeader& header);
TTrite OutlookExpressMsgIdCheck(TEmailHeader& header);
TTrite ImsMsgIdCheck(TEmailHeader& header);
TTrite OutlookMsgIdCheck(TEmailHeader& header);
TTrite OutlookExpressHeadersCheck(TEmailHeader& header);
// The Message-Id's and the boundary's counters and dates against each other,
// the Date header and the Received lines. Without a Date that parses the
// two date comparisons are skipped. An error gives unknown.
TTrite MsMsgIdBoundaryCheck(TEmailHeader& header);
// At least one comma-separated id has one of the nine known shapes.
bool ReferencesConform(TEmailHeader& header);
bool InReplyToConforms(TEmailHeader& header);

// ---- DNS

// Yes when the From domain has no mail exchanger, no when it has one,
// unknown for anything else (no From, a failed or unfinished look-up, the
// network tests off). A time-out of 0 only posts the question. Guarded.
TTrite FromDomainHasNoMX(TEmailHeader& header, int timeoutMs);

// The eight fixed block lists, in this order.
enum class TFixedBlockList : std::uint8_t {
  Ordb,
  RelayStopList,
  SpamhausSbl,
  DsblList,
  DsblMultihop,
  DsblUnconfirmed,
  IpWhois,
  SpamCop,
};
inline constexpr int kFixedBlockListCount = 8;
// The row of a fixed list. Retired lists have closed zones (".invalid"):
// their rules answer false without a question.
TDNSRBLServerRec FixedBlockListRow(TFixedBlockList list);
// Tests: every fixed list's zone becomes "<label>.<zone>" (label: "ordb",
// "rsl", "sbl", "dsbl", "multihop", "unconfirmed", "ipwhois", "spamcop") for
// the object's life. Not for concurrent use with evaluations.
class TScopedFixedBlockListZone {
 public:
  explicit TScopedFixedBlockListZone(const std::string& zone);
  ~TScopedFixedBlockListZone();
  TScopedFixedBlockListZone(const TScopedFixedBlockListZone&) = delete;
  TScopedFixedBlockListZone& operator=(const TScopedFixedBlockListZone&) = delete;
};

// Whether the last outside relay is listed by the row: the question goes
// into the message's block-list look-ups (false for a header without a
// message, without a relay address, or while network tests are off); a wait
// of 0 answers false and leaves it pending; otherwise waits up to `waitMs`
// for the message's questions. An error reading the answer gives false.
bool TestLastExternalIP(TEmailHeader& header, const TDNSRBLServerRec& row, int waitMs);
bool InFixedBlockList(TEmailHeader& header, TFixedBlockList list, int waitMs);
bool InOrdb(TEmailHeader& header, int waitMs);
bool InRelayStopList(TEmailHeader& header, int waitMs);
bool InSpamhausSbl(TEmailHeader& header, int waitMs);
bool InDsblList(TEmailHeader& header, int waitMs);
bool InDsblMultihop(TEmailHeader& header, int waitMs);
bool InDsblUnconfirmed(TEmailHeader& header, int waitMs);
bool InIpWhois(TEmailHeader& header, int waitMs);
bool InSpamCop(TEmailHeader& header, int waitMs);
// Posts the eight questions (wait 0).
void PrefetchBlockListQueries(TEmailHeader& header);
// Multihop-listed and listed by one of ORDB, the relay stop list and DSBL
// (100 ms each, stopping when known).
bool IsMultihopFudge(TEmailHeader& header);

// The block-list rules' wait.
inline constexpr int kBlockListRuleWaitMs = 100;

// The evaluations as the rule program calls them (rule_program.h): the
// relay-path rules of SA_tag, the condition of 583, and the areas
// SA_EvalHeader and SA_BL. Reads the message's top header under the
// message's lock (released while a block-list rule waits). Stateless.
class TRuleHeaderEvaluations : public IRuleHeaderEvaluations {
 public:
  void RelayPathRules(TEmailMsg& msg, IRuleResultSink& sink) override;
  bool ImsBoundaryFails(TEmailMsg& msg) override;
  bool EvalHeaderAreas(TEmailMsg& msg, IRuleResultSink& sink,
                       const std::atomic<bool>* abort) override;
};

}  // namespace halvorn
