#include "classify/regular_expression_test.h"

#include <utility>

#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/reg_expr.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "message/email_msg.h"
#include "message/email_msg_views.h"

namespace halvorn {

namespace {

constexpr int kHeadlineLevel = 9;
constexpr int kLineLevel = 8;
// The longest engine reason Validate passes on.
constexpr std::size_t kMaxReasonLength = 999;

int ModifierBits(bool i, bool s, bool m, bool x) {
  return (i ? TRegExpr::kModI : 0) | (s ? TRegExpr::kModS : 0) | (m ? TRegExpr::kModM : 0) |
         (x ? TRegExpr::kModX : 0);
}

// Sets the pattern and the modifiers (r and g off) into the engine; it
// compiles again only when either changed.
void Prepare(TRegExpr& engine, const std::string& expression, int modifiers) {
  engine.SetExpression(expression);
  engine.SetModifier(1, (modifiers & TRegExpr::kModI) != 0);
  engine.SetModifier(2, false);
  engine.SetModifier(3, (modifiers & TRegExpr::kModS) != 0);
  engine.SetModifier(4, false);
  engine.SetModifier(5, (modifiers & TRegExpr::kModM) != 0);
  engine.SetModifier(6, (modifiers & TRegExpr::kModX) != 0);
}

// The engine's message after its first ":" and the blank after it
// ("TRegExpr(comp): ParseReg Unmatched () (pos 3)").
std::string CompileReason(const std::string& message) {
  const std::size_t colon = message.find(':');
  if (colon == std::string::npos || colon + 2 >= message.size())
    return "invalid regular expression given.";
  return "in the regular expression given, " + message.substr(colon + 2, kMaxReasonLength);
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

TRegularExpressionTest::TRegularExpressionTest() : FRegExpr(std::make_unique<TRegExpr>()) {
  Prepare(*FRegExpr, "", ModifierBits(true, false, true, false));
}

TRegularExpressionTest::~TRegularExpressionTest() = default;

// ---- Settings

std::string TRegularExpressionTest::Expression() const {
  TCriticalSectionGuard guard(TestLock());
  return FExpression;
}

void TRegularExpressionTest::SetExpression(const std::string& expression) {
  TCriticalSectionGuard guard(TestLock());
  FExpression = expression;
}

bool TRegularExpressionTest::ModifierI() const {
  TCriticalSectionGuard guard(TestLock());
  return FModifierI;
}

void TRegularExpressionTest::SetModifierI(bool on) {
  TCriticalSectionGuard guard(TestLock());
  FModifierI = on;
}

bool TRegularExpressionTest::ModifierS() const {
  TCriticalSectionGuard guard(TestLock());
  return FModifierS;
}

void TRegularExpressionTest::SetModifierS(bool on) {
  TCriticalSectionGuard guard(TestLock());
  FModifierS = on;
}

bool TRegularExpressionTest::ModifierM() const {
  TCriticalSectionGuard guard(TestLock());
  return FModifierM;
}

void TRegularExpressionTest::SetModifierM(bool on) {
  TCriticalSectionGuard guard(TestLock());
  FModifierM = on;
}

bool TRegularExpressionTest::ModifierX() const {
  TCriticalSectionGuard guard(TestLock());
  return FModifierX;
}

void TRegularExpressionTest::SetModifierX(bool on) {
  TCriticalSectionGuard guard(TestLock());
  FModifierX = on;
}

std::uint8_t TRegularExpressionTest::Area() const {
  TCriticalSectionGuard guard(TestLock());
  return FArea;
}

void TRegularExpressionTest::SetArea(std::uint8_t area) {
  TCriticalSectionGuard guard(TestLock());
  FArea = area;
}

TRegularExpressionTest::TSettings TRegularExpressionTest::Settings() const {
  std::string name = Name();
  TCriticalSectionGuard guard(TestLock());
  return {std::move(name), FExpression,
          ModifierBits(FModifierI, FModifierS, FModifierM, FModifierX), FArea};
}

void TRegularExpressionTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  bool i, s, m, x;
  std::string expression;
  std::uint8_t area;
  {
    TCriticalSectionGuard guard(TestLock());
    expression = FExpression;
    i = FModifierI;
    s = FModifierS;
    m = FModifierM;
    x = FModifierX;
    area = FArea;
  }
  const std::string section = SectionName();
  ini.WriteString(section, "Expression", expression);
  ini.WriteBool(section, "ModifierI", i);
  ini.WriteBool(section, "ModifierS", s);
  ini.WriteBool(section, "ModifierM", m);
  ini.WriteBool(section, "ModifierX", x);
  ini.WriteInteger(section, "Area", area);
  // Empty for a one-line expression, which removes a line left from before.
  ini.WriteString(section, "ExpressionLines",
                  HasLineBreak(expression) ? TextToCommaText(expression) : std::string());
}

void TRegularExpressionTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  TCriticalSectionGuard guard(TestLock());
  FExpression = ini.ReadString(section, "Expression", FExpression);
  std::string lines;
  if (ini.TryReadString(section, "ExpressionLines", lines)) FExpression = CommaTextToLines(lines);
  FModifierI = ini.ReadBool(section, "ModifierI", FModifierI);
  FModifierS = ini.ReadBool(section, "ModifierS", FModifierS);
  FModifierM = ini.ReadBool(section, "ModifierM", FModifierM);
  FModifierX = ini.ReadBool(section, "ModifierX", FModifierX);
  FArea = static_cast<std::uint8_t>(ini.ReadInteger(section, "Area", FArea) & 0xff);
}

// ---- Validation and words

std::string TRegularExpressionTest::PatternReason(const TSettings& settings) {
  if (TrimText(settings.Expression).empty()) return "no regular expression given";
  {
    TCriticalSectionGuard guard(TestLock());
    if (FCheckedModifiers == settings.Modifiers && FCheckedExpression == settings.Expression)
      return FCheckedReason;
  }
  // Compiled outside the lock, in an engine of its own: Evaluate's engine
  // belongs to the processing thread.
  std::string reason;
  TRegExpr engine;
  Prepare(engine, settings.Expression, settings.Modifiers);
  try {
    engine.Compile();
  } catch (const ERegExpr& error) {
    reason = CompileReason(error.what());
  }
  TCriticalSectionGuard guard(TestLock());
  FCheckedExpression = settings.Expression;
  FCheckedModifiers = settings.Modifiers;
  FCheckedReason = reason;
  return reason;
}

std::string TRegularExpressionTest::Validate() {
  return PatternReason(Settings());
}

std::string TRegularExpressionTest::Describe() {
  const TSettings s = Settings();
  const std::string reason = PatternReason(s);
  if (!reason.empty()) return IncompleteTestText(reason);
  return "the regular expression:\r\n\"" + s.Expression + "\"\r\nmatches text found in the " +
         MessageAreaName(s.Area);
}

// ---- Judging

bool TRegularExpressionTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const TSettings s = Settings();
  const std::string areaName = MessageAreaName(s.Area);
  TSimpleHtml lines;
  auto add = [&lines](const std::string& text) {
    lines.AddLine(text, kLineLevel, kHtmlKindAll, true);
  };
  auto judge = [&] {
    Prepare(*FRegExpr, s.Expression, s.Modifiers);
    const std::string reason = PatternReason(s);
    if (!reason.empty()) {
      add("Invalid regular expression:");
      add("  " + s.Expression);
      add("  " + reason);
      return false;
    }
    TStringList area;
    msg.GetArea(s.Area, area);
    if (area.Empty()) {
      add("No text found in " + areaName);
      return false;
    }
    std::string text;
    for (int i = 0; i < area.Count(); ++i) text.append(area[i]).append("\r\n");
    area.Clear();
    bool found = false;
    try {
      found = FRegExpr->Exec(text);
    } catch (const ERegExpr& error) {
      add("Error encountered while evaluating regular expression:");
      add(error.what());
      return false;
    }
    add("Regular expression:");
    add("  " + s.Expression);
    add(found ? "  matched " + FRegExpr->GetMatch(0) + " in " + areaName
              : "  matched no text in " + areaName);
    return found;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    PutHeadlineFirst(lines,
                     std::string("email ") + (result ? "passed" : "failed") +
                         " Regular Expresson Test: \"" + s.Name + "\".",
                     kHeadlineLevel);
    PublishExplanation(std::move(lines));
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
