// The two tests that judge a message by its word features against the spam
// and personal Bayesian dictionaries (bayesian_dictionary.h).
//
// TBayesianTest ("Bayesian Test") chains one Bayes step per relevant feature
// into a spam probability and passes when it lies between its thresholds;
// it learns when the user categorises a message as commercial spam (8) or
// personal (9). TBayesianUniquenessTest ("Bayesian Uniqueness Test") takes
// the spam share of the message's rarest features (RareFeatureProbability
// with half of them) and learns nothing. Both serve the flagship test,
// which creates them; the rules file's factory does not know them.
//
// Settings, in the test's section after the common keys: "SpamDictPath" and
// "PersDictPath" (a dictionary file of the test's own; empty, the default,
// means the global dictionary, and removes the line), "MinThreshold" and
// "MaxThreshold" (0.5 and 1 by default), stored as the value times 10000
// rounded to the nearest integer, so a load and a save give back the same
// text.
//
// Result code: the base code ("Pa"), then "P" = the probability of the
// message judged last as a number ("." as the decimal point, shortest form),
// -1 for too little text and, from the uniqueness test, -2 for text seen very
// rarely; TBayesianTest puts "C" = that message's key before it. Both keys
// are there also when the base code is empty because another message was
// asked for. A negative "P" gives no category opinion: the base's
// percentages stand.
//
// Threads. Only the incoming processing thread judges; categorisations train
// from the main thread meanwhile. The settings, the dictionaries held, the
// probability and the feature list with the key of the message it belongs
// to are guarded by TestLock, which is never held while a dictionary's lock
// is taken; training uses the stored features only when their key is the
// categorised message's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "classify/bayesian_dictionary.h"
#include "classify/test_base.h"
#include "foundation/text/string_list.h"

namespace halvorn {

inline constexpr double kBayesDefaultMinThreshold = 0.5;
inline constexpr double kBayesDefaultMaxThreshold = 1.0;
// Fewer relevant features than this are too little text.
inline constexpr int kBayesMinRelevantFeatures = 6;

// The explanation's detail levels: the body lines and the summary line.
inline constexpr int kBayesLineLevel = 5;
inline constexpr int kBayesSummaryLevel = 9;

// The judgement of a feature list against two dictionaries.
struct TBayesJudgement {
  long double Probability = 0.5;
  int Relevant = 0;
};

// TBayesianTest's chained probability of the features (their hashes in
// TStringList::Numbers): every feature whose counts are not both 0 (one of 0
// counts both one higher) gives Ps = spam count / spam token sum and Pp =
// personal count / personal token sum; it is relevant when its combined
// count ranks at least 0.6 among all features' (PercentileRank over the
// sorted totals) or 0.01 <= CombineTwoProbabilities(Ps, Pp) <= 0.8, and
// each relevant one moves the probability, from 0.5, by
// CombineProbabilities(Ps, p, Pp, 1 - p). Nothing is relevant while either
// token sum is 0.
TBayesJudgement JudgeBayesianFeatures(const TStringList& features, TBayesianDictionary& spam,
                                      TBayesianDictionary& personal);

// The uniqueness test's features of a message: its Bayesian words, then the
// words of the first 1000 lines of its very plain text, each reduced to its
// letters (subject words lose their "!"), empties dropped, repeats removed;
// their hashes set and chained with the chain length.
void BuildUniquenessFeatures(TEmailMsg& msg, int chainLength, TStringList& features);

// What both tests share: settings, dictionaries, probability.
class TBayesianTestBase : public TTest {
 public:
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  // Always complete.
  std::string Validate() override { return {}; }
  std::string GetNote() override { return {}; }
  // Opens whichever dictionary is not open yet: the path's own dictionary
  // when a path is set, else the global one.
  void Preprocess(TEmailMsg& msg) override;
  // The base, then, for a code whose "P" reads as a number of 0 or more,
  // CommercialSpam = P x 100 and Personal = (1 - P) x 100, both truncated.
  void GetCategoryProbability(const std::string& resultCode,
                              TCategoryProbability& probability) override;

