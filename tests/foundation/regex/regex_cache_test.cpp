// The process-wide cache of compiled patterns: one compilation per pattern
// and options, bad patterns kept with their error, the bound, the switch,
// and TPcreRegExpr compiling through it.
#include "foundation/regex/regex_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace halvorn {
namespace {

// Empties the cache and switches it on for one test, and again after it.
class RegexCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRegexCachesEnabled(true);
    ClearRegexCache();
  }
  void TearDown() override {
    SetRegexCachesEnabled(true);
    ClearRegexCache();
  }
};

TEST_F(RegexCacheTest, OneCompilationPerPatternAndOptions) {
  auto a = CachedRegex("fr+ee", TRegexOptions::None);
  auto b = CachedRegex("fr+ee", TRegexOptions::None);
  auto c = CachedRegex("fr+ee", TRegexOptions::Caseless);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_TRUE(c->IsMatch("FRREE"));
  EXPECT_FALSE(a->IsMatch("FRREE"));
  const TRegexCacheStats stats = RegexCacheStats();
  EXPECT_EQ(stats.Compiles, 2u);
  EXPECT_EQ(stats.Entries, 2u);
  EXPECT_GT(stats.Bytes, 0u);
}

TEST_F(RegexCacheTest, BadPatternKeptWithItsError) {
  std::string first;
  for (int i = 0; i < 3; ++i) {
    try {
      CachedRegex("a(b", TRegexOptions::None);
      ADD_FAILURE() << "no error";
    } catch (const ERegexException& e) {
      if (i == 0) first = e.what();
      EXPECT_EQ(e.what(), first);
      EXPECT_NE(e.Code(), 0);
    }
  }
  EXPECT_NE(first.find("Invalid Pattern 'a(b'"), std::string::npos) << first;
  const TRegexCacheStats stats = RegexCacheStats();
  EXPECT_EQ(stats.Compiles, 1u);
  EXPECT_EQ(stats.Failures, 1u);
  EXPECT_EQ(stats.Entries, 0u);
}

TEST_F(RegexCacheTest, SwitchedOffCompilesEveryTimeAndKeepsNothing) {
  SetRegexCachesEnabled(false);
  auto a = CachedRegex("x+", TRegexOptions::None);
  auto b = CachedRegex("x+", TRegexOptions::None);
  EXPECT_NE(a, b);
  EXPECT_THROW(CachedRegex("(", TRegexOptions::None), ERegexException);
  const TRegexCacheStats stats = RegexCacheStats();
  EXPECT_EQ(stats.Compiles, 3u);
  EXPECT_EQ(stats.Entries + stats.Failures, 0u);
}

TEST_F(RegexCacheTest, BoundedAndKeepsWhatIsInUse) {
  const std::string hot = "hot[0-9]+";
  CachedRegex(hot, TRegexOptions::None);
  for (std::size_t i = 0; i < 2 * kRegexCacheCapacity; ++i) {
    CachedRegex("p" + std::to_string(i), TRegexOptions::None);
    CachedRegex(hot, TRegexOptions::None);
    ASSERT_LE(RegexCacheStats().Entries, kRegexCacheCapacity);
  }
  const std::uint64_t compiles = RegexCacheStats().Compiles;
  EXPECT_TRUE(CachedRegex(hot, TRegexOptions::None)->IsMatch("hot42"));
  EXPECT_EQ(RegexCacheStats().Compiles, compiles);
}

TEST_F(RegexCacheTest, PcreRegExprCompilesThroughTheCache) {
  TPcreRegExpr first, second;
  for (TPcreRegExpr* matcher : {&first, &second}) {
    matcher->SetModifier(1, true);
    matcher->SetExpression("b.c");
    EXPECT_TRUE(matcher->Exec(std::string_view("aBxc")));
    EXPECT_TRUE(matcher->Matches("aBxc"));
    EXPECT_FALSE(matcher->Matches("abc"));
    // The match-only path keeps no record.
    EXPECT_EQ(matcher->LastSubject(), nullptr);
    EXPECT_EQ(matcher->LastMatch(), nullptr);
  }
  EXPECT_EQ(RegexCacheStats().Compiles, 1u);
  first.SetExpression("(");
  EXPECT_THROW(first.Matches("x"), ERegexException);
}

}  // namespace
}  // namespace halvorn
