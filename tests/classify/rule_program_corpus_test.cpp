// The rule program over the mail corpus (a fixed sample; every message with
// HALVORN_FULL_CORPUS set), under the sanitizers of the test build: no
// error escapes it, and on the texts of every area the engine decides each
// place as outside engines do: Perl the full patterns (with the rule's i, s
// and m), Python's re on bytes the plain ones. Matches the engine gives up on
// (its match limit) are listed, not counted as differences.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "rule_program_support.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

struct AreaText {
  TRuleArea Area;
  std::string Text;
};

// The texts the program's listed areas read.
std::vector<AreaText> AreaTexts(TEmailMsg& msg) {
  std::vector<AreaText> texts;
  auto lines = [&](TRuleArea area, auto fetch) {
    TStringList list;
    try {
      fetch(list);
    } catch (const std::exception&) {
      list.Clear();
    }
    texts.push_back({area, list.Text()});
  };
  lines(TRuleArea::Header, [&](TStringList& l) {
    if (TEmailHeader* header = msg.GetHeader()) header->WriteTo(l);
  });
  std::string plain;
  try {
    msg.GetVeryPlainText(plain, true);
  } catch (const std::exception&) {
  }
  texts.push_back({TRuleArea::PlainText, plain});
  lines(TRuleArea::PlainText2, [&](TStringList& l) { msg.GetPlainText(l, false); });
  lines(TRuleArea::RawText, [&](TStringList& l) { msg.GetAllDecodedText(l); });
  lines(TRuleArea::RawHtml, [&](TStringList& l) { msg.GetDecodedHtml(l); });
  return texts;
}

struct Oracle {
  std::vector<const TRulePlace*> Places;
  std::string Input;  // the patterns, then the texts
  std::vector<std::string> Engine;  // per text: 1, 0 or L (the engine gave up)
};

TEST(RuleProgramCorpus, EngineAgreesWithPerlAndPythonAndNothingEscapes) {
  const std::vector<std::string> files = test::CorpusSample(50);
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  std::map<TRuleArea, Oracle> full, plain;
  for (const TRulePlace& place : RuleProgramPlaces()) {
    if (place.Text.empty() || place.Area == TRuleArea::Tag) continue;
    if (place.Kind != TPlaceKind::Full && place.Kind != TPlaceKind::Plain) continue;
    Oracle& oracle = (place.Kind == TPlaceKind::Full ? full : plain)[place.Area];
    oracle.Places.push_back(&place);
    oracle.Input += "P " + test::HexOf(place.Parsed.Expression) + " " + place.Parsed.Modifiers + "\n";
  }

  TPcreRegExpr matcher;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    TEmailMsgRef msg = test::Message(test::CorpusMessageBytes(file));
    {
      test::RecordingSink sink;
      TRuleProgramRun run = test::FrozenClock();
      try {
        RunRuleProgram(*msg, sink, matcher, run);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "escaped: " << e.what();
      }
    }
    for (const AreaText& area : AreaTexts(*msg)) {
      for (auto* oracles : {&full, &plain}) {
        auto found = oracles->find(area.Area);
        if (found == oracles->end()) continue;
        Oracle& oracle = found->second;
        oracle.Input += "T " + test::HexOf(area.Text) + "\n";
        std::string decided;
        TPlainSubject subject(area.Text);
        for (const TRulePlace* place : oracle.Places) {
          TSARule yes = place->Parsed, no = place->Parsed;
          if (place->Kind == TPlaceKind::Plain) {
            yes.NegatedPlain = false;
            decided += SearchSARule(yes, subject) ? '1' : '0';
            continue;
          }
          yes.NegatedFull = false;
          no.NegatedFull = true;
          const bool match = MatchSARule(yes, area.Text, matcher);
          const bool miss = MatchSARule(no, area.Text, matcher);
          decided += match == miss ? 'L' : (match ? '1' : '0');
        }
        oracle.Engine.push_back(decided);
      }
    }
  }

  std::vector<std::string> limits;
  std::size_t compared = 0, fired = 0, unread = 0;
  auto compare = [&](std::map<TRuleArea, Oracle>& oracles, const std::vector<std::string>& argv) {
    for (auto& [area, oracle] : oracles) {
      const test::CommandResult result = test::RunCommand(argv, oracle.Input, 300000);
      ASSERT_EQ(result.ExitCode, 0) << result.Output;
      const std::vector<std::string> lines = test::OutputLines(result.Output);
      ASSERT_EQ(lines.size(), oracle.Engine.size());
      for (std::size_t t = 0; t < lines.size(); ++t) {
        for (std::size_t p = 0; p < oracle.Places.size(); ++p) {
          const char engine = oracle.Engine[t][p];
          const char outside = lines[t][p];
          const std::string where = std::string(RuleAreaName(area)) + " rule " +
                                    std::to_string(oracle.Places[p]->Rule) + " text " +
                                    std::to_string(t);
          if (engine == 'L') {
            limits.push_back(where);
            continue;
          }
          if (outside == 'E') {
            ++unread;  // read differently by Perl (m{...})
            continue;
          }
          ++compared;
          fired += engine == '1';
          EXPECT_EQ(engine, outside) << where << ": " << oracle.Places[p]->Text;
        }
      }
    }
  };
  compare(full, {"perl", test::DataPath("rule_oracle.pl")});
  compare(plain, {test::PythonPath(), test::DataPath("rule_plain_oracle.py")});
  for (const std::string& limit : limits) std::printf("match limit: %s\n", limit.c_str());
  std::printf("%zu messages, %zu decisions compared (%zu matches), %zu not read by Perl\n",
              files.size(), compared, fired, unread);
  EXPECT_GT(fired, 0u);
}

}  // namespace
}  // namespace halvorn
