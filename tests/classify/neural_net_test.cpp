// The back-propagation network: its fixed answers and errors, the hand
// values of one learning step, the epoch loop, and a numpy transcription
// (tests/data/neural_net_oracle.py) that must agree on outputs and on the
// weights after a series of steps with momentum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "classify/neural_net.h"
#include "classify/quor_neural_net.h"
#include "foundation/time/date_time.h"
#include "support/neural_net_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::AllWeights;
using test::BuildNet;

TEST(NeuralNet, FreshNetworkHasZeroWeightsAndAnswersOneHalf) {
  TNeuralNetBP net;
  EXPECT_EQ(net.GetLayerCount(), 1);  // the one input layer of 0 neurons
  EXPECT_EQ(net.NeuronsInLayer(), std::vector<std::string>{"0"});
  BuildNet(net, {6, 1});
  ASSERT_EQ(net.GetLayer(1).NeuronCount(), 1);
  EXPECT_EQ(net.GetLayer(1).Neuron(0).Weights, TVectorFloat(7, 0.0));
  for (const TVectorFloat& input :
       {TVectorFloat(6, 0.0), TVectorFloat(6, 1.0), TVectorFloat{5, -3, 0.25, 1e9, -1e9, 7}}) {
    net.Compute(input);
    EXPECT_EQ(net.GetOutput(0), 0.5);
  }
}

TEST(NeuralNet, ErrorsNameWhatWasWrongAndChangeNothing) {
  TNeuralNetBP net;
  BuildNet(net, {6, 1});
  net.AddPattern(TVectorFloat(6, 1.0), {1.0});
  const auto expectError = [](auto call, const std::string& text) {
    SCOPED_TRACE(text);
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const std::exception& error) {
      EXPECT_EQ(error.what(), text);
    }
  };
  expectError([&] { net.Compute(TVectorFloat(5, 0.0)); },
              "The quantity entrance neuron is incorrectly established");
  expectError([&] { net.AddPattern(TVectorFloat(5, 0.0), {1.0}); },
              "Dimension of an entrance vector is incorrectly established");
  expectError([&] { net.AddPattern(TVectorFloat(6, 0.0), {1.0, 0.0}); },
              "Dimension of a target vector is incorrectly established");
  expectError([&] { net.AddLayer(-1); }, "Number of neurons is incorrectly specified");
  expectError([&] { net.GetOutput(1); }, "Number of neuron is incorrectly specified 1");
  expectError([&] { net.GetLayer(1).Neuron(0).GetWeight(7); },
              "Number of weight is incorrectly specified 7");
  expectError([&] { net.DeleteLayer(2); }, "Number of a layer is incorrectly specified 2");
  expectError([&] { net.DeletePattern(1); }, "Output for borders of a file of examples 1");
  EXPECT_THROW(net.Compute(TVectorFloat(5, 0.0)), EInOutDimensionError);
  EXPECT_THROW(net.AddLayer(-1), ENeuronCountError);
  EXPECT_THROW(net.GetOutput(-1), std::out_of_range);
  EXPECT_EQ(net.PatternCount(), 1);
  EXPECT_EQ(net.GetLayerCount(), 2);
  EXPECT_EQ(net.InputPatternCell(0, 5), 1.0);
  EXPECT_EQ(net.InputPatternCell(0, 6), 0.0);  // no such cell
  EXPECT_EQ(net.InputPatternCell(3, 0), 0.0);

  // A layer line that is no number: the layers stay as they were.
  net.GetLayer(1).Neuron(0).SetWeight(2, 0.75);
  net.SetAutoInit(false);
  net.SetNeuronsInLayer({"6", "one"});
  EXPECT_THROW(net.Init(), EConvertError);
  EXPECT_EQ(net.GetLayer(1).Neuron(0).GetWeight(2), 0.75);
}

