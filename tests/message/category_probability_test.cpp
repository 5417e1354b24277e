#include "message/category_probability.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace halvorn {

// Readable failure messages.
void PrintTo(const TCategoryProbability& p, std::ostream* os) {
  *os << "\"" << p.Name << "\" " << p.SaveToText();
}
void PrintTo(const TTestCategoryStats& s, std::ostream* os) {
  *os << s.TruePositives << "|" << s.FalsePositives << "|" << s.TrueNegatives << "|"
      << s.FalseNegatives;
}

namespace {

constexpr std::int32_t kMax = kDefiniteWeight;

// A probability from {category, percentage, weight} triples.
struct Value {
  TMsgCategory category;
  std::int32_t percentage;
  std::int32_t weight;
};

TCategoryProbability Probability(std::initializer_list<Value> values) {
  TCategoryProbability p;
  for (const Value& v : values) {
    p.SetPercentage(v.category, v.percentage);
    p.SetWeight(v.category, v.weight);
  }
  return p;
}

TEST(MsgCategory, NamesMaskTheFlagAndFallBackToUnknown) {
  struct Row {
    int value;
    std::string name;
    std::string enumName;
  } rows[] = {
      {0, "Unknown", "Mc_Unknown"},
      {1, "Chain Letter", "Mc_ChainLetter"},
      {2, "Petition", "Mc_Petition"},
      {3, "Urban Legend", "Mc_UrbanLegend"},
      {4, "Bulk", "Mc_Bulk"},
      {5, "Hoax", "Mc_Hoax"},
      {6, "Joke", "Mc_Joke"},
      {7, "Virus", "Mc_Virus"},
      {8, "Commercial Spam", "Mc_CommercialSpam"},
      {9, "Personal", "Mc_Personal"},
      {10, "Unknown", "Mc_Unknown"},
      {0x88, "Commercial Spam", "Mc_Unknown"},  // the flag is ignored by the display name only
      {0x8A, "Unknown", "Mc_Unknown"},
      {255, "Unknown", "Mc_Unknown"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(MsgCategoryToName(static_cast<std::uint8_t>(r.value)), r.name);
    EXPECT_EQ(MsgCategoryEnumName(static_cast<std::uint8_t>(r.value)), r.enumName);
  }
  EXPECT_EQ(MsgCategoryFromName("commercial SPAM"), Mc_CommercialSpam);
  EXPECT_EQ(MsgCategoryFromName("Urban Legend"), Mc_UrbanLegend);
  EXPECT_EQ(MsgCategoryFromName("Spam"), Mc_Unknown);
  EXPECT_EQ(MsgCategoryFromName(""), Mc_Unknown);
}

TEST(MsgCategorySet, HoldsOnlyCategoriesZeroToNine) {
  TMsgCategorySet set{Mc_Hoax, Mc_Personal};
  EXPECT_TRUE(set.Contains(Mc_Hoax));
  EXPECT_TRUE(set.Contains(Mc_Personal));
  EXPECT_FALSE(set.Contains(Mc_Bulk));
  set.Include(200);
  EXPECT_FALSE(set.Contains(200));
  set.Exclude(Mc_Hoax);
  EXPECT_EQ(set, (TMsgCategorySet{Mc_Personal}));
}

TEST(CategoryProbability, SetCategoryFixesTheCompanions) {
  struct Row {
    int category;
    TCategoryProbability expected;
  } rows[] = {
      {Mc_Personal, Probability({{Mc_Personal, 100, kMax}, {Mc_CommercialSpam, 0, kMax}, {Mc_Bulk, 0, kMax}})},
      {Mc_CommercialSpam, Probability({{Mc_CommercialSpam, 100, kMax}, {Mc_Personal, 0, kMax}})},
      {Mc_Bulk, Probability({{Mc_Bulk, 100, kMax}, {Mc_Personal, 0, kMax}})},
      {Mc_Joke, Probability({{Mc_Joke, 100, kMax}})},
      {Mc_Unknown, TCategoryProbability()},
      {10, TCategoryProbability()},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.category);
    TCategoryProbability p("kept");
    p.SetPercentage(Mc_Virus, 77);
    p.SetCategory(static_cast<std::uint8_t>(r.category));
    TCategoryProbability expected = r.expected;
    expected.Name = "kept";
    EXPECT_EQ(p, expected);
  }
}

TEST(CategoryProbability, OutOfRangeCategoriesReadZeroAndAreNotSet) {
  TCategoryProbability p;
  for (int category : {0, 10, 0x88}) {
    p.SetPercentage(static_cast<std::uint8_t>(category), 5);
    p.SetWeight(static_cast<std::uint8_t>(category), 5);
    EXPECT_EQ(p.Percentage(static_cast<std::uint8_t>(category)), 0);
  }
  EXPECT_TRUE(p.IsEmpty());
  p.SetWeight(Mc_Hoax, 1);
  EXPECT_FALSE(p.IsEmpty());
  p.Clear();
  EXPECT_TRUE(p.IsEmpty());
}

TEST(CategoryProbability, CurveAgreesWithPython) {
  std::vector<std::int32_t> inputs;
  for (int p = -60; p <= 160; ++p) inputs.push_back(p);
  inputs.push_back(1000);
  inputs.push_back(-1000);
  std::ostringstream script;
  script << "for p in [";
  for (std::int32_t p : inputs) script << p << ",";
  // Python's round() also takes halves to the even neighbour.
  script << "]:\n    print(round(100 * ((2 * p / 100 - 1) ** 3 + 1) / 2))\n";
  test::CommandResult python = test::RunPython(script.str());
  ASSERT_EQ(python.ExitCode, 0);
  std::istringstream expected(python.Output);
  for (std::size_t i = 0; i < inputs.size(); i += kMsgCategoryCount) {
    TCategoryProbability p;
    for (std::size_t k = 0; k < kMsgCategoryCount && i + k < inputs.size(); ++k)
      p.SetPercentage(kMsgCategories[k], inputs[i + k]);
    p.CurveValues();
    for (std::size_t k = 0; k < kMsgCategoryCount && i + k < inputs.size(); ++k) {
      std::int64_t want = 0;
      expected >> want;
      EXPECT_EQ(p.Percentage(kMsgCategories[k]), want) << "p = " << inputs[i + k];
    }
  }
  // The ends of the 32-bit range saturate instead of wrapping.
  TCategoryProbability extreme = Probability({{Mc_Bulk, INT32_MAX, 0}, {Mc_Hoax, INT32_MIN, 0}});
  extreme.CurveValues();
  EXPECT_EQ(extreme.Percentage(Mc_Bulk), INT32_MAX);
  EXPECT_EQ(extreme.Percentage(Mc_Hoax), INT32_MIN);
}

TEST(CategoryProbability, NormalizeBalancesSpamAgainstPersonal) {
  struct Row {
    const char* what;
    std::int32_t personal, personalWeight, spam, spamWeight;
    std::int32_t wantPersonal, wantSpam;
  } rows[] = {
      {"definite weights, odd curved spam", 100, kMax, 80, kMax, 62, 38},
      {"definite weights, odd curved personal", 80, kMax, 100, kMax, 37, 63},
      {"definite weights, even percentages", 75, kMax, 25, kMax, 56, 44},
      {"a large weight against a small one", 100, 2000000000, 10, 1, 99, 1},
      {"no personal weight", 0, 0, 80, 10, 39, 61},
      {"no spam weight", 75, 5, 0, 0, 56, 44},
      {"no weights at all", 90, 0, 10, 0, 50, 50},
      {"zero products: spam wins the tie", 0, 10, 0, 10, 0, 100},
      {"a zero sum from a negative weight", 100, 2, 50, -4, 100, 0},
      {"a negative sum", 100, 1, 100, -2, 100, 0},
      {"a summed percentage is limited first", 0, 0, 160, 10, 0, 100},
      {"out-of-range inputs are clamped", -20, 1, 150, 1, 0, 100},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TCategoryProbability p = Probability({{Mc_Personal, r.personal, r.personalWeight},
                                          {Mc_CommercialSpam, r.spam, r.spamWeight},
                                          {Mc_Virus, 75, 0}});
    p.Normalize();
    EXPECT_EQ(p.Percentage(Mc_Personal), r.wantPersonal);
    EXPECT_EQ(p.Percentage(Mc_CommercialSpam), r.wantSpam);
    EXPECT_EQ(p.Percentage(Mc_Virus), 56);  // other categories are clamped and curved only
    EXPECT_EQ(p.Weight(Mc_Personal), r.personalWeight);
  }
}

TEST(CategoryProbability, DefinitePersonalVerdictOutweighsAnOrdinarySpamJudgement) {
  // The definite weights are summed past 32 bits; wrapped, this became Spam 100.
  TCategoryProbabilityList list;
  TCategoryProbability verdict("UserVerdict");
  verdict.SetCategory(Mc_Personal);
  list.Add(verdict);
  list.Add(Probability({{Mc_CommercialSpam, 80, 10}, {Mc_Personal, 20, 10}}));
  TCategoryProbability combined("Combined");
  list.Combine(combined);
  EXPECT_EQ(combined.Weight(Mc_Personal), 1073741828);
  EXPECT_EQ(combined.Weight(Mc_CommercialSpam), 1073741828);
  EXPECT_EQ(combined.Percentage(Mc_Personal), 120);
  combined.Normalize();
  EXPECT_EQ(combined.Percentage(Mc_Personal), 62);
  EXPECT_EQ(combined.Percentage(Mc_CommercialSpam), 38);
  EXPECT_EQ(combined.Name, "Combined");
}

TEST(CategoryProbabilityList, CombineSumsPercentagesAndAveragesWeights) {
  struct Row {
    const char* what;
    std::vector<TCategoryProbability> items;
    TCategoryProbability expected;
  } rows[] = {
      {"nothing", {}, TCategoryProbability()},
      {"two equal spam judgements",
       {Probability({{Mc_CommercialSpam, 80, 10}}), Probability({{Mc_CommercialSpam, 80, 10}})},
       Probability({{Mc_CommercialSpam, 160, 10}})},
      {"weight 0 does not count",
       {Probability({{Mc_Joke, 10, 1}}), Probability({{Mc_Joke, 20, 2}}),
        Probability({{Mc_Joke, 30, 4}}), Probability({{Mc_Joke, 99, 0}})},
       Probability({{Mc_Joke, 60, 2}})},
      {"division toward zero", {Probability({{Mc_Hoax, 5, -3}}), Probability({{Mc_Hoax, 5, 2}})},
       Probability({{Mc_Hoax, 10, 0}})},
      {"two definite weights", {Probability({{Mc_Bulk, 100, kMax}}), Probability({{Mc_Bulk, 100, kMax}})},
       Probability({{Mc_Bulk, 200, kMax}})},
      {"percentages saturate", {Probability({{Mc_Virus, INT32_MAX, 1}}), Probability({{Mc_Virus, 1, 1}})},
       Probability({{Mc_Virus, INT32_MAX, 1}})},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TCategoryProbabilityList list;
    for (const TCategoryProbability& item : r.items) list.Add(item);
    TCategoryProbability combined = Probability({{Mc_Petition, 3, 3}});
    list.Combine(combined);
    EXPECT_EQ(combined, r.expected);
  }
}

TEST(CategoryProbability, MaxCategoryOrderTiesAndTheHoaxRule) {
  struct Row {
    const char* what;
    TCategoryProbability probability;
    TMsgCategorySet excluded;
    std::int32_t percentage;
    TMsgCategory category;
  } rows[] = {
      {"all zero", {}, {}, 0, Mc_Hoax},
      {"all zero, hoax excluded", {}, {Mc_Hoax}, 0, Mc_Virus},
      {"all excluded", {}, {Mc_ChainLetter, Mc_Petition, Mc_UrbanLegend, Mc_Bulk, Mc_Hoax, Mc_Joke, Mc_Virus, Mc_CommercialSpam, Mc_Personal}, 0, Mc_Unknown},
      {"all negative", Probability({{Mc_Hoax, -5, 1}, {Mc_Joke, -5, 1}, {Mc_ChainLetter, -5, 1}, {Mc_Petition, -5, 1}, {Mc_UrbanLegend, -5, 1}, {Mc_Bulk, -5, 1}, {Mc_Virus, -5, 1}, {Mc_CommercialSpam, -5, 1}, {Mc_Personal, -5, 1}}), {}, 0, Mc_Unknown},
      {"clear winner", Probability({{Mc_CommercialSpam, 80, 1}, {Mc_Personal, 20, 1}}), {}, 80, Mc_CommercialSpam},
      {"a tie goes to the later offer", Probability({{Mc_CommercialSpam, 70, 1}, {Mc_Personal, 70, 1}}), {}, 70, Mc_Personal},
      {"bulk is offered after spam", Probability({{Mc_CommercialSpam, 70, 1}, {Mc_Bulk, 70, 1}}), {}, 70, Mc_Bulk},
      {"hoax alone at 50", Probability({{Mc_Hoax, 50, 1}}), {}, 50, Mc_Hoax},
      {"hoax, spam and personal at 50", Probability({{Mc_Hoax, 50, 1}, {Mc_CommercialSpam, 50, 1}, {Mc_Personal, 50, 1}}), {}, 50, Mc_Personal},
      {"hoax and spam at 50", Probability({{Mc_Hoax, 50, 1}, {Mc_CommercialSpam, 50, 1}}), {}, 50, Mc_CommercialSpam},
      {"the second offer honours exclusion", Probability({{Mc_Hoax, 50, 1}, {Mc_CommercialSpam, 50, 1}, {Mc_Personal, 50, 1}}), {Mc_Personal}, 50, Mc_CommercialSpam},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::int32_t percentage = -1;
    TMsgCategory category = Mc_Joke;
    r.probability.GetMaxCategory(r.excluded, percentage, category);
    EXPECT_EQ(percentage, r.percentage);
    EXPECT_EQ(category, r.category);
  }
}

TEST(CategoryProbability, TextFormReadsUpToTheFirstBadValue) {
  TCategoryProbability p("name");
  for (int k = 0; k < kMsgCategoryCount; ++k) {
    p.SetPercentage(kMsgCategories[k], k + 1);
    p.SetWeight(kMsgCategories[k], k == 8 ? kMax : -(k + 10));
  }
  const std::string text = "1,2,3,4,5,6,7,8,9,-10,-11,-12,-13,-14,-15,-16,-17,2147483647";
  EXPECT_EQ(p.SaveToText(), text);
  TCategoryProbability back("other");
  back.LoadFromText(text);
  back.Name = "name";
  EXPECT_EQ(back, p);

  struct Row {
    std::string text;
    std::vector<std::int32_t> values;  // the first values read; the rest are 0
  } rows[] = {
      {"", {}},
      {"1,2,3", {1, 2, 3}},
      {"1,x,3", {1}},
      {"1,,3", {1}},
      {"1,2147483648,3", {1}},
      {" 7 , 8", {7, 8}},
      {"\"9\",+4", {9, 4}},
      {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    TCategoryProbability loaded = Probability({{Mc_Joke, 5, 5}});
    loaded.LoadFromText(r.text);
    for (std::size_t i = 0; i < 18; ++i) {
      TMsgCategory c = kMsgCategories[i % kMsgCategoryCount];
      std::int32_t got = i < kMsgCategoryCount ? loaded.Percentage(c) : loaded.Weight(c);
      EXPECT_EQ(got, i < r.values.size() ? r.values[i] : 0) << "value " << i;
    }
  }
}

TEST(CategoryProbability, DisplayText) {
  TCategoryProbability p;
  p.SetCategory(Mc_Personal);
  EXPECT_EQ(p.ToDisplayText(),
            "ChainLetter Prob=0 Weight = 0 | Petition Prob=0 Weight = 0 | UrbanLegend Prob=0 "
            "Weight = 0 | Bulk Prob=0 Weight = 2147483647 | Hoax Prob=0 Weight = 0 | Joke Prob=0 "
            "Weight = 0 | Virus Prob=0 Weight = 0 | CommercialSpam Prob=0 Weight = 2147483647 | "
            "Personal Prob=100 Weight = 2147483647");
}

TEST(TestStats, TextForm) {
  // A long-trained test's statistics read and write back unchanged.
  const std::string trained =
      "45|955032|56|1070918;0|955020|0|1070900;138|955076|176|1070942;32542|955427|116818|1071560;"
      "1077|954036|505|1070951;0|955020|20|1070900;448|990529|2011|1190025;"
      "801150|190550|831292|362572;189540|802160|361832|832032";
  TTestStats stats;
  stats.LoadFromText(trained);
  EXPECT_EQ(stats.Category(Mc_Personal).FalseNegatives, 832032u);
  EXPECT_EQ(stats.SaveToText(), trained);

  using S = TTestCategoryStats;
  struct Row {
    std::string text;
    std::vector<S> categories;  // categories 1, 2, ...; the rest zero
    std::string saved;
  } rows[] = {
      {"", {}, ""},
      {"0|0|0|0", {}, ""},
      {";;;;;;;;", {}, ""},
      {"5|6;;7", {{5, 6, 0, 0}, {}, {7, 0, 0, 0}}, "5|6|0|0;;7|0|0|0;;;;;;"},
      {"0|0|0|0;1|1|1|1;", {{}, {1, 1, 1, 1}}, ";1|1|1|1;;;;;;;"},
      {"1|x|3|4", {{1, 0, 3, 4}}, "1|0|3|4;;;;;;;;"},
      {"4294967295|4294967296|-1| 2", {{4294967295u, 0, 0, 2}}, "4294967295|0|0|2;;;;;;;;"},
      {";;;;;;;;;9|9|9|9", {}, ""},  // a tenth piece is ignored
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    TTestStats loaded;
    loaded.LoadFromText(trained);
    loaded.LoadFromText(r.text);
    for (int k = 0; k < kMsgCategoryCount; ++k) {
      S want = static_cast<std::size_t>(k) < r.categories.size() ? r.categories[k] : S{};
      EXPECT_EQ(loaded.Category(kMsgCategories[k]), want) << "category " << k + 1;
    }
    EXPECT_EQ(loaded.SaveToText(), r.saved);
  }
  EXPECT_THROW(stats.Category(Mc_Unknown), std::out_of_range);
  EXPECT_THROW(stats.Category(10), std::out_of_range);
}

TEST(TestStats, AddVerdict) {
  const TCategoryProbability judgement = Probability({{Mc_CommercialSpam, 80, 1},
                                                      {Mc_Personal, 20, 1},
                                                      {Mc_Virus, 50, 1},
                                                      {Mc_Joke, -1, 1},
                                                      {Mc_Hoax, 100, 0}});
  using S = TTestCategoryStats;
  struct Row {
    const char* what;
    TTrite verdict;
    double factor;
    S spam, personal, virus, joke, hoax, bulk;
  } rows[] = {
      {"yes", kTriteYes, 1, {80, 20, 0, 0}, {20, 80, 0, 0}, {}, {}, {100, 0, 0, 0}, {0, 100, 0, 0}},
      {"no", kTriteNo, 1, {0, 0, 80, 20}, {0, 0, 20, 80}, {}, {}, {0, 0, 100, 0}, {0, 0, 0, 100}},
      {"unknown", kTriteUnknown, 1, {}, {}, {}, {}, {}, {}},
      {"other verdict values", 7, 1, {}, {}, {}, {}, {}, {}},
      {"fractions are cut", kTriteYes, 0.33, {26, 6, 0, 0}, {6, 26, 0, 0}, {}, {}, {33, 0, 0, 0}, {0, 33, 0, 0}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TTestStats stats;
    stats.AddVerdict(judgement, r.verdict, r.factor);
    EXPECT_EQ(stats.Category(Mc_CommercialSpam), r.spam);
    EXPECT_EQ(stats.Category(Mc_Personal), r.personal);
    EXPECT_EQ(stats.Category(Mc_Virus), r.virus);
    EXPECT_EQ(stats.Category(Mc_Joke), r.joke);
    EXPECT_EQ(stats.Category(Mc_Hoax), r.hoax);
    EXPECT_EQ(stats.Category(Mc_Bulk), r.bulk);
  }

  // A counter neither wraps below zero nor past its largest value.
  TTestStats stats;
  stats.Category(Mc_Bulk) = {UINT32_MAX - 10, 10, 0, 0};
  stats.AddVerdict(Probability({{Mc_Bulk, 150, 1}}), kTriteYes, 1);
  EXPECT_EQ(stats.Category(Mc_Bulk), (S{UINT32_MAX, 0, 0, 0}));
}

class TestStatsProbability : public ::testing::Test {
 protected:
  void SetUp() override { ZeroCounts(); }
  void TearDown() override { ZeroCounts(); }
  static void ZeroCounts() {
    for (TMsgCategory c : kMsgCategories) SetGlobalCategoryCount(c, 0);
  }
};

TEST_F(TestStatsProbability, AgreementLessThePriorShare) {
  EXPECT_EQ(GlobalCategoryTotal(), 1u);  // never 0
  SetGlobalCategoryCount(Mc_CommercialSpam, 25);
  SetGlobalCategoryCount(Mc_Personal, 75);
  SetGlobalCategoryCount(0, 1000);  // not a category: ignored
  EXPECT_EQ(GlobalCategoryCount(0), 0u);
  EXPECT_EQ(GlobalCategoryTotal(), 100u);

  TTestStats stats;
  stats.Category(Mc_CommercialSpam) = {3, 1, 0, 0};
  stats.Category(Mc_Personal) = {1, 1, 0, 0};
  stats.Category(Mc_Joke) = {1, 3, 0, 0};
  // Two 32-bit counters whose sum wraps to 0 in 32 bits.
  stats.Category(Mc_Virus) = {0x80000000u, 0x80000000u, 0, 0};
  stats.Category(Mc_Hoax) = {UINT32_MAX, 0, 7, 0};

  TCategoryProbability yes("kept");
  stats.GetProbability(kTriteYes, yes);
  EXPECT_EQ(yes.Name, "kept");
  EXPECT_EQ(yes.Percentage(Mc_CommercialSpam), 50);  // 75% - 25%
  EXPECT_EQ(yes.Weight(Mc_CommercialSpam), 4);
  EXPECT_EQ(yes.Percentage(Mc_Personal), 0);  // 50% - 75%, clamped
  EXPECT_EQ(yes.Weight(Mc_Personal), 2);
  EXPECT_EQ(yes.Percentage(Mc_Joke), 25);
  EXPECT_EQ(yes.Percentage(Mc_Virus), 50);
  EXPECT_EQ(yes.Weight(Mc_Virus), 2147483646);
  EXPECT_EQ(yes.Percentage(Mc_Hoax), 100);
  EXPECT_EQ(yes.Weight(Mc_Hoax), 2147483646);
  EXPECT_EQ(yes.Percentage(Mc_Bulk), 0);  // no counts at all
  EXPECT_EQ(yes.Weight(Mc_Bulk), 1);

  TCategoryProbability no;
  stats.GetProbability(kTriteNo, no);
  EXPECT_EQ(no.Percentage(Mc_Hoax), 100);
  EXPECT_EQ(no.Weight(Mc_Hoax), 7);
  EXPECT_EQ(no.Weight(Mc_CommercialSpam), 1);

  TCategoryProbability unknown = Probability({{Mc_Hoax, 9, 9}});
  stats.GetProbability(kTriteUnknown, unknown);
  EXPECT_TRUE(unknown.IsEmpty());
}

TEST_F(TestStatsProbability, SetCategoryTrainsEveryCategory) {
  // What a user's categorisation adds to a test that said yes.
  TCategoryProbability verdict;
  verdict.SetCategory(Mc_Personal);
  TTestStats stats;
  stats.AddVerdict(verdict, kTriteYes, 1);
  EXPECT_EQ(stats.SaveToText(),
            "0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;"
            "100|0|0|0");
}

// Counts written by one thread while others read the total (run under
// ThreadSanitizer too).
TEST(CategoryCountsThreads, WrittenWhileRead) {
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i)
        SetGlobalCategoryCount(kMsgCategories[(i + t) % kMsgCategoryCount], static_cast<std::uint32_t>(i));
    });
  std::uint64_t seen = 0;
  threads.emplace_back([&seen] {
    for (int i = 0; i < kRounds; ++i) seen = std::max(seen, GlobalCategoryTotal());
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_GE(seen, 1u);
  for (TMsgCategory c : kMsgCategories) SetGlobalCategoryCount(c, 0);
  EXPECT_EQ(GlobalCategoryTotal(), 1u);
}

}  // namespace
}  // namespace halvorn
