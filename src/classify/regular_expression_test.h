// TRegularExpressionTest ("Regular Expression Test"): passes when the user's
// regular expression (the program's own engine, TRegExpr) finds a match in
// one area of the message (TEmailMsg::GetArea: the whole message, the
// header, the body undecoded or decoded, as plain text, the HTML, the URLs).
// The modifiers i (on for a new test), s, m (on) and x are the user's; r and
// g are always off, so quantifiers take as little as they can unless the
// pattern says otherwise.
//
// An invalid expression judges every message false with the engine's reason,
// and that answer is cached like any other. An engine error while searching
// (the step and memory budgets that end a runaway pattern among them) is
// explained and judged false, cached too.
//
// Storage. "Expression", "ModifierI", "ModifierS", "ModifierM", "ModifierX"
// ("1" or "0") and "Area" after the base keys, each read with the current
// value as its default. The settings file keeps a line per value and turns
// line breaks into blanks, which would change an expression typed over
// several lines (under x a "#" comment would swallow the rest of it): such an
// expression is also stored as "ExpressionLines", its lines as one comma
// text, which a load prefers to "Expression".
//
// Threads. The settings live under the test's lock, read and written as
// copies. The engine the test owns is used by Evaluate alone, on the
// processing thread, and keeps its compiled pattern from message to message
// until the expression or a modifier changes. Validate and Describe, which
// any thread may call, compile in an engine of their own; the verdict on a
// pattern (its text and modifiers) is kept under the lock, so a pattern is
// checked once, whoever asks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "classify/test_base.h"

namespace halvorn {

class TRegExpr;

class TRegularExpressionTest : public TTest {
 public:
  static constexpr const char* kClassName = "TRegularExpressionTest";

  TRegularExpressionTest();
  ~TRegularExpressionTest() override;

  std::string Expression() const;
  void SetExpression(const std::string& expression);
  bool ModifierI() const;
  void SetModifierI(bool on);
  bool ModifierS() const;
  void SetModifierS(bool on);
  bool ModifierM() const;
  void SetModifierM(bool on);
  bool ModifierX() const;
  void SetModifierX(bool on);
  std::uint8_t Area() const;
  void SetArea(std::uint8_t area);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Regular Expression Test"; }
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  // "no regular expression given" for an expression of blanks; "in the
  // regular expression given, " + the engine's reason when it does not
  // compile; else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  // Processing thread only.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  struct TSettings {
    std::string Name;
    std::string Expression;
    int Modifiers;  // TRegExpr's bits of i, s, m and x
    std::uint8_t Area;
  };
  TSettings Settings() const;
  // Validate's answer for the settings' pattern.
  std::string PatternReason(const TSettings& settings);

  std::unique_ptr<TRegExpr> FRegExpr;  // Evaluate's, processing thread only
  std::string FExpression;
  bool FModifierI = true;
  bool FModifierS = false;
  bool FModifierM = true;
  bool FModifierX = false;
  std::uint8_t FArea = 0;
  // The pattern checked last and its verdict.
  std::string FCheckedExpression;
  int FCheckedModifiers = -1;
  std::string FCheckedReason;
};

}  // namespace halvorn
