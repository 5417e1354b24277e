// The header-value, body-text and relay tests on fixture messages made with
// Python's email package: answer, explanation, log record and standard-test
// trites per case; their words; following list renames; and the header-value
// test against Python's decoding of every corpus Subject.
#include "classify/value_tests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "classify/test_numbers.h"
#include "foundation/app/log_capture.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Fixture;
using test::Lines;
using test::LogRecord;
using test::MessageFromBytes;
using test::ScopedPhraseLists;

// A list row of a table: the list's name and entries (no list when the name
// is empty).
struct TListSpec {
  const char* Name = "";
  Lines Entries;
  std::uint8_t Type = pltStrings;
};

void AddList(ScopedPhraseLists& lists, const TListSpec& spec) {
  if (*spec.Name != '\0') lists.Add(spec.Name, spec.Entries, spec.Type);
}

// One judgement: the answer, the explanation lines and the log record.
struct TOutcome {
  bool Answer;
  Lines Explanation;
};

void ExpectJudgement(TTest& test, TEmailMsg& msg, const TOutcome& expected,
                     const test::LogCapture& log) {
  EXPECT_EQ(test.Evaluate(msg, nullptr), expected.Answer);
  EXPECT_EQ(ExplanationLines(test), expected.Explanation);
  // The record is "Msg " + subject + " " + the detail line (without its
  // level and "<br>").
  const std::string detail =
      expected.Explanation.back().substr(expected.Explanation.back().find("<br>") + 4);
  EXPECT_TRUE(log.Contains(LogRecord(test.Name(), "Msg " + msg.GetSubject() + " " + detail)))
      << log.Text();
  // Judged once: the second call answers from the cache.
  EXPECT_EQ(test.Evaluate(msg, nullptr), expected.Answer);
  EXPECT_EQ(test.LastMsgKey(), msg.GetContentId());
}

TEmailMsgRef Simple(const std::string& headers) {
  return MessageFromBytes(headers + "\r\n\r\nBody.\r\n");
}

// ---------------------------------------------------------------------------
// Header values

TEST(TagValueTest, JudgesTheValueOfAHeaderField) {
  struct Row {
    const char* What;
    TEmailMsgRef Msg;
    const char* Tag;
    const char* Value;
    TListSpec List;
    TOutcome Expected;
  } rows[] = {
      // A blank that begins an encoded word right after another word goes
      // (the header's decoding rules).
      {"a folded, encoded Subject: both prefixes go, the blank before the text stays",
       Fixture("folded_subject"),
       "Subject",
       "*gro?e ausgabe*",
       {},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The substring: \"\" of the read value: \" Gro\xdf"
         "e Ausgabeheute \xe2\x80\x93 billig\" "
         "matched the search value \"*gro?e ausgabe*\" for the tag \"Subject\"."}}},
      {"the value must match from its first character",
       Fixture("folded_subject"),
       "Subject",
       "Gro?e*",
       {},
       {false,
        {"5 <br>email failed tag value test: \"Rule\".",
         "5 <br>The value: \" Gro\xdf"
         "e Ausgabeheute \xe2\x80\x93 billig\" did not match the search "
         "value \"Gro?e*\" for the tag \"Subject\"."}}},
      {"'Re: Fw: Meeting today' reads ' Meeting today'",
       Fixture("alternative"),
       "subject",
       "*meeting*",
       {},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The substring: \"\" of the read value: \" Meeting today\" matched the search "
         "value \"*meeting*\" for the tag \"subject\"."}}},
      {"a colon at position 5 is no prefix",
       Simple("Subject: Re: Fwd: Meeting today"),
       "Subject",
       "*Meeting*",
       {},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The substring: \"\" of the read value: \" Fwd: Meeting today\" matched the "
         "search value \"*Meeting*\" for the tag \"Subject\"."}}},
      {"prefixes are stripped on Subject only",
       Fixture("alternative"),
       "CC",
       "Other*",
       {},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The substring: \"\" of the read value: \"Other <other@example.net>\" matched "
         "the search value \"Other*\" for the tag \"CC\"."}}},
      {"an absent field fails even a lone star",
       Fixture("alternative"),
       "X-Absent",
       "*",
       {},
       {false,
        {"5 <br>email failed tag value test: \"Rule\".",
         "5 <br>The value: \"\" did not match the search value \"*\" for the tag \"X-Absent\"."}}},
      {"a plain entry of an address list",
       Fixture("alternative"),
       "From",
       "{Approved Senders}",
       {"{Approved Senders}", {"ann@example.org"}, pltEmailAddress},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The substring: \"\" of the tag value: \"Ann Sender <ann@example.org>\" for the "
         "tag \"From\" was found in the list \"{Approved Senders}\"."}}},
      {"a wildcard entry gives the piece it matched",
       Fixture("alternative"),
       "From",
       "{Approved Senders}",
       {"{Approved Senders}", {"*@example.org"}, pltEmailAddress},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The substring: \"ann@example.org\" of the tag value: \"Ann Sender "
         "<ann@example.org>\" for the tag \"From\" was found in the list \"{Approved "
         "Senders}\"."}}},
      {"a piece equal to the list's name",
       Simple("Subject: Cheap"),
       "Subject",
       "cheap",
       {"cheap", {"cheap*"}},
       {true,
        {"9 <br>email passed tag value test: \"Rule\".",
         "6 <br>The text: \"cheap\" for \"Subject\" was found in the list \"cheap\"."}}},
      {"the list's entries must match the whole value",
       Fixture("alternative"),
       "From",
       "{Banned Senders}",
       {"{Banned Senders}", {"example.org"}},
       {false,
        {"5 <br>email failed tag value test: \"Rule\".",
         "5 <br>The value: \"Ann Sender <ann@example.org>\" did not match any search values in "
         "the list \"{Banned Senders}\" for the tag \"From\"."}}},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.What);
    test::LogCapture log;
    ScopedPhraseLists lists;
    AddList(lists, row.List);
    TTagValueTest test;
    test.SetName("Rule");
    test.SetTag(row.Tag);
    test.SetValue(row.Value);
    ExpectJudgement(test, *row.Msg, row.Expected, log);
  }
}

