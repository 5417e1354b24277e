// The unblock-code tests against the keys of the processing options: codes
// in the Subject, in a delivery report's quoted bounce, in a base64
// attachment; codes that differ in case, stale codes the list still holds,
// short codes.
#include "classify/unblock_code_tests.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "foundation/app/log_capture.h"
#include "foundation/time/clock.h"
#include "message/processing_options.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Fixture;
using test::Lines;
using test::LogRecord;
using test::MessageFromBytes;

const TDateTime kNow = EncodeDateTime(2024, 3, 15, 10, 0, 0);

// The clock at kNow and the options holding the issued keys with their ages
// in days (not culled: a key past PendholdTime is still in the list), for
// the object's lifetime.
class ScopedKeys {
 public:
  explicit ScopedKeys(const std::vector<std::pair<std::string, int>>& keys) : FClock(kNow) {
    TProcessingOptions options;
    options.PendholdTime = 10;
    for (const auto& [key, age] : keys)
      options.Keys.AddNumber(key, static_cast<std::int64_t>(std::floor(kNow)) - age);
    SetProcessingOptions(kSingleUserName, options);
  }
  ~ScopedKeys() {
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
  }
  ScopedKeys(const ScopedKeys&) = delete;
  ScopedKeys& operator=(const ScopedKeys&) = delete;

 private:
  ScopedClockForTests FClock;
};

TEmailMsgRef WithSubject(const std::string& subject) {
  return MessageFromBytes("Subject: " + subject + "\r\nFrom: a@example.org\r\n\r\nBody\r\n");
}

TEST(UnblockCodeTests, HoldsValidKeyUsesTheCullRule) {
  // Valid until PendholdTime (10) days after the midnight that began the
  // key's day; the clock stands at 10:00.
  ScopedKeys keys({{"Key=Fresh001", 0}, {"Key=Edge0009", 9}, {"Key=Stale010", 10}});
  const auto options = GetGlobalProcessingOptions(kSingleUserName);
  EXPECT_TRUE(options->HoldsValidKey("KEY=FRESH001"));
  EXPECT_TRUE(options->HoldsValidKey("Key=Edge0009"));
  EXPECT_FALSE(options->HoldsValidKey("Key=Stale010"));
  EXPECT_FALSE(options->HoldsValidKey("Key=Fresh00"));
  EXPECT_FALSE(options->HoldsValidKey(""));
  TProcessingOptions culled = *options;
  culled.CullKeys();
  EXPECT_EQ(culled.Keys.Count(), 2);
}

TEST(UnblockCodeTests, ContainsUnblockCodeReadsTheSubject) {
  const char* const kPassed = "9 <br>email passed Contains Unblock Code Check \"Code\".";
  const char* const kFailed = "9 <br>email failed Contains Unblock Code Check \"Code\"";
  struct Row {
    const char* Subject;
    bool Result;
    const char* Detail;
  } rows[] = {
      {"Re: your mail KEY=ab3de5f7", true, "email contains unblock code \"KEY=ab3de5f7\"."},
      {"Key=Ab3dE5f7 again, key=Stale011", true, "email contains unblock code \"Key=Ab3dE5f7\"."},
      {"Resent key=Stale011", false,
       "The invalid/expired unblock code \"key=Stale011\" was found in this email."},
      {"Only key=Ab3", false,
       "The invalid/expired unblock code \"key=Ab3\" was found in this email."},
      {"Keys are lost", false, "No unblock code was found in this email."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Subject);
    test::LogCapture log;
    ScopedKeys keys({{"Key=Ab3dE5f7", 2}, {"Key=Stale011", 11}});
    TContainsUnblockCodeTest test;
    test.SetName("Code");
    test.SetStandardTestNum(60);
    auto msg = WithSubject(row.Subject);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(test),
              (Lines{row.Result ? kPassed : kFailed, std::string("9 <br>") + row.Detail}));
    EXPECT_TRUE(
        log.Contains(LogRecord("Code", "Msg " + std::string(row.Subject) + " " + row.Detail)))
        << log.Text();
    EXPECT_EQ(test::StandardTrite(*msg, 60), row.Result ? kTriteYes : kTriteNo);
  }
}

