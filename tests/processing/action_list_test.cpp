#include "processing/action_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "message/repository_test_support.h"
#include "processing_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::MakeAction;
using test::TConsumeAction;
using test::THoldAction;
using test::TTagAction;
using test::TTestActionBindings;
using Lines = std::vector<std::string>;

std::string SaveActions(TActionList& list, const std::string& owner = "Global") {
  TQuorIniFile ini("");
  list.SaveToIni(ini, owner);
  return ini.SaveToStream();
}

void LoadActions(TActionList& list, const std::string& text, const std::string& owner = "Global") {
  TQuorIniFile ini("");
  ini.LoadFromStream(text);
  list.LoadFromIni(ini, owner);
}

Lines Names(TActionList& list) {
  Lines names;
  for (const TActionRef& action : list.Snapshot())
    names.push_back(action->Name() + "|" + action->ClassName() + "|" + action->Owner());
  return names;
}

const Lines kClassNames = {
    "TModifyTagAction",      "TModifySubjectLineAction", "TForwardAction",
    "TReportAction",         "TMakeAttachmentAction",    "TBounceWithKeyAction",
    "TSendToPendholdAction", "TCombinationAction",       "TDeleteAction",
    "TSubmitAction",         "TAdjustProbability",       "TBlackWhiteAction",
    "TDeleteAttachmentsAction", "TMakePlainTextAction",  "TQuorvantisAction",
    "TTrainAction"};

// Every table name makes an action that is saved and loaded again as the
// same class; a class not built yet is a placeholder that never acts. Any
// other name makes nothing.
TEST(ActionFactory, EveryTableNameLoadsBackAsTheSameClass) {
  EXPECT_EQ(ActionClassNames(), kClassNames);
  for (const std::string& name : kClassNames) {
    SCOPED_TRACE(name);
    TActionRef made = CreateActionFromClassName(name);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->ClassName(), name);
    EXPECT_EQ(dynamic_cast<TPlaceholderAction*>(made.get()) == nullptr, IsActionClassBound(name));
    made->SetName("Made " + name);
    TActionList list;
    list.Add(made);
    const std::string saved = SaveActions(list);
    TActionList loaded;
    LoadActions(loaded, saved);
    ASSERT_EQ(loaded.Count(), 1);
    TActionRef again = loaded.Items(0);
    EXPECT_EQ(again->ClassName(), name);
    EXPECT_EQ(typeid(*again), typeid(*made));
    EXPECT_EQ(SaveActions(loaded), saved);
    if (!IsActionClassBound(name)) {
      EXPECT_EQ(again->Validate(), "the action class " + name + " is not available yet");
      auto msg = test::MakeTestMessage("s");
      auto scripted = test::MakeScriptedTest("t");
      EXPECT_FALSE(again->Perform(*msg, *scripted, "", ""));
    }
  }
  for (const char* unknown : {"", "TAction", "tdeleteaction", "TDeleteAction ", "TTestHoldAction",
                              kMissingActionClassName}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(CreateActionFromClassName(unknown), nullptr);
    EXPECT_FALSE(IsActionClassBound(unknown));
  }
  {
    TTestActionBindings bound;
    EXPECT_NE(std::dynamic_pointer_cast<THoldAction>(CreateActionFromClassName("TTestHoldAction")),
              nullptr);
    TScopedActionClassBinding unbind("TTestHoldAction", nullptr);
    EXPECT_EQ(CreateActionFromClassName("TTestHoldAction"), nullptr);
    TScopedActionClassBinding rebind("TDeleteAction", [] { return MakeAction<THoldAction>(""); });
    EXPECT_TRUE(IsActionClassBound("TDeleteAction"));
  }
  EXPECT_FALSE(IsActionClassBound("TDeleteAction"));
}

// A placeholder writes the section it read back line for line (the user's
// keys of a class not built yet are never lost); a repeat flag changed since
// is written in its place, and a renamed action under its new name.
TEST(ActionFactory, APlaceholderKeepsItsSectionLineForLine) {
  const std::string text =
      "[ActionList]\r\nAction0=Action-Tag spam\r\n\r\n"
      "[Action-Tag spam]\r\nClassName=TModifySubjectLineAction\r\nAllowRepeatedApplications=0\r\n"
      "Value= [SPAM] \r\nAppend=0\r\nno value line\r\n\r\n";
  TActionList list;
  LoadActions(list, text);
  ASSERT_EQ(list.Count(), 1);
  TActionRef placeholder = list.Items(0);
  EXPECT_EQ(placeholder->Name(), "Tag spam");
  EXPECT_EQ(SaveActions(list), text);

  placeholder->SetAllowRepeatedApplications(true);
  placeholder->SetName("Tagged");
  EXPECT_EQ(SaveActions(list),
            "[ActionList]\r\nAction0=Action-Tagged\r\n\r\n"
            "[Action-Tagged]\r\nClassName=TModifySubjectLineAction\r\nAllowRepeatedApplications=1\r\n"
            "Value= [SPAM] \r\nAppend=0\r\nno value line\r\n\r\n");
}