// The built-in sender, subject and message-id lists record under their own
// numbers besides the test's; a list of another name, or one that only
// differs in case, does not.
TEST(TagValueTest, TheBuiltInListsAlsoRecordUnderTheirStandardNumbers) {
  struct Row {
    const char* List;
    const char* Tag;
    std::int32_t Number;  // -1: none besides the test's own
    bool Answer;
  } rows[] = {
      {"{Approved Senders}", "From", TESTNUM_APPROVED_SENDER, true},
      {"{Banned Senders}", "From", TESTNUM_BANNED_SENDER, true},
      {"{Approved Subject Lines}", "Subject", TESTNUM_APPROVED_SUBJECT, false},
      {"{Banned Subject Lines}", "Subject", TESTNUM_BANNED_SUBJECT, false},
      {"{Sent Message ids}", "Message-ID", TESTNUM_KNOWN_MSGID, false},
      {"{Friends}", "From", -1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.List);
    ScopedPhraseLists lists;
    lists.Add(row.List, {"*ann@example.org*"});
    TTagValueTest test;
    test.SetName("Rule");
    test.SetStandardTestNum(20);
    test.SetTag(row.Tag);
    test.SetValue(row.List);
    TEmailMsgRef msg = Fixture("alternative");
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.Answer);
    const TTrite expected = row.Answer ? kTriteYes : kTriteNo;
    EXPECT_EQ(test::StandardTrite(*msg, 20), expected);
    for (std::int32_t n = TESTNUM_APPROVED_SENDER; n <= TESTNUM_KNOWN_MSGID; ++n)
      EXPECT_EQ(test::StandardTrite(*msg, n), n == row.Number ? expected : kTriteUnknown) << n;
  }
}

