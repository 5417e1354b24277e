// The learning core's costs: a network's evaluation at the input counts of
// the program's tests (6, 633 and 945), two epochs over 400 patterns, one
// training round on the worst examples over full training sets (5 000 + 5 000
// vectors of 945 inputs), a training set's addition and read, and the
// per-message path of a 945-input test (its vector rebuilt from the result
// code, then scored) over the corpus messages, against parsing the same
// messages. After the table the per-message path's time is printed as a ratio
// to the parsing.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "classify/nn_test.h"
#include "classify/test_list.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"
#include "message/email_msg.h"
#include "support/neural_net_support.h"

namespace {

using halvorn::TQuorNeuralNet;
using halvorn::TVectorFloat;

constexpr int kFlagshipInputs = 945;

TVectorFloat RandomInputs(std::mt19937& random, int count) {
  TVectorFloat vector(static_cast<std::size_t>(count));
  for (double& value : vector) value = random() % 4 == 0 ? 1.0 : 0.0;
  return vector;
}

// One output, random weights.
void Build(TQuorNeuralNet& net, int inputs) {
  halvorn::test::BuildNet(net, {inputs, 1});
  net.SetRandomSeedForTests(1);
  net.InitWeights();
}

// A test of 945 yes/no inputs stored as a compressed trite array under "VA",
// as the flagship test stores its inputs.
class TBenchNNTest : public halvorn::TNNTest {
 public:
  TBenchNNTest() : TNNTest(kFlagshipInputs, "Bench NN", {}) {}
  std::string ClassName() const override { return "TBenchNNTest"; }
  std::string GetTypeName() override { return "Bench NN Test"; }
  std::string Validate() override { return {}; }
  std::string Describe() override { return {}; }
  std::string GetNote() override { return {}; }
  bool Evaluate(halvorn::TEmailMsg&, const std::atomic<bool>*) override { return false; }
  TVectorFloat BuildNNInputs(const std::string& resultCode) override {
    const halvorn::TTriteArray inputs =
        halvorn::TriteArrayFromText(halvorn::CommaTextValue(resultCode, "VA"));
    TVectorFloat vector(kFlagshipInputs, 0.0);
    for (int i = 0; i < kFlagshipInputs; ++i)
      vector[static_cast<std::size_t>(i)] = halvorn::TriteIsYes(halvorn::TriteGet(inputs, i)) ? 1.0 : 0.0;
    return vector;
  }
};

// A throw-away data folder for the benchmarks that write training sets.
const std::string& BenchHome() {
  static const std::string home = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "hv-nn-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    ::setenv("HALVORN_HOME", pattern.c_str(), 1);
    halvorn::ResetFolderCachesForTests();
    std::atexit([] { std::filesystem::remove_all(BenchHome()); });
    return pattern;
  }();
  return home;
}

void BM_EvaluateInputs(benchmark::State& state) {
  const int inputs = static_cast<int>(state.range(0));
  TQuorNeuralNet net;
  Build(net, inputs);
  std::mt19937 random(2);
  std::vector<TVectorFloat> vectors;
  for (int i = 0; i < 64; ++i) vectors.push_back(RandomInputs(random, inputs));
  std::size_t next = 0;
  for (auto _ : state) benchmark::DoNotOptimize(net.EvaluateInputs(vectors[next++ % vectors.size()]));
}
BENCHMARK(BM_EvaluateInputs)->Arg(6)->Arg(633)->Arg(945)->Unit(benchmark::kMicrosecond);

void BM_TeachTwoEpochs(benchmark::State& state) {
  const int inputs = static_cast<int>(state.range(0));
  TQuorNeuralNet net;
  Build(net, inputs);
  std::mt19937 random(3);
  for (int p = 0; p < 400; ++p) net.AddPattern(RandomInputs(random, inputs), {p % 2 * 1.0});
  net.SetContinueTeach(true);
  for (auto _ : state) {
    net.SetEpochCount(net.EpochCurrent() + 1);
    net.Teach();
  }
}
BENCHMARK(BM_TeachTwoEpochs)->Arg(6)->Arg(945)->Unit(benchmark::kMillisecond);

