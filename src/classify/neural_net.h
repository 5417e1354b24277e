// A small feed-forward network of sigmoid neurons trained by error
// back-propagation with momentum. It knows nothing of mail: the learning tests
// use it through the scoring network (quor_neural_net.h), which adds a lock,
// weight texts and reports.
//
// Structure. NeuronsInLayer holds one decimal line per layer, the input layer
// first; Init builds the layers from it, every weight 0 (so a fresh network
// answers 0.5 for any input). While AutoInit is on (it is after creation),
// every change of the lines (AddLayer, DeleteLayer, Clear, SetNeuronsInLayer)
// rebuilds the layers at once. A neuron of layer L >= 1 has N + 1 weights, N
// being the size of layer L - 1: weight j for neuron j below, the last one the
// bias, whose input is the constant 1.
//
// Training. AddPattern stores (input, desired output) pairs; Teach runs epochs
// EpochCurrent .. EpochCount over all patterns in a fresh random order each
// epoch, updating the weights after every pattern. With ContinueTeach on the
// weights and the epoch counter carry on; with it off Teach starts from random
// weights at epoch 1. So ContinueTeach with EpochCount = EpochCurrent + 1 runs
// exactly two epochs.
//
// Random numbers. Each network owns its generator; "reseeding from the clock"
// (InitWeights, Teach, ShakeWeights) reseeds that one only.
// SetRandomSeedForTests pins the seed every reseed uses.
//
// Errors. Wrong vector lengths raise EInOutDimensionError, a negative neuron
// count ENeuronCountError, an index outside the layers, neurons, weights or
// patterns std::out_of_range (each with its fixed text), a layer line that is
// no number EConvertError (date_time.h). The network is unchanged in each
// case, except that Init keeps the layers it built before a bad line.
//
// Threads. No lock: one thread at a time. The scoring network wraps every
// operation other threads reach in its own lock. Not copyable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace halvorn {

using TVectorFloat = std::vector<double>;
using TVectorInt = std::vector<std::int32_t>;
using TMatrixFloat = std::vector<TVectorFloat>;

class EInOutDimensionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ENeuronCountError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TNeuralNetBP;

// One neuron. Plain data, guarded by whoever guards its network.
class TNeuronBP {
 public:
  // Bound to the network whose Activation it uses; no weights yet.
  explicit TNeuronBP(const TNeuralNetBP& net) : FNet(&net) {}
  TNeuronBP(const TNeuronBP&) = delete;
  TNeuronBP& operator=(const TNeuronBP&) = delete;

  // The last output; for an input neuron the input value.
  double Output = 0;
  // Error term of the last backward pass.
  double Delta = 0;
  // N + 1 entries on layers 1 and up (the last is the bias); none on layer 0.
  TVectorFloat Weights;
  // The changes of the last update (momentum), as long as Weights.
  TVectorFloat PreviousChanges;

  // Every weight uniform in [0, 1).
  void RandomizeWeights(std::mt19937_64& random);
  // Output := Activation(sum of Weights[j] * input[j] + Weights[N]), N the
  // input length. The caller gives exactly N inputs.
  void ComputeOutput(const TVectorFloat& input);
  // One weight; std::out_of_range "Number of weight is incorrectly specified
  // <index>" outside Weights.
  double GetWeight(int index) const;
  void SetWeight(int index, double value);

 private:
  const TNeuralNetBP* FNet;
};

// One layer: its number and its neurons, which it owns.
class TLayerBP {
 public:
  TLayerBP(const TNeuralNetBP& net, int index, int neuronCount);
  TLayerBP(const TLayerBP&) = delete;
  TLayerBP& operator=(const TLayerBP&) = delete;

  int Index() const { return FIndex; }
  int NeuronCount() const { return static_cast<int>(FNeurons.size()); }
  // The caller keeps i within 0 .. NeuronCount() - 1.
  TNeuronBP& Neuron(int i) { return *FNeurons[static_cast<std::size_t>(i)]; }
  const TNeuronBP& Neuron(int i) const { return *FNeurons[static_cast<std::size_t>(i)]; }
  void SetIndex(int index) { FIndex = index; }

 private:
  int FIndex;
  std::vector<std::unique_ptr<TNeuronBP>> FNeurons;
};

