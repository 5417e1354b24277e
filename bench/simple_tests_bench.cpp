// The simple test classes over the mail corpus: messages judged per
// CPU-second, each pass reading every message from its bytes and judging it
// with one test (or all of them), against parsing the same messages alone
// (BM_ParseCorpus, the ratio printed after the table). Settings as users
// have them: a 1000-entry address list (once more as the approved senders,
// whose answers the test also records in the message's side record, which
// is then written when the message goes), 200 body patterns (sentences and
// decoded parts), 1000 relay patterns, regular expressions on the whole
// message and on the decoded body, 100 unblock keys, logical and weighted
// tests over five tests. Besides: the regular-expression test keeping its
// engine against one made per message; the worst time of a runaway pattern;
// resident memory after 1 000 and after 10 000 judgements.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "bench/resident_memory.h"
#include "classify/info_tag_test.h"
#include "classify/logical_test.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/sum_tests.h"
#include "classify/test_list.h"
#include "classify/unblock_code_tests.h"
#include "classify/value_tests.h"
#include "foundation/time/clock.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "message/processing_options.h"

namespace {

using namespace halvorn;

// Words of the subjects of the training spam (spam-1), for body patterns.
std::vector<std::string> SpamWords(std::size_t count) {
  const auto& corpus = bench::CorpusMessages();
  std::set<std::string> seen;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < corpus.Files.size() && words.size() < count; ++i) {
    if (corpus.Files[i].find("/spam-1/") == std::string::npos) continue;
    const std::string& text = corpus.Messages[i];
    const std::size_t at = text.find("\nSubject:");
    if (at == std::string::npos) continue;
    std::string word;
    for (std::size_t p = at + 9; p < text.size() && text[p] != '\n'; ++p) {
      const unsigned char c = static_cast<unsigned char>(text[p]);
      if (std::isalpha(c)) {
        word += static_cast<char>(std::tolower(c));
        continue;
      }
      if (word.size() >= 5 && seen.insert(word).second) words.push_back(word);
      word.clear();
    }
  }
  return words;
}

void InstallLists() {
  auto lists = std::make_shared<TPhrasesList>();
  auto add = [&](const char* name, std::uint8_t type, const std::vector<std::string>& entries) {
    auto list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetListType(type);
    TStringList texts;
    for (const std::string& entry : entries) texts.Add(entry);
    list->AddStrings(texts);
    lists->Add(list);
  };
  std::vector<std::string> senders;
  for (int i = 0; i < 990; ++i)
    senders.push_back("user" + std::to_string(i) + "@example" + std::to_string(i % 50) + ".com");
  for (int i = 0; i < 10; ++i) senders.push_back("*@lists" + std::to_string(i) + ".example.org");
  // The same list under the built-in name, whose answers the test also
  // records under their standard number: the message's side record then
  // changes and is written when the message goes.
  add("{Known Senders}", pltEmailAddress, senders);
  add("{Approved Senders}", pltEmailAddress, senders);
  const std::vector<std::string> words = SpamWords(200);
  std::vector<std::string> sentences, parts;
  for (const std::string& word : words) {
    sentences.push_back("* " + word + " *");
    parts.push_back("*" + word + "*");
  }
  add("{Body Text List}", pltStrings, sentences);
  add("{Body Parts List}", pltStrings, parts);
  std::vector<std::string> relays;
  for (int i = 0; i < 1000; ++i)
    relays.push_back(std::to_string(i % 223 + 1) + "." + std::to_string(i * 7 % 256) + ".*");
  add("{New IP List}", pltIPList, relays);
  SetGlobalPhrasesList(lists);

  TProcessingOptions options;
  const auto today = static_cast<std::int64_t>(std::floor(Now()));
  for (int i = 0; i < 100; ++i)
    options.Keys.AddNumber("Key=Bench" + std::to_string(100 + i), today);
  SetProcessingOptions(kSingleUserName, options);
}

using TMaker = std::function<std::shared_ptr<TTest>()>;

template <class T>
std::shared_ptr<T> Named(const char* name) {
  auto test = std::make_shared<T>();
  test->SetName(name);
  return test;
}

