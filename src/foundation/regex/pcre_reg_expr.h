// The program's second regular-expression engine: Perl-compatible patterns
// through PCRE2 (8-bit code units, byte mode: no UTF, no Unicode properties),
// behind a small object layer of shared interfaces, and TPcreRegExpr, an
// object shaped like TRegExpr for the rule catalogue.
//
// Ownership: every interface is handed out as a std::shared_ptr; an object
// lives while anyone holds it. Matches, groups and collections keep their
// subject text alive themselves, so they stay valid after the regex and the
// caller's text are gone.
//
// Threads: a compiled regex (IRegex) never changes after creation and may be
// used from any number of threads at once. Each thread matches with its own
// match data and its own JIT stack. A TPcreRegExpr is one thread's object.
//
// Limits: every match runs under a match limit (which grows with the length
// of the subject), a depth limit and a heap limit, and JIT code under a JIT
// stack of its own per thread. A pattern that backtracks without end on a
// text does not hang or overflow: the match raises ERegexException (see
// CheckPcreResult) and the caller decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halvorn {

// Base of the errors of this engine. Code() is PCRE2's error code of a
// failed match or pattern query (0 for the other errors).
class ERegexException : public std::runtime_error {
 public:
  explicit ERegexException(const std::string& message, int code = 0)
      : std::runtime_error(message), FCode(code) {}
  int Code() const { return FCode; }

 private:
  int FCode;
};

// A locale name or category that cannot be used for character tables.
class EBadRegexLocale : public ERegexException {
 public:
  using ERegexException::ERegexException;
};

// A "$n" in a replacement text that names no group of the pattern.
class ERegexInvalidSubstitutionGroup : public ERegexException {
 public:
  using ERegexException::ERegexException;
};

// Compile options; the bit values are stored in settings.
enum class TRegexOptions : std::uint32_t {
  None = 0,
  Anchored = 1,
  Caseless = 2,
  DollarEndOnly = 4,
  DotAll = 8,
  Extended = 16,
  Extra = 32,  // an unknown escape such as \q is an error (otherwise a literal)
  MultiLine = 64,
  Ungreedy = 128,
};

// Match options.
enum class TRegexMatchOptions : std::uint32_t {
  None = 0,
  Anchored = 1,
  NotBol = 2,
  NotEol = 4,
  NotEmpty = 8,
};

