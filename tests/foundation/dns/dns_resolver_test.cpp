#include "foundation/dns/dns_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"
#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::DnsmasqServer;
using test::ScriptedUdpServer;

// A resolver that asks only the given servers on the given port.
std::unique_ptr<TMultiDNSResolver> LocalResolver(std::uint16_t port,
                                                 std::vector<std::string> servers) {
  auto r = std::make_unique<TMultiDNSResolver>(false);
  r->SetPort(port);
  TStringList list;
  for (auto& s : servers) list.Add(s);
  r->SetServers(list);
  return r;
}

std::vector<std::string> Addresses(const TQueryResults& results, const std::string& name) {
  std::vector<std::string> out;
  for (int i = 0; i < results.Count(); ++i)
    if (auto* a = dynamic_cast<const TARecord*>(results.Items(i)))
      if (SameDnsName(a->Name, name)) out.push_back(a->IPAddress);
  return out;
}

int CountLines(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  std::string l;
  int n = 0;
  while (std::getline(in, l))
    if (l == line) ++n;
  return n;
}

// A suite sharing one test server of type TServer (started by the suite's
// SetUpTestSuite) and a fresh resolver asking it for every test.
template <class TServer>
class LocalServerSuite : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    delete Server;
    Server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(Server->Ok()) << Server->Error();
    R = LocalResolver(Server->Port(), {"127.0.0.1"});
  }

  static inline TServer* Server = nullptr;
  std::unique_ptr<TMultiDNSResolver> R;
};

class DnsmasqResolverTest : public LocalServerSuite<DnsmasqServer> {
 protected:
  static void SetUpTestSuite() {
    Server = new DnsmasqServer({
        "local-ttl=300",
        "host-record=a.test,10.1.2.3",
        "host-record=joined.test,10.1.2.9",
        "host-record=real.test,10.3.3.3",
        "cname=alias.test,real.test",
        "mx-host=mx.test,mx1.mx.test,20",
        "mx-host=mx.test,mx0.mx.test,10",
        "ptr-record=4.3.2.10.in-addr.arpa,host.ptr.test",
        "ptr-record=1.2.0.192.in-addr.arpa,doc.ptr.test",
        "txt-record=txt.test,\"first\",\"second\"",
        "address=/burst.test/10.5.5.5",
    });
  }
};

TEST_F(DnsmasqResolverTest, AnswersEachRecordTypeWithItsFields) {
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("a.test", {qA}, false, nullptr, 3000, true, res), -1);
  EXPECT_EQ(Addresses(*res, "a.test"), std::vector<std::string>{"10.1.2.3"});
  EXPECT_EQ(res->Server, "127.0.0.1");

  ASSERT_EQ(R->QueryAndWait("mx.test", {qMX}, false, nullptr, 3000, true, res), -1);
  std::vector<std::pair<int, std::string>> mx;
  for (int i = 0; i < res->Count(); ++i)
    if (auto* m = dynamic_cast<TMXRecord*>(res->Items(i)))
      mx.emplace_back(m->Preference, m->ExchangeServer);
  std::sort(mx.begin(), mx.end());
  EXPECT_EQ(mx,
            (std::vector<std::pair<int, std::string>>{{10, "mx0.mx.test"}, {20, "mx1.mx.test"}}));

  ASSERT_EQ(R->QueryAndWait("10.2.3.4", {qPTR}, false, nullptr, 3000, true, res), -1);
  auto* ptr = dynamic_cast<TPTRRecord*>(res->FindRecord(qPTR, "4.3.2.10.in-addr.arpa"));
  ASSERT_NE(ptr, nullptr);
  EXPECT_EQ(ptr->HostName, "host.ptr.test");

  ASSERT_EQ(R->QueryAndWait("txt.test", {qTXT}, false, nullptr, 3000, true, res), -1);
  auto* txt = dynamic_cast<TTextRecord*>(res->FindRecord(qTXT, "txt.test"));
  ASSERT_NE(txt, nullptr);
  EXPECT_EQ(txt->Text, (std::vector<std::string>{"first", "second"}));

  // No such name: an answer with code 3 and no records.
  ASSERT_EQ(R->QueryAndWait("nosuch.test", {qA}, false, nullptr, 3000, true, res), -1);
  EXPECT_EQ(res->RCode, 3);
  EXPECT_TRUE(Addresses(*res, "nosuch.test").empty());
}

