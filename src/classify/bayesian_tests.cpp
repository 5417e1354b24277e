#include "classify/bayesian_tests.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <cmath>
#include <exception>
#include <utility>
#include <vector>

#include "classify/combine_probabilities.h"
#include "foundation/app/developer_mode.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/abandonment.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "message/msg_category.h"

namespace halvorn {

namespace {

constexpr const char* kNotEnoughText = "Email did not contain enough text to make a reliable judgment.";
constexpr const char* kSeenRarely = "Email text has been seen <i>very</i> rarely.";
// The very plain text lines the uniqueness test reads.
constexpr int kUniquenessLines = 1000;
// A raw backup larger than this is no message the program took in.
constexpr std::size_t kMaxBackupBytes = 64u * 1024 * 1024;
constexpr double kThresholdScale = 10000;

// A value as a whole percentage: times 100, truncated, "%".
std::string Percent(long double value) {
  return std::to_string(static_cast<long long>(std::trunc(value * 100))) + "%";
}

// The stored form of a threshold: times 10000, rounded to the nearest
// integer (a truncation turned 0.57 into 5699), within 32 bits.
std::int64_t StoredThreshold(double value) {
  if (std::isnan(value)) return 0;
  const double scaled = std::clamp(value * kThresholdScale, static_cast<double>(INT32_MIN),
                                   static_cast<double>(INT32_MAX));
  return std::llround(scaled);
}

// The share of the sorted totals above `value`: the index of the first
// total above it over their number; 0.5 with fewer than two totals, 0.99
// when none is above.
double RankAmong(const std::vector<std::uint32_t>& sorted, std::uint32_t value) {
  if (sorted.size() < 2) return 0.5;
  const auto above = std::upper_bound(sorted.begin(), sorted.end(), value);
  if (above == sorted.end()) return 0.99;
  return static_cast<double>(above - sorted.begin()) / static_cast<double>(sorted.size());
}

std::string Quoted(const std::string& name) {
  return "\"" + name + "\".";
}

}  // namespace

TBayesJudgement JudgeBayesianFeatures(const TStringList& features, TBayesianDictionary& spam,
                                      TBayesianDictionary& personal) {
  TBayesJudgement judgement;
  const std::uint32_t spamTokens = spam.TokenSum();
  const std::uint32_t personalTokens = personal.TokenSum();
  if (spamTokens == 0 || personalTokens == 0) return judgement;
  std::vector<std::uint32_t> spamCounts;
  std::vector<std::uint32_t> personalCounts;
  spam.GetCounts(features, spamCounts);
  personal.GetCounts(features, personalCounts);
  std::vector<std::uint32_t> totals(spamCounts.size());
  for (std::size_t i = 0; i < totals.size(); ++i) totals[i] = spamCounts[i] + personalCounts[i];
  std::sort(totals.begin(), totals.end());
  for (std::size_t i = 0; i < totals.size(); ++i) {
    std::uint32_t s = spamCounts[i];
    std::uint32_t p = personalCounts[i];
    if (s == 0 && p == 0) continue;
    // A feature one side has never seen is not certain proof.
    if (s == 0 || p == 0) {
      ++s;
      ++p;
    }
    const long double ps = static_cast<long double>(s) / spamTokens;
    const long double pp = static_cast<long double>(p) / personalTokens;
    const long double single = CombineTwoProbabilities(ps, pp);
    const double rank = RankAmong(totals, s + p);
    if (rank >= 0.6 || (single >= 0.01L && single <= 0.8L)) {
      judgement.Probability =
          CombineProbabilities(ps, judgement.Probability, pp, 1 - judgement.Probability);
      ++judgement.Relevant;
    }
  }
  return judgement;
}

void BuildUniquenessFeatures(TEmailMsg& msg, int chainLength, TStringList& features) {
  TStringList words;
  msg.GetBayesianWords(words, true);
  std::string text;
  msg.GetVeryPlainText(text, false, kUniquenessLines);
  TStringList plainWords;
  ParseIntoWords(text, plainWords);
  words.AddStrings(plainWords);
  TStringList reduced;
  for (int i = 0; i < words.Count(); ++i) {
    std::string word = TrimText(KeepCharsMatchingCopy(words[i], IsLetterChar));
    if (!word.empty()) reduced.Add(std::move(word));
  }
  RemoveDuplicateLinesUnsorted(reduced);
  BuildWordChains(reduced, CheckSumOfText, chainLength);
  features = std::move(reduced);
}

// ---------------------------------------------------------------------------
// TBayesianTestBase

void TBayesianTestBase::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const std::string section = SectionName();
  std::string spamPath;
  std::string persPath;
  double minimum;
  double maximum;
  {
    TCriticalSectionGuard guard(TestLock());
    spamPath = FSpamDictPath;
    persPath = FPersDictPath;
    minimum = FMinThreshold;
    maximum = FMaxThreshold;
  }
  ini.WriteString(section, "SpamDictPath", spamPath);
  ini.WriteString(section, "PersDictPath", persPath);
  ini.WriteInteger(section, "MinThreshold", StoredThreshold(minimum));
  ini.WriteInteger(section, "MaxThreshold", StoredThreshold(maximum));
}

