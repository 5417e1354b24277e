// The message checks over the mail corpus: messages judged per CPU-second,
// each pass reading every message from its bytes and judging it with one
// check (or the four together: HTML, attachment, mailing-list test and the
// phishing heuristic), against parsing the same messages alone
// (BM_ParseCorpus; the ratio is printed after the table). The mailing-list
// table holds the lists of the whole corpus, merged in beforehand. Besides:
// FindBestMatch of corpus fingerprints against 1 000 known lists, and the
// resident memory a table of 1 000 and of 10 000 lists takes.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "bench/resident_memory.h"
#include "classify/attach_name_check.h"
#include "classify/html_check.h"
#include "classify/list_and_mailbox_tests.h"
#include "classify/phishing_check.h"
#include "lists/mailing_lists.h"
#include "message/email_msg.h"

namespace {

using namespace halvorn;

TEmailMsgRef Message(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

void InstallLists() {
  auto table = std::make_shared<TMailingListList>();
  for (const std::string& bytes : bench::CorpusMessages().Messages)
    table->AddOrMerge(*Message(bytes)->GetMailingList());
  SetGlobalMailingListList(table);
}

// One pass's judging of a message; the tests are made afresh for each pass
// (a test judges a message once).
using TJudge = std::function<int(TEmailMsg&)>;
using TMaker = std::function<TJudge()>;

template <class T>
TMaker Judging() {
  return [] {
    auto test = std::make_shared<T>();
    test->SetName("Bench");
    return TJudge([test](TEmailMsg& msg) { return test->Evaluate(msg, nullptr) ? 1 : 0; });
  };
}

TMaker Phishing() {
  return [] {
    return TJudge([](TEmailMsg& msg) {
      std::int32_t hoax = 50;
      CheckPhishing(msg, hoax, "Global");
      return hoax > 50 ? 1 : 0;
    });
  };
}

void CorpusPass(benchmark::State& state, const std::vector<TMaker>& makers) {
  const auto& messages = bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<TJudge> judges;
    for (const TMaker& make : makers) judges.push_back(make());
    state.ResumeTiming();
    int found = 0;
    for (const std::string& bytes : messages) {
      const TEmailMsgRef msg = Message(bytes);
      if (judges.empty()) msg->GetParts();
      for (const TJudge& judge : judges) found += judge(*msg);
    }
    benchmark::DoNotOptimize(found);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

#define CORPUS_BENCH(name, makers) \
  void name(benchmark::State& state) { CorpusPass(state, makers); } \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)->MinTime(2)

CORPUS_BENCH(BM_ParseCorpus, {});
CORPUS_BENCH(BM_BlackWhiteTest, {Judging<TBlackWhiteTest>()});
CORPUS_BENCH(BM_MailingListTest, {Judging<TMailingListTest>()});
CORPUS_BENCH(BM_MailBoxTest, {Judging<TMailBoxTest>()});
CORPUS_BENCH(BM_AttachNameCheck, {Judging<TAttachNameCheck>()});
CORPUS_BENCH(BM_HTMLCheck, {Judging<THTMLCheck>()});
CORPUS_BENCH(BM_CheckPhishing, {Phishing()});
CORPUS_BENCH(BM_FourChecksTogether,
             (std::vector<TMaker>{Judging<THTMLCheck>(), Judging<TAttachNameCheck>(),
                                  Judging<TMailingListTest>(), Phishing()}));

// A table of `count` lists from different list servers.
std::shared_ptr<TMailingListList> SyntheticTable(int count) {
  auto table = std::make_shared<TMailingListList>();
  for (int i = 0; i < count; ++i) {
    auto list = std::make_shared<TMailingList>();
    const std::string name = "list" + std::to_string(i);
    const std::string host = "lists" + std::to_string(i % 97) + ".example.org";
    list->List_ID = "List " + std::to_string(i) + " <" + name + "." + host + ">";
    list->List_Post = "<mailto:" + name + "@" + host + ">";
    list->List_Subscribe = "<mailto:" + name + "-request@" + host + "?subject=subscribe>";
    list->List_Unsubscribe = "<mailto:" + name + "-request@" + host + "?subject=unsubscribe>";
    list->X_BeenThere = name + "@" + host;
    list->Precedence = "bulk";
    list->SubjectLineSubstring = "[List" + std::to_string(i) + "] ";
    table->Add(list);
  }
  return table;
}

void BM_FindBestMatch1000Lists(benchmark::State& state) {
  const auto& messages = bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  const auto table = SyntheticTable(1000);
  std::vector<std::unique_ptr<TMailingList>> fingerprints;
  for (const std::string& bytes : messages) {
    auto fingerprint = Message(bytes)->GetMailingList();
    if (!fingerprint->IsEmpty()) fingerprints.push_back(std::move(fingerprint));
  }
  for (auto _ : state) {
    int score = 0;
    for (const auto& fingerprint : fingerprints) score += table->FindBestMatch(*fingerprint).Score;
    benchmark::DoNotOptimize(score);
  }
  state.counters["lookups/s"] = benchmark::Counter(
      static_cast<double>(fingerprints.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FindBestMatch1000Lists)->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_TableMemory(benchmark::State& state) {
  for (auto _ : state) {
    const double before = bench::ResidentMegabytes();
    auto table = SyntheticTable(static_cast<int>(state.range(0)));
    state.counters["table_MB"] = bench::ResidentMegabytes() - before;
    benchmark::DoNotOptimize(table->Count());
  }
}
BENCHMARK(BM_TableMemory)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  InstallLists();
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_ParseCorpus/min_time:2.000",
                                                 "Time of a corpus pass relative to parsing alone");
}
