// The rule catalogue: 632 numbered header and body rules, each with a name,
// points and a sentence that explains it when it fires, and the operations
// with which the rules match and measure text.
//
// A rule's number is at once its test number (0 to 631 of the common
// numbering, test_numbers.h), its index in the rule-set test's rule results,
// its index in the message's standard-test trites and the index of its input
// to the rule-set test's network.
//
// A rule text is an optional operator, "=~ " (fires when the pattern
// matches) or "!~ " (fires when it does not), then "/", the pattern, "/" and
// modifier letters: "=~ /\d\d\@/", "/LIMITED TIME (ONLY|offer)/i". Only the
// first and the last "/" delimit, so slashes inside the pattern stay part of
// it. A text without two such slashes is malformed: both matchers answer
// false for it.
//
// Threads: everything here may run on any thread at once, except that one
// TPcreRegExpr serves one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/regex/pcre_reg_expr.h"

namespace halvorn {

// The rules by name; the members, in number order, are listed with their
// points and descriptions in rule_catalogue_table.cpp.
enum class TSpamAssassinSubTestEnum : std::uint16_t;

inline constexpr int kRuleCount = 632;

// The rule's name ("SK_BAD_MS_HEADERS" for 0); the empty text outside 0 to
// 631.
std::string GetSATestName(std::uint16_t rule);
// The rule's points; 1.0 outside 0 to 631.
double GetSATestScore(std::uint16_t rule);
// The rule's description; the empty text outside 0 to 631.
std::string GetSATestDescription(std::uint16_t rule);

// Whether the rule text's pattern, run through the matcher with the text's
// modifiers ("i" caseless, "s" dot-all, "m" multi-line, "g" greedy, without
// it ungreedy; "r" and other letters nothing), decides for the subject: a
// match, or no match when the text begins with "!~". Sets the matcher's
// expression and modifiers. False for a malformed text, a pattern that does
// not compile and a match the engine gives up on (its limits), also under
// "!~". Never raises.
bool PerformSATest(std::string_view rule, std::string_view subject, TPcreRegExpr& matcher);

// The same for a plain pattern, searched as literal text (a "." is a full
// stop): "\b" at its start or end asks for a word boundary there (the
// neighbour is not an ASCII letter, digit or "_", or the text ends), "i"
// ignores the case of letters (code page 1252), and the rule fires on a find,
// or on none when the text holds "!~" and no "=~". The matcher is not used.
// False for a malformed text. Never raises.
bool PerformSATestFF(std::string_view rule, std::string_view subject,
                     TPcreRegExpr* matcher = nullptr);

// Capitals (A to Z) per hundred small letters (a to z) plus one, truncated:
// "ABC" gives 300, "Ab" 50, the empty text 0.
std::int32_t PercentUppercase(std::string_view text);

// The lines (split at CR LF or LF) written in capitals: at least 20 of A to
// Z, no a to z, and some character that is neither an ASCII letter nor a
// blank. Lines shorter than 10 characters when trimmed are skipped; so is a
// line that begins with a blank or tab unless, trimmed, it begins with "!"
// or "$" or has "$" second (it then counts in its trimmed form).
std::int32_t CountLinesOfYelling(std::string_view text);

// ---------------------------------------------------------------------------
// The same matching for callers that run one rule text many times (the rule
// program): the text split once, and a subject prepared once for many plain
// searches.

struct TSARule {
  bool Valid = false;          // two delimiting slashes
  bool NegatedFull = false;    // begins with "!~" (PerformSATest)
  bool NegatedPlain = false;   // "!~" anywhere and no "=~" (PerformSATestFF)
  std::string Expression;      // between the first and the last "/"
  std::string Modifiers;       // after the last "/", at most 999, lower case
  // The plain reading.
  bool LeftBoundary = false;
  bool RightBoundary = false;
  bool IgnoreCase = false;
  std::string Needle;          // without the framing "\b"
  std::string FoldedNeedle;    // Needle in capitals (code page 1252)
};

// Splits a rule text. Never raises.
TSARule ParseSARule(std::string_view rule);

// PerformSATest with a split rule text.
bool MatchSARule(const TSARule& rule, std::string_view subject, TPcreRegExpr& matcher);

// A subject for plain searches: the text, and its capitals form made on the
// first search that ignores case. The text must outlive the object.
class TPlainSubject {
 public:
  explicit TPlainSubject(std::string_view text) : FText(text) {}
  TPlainSubject(const TPlainSubject&) = delete;
  TPlainSubject& operator=(const TPlainSubject&) = delete;

  std::string_view Text() const { return FText; }
  std::string_view Folded();

 private:
  std::string_view FText;
  std::string FFolded;
  bool FFoldedMade = false;
};

// PerformSATestFF with a split rule text and a prepared subject.
bool SearchSARule(const TSARule& rule, TPlainSubject& subject);

}  // namespace halvorn
