// The scoring network: weight texts in all six forms (against texts Python
// builds with struct and base64), damaged texts, the number encoding of the
// inputs (against a Python transcription), value formatting, the report
// (against a fixture) and the ageing of patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "classify/quor_neural_net.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_compression.h"
#include "support/neural_net_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::AllWeights;
using test::BuildNet;
using test::LayerSizes;

std::string Record(std::int32_t layer, std::int32_t neuron, std::int32_t count,
                   const std::vector<double>& values) {
  std::string bytes(12 + 8 * values.size(), '\0');
  std::memcpy(bytes.data(), &layer, 4);
  std::memcpy(bytes.data() + 4, &neuron, 4);
  std::memcpy(bytes.data() + 8, &count, 4);
  if (!values.empty()) std::memcpy(bytes.data() + 12, values.data(), 8 * values.size());
  return bytes;
}

std::string Doubles(const std::vector<double>& values) {
  std::string bytes(8 * values.size(), '\0');
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

TEST(QuorNeuralNet, NewNetworkWritesOneZeroRecordAndEveryFormReadsBack) {
  TQuorNeuralNet fresh;
  EXPECT_EQ(fresh.Name(), "Un-named NN");
  BuildNet(fresh, {6, 1});
  EXPECT_EQ(fresh.GetWeightTextAs(2), "f" + Record(1, 0, 7, std::vector<double>(7, 0.0)));
  EXPECT_EQ(fresh.GetWeightText()[0], 'd');

  TQuorNeuralNet net;
  BuildNet(net, {5, 4, 3, 1});
  net.SetRandomSeedForTests(7);
  net.InitWeights();
  for (std::uint8_t form : {0, 1, 2}) {
    SCOPED_TRACE(static_cast<int>(form));
    const std::string text = net.GetWeightTextAs(form);
    TQuorNeuralNet copy;
    BuildNet(copy, {5, 4, 3, 1});
    EXPECT_TRUE(copy.SetWeightText(text));
    EXPECT_EQ(AllWeights(copy), AllWeights(net));
    EXPECT_EQ(copy.GetWeightTextAs(form), text);
    copy.SetWeightTextForm(form);
    EXPECT_EQ(copy.GetWeightText(), text);
  }
}

// Texts built by Python's struct and base64: the 68-byte record of a 6-1
// network as "e" and "f", and the older "b" (6;1) and "c" (3;1) forms.
TEST(QuorNeuralNet, ReadsTextsPythonBuilt) {
  const std::string script = R"(
import base64, struct
w = [0.5, -1.25, 2.0, 0.0, 0.125, -0.5, 0.25]
payload = struct.pack('<iii7d', 1, 0, 7, *w)
assert len(payload) == 68
print('E', 'e' + base64.b64encode(payload).decode())
print('F', (b'f' + payload).hex())
old = b'6;1~' + struct.pack('<8d', *(w[:6] + [9.0, 0.75]))
print('B', 'b' + base64.b64encode(old).decode())
print('C', (b'c3;1~' + struct.pack('<5d', 1.5, -2.5, 3.5, 99.0, -0.125)).hex())
)";
  const auto result = test::RunPython(script);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  std::map<std::string, std::string> texts;
  for (const std::string& line : test::OutputLines(result.Output)) {
    const std::size_t blank = line.find(' ');
    texts[line.substr(0, blank)] = line.substr(blank + 1);
  }
  const std::vector<double> current = {0.5, -1.25, 2.0, 0.0, 0.125, -0.5, 0.25};
  struct Row {
    std::string Text;
    std::vector<int> Sizes;
    std::vector<double> Weights;
  };
  const Row rows[] = {
      {texts["E"], {6, 1}, current},
      {test::BytesFromHex(texts["F"]), {6, 1}, current},
      {texts["B"], {6, 1}, {0.5, -1.25, 2.0, 0.0, 0.125, -0.5, 0.75}},
      {test::BytesFromHex(texts["C"]), {3, 1}, {1.5, -2.5, 3.5, -0.125}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Text.substr(0, 1));
    TQuorNeuralNet net;
    BuildNet(net, {6, 1});
    EXPECT_TRUE(net.SetWeightText(row.Text));
    EXPECT_EQ(LayerSizes(net), row.Sizes);
    EXPECT_EQ(AllWeights(net), row.Weights);
  }
}

