// The Bayesian dictionary against Python transcriptions: the word hash and
// word chains against hashlib, the file against struct (what a save writes,
// where each counter lands, files Python writes, damaged files), the
// globals with their seeds, the compact form of the seeds, and the two
// measures over a message's features.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/folder_test_env.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/registry_settings.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "support/bayesian_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::AddCounts;
using test::FeaturesOf;
using test::HexOf;
using test::RunBayesOracle;

std::vector<std::string> Lines(const test::CommandResult& result) {
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  return test::OutputLines(result.Output);
}

// ---------------------------------------------------------------------------
// Hashes and word chains

TEST(BayesianFeatures, TheWordHashIsTheLowerCasedMd5) {
  const std::vector<std::string> words = {"",        "a",        "Viagra", "VIAGRA",
                                          "mIxEd",   "\xe9t\xc9", "Z[`z",  "don't",
                                          "\x80\xff", "word!",    "two words"};
  std::string input;
  for (const std::string& word : words) input += HexOf(word) + "\n";
  const auto expected = Lines(RunBayesOracle(
      "for line in sys.stdin:\n"
      "    print(b.checksum(bytes.fromhex(line.strip())))\n",
      input));
  ASSERT_EQ(expected.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    SCOPED_TRACE(HexOf(words[i]));
    EXPECT_EQ(std::to_string(CheckSumOfText(words[i])), expected[i]);
  }
  // Only A to Z are lower-cased: an upper-case 8-bit letter is another word.
  EXPECT_EQ(CheckSumOfText("VIAGRA"), CheckSumOfText("viagra"));
  EXPECT_NE(CheckSumOfText("\xc9"), CheckSumOfText("\xe9"));
}

