// TQuorNeuralNet: the scoring network every learning test owns. Its one
// output is read as the spam likelihood of a message (1 spam, 0 personal).
//
// It adds to the back-propagation network a lock, a name and one name per
// input for reports, per-input enable flags, per-pattern ages and lifetimes,
// the weight text (every weight in one line of text, stored with the test's
// statistics) and a text report.
//
// Weight texts. One letter, then the payload:
//   "d" CompressText of the records, "e" base64 of the records, "f" the
//   records as raw bytes (never put "f" into a settings line);
//   older forms, read only: "a" CompressText, "b" base64, "c" raw of
//   "<count>;<count>;...~" followed by N + 2 doubles per neuron (weights 0
//   .. N, then the bias again, which wins).
// A record is int32 layer, int32 neuron, int32 count, then count doubles,
// all little-endian; one per neuron of layers 1 and up. The current forms
// never change the network's structure: the test builds its layers first
// and a record fills what fits. An older form rebuilds the layers it names.
//
// Threads. Every operation takes the lock "QuorNeuralNet-CS" (recursive)
// for its whole duration, so processing threads, the training run and the
// user interface may share one network; Teach holds it for the whole
// training run. Read a score from EvaluateInputs's answer, never from a
// later GetOutput: another thread may have evaluated in between. Reaching
// into the layers (GetLayer, a neuron's fields) and the plain readers of the
// training figures (EpochCurrent, PatternCount, ...) take no lock: for the
// thread that trains, and for tests. A lock that cannot be had in time raises
// ECriticalSectionException. Nothing else is locked while it is held. Not
// copyable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "classify/neural_net.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// The weight record's header: layer, neuron and count, 12 bytes on disk.
struct TNeuronWeightRec {
  std::int32_t Layer = 0;
  std::int32_t Neuron = 0;
  std::int32_t Count = 0;
};
inline constexpr std::size_t kNeuronWeightRecHeaderBytes = 12;

// WriteReport's flags.
inline constexpr int kNetReportStatistics = 0x01;
inline constexpr int kNetReportWeights = 0x02;
inline constexpr int kNetReportOutput = 0x10;
inline constexpr int kNetReportActiveInputsOnly = 0x20;

// The largest layer an older weight text may ask for, and the most layers:
// the text comes from a file the user may edit.
inline constexpr int kMaxLegacyLayerNeurons = 65536;
inline constexpr int kMaxLegacyLayers = 64;

class TQuorNeuralNet : public TNeuralNetBP {
 public:
  // One input layer of 0 neurons; the name "Un-named NN", weight form "d".
  TQuorNeuralNet();

  // ---- Inherited operations, under the lock

  void AddLayer(int neuronCount) override;
  void DeleteLayer(int index) override;
  void Clear() override;
  void Init() override;
  void SetNeuronsInLayer(std::vector<std::string> lines) override;
  void Teach() override;
  void InitWeights() override;
  void ShakeWeights() override;
  void Compute(const TVectorFloat& input) override;
  double GetOutput(int index) const override;
  void SetAlpha(double x) override;
  void SetTeachRate(double x) override;
  void SetMomentum(double x) override;
  void SetEpochCount(int n) override;
  void SetContinueTeach(bool on) override;
  void SetAutoInit(bool on) override;
  void SetEpoch(bool on) override;
  void SetIdentError(double x) override;
  void SetPatternCount(int count) override;
  void AddPattern(const TVectorFloat& input, const TVectorFloat& desired) override;
  // Moves the ages and lifetimes after the index down with the pattern.
  void DeletePattern(int index) override;
  // Also forgets every age and lifetime.
  void ResetPatterns() override;
  int GetLayerCount() const override;
  int GetInputCount() const override;
  int GetOutputCount() const override;

  // ---- Scoring

  // Compute of the vector and its output 0, both under one hold of the lock.
  // With useMask, entries whose input is disabled are first set to 0 in the
  // caller's vector. EInOutDimensionError for a vector not as long as the
  // input layer (the lock is given back).
  double EvaluateInputs(TVectorFloat& input, bool useMask);
  double EvaluateInputs(const TVectorFloat& input);

  // The training figures at one moment, read under the lock: for reports
  // on threads other than the one that trains.
  struct TTeachFigures {
    int PatternCount = 0;
    int EpochCurrent = 0;
    int EpochCount = 0;
    double TeachError = 0;
    double IdentError = 0;
    double MaxTeachResidual = 0;
    double MidTeachResidual = 0;
    int RecognizedTeachCount = 0;
  };
  TTeachFigures TeachFigures() const;

