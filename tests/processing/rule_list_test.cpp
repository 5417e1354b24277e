#include "processing/rule_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/heartbeat.h"
#include "processing_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::TConsumeAction;
using test::THoldAction;
using test::TRaiseAction;
using test::TScriptedStep;
using test::TTagAction;
using Lines = std::vector<std::string>;

class RuleListTest : public test::ProcessingTest {
 protected:
  // A message in the unprocessed-incoming queue.
  TEmailMsgRef Message(const std::string& subject) {
    TEmailMsgRef msg = TEmailMsg::Create(Repository().UnProcessedIncoming());
    msg->SetText(test::MailText(subject, subject + "@rules"));
    msg->SaveToFile();
    return msg;
  }
  static Lines RuleReport(TEmailMsg& msg) {
    TCriticalSectionGuard guard(msg.MessageLock());
    Lines lines;
    for (int i = 0; i < msg.RuleInfo().Count(); ++i) lines.push_back(msg.RuleInfo()[i]);
    return lines;
  }
  // The names of the report's tables, in order.
  static Lines TableNames(TEmailMsg& msg) {
    Lines names;
    for (const std::string& line : RuleReport(msg)) {
      const std::string head = "<tr> <th colspan=\"3\"> ";
      if (line.rfind(head, 0) == 0)
        names.push_back(line.substr(head.size(), line.rfind("</th>") - head.size()));
    }
    return names;
  }
  static bool ReportHas(TEmailMsg& msg, const std::string& line) {
    for (const std::string& l : RuleReport(msg))
      if (l == line) return true;
    return false;
  }
  static std::string Saved(const std::string& owner = "Global") {
    TQuorIniFile ini("");
    Rules().SaveToIni(ini, owner);
    return ini.SaveToStream();
  }
  static void Load(const std::string& text, const std::string& owner = "Global") {
    TQuorIniFile ini("");
    ini.LoadFromStream(text);
    Rules().LoadFromIni(ini, owner);
  }
};

// The first failing check gives the reason, with the exact texts.
TEST_F(RuleListTest, ValidateNamesTheFirstProblem) {
  auto good = AddTest("Good");
  auto bad = AddTest("Bad");
  bad->SetInvalidReason("tag is not specified");
  AddAction<TTagAction>("Tag");
  TScopedActionClassBinding unbound("TModifyTagAction", nullptr);
  auto placeholder = CreateActionFromClassName("TModifyTagAction");
  placeholder->SetName("Later");
  Actions().Add(placeholder);
  struct Row {
    const char *name, *test, *action, *reason;
  };
  const Row rows[] = {
      {"", "Good", "Tag", "has no name"},
      {"r", "Missing", "Tag", "no Test has been supplied"},
      {"r", "", "Tag", "no Test has been supplied"},
      {"r", "good", "missing", "no action has been supplied"},
      {"r", "BAD", "Later", "the Test \"Bad\" is invalid because tag is not specified"},
      {"r", "Good", "later",
       "the action \"Later\" is invalid because the action class TModifyTagAction is not "
       "available yet"},
      {"r", "gOOD", "tag", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + "/" + row.test + "/" + row.action);
    TRule rule;
    rule.SetName(row.name);
    rule.SetTestName(row.test);
    rule.SetActionName(row.action);
    EXPECT_EQ(rule.Validate(), row.reason);
  }
}

