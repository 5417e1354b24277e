// The classification program that makes the seed dictionaries: learning and
// judging message files, the seeds it writes, a deterministic run, its
// refusals; and (with HALVORN_FULL_CORPUS=1, since it learns 3 000 messages)
// that the committed seeds are exactly what it leaves after learning the
// training groups.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "message/message_checksums.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

const std::string kProgram = HALVORN_CLASSIFY_PROGRAM;

test::CommandResult Classify(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), kProgram);
  return test::RunCommand(arguments);
}

class HalvornClassify : public ::testing::Test {
 protected:
  HalvornClassify() {
    std::filesystem::create_directories(FFolder.Sub("ham"));
    std::filesystem::create_directories(FFolder.Sub("spam"));
    for (int i = 0; i < 3; ++i) {
      const std::string n = std::to_string(i);
      test::WriteFileBytes(FFolder.Sub("ham/" + n + ".eml"),
                           "From x Thu Aug 22 12:46:39 2002\nSubject: Meeting notes " + n +
                               "\n\nthe agenda for tomorrow and the minutes of yesterday\n");
      test::WriteFileBytes(FFolder.Sub("spam/" + n + ".eml"),
                           "Subject: Cheap pills " + n + "\n\nbuy cheap pills online today "
                           "limited offer click here\n");
    }
  }
  std::string Spam(const std::string& data) const {
    return data + "/Users/SingleUser/" + kSpamDictionaryFileName;
  }
  std::string Pers(const std::string& data) const {
    return data + "/Users/SingleUser/" + kPersDictionaryFileName;
  }
  test::TempFolder FFolder;
};

TEST_F(HalvornClassify, LearnsJudgesAndWritesTheSeedsTheSameWayEachTime) {
  std::vector<std::string> seeds;
  for (const char* run : {"one", "two"}) {
    SCOPED_TRACE(run);
    const std::string data = FFolder.Sub(run);
    std::filesystem::create_directories(data + "/seeds");
    const auto result = Classify({"--data", data, "--from-scratch", "--chain-length", "2",
                                  "--learn-ham", FFolder.Sub("ham"), "--learn-spam",
                                  FFolder.Sub("spam"), "--judge", FFolder.Sub("ham/0.eml"),
                                  "--write-seeds", data + "/seeds"});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    const auto lines = test::OutputLines(result.Output);
    ASSERT_EQ(lines.size(), 1u);
    // "<P>\t<relevant>\t<path>": eleven features of two-word chains, all
    // personal.
    const std::string tail = "\t11\t" + FFolder.Sub("ham/0.eml");
    ASSERT_GT(lines[0].size(), tail.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail);
    EXPECT_LT(std::strtod(lines[0].c_str(), nullptr), 0.5);

    TBayesianDictionary spam(Spam(data));
    TBayesianDictionary pers(Pers(data));
    EXPECT_EQ(spam.ChainLength(), 2);
    EXPECT_EQ(pers.ChainLength(), 2);
    EXPECT_EQ(spam.GetCount(CheckSumOfText("pills")), 3);
    EXPECT_EQ(spam.GetCount(CheckSumOfText("agenda")), 0);
    EXPECT_EQ(pers.GetCount(CheckSumOfText("agenda")), 3);
    EXPECT_EQ(pers.GetCount(CheckSumOfText("agenda") ^ CheckSumOfText("tomorrow")), 3)
        << "a chain of two words";
    std::string image;
    EXPECT_EQ(ExpandCompactBayesianImage(
                  test::ReadFileBytes(data + "/seeds/SpamBayesianDictionary.seed"), image),
              "");
    EXPECT_TRUE(image == test::ReadFileBytes(Spam(data)));
    seeds.push_back(test::ReadFileBytes(data + "/seeds/SpamBayesianDictionary.seed") +
                    test::ReadFileBytes(data + "/seeds/PersBayesianDictionary.seed"));
  }
  EXPECT_TRUE(seeds[0] == seeds[1]) << "the same files give the same seeds";
}

TEST_F(HalvornClassify, WithoutFromScratchTheShippedSeedsCount) {
  const std::string data = FFolder.Sub("seeded");
  const auto result = Classify({"--data", data, "--judge", FFolder.Sub("spam")});
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(test::OutputLines(result.Output).size(), 3u);
  std::string seed;
  ASSERT_EQ(ExpandCompactBayesianImage(ShippedSpamBayesianSeed(), seed), "");
  EXPECT_TRUE(test::ReadFileBytes(data + "/" + kSpamSeedFileName) == seed);
  EXPECT_TRUE(test::ReadFileBytes(Spam(data)) == seed);
}

TEST_F(HalvornClassify, BadCommandLinesAndFolders) {
  const std::string data = FFolder.Sub("used");
  ASSERT_EQ(Classify({"--data", data, "--learn-spam", FFolder.Sub("spam")}).ExitCode, 0);
  struct Row {
    const char* Name;
    std::vector<std::string> Arguments;
    int ExitCode;
  } rows[] = {
      {"no data folder", {"--judge", FFolder.Sub("spam")}, 2},
      {"an unknown option", {"--data", FFolder.Sub("x"), "--bogus"}, 2},
      {"a chain length of 6", {"--data", FFolder.Sub("x"), "--from-scratch", "--chain-length", "6"}, 2},
      {"a chain length without --from-scratch", {"--data", FFolder.Sub("x"), "--chain-length", "2"}, 2},
      {"--from-scratch over dictionaries", {"--data", data, "--from-scratch"}, 2},
      {"a message that cannot be read", {"--data", FFolder.Sub("y"), "--judge", FFolder.Sub("nothing")}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(Classify(row.Arguments).ExitCode, row.ExitCode);
  }
}

// The seeds are what the program leaves after learning easy-ham-1 as
// personal and spam-1 as spam, from scratch, with the committed chain
// length (scripts/train-defaults.sh --check also repeats the choice).
TEST_F(HalvornClassify, TheCommittedSeedsAreWhatLearningTheTrainingGroupsLeaves) {
  const char* full = std::getenv("HALVORN_FULL_CORPUS");
  if (full == nullptr || std::string(full) != "1")
    GTEST_SKIP() << "learns 3 000 messages: set HALVORN_FULL_CORPUS=1";
  if (test::CorpusDir().empty()) GTEST_SKIP() << "no mail corpus";
  std::string image;
  ASSERT_EQ(ExpandCompactBayesianImage(ShippedSpamBayesianSeed(), image), "");
  const std::string length = std::to_string(static_cast<int>(image[8]));
  const std::string data = FFolder.Sub("full");
  std::filesystem::create_directories(data + "/seeds");
  const auto result = Classify({"--data", data, "--from-scratch", "--chain-length", length,
                                "--learn-ham", test::CorpusDir() + "/easy-ham-1", "--learn-spam",
                                test::CorpusDir() + "/spam-1", "--write-seeds", data + "/seeds"});
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_TRUE(test::ReadFileBytes(data + "/seeds/SpamBayesianDictionary.seed") ==
              ShippedSpamBayesianSeed());
  EXPECT_TRUE(test::ReadFileBytes(data + "/seeds/PersBayesianDictionary.seed") ==
              ShippedPersBayesianSeed());
}

}  // namespace
}  // namespace halvorn