  std::string SpamDictPath() const;
  std::string PersDictPath() const;
  // A new path lets go of the dictionary held; the next Preprocess opens
  // the new one.
  void SetSpamDictPath(const std::string& path);
  void SetPersDictPath(const std::string& path);
  double MinThreshold() const;
  double MaxThreshold() const;
  void SetMinThreshold(double value);
  void SetMaxThreshold(double value);
  // The value computed for the message judged last (0.5 before the first).
  long double Probability() const;
  // The features of the message judged last and its key (-1 before the
  // first), copied together.
  TStringList LastFeatures(std::int32_t& msgKey) const;

 protected:
  struct TDictionaries {
    TBayesianDictionaryRef Spam;
    TBayesianDictionaryRef Personal;
  };
  // The dictionaries held now (either may be null).
  TDictionaries Dictionaries() const;
  // What Preprocess does.
  void OpenDictionaries();
  // Preprocess, then the base's protocol steps 1 to 4: true when the
  // message is to be judged with `dictionaries`; false, with `answer` to be
  // returned, when a dictionary is missing (false), the abort flag is set or
  // the message was judged last (its cached answer).
  bool BeginJudgement(TEmailMsg& msg, const std::atomic<bool>* abort,
                      TDictionaries& dictionaries, bool& answer);
  // A copy of the stored features when they belong to the message; false
  // otherwise.
  bool StoredFeatures(std::int32_t msgKey, TStringList& features) const;
  // "A statistical analysis of <what> indicates that the probability that
  // it is spam is greater than <min> and less than <max>".
  std::string DescribeAnalysis(const std::string& what);
  // The threshold lines of a judged value; answers whether it passed.
  bool AddThresholdLines(long double value, const std::string& lead);
  // Stores the judgement as the last one (features with their key, the
  // probability, the cached result) and inserts the summary line.
  void StoreJudgement(TEmailMsg& msg, TStringList& features, long double probability, bool result,
                      const std::string& summary);
  // The code's "P" as a number; false when missing or unreadable.
  static bool ReadProbability(const std::string& resultCode, double& probability);
  // Base code, then "C" (with `withKey`) and "P".
  std::string ResultCodeWith(std::int32_t msgKey, bool withKey);

 private:
  // Guarded by TestLock().
  std::string FSpamDictPath;
  std::string FPersDictPath;
  double FMinThreshold = kBayesDefaultMinThreshold;
  double FMaxThreshold = kBayesDefaultMaxThreshold;
  TDictionaries FDictionaries;
  TStringList FFeatures;
  std::int32_t FFeaturesKey = -1;
  long double FProbability = 0.5;
};

class TBayesianTest final : public TBayesianTestBase {
 public:
  static constexpr const char* kClassName = "TBayesianTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Bayesian Test"; }
  std::string Describe() override;
  // See the top of this file; errors of the judging reach the caller. A
  // missing dictionary or a set abort flag answers false and explains
  // nothing.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // Base + "C" + "P".
  std::string GetResultCode(std::int32_t msgKey) override;
  // For 8 and 9 with both dictionaries open and a readable "C": the
  // message's features (the stored ones when "C" is their key, else those
  // of the raw backup its side record names) go to the spam (8) or the
  // personal (9) dictionary, then the base statistics. Without the side
  // record or the backup nothing happens, not even the statistics; errors
  // while learning are logged and the statistics still follow.
  void UserCategorised(std::uint8_t category, const std::string& resultCode) override;
  // The relevant features of the message judged last.
  int RelevantCount() const { return FRelevant.load(); }

 private:
  // The features of a message not judged last, from its backup; false when
  // there is no side record or no backup.
  bool BackupFeatures(std::int32_t msgKey, int chainLength, TStringList& features);

  std::atomic<int> FRelevant{0};
};

class TBayesianUniquenessTest final : public TBayesianTestBase {
 public:
  static constexpr const char* kClassName = "TBayesianUniquenessTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Bayesian Uniqueness Test"; }
  std::string Describe() override;
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // Base + "P".
  std::string GetResultCode(std::int32_t msgKey) override;
};

}  // namespace halvorn