void TBayesianTestBase::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  SetSpamDictPath(ini.ReadString(section, "SpamDictPath", SpamDictPath()));
  SetPersDictPath(ini.ReadString(section, "PersDictPath", PersDictPath()));
  std::int32_t stored = 0;
  if (ini.TryReadInteger(section, "MinThreshold", stored)) SetMinThreshold(stored / kThresholdScale);
  if (ini.TryReadInteger(section, "MaxThreshold", stored)) SetMaxThreshold(stored / kThresholdScale);
}

std::string TBayesianTestBase::SpamDictPath() const {
  TCriticalSectionGuard guard(TestLock());
  return FSpamDictPath;
}

std::string TBayesianTestBase::PersDictPath() const {
  TCriticalSectionGuard guard(TestLock());
  return FPersDictPath;
}

void TBayesianTestBase::SetSpamDictPath(const std::string& path) {
  TBayesianDictionaryRef old;  // let go of outside the lock
  TCriticalSectionGuard guard(TestLock());
  if (path == FSpamDictPath) return;
  FSpamDictPath = path;
  old = std::move(FDictionaries.Spam);
}

void TBayesianTestBase::SetPersDictPath(const std::string& path) {
  TBayesianDictionaryRef old;
  TCriticalSectionGuard guard(TestLock());
  if (path == FPersDictPath) return;
  FPersDictPath = path;
  old = std::move(FDictionaries.Personal);
}

double TBayesianTestBase::MinThreshold() const {
  TCriticalSectionGuard guard(TestLock());
  return FMinThreshold;
}

double TBayesianTestBase::MaxThreshold() const {
  TCriticalSectionGuard guard(TestLock());
  return FMaxThreshold;
}

void TBayesianTestBase::SetMinThreshold(double value) {
  TCriticalSectionGuard guard(TestLock());
  FMinThreshold = value;
}

void TBayesianTestBase::SetMaxThreshold(double value) {
  TCriticalSectionGuard guard(TestLock());
  FMaxThreshold = value;
}

long double TBayesianTestBase::Probability() const {
  TCriticalSectionGuard guard(TestLock());
  return FProbability;
}

TStringList TBayesianTestBase::LastFeatures(std::int32_t& msgKey) const {
  TCriticalSectionGuard guard(TestLock());
  msgKey = FFeaturesKey;
  return FFeatures;
}

bool TBayesianTestBase::StoredFeatures(std::int32_t msgKey, TStringList& features) const {
  TCriticalSectionGuard guard(TestLock());
  if (FFeaturesKey != msgKey) return false;
  features = FFeatures;
  return true;
}

TBayesianTestBase::TDictionaries TBayesianTestBase::Dictionaries() const {
  TCriticalSectionGuard guard(TestLock());
  return FDictionaries;
}

void TBayesianTestBase::Preprocess(TEmailMsg&) {
  OpenDictionaries();
}

void TBayesianTestBase::OpenDictionaries() {
  std::string spamPath;
  std::string persPath;
  bool needSpam;
  bool needPers;
  {
    TCriticalSectionGuard guard(TestLock());
    spamPath = FSpamDictPath;
    persPath = FPersDictPath;
    needSpam = !FDictionaries.Spam;
    needPers = !FDictionaries.Personal;
  }
  if (!needSpam && !needPers) return;
  // Opened without the test's lock: opening takes the dictionary's.
  TBayesianDictionaryRef spam;
  TBayesianDictionaryRef personal;
  if (needSpam) spam = spamPath.empty() ? SpamBayesianDictionary() : OpenBayesianDictionary(spamPath);
  if (needPers)
    personal = persPath.empty() ? PersonalBayesianDictionary() : OpenBayesianDictionary(persPath);
  TCriticalSectionGuard guard(TestLock());
  // The copies let go of at the end stay held by the test (or by nobody
  // when the path changed meanwhile, which is then let go of unlocked).
  if (!FDictionaries.Spam && FSpamDictPath == spamPath) FDictionaries.Spam = spam;
  if (!FDictionaries.Personal && FPersDictPath == persPath) FDictionaries.Personal = personal;
}

