// Tests made from their stored class name.
//
// The rules file stores each test's class name ("ClassName"); loading makes
// the test again through CreateTestFromClassName, which knows one fixed table
// of the 25 class names tests are stored under (test_factory.cpp). Each class
// is bound there by one line when it is built: there is no registration by
// static initialisers, which a static library would drop together with the
// unreferenced class.
//
// A name of the table whose class is not bound yet makes a TPlaceholderTest:
// it keeps its section line for line and writes it back, so rules and saves
// do not lose the user's test, and it never passes (Validate says why). Any
// other name makes nothing.
//
// Tests bind names of their own (and may rebind table names) for a scope
// with TScopedTestClassBinding.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classify/test_base.h"
#include "foundation/text/string_list.h"

namespace halvorn {

// Makes a new test of one class.
using TTestFactory = std::function<std::shared_ptr<TTest>()>;

// The 25 class names of the table, in table order.
const std::vector<std::string>& TestClassNames();
// The name is in the table and a class is bound to it (a scoped binding
// included).
bool IsTestClassBound(std::string_view className);

// A new test of the class stored under the name, compared exactly: a bound
// class, a placeholder for a table name not bound yet, nullptr for any other
// name (nothing is shown or logged). The caller owns the test. Safe from any
// thread.
std::shared_ptr<TTest> CreateTestFromClassName(std::string_view className);

// Binds a class name for the object's lifetime: CreateTestFromClassName
// makes tests of it through the factory, before the table is asked. A null
// factory unbinds a table name (its tests load as placeholders) and makes a
// name outside the table unknown. Bindings nest; the last made wins and the
// one before comes back when it goes. For tests; safe from any thread.
class TScopedTestClassBinding {
 public:
  TScopedTestClassBinding(std::string className, TTestFactory factory);
  ~TScopedTestClassBinding();
  TScopedTestClassBinding(const TScopedTestClassBinding&) = delete;
  TScopedTestClassBinding& operator=(const TScopedTestClassBinding&) = delete;

 private:
  std::uint64_t FToken;
};

// The stand-in for a test whose class is not built yet. It never judges a
// message (Validate: the class is not available yet), and writes back the
// section it loaded line for line; a line of the base keys ("StandardTestNum",
// "UniqueId", "TestStats") is written anew only when that value was changed
// since the load, and every "ClassName" line names the placeholder's class
// (one is put first when the section has none).
class TPlaceholderTest final : public TTest {
 public:
  explicit TPlaceholderTest(std::string className);

  std::string ClassName() const override { return FClassName; }
  std::string GetTypeName() override { return FClassName; }
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  struct TBaseValues {
    std::string StandardTestNum;
    std::string UniqueId;
    std::string TestStats;
  };
  TBaseValues CurrentBaseValues();

  const std::string FClassName;
  // The section's lines as loaded, and the base values they held; guarded by
  // TestLock().
  TStringList FLines;
  TBaseValues FLoaded;
};

}  // namespace halvorn