TEST(QuorNeuralNet, LargerAndSmallerNetworksTakeWhatFits) {
  TQuorNeuralNet source;
  BuildNet(source, {6, 1});
  for (int i = 0; i < 7; ++i) source.GetLayer(1).Neuron(0).SetWeight(i, i + 1.0);
  const std::string text = source.GetWeightTextAs(2);

  TQuorNeuralNet larger;
  BuildNet(larger, {8, 1});
  larger.GetLayer(1).Neuron(0).SetWeight(7, -7.0);
  larger.GetLayer(1).Neuron(0).SetWeight(8, -8.0);
  EXPECT_TRUE(larger.SetWeightText(text));
  EXPECT_EQ(AllWeights(larger), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, -7, -8}));

  TQuorNeuralNet smaller;
  BuildNet(smaller, {4, 1});
  EXPECT_TRUE(smaller.SetWeightText(text));
  EXPECT_EQ(AllWeights(smaller), (std::vector<double>{1, 2, 3, 4, 5}));

  // A record of another layer or neuron is skipped, and the rest is read.
  TQuorNeuralNet skipping;
  BuildNet(skipping, {2, 1});
  EXPECT_TRUE(skipping.SetWeightText("f" + Record(2, 0, 1, {9}) + Record(1, 3, 1, {9}) +
                                     Record(0, 0, 1, {9}) + Record(1, 0, 3, {4, 5, 6})));
  EXPECT_EQ(AllWeights(skipping), (std::vector<double>{4, 5, 6}));
}

TEST(QuorNeuralNet, DamagedTextsLeaveTheNetworkAsItWas) {
  const std::string ones7 = Record(1, 0, 7, std::vector<double>(7, 1.0));
  std::string cutCompressed = ones7;
  CompressText(cutCompressed);
  std::string manyLayers;
  for (int i = 0; i < kMaxLegacyLayers + 1; ++i) manyLayers += "1;";
  struct Row {
    const char* Why;
    std::string Text;
  };
  const Row rows[] = {
      {"empty", ""},
      {"unknown letter", "x" + Base64Encode(ones7)},
      {"a letter alone", "e"},
      {"no payload", "f"},
      {"cut record", "f" + ones7.substr(0, 40)},
      {"cut header", "f" + ones7.substr(0, 9)},
      {"negative count", "f" + Record(1, 0, -1, {}) + Doubles(std::vector<double>(7, 1.0))},
      {"count beyond the payload", "f" + Record(1, 0, 0x7FFFFFFF, {1.0})},
      {"cut compressed text", "d" + cutCompressed.substr(0, cutCompressed.size() / 2)},
      {"legacy without layers", "c~" + Doubles({1, 2, 3})},
      {"legacy without a tilde", "c6;1"},
      {"legacy layer no number", "c6;x~" + Doubles(std::vector<double>(8, 1.0))},
      {"legacy negative layer", "c6;-1~" + Doubles(std::vector<double>(8, 1.0))},
      {"legacy enormous layer", "c6;4000000000~" + Doubles(std::vector<double>(8, 1.0))},
      {"legacy huge input layer", "c999999;1~" + Doubles(std::vector<double>(8, 1.0))},
      {"legacy too many layers", "c" + manyLayers + "~" + Doubles(std::vector<double>(300, 1.0))},
      {"legacy too few doubles", "c6;1~" + Doubles(std::vector<double>(7, 1.0))},
      {"legacy base64 too few doubles", "b" + Base64Encode("6;1~" + Doubles({1, 2}))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Why);
    TQuorNeuralNet net;
    BuildNet(net, {6, 1});
    net.GetLayer(1).Neuron(0).SetWeight(3, 0.5);
    const std::string before = net.GetWeightTextAs(2);
    EXPECT_FALSE(net.SetWeightText(row.Text));
    EXPECT_EQ(LayerSizes(net), (std::vector<int>{6, 1}));
    EXPECT_EQ(net.GetWeightTextAs(2), before);
  }

  // Records before the damage stay applied.
  TQuorNeuralNet twoLayers;
  BuildNet(twoLayers, {2, 1, 1});
  EXPECT_FALSE(twoLayers.SetWeightText("f" + Record(1, 0, 3, {1, 2, 3}) +
                                       Record(2, 0, 2, {4, 5}).substr(0, 20)));
  EXPECT_EQ(AllWeights(twoLayers), (std::vector<double>{1, 2, 3, 0, 0}));
}