  // The per-input enable flags, brought to the input count first (new
  // entries true). No operation of the program disables an input.
  std::vector<bool> GetInputMask();
  // The value input `index` had in the last evaluation; an index below 0
  // reads input 0, one beyond the last reads the last; 0 without inputs.
  double GetInputValue(int index) const;
  // The mean over the neurons of layer k + 1 of their weight for the input;
  // 0 where there is no such layer or weight.
  double AverageInputWeight(int inputIndex, int layerIndex) const;
  // Sets that weight of every neuron of layer k + 1 (missing ones ignored).
  void SetInputWeight(int inputIndex, int layerIndex, double value);
  // The neuron's last weight (its bias); 0 when the neuron does not exist.
  double GetNeuronBias(int neuronIndex, int layerIndex) const;
  // Copies of stored pattern `row`; std::out_of_range outside the patterns.
  void GetPattern(int row, TVectorFloat& input, TVectorFloat& desired) const;

  // ---- Pattern ages; a pattern is deleted after an epoch that brings its
  // age to its lifetime. No lifetime is set in the program, so none expires.

  // 2147483647 for an index below 0 or above PatternCount, or one without
  // an entry.
  std::int32_t GetPatternLifetime(int index) const;
  // 0 in the same cases.
  std::int32_t GetPatternAge(int index) const;
  // Ignored for an index below 0 or above PatternCount; the list grows with
  // 0 entries as needed.
  void SetPatternAge(int index, std::int32_t age);
  void SetPatternLifetime(int index, std::int32_t lifetime);

  // ---- Names

  std::string Name() const;
  void SetName(const std::string& name);
  std::vector<std::string> InputNames() const;
  void SetInputNames(std::vector<std::string> names);
  void AddInputName(const std::string& name);

  // ---- Weight texts (see the top of this file)

  // The form GetWeightText writes: 0 "d" (after creation), 1 "e", 2 "f".
  std::uint8_t WeightTextForm() const;
  void SetWeightTextForm(std::uint8_t form);
  // Every weight of layers 1 and up in the chosen form.
  std::string GetWeightText() const;
  std::string GetWeightTextAs(std::uint8_t form) const;
  // Reads a text of any of the six forms. True when the whole text was
  // read. False, with the network as it was, for an empty text, an unknown
  // letter, a payload that does not decode or an older text that does not
  // check out whole; a record cut short (or with a count below 0) ends the
  // reading, keeping the records applied before it. Records that name no
  // neuron of the network are skipped. Failures are logged, never raised
  // (except a lock time-out).
  bool SetWeightText(const std::string& text);
  // The older forms "a", "b", "c": parsed and checked whole (decimal
  // layer counts, at most kMaxLegacyLayers layers of at most
  // kMaxLegacyLayerNeurons, N + 2 doubles for every neuron) before the
  // layers are rebuilt from the counts and filled. False, with the network
  // unchanged, otherwise.
  bool LoadLegacyWeightText(const std::string& text);

  // ---- Reports

  // The value with at least two integer digits and nine decimals ("." in
  // any locale): 3 -> "03.000000000", -0.5 -> "-0.500000000". No lock.
  static std::string FormatNetValue(double value);
  // Appends the network's report to `out` (flags kNetReport*; the program
  // passes 0x33). Input names missing for inputs are added to the list as
  // "?" + Name + "?". Stored patterns are not listed: `patternListCount` is
  // accepted for callers and ignored.
  void WriteReport(int flags, int patternListCount, TStringList& out);

 protected:
  // Ages every pattern by one and deletes those that reach their lifetime.
  void DoEpochPassed() override;

 private:
  std::string WeightPayload() const;

  mutable TMutexCriticalSection FLock{"QuorNeuralNet-CS"};
  std::vector<std::int32_t> FPatternLifetimes;
  std::vector<std::int32_t> FPatternAges;
  std::vector<bool> FInputMask;
  std::string FName = "Un-named NN";
  std::uint8_t FWeightTextForm = 0;
  std::vector<std::string> FInputNames;
};

// Spreads a number over n inputs (at most 32) from `start` on, least
// significant bit first: the value's offset from `minimum`, scaled down to n
// bits when maximum - minimum does not fit in them (rounding up, never past
// all n bits set). Below the minimum gives 0, above the maximum all bits.
// Equal bounds take the maximum as 2^n - 1. The vector grows to start + n
// entries when shorter. Unsigned 32-bit arithmetic, as stored codes expect.
// std::out_of_range for a negative start. No lock; any thread.
void EncodeNumberToInputs(int start, std::uint32_t minimum, std::uint32_t maximum, int n,
                          std::uint32_t value, TVectorFloat& vector);

}  // namespace halvorn
