// The program's own backtracking regular-expression engine for 8-bit texts.
//
// It serves the patterns users write for their tests and the built-in
// patterns of the message model. Characters are compared as bytes; the i
// modifier folds case with the code page 1252 table. Matching keeps its
// backtracking state on the heap, so neither long texts nor deep repetition
// can overflow the native stack, and a step budget that grows with the
// input's length ends a runaway search with an error instead of a hang.
// Before backtracking, vector scans pass over the positions where no match
// can start (the bytes a match begins with, a text every match holds, line
// starts for "^" under m). They never change the match found and spend none
// of the budget: a search that runs away where a match could start still
// ends with the budget error, while one that no position can satisfy
// answers "no match" at once.
//
// Dialect in short: literals, ".", "^", "$", "[...]" / "[^...]" with ranges,
// \d \D \s \S \w \W \A \Z \t \n \r \f \a \e \xhh \x{h..} \1-\9, other escaped
// characters literal; capturing "(...)" (at most 14), "(?#comment)",
// "(?imsxrg-imsxrg)" switching modifiers up to the end of the pattern, "|",
// "*" "+" "?" "{n}" "{n,}" "{n,m}", each with a "?" for its non-greedy form.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace halvorn {

// Raised by TRegExpr::Error. Code and position are those of the failure; the
// position is the 1-based place in the pattern where compilation stopped, 0
// for errors outside compilation.
class ERegExpr : public std::runtime_error {
 public:
  ERegExpr(const std::string& message, int code, int position)
      : std::runtime_error(message), ErrorCode(code), CompilerErrorPos(position) {}

  int ErrorCode;
  int CompilerErrorPos;
};

// Error codes of the engine's own that its table names beyond the classic
// ones: a search that has used up its step budget (a pattern that backtracks
// without end over its input), and a search whose saved backtracking state
// outgrows its memory limit.
inline constexpr int kRegExprStepLimitError = 1016;
inline constexpr int kRegExprBacktrackLimitError = 1017;

namespace regexpr_internal {
struct Program;
struct MatchScratch;
}  // namespace regexpr_internal

// One engine object: a pattern, its modifiers and the text of the last
// search. Not thread-safe: one thread uses an object at a time; each user
// creates its own. Not copyable.
class TRegExpr {
 public:
  // Modifier bits as kept in Modifiers().
  static constexpr int kModI = 1;   // ignore case
  static constexpr int kModR = 2;   // Cyrillic ranges of code page 1251 in classes
  static constexpr int kModS = 4;   // "." also matches line separators
  static constexpr int kModG = 8;   // greedy quantifiers (off: all non-greedy)
  static constexpr int kModM = 16;  // multi-line "^" and "$"
  static constexpr int kModX = 32;  // extended pattern form

  static constexpr int kSubMatchCount = 15;  // whole match + 14 groups

  // An empty pattern with modifiers r, s and g on.
  TRegExpr();
  virtual ~TRegExpr();
  TRegExpr(const TRegExpr&) = delete;
  TRegExpr& operator=(const TRegExpr&) = delete;

  const std::string& Expression() const { return FExpression; }
  // Sets the pattern. The compiled program is discarded when the pattern
  // differs or was never compiled; it is compiled again at the next search.
  // An empty pattern is accepted here; searching with it raises 1003.
  void SetExpression(const std::string& pattern);

  // Modifier by number: 1 i, 2 r, 3 s, 4 g, 5 m, 6 x. SetModifier raises
  // error 1013 for any other number; GetModifier answers false for one.
  void SetModifier(int number, bool on);
  bool GetModifier(int number) const;
  int Modifiers() const { return FModifiers; }

  // Compiles the pattern now (to check a user's pattern). Raises the compile
  // error, or 1003 when there is no pattern.
  void Compile();

  // Copies the input, clears the sub-matches and searches from position 1.
  // True when a match was found. Raises compile errors, 1014, and the limit
  // errors kRegExprStepLimitError / kRegExprBacktrackLimitError.
  bool Exec(const std::string& input);
  // Searches the current input from a 1-based position: raises 1005 when
  // there is no input and 1006 for a position below 1; false beyond the
  // input's length + 1.
  bool ExecPos(int position = 1);
  // Searches again from the end of the last match, or one character after
  // it when that match was empty. Raises 1007 when the last search did not
  // succeed.
  bool ExecNext();

  // The text of sub-match 0 (whole match) to 14 of the last successful
  // search; empty for an index out of range, a group that did not take part,
  // or no input.
  std::string GetMatch(int index) const;
  // 1-based start and length of a sub-match, -1 when it is not set.
  int SubMatchStart(int index) const;
  int SubMatchLength(int index) const;

  // The input with every match (Exec, then ExecNext until it fails) replaced
  // by `replacement`, taken literally. Raises what Exec raises.
  std::string ReplaceMatches(const std::string& input, const std::string& replacement);

  // The text of the last search; raises 1008 when there never was one.
  const std::string& InputString();
  // Forgets the text of the last search and its sub-matches and frees the
  // text's memory, as before the first search; the compiled pattern stays.
  void ReleaseInput();

  // A two-character line end treated as one (carriage return + line feed by
  // default). Raises 128 unless the text is empty or two different
  // characters; a changed pair discards the compiled program.
  void SetLinePairedSeparator(const std::string& pair);
  const std::string& LinePairedSeparator() const { return FLinePairedSeparator; }

  // The code of the last error raised, 0 when none.
  int LastError() const { return FLastError; }

  // The text of an error code ("Unknown error" for codes it does not know).
  virtual std::string ErrorMsg(int code);
  // Records the code and raises ERegExpr with ErrorMsg's text; for codes
  // below 1000 " (pos N)" with the compile position is appended. An override
  // that returns instead of raising makes the failed operation answer false.
  virtual void Error(int code);

 private:
  bool CompileIfNeeded();
  bool ExecPrim(int position);
  void ClearSubMatches();

  std::string FExpression;
  int FModifiers;
  std::string FLinePairedSeparator;
  std::string FInputString;
  bool FHasInput = false;
  int FStart[kSubMatchCount];
  int FEnd[kSubMatchCount];  // 0-based, exclusive; -1 when unset
  bool FLastSearchMatched = false;
  int FLastError = 0;
  int FCompilerErrorPos = 0;

  std::unique_ptr<regexpr_internal::Program> FProgram;
  int FProgramModifiers = 0;
  std::unique_ptr<regexpr_internal::MatchScratch> FScratch;
};

}  // namespace halvorn
