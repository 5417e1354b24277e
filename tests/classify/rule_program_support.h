// What the rule program's tests share: a sink that records the outcomes in
// order, the fixture messages of tests/data/rule_program_fixtures.py (made
// with Python's email package) and runs with a frozen clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "classify/rule_program.h"
#include "message/email_msg.h"
#include "support/test_support.h"

namespace halvorn::test {

using Rules = std::set<int>;

struct Outcome {
  std::uint16_t Rule;
  bool Fired;
  bool operator==(const Outcome&) const = default;
};

class RecordingSink : public IRuleResultSink {
 public:
  void HandleTestResult(bool outcome, std::uint16_t rule) override {
    Outcomes.push_back({rule, outcome});
  }
  void AddRuleNote(std::uint16_t rule, const std::string& line) override {
    Notes.emplace_back(rule, line);
  }

  // The rules with at least one yes.
  Rules Fired() const {
    Rules fired;
    for (const Outcome& o : Outcomes)
      if (o.Fired) fired.insert(o.Rule);
    return fired;
  }
  Rules Reported() const {
    Rules reported;
    for (const Outcome& o : Outcomes) reported.insert(o.Rule);
    return reported;
  }

  std::vector<Outcome> Outcomes;
  std::vector<std::pair<std::uint16_t, std::string>> Notes;
};

inline const std::map<std::string, std::string>& RuleFixtureBytes() {
  static const std::map<std::string, std::string> fixtures = [] {
    std::map<std::string, std::string> made;
    const CommandResult result =
        RunCommand({PythonPath(), DataPath("rule_program_fixtures.py")});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    for (const std::string& line : OutputLines(result.Output)) {
      const std::size_t blank = line.find(' ');
      if (blank != std::string::npos)
        made[line.substr(0, blank)] = BytesFromHex(line.substr(blank + 1));
    }
    return made;
  }();
  return fixtures;
}

inline TEmailMsgRef Message(const std::string& bytes) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

inline TEmailMsgRef RuleFixture(const std::string& name) {
  const auto found = RuleFixtureBytes().find(name);
  EXPECT_NE(found, RuleFixtureBytes().end()) << name;
  return Message(found == RuleFixtureBytes().end() ? std::string() : found->second);
}

inline TRuleProgramRun FrozenClock() {
  TRuleProgramRun run;
  run.Clock = [] { return std::int64_t{1000}; };
  return run;
}

inline RecordingSink RunFixture(TEmailMsg& msg, const TRuleProgramRun& run = FrozenClock()) {
  RecordingSink sink;
  TPcreRegExpr matcher;
  EXPECT_EQ(RunRuleProgram(msg, sink, matcher, run), TRuleProgramEnd::Finished);
  return sink;
}

}  // namespace halvorn::test
