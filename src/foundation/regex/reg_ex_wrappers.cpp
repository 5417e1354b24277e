#include "foundation/regex/reg_ex_wrappers.h"

namespace halvorn {

namespace {

// Modifier numbers of TRegExpr::SetModifier.
constexpr int kModifierI = 1;
constexpr int kModifierR = 2;
constexpr int kModifierS = 3;
constexpr int kModifierG = 4;
constexpr int kModifierM = 5;
constexpr int kModifierX = 6;

// Appends the whole match and then groups 1, 2, ... up to the first empty one.
void AppendMatchAndGroups(const TRegExpr& engine, std::string& out) {
  out += engine.GetMatch(0);
  for (int group = 1; group < TRegExpr::kSubMatchCount; ++group) {
    std::string text = engine.GetMatch(group);
    if (text.empty()) break;
    out += text;
  }
}

}  // namespace

void ApplyRegExOptions(TRegExpr& engine, std::uint8_t options) {
  engine.SetModifier(kModifierI, (options & kRegExIgnoreCase) != 0);
  engine.SetModifier(kModifierR, false);
  engine.SetModifier(kModifierS, (options & kRegExDotAll) != 0);
  engine.SetModifier(kModifierG, (options & kRegExGreedy) != 0);
  engine.SetModifier(kModifierM, (options & kRegExMultiLine) != 0);
  engine.SetModifier(kModifierX, (options & kRegExExtended) != 0);
}

bool RegExMatchesWhole(const std::string& text, const std::string& pattern, std::uint8_t options) {
  if (pattern.empty()) return text.empty();
  TRegExpr engine;
  ApplyRegExOptions(engine, options);
  engine.SetExpression(pattern);
  if (!engine.Exec(text)) return false;
  return engine.SubMatchStart(0) == 1 &&
         static_cast<std::size_t>(engine.SubMatchLength(0)) == text.size();
}

std::string RegExFirstMatch(const std::string& pattern, const std::string& text,
                            std::uint8_t options) {
  TRegExpr engine;
  ApplyRegExOptions(engine, options);
  engine.SetExpression(pattern);
  std::string result;
  if (engine.Exec(text)) AppendMatchAndGroups(engine, result);
  return result;
}

bool RegExCollectMatches(const std::string& pattern, const std::string& text, TStringList& list,
                         bool allGroups, std::uint8_t options, const std::string& exclusion) {
  TRegExpr engine;
  ApplyRegExOptions(engine, options);
  engine.SetExpression(pattern);
  const bool matched = engine.Exec(text);
  bool found = matched;
  while (found) {
    if (allGroups) {
      list.Add(engine.GetMatch(0));
      for (int group = 1; group < TRegExpr::kSubMatchCount; ++group) {
        std::string piece = engine.GetMatch(group);
        if (piece.empty()) break;
        list.Add(std::move(piece));
      }
    } else {
      std::string whole = engine.GetMatch(0);
      if (!whole.empty()) list.Add(std::move(whole));
    }
    found = engine.ExecNext();
  }

  if (!exclusion.empty()) {
    engine.SetExpression(exclusion);
    for (int i = list.Count() - 1; i >= 0; --i) {
      if (engine.Exec(list[i])) list.Delete(i);
    }
  }
  return matched;
}

void RegExReplace(const std::string& pattern, const std::string& text,
                  const std::string& replacement, std::string& result, std::uint8_t options) {
  TRegExpr engine;
  ApplyRegExOptions(engine, options);
  engine.SetExpression(pattern);
  result = engine.ReplaceMatches(text, replacement);
}

}  // namespace halvorn
