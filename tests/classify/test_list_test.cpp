#include "classify/test_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "classify/classify_module.h"
#include "classify/test_factory.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/files/registry_settings.h"
#include "foundation/text/list_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "lists/lists_module.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "foundation/files/folder_test_env.h"
#include "support/scripted_test.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::MakeScriptedTest;
using test::MakeTestMessage;
using test::TScriptedTest;
using test::TScriptedTestBinding;
using Lines = std::vector<std::string>;

// Each test as "name|class|owner|unique id|standard number|stats".
Lines Dump(TTestList& list) {
  Lines lines;
  for (const auto& test : list.Snapshot())
    lines.push_back(test->Name() + "|" + test->ClassName() + "|" + test->Owner() + "|" +
                    test->UniqueId() + "|" + std::to_string(test->StandardTestNum()) + "|" +
                    test->GetStatsText());
  return lines;
}

std::string SaveTests(TTestList& list, const std::string& owner = "Global") {
  TQuorIniFile ini("");
  list.SaveToIni(ini, owner);
  return ini.SaveToStream();
}

void LoadTests(TTestList& list, const std::string& text, const std::string& owner) {
  TQuorIniFile ini("");
  ini.LoadFromStream(text);
  list.LoadFromIni(ini, owner);
}

// The class names of the table, as the rules files of every version store
// them.
const Lines kClassNames = {
    "TBlackHoleTest",         "TTagValueTest",          "TLogicalTest",
    "TBodyTextTest",          "TIPCheckTest",           "THTMLCheck",
    "TAttachNameCheck",       "TQCHCategoryTest",       "TQCHUniquenessTest",
    "TContainsUnblockCodeTest", "TBouncedUnblockCodeTest", "TMsgSizeTest",
    "TMyAddrTest",            "TValidRetAddrTest",      "TQuorInfoTest",
    "TDccTest",               "TSumTest",               "TDictionaryAttackTest",
    "TRegularExpressionTest", "TSpamAssassinTest",      "TBlackWhiteTest",
    "TMailingListTest",       "TCategoryProbabilityTest", "TQuorvantisTest",
    "TMailBoxTest"};

// Every name of the table makes a test that is stored and loaded again as the
// same class: a bound class as itself, an unbound one as a placeholder that
// keeps its name. Every other name makes nothing.
TEST(TestFactory, EveryTableNameLoadsBackAsTheSameClass) {
  EXPECT_EQ(TestClassNames(), kClassNames);
  for (const std::string& name : kClassNames) {
    SCOPED_TRACE(name);
    std::shared_ptr<TTest> made = CreateTestFromClassName(name);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->ClassName(), name);
    EXPECT_EQ(dynamic_cast<TPlaceholderTest*>(made.get()) == nullptr, IsTestClassBound(name));
    made->SetName("Made " + name);

    TTestList list;
    list.AddTest(made);
    const std::string saved = SaveTests(list);
    TTestList loaded;
    LoadTests(loaded, saved, "Global");
    ASSERT_EQ(loaded.Count(), 1);
    auto again = loaded.Items(0);
    EXPECT_EQ(again->ClassName(), name);
    EXPECT_EQ(typeid(*again), typeid(*made));
    EXPECT_EQ(again->UniqueId(), made->UniqueId());
    EXPECT_EQ(SaveTests(loaded), saved);
    if (!IsTestClassBound(name)) {
      EXPECT_EQ(again->Validate(), "the test class " + name + " is not available yet");
      auto msg = MakeTestMessage("s");
      EXPECT_FALSE(again->Evaluate(*msg, nullptr));
      EXPECT_EQ(again->LastMsgKey(), -1);
    }
  }
  for (const char* unknown : {"", "TTest", "ttagvaluetest", "TTagValueTest ", "TBayesianTest",
                              "TBayesianUniquenessTest", "TSURBLTest", "TScriptedTest",
                              kMissingTestClassName}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(CreateTestFromClassName(unknown), nullptr);
    EXPECT_FALSE(IsTestClassBound(unknown));
  }
}

