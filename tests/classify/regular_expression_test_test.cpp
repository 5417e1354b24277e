// The regular-expression test: against Python's re over the corpus (the same
// areas, the quantifiers made lazy in Python as modifier g off makes them
// here), its explanations, invalid patterns, a runaway pattern, its words and
// the storage of expressions typed over several lines.
#include "classify/regular_expression_test.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "message/email_msg_views.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MessageFromBytes;

std::unique_ptr<TRegularExpressionTest> MakeRegex(const std::string& expression, std::uint8_t area,
                                                  const std::string& modifiers) {
  auto test = std::make_unique<TRegularExpressionTest>();
  test->SetName("Pattern");
  test->SetExpression(expression);
  test->SetArea(area);
  test->SetModifierI(modifiers.find('i') != std::string::npos);
  test->SetModifierS(modifiers.find('s') != std::string::npos);
  test->SetModifierM(modifiers.find('m') != std::string::npos);
  test->SetModifierX(modifiers.find('x') != std::string::npos);
  return test;
}

// What a judgement says it matched: the text between "  matched " and
// " in " + the area's name on its last line; "-" when nothing matched.
std::string MatchOf(const TTest& test, std::uint8_t area) {
  const TSimpleHtml lines = test.Explanation();
  const std::string last = lines[lines.Count() - 1];
  const std::string start = "<br>  matched ";
  const std::string end = " in " + MessageAreaName(area);
  if (last.rfind(start, 0) != 0 || last.size() < start.size() + end.size()) return "?" + last;
  const std::string match = last.substr(start.size(), last.size() - start.size() - end.size());
  return match == "no text" ? "-" : match;
}

// Our pattern, the same pattern for Python with every quantifier lazy, and
// the modifier sets it runs under.
struct TPattern {
  const char* Ours;
  const char* Python;
  std::vector<const char*> Modifiers;
};

const TPattern kPatterns[] = {
    {"free", "free", {"i", ""}},
    {"^From:.*", "^From:.*?", {"m", "im"}},
    {"[a-z0-9._%-]+@[a-z0-9.-]+\\.[a-z]+", "[a-z0-9._%-]+?@[a-z0-9.-]+?\\.[a-z]+?", {"i", ""}},
    {"http://[^\\s\"<>]+", "http://[^\\s\"<>]+?", {"i", "m"}},
    {"(viagra|mortgage|lottery|winner)", "(viagra|mortgage|lottery|winner)", {"i", ""}},
    {"^Received: from \\S+", "^Received: from \\S+?", {"m", "im"}},
    {"\\d{3}-\\d{4}", "\\d{3}-\\d{4}", {""}},
    {"click\\s+here", "click\\s+?here", {"i", "is"}},
    {"remove.*list", "remove.*?list", {"is", "i"}},
    {"^[A-Z][a-z]+-[A-Z][a-z]+:\\s*\\w+", "^[A-Z][a-z]+?-[A-Z][a-z]+?:\\s*?\\w+?", {"m", "ims"}},
    {"free \\s+ (money|offer) # what they give",
     "free \\s+? (money|offer) # what they give",
     {"ix", "x"}},
};

// Python's side: each file split at its first empty line (lines split at CR
// LF, CR and LF, as the message reads them), the area's lines each followed
// by CR LF, searched with re.
const char* const kPythonSearch = R"PY(
import re, sys
patterns = []
for line in sys.argv[1:]:
    pattern, mods = line.split('\x01')
    flags = re.A
    for m, f in (('i', re.I), ('m', re.M), ('s', re.S), ('x', re.X)):
        if m in mods:
            flags |= f
    patterns.append(re.compile(pattern, flags))
for path in sys.stdin.read().split('\n'):
    if not path:
        continue
    data = open(path, 'rb').read()
    if data.startswith(b'From '):
        data = data[data.find(b'\n') + 1:]
    lines = re.split(r'\r\n|\r|\n', data.decode('latin-1'))
    if lines and lines[-1] == '':
        lines.pop()
    empty = lines.index('') if '' in lines else len(lines)
    # The header area is the header as the message writes it: a value that
    # begins with a fold starts on its field's line.
    header = []
    for line in lines[:empty]:
        if header and line[:1] in (' ', '\t') and re.fullmatch(r'[^:\s]+:\s*', header[-1]):
            header[-1] = header[-1].split(':')[0] + ': ' + line.lstrip(' \t')
        else:
            header.append(line)
    areas = [lines, header, lines[empty + 1:]]
    texts = [''.join(l + '\r\n' for l in area) for area in areas]
    out = []
    for p in patterns:
        for text in texts:
            m = p.search(text) if text else None
            out.append(m.group(0).encode('latin-1').hex() if m else '-')
    print(path + ' ' + ' '.join(out))
)PY";

