#include "foundation/regex/pcre_reg_expr.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <langinfo.h>
#include <locale.h>
#include <pcre2.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "foundation/regex/regex_cache.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {

namespace {

// Limits of one match. The match limit grows with the subject so that plain
// scans of multi-megabyte bodies never reach it, while a pattern that
// backtracks without end stops within a fraction of a second on any text.
constexpr std::uint32_t kBaseMatchLimit = 10'000'000;
constexpr std::uint32_t kMatchLimitPerByte = 10;
constexpr std::uint32_t kDepthLimit = 1'000'000;
constexpr std::uint32_t kHeapLimitKiB = 256 * 1024;
// PCRE2's default JIT stack of 32 KiB overflows on ordinary patterns such as
// (\w+\s)* over a large body; each thread gets one that can grow this far.
constexpr std::size_t kJitStackStart = 64 * 1024;
constexpr std::size_t kJitStackMax = 128 * 1024 * 1024;

std::string Format(std::string_view text, std::string_view a) {
  std::string out(text);
  std::size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, a);
  return out;
}

std::string PcreErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  int n = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (n < 0) return "error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

std::uint32_t CompileFlags(TRegexOptions options) {
  auto has = [&](TRegexOptions o) { return HasOption(options, o); };
  std::uint32_t flags = PCRE2_NEVER_UTF | PCRE2_NEVER_UCP;
  if (has(TRegexOptions::Anchored)) flags |= PCRE2_ANCHORED;
  if (has(TRegexOptions::Caseless)) flags |= PCRE2_CASELESS;
  if (has(TRegexOptions::DollarEndOnly)) flags |= PCRE2_DOLLAR_ENDONLY;
  if (has(TRegexOptions::DotAll)) flags |= PCRE2_DOTALL;
  if (has(TRegexOptions::Extended)) flags |= PCRE2_EXTENDED;
  if (has(TRegexOptions::MultiLine)) flags |= PCRE2_MULTILINE;
  if (has(TRegexOptions::Ungreedy)) flags |= PCRE2_UNGREEDY;
  return flags;
}

TRegexOptions OptionsFromFlags(std::uint32_t flags) {
  TRegexOptions options = TRegexOptions::None;
  if (flags & PCRE2_ANCHORED) options = options | TRegexOptions::Anchored;
  if (flags & PCRE2_CASELESS) options = options | TRegexOptions::Caseless;
  if (flags & PCRE2_DOLLAR_ENDONLY) options = options | TRegexOptions::DollarEndOnly;
  if (flags & PCRE2_DOTALL) options = options | TRegexOptions::DotAll;
  if (flags & PCRE2_EXTENDED) options = options | TRegexOptions::Extended;
  if (flags & PCRE2_MULTILINE) options = options | TRegexOptions::MultiLine;
  if (flags & PCRE2_UNGREEDY) options = options | TRegexOptions::Ungreedy;
  return options;
}

std::uint32_t MatchFlags(TRegexMatchOptions options) {
  auto bits = static_cast<std::uint32_t>(options);
  std::uint32_t flags = 0;
  if (bits & 1) flags |= PCRE2_ANCHORED;
  if (bits & 2) flags |= PCRE2_NOTBOL;
  if (bits & 4) flags |= PCRE2_NOTEOL;
  if (bits & 8) flags |= PCRE2_NOTEMPTY;
  return flags;
}