// ---- Encoding numbers

TEST(QuorNeuralNet, EncodeNumberToInputsAgreesWithPython) {
  struct Row {
    int Start;
    std::uint32_t Minimum;
    std::uint32_t Maximum;
    int N;
    std::uint32_t Value;
  };
  const Row rows[] = {
      {0, 0, 0, 7, 5},              {0, 0, 1024, 8, 1023},   {0, 0, 1024, 8, 1024},
      {0, 0, 1024, 8, 2000},        {0, 0, 1024, 8, 512},    {0, 0, 999, 8, 999},
      {0, 0, 999, 8, 998},          {0, 0, 2000, 9, 2001},   {0, 0, 2000, 9, 1999},
      {3, 10, 20, 4, 15},           {3, 10, 20, 4, 9},       {3, 10, 20, 4, 21},
      {0, 0, 0xFFFFFFFF, 32, 12345}, {0, 0, 0, 32, 0xFFFFFFFF}, {0, 5, 5, 4, 7},
      {0, 1000, 1000, 8, 1500},     {0, 100, 50, 8, 120},    {0, 0, 10, 0, 3},
      {2, 0, 100, 40, 77},          {0, 7, 3000000000u, 16, 2999999999u},
  };
  std::string input;
  for (const Row& row : rows)
    input += std::to_string(row.Minimum) + " " + std::to_string(row.Maximum) + " " +
             std::to_string(row.N) + " " + std::to_string(row.Value) + "\n";
  const auto result = test::RunNetOracle(
      "for line in sys.stdin:\n"
      "    a, b, n, v = map(int, line.split())\n"
      "    print(''.join(map(str, o.encode_number(a, b, n, v))))\n",
      input);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  const std::vector<std::string> expected = test::OutputLines(result.Output);
  ASSERT_EQ(expected.size(), std::size(rows));
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(std::to_string(row.Minimum) + ".." +
                 std::to_string(row.Maximum) + " n " + std::to_string(row.N) + " value " +
                 std::to_string(row.Value));
    TVectorFloat vector(static_cast<std::size_t>(row.Start), 0.25);
    EncodeNumberToInputs(row.Start, row.Minimum, row.Maximum, row.N, row.Value, vector);
    std::string bits;
    for (std::size_t i = static_cast<std::size_t>(row.Start); i < vector.size(); ++i)
      bits += vector[i] == 1.0 ? '1' : '0';
    EXPECT_EQ(bits, expected[r]);
    for (int i = 0; i < row.Start; ++i) EXPECT_EQ(vector[static_cast<std::size_t>(i)], 0.25);
  }
  // The examples: 2000 beyond a maximum of 1024 is every bit, like 1024.
  TVectorFloat vector;
  EncodeNumberToInputs(0, 0, 1024, 8, 2000, vector);
  EXPECT_EQ(vector, TVectorFloat(8, 1.0));
  EncodeNumberToInputs(0, 0, 0, 7, 5, vector);
  EXPECT_EQ(vector, (TVectorFloat{1, 0, 1, 0, 0, 0, 0, 1}));  // entry 7 is not touched
  EXPECT_THROW(EncodeNumberToInputs(-1, 0, 1, 1, 0, vector), std::out_of_range);
}

// ---- Formatting and the report

TEST(QuorNeuralNet, FormatNetValue) {
  const std::pair<double, const char*> rows[] = {
      {3, "03.000000000"},         {-0.5, "-0.500000000"},  {123.25, "123.250000000"},
      {0, "00.000000000"},         {-0.0, "00.000000000"},  {-1e-12, "00.000000000"},
      {0.0000000004, "00.000000000"}, {0.0000000006, "00.000000001"}, {-12.5, "-12.500000000"},
      {10000, "10000.000000000"},
  };
  for (const auto& [value, text] : rows) EXPECT_EQ(TQuorNeuralNet::FormatNetValue(value), text);
}

