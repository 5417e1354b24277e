// A test class whose answers a test script chooses: per message (by subject)
// or for every message, an answer, an error to raise, and work to do first.
// It follows the evaluation protocol with every closing step, also when its
// script raises (then with the answer false, and the error goes on to the
// caller), and counts what it was asked, so that the test list, rules and the
// processing thread can be tested before the real test classes exist.
//
// Bind its class name for a test's scope with TScriptedTestBinding; the rules
// file then stores and loads it as "TScriptedTest". Its own keys:
// "DefaultAnswer" ("1" or "0"), "ListName" (a phrase list's name, which
// follows that list's renames) and "OtherTest" (a test's name, which follows
// test renames).
//
// Threads: any operation from any thread, as TTest's; the script and the
// counters have a mutex of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "classify/test_base.h"
#include "classify/test_factory.h"
#include "foundation/files/quor_ini_file.h"
#include "message/email_msg.h"

namespace halvorn::test {

// What the test does with one message.
struct TScriptedStep {
  bool Answer = false;
  // Runs first in the judging step (sets a stop flag, waits for another
  // thread, changes the message...). The abort flag is checked after it.
  std::function<void(TEmailMsg&)> Before;
  // Raises the error the judging step ends with, when set.
  std::function<void()> Raise;
};

class TScriptedTest : public TTest {
 public:
  static constexpr const char* kClassName = "TScriptedTest";

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Scripted Test"; }

  void SaveToIni(TQuorIniFile& ini) override {
    TTest::SaveToIni(ini);
    const std::string section = SectionName();
    ini.WriteBool(section, "DefaultAnswer", DefaultAnswer());
    ini.WriteString(section, "ListName", ListName());
    ini.WriteString(section, "OtherTest", OtherTest());
  }

  void LoadFromIni(TQuorIniFile& ini) override {
    TTest::LoadFromIni(ini);
    const std::string section = SectionName();
    bool answer = false;
    ini.TryReadBool(section, "DefaultAnswer", answer);
    const std::string list = ini.ReadString(section, "ListName", "");
    const std::string other = ini.ReadString(section, "OtherTest", "");
    std::lock_guard<std::mutex> lock(FMutex);
    FDefault.Answer = answer;
    FListName = list;
    FOtherTest = other;
  }

  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FListRenames.emplace_back(newName, oldName);
    if (FListName == oldName) FListName = newName;
  }