TEST_F(RuleListTest, DescribeSaysWhenTheActionRuns) {
  AddTest("T");
  AddAction<TTagAction>("A");
  const std::string test = "the script says the message passes.";
  const std::string action = "the test action TTestTagAction";
  struct Row {
    bool skip;
    std::uint8_t performOn;
    bool enabled;
    std::string text;
  };
  const Row rows[] = {
      {false, 0, true, "IF: " + test + "\r\nTHEN: " + action},
      {false, 1, true, "IF it is NOT true that: " + test + "\r\nTHEN: " + action},
      {false, 2, true, "Regardless of outcome: \r\n" + action},
      {false, 7, true, "IF: " + test + "\r\nTHEN: " + action},
      {true, 0, true, "IF: e-mail not whitelisted and" + test + "\r\nTHEN: " + action},
      {true, 1, true,
       "IF e-mail not whitelisted and it is NOT true that: " + test + "\r\nTHEN: " + action},
      {true, 2, true, "IF e-mail not whitelisted: \r\n" + action},
      {false, 0, false, "\r\nRULE DISABLED\r\nIF: " + test + "\r\nTHEN: " + action},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    TRule rule;
    rule.SetName("R");
    rule.SetTestName("T");
    rule.SetActionName("A");
    rule.SetSkipIfWhitelisted(row.skip);
    rule.SetPerformOn(row.performOn);
    rule.SetEnabled(row.enabled);
    EXPECT_EQ(rule.Describe(), row.text);
  }
  TRule invalid;
  invalid.SetName("R");
  invalid.SetEnabled(false);
  EXPECT_EQ(invalid.Describe(),
            "\r\nRULE DISABLED\r\nSorry this rule is not valid because no Test has been supplied");
}

// PerformOn turns the test's answer into "fired"; the test is evaluated
// whatever PerformOn says, and the action runs exactly when the rule fires.
TEST_F(RuleListTest, PerformOnDecidesWhenTheRuleFires) {
  auto yes = AddTest("Yes", true);
  auto no = AddTest("No", false);
  auto tag = AddAction<TTagAction>("Tag", "[x] ");
  struct Row {
    const char* test;
    std::uint8_t performOn;
    bool fired;
  };
  const Row rows[] = {{"Yes", 0, true},  {"No", 0, false}, {"Yes", 1, false},
                      {"No", 1, true},   {"Yes", 2, true}, {"No", 2, true},
                      {"No", 9, false},  {"Yes", 9, true}};
  int expectedPerformed = 0;
  int subject = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.test) + " " + std::to_string(row.performOn));
    TRule rule;
    rule.SetName("R");
    rule.SetTestName(row.test);
    rule.SetActionName("Tag");
    rule.SetPerformOn(row.performOn);
    const std::string name = "m" + std::to_string(subject++);
    auto msg = test::MakeTestMessage(name);
    bool consumed = true;
    EXPECT_EQ(rule.Apply(*msg, consumed, nullptr), row.fired);
    EXPECT_FALSE(consumed);
    if (row.fired) ++expectedPerformed;
    EXPECT_EQ(tag->Performed(), expectedPerformed);
    const auto judged = std::string(row.test) == "Yes" ? yes->Judged() : no->Judged();
    ASSERT_FALSE(judged.empty());
    EXPECT_EQ(judged.back(), name);
  }
  // Disabled, invalid and whitelisted-skipping rules do nothing at all.
  TRule rule;
  rule.SetName("R");
  rule.SetTestName("Yes");
  rule.SetActionName("Tag");
  rule.SetEnabled(false);
  auto msg = test::MakeTestMessage("off");
  bool consumed = false;
  EXPECT_FALSE(rule.Apply(*msg, consumed, nullptr));
  rule.SetEnabled(true);
  rule.SetSkipIfWhitelisted(true);
  msg->SetUserWanted(kTriteYes, true);
  EXPECT_FALSE(rule.Apply(*msg, consumed, nullptr));
  EXPECT_EQ(tag->Performed(), expectedPerformed);
  EXPECT_EQ(yes->Judged().back(), "m7");
  // A stop flag set by the test: the rule fires but the action waits.
  std::atomic<bool> stop{false};
  TScriptedStep step;
  step.Answer = true;
  step.Before = [&](TEmailMsg&) { stop = true; };
  yes->Script("stopping", step);
  rule.SetSkipIfWhitelisted(false);
  auto stopping = test::MakeTestMessage("stopping");
  EXPECT_FALSE(rule.Apply(*stopping, consumed, &stop));  // the script answers no once stopped
  rule.SetPerformOn(po_Regardless);
  stop = false;
  auto again = test::MakeTestMessage("stopping again");
  yes->Script("stopping again", step);
  EXPECT_TRUE(rule.Apply(*again, consumed, &stop));
  EXPECT_EQ(tag->Performed(), expectedPerformed);
}

