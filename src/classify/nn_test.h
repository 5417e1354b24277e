// TNNTest: the base of every test whose judgement comes from a scoring
// network (quor_neural_net.h). A class gives its inputs (count and names) to
// the constructor and rebuilds a message's input vector from the result code
// it wrote (BuildNNInputs); this base does the learning:
//   - when the user categorises a message as spam (8) or personal (9), the
//     vector is added to the spam or the personal training set (two ring
//     files, vector_file_store.h), and the network's miss is counted;
//   - when the incoming thread is idle, Train retrains the network from the
//     sets, by default on the examples it gets most wrong (TrainOnError);
//   - the weights travel in the rules file with the statistics
//     (GetStatsText / SetStatsText) and come back after a restart.
//
// Files, in the owner's user folder (TypeName = GetTypeName()):
//   "Spam <TypeName> Training Set.dat", "Pers <TypeName> Training Set.dat"
//     the training sets, shared with every other test of the type name;
//   in developer mode each categorised result code is also appended, with
//   CR LF, to "<TypeName> Spam Training Set.txt" and "Large Spam <TypeName>
//   Training Set.txt" (Pers likewise). RecomputeVectorFiles rebuilds the
//   sets from the "Large" text sets in developer mode, otherwise from "Spam
//   <TypeName> Training Set.txt" and "Pers <TypeName> Training Set.txt".
//
// A set whose vector size no longer matches the vector (a new input layout,
// or a new file) is rebuilt from the text sets when both exist and are not
// empty; otherwise only that set takes the new size, dropping its records.
//
// Threads. Train and UserCategorised run under the test list's TrainLock,
// which keeps them apart; evaluations, GetCategoryProbability and the
// statistics texts may run on other threads meanwhile. The network and the
// sets carry their own locks; TestLock is never held while they are taken.
// Training also runs off a worker thread (Heartbeat then never asks it to
// stop).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "classify/quor_neural_net.h"
#include "classify/test_base.h"
#include "classify/vector_file_store.h"

namespace halvorn {

class TStringList;

// The output above which a spam example is right, and below which a
// personal one is.
inline constexpr double kNNSpamThreshold = 0.55;
inline constexpr double kNNPersThreshold = 0.45;
// Each training round works on this many examples of each kind, and needs
// twice as many stored.
inline constexpr int kNNWorkingSetSize = 200;

// The network report that the network-backed tests show with a message
// (ShowCategoryProbabilities): `fontLine`; then "<pre>", "<br>" + title +
// " (Output = " + output + ")", the network's training figures
// ("PatternCount = " ... "RecognizedTeachCount = "), "Test ~ Value ~ Weight"
// and the rows, the "~" marks aligned (at most column 185), "</pre>"; then
// "</font>". Each line at the report's last level; numbers in their shortest
// form.
void AddNetworkReport(TSimpleHtml& html, const std::string& fontLine, TQuorNeuralNet& net,
                      const std::string& title, double output, const TStringList& rows);
// One row of it: label + " ~ " + value + " ~ " + weight.
std::string NetworkReportRow(const std::string& label, double value, double weight);

class TNNTest : public TTest {
 public:
  // A network of `inputCount` inputs and one output, all weights 0, with
  // ContinueTeach and Epoch on, the name and the input names; the error
  // counts at 999; DeveloperMode as IsDeveloperMode() says now.
  TNNTest(int inputCount, const std::string& netName, std::vector<std::string> inputNames);
  ~TNNTest() override;

  // The input vector of the message whose result code this is, exactly as
  // long as the network's input layer. Errors reach the caller.
  virtual TVectorFloat BuildNNInputs(const std::string& resultCode) = 0;