TEST_F(DnsmasqResolverTest, TwoThreadsAskingTheSameNameSendOneDatagram) {
  std::atomic<int> ready{0};
  std::vector<int> outcomes(2);
  std::vector<std::vector<std::string>> found(2);
  auto ask = [&](int i) {
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    std::unique_ptr<TQueryResults> res;
    outcomes[i] = R->QueryAndWait("joined.test", {qA}, false, nullptr, 3000, true, res);
    if (res) found[i] = Addresses(*res, "joined.test");
  };
  std::thread t1(ask, 0), t2(ask, 1);
  t1.join();
  t2.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(outcomes[i], -1);
    EXPECT_EQ(found[i], std::vector<std::string>{"10.1.2.9"});
  }
  EXPECT_EQ(Server->QueriesFor("joined.test"), 1);
  EXPECT_EQ(R->DatagramsSent(), 1);
  std::uint16_t id = R->FindQuery("joined.test", {qA});
  TDNSQuestionInfo info;
  ASSERT_TRUE(R->QuestionInfo(id, info));
  EXPECT_EQ(info.Holders, 1);
  EXPECT_EQ(info.Waiters, 0);
}

TEST_F(DnsmasqResolverTest, PostWithoutWaitingIsJoinedByALaterWait) {
  std::unique_ptr<TQueryResults> res;
  EXPECT_EQ(R->QueryAndWait("a.test", {qA}, false, nullptr, 0, true, res), 1);
  std::uint16_t id = R->FindQuery("a.test", {qA});
  ASSERT_NE(id, 0);
  EXPECT_EQ(R->QueryAndWait("A.Test", {qA}, false, nullptr, 3000, true, res), -1);
  EXPECT_EQ(R->FindQuery("a.test", {qA}), id);
  EXPECT_EQ(R->DatagramsSent(), 1);
  EXPECT_EQ(R->GetResult(id, res), -1);
  EXPECT_EQ(R->GetResult(0xFFFF == id ? 1 : id + 1, res), -2);
}

TEST_F(DnsmasqResolverTest, AnAliasTargetJoinsTheAliasQuestion) {
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("alias.test", {qA}, false, nullptr, 3000, true, res), -1);
  std::string canonical;
  ASSERT_TRUE(R->FindCName("ALIAS.test", canonical));
  EXPECT_EQ(canonical, "real.test");
  EXPECT_FALSE(R->FindCName("real.test", canonical));
  // The target's A record came in the alias answer: asking for it joins.
  std::uint16_t aliasId = R->FindQuery("alias.test", {qA});
  EXPECT_EQ(R->FindQuery("real.test", {qA}), aliasId);
  EXPECT_EQ(R->DatagramsSent(), 1);
}

TEST_F(DnsmasqResolverTest, RefusesPrivateReverseQuestionsOnly) {
  struct Row {
    const char* Name;
    bool Asked;
  } rows[] = {{"127.0.0.1", false},
              {"192.168.0.5", false},
              {"192.0.2.1", true},  // public: only 192.168/16 is private
              {"10.2.3.4", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(R->AddQuery(row.Name, {qPTR}, true) != 0, row.Asked);
  }
  EXPECT_EQ(R->AddQuery("", {qA}, true), 0);
  EXPECT_EQ(R->AddQuery("a.test", {}, true), 0);
  // A name that cannot be written as a question is refused, not sent.
  EXPECT_EQ(R->AddQuery(std::string(70, 'x') + ".test", {qA}, true), 0);
}

TEST_F(DnsmasqResolverTest, SilentFirstServerHandsTheQuestionToTheNextAfterTheRetryInterval) {
  // Nothing listens on 127.0.0.2 at the test port.
  R = LocalResolver(Server->Port(), {"127.0.0.2", "127.0.0.1"});
  R->RetryInterval = 400;
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("a.test", {qA}, false, nullptr, 6000, true, res), -1);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  // Not before the interval; and well before the default 2 s interval would
  // have passed, so the setting is the one in force.
  EXPECT_GE(ms, 400);
  EXPECT_LT(ms, 1900);
  EXPECT_EQ(res->Server, "127.0.0.1");
  EXPECT_EQ(R->DatagramsSent(), 2);
}

