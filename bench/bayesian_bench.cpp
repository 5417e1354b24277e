// The Bayesian dictionaries and tests over the corpus messages, against
// parsing the same messages (the reference): the word chains of every
// message, a judgement with the words taken from the parsed message and one
// from word lists taken beforehand, and learning a message (judged, then
// categorised, as the user's categorisation does); a dictionary's load and
// save; and the sizes of an image and of the shipped seeds, with the peak
// resident memory. After the table each message run's time is printed as a
// ratio to the parsing; "messages/s" counts messages per CPU-second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "classify/bayesian_tests.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "message/msg_category.h"

namespace {

using halvorn::TEmailMsg;
using halvorn::TEmailMsgRef;
using halvorn::TStringList;
using halvorn::bench::PeakResidentMegabytes;

// A throw-away data folder holding the shipped seeds, the globals started
// from them.
const std::string& BenchHome() {
  static const std::string home = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "hv-bayes-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    ::setenv("HALVORN_HOME", pattern.c_str(), 1);
    halvorn::ResetFolderCachesForTests();
    halvorn::StartBayesianModule();
    if (!halvorn::InstallBayesianSeeds().empty()) std::abort();
    std::atexit([] { std::filesystem::remove_all(BenchHome()); });
    return pattern;
  }();
  return home;
}

TEmailMsgRef Parsed(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  halvorn::TCriticalSectionGuard guard(msg->MessageLock());
  msg->GetParts();
  return msg;
}

const std::vector<std::string>* Messages(benchmark::State& state) {
  const std::vector<std::string>& messages = halvorn::bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return nullptr;
  }
  BenchHome();
  return &messages;
}

void CountMessages(benchmark::State& state, std::size_t messages) {
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["peak_MB"] = PeakResidentMegabytes();
}

void BM_ParseMessages(benchmark::State& state) {
  const auto* messages = Messages(state);
  if (messages == nullptr) return;
  for (auto _ : state)
    for (const std::string& message : *messages) benchmark::DoNotOptimize(Parsed(message));
  CountMessages(state, messages->size());
}
BENCHMARK(BM_ParseMessages)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_WordChains(benchmark::State& state) {
  const auto* messages = Messages(state);
  if (messages == nullptr) return;
  const int length = halvorn::SpamBayesianDictionary()->ChainLength();
  for (auto _ : state) {
    for (const std::string& message : *messages) {
      TEmailMsgRef msg = Parsed(message);
      TStringList features;
      msg->GetBayesianWords(features, true);
      halvorn::BuildWordChains(features, halvorn::CheckSumOfText, length);
      benchmark::DoNotOptimize(features.Count());
    }
  }
  CountMessages(state, messages->size());
}
BENCHMARK(BM_WordChains)->Unit(benchmark::kMillisecond)->MinTime(3);

// Parsed, the words taken, chained and judged: the test's Evaluate.
void BM_JudgeWithWords(benchmark::State& state) {
  const auto* messages = Messages(state);
  if (messages == nullptr) return;
  halvorn::TBayesianTest test;
  for (auto _ : state)
    for (const std::string& message : *messages) {
      TEmailMsgRef msg = Parsed(message);
      benchmark::DoNotOptimize(test.Evaluate(*msg, nullptr));
    }
  CountMessages(state, messages->size());
}
BENCHMARK(BM_JudgeWithWords)->Unit(benchmark::kMillisecond)->MinTime(3);

// The word lists taken beforehand: chains and the judgement alone.
void BM_JudgeWithoutWords(benchmark::State& state) {
  const auto* messages = Messages(state);
  if (messages == nullptr) return;
  std::vector<TStringList> words;
  for (const std::string& message : *messages) {
    TStringList list;
    Parsed(message)->GetBayesianWords(list, true);
    words.push_back(std::move(list));
  }
  auto spam = halvorn::SpamBayesianDictionary();
  auto personal = halvorn::PersonalBayesianDictionary();
  for (auto _ : state)
    for (const TStringList& list : words) {
      TStringList features = list;
      halvorn::BuildWordChains(features, halvorn::CheckSumOfText, spam->ChainLength());
      benchmark::DoNotOptimize(halvorn::JudgeBayesianFeatures(features, *spam, *personal));
    }
  CountMessages(state, messages->size());
}
BENCHMARK(BM_JudgeWithoutWords)->Unit(benchmark::kMillisecond)->MinTime(3);

// Learning: judged, then categorised personal or spam in turn, into copies
// of the seeds.
void BM_TrainMessages(benchmark::State& state) {
  const auto* messages = Messages(state);
  if (messages == nullptr) return;
  const std::string spamPath = BenchHome() + "/train-spam.dat";
  const std::string persPath = BenchHome() + "/train-pers.dat";
  std::filesystem::copy_file(BenchHome() + "/" + halvorn::kSpamSeedFileName, spamPath,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(BenchHome() + "/" + halvorn::kPersSeedFileName, persPath,
                             std::filesystem::copy_options::overwrite_existing);
  halvorn::TBayesianTest test;
  test.SetSpamDictPath(spamPath);
  test.SetPersDictPath(persPath);
  std::size_t n = 0;
  for (auto _ : state)
    for (const std::string& message : *messages) {
      TEmailMsgRef msg = Parsed(message);
      test.Evaluate(*msg, nullptr);
      test.UserCategorised(++n % 2 ? halvorn::Mc_Personal : halvorn::Mc_CommercialSpam,
                           test.GetResultCode(msg->GetContentId()));
    }
  CountMessages(state, messages->size());
}
BENCHMARK(BM_TrainMessages)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_DictionaryLoad(benchmark::State& state) {
  const std::string path = BenchHome() + "/" + halvorn::kSpamSeedFileName;
  for (auto _ : state) {
    halvorn::TBayesianDictionary dictionary(path);
    benchmark::DoNotOptimize(dictionary.TokenSum());
  }
  state.counters["image_bytes"] = static_cast<double>(halvorn::kBayesImageSize);
  state.counters["spam_seed_bytes"] = static_cast<double>(halvorn::ShippedSpamBayesianSeed().size());
  state.counters["pers_seed_bytes"] = static_cast<double>(halvorn::ShippedPersBayesianSeed().size());
}
BENCHMARK(BM_DictionaryLoad)->Unit(benchmark::kMillisecond);

// One addition and the save it makes due: copied under the lock, written
// to a temporary file, flushed and renamed into place.
void BM_DictionarySave(benchmark::State& state) {
  const std::string path = BenchHome() + "/save.dat";
  halvorn::TBayesianDictionary dictionary(path);
  std::int32_t old = 0;
  std::uint32_t hash = 0;
  for (auto _ : state) {
    dictionary.AddFeature(++hash, old);
    if (!dictionary.Save().empty()) state.SkipWithError("the save failed");
  }
}
BENCHMARK(BM_DictionarySave)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string parse = "BM_ParseMessages/min_time:3.000";
  halvorn::bench::TPairRatioReporter reporter(
      "Relative to parsing the same messages",
      {{"BM_WordChains/min_time:3.000", parse},
       {"BM_JudgeWithWords/min_time:3.000", parse},
       {"BM_JudgeWithoutWords/min_time:3.000", parse},
       {"BM_TrainMessages/min_time:3.000", parse}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
