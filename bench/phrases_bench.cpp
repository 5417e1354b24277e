// Phrase-list look-ups and loads at the sizes the program meets: a 100 000-
// entry approved-senders list with 0 or 100 patterns, loaded from the rules
// file and from an outside file; and 1 000 padded sentences of a message body
// against a 500-pattern keyword list. The reference run is a binary search of
// a sorted std::vector<std::string> of the same addresses; after the usual
// table, each run's time is printed as a ratio to it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "lists/phrases.h"

namespace {

using halvorn::TPhrases;

constexpr int kSenders = 100000;

std::string Sender(int i) {
  return "user" + std::to_string(i) + "@domain" + std::to_string(i % 997) + ".example";
}

// The senders the look-ups ask for: existing ones for hits, others for misses,
// in a random order so that the last-hit shortcut rarely applies.
std::vector<std::string> Queries(bool hits) {
  std::mt19937 random(7);
  std::vector<std::string> queries;
  for (int i = 0; i < 4096; ++i) {
    int n = static_cast<int>(random() % kSenders);
    queries.push_back("Some Body <" + (hits ? Sender(n) : "other" + std::to_string(n) + "@x.example") +
                      ">");
  }
  return queries;
}

std::unique_ptr<TPhrases> SenderList(int patterns) {
  auto list = std::make_unique<TPhrases>();
  list->SetListType(halvorn::pltEmailAddress);
  halvorn::TStringList texts;
  for (int i = 0; i < kSenders; ++i) texts.Add(Sender(i));
  for (int i = 0; i < patterns; ++i) texts.Add("*@bulk" + std::to_string(i) + ".example");
  list->AddStrings(texts);
  return list;
}

void BM_ReferenceVectorSearch(benchmark::State& state) {
  std::vector<std::string> sorted;
  for (int i = 0; i < kSenders; ++i) sorted.push_back(Sender(i));
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> queries;
  std::mt19937 random(7);
  for (int i = 0; i < 4096; ++i) queries.push_back(Sender(static_cast<int>(random() % kSenders)));
  std::size_t next = 0;
  for (auto _ : state) {
    const std::string& q = queries[next++ % queries.size()];
    benchmark::DoNotOptimize(std::binary_search(sorted.begin(), sorted.end(), q));
  }
}
BENCHMARK(BM_ReferenceVectorSearch);

// Argument: the number of patterns; the second: 1 hits, 0 misses.
void BM_FindMatchSender(benchmark::State& state) {
  auto list = SenderList(static_cast<int>(state.range(0)));
  const auto queries = Queries(state.range(1) != 0);
  std::string piece;
  std::size_t next = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(list->FindMatch(queries[next++ % queries.size()], piece, true));
}
BENCHMARK(BM_FindMatchSender)->Args({0, 1})->Args({0, 0})->Args({100, 1})->Args({100, 0});

// The rules file's section of the 100 000 senders, read into a list.
void BM_LoadFromRulesFile(benchmark::State& state) {
  auto source = SenderList(100);
  source->SetName("{Approved Senders}");
  halvorn::TQuorIniFile ini("");
  source->SaveToIni(ini);
  for (auto _ : state) {
    TPhrases list;
    list.SetName("{Approved Senders}");
    list.LoadFromIni(ini);
    benchmark::DoNotOptimize(list.Count());
  }
}
BENCHMARK(BM_LoadFromRulesFile)->Unit(benchmark::kMillisecond);

// The same senders read from an outside file (read, prepared, sorted).
void BM_LoadFromFile(benchmark::State& state) {
  const std::string path = halvorn::GetTempDir() + "phrases_bench_senders.txt";
  if (!SenderList(100)->SaveToFile(path).empty()) {
    state.SkipWithError("cannot write the list file");
    return;
  }
  for (auto _ : state) {
    TPhrases list;
    list.SetListType(halvorn::pltEmailAddress);
    list.SetFilePath(path);
    benchmark::DoNotOptimize(list.Count());
  }
  std::remove(path.c_str());
}
BENCHMARK(BM_LoadFromFile)->Unit(benchmark::kMillisecond);

// A body of 1 000 sentences, each padded with a blank on both sides, looked
// up unanchored in a 500-pattern keyword list after PurgeExpired, as the
// body-text test does; one sentence in a hundred holds a keyword.
void BM_PaddedSentences(benchmark::State& state) {
  TPhrases keywords;
  keywords.SetDaysToExpire(30);
  for (int i = 0; i < 500; ++i) keywords.Add("* keyword" + std::to_string(i) + " *");
  std::mt19937 random(3);
  const char* const words[] = {"the", "offer", "meeting", "tomorrow", "please", "send",
                               "report", "about", "numbers", "project", "we", "will"};
  std::vector<std::string> sentences;
  for (int i = 0; i < 1000; ++i) {
    std::string sentence = " ";
    for (int w = 0; w < 12; ++w) sentence += std::string(words[random() % 12]) + " ";
    if (i % 100 == 0) sentence += "keyword" + std::to_string(random() % 500) + " ";
    sentences.push_back(sentence);
  }
  std::string piece;
  for (auto _ : state) {
    int found = 0;
    for (const std::string& sentence : sentences) {
      keywords.PurgeExpired();
      if (keywords.FindMatch(sentence, piece, false) >= 0) ++found;
    }
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_PaddedSentences)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_ReferenceVectorSearch",
                                                 "Time relative to a binary search of a sorted vector");
}