// One pass over the rules of a phase, with the report it writes: rules of
// the other phase are skipped silently; a disabled rule, an invalid one and
// one whose non-repeatable action already ran each get a table saying so;
// an action that raises ends its rule only; a consuming action stops the
// pass and its own table is not written; names, comments and descriptions
// are text in the report, explanations go in as written.
TEST_F(RuleListTest, ApplyRulesWritesOneTablePerRule) {
  AddTest("Passes <b>", true);
  AddTest("Fails", false);
  AddAction<TTagAction>("Tag", "[t] ");
  auto repeat = AddAction<TTagAction>("Repeat", "[r] ");
  repeat->SetAllowRepeatedApplications(true);
  AddAction<TRaiseAction>("Raise");
  auto hold = AddAction<THoldAction>("Hold");
  AddRule("Before", "Passes <b>", "Tag", Rt_ReceiveBeforeProcessing);
  auto tagIt = AddRule("Tag <it>", "Passes <b>", "Tag");
  tagIt->SetComments("a <b> comment\r\nsecond  line");
  AddRule("Tag again", "passes <B>", "tag");
  AddRule("Repeat", "Passes <b>", "Repeat");
  AddRule("Repeat again", "Passes <b>", "Repeat");
  AddRule("Off", "Passes <b>", "Tag")->SetEnabled(false);
  AddRule("No test", "Gone", "Tag");
  AddRule("Raises", "Passes <b>", "Raise");
  AddRule("Not fired", "Fails", "Hold");
  AddRule("Holds", "Passes <b>", "Hold");
  AddRule("Never", "Passes <b>", "Tag");

  TEmailMsgRef msg = Message("Subject");
  EXPECT_TRUE(Rules().ApplyRules(*msg, Rt_ReceiveAfterProcessing, nullptr));
  EXPECT_TRUE(msg->IsInPendhold());
  EXPECT_EQ(hold->Performed(), 1);
  EXPECT_EQ(msg->GetSubject(), "[r] [r] [t] Subject");
  EXPECT_EQ(TableNames(*msg),
            (Lines{"Tag &lt;it&gt;", "Tag again", "Repeat", "Repeat again", "Off", "No test",
                   "Raises", "Not fired"}));
  const Lines report = RuleReport(*msg);
  const Lines first(report.begin(), report.begin() + 14);
  EXPECT_EQ(first,
            (Lines{
                "<p><table width=\"100%\" border=\"1\" bgcolor=\"white\">",
                "<tr> <th colspan=\"3\"> Tag &lt;it&gt;</th> </tr>",
                "<tr><td>Description</td><td colspan=\"2\">a &lt;b&gt; comment<br>second &nbsp;"
                "line</td></tr>",
                "<tr><td colspan=\"3\">&nbsp;</td></tr>",
                "<tr><td>Test</td><td>Name</td><td>Passes &lt;b&gt;</td></tr>",
                "<tr><td>&nbsp;</td><td>Description</td><td>Test will return true if: the script "
                "says the message passes.</td></tr>",
                "<tr><td>&nbsp;</td><td>Result</td><td><i>Passed</i> test</td></tr>",
                "<tr><td>&nbsp;</td><td>Explanation</td><td><br>email passed scripted test: "
                "\"Passes <b>\".\r\n<br>The script answered yes.</td></tr>",
                "<tr><td colspan=\"3\">&nbsp;</td></tr>",
                "<tr><td>Action</td><td>Name</td><td>Tag</td></tr>",
                "<tr><td>&nbsp;</td><td>Description</td><td>the test action "
                "TTestTagAction</td></tr>",
                "<tr><td>&nbsp;</td><td>Result</td><td><font color=\"red\"><i>Performed</i> "
                "action</font></td></tr>",
                "<tr><td>&nbsp;</td><td>Explanation</td><td><br>Tagged with [t] </td></tr>",
                "</table></p><br>",
            }));
  for (const std::string line :
       {"<tr><td>Result</td><td colspan=\"2\">Rule not applied because the action Tag was "
        "already applied to this e-mail and it was not flagged as a repeatable action.</td></tr>",
        "<tr><td>Result</td><td colspan=\"2\">This rule was not applied because it was "
        "disabled.</td></tr>",
        "<tr><td>Invalid Rule</td><td colspan=\"2\">no Test has been supplied</td></tr>",
        "<tr><td>&nbsp;</td><td>Result</td><td>did <i>not</i> perform Action</td></tr>"}) {
    EXPECT_TRUE(ReportHas(*msg, line)) << line;
  }
  // The raising rule's table ends after its spacer row, closed.
  std::size_t raises = 0;
  while (report[raises] != "<tr> <th colspan=\"3\"> Raises</th> </tr>") ++raises;
  EXPECT_EQ(report[raises + 1], "<tr><td colspan=\"3\">&nbsp;</td></tr>");
  EXPECT_EQ(report[raises + 2], "</table></p><br>");

  // Python's html.parser finds the tables whole and balanced.
  std::string html;
  for (const std::string& line : report) html += line + "\n";
  const test::CommandResult parsed = test::RunPython(
      "import sys, html.parser\n"
      "class P(html.parser.HTMLParser):\n"
      "    depth = 0; tables = 0; bad = 0\n"
      "    def handle_starttag(self, t, a):\n"
      "        if t == 'table': self.depth += 1; self.tables += 1\n"
      "    def handle_endtag(self, t):\n"
      "        if t == 'table': self.depth -= 1\n"
      "        if self.depth < 0: self.bad += 1\n"
      "p = P(); p.feed(sys.stdin.read()); print(p.tables, p.depth, p.bad)\n",
      html);
  EXPECT_EQ(test::OutputLines(parsed.Output), (Lines{"8 0 0"})) << parsed.Output;
}

