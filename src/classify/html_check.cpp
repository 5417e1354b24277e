#include "classify/html_check.h"

#include <cstdio>
#include <utility>

#include "classify/html_check_scans.h"
#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "message/email_msg.h"
#include "message/email_msg_html.h"
#include "message/email_msg_part.h"

namespace halvorn {

namespace {

// Standard tests of this check without a name of their own.
constexpr std::int32_t kBackgroundImageTest = 728;
constexpr std::int32_t kInputOrStyleImageTest = 730;
constexpr std::int32_t kImbeddedObjectTest = 732;
constexpr std::int32_t kFrameTest = 733;

constexpr int kExplanationLevel = 9;
constexpr int kDangerLevel = 11;
constexpr int kHeadlineLevel = 10;
constexpr int kHtmlOnly = 1;
constexpr int kReportColumns = 185;

struct TSwitchText {
  const char* Key;
  const char* Sentence;
  const char* Short;
};

constexpr TSwitchText kSwitches[THTMLCheck::kSwitchCount] = {
    {"CheckJavaScript", "email is HTML and contains Java Script", ""},
    {"CheckVBS", "email is HTML and contains Visual Basic Script", " or Visual Basic Script"},
    {"CheckPerlScript", "email is HTML and contains Perl Script", " or Perl Script"},
    {"Checkwmlscript", "email is HTML and contains Wireless Markup Language Script",
     " or Wireless Application Protocol Script"},
    {"CheckExternalRefs",
     "email is HTML and contains references to external elements such as images",
     " or references to external elements such as images"},
    {"CheckImbeddedObjects", "email is HTML and contains imbedded objects",
     " or imbedded objects"},
    {"CheckIFrames", "email is HTML and contains inline frames", " or inline frames"},
};

const char* const kInputNames[] = {"ExternalRefsCount", "ExternalImageRefsCount",
                                   "ExternalObjects",   "ExternalFrames",
                                   "ScriptsFound",      "FoundHtml"};

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// A floating-point value in the shortest general form, up to 15 digits.
std::string FloatText(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  return buffer;
}

// What Evaluate reads of the message's HTML part, under the message's lock.
struct THtmlPart {
  bool Found = false;
  TStringList Decoded;
  TStringList Images;  // external image references, each Number its kind
};

THtmlPart ReadHtmlPart(TEmailMsg& msg, bool withImages) {
  THtmlPart part;
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  if (html == nullptr) return part;
  part.Found = true;
  html->DecodeToStringList(part.Decoded, false);
  if (withImages) html->GetExtImageRefUrls(part.Images);
  return part;
}

}  // namespace

const char* THTMLCheck::SwitchKey(TSwitch which) {
  return which >= 0 && which < kSwitchCount ? kSwitches[which].Key : "";
}

THTMLCheck::THTMLCheck()
    : TNNTest(6, "HTMLCheck NN",
              std::vector<std::string>(std::begin(kInputNames), std::end(kInputNames))) {
  for (bool& on : FSwitches) on = true;
}

bool THTMLCheck::Switch(TSwitch which) const {
  if (which < 0 || which >= kSwitchCount) return false;
  TCriticalSectionGuard guard(TestLock());
  return FSwitches[which];
}

void THTMLCheck::SetSwitch(TSwitch which, bool on) {
  if (which < 0 || which >= kSwitchCount) return;
  TCriticalSectionGuard guard(TestLock());
  FSwitches[which] = on;
}

THTMLCheck::TFindings THTMLCheck::Findings() const {
  TCriticalSectionGuard guard(TestLock());
  return FFindings;
}

bool THTMLCheck::ChecksNothing() const {
  TCriticalSectionGuard guard(TestLock());
  return !FSwitches[swJavaScript] && !FSwitches[swVBS] && !FSwitches[swPerlScript] &&
         !FSwitches[swWmlScript] && !FSwitches[swExternalRefs];
}

void THTMLCheck::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  const std::string section = SectionName();
  for (int i = 0; i < kSwitchCount; ++i)
    ini.WriteBool(section, kSwitches[i].Key, Switch(static_cast<TSwitch>(i)));
}

