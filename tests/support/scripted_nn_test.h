// The smallest network-backed test, for the tests of the learning core and
// of what builds on it until the real classes exist: six yes/no inputs that
// a script gives per message subject.
//
// Evaluate follows the evaluation protocol; the message passes when the
// network scores its six inputs at least 0.5. The result code adds "VA" =
// the six trites in their compressed text form (TriteArrayToCompressedText),
// and BuildNNInputs maps yes to 1.0 and anything else to 0.0, as the real
// network-backed tests do. ResetStats also gives the network fresh (zero)
// weights.
//
// Bind its class name for a test's scope with TScriptedNNTestBinding; the
// rules file then stores and loads it as "TScriptedNNTest". Type name
// "Scripted NN Test": its training sets are "Spam Scripted NN Test Training
// Set.dat" and "Pers Scripted NN Test Training Set.dat" in the user folder.
//
// Threads: as TNNTest's; the script has a mutex of its own.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "classify/nn_test.h"
#include "classify/test_factory.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"
#include "message/email_msg.h"

namespace halvorn::test {

class TScriptedNNTest : public TNNTest {
 public:
  static constexpr const char* kClassName = "TScriptedNNTest";
  static constexpr int kInputs = 6;

  TScriptedNNTest()
      : TNNTest(kInputs, "Scripted NN",
                {"Input 0", "Input 1", "Input 2", "Input 3", "Input 4", "Input 5"}) {}

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Scripted NN Test"; }
  std::string Validate() override { return {}; }
  std::string Describe() override { return "the network scores the scripted inputs 0.5 or more."; }
  std::string GetNote() override { return {}; }

  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override {
    bool answer = false;
    if (!BeginEvaluate(msg, abort, answer)) return answer;
    TTriteArray inputs;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      auto scripted = FScript.find(msg.GetSubject());
      inputs = scripted != FScript.end() ? scripted->second : TTriteArray(kInputs, kTriteNo);
    }
    const double score = Net().EvaluateInputs(Vector(inputs));
    const bool result = score >= 0.5;
    {
      TCriticalSectionGuard guard(TestLock());
      FLastInputs = inputs;
    }
    CloseEvaluation(msg, result,
                    std::string("email ") + (result ? "passed" : "failed") +
                        " scripted network test: \"" + Name() + "\".",
                    result ? 9 : 5, "Score " + std::to_string(score), -1);
    return result;
  }

  std::string GetResultCode(std::int32_t msgKey) override {
    std::string code = TTest::GetResultCode(msgKey);
    if (code.empty()) return code;
    TTriteArray inputs;
    {
      TCriticalSectionGuard guard(TestLock());
      inputs = FLastInputs;
    }
    TStringList items;
    items.SetCommaText(code);
    items.Add("VA=" + TriteArrayToCompressedText(inputs));
    return items.CommaText();
  }

  TVectorFloat BuildNNInputs(const std::string& resultCode) override {
    return Vector(TriteArrayFromText(CommaTextValue(resultCode, "VA")));
  }

  void ResetStats() override {
    TTest::ResetStats();
    Net().Init();
  }

  // The six inputs of the messages with this subject (others: all no).
  void Script(const std::string& subject, const TTriteArray& inputs) {
    std::lock_guard<std::mutex> lock(FMutex);
    FScript[subject] = inputs;
  }

  // The result code a judged message with these inputs gets ("Pa" as the
  // test would answer is not needed by the learning: "y").
  static std::string ResultCodeFor(const TTriteArray& inputs) {
    TStringList items;
    items.Add("Pa=y");
    items.Add("VA=" + TriteArrayToCompressedText(inputs));
    return items.CommaText();
  }

  // Yes 1.0, anything else 0.0, for the six inputs.
  static TVectorFloat Vector(const TTriteArray& inputs) {
    TVectorFloat vector(kInputs, 0.0);
    for (int i = 0; i < kInputs; ++i) vector[static_cast<std::size_t>(i)] =
        TriteIsYes(TriteGet(inputs, i)) ? 1.0 : 0.0;
    return vector;
  }

 private:
  std::mutex FMutex;
  std::map<std::string, TTriteArray> FScript;
  TTriteArray FLastInputs;  // under TestLock()
};

// Binds "TScriptedNNTest" for the object's lifetime.
class TScriptedNNTestBinding : public TScopedTestClassBinding {
 public:
  TScriptedNNTestBinding()
      : TScopedTestClassBinding(TScriptedNNTest::kClassName,
                                [] { return std::make_shared<TScriptedNNTest>(); }) {}
};

}  // namespace halvorn::test
