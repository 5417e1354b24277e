// Compiles and runs arbitrary patterns over arbitrary texts. The first byte
// chooses the modifiers; the rest is the pattern up to the first zero byte and
// the text after it. Whatever the engine answers, it must not crash, hang or
// report a match outside the text; pattern errors are ordinary answers. The
// search with its start-up scans must find what a search trying every
// position finds (unless only the latter runs out of budget).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/regex/reg_expr.h"
#include "foundation/regex/reg_expr_program.h"

using namespace halvorn;

namespace {

void CheckSubMatches(const TRegExpr& re, int length) {
  for (int i = 0; i < TRegExpr::kSubMatchCount; ++i) {
    int start = re.SubMatchStart(i);
    int len = re.SubMatchLength(i);
    if (start == -1 && len == -1) {
      if (i == 0 || !re.GetMatch(i).empty()) std::abort();
      continue;
    }
    if (start < 1 || len < 0 || start - 1 + len > length) std::abort();
    if (static_cast<int>(re.GetMatch(i).size()) != len) std::abort();
  }
}

// The first match from position 0 with all its groups, or the search's
// answer when there is none.
std::string FirstMatch(const regexpr_internal::Program& program, const std::string& text,
                       regexpr_internal::StartScans scans) {
  regexpr_internal::MatchScratch scratch;
  int r = regexpr_internal::Search(program, text, 0, scratch, scans);
  if (r != 1) return "=" + std::to_string(r);
  std::string out;
  for (int g = 0; g <= program.GroupCount; ++g)
    out += std::to_string(scratch.Start[g]) + "," + std::to_string(scratch.End[g]) + " ";
  return out;
}

void CheckScansChangeNothing(const std::string& pattern, int modifiers, const std::string& text) {
  regexpr_internal::Program program;
  if (regexpr_internal::CompileProgram(pattern, modifiers & 0x3F,
                                       (modifiers & 0x40) ? "" : "\r\n", program)
          .Code != 0)
    return;
  std::string scanned = FirstMatch(program, text, regexpr_internal::StartScans::On);
  std::string every = FirstMatch(program, text, regexpr_internal::StartScans::Off);
  bool everyRanOut = every != "=0" && every[0] == '=';
  if (scanned != every && !everyRanOut) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int modifiers = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t zero = rest.find('\0');
  std::string pattern = rest.substr(0, zero);
  std::string text = zero == std::string::npos ? rest : rest.substr(zero + 1);

  TRegExpr re;
  for (int m = 1; m <= 6; ++m) re.SetModifier(m, (modifiers >> (m - 1)) & 1);
  if (modifiers & 0x40) re.SetLinePairedSeparator("");
  re.SetExpression(pattern);
  try {
    re.Compile();
  } catch (const ERegExpr& e) {
    if (e.ErrorCode >= 1000 && e.ErrorCode != 1003) std::abort();
    return 0;
  }
  CheckScansChangeNothing(pattern, modifiers, text);
  try {
    bool found = re.Exec(text);
    const int length = static_cast<int>(text.size());
    // Walk a few matches the way ReplaceMatches does.
    for (int n = 0; found && n < 16; ++n) {
      CheckSubMatches(re, length);
      int prevStart = re.SubMatchStart(0), prevEnd = prevStart + re.SubMatchLength(0);
      found = re.ExecNext();
      if (found && re.SubMatchStart(0) < prevEnd) std::abort();
      (void)prevStart;
    }
    if (modifiers & 0x80) (void)re.ReplaceMatches(text, "<>");
  } catch (const ERegExpr& e) {
    // Only the limits and the nesting of counted loops may stop a search.
    if (e.ErrorCode != kRegExprStepLimitError && e.ErrorCode != kRegExprBacktrackLimitError &&
        e.ErrorCode != 1014)
      std::abort();
  }
  return 0;
}
