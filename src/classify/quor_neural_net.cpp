#include "classify/quor_neural_net.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "foundation/log/log_sink.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_compression.h"

namespace halvorn {

static_assert(std::endian::native == std::endian::little,
              "weight texts are little-endian and copied as they lie in memory");

namespace {

constexpr std::int32_t kUnlimitedLifetime = 2147483647;
constexpr const char* kReportRule = "=============================================================";

void AppendInt32(std::string& out, std::int32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out.append(bytes, 4);
}

void AppendDouble(std::string& out, double value) {
  char bytes[8];
  std::memcpy(bytes, &value, 8);
  out.append(bytes, 8);
}

std::int32_t ReadInt32(const std::string& bytes, std::size_t at) {
  std::int32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

double ReadDouble(const std::string& bytes, std::size_t at) {
  double value;
  std::memcpy(&value, bytes.data() + at, 8);
  return value;
}

bool InRange(int index, std::size_t size) {
  return index >= 0 && static_cast<std::size_t>(index) < size;
}

}  // namespace

TQuorNeuralNet::TQuorNeuralNet() = default;

// ---- Inherited operations under the lock

void TQuorNeuralNet::AddLayer(int neuronCount) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::AddLayer(neuronCount);
}

void TQuorNeuralNet::DeleteLayer(int index) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::DeleteLayer(index);
}

void TQuorNeuralNet::Clear() {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::Clear();
}

void TQuorNeuralNet::Init() {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::Init();
}

void TQuorNeuralNet::SetNeuronsInLayer(std::vector<std::string> lines) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetNeuronsInLayer(std::move(lines));
}

void TQuorNeuralNet::Teach() {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::Teach();
}

void TQuorNeuralNet::InitWeights() {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::InitWeights();
}

void TQuorNeuralNet::ShakeWeights() {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::ShakeWeights();
}

void TQuorNeuralNet::Compute(const TVectorFloat& input) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::Compute(input);
}

double TQuorNeuralNet::GetOutput(int index) const {
  TCriticalSectionGuard guard(FLock);
  return TNeuralNetBP::GetOutput(index);
}

void TQuorNeuralNet::SetAlpha(double x) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetAlpha(x);
}

void TQuorNeuralNet::SetTeachRate(double x) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetTeachRate(x);
}

void TQuorNeuralNet::SetMomentum(double x) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetMomentum(x);
}

void TQuorNeuralNet::SetEpochCount(int n) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetEpochCount(n);
}

void TQuorNeuralNet::SetContinueTeach(bool on) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetContinueTeach(on);
}

void TQuorNeuralNet::SetAutoInit(bool on) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetAutoInit(on);
}

void TQuorNeuralNet::SetEpoch(bool on) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetEpoch(on);
}

void TQuorNeuralNet::SetIdentError(double x) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetIdentError(x);
}

void TQuorNeuralNet::SetPatternCount(int count) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::SetPatternCount(count);
}

void TQuorNeuralNet::AddPattern(const TVectorFloat& input, const TVectorFloat& desired) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::AddPattern(input, desired);
}

void TQuorNeuralNet::DeletePattern(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= PatternCount()) {
    TNeuralNetBP::DeletePattern(index);  // raises the range error
    return;
  }
  const auto drop = [index](std::vector<std::int32_t>& list) {
    if (InRange(index, list.size())) list.erase(list.begin() + index);
  };
  drop(FPatternLifetimes);
  drop(FPatternAges);
  TNeuralNetBP::DeletePattern(index);
  // Lists longer than the patterns are cut; shorter ones stay short, since a
  // pattern without an entry has an unlimited lifetime and age 0 (a 0 put
  // there would be a lifetime that ends at the next epoch).
  const auto count = static_cast<std::size_t>(PatternCount());
  if (FPatternLifetimes.size() > count) FPatternLifetimes.resize(count);
  if (FPatternAges.size() > count) FPatternAges.resize(count);
}

void TQuorNeuralNet::ResetPatterns() {
  TCriticalSectionGuard guard(FLock);
  FPatternLifetimes.clear();
  FPatternAges.clear();
  TNeuralNetBP::SetPatternCount(0);
  TNeuralNetBP::ResetPatterns();
}

int TQuorNeuralNet::GetLayerCount() const {
  TCriticalSectionGuard guard(FLock);
  return TNeuralNetBP::GetLayerCount();
}

int TQuorNeuralNet::GetInputCount() const {
  TCriticalSectionGuard guard(FLock);
  return TNeuralNetBP::GetInputCount();
}