TEST(TestFactory, ScopedBindingsNestAndUnbind) {
  {
    TScriptedTestBinding outer;
    auto made = CreateTestFromClassName(TScriptedTest::kClassName);
    ASSERT_NE(std::dynamic_pointer_cast<TScriptedTest>(made), nullptr);
    {
      TScopedTestClassBinding inner(TScriptedTest::kClassName, nullptr);
      EXPECT_EQ(CreateTestFromClassName(TScriptedTest::kClassName), nullptr);
      // A table name unbound for the scope loads as a placeholder.
      TScopedTestClassBinding unbound("TSumTest", nullptr);
      EXPECT_FALSE(IsTestClassBound("TSumTest"));
      EXPECT_NE(std::dynamic_pointer_cast<TPlaceholderTest>(CreateTestFromClassName("TSumTest")),
                nullptr);
      // A table name bound for the scope.
      TScopedTestClassBinding bound("TMsgSizeTest", [] { return MakeScriptedTest("x"); });
      EXPECT_TRUE(IsTestClassBound("TMsgSizeTest"));
      EXPECT_NE(std::dynamic_pointer_cast<TScriptedTest>(CreateTestFromClassName("TMsgSizeTest")),
                nullptr);
    }
    EXPECT_NE(CreateTestFromClassName(TScriptedTest::kClassName), nullptr);
  }
  EXPECT_EQ(CreateTestFromClassName(TScriptedTest::kClassName), nullptr);
}

// A placeholder writes its section back as it read it; a base value changed
// since is written anew in its place, and a renamed test under its new name.
TEST(TestFactory, APlaceholderKeepsItsSectionLineForLine) {
  TScopedTestClassBinding unbound("TTagValueTest", nullptr);
  const std::string text =
      "[TestList]\r\nTest0=Test-Subject check\r\n\r\n"
      "[Test-Subject check]\r\nClassName=TTagValueTest\r\nStandardTestNum=12\r\nUniqueId=Nb7Tt\r\n"
      "TestStats=0|0|1|1;;;;;;;;\r\nTag=Subject\r\nValue= padded \r\nno value line\r\n\r\n";
  TTestList list;
  LoadTests(list, text, "Global");
  ASSERT_EQ(list.Count(), 1);
  auto placeholder = list.Items(0);
  EXPECT_EQ(SaveTests(list), text);

  placeholder->ResetStats();
  placeholder->SetStandardTestNum(40);
  placeholder->SetName("Renamed");
  EXPECT_EQ(SaveTests(list),
            "[TestList]\r\nTest0=Test-Renamed\r\n\r\n"
            "[Test-Renamed]\r\nClassName=TTagValueTest\r\nStandardTestNum=40\r\nUniqueId=Nb7Tt\r\n"
            "Tag=Subject\r\nValue= padded \r\nno value line\r\n\r\n");

  // The class named by another section than the test's own, and two lines
  // naming classes: the section written names the placeholder's class.
  TTestList odd;
  LoadTests(odd,
            "[TestList]\r\nTest0=XXXXXOdd\r\n[XXXXXOdd]\r\nClassName=TTagValueTest\r\n"
            "[Test-Odd]\r\nTag=From\r\nclassname=TScriptedTest\r\n",
            "Global");
  ASSERT_EQ(odd.Count(), 1);
  EXPECT_EQ(SaveTests(odd),
            "[TestList]\r\nTest0=Test-Odd\r\n\r\n"
            "[Test-Odd]\r\nTag=From\r\nClassName=TTagValueTest\r\n\r\n");
}

// Points the install folder (default phrases, registry switches) at a
// folder of the test's own.
using TestListHome = test::FolderEnvTest;