TEST(NeuralNet, SettersKeepTheirRanges) {
  struct Row {
    const char* Setter;
    double Given;
    double Kept;
  };
  const Row rows[] = {
      {"Alpha", 20, 1.0},       {"Alpha", 0.01, 0.01},   {"Alpha", 10, 10},
      {"Alpha", 0.001, 1.0},    {"TeachRate", 0, 0.1},   {"TeachRate", 1, 1},
      {"TeachRate", 0.3, 0.3},  {"TeachRate", -1, 0.1},  {"Momentum", 1.0, 1.0},
      {"Momentum", 0, 0},       {"Momentum", 1.01, 0.9}, {"EpochCount", 0, 1},
      {"EpochCount", -5, 1},    {"EpochCount", 7, 7},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.Setter) + " " + std::to_string(row.Given));
    TNeuralNetBP net;
    const std::string setter = row.Setter;
    if (setter == "Alpha") {
      net.SetAlpha(row.Given);
      EXPECT_EQ(net.Alpha(), row.Kept);
    } else if (setter == "TeachRate") {
      net.SetTeachRate(row.Given);
      EXPECT_EQ(net.TeachRate(), row.Kept);
    } else if (setter == "Momentum") {
      net.SetMomentum(row.Given);
      EXPECT_EQ(net.Momentum(), row.Kept);
    } else {
      net.SetEpochCount(static_cast<int>(row.Given));
      EXPECT_EQ(net.EpochCount(), row.Kept);
    }
  }
}

// One output neuron at 0.5 wanting 1: Delta -0.125, and with TeachRate 0.1
// weight and bias each grow by 0.0125 (input 1, no earlier change); the
// input that was 0 keeps its weight.
TEST(NeuralNet, OneStepMatchesTheHandValues) {
  TNeuralNetBP net;
  BuildNet(net, {2, 1});
  net.AddPattern({1.0, 0.0}, {1.0});
  net.LoadInputPattern(0);
  net.LoadOutputPattern(0);
  net.Propagate();
  TNeuronBP& out = net.GetLayer(1).Neuron(0);
  EXPECT_EQ(out.Output, 0.5);
  EXPECT_EQ(net.PatternError(), 0.125);
  net.ComputeDeltas();
  EXPECT_EQ(out.Delta, -0.125);
  net.AdjustWeights();
  struct Row {
    int Weight;
    double Value;
  };
  for (const Row& row : {Row{0, 0.0125}, Row{1, 0.0}, Row{2, 0.0125}}) {
    SCOPED_TRACE(row.Weight);
    EXPECT_DOUBLE_EQ(out.GetWeight(row.Weight), row.Value);
    EXPECT_DOUBLE_EQ(out.PreviousChanges[static_cast<std::size_t>(row.Weight)], row.Value);
  }
  // The next step carries 0.9 of the last change.
  net.Propagate();
  net.ComputeDeltas();
  const double delta = out.Delta;
  net.AdjustWeights();
  EXPECT_DOUBLE_EQ(out.GetWeight(0), 0.0125 + (-0.1 * delta + 0.9 * 0.0125));
}

// Records what the epoch loop does.
class TWatchedNet : public TNeuralNetBP {
 public:
  std::vector<TVectorInt> Orders;
  int Hooks = 0;

 protected:
  void DoBeforeTeach() override { ++Hooks; }
  void DoAfterTeach() override { ++Hooks; }
  void DoEpochPassed() override {
    ++Hooks;
    Orders.push_back(PatternOrder());
  }
};