  // TrainOnError when the switch TrainOnError is on, else TrainOnAll. Errors
  // reach the caller.
  void Train() override;
  // Records a spam (8) or personal (9) categorisation: the text sets in
  // developer mode, the training set and the error counts while
  // UpdateNNTestSets is on; every error on the way is logged and the next
  // step goes on. Then the statistics (TTest). An empty code does nothing.
  void UserCategorised(std::uint8_t category, const std::string& resultCode) override;
  // The inherited probability, then CommercialSpam = the network's output
  // for the code's vector times 100 (truncated) and Personal = 100 - that.
  void GetCategoryProbability(const std::string& resultCode,
                              TCategoryProbability& probability) override;
  // The comma text of the statistics and the weight text.
  std::string GetStatsText() override;
  // Empty: ResetStats. Two items: statistics and weights. Otherwise the
  // first item as the weight text (the statistics stay). Errors are logged.
  void SetStatsText(const std::string& text) override;

  // Opens both training sets when not yet open (creating missing files
  // only with `create`). False when they cannot be opened, or without
  // `create` when either file is missing.
  bool OpenVectorStores(bool create);
  // Rebuilds both sets from the text sets. False when a stop request ended
  // it early. Raises when a text set is missing or empty (nothing is
  // cleared then) and for file errors.
  bool RecomputeVectorFiles();
  // One round on the worst examples: nothing unless TrainNeuralNets or
  // BackgroundTrainNNs is on, the error counts leave the gate open (with
  // StopTrainNNOnNoErr), and each set holds 400 vectors of the network's
  // size. Then 200 + 200 examples the network gets most wrong, two epochs,
  // and no patterns left. A stop request trains nothing.
  void TrainOnError();
  // One round on 100 + 100 random examples (the patterns stay in the
  // network); nothing when a set is missing or empty.
  void TrainOnAll();
  // A naive-Bayes spam probability of the vector from the per-input counts
  // of the sets (counted once per test); 0.5 without the sets.
  long double InputBayesProbability(const TVectorFloat& vector);

  // The test's network (it carries its own lock).
  TQuorNeuralNet& Net() { return FNet; }
  std::int32_t SpamErrors() const { return FSpamErrors.load(); }
  std::int32_t PersErrors() const { return FPersErrors.load(); }
  std::int32_t UnchangedRounds() const { return FUnchangedRounds.load(); }
  bool DeveloperMode() const { return FDeveloperMode; }

  // The files (see the top of this file).
  std::string VectorStorePath(bool spam);
  std::string TextSetPath(bool spam, bool large);
  std::string RecomputeSourcePath(bool spam);

 private:
  struct TStores {
    std::shared_ptr<TVectorFileStore> Spam;
    std::shared_ptr<TVectorFileStore> Pers;
  };
  TStores Stores();
  // Both text sets RecomputeVectorFiles reads, their non-empty lines; false
  // when either is missing or has none.
  bool ReadTextSets(TStringList& spam, TStringList& pers);
  bool RecomputeFrom(const TStringList& spam, const TStringList& pers);
  // The examples of one kind a training round works on: the first 200 of
  // the set, each replaced by a later one the network scores worse.
  struct TWorkingSet {
    std::vector<TVectorFloat> Vectors;
    std::vector<double> Scores;
    int Misses = 0;
  };
  // False when a stop request ended the scan.
  bool ScanForErrors(TVectorFileStore& store, bool spam, bool separate, TWorkingSet& set);
  void AddCategorisedVector(std::uint8_t category, const TVectorFloat& vector);
  void CountMiss(std::uint8_t category, const TVectorFloat& vector);

  TQuorNeuralNet FNet;
  std::atomic<std::int32_t> FSpamErrors{999};
  std::atomic<std::int32_t> FPersErrors{999};
  std::atomic<std::int32_t> FUnchangedRounds{0};
  const bool FDeveloperMode;

  std::mutex FStoresMutex;  // guards the two pointers only
  TStores FStores;

  std::mutex FInputCountsMutex;  // taken before a set's lock, never after
  bool FInputCountsReady = false;
  std::vector<std::int32_t> FSpamInputCounts;
  std::vector<std::int32_t> FPersInputCounts;
};

}  // namespace halvorn
