// The HTML check: what each kind of active or remote content gives, the
// searched text against the patterns the searches stand for, the result
// code and network inputs, the report, the description and the section.
#include "classify/html_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classify/html_check_scans.h"
#include "classify/simple_tests_support.h"
#include "classify/test_factory.h"
#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/text/list_helpers.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MessageFromBytes;
using test::StandardTrite;

constexpr std::int32_t kOwnNumber = 800;

TEmailMsgRef Html(const std::string& html) {
  return MessageFromBytes("From: a@example.org\r\nSubject: s\r\nContent-Type: text/html\r\n\r\n" +
                          html + "\r\n");
}

std::shared_ptr<THTMLCheck> Check() {
  auto test = std::make_shared<THTMLCheck>();
  test->SetName("HC");
  test->SetStandardTestNum(kOwnNumber);
  return test;
}

Lines GeneralInfo(TEmailMsg& msg) {
  TCriticalSectionGuard guard(msg.MessageLock());
  Lines lines;
  for (int i = 0; i < msg.GeneralInfo().Count(); ++i) lines.push_back(msg.GeneralInfo()[i]);
  return lines;
}

std::string Figures(const THTMLCheck::TFindings& f) {
  return std::to_string(f.ExternalRefsCount) + " " + std::to_string(f.ExternalImageRefsCount) +
         " " + std::to_string(f.ExternalObjects) + " " + std::to_string(f.ExternalFrames) + " " +
         std::to_string(f.ScriptsFound) + " " + std::to_string(f.FoundHtml);
}

