// The Bayesian tests on messages whose dictionaries Python wrote with chosen
// counts: the probability and relevant count against a transcription (mpmath)
// over the features the test used, the edges of the judgement, the cache,
// training (from the features judged last or from another message's backup,
// and nothing without either), the uniqueness test's lines, the settings and
// category percentages, a new installation's seeds, and learning that
// survives a restart and a kill after the periodic save.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "classify/bayesian_tests.h"
#include "classify/classify_module.h"
#include "classify/combine_probabilities.h"
#include "foundation/files/folder_test_env.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/list_helpers.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "message/msg_category.h"
#include "support/bayesian_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::AddCounts;
using test::RunBayesOracle;
using test::TestMessage;

// The explanation's texts without their line-break prefix.
std::vector<std::string> Lines(const TTest& test) {
  std::vector<std::string> lines;
  const TSimpleHtml html = test.Explanation();
  for (int i = 0; i < html.Count(); ++i) {
    std::string line = html[i];
    if (line.rfind(kHtmlBreak, 0) == 0) line.erase(0, std::string(kHtmlBreak).size());
    lines.push_back(line);
  }
  return lines;
}

// The hashes of a message's features as the Bayesian test builds them.
std::vector<std::uint32_t> FeatureHashes(TEmailMsg& msg, int chainLength) {
  TStringList features;
  msg.GetBayesianWords(features, true);
  BuildWordChains(features, CheckSumOfText, chainLength);
  std::vector<std::uint32_t> hashes;
  for (int i = 0; i < features.Count(); ++i) hashes.push_back(FeatureHash(features, i));
  return hashes;
}

std::string Joined(const std::vector<std::uint32_t>& hashes) {
  std::string text;
  for (std::uint32_t hash : hashes) text += std::to_string(hash) + " ";
  return text;
}

class BayesianTestHome : public test::FolderEnvTest {
 protected:
  BayesianTestHome() { StartBayesianModule(); }
  ~BayesianTestHome() override { EndBayesianModule(); }

  std::string SpamPath() const { return FRoot.Sub("spam.dat"); }
  std::string PersPath() const { return FRoot.Sub("pers.dat"); }

  template <class Test>
  std::unique_ptr<Test> Make() {
    auto test = std::make_unique<Test>();
    test->SetName("Bayes");
    test->SetSpamDictPath(SpamPath());
    test->SetPersDictPath(PersPath());
    return test;
  }

  // Both dictionaries with the given counts by word and the same token sum
  // (padding on a slot no word uses), so a word seen as often on each side
  // is neutral.
  void WriteDictionaries(const std::map<std::string, std::pair<int, int>>& counts,
                         int tokens = 1000) {
    std::map<std::uint32_t, int> spam;
    std::map<std::uint32_t, int> pers;
    int spamSum = 0;
    int persSum = 0;
    for (const auto& [word, pair] : counts) {
      spam[CheckSumOfText(word)] = pair.first;
      pers[CheckSumOfText(word)] = pair.second;
      spamSum += pair.first;
      persSum += pair.second;
    }
    spam[999998] = tokens - spamSum;
    pers[999998] = tokens - persSum;
    std::filesystem::remove(SpamPath());
    std::filesystem::remove(PersPath());
    TBayesianDictionary spamDictionary(SpamPath());
    TBayesianDictionary persDictionary(PersPath());
    AddCounts(spamDictionary, spam);
    AddCounts(persDictionary, pers);
  }
};

constexpr const char* kEightWords =
    "From: a@example.com\r\n\r\nalpha bravo charlie delta echoes foxtrot golfing hotels\r\n";

// ---------------------------------------------------------------------------
// Judging