// What one thread needs to match: a match context that carries the limits
// and the thread's JIT stack, and match data reused while it is large
// enough. Freed when the thread ends.
class TThreadMatcher {
 public:
  TThreadMatcher() {
    FContext = pcre2_match_context_create(nullptr);
    FJitStack = pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr);
    if (FContext) {
      pcre2_set_depth_limit(FContext, kDepthLimit);
      pcre2_set_heap_limit(FContext, kHeapLimitKiB);
      if (FJitStack) pcre2_jit_stack_assign(FContext, nullptr, FJitStack);
    }
  }
  ~TThreadMatcher() {
    pcre2_match_data_free(FData);
    pcre2_jit_stack_free(FJitStack);
    pcre2_match_context_free(FContext);
  }
  TThreadMatcher(const TThreadMatcher&) = delete;
  TThreadMatcher& operator=(const TThreadMatcher&) = delete;

  // Runs one match; answers PCRE2's result. On success the pairs are in
  // Ovector().
  int Run(const pcre2_code* code, std::string_view subject, std::size_t start, std::uint32_t flags,
          std::uint32_t pairsNeeded) {
    if (!FContext) return PCRE2_ERROR_NOMEMORY;
    if (!FData || FPairs < pairsNeeded) {
      pcre2_match_data_free(FData);
      FPairs = std::max<std::uint32_t>(pairsNeeded, 16);
      FData = pcre2_match_data_create(FPairs, nullptr);
      if (!FData) {
        FPairs = 0;
        return PCRE2_ERROR_NOMEMORY;
      }
    }
    std::uint64_t limit =
        kBaseMatchLimit + static_cast<std::uint64_t>(kMatchLimitPerByte) * subject.size();
    pcre2_set_match_limit(FContext,
                          static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, UINT32_MAX)));
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start,
                       flags, FData, FContext);
  }
  const PCRE2_SIZE* Ovector() const { return pcre2_get_ovector_pointer(FData); }

 private:
  pcre2_match_context* FContext = nullptr;
  pcre2_jit_stack* FJitStack = nullptr;
  pcre2_match_data* FData = nullptr;
  std::uint32_t FPairs = 0;
};

TThreadMatcher& ThreadMatcher() {
  thread_local TThreadMatcher matcher;
  return matcher;
}

// The settings' locale categories and the system's.
bool SystemCategory(int category, int& mask, int& nameCategory) {
  switch (category) {
    case 0:
      mask = LC_ALL_MASK;
      nameCategory = LC_CTYPE;
      return true;
    case 1:
      mask = LC_COLLATE_MASK;
      nameCategory = LC_COLLATE;
      return true;
    case 2:
      mask = LC_CTYPE_MASK;
      nameCategory = LC_CTYPE;
      return true;
    case 3:
      mask = LC_MONETARY_MASK;
      nameCategory = LC_MONETARY;
      return true;
    case 4:
      mask = LC_NUMERIC_MASK;
      nameCategory = LC_NUMERIC;
      return true;
    case 5:
      mask = LC_TIME_MASK;
      nameCategory = LC_TIME;
      return true;
    default:
      return false;
  }
}

class TRegexMatch;

class TRegexCaptureGroup : public ICaptureGroup {
 public:
  TRegexCaptureGroup(std::shared_ptr<const TRegexMatch> match, int index)
      : FMatch(std::move(match)), FIndex(index) {}
  bool Success() const override;
  std::string Value() const override;
  int Index() const override;
  int Length() const override;

 private:
  // The group holds its match, so that it stays valid on its own.
  std::shared_ptr<const TRegexMatch> FMatch;
  int FIndex;
};

class TRegexMatch : public IMatch,
                    public ICaptureGroupCollection,
                    public std::enable_shared_from_this<TRegexMatch> {
 public:
  // offsets: two per group (start, end), -1 for a group that did not take
  // part; empty for a failed match.
  TRegexMatch(std::shared_ptr<const std::string> subject, std::vector<int> offsets)
      : FSubject(std::move(subject)), FOffsets(std::move(offsets)) {}

  // ICaptureGroup: the whole match.
  bool Success() const override { return !FOffsets.empty() && FOffsets[0] != -1; }
  std::string Value() const override { return GroupValue(0); }
  int Index() const override { return Bounds(0).first; }
  int Length() const override {
    auto [start, end] = Bounds(0);
    return end - start;
  }
  std::shared_ptr<ICaptureGroupCollection> Groups() const override {
    return std::const_pointer_cast<TRegexMatch>(shared_from_this());
  }

  // ICaptureGroupCollection.
  int Count() const override { return static_cast<int>(FOffsets.size() / 2); }
  std::shared_ptr<ICaptureGroup> Items(int index) const override {
    return std::make_shared<TRegexCaptureGroup>(shared_from_this(), index);
  }

  std::pair<int, int> Bounds(int group) const {
    if (!Success()) return {-1, -1};
    if (group >= 0 && group < Count()) return {FOffsets[2 * group], FOffsets[2 * group + 1]};
    if (group == -1) return {0, FOffsets[0]};
    if (group == -2) return {FOffsets[1], static_cast<int>(FSubject->size())};
    return {-1, -1};
  }
  std::string GroupValue(int group) const {
    auto [start, end] = Bounds(group);
    if (start < 0 || end <= start) return {};
    return FSubject->substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  }
  const std::string& Subject() const { return *FSubject; }

 private:
  std::shared_ptr<const std::string> FSubject;
  std::vector<int> FOffsets;
};