int TQuorNeuralNet::GetOutputCount() const {
  TCriticalSectionGuard guard(FLock);
  return TNeuralNetBP::GetOutputCount();
}

void TQuorNeuralNet::DoEpochPassed() {
  TCriticalSectionGuard guard(FLock);
  // Downwards, so a deletion leaves the lower indexes valid.
  for (int a = PatternCount() - 1; a >= 0; --a) {
    const std::int32_t age = GetPatternAge(a);
    const std::int32_t older = age < INT_MAX ? age + 1 : age;
    SetPatternAge(a, older);
    if (older >= GetPatternLifetime(a)) DeletePattern(a);
  }
  TNeuralNetBP::DoEpochPassed();
}

// ---- Scoring

double TQuorNeuralNet::EvaluateInputs(TVectorFloat& input, bool useMask) {
  TCriticalSectionGuard guard(FLock);
  if (useMask) {
    const std::vector<bool> mask = GetInputMask();
    for (std::size_t i = 0; i < input.size() && i < mask.size(); ++i)
      if (!mask[i]) input[i] = 0;
  }
  TNeuralNetBP::Compute(input);
  return TNeuralNetBP::GetOutput(0);
}

double TQuorNeuralNet::EvaluateInputs(const TVectorFloat& input) {
  TCriticalSectionGuard guard(FLock);
  TNeuralNetBP::Compute(input);
  return TNeuralNetBP::GetOutput(0);
}

TQuorNeuralNet::TTeachFigures TQuorNeuralNet::TeachFigures() const {
  TCriticalSectionGuard guard(FLock);
  return {PatternCount(),     EpochCurrent(),     EpochCount(),        TeachError(),
          IdentError(),       MaxTeachResidual(), MidTeachResidual(), RecognizedTeachCount()};
}

std::vector<bool> TQuorNeuralNet::GetInputMask() {
  TCriticalSectionGuard guard(FLock);
  const auto inputs = static_cast<std::size_t>(TNeuralNetBP::GetInputCount());
  if (FInputMask.size() != inputs) FInputMask.assign(inputs, true);
  return FInputMask;
}

double TQuorNeuralNet::GetInputValue(int index) const {
  TCriticalSectionGuard guard(FLock);
  const int inputs = TNeuralNetBP::GetInputCount();
  if (inputs == 0) return 0;
  return GetLayer(0).Neuron(std::clamp(index, 0, inputs - 1)).Output;
}

double TQuorNeuralNet::AverageInputWeight(int inputIndex, int layerIndex) const {
  TCriticalSectionGuard guard(FLock);
  if (layerIndex < 0 || layerIndex + 1 >= TNeuralNetBP::GetLayerCount()) return 0;
  const TLayerBP& layer = GetLayer(layerIndex + 1);
  if (layer.NeuronCount() == 0) return 0;
  double sum = 0;
  for (int i = 0; i < layer.NeuronCount(); ++i) {
    const TVectorFloat& weights = layer.Neuron(i).Weights;
    if (InRange(inputIndex, weights.size())) sum += weights[static_cast<std::size_t>(inputIndex)];
  }
  return sum / layer.NeuronCount();
}

void TQuorNeuralNet::SetInputWeight(int inputIndex, int layerIndex, double value) {
  TCriticalSectionGuard guard(FLock);
  if (layerIndex < 0 || layerIndex + 1 >= TNeuralNetBP::GetLayerCount()) return;
  TLayerBP& layer = GetLayer(layerIndex + 1);
  for (int i = 0; i < layer.NeuronCount(); ++i) {
    TVectorFloat& weights = layer.Neuron(i).Weights;
    if (InRange(inputIndex, weights.size())) weights[static_cast<std::size_t>(inputIndex)] = value;
  }
}

double TQuorNeuralNet::GetNeuronBias(int neuronIndex, int layerIndex) const {
  TCriticalSectionGuard guard(FLock);
  if (layerIndex < 0 || layerIndex >= TNeuralNetBP::GetLayerCount()) return 0;
  const TLayerBP& layer = GetLayer(layerIndex);
  if (neuronIndex < 0 || neuronIndex >= layer.NeuronCount()) return 0;
  const TVectorFloat& weights = layer.Neuron(neuronIndex).Weights;
  return weights.empty() ? 0 : weights.back();
}

void TQuorNeuralNet::GetPattern(int row, TVectorFloat& input, TVectorFloat& desired) const {
  TCriticalSectionGuard guard(FLock);
  if (row < 0 || row >= PatternCount())
    throw std::out_of_range("Output for borders of a file of examples " + std::to_string(row));
  input = FInputPatterns[static_cast<std::size_t>(row)];
  desired = FOutputPatterns[static_cast<std::size_t>(row)];
}

