// The logical test over scripted tests: truth tables with the terms actually
// judged, its explanation, stop requests and errors, invalid terms, loops of
// combining tests, renames, words and the stored term count.
#include "classify/logical_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "classify/sum_tests.h"
#include "foundation/app/log_capture.h"
#include "foundation/files/quor_ini_file.h"
#include "simple_tests_support.h"
#include "support/scripted_test.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MakeScriptedTest;
using test::MakeTestMessage;
using test::ScopedTestList;
using test::TScriptedStep;
using test::TScriptedTest;
using Terms = std::vector<TLogicalCriteraRec>;

constexpr std::uint8_t kAnd = kLogicalAnd, kOr = kLogicalOr, kAndNot = kLogicalAndNot,
                       kOrNot = kLogicalOrNot, kXor = kLogicalXor;

std::shared_ptr<TLogicalTest> MakeLogical(const std::string& name, Terms terms) {
  auto test = std::make_shared<TLogicalTest>();
  test->SetName(name);
  test->SetTerms(std::move(terms));
  return test;
}

// Each row: the terms over A, B and C, their answers, the result and which
// of them were judged.
TEST(LogicalTest, TruthTablesAndShortCuts) {
  struct Row {
    Terms Chain;
    bool A, B, C;
    bool Result;
    const char* Judged;
  } rows[] = {
      {{{kAndNot, "A"}}, true, false, false, false, "A"},
      {{{kAndNot, "A"}}, false, false, false, true, "A"},
      {{{kOr, "A"}}, true, false, false, true, "A"},  // a first OR is plain
      {{{kOr, "A"}}, false, false, false, false, "A"},
      {{{kAnd, "A"}, {kAnd, "B"}}, true, true, false, true, "AB"},
      {{{kAnd, "A"}, {kAnd, "B"}}, false, true, false, false, "A"},
      {{{kAnd, "A"}, {kOr, "B"}}, true, true, false, true, "A"},
      {{{kAnd, "A"}, {kOr, "B"}}, false, true, false, true, "AB"},
      {{{kAnd, "A"}, {kXor, "B"}}, true, true, false, false, "AB"},
      {{{kAnd, "A"}, {kXor, "B"}}, false, true, false, true, "AB"},
      {{{kAnd, "A"}, {kAndNot, "B"}}, true, false, false, true, "AB"},
      {{{kAnd, "A"}, {kAndNot, "B"}}, false, false, false, false, "A"},
      {{{kAnd, "A"}, {kOrNot, "B"}}, false, false, false, true, "AB"},
      {{{kAnd, "A"}, {kOrNot, "B"}}, true, true, false, true, "A"},
      // An AND meeting false ends the walk: no later OR can make it pass.
      {{{kAnd, "A"}, {kAnd, "B"}, {kOr, "C"}}, false, true, true, false, "A"},
      {{{kAnd, "A"}, {kAnd, "B"}, {kOr, "C"}}, true, false, true, true, "ABC"},
      {{{kAnd, "A"}, {kAnd, "B"}, {kOr, "C"}}, true, false, false, false, "ABC"},
      {{{kAndNot, "A"}, {kXor, "B"}, {kOrNot, "C"}}, false, true, true, false, "ABC"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.Judged << " A=" << row.A << " B=" << row.B << " C=" << row.C);
    ScopedTestList list;
    auto a = list.Add(MakeScriptedTest("A", row.A));
    auto b = list.Add(MakeScriptedTest("B", row.B));
    auto c = list.Add(MakeScriptedTest("C", row.C));
    auto logical = list.Add(MakeLogical("L", row.Chain));
    auto msg = MakeTestMessage("m");
    EXPECT_EQ(logical->Evaluate(*msg, nullptr), row.Result);
    std::string judged;
    for (const auto& [name, test] : {std::pair{"A", a}, {"B", b}, {"C", c}})
      if (!test->Judged().empty()) judged += name;
    EXPECT_EQ(judged, row.Judged);
    EXPECT_EQ(logical->LastMsgKey(), msg->GetContentId());
    // A first term that is not NOT is plain from now on, and stored so.
    EXPECT_EQ(logical->Terms()[0].Operator, row.Chain[0].Operator == kAndNot ? kAndNot : kAnd);
  }
}