TEST_F(BayesianTestHome, TheProbabilityIsTheTranscriptions) {
  // 60 words of letters only (a word keeps only its letters), some repeated.
  std::string body;
  for (int i = 0; i < 60; ++i) {
    const int w = i % 41;
    body += std::string("word") + static_cast<char>('a' + w / 26) + static_cast<char>('a' + w % 26) +
            " ";
  }
  const std::string text =
      "From: a@example.com\r\nSubject: Cheap offer today\r\n\r\n" + body + "\r\n";
  struct Row {
    int ChainLength;
    int Seed;
  } rows[] = {{1, 1}, {1, 2}, {2, 3}, {3, 4}, {3, 5}};
  for (const Row& row : rows) {
    SCOPED_TRACE("chain length " + std::to_string(row.ChainLength) + ", seed " +
                 std::to_string(row.Seed));
    TEmailMsgRef msg = TestMessage(text);
    const std::vector<std::uint32_t> hashes = FeatureHashes(*msg, row.ChainLength);
    // Counts drawn per feature: unseen, one side only, or both, with the
    // token sums padded to differ.
    ASSERT_EQ(RunBayesOracle(
                  "import random\n"
                  "rng = random.Random(int(sys.argv[4]))\n"
                  "spam, pers = {}, {}\n"
                  "for h in map(int, sys.stdin.read().split()):\n"
                  "    kind = rng.randrange(4)\n"
                  "    s = rng.randrange(1, 40) if kind in (1, 3) else 0\n"
                  "    p = rng.randrange(1, 40) if kind in (2, 3) else 0\n"
                  "    spam[h % b.SLOTS], pers[h % b.SLOTS] = s, p\n"
                  "spam[999998], pers[999998] = rng.randrange(500, 3000), rng.randrange(500, 3000)\n"
                  "n = int(sys.argv[5])\n"
                  "b.write_dictionary(sys.argv[2], spam, chain_length=n)\n"
                  "b.write_dictionary(sys.argv[3], pers, chain_length=n)\n",
                  Joined(hashes),
                  {SpamPath(), PersPath(), std::to_string(row.Seed), std::to_string(row.ChainLength)})
                  .ExitCode,
              0);
    auto test = Make<TBayesianTest>();
    const bool passed = test->Evaluate(*msg, nullptr);
    std::int32_t key = 0;
    const TStringList used = test->LastFeatures(key);
    EXPECT_EQ(key, msg->GetContentId());
    std::vector<std::uint32_t> usedHashes;
    for (int i = 0; i < used.Count(); ++i) usedHashes.push_back(FeatureHash(used, i));
    EXPECT_EQ(usedHashes, hashes);
    const auto result = RunBayesOracle(
        "hashes = [int(x) for x in sys.stdin.read().split()]\n"
        "p, relevant = b.bayes(hashes, b.Dictionary(sys.argv[2]), b.Dictionary(sys.argv[3]))\n"
        "print(b.mpmath.nstr(p, 30), relevant)\n",
        Joined(usedHashes), {SpamPath(), PersPath()});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    std::istringstream expected(result.Output);
    std::string probabilityText;
    int relevant = 0;
    expected >> probabilityText >> relevant;
    ASSERT_GE(relevant, kBayesMinRelevantFeatures) << "the fixture must be judged";
    EXPECT_EQ(test->RelevantCount(), relevant);
    const long double want = std::strtold(probabilityText.c_str(), nullptr);
    EXPECT_LE(std::fabs(test->Probability() - want), 1e-13L * want)
        << static_cast<double>(test->Probability()) << " vs " << probabilityText;
    EXPECT_EQ(passed, test->Probability() >= 0.5L);
    const std::string code = test->GetResultCode(msg->GetContentId());
    EXPECT_EQ(CommaTextValue(code, "Pa"), passed ? "y" : "n");
    EXPECT_EQ(CommaTextValue(code, "C"), std::to_string(msg->GetContentId()));
    EXPECT_NEAR(std::strtod(CommaTextValue(code, "P").c_str(), nullptr),
                static_cast<double>(test->Probability()), 1e-16);
    const auto lines = Lines(*test);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), std::string(passed ? "email passed" : "email failed") +
                                 " Bayesian Test: \"Bayes\".");
    EXPECT_EQ(lines.back(), std::to_string(relevant) + " relevant words were found in the email.");
  }
}