// The Subject of every corpus message that decodes to ASCII in Python, with
// its prefixes stripped there and the wildcard characters made "?", is the
// whole value the test reads; one letter changed, it is not.
TEST(TagValueTest, CorpusSubjectsAgreeWithPython) {
  const std::vector<std::string> files = test::CorpusSample();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  const char* const kScript = R"PY(
import email, re, sys
from email import policy
from email.header import decode_header
CTL = ''.join(map(chr, range(33)))
for path in sys.stdin.read().split('\n'):
    if not path:
        continue
    data = open(path, 'rb').read()
    if data.startswith(b'From '):
        data = data[data.find(b'\n') + 1:]
    msg = email.message_from_bytes(data, policy=policy.compat32)
    raw = msg.get('Subject')
    if raw is None or not isinstance(raw, str):
        continue
    # The header's reading: the stored value loses blanks and control
    # characters at both ends, and an unfolded line break goes with the
    # character after it.
    raw = re.sub(r'(\r\n|\r|\n).?', '', raw.strip(CTL), flags=re.S)
    try:
        text = ''
        for piece, charset in decode_header(raw):
            text += piece.decode(charset or 'ascii') if isinstance(piece, bytes) else piece
        text.encode('ascii')
    except (UnicodeError, LookupError):
        continue
    while 0 <= text.find(':') <= 3:
        text = text[text.find(':') + 1:]
    if not text:
        continue
    print(path + '\t' + re.sub(r'[*?#$^~]', '?', text).encode('ascii').hex())
)PY";
  std::string paths;
  for (const std::string& file : files) paths += file + "\n";
  const test::CommandResult python = test::RunPython(kScript, paths);
  ASSERT_EQ(python.ExitCode, 0) << python.Output;
  int compared = 0;
  for (const std::string& line : test::OutputLines(python.Output)) {
    const std::size_t tab = line.find('\t');
    const std::string path = line.substr(0, tab);
    const std::string value = test::BytesFromHex(line.substr(tab + 1));
    SCOPED_TRACE(path + ": " + value);
    TEmailMsgRef msg = MessageFromBytes(test::CorpusMessageBytes(path));
    TTagValueTest test;
    test.SetName("Subject check");
    test.SetTag("Subject");
    test.SetValue(value);
    EXPECT_TRUE(test.Evaluate(*msg, nullptr)) << ExplanationLines(test).back();
    ++compared;
    const std::size_t letter =
        value.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    if (letter == std::string::npos) continue;
    std::string changed = value;
    changed[letter] = (changed[letter] | 0x20) == 'q' ? 'z' : 'q';
    TTagValueTest other;
    other.SetName("Changed");
    other.SetTag("Subject");
    other.SetValue(changed);
    EXPECT_FALSE(other.Evaluate(*msg, nullptr)) << changed;
  }
  EXPECT_GT(compared, static_cast<int>(files.size()) / 2);
}

// ---------------------------------------------------------------------------
// Body text

// A body-text test whose Validate sets the stop flag, which is asked next
// after the lines are collected.
class TStoppingBodyTextTest : public TBodyTextTest {
 public:
  explicit TStoppingBodyTextTest(std::atomic<bool>& stop) : FStop(stop) {}
  std::string Validate() override {
    FStop = true;
    return TBodyTextTest::Validate();
  }

 private:
  std::atomic<bool>& FStop;
};

// The piece shown is the wildcard match, a leading star reaching back to the
// start of the line.
TEST(BodyTextTest, SearchesTheSentencesOrTheDecodedParts) {
  const char* const kPassed = "9 <br>email passed \"Message Contains Text\" test: \"Words\".";
  const char* const kFailed = "5 <br>email failed \"Message Contains Text\" test: \"Words\".";
  struct Row {
    const char* What;
    const char* Fixture;
    const char* Value;
    bool InlineOnly;
    TListSpec List;
    TOutcome Expected;
  } rows[] = {
      {"a phrase across a line break of quoted-printable text",
       "alternative",
       "*free money*",
       true,
       {},
       {true,
        {kPassed,
         "9 <br>The search text \"*free money*\" matched the message text \" dear "
         "friend, you can get free money\"."}}},
      {"the decoded Subject is one more line",
       "alternative",
       "*meeting today*",
       true,
       {},
       {true,
        {kPassed,
         "9 <br>The search text \"*meeting today*\" matched the message text "
         "\"Re: Fw: Meeting today\"."}}},
      {"an HTML-only body is read as text",
       "html_only",
       "*cheap pills*",
       true,
       {},
       {true,
        {kPassed,
         "9 <br>The search text \"*cheap pills*\" matched the message text "
         "\" only html here: cheap pills\"."}}},
      {"addresses are cut out of the sentences",
       "alternative",
       "*offers@example.com*",
       true,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search value \"*offers@example.com*\" to the "
         "email text."}}},
      {"the decoded parts keep the address",
       "alternative",
       "*offers@example.com*",
       false,
       {},
       {true,
        {kPassed,
         "9 <br>The search text \"*offers@example.com*\" matched the message text "
         "\"money today.  Write to offers@example.com\"."}}},
      {"the decoded parts keep their line breaks",
       "alternative",
       "*free money*",
       false,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search value \"*free money*\" to the email "
         "text."}}},
      {"the HTML part is searched as its source",
       "alternative",
       "*free <b>money*",
       false,
       {},
       {true,
        {kPassed,
         "9 <br>The search text \"*free <b>money*\" matched the message text "
         "\"<html><body><p>Get free <b>money\"."}}},
      {"a list's wildcard entry between blanks",
       "alternative",
       "{Body Text List}",
       true,
       {"{Body Text List}", {"* free money *", "nothing like it"}},
       {true,
        {kPassed,
         "9 <br>The search text \"* free money *\" from the list \"{Body Text "
         "List}\" matched the message text \"  dear friend, you can get free "
         "money \"."}}},
      {"a plain entry never matches a sentence",
       "alternative",
       "{Body Text List}",
       true,
       {"{Body Text List}", {"free money"}},
       {false,
        {kFailed,
         "5 <br>Could not match any search values in the list \"{Body Text "
         "List}\" to the email text."}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    test::LogCapture log;
    ScopedPhraseLists lists;
    AddList(lists, row.List);
    TBodyTextTest test;
    test.SetName("Words");
    test.SetValue(row.Value);
    test.SetInlineOnly(row.InlineOnly);
    TEmailMsgRef msg = Fixture(row.Fixture);
    ExpectJudgement(test, *msg, row.Expected, log);
  }
}