TEST(NeuralNet, TeachRunsTheEpochsAskedForOverPermutations) {
  TWatchedNet net;
  BuildNet(net, {3, 1});
  // No patterns: nothing at all happens.
  net.Teach();
  EXPECT_EQ(net.Hooks, 0);
  EXPECT_EQ(net.EpochCurrent(), 0);
  EXPECT_EQ(net.GetLayer(1).Neuron(0).Weights, TVectorFloat(4, 0.0));

  const int kPatterns = 23;
  for (int p = 0; p < kPatterns; ++p)
    net.AddPattern({p % 2 * 1.0, p % 3 * 0.5, 1.0}, {p % 2 * 1.0});
  net.SetContinueTeach(true);
  for (int round = 0; round < 3; ++round) {
    const int before = net.EpochCurrent();
    net.Orders.clear();
    net.SetEpochCount(net.EpochCurrent() + 1);
    net.Teach();
    EXPECT_EQ(net.Orders.size(), 2u) << "round " << round;
    EXPECT_EQ(net.EpochCurrent(), before + 2);
    for (TVectorInt order : net.Orders) {
      std::sort(order.begin(), order.end());
      TVectorInt all(kPatterns);
      std::iota(all.begin(), all.end(), 0);
      EXPECT_EQ(order, all);
    }
  }
  EXPECT_GT(net.TeachError(), 0);
  EXPECT_EQ(net.MidTeachResidual(), net.TeachError() / kPatterns);
  EXPECT_LE(net.MidTeachResidual(), net.MaxTeachResidual());
  EXPECT_EQ(net.RecognizedTeachCount(), 0);  // IdentError 0: nothing counts

  // One pattern: the order is [0].
  TWatchedNet one;
  BuildNet(one, {1, 1});
  one.AddPattern({1.0}, {0.0});
  one.SetEpochCount(1);
  one.Teach();
  ASSERT_EQ(one.Orders.size(), 1u);
  EXPECT_EQ(one.Orders[0], TVectorInt{0});

  // A stop request ends the run after the epoch, without the closing hook.
  TWatchedNet stopped;
  BuildNet(stopped, {1, 1});
  stopped.AddPattern({1.0}, {0.0});
  stopped.SetEpochCount(5);
  stopped.SetStopRequest(true);
  stopped.Teach();
  EXPECT_TRUE(stopped.Stopped());
  EXPECT_EQ(stopped.Orders.size(), 1u);
  EXPECT_EQ(stopped.Hooks, 2);  // before, one epoch; no after
}

TEST(NeuralNet, TeachFromScratchRandomisesTheWeightsAndStartsAtEpochOne) {
  TNeuralNetBP net;
  BuildNet(net, {4, 3, 1});
  net.AddPattern({1, 0, 1, 0}, {1});
  net.SetEpochCount(1);
  net.SetTeachRate(0.000001);  // the epoch hardly moves the weights
  net.SetRandomSeedForTests(42);
  net.Teach();
  EXPECT_EQ(net.EpochCurrent(), 2);  // epoch 1 ran
  std::vector<double> weights;
  for (int layer = 1; layer < 3; ++layer)
    for (int n = 0; n < net.GetLayer(layer).NeuronCount(); ++n)
      for (double w : net.GetLayer(layer).Neuron(n).Weights) weights.push_back(w);
  ASSERT_EQ(weights.size(), 3u * 5 + 4);
  for (double w : weights) {
    EXPECT_GT(w, -0.001);
    EXPECT_LT(w, 1.001);
  }
  EXPECT_GT(*std::max_element(weights.begin(), weights.end()) -
                *std::min_element(weights.begin(), weights.end()),
            0.3);
  // The same pinned seed gives the same weights; another seed others.
  TNeuralNetBP again;
  BuildNet(again, {4, 3, 1});
  again.AddPattern({1, 0, 1, 0}, {1});
  again.SetEpochCount(1);
  again.SetTeachRate(0.000001);
  again.SetRandomSeedForTests(42);
  again.Teach();
  EXPECT_EQ(again.GetLayer(1).Neuron(2).Weights, net.GetLayer(1).Neuron(2).Weights);
  again.SetRandomSeedForTests(43);
  again.InitWeights();
  EXPECT_NE(again.GetLayer(1).Neuron(2).Weights, net.GetLayer(1).Neuron(2).Weights);
}

TEST(NeuralNet, DeleteLayerRebuildsFromTheRemainingLines) {
  TNeuralNetBP net;
  BuildNet(net, {5, 4, 3, 1});
  net.DeleteLayer(1);
  EXPECT_EQ(net.NeuronsInLayer(), (std::vector<std::string>{"5", "3", "1"}));
  ASSERT_EQ(net.GetLayerCount(), 3);
  EXPECT_EQ(net.GetLayer(1).NeuronCount(), 3);
  EXPECT_EQ(net.GetLayer(1).Neuron(0).Weights.size(), 6u);
  EXPECT_EQ(net.GetLayer(2).Index(), 2);
  net.Compute(TVectorFloat(5, 1.0));
  EXPECT_EQ(net.GetOutput(0), 0.5);
}

// ---- The numpy transcription

struct TOracleCase {
  std::vector<int> Sizes;
  double Alpha = 1.0;
  std::string Text;                    // "e" text of the seeded weights
  std::vector<TVectorFloat> Inputs;    // fixed inputs ...
  std::vector<double> Outputs;         // ... and numpy's outputs (first output neuron)
  std::vector<TVectorFloat> Patterns;  // the training patterns,
  std::vector<double> Targets;         // their targets,
  std::vector<int> Order;              // the order of the steps,
  std::vector<double> After;           // and every weight after them, record order
};

