// Two threads run the rule program over different messages at once, each
// with its own matcher, through the shared pattern cache (emptied first, so
// they compile side by side). Each thread's outcomes equal those of a run
// alone. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/regex/regex_cache.h"
#include "rule_program_support.h"

namespace halvorn {
namespace {

TEST(RuleProgramThreads, TwoThreadsShareTheCache) {
  std::vector<std::string> names;
  for (const auto& entry : test::RuleFixtureBytes()) names.push_back(entry.first);
  ASSERT_GE(names.size(), 4u);
  std::map<std::string, std::vector<test::Outcome>> alone;
  for (const std::string& name : names)
    alone[name] = test::RunFixture(*test::RuleFixture(name)).Outcomes;

  ClearRegexCache();
  auto work = [&](std::size_t first, std::vector<std::string>& wrong) {
    for (std::size_t i = 0; i < 2 * names.size(); i += 2) {
      const std::string& name = names[(first + i) % names.size()];
      if (!(test::RunFixture(*test::RuleFixture(name)).Outcomes == alone[name]))
        wrong.push_back(name);
    }
  };
  std::vector<std::string> wrongA, wrongB;
  std::thread a([&] { work(0, wrongA); });
  std::thread b([&] { work(1, wrongB); });
  a.join();
  b.join();
  EXPECT_TRUE(wrongA.empty()) << wrongA.front();
  EXPECT_TRUE(wrongB.empty()) << wrongB.front();
  EXPECT_GT(RegexCacheStats().Entries, 0u);
}

}  // namespace
}  // namespace halvorn
