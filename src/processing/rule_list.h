// Rules: each pairs one test with one action, and the ordered list of them
// that processing applies to every incoming message.
//
// A rule names its test and its action; every use looks them up by name
// (ignoring case) in the global test list and the global action list, so a
// rule whose test or action has gone is invalid, never dangling. When the
// test's verdict, turned by PerformOn, is true, the action is performed. A
// rule runs in one phase of processing (Time): before the analysis or after
// it.
//
// The rule list owns the order of application and of the rules file, and
// writes, after its rules, the tests, the actions and the phrase lists; its
// load reads them in the same order before the rules, so rules find what
// they name.
//
// Threads. The main thread edits, loads and saves rules; the incoming
// processing thread applies them. Rules are held by std::shared_ptr; a phase
// works on a snapshot of the list and resolves each rule's test and action
// once, so a rule, test or action removed meanwhile lives on until the rule
// is done. A rule's fields are read and written under its own leaf lock
// "Rule_CS" (readers get copies); the list's lock "RuleList_CS" guards only
// its membership. Lock order: the list, then a rule; a rule's lock is never
// held while a test or an action is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "processing/action_list.h"

namespace halvorn {

class TEmailMsg;
class TQuorIniFile;
class TSimpleHtml;
class TTest;

// The processing phases a rule runs in (its Time). Times 2 and 3 are kept
// as read, but no phase runs them.
enum TRuleTime : std::uint8_t {
  Rt_ReceiveBeforeProcessing = 0,
  Rt_ReceiveAfterProcessing = 1,
};

// PerformOn: when the action is performed.
enum TPerformOn : std::uint8_t {
  po_TestTrue = 0,
  po_TestNotTrue = 1,
  po_Regardless = 2,
};

// The section prefix of a rule in the rules file, and the list's section.
inline constexpr const char* kRuleSectionPrefix = "Rule-";
inline constexpr const char* kRuleListSection = "RuleList";

// A rule's stored fields, as one copy.
struct TRuleFields {
  std::string TestName;
  std::string ActionName;
  std::string Name;
  bool Enabled = true;
  std::string Owner = "Global";
  std::uint8_t PerformOn = po_TestTrue;
  // Lines joined by CR LF.
  std::string Comments;
  std::uint8_t Time = Rt_ReceiveAfterProcessing;
  bool SkipIfWhitelisted = false;
};

class TRule {
 public:
  TRule() = default;
  virtual ~TRule() = default;
  TRule(const TRule&) = delete;
  TRule& operator=(const TRule&) = delete;

  // ---- Fields (each a copy read, or a value set, under the rule's lock)

  TRuleFields Fields() const;
  std::string Name() const;
  void SetName(const std::string& name);
  // The name equals the text ignoring case (an empty name matches nothing).
  bool HasName(std::string_view name) const;
  std::string TestName() const;
  void SetTestName(const std::string& name);
  std::string ActionName() const;
  void SetActionName(const std::string& name);
  bool Enabled() const;
  void SetEnabled(bool enabled);
  std::string Owner() const;
  void SetOwner(const std::string& owner);
  std::uint8_t PerformOn() const;
  void SetPerformOn(std::uint8_t performOn);
  std::string Comments() const;
  void SetComments(const std::string& comments);
  std::uint8_t Time() const;
  void SetTime(std::uint8_t time);
  bool SkipIfWhitelisted() const;
  void SetSkipIfWhitelisted(bool skip);

  // The test / action the rule names, looked up now in the global lists;
  // nullptr when none has the name. Setting takes the object's name (a null
  // object clears it).
  std::shared_ptr<TTest> GetTest() const;
  void SetTest(const TTest* test);
  TActionRef GetAction() const;
  void SetAction(const TAction* action);

  // "Rule-" + Name; setting the name from a section takes it without its
  // first five characters.
  std::string SectionName() const;
  void SetNameFromSection(const std::string& section);

  // ---- Operations (slots 1 to 3)

  // Empty when the rule can run, else why not: "has no name", "no Test has
  // been supplied", "no action has been supplied", or the test's or the
  // action's own reason ("the Test \"x\" is invalid because ...").
  virtual std::string Validate();
  // The rule as an IF/THEN text for the rule editor.
  virtual std::string Describe();
  // Evaluates the test (with the abort flag; null aborts nothing) and, when
  // the rule fires, performs the action; `consumed` is the action's answer.
  // Answers fired. A disabled or invalid rule, and a rule that skips
  // whitelisted mail meeting such a message, answer false having done
  // nothing; with the abort flag set after the test the action is not
  // performed. Errors of the test and the action reach the caller.
  virtual bool Apply(TEmailMsg& msg, bool& consumed, const std::atomic<bool>* abort);