// A stop request after the text was collected judges false, and that answer
// is cached for the message.
TEST(BodyTextTest, AStopAfterCollectingTheTextCachesFalse) {
  for (const bool inlineOnly : {true, false}) {
    SCOPED_TRACE(inlineOnly);
    std::atomic<bool> stop{false};
    TStoppingBodyTextTest test(stop);
    test.SetName("Words");
    test.SetValue("*money*");
    test.SetInlineOnly(inlineOnly);
    TEmailMsgRef msg = Fixture("alternative");
    EXPECT_FALSE(test.Evaluate(*msg, &stop));
    EXPECT_EQ(test.LastMsgKey(), msg->GetContentId());
    stop = false;
    EXPECT_FALSE(test.Evaluate(*msg, &stop));
  }
}

// ---------------------------------------------------------------------------
// Relays

TEST(IPCheckTest, MatchesTheRelaysOfTheReceivedLines) {
  const char* const kPassed = "9 <br>email passed Sender IP Check test \"Relays\".";
  const char* const kFailed = "5 <br>email failed Sender IP Check test \"Relays\".";
  struct Row {
    const char* What;
    int Relays;  // received_N: relays 192.0.2.10, 110.1.2.3, 198.51.100.7, 127.0.0.1,
                 // 203.0.113.99 from the origin on
    const char* Range;
    std::int32_t Number;
    TListSpec List;
    TOutcome Expected;
  } rows[] = {
      {"a pattern is found anywhere in the address",
       3,
       "10.1.*",
       0,
       {},
       {true,
        {kPassed,
         "9 <br>The search IP address \"10.1.*\" matched the IP address "
         "\"110.1.2.3\" from the email."}}},
      {"the first relay from the origin on",
       5,
       "*",
       0,
       {},
       {true,
        {kPassed,
         "9 <br>The search IP address \"*\" matched the IP address \"192.0.2.10\" "
         "from the email."}}},
      {"this machine is never matched",
       5,
       "127.*",
       0,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search IP address \"127.*\" to any server(s) "
         "this email passed through."}}},
      {"not at a numbered relay either",
       4,
       "127.*",
       -1,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search IP address \"127.*\" to any server(s) "
         "this email passed through."}}},
      {"-1 is the relay that handed the message to us",
       3,
       "198.51.100.*",
       -1,
       {},
       {true,
        {kPassed,
         "9 <br>The search IP address \"198.51.100.*\" matched the IP address "
         "\"198.51.100.7\" from the email."}}},
      {"and only that one",
       3,
       "192.0.2.*",
       -1,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search IP address \"192.0.2.*\" to any "
         "server(s) this email passed through."}}},
      {"1 is the origin",
       3,
       "192.0.2.*",
       1,
       {},
       {true,
        {kPassed,
         "9 <br>The search IP address \"192.0.2.*\" matched the IP address "
         "\"192.0.2.10\" from the email."}}},
      {"fewer Received lines than asked for",
       1,
       "*",
       -2,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search IP address \"*\" to any server(s) "
         "this email passed through."}}},
      {"no Received line",
       0,
       "*",
       0,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search IP address \"*\" to any server(s) "
         "this email passed through."}}},
      {"the largest relay numbers",
       5,
       "*",
       -2147483647 - 1,
       {},
       {false,
        {kFailed,
         "5 <br>Could not match the search IP address \"*\" to any server(s) "
         "this email passed through."}}},
      {"a list's entries in order",
       5,
       "{New IP List}",
       0,
       {"{New IP List}", {"203.0.113.*", "10.1.*", "10.9.8.7"}, pltIPList},
       {true,
        {kPassed,
         "9 <br>The search IP address \"10.1.*\" from the list \"{New IP List}\" "
         "matched the IP address \"110.1.2.3\" from the email."}}},
      {"no entry matches",
       2,
       "{New IP List}",
       0,
       {"{New IP List}", {"203.0.113.*", "127.0.0.1"}, pltIPList},
       {false,
        {kFailed,
         "5 <br>Could not match any search IP addresses in the list \"{New IP "
         "List}\" to any server(s) this email passed through."}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    test::LogCapture log;
    ScopedPhraseLists lists;
    AddList(lists, row.List);
    TIPCheckTest test;
    test.SetName("Relays");
    test.SetIPRange(row.Range);
    test.SetIPNumber(row.Number);
    TEmailMsgRef msg = Fixture("received_" + std::to_string(row.Relays));
    ExpectJudgement(test, *msg, row.Expected, log);
  }
}