TEST_F(BayesianTestHome, TheEdgesOfAJudgement) {
  struct Row {
    const char* Name;
    int Neutral;      // the first words, seen once on each side
    bool OneSided;    // the last word seen three times, in spam only
    double Maximum;
    std::vector<std::string> Lines;
  } rows[] = {
      {"5 relevant words",
       5,
       false,
       1,
       {"email failed Bayesian Test: \"Bayes\".",
        "Email did not contain enough text to make a reliable judgment.",
        "5 relevant words were found in the email."}},
      {"6 relevant words at exactly 0.5 pass the defaults",
       6,
       false,
       1,
       {"email passed Bayesian Test: \"Bayes\".", "Email has spam probability of 50%",
        "This is greater than the minimum threshold of 50%",
        "6 relevant words were found in the email."}},
      {"a maximum below 1 is named",
       6,
       false,
       0.9,
       {"email passed Bayesian Test: \"Bayes\".", "Email has spam probability of 50%",
        "This is greater than the minimum threshold of 50% and less than the maximum threshold "
        "of 90%",
        "6 relevant words were found in the email."}},
      {"a word spam alone has seen counts once on each side", 6, true, 1, {}},
  };
  const std::vector<std::string> words = {"alpha",   "bravo",   "charlie", "delta",
                                          "echoes",  "foxtrot", "golfing", "hotels"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::map<std::string, std::pair<int, int>> counts;
    for (int i = 0; i < row.Neutral; ++i) counts[words[i]] = {1, 1};
    if (row.OneSided) counts["hotels"] = {3, 0};
    WriteDictionaries(counts);
    auto test = Make<TBayesianTest>();
    test->SetMaxThreshold(row.Maximum);
    TEmailMsgRef msg = TestMessage(kEightWords);
    test->Evaluate(*msg, nullptr);
    if (!row.Lines.empty()) {
      EXPECT_EQ(Lines(*test), row.Lines);
    }
    if (row.Neutral < kBayesMinRelevantFeatures) {
      EXPECT_EQ(test->Probability(), -1);
      EXPECT_EQ(CommaTextValue(test->GetResultCode(0), "P"), "-1");
    }
    if (row.OneSided) {
      // 3 and 0 count as 4 and 1; the six neutral words before it keep 0.5.
      EXPECT_EQ(test->Probability(), CombineProbabilities(4.0L / 1000, 0.5L, 1.0L / 1000, 0.5L));
      EXPECT_NE(test->Probability(), CombineProbabilities(3.0L / 1000, 0.5L, 0.0L, 0.5L));
      EXPECT_EQ(test->RelevantCount(), 7);
    }
  }
}

TEST_F(BayesianTestHome, NoDictionaryOrAnAbortJudgesNothing) {
  auto test = std::make_unique<TBayesianTest>();
  EndBayesianModule();  // the globals are none now
  TEmailMsgRef msg = TestMessage(kEightWords);
  EXPECT_FALSE(test->Evaluate(*msg, nullptr));
  EXPECT_EQ(test->LastMsgKey(), -1);
  StartBayesianModule();
  std::atomic<bool> abort{true};
  EXPECT_FALSE(test->Evaluate(*msg, &abort));
  EXPECT_EQ(test->LastMsgKey(), -1);
  EXPECT_TRUE(Lines(*test).empty());
}

TEST_F(BayesianTestHome, ASecondEvaluateAnswersFromTheCache) {
  WriteDictionaries({{"alpha", {9, 1}}, {"bravo", {9, 1}}, {"charlie", {9, 1}},
                     {"delta", {9, 1}}, {"echoes", {9, 1}}, {"foxtrot", {9, 1}}});
  auto test = Make<TBayesianTest>();
  TEmailMsgRef msg = TestMessage(kEightWords);
  const bool first = test->Evaluate(*msg, nullptr);
  EXPECT_TRUE(first);
  const auto lines = Lines(*test);
  const long double probability = test->Probability();
  // Counts that would turn the judgement round change nothing for the same
  // message.
  AddCounts(*OpenBayesianDictionary(PersPath()), {{CheckSumOfText("alpha"), 500}});
  EXPECT_EQ(test->Evaluate(*msg, nullptr), first);
  EXPECT_EQ(Lines(*test), lines);
  EXPECT_EQ(test->Probability(), probability);
}

// ---------------------------------------------------------------------------
// Training