// Every 40th corpus message by default (51 searches each).
TEST(RegularExpressionTest, AgreesWithPythonOverTheCorpus) {
  const std::vector<std::string> files = test::CorpusSample(40);
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  std::vector<std::string> argv = {test::PythonPath(), "-c", kPythonSearch};
  struct TRun {
    const TPattern* Pattern;
    std::string Modifiers;
  };
  std::vector<TRun> runs;
  for (const TPattern& pattern : kPatterns) {
    for (const char* modifiers : pattern.Modifiers) {
      runs.push_back({&pattern, modifiers});
      argv.push_back(std::string(pattern.Python) + '\x01' + modifiers);
    }
  }
  std::string paths;
  for (const std::string& file : files) paths += file + "\n";
  const test::CommandResult python = test::RunCommand(argv, paths);
  ASSERT_EQ(python.ExitCode, 0) << python.Output;
  int compared = 0;
  int matched = 0;
  for (const std::string& line : test::OutputLines(python.Output)) {
    std::vector<std::string> fields;
    for (std::size_t start = 0; start <= line.size();) {
      const std::size_t blank = std::min(line.find(' ', start), line.size());
      fields.push_back(line.substr(start, blank - start));
      start = blank + 1;
    }
    ASSERT_EQ(fields.size(), 1 + runs.size() * 3) << line;
    // Areas 0 and 2 are read from the message's lines while it is not
    // parsed; a parsed message writes its body from its parts, without the
    // text after the last boundary that Python's split keeps. Area 1 parses.
    const std::string bytes = test::CorpusMessageBytes(fields[0]);
    TEmailMsgRef unparsed = MessageFromBytes(bytes);
    TEmailMsgRef parsed = MessageFromBytes(bytes);
    for (const std::uint8_t area : {0, 2, 1}) {
      TEmailMsgRef msg = area == maHeaderOnly ? parsed : unparsed;
      for (std::size_t r = 0; r < runs.size(); ++r) {
        SCOPED_TRACE(fields[0] + " /" + runs[r].Pattern->Ours + "/" + runs[r].Modifiers + " area " +
                     std::to_string(area));
        // A fresh test each time: a test judges a message once.
        auto test = MakeRegex(runs[r].Pattern->Ours, area, runs[r].Modifiers);
        const std::string& theirs = fields[1 + r * 3 + area];
        const bool found = test->Evaluate(*msg, nullptr);
        EXPECT_EQ(found, theirs != "-");
        if (found && theirs != "-") {
          EXPECT_EQ(test::HexOf(MatchOf(*test, area)), theirs);
          ++matched;
        }
        ++compared;
      }
    }
  }
  EXPECT_EQ(compared, static_cast<int>(files.size() * runs.size() * 3));
  EXPECT_GT(matched, compared / 10);
}

TEST(RegularExpressionTest, ExplainsWhatItMatched) {
  const std::string kMessage =
      "From: a@example.org\r\nSubject: Cheap OFFER\r\n\r\nBig OFFER now: a1b2b\r\n";
  struct Row {
    const char* Expression;
    std::uint8_t Area;
    const char* Modifiers;
    bool Result;
    Lines Explanation;
  } rows[] = {
      {"offer",
       maDecodedBodyText,
       "im",
       true,
       {"9 <br>email passed Regular Expresson Test: \"Pattern\".", "8 <br>Regular expression:",
        "8 <br>  offer", "8 <br>  matched OFFER in decoded body text"}},
      {"a.*b",
       maBodyUndecoded,
       "",
       true,
       {"9 <br>email passed Regular Expresson Test: \"Pattern\".", "8 <br>Regular expression:",
        "8 <br>  a.*b", "8 <br>  matched a1b in message body undecoded"}},
      {"^Subject:",
       maHeaderOnly,
       "m",
       true,
       {"9 <br>email passed Regular Expresson Test: \"Pattern\".", "8 <br>Regular expression:",
        "8 <br>  ^Subject:", "8 <br>  matched Subject: in message header only"}},
      {"^Subject:",
       maHeaderOnly,
       "",
       false,
       {"9 <br>email failed Regular Expresson Test: \"Pattern\".", "8 <br>Regular expression:",
        "8 <br>  ^Subject:", "8 <br>  matched no text in message header only"}},
      {"offer",
       maDecodedBodyHtml,
       "i",
       false,
       {"9 <br>email failed Regular Expresson Test: \"Pattern\".",
        "8 <br>No text found in decoded Body html"}},
      {"(offer",
       maWholeMessageUndecoded,
       "i",
       false,
       {"9 <br>email failed Regular Expresson Test: \"Pattern\".",
        "8 <br>Invalid regular expression:", "8 <br>  (offer",
        "8 <br>  in the regular expression given, ParseReg Unmatched () (pos 7)"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Expression);
    auto test = MakeRegex(row.Expression, row.Area, row.Modifiers);
    test->SetStandardTestNum(50);
    TEmailMsgRef msg = MessageFromBytes(kMessage);
    EXPECT_EQ(test->Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(*test), row.Explanation);
    // Every answer is cached, an invalid pattern's too.
    EXPECT_EQ(test->LastMsgKey(), msg->GetContentId());
    EXPECT_EQ(test::StandardTrite(*msg, 50), row.Result ? kTriteYes : kTriteNo);
  }
}

// A pattern that backtracks without end (a "b" stands after the run, so no
// quick scan rules the search out) ends in the engine's budget error,
// explained, judged false and cached.
TEST(RegularExpressionTest, ARunawayPatternEndsInAnError) {
  auto test = MakeRegex("(a+)+b", maWholeMessageUndecoded, "");
  TEmailMsgRef msg = MessageFromBytes("Subject: x\r\n\r\n" + std::string(1 << 20, 'a') + "cb\r\n");
  EXPECT_FALSE(test->Evaluate(*msg, nullptr));
  const Lines lines = ExplanationLines(*test);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "8 <br>Error encountered while evaluating regular expression:");
  EXPECT_EQ(test->LastMsgKey(), msg->GetContentId());
  EXPECT_FALSE(test->Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(*test), lines);
}

