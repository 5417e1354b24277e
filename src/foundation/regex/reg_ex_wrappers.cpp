#include "foundation/regex/reg_ex_wrappers.h"

#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "foundation/regex/regex_cache.h"

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

// The calling thread's engines by options and pattern.
class TThreadEngines {
 public:
  TRegExpr& Get(const std::string& pattern, std::uint8_t options) {
    std::string key;
    key.reserve(pattern.size() + 1);
    key.push_back(static_cast<char>(options));
    key += pattern;
    auto found = FEngines.find(key);
    if (found != FEngines.end()) return *found->second;
    if (FEngines.size() >= kRegExThreadEngines) FEngines.clear();
    auto engine = std::make_unique<TRegExpr>();
    ApplyRegExOptions(*engine, options);
    engine->SetExpression(pattern);
    return *FEngines.emplace(std::move(key), std::move(engine)).first->second;
  }

 private:
  std::unordered_map<std::string, std::unique_ptr<TRegExpr>> FEngines;
};

// An engine for one call: the thread's own for the pattern, or a new one
// when the caches are off. The text of the call is let go at the end.
class TEngineForCall {
 public:
  TEngineForCall(const std::string& pattern, std::uint8_t options) {
    if (RegexCachesEnabled()) {
      thread_local TThreadEngines engines;
      FEngine = &engines.Get(pattern, options);
    } else {
      FOwn = std::make_unique<TRegExpr>();
      FEngine = FOwn.get();
      ApplyRegExOptions(*FEngine, options);
      FEngine->SetExpression(pattern);
    }
  }
  ~TEngineForCall() {
    if (!FOwn) FEngine->ReleaseInput();
  }
  TEngineForCall(const TEngineForCall&) = delete;
  TEngineForCall& operator=(const TEngineForCall&) = delete;

  TRegExpr& operator*() const { return *FEngine; }
  TRegExpr* operator->() const { return FEngine; }

 private:
  std::unique_ptr<TRegExpr> FOwn;
  TRegExpr* FEngine = nullptr;
};

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
  TEngineForCall engine(pattern, options);
  if (!engine->Exec(text)) return false;
  return engine->SubMatchStart(0) == 1 &&
         static_cast<std::size_t>(engine->SubMatchLength(0)) == text.size();
}

std::string RegExFirstMatch(const std::string& pattern, const std::string& text,
                            std::uint8_t options) {
  TEngineForCall engine(pattern, options);
  std::string result;
  if (engine->Exec(text)) AppendMatchAndGroups(*engine, result);
  return result;
}

bool RegExCollectMatches(const std::string& pattern, const std::string& text, TStringList& list,
                         bool allGroups, std::uint8_t options, const std::string& exclusion) {
  bool matched = false;
  {
    TEngineForCall engine(pattern, options);
    matched = engine->Exec(text);
    bool found = matched;
    while (found) {
      if (allGroups) {
        list.Add(engine->GetMatch(0));
        for (int group = 1; group < TRegExpr::kSubMatchCount; ++group) {
          std::string piece = engine->GetMatch(group);
          if (piece.empty()) break;
          list.Add(std::move(piece));
        }
      } else {
        std::string whole = engine->GetMatch(0);
        if (!whole.empty()) list.Add(std::move(whole));
      }
      found = engine->ExecNext();
    }
  }

  if (!exclusion.empty()) {
    TEngineForCall engine(exclusion, options);
    for (int i = list.Count() - 1; i >= 0; --i) {
      if (engine->Exec(list[i])) list.Delete(i);
    }
  }
  return matched;
}

void RegExReplace(const std::string& pattern, const std::string& text,
                  const std::string& replacement, std::string& result, std::uint8_t options) {
  TEngineForCall engine(pattern, options);
  result = engine->ReplaceMatches(text, replacement);
}

}  // namespace halvorn
