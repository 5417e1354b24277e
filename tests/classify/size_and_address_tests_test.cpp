// The size test against message sizes Python counted, its size texts, and
// the own-address test on the recorded mailbox.
#include "classify/size_and_address_tests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/app/log_capture.h"
#include "foundation/files/quor_ini_file.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Fixture;
using test::Lines;
using test::LogRecord;
using test::MessageFromBytes;

// Messages of exactly the sizes asked for, made and counted by Python.
const char* const kSizedMessages = R"PY(
import sys
for size in map(int, sys.argv[1:]):
    head = b'Subject: Size %d\r\nFrom: a@example.org\r\n\r\n' % size
    rest = size - len(head)
    lines = (rest - 3) // 80
    rest -= 80 * lines
    data = head + (b'x' * 78 + b'\r\n') * lines + b'x' * (rest - 2) + b'\r\n'
    sys.stdout.write('%d %s\n' % (len(data), data.hex()))
)PY";

TEST(MsgSizeTest, PassesAboveTheLimit) {
  const std::vector<std::string> sizes = {"999", "1234", "100000", "100001", "1000001"};
  std::vector<std::string> argv = {test::PythonPath(), "-c", kSizedMessages};
  argv.insert(argv.end(), sizes.begin(), sizes.end());
  const test::CommandResult python = test::RunCommand(argv);
  ASSERT_EQ(python.ExitCode, 0) << python.Output;
  const std::vector<std::string> lines = test::OutputLines(python.Output);
  ASSERT_EQ(lines.size(), sizes.size());
  const struct Row {
    bool Result;
    const char* Detail;
  } rows[] = {
      {false, "email size is 999 bytes (aprox. 999 bytes)"},
      {false, "email size is 1234 bytes (aprox. 1 Kilobytes)"},
      {false, "email size is 100 Kilobytes (aprox. 100 Kilobytes)"},
      {true, "email size is 100001 bytes (aprox. 100 Kilobytes)"},
      {true, "email size is 1000001 bytes (aprox. 1 Megabytes)"},
  };
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    ASSERT_EQ(lines[i].substr(0, lines[i].find(' ')), sizes[i]);
    test::LogCapture log;
    TEmailMsgRef msg =
        MessageFromBytes(test::BytesFromHex(lines[i].substr(lines[i].find(' ') + 1)));
    EXPECT_EQ(msg->GetSize(), std::stoi(sizes[i]));
    TMsgSizeTest test;
    test.SetName("Big");
    test.SetMaxBytes(100000);
    test.SetStandardTestNum(70);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), rows[i].Result);
    EXPECT_EQ(ExplanationLines(test),
              (Lines{rows[i].Result ? "9 <br>email passed Message Size Check \"Big\"."
                                    : "9 <br>email failed Message Size Code Check \"Big\"",
                     std::string("9 <br>") + rows[i].Detail}));
    EXPECT_TRUE(log.Contains(LogRecord("Big", "Msg Size " + sizes[i] +
                                                  (rows[i].Result ? " passed" : " failed") +
                                                  " Message Size Code Check")))
        << log.Text();
    EXPECT_EQ(test::StandardTrite(*msg, 70), rows[i].Result ? kTriteYes : kTriteNo);
  }
}

TEST(MsgSizeTest, SizeTextsLimitAndWords) {
  const struct Row {
    std::int64_t Size;
    const char* Exact;
    const char* Approximate;
  } rows[] = {
      {999, "999 bytes", "999 bytes"},
      {1234, "1234 bytes", "1 Kilobytes"},
      {100000, "100 Kilobytes", "100 Kilobytes"},
      {1000001, "1000001 bytes", "1 Megabytes"},
      {2000000000, "2 Gigabytes", "2 Gigabytes"},
      {2147483647, "2147483647 bytes", "2 Gigabytes"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SizeText(row.Size, false), row.Exact) << row.Size;
    EXPECT_EQ(SizeText(row.Size, true), row.Approximate) << row.Size;
  }

  TMsgSizeTest test;
  test.SetName("Big");
  EXPECT_EQ(test.GetTypeName(), "Message Size Check");
  EXPECT_EQ(test.MaxBytes(), 0);
  EXPECT_EQ(test.Validate(), "Maximun size must be greater than zero.");
  auto msg = Fixture("html_only");
  EXPECT_FALSE(test.Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(test),
            Lines{"9 <br>Test is invalid because Maximun size must be greater than zero.."});
  test.SetMaxBytes(100000);
  EXPECT_EQ(test.Describe(), "The total email size is greater than 100 Kilobytes.");
  test.SetMaxBytes(1234);
  EXPECT_EQ(test.Describe(), "The total email size is greater than 1234 bytes.");
  // Saving keeps the limit.
  TQuorIniFile ini("");
  test.SaveToIni(ini);
  EXPECT_EQ(test.MaxBytes(), 1234);
  EXPECT_EQ(ini.ReadString("Test-Big", "MaxBytes", ""), "1234");
  test.SetName("");
  EXPECT_EQ(test.Validate(), "the Test has no name");
}

// ---------------------------------------------------------------------------
// Own address

TEST(MyAddrTest, LooksForTheMailboxInToAndCC) {
  struct Row {
    const char* What;
    const char* Mailbox;  // empty: none recorded
    bool Result;
    const char* Headline;
    const char* Log;  // empty: no record
  } rows[] = {
      {"in capitals in To", "me@example.com", true,
       "9 <br>email passed Contains My Address Check \"Mine\".\"me@example.com\" found in To: "
       "Tag.",
       ""},
      {"in CC", "other@EXAMPLE.net", true,
       "9 <br>email passed Contains My Address Check \"Mine\".\"other@EXAMPLE.net\" found in CC: "
       "Tag.",
       ""},
      {"in neither", "stranger@example.com", false,
       "9 <br>email failed Contains My Address Check \"Mine\".",
       "failed Contains My Address Check."},
      {"no mailbox known", "", true,
       "9 <br>email passed Contains My Address Check \"Mine\" by default, as we couldn't find what "
       "mailbox the email came from.",
       "passed Contains My Address Check."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    test::LogCapture log;
    auto msg = Fixture("alternative");  // To: ME@EXAMPLE.COM, CC: Other <other@example.net>
    if (*row.Mailbox != '\0') msg->SetInfoValue(TEmailInfoKey::MailBox, row.Mailbox);
    TMyAddrTest test;
    test.SetName("Mine");
    test.SetStandardTestNum(80);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(test), Lines{row.Headline});
    EXPECT_EQ(test::StandardTrite(*msg, 80), row.Result ? kTriteYes : kTriteNo);
    if (*row.Log != '\0') {
      EXPECT_TRUE(
          log.Contains(LogRecord("Mine", "Msg Re: Fw: Meeting today " + std::string(row.Log))))
          << log.Text();
    } else {
      EXPECT_FALSE(log.Contains("Contains My Address")) << log.Text();
    }
  }
  TMyAddrTest test;
  EXPECT_EQ(test.GetTypeName(), "Contains My Address");
  EXPECT_EQ(test.Describe(), "The incoming email has my address in either the To or the CC tags.");
  EXPECT_EQ(test.Validate(), "the Test has no name");
  auto msg = Fixture("alternative");
  EXPECT_FALSE(test.Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(test), Lines{"9 <br>Test is invalid because the Test has no name"});
}

}  // namespace
}  // namespace halvorn