TEST_F(BayesianTestHome, OnlySpamAndPersonalTrain) {
  for (std::uint8_t category = 0; category <= kMsgCategoryCount; ++category) {
    SCOPED_TRACE(static_cast<int>(category));
    WriteDictionaries({{"alpha", {1, 1}}});
    auto test = Make<TBayesianTest>();
    TEmailMsgRef msg = TestMessage(kEightWords);
    test->Evaluate(*msg, nullptr);
    const std::string stats = test->Stats().SaveToText();
    test->UserCategorised(category, test->GetResultCode(msg->GetContentId()));
    TBayesianDictionaryRef spam = OpenBayesianDictionary(SpamPath());
    TBayesianDictionaryRef pers = OpenBayesianDictionary(PersPath());
    EXPECT_EQ(spam->TokenSum(), category == Mc_CommercialSpam ? 1008u : 1000u);
    EXPECT_EQ(pers->TokenSum(), category == Mc_Personal ? 1008u : 1000u);
    EXPECT_EQ(test->Stats().SaveToText() != stats,
              category == Mc_CommercialSpam || category == Mc_Personal);
    if (category == Mc_Personal) {
      EXPECT_EQ(pers->GetCount(CheckSumOfText("alpha")), 2);
      EXPECT_EQ(pers->GetCount(CheckSumOfText("hotels")), 1);
    }
  }
}

class BayesianTraining : public BayesianTestHome {
 protected:
  // A side record whose "BackupFile" names `backup`, with the text written
  // there when given; its Id.
  static std::int32_t RecordWithBackup(const std::string& backup, const std::string& text) {
    if (!text.empty()) {
      EXPECT_TRUE(test::WriteFileBytes(GetBackupsDir("") + "/" + backup, text));
    }
    TEmailInfo* record = nullptr;
    AcquireNewEmailInfo(record, {});
    record->SetValue(TEmailInfoKey::BackupFile, backup);
    const std::int32_t id = record->Id();
    ReleaseEmailInfo(record);
    return id;
  }

  static std::string Code(std::int32_t key) { return "Pa=y,C=" + std::to_string(key) + ",P=0.9"; }
};

TEST_F(BayesianTraining, AMessageNotJudgedLastIsLearnedFromItsBackup) {
  WriteDictionaries({{"alpha", {1, 1}}});
  auto test = Make<TBayesianTest>();
  TEmailMsgRef judged = TestMessage(kEightWords);
  test->Evaluate(*judged, nullptr);
  const std::int32_t other = RecordWithBackup(
      "other.eml", "From: b@example.com\r\nSubject: Backup\r\n\r\nzebras yellow xylophone\r\n");
  const int live = LiveEmailInfoCount();
  test->UserCategorised(Mc_Personal, Code(other));
  TBayesianDictionaryRef pers = OpenBayesianDictionary(PersPath());
  for (const char* word : {"zebras", "yellow", "xylophone", "backup!"}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(pers->GetCount(CheckSumOfText(word)), 1);
  }
  EXPECT_EQ(pers->GetCount(CheckSumOfText("bravo")), 0) << "not the message judged last";
  EXPECT_EQ(pers->TokenSum(), 1004u);
  EXPECT_NE(test->Stats().SaveToText(), TTestStats().SaveToText());
  EXPECT_EQ(LiveEmailInfoCount(), live) << "the side record is given back";
}