  // Writes the rule's section anew: "Test" and "Action" (each only when the
  // object exists), "Enabled", "SkipIfWhitelisted", "PerformOn", "Comments"
  // (one comma text of the lines) and "Time".
  void SaveToIni(TQuorIniFile& ini);
  // Reads the section: the test and action names are kept only when such a
  // test / action exists; "Enabled" default true, "SkipIfWhitelisted"
  // false, "PerformOn" 0, "Time" 1, where a Time outside 0 to 3 reads as 1.
  // Calls the heartbeat first.
  void LoadFromIni(TQuorIniFile& ini);

 private:
  friend class TRuleList;

  // The rule with its test and action looked up once.
  struct TResolved {
    TRuleFields Fields;
    std::shared_ptr<TTest> Test;
    TActionRef Action;
  };
  TResolved Resolve() const;
  static std::string ValidateResolved(const TResolved& rule);
  static bool ApplyResolved(const TResolved& rule, TEmailMsg& msg, bool& consumed,
                            const std::atomic<bool>* abort);

  mutable TMutexCriticalSection FLock{"Rule_CS"};
  TRuleFields FFields;
};

using TRuleRef = std::shared_ptr<TRule>;

class TRuleList {
 public:
  TRuleList() = default;
  ~TRuleList() = default;
  TRuleList(const TRuleList&) = delete;
  TRuleList& operator=(const TRuleList&) = delete;

  int Count();
  // The rule at the index; nullptr outside 0 .. Count()-1.
  TRuleRef Items(int index);
  std::vector<TRuleRef> Snapshot();
  // Appends / inserts the rule (nothing for nullptr or a rule listed
  // already); an index outside the list appends.
  void Add(TRuleRef rule);
  void Insert(int index, TRuleRef rule);
  int IndexOf(const TRule* rule);
  // Takes the rule out and hands it back (nullptr when not listed).
  TRuleRef Remove(const TRule* rule);
  // The first rule whose name equals the name ignoring case; nullptr for an
  // empty name or none.
  TRuleRef FindByName(std::string_view name);
  // Two rules whose names are equal ignoring case: they would share one
  // section of the rules file, and FindByName finds only the first.
  bool HasDuplicateNames();
  // Every rule whose test / action name equals the old name exactly takes
  // the new one; the action rename is then handed to the global action list
  // (combinations name other actions).
  void RenameTestReferences(const std::string& newName, const std::string& oldName);
  void RenameActionReferences(const std::string& newName, const std::string& oldName);
  // For each invalid rule, "Rule \"" + name + "\" Reported error:" CR LF +
  // reason + CR LF, entries separated by CR LF; empty when all are valid.
  std::string GetErrors();

  // "RuleList" until the first save or load, which set it.
  std::string SectionName();
  // The first LoadFromIni has run.
  bool Loaded() const { return FLoaded.load(); }

  // Erases "RuleList", writes "Rule" + k for every rule of the owner (k from
  // 0, without gaps) and their sections, then the global test list's, the
  // global action list's and the global phrase lists' sections for the
  // owner, in this order.
  void SaveToIni(TQuorIniFile& ini, const std::string& owner);
  // Sets Loaded; loads the global test list, action list and phrase lists
  // for the owner; then reads "Rule0", "Rule1", ... until a value, trimmed,
  // is empty, appending a rule for each (owner, name from the section,
  // section read). A rule whose name (ignoring case) the list already has is
  // skipped. Rules already listed stay.
  void LoadFromIni(TQuorIniFile& ini, const std::string& owner);

  // Starts the look-ups of every distinct test of the enabled valid rules
  // (TTest::Preprocess), in rule order, whatever their phase. Processing
  // thread.
  void PreEvaluateTests(TEmailMsg& msg);
  // Applies the rules of the phase, in order, to the message, writing one
  // report table per rule into the message's rule report (RuleInfo). Stops
  // when the abort flag is set (checked before each rule, and before a rule
  // applies) and at the first rule whose action consumes the message (whose
  // table is then not written). An action that performed without consuming
  // is not performed again by a later rule of the pass unless it allows
  // repeated applications. An error of one rule ends that rule only (it
  // counts as not fired). Answers consumed. Processing thread; an
  // abandoned worker's unwinding passes through.
  bool ApplyRules(TEmailMsg& msg, std::uint8_t phase, const std::atomic<bool>* abort);

 private:
  TMutexCriticalSection FLock{"RuleList_CS"};
  std::vector<TRuleRef> FRules;
  std::atomic<bool> FLoaded{false};
  std::atomic<bool> FSectionNamed{false};
};

// The program's one rule list; nullptr before the processing module starts
// and after it ends. Callers keep the pointer they got while they use it.
std::shared_ptr<TRuleList> GlobalRuleList();
void SetGlobalRuleList(std::shared_ptr<TRuleList> list);

}  // namespace halvorn