// The chain's words, the passed terms with the tests' own explanations, the
// headline on top, every line at 9 for a pass (5 for a failure), and the log
// record.
TEST(LogicalTest, ExplainsThePassedTermsAndLogs) {
  test::LogCapture log;
  ScopedTestList list;
  list.Add(MakeScriptedTest("A", true));
  list.Add(MakeScriptedTest("B", false));
  auto logical = list.Add(MakeLogical("Either", {{kAnd, "A"}, {kOr, "B"}}));
  auto msg = MakeTestMessage("Hello");
  EXPECT_TRUE(logical->Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(*logical), (Lines{"9 <br>email passed Logical test: \"Either\".<br>",
                                               "9 <br>A OR B", "9 <br>Test 1 passed: <blockquote>",
                                               "9 <br><br>email passed scripted test: \"A\".",
                                               "9 <br><br>The script answered yes.</blockquote>"}));
  EXPECT_TRUE(log.Contains(test::LogRecord("Either", "Msg Hello passed Logical test: \"Either\"")));

  auto both = list.Add(MakeLogical("Both", {{kAnd, "A"}, {kAnd, "B"}}));
  EXPECT_FALSE(both->Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(*both), (Lines{"5 <br>email failed Logical test: \"Both\".<br>",
                                            "5 <br>A AND B", "5 <br>Test 1 passed: <blockquote>",
                                            "5 <br><br>email passed scripted test: \"A\".",
                                            "5 <br><br>The script answered yes.</blockquote>"}));
  EXPECT_TRUE(log.Contains(test::LogRecord("Both", "Msg Hello failed Logical test: \"Both\"")));
}

// A stop request during the walk answers the result so far and caches
// nothing, also when it comes while the last term is judged.
TEST(LogicalTest, AStopDuringTheWalkRecordsNothing) {
  for (const bool lastTerm : {false, true}) {
    SCOPED_TRACE(lastTerm);
    ScopedTestList list;
    std::atomic<bool> stop{false};
    auto a = list.Add(MakeScriptedTest("A", true));
    auto b = list.Add(MakeScriptedTest("B", true));
    TScriptedStep stopping;
    stopping.Answer = true;
    stopping.Before = [&stop](TEmailMsg&) { stop = true; };
    (lastTerm ? b : a)->SetDefault(stopping);
    auto logical = list.Add(MakeLogical("L", {{kAnd, "A"}, {kAnd, "B"}}));
    logical->SetStandardTestNum(30);
    auto msg = MakeTestMessage("m");
    logical->Evaluate(*msg, &stop);
    EXPECT_EQ(logical->LastMsgKey(), -1);
    EXPECT_EQ(test::StandardTrite(*msg, 30), kTriteUnknown);
    // Judged again at the next call (the stopped term answered false, and
    // keeps that answer for the message).
    stop = false;
    EXPECT_FALSE(logical->Evaluate(*msg, &stop));
    EXPECT_EQ(logical->LastMsgKey(), msg->GetContentId());
    EXPECT_EQ(test::StandardTrite(*msg, 30), kTriteNo);
  }
}

// Errors of a term's test, and a test that is gone by the time the walk gets
// to it, end the walk with false, which is cached; nothing reaches the
// caller.
TEST(LogicalTest, ErrorsOfTheWalkAnswerFalse) {
  ScopedTestList list;
  auto a = list.Add(MakeScriptedTest("A", true));
  auto b = list.Add(MakeScriptedTest("B", true));
  TScriptedStep raising;
  raising.Raise = [] { throw std::runtime_error("lock timed out"); };
  b->Script("raises", raising);
  TScriptedStep removing;
  removing.Answer = true;
  removing.Before = [&](TEmailMsg&) { list->RemoveTest(b.get()); };
  a->Script("removes", removing);
  auto logical = list.Add(MakeLogical("L", {{kAnd, "A"}, {kAnd, "B"}}));
  for (const char* subject : {"raises", "removes"}) {
    SCOPED_TRACE(subject);
    auto msg = MakeTestMessage(subject);
    EXPECT_FALSE(logical->Evaluate(*msg, nullptr));
    EXPECT_EQ(logical->LastMsgKey(), msg->GetContentId());
    EXPECT_EQ(ExplanationLines(*logical)[0], "5 <br>email failed Logical test: \"L\".<br>");
  }
}

