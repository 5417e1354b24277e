#include "classify/classify_module.h"

#include <exception>
#include <memory>
#include <string>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "classify/test_list.h"
#include "foundation/log/log_sink.h"
#include "lists/phrases_list.h"

namespace halvorn {

void InitializeClassifyModule() {
  try {
    SetGlobalTestList(std::make_shared<TTestList>());
    if (auto phrases = GlobalPhrasesList()) {
      phrases->SetOnListRenamed([](const std::string& newName, const std::string& oldName) {
        if (auto tests = GlobalTestList()) tests->PhraseListRenamed(newName, oldName);
      });
    } else {
      Log("Tests", "The phrase lists do not exist: tests will not follow their renames", 3, true);
    }
    ReadTestSwitches();
  } catch (const std::exception& error) {
    Log("Tests", std::string("The classification module did not start whole: ") + error.what(), 3,
        true);
  }
  StartBayesianModule();
  try {
    const std::string error = InstallBayesianSeeds();
    if (!error.empty()) Log("Tests", "The seed dictionaries are not installed: " + error, 3, true);
  } catch (const std::exception& error) {
    Log("Tests", std::string("The seed dictionaries are not installed: ") + error.what(), 3, true);
  }
}

void FinalizeClassifyModule() {
  try {
    if (auto phrases = GlobalPhrasesList()) phrases->SetOnListRenamed(nullptr);
  } catch (const std::exception& error) {
    Log("Tests", std::string("The phrase lists keep their rename event: ") + error.what(), 3, true);
  }
  // The list's destructor never raises.
  SetGlobalTestList(nullptr);
  EndBayesianModule();
}

}  // namespace halvorn
