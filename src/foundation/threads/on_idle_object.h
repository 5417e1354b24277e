// The idle-callback dispatcher: the program's idle event goes through one
// global TOnIdleObject, and every worker thread owns one of its own.
//
// Nothing in the program registers a callback yet, so the idle handler always
// reports "done"; the dispatcher is kept so that one can be added without
// touching the event loop.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// The code every callback is asked with first, to state its priority.
inline constexpr std::int32_t kOnIdleQueryCode = 11;

// A callback takes a code and answers a priority. It owns whatever it captures
// (the data block of the entry) and frees it when the entry goes.
using TOnIdleCallback = std::function<std::int32_t(std::int32_t code)>;

class TOnIdleObject {
 public:
  TOnIdleObject();
  ~TOnIdleObject();
  TOnIdleObject(const TOnIdleObject&) = delete;
  TOnIdleObject& operator=(const TOnIdleObject&) = delete;

  // Appends an entry. Safe from any thread.
  void Add(TOnIdleCallback callback);

  // Asks every entry, last to first, for its priority (code 11); the entry
  // with the highest priority wins, the earliest one among equals. When the
  // best priority is at least `level`, calls the winner once more with
  // `level`. Answers the best priority; 0 for an empty list, -2147483647 when
  // no entry beats that. Callbacks run under the dispatcher's lock, so they
  // must not add entries. Raises what the lock raises on a time-out.
  std::int32_t Run(std::int32_t level);

  // The application's idle handler: Run(1), and `done` is true exactly when
  // that answers 0.
  void AppIdle(bool& done);

 private:
  TMutexCriticalSection FOnIdleCriticalSection{"FOnIdleCriticalSection"};
  std::vector<TOnIdleCallback> FList;
};

// The program's own dispatcher, for the event loop's idle hook. Lives for the
// whole process; safe from any thread.
TOnIdleObject& GlobalOnIdle();

}  // namespace halvorn