bool TRegexCaptureGroup::Success() const {
  return FMatch->Bounds(FIndex).first != -1;
}
std::string TRegexCaptureGroup::Value() const {
  return FMatch->GroupValue(FIndex);
}
int TRegexCaptureGroup::Index() const {
  return FMatch->Bounds(FIndex).first;
}
int TRegexCaptureGroup::Length() const {
  auto [start, end] = FMatch->Bounds(FIndex);
  return end - start;
}

class TRegexMatchCollection : public IMatchCollection {
 public:
  int Count() const override { return static_cast<int>(FItems.size()); }
  std::shared_ptr<IMatch> Items(int index) const override {
    return FItems.at(static_cast<std::size_t>(index));
  }
  std::vector<std::shared_ptr<IMatch>> FItems;
};

class TRegexStringCollection : public IStringCollection {
 public:
  int Count() const override { return static_cast<int>(FItems.size()); }
  const std::string& Items(int index) const override {
    return FItems.at(static_cast<std::size_t>(index));
  }
  std::vector<std::string> FItems;
};

class TRegex : public IRegex, public IRegexInfo {
 public:
  TRegex(std::string_view pattern, TRegexOptions options, const std::string& localeName,
         int localeCategory)
      : FPattern(pattern), FOptions(options), FLocale(localeName, localeCategory) {
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    if (!context) throw ERegexException("PCRE_ERROR_NOMEMORY", PCRE2_ERROR_NOMEMORY);
    if (FLocale.Tables()) pcre2_set_character_tables(context, FLocale.Tables());
    // Classic PCRE took an unknown escape such as \q as the letter unless
    // the extra option asked for an error.
    if (!HasOption(options, TRegexOptions::Extra))
      pcre2_set_compile_extra_options(context, PCRE2_EXTRA_BAD_ESCAPE_IS_LITERAL);
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(FPattern.data()), FPattern.size(),
                          CompileFlags(options), &errorCode, &errorOffset, context);
    pcre2_compile_context_free(context);
    if (!FCode) {
      throw ERegexException(Format("Invalid Pattern '%s'", FPattern) + ": error at position " +
                                std::to_string(errorOffset) + ": " + PcreErrorText(errorCode),
                            errorCode);
    }
    // Without JIT (no support for the pattern or no memory) the
    // interpreter matches the same way; nothing to report.
    pcre2_jit_compile(FCode, PCRE2_JIT_COMPLETE);
    std::uint32_t captures = 0;
    pcre2_pattern_info(FCode, PCRE2_INFO_CAPTURECOUNT, &captures);
    FCaptureCount = captures;
  }
  ~TRegex() override { pcre2_code_free(FCode); }
  TRegex(const TRegex&) = delete;
  TRegex& operator=(const TRegex&) = delete;

  // Runs one match; true with the pairs in `offsets` when it matched.
  bool RunMatch(std::string_view text, int start, TRegexMatchOptions options,
                std::vector<int>* offsets) const {
    if (start < 0 || static_cast<std::size_t>(start) > text.size()) return false;
    // Offsets are ints at the interface; texts beyond that are refused
    // rather than matched with wrapped offsets.
    if (text.size() > static_cast<std::size_t>(INT_MAX)) CheckPcreResult(PCRE2_ERROR_BADOFFSET);
    std::uint32_t pairs = FCaptureCount + 1;
    TThreadMatcher& matcher = ThreadMatcher();
    int rc = matcher.Run(FCode, text, static_cast<std::size_t>(start), MatchFlags(options), pairs);
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    CheckPcreResult(rc);
    if (offsets) {
      const PCRE2_SIZE* ovector = matcher.Ovector();
      offsets->assign(2 * static_cast<std::size_t>(pairs), -1);
      // rc 0 would mean the vector was too small; it is sized for every group.
      std::uint32_t set =
          rc == 0 ? pairs : std::min<std::uint32_t>(static_cast<std::uint32_t>(rc), pairs);
      for (std::uint32_t i = 0; i < set; ++i) {
        if (ovector[2 * i] == PCRE2_UNSET) continue;
        (*offsets)[2 * i] = static_cast<int>(ovector[2 * i]);
        (*offsets)[2 * i + 1] = static_cast<int>(ovector[2 * i + 1]);
      }
    }
    return true;
  }

  std::shared_ptr<TRegexMatch> MatchShared(const std::shared_ptr<const std::string>& subject,
                                           int start, TRegexMatchOptions options) const {
    std::vector<int> offsets;
    if (!RunMatch(*subject, start, options, &offsets)) offsets.clear();
    return std::make_shared<TRegexMatch>(subject, std::move(offsets));
  }

  // Calls `handle` with each match of the walk.
  template <typename Handler>
  void Walk(const std::shared_ptr<const std::string>& subject, TRegexMatchOptions options,
            Handler&& handle) const {
    auto match = MatchShared(subject, 0, options);
    while (match->Success()) {
      handle(match);
      auto [start, end] = match->Bounds(0);
      int next = std::max(end, start + 1);
      match = MatchShared(subject, next, options);
    }
  }

  // IRegex.
  using IRegex::ForEach;
  using IRegex::IsMatch;
  using IRegex::Match;
  using IRegex::Matches;
  using IRegex::Replace;
  using IRegex::Split;

  bool IsMatch(std::string_view text, int start, TRegexMatchOptions options) const override {
    return RunMatch(text, start, options, nullptr);
  }

  std::shared_ptr<IMatch> Match(std::shared_ptr<const std::string> subject, int start,
                                TRegexMatchOptions options) const override {
    if (!subject) subject = std::make_shared<const std::string>();
    return MatchShared(subject, start, options);
  }

  std::shared_ptr<IMatchCollection> Matches(std::string_view text,
                                            TRegexMatchOptions options) const override {
    auto collection = std::make_shared<TRegexMatchCollection>();
    Walk(std::make_shared<const std::string>(text), options,
         [&](const std::shared_ptr<TRegexMatch>& m) { collection->FItems.push_back(m); });
    return collection;
  }

  void ForEach(std::string_view text, TRegexMatchOptions options,
               const TMatchCallback& callback) const override {
    if (!callback) return;
    Walk(std::make_shared<const std::string>(text), options,
         [&](const std::shared_ptr<TRegexMatch>& m) { callback(m); });
  }

  std::shared_ptr<IStringCollection> Split(std::string_view text, bool includeMatches,
                                           TRegexMatchOptions options) const override {
    auto collection = std::make_shared<TRegexStringCollection>();
    auto subject = std::make_shared<const std::string>(text);
    int previousEnd = 0;
    Walk(subject, options, [&](const std::shared_ptr<TRegexMatch>& m) {
      auto [start, end] = m->Bounds(0);
      collection->FItems.push_back(
          start > previousEnd ? subject->substr(previousEnd, start - previousEnd) : std::string());
      if (includeMatches) collection->FItems.push_back(m->GroupValue(0));
      for (int g = 1; g < m->Count(); ++g) collection->FItems.push_back(m->GroupValue(g));
      previousEnd = std::max(previousEnd, end);
    });
    collection->FItems.push_back(subject->substr(static_cast<std::size_t>(previousEnd)));
    return collection;
  }

  std::string Replace(std::string_view text, std::string_view replacement,
                      TRegexMatchOptions options) const override {
    return ReplaceWith(text, options, [&](const std::shared_ptr<TRegexMatch>& m) {
      return SubstituteMatch(replacement, m);
    });
  }

  std::string Replace(std::string_view text, const TMatchEvaluator& evaluator,
                      TRegexMatchOptions options) const override {
    if (!evaluator) return std::string(text);
    return ReplaceWith(text, options,
                       [&](const std::shared_ptr<TRegexMatch>& m) { return evaluator(m); });
  }

  template <typename Producer>
  std::string ReplaceWith(std::string_view text, TRegexMatchOptions options,
                          Producer&& produce) const {
    auto subject = std::make_shared<const std::string>(text);
    std::string out;
    int previousEnd = 0;
    Walk(subject, options, [&](const std::shared_ptr<TRegexMatch>& m) {
      auto [start, end] = m->Bounds(0);
      if (start > previousEnd) out.append(*subject, previousEnd, start - previousEnd);
      out += produce(m);
      previousEnd = std::max(previousEnd, end);
    });
    out.append(*subject, static_cast<std::size_t>(previousEnd));
    return out;
  }

  // One answer for both interfaces: the options PCRE2 reports for the
  // compiled pattern (self-anchoring included), with the extra option, which
  // PCRE2 does not keep as such.
  TRegexOptions Options() const override {
    return OptionsFromFlags(Info<std::uint32_t>(PCRE2_INFO_ALLOPTIONS)) |
           (FOptions & TRegexOptions::Extra);
  }
  std::string Pattern() const override { return FPattern; }

  // IRegexInfo.
  std::size_t Size() const override { return Info<std::size_t>(PCRE2_INFO_SIZE); }
  int CaptureCount() const override {
    return static_cast<int>(Info<std::uint32_t>(PCRE2_INFO_CAPTURECOUNT));
  }
  int BackRefMax() const override {
    return static_cast<int>(Info<std::uint32_t>(PCRE2_INFO_BACKREFMAX));
  }
  int FirstChar() const override {
    switch (Info<std::uint32_t>(PCRE2_INFO_FIRSTCODETYPE)) {
      case 1:
        return static_cast<int>(Info<std::uint32_t>(PCRE2_INFO_FIRSTCODEUNIT));
      case 2:
        return -1;
      default:
        return -2;
    }
  }
  const std::uint8_t* FirstTable() const override {
    return Info<const std::uint8_t*>(PCRE2_INFO_FIRSTBITMAP);
  }
  int LastLiteral() const override {
    if (Info<std::uint32_t>(PCRE2_INFO_LASTCODETYPE) != 1) return -1;
    return static_cast<int>(Info<std::uint32_t>(PCRE2_INFO_LASTCODEUNIT));
  }
  std::string LocaleName() const override { return FLocale.Name(); }

 private:
  template <typename T>
  T Info(std::uint32_t what) const {
    T value{};
    CheckPcreResult(pcre2_pattern_info(FCode, what, &value));
    return value;
  }

  std::string FPattern;
  TRegexOptions FOptions;
  TRegexLocale FLocale;  // the compiled pattern points into its tables
  pcre2_code* FCode = nullptr;
  std::uint32_t FCaptureCount = 0;
};

}  // namespace