// ---------------------------------------------------------------------------
// Words, validation and renames

TEST(ValueTests, ValidateDescribeAndNote) {
  ScopedPhraseLists lists;
  lists.Add("{Words}", {"x"}, pltStrings, "Words we dislike.\r\nSecond line.");
  lists.Add("{Quiet}", {"x"});
  const std::string listText =
      "\r\n\r\nDescription of the list is as follows:\r\nWords we "
      "dislike.\r\nSecond line.";
  const std::string ipNote =
      "\r\nNote: This test will return False for local (127.*) IP "
      "addresses.\r\n" +
      kWildcardNote.substr(2);
  auto tag = [](const char* name, const char* field, const char* value) {
    auto test = std::make_shared<TTagValueTest>();
    test->SetName(name);
    test->SetTag(field);
    test->SetValue(value);
    return std::shared_ptr<TTest>(test);
  };
  auto body = [](const char* value, bool inlineOnly) {
    auto test = std::make_shared<TBodyTextTest>();
    test->SetName("B");
    test->SetValue(value);
    test->SetInlineOnly(inlineOnly);
    return std::shared_ptr<TTest>(test);
  };
  auto ip = [](const char* name, const char* range, std::int32_t number) {
    auto test = std::make_shared<TIPCheckTest>();
    test->SetName(name);
    test->SetIPRange(range);
    test->SetIPNumber(number);
    return std::shared_ptr<TTest>(test);
  };
  const struct Row {
    std::shared_ptr<TTest> Test;
    std::string Reason;
    std::string Words;
  } rows[] = {
      {tag("T", "From", "{Words}"), "",
       "email has one of the phrases in the list\"{Words}\" as the value for \"From\"" + listText},
      {tag("T", "From", "{quiet}"), "",
       "email has one of the phrases in the list\"{quiet}\" as the value for \"From\""},
      {tag("T", "From", "x*"), "", "email has \"x*\" as the value for \"From\""},
      {tag("", "From", "x"), "the Test has no name",
       "This Test IS INCOMPLETE/INVALID because the Test has no name.\r\nemail has \"x\" as the "
       "value for \"From\""},
      {tag("T", "", "x"), "tag is not specified",
       "This Test IS INCOMPLETE/INVALID because tag is not specified.\r\nemail has \"x\" as the "
       "value for \"\""},
      {tag("T", "To", ""), "value is not specified",
       "This Test IS INCOMPLETE/INVALID because value is not specified.\r\nemail has \"\" as the "
       "value for \"To\""},
      {body("{Words}", true), "",
       "email contains one of the phrases in the list \"{Words}\" in the body of the email." +
           listText},
      {body("{Words}", false), "",
       "Search for the phrases contained in the list \"{Words}\" in formatted email text." +
           listText},
      {body("cheap", true), "", "Search for the text \"cheap\" in the body of the email."},
      {body("cheap", false), "", "Search for the text \"cheap\" in formatted email text."},
      {body("", true), "no text to search for has been specified",
       "This Test IS INCOMPLETE/INVALID because no text to search for has been specified.\r\n"
       "Search for the text \"\" in the body of the email."},
      {ip("I", "{Words}", 0), "",
       "Any server this email passed through matches an IP address in the list \"{Words}\"." +
           listText + ipNote},
      {ip("I", "{Quiet}", -3), "",
       "The server 3 hop(s) before we received it matches an IP address in the list "
       "\"{Quiet}\"." +
           ipNote},
      {ip("I", "{Quiet}", 2), "",
       "The server 2 hop(s) from the email's origin matches an IP address in the list "
       "\"{Quiet}\"." +
           ipNote},
      {ip("I", "10.*", 0), "", "Any server this email passed through matches \"10.*\"." + ipNote},
      {ip("I", "10.*", -2147483647 - 1), "",
       "The server 2147483648 hop(s) before we received it matches \"10.*\"." + ipNote},
      {ip("I", "10.*", 7), "",
       "The server 7 hop(s) from the email's origin matches \"10.*\"." + ipNote},
      {ip("I", "", 0), "no IP range specified",
       "This Test IS INCOMPLETE/INVALID because no IP range specified.\r\nAny server this email "
       "passed through matches \"\"." +
           ipNote},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Words);
    EXPECT_EQ(row.Test->Validate(), row.Reason);
    EXPECT_EQ(row.Test->Describe(), row.Words);
    EXPECT_EQ(row.Test->GetNote(), kWildcardNote);
  }
  EXPECT_EQ(kWildcardNote.substr(0, 22), "\r\n\"Wild Card\" characte");
  const std::string last = "\r\n  \"~\" = match any non-alphanumeric, non-space character";
  EXPECT_EQ(kWildcardNote.substr(kWildcardNote.size() - last.size()), last);
}