TEST(QuorNeuralNet, ReportMatchesTheFixture) {
  TQuorNeuralNet net;
  BuildNet(net, {6, 1});
  net.SetName("HTMLCheck NN");
  net.SetInputNames({"Scripts", "Frames", "Objects", "Images"});
  const std::vector<double> weights = {0.5, -1.25, 2, 0, 0.125, -0.5, 0.25};
  for (int i = 0; i < 7; ++i) net.GetLayer(1).Neuron(0).SetWeight(i, weights[i]);
  net.EvaluateInputs(TVectorFloat{1, 0, 1, 0.75, 0, 1});
  TStringList report;
  report.Add("before");
  net.WriteReport(0x33, 0, report);
  TStringList expected;
  ASSERT_TRUE(expected.LoadFromFile(test::DataPath("quor_neural_net_report.txt")));
  expected.Insert(0, "before");
  EXPECT_EQ(report.ToVector(), expected.ToVector());
  EXPECT_EQ(net.InputNames(), (std::vector<std::string>{"Scripts", "Frames", "Objects", "Images",
                                                        "?HTMLCheck NN?", "?HTMLCheck NN?"}));

  // Without the active-only flag every input is listed, without values.
  TStringList all;
  net.WriteReport(kNetReportWeights, 0, all);
  EXPECT_EQ(all[all.Count() - 8], "Test            Mask  Weight        ");
  EXPECT_EQ(all[all.Count() - 1], "Weight total = 00.875000000");
}

// ---- Patterns

TEST(QuorNeuralNet, PatternsAgeOnlyTowardsALifetimeSomeoneSet) {
  TQuorNeuralNet net;
  BuildNet(net, {2, 1});
  for (int p = 0; p < 4; ++p) net.AddPattern({p * 1.0, 1.0}, {p % 2 * 1.0});
  EXPECT_EQ(net.GetPatternLifetime(0), 2147483647);
  EXPECT_EQ(net.GetPatternLifetime(-1), 2147483647);
  net.SetContinueTeach(true);
  net.SetEpochCount(3);
  net.Teach();  // epochs 0 .. 3
  EXPECT_EQ(net.PatternCount(), 4);
  EXPECT_EQ(net.GetPatternAge(0), 4);

  net.SetPatternLifetime(1, 6);  // two more epochs
  net.SetEpochCount(net.EpochCurrent() + 1);
  net.Teach();
  EXPECT_EQ(net.PatternCount(), 3);
  TVectorFloat input;
  TVectorFloat desired;
  net.GetPattern(1, input, desired);
  EXPECT_EQ(input, (TVectorFloat{2.0, 1.0}));  // pattern 2 moved down
  EXPECT_EQ(net.GetPatternLifetime(1), 2147483647);
  EXPECT_EQ(net.GetPatternAge(1), 6);
  net.ResetPatterns();
  EXPECT_EQ(net.PatternCount(), 0);
  EXPECT_EQ(net.GetPatternAge(0), 0);
}

TEST(QuorNeuralNet, InputsAndMask) {
  TQuorNeuralNet net;
  BuildNet(net, {3, 1});
  EXPECT_EQ(net.GetInputMask(), std::vector<bool>(3, true));
  TVectorFloat input = {0.25, 0.5, 0.75};
  net.EvaluateInputs(input, true);
  EXPECT_EQ(input, (TVectorFloat{0.25, 0.5, 0.75}));
  EXPECT_EQ(net.GetInputValue(-4), 0.25);
  EXPECT_EQ(net.GetInputValue(1), 0.5);
  EXPECT_EQ(net.GetInputValue(9), 0.75);
  net.SetInputWeight(2, 0, 1.5);
  EXPECT_EQ(net.AverageInputWeight(2, 0), 1.5);
  EXPECT_EQ(net.AverageInputWeight(2, 1), 0.0);  // no layer 2
  EXPECT_EQ(net.GetNeuronBias(0, 1), 0.0);
  EXPECT_EQ(net.GetNeuronBias(3, 1), 0.0);
  EXPECT_THROW(net.EvaluateInputs(TVectorFloat{1.0}), EInOutDimensionError);
  EXPECT_DOUBLE_EQ(net.EvaluateInputs(TVectorFloat{0, 0, 2}), 1 / (1 + std::exp(-3.0)));
}

}  // namespace
}  // namespace halvorn
