#include "classify/test_factory.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "classify/attach_name_check.h"
#include "classify/html_check.h"
#include "classify/black_hole_test.h"
#include "classify/dcc_test.h"
#include "classify/dictionary_attack_test.h"
#include "classify/info_tag_test.h"
#include "classify/list_and_mailbox_tests.h"
#include "classify/logical_test.h"
#include "classify/qch_tests.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/spam_assassin_test.h"
#include "classify/sum_tests.h"
#include "classify/unblock_code_tests.h"
#include "classify/valid_ret_addr_test.h"
#include "classify/value_tests.h"
#include "foundation/app/class_bindings.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {

namespace {

template <class T>
std::shared_ptr<TTest> MakeTest() {
  return std::make_shared<T>();
}

struct TTestClass {
  const char* ClassName;
  std::shared_ptr<TTest> (*Create)();
};

// Every class name the rules file may store, one line each. Binding a class
// when it is built: {"TTagValueTest", &MakeTest<TTagValueTest>}. A name
// without a class loads as a placeholder.
const TTestClass kTestClasses[] = {
    {"TBlackHoleTest", &MakeTest<TBlackHoleTest>},
    {"TTagValueTest", &MakeTest<TTagValueTest>},
    {"TLogicalTest", &MakeTest<TLogicalTest>},
    {"TBodyTextTest", &MakeTest<TBodyTextTest>},
    {"TIPCheckTest", &MakeTest<TIPCheckTest>},
    {"THTMLCheck", &MakeTest<THTMLCheck>},
    {"TAttachNameCheck", &MakeTest<TAttachNameCheck>},
    {"TQCHCategoryTest", &MakeTest<TQCHCategoryTest>},
    {"TQCHUniquenessTest", &MakeTest<TQCHUniquenessTest>},
    {"TContainsUnblockCodeTest", &MakeTest<TContainsUnblockCodeTest>},
    {"TBouncedUnblockCodeTest", &MakeTest<TBouncedUnblockCodeTest>},
    {"TMsgSizeTest", &MakeTest<TMsgSizeTest>},
    {"TMyAddrTest", &MakeTest<TMyAddrTest>},
    {"TValidRetAddrTest", &MakeTest<TValidRetAddrTest>},
    {"TQuorInfoTest", &MakeTest<TQuorInfoTest>},
    {"TDccTest", &MakeTest<TDccTest>},
    {"TSumTest", &MakeTest<TSumTest>},
    {"TDictionaryAttackTest", &MakeTest<TDictionaryAttackTest>},
    {"TRegularExpressionTest", &MakeTest<TRegularExpressionTest>},
    {"TSpamAssassinTest", &MakeTest<TSpamAssassinTest>},
    {"TBlackWhiteTest", &MakeTest<TBlackWhiteTest>},
    {"TMailingListTest", &MakeTest<TMailingListTest>},
    {"TCategoryProbabilityTest", &MakeTest<TCategoryProbabilityTest>},
    {"TQuorvantisTest", nullptr},
    {"TMailBoxTest", &MakeTest<TMailBoxTest>},
};

const TTestClass* FindTableClass(std::string_view className) {
  for (const TTestClass& entry : kTestClasses)
    if (className == entry.ClassName) return &entry;
  return nullptr;
}

TClassBindings<TTestFactory> bindings;

std::string BaseLineName(const std::string& line) {
  return TrimText(std::string_view(line).substr(0, line.find('=')));
}

}  // namespace

const std::vector<std::string>& TestClassNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const TTestClass& entry : kTestClasses) list.emplace_back(entry.ClassName);
    return list;
  }();
  return names;
}

bool IsTestClassBound(std::string_view className) {
  const TTestClass* entry = FindTableClass(className);
  if (entry == nullptr) return false;
  TTestFactory factory;
  if (bindings.Find(className, factory)) return static_cast<bool>(factory);
  return entry->Create != nullptr;
}

