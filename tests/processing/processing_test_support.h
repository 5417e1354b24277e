// Shared pieces of the processing tests: actions made for tests (hold,
// delete, tag, raise, consume), the modules and a throw-away install folder,
// rules built in a line, and a harness that drives the incoming processing
// thread as the main window's status tick does.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "classify/classify_module.h"
#include "classify/test_list.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/quor_thread.h"
#include "lists/lists_module.h"
#include "message/email_msg.h"
#include "message/message_repository.h"
#include "message/repository_test_support.h"
#include "processing/action_list.h"
#include "processing/process_incoming_thread.h"
#include "processing/processing_module.h"
#include "processing/rule_list.h"
#include "support/scripted_test.h"
#include "support/test_support.h"

namespace halvorn::test {

// ---------------------------------------------------------------------------
// Actions for tests. Each stores one key of its own ("Value") so that the
// rules file carries something of the class.

class TTestAction : public TAction {
 public:
  void SaveToIni(TQuorIniFile& ini) override {
    TAction::SaveToIni(ini);
    ini.WriteString(SectionName(), "Value", Value());
  }
  void LoadFromIni(TQuorIniFile& ini) override {
    TAction::LoadFromIni(ini);
    SetValue(ini.ReadString(SectionName(), "Value", Value()));
  }
  std::string Validate() override { return {}; }
  std::string Describe() override { return "the test action " + ClassName(); }
  std::string Value() const {
    TCriticalSectionGuard guard(ActionLock());
    return FValue;
  }
  void SetValue(const std::string& value) {
    TCriticalSectionGuard guard(ActionLock());
    FValue = value;
  }
  int Performed() const { return FPerformed.load(); }

 protected:
  void Count() { ++FPerformed; }

 private:
  std::string FValue;
  std::atomic<int> FPerformed{0};
};

// Holds the message (consumed).
class THoldAction : public TTestAction {
 public:
  static constexpr const char* kClassName = "TTestHoldAction";
  std::string ClassName() const override { return kClassName; }
  bool Perform(TEmailMsg& msg, TTest&, const std::string&, const std::string& ruleName) override {
    ClearExplanation();
    Count();
    return msg.SendToPendhold("held by the rule " + ruleName);
  }
};

// Moves the message to the trash (consumed).
class TDeleteTestAction : public TTestAction {
 public:
  static constexpr const char* kClassName = "TTestDeleteAction";
  std::string ClassName() const override { return kClassName; }
  bool Perform(TEmailMsg& msg, TTest&, const std::string&, const std::string&) override {
    ClearExplanation();
    Count();
    return msg.MoveToTrash(0, "Rules");
  }
};

// Puts Value in front of the subject (not consumed).
class TTagAction : public TTestAction {
 public:
  static constexpr const char* kClassName = "TTestTagAction";
  std::string ClassName() const override { return kClassName; }
  bool Perform(TEmailMsg& msg, TTest&, const std::string&, const std::string&) override {
    ClearExplanation();
    Count();
    TCriticalSectionGuard guard(msg.MessageLock());
    std::string subject;
    msg.GetHeader()->GetValue("Subject", subject);
    msg.GetHeader()->SetValue("Subject", Value() + subject);
    AddExplanation("Tagged with " + Value(), 5);
    return false;
  }
};

// Raises.
class TRaiseAction : public TTestAction {
 public:
  static constexpr const char* kClassName = "TTestRaiseAction";
  std::string ClassName() const override { return kClassName; }
  bool Perform(TEmailMsg&, TTest&, const std::string&, const std::string&) override {
    ClearExplanation();
    Count();
    throw std::runtime_error("the raise action raised");
  }
};

// Consumes the message without moving it.
class TConsumeAction : public TTestAction {
 public:
  static constexpr const char* kClassName = "TTestConsumeAction";
  std::string ClassName() const override { return kClassName; }
  bool Perform(TEmailMsg&, TTest&, const std::string&, const std::string&) override {
    ClearExplanation();
    Count();
    return true;
  }
};

// Binds the five test action classes for its lifetime.
class TTestActionBindings {
 public:
  TTestActionBindings()
      : FHold(THoldAction::kClassName, [] { return std::make_shared<THoldAction>(); }),
        FDelete(TDeleteTestAction::kClassName,
                [] { return std::make_shared<TDeleteTestAction>(); }),
        FTag(TTagAction::kClassName, [] { return std::make_shared<TTagAction>(); }),
        FRaise(TRaiseAction::kClassName, [] { return std::make_shared<TRaiseAction>(); }),
        FConsume(TConsumeAction::kClassName, [] { return std::make_shared<TConsumeAction>(); }) {}

