// Actions: what a rule does to a message once its test has decided, and the
// program's list of them.
//
// TAction is the base of the sixteen action classes. Each action has a name
// that rules refer to (looked up at every use, ignoring case), an owner group
// (the rules file stores one group at a time), a flag that lets the rule
// engine perform it more than once on one message in one pass, and an
// explanation that its Perform fills and the rule engine copies into the
// message's rule report.
//
// Classes. Actions are made from the class name the rules file stores
// ("ClassName") through one fixed table of the sixteen names
// (action_list.cpp); a class is bound there by one line when it is built. A
// table name whose class is not bound yet makes a TPlaceholderAction, which
// keeps its section line for line and writes it back, and which Validate
// reports as not available, so a rule that uses it is invalid but the user's
// action is never lost. Any other name makes nothing. Tests bind names of
// their own for a scope with TScopedActionClassBinding.
//
// Settings. The section "ActionList" names one section per action ("Action0"
// = "Action-" + name, "Action1", ... without gaps, in list order); each
// section holds "ClassName" first, then "AllowRepeatedApplications" (not
// for the protection action), then the class's own keys.
//
// Threads. The main thread edits, loads and saves actions; the incoming
// processing thread finds and performs them. Actions are held by
// std::shared_ptr: an action the main thread removes lives on while a rule
// still performs it. An action in use is changed by replacing it in the list;
// its fields are read and written under its own leaf lock "Action_CS"
// (readers get copies), so a rename on the main thread and a look-up on the
// worker never race. The list's lock "ActionList_CS" guards only its
// membership and is held just long enough to copy, search or change the
// vector; every walk that calls into actions goes over a snapshot. Lock
// order: the list's lock, then an action's.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "message/simple_html.h"

namespace halvorn {

class TEmailMsg;
class TQuorIniFile;
class TTest;

// The section prefix of an action in the rules file.
inline constexpr const char* kActionSectionPrefix = "Action-";
// The rules-file section that names the actions.
inline constexpr const char* kActionListSection = "ActionList";
// What the load makes of a section that names no class: a name no class has.
inline constexpr const char* kMissingActionClassName =
    "TAction forgot to write out it's Class Name";
// The log service of actions.
inline constexpr const char* kRulesLogService = "Rules";

class TAction {
 public:
  // Name empty, owner "Global", not repeatable, empty explanation.
  TAction();
  virtual ~TAction();
  TAction(const TAction&) = delete;
  TAction& operator=(const TAction&) = delete;

  // ---- Fields (each a copy read, or a value set, under the action's lock)

  std::string Name() const;
  void SetName(const std::string& name);
  // The name equals the text ignoring case (an empty name matches nothing).
  bool HasName(std::string_view name) const;
  std::string Owner() const;
  void SetOwner(const std::string& owner);
  // The rule engine may perform the action again on a message it already
  // performed it on in the same pass.
  bool AllowRepeatedApplications() const;
  void SetAllowRepeatedApplications(bool allow);
  // What the last Perform did (cleared at its start), copied.
  TSimpleHtml Explanation() const;

  // "Action-" + Name.
  std::string SectionName() const;
  // Name := the section name without its first seven characters.
  void SetNameFromSection(const std::string& section);

  // The class name the rules file stores; each class answers its own.
  virtual std::string ClassName() const = 0;

  // ---- The operations every class has (slots 0 to 5)

  // Writes the section: "ClassName", "AllowRepeatedApplications", then the
  // class's keys (classes call the base first). The settings object belongs
  // to the caller.
  virtual void SaveToIni(TQuorIniFile& ini);
  // Reads "AllowRepeatedApplications" with the current value as its default;
  // classes read their own keys after calling it.
  virtual void LoadFromIni(TQuorIniFile& ini);
  // Empty when the action can be performed, else the reason (a lower-case
  // phrase without a final full stop).
  virtual std::string Validate() = 0;
  // What the action does, for the rule editor and the reports.
  virtual std::string Describe() = 0;
  // Another action was renamed; only combinations follow it.
  virtual void RenameActionReference(const std::string& newName, const std::string& oldName);
  // Applies the action to the message, on the incoming processing thread,
  // with the rule's test (already evaluated), comments and name. Answers
  // consumed: the message left normal processing (deleted, held, sent away)
  // and no later rule applies to it. Classes clear the explanation first.
  // Errors reach the rule engine, which counts the rule as not performed.
  virtual bool Perform(TEmailMsg& msg, TTest& test, const std::string& ruleComments,
                       const std::string& ruleName) = 0;

 protected:
  // The lock of the fields above, for settings of the classes' own. A leaf:
  // take nothing else while holding it.
  TMutexCriticalSection& ActionLock() const { return FLock; }
  // Writes "ClassName" and, when asked, "AllowRepeatedApplications".
  void SaveBaseKeys(TQuorIniFile& ini, bool withRepeat);
  void ClearExplanation();
  // TSimpleHtml::AddLine on the explanation.
  void AddExplanation(const std::string& text, int level, int kind = kHtmlKindAll,
                      bool addBreak = true);