// Before a phase: the abort flag set means nothing applied and nothing
// reported; a list without rules of the phase reports nothing.
TEST_F(RuleListTest, NothingRunsWhenAbortedOrWithoutRulesOfThePhase) {
  auto test = AddTest("T");
  auto tag = AddAction<TTagAction>("Tag");
  TEmailMsgRef msg = Message("S");
  EXPECT_FALSE(Rules().ApplyRules(*msg, Rt_ReceiveAfterProcessing, nullptr));
  AddRule("R", "T", "Tag", Rt_ReceiveBeforeProcessing);
  EXPECT_FALSE(Rules().ApplyRules(*msg, Rt_ReceiveAfterProcessing, nullptr));
  std::atomic<bool> abort{true};
  EXPECT_FALSE(Rules().ApplyRules(*msg, Rt_ReceiveBeforeProcessing, &abort));
  EXPECT_TRUE(RuleReport(*msg).empty());
  EXPECT_TRUE(test->Judged().empty());
  EXPECT_EQ(tag->Performed(), 0);
  // Set by the test of the first rule: that rule's table is finished, the
  // second rule is never reached.
  AddRule("R2", "T", "Tag", Rt_ReceiveBeforeProcessing);
  abort = false;
  TScriptedStep step;
  step.Answer = true;
  step.Before = [&](TEmailMsg&) { abort = true; };
  test->Script("Stops", step);
  TEmailMsgRef stops = Message("Stops");
  EXPECT_FALSE(Rules().ApplyRules(*stops, Rt_ReceiveBeforeProcessing, &abort));
  EXPECT_EQ(TableNames(*stops), (Lines{"R"}));
  EXPECT_EQ(tag->Performed(), 0);
}

