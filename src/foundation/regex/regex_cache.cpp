#include "foundation/regex/regex_cache.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace halvorn {

namespace {

// A key as the map stores it and as a look-up asks for it, without copying
// the pattern for the look-up.
struct TKeyView {
  std::string_view Pattern;
  std::uint32_t Options;
};
struct TKey {
  std::string Pattern;
  std::uint32_t Options;
  operator TKeyView() const { return {Pattern, Options}; }
};

struct TKeyHash {
  using is_transparent = void;
  std::size_t operator()(TKeyView key) const {
    return std::hash<std::string_view>()(key.Pattern) * 31 + key.Options;
  }
  std::size_t operator()(const TKey& key) const { return (*this)(TKeyView(key)); }
};
struct TKeyEqual {
  using is_transparent = void;
  bool operator()(TKeyView a, TKeyView b) const {
    return a.Options == b.Options && a.Pattern == b.Pattern;
  }
  bool operator()(const TKey& a, TKeyView b) const { return (*this)(TKeyView(a), b); }
  bool operator()(TKeyView a, const TKey& b) const { return (*this)(a, TKeyView(b)); }
  bool operator()(const TKey& a, const TKey& b) const { return (*this)(TKeyView(a), TKeyView(b)); }
};

struct TEntry {
  std::shared_ptr<IRegex> Regex;  // null for a pattern that does not compile
  std::string Error;
  int ErrorCode = 0;
  std::size_t Bytes = 0;
  // Asked for since the last sweep; set under the shared lock.
  mutable std::atomic<bool> Used{true};
};

class TRegexCache {
 public:
  std::shared_ptr<IRegex> Get(std::string_view pattern, TRegexOptions options) {
    const TKeyView key{pattern, static_cast<std::uint32_t>(options)};
    if (FEnabled.load(std::memory_order_relaxed)) {
      std::shared_lock lock(FLock);
      auto found = FEntries.find(key);
      if (found != FEntries.end()) return Answer(found->second);
    }
    auto entry = Compile(pattern, options);
    if (FEnabled.load(std::memory_order_relaxed)) {
      std::unique_lock lock(FLock);
      auto found = FEntries.find(key);
      if (found != FEntries.end()) return Answer(found->second);
      if (FEntries.size() >= kRegexCacheCapacity) SweepLocked();
      FBytes += entry->Bytes;
      if (!entry->Regex) ++FFailures;
      auto placed = FEntries.emplace(TKey{std::string(pattern), key.Options}, std::move(entry));
      return Answer(placed.first->second);
    }
    return Answer(entry);
  }

  TRegexCacheStats Stats() {
    std::shared_lock lock(FLock);
    TRegexCacheStats stats;
    stats.Failures = FFailures;
    stats.Entries = FEntries.size() - FFailures;
    stats.Bytes = FBytes;
    stats.Compiles = FCompiles.load();
    return stats;
  }

  void Clear() {
    std::unique_lock lock(FLock);
    FEntries.clear();
    FFailures = 0;
    FBytes = 0;
    FCompiles.store(0);
  }

  void SetEnabled(bool enabled) { FEnabled.store(enabled); }
  bool Enabled() const { return FEnabled.load(); }

 private:
  static std::shared_ptr<IRegex> Answer(const std::unique_ptr<TEntry>& entry) {
    entry->Used.store(true, std::memory_order_relaxed);
    if (!entry->Regex) throw ERegexException(entry->Error, entry->ErrorCode);
    return entry->Regex;
  }

  std::unique_ptr<TEntry> Compile(std::string_view pattern, TRegexOptions options) {
    auto entry = std::make_unique<TEntry>();
    FCompiles.fetch_add(1);
    try {
      entry->Regex = NewRegex(pattern, options);
      entry->Bytes = RegexInfo(entry->Regex)->Size();
    } catch (const ERegexException& e) {
      entry->Regex.reset();
      entry->Error = e.what();
      entry->ErrorCode = e.Code();
    }
    return entry;
  }

  // Under the exclusive lock: drops the entries nobody asked for since the
  // last sweep; when that frees too little, a quarter of the rest.
  void SweepLocked() {
    auto drop = [this](auto it) {
      FBytes -= it->second->Bytes;
      if (!it->second->Regex) --FFailures;
      return FEntries.erase(it);
    };
    for (auto it = FEntries.begin(); it != FEntries.end();) {
      if (!it->second->Used.exchange(false, std::memory_order_relaxed))
        it = drop(it);
      else
        ++it;
    }
    const std::size_t target = kRegexCacheCapacity - kRegexCacheCapacity / 4;
    for (auto it = FEntries.begin(); it != FEntries.end() && FEntries.size() > target;)
      it = drop(it);
  }

  std::shared_mutex FLock;
  std::unordered_map<TKey, std::unique_ptr<TEntry>, TKeyHash, TKeyEqual> FEntries;
  std::size_t FFailures = 0;
  std::size_t FBytes = 0;
  std::atomic<std::uint64_t> FCompiles{0};
  std::atomic<bool> FEnabled{true};
};

TRegexCache& Cache() {
  static TRegexCache cache;
  return cache;
}

}  // namespace

std::shared_ptr<IRegex> CachedRegex(std::string_view pattern, TRegexOptions options) {
  return Cache().Get(pattern, options);
}

TRegexCacheStats RegexCacheStats() {
  return Cache().Stats();
}

void ClearRegexCache() {
  Cache().Clear();
}

void SetRegexCachesEnabled(bool enabled) {
  Cache().SetEnabled(enabled);
}

bool RegexCachesEnabled() {
  return Cache().Enabled();
}

}  // namespace halvorn
