#include "foundation/text/environment_texts.h"

#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ScopedEnv;

TEST(EnvironmentTexts, ReadsVariablesWhole) {
  ScopedEnv value("HALVORN_HELPERS_PROBE", std::string(300, 'v'));
  EXPECT_EQ(GetEnvironmentVar("HALVORN_HELPERS_PROBE"), std::string(300, 'v'));
  EXPECT_EQ(GetEnvironmentVar("HALVORN_HELPERS_UNSET_VARIABLE"), "");
}

TEST(EnvironmentTexts, ExpandsKnownNamesAndKeepsTheRest) {
  ScopedEnv home("HALVORN_TEST_HOME", "/home/user");
  ScopedEnv name("HALVORN_TEST_NAME", "mail");
  ScopedEnv empty("HALVORN_TEST_EMPTY", "");
  ScopedEnv percent("HALVORN_TEST_PERCENT", "%HALVORN_TEST_NAME%");
  struct Row {
    const char* text;
    const char* expected;
  } rows[] = {
      {"no references here", "no references here"},
      {"", ""},
      {"%HALVORN_TEST_HOME%/Mail", "/home/user/Mail"},
      {"%HALVORN_TEST_HOME%/%HALVORN_TEST_NAME%.txt", "/home/user/mail.txt"},
      {"%HALVORN_TEST_HOME%%HALVORN_TEST_NAME%", "/home/usermail"},
      {"%HALVORN_TEST_UNSET%/x", "%HALVORN_TEST_UNSET%/x"},
      {"%HALVORN_TEST_UNSET%HALVORN_TEST_NAME%", "%HALVORN_TEST_UNSETmail"},
      {"50% of %HALVORN_TEST_NAME%", "50% of mail"},
      {"100%", "100%"},
      {"%%", "%%"},
      {"a%%HALVORN_TEST_NAME%b", "a%mailb"},
      {"%halvorn_test_name%", "%halvorn_test_name%"},  // names compare exactly
      {"x%HALVORN_TEST_EMPTY%y", "xy"},
      {"%HALVORN_TEST_EMPTY%", "%HALVORN_TEST_EMPTY%"},   // nothing left: unchanged
      {"%HALVORN_TEST_PERCENT%", "%HALVORN_TEST_NAME%"},  // values are not expanded again
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(ExpandEnvironmentText(row.text), row.expected);
  }
}

TEST(EnvironmentTexts, HugeExpansionsLeaveTheTextUnchanged) {
  ScopedEnv big("HALVORN_TEST_BIG", std::string(20000, 'b'));
  EXPECT_EQ(ExpandEnvironmentText("%HALVORN_TEST_BIG%").size(), 20000u);
  const std::string twice = "%HALVORN_TEST_BIG%%HALVORN_TEST_BIG%";
  EXPECT_EQ(ExpandEnvironmentText(twice), twice);
}

}  // namespace
}  // namespace halvorn