void TBayesianTestBase::GetCategoryProbability(const std::string& resultCode,
                                               TCategoryProbability& probability) {
  TTest::GetCategoryProbability(resultCode, probability);
  if (resultCode.empty()) return;
  double p = 0;
  // -1 (too little text) and -2 (seen very rarely) are no opinion; nor is
  // a stored value no judgement gives.
  if (!ReadProbability(resultCode, p) || !(p >= 0 && p <= 1)) return;
  probability.SetPercentage(Mc_CommercialSpam, static_cast<std::int32_t>(std::trunc(p * 100)));
  probability.SetPercentage(Mc_Personal, static_cast<std::int32_t>(std::trunc((1 - p) * 100)));
}

std::string TBayesianTestBase::DescribeAnalysis(const std::string& what) {
  const std::string reason = Validate();
  if (!reason.empty()) return "This Test IS INCOMPLETE/INVALID because " + reason + ".";
  return "A statistical analysis of " + what +
         " indicates that the probability that it is spam is greater than " +
         FloatToText(MinThreshold()) + " and less than " + FloatToText(MaxThreshold());
}

bool TBayesianTestBase::AddThresholdLines(long double value, const std::string& lead) {
  const double minimum = MinThreshold();
  const double maximum = MaxThreshold();
  AddExplanation(lead + Percent(value), kBayesLineLevel);
  const bool passed = minimum <= value && value <= maximum;
  if (passed) {
    std::string line = "This is greater than the minimum threshold of " + Percent(minimum);
    if (maximum < 1) line += " and less than the maximum threshold of " + Percent(maximum);
    AddExplanation(line, kBayesLineLevel);
    return true;
  }
  if (value < minimum)
    AddExplanation("This is less than the minimum threshold of " + Percent(minimum),
                   kBayesLineLevel);
  if (value > maximum)
    AddExplanation("This is greater than the maximum threshold of " + Percent(maximum),
                   kBayesLineLevel);
  return false;
}

void TBayesianTestBase::StoreJudgement(TEmailMsg& msg, TStringList& features,
                                       long double probability, bool result,
                                       const std::string& summary) {
  const std::int32_t key = msg.GetContentId();
  {
    TCriticalSectionGuard guard(TestLock());
    FFeatures = std::move(features);
    FFeaturesKey = key;
    FProbability = probability;
    CacheResult(msg, result);
  }
  InsertExplanation(0, summary + Quoted(Name()), kBayesSummaryLevel);
}

bool TBayesianTestBase::BeginJudgement(TEmailMsg& msg, const std::atomic<bool>* abort,
                                       TDictionaries& dictionaries, bool& answer) {
  answer = false;
  Preprocess(msg);
  dictionaries = Dictionaries();
  if (!dictionaries.Spam || !dictionaries.Personal) return false;
  return BeginEvaluate(msg, abort, answer);
}

bool TBayesianTestBase::ReadProbability(const std::string& resultCode, double& probability) {
  return TryStrToFloat(CommaTextValue(resultCode, "P"), probability);
}

std::string TBayesianTestBase::ResultCodeWith(std::int32_t msgKey, bool withKey) {
  const std::string base = TTest::GetResultCode(msgKey);
  std::int32_t key;
  long double probability;
  {
    TCriticalSectionGuard guard(TestLock());
    key = LastMsgKey();
    probability = FProbability;
  }
  TStringList code;
  if (!base.empty()) code.SetCommaText(base);
  if (withKey) code.Add("C=" + std::to_string(key));
  code.Add("P=" + FloatToText(static_cast<double>(probability)));
  return code.CommaText();
}

// ---------------------------------------------------------------------------
// TBayesianTest

std::string TBayesianTest::Describe() {
  return DescribeAnalysis("the email text");
}

