#include "lists/dnsbl/asynch_dnsrbl_lookup.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "foundation/dns/dns_lookups.h"
#include "foundation/dns/dns_packet.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/time/clock.h"
#include "lists/network_tests.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr int kPollMs = 100;

bool Aborted(const std::atomic<bool>* abort) {
  return abort != nullptr && abort->load();
}

// The question for the query, posted or joined; 0 when refused.
std::uint16_t PostQuestion(std::uint32_t address, const TDNSRBLServerRec& row) {
  if (IsClosedDnsrblZone(row.Domain) || row.Domain.empty()) return 0;
  TMultiDNSResolver& resolver = GlobalDnsResolver();
  const std::uint16_t id =
      resolver.AddQuery(DnsrblQuestionName(address, row.Domain), TQTypeSet{qA}, true);
  // Held, so that an answer whose records expire at once (a TTL of 0) is
  // still there when the message is judged.
  if (id != 0) resolver.HoldQuery(id);
  return id;
}

}  // namespace

bool TAsynchDNSRBLQuery::IsListed() const {
  return State == dns_NoError && DnsrblAnswerMatches(IPToStr(Answer), Server);
}

int TAsynchDNSRBLLookup::AddQuery(std::uint32_t address, const TDNSRBLServerRec& row,
                                  std::int32_t owner) {
  TAsynchDNSRBLQuery query;
  query.Server = row;
  query.Owner = owner;
  query.Address = address;
  std::lock_guard<std::mutex> lock(FMutex);
  const bool allowed = NetworkTestsOn() && FAsked < kMaxDnsrblQuestions &&
                       !IsClosedDnsrblZone(row.Domain) && !row.Domain.empty();
  if (allowed) {
    ++FAsked;
    TMultiDNSResolver& resolver = GlobalDnsResolver();
    for (auto it = FQueries.rbegin(); it != FQueries.rend(); ++it) {
      if (it->Address != address || it->QueryId == 0 ||
          !SameText1252(it->Server.Domain, row.Domain))
        continue;
      if (resolver.HoldQuery(static_cast<std::uint16_t>(it->QueryId))) {
        query.QueryId = it->QueryId;
        break;
      }
    }
    if (query.QueryId == 0) query.QueryId = PostQuestion(address, row);
  }
  FQueries.push_back(std::move(query));
  return static_cast<int>(FQueries.size()) - 1;
}

int TAsynchDNSRBLLookup::AddQueryForIP(const std::string& address, const TDNSRBLServerRec& row,
                                       std::int32_t owner) {
  return AddQuery(StrToIP(address), row, owner);
}

void TAsynchDNSRBLLookup::Perform(int timeoutMs, const std::atomic<bool>* abort,
                                  std::int32_t owner) {
  if (Aborted(abort)) return;
  TMultiDNSResolver& resolver = GlobalDnsResolver();
  const std::int64_t deadline = SteadyMilliseconds() + std::max(0, timeoutMs);
  while (SteadyMilliseconds() < deadline) {
    bool waiting = false;
    int youngest = INT_MAX;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      for (std::size_t i = FQueries.size(); i-- > 0;) {
        if (Aborted(abort)) break;
        TAsynchDNSRBLQuery& q = FQueries[i];
        if (q.State != dns_NotPerformed) continue;
        std::unique_ptr<TQueryResults> results;
        const int r = q.QueryId == 0 ? -2
                                     : resolver.GetResult(static_cast<std::uint16_t>(q.QueryId),
                                                          results);
        if (r == -1 && results) {
          // No such name (3) is an answer: the address is not listed.
          if (results->RCode == 0 || results->RCode == 3) {
            q.State = dns_NoError;
            q.Answer = DnsrblListingAddress(*results, DnsrblQuestionName(q.Address, q.Server.Domain));
          } else {
            q.State = dns_BadResultReturned;
          }
        } else if (r < 0) {
          q.State = dns_InternalError;
        } else if (owner == 0 || owner == q.Owner) {
          waiting = true;
          youngest = std::min(youngest, r);
        }
      }
    }
    if (Aborted(abort)) return;
    if (!waiting) break;
    if (youngest > timeoutMs) break;
    const std::int64_t left = deadline - SteadyMilliseconds();
    if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::int64_t>(left, kPollMs)));
  }
  std::lock_guard<std::mutex> lock(FMutex);
  for (TAsynchDNSRBLQuery& q : FQueries)
    if (q.State == dns_NotPerformed && (owner == 0 || owner == q.Owner)) q.State = dns_Timeout;
}

TAsynchDNSRBLQuery TAsynchDNSRBLLookup::GetQuery(int index) const {
  std::lock_guard<std::mutex> lock(FMutex);
  if (index < 0 || index >= static_cast<int>(FQueries.size()))
    throw std::out_of_range("block-list query " + std::to_string(index) + " does not exist");
  return FQueries[static_cast<std::size_t>(index)];
}

std::vector<TAsynchDNSRBLQuery> TAsynchDNSRBLLookup::Queries() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FQueries;
}

int TAsynchDNSRBLLookup::Count() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return static_cast<int>(FQueries.size());
}

void TAsynchDNSRBLLookup::Clear() {
  std::lock_guard<std::mutex> lock(FMutex);
  FQueries.clear();
  FAsked = 0;
}

std::uint32_t DnsrblListingAddress(const TQueryResults& results, const std::string& questionName) {
  std::vector<std::string> names{questionName};
  auto known = [&](const std::string& name) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return SameDnsName(n, name); });
  };
  // An alias chain may be listed in any order; each round adds at least one
  // target or ends, so the rounds are bounded by the records.
  for (bool grew = true; grew;) {
    grew = false;
    for (int i = 0; i < results.Count(); ++i) {
      const auto* alias = dynamic_cast<const TNAMERecord*>(results.Items(i));
      if (alias == nullptr || alias->Section != dsAnswer || alias->RecordType != qCName) continue;
      if (known(alias->Name) && !known(alias->HostName)) {
        names.push_back(alias->HostName);
        grew = true;
      }
    }
  }
  for (int i = results.Count(); i-- > 0;) {
    const auto* a = dynamic_cast<const TARecord*>(results.Items(i));
    if (a != nullptr && a->Section == dsAnswer && known(a->Name)) return a->IPNumber();
  }
  return 0;
}

TAsynchDNSRBLLookup* DnsrblLookupOf(TEmailMsg& msg) {
  return dynamic_cast<TAsynchDNSRBLLookup*>(&msg.GetDnsrblLookup());
}

void InstallDnsrblLookups() {
  SetDnsrblLookupFactory([] { return std::make_unique<TAsynchDNSRBLLookup>(); });
}

}  // namespace halvorn
