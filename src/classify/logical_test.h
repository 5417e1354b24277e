// TLogicalTest ("Logical Test"): a chain of other tests of the global test
// list, named by their Name, joined by AND, OR, AND NOT, OR NOT and XOR and
// judged from left to right without precedence. An AND or AND NOT that meets
// a false result ends the chain, so a later OR cannot make it pass: A AND B
// OR C is false whenever A is. Each term's test is looked up by name at every
// use and judged through its own Evaluate (with its own cache and
// explanation).
//
// A test that reaches itself again through its terms (directly, or through
// other logical and weighted tests) is invalid ("it refers back to itself");
// see TCombiningGuard.
//
// Threads. The terms live under the test's lock; the getters and setters
// work on copies (the editor changes the terms of the live test on the main
// thread while the processing thread evaluates it). Validate, Describe and
// Evaluate copy the terms and let go of the lock before they reach any other
// test or list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "classify/test_base.h"

namespace halvorn {

// How a term joins the result so far. For the first term only "plain" (0)
// and NOT (2) mean anything.
inline constexpr std::uint8_t kLogicalAnd = 0;
inline constexpr std::uint8_t kLogicalOr = 1;
inline constexpr std::uint8_t kLogicalAndNot = 2;
inline constexpr std::uint8_t kLogicalOrNot = 3;
inline constexpr std::uint8_t kLogicalXor = 4;

// The most terms a stored test loads ("TestCount" beyond it is cut, with a
// log line).
inline constexpr int kMaxLogicalTerms = 1000;

struct TLogicalCriteraRec {
  std::uint8_t Operator = kLogicalAnd;
  std::string TestName;

  bool operator==(const TLogicalCriteraRec&) const = default;
};

class TLogicalTest : public TTest {
 public:
  static constexpr const char* kClassName = "TLogicalTest";

  // The terms, copied; and replaced whole.
  std::vector<TLogicalCriteraRec> Terms() const;
  void SetTerms(std::vector<TLogicalCriteraRec> terms);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Logical Test"; }
  // "TestCount", then "Operator" + i and "TestName" + i for each term (i from
  // 0; an empty name is not written).
  void SaveToIni(TQuorIniFile& ini) override;
  // "TestCount" (default 0; below 0 read as 0, above kMaxLogicalTerms cut to
  // it with a log line) terms, each "Operator" + i (default -1; any value
  // outside 0 to 4 becomes 0) and "TestName" + i (default empty).
  void LoadFromIni(TQuorIniFile& ini) override;
  // Nothing: the terms name tests, not lists.
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // Every term, from the last to the first, named exactly `oldName` takes
  // `newName`.
  void TestRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name"; else "this Test is empty"; else for the first
  // term whose test is missing: Test "NAME" does not exist; or invalid:
  // Test "NAME" is invalid because REASON; else empty. A test met again
  // while it is validated: kRefersBackToItself.
  std::string Validate() override;
  // "NOT A AND B OR NOT C" ("Empty logical Test" without terms), after the
  // reason of an invalid test.
  std::string Describe() override;
  std::string GetNote() override;
  // The chain judged term by term (see the top of this file); errors of the
  // terms' tests are contained (the answer is false, and cached). Before the
  // walk a first term that is not NOT becomes plain, in the stored terms
  // too. A stop request during the walk answers the result so far and
  // records nothing. Met again while it evaluates: false at once, nothing
  // recorded.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  std::vector<TLogicalCriteraRec> FTerms;
};

}  // namespace halvorn