bool TBayesianTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  TDictionaries dictionaries;
  bool answer = false;
  if (!BeginJudgement(msg, abort, dictionaries, answer)) return answer;

  TStringList features;
  msg.GetBayesianWords(features, true);
  BuildWordChains(features, CheckSumOfText, dictionaries.Spam->ChainLength());
  const TBayesJudgement judgement =
      JudgeBayesianFeatures(features, *dictionaries.Spam, *dictionaries.Personal);
  long double probability = judgement.Probability;
  bool result = false;
  if (judgement.Relevant < kBayesMinRelevantFeatures) {
    probability = -1;
    AddExplanation(kNotEnoughText, kBayesLineLevel);
  } else {
    result = AddThresholdLines(probability, "Email has spam probability of ");
  }
  AddExplanation(std::to_string(judgement.Relevant) + " relevant words were found in the email.",
                 kBayesLineLevel);
  const int featureCount = features.Count();
  FRelevant.store(judgement.Relevant);
  StoreJudgement(msg, features, probability, result,
                 result ? "email passed Bayesian Test: " : "email failed Bayesian Test: ");

  if (IsDeveloperMode()) {
    AddExplanation("Total Word Count = " + std::to_string(featureCount), kBayesLineLevel);
    const std::pair<const char*, TBayesianDictionary*> named[] = {
        {"SpamDict", dictionaries.Spam.get()}, {"PersDict", dictionaries.Personal.get()}};
    for (const auto& [name, dictionary] : named) {
      const std::string prefix(name);
      AddExplanation(prefix + " TokenCount = " + std::to_string(dictionary->TokenCount()),
                     kBayesLineLevel);
      AddExplanation(prefix + " TokenSum = " + std::to_string(dictionary->TokenSum()),
                     kBayesLineLevel);
      AddExplanation(prefix + " NewTokenProb = " + FloatToText(dictionary->NoveltyRate()),
                     kBayesLineLevel);
    }
  }
  return result;
}

std::string TBayesianTest::GetResultCode(std::int32_t msgKey) {
  return ResultCodeWith(msgKey, true);
}

bool TBayesianTest::BackupFeatures(std::int32_t msgKey, int chainLength, TStringList& features) {
  TBorrowedEmailInfo record;
  if (!AcquireEmailInfo(msgKey, record.Ref())) return false;
  const std::string name = record.Get()->Value(TEmailInfoKey::BackupFile);
  if (!IsPlainFileName(name)) return false;
  const std::string path = GetBackupsDir(Owner()) + "/" + name;
  if (!GetFileStamp(path).Exists) return false;
  std::string bytes;
  const std::string error = ReadFileBytes(path, kMaxBackupBytes, bytes, "message backup");
  if (!error.empty()) throw std::runtime_error(error);
  // A message of its own: it writes nothing and shares no side record.
  TEmailMsgRef backup = TEmailMsg::Create();
  backup->SetSaveChanges(false);
  backup->FSetFlaggedDeleted(true);
  backup->SetText(bytes);
  backup->GetBayesianWords(features, true);
  BuildWordChains(features, CheckSumOfText, chainLength);
  return true;
}

void TBayesianTest::UserCategorised(std::uint8_t category, const std::string& resultCode) {
  if (category != Mc_CommercialSpam && category != Mc_Personal) return;
  OpenDictionaries();
  const TDictionaries dictionaries = Dictionaries();
  if (!dictionaries.Spam || !dictionaries.Personal) return;
  std::int32_t key = 0;
  if (!TryStrToInt(CommaTextValue(resultCode, "C"), key)) return;
  try {
    TStringList features;
    if (!StoredFeatures(key, features) &&
        !BackupFeatures(key, dictionaries.Spam->ChainLength(), features))
      return;
    TBayesianDictionary& target =
        category == Mc_CommercialSpam ? *dictionaries.Spam : *dictionaries.Personal;
    target.AddFeatures(features);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (const std::exception& error) {
    Log(Name(), std::string("The categorised message was not learned: ") + error.what(), 5, true);
  }
  TTest::UserCategorised(category, resultCode);
}

// ---------------------------------------------------------------------------
// TBayesianUniquenessTest

std::string TBayesianUniquenessTest::Describe() {
  return DescribeAnalysis("the uniqueness of the email text");
}

bool TBayesianUniquenessTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  TDictionaries dictionaries;
  bool answer = false;
  if (!BeginJudgement(msg, abort, dictionaries, answer)) return answer;

  TStringList features;
  BuildUniquenessFeatures(msg, dictionaries.Spam->ChainLength(), features);
  const long double uniqueness =
      RareFeatureProbability(features, *dictionaries.Spam, *dictionaries.Personal, 0.5);
  bool result = false;
  if (uniqueness >= 0) {
    result = AddThresholdLines(uniqueness, "Email has uniqueness of ");
  } else if (uniqueness == -1) {
    AddExplanation(kNotEnoughText, kBayesLineLevel);
  } else if (uniqueness == -2) {
    AddExplanation(kSeenRarely, kBayesLineLevel);
  } else {
    result = true;
    AddExplanation("Error.", kBayesLineLevel);
  }
  StoreJudgement(msg, features, uniqueness, result,
                 result ? "email passed Bayesian Uniqueness Test: "
                        : "email failed Bayesian Uniqueness Test: ");
  return result;
}

std::string TBayesianUniquenessTest::GetResultCode(std::int32_t msgKey) {
  return ResultCodeWith(msgKey, false);
}

}  // namespace halvorn