std::shared_ptr<TTest> CreateTestFromClassName(std::string_view className) {
  const TTestClass* entry = FindTableClass(className);
  TTestFactory factory;
  if (bindings.Find(className, factory)) {
    if (factory) return factory();
  } else if (entry != nullptr && entry->Create != nullptr) {
    return entry->Create();
  }
  if (entry != nullptr) return std::make_shared<TPlaceholderTest>(entry->ClassName);
  return nullptr;
}

TScopedTestClassBinding::TScopedTestClassBinding(std::string className, TTestFactory factory)
    : FToken(bindings.Bind(std::move(className), std::move(factory))) {}

TScopedTestClassBinding::~TScopedTestClassBinding() {
  bindings.Unbind(FToken);
}

// ---- TPlaceholderTest

TPlaceholderTest::TPlaceholderTest(std::string className) : FClassName(std::move(className)) {}

TPlaceholderTest::TBaseValues TPlaceholderTest::CurrentBaseValues() {
  const std::int32_t number = StandardTestNum();
  return {number >= 0 ? std::to_string(number) : std::string(), UniqueId(), GetStatsText()};
}

void TPlaceholderTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  TStringList lines;
  ini.ReadSectionValues(SectionName(), lines);
  const TBaseValues loaded = CurrentBaseValues();
  TCriticalSectionGuard guard(TestLock());
  FLines = std::move(lines);
  FLoaded = loaded;
}

void TPlaceholderTest::SaveToIni(TQuorIniFile& ini) {
  TStringList lines;
  TBaseValues loaded;
  {
    TCriticalSectionGuard guard(TestLock());
    lines = FLines;
    loaded = FLoaded;
  }
  if (lines.Empty()) {  // made, not loaded: the base keys are all there is
    TTest::SaveToIni(ini);
    return;
  }
  const TBaseValues current = CurrentBaseValues();
  const std::pair<const char*, bool> keys[] = {
      {"StandardTestNum", current.StandardTestNum != loaded.StandardTestNum},
      {"UniqueId", current.UniqueId != loaded.UniqueId},
      {"TestStats", current.TestStats != loaded.TestStats},
  };
  const std::string* values[] = {&current.StandardTestNum, &current.UniqueId, &current.TestStats};
  TStringList out;
  bool namesClass = false;
  bool written[3] = {false, false, false};
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string name = BaseLineName(lines[i]);
    int key = -1;
    for (int k = 0; k < 3; ++k)
      if (keys[k].second && SameText1252(name, keys[k].first)) key = k;
    if (key < 0 && SameText1252(name, "ClassName")) {
      // Which of two "ClassName" lines a load reads depends on the key read
      // before it (the settings file's read position): every one names this
      // class, so that the test loads as it was saved.
      out.Add("ClassName=" + FClassName);
      namesClass = true;
    } else if (key < 0) {
      out.Add(lines[i]);
    } else if (!written[key]) {
      written[key] = true;
      if (!values[key]->empty()) out.Add(std::string(keys[key].first) + "=" + *values[key]);
    }
  }
  for (int k = 0; k < 3; ++k)
    if (keys[k].second && !written[k] && !values[k]->empty())
      out.Add(std::string(keys[k].first) + "=" + *values[k]);
  // The class came from the section the list named, which need not be this
  // test's own ("Test-" + name): the section written must name it.
  if (!namesClass) out.Insert(0, "ClassName=" + FClassName);
  const std::string section = SectionName();
  ini.EraseSection(section);
  ini.WriteSectionValues(section, out);
}

std::string TPlaceholderTest::Validate() {
  return "the test class " + FClassName + " is not available yet";
}

std::string TPlaceholderTest::Describe() {
  return "This test cannot judge messages yet: its class " + FClassName +
         " is not available in this version.";
}

bool TPlaceholderTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  BeginEvaluate(msg, abort, answer);  // never valid, so never judged
  return answer;
}

}  // namespace halvorn