std::shared_ptr<TTest> Senders() {
  auto test = Named<TTagValueTest>("Senders");
  test->SetTag("From");
  test->SetValue("{Known Senders}");
  return test;
}
std::shared_ptr<TTest> ApprovedSenders() {
  auto test = Named<TTagValueTest>("Approved");
  test->SetTag("From");
  test->SetValue("{Approved Senders}");
  return test;
}
std::shared_ptr<TTest> Sentences() {
  auto test = Named<TBodyTextTest>("Sentences");
  test->SetValue("{Body Text List}");
  return test;
}
std::shared_ptr<TTest> Parts() {
  auto test = Named<TBodyTextTest>("Parts");
  test->SetValue("{Body Parts List}");
  test->SetInlineOnly(false);
  return test;
}
std::shared_ptr<TTest> Relays() {
  auto test = Named<TIPCheckTest>("Relays");
  test->SetIPRange("{New IP List}");
  return test;
}
std::shared_ptr<TTest> Pattern(std::uint8_t area) {
  auto test = Named<TRegularExpressionTest>(area == 0 ? "Whole" : "Decoded");
  test->SetExpression("(viagra|mortgage|lottery|click\\s+here|remove.*list)");
  test->SetArea(area);
  return test;
}
std::shared_ptr<TTest> Code() {
  return Named<TContainsUnblockCodeTest>("Code");
}
std::shared_ptr<TTest> Bounce() {
  return Named<TBouncedUnblockCodeTest>("Bounce");
}
std::shared_ptr<TTest> Size() {
  auto test = Named<TMsgSizeTest>("Big");
  test->SetMaxBytes(20000);
  return test;
}
std::shared_ptr<TTest> Mine() {
  return Named<TMyAddrTest>("Mine");
}
std::shared_ptr<TTest> Info() {
  auto test = Named<TQuorInfoTest>("Info");
  test->SetTag("QuorCategory");
  test->SetValue("8");
  return test;
}
std::shared_ptr<TTest> Category() {
  return Named<TCategoryProbabilityTest>("Category");
}

// The five tests the combining tests take: in the global list with them.
std::vector<std::shared_ptr<TTest>> FiveTests() {
  return {Senders(), Sentences(), Relays(), Size(), Code()};
}
std::shared_ptr<TTest> Logical() {
  auto test = Named<TLogicalTest>("Logic");
  test->SetTerms({{kLogicalAndNot, "Senders"},
                  {kLogicalAnd, "Sentences"},
                  {kLogicalOr, "Relays"},
                  {kLogicalXor, "Big"},
                  {kLogicalOrNot, "Code"}});
  return test;
}
std::shared_ptr<TTest> Weighted() {
  auto test = Named<TSumTest>("Points");
  test->SetThreshold(40);
  test->SetEntries({{"Senders", -50, 0},
                    {"Sentences", 30, 0},
                    {"Relays", 20, -5},
                    {"Big", 10, 0},
                    {"Code", -100, 0}});
  return test;
}

// The tests of one pass, made afresh for each pass (a test judges a message
// once), in a global list so that the combining tests find theirs.
std::shared_ptr<TTestList> MakeList(const std::vector<TMaker>& makers, bool withFive) {
  auto list = std::make_shared<TTestList>();
  if (withFive)
    for (const auto& test : FiveTests()) list->AddTest(test);
  for (const TMaker& make : makers) list->AddTest(make());
  return list;
}

// Every corpus message read from its bytes and judged by every test of the
// pass; with no tests, parsed alone.
void CorpusPass(benchmark::State& state, const std::vector<TMaker>& makers, bool withFive) {
  const auto& messages = bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto list = MakeList(makers, withFive);
    SetGlobalTestList(list);
    const auto tests = list->Snapshot();
    state.ResumeTiming();
    int passed = 0;
    for (const std::string& bytes : messages) {
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(bytes);
      msg->FSetFlaggedDeleted(true);
      if (tests.empty()) msg->GetParts();
      for (const auto& test : tests)
        if (test->Evaluate(*msg, nullptr)) ++passed;
    }
    benchmark::DoNotOptimize(passed);
  }
  SetGlobalTestList(nullptr);
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

#define CORPUS_BENCH(name, makers, withFive) \
  void name(benchmark::State& state) {       \
    CorpusPass(state, makers, withFive);     \
  }                                          \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)->MinTime(2)

