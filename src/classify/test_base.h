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
//         invalid because <reason>" (with the class's ending, "." for some)
//         and answers false without caching, so the next call judges again.
//         Classes that judge without validating, or validate in their own
//         way, begin with BeginEvaluateUnvalidated (steps 1 to 3).
//   5.    The class judges the message. JudgeThenClose runs the closing
//         steps also when the judging step raises, for the classes that do.
//   6.    Closing steps, as the class's own design says: RecordStandardTest
//         (the side record's "StandardTests" entry StandardTestNum),
//         CacheResult (the message key and the answer), the explanation
//         lines (AddExplanation), LogEvaluation ("Msg " + subject + " " +
//         detail under the test's name). CloseEvaluation runs all four.
//         Classes whose explanation is more than lines appended in order (a
//         headline put on top, lines re-levelled, another test's lines taken
//         in) build it apart and publish it whole (PublishExplanation).
// Nothing here catches EThreadAbandoned: an abandoned worker unwinds.
//
// Combining tests (tests that judge by other tests, named in the global test
// list) guard every step that reaches other tests with a TCombiningGuard, so
// that a test reaching itself again ends the loop instead of the stack.
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

#include "foundation/threads/abandonment.h"
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
// What Describe puts before the reason of an invalid test.
inline constexpr const char* kIncompleteTestPrefix = "This Test IS INCOMPLETE/INVALID because ";
// Validate's reason for a test without a name.
inline constexpr const char* kTestHasNoName = "the Test has no name";

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
  // false when `answer` is to be returned at once. The line of an invalid
  // test is "Test is invalid because " + reason + `invalidEnding`.
  bool BeginEvaluate(TEmailMsg& msg, const std::atomic<bool>* abort, bool& answer,
                     std::string_view invalidEnding = {});
  // Protocol steps 1 to 3 (abort flag, cache, explanation cleared), without
  // Validate: for classes that judge an invalid test all the same or
  // validate in their own way.
  bool BeginEvaluateUnvalidated(TEmailMsg& msg, const std::atomic<bool>* abort, bool& answer);

  // Runs the judging step `judge` (which answers the result), then `close`
  // (the closing steps) with its answer, which is returned. When `judge`
  // raises, `close` runs with false first and the error goes on to the
  // caller; an abandoned worker's EThreadAbandoned passes untouched.
  template <class Judge, class Close>
  static bool JudgeThenClose(Judge&& judge, Close&& close) {
    const bool result = UndoOnFailure(judge, [&] { close(false); });
    close(result);
    return result;
  }
  // Step 6.1: the answer at StandardTestNum of the message's standard-test
  // trites (nothing outside 0 .. 5000). RecordStandardTestAt records under
  // a fixed number, for the classes that stand for a numbered test.
  void RecordStandardTest(TEmailMsg& msg, bool result);
  static void RecordStandardTestAt(TEmailMsg& msg, std::int32_t number, bool result);
  // "No" at the number only while the entry is unknown: a yes another step
  // or test recorded for the message stays.
  static void RecordStandardTestNoIfUnknown(TEmailMsg& msg, std::int32_t number);
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
  // Replaces the explanation by lines built apart, in one step under the
  // lock, so that a reader never sees them half made.
  void PublishExplanation(TSimpleHtml lines);
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

// The processing thread's stop flag (Evaluate's `abort`, which may be null)
// is set.
inline bool Aborted(const std::atomic<bool>* abort) {
  return abort != nullptr && abort->load();
}

// The value of "Pa" in a result code as a trite: true with the verdict when
// the value is exactly one character ("y" yes, "n" no, else unknown).
bool ResultCodeVerdict(const std::string& resultCode, TTrite& verdict);

// Describe's words for an invalid test: kIncompleteTestPrefix + reason + ".".
std::string IncompleteTestText(const std::string& reason);
// The text alone when the reason is empty; else IncompleteTestText, a line
// break (CR LF) and the text.
std::string DescriptionWithReason(const std::string& reason, const std::string& text);

// |n| of a 32-bit setting, in 64 bits: -2147483648 has no 32-bit positive
// value.
constexpr std::int64_t Magnitude64(std::int32_t n) {
  return n < 0 ? -std::int64_t{n} : std::int64_t{n};
}

// Explanation lines built apart (see PublishExplanation).
// The headline goes on top of the lines, at the level, with "<br>" before it
// when lines follow.
void PutHeadlineFirst(TSimpleHtml& lines, const std::string& headline, int level);
// Every line gets the level.
void SetEveryLevel(TSimpleHtml& lines, int level);

// ---- Combining tests

// What a combining test is doing when it reaches the tests it combines.
enum class TCombiningStep : std::uint8_t { Validating, Evaluating };

// How deep combining tests may nest on one thread: a chain of distinct
// tests that deep is refused like a loop, before it could exhaust the stack.
inline constexpr int kMaxCombiningDepth = 100;

// Validate's reasons for a test that reaches itself again through the tests
// it combines, and for one whose combined tests nest deeper than
// kMaxCombiningDepth.
inline constexpr const char* kRefersBackToItself = "it refers back to itself";
inline constexpr const char* kNestedTooDeep = "its tests are combined more than 100 deep";
// The note the editor shows with a combining test.
inline constexpr const char* kEndlessLoopWarning =
    "Warning:\r\nIt is important to avoid adding tests that will create an endless loop";

// Marks a test's step as under way on the calling thread while the object
// lives. One guard serves every combining class, keyed by test and step: a
// test that reaches itself again at the same step, directly or through other
// combining tests of any class, finds itself marked and stops there. A test
// may validate itself inside its own evaluation, and the editor's validation
// on the main thread never meets the worker's evaluation. Not copyable.
class TCombiningGuard {
 public:
  TCombiningGuard(const TTest* test, TCombiningStep step);
  ~TCombiningGuard();
  TCombiningGuard(const TCombiningGuard&) = delete;
  TCombiningGuard& operator=(const TCombiningGuard&) = delete;

  // False when the test was at this step on this thread already, or the
  // nesting is too deep; the guard marked nothing then.
  bool Entered() const { return FEntered; }
  // Validate's reason when not Entered (a loop or too deep); empty when
  // entered.
  std::string Refusal() const;

 private:
  bool FEntered = false;
  bool FTooDeep = false;
};

}  // namespace halvorn