TEST_F(BayesianTraining, WithoutSideRecordOrBackupNothingIsLearned) {
  WriteDictionaries({{"alpha", {1, 1}}});
  struct Row {
    const char* Name;
    std::string Code;
  } rows[] = {
      {"no side record", Code(123456)},
      {"a backup that is not there", Code(RecordWithBackup("missing.eml", ""))},
      {"a backup name that leaves the folder",
       Code(RecordWithBackup("../escape.eml", ""))},
      {"no key", "Pa=y,P=0.9"},
      {"a key that is no number", "Pa=y,C=x12,P=0.9"},
  };
  ASSERT_TRUE(test::WriteFileBytes(GetUserDir("") + "/escape.eml", "Subject: x\r\n\r\nescaped\r\n"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    auto test = Make<TBayesianTest>();
    const int live = LiveEmailInfoCount();
    test->UserCategorised(Mc_CommercialSpam, row.Code);
    EXPECT_EQ(OpenBayesianDictionary(SpamPath())->TokenSum(), 1000u);
    EXPECT_EQ(test->Stats().SaveToText(), TTestStats().SaveToText()) << "not even the statistics";
    EXPECT_EQ(LiveEmailInfoCount(), live);
  }
}

// ---------------------------------------------------------------------------
// The uniqueness test

TEST_F(BayesianTestHome, TheUniquenessTestsLines) {
  std::string longBody = "hd first line\r\n";
  for (int i = 0; i < 1200; ++i) longBody += (i == 1100 ? "tl" : "filler") + std::string("\r\n");
  struct Row {
    const char* Name;
    std::string Text;
    bool Padded;  // both dictionaries hold 1200 tokens the message lacks
    std::vector<std::string> Lines;
  } rows[] = {
      {"fewer than 10 features",
       "Subject: Hi\r\n\r\nalpha bravo\r\n",
       true,
       {"email failed Bayesian Uniqueness Test: \"Bayes\".",
        "Email did not contain enough text to make a reliable judgment."}},
      {"unseen in two large dictionaries",
       std::string("Subject: Greetings\r\n\r\n") + kEightWords + " indigo juliet kilos\r\n",
       true,
       {"email failed Bayesian Uniqueness Test: \"Bayes\".",
        "Email text has been seen <i>very</i> rarely."}},
      {"the first 1000 lines", "Subject: Hello\r\n\r\n" + longBody, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    WriteDictionaries({}, row.Padded ? 1200 : 1);
    auto test = Make<TBayesianUniquenessTest>();
    TEmailMsgRef msg = TestMessage(row.Text);
    EXPECT_FALSE(test->Evaluate(*msg, nullptr));
    if (!row.Lines.empty()) {
      EXPECT_EQ(Lines(*test), row.Lines);
      continue;
    }
    std::int32_t key = 0;
    const TStringList features = test->LastFeatures(key);
    EXPECT_GE(features.IndexOf("hello"), 0) << "a subject word without its \"!\"";
    EXPECT_LT(features.IndexOf("hello!"), 0);
    EXPECT_GE(features.IndexOf("hd"), 0);
    EXPECT_LT(features.IndexOf("tl"), 0) << "beyond the first 1000 lines";
    EXPECT_EQ(features.Count(), 5) << "hello, filler, first, line, hd: each once";
  }
  WriteDictionaries({});
  auto test = Make<TBayesianUniquenessTest>();
  TEmailMsgRef msg = TestMessage(kEightWords);
  test->Evaluate(*msg, nullptr);
  EXPECT_EQ(CommaTextValue(test->GetResultCode(0), "P"), "-1");
  EXPECT_EQ(CommaTextValue(test->GetResultCode(0), "C"), "");
}

TEST_F(BayesianTestHome, AJudgedUniqueness) {
  // Ten words: the rare half sums 5 in spam and 10 in personal mail.
  std::map<std::string, std::pair<int, int>> counts;
  const std::vector<std::string> words = {"alpha", "bravo", "charlie", "delta", "echoes",
                                          "foxtrot", "golfing", "hotels", "indigo", "juliet"};
  for (const std::string& word : words) counts[word] = {1, 2};
  WriteDictionaries(counts, 100);
  auto test = Make<TBayesianUniquenessTest>();
  TEmailMsgRef msg = TestMessage("From: a@example.com\r\n\r\nalpha bravo charlie delta echoes foxtrot "
                             "golfing hotels indigo juliet\r\n");
  EXPECT_FALSE(test->Evaluate(*msg, nullptr));
  // k = round(10 x 0.5) = 5: six smallest, 6 / 100 against 12 / 100.
  EXPECT_NEAR(static_cast<double>(test->Probability()), 1.0 / 3, 1e-15);
  EXPECT_EQ(Lines(*test),
            (std::vector<std::string>{"email failed Bayesian Uniqueness Test: \"Bayes\".",
                                      "Email has uniqueness of 33%",
                                      "This is less than the minimum threshold of 50%"}));
}

// ---------------------------------------------------------------------------
// Settings, texts and category percentages

TEST_F(BayesianTestHome, SettingsSaveLoadAndSaveToTheSameText) {
  struct Row {
    double Minimum, Maximum;
    const char* StoredMinimum;
    const char* StoredMaximum;
  } rows[] = {{0.57, 1, "5700", "10000"},  // a truncation stored 5699
              {0.29, 0.9, "2900", "9000"},
              {0.0029, 0.5, "29", "5000"},
              {0.5, 0.1234, "5000", "1234"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.StoredMinimum);
    TBayesianTest test;
    test.SetName("Bayes");
    test.SetMinThreshold(row.Minimum);
    test.SetMaxThreshold(row.Maximum);
    test.SetSpamDictPath("/some/spam.dat");
    TQuorIniFile ini(FRoot.Sub("rules.txt"), true);
    test.SaveToIni(ini);
    EXPECT_EQ(ini.ReadString("Test-Bayes", "MinThreshold", ""), row.StoredMinimum);
    EXPECT_EQ(ini.ReadString("Test-Bayes", "MaxThreshold", ""), row.StoredMaximum);
    EXPECT_EQ(ini.ReadString("Test-Bayes", "SpamDictPath", ""), "/some/spam.dat");
    TStringList lines;
    ini.ReadSectionValues("Test-Bayes", lines);
    EXPECT_LT(lines.IndexOfName("PersDictPath"), 0) << "an empty path has no line";

    TBayesianTest loaded;
    loaded.SetName("Bayes");
    loaded.LoadFromIni(ini);
    TQuorIniFile again(FRoot.Sub("again.txt"), true);
    loaded.SaveToIni(again);
    EXPECT_EQ(again.SaveToStream(), ini.SaveToStream());
  }
  // Every value a file can hold comes back the same.
  TBayesianTest test;
  TQuorIniFile ini(FRoot.Sub("every.txt"), true);
  for (int stored = 0; stored <= 10000; ++stored) {
    test.SetMinThreshold(stored / 10000.0);
    test.SaveToIni(ini);
    ASSERT_EQ(ini.ReadInteger("Test-", "MinThreshold", -1), stored);
  }
}

TEST_F(BayesianTestHome, DescribeTexts) {
  TBayesianTest bayes;
  EXPECT_EQ(bayes.Describe(),
            "A statistical analysis of the email text indicates that the probability that it is "
            "spam is greater than 0.5 and less than 1");
  TBayesianUniquenessTest uniqueness;
  uniqueness.SetMinThreshold(0.25);
  uniqueness.SetMaxThreshold(0.75);
  EXPECT_EQ(uniqueness.Describe(),
            "A statistical analysis of the uniqueness of the email text indicates that the "
            "probability that it is spam is greater than 0.25 and less than 0.75");
  EXPECT_EQ(bayes.GetTypeName(), "Bayesian Test");
  EXPECT_EQ(uniqueness.GetTypeName(), "Bayesian Uniqueness Test");
  EXPECT_EQ(bayes.Validate(), "");
}

// A "P" of -1 (too little text) or -2 (seen very rarely) gave -100 and 200
// percent; it is no opinion now.
TEST_F(BayesianTestHome, CategoryPercentagesFromP) {
  struct Row {
    const char* Code;
    std::int32_t Spam, Personal;
  } rows[] = {{"C=5,P=0.73", 73, 27}, {"C=5,P=1", 100, 0},   {"C=5,P=0", 0, 100},
              {"C=5,P=-1", 40, 60},   {"C=5,P=-2", 40, 60},  {"C=5,P=x", 40, 60},
              {"C=5", 40, 60},        {"C=5,P=7", 40, 60}};
  TBayesianTest test;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Code);
    TCategoryProbability probability;
    probability.SetPercentage(Mc_CommercialSpam, 40);
    probability.SetPercentage(Mc_Personal, 60);
    test.GetCategoryProbability(row.Code, probability);
    EXPECT_EQ(probability.Percentage(Mc_CommercialSpam), row.Spam);
    EXPECT_EQ(probability.Percentage(Mc_Personal), row.Personal);
  }
}

