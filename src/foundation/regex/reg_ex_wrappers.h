// One-call runs of the program's regular-expression engine (TRegExpr) with a
// compact set of option bits, for the message model's built-in patterns
// (Received lines, host names, URLs, HTML) and for the tests.
//
// Each thread keeps one compiled engine per pattern and options (at most
// kRegExThreadEngines; when more are asked for, the thread starts afresh), so
// a pattern is compiled once per thread, not once per call; an engine keeps
// no text between calls. Every function here may run on any thread at once.
// SetRegexCachesEnabled(false) (regex_cache.h) makes each call use an engine
// of its own again, with the same results. A pattern that does not compile,
// and a search that the engine stops (its step or memory budget), raise the
// engine's ERegExpr to the caller: a broken user pattern is the caller's to
// report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/regex/reg_expr.h"
#include "foundation/text/string_list.h"

namespace halvorn {

inline constexpr std::size_t kRegExThreadEngines = 512;

// Option bits. Each switches one modifier of the engine on (set) or off
// (clear); the Cyrillic-range modifier is always off. Bits 32 to 128 are
// ignored.
inline constexpr std::uint8_t kRegExIgnoreCase = 1;  // i
inline constexpr std::uint8_t kRegExMultiLine = 2;   // m: ^ and $ at line breaks
inline constexpr std::uint8_t kRegExDotAll = 4;      // s: "." matches line breaks too
inline constexpr std::uint8_t kRegExGreedy = 8;      // g: off makes repetition non-greedy
inline constexpr std::uint8_t kRegExExtended = 16;   // x: blanks and comments ignored

// Sets the engine's modifiers from the option bits. Used by the functions
// below; callers that keep an engine of their own may use it too.
void ApplyRegExOptions(TRegExpr& engine, std::uint8_t options);

// True when the leftmost match of the pattern is the whole text. A later,
// longer match is not tried: "a|ab" against "ab" is false. An empty pattern
// matches only an empty text (and raises nothing).
bool RegExMatchesWhole(const std::string& text, const std::string& pattern, std::uint8_t options);

// The first match followed by the texts of group 1, 2, ... up to (not
// including) the first group that is empty or did not take part; empty when
// there is no match.
std::string RegExFirstMatch(const std::string& pattern, const std::string& text,
                            std::uint8_t options);

// Appends the matches of the pattern in the text, from the first to the last,
// to the list (which is not cleared first). With allGroups each match adds
// its whole text and then groups 1, 2, ... up to the first empty one; without
// it each non-empty whole match adds one line. When `exclusion` is not empty
// it is then run (same options) over every line of the list, lines already
// there included, and each line in which it finds a match is removed.
// Answers whether the pattern matched at all.
bool RegExCollectMatches(const std::string& pattern, const std::string& text, TStringList& list,
                         bool allGroups, std::uint8_t options, const std::string& exclusion = {});

// Every match of the pattern in the text replaced by `replacement`, taken
// literally (no group references), into `result`. When the engine raises,
// `result` is left as it was.
void RegExReplace(const std::string& pattern, const std::string& text,
                  const std::string& replacement, std::string& result, std::uint8_t options);

}  // namespace halvorn