TRegexLocale::TRegexLocale(const std::string& name, int category) {
  if (name == "C" && category == 0) {
    FName = "C";
    return;
  }
  LoadRegexLocale(name, category);
}

TRegexLocale::~TRegexLocale() {
  if (FOwnsTables) pcre2_maketables_free(nullptr, FTables);
}

void TRegexLocale::LoadRegexLocale(const std::string& name, int category) {
  auto bad = [&] {
    return EBadRegexLocale("Invalid locale string " + name + " or invalid locale category " +
                           std::to_string(category));
  };
  int mask = 0, nameCategory = 0;
  if (!SystemCategory(category, mask, nameCategory)) throw bad();
  // A locale object of our own, made current for this thread only while the
  // tables are built: the process-wide locale, which other threads read, is
  // never changed.
  locale_t locale = newlocale(mask, name.c_str(), static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) throw bad();
  locale_t previous = uselocale(locale);
  const std::uint8_t* tables = pcre2_maketables(nullptr);
  const char* reported = nl_langinfo_l(_NL_LOCALE_NAME(nameCategory), locale);
  std::string actual = reported && *reported ? reported : name;
  uselocale(previous);
  freelocale(locale);
  if (!tables) throw ERegexException("PCRE_ERROR_NOMEMORY", PCRE2_ERROR_NOMEMORY);
  FName = actual;
  FTables = tables;
  FOwnsTables = true;
}