TEST_F(BayesianTestHome, DeveloperModeAddsTheDictionaryFigures) {
  test::ScopedEnv developer("IsVostek", "Yes");
  WriteDictionaries({{"alpha", {1, 1}}});
  auto test = Make<TBayesianTest>();
  TEmailMsgRef msg = TestMessage(kEightWords);
  test->Evaluate(*msg, nullptr);
  const auto lines = Lines(*test);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 7, lines.end()),
            (std::vector<std::string>{"Total Word Count = 8", "SpamDict TokenCount = 2",
                                      "SpamDict TokenSum = 1000", "SpamDict NewTokenProb = 0.002",
                                      "PersDict TokenCount = 2", "PersDict TokenSum = 1000",
                                      "PersDict NewTokenProb = 0.002"}));
}

// ---------------------------------------------------------------------------
// A new installation, a restart and a kill

class BayesianInstall : public test::FolderEnvTest {};

TEST_F(BayesianInstall, ANewHomeStartsFromTheSeedsAndLearningSurvivesARestart) {
  ASSERT_FALSE(ShippedSpamBayesianSeed().empty());
  ASSERT_FALSE(ShippedPersBayesianSeed().empty());
  InitializeClassifyModule();
  const std::string spamSeed = GetInstallDir() + "/" + kSpamSeedFileName;
  const std::string persSeed = GetInstallDir() + "/" + kPersSeedFileName;
  for (const std::string& seed : {spamSeed, persSeed}) {
    SCOPED_TRACE(seed);
    EXPECT_EQ(BayesianImageProblem(test::ReadFileBytes(seed)), "");
  }
  TBayesianDictionaryRef spam = SpamBayesianDictionary();
  EXPECT_GT(spam->TokenSum(), 1000u);
  EXPECT_EQ(test::ReadFileBytes(GetUserDir("") + "/" + kSpamDictionaryFileName),
            test::ReadFileBytes(spamSeed));

  TBayesianTest test;
  TEmailMsgRef msg = TestMessage("Subject: Zqxwv\r\n\r\nqwertzu asdfghj yxcvbnm\r\n");
  test.Evaluate(*msg, nullptr);
  const std::uint32_t word = CheckSumOfText("qwertzu");
  const std::int32_t before = spam->GetCount(word);
  test.UserCategorised(Mc_CommercialSpam, test.GetResultCode(msg->GetContentId()));
  EXPECT_EQ(spam->GetCount(word), before + 1);
  spam.reset();
  FinalizeClassifyModule();

  // A second start keeps a seed that is there, whatever it holds.
  ASSERT_TRUE(test::WriteFileBytes(persSeed, "the user's own"));
  InitializeClassifyModule();
  EXPECT_EQ(test::ReadFileBytes(persSeed), "the user's own");
  EXPECT_EQ(SpamBayesianDictionary()->GetCount(word), before + 1);
  FinalizeClassifyModule();
}

