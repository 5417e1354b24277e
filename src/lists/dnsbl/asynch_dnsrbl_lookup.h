// The block-list questions of one message, asked early and collected later.
//
// The tests queue their questions while a message is prepared (AddQuery) and
// collect the answers when they judge it (Perform, then GetQuery), so that
// the waits of many lists and many prepared messages overlap. Every
// question goes through the global resolver, which joins identical
// questions (one datagram however many tests and messages ask); within one
// message a query also takes over an older query's question for the same
// address and zone.
//
// Bounds. A hostile message (hundreds of relays) must not flood the
// resolver: at most kMaxDnsrblQuestions queries of one message take a
// question; later ones, like queries for a closed zone (".invalid") or
// while network tests are off, are refused and end as dns_InternalError.
//
// Threads. A message is prepared and judged by one thread at a time, but the
// object guards its list with a small lock of its own, so that a reader on
// another thread (a report) sees whole queries. Perform never holds that
// lock while it sleeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/dns/dns_records.h"
#include "lists/dnsbl/dnsbl_servers.h"
#include "message/dnsrbl_lookup.h"

namespace halvorn {

class TEmailMsg;

inline constexpr int kMaxDnsrblQuestions = 500;

// One question about one address in one row's zone.
struct TAsynchDNSRBLQuery {
  // The resolver's question id; 0 when the question was refused.
  std::uint32_t QueryId = 0;
  TDNSRBLServerRec Server;  // a copy of the row asked
  std::uint32_t Address = 0;
  // dns_NotPerformed while pending; then dns_NoError (answered; Answer holds
  // the listing address, 0 when the answer names none), dns_BadResultReturned
  // (the server failed), dns_Timeout (still pending when a wait of its
  // owner ended) or dns_InternalError (refused, or lost by the resolver).
  TDNSResult State = dns_NotPerformed;
  std::uint32_t Answer = 0;
  // Who asked: a test's tag, or -1 for no particular asker.
  std::int32_t Owner = -1;

  // Answered, and the answer means "listed" for the row.
  bool IsListed() const;
};

class TAsynchDNSRBLLookup : public TAsynchDNSRBLLookupBase {
 public:
  TAsynchDNSRBLLookup() = default;
  TAsynchDNSRBLLookup(const TAsynchDNSRBLLookup&) = delete;
  TAsynchDNSRBLLookup& operator=(const TAsynchDNSRBLLookup&) = delete;

  // Queues a question about the address (a number, first octet lowest) in
  // the row's zone and answers its index. Never waits and never raises for
  // a refused question (see the top of this file).
  int AddQuery(std::uint32_t address, const TDNSRBLServerRec& row, std::int32_t owner);
  // The same for a dotted text (StrToIP; an invalid text asks about 0).
  int AddQueryForIP(const std::string& address, const TDNSRBLServerRec& row, std::int32_t owner);

  // Collects answers for up to `timeoutMs`, polling the resolver every
  // 100 ms (which also drives it). Owner 0 waits for every query, any other
  // tag only for its own; the wait also ends as soon as none of those is
  // pending, or when the youngest of them is older than the time-out
  // (a question posted during preparation counts from its posting). Then
  // the queries of that owner (all for 0) that are still pending become
  // dns_Timeout; other owners' stay pending for their own wait. An abort
  // flag set at entry returns at once; set during the wait, the wait ends
  // without marking time-outs. Processing thread.
  void Perform(int timeoutMs, const std::atomic<bool>* abort, std::int32_t owner);

  // A copy of the query at the index; std::out_of_range outside.
  TAsynchDNSRBLQuery GetQuery(int index) const;
  // Copies of every query, in the order they were added.
  std::vector<TAsynchDNSRBLQuery> Queries() const;
  int Count() const;
  // Frees every query; the count of questions asked starts again.
  void Clear() override;

 private:
  mutable std::mutex FMutex;
  std::vector<TAsynchDNSRBLQuery> FQueries;
  int FAsked = 0;  // queries that took a question (the bound above)
};

// The address an answer holds for the question: the last A record of the
// answer section whose name is the question's name or a CNAME target of it
// (glue of the additional section never counts); 0 when there is none.
std::uint32_t DnsrblListingAddress(const TQueryResults& results, const std::string& questionName);

// The message's block-list look-ups; null while the lists module has not
// installed its kind (InstallDnsrblLookups).
TAsynchDNSRBLLookup* DnsrblLookupOf(TEmailMsg& msg);

// Makes every message's look-ups a TAsynchDNSRBLLookup (the lists module's
// start-up calls it).
void InstallDnsrblLookups();

}  // namespace halvorn