// More questions at once than the window holds: the rest wait and go out as
// answers come in, each question with one datagram.
TEST_F(DnsmasqResolverTest, ABurstBeyondTheWindowIsAnsweredWithOneDatagramEach) {
  R->MaxInFlight = 4;
  std::vector<std::uint16_t> ids;
  for (int i = 0; i < 40; ++i) {
    ids.push_back(R->AddQuery("b" + std::to_string(i) + ".burst.test", {qA}, true));
    ASSERT_NE(ids.back(), 0);
  }
  std::unique_ptr<TQueryResults> res;
  EXPECT_TRUE(test::Eventually([&] {
    for (std::uint16_t id : ids)
      if (R->GetResult(id, res) != -1) return false;
    return true;
  }));
  EXPECT_EQ(R->DatagramsSent(), 40);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(Server->QueriesFor("b" + std::to_string(i) + ".burst.test"), 1);
  }
}

// A worker with a resolver of its own, abandoned while it holds an answered
// question: when the resolver goes at the end of its scope, the lock refuses
// the abandoned thread (and so does the log). The resolver must still free
// its questions, before the answer table their records point into.
class TResolverOwner : public TQuorThread {
 public:
  TResolverOwner(std::uint16_t port, std::atomic<int>& stage) : FPort(port), FStage(stage) {}

 protected:
  void Execute() override {
    {
      auto r = LocalResolver(FPort, {"127.0.0.1"});
      std::unique_ptr<TQueryResults> res;
      FStage = r->QueryAndWait("a.test", {qA}, false, nullptr, 3000, true, res) == -1 ? 1 : -1;
      while (FStage.load() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FStage = 3;
    CheckTerminated();  // raises: the worker was abandoned
  }

 private:
  std::uint16_t FPort;
  std::atomic<int>& FStage;
};

TEST_F(DnsmasqResolverTest, AResolverFreedOnAnAbandonedWorkerFreesItsQuestionsSafely) {
  std::atomic<int> stage{0};
  auto* owner = CreateQuorThread<TResolverOwner>(false, Server->Port(), stage);
  TThreadHandle handle = owner->Handle();
  ASSERT_TRUE(test::Eventually([&] { return stage.load() != 0; }));
  ASSERT_EQ(stage.load(), 1) << "the question was not answered";
  ASSERT_TRUE(KillThread(owner));
  stage = 2;
  ASSERT_TRUE(test::Eventually([&] { return !ThreadHandleAlive(handle); }));
  EXPECT_EQ(stage.load(), 3);
}

// The clock moves only when the test moves it.
class SteppedClock {
 public:
  SteppedClock() {
    SetClockForTests([this] { return FNow.load(); });
  }
  ~SteppedClock() { ResetClock(); }
  void AdvanceMs(double ms) { FNow.store(FNow.load() + ms / 86400000.0); }

 private:
  std::atomic<TDateTime> FNow{45000.5};
};

TEST(DnsResolverCullTest, SteadyWorkStillDropsUnansweredQuestionsAfterFiveSends) {
  SteppedClock clock;
  std::uint16_t port = test::FreeLocalPort();
  auto r = LocalResolver(port, {"127.0.0.2"});  // never answers
  std::uint16_t id = r->AddQuery("lost.test", {qA}, true);
  std::uint16_t held = r->AddQuery("held.test", {qA}, true);
  ASSERT_NE(id, 0);
  // DoWork every 300 ms without a pause for 66 s (the cull runs every 5 s);
  // one question is held half-way.
  for (int step = 0; step < 66000 / 300; ++step) {
    clock.AdvanceMs(300);
    r->DoWork();
    if (step == 100) {
      ASSERT_TRUE(r->HoldQuery(held));
    }
  }
  TDNSQuestionInfo info;
  EXPECT_FALSE(r->QuestionInfo(id, info)) << "dropped by age under steady work";
  ASSERT_TRUE(r->QuestionInfo(held, info)) << "a hold spares it for one lifetime";
  EXPECT_EQ(info.Sends, TMultiDNSResolver::kMaxSends);
  for (int step = 0; step < 66000 / 300; ++step) {
    clock.AdvanceMs(300);
    r->DoWork();
  }
  EXPECT_FALSE(r->QuestionInfo(held, info)) << "the hold does not last for ever";
  EXPECT_EQ(r->QuestionCount(), 0);
  EXPECT_EQ(r->DatagramsSent(), 2 * TMultiDNSResolver::kMaxSends);
}

// A server that never answers: at most MaxInFlight questions are out at any
// time, the others wait their turn in the order they were asked, and each
// still gets all its re-sends once its turn comes.
TEST(DnsResolverWindowTest, QuestionsBeyondTheWindowWaitTheirTurnInOrder) {
  SteppedClock clock;
  auto r = LocalResolver(test::FreeLocalPort(), {"127.0.0.2"});  // never answers
  r->MaxInFlight = 3;
  std::vector<std::uint16_t> ids;
  for (int i = 0; i < 7; ++i) {
    ids.push_back(r->AddQuery("w" + std::to_string(i) + ".test", {qA}, true));
    ASSERT_NE(ids.back(), 0);
  }
  EXPECT_EQ(r->DatagramsSent(), 3);
  // Five sends 2 s apart take a question 10 s; three turns fit well within
  // the 60 s that an unanswered question lives.
  for (int step = 0; step < 40000 / 300; ++step) {
    clock.AdvanceMs(300);
    r->DoWork();
    int inFlight = 0;
    bool unsentSeen = false;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(step) + ", question " + std::to_string(i));
      TDNSQuestionInfo info;
      ASSERT_TRUE(r->QuestionInfo(ids[i], info));
      inFlight += info.InFlight ? 1 : 0;
      EXPECT_EQ(info.Queued, info.Sends == 0);
      if (info.Sends > 0) {
        EXPECT_FALSE(unsentSeen) << "sent before an earlier question";
      }
      unsentSeen = unsentSeen || info.Sends == 0;
    }
    EXPECT_LE(inFlight, 3);
  }
  for (std::uint16_t id : ids) {
    TDNSQuestionInfo info;
    ASSERT_TRUE(r->QuestionInfo(id, info));
    EXPECT_EQ(info.Sends, TMultiDNSResolver::kMaxSends);
    EXPECT_FALSE(info.InFlight);
  }
  EXPECT_EQ(r->DatagramsSent(), 7 * TMultiDNSResolver::kMaxSends);
}