TEST(HtmlCheck, WhatEachKindOfContentGives) {
  struct Row {
    std::string name, html;
    bool result;
    std::string figures;  // ER EI EO EF SF FH
    int score;
    Lines explanation;  // after the headline, each at level 9
    Lines report;       // the message's GeneralInfo
    std::vector<std::pair<std::int32_t, TTrite>> trites;
  } rows[] = {
      {"plain", "", false, "0 0 0 0 0 0", 0, {}, {}, {{TESTNUM_META_REFRESH, kTriteUnknown}}},
      {"quiet HTML", "<p>Hello</p>", false, "0 0 0 0 0 1", 0, {}, {},
       {{TESTNUM_META_REFRESH, kTriteNo}, {TESTNUM_SCRIPTS, kTriteNo}, {TESTNUM_ON_X_EVENT, kTriteNo},
        {TESTNUM_EXTERNAL_IMAGE_REF, kTriteNo}, {TESTNUM_LINK_EXT_REF, kTriteNo}}},
      {"refresh", "<META  HTTP-EQUIV=\"Refresh\" CONTENT=\"0; url=http://x.example/\">", true,
       "0 0 0 0 1 1", 100, {},
       {"<br>100 danger points added to email due to HTML Meta refresh. (Email contents to be "
        "automatically downloaded from another server)"},
       {{TESTNUM_META_REFRESH, kTriteYes}}},
      {"event", "<a href=\"x\" onClick=\"go()\">x</a>", true, "0 0 0 0 1 1", 40, {},
       {"<br>40 danger points added to email due to HTML event script"},
       {{TESTNUM_ON_X_EVENT, kTriteYes}, {TESTNUM_SCRIPTS, kTriteNo}}},
      {"script type", "<meta http-equiv=\"Content-Script-Type\" content=\"text/javascript\">",
       true, "0 0 0 0 1 1", 30, {}, {"<br>30 danger points added to email due to HTML event script"},
       {{TESTNUM_ON_X_EVENT, kTriteYes}}},
      {"script", "<script>alert(1)</script>", true, "0 0 0 0 1 1", 40,
       {"Script found in email.", "40 danger points added to email due to HTML script"}, {},
       {{TESTNUM_SCRIPTS, kTriteYes}}},
      {"script link", "<a href=\"javascript:go()\">x</a>", true, "0 0 0 0 1 1", 40,
       {"Script found in email.", "40 danger points added to email due to HTML script"}, {},
       {{TESTNUM_SCRIPTS, kTriteYes}}},
      {"two images", "<img src=\"http://a.example/1.gif\"><img src=\"http://a.example/2.gif\">",
       true, "2 2 0 0 0 1", 5,
       {"5 danger points added to email due to HTML external references",
        "2 references to external image found in email."},
       {},
       {{TESTNUM_EXTERNAL_IMAGE_REF, kTriteYes}, {TESTNUM_EXTERNAL_OBJ_REF, kTriteNo}}},
      {"background", "<body background=\"http://a.example/bg.gif\">", true, "1 1 0 0 0 1", 5,
       {"References to external background image found in email.",
        "5 danger points added to email due to HTML external reference for backgroud image",
        "1 references to external image found in email."},
       {},
       {{728, kTriteYes}}},
      {"link", "<link rel=\"stylesheet\" href=\"http://a.example/s.css\">", true, "1 0 0 0 0 1",
       10, {"1 references to non-image external elements found in email."},
       {"<br>10 danger points added to email due to external \"link\" reference. (Email content "
        "to be automatically downloaded from another server)"},
       {{TESTNUM_LINK_EXT_REF, kTriteYes}}},
      {"object", "<object data=\"x.swf\"></object>", true, "1 0 1 0 0 1", 90,
       {"Imbedded object found in email.",
        "90 danger points added to email due to HTML imbedded objects",
        "1 references to non-image external elements found in email."},
       {},
       {{732, kTriteYes}}},
      {"frameset", "<frameset cols=\"50%,50%\"><frame src=\"a.html\"></frameset>", true,
       "1 0 0 1 0 1", 90,
       {"Inline frame found in email.", "90 danger points added to email due to HTML imbedded frame",
        "1 references to non-image external elements found in email."},
       {},
       {{733, kTriteYes}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto test = Check();
    const TEmailMsgRef msg =
        row.html.empty() ? MessageFromBytes("From: a@example.org\r\nSubject: s\r\n\r\nplain\r\n")
                         : Html(row.html);
    EXPECT_EQ(test->Evaluate(*msg, nullptr), row.result);
    EXPECT_EQ(Figures(test->Findings()), row.figures);
    EXPECT_EQ(msg->GetScore(), row.score);
    Lines expected{std::string("9 ") + (row.explanation.empty() ? "" : "<br>") + "email " +
                   (row.result ? "passed" : "failed") + " HTML check test \"HC\".<br>"};
    for (const std::string& line : row.explanation) expected.push_back("9 <br>" + line);
    EXPECT_EQ(ExplanationLines(*test), expected);
    EXPECT_EQ(GeneralInfo(*msg), row.report);
    EXPECT_EQ(StandardTrite(*msg, kOwnNumber), TriteFromBool(row.result));
    for (const auto& [number, trite] : row.trites)
      EXPECT_EQ(StandardTrite(*msg, number), trite) << number;
  }
}

TEST(HtmlCheck, SwitchesDecideWhatIsLookedFor) {
  // All switches off: any HTML passes, nothing is searched.
  auto test = Check();
  for (int i = 0; i < THTMLCheck::kSwitchCount; ++i)
    test->SetSwitch(static_cast<THTMLCheck::TSwitch>(i), false);
  EXPECT_TRUE(test->ChecksNothing());
  EXPECT_EQ(test->Describe(), "email contains any inline HTML.  i.e. email is a web page..");
  const TEmailMsgRef refresh = Html("<meta http-equiv=refresh content=0>");
  EXPECT_TRUE(test->Evaluate(*refresh, nullptr));
  EXPECT_EQ(refresh->GetScore(), 0);
  EXPECT_EQ(StandardTrite(*refresh, TESTNUM_META_REFRESH), kTriteUnknown);
  EXPECT_FALSE(test->Evaluate(*MessageFromBytes("Subject: s\r\n\r\nplain\r\n"), nullptr));

  // Objects and frames alone: still nothing that the editor's switches check.
  test->SetSwitch(THTMLCheck::swImbeddedObjects, true);
  test->SetSwitch(THTMLCheck::swIFrames, true);
  EXPECT_TRUE(test->ChecksNothing());
  EXPECT_EQ(test->Describe(),
            "email is HTML and contains imbedded objects or inline frames.");

  // A script block without a language: only the switches together find it.
  const std::string block = "<script>go()</script>";
  test->SetSwitch(THTMLCheck::swVBS, true);
  EXPECT_FALSE(test->ChecksNothing());
  EXPECT_FALSE(test->Evaluate(*Html(block), nullptr));
  EXPECT_TRUE(test->Evaluate(*Html("<script language=\"VBScript\">x</script>"), nullptr));
  EXPECT_EQ(ExplanationLines(*test)[1], "9 <br>Visual Basic Script found in email.");
  for (const auto which : {THTMLCheck::swJavaScript, THTMLCheck::swPerlScript,
                           THTMLCheck::swWmlScript})
    test->SetSwitch(which, true);
  EXPECT_TRUE(test->Evaluate(*Html(block), nullptr));
  EXPECT_EQ(ExplanationLines(*test)[1], "9 <br>Script found in email.");

  const auto all = Check();
  EXPECT_EQ(all->Describe(),
            "email is HTML and contains Java Script or Visual Basic Script or Perl Script or "
            "Wireless Application Protocol Script or references to external elements such as "
            "images or imbedded objects or inline frames.");
  THTMLCheck nameless;
  EXPECT_EQ(nameless.Describe().substr(0, 62),
            "This Test IS INCOMPLETE/INVALID because the Test has no name.\r");
  EXPECT_FALSE(nameless.Evaluate(*Html(block), nullptr));
  EXPECT_EQ(ExplanationLines(nameless), Lines{"9 <br>Test is invalid because the Test has no name."});
}

TEST(HtmlCheck, ResultCodeInputsAndReport) {
  const auto test = Check();
  const TEmailMsgRef msg =
      Html("<link href=x.css><img src=\"http://a.example/1.gif\"><iframe src=a></iframe>");
  EXPECT_TRUE(test->Evaluate(*msg, nullptr));
  const std::string code = test->GetResultCode(msg->GetContentId());
  EXPECT_EQ(code, "Pa=y,ER=3,EI=1,EO=0,EF=1,SF=0,FH=1");
  EXPECT_EQ(test->GetResultCode(msg->GetContentId() + 1), "");
  EXPECT_EQ(test->BuildNNInputs(code), (TVectorFloat{1, 1, 0, 1, 0, 1}));
  EXPECT_EQ(test->BuildNNInputs("Pa=n,ER=2,EI=2,SF=x"), (TVectorFloat{0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(test->BuildNNInputs(""), TVectorFloat(6, 0.0));

  TSimpleHtml html;
  EXPECT_TRUE(test->ShowCategoryProbabilities(code, html));
  Lines lines;
  for (int i = 0; i < html.Count(); ++i) lines.push_back(html[i]);
  // A network without training scores 0.5; the "~" columns are aligned.
  EXPECT_EQ(lines, (Lines{"<br><font face=\"Courier New\">", "<pre>",
                          "<br>THTMLCheck NN (Output = 0.5)", "PatternCount = 0",
                          "EpochCurrent = 0", "EpochCount = 10000", "TeachError = 0",
                          "IdentError = 0", "MaxTeachResidual = 0", "MidTeachResidual = 0",
                          "RecognizedTeachCount = 0", "Test                    Value  Weight",
                          "ExternalRefsCount       1      0", "ExternalImageRefsCount  1      0",
                          "ExternalObjects         0      0", "ExternalFrames          1      0",
                          "ScriptsFound            0      0", "FoundHtml               1      0",
                          "</pre>", "<br></font>"}));

  // The section keeps each switch; a reset zeroes every weight.
  test->SetSwitch(THTMLCheck::swVBS, false);
  test->SetSwitch(THTMLCheck::swIFrames, false);
  TQuorIniFile ini("", true);
  test->SaveToIni(ini);
  const std::string saved = ini.SaveToStream();
  EXPECT_NE(saved.find("CheckJavaScript=1\r\nCheckVBS=0\r\nCheckPerlScript=1\r\n"
                       "Checkwmlscript=1\r\nCheckExternalRefs=1\r\nCheckImbeddedObjects=1\r\n"
                       "CheckIFrames=0\r\n"),
            std::string::npos)
      << saved;
  const auto loaded = CreateTestFromClassName("THTMLCheck");
  loaded->SetName("HC");
  loaded->LoadFromIni(ini);
  TQuorIniFile again("", true);
  loaded->SaveToIni(again);
  EXPECT_EQ(again.SaveToStream(), saved);
  test->Net().SetInputWeight(0, 0, 0.5);
  EXPECT_NE(test->Net().AverageInputWeight(0, 0), 0.0);
  test->ResetStats();
  EXPECT_EQ(test->Net().AverageInputWeight(0, 0), 0.0);
}

// The searches answer what the patterns they stand for answer through the
// regular-expression engine, on texts the engine can still take.
TEST(HtmlCheck, SearchesAnswerAsTheirPatterns) {
  const std::string events =
      "onclick|ondblclick|onmousedown|onmouseup|onmouseover|onmousemove|onmouseout|onkeypress|"
      "onkeydown|onkeyup|onfocus|onblur|onsubmit|onload|onabort|onchange|ondragdrop|onerror|"
      "onmove|onreset|onresize|onselect|onunload";
  const std::string scripts = "jscript|javascript|vbs|vbscript|perlscript|wmlscript";
  const std::vector<std::string> texts = {
      "", "<", "<>", "<aonclick:x>", "<aonclick=x>", "<a>onclick:x>", "<aonclick:", "<a<bonclick:>",
      "<imgonload:>", "<aonloadx:>", "<aonload:\n>", "<avbscript:go>", "<avbs:>",
      "<ahref=javascript:go()>", "javascript:<a>", std::string("<a\0onerror:>", 12), "<aonclick:>>",
      "x<y<zonmove:q>r", "<<<<onblur:", "<abc>def<onabort:>",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(HtmlTagHasWordThen(text, kHtmlScriptWords, ":"),
              !RegExFirstMatch("<[^>]*(" + scripts + "):.*?>", text, 12).empty());
    EXPECT_EQ(HtmlHasEventHandler(text),
              !RegExFirstMatch("<[^>]*(" + events + ")[:=].*?>", text, 12).empty());
  }
  // The searched text: tags only, lower case, without blanks and quotes.
  TStringList lines;
  lines.SetText("<A HREF=\"x\" onClick=\"go()\">Text</A>\r\n<P>more");
  EXPECT_EQ(HtmlCheckText(lines), "<ahref=xonclick=go()></a><p>");
}

// Text on which the patterns backtrack past the engine's limit is judged.
TEST(HtmlCheck, HostileHtmlIsJudged) {
  std::string html;
  for (int i = 0; i < 5000; ++i) html += "a < b\r\n";
  TStringList lines;
  lines.SetText(html);
  const std::string text = HtmlCheckText(lines);
  EXPECT_THROW(RegExFirstMatch("<[^>]*(onclick|onload)[:=].*?>", text, 12), ERegExpr);
  const auto test = Check();
  const TEmailMsgRef msg = Html(html + "<a onclick=x>y</a>");
  bool result = false;
  EXPECT_NO_THROW(result = test->Evaluate(*msg, nullptr));
  EXPECT_TRUE(result);
}

}  // namespace
}  // namespace halvorn
