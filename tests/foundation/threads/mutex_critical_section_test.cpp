#include "foundation/threads/mutex_critical_section.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/random_source.h"
#include "foundation/time/clock.h"
#include "platform/main_thread.h"
#include "platform/thread_identity.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// Runs fn on a thread of its own and waits for it.
template <class F>
auto OnOtherThread(F fn) {
  auto task = std::async(std::launch::async, fn);
  return task.get();
}

// A thread that takes the lock `depth` times and keeps it until released.
class Holder {
 public:
  Holder(TMutexCriticalSection& lock, int depth = 1) {
    std::promise<platform::ThreadId> entered;
    auto id = entered.get_future();
    FThread = std::thread([&lock, depth, this, p = std::move(entered)]() mutable {
      for (int i = 0; i < depth; ++i) lock.Enter();
      p.set_value(platform::CurrentThreadId());
      FRelease.get_future().wait();
      if (FLeave) {
        for (int i = 0; i < depth; ++i) lock.Leave();
      }
    });
    FId = id.get();
  }
  // Lets the thread end; with leave = false it ends still holding the lock.
  void End(bool leave) {
    FLeave = leave;
    FRelease.set_value();
    FThread.join();
  }
  ~Holder() {
    if (FThread.joinable()) End(true);
  }
  platform::ThreadId Id() const { return FId; }

 private:
  std::promise<void> FRelease;
  bool FLeave = true;
  platform::ThreadId FId = 0;
  std::thread FThread;
};

using test::ElapsedSince;

// A seed whose first draw of RandomInt(n) is at least `atLeast`.
std::uint64_t SeedWithLargeDraw(int n, int atLeast, int& draw) {
  for (std::uint64_t seed = 1;; ++seed) {
    SeedRandomForThisThread(seed);
    draw = RandomInt(n);
    if (draw >= atLeast) return seed;
  }
}

TEST(MutexCriticalSection, RecursionKeepsTheOwnerUntilTheLastLeave) {
  platform::MarkMainThread();
  TMutexCriticalSection lock("Recursion_CS");
  lock.Enter();
  lock.Enter();
  EXPECT_EQ(lock.Count(), 2);
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());
  EXPECT_FALSE(lock.IsLocked());  // the holder itself
  EXPECT_TRUE(OnOtherThread([&] { return lock.IsLocked(); }));

  lock.Leave();
  EXPECT_TRUE(lock.HasOwnerHandle());
  EXPECT_TRUE(lock.IsEntered());
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryEnter(); }));

  lock.Leave();
  EXPECT_FALSE(lock.HasOwnerHandle());
  EXPECT_FALSE(lock.IsEntered());
  // Leave keeps the last owner's id.
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());
  EXPECT_TRUE(OnOtherThread([&] {
    bool taken = lock.TryEnter();
    if (taken) lock.Leave();
    return taken;
  }));
}

TEST(MutexCriticalSection, TryEnterAndLocksOfTheSameName) {
  TMutexCriticalSection first("Same_CS");
  TMutexCriticalSection second("Same_CS");
  EXPECT_TRUE(first.TryEnter());
  EXPECT_TRUE(first.IsEntered());
  EXPECT_FALSE(second.IsEntered());
  EXPECT_TRUE(OnOtherThread([&] {
    bool taken = second.TryEnter();
    if (taken) second.Leave();
    return taken;
  }));
  first.Leave();
}

TEST(MutexCriticalSection, LeaveByAThreadThatDoesNotHoldTheLockChangesNothing) {
  TMutexCriticalSection lock("Stray_CS");
  lock.Enter();
  OnOtherThread([&] { lock.Leave(); });
  EXPECT_EQ(lock.Count(), 1);
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());
  EXPECT_TRUE(OnOtherThread([&] { return lock.IsLocked(); }));
  lock.Leave();
  lock.Leave();  // unbalanced: ignored
  EXPECT_EQ(lock.Count(), 0);
}