// ---- Pattern ages

std::int32_t TQuorNeuralNet::GetPatternLifetime(int index) const {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index > PatternCount() || !InRange(index, FPatternLifetimes.size()))
    return kUnlimitedLifetime;
  return FPatternLifetimes[static_cast<std::size_t>(index)];
}

std::int32_t TQuorNeuralNet::GetPatternAge(int index) const {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index > PatternCount() || !InRange(index, FPatternAges.size())) return 0;
  return FPatternAges[static_cast<std::size_t>(index)];
}

void TQuorNeuralNet::SetPatternAge(int index, std::int32_t age) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index > PatternCount()) return;
  if (FPatternAges.size() <= static_cast<std::size_t>(index))
    FPatternAges.resize(static_cast<std::size_t>(index) + 1, 0);
  FPatternAges[static_cast<std::size_t>(index)] = age;
}

void TQuorNeuralNet::SetPatternLifetime(int index, std::int32_t lifetime) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index > PatternCount()) return;
  if (FPatternLifetimes.size() <= static_cast<std::size_t>(index))
    FPatternLifetimes.resize(static_cast<std::size_t>(index) + 1, kUnlimitedLifetime);
  FPatternLifetimes[static_cast<std::size_t>(index)] = lifetime;
}

// ---- Names

std::string TQuorNeuralNet::Name() const {
  TCriticalSectionGuard guard(FLock);
  return FName;
}

void TQuorNeuralNet::SetName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FName = name;
}

std::vector<std::string> TQuorNeuralNet::InputNames() const {
  TCriticalSectionGuard guard(FLock);
  return FInputNames;
}

void TQuorNeuralNet::SetInputNames(std::vector<std::string> names) {
  TCriticalSectionGuard guard(FLock);
  FInputNames = std::move(names);
}

void TQuorNeuralNet::AddInputName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FInputNames.push_back(name);
}

// ---- Weight texts

std::uint8_t TQuorNeuralNet::WeightTextForm() const {
  TCriticalSectionGuard guard(FLock);
  return FWeightTextForm;
}

void TQuorNeuralNet::SetWeightTextForm(std::uint8_t form) {
  TCriticalSectionGuard guard(FLock);
  FWeightTextForm = form;
}

std::string TQuorNeuralNet::WeightPayload() const {
  std::string payload;
  for (int layerIndex = 1; layerIndex < TNeuralNetBP::GetLayerCount(); ++layerIndex) {
    const TLayerBP& layer = GetLayer(layerIndex);
    for (int i = 0; i < layer.NeuronCount(); ++i) {
      const TVectorFloat& weights = layer.Neuron(i).Weights;
      AppendInt32(payload, layerIndex);
      AppendInt32(payload, i);
      AppendInt32(payload, static_cast<std::int32_t>(weights.size()));
      for (double weight : weights) AppendDouble(payload, weight);
    }
  }
  return payload;
}

std::string TQuorNeuralNet::GetWeightText() const {
  TCriticalSectionGuard guard(FLock);
  return GetWeightTextAs(FWeightTextForm);
}

std::string TQuorNeuralNet::GetWeightTextAs(std::uint8_t form) const {
  TCriticalSectionGuard guard(FLock);
  std::string payload = WeightPayload();
  switch (form) {
    case 0:
      CompressText(payload);
      return "d" + payload;
    case 1:
      return "e" + Base64Encode(payload);
    default:
      return "f" + payload;
  }
}