constexpr const char* kKillChildVariable = "HALVORN_BAYES_KILL_CHILD";

// The child: learns a message as spam, runs the periodic save and waits to
// be killed.
TEST(BayesianKillChild, LearnsSavesAndWaits) {
  const char* home = std::getenv(kKillChildVariable);
  if (home == nullptr) GTEST_SKIP() << "runs only as the child of the kill test";
  test::ScopedEnv homeVariable("HALVORN_HOME", home);
  ResetFolderCachesForTests();
  StartBayesianModule();
  TBayesianTest test;
  TEmailMsgRef msg = TestMessage("Subject: Killed\r\n\r\nremembered words survive\r\n");
  test.Evaluate(*msg, nullptr);
  test.UserCategorised(Mc_CommercialSpam, test.GetResultCode(msg->GetContentId()));
  ASSERT_EQ(SaveChangedBayesianDictionaries(), 1);
  ASSERT_TRUE(test::WriteFileBytes(std::string(home) + "/ready", ""));
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST_F(BayesianInstall, WhatThePeriodicSaveWroteSurvivesAKill) {
  const std::string home = FRoot.Sub("child");
  test::ChildProcess child;
  test::ChildOptions options;
  options.Environment = {std::string(kKillChildVariable) + "=" + home};
  ASSERT_TRUE(child.Start({"/proc/self/exe", "--gtest_filter=BayesianKillChild.*"}, options))
      << child.Error();
  ASSERT_TRUE(test::Eventually([&] { return std::filesystem::exists(home + "/ready"); }, 60000));
  ::kill(child.Pid(), SIGKILL);
  ASSERT_TRUE(child.Wait(10000));
  TBayesianDictionary spam(home + "/Users/SingleUser/" + kSpamDictionaryFileName);
  EXPECT_FALSE(spam.WasDamaged());
  for (const char* word : {"remembered", "words", "survive", "killed!"}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(spam.GetCount(CheckSumOfText(word)), 1);
  }
}

}  // namespace
}  // namespace halvorn