constexpr TRegexOptions operator|(TRegexOptions a, TRegexOptions b) {
  return static_cast<TRegexOptions>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr TRegexOptions operator&(TRegexOptions a, TRegexOptions b) {
  return static_cast<TRegexOptions>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}
constexpr TRegexOptions operator~(TRegexOptions a) {
  return static_cast<TRegexOptions>(~static_cast<std::uint32_t>(a) & 0xFF);
}
constexpr bool HasOption(TRegexOptions set, TRegexOptions option) {
  return (static_cast<std::uint32_t>(set) & static_cast<std::uint32_t>(option)) != 0;
}
constexpr TRegexMatchOptions operator|(TRegexMatchOptions a, TRegexMatchOptions b) {
  return static_cast<TRegexMatchOptions>(static_cast<std::uint32_t>(a) |
                                         static_cast<std::uint32_t>(b));
}

// One group of a match. Index 0 is the whole match, 1 to count - 1 the
// capture groups; -1 stands for the text before the match, -2 for the text
// after it. Offsets are 0-based byte offsets into the subject.
class ICaptureGroup {
 public:
  virtual ~ICaptureGroup() = default;
  // True when the group took part in the match.
  virtual bool Success() const = 0;
  // The group's text; empty when it did not take part.
  virtual std::string Value() const = 0;
  // The group's start offset; -1 when it did not take part.
  virtual int Index() const = 0;
  virtual int Length() const = 0;
};

class ICaptureGroupCollection {
 public:
  virtual ~ICaptureGroupCollection() = default;
  // The number of groups: the pattern's capture count + 1, or 0 for a
  // failed match.
  virtual int Count() const = 0;
  // A new group object for any index (one outside the match answers
  // Success false).
  virtual std::shared_ptr<ICaptureGroup> Items(int index) const = 0;
};

// One match attempt; as an ICaptureGroup it is the whole match.
class IMatch : public ICaptureGroup {
 public:
  virtual std::shared_ptr<ICaptureGroupCollection> Groups() const = 0;
};

class IMatchCollection {
 public:
  virtual ~IMatchCollection() = default;
  virtual int Count() const = 0;
  // Raises std::out_of_range for an index outside 0 to Count() - 1.
  virtual std::shared_ptr<IMatch> Items(int index) const = 0;
};

class IStringCollection {
 public:
  virtual ~IStringCollection() = default;
  virtual int Count() const = 0;
  // Raises std::out_of_range for an index outside 0 to Count() - 1.
  virtual const std::string& Items(int index) const = 0;
};

// Called with each match in turn.
using TMatchCallback = std::function<void(const std::shared_ptr<IMatch>&)>;
// Called with each match; answers the text that replaces it.
using TMatchEvaluator = std::function<std::string(const std::shared_ptr<IMatch>&)>;

// What PCRE2 knows about a compiled pattern. Every query raises
// ERegexException when PCRE2 refuses it.
class IRegexInfo {
 public:
  virtual ~IRegexInfo() = default;
  virtual std::size_t Size() const = 0;  // bytes of the compiled pattern
  virtual int CaptureCount() const = 0;
  virtual int BackRefMax() const = 0;
  // The fixed first byte of every match; -1 when every match starts at the
  // start of the subject or of a line; -2 when neither is known.
  virtual int FirstChar() const = 0;
  // The 32-byte bitmap of possible first bytes, or nullptr when there is
  // none. Valid while the regex lives.
  virtual const std::uint8_t* FirstTable() const = 0;
  // The last byte every match must contain; -1 when there is none.
  virtual int LastLiteral() const = 0;
  virtual std::string LocaleName() const = 0;
  // The compile options, with Anchored added when the pattern anchors
  // itself and the options changed at the pattern's start ((?i) and such).
  virtual TRegexOptions Options() const = 0;
  virtual std::string Pattern() const = 0;
};

// A compiled pattern. Matching raises ERegexException on a PCRE2 failure,
// a limit reached among them; no match is not an error. A start below 0 or
// beyond the text's length gives a failed match without matching; a start
// equal to the length is allowed.
//
// Walking all matches (Matches, ForEach, Split, Replace): after a match the
// next search starts at the larger of its end and its start + 1, so every
// empty match is reported once and the walk always moves on.
class IRegex {
 public:
  virtual ~IRegex() = default;

  virtual bool IsMatch(std::string_view text, int start, TRegexMatchOptions options) const = 0;
  bool IsMatch(std::string_view text) const { return IsMatch(text, 0, TRegexMatchOptions::None); }
  bool IsMatch(std::string_view text, TRegexMatchOptions options) const {
    return IsMatch(text, 0, options);
  }
  bool IsMatch(std::string_view text, int start) const {
    return IsMatch(text, start, TRegexMatchOptions::None);
  }

  // The first match at or after start. The subject is shared, not copied:
  // pass a shared text to match a large body without copying it.
  virtual std::shared_ptr<IMatch> Match(std::shared_ptr<const std::string> subject, int start,
                                        TRegexMatchOptions options) const = 0;
  std::shared_ptr<IMatch> Match(std::string_view text, int start,
                                TRegexMatchOptions options) const {
    return Match(std::make_shared<const std::string>(text), start, options);
  }
  std::shared_ptr<IMatch> Match(std::string_view text) const {
    return Match(text, 0, TRegexMatchOptions::None);
  }
  std::shared_ptr<IMatch> Match(std::string_view text, TRegexMatchOptions options) const {
    return Match(text, 0, options);
  }
  std::shared_ptr<IMatch> Match(std::string_view text, int start) const {
    return Match(text, start, TRegexMatchOptions::None);
  }

  virtual std::shared_ptr<IMatchCollection> Matches(std::string_view text,
                                                    TRegexMatchOptions options) const = 0;
  std::shared_ptr<IMatchCollection> Matches(std::string_view text) const {
    return Matches(text, TRegexMatchOptions::None);
  }

  // Calls the callback with each match; an empty callback does nothing.
  virtual void ForEach(std::string_view text, TRegexMatchOptions options,
                       const TMatchCallback& callback) const = 0;
  void ForEach(std::string_view text, const TMatchCallback& callback) const {
    ForEach(text, TRegexMatchOptions::None, callback);
  }

  // The pieces of the text between matches, from the start to the end (the
  // whole text when nothing matches; empty pieces kept). After each piece,
  // the match itself when includeMatches is set, then the value of every
  // capture group (empty for a group that did not take part).
  virtual std::shared_ptr<IStringCollection> Split(std::string_view text, bool includeMatches,
                                                   TRegexMatchOptions options) const = 0;
  std::shared_ptr<IStringCollection> Split(std::string_view text) const {
    return Split(text, false, TRegexMatchOptions::None);
  }
  std::shared_ptr<IStringCollection> Split(std::string_view text, bool includeMatches) const {
    return Split(text, includeMatches, TRegexMatchOptions::None);
  }

  // The text with every match replaced by the replacement, its variables
  // filled in by SubstituteMatch (which may raise
  // ERegexInvalidSubstitutionGroup).
  virtual std::string Replace(std::string_view text, std::string_view replacement,
                              TRegexMatchOptions options) const = 0;
  // The text with every match replaced by the evaluator's answer; an empty
  // evaluator leaves the text unchanged.
  virtual std::string Replace(std::string_view text, const TMatchEvaluator& evaluator,
                              TRegexMatchOptions options) const = 0;
  std::string Replace(std::string_view text, std::string_view replacement) const {
    return Replace(text, replacement, TRegexMatchOptions::None);
  }
  std::string Replace(std::string_view text, const TMatchEvaluator& evaluator) const {
    return Replace(text, evaluator, TRegexMatchOptions::None);
  }

  virtual TRegexOptions Options() const = 0;
  virtual std::string Pattern() const = 0;
};

// Compiles a pattern with the character tables of a locale: the name "C"
// with category 0 (the default) uses PCRE2's built-in tables; any other
// pair builds tables under that locale (see LoadRegexLocale). Raises
// ERegexException "Invalid Pattern '%s': error at position %d: %s" for a bad
// pattern and EBadRegexLocale for a bad locale. Safe from any thread.
std::shared_ptr<IRegex> NewRegex(std::string_view pattern,
                                 TRegexOptions options = TRegexOptions::None,
                                 const std::string& localeName = "C", int localeCategory = 0);

// The pattern queries of a regex made by NewRegex.
std::shared_ptr<IRegexInfo> RegexInfo(const std::shared_ptr<IRegex>& regex);

// Character tables built for a locale. The category is numbered as the
// settings store it: 0 all, 1 collation, 2 character type, 3 monetary,
// 4 numeric, 5 time. The locale is made for the calling thread only; the
// process-wide locale is never touched. Raises EBadRegexLocale "Invalid
// locale string %s or invalid locale category %d" when the locale does not
// exist or the category is not one of these. Safe from any thread.
class TRegexLocale {
 public:
  TRegexLocale(const std::string& name, int category);
  ~TRegexLocale();
  TRegexLocale(const TRegexLocale&) = delete;
  TRegexLocale& operator=(const TRegexLocale&) = delete;

  // The locale's name as the system reports it ("C" for the built-in
  // tables).
  const std::string& Name() const { return FName; }
  // The tables, or nullptr for the built-in ones.
  const std::uint8_t* Tables() const { return FTables; }

 private:
  // Builds the tables for every pair but ("C", 0).
  void LoadRegexLocale(const std::string& name, int category);

  std::string FName;
  const std::uint8_t* FTables = nullptr;
  bool FOwnsTables = false;
};

// Raises ERegexException for a negative PCRE2 result code, with the text of
// its meaning: "PCRE_ERROR_NOMATCH", "PCRE_ERROR_NULL",
// "PCRE_ERROR_BADOPTION", "PCRE_ERROR_BADMAGIC", "PCRE_ERROR_UNKNOWN_NODE"
// (an internal error), "PCRE_ERROR_NOMEMORY" (the heap limit too),
// "PCRE_ERROR_NOSUBSTRING", or "Unknown PCRE error code %d". Codes with a
// classic number of their own are reported under it: the match limit as -8,
// the depth limit as -21, the JIT stack limit as -27, a bad offset as -24;
// others under PCRE2's code. Does nothing for 0 or more.
void CheckPcreResult(int code);

// The replacement text with its variables filled in from the match:
// "$$" a "$", "$&" the match, "$`" the text before it, "$'" the text after
// it, "$+" the last group of the pattern (the match when there is none),
// "$_" the whole subject, "$n" group n. Any other "$" stays as written.
// Raises ERegexInvalidSubstitutionGroup "Invalid substitution variable $%d"
// when n is not below the match's group count.
std::string SubstituteMatch(std::string_view replacement, const std::shared_ptr<IMatch>& match);

// A regex object shaped like TRegExpr: an expression, on/off modifiers and
// Exec. After every change it takes its compiled pattern from the
// process-wide cache (regex_cache.h) at its next match, so setting the same
// expression again never compiles it twice. One thread's object.
class TPcreRegExpr {
 public:
  TPcreRegExpr() = default;

  const std::string& Expression() const { return FExpression; }
  // Stores the expression and drops the compiled pattern and last match.
  void SetExpression(std::string_view expression);

  // Modifiers numbered like TRegExpr's: 1 i (caseless), 3 s (dot all),
  // 5 m (multi-line), 4 g (greedy: off makes the pattern ungreedy); any
  // other number only drops the compiled pattern.
  void SetModifier(int modifier, bool on);
  TRegexOptions Options() const { return FOptions; }

  // True when the expression matches somewhere in the text. Compiles when
  // needed; raises ERegexException for a bad expression or a failed match.
  bool Exec(std::string_view text);
  bool Exec(std::shared_ptr<const std::string> text);
  // Exec's answer without its record: the text is matched where it stands
  // (no copy), and LastSubject and LastMatch are cleared.
  bool Matches(std::string_view text);

  // The last subject and match of Exec (nullptr before the first).
  const std::shared_ptr<const std::string>& LastSubject() const { return FLastSubject; }
  const std::shared_ptr<IMatch>& LastMatch() const { return FLastMatch; }

 private:
  std::string FExpression;
  TRegexOptions FOptions = TRegexOptions::None;
  std::shared_ptr<IRegex> FRegex;
  std::shared_ptr<const std::string> FLastSubject;
  std::shared_ptr<IMatch> FLastMatch;
};

}  // namespace halvorn