bool TQuorNeuralNet::SetWeightText(const std::string& text) {
  if (text.empty()) return false;
  TCriticalSectionGuard guard(FLock);
  const std::string_view rest = std::string_view(text).substr(1);
  std::string payload;
  switch (text[0]) {
    case 'd':
      try {
        payload = ExpandTextCopy(std::string(rest));
      } catch (const ECompressionError& error) {
        Log(FName, std::string("The weight text does not expand: ") + error.what(), 5, true);
        return false;
      }
      break;
    case 'e':
      payload = Base64Decode(rest);
      break;
    case 'f':
      payload = std::string(rest);
      break;
    default:
      return LoadLegacyWeightText(text);
  }
  if (payload.empty()) {
    Log(FName, "The weight text holds no weights", 5, true);
    return false;
  }
  std::size_t at = 0;
  while (at < payload.size()) {
    if (payload.size() - at < kNeuronWeightRecHeaderBytes) break;
    TNeuronWeightRec record;
    record.Layer = ReadInt32(payload, at);
    record.Neuron = ReadInt32(payload, at + 4);
    record.Count = ReadInt32(payload, at + 8);
    if (record.Count < 0) break;
    const std::uint64_t bytes = std::uint64_t{8} * static_cast<std::uint32_t>(record.Count);
    if (bytes > payload.size() - at - kNeuronWeightRecHeaderBytes) break;
    const std::size_t values = at + kNeuronWeightRecHeaderBytes;
    at = values + static_cast<std::size_t>(bytes);
    if (record.Layer < 1 || record.Layer >= TNeuralNetBP::GetLayerCount()) continue;
    TLayerBP& layer = GetLayer(record.Layer);
    if (record.Neuron < 0 || record.Neuron >= layer.NeuronCount()) continue;
    TVectorFloat& weights = layer.Neuron(record.Neuron).Weights;
    const std::size_t fit = std::min(weights.size(), static_cast<std::size_t>(record.Count));
    for (std::size_t j = 0; j < fit; ++j) weights[j] = ReadDouble(payload, values + 8 * j);
  }
  if (at < payload.size()) {
    Log(FName, "The weight text ends inside a record at byte " + std::to_string(at), 5, true);
    return false;
  }
  return true;
}

bool TQuorNeuralNet::LoadLegacyWeightText(const std::string& text) {
  if (text.empty()) return false;
  TCriticalSectionGuard guard(FLock);
  const std::string_view rest = std::string_view(text).substr(1);
  std::string payload;
  switch (text[0]) {
    case 'a':
      try {
        payload = ExpandTextCopy(std::string(rest));
      } catch (const ECompressionError& error) {
        Log(FName, std::string("The old weight text does not expand: ") + error.what(), 5, true);
        return false;
      }
      break;
    case 'b':
      payload = Base64Decode(rest);
      break;
    case 'c':
      payload = std::string(rest);
      break;
    default:
      Log(FName, "The weight text is of no known form", 5, true);
      return false;
  }
  const auto reject = [this](const std::string& why) {
    Log(FName, "The old weight text is not used: " + why, 5, true);
    return false;
  };
  const std::size_t tilde = payload.find('~');
  if (tilde == std::string::npos || tilde == 0) return reject("it names no layers");
  TStringList pieces;
  SplitToList(std::string_view(payload).substr(0, tilde), ";", pieces);
  if (pieces.Count() > kMaxLegacyLayers) return reject("too many layers");
  std::vector<int> counts;
  for (int i = 0; i < pieces.Count(); ++i) {
    std::int64_t count = 0;
    if (!ParseSignedDecimal(pieces[i], 0, kMaxLegacyLayerNeurons, count))
      return reject("the layer size \"" + pieces[i] + "\" is no number up to " +
                    std::to_string(kMaxLegacyLayerNeurons));
    counts.push_back(static_cast<int>(count));
  }
  if (counts.empty()) return reject("it names no layers");
  std::uint64_t needed = 0;
  for (std::size_t layerIndex = 1; layerIndex < counts.size(); ++layerIndex)
    needed += std::uint64_t(counts[layerIndex]) * (std::uint64_t(counts[layerIndex - 1]) + 2);
  if (needed > (payload.size() - tilde - 1) / 8) return reject("it holds too few weights");

  // The layers in one rebuild (Clear and one AddLayer per count would
  // rebuild them once per count).
  std::vector<std::string> lines;
  for (int count : counts) lines.push_back(std::to_string(count));
  const bool autoInit = AutoInit();
  TNeuralNetBP::SetAutoInit(false);
  TNeuralNetBP::SetNeuronsInLayer(std::move(lines));
  TNeuralNetBP::SetAutoInit(autoInit);
  Init();
  std::size_t at = tilde + 1;
  for (int layerIndex = 1; layerIndex < TNeuralNetBP::GetLayerCount(); ++layerIndex) {
    TLayerBP& layer = GetLayer(layerIndex);
    for (int i = 0; i < layer.NeuronCount(); ++i) {
      TVectorFloat& weights = layer.Neuron(i).Weights;
      for (double& weight : weights) {
        weight = ReadDouble(payload, at);
        at += 8;
      }
      // One more double per neuron: the bias again, which counts.
      weights.back() = ReadDouble(payload, at);
      at += 8;
    }
  }
  return true;
}

// ---- Reports

std::string TQuorNeuralNet::FormatNetValue(double value) {
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::fixed, 9);
  std::string digits(buffer, result.ptr);
  if (digits.find_first_not_of("0.") == std::string::npos) return "00.000000000";
  const std::size_t point = digits.find('.');
  if (value < 0) return "-" + digits;
  if (point == 1) digits.insert(0, "0");
  return digits;
}

