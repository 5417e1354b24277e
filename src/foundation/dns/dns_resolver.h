// The program's own DNS resolver: many questions at once over one UDP socket,
// identical questions joined, answers kept for later askers until their
// records expire or the list grows too large, unanswered questions sent again
// to the next server.
//
// Every reply comes from a server that strangers may control. A reply is read
// only when it comes from one of the resolver's servers (address and port), and
// only when its question entry is the question that was asked; question ids are
// random and unique among the questions in flight. Of a reply, only the answer
// records for the asked name, or for a CNAME target of it, ever answer a later
// question; the copies that callers receive still hold every section.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "foundation/time/date_time.h"
#include "foundation/dns/dns_packet.h"
#include "foundation/dns/dns_records.h"
#include "foundation/text/hash_table.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/text/string_list.h"

namespace halvorn {

struct THostLookup;
class TMultiDNSResolver;

// A stop flag a waiting look-up watches (a worker's terminate flag, for
// example); null when the caller has none.
using TDnsStopFlag = const std::atomic<bool>*;

// One question of the resolver. Owned by the resolver and only touched under
// its lock.
class TDNSQuestion {
 public:
  TDNSQuestion() = default;
  TDNSQuestion(const TDNSQuestion&) = delete;
  TDNSQuestion& operator=(const TDNSQuestion&) = delete;

  std::uint16_t Id = 0;
  std::string Name;
  TQTypeSet QuerySet;
  // The types as asked (QuerySet loses the types whose records expire).
  TQTypeSet AskedSet;
  bool Recurse = true;
  // The one server the question goes to; empty: the resolver's servers.
  std::string Server;
  TDateTime PostedAt = 0;
  // The first datagram's time (0 while none went out): re-sends count from it.
  TDateTime SentAt = 0;
  TDateTime AnsweredAt = 0;  // 0 until the first acceptable reply
  TDNSHeader Header;
  std::unique_ptr<TQueryResults> Results;
  std::string Answer;  // the raw reply behind Results
  std::int32_t Holders = 0;
  std::int32_t Tries = 0;
  std::int32_t Waiters = 0;
  // How many datagrams went out for it; at most kMaxSends.
  std::int32_t Sends = 0;
  // When HoldQuery last held it (0: never). A hold spares the question from
  // the cull for one question lifetime.
  TDateTime HeldAt = 0;
  // Tells a question apart from a later one that got the same id.
  std::uint64_t Serial = 0;
  // Waiting for room among the questions in flight; nothing sent yet.
  bool Queued = false;
  // Sent and neither answered nor given up: it takes one place of the window.
  bool InFlight = false;
  bool Dead = false;        // freed by the cull at the end of its pass
  bool Registered = false;  // in the question (id) table
  bool KeyRegistered = false;
  std::uint32_t Key = 0;

  bool Answered() const { return AnsweredAt != 0; }
  bool Resolved() const { return Answered() && Results != nullptr; }
};

// A snapshot of a question for tests and diagnostics.
struct TDNSQuestionInfo {
  std::uint16_t Id = 0;
  std::string Name;
  TQTypeSet QuerySet;
  std::int32_t Holders = 0;
  std::int32_t Tries = 0;
  std::int32_t Waiters = 0;
  std::int32_t Sends = 0;
  bool Answered = false;
  bool Resolved = false;
  bool Queued = false;
  bool InFlight = false;
  std::string ResultServer;  // the server whose reply is stored
};

// The resolver. All state is guarded by "TMultiDNSResolver_CS" (4000 ms); any
// thread may call the public operations.
//
// At most MaxInFlight questions are in flight (sent, and neither answered nor
// given up after their last re-send); later questions wait in the order they
// were asked and go out as answers come in. A burst of thousands of questions
// therefore never overflows a server's receive queue, which would only bring
// on a storm of re-sends. Without a worker thread, the callers
// that wait drive the work (reading replies, re-sending, culling). The lock is
// never held while a caller sleeps, resolves a server's host name or discovers
// the servers.
class TMultiDNSResolver {
 public:
  static constexpr int kMaxSends = 5;
  static constexpr std::uint16_t kDefaultPort = 53;

  // With startWorker, a worker thread runs DoWork every 100 ms. The servers
  // start empty: the first question fills them through GetDnsServers (see
  // dns_lookups.h) unless SetServers was called first.
  explicit TMultiDNSResolver(bool startWorker);
  // Stops the worker, frees all questions and ends the servers' pending
  // host look-ups. Never raises: what it cannot do cleanly (free the worker,
  // take the lock, for example on an abandoned worker) is logged, and the
  // questions are freed all the same.
  ~TMultiDNSResolver();
  TMultiDNSResolver(const TMultiDNSResolver&) = delete;
  TMultiDNSResolver& operator=(const TMultiDNSResolver&) = delete;

  std::int32_t QuestionLifetime = 60000;  // ms
  std::int32_t RetryInterval = 2000;      // ms
  std::int32_t MaxQuestions = 1000;
  // Set before the first question.
  std::int32_t MaxInFlight = 100;

  // The servers as dotted addresses or host names. Safe from any thread.
  TStringList Servers();
  void SetServers(const TStringList& servers);
  // The destination port of every question (53 unless a test sets it).
  std::uint16_t Port() const { return FPort.load(); }
  void SetPort(std::uint16_t port) { FPort.store(port); }