// Answers that live a day, so that only the cap on questions frees them.
class DnsResolverCapTest : public LocalServerSuite<DnsmasqServer> {
 protected:
  static void SetUpTestSuite() {
    Server = new DnsmasqServer({"local-ttl=86400", "address=/cap.test/10.6.6.6"});
  }
  // Asks each name and waits until all are answered; their ids.
  std::vector<std::uint16_t> Ask(const std::vector<std::string>& names) {
    std::vector<std::uint16_t> ids;
    for (const std::string& name : names) ids.push_back(R->AddQuery(name, {qA}, true));
    std::unique_ptr<TQueryResults> res;
    EXPECT_TRUE(test::Eventually([&] {
      for (std::uint16_t id : ids)
        if (R->GetResult(id, res) != -1) return false;
      return true;
    }));
    return ids;
  }
  bool Known(std::uint16_t id) {
    TDNSQuestionInfo info;
    return R->QuestionInfo(id, info);
  }
};

// Over MaxQuestions, answered questions go by age, the old and unshared ones
// first, and the cull stops with the pass that brings the count under the
// cap. A held question goes only in the last pass, and that pass stops as
// soon as the count is under the cap.
TEST_F(DnsResolverCapTest, MaxQuestionsDropsOldUnsharedAnswersFirst) {
  SteppedClock clock;
  R = LocalResolver(Server->Port(), {"127.0.0.1"});
  R->MaxQuestions = 10;
  const std::vector<std::uint16_t> old = Ask({"o0.cap.test", "o1.cap.test", "o2.cap.test"});
  const std::uint16_t shared = Ask({"shared.cap.test"})[0];
  ASSERT_EQ(R->AddQuery("shared.cap.test", {qA}, true), shared);  // a second holder
  const std::uint16_t held = Ask({"held.cap.test"})[0];

  clock.AdvanceMs(11 * 60000.0);
  ASSERT_TRUE(R->HoldQuery(held));
  const std::vector<std::uint16_t> fresh =
      Ask({"f0.cap.test", "f1.cap.test", "f2.cap.test", "f3.cap.test", "f4.cap.test"});
  clock.AdvanceMs(6000);
  R->DoWork();
  for (std::uint16_t id : old) EXPECT_FALSE(Known(id)) << "over ten minutes old, unshared";
  EXPECT_TRUE(Known(shared)) << "shared: spared while younger than fifteen minutes";
  EXPECT_TRUE(Known(held));
  for (std::uint16_t id : fresh) EXPECT_TRUE(Known(id)) << "one pass was enough";
  EXPECT_EQ(R->QuestionCount(), 7);

  // Every question held: only the last pass frees any, and no more than
  // needed to come under the cap.
  R->MaxQuestions = 5;
  clock.AdvanceMs(3 * 60000.0);
  for (std::uint16_t id : fresh) ASSERT_TRUE(R->HoldQuery(id));
  ASSERT_TRUE(R->HoldQuery(shared));
  ASSERT_TRUE(R->HoldQuery(held));
  clock.AdvanceMs(6000);
  R->DoWork();
  EXPECT_EQ(R->QuestionCount(), 4);
}