// The rules-file fixture: tests of the scripted class, an unknown class
// (skipped, the load goes on), a class of the table not bound (kept as a
// placeholder), a padded list-section value, a gap in the numbering (the test
// after it is not read), beside every kind of phrase list. A second file adds
// a test and a list of another owner. Saving for "Global" writes every phrase
// list but only that owner's tests; loading that again saves the same bytes.
TEST_F(TestListHome, TheRulesFileLoadsAndSavesTheSameBytesAgain) {
  ScopedClockForTests clock(EncodeDateTime(2024, 3, 15, 10, 0, 0));
  TScriptedTestBinding scripted;
  TScopedTestClassBinding notBuilt("TTagValueTest", nullptr);
  std::string fixture = test::ReadFileBytes(test::DataPath("rules_file.txt"));
  ASSERT_FALSE(fixture.empty());
  fixture.replace(fixture.find("@FOLDER@"), 8, FRoot.Path());
  ASSERT_TRUE(test::WriteFileBytes(FRoot.Sub("keywords.txt"), "free money\r\n"));
  const std::string imported =
      "[TestList]\r\nTest0=Test-Imported\r\n"
      "[Test-Imported]\r\nClassName=TScriptedTest\r\nUniqueId=Im9rT\r\n"
      "[PhrasesList1]\r\nPhraseList0={Imported Friends}\r\n"
      "[{Imported Friends}]\r\nType=Email Address\r\n";

  auto load = [](TTestList& tests, TPhrasesList& phrases, const std::string& text,
                 const std::string& owner) {
    TQuorIniFile ini("");
    ini.LoadFromStream(text);
    tests.LoadFromIni(ini, owner);
    phrases.LoadFromIni(ini, owner);
  };
  auto save = [](TTestList& tests, TPhrasesList& phrases) {
    TQuorIniFile ini("");
    tests.SaveToIni(ini, "Global");
    phrases.SaveToIni(ini, "Global");
    return ini.SaveToStream();
  };

  TTestList tests;
  TPhrasesList phrases;
  load(tests, phrases, fixture, "Global");
  load(tests, phrases, imported, "SingleUser");
  EXPECT_EQ(tests.ListSectionName(), "TestList");
  EXPECT_EQ(Dump(tests),
            (Lines{"Approved sender|TScriptedTest|Global|Ab3dE|734|1|2|3|4;;;;;;;10|0|0|5;",
                   "Not built yet|TTagValueTest|Global|Nb7Tt|12|0|0|1|1;;;;;;;;",
                   "Body words|TScriptedTest|Global|Zz9yX|-1|",
                   "Imported|TScriptedTest|SingleUser|Im9rT|-1|"}));
  auto approved = std::dynamic_pointer_cast<TScriptedTest>(tests.Items(0));
  ASSERT_NE(approved, nullptr);
  EXPECT_TRUE(approved->DefaultAnswer());
  EXPECT_EQ(approved->ListName(), "{Approved Senders}");
  EXPECT_EQ(std::dynamic_pointer_cast<TScriptedTest>(tests.Items(2))->OtherTest(),
            "Approved sender");
  EXPECT_EQ(phrases.Count(), 6);

  const std::string saved = save(tests, phrases);
  const std::string testSections =
      "[TestList]\r\n"
      "Test0=Test-Approved sender\r\n"
      "Test1=Test-Not built yet\r\n"
      "Test2=Test-Body words\r\n"
      "\r\n"
      "[Test-Approved sender]\r\n"
      "ClassName=TScriptedTest\r\n"
      "StandardTestNum=734\r\n"
      "UniqueId=Ab3dE\r\n"
      "TestStats=1|2|3|4;;;;;;;10|0|0|5;\r\n"
      "DefaultAnswer=1\r\n"
      "ListName={Approved Senders}\r\n"
      "\r\n"
      "[Test-Not built yet]\r\n"
      "ClassName=TTagValueTest\r\n"
      "StandardTestNum=12\r\n"
      "UniqueId=Nb7Tt\r\n"
      "TestStats=0|0|1|1\r\n"
      "Tag=Subject\r\n"
      "Value={Banned Subject Lines}\r\n"
      "Comment line without a value\r\n"
      "\r\n"
      "[Test-Body words]\r\n"
      "ClassName=TScriptedTest\r\n"
      "UniqueId=Zz9yX\r\n"
      "DefaultAnswer=0\r\n"
      "OtherTest=Approved sender\r\n"
      "\r\n";
  EXPECT_EQ(saved.substr(0, testSections.size()), testSections);
  EXPECT_NE(saved.find("PhraseList5={Imported Friends}\r\n"), std::string::npos);
  EXPECT_EQ(saved.find("Imported\r\n"), std::string::npos);

  TTestList testsAgain;
  TPhrasesList phrasesAgain;
  load(testsAgain, phrasesAgain, saved, "Global");
  EXPECT_EQ(save(testsAgain, phrasesAgain), saved);
}

