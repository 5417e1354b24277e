// The twelve test classes in the rules file: a file with one test of each
// loads, judges and saves back byte for byte; the sections placeholders kept
// before the classes existed load as the classes; a section without the
// classes' keys gives their stored defaults.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "classify/info_tag_test.h"
#include "classify/logical_test.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/sum_tests.h"
#include "classify/test_factory.h"
#include "classify/test_list.h"
#include "classify/unblock_code_tests.h"
#include "classify/value_tests.h"
#include "foundation/files/quor_ini_file.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::Lines;

const char* const kClasses[] = {
    "TTagValueTest",
    "TBodyTextTest",
    "TIPCheckTest",
    "TLogicalTest",
    "TSumTest",
    "TCategoryProbabilityTest",
    "TRegularExpressionTest",
    "TContainsUnblockCodeTest",
    "TBouncedUnblockCodeTest",
    "TMsgSizeTest",
    "TMyAddrTest",
    "TQuorInfoTest",
};

std::string Save(TTestList& list) {
  TQuorIniFile ini("");
  list.SaveToIni(ini, "Global");
  return ini.SaveToStream();
}

void Load(TTestList& list, const std::string& text) {
  TQuorIniFile ini("");
  ini.LoadFromStream(text);
  list.LoadFromIni(ini, "Global");
}

TEST(SimpleTestsStorage, TheRulesFileLoadsJudgesAndSavesTheSameBytes) {
  const std::string fixture = test::ReadFileBytes(test::DataPath("simple_tests_rules.txt"));
  ASSERT_FALSE(fixture.empty());
  test::ScopedPhraseLists lists;
  lists.Add("{Approved Senders}", {"ann@example.org"}, pltEmailAddress);
  lists.Add("{Body Text List}", {"* free money *"});
  test::ScopedTestList list;
  Load(*list, fixture);
  ASSERT_EQ(list->Count(), 12);
  for (int i = 0; i < list->Count(); ++i) {
    EXPECT_EQ(list->Items(i)->ClassName(), kClasses[i]);
    EXPECT_EQ(list->Items(i)->Validate(), "") << kClasses[i];
  }
  // The answers the settings give on fixtures with free money, with two
  // relays (110.1.2.3 the last) and with the property QuorCategory=18.
  const struct Row {
    const char* Fixture;
    Lines Passed;
  } rows[] = {
      {"alternative", {"Approved sender", "Cheap words", "Either", "Pattern", "Mine"}},
      {"received_2", {"Approved sender", "Relays", "Either", "Points", "Mine"}},
      {"properties", {"Approved sender", "Mine", "Category tag"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Fixture);
    auto msg = test::Fixture(row.Fixture);
    Lines passed;
    for (int i = 0; i < list->Count(); ++i) {
      auto test = list->Items(i);
      if (test->Evaluate(*msg, nullptr)) passed.push_back(test->Name());
    }
    EXPECT_EQ(passed, row.Passed);
  }
  EXPECT_EQ(Save(*list), fixture);
}

// Saved by placeholders before the classes were built, and loaded again by
// the classes, the file is the same.
TEST(SimpleTestsStorage, SectionsPlaceholdersKeptLoadAsTheClasses) {
  const std::string fixture = test::ReadFileBytes(test::DataPath("simple_tests_rules.txt"));
  std::string kept;
  {
    std::vector<std::unique_ptr<TScopedTestClassBinding>> unbound;
    for (const char* name : kClasses)
      unbound.push_back(std::make_unique<TScopedTestClassBinding>(name, nullptr));
    TTestList placeholders;
    Load(placeholders, fixture);
    for (const auto& test : placeholders.Snapshot())
      EXPECT_NE(std::dynamic_pointer_cast<TPlaceholderTest>(test), nullptr);
    kept = Save(placeholders);
  }
  TTestList classes;
  Load(classes, kept);
  for (const auto& test : classes.Snapshot())
    EXPECT_EQ(std::dynamic_pointer_cast<TPlaceholderTest>(test), nullptr) << test->ClassName();
  EXPECT_EQ(Save(classes), fixture);

  // The placeholder section of the older rules fixture.
  TTestList older;
  test::ScopedEnv home("HALVORN_HOME", test::TempFolder().Path());
  Load(older, test::ReadFileBytes(test::DataPath("rules_file.txt")));
  auto tag = std::dynamic_pointer_cast<TTagValueTest>(older.FindTestByName("Not built yet"));
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->Tag(), "Subject");
  EXPECT_EQ(tag->Value(), "{Banned Subject Lines}");
}

// What a section without the classes' own keys loads, against what a new
// test (as the editor makes it) has.
TEST(SimpleTestsStorage, MissingKeysLoadTheStoredDefaults) {
  std::string text = "[TestList]\r\n";
  for (int i = 0; i < 12; ++i) text += "Test" + std::to_string(i) + "=Test-" + kClasses[i] + "\r\n";
  for (const char* name : kClasses)
    text += std::string("[Test-") + name + "]\r\nClassName=" + name + "\r\n";
  TTestList list;
  Load(list, text);
  ASSERT_EQ(list.Count(), 12);
  auto body = std::dynamic_pointer_cast<TBodyTextTest>(list.Items(1));
  EXPECT_FALSE(body->InlineOnly());
  EXPECT_TRUE(TBodyTextTest().InlineOnly());
  auto ip = std::dynamic_pointer_cast<TIPCheckTest>(list.Items(2));
  EXPECT_EQ(ip->IPNumber(), 2147483647);
  EXPECT_EQ(TIPCheckTest().IPNumber(), 0);
  EXPECT_TRUE(std::dynamic_pointer_cast<TLogicalTest>(list.Items(3))->Terms().empty());
  auto sum = std::dynamic_pointer_cast<TSumTest>(list.Items(4));
  EXPECT_EQ(sum->Threshold(), 100);
  EXPECT_EQ(sum->EntryCount(), 0);
  auto category = std::dynamic_pointer_cast<TCategoryProbabilityTest>(list.Items(5));
  EXPECT_EQ(category->Threshold(), 75);
  EXPECT_EQ(category->MsgCategory(), Mc_CommercialSpam);
  auto regex = std::dynamic_pointer_cast<TRegularExpressionTest>(list.Items(6));
  EXPECT_TRUE(regex->ModifierI() && regex->ModifierM() && !regex->ModifierS() &&
              !regex->ModifierX());
  EXPECT_EQ(std::dynamic_pointer_cast<TMsgSizeTest>(list.Items(9))->MaxBytes(), 0);

  // A relay test without a relay number never passes.
  ip->SetIPRange("*");
  auto msg = test::Fixture("received_5");
  EXPECT_FALSE(ip->Evaluate(*msg, nullptr));
}

}  // namespace
}  // namespace halvorn
