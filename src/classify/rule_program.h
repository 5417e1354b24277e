// The rule program: the fixed order in which the rule catalogue
// (rule_catalogue.h) judges one message, area by area, and what each rule
// reads there.
//
//   opening rules  498 (size) and 499 (the fetching account's address)
//   SA_tag         single header values by name, the decoded Subject, the
//                  Received lines one by one, presence of headers
//   SA_Header      the whole header as text, every line ending in CR LF
//   SA_PlainText   the very plain text of all parts, one long line of
//                  words; 200 ms budget, counted from the end of its fetch
//   SA_PlainText2  the plain text, lines joined with CR LF
//   SA_RawText     the decoded text of every part; 100 ms budget, counted
//                  from before its fetch
//   SA_RawHtml     the decoded lines of the first HTML part
//   SA_RawEval     measures of the message's parts
//   SA_EvalHeader and SA_BL  the header evaluations (given by
//                  IRuleHeaderEvaluations)
//
// Every decision is reported at once to the sink, in program order. A rule
// may stand more than once; the sink keeps its first yes. Some rules are
// reported as no without running their pattern: the rules marked m when the
// message carries mailing-list headers, some when the message comes from
// Hotmail, the three script rules when rule 8 said no, 524 in SA_tag. Rules
// that are not decided stay unknown: 432, 473 and 491 always, 438 without a
// From header, 567 and 568 without a Subject that begins with "re" or "fw",
// the rest of an area whose budget ran out, everything after a set abort
// flag, and the rules of the header evaluations when none are given.
//
// The places, their marks and rule texts are listed in
// rule_program_table.cpp; each rule text is split once, at the first run.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "classify/rule_catalogue.h"
#include "foundation/regex/pcre_reg_expr.h"
#include "message/email_msg.h"

namespace halvorn {

// Where the program reports its decisions (the rule-set test).
class IRuleResultSink {
 public:
  virtual ~IRuleResultSink() = default;
  // One decision: the rule fired (true) or not.
  virtual void HandleTestResult(bool outcome, std::uint16_t rule) = 0;
  // An explanation line that follows a rule's own lines: rule 499's
  // "Address " + the fetching account's address + " not found in address
  // fields".
  virtual void AddRuleNote(std::uint16_t rule, const std::string& line) = 0;
};

// The header evaluations the program calls (given by the rule-set test).
// Each reports its rules to the sink itself.
class IRuleHeaderEvaluations {
 public:
  virtual ~IRuleHeaderEvaluations() = default;
  // Step 8 of SA_tag: rules 141, 522 and 523 from the relay path.
  virtual void RelayPathRules(TEmailMsg& msg, IRuleResultSink& sink) = 0;
  // The condition of 583: the mail server's boundary check answers no.
  virtual bool ImsBoundaryFails(TEmailMsg& msg) = 0;
  // The areas SA_EvalHeader and SA_BL, with the abort tests of SA_BL; false
  // when they found the abort flag set.
  virtual bool EvalHeaderAreas(TEmailMsg& msg, IRuleResultSink& sink,
                               const std::atomic<bool>* abort) = 0;
};

enum class TRuleArea : std::uint8_t {
  Opening,
  Tag,
  Header,
  PlainText,
  PlainText2,
  RawText,
  RawHtml,
  RawEval,
  EvalHeader,  // SA_EvalHeader and SA_BL
};
inline constexpr int kRuleAreaCount = 9;

// "SA_tag", "SA_Header", ... ("opening" for the opening rules,
// "SA_EvalHeader" for the last).
const char* RuleAreaName(TRuleArea area);

// Time budgets of the two long areas, in milliseconds.
inline constexpr std::int64_t kPlainTextBudgetMs = 200;
inline constexpr std::int64_t kRawTextBudgetMs = 100;

// Figures of one run for benchmarks: the time spent in each area (by the
// steady clock, whatever clock the run was given) and the budgets that ran
// out.
struct TRuleProgramStats {
  std::array<std::int64_t, kRuleAreaCount> AreaNanoseconds{};
  int BudgetHits = 0;
};

struct TRuleProgramRun {
  // Tested at the program's abort points; null never aborts.
  const std::atomic<bool>* Abort = nullptr;
  // Milliseconds of a monotonic clock for the budgets; SteadyMilliseconds
  // when empty. Tests give a frozen or a stepping clock.
  std::function<std::int64_t()> Clock;
  // Null: the rules the header evaluations decide are not reported.
  IRuleHeaderEvaluations* HeaderEvaluations = nullptr;
  // When set, filled (added to) with the run's figures.
  TRuleProgramStats* Stats = nullptr;
};

enum class TRuleProgramEnd { Finished, Aborted };

// Runs the program over the message, reporting to the sink, matching with
// the matcher (whose expression and modifiers it changes). Answers Aborted
// when it found the abort flag set. A failed fetch of an area's text leaves
// that area the empty text (SA_PlainText what was gathered); an error in
// SA_Header ends that area only. Other errors (a header read, a part
// measure) leave the program: the caller finishes its evaluation and raises
// them again. One thread per matcher; the message is read under its own
// lock.
TRuleProgramEnd RunRuleProgram(TEmailMsg& msg, IRuleResultSink& sink, TPcreRegExpr& matcher,
                               const TRuleProgramRun& run = {});

// ---------------------------------------------------------------------------
// The table (rule_program_table.cpp), for the program and its tests.

enum class TPlaceKind : std::uint8_t {
  Full,       // PerformSATest on the area's text (SA_tag: the header's value)
  Plain,      // PerformSATestFF on the area's text
  Missing,    // yes when the header is absent
  Present,    // yes when the header exists
  Scan,       // the pattern tried on the Received lines, oldest first
  Size,       // 498: the message is larger than 25000 bytes
  BccMe,      // 499
  Uppercase,  // 117 to 119: bands of PercentUppercase of the text
  Yelling,    // 120 to 122: CountLinesOfYelling of the text
  Measure,    // SA_RawEval: a part measure compared with a constant
  Relays,     // step 8 of SA_tag (header evaluations)
};

// Marks of a place.
inline constexpr std::uint16_t kPlaceBudget = 1;       // a budget and an abort test before it
inline constexpr std::uint16_t kPlaceAbort = 2;        // an abort test before it
inline constexpr std::uint16_t kPlaceMailingList = 4;  // m: no with mailing-list headers
inline constexpr std::uint16_t kPlaceHotmail = 8;      // no when the message is from Hotmail
inline constexpr std::uint16_t kPlaceWithFrom = 16;    // only when a From header exists
inline constexpr std::uint16_t kPlaceReply = 32;       // only for "re" / "fw" subjects
inline constexpr std::uint16_t kPlaceAlwaysNo = 64;    // reported as no
inline constexpr std::uint16_t kPlaceImsBoundary = 128;  // no when the boundary check fails
inline constexpr std::uint16_t kPlaceGatedBy8 = 256;   // no when rule 8 said no

struct TRulePlace {
  TRuleArea Area;
  std::uint16_t Rule;
  TPlaceKind Kind;
  std::uint16_t Marks;
  std::string Source;  // SA_tag: the header's name; SA_RawEval: the measure
  std::string Text;    // the rule text, empty for places without a pattern
  TSARule Parsed;      // Text split
};

// Every place in program order. Made (and every rule text split) on the
// first call; safe from any thread.
const std::vector<TRulePlace>& RuleProgramPlaces();

}  // namespace halvorn