TEST(TestList, NamesAreFoundAndComparedIgnoringCase) {
  const struct {
    Lines Names;
    bool Duplicates;
  } rows[] = {
      {{}, false},
      {{"Spam"}, false},
      {{"Spam", "Spam2", "Personal"}, false},
      {{"Spam", "Personal", "Spam"}, true},
      {{"Spam", "spam"}, true},  // they would share one section of the rules file
      {{"Caf\xe9", "CAF\xc9"}, true},
      {{"", ""}, true},
  };
  for (const auto& row : rows) {
    std::string trace;
    for (const std::string& name : row.Names) trace += name + ",";
    SCOPED_TRACE(trace);
    TTestList list;
    for (const std::string& name : row.Names) list.AddTest(MakeScriptedTest(name));
    EXPECT_EQ(list.HasDuplicateNames(), row.Duplicates);
  }

  TTestList list;
  auto first = MakeScriptedTest("Spam");
  auto second = MakeScriptedTest("spam");
  list.AddTest(first);
  list.AddTest(second);
  EXPECT_EQ(list.FindTestByName("SPAM"), first);
  EXPECT_EQ(list.FindTestByName("Spam "), nullptr);
  EXPECT_EQ(list.FindTestByName(""), nullptr);
  list.AddTest(MakeScriptedTest(""));
  EXPECT_EQ(list.FindTestByName(""), nullptr);
}

TEST(TestList, MembershipByIndexAndObject) {
  TTestList list;
  auto a = MakeScriptedTest("A");
  auto b = MakeScriptedTest("B");
  list.AddTest(a);
  list.AddTest(b);
  list.AddTest(a);  // already there
  list.AddTest(nullptr);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1), b);
  EXPECT_THROW(list.Items(2), std::out_of_range);
  EXPECT_THROW(list.Items(-1), std::out_of_range);
  EXPECT_EQ(list.IndexOf(b.get()), 1);

  std::weak_ptr<TTest> held = a;
  std::shared_ptr<TTest> removed = list.RemoveTest(a.get());
  a.reset();
  EXPECT_EQ(removed.get(), held.lock().get());  // the caller holds it on
  EXPECT_EQ(list.IndexOf(removed.get()), -1);
  EXPECT_EQ(list.RemoveTest(removed.get()), nullptr);
  removed.reset();
  EXPECT_TRUE(held.expired());
  EXPECT_EQ(list.Items(0), b);
}

// Saving writes the tests of the owner group, numbered without gaps; loading
// skips an unknown class and a name the list has already (ignoring case: they
// would share one section), and stops at the first gap.
TEST(TestList, SaveWritesOneOwnerGroupWithoutGaps) {
  TScriptedTestBinding scripted;
  TTestList list;
  const char* owners[] = {"Global", "SingleUser", "global", "Global"};
  for (int i = 0; i < 4; ++i) {
    auto test = MakeScriptedTest("T" + std::to_string(i));
    test->SetOwner(owners[i]);
    list.AddTest(test);
  }
  TQuorIniFile ini("");
  list.SaveToIni(ini, "Global");
  TStringList section;
  ini.ReadSectionValues("TestList", section);
  EXPECT_EQ(section.ToVector(), (Lines{"Test0=Test-T0", "Test1=Test-T3"}));
  EXPECT_FALSE(ini.SectionExists("Test-T1"));
  EXPECT_FALSE(ini.SectionExists("Test-T2"));

  ini.WriteString("TestList", "Test1", "Test-Missing");  // a section that is not there
  ini.WriteString("TestList", "Test2", "Test-t0");
  ini.WriteString("TestList", "Test3", "Test-T3");
  ini.WriteString("TestList", "Test5", "Test-T1");
  TTestList loaded;
  loaded.AddTest(MakeScriptedTest("T3"));
  loaded.LoadFromIni(ini, "Other");
  EXPECT_EQ(Dump(loaded).size(), 2u);
  EXPECT_EQ(loaded.Items(1)->Name(), "T0");
  EXPECT_EQ(loaded.Items(1)->Owner(), "Other");
}