void THTMLCheck::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  const std::string section = SectionName();
  for (int i = 0; i < kSwitchCount; ++i) {
    bool on = false;
    if (ini.TryReadBool(section, kSwitches[i].Key, on)) SetSwitch(static_cast<TSwitch>(i), on);
  }
}

std::string THTMLCheck::Validate() {
  return Name().empty() ? std::string(kTestHasNoName) : std::string();
}

std::string THTMLCheck::Describe() {
  std::string text;
  for (int i = 0; i < kSwitchCount; ++i) {
    if (!Switch(static_cast<TSwitch>(i))) continue;
    text += text.empty() ? kSwitches[i].Sentence : kSwitches[i].Short;
  }
  if (text.empty()) text = "email contains any inline HTML.  i.e. email is a web page.";
  return DescriptionWithReason(Validate(), text + ".");
}

bool THTMLCheck::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  bool on[kSwitchCount];
  for (int i = 0; i < kSwitchCount; ++i) on[i] = Switch(static_cast<TSwitch>(i));
  const std::string name = Name();
  TFindings f;
  TSimpleHtml lines;
  TSimpleHtml danger;  // lines for the message's report
  auto explain = [&lines](const std::string& text) {
    lines.AddLine(text, kExplanationLevel, kHtmlKindAll, true);
  };
  auto explainDanger = [&lines](const std::string& text) {
    lines.AddLine(text, kDangerLevel, kHtmlOnly, true);
  };
  auto reportDanger = [&danger](const std::string& text) {
    danger.AddLine(text, kDangerLevel, kHtmlOnly, true);
  };
  auto yes = [&msg](std::int32_t number) { RecordStandardTestAt(msg, number, true); };
  auto noIfUnknown = [&msg](std::int32_t number) { RecordStandardTestNoIfUnknown(msg, number); };

  auto judge = [&] {
    bool anySwitch = false;
    for (const bool s : on) anySwitch = anySwitch || s;
    const THtmlPart part = ReadHtmlPart(msg, on[swExternalRefs]);
    if (!part.Found) return false;
    f.FoundHtml = 1;
    if (!anySwitch) return true;
    bool result = false;
    const std::string t = HtmlCheckText(part.Decoded);

    // A refresh fetches content from elsewhere as soon as the mail is shown.
    if (Contains(t, "<metahttp-equiv=refresh")) {
      result = true;
      f.ScriptsFound = 1;
      msg.AddScore("Refresh redirection of input", 100);
      yes(TESTNUM_META_REFRESH);
      reportDanger(
          "100 danger points added to email due to HTML Meta refresh. (Email contents to be "
          "automatically downloaded from another server)");
    } else {
      RecordStandardTestAt(msg, TESTNUM_META_REFRESH, false);
    }

    auto eventScript = [&](int points) {
      result = true;
      f.ScriptsFound = 1;
      msg.AddScore("event attribute", points);
      yes(TESTNUM_ON_X_EVENT);
      reportDanger(std::to_string(points) + " danger points added to email due to HTML event script");
    };
    if (HtmlHasEventHandler(t)) {
      eventScript(40);
    } else if (Contains(t, "<metahttp-equiv=content-script-type")) {
      eventScript(30);
    } else {
      noIfUnknown(TESTNUM_ON_X_EVENT);
    }

    auto script = [&](const std::string& line, const std::string& scoreName, int points,
                      const std::string& what) {
      result = true;
      f.ScriptsFound = 1;
      yes(TESTNUM_SCRIPTS);
      explain(line);
      msg.AddScore(scoreName, points);
      explainDanger(std::to_string(points) + " danger points added to email due to HTML " + what);
    };
    if (on[swJavaScript] && on[swVBS] && on[swPerlScript] && on[swWmlScript]) {
      noIfUnknown(TESTNUM_SCRIPTS);
      if (Contains(t, "scriptlanguage=") || Contains(t, "<script") ||
          HtmlTagHasWordThen(t, kHtmlScriptWords, ":"))
        script("Script found in email.", "HTML script", 40, "script");
    } else {
      if (on[swJavaScript]) {
        noIfUnknown(TESTNUM_SCRIPTS);
        static constexpr std::string_view kJava[] = {"javascript", "jscript"};
        if (Contains(t, "scriptlanguage=javascript") || Contains(t, "scriptlanguage=jscript") ||
            Contains(t, "<script") || HtmlTagHasWordThen(t, kJava, ":"))
          script("Java Script found in email.", "HTML java script", 40, "java script");
      }
      if (on[swVBS]) {
        noIfUnknown(TESTNUM_SCRIPTS);
        if (Contains(t, "scriptlanguage=vbs") || Contains(t, "scriptlanguage=vbscript"))
          script("Visual Basic Script found in email.", "HTML visual basic script", 60,
                 "visual basic script");
      }
      if (on[swPerlScript]) {
        noIfUnknown(TESTNUM_SCRIPTS);
        if (Contains(t, "scriptlanguage=perlscript"))
          script("Perl Script found in email.", "HTML perl script", 10, "perl script");
      }
      if (on[swWmlScript]) {
        noIfUnknown(TESTNUM_SCRIPTS);
        if (Contains(t, "scriptlanguage=wmlscript"))
          script("WML Script found in email.", "HTML WML script", 10, "WML script");
      }
    }

    if (on[swExternalRefs]) {
      noIfUnknown(TESTNUM_EXTERNAL_OBJ_REF);
      noIfUnknown(TESTNUM_EXTERNAL_IMAGE_REF);
      if (Contains(t, "<link")) {
        result = true;
        ++f.ExternalRefsCount;
        msg.AddScore("External \"Link\" reference.", 10);
        yes(TESTNUM_LINK_EXT_REF);
        reportDanger(
            "10 danger points added to email due to external \"link\" reference. (Email content "
            "to be automatically downloaded from another server)");
      } else {
        noIfUnknown(TESTNUM_LINK_EXT_REF);
      }
      for (int i = 0; i < part.Images.Count(); ++i) {
        const std::int64_t kind = part.Images.Numbers(i);
        if (!IsExternalImageRefKind(kind)) continue;
        result = true;
        ++f.ExternalImageRefsCount;
        ++f.ExternalRefsCount;
        yes(TESTNUM_EXTERNAL_IMAGE_REF);
        if (kind == irkBackground) {
          yes(kBackgroundImageTest);
          explain("References to external background image found in email.");
        } else if (kind == irkInputImage) {
          yes(kInputOrStyleImageTest);
          explain("References to external image for Input found in email.");
        } else if (kind == irkStyleUrl) {
          yes(kInputOrStyleImageTest);
        }
        if (f.ExternalImageRefsCount == 1) {
          msg.AddScore("HTML external image reference", 5);
          explainDanger(kind == irkBackground
                            ? "5 danger points added to email due to HTML external reference "
                              "for backgroud image"
                        : kind == irkInputImage
                            ? "5 danger points added to email due to HTML external reference "
                              "(<input type=image src=...)."
                        : kind == irkStyleUrl
                            ? "5 danger points added to email due to HTML external reference in "
                              "styles."
                            : "5 danger points added to email due to HTML external references");
        }
      }
    }

    if (on[swImbeddedObjects]) {
      noIfUnknown(kImbeddedObjectTest);
      if (Contains(t, "<object") || Contains(t, "</object") || Contains(t, "<applet") ||
          Contains(t, "</applet") || Contains(t, "<embed") || Contains(t, "</embed")) {
        result = true;
        ++f.ExternalRefsCount;
        f.ExternalObjects = 1;
        yes(kImbeddedObjectTest);
        explain("Imbedded object found in email.");
        msg.AddScore("HTML imbedded objects", 90);
        explainDanger("90 danger points added to email due to HTML imbedded objects");
      }
    }

    if (on[swIFrames]) {
      noIfUnknown(kFrameTest);
      // Blanks are gone: a frameset tag with attributes is found by its end.
      if (Contains(t, "<iframe") || Contains(t, "<frameset>") || Contains(t, "</frameset>") ||
          Contains(t, "</iframe>")) {
        result = true;
        ++f.ExternalRefsCount;
        f.ExternalFrames = 1;
        yes(kFrameTest);
        explain("Inline frame found in email.");
        msg.AddScore("HTML imbedded frame", 90);
        explainDanger("90 danger points added to email due to HTML imbedded frame");
      }
    }
    return result;
  };

  auto close = [&](bool result) {
    // The figures of this message, published with its answer.
    {
      TCriticalSectionGuard guard(TestLock());
      FFindings = f;
    }
    if (danger.Count() > 0) {
      TCriticalSectionGuard guard(msg.MessageLock());
      danger.CopyFiltered(msg.GeneralInfo(), 255, kHtmlKindAll);
    }
    RecordStandardTest(msg, result);
    if (f.ExternalImageRefsCount > 0)
      explain(std::to_string(f.ExternalImageRefsCount) +
              " references to external image found in email.");
    if (f.ExternalRefsCount > f.ExternalImageRefsCount)
      explain(std::to_string(f.ExternalRefsCount - f.ExternalImageRefsCount) +
              " references to non-image external elements found in email.");
    CacheResult(msg, result);
    PutHeadlineFirst(lines,
                     std::string("email ") + (result ? "passed" : "failed") +
                         " HTML check test \"" + name + "\".<br>",
                     kHeadlineLevel);
    LogEvaluation(msg, result ? "passed HTML check test " : "Failed HTML check test ");
    SetEveryLevel(lines, kExplanationLevel);
    PublishExplanation(std::move(lines));
  };
  return JudgeThenClose(judge, close);
}