// The layers and the stored training patterns.
class TNeuralNet {
 public:
  TNeuralNet() = default;
  virtual ~TNeuralNet() = default;
  TNeuralNet(const TNeuralNet&) = delete;
  TNeuralNet& operator=(const TNeuralNet&) = delete;

  virtual int GetLayerCount() const;
  // Neurons of layer 0; 0 without layers.
  virtual int GetInputCount() const;
  // Neurons of the last layer; 0 without layers.
  virtual int GetOutputCount() const;
  // Frees every layer.
  virtual void DeleteLayers();
  // PatternCount rows of GetInputCount (GetOutputCount) entries, keeping
  // what fits.
  virtual void ResizeInputPatterns();
  virtual void ResizeOutputPatterns();
  // The count (0 when negative); both matrices follow.
  virtual void SetPatternCount(int count);
  virtual void AddLayer(int neuronCount) = 0;
  virtual void DeleteLayer(int index) = 0;
  // Stores a pattern as the last row. EInOutDimensionError "Dimension of an
  // entrance vector is incorrectly established" / "Dimension of a target
  // vector is incorrectly established" for a wrong length; nothing stored.
  virtual void AddPattern(const TVectorFloat& input, const TVectorFloat& desired);
  // Removes pattern `index`; std::out_of_range "Output for borders of a file
  // of examples <index>" outside the patterns.
  virtual void DeletePattern(int index);
  // No patterns.
  virtual void ResetPatterns();

  int PatternCount() const { return FPatternCount; }

 protected:
  std::vector<std::unique_ptr<TLayerBP>> FLayers;
  int FPatternCount = 0;
  TMatrixFloat FInputPatterns;
  TMatrixFloat FOutputPatterns;
};

class TNeuralNetBP : public TNeuralNet {
 public:
  // One input layer of 0 neurons (NeuronsInLayer "0"), AutoInit on, then the
  // defaults (SetDefaults).
  TNeuralNetBP();

  // ---- Settings, each with the range its setter keeps

  double Alpha() const { return FAlpha; }
  // Kept when 0.01 <= x <= 10, else 1.0.
  virtual void SetAlpha(double x);
  double TeachRate() const { return FTeachRate; }
  // Kept when 0 < x <= 1, else 0.1.
  virtual void SetTeachRate(double x);
  double Momentum() const { return FMomentum; }
  // Kept when 0 <= x <= 1, else 0.9.
  virtual void SetMomentum(double x);
  int EpochCount() const { return FEpochCount; }
  // Kept when n >= 1, else 1.
  virtual void SetEpochCount(int n);
  bool ContinueTeach() const { return FContinueTeach; }
  virtual void SetContinueTeach(bool on);
  bool AutoInit() const { return FAutoInit; }
  virtual void SetAutoInit(bool on);
  // A flag kept with the network; training does not consult it.
  bool Epoch() const { return FEpoch; }
  virtual void SetEpoch(bool on);
  // A pattern whose error is below it counts as recognised; 0 unless set.
  double IdentError() const { return FIdentError; }
  virtual void SetIdentError(double x);

  // ---- What training left

  int EpochCurrent() const { return FEpochCurrent; }
  double TeachError() const { return FTeachError; }
  double MaxTeachResidual() const { return FMaxTeachResidual; }
  double MidTeachResidual() const { return FMidTeachResidual; }
  int RecognizedTeachCount() const { return FRecognizedTeachCount; }
  // The order of the last epoch.
  const TVectorInt& PatternOrder() const { return FPatternOrder; }
  // Teach ends after the current epoch while the request is set, and says so
  // in Stopped.
  void SetStopRequest(bool on) { FStopRequest = on; }
  bool Stopped() const { return FStopped; }

  // ---- Structure

