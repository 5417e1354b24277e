// The rule program over the mail corpus (a fixed sample; every message with
// HALVORN_FULL_CORPUS set), under the sanitizers of the test build: no
// error escapes it, and on the texts of every area the engine decides each
// place as outside engines do: Perl the full patterns (with the rule's i, s
// and m), Python's re on bytes the plain ones. Matches the engine gives up on
// (its match limit) are listed, not counted as differences.
#include <gtest/gtest.h>

#include <fstream>
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


// Hostile messages: deep nesting of parts, a header line of a megabyte, NUL
// bytes in header and body, a part without its closing boundary.
TEST(RuleProgramCorpus, HostileMessages) {
  std::string nested = "From: a@b.example\r\nSubject: nest\r\n";
  for (int i = 0; i < 200; ++i)
    nested += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) +
              "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
  nested += "Content-Type: text/html\r\n\r\n<SCRIPT>x</SCRIPT>\r\n";
  const std::string longLine =
      "From: a@b.example\r\nTo: " + std::string(1 << 20, 'x') + "@y.example\r\nSubject: " +
      std::string(1 << 20, ' ') + "!\r\n\r\nbody\r\n";
  using namespace std::string_literals;
  const std::string nuls =
      "From: a\0@b.example\r\nSubject: n\0ul\r\nContent-Type: text/plain\r\n\r\nFREE\0 money\r\n"s;
  const std::string open =
      "From: a@b.example\r\nContent-Type: multipart/alternative; boundary=q\r\n\r\n--q\r\n"
      "Content-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\nPGJvZHk+!!!";
  std::string recipients = "To: ";
  for (int i = 0; i < 3000; ++i) recipients += "user" + std::to_string(i) + "@host.example, ";
  const std::string many = "From: a@b.example\r\n" + recipients + "\r\n\r\nbody\r\n";
  for (const std::string* bytes :
       std::vector<const std::string*>{&nested, &longLine, &nuls, &open, &many}) {
    TEmailMsgRef msg = test::Message(*bytes);
    test::RecordingSink sink;
    TPcreRegExpr matcher;
    try {
      EXPECT_EQ(RunRuleProgram(*msg, sink, matcher, test::FrozenClock()),
                TRuleProgramEnd::Finished);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "escaped: " << e.what();
    }
    EXPECT_GT(sink.Outcomes.size(), 500u);
  }
}

// Each rule's firing share in the training groups (easy-ham-1, spam-1),
// written to rule_firing_shares.txt in the build folder: a sample of them by
// default, all with HALVORN_FULL_CORPUS. No rule with positive points fires
// on more than half of the ham, none with negative points on more than half
// of the spam.
TEST(RuleProgramCorpus, FiringSharesInTheTrainingGroups) {
  std::vector<std::string> ham, spam;
  for (const std::string& file : test::CorpusSample(std::getenv("HALVORN_FULL_CORPUS") ? 1 : 5)) {
    if (file.find("/easy-ham-1/") != std::string::npos) ham.push_back(file);
    if (file.find("/spam-1/") != std::string::npos) spam.push_back(file);
  }
  if (ham.empty() || spam.empty()) GTEST_SKIP() << "no mail corpus";
  auto shares = [](const std::vector<std::string>& files) {
    std::vector<double> fired(kRuleCount, 0);
    TPcreRegExpr matcher;
    for (const std::string& file : files) {
      TEmailMsgRef msg = test::Message(test::CorpusMessageBytes(file));
      test::RecordingSink sink;
      RunRuleProgram(*msg, sink, matcher, test::FrozenClock());
      for (int rule : sink.Fired()) fired[static_cast<std::size_t>(rule)] += 1;
    }
    for (double& share : fired) share /= static_cast<double>(files.size());
    return fired;
  };
  const std::vector<double> inHam = shares(ham), inSpam = shares(spam);
  std::ofstream report("rule_firing_shares.txt");
  report << "# rule name points ham-share spam-share (" << ham.size() << " ham, " << spam.size()
         << " spam)\n";
  for (int rule = 0; rule < kRuleCount; ++rule) {
    const auto r = static_cast<std::size_t>(rule);
    const double points = GetSATestScore(static_cast<std::uint16_t>(rule));
    report << rule << ' ' << GetSATestName(static_cast<std::uint16_t>(rule)) << ' ' << points
           << ' ' << inHam[r] << ' ' << inSpam[r] << (points > 0 && inHam[r] > inSpam[r] ? " more-in-ham" : "") << '\n';
    if (points > 0) {
      EXPECT_LE(inHam[r], 0.5) << rule;
    }
    if (points < 0) {
      EXPECT_LE(inSpam[r], 0.5) << rule;
    }
  }
}

}  // namespace
}  // namespace halvorn