TEST(BayesianFeatures, WordChainsAgreeWithTheTranscription) {
  struct Row {
    std::vector<std::string> Words;
    int ChainLength;
    std::vector<std::string> Texts;  // checked when not empty
  } rows[] = {
      {{"A", "B", "C", "D", "E"},
       3,
       {"A", "B", "A B", "C", "A C", "B C", "A B C", "D", "B D", "C D", "B C D", "E", "C E",
        "D E", "C D E"}},
      {{"one", "two", "three", "four", "five", "six"}, 1, {"one", "two", "three", "four", "five", "six"}},
      {{"one", "two", "three", "four", "five", "six"}, 2, {}},
      {{"one", "two", "three"}, 3, {"one", "two", "three"}},  // no more words than n
      {{"one", "two"}, 3, {"one", "two"}},
      {{"a", "b", "c", "d", "e", "f", "g"}, 5, {}},
      {{"Mixed", "mixed", "\xe9l\xe8ve", "x"}, 2, {}},
      {{}, 3, {}},
  };
  for (const Row& row : rows) {
    std::string input = std::to_string(row.ChainLength);
    for (const std::string& word : row.Words) input += " " + HexOf(word);
    SCOPED_TRACE(input);
    TStringList features;
    for (const std::string& word : row.Words) features.Add(word);
    BuildWordChains(features, CheckSumOfText, row.ChainLength);
    const auto expected = Lines(RunBayesOracle(
        "parts = sys.stdin.read().split()\n"
        "for text, h in b.word_chains([bytes.fromhex(p) for p in parts[1:]], int(parts[0])):\n"
        "    print(text.hex(), h)\n",
        input));
    ASSERT_EQ(static_cast<std::size_t>(features.Count()), expected.size());
    const std::size_t n = row.Words.size();
    const int k = row.ChainLength;
    if (k > 1 && static_cast<int>(n) > k) {
      EXPECT_EQ(features.Count(), (1 << k) - 1 + (static_cast<int>(n) - k) * (1 << (k - 1)));
    }
    for (int i = 0; i < features.Count(); ++i) {
      EXPECT_EQ(HexOf(features[i]) + " " + std::to_string(FeatureHash(features, i)), expected[i]);
      if (!row.Texts.empty()) {
        EXPECT_EQ(features[i], row.Texts[i]);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The file

class BayesianFile : public ::testing::Test {
 protected:
  std::string Path(const std::string& name = "dict.dat") const { return FFolder.Sub(name); }
  test::TempFolder FFolder;
};

TEST_F(BayesianFile, AFreshTableSavedAfterOneAdditionHasTheHeaderValues) {
  {
    TBayesianDictionary dictionary(Path());
    EXPECT_EQ(dictionary.NoveltyRate(), 0.5);
    EXPECT_FALSE(dictionary.IsChanged());
    EXPECT_EQ(dictionary.ChangeTime(), 0);
    std::int32_t old = -1;
    EXPECT_FALSE(dictionary.AddFeature(CheckSumOfText("viagra"), old));
    EXPECT_EQ(old, 0);
    EXPECT_GT(dictionary.ChangeTime(), 0);
    EXPECT_EQ(dictionary.NoveltyRate(), 1.0);
  }
  const auto lines = Lines(RunBayesOracle(
      "import os\n"
      "d = b.Dictionary(sys.argv[2])\n"
      "print(os.path.getsize(sys.argv[2]))\n"
      "print(d.header_size, d.version, d.chain_length, d.bits, d.slots, d.token_count, "
      "d.token_sum)\n"
      "print(d.ring[1], d.ring.count(2), d.ring.count(0))\n"
      "print(d.count(b.checksum(b'viagra')), sum(d.image[b.HEADER_SIZE:]))\n",
      {}, {Path()}));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "2001022");
  EXPECT_EQ(lines[1], "1022 1 1 16 1000000 1 1");
  EXPECT_EQ(lines[2], "0 999 1");
  EXPECT_EQ(lines[3], "1 1") << "one counter of 1, nothing else past the header";
}

TEST_F(BayesianFile, NothingAddedLeavesNoFile) {
  {
    TBayesianDictionary dictionary(Path());
    EXPECT_EQ(dictionary.GetCount(12345), 0);
    EXPECT_EQ(dictionary.Save(), "");
  }
  EXPECT_FALSE(std::filesystem::exists(Path()));
}

// Slots 0 to 510 would share their bytes with the header: every save wrote
// the header over them, and after a reload they read header bytes (slot 0
// read 1022). They live in the last 1022 bytes of the file instead.
TEST_F(BayesianFile, EveryCounterKeepsItsOwnBytes) {
  const std::map<std::uint32_t, int> counts = {
      {0, 3}, {1, 2}, {11, 4}, {510, 5}, {511, 6}, {999999, 7}, {1000000 + 42, 8}, {0xFFFFFF, 2}};
  {
    TBayesianDictionary dictionary(Path());
    AddCounts(dictionary, counts);
    EXPECT_EQ(dictionary.Save(), "");
  }
  std::string input;
  for (const auto& [hash, count] : counts) input += std::to_string(hash) + "\n";
  const auto lines = Lines(RunBayesOracle(
      "import struct\n"
      "d = b.Dictionary(sys.argv[2])\n"
      "print(struct.unpack_from('<H', d.image, 2000000)[0], "
      "struct.unpack_from('<H', d.image, 2001020)[0], struct.unpack_from('<H', d.image, 1022)[0])\n"
      "for line in sys.stdin:\n"
      "    print(d.count(int(line)))\n",
      input, {Path()}));
  ASSERT_EQ(lines.size(), counts.size() + 1);
  EXPECT_EQ(lines[0], "3 5 6") << "slot 0 at 2000000, slot 510 at 2001020, slot 511 at 1022";
  TBayesianDictionary reloaded(Path());
  int i = 1;
  for (const auto& [hash, count] : counts) {
    SCOPED_TRACE(hash);
    EXPECT_EQ(lines[i++], std::to_string(count));
    EXPECT_EQ(reloaded.GetCount(hash), count);
  }
  EXPECT_EQ(reloaded.TokenSum(), 37u);
  EXPECT_EQ(reloaded.TokenCount(), 8u);
}

TEST_F(BayesianFile, AFilePythonWroteLoadsWithItsCounts) {
  ASSERT_EQ(RunBayesOracle("b.write_dictionary(sys.argv[2], {0: 7, 510: 9, 511: 11, 123456: "
                           "65535, 999999: 3}, token_count=70000, token_sum=4000000000, "
                           "chain_length=3, ring=bytes([0] * 300 + [1] * 100 + [2] * 600), "
                           "version=7)\n",
                           {}, {Path()})
                .ExitCode,
            0);
  TBayesianDictionary dictionary(Path());
  EXPECT_FALSE(dictionary.WasDamaged());
  EXPECT_EQ(dictionary.GetCount(0), 7);
  EXPECT_EQ(dictionary.GetCount(1000000), 7);
  EXPECT_EQ(dictionary.GetCount(510), 9);
  EXPECT_EQ(dictionary.GetCount(511), 11);
  EXPECT_EQ(dictionary.GetCount(999999), 3);
  EXPECT_EQ(dictionary.GetCount(5), 0);
  EXPECT_EQ(dictionary.ChainLength(), 3);
  EXPECT_EQ(dictionary.TokenCount(), 70000u);
  EXPECT_EQ(dictionary.TokenSum(), 4000000000u);
  EXPECT_EQ(dictionary.Version(), 7u);
  EXPECT_EQ(dictionary.NoveltyRate(), 0.75);
  // A saturated counter stays; the token sum still grows.
  std::int32_t old = 0;
  EXPECT_TRUE(dictionary.AddFeature(123456, old));
  EXPECT_EQ(old, 65535);
  EXPECT_EQ(dictionary.GetCount(123456), 65535);
  EXPECT_EQ(dictionary.TokenSum(), 4000000001u);
  EXPECT_EQ(dictionary.TokenCount(), 70000u);
  EXPECT_FALSE(dictionary.AddFeature(7, old));
  EXPECT_EQ(dictionary.TokenCount(), 70001u);
  // The batch read answers as the single reads do.
  std::vector<std::uint32_t> counts;
  dictionary.GetCounts(FeaturesOf({0, 511, 123456, 7, 8}), counts);
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{7, 11, 65535, 1, 0}));
}

// Any file but a table of 1022 header bytes, 16 bits and 1 000 000 slots
// (2 001 022 bytes) with a chain length of 1 to 5 is damaged. A length check
// by the file's own header let 8 bits x 2 000 000 slots through (reads ran
// 2 MB past the image) and divided by 0 slots; and the damaged file was
// silently saved over.
TEST_F(BayesianFile, DamagedFilesAreKeptAsideAndAFreshTableBegins) {
  // Python writes one file of each kind, named after it.
  const char* script =
      "import struct\n"
      "folder = sys.argv[2]\n"
      "for kind in sys.argv[3:]:\n"
      "    path = folder + '/' + kind\n"
      "    b.write_dictionary(path, {600: 9}, chain_length=2)\n"
      "    data = bytearray(open(path, 'rb').read())\n"
      "    if kind == 'short': data = data[:-1]\n"
      "    elif kind == 'long': data += b'x'\n"
      "    elif kind == 'header1023': struct.pack_into('<I', data, 0, 1023)\n"
      "    elif kind == 'bits8': data[9] = 8; struct.pack_into('<I', data, 10, 2000000)\n"
      "    elif kind == 'slots0': struct.pack_into('<I', data, 10, 0)\n"
      "    elif kind == 'chain0': data[8] = 0\n"
      "    elif kind == 'chain6': data[8] = 6\n"
      "    elif kind == 'tiny': data = data[:100]\n"
      "    elif kind == 'empty': data = b''\n"
      "    open(path, 'wb').write(data)\n";
  const std::vector<std::string> kinds = {"short",  "long",   "header1023", "bits8", "slots0",
                                          "chain0", "chain6", "tiny",       "empty"};
  std::vector<std::string> arguments = {FFolder.Path()};
  arguments.insert(arguments.end(), kinds.begin(), kinds.end());
  ASSERT_EQ(RunBayesOracle(script, {}, arguments).ExitCode, 0);
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    const std::string path = Path(kind);
    const std::string damaged = test::ReadFileBytes(path);
    {
      TBayesianDictionary dictionary(path);
      EXPECT_TRUE(dictionary.WasDamaged());
      EXPECT_EQ(dictionary.GetCount(600), 0);
      EXPECT_EQ(dictionary.TokenSum(), 0u);
      EXPECT_EQ(dictionary.ChainLength(), 1);
      EXPECT_FALSE(std::filesystem::exists(path));
      std::int32_t old = 0;
      dictionary.AddFeature(600, old);
    }
    EXPECT_EQ(test::ReadFileBytes(path + ".damaged"), damaged);
    TBayesianDictionary fresh(path);
    EXPECT_FALSE(fresh.WasDamaged());
    EXPECT_EQ(fresh.GetCount(600), 1);
  }
  // A second damaged file never replaces the first one kept.
  ASSERT_TRUE(test::WriteFileBytes(Path("tiny"), "damaged again"));
  { TBayesianDictionary dictionary(Path("tiny")); }
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(FFolder.Path()))
    kept += entry.path().filename().string().rfind("tiny.damaged", 0) == 0;
  EXPECT_EQ(kept, 2);
}