void CheckPcreResult(int code) {
  if (code >= 0) return;
  const char* text = nullptr;
  int classic = code;
  switch (code) {
    case PCRE2_ERROR_NOMATCH:
      text = "PCRE_ERROR_NOMATCH";
      break;
    case PCRE2_ERROR_NULL:
      text = "PCRE_ERROR_NULL";
      break;
    case PCRE2_ERROR_BADOPTION:
      text = "PCRE_ERROR_BADOPTION";
      break;
    case PCRE2_ERROR_BADMAGIC:
      text = "PCRE_ERROR_BADMAGIC";
      break;
    case PCRE2_ERROR_INTERNAL:
      text = "PCRE_ERROR_UNKNOWN_NODE";
      break;
    case PCRE2_ERROR_NOMEMORY:
    case PCRE2_ERROR_HEAPLIMIT:
      text = "PCRE_ERROR_NOMEMORY";
      break;
    case PCRE2_ERROR_NOSUBSTRING:
      text = "PCRE_ERROR_NOSUBSTRING";
      break;
    case PCRE2_ERROR_MATCHLIMIT:
      classic = -8;
      break;
    case PCRE2_ERROR_DEPTHLIMIT:
      classic = -21;
      break;
    case PCRE2_ERROR_JIT_STACKLIMIT:
      classic = -27;
      break;
    case PCRE2_ERROR_BADOFFSET:
      classic = -24;
      break;
    default:
      break;
  }
  if (text) throw ERegexException(text, code);
  throw ERegexException("Unknown PCRE error code " + std::to_string(classic), code);
}