TVectorFloat Numbers(std::istringstream& in) {
  TVectorFloat values;
  for (double v; in >> v;) values.push_back(v);
  return values;
}

std::vector<TOracleCase> RunOracle() {
  const std::string script = R"(
import numpy as np
for seed, sizes, alpha in ((11, [6, 1], 1.0), (12, [5, 4, 3, 1], 1.5)):
    rng = np.random.default_rng(seed)
    weights = [rng.uniform(-1, 1, (sizes[l + 1], sizes[l] + 1)) for l in range(len(sizes) - 1)]
    print('CASE', alpha, *sizes)
    print('TEXT', o.e_text(weights))
    for _ in range(4):
        x = rng.uniform(-2, 2, sizes[0])
        print('INPUT', *map(repr, x))
        print('OUTPUT', repr(o.forward(weights, x, alpha)[-1][0]))
    patterns = [rng.integers(0, 2, sizes[0]).astype(float) for _ in range(5)]
    targets = [float(p[0]) for p in patterns]
    order = [int(i) for i in rng.integers(0, 5, 12)]
    for p, t in zip(patterns, targets):
        print('PATTERN', t, *map(repr, p))
    print('ORDER', *order)
    previous = [np.zeros_like(w) for w in weights]
    for i in order:
        o.bp_step(weights, previous, patterns[i], [targets[i]], 0.1, 0.9, alpha)
    print('AFTER', *[repr(v) for w in weights for row in w for v in row])
)";
  const auto result = test::RunNetOracle(script);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  std::vector<TOracleCase> cases;
  for (const std::string& line : test::OutputLines(result.Output)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "CASE") {
      cases.emplace_back();
      in >> cases.back().Alpha;
      for (int size; in >> size;) cases.back().Sizes.push_back(size);
    } else if (cases.empty()) {
      continue;
    } else if (key == "TEXT") {
      in >> cases.back().Text;
    } else if (key == "INPUT") {
      cases.back().Inputs.push_back(Numbers(in));
    } else if (key == "OUTPUT") {
      cases.back().Outputs.push_back(Numbers(in).at(0));
    } else if (key == "PATTERN") {
      TVectorFloat values = Numbers(in);
      cases.back().Targets.push_back(values.at(0));
      cases.back().Patterns.emplace_back(values.begin() + 1, values.end());
    } else if (key == "ORDER") {
      for (int i; in >> i;) cases.back().Order.push_back(i);
    } else if (key == "AFTER") {
      cases.back().After = Numbers(in);
    }
  }
  return cases;
}

TEST(NeuralNet, AgreesWithNumpyOnOutputsAndLearningSteps) {
  const std::vector<TOracleCase> cases = RunOracle();
  ASSERT_EQ(cases.size(), 2u);
  for (const TOracleCase& c : cases) {
    SCOPED_TRACE("layers " + std::to_string(c.Sizes.size()));
    TQuorNeuralNet net;
    BuildNet(net, c.Sizes);
    net.SetAlpha(c.Alpha);
    ASSERT_TRUE(net.SetWeightText(c.Text));
    ASSERT_EQ(c.Inputs.size(), c.Outputs.size());
    for (std::size_t i = 0; i < c.Inputs.size(); ++i)
      EXPECT_NEAR(net.EvaluateInputs(c.Inputs[i]), c.Outputs[i], 1e-12);
    for (std::size_t p = 0; p < c.Patterns.size(); ++p) net.AddPattern(c.Patterns[p], {c.Targets[p]});
    for (int p : c.Order) {
      net.LoadInputPattern(p);
      net.LoadOutputPattern(p);
      net.Propagate();
      net.ComputeDeltas();
      net.AdjustWeights();
    }
    const std::vector<double> weights = AllWeights(net);
    ASSERT_EQ(weights.size(), c.After.size());
    for (std::size_t i = 0; i < weights.size(); ++i) EXPECT_NEAR(weights[i], c.After[i], 1e-12) << i;
  }
}

}  // namespace
}  // namespace halvorn
