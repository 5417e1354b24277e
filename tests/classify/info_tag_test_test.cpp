// The info-tag test on the message's own properties: a plain value must match
// the whole property, a list's entries may match any part of it.
#include "classify/info_tag_test.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/app/log_capture.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Fixture;
using test::Lines;
using test::MessageFromBytes;
using test::ScopedPhraseLists;

TEST(QuorInfoTest, ComparesAProperty) {
  struct Row {
    const char* What;
    const char* Category;  // the property "QuorCategory"; empty: the fixture's "18"
    const char* Tag;
    const char* Value;
    std::vector<std::string> List;  // entries of "{Categories}" when Value names it
    bool Result;
    Lines Explanation;
  } rows[] = {
      {"a plain value",
       "8",
       "QuorCategory",
       "8",
       {},
       true,
       {"9 <br>email passed Quorvantis info test: \"Info\".",
        "6 <br>The substring: \"\" of the read value: \"8\" matched the search value \"8\" for "
        "the Quorvantis tag \"QuorCategory\"."}},
      {"a plain value matches the whole property",
       "",
       "QuorCategory",
       "8",
       {},
       false,
       {"5 <br>email failed Quorvantis info test: \"Info\".",
        "5 <br>The substring: \"\" of the read value: \"18\" did not match the search value \"8\" "
        "for the Quorvantis tag \"QuorCategory\"."}},
      {"a wildcard value",
       "",
       "quorcategory",
       "1#",
       {},
       true,
       {"9 <br>email passed Quorvantis info test: \"Info\".",
        "6 <br>The substring: \"\" of the read value: \"18\" matched the search value \"1#\" for "
        "the Quorvantis tag \"quorcategory\"."}},
      {"an absent property",
       "",
       "Missing",
       "*",
       {},
       false,
       {"5 <br>email failed Quorvantis info test: \"Info\".",
        "5 <br>The substring: \"\" of the read value: \"\" did not match the search value \"*\" "
        "for the Quorvantis tag \"Missing\"."}},
      {"a list entry anywhere in the value",
       "",
       "QuorCategory",
       "{Categories}",
       {"8*"},
       true,
       {"9 <br>email passed Quorvantis info test: \"Info\".",
        "6 <br>The substring: \"8\" of the read value: \"18\" matched search value \"\" found in "
        "the list \"{Categories}\" for the Quorvantis tag \"QuorCategory\"."}},
      {"a plain list entry",
       "8",
       "QuorCategory",
       "{Categories}",
       {"8", "9"},
       true,
       {"9 <br>email passed Quorvantis info test: \"Info\".",
        "6 <br>The substring: \"\" of the read value: \"8\" matched search value \"\" found in "
        "the list \"{Categories}\" for the Quorvantis tag \"QuorCategory\"."}},
      {"no list entry",
       "",
       "QuorCategory",
       "{Categories}",
       {"8", "9"},
       false,
       {"5 <br>email failed Quorvantis info test: \"Info\".",
        "5 <br>The substring: \"\" of the read value: \"18\" did not match any search values in "
        "the list \"{Categories}\" for the Quorvantis tag \"QuorCategory\"."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    test::LogCapture log;
    ScopedPhraseLists lists;
    if (!row.List.empty()) lists.Add("{Categories}", row.List);
    TEmailMsgRef msg = *row.Category == '\0'
                           ? Fixture("properties")
                           : MessageFromBytes(std::string("X-SMTP: QuorCategory=") + row.Category +
                                              "\r\nSubject: s\r\n\r\nBody\r\n");
    TQuorInfoTest test;
    test.SetName("Info");
    test.SetTag(row.Tag);
    test.SetValue(row.Value);
    test.SetStandardTestNum(90);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(test), row.Explanation);
    EXPECT_EQ(test::StandardTrite(*msg, 90), row.Result ? kTriteYes : kTriteNo);
    EXPECT_EQ(test.LastMsgKey(), msg->GetContentId());
    EXPECT_FALSE(log.Contains("S=Info")) << log.Text();
  }
}

TEST(QuorInfoTest, WordsValidationAndRenames) {
  ScopedPhraseLists lists;
  lists.Add("{Categories}", {"8"}, pltStrings, "Spam only.");
  TQuorInfoTest test;
  EXPECT_EQ(test.GetTypeName(), "Quorvantis Info Tag");
  EXPECT_EQ(test.GetNote(), kWildcardNote);
  test.SetName("Info");
  test.SetTag("QuorCategory");
  EXPECT_EQ(test.Validate(), "value is not specified");
  auto msg = Fixture("properties");
  EXPECT_FALSE(test.Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(test), Lines{"9 <br>Test is invalid because value is not specified"});
  EXPECT_EQ(test.LastMsgKey(), -1);
  EXPECT_EQ(test.Describe(),
            "This Test IS INCOMPLETE/INVALID because value is not specified.\r\nemail has \"\" as "
            "the value for Quorvantis tag \"QuorCategory\"");
  test.SetValue("{categories}");
  EXPECT_EQ(test.Describe(),
            "email has one of the phrases in the list\"{categories}\" as the value for Quorvantis "
            "tag \"QuorCategory\"\r\n\r\nDescription of the list is as follows:\r\nSpam only.");
  test.PhraseListRenamed("{Cats}", "{Categories}");
  EXPECT_EQ(test.Value(), "{categories}");
  test.SetValue("{Categories}");
  test.PhraseListRenamed("{Cats}", "{Categories}");
  EXPECT_EQ(test.Value(), "{Cats}");
}

}  // namespace
}  // namespace halvorn