std::string SubstituteMatch(std::string_view replacement, const std::shared_ptr<IMatch>& match) {
  // The variables are those of the pattern \$(\d+|\$|&|`|'|\+|_), found left
  // to right; a "$" that starts none of them stays as written.
  auto group = [&](int index) {
    return index == 0 ? match->Value() : match->Groups()->Items(index)->Value();
  };
  std::string out;
  out.reserve(replacement.size());
  std::size_t i = 0;
  while (i < replacement.size()) {
    char c = replacement[i];
    if (c != '$' || i + 1 == replacement.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    char v = replacement[i + 1];
    if (IsDigitChar(static_cast<unsigned char>(v))) {
      std::size_t j = i + 1;
      long long n = 0;
      while (j < replacement.size() && IsDigitChar(static_cast<unsigned char>(replacement[j]))) {
        n = std::min<long long>(n * 10 + (replacement[j] - '0'), INT_MAX);
        ++j;
      }
      int count = match->Groups()->Count();
      if (n >= count)
        throw ERegexInvalidSubstitutionGroup("Invalid substitution variable $" + std::to_string(n));
      out += group(static_cast<int>(n));
      i = j;
      continue;
    }
    switch (v) {
      case '$':
        out.push_back('$');
        break;
      case '&':
        out += match->Value();
        break;
      case '`':
        out += group(-1);
        break;
      case '\'':
        out += group(-2);
        break;
      case '+': {
        int count = match->Groups()->Count();
        out += count > 1 ? group(count - 1) : match->Value();
        break;
      }
      case '_':
        out += group(-1) + match->Value() + group(-2);
        break;
      default:
        out.push_back('$');
        ++i;
        continue;
    }
    i += 2;
  }
  return out;
}

std::shared_ptr<IRegex> NewRegex(std::string_view pattern, TRegexOptions options,
                                 const std::string& localeName, int localeCategory) {
  return std::make_shared<TRegex>(pattern, options, localeName, localeCategory);
}

std::shared_ptr<IRegexInfo> RegexInfo(const std::shared_ptr<IRegex>& regex) {
  return std::dynamic_pointer_cast<IRegexInfo>(regex);
}

void TPcreRegExpr::SetExpression(std::string_view expression) {
  FExpression = std::string(expression);
  FRegex.reset();
  FLastMatch.reset();
}

void TPcreRegExpr::SetModifier(int modifier, bool on) {
  FRegex.reset();
  auto set = [&](TRegexOptions option, bool value) {
    FOptions = value ? (FOptions | option) : (FOptions & ~option);
  };
  switch (modifier) {
    case 1:
      set(TRegexOptions::Caseless, on);
      break;
    case 3:
      set(TRegexOptions::DotAll, on);
      break;
    case 4:
      set(TRegexOptions::Ungreedy, !on);
      break;
    case 5:
      set(TRegexOptions::MultiLine, on);
      break;
    default:
      break;
  }
}

bool TPcreRegExpr::Exec(std::string_view text) {
  return Exec(std::make_shared<const std::string>(text));
}

bool TPcreRegExpr::Exec(std::shared_ptr<const std::string> text) {
  if (!text) text = std::make_shared<const std::string>();
  FLastSubject = text;
  FLastMatch.reset();
  if (!FRegex) FRegex = CachedRegex(FExpression, FOptions);
  FLastMatch = FRegex->Match(FLastSubject, 0, TRegexMatchOptions::None);
  return FLastMatch->Success();
}

bool TPcreRegExpr::Matches(std::string_view text) {
  FLastSubject.reset();
  FLastMatch.reset();
  if (!FRegex) FRegex = CachedRegex(FExpression, FOptions);
  return FRegex->IsMatch(text, 0, TRegexMatchOptions::None);
}

}  // namespace halvorn