TEST(LogicalTest, ValidationReasons) {
  ScopedTestList list;
  auto broken = list.Add(MakeScriptedTest("Broken", true));
  broken->SetInvalidReason("tag is not specified");
  list.Add(MakeScriptedTest("Fine", true));
  const struct Row {
    std::shared_ptr<TLogicalTest> Test;
    const char* Reason;
  } rows[] = {
      {MakeLogical("", {{kAnd, "Fine"}}), "the Test has no name"},
      {MakeLogical("L", {}), "this Test is empty"},
      {MakeLogical("L", {{kAnd, "Fine"}, {kOr, "Gone"}}), "Test \"Gone\" does not exist"},
      {MakeLogical("L", {{kAnd, "Fine"}, {kOr, "broken"}}),
       "Test \"broken\" is invalid because tag is not specified"},
      {MakeLogical("L", {{kAnd, "Fine"}, {kOr, "FINE"}}), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Reason);
    EXPECT_EQ(row.Test->Validate(), row.Reason);
    auto msg = MakeTestMessage("m");
    const bool answer = row.Test->Evaluate(*msg, nullptr);
    if (*row.Reason == '\0') {
      EXPECT_TRUE(answer);
      continue;
    }
    EXPECT_FALSE(answer);
    EXPECT_EQ(ExplanationLines(*row.Test),
              Lines{"9 <br>Test is invalid because " + std::string(row.Reason) + "."});
    EXPECT_EQ(row.Test->LastMsgKey(), -1);
  }
  EXPECT_EQ(MakeLogical("L", {})->GetNote(),
            "Warning:\r\nIt is important to avoid adding tests that will create an endless loop");
}

// Loops of combining tests end: a logical test that reaches itself is
// invalid, a weighted test met again while it is judged answers false, and
// nothing recurses without end.
TEST(LogicalTest, LoopsOfCombiningTestsEndInvalidOrFalse) {
  {
    SCOPED_TRACE("two logical tests");
    ScopedTestList list;
    auto a = list.Add(MakeLogical("A", {{kAnd, "B"}}));
    auto b = list.Add(MakeLogical("B", {{kAndNot, "A"}}));
    EXPECT_EQ(a->Validate(),
              "Test \"B\" is invalid because Test \"A\" is invalid because it refers back to "
              "itself");
    EXPECT_EQ(b->Validate(),
              "Test \"A\" is invalid because Test \"B\" is invalid because it refers back to "
              "itself");
    auto msg = MakeTestMessage("m");
    EXPECT_FALSE(a->Evaluate(*msg, nullptr));
    EXPECT_EQ(a->LastMsgKey(), -1);
    EXPECT_EQ(a->Describe().rfind("This Test IS INCOMPLETE/INVALID because Test \"B\" is", 0), 0u);
  }
  {
    SCOPED_TRACE("logical, weighted, logical");
    ScopedTestList list;
    auto plain = list.Add(MakeScriptedTest("Plain", true));
    auto l = list.Add(MakeLogical("L", {{kAnd, "S"}}));
    auto s = list.Add(std::make_shared<TSumTest>());
    s->SetName("S");
    s->SetThreshold(0);
    s->SetEntries({{"M", 10, 0}, {"Plain", 5, 0}});
    auto m = list.Add(MakeLogical("M", {{kAnd, "Plain"}, {kAnd, "L"}}));
    // The weighted test does not validate its entries, so the chain is valid
    // until M meets L again.
    EXPECT_EQ(l->Validate(), "");
    EXPECT_EQ(m->Validate(), "");
    auto msg = MakeTestMessage("m");
    // L judges S; S judges Plain (5) and M; M judges Plain and then L, met
    // again: false; so M fails, S has 5 > 0 and passes, and L passes.
    EXPECT_TRUE(l->Evaluate(*msg, nullptr));
    EXPECT_FALSE(m->LastResult());
    EXPECT_EQ(plain->Judged().size(), 1u);
  }
  {
    SCOPED_TRACE("a weighted test of itself");
    ScopedTestList list;
    auto s = list.Add(std::make_shared<TSumTest>());
    s->SetName("Self");
    s->SetThreshold(-5);
    s->SetStandardTestNum(40);
    s->SetEntries({{"self", 0, -3}});
    auto msg = MakeTestMessage("m");
    // Met again it answers false at once: -3 points, above -5.
    EXPECT_TRUE(s->Evaluate(*msg, nullptr));
    EXPECT_EQ(ExplanationLines(*s)[1],
              "6 <br>3 points were subtracted when email failed test "
              "\"self\".");
    EXPECT_EQ(test::StandardTrite(*msg, 40), kTriteYes);
  }
}

// Deep chains of distinct combining tests are refused before the stack runs
// out.
TEST(LogicalTest, DeepChainsAreRefused) {
  ScopedTestList list;
  list.Add(MakeScriptedTest("T0", true));
  for (int i = 1; i <= kMaxCombiningDepth + 5; ++i)
    list.Add(MakeLogical("T" + std::to_string(i), {{kAnd, "T" + std::to_string(i - 1)}}));
  auto top = list->FindTestByName("T" + std::to_string(kMaxCombiningDepth + 5));
  EXPECT_NE(top->Validate().find(kNestedTooDeep), std::string::npos);
  auto msg = MakeTestMessage("m");
  EXPECT_FALSE(top->Evaluate(*msg, nullptr));
  auto shallow = list->FindTestByName("T10");
  EXPECT_EQ(shallow->Validate(), "");
  EXPECT_TRUE(shallow->Evaluate(*msg, nullptr));
}