  const std::vector<std::string>& NeuronsInLayer() const { return FNeuronsInLayer; }
  // Replaces the lines (rebuilding with AutoInit).
  virtual void SetNeuronsInLayer(std::vector<std::string> lines);
  // Appends a layer of that many neurons; ENeuronCountError "Number of
  // neurons is incorrectly specified" for a negative count.
  void AddLayer(int neuronCount) override;
  // Removes line `index`; std::out_of_range "Number of a layer is
  // incorrectly specified <index>" outside the layers. With AutoInit the
  // layers are rebuilt; without it the layer object goes and the later ones
  // move down (their weights wait for Init).
  void DeleteLayer(int index) override;
  // No layers, no lines.
  virtual void Clear();
  // Builds the layers from NeuronsInLayer, every weight and momentum 0.
  virtual void Init();
  // The layer; std::out_of_range outside the layers.
  TLayerBP& GetLayer(int index);
  const TLayerBP& GetLayer(int index) const;

  // ---- Computing

  // The output of neuron `index` of the last layer; std::out_of_range
  // "Number of neuron is incorrectly specified <index>" outside it.
  virtual double GetOutput(int index) const;
  // 1 / (1 + e^(-Alpha x)).
  virtual double Activation(double x) const;
  // Alpha y (1 - y), y a neuron's output.
  virtual double ActivationDerivative(double y) const;
  // Sets the input neurons and runs the forward pass; EInOutDimensionError
  // "The quantity entrance neuron is incorrectly established" for a vector
  // not as long as the input layer.
  virtual void Compute(const TVectorFloat& input);
  // The forward pass over layers 1 .. last.
  virtual void Propagate();
  // Half the summed squared differences of outputs and desired outputs.
  virtual double PatternError() const;
  // The backward pass (all deltas from the weights before this update).
  virtual void ComputeDeltas();
  // change = -TeachRate * Delta * x + Momentum * previous change, per weight.
  virtual void AdjustWeights();

  // ---- Training

  virtual void Teach();
  // Reseeds, then every weight of layers 1 and up uniform in [0, 1).
  virtual void InitWeights();
  // Reseeds, then adds uniform [-0.05, 0.05) to every weight of layers 1 and
  // up.
  virtual void ShakeWeights();
  // Alpha 1, ContinueTeach off, Epoch on, EpochCount 10000, Momentum 0.9,
  // TeachRate 0.1, no patterns.
  virtual void SetDefaults();
  // The input neurons take pattern `row`; std::out_of_range as
  // DeletePattern's outside the patterns.
  virtual void LoadInputPattern(int row);
  // The desired outputs take pattern `row`; the same range error.
  virtual void LoadOutputPattern(int row);
  // A cell of the input patterns; 0 for a cell that does not exist.
  double InputPatternCell(int row, int column) const;
  // Sets a cell that exists (others are ignored).
  void SetInputPatternCell(int row, int column, double value);
  // The desired outputs of the pattern being trained.
  const TVectorFloat& DesiredOutputs() const { return FDesiredOutputs; }
  void SetDesiredOutput(int index, double value);

  // Pins the seed every reseed of this network uses (nullopt: the clock
  // again). For tests.
  void SetRandomSeedForTests(std::optional<std::uint64_t> seed) { FFixedSeed = seed; }

 protected:
  // Hooks around the work; nothing here. DoAfterNeuronCreated runs after the
  // neuron's momentum is zeroed.
  virtual void DoBeforeInit() {}
  virtual void DoAfterInit() {}
  virtual void DoAfterNeuronCreated(int /*layer*/, int /*neuron*/) {}
  virtual void DoBeforeTeach() {}
  virtual void DoAfterTeach() {}
  virtual void DoEpochPassed() {}

 private:
  void Reseed();
  void Shuffle();
  void ChangedNeuronsInLayer();

  double FAlpha = 1.0;
  bool FAutoInit = false;
  bool FContinueTeach = false;
  TVectorFloat FDesiredOutputs;
  bool FEpoch = true;
  int FEpochCount = 10000;
  int FEpochCurrent = 0;
  double FIdentError = 0;
  double FMaxTeachResidual = 0;
  double FMidTeachResidual = 0;
  double FTeachError = 0;
  double FMomentum = 0.9;
  std::vector<std::string> FNeuronsInLayer;
  TVectorInt FPatternOrder;
  int FRecognizedTeachCount = 0;
  bool FStopRequest = false;
  bool FStopped = false;
  double FTeachRate = 0.1;
  std::mt19937_64 FRandom;
  std::optional<std::uint64_t> FFixedSeed;
  TVectorFloat FScratch;  // the outputs of the layer below, reused
};

}  // namespace halvorn