// Invalid tests explain why, ending in "." for the body-text and relay tests.
TEST(ValueTests, InvalidTestsAreExplainedAndNotCached) {
  TTagValueTest tag;
  tag.SetName("T");
  TBodyTextTest body;
  body.SetName("B");
  TIPCheckTest ip;
  ip.SetName("I");
  const struct Row {
    TTest* Test;
    const char* Line;
  } rows[] = {
      {&tag, "9 <br>Test is invalid because tag is not specified"},
      {&body, "9 <br>Test is invalid because no text to search for has been specified."},
      {&ip, "9 <br>Test is invalid because no IP range specified."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Line);
    TEmailMsgRef msg = Fixture("alternative");
    EXPECT_FALSE(row.Test->Evaluate(*msg, nullptr));
    EXPECT_EQ(ExplanationLines(*row.Test), Lines{row.Line});
    EXPECT_EQ(row.Test->LastMsgKey(), -1);
  }
}

// A list renamed in the editor: a setting equal to the old name follows it;
// one that only differs in case keeps its text.
TEST(ValueTests, SettingsFollowAListRenamedExactly) {
  TTagValueTest tag;
  tag.SetValue("{Old}");
  TBodyTextTest body;
  body.SetValue("{old}");
  TIPCheckTest ip;
  ip.SetIPRange("{Old}");
  for (TTest* test : std::vector<TTest*>{&tag, &body, &ip})
    test->PhraseListRenamed("{New}", "{Old}");
  EXPECT_EQ(tag.Value(), "{New}");
  EXPECT_EQ(body.Value(), "{old}");
  EXPECT_EQ(ip.IPRange(), "{New}");
}

// A new body-text test searches the sentences; a new relay test every relay.
TEST(ValueTests, NewTestsHaveTheClassDefaults) {
  EXPECT_TRUE(TBodyTextTest().InlineOnly());
  EXPECT_EQ(TIPCheckTest().IPNumber(), 0);
  EXPECT_EQ(TTagValueTest().GetTypeName(), "Header Tag Value");
  EXPECT_EQ(TBodyTextTest().GetTypeName(), "Message Contains Text");
  EXPECT_EQ(TIPCheckTest().GetTypeName(), "Sender IP Check");
}

}  // namespace
}  // namespace halvorn
