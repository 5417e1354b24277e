// The process-wide cache of compiled Perl-compatible patterns.
//
// A compiled pattern (IRegex) never changes, so one compilation can serve
// every thread: the cache keeps it under its pattern and options and hands
// out the shared object. A pattern that does not compile is kept too, with
// its error, so a broken pattern is not compiled again for every message.
//
// Bounds: at most kRegexCacheCapacity entries. When a new entry finds the
// cache full, the entries not asked for since the last such sweep go first;
// when every entry was asked for, a quarter of them goes. A pattern that
// returns after that is compiled again.
//
// Threads: look-ups share a reader-writer lock; only a compilation that adds
// an entry takes it alone, and it compiles outside the lock (two threads
// asking for a new pattern at once may both compile it; one result is kept).
//
// The switch SetRegexCachesEnabled also turns off the per-thread engines of
// reg_ex_wrappers.h, for tests that compare results and for benchmarks that
// measure what the caches save.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "foundation/regex/pcre_reg_expr.h"

namespace halvorn {

inline constexpr std::size_t kRegexCacheCapacity = 4096;

// The compiled pattern with the built-in character tables: from the cache,
// or compiled now and kept. Raises the ERegexException NewRegex raises for a
// bad pattern, the same text and code every time. With the caches switched
// off it compiles every time and keeps nothing. Safe from any thread.
std::shared_ptr<IRegex> CachedRegex(std::string_view pattern, TRegexOptions options);

struct TRegexCacheStats {
  std::size_t Entries = 0;    // compiled patterns kept
  std::size_t Failures = 0;   // bad patterns kept with their error
  std::size_t Bytes = 0;      // the compiled patterns' size as PCRE2 reports it
  std::uint64_t Compiles = 0; // compilations since the start (or the last clear)
};

// The figures now. Safe from any thread.
TRegexCacheStats RegexCacheStats();

// Forgets every entry and sets the compile count to 0 (tests and benchmarks;
// objects already handed out stay valid). Safe from any thread.
void ClearRegexCache();

// Both caches on (the default) or off. Safe from any thread; a change counts
// from the next look-up.
void SetRegexCachesEnabled(bool enabled);
bool RegexCachesEnabled();

}  // namespace halvorn
