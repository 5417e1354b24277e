// The network-backed test through the smallest concrete class
// (support/scripted_nn_test.h): categorisations into the training sets and
// the error counts, the training rounds, the input probability (against a
// Python transcription that reads the set files itself), the statistics
// texts and a save and restart through the rules file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "classify/nn_test.h"
#include "classify/test_list.h"
#include "foundation/files/folder_test_env.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/heartbeat.h"
#include "message/msg_category.h"
#include "support/neural_net_support.h"
#include "support/scripted_nn_test.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::TScriptedNNTest;

// "yn.." as trites.
TTriteArray Trites(const std::string& letters) {
  TTriteArray trites;
  for (char c : letters) trites.push_back(CharToTrite(c));
  return trites;
}

std::string Code(const std::string& letters) {
  return TScriptedNNTest::ResultCodeFor(Trites(letters));
}

class NNTestHome : public test::FolderEnvTest {
 protected:
  NNTestHome() {
    for (std::size_t i = 0; i < std::size(kSwitches); ++i) FSaved[i] = kSwitches[i].Flag->load();
    UpdateNNTestSets = true;
    TrainNeuralNets = true;
    BackgroundTrainNNs = false;
    TrainOnError = true;
    StopTrainNNOnNoErr = true;
    SeperateTrainAndTestSets = false;
  }
  ~NNTestHome() override {
    for (std::size_t i = 0; i < std::size(kSwitches); ++i) kSwitches[i].Flag->store(FSaved[i]);
  }

  static std::shared_ptr<TScriptedNNTest> MakeTest() {
    auto test = std::make_shared<TScriptedNNTest>();
    test->SetName("Scripted");
    return test;
  }

  static std::string UserFile(const std::string& name) { return GetUserDir("Global") + "/" + name; }

  // Stores the vectors in the test's spam or personal set directly.
  static void Store(TScriptedNNTest& test, bool spam, const std::vector<TVectorFloat>& vectors) {
    ASSERT_TRUE(test.OpenVectorStores(true));
    auto store = OpenSharedVectorStore(test.VectorStorePath(spam));
    store->SetVectorSize(TScriptedNNTest::kInputs);
    for (const TVectorFloat& vector : vectors) store->AddVector(vector);
  }

  struct TSwitch {
    std::atomic<bool>* Flag;
  };
  static constexpr TSwitch kSwitches[] = {{&UpdateNNTestSets},   {&TrainNeuralNets},
                                          {&BackgroundTrainNNs}, {&TrainOnError},
                                          {&StopTrainNNOnNoErr}, {&SeperateTrainAndTestSets}};
  bool FSaved[std::size(kSwitches)] = {};
  test::TScriptedNNTestBinding FBinding;
};

// Separable examples: input 0 always on for spam and off for personal mail,
// input 5 the other way round, the rest at random.
std::vector<TVectorFloat> Examples(bool spam, int count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<TVectorFloat> vectors;
  for (int k = 0; k < count; ++k) {
    TVectorFloat vector(6);
    for (double& value : vector) value = random() % 2;
    vector[0] = spam ? 1 : 0;
    vector[5] = spam ? 0 : 1;
    vectors.push_back(vector);
  }
  return vectors;
}