void TQuorNeuralNet::WriteReport(int flags, int /*patternListCount*/, TStringList& out) {
  TCriticalSectionGuard guard(FLock);
  GetInputMask();
  const int inputs = TNeuralNetBP::GetInputCount();
  while (static_cast<int>(FInputNames.size()) < inputs) FInputNames.push_back("?" + FName + "?");

  out.Add("");
  out.Add(kReportRule);
  out.Add(FName);
  out.Add("");
  if (flags & kNetReportOutput) {
    std::string outputs;
    for (int i = 0; i < TNeuralNetBP::GetOutputCount(); ++i) {
      if (i > 0) outputs += ", ";
      outputs += FormatNetValue(TNeuralNetBP::GetOutput(i));
    }
    out.Add("");
    out.Add("Output = [" + outputs + "]");
  }
  if (flags & kNetReportStatistics) {
    out.Add("PatternCount =         " + std::to_string(PatternCount()));
    out.Add("EpochCurrent =         " + FormatNetValue(EpochCurrent()));
    out.Add("EpochCount =           " + FormatNetValue(EpochCount()));
    out.Add("TeachError =           " + FormatNetValue(TeachError()));
    out.Add("IdentError =           " + FormatNetValue(IdentError()));
    out.Add("MaxTeachResidual =     " + FormatNetValue(MaxTeachResidual()));
    out.Add("MidTeachResidual =     " + FormatNetValue(MidTeachResidual()));
    out.Add("RecognizedTeachCount = " + std::to_string(RecognizedTeachCount()));
    out.Add("Output neuron weight = " + FormatNetValue(GetNeuronBias(0, 1)));
  }
  if (flags & (kNetReportActiveInputsOnly | kNetReportWeights)) {
    out.Add("");
    out.Add("Input vector is as follows:");
    const bool values = (flags & kNetReportActiveInputsOnly) != 0;
    const bool weights = (flags & kNetReportWeights) != 0;
    TStringList block;
    block.Add(std::string("Test ~ Mask ~ ") + (values ? "Value ~ " : "") + (weights ? "Weight ~ " : ""));
    double total = 0;
    for (int i = 0; i < inputs; ++i) {
      const double value = GetInputValue(i);
      if (values && !(value > 0.5)) continue;
      std::string line = FInputNames[static_cast<std::size_t>(i)] + " ~ " +
                         (FInputMask[static_cast<std::size_t>(i)] ? "True" : "False") + " ~ ";
      if (values) line += FormatNetValue(value) + " ~ ";
      if (weights) {
        const double weight = AverageInputWeight(i, 0);
        total += weight;
        line += FormatNetValue(weight) + " ~ ";
      }
      block.Add(line);
    }
    AlignTildeColumns(block, INT_MAX);
    out.AddStrings(block);
    out.Add("Weight total = " + FormatNetValue(total));
  }
}

// ---- Encoding numbers

void EncodeNumberToInputs(int start, std::uint32_t minimum, std::uint32_t maximum, int n,
                          std::uint32_t value, TVectorFloat& vector) {
  if (start < 0) throw std::out_of_range("Input " + std::to_string(start) + " does not exist");
  n = std::clamp(n, 0, 32);
  const auto first = static_cast<std::size_t>(start);
  if (vector.size() < first + static_cast<std::size_t>(n)) vector.resize(first + n, 0.0);
  std::fill_n(vector.begin() + start, n, 0.0);

  const std::uint64_t top = (std::uint64_t{1} << n) - 1;
  std::uint32_t upper = maximum;
  if (upper == minimum) upper = static_cast<std::uint32_t>(top);
  const std::uint32_t range = upper - minimum;  // wraps, as the stored codes expect
  std::uint64_t v;
  if (value < minimum) {
    v = 0;
  } else if (value > upper) {
    // Above the range: every bit, not scaled (a scaled top would encode a
    // value far beyond the maximum as a small number).
    v = top;
  } else {
    v = value - minimum;
    if (top < range) {
      const double scaled =
          std::ceil(static_cast<double>(v) * (static_cast<double>(top) / static_cast<double>(range)));
      v = std::min<std::uint64_t>(static_cast<std::uint64_t>(scaled), top);
    }
  }
  for (int i = 0; i < n; ++i)
    vector[first + static_cast<std::size_t>(i)] = (v >> i) & 1 ? 1.0 : 0.0;
}

}  // namespace halvorn
