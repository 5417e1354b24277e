#include "foundation/regex/reg_expr.h"

#include <climits>

#include "foundation/regex/reg_expr_program.h"

namespace halvorn {

using regexpr_internal::CompileError;
using regexpr_internal::CompileProgram;
using regexpr_internal::MatchScratch;
using regexpr_internal::Op;
using regexpr_internal::Program;

TRegExpr::TRegExpr()
    : FModifiers(kModR | kModS | kModG),
      FLinePairedSeparator("\r\n"),
      FScratch(std::make_unique<MatchScratch>()) {
  ClearSubMatches();
}

TRegExpr::~TRegExpr() = default;

void TRegExpr::ClearSubMatches() {
  for (int i = 0; i < kSubMatchCount; ++i) FStart[i] = FEnd[i] = -1;
  FLastSearchMatched = false;
}

void TRegExpr::SetExpression(const std::string& pattern) {
  if (pattern != FExpression || !FProgram) {
    FExpression = pattern;
    FProgram.reset();
  }
}

void TRegExpr::SetModifier(int number, bool on) {
  if (number < 1 || number > 6) {
    Error(1013);
    return;
  }
  int bit = 1 << (number - 1);
  FModifiers = on ? (FModifiers | bit) : (FModifiers & ~bit);
}

bool TRegExpr::GetModifier(int number) const {
  if (number < 1 || number > 6) return false;
  return (FModifiers >> (number - 1)) & 1;
}

void TRegExpr::Compile() {
  FProgram.reset();
  CompileIfNeeded();
}

bool TRegExpr::CompileIfNeeded() {
  if (FProgram && FProgramModifiers != FModifiers) FProgram.reset();
  if (FProgram) return true;
  if (FExpression.empty()) {
    Error(1003);
    return false;
  }
  auto program = std::make_unique<Program>();
  CompileError e = CompileProgram(FExpression, FModifiers, FLinePairedSeparator, *program);
  if (e.Code != 0) {
    FCompilerErrorPos = e.Position;
    try {
      Error(e.Code);
    } catch (...) {
      FCompilerErrorPos = 0;
      throw;
    }
    FCompilerErrorPos = 0;
    return false;
  }
  if (program->Code.empty() || program->Code[0].Code != Op::Magic) {
    Error(1004);
    return false;
  }
  FProgram = std::move(program);
  FProgramModifiers = FModifiers;
  return true;
}

bool TRegExpr::Exec(const std::string& input) {
  FInputString = input;
  FHasInput = true;
  ClearSubMatches();
  return ExecPrim(1);
}

void TRegExpr::ReleaseInput() {
  std::string().swap(FInputString);
  FHasInput = false;
  ClearSubMatches();
}

bool TRegExpr::ExecPos(int position) {
  return ExecPrim(position);
}

bool TRegExpr::ExecNext() {
  if (!FLastSearchMatched) {
    Error(1007);
    return false;
  }
  // 1-based position just after the match; one further on after an empty
  // match, so that a pattern matching empty moves on.
  int next = FEnd[0] + 1;
  if (FEnd[0] == FStart[0]) ++next;
  return ExecPrim(next);
}

bool TRegExpr::ExecPrim(int position) {
  ClearSubMatches();
  if (!CompileIfNeeded()) return false;
  if (!FHasInput) {
    Error(1005);
    return false;
  }
  if (position < 1) {
    Error(1006);
    return false;
  }
  // Positions are ints at the interface: a text they cannot address is
  // beyond what one search may take on.
  if (FInputString.size() > static_cast<std::size_t>(INT_MAX) - 2) {
    Error(kRegExprBacktrackLimitError);
    return false;
  }
  if (static_cast<std::size_t>(position) > FInputString.size() + 1) return false;
  int r = regexpr_internal::Search(*FProgram, FInputString, position - 1, *FScratch);
  // Let go of the memory a deep search took.
  if (FScratch->Stack.capacity() > (std::size_t{1} << 20)) FScratch->Stack = {};
  if (r == 1) {
    for (int i = 0; i < kSubMatchCount; ++i) {
      bool set = i == 0 || i <= FProgram->GroupCount;
      FStart[i] = set ? FScratch->Start[i] : -1;
      FEnd[i] = set ? FScratch->End[i] : -1;
      if (FStart[i] < 0 || FEnd[i] < 0) FStart[i] = FEnd[i] = -1;
    }
    FLastSearchMatched = true;
    return true;
  }
  if (r != 0) Error(r);
  return false;
}

std::string TRegExpr::GetMatch(int index) const {
  if (index < 0 || index >= kSubMatchCount || !FHasInput) return {};
  if (FStart[index] < 0 || FEnd[index] < FStart[index]) return {};
  return FInputString.substr(FStart[index], FEnd[index] - FStart[index]);
}

int TRegExpr::SubMatchStart(int index) const {
  if (index < 0 || index >= kSubMatchCount || FStart[index] < 0) return -1;
  return FStart[index] + 1;
}

int TRegExpr::SubMatchLength(int index) const {
  if (index < 0 || index >= kSubMatchCount || FStart[index] < 0) return -1;
  return FEnd[index] - FStart[index];
}

std::string TRegExpr::ReplaceMatches(const std::string& input, const std::string& replacement) {
  std::string out;
  std::size_t copied = 0;  // 0-based: input before this is in `out`
  bool found = Exec(input);
  while (found) {
    std::size_t start = static_cast<std::size_t>(FStart[0]);
    out.append(input, copied, start - copied);
    out += replacement;
    copied = static_cast<std::size_t>(FEnd[0]);
    found = ExecNext();
  }
  out.append(input, copied, std::string::npos);
  return out;
}

const std::string& TRegExpr::InputString() {
  if (!FHasInput) Error(1008);
  return FInputString;
}

void TRegExpr::SetLinePairedSeparator(const std::string& pair) {
  if (!(pair.empty() || (pair.size() == 2 && pair[0] != pair[1]))) {
    Error(128);
    return;
  }
  if (pair != FLinePairedSeparator) {
    FLinePairedSeparator = pair;
    FProgram.reset();
  }
}

std::string TRegExpr::ErrorMsg(int code) {
  switch (code) {
    case 0:
      return "No errors";
    case 100:
      return "TRegExpr(comp): Null Argument";
    case 101:
      return "TRegExpr(comp): Regexp Too Big";
    case 102:
      return "TRegExpr(comp): ParseReg Too Many ()";
    case 103:
      return "TRegExpr(comp): ParseReg Unmatched ()";
    case 104:
      return "TRegExpr(comp): ParseReg Unmatched ()";
    case 105:
      return "TRegExpr(comp): ParseReg Junk On End";
    case 106:
      return "TRegExpr(comp): *+ Operand Could Be Empty";
    case 107:
      return "TRegExpr(comp): Nested *?+";
    case 108:
      return "TRegExpr(comp): Bad Hex Digit";
    case 109:
      return "TRegExpr(comp): Invalid [] Range";
    case 110:
      return "TRegExpr(comp): Parse Atom Trailing \\";
    case 111:
      return "TRegExpr(comp): No Hex Code After \\x";
    case 112:
      return "TRegExpr(comp): Hex Code After \\x Is Too Big";
    case 113:
      return "TRegExpr(comp): Unmatched []";
    case 114:
      return "TRegExpr(comp): Internal Urp";
    case 115:
      return "TRegExpr(comp): ?+*{ Follows Nothing";
    case 116:
      return "TRegExpr(comp): Trailing \\";
    case 119:
      return "TRegExpr(comp): RarseAtom Internal Disaster";
    case 122:
      return "TRegExpr(comp): BRACES Argument Too Big";
    case 124:
      return "TRegExpr(comp): BRACE Min Param Greater then Max";
    case 125:
      return "TRegExpr(comp): Unclosed (?#Comment)";
    case 126:
      return "TRegExpr(comp): If you want take part in beta-testing BRACES '{min,max}' and "
             "non-greedy ops '*?', '+?', '?"
             "?' for complex cases - remove '.' from "
             "{.$DEFINE ComplexBraces}";
    case 127:
      return "TRegExpr(comp): Urecognized Modifier";
    case 128:
      return "TRegExpr(comp): LinePairedSeparator must countain two different chars or no chars "
             "at all";
    case 1000:
      return "TRegExpr(exec): RegRepeat Called Inappropriately";
    case 1001:
      return "TRegExpr(exec): MatchPrim Memory Corruption";
    case 1002:
      return "TRegExpr(exec): MatchPrim Corrupted Pointers";
    case 1003:
      return "TRegExpr(exec): Not Assigned Expression Property";
    case 1004:
      return "TRegExpr(exec): Corrupted Program";
    case 1005:
      return "TRegExpr(exec): No Inpit String Specified";
    case 1006:
      return "TRegExpr(exec): Offset Must Be Greater Then 0";
    case 1007:
      return "TRegExpr(exec): ExecNext Without Exec[Pos]";
    case 1008:
      return "TRegExpr(exec): GetInputString Without InputString";
    case 1011:
      return "TRegExpr(dump): Corrupted Opcode";
    case 1014:
      return "TRegExpr(exec): Loop Stack Exceeded";
    case 1015:
      return "TRegExpr(exec): Loop Without LoopEntry !";
    case kRegExprStepLimitError:
      return "TRegExpr(exec): Match Step Limit Exceeded";
    case kRegExprBacktrackLimitError:
      return "TRegExpr(exec): Backtrack Memory Exceeded";
    default:
      return "Unknown error";
  }
}

void TRegExpr::Error(int code) {
  FLastError = code;
  std::string message = ErrorMsg(code);
  int position = 0;
  if (code < 1000) {
    position = FCompilerErrorPos;
    message += " (pos " + std::to_string(position) + ")";
  }
  throw ERegExpr(message, code, position);
}

}  // namespace halvorn