  void TestRenamed(const std::string& newName, const std::string& oldName) override {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FOtherTest == oldName) FOtherTest = newName;
  }

  std::string Validate() override {
    std::lock_guard<std::mutex> lock(FMutex);
    ++FValidations;
    return FInvalidReason;
  }

  std::string Describe() override { return "the script says the message passes."; }
  std::string GetNote() override { return {}; }

  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override {
    bool answer = false;
    if (!BeginEvaluate(msg, abort, answer)) return answer;
    const std::string subject = msg.GetSubject();
    TScriptedStep step;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      auto scripted = FSteps.find(subject);
      step = scripted != FSteps.end() ? scripted->second : FDefault;
      FJudged.push_back(subject);
    }
    bool result = false;
    try {
      if (step.Before) step.Before(msg);
      if (step.Raise) step.Raise();
      result = step.Answer && !(abort != nullptr && abort->load());
    } catch (...) {
      Close(msg, false, "The script raised an error.");
      throw;
    }
    Close(msg, result, result ? "The script answered yes." : "The script answered no.");
    return result;
  }

  void Preprocess(TEmailMsg& msg) override {
    const std::string subject = msg.GetSubject();
    std::lock_guard<std::mutex> lock(FMutex);
    FPreprocessed.push_back(subject);
  }

  void Train() override {
    std::function<void()> onTrain;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      ++FTrained;
      onTrain = FOnTrain;
    }
    if (onTrain) onTrain();
  }

  void UserCategorised(std::uint8_t category, const std::string& resultCode) override {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FCategorisations.emplace_back(category, resultCode);
    }
    TTest::UserCategorised(category, resultCode);
  }

  // ---- The script

  // The step for every message without one of its own.
  void SetDefault(TScriptedStep step) {
    std::lock_guard<std::mutex> lock(FMutex);
    FDefault = std::move(step);
  }
  // The step for the messages with this subject (TEmailMsg::GetSubject).
  void Script(const std::string& subject, TScriptedStep step) {
    std::lock_guard<std::mutex> lock(FMutex);
    FSteps[subject] = std::move(step);
  }
  // A non-empty reason makes the test invalid.
  void SetInvalidReason(const std::string& reason) {
    std::lock_guard<std::mutex> lock(FMutex);
    FInvalidReason = reason;
  }
  // Runs inside every Train.
  void SetOnTrain(std::function<void()> onTrain) {
    std::lock_guard<std::mutex> lock(FMutex);
    FOnTrain = std::move(onTrain);
  }
  void SetListName(const std::string& name) {
    std::lock_guard<std::mutex> lock(FMutex);
    FListName = name;
  }
  void SetOtherTest(const std::string& name) {
    std::lock_guard<std::mutex> lock(FMutex);
    FOtherTest = name;
  }

  // ---- What it was asked (copies)

  bool DefaultAnswer() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FDefault.Answer;
  }
  std::string ListName() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FListName;
  }
  std::string OtherTest() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FOtherTest;
  }
  // The subjects of the messages it judged (not those answered from the
  // cache), in order.
  std::vector<std::string> Judged() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FJudged;
  }
  std::vector<std::string> Preprocessed() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FPreprocessed;
  }
  int Validations() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FValidations;
  }
  int Trained() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FTrained;
  }
  std::vector<std::pair<std::uint8_t, std::string>> Categorisations() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FCategorisations;
  }
  std::vector<std::pair<std::string, std::string>> ListRenames() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FListRenames;
  }

 private:
  void Close(TEmailMsg& msg, bool result, const std::string& detail) {
    const std::string headline = std::string("email ") + (result ? "passed" : "failed") +
                                 " scripted test: \"" + Name() + "\".";
    CloseEvaluation(msg, result, headline, result ? 9 : 5, detail, -1);
  }

  mutable std::mutex FMutex;
  TScriptedStep FDefault;
  std::map<std::string, TScriptedStep> FSteps;
  std::string FInvalidReason;
  std::string FListName;
  std::string FOtherTest;
  std::function<void()> FOnTrain;
  std::vector<std::string> FJudged;
  std::vector<std::string> FPreprocessed;
  int FValidations = 0;
  int FTrained = 0;
  std::vector<std::pair<std::uint8_t, std::string>> FCategorisations;
  std::vector<std::pair<std::string, std::string>> FListRenames;
};

// Binds "TScriptedTest" for the object's lifetime.
class TScriptedTestBinding : public TScopedTestClassBinding {
 public:
  TScriptedTestBinding()
      : TScopedTestClassBinding(TScriptedTest::kClassName,
                                [] { return std::make_shared<TScriptedTest>(); }) {}
};

// A parsed message with the subject and a fresh side record, flagged deleted
// so that it writes no file when it goes.
inline TEmailMsgRef MakeTestMessage(const std::string& subject) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetText("Subject: " + subject + "\r\nFrom: a@example.com\r\n\r\nBody\r\n");
  msg->FSetFlaggedDeleted(true);
  return msg;
}

// A scripted test with the name, for tests that build lists by hand.
inline std::shared_ptr<TScriptedTest> MakeScriptedTest(const std::string& name,
                                                       bool defaultAnswer = false) {
  auto test = std::make_shared<TScriptedTest>();
  test->SetName(name);
  TScriptedStep step;
  step.Answer = defaultAnswer;
  test->SetDefault(step);
  return test;
}

}  // namespace halvorn::test
