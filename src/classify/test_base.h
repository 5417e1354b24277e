// TTest: the base of every test, the object that judges one message at a time
// ("passed" or "failed"), explains why, records its answer and learns from the
// user's later categorisation of the message.
//
// Evaluation protocol. Every class's Evaluate follows the same steps, built
// from the protected functions below so that each class picks its own closing
// steps:
//   1.-4. BeginEvaluate: a set abort flag answers false and records nothing;
//         the message judged last (same side-record Id) answers the cached
//         result with its explanation as it was; otherwise the explanation is
//         cleared and Validate runs: an invalid test explains "Test is
//         invalid because <reason>" and answers false without caching, so
//         the next call judges again.
//   5.    The class judges the message.
//   6.    Closing steps, as the class's own design says: RecordStandardTest
//         (the side record's "StandardTests" entry StandardTestNum),
//         CacheResult (the message key and the answer), the explanation
//         lines (AddExplanation), LogEvaluation ("Msg " + subject + " " +
//         detail under the test's name). CloseEvaluation runs all four.
// Nothing here catches EThreadAbandoned: an abandoned worker unwinds.
//
// Result code. GetResultCode gives the comma text "Pa=y" or "Pa=n" for the
// message judged last (key 0 asks for it whatever its key), empty for any
// other message and before the first judgement; classes add pairs of their
// own after it.
//
// Threads. Only the incoming processing thread evaluates, preprocesses and
// trains tests; the main thread edits, renames, saves and categorises them
// meanwhile. A test is therefore changed in place, never replaced, and every
// field below is read and written under the test's own lock "Test_CS" (a
// leaf: nothing else is locked while it is held; readers get copies). Later
// classes guard the settings the main thread changes with the same lock
// (TestLock). Each operation may be called from any thread unless it says
// otherwise; one that cannot take the lock raises ECriticalSectionException.
//
// Ownership. Tests are held by std::shared_ptr: the test list owns them, and
// a test the main thread removes lives on while a rule on the processing
// thread still uses it. Not copyable.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/threads/mutex_critical_section.h"
#include "message/category_probability.h"
#include "message/simple_html.h"

namespace halvorn {

class TEmailMsg;
class TQuorIniFile;

// The section prefix of a test in the rules file.
inline constexpr const char* kTestSectionPrefix = "Test-";
// The detail level of the "Test is invalid because" line.
inline constexpr int kInvalidTestLevel = 9;
// The log detail of an evaluation's record.
inline constexpr int kEvaluationLogLevel = 5;

class TTest {
 public:
  // Name empty, UniqueId five random letters and digits, owner "Global",
  // StandardTestNum -1, no message judged yet (LastMsgKey -1, LastResult
  // false), empty explanation and statistics.
  TTest();
  virtual ~TTest();
  TTest(const TTest&) = delete;
  TTest& operator=(const TTest&) = delete;

  // ---- Fields (each a copy read, or a value set, under the lock)

  // The name rules and combining tests refer to the test by; unique among
  // the tests of the list ignoring case (TTestList::HasDuplicateNames).
  std::string Name() const;
  void SetName(const std::string& name);
  // The name equals the text ignoring case (without copying it).
  bool HasName(std::string_view name) const;
  // The name the test had when the editor began editing it; not stored.
  std::string OldName() const;
  void SetOldName(const std::string& name);
  // Stable identity: the key of the test's result code in "StatData".
  std::string UniqueId() const;
  void SetUniqueId(const std::string& id);
  // The owner group; the rules file stores one group at a time.
  std::string Owner() const;
  void SetOwner(const std::string& owner);
  // Where the answer goes in the message's standard-test trites; below 0 it
  // is not recorded there.
  std::int32_t StandardTestNum() const;
  void SetStandardTestNum(std::int32_t number);
  // The side-record Id of the message judged last; -1 before the first.
  std::int32_t LastMsgKey() const;
  // The answer for that message.
  bool LastResult() const;
  // The explanation lines of the last judgement, copied.
  TSimpleHtml Explanation() const;
  // The statistics, copied.
  TTestStats Stats() const;

  // "Test-" + Name.
  std::string SectionName() const;
  // Name := the section name without its first five characters.
  void SetNameFromSection(const std::string& section);

  // The class name the rules file stores ("TTagValueTest"): each class
  // answers the name it was created under, never a compiler's type name.
  virtual std::string ClassName() const = 0;

  // ---- The operations every class shares (slots 0 to 21)