TEST(RegularExpressionTest, ValidateDescribeAndDefaults) {
  TRegularExpressionTest fresh;
  EXPECT_TRUE(fresh.ModifierI());
  EXPECT_FALSE(fresh.ModifierS());
  EXPECT_TRUE(fresh.ModifierM());
  EXPECT_FALSE(fresh.ModifierX());
  EXPECT_EQ(fresh.Area(), 0);
  EXPECT_EQ(fresh.GetTypeName(), "Regular Expression Test");
  EXPECT_EQ(fresh.GetNote(), "");
  const struct Row {
    const char* Expression;
    const char* Modifiers;
    std::uint8_t Area;
    const char* Reason;
    const char* Words;
  } rows[] = {
      {"  \r\n ", "", 0, "no regular expression given",
       "This Test IS INCOMPLETE/INVALID because no regular expression given."},
      {"a[b", "", 0, "in the regular expression given, Unmatched [] (pos 4)",
       "This Test IS INCOMPLETE/INVALID because in the regular expression given, Unmatched [] "
       "(pos 4)."},
      {"cheap", "", 6, "",
       "the regular expression:\r\n\"cheap\"\r\nmatches text found in the urls "
       "extracted from body"},
      // Under x a comment ends at the line break.
      {"a # (b\r\nc", "x", 9, "",
       "the regular expression:\r\n\"a # (b\r\nc\"\r\nmatches text "
       "found in the No area specified"},
      {"a # (b\r\nc", "", 1, "in the regular expression given, ParseReg Unmatched () (pos 10)",
       "This Test IS INCOMPLETE/INVALID because in the regular expression given, ParseReg "
       "Unmatched () (pos 10)."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Expression);
    auto test = MakeRegex(row.Expression, row.Area, row.Modifiers);
    EXPECT_EQ(test->Validate(), row.Reason);
    EXPECT_EQ(test->Describe(), row.Words);
  }
  // The verdict follows the settings: a modifier changed, judged anew.
  auto test = MakeRegex("a # (b\r\nc", maHeaderOnly, "x");
  EXPECT_EQ(test->Validate(), "");
  test->SetModifierX(false);
  EXPECT_NE(test->Validate(), "");
}

// An expression typed over several lines is stored as its lines too, and
// read back from them whole; a one-line expression writes no such line.
TEST(RegularExpressionTest, ExpressionsOverSeveralLinesKeepTheirLineBreaks) {
  const struct Row {
    const char* Expression;
    const char* Stored;
    const char* Lines;  // "ExpressionLines", empty for none
  } rows[] = {
      {"free # comment\r\n\\s+money", "free # comment  \\s+money", "\"free # comment\",\\s+money"},
      {"one line", "one line", ""},
      {"a\r\n\r\nb\r\n", "a    b  ", "a,,b"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Expression);
    auto test = MakeRegex(row.Expression, maBodyUndecoded, "ix");
    TQuorIniFile ini("");
    test->SaveToIni(ini);
    EXPECT_EQ(ini.ReadString("Test-Pattern", "Expression", "?"), row.Stored);
    EXPECT_EQ(ini.ReadString("Test-Pattern", "ExpressionLines", ""), row.Lines);
    TRegularExpressionTest loaded;
    loaded.SetName("Pattern");
    loaded.LoadFromIni(ini);
    // A last line break is not kept (the editor trims it away anyway).
    std::string expected = row.Expression;
    if (expected.size() >= 2 && expected.substr(expected.size() - 2) == "\r\n")
      expected.resize(expected.size() - 2);
    EXPECT_EQ(loaded.Expression(), expected);
    EXPECT_TRUE(loaded.ModifierX());
    EXPECT_EQ(loaded.Area(), maBodyUndecoded);
  }
  // Files of older versions have "Expression" alone.
  TQuorIniFile old("");
  old.LoadFromStream("[Test-Pattern]\r\nExpression=cheap  pills\r\nArea=259\r\nModifierI=0\r\n");
  TRegularExpressionTest loaded;
  loaded.SetName("Pattern");
  loaded.LoadFromIni(old);
  EXPECT_EQ(loaded.Expression(), "cheap  pills");
  EXPECT_EQ(loaded.Area(), 3);
  EXPECT_FALSE(loaded.ModifierI());
  EXPECT_TRUE(loaded.ModifierM());
}

}  // namespace
}  // namespace halvorn