TEST(TestList, CollectResultCodesLeavesOutTestsWithoutACode) {
  TTestList list;
  auto judgedFirst = MakeScriptedTest("A", true);
  auto judgedSecond = MakeScriptedTest("B", false);
  auto never = MakeScriptedTest("C", true);
  for (const auto& test : {judgedFirst, judgedSecond, never}) list.AddTest(test);
  judgedFirst->SetUniqueId("Aaaaa");
  judgedSecond->SetUniqueId("Bbbbb");
  auto first = MakeTestMessage("first");
  auto second = MakeTestMessage("second");
  judgedFirst->Evaluate(*first, nullptr);
  judgedSecond->Evaluate(*second, nullptr);

  EXPECT_EQ(list.CollectResultCodes(first->GetContentId()), "Aaaaa=Pa=y");
  EXPECT_EQ(list.CollectResultCodes(second->GetContentId()), "Bbbbb=Pa=n");
  EXPECT_EQ(list.CollectResultCodes(0), "Aaaaa=Pa=y,Bbbbb=Pa=n");
  // What the categorisation reads back out of "StatData".
  EXPECT_EQ(CommaTextValue(list.CollectResultCodes(0), "Bbbbb"), "Pa=n");
  EXPECT_EQ(list.CollectResultCodes(12345), "");
}

TEST(TestList, RenamesReachEveryTestInOrder) {
  TTestList list;
  auto a = MakeScriptedTest("A");
  auto b = MakeScriptedTest("B");
  a->SetListName("{Old}");
  b->SetListName("{old}");  // differs in case: left as it is
  a->SetOtherTest("B");
  list.AddTest(a);
  list.AddTest(b);
  list.PhraseListRenamed("{New}", "{Old}");
  list.TestRenamed("Bee", "B");
  EXPECT_EQ(a->ListName(), "{New}");
  EXPECT_EQ(b->ListName(), "{old}");
  EXPECT_EQ(a->OtherTest(), "Bee");
  EXPECT_EQ(b->ListRenames(), (std::vector<std::pair<std::string, std::string>>{{"{New}", "{Old}"}}));
}

// Training runs when a switch is on and the lock is free at once, stops when
// the heartbeat says so, and an error of one test is logged and the next test
// trains all the same, without the lock left held.
TEST(TestList, TrainTriesTheLockAndFollowsTheSwitches) {
  const bool trainWas = TrainNeuralNets;
  const bool backgroundWas = BackgroundTrainNNs;
  TTestList list;
  auto a = MakeScriptedTest("A");
  auto b = MakeScriptedTest("B");
  list.AddTest(a);
  list.AddTest(b);

  TrainNeuralNets = false;
  BackgroundTrainNNs = false;
  list.Train();
  EXPECT_EQ(a->Trained(), 0);
  BackgroundTrainNNs = true;
  list.Train();
  EXPECT_EQ(a->Trained(), 1);
  BackgroundTrainNNs = false;
  TrainNeuralNets = true;
  list.Train();
  EXPECT_EQ(b->Trained(), 2);

  // Another thread holds the lock: training is skipped at once.
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    TCriticalSectionGuard guard(list.TrainLock());
    held = true;
    while (!release) std::this_thread::yield();
  });
  while (!held) std::this_thread::yield();
  list.Train();
  release = true;
  holder.join();
  EXPECT_EQ(a->Trained(), 2);

  // The heartbeat asks the thread to stop.
  RegisterThreadCallback([](const std::string&, int, int) { return true; });
  list.Train();
  UnregisterThreadCallback();
  EXPECT_EQ(a->Trained(), 2);

  a->SetOnTrain([] { throw std::runtime_error("network file unreadable"); });
  EXPECT_NO_THROW(list.Train());
  EXPECT_EQ(a->Trained(), 3);
  EXPECT_EQ(b->Trained(), 3);
  std::thread other([&] {
    EXPECT_TRUE(list.TrainLock().TryEnter());
    list.TrainLock().Leave();
  });
  other.join();
  TrainNeuralNets = trainWas;
  BackgroundTrainNNs = backgroundWas;
}

