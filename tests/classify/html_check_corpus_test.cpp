// The HTML check over the corpus's HTML parts, against what Python's HTML
// parsers find in them (tests/data/html_features.py): each of the six
// figures equals what html5lib's tree holds, or differs by one of the rules
// below, and the count of parts each rule explains is printed. Over the
// whole corpus (1209 HTML parts) the tree agrees on every figure but 145:
// tags where the tree leaves them out, tags in comments and scripts, and
// the message model's reading of image references.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "classify/html_check.h"
#include "classify/simple_tests_support.h"
#include "message/email_msg_part.h"

namespace halvorn {
namespace {

struct Judged {
  std::string File;  // the message
  THTMLCheck::TFindings Findings;
  int ModelImages;  // the external image references the message model reads
};

// Python's three readings of one HTML part (tests/data/html_features.py).
struct Reading {
  int Scripts = 0, Events = 0, Refresh = 0, ScriptType = 0, Link = 0, Objects = 0, Frames = 0,
      Images = 0, Inputs = 0;
  bool ScriptsFound() const { return Scripts + Events + Refresh + ScriptType > 0; }
};

Reading operator+(const Reading& a, const Reading& b) {
  return {a.Scripts + b.Scripts, a.Events + b.Events, a.Refresh + b.Refresh,
          a.ScriptType + b.ScriptType, a.Link + b.Link, a.Objects + b.Objects,
          a.Frames + b.Frames, a.Images + b.Images, a.Inputs + b.Inputs};
}

std::istream& operator>>(std::istream& in, Reading& r) {
  std::string name;
  return in >> name >> r.Scripts >> r.Events >> r.Refresh >> r.ScriptType >> r.Link >> r.Objects >>
         r.Frames >> r.Images >> r.Inputs;
}

// The rules by which the check's figures may differ from what the HTML tree
// holds, each a reading of Python's that the figure then equals.
enum Rule { kAgrees, kEveryTag, kHiddenTags, kInputImages, kModelImages, kRuleCount };
const char* const kRuleNames[kRuleCount] = {
    "agrees with html5lib's tree",
    "tag lines only: every tag as written counts, also where the tree leaves it out (the "
    "fallback content of a frame, a repeated attribute, a misplaced tag)",
    "tag lines only, read as squeezed text: tags inside comments count, and script blocks are "
    "kept whole, so what a script writes counts",
    "image references as the message model reads them: an image input's address is found only "
    "when it follows type=image at once",
    "image references as the message model reads them (email_msg_html.h), in other cases: a "
    "stray quote before an address, a source in an attribute other than src",
};

// HTML parts of every fourth corpus message by default, every one with
// HALVORN_FULL_CORPUS.
TEST(HtmlCheckCorpus, FiguresAgreeWithPythonsParsersByNamedRules) {
  const std::vector<std::string> files = test::CorpusSample(4);
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  test::TempFolder folder;
  THTMLCheck check;
  check.SetName("HC");
  std::vector<Judged> judged;
  std::string input;
  for (const std::string& file : files) {
    const TEmailMsgRef msg = test::MessageFromBytes(test::CorpusMessageBytes(file));
    std::string html;
    TStringList locations;
    TStringList images;
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      TEmailMsgPart* plain = nullptr;
      TEmailMsgPart* part = nullptr;
      msg->GetTextParts(plain, part);
      if (part == nullptr) continue;
      TStringList lines;
      part->DecodeToStringList(lines, false);
      html = lines.Text();
      msg->GetContentLocations(locations);
      part->GetExtImageRefUrls(images);
    }
    check.Evaluate(*msg, nullptr);
    const std::string path = folder.Sub(std::to_string(judged.size()) + ".html");
    ASSERT_TRUE(test::WriteFileBytes(path, html));
    judged.push_back({file, check.Findings(), images.Count()});
    input += path;
    for (int i = 0; i < locations.Count(); ++i) input += "\t" + locations[i];
    input += "\n";
  }
  const test::CommandResult python =
      test::RunCommand({test::PythonPath(), test::DataPath("html_features.py")}, input);
  ASSERT_EQ(python.ExitCode, 0) << python.Output;
  const std::vector<std::string> lines = test::OutputLines(python.Output);
  ASSERT_EQ(lines.size(), judged.size());
  // Per figure, how many parts each rule explains.
  std::map<std::string, std::array<int, kRuleCount>> counts;
  for (std::size_t i = 0; i < judged.size(); ++i) {
    SCOPED_TRACE(judged[i].File);
    std::istringstream in(lines[i]);
    Reading tree, token, hidden;
    in >> tree >> token >> hidden;
    Reading withoutInputs = token + hidden;
    withoutInputs.Images -= withoutInputs.Inputs;
    Reading model = token;
    model.Images = judged[i].ModelImages;
    const Reading readings[kRuleCount] = {tree, token, token + hidden, withoutInputs, model};
    const THTMLCheck::TFindings& f = judged[i].Findings;
    EXPECT_EQ(f.FoundHtml, 1);
    const int link = f.ExternalRefsCount - f.ExternalImageRefsCount - f.ExternalObjects -
                     f.ExternalFrames;
    const std::pair<const char*, std::function<bool(const Reading&)>> figures[] = {
        {"ScriptsFound", [&](const Reading& r) { return (f.ScriptsFound == 1) == r.ScriptsFound(); }},
        {"ExternalObjects", [&](const Reading& r) { return (f.ExternalObjects == 1) == (r.Objects > 0); }},
        {"ExternalFrames", [&](const Reading& r) { return (f.ExternalFrames == 1) == (r.Frames > 0); }},
        {"ExternalImageRefsCount", [&](const Reading& r) { return f.ExternalImageRefsCount == r.Images; }},
        {"link of ExternalRefsCount", [&](const Reading& r) { return (link == 1) == (r.Link > 0); }},
    };
    for (const auto& [name, agrees] : figures) {
      int rule = 0;
      while (rule < kRuleCount && !agrees(readings[rule])) ++rule;
      if (rule == kRuleCount) {
        ADD_FAILURE() << name << " differs by no named rule: " << lines[i] << "; the check: SF "
                      << int(f.ScriptsFound) << " EO " << int(f.ExternalObjects) << " EF "
                      << int(f.ExternalFrames) << " EI " << f.ExternalImageRefsCount << " ER "
                      << f.ExternalRefsCount;
        continue;
      }
      ++counts[name][static_cast<std::size_t>(rule)];
    }
  }
  std::cout << judged.size() << " HTML parts\n";
  for (const auto& [name, byRule] : counts) {
    std::cout << name << ":";
    for (int rule = 0; rule < kRuleCount; ++rule) std::cout << " " << byRule[rule];
    std::cout << "\n";
  }
  for (int rule = 1; rule < kRuleCount; ++rule) std::cout << rule << ": " << kRuleNames[rule] << "\n";
  EXPECT_GT(judged.size(), 200u);
}

}  // namespace
}  // namespace halvorn