 private:
  mutable TMutexCriticalSection FLock{"Action_CS"};
  std::string FName;
  std::string FOwner = "Global";
  bool FAllowRepeatedApplications = false;
  TSimpleHtml FExplanation;
};

using TActionRef = std::shared_ptr<TAction>;

// ---------------------------------------------------------------------------
// Classes by stored name.

// Makes a new action of one class.
using TActionFactory = std::function<TActionRef()>;

// The sixteen class names of the table, in table order.
const std::vector<std::string>& ActionClassNames();
// The name is in the table and a class is bound to it (a scoped binding
// included).
bool IsActionClassBound(std::string_view className);
// A new action of the class stored under the name, compared exactly: a bound
// class, a placeholder for a table name not bound yet, nullptr for any other
// name. Safe from any thread.
TActionRef CreateActionFromClassName(std::string_view className);

// Binds a class name for the object's lifetime: CreateActionFromClassName
// makes actions of it through the factory, before the table is asked. A null
// factory unbinds a table name (its actions load as placeholders) and makes a
// name outside the table unknown. Bindings nest; the last made wins. For
// tests; safe from any thread.
class TScopedActionClassBinding {
 public:
  TScopedActionClassBinding(std::string className, TActionFactory factory);
  ~TScopedActionClassBinding();
  TScopedActionClassBinding(const TScopedActionClassBinding&) = delete;
  TScopedActionClassBinding& operator=(const TScopedActionClassBinding&) = delete;

 private:
  std::uint64_t FToken;
};

// The stand-in for an action whose class is not built yet. It never acts
// (Validate: the class is not available yet; Perform does nothing), and
// writes back the section it loaded line for line: the line
// "AllowRepeatedApplications" is written anew only when the value changed
// since the load, and every "ClassName" line names the placeholder's class
// (one is put first when the section has none).
class TPlaceholderAction final : public TAction {
 public:
  explicit TPlaceholderAction(std::string className);

  std::string ClassName() const override { return FClassName; }
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override;
  std::string Describe() override;
  bool Perform(TEmailMsg& msg, TTest& test, const std::string& ruleComments,
               const std::string& ruleName) override;

 private:
  const std::string FClassName;
  // Guarded by ActionLock().
  TStringList FLines;
  bool FLoadedRepeat = false;
};

// ---------------------------------------------------------------------------

class TActionList {
 public:
  TActionList() = default;
  ~TActionList() = default;
  TActionList(const TActionList&) = delete;
  TActionList& operator=(const TActionList&) = delete;

  int Count();
  // The action at the index; nullptr outside 0 .. Count()-1.
  TActionRef Items(int index);
  // Every action, in order, at one moment.
  std::vector<TActionRef> Snapshot();
  // Appends the action (nothing for nullptr or an action already listed).
  void Add(TActionRef action);
  // The action's position; -1 when it is not listed.
  int IndexOf(const TAction* action);
  // Takes the action out and hands it back (nullptr when it was not there);
  // it lives while anyone holds it.
  TActionRef Remove(const TAction* action);
  // The first action whose name equals the name ignoring case; nullptr for
  // an empty name or none.
  TActionRef FindByName(std::string_view name);
  // Two actions whose names are equal ignoring case: they would share one
  // section of the rules file, and FindByName finds only the first.
  bool HasDuplicateNames();
  // RenameActionReference(new, old) on every action, in order.
  void RenameActionReferences(const std::string& newName, const std::string& oldName);

  // Writes "Action" + k for every action whose owner equals the owner
  // exactly (k counting the written ones from 0) into "ActionList", then
  // each such action's section. The caller saves into a settings object it
  // emptied.
  void SaveToIni(TQuorIniFile& ini, const std::string& owner);
  // Reads "Action0", "Action1", ... (trimmed) until the first missing or
  // empty value. For each, the class named by "ClassName" of the section the
  // value names is made (CreateActionFromClassName); a name that makes
  // nothing is reported as "TActionList.Load is missing \"" + name + "\"
  // creation clause" (logged; shown on the main thread) and skipped, and so
  // is an action whose name (ignoring case) the list already has. A made
  // action takes its name from the section name and the owner, reads its
  // section and is appended. Actions already listed stay.
  void LoadFromIni(TQuorIniFile& ini, const std::string& owner);

 private:
  TMutexCriticalSection FLock{"ActionList_CS"};
  std::vector<TActionRef> FActions;
};

// The program's one action list; nullptr before the processing module starts
// and after it ends. Callers keep the pointer they got while they use it.
std::shared_ptr<TActionList> GlobalActionList();
void SetGlobalActionList(std::shared_ptr<TActionList> list);

}  // namespace halvorn
