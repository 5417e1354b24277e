#include "processing/rule_list.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "classify/test_base.h"
#include "classify/test_list.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "message/simple_html.h"
#include "foundation/threads/shared_lists.h"

namespace halvorn {

namespace {

constexpr std::size_t kSectionPrefixLength = 5;  // "Rule-"
constexpr const char* kCrLf = "\r\n";

TGlobalHolder<TRuleList> globalList;

std::shared_ptr<TTest> FindTest(const std::string& name) {
  if (name.empty()) return nullptr;
  std::shared_ptr<TTestList> tests = GlobalTestList();
  return tests ? tests->FindTestByName(name) : nullptr;
}

TActionRef FindAction(const std::string& name) {
  if (name.empty()) return nullptr;
  std::shared_ptr<TActionList> actions = GlobalActionList();
  return actions ? actions->FindByName(name) : nullptr;
}

// Names, comments and descriptions come from the user and the classes: in
// the report they are text, never markup.
std::string Escaped(std::string text) {
  HtmlEscape(text);
  return text;
}

// The comment lines, each escaped, one line break between them.
std::string EscapedLines(const std::string& text) {
  TStringList lines;
  lines.SetText(text);
  std::string out;
  for (int i = 0; i < lines.Count(); ++i) {
    if (i > 0) out += "<br>";
    out += Escaped(lines[i]);
  }
  return out;
}

// The lines of an explanation as one text, as written.
std::string ExplanationText(const TSimpleHtml& explanation) {
  std::string text;
  for (int i = 0; i < explanation.Count(); ++i) {
    if (i > 0) text += kCrLf;
    text += explanation[i];
  }
  return text;
}

void LogRuleError(const std::string& ruleName, const std::string& what) {
  Log(kRulesLogService, "The rule \"" + ruleName + "\" raised an error: " + what, 5, true);
}

}  // namespace

// ---- TRule fields

TRuleFields TRule::Fields() const {
  TCriticalSectionGuard guard(FLock);
  return FFields;
}

#define HALVORN_RULE_FIELD(Type, Getter, Setter, Field) \
  Type TRule::Getter() const {                          \
    TCriticalSectionGuard guard(FLock);                 \
    return FFields.Field;                               \
  }                                                     \
  void TRule::Setter(Type value) {                      \
    TCriticalSectionGuard guard(FLock);                 \
    FFields.Field = value;                              \
  }

HALVORN_RULE_FIELD(bool, Enabled, SetEnabled, Enabled)
HALVORN_RULE_FIELD(std::uint8_t, PerformOn, SetPerformOn, PerformOn)
HALVORN_RULE_FIELD(std::uint8_t, Time, SetTime, Time)
HALVORN_RULE_FIELD(bool, SkipIfWhitelisted, SetSkipIfWhitelisted, SkipIfWhitelisted)
#undef HALVORN_RULE_FIELD

#define HALVORN_RULE_TEXT(Getter, Setter, Field)   \
  std::string TRule::Getter() const {              \
    TCriticalSectionGuard guard(FLock);            \
    return FFields.Field;                          \
  }                                                \
  void TRule::Setter(const std::string& value) {   \
    TCriticalSectionGuard guard(FLock);            \
    FFields.Field = value;                         \
  }

HALVORN_RULE_TEXT(Name, SetName, Name)
HALVORN_RULE_TEXT(TestName, SetTestName, TestName)
HALVORN_RULE_TEXT(ActionName, SetActionName, ActionName)
HALVORN_RULE_TEXT(Owner, SetOwner, Owner)
HALVORN_RULE_TEXT(Comments, SetComments, Comments)
#undef HALVORN_RULE_TEXT

bool TRule::HasName(std::string_view name) const {
  TCriticalSectionGuard guard(FLock);
  return !FFields.Name.empty() && SameText1252(FFields.Name, name);
}

std::shared_ptr<TTest> TRule::GetTest() const {
  return FindTest(TestName());
}

void TRule::SetTest(const TTest* test) {
  SetTestName(test != nullptr ? test->Name() : std::string());
}

TActionRef TRule::GetAction() const {
  return FindAction(ActionName());
}

void TRule::SetAction(const TAction* action) {
  SetActionName(action != nullptr ? action->Name() : std::string());
}

std::string TRule::SectionName() const {
  return kRuleSectionPrefix + Name();
}

void TRule::SetNameFromSection(const std::string& section) {
  SetName(section.size() > kSectionPrefixLength ? section.substr(kSectionPrefixLength) : "");
}

// ---- TRule operations

TRule::TResolved TRule::Resolve() const {
  TResolved resolved;
  resolved.Fields = Fields();
  resolved.Test = FindTest(resolved.Fields.TestName);
  resolved.Action = FindAction(resolved.Fields.ActionName);
  return resolved;
}

std::string TRule::ValidateResolved(const TResolved& rule) {
  if (rule.Fields.Name.empty()) return "has no name";
  if (!rule.Test) return "no Test has been supplied";
  if (!rule.Action) return "no action has been supplied";
  std::string error = rule.Test->Validate();
  if (!error.empty())
    return "the Test \"" + rule.Test->Name() + "\" is invalid because " + error;
  error = rule.Action->Validate();
  if (!error.empty())
    return "the action \"" + rule.Action->Name() + "\" is invalid because " + error;
  return {};
}

std::string TRule::Validate() {
  return ValidateResolved(Resolve());
}

std::string TRule::Describe() {
  const TResolved rule = Resolve();
  const std::string error = ValidateResolved(rule);
  std::string text;
  if (!error.empty()) {
    text = "Sorry this rule is not valid because " + error;
  } else {
    const std::string test = rule.Test->Describe();
    const std::string action = rule.Action->Describe();
    const std::string note = rule.Test->GetNote();
    if (rule.Fields.SkipIfWhitelisted) {
      switch (rule.Fields.PerformOn) {
        case po_TestNotTrue:
          text = "IF e-mail not whitelisted and it is NOT true that: " + test + kCrLf + "THEN: " +
                 action + note;
          break;
        case po_Regardless:
          text = std::string("IF e-mail not whitelisted: ") + kCrLf + action + note;
          break;
        default:
          text = "IF: e-mail not whitelisted and" + test + kCrLf + "THEN: " + action + note;
      }
    } else {
      switch (rule.Fields.PerformOn) {
        case po_TestNotTrue:
          text = "IF it is NOT true that: " + test + kCrLf + "THEN: " + action + note;
          break;
        case po_Regardless:
          text = std::string("Regardless of outcome: ") + kCrLf + action + note;
          break;
        default:
          text = "IF: " + test + kCrLf + "THEN: " + action + note;
      }
    }
  }
  if (!rule.Fields.Enabled) text = std::string(kCrLf) + "RULE DISABLED" + kCrLf + text;
  return text;
}

bool TRule::ApplyResolved(const TResolved& rule, TEmailMsg& msg, bool& consumed,
                          const std::atomic<bool>* abort) {
  consumed = false;
  if (!rule.Fields.Enabled || !ValidateResolved(rule).empty()) return false;
  if (rule.Fields.SkipIfWhitelisted && msg.GetUserWanted() == kTriteYes) return false;
  const bool passed = rule.Test->Evaluate(msg, abort);
  bool fired = passed;
  if (rule.Fields.PerformOn == po_Regardless) {
    fired = true;
  } else if (rule.Fields.PerformOn == po_TestNotTrue) {
    fired = !passed;
  }
  if (Aborted(abort)) return fired;
  if (fired)
    consumed = rule.Action->Perform(msg, *rule.Test, rule.Fields.Comments, rule.Fields.Name);
  return fired;
}

bool TRule::Apply(TEmailMsg& msg, bool& consumed, const std::atomic<bool>* abort) {
  return ApplyResolved(Resolve(), msg, consumed, abort);
}

void TRule::SaveToIni(TQuorIniFile& ini) {
  const TRuleFields fields = Fields();
  const std::string section = kRuleSectionPrefix + fields.Name;
  ini.EraseSection(section);
  if (std::shared_ptr<TTest> test = FindTest(fields.TestName))
    ini.WriteString(section, "Test", fields.TestName);
  if (TActionRef action = FindAction(fields.ActionName))
    ini.WriteString(section, "Action", fields.ActionName);
  ini.WriteBool(section, "Enabled", fields.Enabled);
  ini.WriteBool(section, "SkipIfWhitelisted", fields.SkipIfWhitelisted);
  ini.WriteInteger(section, "PerformOn", fields.PerformOn);
  ini.WriteString(section, "Comments", TextToCommaText(fields.Comments));
  ini.WriteInteger(section, "Time", fields.Time);
}

void TRule::LoadFromIni(TQuorIniFile& ini) {
  Heartbeat("", -1, -1);
  const std::string section = SectionName();
  TRuleFields fields = Fields();
  const std::string test = ini.ReadString(section, "Test", "");
  fields.TestName = FindTest(test) ? test : std::string();
  const std::string action = ini.ReadString(section, "Action", "");
  fields.ActionName = FindAction(action) ? action : std::string();
  fields.Enabled = ini.ReadBool(section, "Enabled", true);
  fields.SkipIfWhitelisted = ini.ReadBool(section, "SkipIfWhitelisted", false);
  const std::int64_t performOn = ini.ReadInteger(section, "PerformOn", po_TestTrue);
  fields.PerformOn = performOn >= 0 && performOn <= 255 ? static_cast<std::uint8_t>(performOn)
                                                        : static_cast<std::uint8_t>(po_TestTrue);
  fields.Comments = CommaTextToLines(ini.ReadString(section, "Comments", ""));
  // Checked before it becomes a byte: 256 must not turn into phase 0.
  const std::int64_t time = ini.ReadInteger(section, "Time", Rt_ReceiveAfterProcessing);
  fields.Time = time >= 0 && time <= 3 ? static_cast<std::uint8_t>(time)
                                       : static_cast<std::uint8_t>(Rt_ReceiveAfterProcessing);
  TCriticalSectionGuard guard(FLock);
  fields.Name = FFields.Name;
  fields.Owner = FFields.Owner;
  FFields = std::move(fields);
}

// ---- TRuleList

int TRuleList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FRules.size());
}

