#include "processing/action_list.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

#include "foundation/app/class_bindings.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/message_loop.h"
#include "foundation/threads/shared_lists.h"

namespace halvorn {

namespace {

constexpr std::size_t kSectionPrefixLength = 7;  // "Action-"
constexpr const char* kRepeatKey = "AllowRepeatedApplications";

template <class T>
TActionRef MakeAction() {
  return std::make_shared<T>();
}

struct TActionClass {
  const char* ClassName;
  TActionRef (*Create)();
};

// Every class name the rules file may store, one line each. Binding a class
// when it is built: {"TDeleteAction", &MakeAction<TDeleteAction>}. A name
// without a class loads as a placeholder.
const TActionClass kActionClasses[] = {
    {"TModifyTagAction", nullptr},
    {"TModifySubjectLineAction", nullptr},
    {"TForwardAction", nullptr},
    {"TReportAction", nullptr},
    {"TMakeAttachmentAction", nullptr},
    {"TBounceWithKeyAction", nullptr},
    {"TSendToPendholdAction", nullptr},
    {"TCombinationAction", nullptr},
    {"TDeleteAction", nullptr},
    {"TSubmitAction", nullptr},
    {"TAdjustProbability", nullptr},
    {"TBlackWhiteAction", nullptr},
    {"TDeleteAttachmentsAction", nullptr},
    {"TMakePlainTextAction", nullptr},
    {"TQuorvantisAction", nullptr},
    {"TTrainAction", nullptr},
};

const TActionClass* FindTableClass(std::string_view className) {
  for (const TActionClass& entry : kActionClasses)
    if (className == entry.ClassName) return &entry;
  return nullptr;
}

TClassBindings<TActionFactory> bindings;

std::string LineName(const std::string& line) {
  return TrimText(std::string_view(line).substr(0, line.find('=')));
}

TGlobalHolder<TActionList> globalList;

}  // namespace

// ---- TAction

TAction::TAction() = default;
TAction::~TAction() = default;

std::string TAction::Name() const {
  TCriticalSectionGuard guard(FLock);
  return FName;
}

void TAction::SetName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FName = name;
}

bool TAction::HasName(std::string_view name) const {
  TCriticalSectionGuard guard(FLock);
  return !FName.empty() && SameText1252(FName, name);
}

std::string TAction::Owner() const {
  TCriticalSectionGuard guard(FLock);
  return FOwner;
}

void TAction::SetOwner(const std::string& owner) {
  TCriticalSectionGuard guard(FLock);
  FOwner = owner;
}

bool TAction::AllowRepeatedApplications() const {
  TCriticalSectionGuard guard(FLock);
  return FAllowRepeatedApplications;
}

void TAction::SetAllowRepeatedApplications(bool allow) {
  TCriticalSectionGuard guard(FLock);
  FAllowRepeatedApplications = allow;
}

TSimpleHtml TAction::Explanation() const {
  TCriticalSectionGuard guard(FLock);
  return FExplanation;
}

std::string TAction::SectionName() const {
  return kActionSectionPrefix + Name();
}

void TAction::SetNameFromSection(const std::string& section) {
  SetName(section.size() > kSectionPrefixLength ? section.substr(kSectionPrefixLength) : "");
}

void TAction::SaveBaseKeys(TQuorIniFile& ini, bool withRepeat) {
  const std::string section = SectionName();
  ini.WriteString(section, "ClassName", ClassName());
  if (withRepeat) ini.WriteBool(section, kRepeatKey, AllowRepeatedApplications());
}

void TAction::SaveToIni(TQuorIniFile& ini) {
  SaveBaseKeys(ini, true);
}

void TAction::LoadFromIni(TQuorIniFile& ini) {
  bool allow = AllowRepeatedApplications();
  ini.TryReadBool(SectionName(), kRepeatKey, allow);
  SetAllowRepeatedApplications(allow);
}

void TAction::RenameActionReference(const std::string& /*newName*/,
                                    const std::string& /*oldName*/) {}

void TAction::ClearExplanation() {
  TCriticalSectionGuard guard(FLock);
  FExplanation.Clear();
}

void TAction::AddExplanation(const std::string& text, int level, int kind, bool addBreak) {
  TCriticalSectionGuard guard(FLock);
  FExplanation.AddLine(text, level, kind, addBreak);
}

// ---- Classes by name

const std::vector<std::string>& ActionClassNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const TActionClass& entry : kActionClasses) list.emplace_back(entry.ClassName);
    return list;
  }();
  return names;
}

bool IsActionClassBound(std::string_view className) {
  const TActionClass* entry = FindTableClass(className);
  if (entry == nullptr) return false;
  TActionFactory factory;
  if (bindings.Find(className, factory)) return static_cast<bool>(factory);
  return entry->Create != nullptr;
}

TActionRef CreateActionFromClassName(std::string_view className) {
  const TActionClass* entry = FindTableClass(className);
  TActionFactory factory;
  if (bindings.Find(className, factory)) {
    if (factory) return factory();
  } else if (entry != nullptr && entry->Create != nullptr) {
    return entry->Create();
  }
  if (entry != nullptr) return std::make_shared<TPlaceholderAction>(entry->ClassName);
  return nullptr;
}

TScopedActionClassBinding::TScopedActionClassBinding(std::string className,
                                                     TActionFactory factory)
    : FToken(bindings.Bind(std::move(className), std::move(factory))) {}

TScopedActionClassBinding::~TScopedActionClassBinding() { bindings.Unbind(FToken); }

// ---- TPlaceholderAction

