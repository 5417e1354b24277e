// How the Bayesian tests judge mail they never learned from, with the
// shipped seeds alone: the groups easy-ham-2, hard-ham-1 and spam-2 of the
// corpus, which nothing trained or tuned reads. By default every tenth
// message of each group; HALVORN_FULL_CORPUS=1 judges them all. The figures
// are printed; the bounds only catch a judgement that has broken down to
// a coin's (or worse): they are far from the figures, never fitted to them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "classify/bayesian_tests.h"
#include "foundation/files/folder_test_env.h"
#include "message/email_msg.h"
#include "support/bayesian_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

struct TGroupFigures {
  int Messages = 0;
  int JudgedSpam = 0;
  int NotEnoughText = 0;
  std::vector<double> Uniqueness;  // the values of 0 and more
  int UniquenessTooLittle = 0;
  int UniquenessRare = 0;
};

bool FullCorpus() {
  const char* full = std::getenv("HALVORN_FULL_CORPUS");
  return full != nullptr && std::string(full) == "1";
}

class BayesianAccuracy : public test::FolderEnvTest {
 protected:
  BayesianAccuracy() {
    StartBayesianModule();
    EXPECT_EQ(InstallBayesianSeeds(), "");
  }
  ~BayesianAccuracy() override { EndBayesianModule(); }

  static TGroupFigures Judge(const std::string& group) {
    TGroupFigures figures;
    TBayesianTest bayes;
    TBayesianUniquenessTest uniqueness;
    const std::vector<std::string> files = test::CorpusFiles(group);
    const std::size_t step = FullCorpus() ? 1 : 10;
    for (std::size_t i = 0; i < files.size(); i += step) {
      std::string bytes = test::ReadFileBytes(files[i]);
      if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
      TEmailMsgRef msg = test::TestMessage(bytes);
      ++figures.Messages;
      figures.JudgedSpam += bayes.Evaluate(*msg, nullptr);
      figures.NotEnoughText += bayes.Probability() < 0;
      uniqueness.Evaluate(*msg, nullptr);
      const double u = static_cast<double>(uniqueness.Probability());
      if (u >= 0) figures.Uniqueness.push_back(u);
      figures.UniquenessTooLittle += u == -1;
      figures.UniquenessRare += u == -2;
    }
    std::sort(figures.Uniqueness.begin(), figures.Uniqueness.end());
    auto at = [&](double q) {
      return figures.Uniqueness.empty()
                 ? -1.0
                 : figures.Uniqueness[static_cast<std::size_t>(q * (figures.Uniqueness.size() - 1))];
    };
    std::printf(
        "%-10s %4d messages: %5.1f%% judged spam, %d with too little text; uniqueness "
        "quartiles %.3f %.3f %.3f %.3f %.3f, %d too little text, %d seen very rarely\n",
        group.c_str(), figures.Messages, 100.0 * figures.JudgedSpam / std::max(1, figures.Messages),
        figures.NotEnoughText, at(0), at(0.25), at(0.5), at(0.75), at(1),
        figures.UniquenessTooLittle, figures.UniquenessRare);
    return figures;
  }
};

TEST_F(BayesianAccuracy, TheSeedsJudgeMailTheyNeverSaw) {
  if (test::CorpusDir().empty()) GTEST_SKIP() << "no mail corpus";
  ASSERT_FALSE(ShippedSpamBayesianSeed().empty());
  const TGroupFigures easyHam = Judge("easy-ham-2");
  const TGroupFigures hardHam = Judge("hard-ham-1");
  const TGroupFigures spam = Judge("spam-2");
  ASSERT_GT(easyHam.Messages, 0);
  ASSERT_GT(hardHam.Messages, 0);
  ASSERT_GT(spam.Messages, 0);
  EXPECT_LT(easyHam.JudgedSpam, easyHam.Messages * 2 / 5);
  EXPECT_GT(spam.JudgedSpam, spam.Messages * 3 / 5);
  EXPECT_GT(easyHam.Uniqueness.size() + spam.Uniqueness.size(), 0u);
}

}  // namespace
}  // namespace halvorn
