#include "classify/logical_test.h"

#include <stdexcept>
#include <utility>

#include "classify/test_list.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"

namespace halvorn {

namespace {

constexpr int kPassedLevel = 9;
constexpr int kFailedLevel = 5;

// The chain in words: "NOT A AND B OR NOT C".
std::string TermsText(const std::vector<TLogicalCriteraRec>& terms) {
  if (terms.empty()) return "Empty logical Test";
  static const char* const kJoiners[] = {" AND ", " OR ", " AND NOT ", " OR NOT ", " XOR "};
  std::string text = (terms[0].Operator == kLogicalAndNot ? "NOT " : "") + terms[0].TestName;
  for (std::size_t i = 1; i < terms.size(); ++i) {
    const std::uint8_t op = terms[i].Operator;
    text += op <= kLogicalXor ? kJoiners[op] : " ??? ";
    text += terms[i].TestName.empty() ? "?" : terms[i].TestName;
  }
  return text;
}

}  // namespace

std::vector<TLogicalCriteraRec> TLogicalTest::Terms() const {
  TCriticalSectionGuard guard(TestLock());
  return FTerms;
}

void TLogicalTest::SetTerms(std::vector<TLogicalCriteraRec> terms) {
  TCriticalSectionGuard guard(TestLock());
  FTerms = std::move(terms);
}

void TLogicalTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const std::vector<TLogicalCriteraRec> terms = Terms();
  const std::string section = SectionName();
  ini.WriteInteger(section, "TestCount", static_cast<std::int64_t>(terms.size()));
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const std::string n = std::to_string(i);
    ini.WriteInteger(section, "Operator" + n, terms[i].Operator);
    ini.WriteString(section, "TestName" + n, terms[i].TestName);
  }
}

void TLogicalTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  std::int64_t count = ini.ReadInteger(section, "TestCount", 0);
  if (count < 0) count = 0;
  if (count > kMaxLogicalTerms) {
    // A count this large is no user's chain: a damaged or hostile file,
    // which would take all memory while the rules load.
    Log(Name(),
        "The rules give the logical test " + std::to_string(count) + " terms; it keeps the first " +
            std::to_string(kMaxLogicalTerms),
        3, true);
    count = kMaxLogicalTerms;
  }
  std::vector<TLogicalCriteraRec> terms(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const std::string n = std::to_string(i);
    const std::int64_t op = ini.ReadInteger(section, "Operator" + n, -1);
    terms[i].Operator =
        op >= kLogicalAnd && op <= kLogicalXor ? static_cast<std::uint8_t>(op) : kLogicalAnd;
    terms[i].TestName = ini.ReadString(section, "TestName" + n, "");
  }
  SetTerms(std::move(terms));
}

void TLogicalTest::PhraseListRenamed(const std::string&, const std::string&) {}

void TLogicalTest::TestRenamed(const std::string& newName, const std::string& oldName) {
  {
    TCriticalSectionGuard guard(TestLock());
    for (std::size_t i = FTerms.size(); i-- > 0;)
      if (FTerms[i].TestName == oldName) FTerms[i].TestName = newName;
  }
  TTest::TestRenamed(newName, oldName);
}

std::string TLogicalTest::Validate() {
  TCombiningGuard guard(this, TCombiningStep::Validating);
  if (!guard.Entered()) return guard.Refusal();
  if (Name().empty()) return kTestHasNoName;
  const std::vector<TLogicalCriteraRec> terms = Terms();
  if (terms.empty()) return "this Test is empty";
  for (const TLogicalCriteraRec& term : terms) {
    const std::shared_ptr<TTest> test = FindGlobalTest(term.TestName);
    if (!test) return "Test \"" + term.TestName + "\" does not exist";
    const std::string reason = test->Validate();
    if (!reason.empty()) return "Test \"" + term.TestName + "\" is invalid because " + reason;
  }
  return {};
}

std::string TLogicalTest::Describe() {
  const std::string text = TermsText(Terms());
  return DescriptionWithReason(Validate(), text);
}

std::string TLogicalTest::GetNote() {
  return kEndlessLoopWarning;
}

bool TLogicalTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  TCombiningGuard guard(this, TCombiningStep::Evaluating);
  if (!guard.Entered()) return false;
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const std::string name = Name();
  std::vector<TLogicalCriteraRec> terms;
  {
    TCriticalSectionGuard lock(TestLock());
    if (!FTerms.empty() && FTerms[0].Operator != kLogicalAndNot) FTerms[0].Operator = kLogicalAnd;
    terms = FTerms;
  }
  TSimpleHtml lines;
  lines.AddLine(TermsText(terms), -1, kHtmlKindAll, true);
  bool result = true;
  const bool stopped = CatchAllButAbandonment(
      [&] {
        for (std::size_t i = 0; i < terms.size(); ++i) {
          if (Aborted(abort)) return true;
          // The terms were valid a moment ago; a test removed or renamed since
          // ends the walk like any other error.
          const std::shared_ptr<TTest> test = FindGlobalTest(terms[i].TestName);
          if (!test) throw std::runtime_error("the test \"" + terms[i].TestName + "\" is gone");
          bool judged = true;
          bool passed = false;
          bool ended = false;
          switch (terms[i].Operator) {
            case kLogicalAnd:
              if (!result) {
                ended = true;
              } else {
                passed = test->Evaluate(msg, abort);
                result = passed;
              }
              break;
            case kLogicalOr:
              if (result) {
                judged = false;
              } else {
                passed = test->Evaluate(msg, abort);
                result = passed;
              }
              break;
            case kLogicalAndNot:
              if (!result) {
                ended = true;
              } else {
                passed = test->Evaluate(msg, abort);
                result = !passed;
              }
              break;
            case kLogicalOrNot:
              if (result) {
                judged = false;
              } else {
                passed = test->Evaluate(msg, abort);
                result = !passed;
              }
              break;
            case kLogicalXor:
              passed = test->Evaluate(msg, abort);
              result = result != passed;
              break;
            default:
              lines.AddLine("Test is invalid.", kInvalidTestLevel, kHtmlKindAll, true);
              passed = true;
              break;
          }
          if (ended) break;
          if (judged && passed) {
            lines.AddLine("Test " + std::to_string(i + 1) + " passed: <blockquote>", -1, kHtmlKindAll,
                          true);
            lines.AddStrings(test->Explanation());
            lines.AppendToLast("</blockquote>");
          }
        }
        // A stop request during the last term's judgement leaves that term's
        // answer unfinished: nothing of it may be cached.
        return Aborted(abort);
      },
      [&](const std::string& error) {
        Log(name, "The logical test answers false: " + error, kEvaluationLogLevel, true);
        result = false;
        return false;
      });
  if (stopped) {
    PublishExplanation(std::move(lines));
    return result;
  }
  CacheResult(msg, result);
  RecordStandardTest(msg, result);
  const std::string verdict =
      std::string(result ? "passed" : "failed") + " Logical test: \"" + name + "\"";
  PutHeadlineFirst(lines, "email " + verdict + ".<br>", kPassedLevel);
  LogEvaluation(msg, verdict);
  SetEveryLevel(lines, result ? kPassedLevel : kFailedLevel);
  PublishExplanation(std::move(lines));
  return result;
}

}  // namespace halvorn