// ---------------------------------------------------------------------------
// A scripted server that misbehaves on purpose. It listens on 127.0.0.1 and
// on 127.0.0.3 at the same port and logs every question name it receives.

const char* kHostileServer = R"PY(
import select, socket, struct, sys, time
import dns.flags, dns.message, dns.rcode, dns.rrset

log = open(sys.argv[1], 'a', buffering=1)
main = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
main.bind(('127.0.0.1', 0))
port = main.getsockname()[1]
alt = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
alt.bind(('127.0.0.3', port))
print('PORT', port, flush=True)

def rr(name, rdtype, *values):
    return dns.rrset.from_text(name + '.', 300, 'IN', rdtype, *values)

def response(q, rcode=0):
    r = dns.message.make_response(q)
    r.flags |= dns.flags.RA
    r.set_rcode(rcode)
    return r

def with_answer_count(wire, n):
    return wire[:6] + struct.pack('!H', n) + wire[8:]

while True:
    ready, _, _ = select.select([main, alt], [], [])
    for s in ready:
        data, addr = s.recvfrom(4096)
        try:
            q = dns.message.from_wire(data)
        except Exception:
            continue
        name = q.question[0].name.to_text(omit_final_dot=True).lower()
        log.write(name + '\n')
        good = response(q)
        good.answer.append(rr(name, 'A', '10.0.0.1'))
        if name == 'trunc.test':
            s.sendto(good.to_wire()[:-3], addr)
        elif name == 'long.test':
            wire = good.to_wire()
            s.sendto(wire[:-6] + b'\xff\xff' + wire[-4:], addr)
        elif name == 'loop.test':
            wire = with_answer_count(response(q).to_wire(), 1)
            off = len(wire)
            wire += struct.pack('!HHHIH', 0xC000 | off, 1, 1, 300, 4) + bytes([10, 0, 0, 66])
            s.sendto(wire, addr)
        elif name == 'tiny.test':
            s.sendto(data[:1], addr)
            s.sendto(data[:2], addr)
        elif name == 'other.test':
            # The answer of another question, with the id of this one.
            forged = dns.message.make_query('victim.test', 'A')
            forged.id = q.id
            r = response(forged)
            r.answer.append(rr('victim.test', 'A', '6.6.6.6'))
            s.sendto(r.to_wire(), addr)
        elif name == 'poison.test':
            good.answer.append(rr('victim3.test', 'A', '6.6.6.6'))
            good.authority.append(rr('victim4.test', 'NS', 'ns.evil.test.'))
            good.additional.append(rr('victim2.test', 'A', '6.6.6.6'))
            good.additional.append(rr('poison.test', 'TXT', '"injected"'))
            s.sendto(good.to_wire(), addr)
        elif name == 'wrongaddr.test':
            bad = response(q)
            bad.answer.append(rr(name, 'A', '6.6.6.6'))
            other = alt if s is main else main
            other.sendto(bad.to_wire(), addr)
            time.sleep(0.2)
            s.sendto(good.to_wire(), addr)
        elif name == 'servfail.test':
            if s is alt:
                s.sendto(response(q, dns.rcode.SERVFAIL).to_wire(), addr)
            else:
                s.sendto(good.to_wire(), addr)
        elif name == 'query.test':
            # Echoes the question back: a query, not a reply.
            s.sendto(data, addr)
        else:
            honest = response(q)
            honest.answer.append(rr(name, 'A', '10.9.9.9'))
            s.sendto(honest.to_wire(), addr)
)PY";

