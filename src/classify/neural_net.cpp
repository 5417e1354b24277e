#include "classify/neural_net.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <utility>

#include "foundation/text/numbers.h"
#include "foundation/time/date_time.h"

namespace halvorn {

namespace {

std::out_of_range IndexError(const char* text, int index) {
  return std::out_of_range(std::string(text) + " " + std::to_string(index));
}

// The neuron count of a layer line; EConvertError for a line that is no
// decimal number, ENeuronCountError for a negative one.
int LayerLineCount(const std::string& line) {
  std::int32_t count = 0;
  if (!TryStrToInt(line, count)) throw EConvertError("'" + line + "' is not a valid integer value");
  if (count < 0) throw ENeuronCountError("Number of neurons is incorrectly specified");
  return count;
}

}  // namespace

// ---- TNeuronBP

void TNeuronBP::RandomizeWeights(std::mt19937_64& random) {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (double& weight : Weights) weight = uniform(random);
}

void TNeuronBP::ComputeOutput(const TVectorFloat& input) {
  // Init gives every neuron one weight per input plus the bias; a layer left
  // unbuilt (AutoInit off) reads missing weights as 0.
  const std::size_t n = std::min(input.size(), Weights.empty() ? 0 : Weights.size() - 1);
  double sum = 0;
  for (std::size_t j = 0; j < n; ++j) sum += Weights[j] * input[j];
  if (input.size() < Weights.size()) sum += Weights[input.size()];
  Output = FNet->Activation(sum);
}

double TNeuronBP::GetWeight(int index) const {
  if (index < 0 || index >= static_cast<int>(Weights.size()))
    throw IndexError("Number of weight is incorrectly specified", index);
  return Weights[static_cast<std::size_t>(index)];
}

void TNeuronBP::SetWeight(int index, double value) {
  if (index < 0 || index >= static_cast<int>(Weights.size()))
    throw IndexError("Number of weight is incorrectly specified", index);
  Weights[static_cast<std::size_t>(index)] = value;
}

// ---- TLayerBP

TLayerBP::TLayerBP(const TNeuralNetBP& net, int index, int neuronCount) : FIndex(index) {
  FNeurons.reserve(static_cast<std::size_t>(std::max(neuronCount, 0)));
  for (int i = 0; i < neuronCount; ++i) FNeurons.push_back(std::make_unique<TNeuronBP>(net));
}

// ---- TNeuralNet

int TNeuralNet::GetLayerCount() const { return static_cast<int>(FLayers.size()); }

int TNeuralNet::GetInputCount() const {
  return FLayers.empty() || !FLayers.front() ? 0 : FLayers.front()->NeuronCount();
}

int TNeuralNet::GetOutputCount() const {
  return FLayers.empty() || !FLayers.back() ? 0 : FLayers.back()->NeuronCount();
}

void TNeuralNet::DeleteLayers() { FLayers.clear(); }

void TNeuralNet::ResizeInputPatterns() {
  FInputPatterns.resize(static_cast<std::size_t>(FPatternCount));
  for (TVectorFloat& row : FInputPatterns) row.resize(static_cast<std::size_t>(GetInputCount()));
}

void TNeuralNet::ResizeOutputPatterns() {
  FOutputPatterns.resize(static_cast<std::size_t>(FPatternCount));
  for (TVectorFloat& row : FOutputPatterns) row.resize(static_cast<std::size_t>(GetOutputCount()));
}

void TNeuralNet::SetPatternCount(int count) {
  FPatternCount = std::max(count, 0);
  ResizeInputPatterns();
  ResizeOutputPatterns();
}

void TNeuralNet::AddPattern(const TVectorFloat& input, const TVectorFloat& desired) {
  if (static_cast<int>(input.size()) != GetInputCount())
    throw EInOutDimensionError("Dimension of an entrance vector is incorrectly established");
  if (static_cast<int>(desired.size()) != GetOutputCount())
    throw EInOutDimensionError("Dimension of a target vector is incorrectly established");
  SetPatternCount(FPatternCount + 1);
  FInputPatterns.back() = input;
  FOutputPatterns.back() = desired;
}

void TNeuralNet::DeletePattern(int index) {
  if (index < 0 || index >= FPatternCount)
    throw IndexError("Output for borders of a file of examples", index);
  FInputPatterns.erase(FInputPatterns.begin() + index);
  FOutputPatterns.erase(FOutputPatterns.begin() + index);
  SetPatternCount(FPatternCount - 1);
}

void TNeuralNet::ResetPatterns() {
  FPatternCount = 0;
  FInputPatterns.clear();
  FOutputPatterns.clear();
}

// ---- TNeuralNetBP

TNeuralNetBP::TNeuralNetBP() {
  // The first line goes in before AutoInit is on; the one Init below builds
  // the input layer of 0 neurons. (A constructor runs this class's own
  // functions, not a subclass's.)
  TNeuralNetBP::AddLayer(0);
  FAutoInit = true;
  TNeuralNetBP::Init();
  TNeuralNetBP::SetDefaults();
}

void TNeuralNetBP::SetAlpha(double x) { FAlpha = x >= 0.01 && x <= 10 ? x : 1.0; }

void TNeuralNetBP::SetTeachRate(double x) { FTeachRate = x > 0 && x <= 1 ? x : 0.1; }

void TNeuralNetBP::SetMomentum(double x) { FMomentum = x >= 0 && x <= 1 ? x : 0.9; }

void TNeuralNetBP::SetEpochCount(int n) { FEpochCount = n >= 1 ? n : 1; }

void TNeuralNetBP::SetContinueTeach(bool on) { FContinueTeach = on; }

void TNeuralNetBP::SetAutoInit(bool on) { FAutoInit = on; }

void TNeuralNetBP::SetEpoch(bool on) { FEpoch = on; }

void TNeuralNetBP::SetIdentError(double x) { FIdentError = x; }

void TNeuralNetBP::ChangedNeuronsInLayer() {
  if (FAutoInit) Init();
}

void TNeuralNetBP::SetNeuronsInLayer(std::vector<std::string> lines) {
  FNeuronsInLayer = std::move(lines);
  ChangedNeuronsInLayer();
}

void TNeuralNetBP::AddLayer(int neuronCount) {
  if (neuronCount < 0) throw ENeuronCountError("Number of neurons is incorrectly specified");
  FNeuronsInLayer.push_back(std::to_string(neuronCount));
  ChangedNeuronsInLayer();
}

void TNeuralNetBP::DeleteLayer(int index) {
  if (index < 0 || index >= GetLayerCount())
    throw IndexError("Number of a layer is incorrectly specified", index);
  if (index < static_cast<int>(FNeuronsInLayer.size()))
    FNeuronsInLayer.erase(FNeuronsInLayer.begin() + index);
  if (FAutoInit) {
    Init();
    return;
  }
  FLayers.erase(FLayers.begin() + index);
  for (std::size_t i = static_cast<std::size_t>(index); i < FLayers.size(); ++i)
    if (FLayers[i]) FLayers[i]->SetIndex(static_cast<int>(i));
}

void TNeuralNetBP::Clear() {
  DeleteLayers();
  FNeuronsInLayer.clear();
  ChangedNeuronsInLayer();
}

void TNeuralNetBP::Init() {
  DoBeforeInit();
  if (!FNeuronsInLayer.empty()) {
    // Every line is read before anything changes, so a bad line leaves the
    // layers as they were.
    std::vector<int> counts;
    counts.reserve(FNeuronsInLayer.size());
    for (const std::string& line : FNeuronsInLayer) counts.push_back(LayerLineCount(line));
    std::vector<std::unique_ptr<TLayerBP>> layers;
    layers.reserve(counts.size());
    for (std::size_t layerIndex = 0; layerIndex < counts.size(); ++layerIndex) {
      layers.push_back(
          std::make_unique<TLayerBP>(*this, static_cast<int>(layerIndex), counts[layerIndex]));
      if (layerIndex == 0) continue;
      const std::size_t weights = static_cast<std::size_t>(counts[layerIndex - 1]) + 1;
      TLayerBP& layer = *layers.back();
      for (int i = 0; i < layer.NeuronCount(); ++i) {
        TNeuronBP& neuron = layer.Neuron(i);
        neuron.Weights.assign(weights, 0.0);
        neuron.PreviousChanges.assign(weights, 0.0);
      }
    }
    FLayers = std::move(layers);
    for (int layerIndex = 1; layerIndex < GetLayerCount(); ++layerIndex)
      for (int i = 0; i < FLayers[static_cast<std::size_t>(layerIndex)]->NeuronCount(); ++i)
        DoAfterNeuronCreated(layerIndex, i);
  }
  FDesiredOutputs.assign(static_cast<std::size_t>(GetOutputCount()), 0.0);
  DoAfterInit();
}

TLayerBP& TNeuralNetBP::GetLayer(int index) {
  if (index < 0 || index >= GetLayerCount() || !FLayers[static_cast<std::size_t>(index)])
    throw IndexError("Number of a layer is incorrectly specified", index);
  return *FLayers[static_cast<std::size_t>(index)];
}

const TLayerBP& TNeuralNetBP::GetLayer(int index) const {
  return const_cast<TNeuralNetBP*>(this)->GetLayer(index);
}

double TNeuralNetBP::GetOutput(int index) const {
  if (FLayers.empty() || index < 0 || index >= GetOutputCount())
    throw IndexError("Number of neuron is incorrectly specified", index);
  return FLayers.back()->Neuron(index).Output;
}

double TNeuralNetBP::Activation(double x) const { return 1.0 / (1.0 + std::exp(-FAlpha * x)); }

double TNeuralNetBP::ActivationDerivative(double y) const { return FAlpha * y * (1.0 - y); }

void TNeuralNetBP::Compute(const TVectorFloat& input) {
  if (static_cast<int>(input.size()) != GetInputCount())
    throw EInOutDimensionError("The quantity entrance neuron is incorrectly established");
  if (FLayers.empty()) return;
  TLayerBP& inputs = *FLayers.front();
  for (int i = 0; i < inputs.NeuronCount(); ++i)
    inputs.Neuron(i).Output = input[static_cast<std::size_t>(i)];
  Propagate();
}

void TNeuralNetBP::Propagate() {
  for (std::size_t layerIndex = 1; layerIndex < FLayers.size(); ++layerIndex) {
    const TLayerBP& below = *FLayers[layerIndex - 1];
    FScratch.resize(static_cast<std::size_t>(below.NeuronCount()));
    for (int j = 0; j < below.NeuronCount(); ++j)
      FScratch[static_cast<std::size_t>(j)] = below.Neuron(j).Output;
    TLayerBP& layer = *FLayers[layerIndex];
    for (int i = 0; i < layer.NeuronCount(); ++i) layer.Neuron(i).ComputeOutput(FScratch);
  }
}

double TNeuralNetBP::PatternError() const {
  double sum = 0;
  if (FLayers.empty()) return 0;
  const TLayerBP& outputs = *FLayers.back();
  for (int i = 0; i < outputs.NeuronCount() && i < static_cast<int>(FDesiredOutputs.size()); ++i) {
    const double d = outputs.Neuron(i).Output - FDesiredOutputs[static_cast<std::size_t>(i)];
    sum += d * d;
  }
  return sum / 2;
}

void TNeuralNetBP::ComputeDeltas() {
  for (std::size_t layerIndex = FLayers.size(); layerIndex-- > 1;) {
    TLayerBP& layer = *FLayers[layerIndex];
    if (layerIndex + 1 == FLayers.size()) {
      for (int i = 0; i < layer.NeuronCount(); ++i) {
        TNeuronBP& neuron = layer.Neuron(i);
        const double desired = static_cast<std::size_t>(i) < FDesiredOutputs.size()
                                   ? FDesiredOutputs[static_cast<std::size_t>(i)]
                                   : 0.0;
        neuron.Delta = (neuron.Output - desired) * ActivationDerivative(neuron.Output);
      }
      continue;
    }
    const TLayerBP& above = *FLayers[layerIndex + 1];
    for (int i = 0; i < layer.NeuronCount(); ++i) {
      double sum = 0;
      for (int k = 0; k < above.NeuronCount(); ++k) {
        const TNeuronBP& next = above.Neuron(k);
        if (static_cast<std::size_t>(i) < next.Weights.size())
          sum += next.Weights[static_cast<std::size_t>(i)] * next.Delta;
      }
      TNeuronBP& neuron = layer.Neuron(i);
      neuron.Delta = ActivationDerivative(neuron.Output) * sum;
    }
  }
}

void TNeuralNetBP::AdjustWeights() {
  for (std::size_t layerIndex = 1; layerIndex < FLayers.size(); ++layerIndex) {
    const TLayerBP& below = *FLayers[layerIndex - 1];
    const std::size_t n = static_cast<std::size_t>(below.NeuronCount());
    TLayerBP& layer = *FLayers[layerIndex];
    for (int i = 0; i < layer.NeuronCount(); ++i) {
      TNeuronBP& neuron = layer.Neuron(i);
      const std::size_t count =
          std::min({n + 1, neuron.Weights.size(), neuron.PreviousChanges.size()});
      for (std::size_t j = 0; j < count; ++j) {
        const double x = j < n ? below.Neuron(static_cast<int>(j)).Output : 1.0;
        const double change =
            -FTeachRate * neuron.Delta * x + FMomentum * neuron.PreviousChanges[j];
        neuron.Weights[j] += change;
        neuron.PreviousChanges[j] = change;
      }
    }
  }
}

void TNeuralNetBP::Reseed() {
  if (FFixedSeed) {
    FRandom.seed(*FFixedSeed);
    return;
  }
  // Two networks reseeded in the same tick still draw apart.
  const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  FRandom.seed(static_cast<std::uint64_t>(ticks) ^ reinterpret_cast<std::uintptr_t>(this));
}

void TNeuralNetBP::Shuffle() {
  FPatternOrder.resize(static_cast<std::size_t>(FPatternCount));
  for (int i = 0; i < FPatternCount; ++i) FPatternOrder[static_cast<std::size_t>(i)] = i;
  for (int i = FPatternCount - 1; i > 0; --i) {
    std::uniform_int_distribution<int> pick(0, i);
    std::swap(FPatternOrder[static_cast<std::size_t>(i)],
              FPatternOrder[static_cast<std::size_t>(pick(FRandom))]);
  }
}

void TNeuralNetBP::Teach() {
  if (FPatternCount == 0) return;
  DoBeforeTeach();
  if (!FContinueTeach) {
    InitWeights();
    FEpochCurrent = 1;
  }
  Reseed();
  FPatternOrder.resize(static_cast<std::size_t>(FPatternCount));
  FStopped = false;
  while (FEpochCurrent <= FEpochCount) {
    FTeachError = 0;
    FMaxTeachResidual = 0;
    FRecognizedTeachCount = 0;
    Shuffle();
    for (int k = 0; k < FPatternCount; ++k) {
      const int p = FPatternOrder[static_cast<std::size_t>(k)];
      LoadInputPattern(p);
      LoadOutputPattern(p);
      Propagate();
      const double e = PatternError();
      if (e < FIdentError) ++FRecognizedTeachCount;
      FTeachError += e;
      FMaxTeachResidual = k == 0 ? e : std::max(FMaxTeachResidual, e);
      ComputeDeltas();
      AdjustWeights();
    }
    FMidTeachResidual = FPatternCount > 0 ? FTeachError / FPatternCount : 0;
    // The epoch hook may delete patterns; the next epoch uses the new count.
    DoEpochPassed();
    if (FStopRequest) {
      FStopped = true;
      return;
    }
    if (FEpochCurrent == INT_MAX) break;
    ++FEpochCurrent;
  }
  DoAfterTeach();
}

void TNeuralNetBP::InitWeights() {
  Reseed();
  for (std::size_t layerIndex = 1; layerIndex < FLayers.size(); ++layerIndex) {
    TLayerBP& layer = *FLayers[layerIndex];
    for (int i = 0; i < layer.NeuronCount(); ++i) layer.Neuron(i).RandomizeWeights(FRandom);
  }
}

void TNeuralNetBP::ShakeWeights() {
  Reseed();
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (std::size_t layerIndex = 1; layerIndex < FLayers.size(); ++layerIndex) {
    TLayerBP& layer = *FLayers[layerIndex];
    for (int i = 0; i < layer.NeuronCount(); ++i)
      for (double& weight : layer.Neuron(i).Weights) weight = uniform(FRandom) * 0.1 + weight - 0.05;
  }
}

void TNeuralNetBP::SetDefaults() {
  SetAlpha(1.0);
  FContinueTeach = false;
  FEpoch = true;
  SetEpochCount(10000);
  SetMomentum(0.9);
  SetTeachRate(0.1);
  ResizeInputPatterns();
  ResizeOutputPatterns();
  SetPatternCount(0);
}

void TNeuralNetBP::LoadInputPattern(int row) {
  if (row < 0 || row >= static_cast<int>(FInputPatterns.size()))
    throw IndexError("Output for borders of a file of examples", row);
  if (FLayers.empty()) return;
  TLayerBP& inputs = *FLayers.front();
  const TVectorFloat& pattern = FInputPatterns[static_cast<std::size_t>(row)];
  for (int i = 0; i < inputs.NeuronCount() && i < static_cast<int>(pattern.size()); ++i)
    inputs.Neuron(i).Output = pattern[static_cast<std::size_t>(i)];
}

void TNeuralNetBP::LoadOutputPattern(int row) {
  if (row < 0 || row >= static_cast<int>(FOutputPatterns.size()))
    throw IndexError("Output for borders of a file of examples", row);
  const TVectorFloat& pattern = FOutputPatterns[static_cast<std::size_t>(row)];
  for (std::size_t i = 0; i < FDesiredOutputs.size() && i < pattern.size(); ++i)
    FDesiredOutputs[i] = pattern[i];
}

double TNeuralNetBP::InputPatternCell(int row, int column) const {
  if (row < 0 || column < 0 || row >= static_cast<int>(FInputPatterns.size())) return 0;
  const TVectorFloat& pattern = FInputPatterns[static_cast<std::size_t>(row)];
  return column < static_cast<int>(pattern.size()) ? pattern[static_cast<std::size_t>(column)] : 0;
}

void TNeuralNetBP::SetInputPatternCell(int row, int column, double value) {
  if (row < 0 || column < 0 || row >= static_cast<int>(FInputPatterns.size())) return;
  TVectorFloat& pattern = FInputPatterns[static_cast<std::size_t>(row)];
  if (column < static_cast<int>(pattern.size())) pattern[static_cast<std::size_t>(column)] = value;
}

void TNeuralNetBP::SetDesiredOutput(int index, double value) {
  if (index >= 0 && index < static_cast<int>(FDesiredOutputs.size()))
    FDesiredOutputs[static_cast<std::size_t>(index)] = value;
}

}  // namespace halvorn