TEST(UnblockCodeTests, BouncedUnblockCodeReadsTheBodyPartsAndAttachedMessages) {
  const char* const kPassed = "9 <br>email passed Bounced Unblock Code Check \"Bounce\".";
  const char* const kFailed = "9 <br>email failed Bounced Unblock Code Check \"Bounce\"";
  const char* const kNone = "9 <br>No unblock code was found in this email.";
  struct Row {
    const char* What;
    TEmailMsgRef Msg;
    std::vector<std::pair<std::string, int>> Keys;
    bool Result;
    Lines Explanation;
    const char* Log;
  } rows[] = {
      {"the bounce quoted in a delivery report",
       Fixture("delivery_report"),
       {{"key=AB3DE5F7", 1}},
       true,
       {kPassed, "9 <br>email contains unblock code \"Key=Ab3dE5f7\"."},
       "contains unblock code \"Key=Ab3dE5f7\"."},
      {"a stale code in the report",
       Fixture("delivery_report"),
       {{"Key=Ab3dE5f7", 11}},
       false,
       {kFailed, kNone},
       "contains no unblock code \"Key=Ab3dE5f7\"."},
      {"a code inside a base64 attachment",
       Fixture("base64_key"),
       {{"Key=Ab3dE5f7", 1}},
       false,
       {kFailed, kNone},
       "contains no unblock code \"\"."},
      {"a valid code in the Subject",
       WithSubject("Re: Key=Ab3dE5f7"),
       {{"Key=Ab3dE5f7", 1}},
       false,
       {kFailed, "9 <br>email contains valid unblock code: \"Key=Ab3dE5f7\"", kFailed, kNone},
       "contains no unblock code \"Key=Ab3dE5f7\"."},
      {"only the first code of a part is taken",
       MessageFromBytes("Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                        "Content-Type: text/plain\r\n\r\nold Key=Stale011 new Key=Ab3dE5f7\r\n"
                        "--b\r\nContent-Type: text/plain\r\n\r\nnew KEY=ab3de5f7\r\n--b--\r\n"),
       {{"Key=Ab3dE5f7", 1}, {"Key=Stale011", 12}},
       true,
       {kPassed, "9 <br>email contains unblock code \"KEY=ab3de5f7\"."},
       "contains unblock code \"KEY=ab3de5f7\"."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    test::LogCapture log;
    ScopedKeys keys(row.Keys);
    TBouncedUnblockCodeTest test;
    test.SetName("Bounce");
    EXPECT_EQ(test.Evaluate(*row.Msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(test), row.Explanation);
    EXPECT_TRUE(log.Contains(LogRecord("Bounce", "Msg " + row.Msg->GetSubject() + " " + row.Log)))
        << log.Text();
    EXPECT_EQ(test.LastMsgKey(), row.Msg->GetContentId());
  }
}

TEST(UnblockCodeTests, WordsAndValidation) {
  TContainsUnblockCodeTest contains;
  TBouncedUnblockCodeTest bounced;
  EXPECT_EQ(contains.GetTypeName(), "Contains Unblock Code");
  EXPECT_EQ(bounced.GetTypeName(), "Bounced Unblock Code");
  EXPECT_EQ(contains.Describe(), "The message contains a valid unblock code.");
  EXPECT_EQ(bounced.Describe(), "The email contains a INVALID unblock code.");
  EXPECT_EQ(contains.GetNote(), "");
  for (TTest* test : std::vector<TTest*>{&contains, &bounced}) {
    EXPECT_EQ(test->Validate(), "the Test has no name");
    auto msg = WithSubject("Key=Ab3dE5f7");
    EXPECT_FALSE(test->Evaluate(*msg, nullptr));
    EXPECT_EQ(ExplanationLines(*test),
              Lines{"9 <br>Test is invalid because the Test has no name."});
    test->SetName("N");
    EXPECT_EQ(test->Validate(), "");
  }
}

}  // namespace
}  // namespace halvorn