std::string THTMLCheck::GetResultCode(std::int32_t msgKey) {
  const std::string base = TNNTest::GetResultCode(msgKey);
  if (base.empty()) return base;
  const TFindings f = Findings();
  TStringList code;
  code.SetCommaText(base);
  code.Add("ER=" + std::to_string(f.ExternalRefsCount));
  code.Add("EI=" + std::to_string(f.ExternalImageRefsCount));
  code.Add("EO=" + std::to_string(f.ExternalObjects));
  code.Add("EF=" + std::to_string(f.ExternalFrames));
  code.Add("SF=" + std::to_string(f.ScriptsFound));
  code.Add("FH=" + std::to_string(f.FoundHtml));
  return code.CommaText();
}

TVectorFloat THTMLCheck::BuildNNInputs(const std::string& resultCode) {
  auto value = [&resultCode](const char* name) {
    return static_cast<std::int64_t>(StrToIntDef(CommaTextValue(resultCode, name), 0));
  };
  const std::int64_t refs = value("ER");
  const std::int64_t images = value("EI");
  return {refs - images > 0 ? 1.0 : 0.0, images > 0 ? 1.0 : 0.0,       value("EO") > 0 ? 1.0 : 0.0,
          value("EF") > 0 ? 1.0 : 0.0,   value("SF") >= 1 ? 1.0 : 0.0, value("FH") >= 1 ? 1.0 : 0.0};
}