TRuleRef TRuleList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FRules.size())) return nullptr;
  return FRules[static_cast<std::size_t>(index)];
}

std::vector<TRuleRef> TRuleList::Snapshot() {
  TCriticalSectionGuard guard(FLock);
  return FRules;
}

void TRuleList::Add(TRuleRef rule) {
  Insert(-1, std::move(rule));
}

void TRuleList::Insert(int index, TRuleRef rule) {
  if (!rule) return;
  TCriticalSectionGuard guard(FLock);
  if (std::find(FRules.begin(), FRules.end(), rule) != FRules.end()) return;
  if (index < 0 || index > static_cast<int>(FRules.size())) index = static_cast<int>(FRules.size());
  FRules.insert(FRules.begin() + index, std::move(rule));
}

int TRuleList::IndexOf(const TRule* rule) {
  TCriticalSectionGuard guard(FLock);
  return IndexOfItem(FRules, rule);
}

TRuleRef TRuleList::Remove(const TRule* rule) {
  TCriticalSectionGuard guard(FLock);
  return RemoveItem(FRules, rule);
}

TRuleRef TRuleList::FindByName(std::string_view name) {
  TCriticalSectionGuard guard(FLock);
  return FindItemByName(FRules, name);
}

bool TRuleList::HasDuplicateNames() {
  std::vector<std::string> names;
  for (const TRuleRef& rule : Snapshot()) names.push_back(LowerCase1252(rule->Name()));
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

void TRuleList::RenameTestReferences(const std::string& newName, const std::string& oldName) {
  for (const TRuleRef& rule : Snapshot()) {
    TCriticalSectionGuard guard(rule->FLock);
    if (rule->FFields.TestName == oldName) rule->FFields.TestName = newName;
  }
}

void TRuleList::RenameActionReferences(const std::string& newName, const std::string& oldName) {
  for (const TRuleRef& rule : Snapshot()) {
    TCriticalSectionGuard guard(rule->FLock);
    if (rule->FFields.ActionName == oldName) rule->FFields.ActionName = newName;
  }
  if (std::shared_ptr<TActionList> actions = GlobalActionList())
    actions->RenameActionReferences(newName, oldName);
}

std::string TRuleList::GetErrors() {
  std::string text;
  for (const TRuleRef& rule : Snapshot()) {
    const std::string error = rule->Validate();
    if (error.empty()) continue;
    if (!text.empty()) text += kCrLf;
    text += "Rule \"" + rule->Name() + "\" Reported error:" + kCrLf + error + kCrLf;
  }
  return text;
}

std::string TRuleList::SectionName() {
  return FSectionNamed.load() ? kRuleListSection : "";
}

void TRuleList::SaveToIni(TQuorIniFile& ini, const std::string& owner) {
  FSectionNamed.store(true);
  ini.EraseSection(kRuleListSection);
  std::vector<TRuleRef> written;
  for (const TRuleRef& rule : Snapshot()) {
    if (rule->Owner() != owner) continue;
    ini.WriteString(kRuleListSection, "Rule" + std::to_string(written.size()),
                    rule->SectionName());
    written.push_back(rule);
  }
  for (const TRuleRef& rule : written) rule->SaveToIni(ini);
  if (std::shared_ptr<TTestList> tests = GlobalTestList()) tests->SaveToIni(ini, owner);
  if (std::shared_ptr<TActionList> actions = GlobalActionList()) actions->SaveToIni(ini, owner);
  if (std::shared_ptr<TPhrasesList> phrases = GlobalPhrasesList()) phrases->SaveToIni(ini, owner);
}

void TRuleList::LoadFromIni(TQuorIniFile& ini, const std::string& owner) {
  FLoaded.store(true);
  FSectionNamed.store(true);
  if (std::shared_ptr<TTestList> tests = GlobalTestList()) tests->LoadFromIni(ini, owner);
  if (std::shared_ptr<TActionList> actions = GlobalActionList()) actions->LoadFromIni(ini, owner);
  if (std::shared_ptr<TPhrasesList> phrases = GlobalPhrasesList()) phrases->LoadFromIni(ini, owner);
  for (int k = 0;; ++k) {
    const std::string section =
        TrimText(ini.ReadString(kRuleListSection, "Rule" + std::to_string(k), ""));
    if (section.empty()) break;
    auto rule = std::make_shared<TRule>();
    rule->SetOwner(owner);
    rule->SetNameFromSection(section);
    if (FindByName(rule->Name())) {
      Log(kRulesLogService,
          "The rule \"" + rule->Name() + "\" is named twice in the rules file; the second is skipped",
          3, true);
      continue;
    }
    rule->LoadFromIni(ini);
    Add(std::move(rule));
  }
}

void TRuleList::PreEvaluateTests(TEmailMsg& msg) {
  std::vector<const TTest*> started;
  for (const TRuleRef& rule : Snapshot()) {
    const TRule::TResolved resolved = rule->Resolve();
    if (!resolved.Test || !resolved.Fields.Enabled || !TRule::ValidateResolved(resolved).empty())
      continue;
    if (std::find(started.begin(), started.end(), resolved.Test.get()) != started.end()) continue;
    started.push_back(resolved.Test.get());
    resolved.Test->Preprocess(msg);
  }
}

bool TRuleList::ApplyRules(TEmailMsg& msg, std::uint8_t phase, const std::atomic<bool>* abort) {
  bool consumed = false;
  // The actions performed in this pass; held, so that an address compared
  // is never one of an action freed and made again meanwhile.
  std::vector<TActionRef> performed;
  TSimpleHtml report;
  auto row = [&](const std::string& text) { report.AddLine(text, 1, kHtmlKindAll, false); };

  for (const TRuleRef& ruleRef : Snapshot()) {
    if (Aborted(abort)) return consumed;
    if (ruleRef->Time() != phase) continue;
    const TRule::TResolved rule = ruleRef->Resolve();
    const TRuleFields& fields = rule.Fields;
    report.Clear();
    row("<p><table width=\"100%\" border=\"1\" bgcolor=\"white\">");
    row("<tr> <th colspan=\"3\"> " + Escaped(fields.Name) + "</th> </tr>");
    bool stopAfter = false;
    do {
      if (!fields.Enabled) {
        row("<tr><td>Result</td><td colspan=\"2\">This rule was not applied because it was "
            "disabled.</td></tr>");
        break;
      }
      if (fields.SkipIfWhitelisted && msg.GetUserWanted() == kTriteYes) {
        row("<tr><td>Result</td><td colspan=\"2\">This rule was not applied because the e-mail "
            "was whitelisted.</td></tr>");
        // A standard test's answer is recorded with the message all the same.
        if (rule.Test && rule.Test->StandardTestNum() >= 0) {
          CatchAllButAbandonment([&] { rule.Test->Evaluate(msg, abort); },
                                 [&](const std::string& error) { LogRuleError(fields.Name, error); });
        }
        break;
      }
      const std::string error = TRule::ValidateResolved(rule);
      if (!error.empty()) {
        row("<tr><td>Invalid Rule</td><td colspan=\"2\">" + Escaped(error) + "</td></tr>");
        break;
      }
      if (!rule.Action->AllowRepeatedApplications() &&
          std::find(performed.begin(), performed.end(), rule.Action) != performed.end()) {
        row("<tr><td>Result</td><td colspan=\"2\">Rule not applied because the action " +
            Escaped(rule.Action->Name()) +
            " was already applied to this e-mail and it was not flagged as a repeatable "
            "action.</td></tr>");
        break;
      }
      if (!fields.Comments.empty())
        row("<tr><td>Description</td><td colspan=\"2\">" + EscapedLines(fields.Comments) +
            "</td></tr>");
      row("<tr><td colspan=\"3\">&nbsp;</td></tr>");
      if (Aborted(abort)) {
        stopAfter = true;
        break;
      }
      bool fired = false;
      if (!CatchAllButAbandonment(
              [&] { fired = TRule::ApplyResolved(rule, msg, consumed, abort); },
              [&](const std::string& error) { LogRuleError(fields.Name, error); })) {
        consumed = false;
        break;
      }
      if (fired && consumed) return true;
      if (fired) performed.push_back(rule.Action);

      row("<tr><td>Test</td><td>Name</td><td>" + Escaped(rule.Test->Name()) + "</td></tr>");
      const std::string testText = rule.Test->Describe();
      if (!testText.empty())
        row("<tr><td>&nbsp;</td><td>Description</td><td>Test will return true if: " +
            Escaped(testText) + "</td></tr>");
      row(rule.Test->LastResult()
              ? "<tr><td>&nbsp;</td><td>Result</td><td><i>Passed</i> test</td></tr>"
              : "<tr><td>&nbsp;</td><td>Result</td><td><i>Failed</i> test</td></tr>");
      row("<tr><td>&nbsp;</td><td>Explanation</td><td>" +
          ExplanationText(rule.Test->Explanation()) + "</td></tr>");
      if (UiMode.load() == kUiModePowerUser) {
        row("<tr><td>&nbsp;</td><td>Category Probabilities</td><td>");
        rule.Test->ShowStats(report, 0);
        row("</td></tr>");
      }
      row("<tr><td colspan=\"3\">&nbsp;</td></tr>");
      row("<tr><td>Action</td><td>Name</td><td>" + Escaped(rule.Action->Name()) + "</td></tr>");
      const std::string actionText = rule.Action->Describe();
      if (!actionText.empty())
        row("<tr><td>&nbsp;</td><td>Description</td><td>" + Escaped(actionText) + "</td></tr>");
      row(fired ? "<tr><td>&nbsp;</td><td>Result</td><td><font color=\"red\"><i>Performed</i> "
                  "action</font></td></tr>"
                : "<tr><td>&nbsp;</td><td>Result</td><td>did <i>not</i> perform Action</td></tr>");
      const TSimpleHtml explanation = rule.Action->Explanation();
      if (!explanation.Empty())
        row("<tr><td>&nbsp;</td><td>Explanation</td><td>" + ExplanationText(explanation) +
            "</td></tr>");
    } while (false);
    // The rule's table goes into the message's rule report.
    if (!consumed) {
      row("</table></p><br>");
      TCriticalSectionGuard guard(msg.MessageLock());
      TSimpleHtml& target = msg.RuleInfo();
      for (int i = 0; i < report.Count(); ++i) target.AddItem(report.Item(i));
    }
    if (stopAfter) return consumed;
  }
  return consumed;
}

std::shared_ptr<TRuleList> GlobalRuleList() { return globalList.Get(); }

void SetGlobalRuleList(std::shared_ptr<TRuleList> list) { globalList.Set(std::move(list)); }

}  // namespace halvorn