// A rule that skips whitelisted mail meets a whitelisted message: its table
// says so, the action does not run, and a standard test is evaluated all
// the same (its answer is recorded with the message); a user test is not.
TEST_F(RuleListTest, WhitelistedMailSkipsTheRuleButRecordsStandardTests) {
  auto standard = AddTest("Standard");
  standard->SetStandardTestNum(760);
  auto user = AddTest("User");
  auto tag = AddAction<TTagAction>("Tag");
  AddRule("S", "Standard", "Tag")->SetSkipIfWhitelisted(true);
  AddRule("U", "User", "Tag")->SetSkipIfWhitelisted(true);
  TEmailMsgRef msg = Message("White");
  msg->SetUserWanted(kTriteYes, true);
  EXPECT_FALSE(Rules().ApplyRules(*msg, Rt_ReceiveAfterProcessing, nullptr));
  EXPECT_EQ(tag->Performed(), 0);
  EXPECT_EQ(standard->Judged(), (Lines{"White"}));
  EXPECT_TRUE(user->Judged().empty());
  TTrite recorded = kTriteUnknown;
  msg->WithInfo([&](TEmailInfo& info) { recorded = info.StandardTest(760); });
  EXPECT_EQ(recorded, kTriteYes);
  EXPECT_EQ(TableNames(*msg), (Lines{"S", "U"}));
  EXPECT_TRUE(ReportHas(*msg,
                        "<tr><td>Result</td><td colspan=\"2\">This rule was not applied because "
                        "the e-mail was whitelisted.</td></tr>"));
}

// An error of a test ends its rule only; the next rule runs.
TEST_F(RuleListTest, ATestThatRaisesEndsItsRuleOnly) {
  auto raises = AddTest("Raises");
  TScriptedStep step;
  step.Raise = [] { throw std::runtime_error("broken test"); };
  raises->SetDefault(step);
  AddTest("Fine");
  auto tag = AddAction<TTagAction>("Tag", "[ok] ");
  auto hold = AddAction<THoldAction>("Hold");
  AddRule("First", "Raises", "Hold");
  AddRule("Second", "Fine", "Tag");
  TEmailMsgRef msg = Message("S");
  EXPECT_FALSE(Rules().ApplyRules(*msg, Rt_ReceiveAfterProcessing, nullptr));
  EXPECT_EQ(hold->Performed(), 0);
  EXPECT_EQ(tag->Performed(), 1);
  EXPECT_EQ(TableNames(*msg), (Lines{"First", "Second"}));
}

// Pre-evaluation starts each distinct test of the enabled valid rules once,
// whatever the phase.
TEST_F(RuleListTest, PreEvaluationStartsEachTestOnce) {
  auto a = AddTest("A");
  auto b = AddTest("B");
  auto c = AddTest("C");
  auto invalid = AddTest("Invalid");
  invalid->SetInvalidReason("no");
  AddAction<TTagAction>("Tag");
  AddRule("1", "A", "Tag", Rt_ReceiveBeforeProcessing);
  AddRule("2", "a", "Tag");
  AddRule("3", "B", "Tag", 3);
  AddRule("4", "C", "Tag")->SetEnabled(false);
  AddRule("5", "Invalid", "Tag");
  AddRule("6", "B", "Missing");
  auto msg = test::MakeTestMessage("P");
  Rules().PreEvaluateTests(*msg);
  EXPECT_EQ(a->Preprocessed(), (Lines{"P"}));
  EXPECT_EQ(b->Preprocessed(), (Lines{"P"}));
  EXPECT_TRUE(c->Preprocessed().empty());
  EXPECT_TRUE(invalid->Preprocessed().empty());
}