 private:
  TScopedActionClassBinding FHold, FDelete, FTag, FRaise, FConsume;
};

template <class T>
std::shared_ptr<T> MakeAction(const std::string& name, const std::string& value = {}) {
  auto action = std::make_shared<T>();
  action->SetName(name);
  action->SetValue(value);
  return action;
}

// A rule joining a test and an action by their names.
inline TRuleRef MakeRule(const std::string& name, const std::string& test,
                         const std::string& action, std::uint8_t time = Rt_ReceiveAfterProcessing,
                         std::uint8_t performOn = po_TestTrue) {
  auto rule = std::make_shared<TRule>();
  rule->SetName(name);
  rule->SetTestName(test);
  rule->SetActionName(action);
  rule->SetTime(time);
  rule->SetPerformOn(performOn);
  return rule;
}

// ---------------------------------------------------------------------------
// The modules: lists, tests, actions and rules, over a throw-away install
// folder with the repository (RepositoryTest).
class ProcessingTest : public RepositoryTest {
 protected:
  ProcessingTest() {
    InitializeListsModule();
    InitializeClassifyModule();
    StartProcessingModule();
    UiMode.store(kUiModeLite);
    SelectiveOpenRelay.store(false);
  }
  ~ProcessingTest() override {
    EndProcessingModule();
    FinalizeClassifyModule();
    FinalizeListsModule();
    UiMode.store(kUiModeLite);
    SelectiveOpenRelay.store(false);
  }

  static TTestList& Tests() { return *GlobalTestList(); }
  static TActionList& Actions() { return *GlobalActionList(); }
  static TRuleList& Rules() { return *GlobalRuleList(); }

  // A scripted test in the global test list.
  static std::shared_ptr<TScriptedTest> AddTest(const std::string& name, bool answer = true) {
    auto test = MakeScriptedTest(name, answer);
    Tests().AddTest(test);
    return test;
  }
  template <class T>
  static std::shared_ptr<T> AddAction(const std::string& name, const std::string& value = {}) {
    auto action = MakeAction<T>(name, value);
    Actions().Add(action);
    return action;
  }
  static TRuleRef AddRule(const std::string& name, const std::string& test,
                          const std::string& action, std::uint8_t time = Rt_ReceiveAfterProcessing,
                          std::uint8_t performOn = po_TestTrue) {
    TRuleRef rule = MakeRule(name, test, action, time, performOn);
    Rules().Add(rule);
    return rule;
  }

  TScriptedTestBinding FScripted;
  TTestActionBindings FActionBindings;
};

// ---------------------------------------------------------------------------
// The thread, driven as the status tick drives it: created suspended,
// resumed while unprocessed mail waits (a Resume that came before the thread
// suspended itself is lost, so it is resumed again), stopped and freed at
// the end.
class IncomingThreadHarness {
 public:
  explicit IncomingThreadHarness(int moveRetryDelayMs = 20) {
    // The queues are loaded before the first tick counts them.
    GetMessageRepository(kSingleUserName);
    FThread = CreateQuorThread<TProcessIncomingThread>(true);
    FThread->SetMoveRetryDelayMs(moveRetryDelayMs);
    FHandle = FThread->Handle();
  }
  ~IncomingThreadHarness() { Stop(); }
  IncomingThreadHarness(const IncomingThreadHarness&) = delete;
  IncomingThreadHarness& operator=(const IncomingThreadHarness&) = delete;

  TProcessIncomingThread& Thread() { return *FThread; }

  // The status tick until nothing waits and the thread rests; false when
  // that did not happen within the time.
  bool RunUntilIdle(int timeoutMs = 120000) {
    return Eventually(
        [&] {
          if (!ThreadHandleAlive(FHandle)) return true;
          const bool rests = FThread->Suspended();
          if (rests && CountUnprocessedIncoming() == 0) return true;
          if (rests) FThread->Resume();
          return false;
        },
        timeoutMs);
  }
  // One tick: resumes the thread when it rests.
  void Tick() {
    if (ThreadHandleAlive(FHandle) && FThread->Suspended()) FThread->Resume();
  }
  // Waits until the thread has suspended itself.
  bool WaitSuspended(int timeoutMs = 60000) {
    return Eventually([&] { return !ThreadHandleAlive(FHandle) || FThread->Suspended(); },
                      timeoutMs);
  }
  // Stops and frees the thread as the shut-down does.
  void Stop() {
    if (!FHandle) return;
    if (ThreadHandleAlive(FHandle)) {
      FThread->SetStopRequested(true);
      FThread->Resume();
    }
    FreeThreadByHandle(FHandle);
    FHandle.reset();
  }
  bool Alive() const { return ThreadHandleAlive(FHandle); }

 private:
  TProcessIncomingThread* FThread = nullptr;
  TThreadHandle FHandle;
};

// The names of the ".eml" files of a queue folder.
inline std::vector<std::string> QueueFiles(const std::string& folder) {
  return EmlFiles(folder);
}

// The message text of a queue's only file (its property line taken off).
inline std::string OnlyMessageIn(const std::string& folder) {
  const std::vector<std::string> files = EmlFiles(folder);
  if (files.size() != 1) return "(" + std::to_string(files.size()) + " files)";
  return MessagePartOf(ReadFileBytes(folder + "/" + files[0]));
}

}  // namespace halvorn::test