TEST(LogicalTest, RenamesFollowExactNamesOnly) {
  ScopedTestList list;
  auto renamed = list.Add(MakeScriptedTest("Old", true));
  auto logical = list.Add(MakeLogical("L", {{kAnd, "Old"}, {kOr, "old"}, {kXor, "Old"}}));
  renamed->SetName("New");
  list->TestRenamed("New", "Old");
  EXPECT_EQ(logical->Terms(), (Terms{{kAnd, "New"}, {kOr, "old"}, {kXor, "New"}}));
  EXPECT_EQ(logical->Validate(), "Test \"old\" does not exist");
  logical->PhraseListRenamed("New", "Old");
  EXPECT_EQ(logical->Terms()[0].TestName, "New");
}

TEST(LogicalTest, Describe) {
  ScopedTestList list;
  for (const char* name : {"A", "B", "C"}) list.Add(MakeScriptedTest(name, true));
  const struct Row {
    Terms Chain;
    const char* Words;
  } rows[] = {
      {{}, "This Test IS INCOMPLETE/INVALID because this Test is empty.\r\nEmpty logical Test"},
      {{{kAndNot, "A"}, {kAnd, "B"}, {kOrNot, "C"}}, "NOT A AND B OR NOT C"},
      {{{kAnd, "A"}, {kOr, "B"}, {kXor, "C"}, {kAndNot, "A"}}, "A OR B XOR C AND NOT A"},
      {{{kAnd, "A"}, {9, "B"}}, "A ??? B"},
      {{{kAnd, "A"}, {kOr, ""}},
       "This Test IS INCOMPLETE/INVALID because Test \"\" does not exist.\r\nA OR ?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Words);
    EXPECT_EQ(MakeLogical("L", row.Chain)->Describe(), row.Words);
  }
  EXPECT_EQ(TLogicalTest().GetTypeName(), "Logical Test");
}

// An unknown operator (set by hand) judges nothing, says so, and counts as a
// passed term.
TEST(LogicalTest, AnUnknownOperatorLeavesTheResult) {
  ScopedTestList list;
  auto b = list.Add(MakeScriptedTest("B", false));
  list.Add(MakeScriptedTest("A", true));
  auto logical = list.Add(MakeLogical("L", {{kAnd, "A"}, {7, "B"}}));
  auto msg = MakeTestMessage("m");
  EXPECT_TRUE(logical->Evaluate(*msg, nullptr));
  EXPECT_TRUE(b->Judged().empty());
  const Lines lines = ExplanationLines(*logical);
  EXPECT_EQ(lines[lines.size() - 2], "9 <br>Test is invalid.");
  EXPECT_EQ(lines.back(), "9 <br>Test 2 passed: <blockquote></blockquote>");
}

// The stored term count: a hostile count cannot take the memory, a negative
// one is none, operators outside 0 to 4 are plain.
TEST(LogicalTest, StoredTermCounts) {
  test::LogCapture log;
  const struct Row {
    const char* Count;
    std::size_t Terms;
  } rows[] = {{"2147483647", 1000}, {"1001", 1000}, {"-5", 0},
              {"-2147483648", 0},   {"3", 3},       {"nonsense", 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Count);
    TQuorIniFile ini("");
    ini.LoadFromStream(std::string("[Test-L]\r\nClassName=TLogicalTest\r\nTestCount=") + row.Count +
                       "\r\nOperator0=4\r\nTestName0=A\r\nOperator1=5\r\nTestName1=B\r\n"
                       "Operator2=-1\r\nOperator999=3\r\nTestName999=Z\r\n");
    TLogicalTest test;
    test.SetName("L");
    test.LoadFromIni(ini);
    const Terms terms = test.Terms();
    ASSERT_EQ(terms.size(), row.Terms);
    if (row.Terms == 0) continue;
    EXPECT_EQ(terms[0], (TLogicalCriteraRec{kXor, "A"}));
    EXPECT_EQ(terms[1], (TLogicalCriteraRec{kAnd, "B"}));
    EXPECT_EQ(terms[2], (TLogicalCriteraRec{kAnd, ""}));
    if (row.Terms == 1000) {
      EXPECT_EQ(terms[999], (TLogicalCriteraRec{kOrNot, "Z"}));
    }
  }
  EXPECT_TRUE(
      log.Contains("The rules give the logical test 2147483647 terms; it keeps the first "
                   "1000"))
      << log.Text();
}

}  // namespace
}  // namespace halvorn