bool THTMLCheck::ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) {
  const std::string font = "<font face=\"Courier New\">";
  html.AddLine(font, -1, kHtmlKindAll, true);
  const TVectorFloat inputs = BuildNNInputs(resultCode);
  const double output = Net().EvaluateInputs(inputs);
  const TQuorNeuralNet::TTeachFigures figures = Net().TeachFigures();
  TSimpleHtml report;
  auto add = [&report](const std::string& text) { report.AddLine(text, 0, kHtmlKindAll, false); };
  add("<pre>");
  add("<br>THTMLCheck NN (Output = " + FloatText(output) + ")");
  add("PatternCount = " + std::to_string(figures.PatternCount));
  add("EpochCurrent = " + std::to_string(figures.EpochCurrent));
  add("EpochCount = " + std::to_string(figures.EpochCount));
  add("TeachError = " + FloatText(figures.TeachError));
  add("IdentError = " + FloatText(figures.IdentError));
  add("MaxTeachResidual = " + FloatText(figures.MaxTeachResidual));
  add("MidTeachResidual = " + FloatText(figures.MidTeachResidual));
  add("RecognizedTeachCount = " + std::to_string(figures.RecognizedTeachCount));
  add("Test ~ Value ~ Weight");
  for (int i = 0; i < 6; ++i)
    add(std::string(kInputNames[i]) + " ~ " + FloatText(inputs[static_cast<std::size_t>(i)]) +
        " ~ " + FloatText(Net().AverageInputWeight(i, 0)));
  AlignTildeColumns(report, kReportColumns);
  add("</pre>");
  report.CopyFiltered(html, 255, kHtmlKindAll);
  html.AddLine("</font>", -1, kHtmlKindAll, true);
  return true;
}

void THTMLCheck::ResetStats() {
  TNNTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