class HostileServerTest : public LocalServerSuite<ScriptedUdpServer> {
 protected:
  static void SetUpTestSuite() { Server = new ScriptedUdpServer(kHostileServer); }
};

TEST_F(HostileServerTest, MalformedRepliesAreNeverAnswersAndResendsStayBounded) {
  for (const char* name :
       {"trunc.test", "long.test", "loop.test", "tiny.test", "other.test", "query.test"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<TQueryResults> res;
    int outcome = R->QueryAndWait(name, {qA}, false, nullptr, 1200, true, res);
    EXPECT_GT(outcome, 1) << "timed out, no answer";
    EXPECT_EQ(res, nullptr);
    std::uint16_t id = R->FindQuery(name, {qA});
    TDNSQuestionInfo info;
    ASSERT_TRUE(R->QuestionInfo(id, info));
    EXPECT_FALSE(info.Answered);
    EXPECT_LE(info.Sends, TMultiDNSResolver::kMaxSends);
    EXPECT_LE(CountLines(Server->Output(), name), TMultiDNSResolver::kMaxSends);
  }
  // Nothing of the forged answer for another name was kept.
  EXPECT_EQ(R->FindQuery("victim.test", {qA}), 0);
}

TEST_F(HostileServerTest, OnlyAnswerRecordsForTheAskedNameAnswerLaterQuestions) {
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("poison.test", {qA}, false, nullptr, 3000, true, res), -1);
  // The caller still sees every section.
  EXPECT_EQ(Addresses(*res, "victim2.test"), std::vector<std::string>{"6.6.6.6"});
  EXPECT_NE(res->FindRecord(qNS, "victim4.test"), nullptr);

  struct Row {
    const char* Name;
    TQTypeSet Types;
  } rows[] = {{"victim2.test", {qA}}, {"victim3.test", {qA}}, {"victim4.test", {qNS}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(R->FindQuery(row.Name, row.Types), 0);
  }
  // The TXT record came only as an additional record: a TXT question is asked.
  EXPECT_EQ(R->FindQuery("poison.test", {qA, qTXT}), 0);
  ASSERT_EQ(R->QueryAndWait("victim2.test", {qA}, false, nullptr, 3000, true, res), -1);
  EXPECT_EQ(Addresses(*res, "victim2.test"), std::vector<std::string>{"10.9.9.9"});
  EXPECT_EQ(CountLines(Server->Output(), "victim2.test"), 1);
}

TEST_F(HostileServerTest, RepliesFromOtherAddressesAreIgnored) {
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("wrongaddr.test", {qA}, false, nullptr, 3000, true, res), -1);
  EXPECT_EQ(Addresses(*res, "wrongaddr.test"), std::vector<std::string>{"10.0.0.1"});
  EXPECT_EQ(res->Server, "127.0.0.1");
}

TEST_F(HostileServerTest, AFailureCodeIsReplacedByTheNextServersAnswer) {
  R = LocalResolver(Server->Port(), {"127.0.0.3", "127.0.0.1"});
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("servfail.test", {qA}, false, nullptr, 3000, true, res), -1);
  // The first reply (code 2) may be read before the second arrives; wait for it.
  for (int i = 0; i < 30 && res->RCode != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    R->GetResult(R->FindQuery("servfail.test", {qA}), res);
  }
  EXPECT_EQ(res->RCode, 0);
  EXPECT_EQ(Addresses(*res, "servfail.test"), std::vector<std::string>{"10.0.0.1"});
  EXPECT_EQ(res->Server, "127.0.0.1");
}

TEST_F(HostileServerTest, AQuestionForOneServerGoesThereAndIsNotJoinedWithOthers) {
  R = LocalResolver(Server->Port(), {"127.0.0.2"});  // the usual server is silent
  std::unique_ptr<TQueryResults> res;
  ASSERT_EQ(R->QueryAndWait("direct.test", {qA}, false, nullptr, 3000, true, res, "127.0.0.1"), -1);
  EXPECT_EQ(res->Server, "127.0.0.1");
  EXPECT_EQ(R->FindQuery("direct.test", {qA}), 0);
  EXPECT_NE(R->FindQuery("direct.test", {qA}, "127.0.0.1"), 0);
}

}  // namespace
}  // namespace halvorn
