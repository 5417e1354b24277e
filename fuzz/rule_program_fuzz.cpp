// Message bytes through the rule program with a frozen clock, twice.
// Properties: nothing escapes but what the program lets through; the same
// outcome list both times; every rule within the catalogue; 432, 473 and
// 491 never reported.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "classify/rule_program.h"
#include "message/email_msg.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

class Sink : public IRuleResultSink {
 public:
  void HandleTestResult(bool outcome, std::uint16_t rule) override {
    Outcomes.emplace_back(rule, outcome);
  }
  void AddRuleNote(std::uint16_t, const std::string&) override {}
  std::vector<std::pair<std::uint16_t, bool>> Outcomes;
};

std::vector<std::pair<std::uint16_t, bool>> Run(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  Sink sink;
  TPcreRegExpr matcher;
  TRuleProgramRun run;
  run.Clock = [] { return std::int64_t{0}; };
  try {
    Check(RunRuleProgram(*msg, sink, matcher, run) == TRuleProgramEnd::Finished);
  } catch (const std::exception&) {
    // A part measure or header read that fails leaves the program; the
    // caller reports it.
  }
  return sink.Outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 200000) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const auto first = Run(bytes);
  Check(Run(bytes) == first);
  for (const auto& [rule, outcome] : first) {
    Check(rule < kRuleCount);
    Check(rule != 432 && rule != 473 && rule != 491);
  }
  return 0;
}