// The wait lasts the time-out on the main thread and the time-out plus the
// drawn jitter elsewhere; the error names the lock and the holder.
TEST(MutexCriticalSection, TimeOutWindowAndErrorText) {
  constexpr int kTimeOut = 600;
  TMutexCriticalSection lock("Window_CS");
  lock.SetTimeOut(kTimeOut);
  Holder holder(lock);
  const std::string expected = "Timed out waiting on critial section Window_CS Owned by Thread " +
                               std::to_string(holder.Id());

  struct Outcome {
    std::int64_t Elapsed = 0;
    std::string Text;
  };
  auto attempt = [&](std::uint64_t seed) {
    SeedRandomForThisThread(seed);
    Outcome outcome;
    std::int64_t start = SteadyMilliseconds();
    try {
      lock.Enter();
      lock.Leave();
    } catch (const ECriticalSectionException& e) {
      outcome.Text = e.what();
    }
    outcome.Elapsed = ElapsedSince(start);
    return outcome;
  };

  int draw = 0;
  std::uint64_t seed = SeedWithLargeDraw(kTimeOut, kTimeOut * 5 / 6, draw);

  Outcome worker = OnOtherThread([&] { return attempt(seed); });
  EXPECT_EQ(worker.Text, expected);
  EXPECT_GE(worker.Elapsed, kTimeOut + draw);
  EXPECT_LT(worker.Elapsed, kTimeOut + draw + 3000);

  platform::MarkMainThread();
  Outcome main = attempt(seed);
  EXPECT_EQ(main.Text, expected);
  EXPECT_GE(main.Elapsed, kTimeOut);
  EXPECT_LT(main.Elapsed, kTimeOut + draw);  // no jitter on the main thread

  // The failed waits left the holder's bookkeeping alone.
  EXPECT_EQ(lock.Count(), 1);
  EXPECT_EQ(lock.OwnerThreadId(), holder.Id());
}

TEST(MutexCriticalSection, EnterTakesOverFromAnOwnerThatEnded) {
  TMutexCriticalSection lock("Dead_CS");
  lock.SetTimeOut(5000);
  Holder holder(lock, 2);
  holder.End(false);

  std::int64_t start = SteadyMilliseconds();
  lock.Enter();
  EXPECT_LT(ElapsedSince(start), 1000);  // at once, not after the time-out
  EXPECT_EQ(lock.Count(), 1);
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());
  EXPECT_EQ(lock.Generation(), 1u);
  lock.Leave();
  EXPECT_FALSE(lock.IsEntered());
}

TEST(MutexCriticalSection, TryEnterAndIsLockedRenewALockWhoseOwnerEnded) {
  TMutexCriticalSection tried("DeadTry_CS");
  Holder first(tried);
  first.End(false);
  EXPECT_FALSE(tried.TryEnter());  // renews
  EXPECT_EQ(tried.OwnerThreadId(), 0u);
  EXPECT_TRUE(tried.TryEnter());
  tried.Leave();

  TMutexCriticalSection asked("DeadAsk_CS");
  Holder second(asked);
  EXPECT_TRUE(asked.IsLocked());
  second.End(false);
  EXPECT_FALSE(asked.IsLocked());
  EXPECT_FALSE(asked.IsEntered());
}

TEST(MutexCriticalSection, AWaiterTakesOverWhenTheOwnerEndsDuringTheWait) {
  TMutexCriticalSection lock("DiesWhileWaited_CS");
  lock.SetTimeOut(8000);
  Holder holder(lock);
  std::thread ender([&] { holder.End(false); });
  std::int64_t start = SteadyMilliseconds();
  lock.Enter();
  EXPECT_LT(ElapsedSince(start), 4000);
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());
  lock.Leave();
  ender.join();
}

TEST(MutexCriticalSection, OnlyOneThreadAtATimeInside) {
  TMutexCriticalSection lock("Contended_CS");
  lock.SetTimeOut(20000);
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  long counter = 0;  // guarded by the lock only
  int inside = 0;
  bool overlap = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        TCriticalSectionGuard outer(lock);
        TCriticalSectionGuard inner(lock);
        if (++inside != 1) overlap = true;
        ++counter;
        --inside;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  EXPECT_FALSE(lock.IsEntered());
}

}  // namespace
}  // namespace halvorn