// The list's loading: unknown classes and sections without a class are
// reported and skipped while the rest loads; the numbering stops at the
// first empty key; padded keys are read trimmed; a second action of one name
// (ignoring case) is skipped; a section named "Action-" alone gives an
// action without a name. Saving writes one owner's actions, numbered
// without gaps.
TEST(ActionList, LoadingAndSavingTheList) {
  TTestActionBindings bound;
  test::LogRecorder log;
  const std::string text =
      "[ActionList]\r\n"
      "Action0=  Action-Hold  \r\n"
      "Action1=Action-Odd\r\n"
      "Action2=Action-NoClass\r\n"
      "Action3=Action-hold\r\n"
      "Action4=Action-\r\n"
      "Action5=Action-Tag\r\n"
      "Action7=Action-Never read\r\n"
      "[Action-Hold]\r\nClassName=TTestHoldAction\r\nAllowRepeatedApplications=1\r\nValue=h\r\n"
      "[Action-Odd]\r\nClassName=TNoSuchAction\r\n"
      "[Action-NoClass]\r\nValue=x\r\n"
      "[Action-hold]\r\nClassName=TTestTagAction\r\n"
      "[Action-]\r\nClassName=TTestConsumeAction\r\n"
      "[Action-Tag]\r\nClassName=TTestTagAction\r\nValue=[T] \r\n"
      "[Action-Never read]\r\nClassName=TTestTagAction\r\n";
  TActionList list;
  LoadActions(list, text, "Someone");
  EXPECT_EQ(Names(list), (Lines{"Hold|TTestHoldAction|Someone", "|TTestConsumeAction|Someone",
                                "Tag|TTestTagAction|Someone"}));
  EXPECT_TRUE(list.Items(0)->AllowRepeatedApplications());
  EXPECT_EQ(std::dynamic_pointer_cast<TTagAction>(list.Items(2))->Value(), "[T] ");
  Lines reported;
  for (const auto& record : log.Records())
    if (record.Error) reported.push_back(record.Text);
  EXPECT_EQ(reported, (Lines{"TActionList.Load is missing \"TNoSuchAction\" creation clause",
                             "TActionList.Load is missing \"" +
                                 std::string(kMissingActionClassName) + "\" creation clause",
                             "The action \"hold\" is named twice in the rules file; the second is "
                             "skipped"}));

  // An empty list section loads nothing and keeps what is there.
  LoadActions(list, "[ActionList]\r\n");
  EXPECT_EQ(list.Count(), 3);

  // Owners: only "Global"'s actions are written, numbered from 0.
  list.Add(MakeAction<TTagAction>("Mine", "m"));
  list.Items(3)->SetOwner("Global");
  auto other = MakeAction<TConsumeAction>("Theirs");
  other->SetOwner("Else");
  list.Add(other);
  list.Add(MakeAction<THoldAction>("Also mine"));
  EXPECT_EQ(SaveActions(list),
            "[ActionList]\r\nAction0=Action-Mine\r\nAction1=Action-Also mine\r\n\r\n"
            "[Action-Mine]\r\nClassName=TTestTagAction\r\nAllowRepeatedApplications=0\r\n"
            "Value=m\r\n\r\n"
            "[Action-Also mine]\r\nClassName=TTestHoldAction\r\nAllowRepeatedApplications=0\r\n\r\n");
}

// Look-ups ignore case and find the first; a name the list holds twice in
// two spellings is a duplicate, because both would share one section of the
// rules file.
TEST(ActionList, FindingRemovingAndDuplicates) {
  TActionList list;
  auto first = MakeAction<TTagAction>("Spam");
  auto second = MakeAction<TTagAction>("Other");
  list.Add(first);
  list.Add(second);
  list.Add(first);  // already listed
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.FindByName("SPAM"), first);
  EXPECT_EQ(list.FindByName(""), nullptr);
  EXPECT_EQ(list.FindByName("Spam "), nullptr);
  EXPECT_FALSE(list.HasDuplicateNames());
  second->SetName("spam");
  EXPECT_TRUE(list.HasDuplicateNames());
  EXPECT_EQ(list.FindByName("sPaM"), first);
  EXPECT_EQ(list.IndexOf(second.get()), 1);
  EXPECT_EQ(list.Remove(first.get()), first);
  EXPECT_EQ(list.Remove(first.get()), nullptr);
  EXPECT_EQ(list.FindByName("SPAM"), second);
  EXPECT_EQ(list.Items(5), nullptr);
}

// Python's configparser (strict off, no interpolation) reads the file the
// list writes, with every value as written.
TEST(ActionList, ConfigparserReadsTheSavedFile) {
  TTestActionBindings bound;
  TActionList list;
  LoadActions(list,
              "[ActionList]\r\nAction0=Action-Placeholder\r\n"
              "[Action-Placeholder]\r\nClassName=TModifyTagAction\r\nTagToModify=X-Spam\r\n"
              "Value=100% = \"yes\", ; # [x]\r\nAppend=1\r\n");
  list.Add(MakeAction<TTagAction>("Tag % it", "[%(x)s]"));
  const std::string saved = SaveActions(list);
  const test::CommandResult result = test::RunPython(
      "import configparser, sys\n"
      "p = configparser.ConfigParser(strict=False, interpolation=None)\n"
      "p.optionxform = str\n"
      "p.read_string(sys.stdin.buffer.read().decode('latin-1'))\n"
      "for s in p.sections():\n"
      "    for k, v in p[s].items(): print(s + '|' + k + '|' + v)\n",
      saved);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(test::OutputLines(result.Output),
            (Lines{"ActionList|Action0|Action-Placeholder", "ActionList|Action1|Action-Tag % it",
                   "Action-Placeholder|ClassName|TModifyTagAction",
                   "Action-Placeholder|TagToModify|X-Spam",
                   "Action-Placeholder|Value|100% = \"yes\", ; # [x]",
                   "Action-Placeholder|Append|1", "Action-Tag % it|ClassName|TTestTagAction",
                   "Action-Tag % it|AllowRepeatedApplications|0",
                   "Action-Tag % it|Value|[%(x)s]"}));
}

}  // namespace
}  // namespace halvorn