// The rules file: the rules, then the tests, actions and phrase lists of the
// owner; loading reads them back in the order that lets rules find what they
// name. A placeholder action keeps its name in the rule and its section line
// for line; a test or action that does not exist is dropped from its rule.
// The numbering stops at a gap; a Time outside 0 to 3 reads as 1 (256 too);
// a second rule of one name (ignoring case) is skipped. Saving what was
// loaded gives the same bytes.
TEST_F(RuleListTest, TheRulesFileRoundTrips) {
  test::LogRecorder log;
  TScopedActionClassBinding unbound("TModifySubjectLineAction", nullptr);
  const std::string file =
      "[RuleList]\r\n"
      "Rule0=Rule-Tag spam\r\nRule1=Rule-Seven\r\nRule2=Rule-Three\r\nRule3=Rule-Big\r\n"
      "Rule4=Rule-Negative\r\nRule5=Rule-tag SPAM\r\nRule6=Rule-Gone\r\nRule8=Rule-After gap\r\n"
      "[Rule-Tag spam]\r\nTest=Spammy\r\nAction=Subject tag\r\nEnabled=0\r\nSkipIfWhitelisted=1\r\n"
      "PerformOn=2\r\nComments=\"first, line\",second\r\nTime=0\r\n"
      "[Rule-Seven]\r\nTest=Spammy\r\nAction=Hold\r\nTime=7\r\n"
      "[Rule-Three]\r\nTest=Spammy\r\nAction=Hold\r\nTime=3\r\n"
      "[Rule-Big]\r\nTest=Spammy\r\nAction=Hold\r\nTime=256\r\n"
      "[Rule-Negative]\r\nTest=Spammy\r\nAction=Hold\r\nTime=-1\r\n"
      "[Rule-tag SPAM]\r\nTest=Spammy\r\nAction=Hold\r\n"
      "[Rule-Gone]\r\nTest=No such test\r\nAction=No such action\r\nPerformOn=1\r\n"
      "[Rule-After gap]\r\nTest=Spammy\r\nAction=Hold\r\n"
      "[TestList]\r\nTest0=Test-Spammy\r\n"
      "[Test-Spammy]\r\nClassName=TScriptedTest\r\nUniqueId=Ab1Cd\r\nDefaultAnswer=1\r\n"
      "[ActionList]\r\nAction0=Action-Subject tag\r\nAction1=Action-Hold\r\n"
      "[Action-Subject tag]\r\nClassName=TModifySubjectLineAction\r\nAllowRepeatedApplications=0\r\n"
      "Value=[SPAM]\r\nAppend=0\r\n"
      "[Action-Hold]\r\nClassName=TTestHoldAction\r\n"
      "[PhrasesList1]\r\nPhraseList0={Mine}\r\n"
      "[{Mine}]\r\nType=Strings\r\n";
  Load(file);
  EXPECT_TRUE(Rules().Loaded());
  Lines rules;
  for (const TRuleRef& rule : Rules().Snapshot()) {
    const TRuleFields f = rule->Fields();
    rules.push_back(f.Name + "|" + f.TestName + "|" + f.ActionName + "|" +
                    std::to_string(f.Enabled) + std::to_string(f.SkipIfWhitelisted) +
                    std::to_string(f.PerformOn) + std::to_string(f.Time) + "|" + f.Comments);
  }
  EXPECT_EQ(rules, (Lines{"Tag spam|Spammy|Subject tag|0120|first, line\r\nsecond",
                          "Seven|Spammy|Hold|1001|", "Three|Spammy|Hold|1003|",
                          "Big|Spammy|Hold|1001|", "Negative|Spammy|Hold|1001|",
                          "Gone|||1011|"}));
  EXPECT_EQ(Rules().FindByName("TAG SPAM")->Validate(),
            "the action \"Subject tag\" is invalid because the action class "
            "TModifySubjectLineAction is not available yet");
  EXPECT_EQ(Rules().GetErrors(),
            "Rule \"Tag spam\" Reported error:\r\nthe action \"Subject tag\" is invalid because "
            "the action class TModifySubjectLineAction is not available yet\r\n\r\n"
            "Rule \"Gone\" Reported error:\r\nno Test has been supplied\r\n");
  EXPECT_FALSE(Rules().HasDuplicateNames());

  const std::string saved = Saved();
  EXPECT_EQ(saved.substr(0, saved.find("[Rule-Tag spam]")),
            "[RuleList]\r\nRule0=Rule-Tag spam\r\nRule1=Rule-Seven\r\nRule2=Rule-Three\r\n"
            "Rule3=Rule-Big\r\nRule4=Rule-Negative\r\nRule5=Rule-Gone\r\n\r\n");
  EXPECT_NE(saved.find("[Rule-Tag spam]\r\nTest=Spammy\r\nAction=Subject tag\r\nEnabled=0\r\n"
                       "SkipIfWhitelisted=1\r\nPerformOn=2\r\nComments=\"first, line\",second\r\n"
                       "Time=0\r\n\r\n"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("[Rule-Gone]\r\nEnabled=1\r\nSkipIfWhitelisted=0\r\nPerformOn=1\r\nTime=1"),
            std::string::npos);
  // The placeholder's section as it was read.
  EXPECT_NE(saved.find("[Action-Subject tag]\r\nClassName=TModifySubjectLineAction\r\n"
                       "AllowRepeatedApplications=0\r\nValue=[SPAM]\r\nAppend=0\r\n\r\n"),
            std::string::npos);
  // The order: rules, tests, actions, phrase lists.
  EXPECT_LT(saved.find("[Rule-Gone]"), saved.find("[TestList]"));
  EXPECT_LT(saved.find("[TestList]"), saved.find("[ActionList]"));
  EXPECT_LT(saved.find("[ActionList]"), saved.find("[PhrasesList1]"));

  // Loading what was saved into fresh lists saves the same bytes.
  EndProcessingModule();
  FinalizeClassifyModule();
  FinalizeListsModule();
  InitializeListsModule();
  InitializeClassifyModule();
  StartProcessingModule();
  Load(saved);
  EXPECT_EQ(Saved(), saved);

  // Another owner's rules, tests and actions are not written for "Global".
  auto theirs = std::make_shared<TRule>();
  theirs->SetName("Theirs");
  theirs->SetOwner("Else");
  Rules().Add(theirs);
  EXPECT_EQ(Saved(), saved);
  EXPECT_NE(Saved("Else").find("Rule0=Rule-Theirs"), std::string::npos);
}

TEST_F(RuleListTest, RenamesAndDuplicates) {
  AddTest("Old test");
  AddTest("New test");
  AddAction<TTagAction>("Old action");
  AddAction<TTagAction>("New action");
  auto a = AddRule("A", "Old test", "Old action");
  auto b = AddRule("B", "old test", "old action");
  Rules().RenameTestReferences("New test", "Old test");
  Rules().RenameActionReferences("New action", "Old action");
  EXPECT_EQ(a->TestName(), "New test");
  EXPECT_EQ(a->ActionName(), "New action");
  EXPECT_EQ(b->TestName(), "old test");  // exact names only
  EXPECT_EQ(b->ActionName(), "old action");
  // Two rules that differ only in case would share one section.
  EXPECT_FALSE(Rules().HasDuplicateNames());
  b->SetName("a");
  EXPECT_TRUE(Rules().HasDuplicateNames());
  EXPECT_EQ(Rules().FindByName("A"), a);
  Rules().Insert(0, b);  // listed already
  EXPECT_EQ(Rules().IndexOf(b.get()), 1);
  EXPECT_EQ(Rules().Remove(a.get()), a);
  EXPECT_EQ(Rules().FindByName("A"), b);
  auto first = std::make_shared<TRule>();
  Rules().Insert(0, first);
  EXPECT_EQ(Rules().Items(0), first);
}

// Python's configparser (strict off, no interpolation) reads every section
// and value the rule list writes.
TEST_F(RuleListTest, ConfigparserReadsTheSavedFile) {
  AddTest("T % 1");
  AddAction<TTagAction>("A", "[%(x)s] ");
  auto rule = AddRule("R = 1", "T % 1", "A");
  rule->SetComments("say \"hi\"\r\n; not a comment");
  const std::string saved = Saved();
  const test::CommandResult result = test::RunPython(
      "import configparser, sys\n"
      "p = configparser.ConfigParser(strict=False, interpolation=None)\n"
      "p.optionxform = str\n"
      "p.read_string(sys.stdin.buffer.read().decode('latin-1'))\n"
      "print(p['RuleList']['Rule0'])\n"
      "print(p['Rule-R = 1']['Comments'])\n"
      "print(p['Rule-R = 1']['Test'] + '|' + p['Rule-R = 1']['Action'])\n"
      "print(p['Action-A']['Value'])\n"
      "print(p['TestList']['Test0'])\n",
      saved);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(test::OutputLines(result.Output),
            (Lines{"Rule-R = 1", "\"say \"\"hi\"\"\",\"; not a comment\"", "T % 1|A", "[%(x)s]",
                   "Test-T % 1"}));
}

}  // namespace
}  // namespace halvorn