TEST_F(BayesianFile, OneObjectPerFileAndAClosingOneSavesBeforeTheNextOpen) {
  TBayesianDictionaryRef first = OpenBayesianDictionary(Path());
  EXPECT_EQ(OpenBayesianDictionary(FFolder.Path() + "/sub/../dict.dat"), first);
  EXPECT_NE(OpenBayesianDictionary(Path("other.dat")), first);
  std::int32_t old = 0;
  first->AddFeature(4242, old);
  first.reset();  // the last holder: it saves as it goes
  EXPECT_EQ(OpenBayesianDictionary(Path())->GetCount(4242), 1);
}

TEST_F(BayesianFile, SavingWritesChangedDictionariesOnly) {
  TBayesianDictionaryRef changed = OpenBayesianDictionary(Path("changed.dat"));
  TBayesianDictionaryRef unchanged = OpenBayesianDictionary(Path("unchanged.dat"));
  std::int32_t old = 0;
  changed->AddFeature(77, old);
  EXPECT_GE(SaveChangedBayesianDictionaries(), 1);
  EXPECT_TRUE(std::filesystem::exists(Path("changed.dat")));
  EXPECT_FALSE(std::filesystem::exists(Path("unchanged.dat")));
  EXPECT_FALSE(changed->IsChanged());
  EXPECT_EQ(SaveChangedBayesianDictionaries(), 0);
  EXPECT_EQ(TBayesianDictionary(Path("changed.dat")).GetCount(77), 1);
}

