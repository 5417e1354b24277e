// Tests that judge a message by other judgements rather than by its content.
// Neither validates while it evaluates, writes a log record or explains an
// invalid setting: they judge with what they have.
//
// TSumTest ("Weighted Combination Test"): each entry names a test of the
// global test list and gives points for its passing and for its failing; the
// test passes when the total is strictly greater than Threshold. Entries are
// judged from the last to the first; a test that no longer exists is passed
// over. Totals are 64-bit: no number of entries can wrap them.
//
// TCategoryProbabilityTest ("Category Probability Test"): passes when the
// message's combined percentage for MsgCategory, as the tests and rules have
// given it so far, is at least Threshold.
//
// Threads. The settings (the entries included) live under the test's lock
// and are read and written as copies: the editor changes the live test on
// the main thread while the processing thread evaluates it. Evaluate copies
// them and lets go of the lock before it reaches another test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "classify/test_base.h"
#include "message/msg_category.h"

namespace halvorn {

struct TSumTestRec {
  std::string TestName;
  std::int32_t SuccessPoints = 0;  // added when the test passes (negative: subtracted)
  std::int32_t FailurePoints = 0;  // added when it fails

  bool operator==(const TSumTestRec&) const = default;
};

class TSumTest : public TTest {
 public:
  static constexpr const char* kClassName = "TSumTest";

  std::int32_t Threshold() const;
  void SetThreshold(std::int32_t threshold);
  // The entries, copied; and replaced whole.
  std::vector<TSumTestRec> Entries() const;
  void SetEntries(std::vector<TSumTestRec> entries);
  int EntryCount() const;
  // A copy of the entry at the index; an entry with no name and no points
  // for an index out of range.
  TSumTestRec Entry(int index) const;
  // Replaces the entry at the index; false (nothing changed) out of range.
  bool SetEntry(int index, const TSumTestRec& entry);
  // The index of the first entry named exactly `testName`; -1 when none.
  int FindEntry(const std::string& testName) const;
  // Appends an entry for the test with 0 and 0 points; answers its index.
  int AddEntry(const std::string& testName);
  // Drops every entry whose points are 0 and 0.
  void RemoveEmptyEntries();

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Weighted Combination Test"; }
  // Drops the empty entries (RemoveEmptyEntries), then writes the base keys,
  // "Threshold", and "TestName" + i, "SuccessPoints" + i, "FailurePoints" +
  // i for each entry, i from 0.
  void SaveToIni(TQuorIniFile& ini) override;
  // "Threshold" (default: as it is), then entries while "TestName" + i has a
  // value (a missing one ends the list, whatever follows), each with its
  // points (default 0).
  void LoadFromIni(TQuorIniFile& ini) override;
  // Nothing: the entries name tests, not lists.
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // The first entry named exactly `oldName` takes `newName`.
  void TestRenamed(const std::string& newName, const std::string& oldName) override;
  // "no tests have been added" when no entry gives points either way; else
  // empty (the name is not checked).
  std::string Validate() override;
  // One line per non-zero number of points, in entry order; or the reason of
  // an invalid test alone.
  std::string Describe() override;
  // A warning naming the first entry whose test no longer exists, else the
  // warning about endless loops.
  std::string GetNote() override;
  // See the top of this file. An error of a referred test reaches the
  // caller and nothing is cached; a stop request answers false and records
  // nothing. Met again while it evaluates (through a logical or weighted
  // test): false at once, nothing recorded.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  std::int32_t FThreshold = 100;
  std::vector<TSumTestRec> FEntries;
};

class TCategoryProbabilityTest : public TTest {
 public:
  static constexpr const char* kClassName = "TCategoryProbabilityTest";

  std::int32_t Threshold() const;
  void SetThreshold(std::int32_t threshold);
  std::uint8_t MsgCategory() const;
  void SetMsgCategory(std::uint8_t category);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Category Probability Test"; }
  // "Threshold", "MsgCategory" after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // Both default to their current values; of "MsgCategory" the low byte is
  // kept.
  void LoadFromIni(TQuorIniFile& ini) override;
  // "there is no threshold probability specified." for a Threshold of 0;
  // else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  std::int32_t FThreshold = 75;
  std::uint8_t FMsgCategory = Mc_CommercialSpam;
};

}  // namespace halvorn
