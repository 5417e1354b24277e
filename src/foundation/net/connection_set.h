// What a local server needs to own its client connections on the main
// thread: a connection asks to be freed when it ends, but it is freed only
// once none of its handlers is still on the stack (a handler may run a nested
// event loop, for example a blocking client wait or a modal question).
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/tcp_line_server.h"

namespace halvorn {

// Counts a connection's handlers on the stack while it lives.
class TBusy {
 public:
  explicit TBusy(int& depth) : FDepth(depth) { ++FDepth; }
  ~TBusy() { --FDepth; }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

 private:
  int& FDepth;
};

// The connections of one server. Main thread only; nothing is locked.
//
// ScheduleFree marks a connection and posts one call to FreeEnded to the
// event loop. FreeEnded frees every marked connection that is not busy
// (after FinalClose, which may itself change the set); a busy one stays
// marked and is tried again by a timer every kRetryMs (not by posting again:
// inside a nested event loop that would spin). A call posted after the set is
// destroyed does nothing.
template <class T>
class TConnectionSet {
 public:
  using TIsBusy = std::function<bool(const T*)>;
  using TFinalClose = std::function<void(T*)>;

  static constexpr int kRetryMs = 250;

  explicit TConnectionSet(TIsBusy isBusy, TFinalClose finalClose = {})
      : FIsBusy(std::move(isBusy)), FFinalClose(std::move(finalClose)) {}
  ~TConnectionSet() { *FAlive = false; }
  TConnectionSet(const TConnectionSet&) = delete;
  TConnectionSet& operator=(const TConnectionSet&) = delete;

  T* Add(std::unique_ptr<T> connection) {
    T* c = connection.get();
    FItems.push_back(std::move(connection));
    return c;
  }

  const std::vector<std::unique_ptr<T>>& Items() const { return FItems; }

  // Frees every connection now, busy or not (the server is going away).
  void Clear() {
    if (FRetry) FRetry->Stop();
    FPending.clear();
    FItems.clear();
  }

  void ScheduleFree(T* connection) {
    if (std::find(FPending.begin(), FPending.end(), connection) == FPending.end())
      FPending.push_back(connection);
    if (FPosted) return;
    FPosted = true;
    std::weak_ptr<bool> alive = FAlive;
    platform::RunLater([this, alive] {
      auto a = alive.lock();
      if (!a || !*a) return;
      FPosted = false;
      FreeEnded();
    });
  }

  void FreeEnded() {
    std::vector<T*> pending;
    pending.swap(FPending);
    for (T* c : pending) {
      if (FIsBusy(c)) {
        FPending.push_back(c);  // still on the stack: the retry timer comes back
        continue;
      }
      if (FFinalClose) {
        if (Find(c) == FItems.end()) continue;
        FFinalClose(c);  // may run handlers that change the set
      }
      auto it = Find(c);
      if (it != FItems.end()) FItems.erase(it);
    }
    if (FPending.empty()) {
      if (FRetry) FRetry->Stop();
      return;
    }
    if (!FRetry) FRetry = std::make_unique<platform::Timer>([this] { FreeEnded(); });
    if (!FRetry->IsActive()) FRetry->Start(kRetryMs);
  }

 private:
  typename std::vector<std::unique_ptr<T>>::iterator Find(const T* c) {
    return std::find_if(FItems.begin(), FItems.end(),
                        [c](const auto& p) { return p.get() == c; });
  }

  TIsBusy FIsBusy;
  TFinalClose FFinalClose;
  std::vector<std::unique_ptr<T>> FItems;
  std::vector<T*> FPending;
  bool FPosted = false;
  std::unique_ptr<platform::Timer> FRetry;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

}  // namespace halvorn