TPlaceholderAction::TPlaceholderAction(std::string className) : FClassName(std::move(className)) {}

void TPlaceholderAction::LoadFromIni(TQuorIniFile& ini) {
  TAction::LoadFromIni(ini);
  TStringList lines;
  ini.ReadSectionValues(SectionName(), lines);
  const bool repeat = AllowRepeatedApplications();
  TCriticalSectionGuard guard(ActionLock());
  FLines = std::move(lines);
  FLoadedRepeat = repeat;
}

void TPlaceholderAction::SaveToIni(TQuorIniFile& ini) {
  TStringList lines;
  bool loadedRepeat = false;
  {
    TCriticalSectionGuard guard(ActionLock());
    lines = FLines;
    loadedRepeat = FLoadedRepeat;
  }
  if (lines.Empty()) {  // made, not loaded: the base keys are all there is
    TAction::SaveToIni(ini);
    return;
  }
  const bool repeat = AllowRepeatedApplications();
  const bool repeatChanged = repeat != loadedRepeat;
  TStringList out;
  bool namesClass = false;
  bool repeatWritten = false;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string name = LineName(lines[i]);
    if (SameText1252(name, "ClassName")) {
      // Whichever "ClassName" line a load reads, it names this class.
      out.Add("ClassName=" + FClassName);
      namesClass = true;
    } else if (repeatChanged && SameText1252(name, kRepeatKey)) {
      if (!repeatWritten) out.Add(std::string(kRepeatKey) + "=" + (repeat ? "1" : "0"));
      repeatWritten = true;
    } else {
      out.Add(lines[i]);
    }
  }
  if (repeatChanged && !repeatWritten) out.Add(std::string(kRepeatKey) + "=" + (repeat ? "1" : "0"));
  if (!namesClass) out.Insert(0, "ClassName=" + FClassName);
  const std::string section = SectionName();
  ini.EraseSection(section);
  ini.WriteSectionValues(section, out);
}

std::string TPlaceholderAction::Validate() {
  return "the action class " + FClassName + " is not available yet";
}

std::string TPlaceholderAction::Describe() {
  return "This action cannot be performed yet: its class " + FClassName +
         " is not available in this version.";
}

bool TPlaceholderAction::Perform(TEmailMsg& /*msg*/, TTest& /*test*/,
                                 const std::string& /*ruleComments*/,
                                 const std::string& /*ruleName*/) {
  ClearExplanation();
  return false;
}

// ---- TActionList

int TActionList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FActions.size());
}

TActionRef TActionList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FActions.size())) return nullptr;
  return FActions[static_cast<std::size_t>(index)];
}

std::vector<TActionRef> TActionList::Snapshot() {
  TCriticalSectionGuard guard(FLock);
  return FActions;
}

void TActionList::Add(TActionRef action) {
  if (!action) return;
  TCriticalSectionGuard guard(FLock);
  if (std::find(FActions.begin(), FActions.end(), action) == FActions.end())
    FActions.push_back(std::move(action));
}

int TActionList::IndexOf(const TAction* action) {
  TCriticalSectionGuard guard(FLock);
  return IndexOfItem(FActions, action);
}

TActionRef TActionList::Remove(const TAction* action) {
  TCriticalSectionGuard guard(FLock);
  return RemoveItem(FActions, action);
}

TActionRef TActionList::FindByName(std::string_view name) {
  TCriticalSectionGuard guard(FLock);
  return FindItemByName(FActions, name);
}

bool TActionList::HasDuplicateNames() {
  const std::vector<TActionRef> actions = Snapshot();
  std::vector<std::string> names;
  names.reserve(actions.size());
  for (const TActionRef& action : actions) names.push_back(LowerCase1252(action->Name()));
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

void TActionList::RenameActionReferences(const std::string& newName, const std::string& oldName) {
  for (const TActionRef& action : Snapshot()) action->RenameActionReference(newName, oldName);
}

void TActionList::SaveToIni(TQuorIniFile& ini, const std::string& owner) {
  std::vector<TActionRef> written;
  for (const TActionRef& action : Snapshot()) {
    if (action->Owner() != owner) continue;
    ini.WriteString(kActionListSection, "Action" + std::to_string(written.size()),
                    action->SectionName());
    written.push_back(action);
  }
  for (const TActionRef& action : written) action->SaveToIni(ini);
}

void TActionList::LoadFromIni(TQuorIniFile& ini, const std::string& owner) {
  for (int k = 0;; ++k) {
    const std::string section =
        TrimText(ini.ReadString(kActionListSection, "Action" + std::to_string(k), ""));
    if (section.empty()) break;
    const std::string className = ini.ReadString(section, "ClassName", kMissingActionClassName);
    TActionRef action = CreateActionFromClassName(className);
    if (!action) {
      const std::string text = "TActionList.Load is missing \"" + className + "\" creation clause";
      Log(kRulesLogService, text, 3, true);
      ShowMessageUnlessQuiet(text, !IsMainThread());
      continue;
    }
    action->SetNameFromSection(section);
    if (FindByName(action->Name())) {
      Log(kRulesLogService,
          "The action \"" + action->Name() + "\" is named twice in the rules file; the second is skipped",
          3, true);
      continue;
    }
    action->SetOwner(owner);
    action->LoadFromIni(ini);
    Add(std::move(action));
  }
}

std::shared_ptr<TActionList> GlobalActionList() { return globalList.Get(); }

void SetGlobalActionList(std::shared_ptr<TActionList> list) { globalList.Set(std::move(list)); }

}  // namespace halvorn