// A test whose destructor counts whether the training lock was free then.
class WatchedTest : public TScriptedTest {
 public:
  WatchedTest(TMutexCriticalSection& trainLock, std::atomic<int>& freedWhileHeld)
      : FTrainLock(trainLock), FFreedWhileHeld(freedWhileHeld) {}
  ~WatchedTest() override {
    // The destroying thread holds it (re-entrant), or nobody does.
    if (FTrainLock.IsLocked()) ++FFreedWhileHeld;
  }

 private:
  TMutexCriticalSection& FTrainLock;
  std::atomic<int>& FFreedWhileHeld;
};

// The module's end while the processing thread trains: the list lives on in
// that thread's hands, and goes when it lets go, the training lock free.
TEST_F(TestListHome, AListInUseOutlivesTheModuleEnd) {
  InitializeListsModule();
  InitializeClassifyModule();
  std::atomic<int> freedWhileHeld{0};
  std::weak_ptr<TTestList> watched = GlobalTestList();
  auto test = std::make_shared<WatchedTest>(GlobalTestList()->TrainLock(), freedWhileHeld);
  std::atomic<bool> training{false};
  std::atomic<bool> ended{false};
  test->SetOnTrain([&] {
    training = true;
    while (!ended) std::this_thread::yield();
  });
  GlobalTestList()->AddTest(test);
  test.reset();

  std::thread processing([] {
    if (auto list = GlobalTestList()) list->Train();
  });
  while (!training) std::this_thread::yield();
  FinalizeClassifyModule();
  EXPECT_EQ(GlobalTestList(), nullptr);
  EXPECT_FALSE(watched.expired());
  ended = true;
  processing.join();
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(freedWhileHeld, 0);
  FinalizeListsModule();
}

// The module start makes the list, follows the phrase lists' renames and
// reads the stored switches; its end drops the rename event first.
TEST_F(TestListHome, TheModuleStartsAfterTheListsAndEndsBeforeThem) {
  const bool trainWas = TrainNeuralNets;
  const bool updateWas = UpdateNNTestSets;
  ASSERT_TRUE(RegWriteBool("NeuralNets", "TrainNeuralNets", false));
  ASSERT_TRUE(RegWriteBool("Report", "DetailedBayesianReporting", true));
  InitializeListsModule();
  InitializeClassifyModule();
  auto tests = GlobalTestList();
  ASSERT_NE(tests, nullptr);
  EXPECT_EQ(tests->Count(), 0);
  EXPECT_FALSE(TrainNeuralNets);
  EXPECT_TRUE(DetailedBayesianReporting);
  EXPECT_EQ(UpdateNNTestSets, updateWas);  // no stored value

  auto test = MakeScriptedTest("T");
  test->SetListName("{A}");
  tests->AddTest(test);
  GlobalPhrasesList()->ListRenamed("{B}", "{A}");
  EXPECT_EQ(test->ListName(), "{B}");

  auto phrases = GlobalPhrasesList();
  FinalizeClassifyModule();
  EXPECT_EQ(GlobalTestList(), nullptr);
  phrases->ListRenamed("{C}", "{B}");
  EXPECT_EQ(test->ListName(), "{B}");
  FinalizeListsModule();

  TrainNeuralNets = false;
  DetailedBayesianReporting = false;
  EXPECT_TRUE(WriteTestSwitches());
  ReadTestSwitches();
  EXPECT_FALSE(DetailedBayesianReporting);
  TrainNeuralNets = trainWas;
  DetailedBayesianReporting = false;
}

}  // namespace
}  // namespace halvorn
