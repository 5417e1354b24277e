#include "classify/nn_test.h"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "classify/combine_probabilities.h"
#include "classify/test_list.h"
#include "foundation/app/developer_mode.h"
#include "foundation/crypto/random_source.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "message/msg_category.h"

namespace halvorn {

namespace {

// A text set may grow for years in developer mode; beyond this it is not read.
constexpr std::size_t kMaxTextSetBytes = 256u * 1024 * 1024;

bool IsLearningCategory(std::uint8_t category) {
  return category == Mc_CommercialSpam || category == Mc_Personal;
}

// A random record number below count - 1 (0 for one record); even ones only
// when the odd ones are kept for testing.
std::int32_t RandomRecord(std::int32_t count, bool evenOnly) {
  if (evenOnly) return 2 * RandomInt((count - 1) / 2);
  return RandomInt(count - 1);
}

}  // namespace

void AddNetworkReport(TSimpleHtml& html, const std::string& fontLine, TQuorNeuralNet& net,
                      const std::string& title, double output, const TStringList& rows) {
  const int level = html.Count() > 0 ? html.GetLevel(html.Count() - 1) : 5;
  html.AddLine(fontLine, level, kHtmlKindAll, false);
  TStringList lines;
  lines.Add("<pre>");
  lines.Add("<br>" + title + " (Output = " + ShortestFloatText(output) + ")");
  lines.Add("PatternCount = " + std::to_string(net.PatternCount()));
  lines.Add("EpochCurrent = " + std::to_string(net.EpochCurrent()));
  lines.Add("EpochCount = " + std::to_string(net.EpochCount()));
  lines.Add("TeachError = " + ShortestFloatText(net.TeachError()));
  lines.Add("IdentError = " + ShortestFloatText(net.IdentError()));
  lines.Add("MaxTeachResidual = " + ShortestFloatText(net.MaxTeachResidual()));
  lines.Add("MidTeachResidual = " + ShortestFloatText(net.MidTeachResidual()));
  lines.Add("RecognizedTeachCount = " + std::to_string(net.RecognizedTeachCount()));
  lines.Add("Test ~ Value ~ Weight");
  lines.AddStrings(rows);
  AlignTildeColumns(lines, 185);
  lines.Add("</pre>");
  for (int i = 0; i < lines.Count(); ++i) html.AddLine(lines[i], level, kHtmlKindAll, false);
  html.AddLine("</font>", level, kHtmlKindAll, false);
}

std::string NetworkReportRow(const std::string& label, double value, double weight) {
  return label + " ~ " + ShortestFloatText(value) + " ~ " + ShortestFloatText(weight);
}

TNNTest::TNNTest(int inputCount, const std::string& netName, std::vector<std::string> inputNames)
    : FDeveloperMode(IsDeveloperMode()) {
  FNet.Clear();
  FNet.AddLayer(inputCount);
  FNet.AddLayer(1);
  FNet.Init();
  FNet.SetContinueTeach(true);
  FNet.SetEpoch(true);
  FNet.SetName(netName);
  FNet.SetInputNames(std::move(inputNames));
}

TNNTest::~TNNTest() = default;

// ---- Files

std::string TNNTest::VectorStorePath(bool spam) {
  return GetUserDir(Owner()) + (spam ? "/Spam " : "/Pers ") + GetTypeName() + " Training Set.dat";
}

std::string TNNTest::TextSetPath(bool spam, bool large) {
  const std::string kind = spam ? "Spam" : "Pers";
  if (large) return GetUserDir(Owner()) + "/Large " + kind + " " + GetTypeName() + " Training Set.txt";
  return GetUserDir(Owner()) + "/" + GetTypeName() + " " + kind + " Training Set.txt";
}

std::string TNNTest::RecomputeSourcePath(bool spam) {
  if (FDeveloperMode) return TextSetPath(spam, true);
  return GetUserDir(Owner()) + (spam ? "/Spam " : "/Pers ") + GetTypeName() + " Training Set.txt";
}

TNNTest::TStores TNNTest::Stores() {
  std::lock_guard<std::mutex> lock(FStoresMutex);
  return FStores;
}

bool TNNTest::OpenVectorStores(bool create) {
  return CatchAllButAbandonment(
      [&] {
        const std::string spamPath = VectorStorePath(true);
        const std::string persPath = VectorStorePath(false);
        if (!create && !(FileExists(spamPath) && FileExists(persPath))) return false;
        std::lock_guard<std::mutex> lock(FStoresMutex);
        if (!FStores.Spam) FStores.Spam = OpenSharedVectorStore(spamPath);
        if (!FStores.Pers) FStores.Pers = OpenSharedVectorStore(persPath);
        return true;
      },
      [&](const std::string& error) {
        Log(Name(), "The training sets cannot be opened: " + error, 5, true);
        return false;
      });
}

// ---- Statistics and weights

std::string TNNTest::GetStatsText() {
  TStringList items;
  items.Add(TTest::GetStatsText());
  items.Add(FNet.GetWeightText());
  return items.CommaText();
}

void TNNTest::SetStatsText(const std::string& text) {
  if (text.empty()) {
    ResetStats();
    return;
  }
  CatchAllButAbandonment(
      [&] {
        TStringList items;
        items.SetCommaText(text);
        if (items.Count() == 2) {
          TTest::SetStatsText(items[0]);
          FNet.SetWeightText(items[1]);
        } else if (items.Count() > 0) {
          FNet.SetWeightText(items[0]);
        }
      },
      [&](const std::string& error) {
        Log(Name(), "The statistics were not read whole: " + error, 5, true);
      });
}

void TNNTest::GetCategoryProbability(const std::string& resultCode,
                                     TCategoryProbability& probability) {
  probability.Clear();
  TTest::GetCategoryProbability(resultCode, probability);
  const double output = FNet.EvaluateInputs(BuildNNInputs(resultCode));
  const auto spam = static_cast<std::int32_t>(std::trunc(output * 100));
  probability.SetPercentage(Mc_CommercialSpam, spam);
  probability.SetPercentage(Mc_Personal, 100 - spam);
}

// ---- Categorisations

void TNNTest::UserCategorised(std::uint8_t category, const std::string& resultCode) {
  if (resultCode.empty()) return;
  const bool learning = IsLearningCategory(category);
  const bool spam = category == Mc_CommercialSpam;
  if (learning && FDeveloperMode) {
    const std::string line = resultCode + "\r\n";
    if (IsDeveloperMode() && !AppendTextToFile(line, TextSetPath(spam, true), false))
      Log(Name(), "The text set " + TextSetPath(spam, true) + " was not written", 5, true);
    if (!AppendTextToFile(line, TextSetPath(spam, false), false))
      Log(Name(), "The text set " + TextSetPath(spam, false) + " was not written", 5, true);
  }
  if (learning && UpdateNNTestSets.load()) {
    TVectorFloat vector;
    bool built = false;
    CatchAllButAbandonment(
        [&] {
          vector = BuildNNInputs(resultCode);
          built = true;
          AddCategorisedVector(category, vector);
        },
        [&](const std::string& error) {
          Log(Name(), "The categorised message was not added to the training set: " + error, 5,
              true);
        });
    CatchAllButAbandonment(
        [&] {
          if (!built) vector = BuildNNInputs(resultCode);
          CountMiss(category, vector);
        },
        [&](const std::string& error) {
          Log(Name(), "The categorised message was not scored: " + error, 5, true);
        });
  }
  TTest::UserCategorised(category, resultCode);
}

void TNNTest::AddCategorisedVector(std::uint8_t category, const TVectorFloat& vector) {
  if (!OpenVectorStores(true)) return;  // logged there
  const TStores stores = Stores();
  TVectorFileStore& target = category == Mc_CommercialSpam ? *stores.Spam : *stores.Pers;
  if (static_cast<std::int64_t>(vector.size()) != target.VectorSize()) {
    // A new file, or a new input layout. The text sets can rebuild both
    // sets only when both are there; otherwise this set alone starts again
    // at the new size, so that the vector is never lost.
    TStringList spamLines;
    TStringList persLines;
    if (ReadTextSets(spamLines, persLines)) {
      RecomputeFrom(spamLines, persLines);
    } else {
      target.SetVectorSize(static_cast<std::int32_t>(vector.size()));
    }
  }
  target.AddVector(vector);
}

void TNNTest::CountMiss(std::uint8_t category, const TVectorFloat& vector) {
  const double output = FNet.EvaluateInputs(vector);
  if (category == Mc_CommercialSpam && !(output > kNNSpamThreshold)) {
    ++FSpamErrors;
    FUnchangedRounds = 0;
  } else if (category == Mc_Personal && !(output < kNNPersThreshold)) {
    ++FPersErrors;
    FUnchangedRounds = 0;
  }
}

// ---- Rebuilding the sets

bool TNNTest::ReadTextSets(TStringList& spam, TStringList& pers) {
  const auto read = [this](bool isSpam, TStringList& lines) {
    std::string bytes;
    if (!ReadFileBytes(RecomputeSourcePath(isSpam), kMaxTextSetBytes, bytes).empty()) return false;
    TStringList all;
    all.SetText(bytes);
    lines.Clear();
    for (int i = 0; i < all.Count(); ++i)
      if (!all[i].empty()) lines.Add(all[i]);
    return !lines.Empty();
  };
  return read(true, spam) && read(false, pers);
}

bool TNNTest::RecomputeVectorFiles() {
  TStringList spam;
  TStringList pers;
  if (!ReadTextSets(spam, pers))
    throw std::runtime_error("The text sets " + RecomputeSourcePath(true) + " and " +
                             RecomputeSourcePath(false) + " are missing or empty");
  return RecomputeFrom(spam, pers);
}

bool TNNTest::RecomputeFrom(const TStringList& spam, const TStringList& pers) {
  if (!OpenVectorStores(true)) throw EVectorStoreError("The training sets cannot be opened");
  const TStores stores = Stores();
  const struct {
    TVectorFileStore& Store;
    const TStringList& Lines;
    const char* Progress;
  } sets[] = {{*stores.Spam, spam, "Recomputing Neural net Spam inputs"},
              {*stores.Pers, pers, "Recomputing Neural net Non-Spam inputs"}};
  for (const auto& set : sets) {
    set.Store.Clear();
    set.Store.SetVectorSize(static_cast<std::int32_t>(BuildNNInputs(set.Lines[0]).size()));
    for (int k = 0; k < set.Lines.Count(); ++k) {
      if (Heartbeat(set.Progress, k, set.Lines.Count())) return false;
      set.Store.AddVector(BuildNNInputs(set.Lines[k]));
    }
  }
  return true;
}

// ---- Training

void TNNTest::Train() {
  if (halvorn::TrainOnError.load()) {
    TrainOnError();
  } else {
    TrainOnAll();
  }
}

long double TNNTest::InputBayesProbability(const TVectorFloat& vector) {
  if (!OpenVectorStores(false)) return 0.5L;
  const TStores stores = Stores();
  std::lock_guard<std::mutex> lock(FInputCountsMutex);
  if (!FInputCountsReady) {
    const auto inputs = static_cast<std::size_t>(FNet.GetInputCount());
    const auto count = [inputs](TVectorFileStore& store, std::vector<std::int32_t>& counts) {
      counts.assign(inputs, 0);
      const std::int32_t records = store.Count();
      for (std::int32_t k = 0; k < records; ++k) {
        const TVectorFloat values = store.ReadVector(k);
        for (std::size_t i = 0; i < inputs && i < values.size(); ++i)
          counts[i] += static_cast<std::int32_t>(values[i]);
      }
    };
    count(*stores.Spam, FSpamInputCounts);
    count(*stores.Pers, FPersInputCounts);
    FInputCountsReady = true;
  }
  const long double spamCount = stores.Spam->Count();
  const long double persCount = stores.Pers->Count();
  long double p = 0.5L;
  for (std::size_t i = 0; i < vector.size() && i < FSpamInputCounts.size(); ++i) {
    if (vector[i] != 1.0) continue;
    p = CombineProbabilities((FSpamInputCounts[i] + 1.0L) / (spamCount + 1), p,
                             (FPersInputCounts[i] + 1.0L) / (persCount + 1), 1 - p);
  }
  return p;
}

bool TNNTest::ScanForErrors(TVectorFileStore& store, bool spam, bool separate, TWorkingSet& set) {
  // A miss, and a worse score than another: lower for spam, higher for
  // personal mail.
  const auto missed = [spam](double score) {
    return spam ? score < kNNSpamThreshold : score > kNNPersThreshold;
  };
  const auto worse = [spam](double a, double b) { return spam ? a < b : a > b; };
  constexpr auto kSlots = static_cast<std::size_t>(kNNWorkingSetSize);
  set.Vectors.assign(kSlots, {});
  set.Scores.assign(kSlots, 0.0);
  set.Misses = 0;
  for (std::size_t k = 0; k < kSlots; ++k) {
    set.Vectors[k] = store.ReadVector(static_cast<std::int32_t>(k));
    const double output = FNet.EvaluateInputs(set.Vectors[k]);
    // Vectors kept for testing score as if right, so they are replaced first.
    set.Scores[k] = separate && k % 2 == 1 ? (spam ? 1.0 : 0.0) : output;
    if (missed(set.Scores[k])) ++set.Misses;
  }
  const std::int32_t count = store.Count();
  for (std::int32_t k = kNNWorkingSetSize; k < count; ++k) {
    if (Heartbeat(spam ? "Scanning for spam errors" : "Scanning for Pers errors", -1, -1))
      return false;
    if (separate && k % 2 == 1) continue;
    if (set.Misses >= kNNWorkingSetSize) break;
    // The slot scored best (a later slot wins a tie) gives way.
    std::size_t slot = 0;
    for (std::size_t s = 0; s < kSlots; ++s)
      if (!worse(set.Scores[s], set.Scores[slot])) slot = s;
    TVectorFloat vector = store.ReadVector(k);
    // Examples the inputs alone call plainly the other kind are left out.
    const double likelihood = SharpenProbability(static_cast<double>(InputBayesProbability(vector)));
    if (spam ? likelihood < 0.05 : likelihood > 0.95) continue;
    const double output = FNet.EvaluateInputs(vector);
    if (!worse(output, set.Scores[slot])) continue;
    set.Vectors[slot] = std::move(vector);
    set.Scores[slot] = output;
    if (missed(output)) ++set.Misses;
  }
  return true;
}

void TNNTest::TrainOnError() {
  if (!BackgroundTrainNNs.load() && !TrainNeuralNets.load()) return;
  if (StopTrainNNOnNoErr.load()) {
    if (FSpamErrors + FPersErrors < 3) return;
    if (FUnchangedRounds > 6) return;
  }
  if (!OpenVectorStores(false)) return;
  const TStores stores = Stores();
  const std::int32_t spamCount = stores.Spam->Count();
  const std::int32_t persCount = stores.Pers->Count();
  if (spamCount < 2 * kNNWorkingSetSize || persCount < 2 * kNNWorkingSetSize) return;
  const int inputs = FNet.GetInputCount();
  if (stores.Spam->VectorSize() != inputs || stores.Pers->VectorSize() != inputs) {
    Log(Name(), "The training sets hold vectors of another input layout; not trained", 5, true);
    return;
  }
  FNet.ResetPatterns();
  FNet.SetPatternCount(0);
  FNet.SetContinueTeach(true);
  const bool separate = SeperateTrainAndTestSets.load();
  TWorkingSet spam;
  TWorkingSet pers;
  if (!ScanForErrors(*stores.Spam, true, separate, spam)) return;
  if (!ScanForErrors(*stores.Pers, false, separate, pers)) return;
  if (FSpamErrors == spam.Misses && FPersErrors == pers.Misses) ++FUnchangedRounds;
  for (std::size_t i = 0; i < spam.Vectors.size(); ++i) {
    FNet.AddPattern(spam.Vectors[i], {1.0});
    FNet.AddPattern(pers.Vectors[i], {0.0});
  }
  if (Heartbeat("FTrainOnError", -1, -1)) return;
  FNet.SetEpochCount(FNet.EpochCurrent() + 1);
  FNet.Teach();
  FNet.ResetPatterns();
}

void TNNTest::TrainOnAll() {
  if (!BackgroundTrainNNs.load() && !TrainNeuralNets.load()) return;
  if (!OpenVectorStores(false)) return;
  if (Heartbeat("FTrainOnAll", -1, -1)) return;
  FNet.ResetPatterns();
  const TStores stores = Stores();
  const std::int32_t spamCount = stores.Spam->Count();
  const std::int32_t persCount = stores.Pers->Count();
  if (spamCount == 0 || persCount == 0) return;
  const int inputs = FNet.GetInputCount();
  if (stores.Spam->VectorSize() != inputs || stores.Pers->VectorSize() != inputs) {
    Log(Name(), "The training sets hold vectors of another input layout; not trained", 5, true);
    return;
  }
  const bool separate = SeperateTrainAndTestSets.load();
  while (FNet.PatternCount() < kNNWorkingSetSize) {
    FNet.AddPattern(stores.Spam->ReadVector(RandomRecord(spamCount, separate)), {1.0});
    FNet.AddPattern(stores.Pers->ReadVector(RandomRecord(persCount, separate)), {0.0});
    if (RandomInt(50) == 5 && Heartbeat("FTrainOnAll", -1, -1)) return;
  }
  if (Heartbeat("FTrainOnAll", -1, -1)) return;
  FNet.SetEpochCount(FNet.EpochCurrent() + 1);
  FNet.Teach();
  Heartbeat("FTrainOnAll", -1, -1);
}

}  // namespace halvorn
