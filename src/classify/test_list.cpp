#include "classify/test_list.h"

#include <mutex>
#include <stdexcept>
#include <utility>

#include "classify/test_factory.h"
#include "lists/qch/qch_client_socket.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/files/registry_settings.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/shared_lists.h"

namespace halvorn {

std::atomic<bool> UpdateNNTestSets{true};
std::atomic<bool> TrainNeuralNets{true};
std::atomic<bool> BackgroundTrainNNs{false};
std::atomic<bool> DetailedBayesianReporting{false};
std::atomic<bool> TrainOnError{true};
std::atomic<bool> StopTrainNNOnNoErr{true};
std::atomic<bool> SeperateTrainAndTestSets{false};

namespace {

struct TStoredSwitch {
  const char* Section;
  const char* Name;
  std::atomic<bool>* Flag;
};

const TStoredSwitch kStoredSwitches[] = {
    {"NeuralNets", "UpdateNNTestSets", &UpdateNNTestSets},
    {"NeuralNets", "TrainNeuralNets", &TrainNeuralNets},
    {"Report", "DetailedBayesianReporting", &DetailedBayesianReporting},
};

TGlobalHolder<TTestList> globalList;

}  // namespace

void ReadTestSwitches() {
  for (const TStoredSwitch& entry : kStoredSwitches) {
    bool value = entry.Flag->load();
    if (RegReadBoolVar(entry.Section, entry.Name, value)) entry.Flag->store(value);
  }
}

bool WriteTestSwitches() {
  bool written = true;
  for (const TStoredSwitch& entry : kStoredSwitches)
    written = RegWriteBool(entry.Section, entry.Name, entry.Flag->load()) && written;
  return written;
}

std::shared_ptr<TTestList> GlobalTestList() { return globalList.Get(); }

void SetGlobalTestList(std::shared_ptr<TTestList> list) { globalList.Set(std::move(list)); }

TTestList::TTestList() = default;

TTestList::~TTestList() {
  try {
    TCriticalSectionGuard guard(FTrainLock);
    // The tests are still in the list: the pending categorisations reach
    // them before they go.
    ApplyPendingAtEnd();
    std::vector<std::shared_ptr<TTest>> tests;
    {
      TCriticalSectionGuard listGuard(FLock);
      tests.swap(FTests);
    }
    tests.clear();
    FServiceSocket.reset();
  } catch (const std::exception& error) {
    Log("Tests", std::string("The test list goes without its training lock: ") + error.what(), 3,
        true);
    if (!FPending.empty())
      Log("Tests", std::to_string(FPending.size()) + " user categorisations are dropped", 3, true);
  }
}

int TTestList::Count() {
  TCriticalSectionGuard guard(FLock);
  return static_cast<int>(FTests.size());
}

std::shared_ptr<TTest> TTestList::Items(int index) {
  TCriticalSectionGuard guard(FLock);
  if (index < 0 || index >= static_cast<int>(FTests.size()))
    throw std::out_of_range("Test list index " + std::to_string(index) + " out of bounds (count " +
                            std::to_string(FTests.size()) + ")");
  return FTests[static_cast<std::size_t>(index)];
}

std::vector<std::shared_ptr<TTest>> TTestList::Snapshot() {
  TCriticalSectionGuard guard(FLock);
  return FTests;
}

void TTestList::AddTest(std::shared_ptr<TTest> test) {
  if (!test) return;
  TCriticalSectionGuard guard(FLock);
  for (const auto& present : FTests)
    if (present == test) return;
  FTests.push_back(std::move(test));
}

int TTestList::IndexOf(const TTest* test) {
  TCriticalSectionGuard guard(FLock);
  for (std::size_t i = 0; i < FTests.size(); ++i)
    if (FTests[i].get() == test) return static_cast<int>(i);
  return -1;
}

std::shared_ptr<TTest> TTestList::RemoveTest(const TTest* test) {
  TCriticalSectionGuard guard(FLock);
  for (auto it = FTests.begin(); it != FTests.end(); ++it) {
    if (it->get() == test) {
      std::shared_ptr<TTest> removed = std::move(*it);
      FTests.erase(it);
      return removed;
    }
  }
  return nullptr;
}

std::shared_ptr<TTest> TTestList::FindTestByName(std::string_view name) {
  if (name.empty()) return nullptr;
  // Every rule looks its test up for every message: no snapshot here, each
  // test's own lock taken under the list's (the list's lock first, as
  // always).
  TCriticalSectionGuard guard(FLock);
  for (const auto& test : FTests)
    if (test->HasName(name)) return test;
  return nullptr;
}

bool TTestList::HasTestNamed(std::string_view name) {
  TCriticalSectionGuard guard(FLock);
  for (const auto& test : FTests)
    if (test->HasName(name)) return true;
  return false;
}

bool TTestList::HasDuplicateNames() {
  const auto tests = Snapshot();
  std::vector<std::string> names;
  names.reserve(tests.size());
  for (const auto& test : tests) names.push_back(test->Name());
  for (std::size_t i = 0; i < names.size(); ++i)
    for (std::size_t j = i + 1; j < names.size(); ++j)
      if (SameText1252(names[i], names[j])) return true;
  return false;
}

void TTestList::TestRenamed(const std::string& newName, const std::string& oldName) {
  for (const auto& test : Snapshot()) test->TestRenamed(newName, oldName);
}

void TTestList::PhraseListRenamed(const std::string& newName, const std::string& oldName) {
  for (const auto& test : Snapshot()) test->PhraseListRenamed(newName, oldName);
}

std::string TTestList::ListSectionName() {
  TCriticalSectionGuard guard(FLock);
  return FListSectionName;
}

void TTestList::SaveToIni(TQuorIniFile& ini, const std::string& owner) {
  std::string section;
  {
    TCriticalSectionGuard guard(FLock);
    if (FListSectionName.empty()) FListSectionName = kTestListSection;
    section = FListSectionName;
  }
  std::vector<std::shared_ptr<TTest>> written;
  for (const auto& test : Snapshot()) {
    if (test->Owner() != owner) continue;
    ini.WriteString(section, "Test" + std::to_string(written.size()), test->SectionName());
    written.push_back(test);
  }
  for (const auto& test : written) test->SaveToIni(ini);
}

void TTestList::LoadFromIni(TQuorIniFile& ini, const std::string& owner) {
  std::string section;
  {
    TCriticalSectionGuard guard(FLock);
    if (FListSectionName.empty()) FListSectionName = kTestListSection;
    section = FListSectionName;
  }
  int n = 0;
  std::string value = TrimText(ini.ReadString(section, "Test0", ""));
  while (!value.empty()) {
    std::shared_ptr<TTest> test =
        CreateTestFromClassName(ini.ReadString(value, "ClassName", kMissingTestClassName));
    ++n;
    if (test) test->SetNameFromSection(value);
    if (test && HasTestNamed(test->Name())) {
      // Two tests of one name (ignoring case) would share one section, and
      // one of them would be lost at the next save and load.
      Log("Tests", "The rules name the test \"" + test->Name() + "\" twice; it is loaded once", 3,
          true);
    } else if (test) {
      // Loaded before it joins the list, so no other thread sees it half read.
      test->SetOwner(owner);
      test->LoadFromIni(ini);
      AddTest(test);
    }
    value = TrimText(ini.ReadString(section, "Test" + std::to_string(n), ""));
  }
}

std::string TTestList::CollectResultCodes(std::int32_t msgKey) {
  TStringList codes;
  for (const auto& test : Snapshot()) codes.SetValue(test->UniqueId(), test->GetResultCode(msgKey));
  return codes.CommaText();
}

void TTestList::Train() {
  if (!BackgroundTrainNNs.load() && !TrainNeuralNets.load()) return;
  TTryEnterGuard training(FTrainLock);
  if (!training.Taken()) return;
  CatchAllButAbandonment(
      [&] {
        for (const auto& test : Snapshot()) {
          if (Heartbeat("", -1, -1)) break;
          // One test's damaged training set must not keep the later ones from
          // training.
          CatchAllButAbandonment([&] { test->Train(); }, [&](const std::string& error) {
            Log("Tests", "Training of " + test->Name() + " failed: " + error, 3, true);
          });
        }
      },
      [](const std::string& error) { Log("Tests", "Training stopped: " + error, 3, true); });
}

}  // namespace halvorn