  // Posts a question or joins an identical one: its id, or 0 when refused (an
  // empty name or set, a name that cannot be written as a question, a PTR
  // question for a 127.x or 192.168.x address, a question that could not be
  // sent, any error). A question for which the window has no room yet waits
  // (see above) and has its id all the same. With a server (a dotted
  // address or a host name), the question goes to that server only and joins
  // only questions for the same server.
  std::uint16_t AddQuery(const std::string& name, TQTypeSet querySet, bool recurse,
                         const std::string& server = {});

  // Posts (or joins) a question and waits for its answer. Answers -1 when
  // answered (`results` then holds a copy that belongs to the caller), -2 on
  // an internal error, 0 when refused or stopped before the first poll, 1 when
  // posted without waiting (time-out 0), otherwise the milliseconds the
  // question has waited (timed out or stopped). With honourAge, a caller that
  // joined an older question stops once that question is older than the
  // caller's time-out.
  int QueryAndWait(const std::string& name, TQTypeSet querySet, bool honourAge, TDnsStopFlag stop,
                   int timeoutMs, bool recurse, std::unique_ptr<TQueryResults>& results,
                   const std::string& server = {});

  // -1 answered (`results` a fresh copy with TTLs lowered by the seconds since
  // the answer came), -2 unknown id (or an answer that could not be read),
  // otherwise the milliseconds since the question was posted, at least 1.
  int GetResult(std::uint16_t id, std::unique_ptr<TQueryResults>& results);

  // Holds a known question: the cull spares it for one question lifetime from
  // now. False for an unknown id.
  bool HoldQuery(std::uint16_t id);

  // The id of a question that answers (or will answer) this one; 0 when none.
  std::uint16_t FindQuery(const std::string& name, TQTypeSet querySet,
                          const std::string& server = {});

  // The canonical name an answered question knows for the name (a CNAME
  // record in an answer that the name's question chain owns).
  bool FindCName(const std::string& name, std::string& canonical);

  // Reads replies, re-sends, culls; at most every 250 ms.
  void DoWork();
  void DoWorkIfNoThread();

  // Tests and diagnostics.
  int QuestionCount();
  bool QuestionInfo(std::uint16_t id, TDNSQuestionInfo& info);
  // The number of datagrams sent so far.
  std::int64_t DatagramsSent() const { return FDatagramsSent.load(); }

 private:
  struct TServerEntry {
    std::string Text;
    THostLookup* Lookup = nullptr;
    std::int64_t RetryLookupAfter = 0;  // steady ms
  };
  using TRecordList = std::vector<TResourceRecord*>;

  std::uint16_t AddQueryLocked(const std::string& name, TQTypeSet querySet, bool recurse,
                               const std::string& server, bool& postFailed);
  std::uint16_t FindQueryLocked(const std::string& name, TQTypeSet querySet,
                                const std::string& server);
  TDNSQuestion* QuestionById(std::uint16_t id);
  std::uint16_t NewId();
  void RegisterQuestion(TDNSQuestion& q);
  void UnregisterQuestion(TDNSQuestion& q);
  void RegisterKey(TDNSQuestion& q);
  void UnregisterKey(TDNSQuestion& q);
  void RegisterAnswerRecords(TDNSQuestion& q);
  void UnregisterRecord(TResourceRecord& record);
  void ReleaseQuestion(TDNSQuestion& q);
  void LeaveFlight(TDNSQuestion& q);
  // Sends waiting questions while the window has room.
  void SendWaiting();
  void EraseDeadQuestions();
  bool HasAllAnswerTypes(const TDNSQuestion& q, TQTypeSet types, const std::string& name) const;
  bool IsHeld(const TDNSQuestion& q, TDateTime now) const;
  bool ParseReply(TDNSQuestion& q, const std::string& datagram, std::unique_ptr<TQueryResults>& out,
                  TDNSHeader& header) const;
  bool AcceptedSender(const TDNSQuestion& q, const std::string& sender, std::uint16_t port) const;

  void FCheckIncoming();
  void FRetryUnresponsiveQuestions();
  void FCullExpiredQuestions();
  bool FPostQuestion(TDNSQuestion& q);
  bool ReadString(std::string& datagram, std::string& sender, std::uint16_t& port);
  // Starts, polls and ends the servers' host look-ups; never blocks.
  void PollServerLookups();
  bool HasDottedServer() const;
  bool NeedsServerDiscovery();
  void DiscoverServers();
  void WaitForServerLookups();
  void WaitForReply(int milliseconds);

  TMutexCriticalSection FLock{"TMultiDNSResolver_CS"};
  // The tables point into the questions, and a question's records take
  // themselves out of FAnswerTable when freed: the questions are declared
  // after the tables so that they go first.
  THashTable FQuestionTable;
  THashTable FKeyTable;
  THashTable FAnswerTable;
  std::vector<std::unique_ptr<TDNSQuestion>> FQuestions;  // oldest first
  // The waiting questions by id and serial, first come first; entries of
  // questions that have gone meanwhile are skipped.
  std::deque<std::pair<std::uint16_t, std::uint64_t>> FWaiting;
  int FInFlight = 0;
  std::vector<TServerEntry> FServers;
  std::atomic<std::uint16_t> FPort{kDefaultPort};
  int FSocket = -1;
  TDateTime FLastWork = 0;
  TDateTime FLastCull = 0;
  std::string FLastDestination;
  std::atomic<std::int64_t> FDatagramsSent{0};
  std::uint64_t FNextSerial = 1;
  TThreadHandle FWorker;
};

}  // namespace halvorn