void BM_StoreAddVector(benchmark::State& state) {
  const std::string path = BenchHome() + "/add.dat";
  std::filesystem::remove(path);
  halvorn::TVectorFileStore store(path);
  store.SetVectorSize(kFlagshipInputs);
  std::mt19937 random(4);
  const TVectorFloat vector = RandomInputs(random, kFlagshipInputs);
  for (auto _ : state) benchmark::DoNotOptimize(store.AddVector(vector));
}
BENCHMARK(BM_StoreAddVector)->Unit(benchmark::kMicrosecond);

void BM_StoreReadVector(benchmark::State& state) {
  const std::string path = BenchHome() + "/read.dat";
  std::filesystem::remove(path);
  halvorn::TVectorFileStore store(path);
  store.SetVectorSize(kFlagshipInputs);
  std::mt19937 random(5);
  for (int k = 0; k < 5000; ++k) store.AddVector(RandomInputs(random, kFlagshipInputs));
  std::int32_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(store.ReadVector(k++ % 5000));
}
BENCHMARK(BM_StoreReadVector)->Unit(benchmark::kMicrosecond);

// Full sets, stored once; the first round (which also counts every input
// of the sets once per test) is left out of the timing.
void BM_TrainOnErrorRound(benchmark::State& state) {
  BenchHome();
  const double memoryBefore = halvorn::bench::PeakResidentMegabytes();
  auto test = std::make_shared<TBenchNNTest>();
  test->SetName("Bench");
  if (!test->OpenVectorStores(true)) {
    state.SkipWithError("the training sets cannot be opened");
    return;
  }
  std::mt19937 random(6);
  for (const bool spam : {true, false}) {
    auto store = halvorn::OpenSharedVectorStore(test->VectorStorePath(spam));
    store->SetVectorSize(kFlagshipInputs);
    store->Clear();
    for (int k = 0; k < 5000; ++k) {
      TVectorFloat vector = RandomInputs(random, kFlagshipInputs);
      vector[0] = spam ? 1.0 : 0.0;
      store->AddVector(vector);
    }
  }
  test->Train();
  for (auto _ : state) test->Train();
  state.counters["epochs"] = test->Net().EpochCurrent();
  state.counters["peak_MB_added"] = halvorn::bench::PeakResidentMegabytes() - memoryBefore;
}
BENCHMARK(BM_TrainOnErrorRound)->Unit(benchmark::kMillisecond)->Iterations(5);

// The per-message path: result codes made once from the corpus messages (an
// input is yes where a byte of the message is odd), each rebuilt into its
// vector and scored.
void BM_PerMessagePath(benchmark::State& state) {
  const std::vector<std::string>& messages = halvorn::bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  std::vector<std::string> codes;
  for (const std::string& message : messages) {
    halvorn::TTriteArray inputs(kFlagshipInputs, halvorn::kTriteNo);
    for (std::size_t i = 0; i < inputs.size() && !message.empty(); ++i)
      if (static_cast<unsigned char>(message[i * 7919 % message.size()]) % 2 == 1)
        inputs[i] = halvorn::kTriteYes;
    halvorn::TStringList items;
    items.Add("Pa=y");
    items.Add("VA=" + halvorn::TriteArrayToCompressedText(inputs));
    codes.push_back(items.CommaText());
  }
  TBenchNNTest test;
  test.Net().SetRandomSeedForTests(7);
  test.Net().InitWeights();
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& code : codes) sum += test.Net().EvaluateInputs(test.BuildNNInputs(code));
    benchmark::DoNotOptimize(sum);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(codes.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PerMessagePath)->Unit(benchmark::kMillisecond)->MinTime(3);

// The reference: the same messages parsed (header and part tree).
void BM_ParseMessages(benchmark::State& state) {
  const std::vector<std::string>& messages = halvorn::bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    std::size_t parts = 0;
    for (const std::string& message : messages) {
      auto msg = halvorn::TEmailMsg::Create();
      msg->LoadFromStream(message);
      msg->FSetFlaggedDeleted(true);
      halvorn::TCriticalSectionGuard guard(msg->MessageLock());
      parts += static_cast<std::size_t>(msg->GetParts().Count());
    }
    benchmark::DoNotOptimize(parts);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMessages)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorn::bench::TPairRatioReporter reporter(
      "Per-message path relative to parsing the same messages",
      {{"BM_PerMessagePath/min_time:3.000", "BM_ParseMessages/min_time:3.000"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