CORPUS_BENCH(BM_ParseCorpus, {}, false);
CORPUS_BENCH(BM_TagValue1000Addresses, {Senders}, false);
CORPUS_BENCH(BM_TagValueApprovedSenders, {ApprovedSenders}, false);
CORPUS_BENCH(BM_BodyText200Sentences, {Sentences}, false);
CORPUS_BENCH(BM_BodyText200DecodedParts, {Parts}, false);
CORPUS_BENCH(BM_IPCheck1000Patterns, {Relays}, false);
CORPUS_BENCH(BM_RegexWholeMessage, {[] { return Pattern(0); }}, false);
CORPUS_BENCH(BM_RegexDecodedBody, {[] { return Pattern(3); }}, false);
CORPUS_BENCH(BM_UnblockCodes100Keys, (std::vector<TMaker>{Code, Bounce}), false);
CORPUS_BENCH(BM_SizeAddressInfoCategory, (std::vector<TMaker>{Size, Mine, Info, Category}), false);
CORPUS_BENCH(BM_FiveTests, {}, true);
CORPUS_BENCH(BM_LogicalOverFive, {Logical}, true);
CORPUS_BENCH(BM_WeightedOverFive, {Weighted}, true);
CORPUS_BENCH(BM_AllClassesTogether,
             (std::vector<TMaker>{Parts, [] { return Pattern(0); }, [] { return Pattern(3); },
                                  Bounce, Mine, Info, Category, Logical, Weighted}),
             true);

// The regular-expression test over the raw messages (no parse needed): one
// test keeping its compiled engine for the pass, against a fresh test, and
// so a fresh engine to compile, for every message.
void RegexEngines(benchmark::State& state, bool kept) {
  const auto& messages = bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    std::shared_ptr<TTest> test = Pattern(0);
    int passed = 0;
    for (const std::string& bytes : messages) {
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(bytes);
      msg->FSetFlaggedDeleted(true);
      if (!kept) test = Pattern(0);
      if (test->Evaluate(*msg, nullptr)) ++passed;
    }
    benchmark::DoNotOptimize(passed);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
void BM_RegexKeptEngine(benchmark::State& state) {
  RegexEngines(state, true);
}
void BM_RegexEnginePerMessage(benchmark::State& state) {
  RegexEngines(state, false);
}
BENCHMARK(BM_RegexKeptEngine)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_RegexEnginePerMessage)->Unit(benchmark::kMillisecond)->MinTime(2);

// (a+)+b over a megabyte of "a" followed by "cb": the engine's budget ends it.
void BM_RunawayPattern(benchmark::State& state) {
  const std::string bytes = "Subject: x\r\n\r\n" + std::string(1 << 20, 'a') + "cb\r\n";
  for (auto _ : state) {
    auto msg = TEmailMsg::Create();
    msg->LoadFromStream(bytes);
    msg->FSetFlaggedDeleted(true);
    auto test = Named<TRegularExpressionTest>("Runaway");
    test->SetExpression("(a+)+b");
    test->SetModifierI(false);
    benchmark::DoNotOptimize(test->Evaluate(*msg, nullptr));
  }
}
BENCHMARK(BM_RunawayPattern)->Unit(benchmark::kMillisecond)->Iterations(3);

// Resident memory after 1 000 and after 10 000 messages judged by all the
// classes (the corpus read again as needed): what the tests keep does not
// grow with the messages they judged.
void BM_MemoryAfterJudgements(benchmark::State& state) {
  const auto& messages = bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    auto list = MakeList({Parts, [] { return Pattern(0); }, [] { return Pattern(3); }, Bounce, Mine,
                          Info, Category, Logical, Weighted},
                         true);
    SetGlobalTestList(list);
    const auto tests = list->Snapshot();
    for (int n = 1; n <= 10000; ++n) {
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(messages[static_cast<std::size_t>(n) % messages.size()]);
      msg->FSetFlaggedDeleted(true);
      for (const auto& test : tests) benchmark::DoNotOptimize(test->Evaluate(*msg, nullptr));
      if (n == 1000) state.counters["rss_1000_MB"] = bench::ResidentMegabytes();
    }
    state.counters["rss_10000_MB"] = bench::ResidentMegabytes();
    SetGlobalTestList(nullptr);
  }
}
BENCHMARK(BM_MemoryAfterJudgements)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  InstallLists();
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_ParseCorpus/min_time:2.000",
                                                 "Time of a corpus pass relative to parsing alone");
}