  // The test type's display name ("Header Tag Value").
  virtual std::string GetTypeName() = 0;
  // Writes, into SectionName(): "ClassName", "StandardTestNum" (only when 0
  // or more), "UniqueId", "TestStats" (GetStatsText; an empty text removes
  // the line). Classes write their own keys after calling it. The settings
  // object belongs to the caller; the values are copied under the lock and
  // written after it is left.
  virtual void SaveToIni(TQuorIniFile& ini);
  // Reads StandardTestNum (default -1), UniqueId (default the current one)
  // and "TestStats" (default empty, handed to SetStatsText) from
  // SectionName(). Classes read their own keys after calling it.
  virtual void LoadFromIni(TQuorIniFile& ini);
  // A phrase list was renamed; tests that hold a list's name follow it.
  virtual void PhraseListRenamed(const std::string& newName, const std::string& oldName);
  // A test was renamed; tests that name other tests follow it.
  virtual void TestRenamed(const std::string& newName, const std::string& oldName);
  // Empty when the settings are complete and usable, else the reason, a
  // lower-case phrase ("tag is not specified").
  virtual std::string Validate() = 0;
  // When the test answers true, in words ("Test will return true if: ...").
  virtual std::string Describe() = 0;
  // Help text shown with the test in its editor; may be empty.
  virtual std::string GetNote() = 0;
  // Judges the message by the protocol above. `abort` may be null; it points
  // to the processing thread's stop flag, which another thread may set.
  // Processing thread only. Errors of the judging step reach the caller.
  virtual bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) = 0;
  // Starts the look-ups a later Evaluate will collect. Nothing here.
  virtual void Preprocess(TEmailMsg& msg);
  // Trains the test's network. Nothing here. Processing thread only, under
  // the list's TrainLock.
  virtual void Train();
  // Adds the user's verdict to Stats: when the code's "Pa" value is exactly
  // one character, that character as a trite, with weight 1. Nothing
  // otherwise.
  virtual void AdjustStats(const TCategoryProbability& probability, const std::string& resultCode);
  // See the top of this file.
  virtual std::string GetResultCode(std::int32_t msgKey);
  // The user put the message whose result code this is into the category:
  // a probability "UserAdjustStats" set to that category goes to
  // AdjustStats. Every error on the way is logged and swallowed (not
  // EThreadAbandoned).
  virtual void UserCategorised(std::uint8_t category, const std::string& resultCode);
  // When the code's "Pa" value is one character: fills the probability from
  // Stats for that verdict, measured against the global category counts,
  // then overwrites the nine global counts with this test's per-category
  // sums of true positives and true negatives (held at the 32-bit limit).
  // Otherwise the probability stays as it is.
  virtual void GetCategoryProbability(const std::string& resultCode,
                                      TCategoryProbability& probability);
  // GetResultCode for the key, then GetCategoryProbability with it.
  virtual void CategoryProbabilityForMsg(TCategoryProbability& probability, std::int32_t msgKey);
  // The category probabilities of the message's result code into the
  // report (ShowCategoryProbabilities), or the line "No stat data available
  // for test " + Name when there is no code. Always true.
  virtual bool ShowStats(TSimpleHtml& html, std::int32_t msgKey);
  // Adds "Category Probabilities for Test" + Name, then the probability's
  // display text, each at the report's last level after "<br>". True.
  virtual bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html);
  virtual void ResetStats();
  virtual std::string GetStatsText();
  virtual void SetStatsText(const std::string& text);
  // Nothing, in every class (the developer menu's items call it).
  virtual void TransStats();

 protected:
  // The test's lock, for classes guarding settings of their own with it. A
  // leaf lock: take nothing else while holding it.
  TMutexCriticalSection& TestLock() const { return FLock; }

  // Protocol steps 1 to 4. True when the caller must judge the message;
  // false when `answer` is to be returned at once.
  bool BeginEvaluate(TEmailMsg& msg, const std::atomic<bool>* abort, bool& answer);
  // Step 6.1: the answer at StandardTestNum of the message's standard-test
  // trites (nothing outside 0 .. 5000). RecordStandardTestAt records under
  // a fixed number, for the classes that stand for a numbered test.
  void RecordStandardTest(TEmailMsg& msg, bool result);
  static void RecordStandardTestAt(TEmailMsg& msg, std::int32_t number, bool result);
  // Step 6.2: LastMsgKey := the message's side-record Id, LastResult :=
  // result, together.
  void CacheResult(TEmailMsg& msg, bool result);
  // Step 6.3: appends an explanation line (TSimpleHtml::AddLine: level -1
  // is the last line's level and always adds "<br>").
  void AddExplanation(const std::string& text, int level, bool addBreak = true,
                      int kind = kHtmlKindAll);
  // Inserts an explanation line before line `index` (0: as the first line).
  void InsertExplanation(int index, const std::string& text, int level, bool addBreak = true,
                         int kind = kHtmlKindAll);
  void ClearExplanation();
  // Step 6.4: the log record "Msg " + subject + " " + detail under Name, at
  // detail 5, not an error.
  void LogEvaluation(TEmailMsg& msg, const std::string& detail);
  // All four closing steps: the headline (with "<br>") and the detail line
  // as explanation, the detail line in the log.
  void CloseEvaluation(TEmailMsg& msg, bool result, const std::string& headline,
                       int headlineLevel, const std::string& detail, int detailLevel);

 private:
  mutable TMutexCriticalSection FLock{"Test_CS"};
  std::string FName;
  std::string FOldName;
  std::string FUniqueId;
  std::int32_t FLastMsgKey = -1;
  bool FLastResult = false;
  TSimpleHtml FExplanation;
  std::string FOwner = "Global";
  std::int32_t FStandardTestNum = -1;
  TTestStats FStats;
};

// The value of "Pa" in a result code as a trite: true with the verdict when
// the value is exactly one character ("y" yes, "n" no, else unknown).
bool ResultCodeVerdict(const std::string& resultCode, TTrite& verdict);

}  // namespace halvorn