TEST_F(BayesianFile, ChangedDictionariesAreMadeDurableByOneCommit) {
  TBayesianDictionaryRef first = OpenBayesianDictionary(Path("first.dat"));
  TBayesianDictionaryRef second = OpenBayesianDictionary(Path("second.dat"));
  std::int32_t old = 0;
  first->AddFeature(11, old);
  std::uint64_t before = DurabilityFlushCount();
  ASSERT_EQ(first->Save(), "");
  const std::uint64_t flushesForOne = DurabilityFlushCount() - before;
  first->AddFeature(12, old);
  second->AddFeature(21, old);
  before = DurabilityFlushCount();
  EXPECT_EQ(SaveChangedBayesianDictionaries(), 2);
  EXPECT_EQ(DurabilityFlushCount() - before, flushesForOne);
  first.reset();
  second.reset();
  EXPECT_EQ(TBayesianDictionary(Path("first.dat")).GetCount(12), 1);
  EXPECT_EQ(TBayesianDictionary(Path("second.dat")).GetCount(21), 1);
}

TEST_F(BayesianFile, AChainLengthOutsideOneToFiveIsRefused) {
  TBayesianDictionary dictionary(Path());
  EXPECT_THROW(dictionary.SetChainLength(0), std::invalid_argument);
  EXPECT_THROW(dictionary.SetChainLength(6), std::invalid_argument);
  dictionary.SetChainLength(3);
  EXPECT_TRUE(dictionary.IsChanged());
  TStringList words{"a", "b", "c", "d", "e", "f", "g"};
  EXPECT_THROW(BuildWordChains(words, CheckSumOfText, 6), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// The compact form of the seeds

TEST_F(BayesianFile, TheCompactFormGivesBackTheImage) {
  TBayesianDictionary dictionary(Path());
  AddCounts(dictionary, {{0, 1}, {510, 2}, {511, 3}, {999999, 300}, {128, 129}, {777777, 1}});
  dictionary.SetChainLength(2);
  const std::string image = dictionary.Image();
  const std::string compact = CompactBayesianImage(image);
  EXPECT_LT(compact.size(), 1100u);
  std::string expanded;
  EXPECT_EQ(ExpandCompactBayesianImage(compact, expanded), "");
  EXPECT_TRUE(expanded == image);
  EXPECT_THROW(CompactBayesianImage(image.substr(1)), std::invalid_argument);
}

TEST_F(BayesianFile, BrokenCompactFormsAreRefused) {
  TBayesianDictionary dictionary(Path());
  AddCounts(dictionary, {{5, 1}, {999999, 2}});
  const std::string good = CompactBayesianImage(dictionary.Image());
  const std::string header = good.substr(0, kBayesHeaderSize);
  auto count = [](std::uint32_t n) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((n >> (8 * i)) & 0xFF);
    return bytes;
  };
  std::string badHeader = header;
  badHeader[9] = 8;
  struct Row {
    const char* Name;
    std::string Compact;
  } rows[] = {
      {"cut in the header", good.substr(0, 500)},
      {"no valid header", badHeader + count(0)},
      {"cut after a counter", good.substr(0, good.size() - 1)},
      {"a byte too many", good + "x"},
      {"a count of 0", header + count(1) + std::string("\x05\x00", 2)},
      {"a count above 65535", header + count(1) + "\x05\x80\x80\x04"},
      {"a slot beyond the table", header + count(1) + "\xc0\x84\x3d\x01"},
      {"more counters than slots", header + count(1000001)},
      {"a number longer than 32 bits", header + count(1) + "\xff\xff\xff\xff\x7f\x01"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::string image = "left over";
    EXPECT_NE(ExpandCompactBayesianImage(row.Compact, image), "");
    EXPECT_TRUE(image.empty());
  }
}

// ---------------------------------------------------------------------------
// The globals

class BayesianGlobals : public test::FolderEnvTest {
 protected:
  BayesianGlobals() { StartBayesianModule(); }
  ~BayesianGlobals() override { EndBayesianModule(); }

  static std::string UserFile(const char* name) { return GetUserDir("") + "/" + name; }
  static std::string InstallFile(const char* name) { return GetInstallDir() + "/" + name; }
  static void WriteTable(const std::string& path, const std::map<std::uint32_t, int>& counts) {
    TBayesianDictionary dictionary(path);
    AddCounts(dictionary, counts);
  }
};

TEST_F(BayesianGlobals, AGlobalStartsFromItsSeedAndNeverReplacesTheUsersFile) {
  WriteTable(InstallFile(kSpamSeedFileName), {{100, 5}});
  WriteTable(InstallFile(kPersSeedFileName), {{200, 6}});
  WriteTable(UserFile(kPersDictionaryFileName), {{300, 7}});
  const std::string userPers = test::ReadFileBytes(UserFile(kPersDictionaryFileName));

  // Asking whether a dictionary is a global opens none: the seed still
  // counts afterwards.
  TBayesianDictionary other(FRoot.Sub("other.dat"));
  EXPECT_FALSE(IsGlobalBayesianDictionary(&other));
  EXPECT_FALSE(IsGlobalBayesianDictionary(nullptr));
  EXPECT_FALSE(std::filesystem::exists(UserFile(kSpamDictionaryFileName)));

  TBayesianDictionaryRef spam = SpamBayesianDictionary();
  ASSERT_TRUE(spam);
  EXPECT_EQ(spam, SpamBayesianDictionary());
  EXPECT_TRUE(IsGlobalBayesianDictionary(spam.get()));
  EXPECT_EQ(spam->GetCount(100), 5);
  EXPECT_EQ(test::ReadFileBytes(UserFile(kSpamDictionaryFileName)),
            test::ReadFileBytes(InstallFile(kSpamSeedFileName)));
  TBayesianDictionaryRef personal = PersonalBayesianDictionary();
  EXPECT_EQ(personal->GetCount(200), 0);
  EXPECT_EQ(personal->GetCount(300), 7);
  EXPECT_TRUE(test::ReadFileBytes(UserFile(kPersDictionaryFileName)) == userPers);

  // After the module's end the globals are none; learned counts come back.
  std::int32_t old = 0;
  spam->AddFeature(400, old);
  spam.reset();
  personal.reset();
  EndBayesianModule();
  EXPECT_FALSE(SpamBayesianDictionary());
  EXPECT_FALSE(PersonalBayesianDictionary());
  StartBayesianModule();
  EXPECT_EQ(SpamBayesianDictionary()->GetCount(400), 1);
}

TEST_F(BayesianGlobals, ADamagedGlobalStartsAgainFromItsSeed) {
  WriteTable(InstallFile(kSpamSeedFileName), {{100, 5}});
  ASSERT_TRUE(test::WriteFileBytes(UserFile(kSpamDictionaryFileName), "not a table"));
  TBayesianDictionaryRef spam = SpamBayesianDictionary();
  EXPECT_TRUE(spam->WasDamaged());
  EXPECT_EQ(spam->GetCount(100), 5);
  EXPECT_EQ(test::ReadFileBytes(UserFile(kSpamDictionaryFileName)).size(), kBayesImageSize);
  EXPECT_EQ(test::ReadFileBytes(UserFile(kSpamDictionaryFileName) + ".damaged"), "not a table");
  // A damaged seed is not copied: the table starts fresh.
  ASSERT_TRUE(test::WriteFileBytes(InstallFile(kPersSeedFileName), "broken seed"));
  EXPECT_EQ(PersonalBayesianDictionary()->TokenSum(), 0u);
  EXPECT_FALSE(std::filesystem::exists(UserFile(kPersDictionaryFileName)));
}

TEST_F(BayesianGlobals, TheRegistryArrayIsCarriedFromStartToEnd) {
  EndBayesianModule();
  const std::string records(40, '\x07');  // two whole records and a part
  ASSERT_TRUE(RegWriteStream("Test", "GlobalStandardTestCountArray", records));
  StartBayesianModule();
  EXPECT_EQ(GlobalStandardTestCountArray(), records.substr(0, 32));
  EndBayesianModule();
  EXPECT_EQ(GlobalStandardTestCountArray(), "");
  std::string stored;
  EXPECT_TRUE(RegReadStream("Test", "GlobalStandardTestCountArray", stored));
  EXPECT_EQ(stored, records.substr(0, 32));
  StartBayesianModule();
}

// ---------------------------------------------------------------------------
// Rare-feature probability and unseen share

TEST_F(BayesianFile, RareFeatureProbabilityAndUnseenShareAgreeWithTheTranscription) {
  struct Row {
    const char* Name;
    std::vector<std::uint32_t> Features;
    std::map<std::uint32_t, int> A, B;
    double Fraction;
    long double Expected;  // checked when not NaN
  };
  auto range = [](std::uint32_t from, int n) {
    std::vector<std::uint32_t> hashes;
    for (int i = 0; i < n; ++i) hashes.push_back(from + static_cast<std::uint32_t>(i));
    return hashes;
  };
  std::map<std::uint32_t, int> padding = {{900000, 600}};
  std::map<std::uint32_t, int> spread;
  for (std::uint32_t i = 0; i < 12; ++i) spread[10 + i] = static_cast<int>(i + 1);
  std::map<std::uint32_t, int> spreadPadded = spread;
  spreadPadded[900000] = 50;
  const Row rows[] = {
      {"9 features", range(10, 9), spread, spread, 0.5, -1},
      {"unseen, 1200 tokens", range(10, 12), padding, padding, 0.5, -2},
      {"unseen, 2 tokens", range(10, 12), {{900000, 1}}, {{900001, 1}}, 0.5, 0.5},
      {"rare ones only in B", range(10, 12), {{900000, 40}}, spread, 0.5, 0},
      {"rare ones only in A", range(10, 12), spread, {{900000, 40}}, 0.5, 1},
      {"both", range(10, 12), spread, spreadPadded, 0.5, NAN},
      {"k capped at count - 1", range(10, 12), spread, spreadPadded, 1.0, NAN},
      {"the smallest only", range(10, 12), spreadPadded, spread, 0.0, NAN},
      {"5.5 rounds to 6", range(10, 11), spread, spreadPadded, 0.5, NAN},
      {"6.5 rounds to 6", range(10, 13), spread, spreadPadded, 0.5, NAN},
  };
  // Each row's counts and token sums go to the transcription in one run.
  std::vector<std::unique_ptr<TBayesianDictionary>> dictionaries;
  std::ostringstream input;
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    const Row& row = rows[r];
    auto a = std::make_unique<TBayesianDictionary>(Path("a" + std::to_string(r)));
    auto b = std::make_unique<TBayesianDictionary>(Path("b" + std::to_string(r)));
    AddCounts(*a, row.A);
    AddCounts(*b, row.B);
    for (std::uint32_t hash : row.Features) input << a->GetCount(hash) << ' ';
    input << '\n';
    for (std::uint32_t hash : row.Features) input << b->GetCount(hash) << ' ';
    input << '\n' << a->TokenSum() << ' ' << b->TokenSum() << ' ' << row.Fraction << '\n';
    dictionaries.push_back(std::move(a));
    dictionaries.push_back(std::move(b));
  }
  const auto lines = Lines(RunBayesOracle(
      "rows = sys.stdin.read().splitlines()\n"
      "for i in range(0, len(rows), 3):\n"
      "    ca, cb = [int(x) for x in rows[i].split()], [int(x) for x in rows[i + 1].split()]\n"
      "    rest = rows[i + 2].split()\n"
      "    print(b.mpmath.nstr(b.rare(ca, cb, int(rest[0]), int(rest[1]), float(rest[2])), 30))\n"
      "    print(b.mpmath.nstr(b.unseen(ca), 30))\n",
      input.str()));
  ASSERT_EQ(lines.size(), 2 * std::size(rows));
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(row.Name);
    TBayesianDictionary& a = *dictionaries[2 * r];
    TBayesianDictionary& b = *dictionaries[2 * r + 1];
    const TStringList features = FeaturesOf(row.Features);
    const long double rare = RareFeatureProbability(features, a, b, row.Fraction);
    const long double want = std::strtold(lines[2 * r].c_str(), nullptr);
    EXPECT_LE(std::fabs(rare - want), 1e-15L) << static_cast<double>(rare) << " vs " << lines[2 * r];
    if (!std::isnan(static_cast<double>(row.Expected))) {
      EXPECT_EQ(rare, row.Expected);
    }
    const long double share = UnseenFeatureShare(features, a);
    EXPECT_LE(std::fabs(share - std::strtold(lines[2 * r + 1].c_str(), nullptr)), 1e-15L);
  }
  TBayesianDictionary a(Path("a.dat"));
  EXPECT_EQ(UnseenFeatureShare(TStringList(), a), -1);
}

}  // namespace
}  // namespace halvorn