TEST_F(NNTestHome, TheFirstSpamCategorisationMakesBothSets) {
  for (const bool developer : {false, true}) {
    SCOPED_TRACE(developer ? "developer mode" : "normal");
    std::unique_ptr<test::ScopedEnv> vostek;
    if (developer) vostek = std::make_unique<test::ScopedEnv>("IsVostek", "Yes");
    auto test = MakeTest();
    ASSERT_EQ(test->DeveloperMode(), developer);
    const std::string spamSet = test->VectorStorePath(true);
    const std::string persSet = test->VectorStorePath(false);
    EXPECT_EQ(spamSet, UserFile("Spam Scripted NN Test Training Set.dat"));
    EXPECT_EQ(persSet, UserFile("Pers Scripted NN Test Training Set.dat"));

    test->Train();  // no sets: nothing, and nothing made
    EXPECT_FALSE(std::filesystem::exists(spamSet));
    EXPECT_EQ(test->Net().EpochCurrent(), 0);
    EXPECT_EQ(test->InputBayesProbability(TVectorFloat(6, 1.0)), 0.5L);

    const std::string code = Code("ynynyn");
    test->UserCategorised(Mc_CommercialSpam, code);
    ASSERT_TRUE(std::filesystem::exists(spamSet));
    ASSERT_TRUE(std::filesystem::exists(persSet));
    auto spam = OpenSharedVectorStore(spamSet);
    auto pers = OpenSharedVectorStore(persSet);
    EXPECT_EQ(spam->Count(), 1);
    EXPECT_EQ(spam->ReadVector(0), (TVectorFloat{1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(pers->Count(), 0);
    EXPECT_EQ(test->SpamErrors(), 1000);  // a fresh network scores 0.5
    EXPECT_EQ(test->PersErrors(), 999);
    EXPECT_EQ(test->Stats().Category(Mc_CommercialSpam).TruePositives, 100u);

    const std::string line = code + "\r\n";
    for (const char* name : {"Scripted NN Test Spam Training Set.txt",
                             "Large Spam Scripted NN Test Training Set.txt"})
      EXPECT_EQ(test::ReadFileBytes(UserFile(name)), developer ? line : "") << name;

    // The first personal categorisation keeps the spam vector.
    test->UserCategorised(Mc_Personal, Code("nynyny"));
    EXPECT_EQ(spam->Count(), 1);
    EXPECT_EQ(pers->Count(), developer ? 2 : 1);  // developer mode rebuilds from its text sets
    EXPECT_EQ(test->PersErrors(), 1000);

    spam.reset();
    pers.reset();
    test.reset();
    std::filesystem::remove_all(GetUserDir("Global"));
  }
}

TEST_F(NNTestHome, OtherCategoriesAndEmptyCodesOnlyReachTheStatistics) {
  auto test = MakeTest();
  test->UserCategorised(Mc_Joke, Code("yyyyyy"));
  EXPECT_FALSE(std::filesystem::exists(test->VectorStorePath(true)));
  EXPECT_EQ(test->SpamErrors(), 999);
  EXPECT_EQ(test->PersErrors(), 999);
  EXPECT_EQ(test->Stats().Category(Mc_Joke).TruePositives, 100u);

  test->UserCategorised(Mc_CommercialSpam, "");
  EXPECT_FALSE(std::filesystem::exists(test->VectorStorePath(true)));
  EXPECT_EQ(test->Stats().Category(Mc_CommercialSpam).TruePositives, 0u);

  UpdateNNTestSets = false;
  test->UserCategorised(Mc_CommercialSpam, Code("yyyyyy"));
  EXPECT_FALSE(std::filesystem::exists(test->VectorStorePath(true)));
  EXPECT_EQ(test->SpamErrors(), 999);
}

// Sets the bias that makes the network answer `output` for the zero vector,
// exactly where some bias does (not every output near 0.45 can be had), and
// answers the output it gives.
double SetOutput(TScriptedNNTest& test, double output) {
  TNeuronBP& neuron = test.Net().GetLayer(1).Neuron(0);
  double bias = std::log(output / (1 - output));
  double got = 0;
  for (int step = 0; step < 200; ++step) {
    neuron.SetWeight(6, bias);
    got = test.Net().EvaluateInputs(TVectorFloat(6, 0.0));
    if (got == output) break;
    bias = std::nextafter(bias, got < output ? INFINITY : -INFINITY);
  }
  return got;
}

TEST_F(NNTestHome, ErrorCountsUseTheirThresholdsExactly) {
  struct Row {
    std::uint8_t Category;
    double Output;
    bool Counted;
  };
  const Row rows[] = {
      {Mc_CommercialSpam, 0.55, true},   {Mc_CommercialSpam, 0.5500001, false},
      {Mc_CommercialSpam, 0.6, false},   {Mc_CommercialSpam, 0.3, true},
      {Mc_Personal, 0.4500001, true},    {Mc_Personal, 0.4499999, false},
      {Mc_Personal, 0.4, false},         {Mc_Personal, 0.55, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.Category) + " at " + std::to_string(row.Output));
    auto test = MakeTest();
    const double output = SetOutput(*test, row.Output);
    if (row.Output == 0.55) {
      ASSERT_EQ(output, 0.55);  // the boundary itself
    }
    EXPECT_NEAR(output, row.Output, 1e-12);
    test->UserCategorised(row.Category, Code("nnnnnn"));
    const bool spam = row.Category == Mc_CommercialSpam;
    EXPECT_EQ(spam ? test->SpamErrors() : test->PersErrors(), row.Counted ? 1000 : 999);
    EXPECT_EQ(spam ? test->PersErrors() : test->SpamErrors(), 999);
  }
}

TEST_F(NNTestHome, CategoryProbabilityIsTheNetworksOutput) {
  auto test = MakeTest();
  SetOutput(*test, 0.6);
  TCategoryProbability probability;
  probability.SetPercentage(Mc_Joke, 40);
  test->GetCategoryProbability(Code("nnnnnn"), probability);
  EXPECT_EQ(probability.Percentage(Mc_CommercialSpam), 60);
  EXPECT_EQ(probability.Percentage(Mc_Personal), 40);
  EXPECT_EQ(probability.Percentage(Mc_Joke), 0);  // cleared first
}

TEST_F(NNTestHome, TrainingRoundsSeparateTheExamples) {
  auto test = MakeTest();
  const auto spam = Examples(true, 400, 1);
  const auto pers = Examples(false, 400, 2);
  Store(*test, true, spam);
  Store(*test, false, pers);
  const auto scores = [&](const std::vector<TVectorFloat>& vectors) {
    std::vector<double> out;
    for (const auto& v : vectors) out.push_back(test->Net().EvaluateInputs(v));
    return out;
  };
  for (int round = 1; round <= 4; ++round) {
    test->Train();
    EXPECT_EQ(test->Net().EpochCurrent(), 2 * round);
    EXPECT_EQ(test->Net().PatternCount(), 0);
  }
  const auto spamScores = scores(spam);
  const auto persScores = scores(pers);
  EXPECT_GT(*std::min_element(spamScores.begin(), spamScores.end()), kNNSpamThreshold);
  EXPECT_LT(*std::max_element(persScores.begin(), persScores.end()), kNNPersThreshold);

  // Random examples instead: 200 patterns that stay in the network.
  TrainOnError = false;
  test->Train();
  EXPECT_EQ(test->Net().EpochCurrent(), 10);
  EXPECT_EQ(test->Net().PatternCount(), 200);
}

TEST_F(NNTestHome, TrainingNeedsFourHundredOfEachAndASwitchOn) {
  auto test = MakeTest();
  Store(*test, true, Examples(true, 400, 1));
  Store(*test, false, Examples(false, 399, 2));
  const std::string before = test->Net().GetWeightText();
  test->Train();
  EXPECT_EQ(test->Net().EpochCurrent(), 0);
  EXPECT_EQ(test->Net().GetWeightText(), before);

  Store(*test, false, Examples(false, 1, 3));
  TrainNeuralNets = false;
  test->Train();
  EXPECT_EQ(test->Net().EpochCurrent(), 0);
  TrainNeuralNets = true;
  test->Train();
  EXPECT_EQ(test->Net().EpochCurrent(), 2);
}

TEST_F(NNTestHome, AStopRequestTrainsNothing) {
  auto test = MakeTest();
  Store(*test, true, Examples(true, 400, 1));
  Store(*test, false, Examples(false, 400, 2));
  const std::string before = test->Net().GetWeightText();
  for (const std::string stopAt : {"Scanning for spam errors", "FTrainOnError"}) {
    SCOPED_TRACE(stopAt);
    RegisterThreadCallback(
        [stopAt](const std::string& text, int, int) { return text == stopAt; });
    test->Train();
    UnregisterThreadCallback();
    EXPECT_EQ(test->Net().EpochCurrent(), 0);
    EXPECT_EQ(test->Net().GetWeightText(), before);
  }
  // Stopped just before the epochs, the patterns stay until the next round.
  EXPECT_EQ(test->Net().PatternCount(), 400);
}

// With the odd records kept for testing, a round's patterns are even
// records only (input 3 marks them here), on the worst examples and on
// random ones alike.
TEST_F(NNTestHome, SeparatedSetsTrainOnEvenRecordsOnly) {
  SeperateTrainAndTestSets = true;
  for (const bool onError : {true, false}) {
    SCOPED_TRACE(onError ? "worst examples" : "random examples");
    TrainOnError = onError;
    auto test = MakeTest();
    for (const bool spam : {true, false}) {
      std::vector<TVectorFloat> vectors = Examples(spam, 400, spam ? 1 : 2);
      for (std::size_t k = 0; k < vectors.size(); ++k) vectors[k][3] = k % 2 == 0 ? 1 : 0;
      Store(*test, spam, vectors);
    }
    // Stopped right before the epochs, the patterns can be looked at.
    RegisterThreadCallback([](const std::string& text, int, int) { return text == "FTrainOnError"; });
    test->Train();
    UnregisterThreadCallback();
    const int patterns = test->Net().PatternCount();
    EXPECT_EQ(patterns, onError ? 400 : 200);
    for (int p = 0; p < patterns; ++p) {
      TVectorFloat input;
      TVectorFloat desired;
      test->Net().GetPattern(p, input, desired);
      EXPECT_EQ(input[3], 1.0) << "pattern " << p;
    }
    test.reset();
    std::filesystem::remove_all(GetUserDir("Global"));
  }
}

TEST_F(NNTestHome, RandomTrainingUsesWhatFewRecordsThereAre) {
  TrainOnError = false;
  auto test = MakeTest();
  Store(*test, true, {TVectorFloat{1, 1, 1, 0, 0, 0}});
  Store(*test, false, {});
  test->Train();  // an empty personal set: nothing
  EXPECT_EQ(test->Net().PatternCount(), 0);
  EXPECT_EQ(test->Net().EpochCurrent(), 0);
  Store(*test, false, {TVectorFloat{0, 0, 0, 1, 1, 1}});
  test->Train();
  ASSERT_EQ(test->Net().PatternCount(), 200);
  TVectorFloat input;
  TVectorFloat desired;
  test->Net().GetPattern(0, input, desired);
  EXPECT_EQ(input, (TVectorFloat{1, 1, 1, 0, 0, 0}));
  EXPECT_EQ(desired, TVectorFloat{1.0});
  test->Net().GetPattern(199, input, desired);
  EXPECT_EQ(input, (TVectorFloat{0, 0, 0, 1, 1, 1}));
  EXPECT_EQ(desired, TVectorFloat{0.0});
}

// The estimate against Python, which reads the two set files with struct
// and combines at 50 digits.
TEST_F(NNTestHome, InputBayesProbabilityAgreesWithPython) {
  auto test = MakeTest();
  std::mt19937 random(5);
  const double values[] = {0, 1, 0.5, 1, 0.999};
  const auto draw = [&](int count, int ones) {
    std::vector<TVectorFloat> vectors;
    for (int k = 0; k < count; ++k) {
      TVectorFloat vector(6);
      for (std::size_t i = 0; i < 6; ++i)
        vector[i] = static_cast<int>(i) < ones ? values[random() % 5] : values[random() % 3 == 0];
      vectors.push_back(vector);
    }
    return vectors;
  };
  Store(*test, true, draw(37, 4));
  Store(*test, false, draw(23, 2));
  const std::vector<TVectorFloat> queries = {
      {1, 1, 1, 1, 1, 1}, {1, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 1, 1},
      {0.5, 0.999, 0, 0, 0, 0}, {1, 1, 0, 0.5, 1, 0}};
  std::string input;
  for (const auto& query : queries) {
    for (double v : query) input += std::to_string(v) + " ";
    input += "\n";
  }
  const std::string script = R"(
import struct
import mpmath
def vectors(path):
    data = open(path, 'rb').read()
    h, count, wc, size = struct.unpack_from('<4i', data, 0)
    return [[b / 255 for b in data[h + k * size:h + (k + 1) * size]] for k in range(count)]
spam, pers = vectors(sys.argv[2]), vectors(sys.argv[3])
for line in sys.stdin:
    print(mpmath.nstr(o.input_bayes(spam, pers, [float(x) for x in line.split()]), 25))
)";
  {
    // The header on disk must hold the counts: the sets write it when they close.
    const std::string spamPath = test->VectorStorePath(true);
    const std::string persPath = test->VectorStorePath(false);
    std::vector<long double> got;
    for (const auto& query : queries) got.push_back(test->InputBayesProbability(query));
    test.reset();
    const auto result = test::RunNetOracle(script, input, {spamPath, persPath});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    const auto expected = test::OutputLines(result.Output);
    ASSERT_EQ(expected.size(), queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const long double want = std::strtold(expected[i].c_str(), nullptr);
      EXPECT_NEAR(static_cast<double>(got[i]), static_cast<double>(want),
                  1e-12 * static_cast<double>(want))
          << i;
    }
    EXPECT_EQ(got[3], 0.5L);  // no input exactly 1.0
  }
}

TEST_F(NNTestHome, StatsTextsOfZeroOneAndTwoItems) {
  auto test = MakeTest();
  test->UserCategorised(Mc_Joke, Code("y"));
  test->Net().GetLayer(1).Neuron(0).SetWeight(2, 0.75);
  const std::string stats = test->Stats().SaveToText();
  const std::string weights = test->Net().GetWeightText();
  ASSERT_FALSE(stats.empty());
  TStringList items;
  items.SetCommaText(test->GetStatsText());
  EXPECT_EQ(items.ToVector(), (std::vector<std::string>{stats, weights}));

  auto other = MakeTest();
  other->SetStatsText(test->GetStatsText());  // two items: both
  EXPECT_EQ(other->Stats().SaveToText(), stats);
  EXPECT_EQ(other->Net().GetWeightText(), weights);
  EXPECT_EQ(other->GetStatsText(), test->GetStatsText());

  auto onlyWeights = MakeTest();
  onlyWeights->UserCategorised(Mc_Bulk, Code("y"));
  const std::string ownStats = onlyWeights->Stats().SaveToText();
  onlyWeights->SetStatsText(weights);  // one item: the weights alone
  EXPECT_EQ(onlyWeights->Net().GetWeightText(), weights);
  EXPECT_EQ(onlyWeights->Stats().SaveToText(), ownStats);

  other->SetStatsText("");  // the class's reset: statistics and weights
  EXPECT_EQ(other->Stats().SaveToText(), "");
  EXPECT_EQ(other->Net().GetWeightText(), MakeTest()->Net().GetWeightText());

  other->SetStatsText("a,b,c");  // three items: "a" is no weight text; nothing changes
  EXPECT_EQ(other->Net().GetWeightText(), MakeTest()->Net().GetWeightText());
}

TEST_F(NNTestHome, WeightsComeBackAfterARestart) {
  const std::string rules = FRoot.Sub("QuorRules.txt");
  const std::vector<TVectorFloat> fixtures = {
      {1, 0, 0, 0, 0, 0}, {0, 1, 1, 0, 1, 0}, {1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 1}};
  std::vector<double> scores;
  {
    TTestList list;
    auto test = MakeTest();
    Store(*test, true, Examples(true, 400, 1));
    Store(*test, false, Examples(false, 400, 2));
    test->Train();
    for (const auto& v : fixtures) scores.push_back(test->Net().EvaluateInputs(v));
    list.AddTest(test);
    TQuorIniFile ini(rules, true);
    list.SaveToIni(ini, "Global");
    ini.UpdateFile();
  }
  const std::string saved = test::ReadFileBytes(rules);
  ASSERT_NE(saved.find("ClassName=TScriptedNNTest"), std::string::npos);
  TTestList list;
  TQuorIniFile ini(rules);
  list.LoadFromIni(ini, "Global");
  auto loaded = std::dynamic_pointer_cast<TScriptedNNTest>(list.FindTestByName("Scripted"));
  ASSERT_TRUE(loaded);
  for (std::size_t i = 0; i < fixtures.size(); ++i)
    EXPECT_EQ(loaded->Net().EvaluateInputs(fixtures[i]), scores[i]) << i;
  TQuorIniFile again(FRoot.Sub("again.txt"), true);
  list.SaveToIni(again, "Global");
  again.UpdateFile();
  EXPECT_EQ(test::ReadFileBytes(FRoot.Sub("again.txt")), saved);
}

// Two tests of one type (two block-list tests, say) share one pair of files:
// their additions all count, each at its own number.
TEST_F(NNTestHome, TwoTestsOfOneTypeShareTheSets) {
  auto a = MakeTest();
  auto b = MakeTest();
  const std::vector<std::string> codes = {"ynnnnn", "nynnnn", "yynnnn", "nnynnn", "ynynnn",
                                          "nyynnn", "yyynnn", "nnnynn", "ynnynn", "nynynn"};
  for (std::size_t i = 0; i < codes.size(); ++i)
    (i % 2 == 0 ? a : b)->UserCategorised(Mc_CommercialSpam, Code(codes[i]));
  const std::string path = a->VectorStorePath(true);
  a.reset();
  b.reset();
  TVectorFileStore store(path);
  ASSERT_EQ(store.Count(), 10);
  for (std::size_t i = 0; i < codes.size(); ++i)
    EXPECT_EQ(store.ReadVector(static_cast<std::int32_t>(i)),
              TScriptedNNTest::Vector(Trites(codes[i])))
        << i;
}

// A set of another input layout is rebuilt from the text sets when both are
// there; otherwise it starts again at the new size.
TEST_F(NNTestHome, ASetOfAnotherLayoutIsRebuiltOrRestarted) {
  auto test = MakeTest();
  ASSERT_TRUE(test->OpenVectorStores(true));
  auto spam = OpenSharedVectorStore(test->VectorStorePath(true));
  auto pers = OpenSharedVectorStore(test->VectorStorePath(false));
  spam->SetVectorSize(4);
  spam->AddVector({1, 1, 1, 1});
  pers->SetVectorSize(4);
  pers->AddVector({0, 0, 0, 0});

  // Without text sets the spam set alone restarts at six inputs.
  test->UserCategorised(Mc_CommercialSpam, Code("yynnnn"));
  EXPECT_EQ(spam->VectorSize(), 6);
  EXPECT_EQ(spam->Count(), 1);
  EXPECT_EQ(pers->VectorSize(), 4);
  EXPECT_EQ(pers->Count(), 1);
  EXPECT_THROW(test->RecomputeVectorFiles(), std::runtime_error);
  EXPECT_EQ(spam->Count(), 1);  // nothing cleared

  // With both text sets the personal categorisation rebuilds both sets.
  ASSERT_TRUE(test::WriteFileBytes(test->RecomputeSourcePath(true),
                                   Code("yyyyyy") + "\r\n" + Code("yyyyyn") + "\r\n"));
  ASSERT_TRUE(test::WriteFileBytes(test->RecomputeSourcePath(false), Code("nnnnny") + "\r\n"));
  EXPECT_EQ(test->RecomputeSourcePath(true), UserFile("Spam Scripted NN Test Training Set.txt"));
  test->UserCategorised(Mc_Personal, Code("nnnnyy"));
  EXPECT_EQ(spam->Count(), 2);
  EXPECT_EQ(spam->ReadVector(1), TScriptedNNTest::Vector(Trites("yyyyyn")));
  ASSERT_EQ(pers->Count(), 2);
  EXPECT_EQ(pers->VectorSize(), 6);
  EXPECT_EQ(pers->ReadVector(0), TScriptedNNTest::Vector(Trites("nnnnny")));
  EXPECT_EQ(pers->ReadVector(1), TScriptedNNTest::Vector(Trites("nnnnyy")));
}

}  // namespace
}  // namespace halvorn
