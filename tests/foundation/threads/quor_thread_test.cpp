#include "foundation/threads/quor_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/app/log_capture.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/threads/on_idle_object.h"
#include "foundation/time/clock.h"
#include "platform/main_thread.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ElapsedSince;
using test::Eventually;

// A one-shot signal between the test and a worker.
struct Gate {
  void Open() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FOpen = true;
    }
    FChanged.notify_all();
  }
  // Bounded, so that a broken test ends.
  bool Wait(int ms = 30000) {
    std::unique_lock<std::mutex> lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::milliseconds(ms), [&] { return FOpen; });
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FOpen;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FOpen = false;
};

// What a worker saw, shared with the test so that it outlives a worker that
// frees itself.
struct Probe {
  std::atomic<bool> Started{false};
  std::atomic<int> Steps{0};
  std::atomic<bool> SawItselfCurrent{false};
  Gate Entered;
  Gate Release;
  std::mutex Mutex;
  std::string Error;  // the abandonment error, when one was raised
  void SetError(const std::string& text) {
    std::lock_guard<std::mutex> lock(Mutex);
    Error = text;
  }
  std::string GetError() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Error;
  }
};

// Stamps and checks for a stop request between short steps.
class TCooperativeWorker : public TQuorThread {
 public:
  explicit TCooperativeWorker(std::shared_ptr<Probe> probe, bool freeOnTerminate = false)
      : FProbe(std::move(probe)) {
    SetFreeOnTerminate(freeOnTerminate);
  }

 protected:
  void Execute() override {
    FProbe->Started = true;
    FProbe->SawItselfCurrent = CurrentQuorThread() == this;
    while (!CheckTerminated()) {
      ++FProbe->Steps;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::shared_ptr<Probe> FProbe;
};

class TDerivedWorker : public TCooperativeWorker {
 public:
  using TCooperativeWorker::TCooperativeWorker;
};

// Ignores stop requests: blocks until released, then does `after` (which may
// raise the abandonment error).
class TStubbornWorker : public TQuorThread {
 public:
  TStubbornWorker(std::shared_ptr<Probe> probe, std::function<void(TQuorThread&)> after = {})
      : FProbe(std::move(probe)), FAfter(std::move(after)) {}

 protected:
  void Execute() override {
    FProbe->Started = true;
    try {
      Body();
    } catch (const EThreadAbandoned& e) {
      FProbe->SetError(e.what());
      throw;
    }
  }
  virtual void Body() {
    FProbe->Entered.Open();
    FProbe->Release.Wait();
    if (FAfter) FAfter(*this);
  }
  std::shared_ptr<Probe> FProbe;
  std::function<void(TQuorThread&)> FAfter;
};

// Does one step each time it is resumed.
class TSelfSuspendingWorker : public TQuorThread {
 public:
  explicit TSelfSuspendingWorker(std::shared_ptr<Probe> probe) : FProbe(std::move(probe)) {}

 protected:
  void Execute() override {
    while (!CheckTerminated()) {
      ++FProbe->Steps;
      Suspend();
    }
  }
  std::shared_ptr<Probe> FProbe;
};

// Takes all the work that waits, then suspends itself unless woken.
class TWakeableWorker : public TQuorThread {
 public:
  explicit TWakeableWorker(std::shared_ptr<Probe> probe) : FProbe(std::move(probe)) {}
  std::atomic<int> Pending{0};
  std::atomic<int> Taken{0};
  // While set, the worker waits after taking its work, before it looks
  // whether to sleep (Holding says it is there).
  std::atomic<bool> Hold{false};
  std::atomic<bool> Holding{false};

 protected:
  void Execute() override {
    while (!CheckTerminated()) {
      Taken += Pending.exchange(0);
      ++FProbe->Steps;
      while (Hold.load()) {
        Holding = true;
        std::this_thread::yield();
      }
      Holding = false;
      SuspendUnlessWoken();
    }
  }
  std::shared_ptr<Probe> FProbe;
};

class QuorThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MarkMainThread();
    ShuttingDown = false;
    InitializeThreadList();
  }
  void TearDown() override {
    ShuttingDown = false;
    for (auto& probe : FProbes) probe->Release.Open();
    for (auto& handle : FHandles) FreeThreadByHandle(handle);
    for (auto& handle : FHandles) {
      EXPECT_TRUE(Eventually([&] { return !ThreadHandleAlive(handle); }));
    }
    EXPECT_EQ(CountRunningThreadsOfClass(), 0);
  }

  std::shared_ptr<Probe> NewProbe() {
    FProbes.push_back(std::make_shared<Probe>());
    return FProbes.back();
  }
  template <class T, class... Args>
  T* Make(bool suspended, Args&&... args) {
    T* thread = CreateQuorThread<T>(suspended, std::forward<Args>(args)...);
    FHandles.push_back(thread->Handle());
    return thread;
  }

  std::vector<std::shared_ptr<Probe>> FProbes;
  std::vector<TThreadHandle> FHandles;
};

TEST_F(QuorThreadTest, CreatedSuspendedIsRegisteredAndStampedBeforeItRuns) {
  ScopedClockForTests clock(45000.25);
  auto probe = NewProbe();
  auto* worker = Make<TCooperativeWorker>(true, probe);
  TThreadHandle handle = worker->Handle();

  TQuorThread* found = nullptr;
  ASSERT_TRUE(FindThreadByHandle(handle, found));
  EXPECT_EQ(found, worker);
  ASSERT_TRUE(FindThreadById(worker->ThreadId(), found));
  EXPECT_EQ(found, worker);
  EXPECT_EQ(worker->ClassName(), "TCooperativeWorker");
  EXPECT_EQ(worker->LastAlive(), 45000.25);
  EXPECT_TRUE(worker->Suspended());
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_FALSE(ThreadIsRunning(handle));
  EXPECT_FALSE(probe->Started);

  worker->Resume();
  ASSERT_TRUE(Eventually([&] { return probe->Steps > 0; }));
  EXPECT_TRUE(probe->SawItselfCurrent);
  EXPECT_TRUE(ThreadIsRunning(handle));
  EXPECT_EQ(CurrentQuorThread(), nullptr);  // the main thread
  std::thread plain([] { EXPECT_EQ(CurrentQuorThread(), nullptr); });
  plain.join();

  EXPECT_TRUE(StopThread(worker));
  EXPECT_TRUE(WaitThreadWithTimeout(handle, 10000, true));
  EXPECT_FALSE(ThreadHandleAlive(handle));
  EXPECT_FALSE(StopThread(worker));  // no longer registered; the pointer is only compared
}

TEST_F(QuorThreadTest, AWorkerFreedBeforeItWasResumedNeverRuns) {
  auto probe = NewProbe();
  auto* worker = Make<TCooperativeWorker>(true, probe);
  TThreadHandle handle = worker->Handle();
  FreeThreadByHandle(handle);
  EXPECT_FALSE(ThreadHandleAlive(handle));
  EXPECT_FALSE(probe->Started);
}

TEST_F(QuorThreadTest, AFreeOnTerminateWorkerFreesItself) {
  auto probe = NewProbe();
  auto* worker = Make<TCooperativeWorker>(true, probe, true);
  TThreadHandle handle = worker->Handle();
  worker->Terminate();
  worker->Resume();
  EXPECT_TRUE(Eventually([&] { return !ThreadHandleAlive(handle); }));
  EXPECT_FALSE(probe->Started);
}

TEST_F(QuorThreadTest, AfterShuttingDownEveryCheckTerminatedAnswersTrue) {
  auto idle = Make<TCooperativeWorker>(true, NewProbe());
  std::vector<TCooperativeWorker*> running;
  for (int i = 0; i < 3; ++i) running.push_back(Make<TCooperativeWorker>(false, NewProbe()));
  EXPECT_FALSE(idle->CheckTerminated());
  ASSERT_TRUE(Eventually(
      [&] { return CountRunningThreadsOfClass(TThreadClass::Of<TCooperativeWorker>()) == 3; }));

  ShuttingDown = true;
  EXPECT_TRUE(idle->CheckTerminated());
  EXPECT_FALSE(idle->Terminated());
  // The running workers end by themselves, with no Terminate.
  EXPECT_TRUE(Eventually(
      [&] { return CountRunningThreadsOfClass(TThreadClass::Of<TCooperativeWorker>()) == 0; }));
  for (auto* worker : running) {
    EXPECT_TRUE(worker->HasFinished());
    EXPECT_FALSE(worker->Terminated());
  }
}

// The status tick's case: a worker that keeps stamping is left alone, one
// that stopped stamping is asked to stop, given 750 ms and abandoned; a
// suspended one is never hung.
TEST_F(QuorThreadTest, AWorkerThatStopsStampingIsStoppedThenAbandoned) {
  std::atomic<TDateTime> now{40000.0};
  ScopedClockForTests restore(40000.0);
  SetClockForTests([&] { return now.load(); });

  auto lively = NewProbe();
  auto* stamping = Make<TCooperativeWorker>(false, lively);
  auto stuck = NewProbe();
  auto* hung =
      Make<TStubbornWorker>(false, stuck, [](TQuorThread& self) { self.CheckTerminated(); });
  TThreadHandle hungHandle = hung->Handle();
  const platform::ThreadId hungId = hung->ThreadId();
  auto* sleeping = Make<TSelfSuspendingWorker>(false, NewProbe());
  ASSERT_TRUE(stuck->Entered.Wait());
  ASSERT_TRUE(Eventually([&] { return sleeping->Suspended(); }));

  now = 40000.0 + 121.0 / 86400.0;
  ASSERT_TRUE(Eventually([&] { return stamping->LastAlive() == now.load(); }));
  EXPECT_EQ(CountHungThreads(120, false), 1);

  std::int64_t start = SteadyMilliseconds();
  EXPECT_EQ(CountHungThreads(120, true), 1);
  EXPECT_GE(ElapsedSince(start), 750);

  TQuorThread* found = nullptr;
  EXPECT_FALSE(FindThreadByHandle(hungHandle, found));
  EXPECT_TRUE(ThreadHandleAlive(hungHandle));  // still blocked, now owning itself
  EXPECT_EQ(CountHungThreads(120, true), 0);
  EXPECT_EQ(CountRunningThreadsOfClass(TThreadClass::Of<TStubbornWorker>()), 0);
  EXPECT_TRUE(ThreadIsRunning(stamping->Handle()));

  // Released, it raises at its next stop check, unwinds and frees itself.
  stuck->Release.Open();
  EXPECT_TRUE(Eventually([&] { return !ThreadHandleAlive(hungHandle); }));
  EXPECT_EQ(stuck->GetError(), "Thread " + std::to_string(hungId) + " was abandoned");
}

// Holds a lock while it blocks, then does `after`.
class TLockHoldingWorker : public TStubbornWorker {
 public:
  TLockHoldingWorker(std::shared_ptr<Probe> probe, TMutexCriticalSection& held,
                     std::function<void(TQuorThread&)> after)
      : TStubbornWorker(std::move(probe), std::move(after)), FHeld(held) {}

 protected:
  void Body() override {
    TCriticalSectionGuard guard(FHeld);
    TStubbornWorker::Body();
  }
  TMutexCriticalSection& FHeld;
};

// Linux cannot kill a thread: an abandoned worker keeps its locks until its
// next lock, stop check or suspension raises and the unwinding gives them back.
TEST_F(QuorThreadTest, AnAbandonedWorkersLockIsReleasedWhenItUnwindsNotBefore) {
  TMutexCriticalSection other("Other_CS");
  struct Row {
    const char* Name;
    std::function<void(TQuorThread&)> After;
  };
  const Row rows[] = {
      {"stop check", [](TQuorThread& self) { self.CheckTerminated(); }},
      {"lock", [&other](TQuorThread&) { TCriticalSectionGuard guard(other); }},
      {"suspension", [](TQuorThread& self) { self.Suspend(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TMutexCriticalSection held("Held_CS");
    held.SetTimeOut(200);
    auto probe = NewProbe();
    auto* worker = Make<TLockHoldingWorker>(false, probe, held, row.After);
    TThreadHandle handle = worker->Handle();
    const platform::ThreadId id = worker->ThreadId();
    ASSERT_TRUE(probe->Entered.Wait());

    EXPECT_TRUE(KillThreadById(id));
    EXPECT_FALSE(KillThreadById(id));  // no longer in the list
    EXPECT_TRUE(ThreadHandleAlive(handle));
    EXPECT_TRUE(held.IsLocked());
    EXPECT_FALSE(held.TryEnter());
    EXPECT_THROW(held.Enter(), ECriticalSectionException);  // the owner still runs

    probe->Release.Open();
    ASSERT_TRUE(Eventually([&] { return !ThreadHandleAlive(handle); }));
    EXPECT_EQ(probe->GetError(), "Thread " + std::to_string(id) + " was abandoned");
    EXPECT_FALSE(held.IsEntered());
    EXPECT_EQ(held.Generation(), 0u);  // given back, not taken over
    EXPECT_TRUE(held.TryEnter());
    held.Leave();
  }
  EXPECT_FALSE(other.IsEntered());
}

TEST_F(QuorThreadTest, StopThreadsOfClassWaitBounds) {
  const auto cooperative = TThreadClass::Of<TCooperativeWorker>();
  const auto derived = TThreadClass::Of<TDerivedWorker>();
  const auto stubborn = TThreadClass::Of<TStubbornWorker>();

  // Nothing of the class: at once, not after the time-out (the bound leaves
  // room for a slow machine).
  std::int64_t start = SteadyMilliseconds();
  EXPECT_EQ(StopThreadsOfClassWait(10000, stubborn), 0);
  EXPECT_LT(ElapsedSince(start), 5000);

  auto* base = Make<TCooperativeWorker>(false, NewProbe());
  auto* child = Make<TDerivedWorker>(false, NewProbe());
  auto* suspended = Make<TCooperativeWorker>(true, NewProbe());
  auto stuckProbe = NewProbe();
  auto* stuck = Make<TStubbornWorker>(false, stuckProbe);
  ASSERT_TRUE(stuckProbe->Entered.Wait());

  // A class stops its derived classes, not its bases.
  EXPECT_EQ(StopThreadsOfClassWait(10000, derived), 0);
  EXPECT_TRUE(child->HasFinished());
  EXPECT_FALSE(base->Terminated());

  // Suspended workers are resumed so that they see the request.
  EXPECT_EQ(StopThreadsOfClassWait(10000, cooperative), 0);
  EXPECT_TRUE(base->HasFinished());
  EXPECT_TRUE(suspended->HasFinished());

  // A worker that ignores the request: the whole time-out, then the count.
  start = SteadyMilliseconds();
  EXPECT_EQ(StopThreadsOfClassWait(300, stubborn), 1);
  EXPECT_GE(ElapsedSince(start), 300);
  EXPECT_TRUE(stuck->Terminated());

  // For all classes the finished objects still count until they are freed.
  start = SteadyMilliseconds();
  EXPECT_EQ(StopThreadsOfClassWait(200), 4);
  EXPECT_GE(ElapsedSince(start), 200);
}

TEST_F(QuorThreadTest, WaitThreadWithTimeoutBounds) {
  EXPECT_TRUE(WaitThreadWithTimeout(nullptr, 5000, true));

  auto* gone = Make<TCooperativeWorker>(true, NewProbe());
  TThreadHandle goneHandle = gone->Handle();
  FreeThreadByHandle(goneHandle);
  std::int64_t start = SteadyMilliseconds();
  EXPECT_TRUE(WaitThreadWithTimeout(goneHandle, 10000, true));
  EXPECT_LT(ElapsedSince(start), 5000);  // at once, not after the time-out

  // Cooperative, suspended or running: asked to stop, freed here.
  auto* running = Make<TCooperativeWorker>(false, NewProbe());
  auto* suspended = Make<TSelfSuspendingWorker>(true, NewProbe());
  for (TQuorThread* worker : std::vector<TQuorThread*>{running, suspended}) {
    TThreadHandle handle = worker->Handle();
    EXPECT_TRUE(WaitThreadWithTimeout(handle, 10000, true));
    EXPECT_FALSE(ThreadHandleAlive(handle));
  }

  // One that ignores Terminate: false after the time-out, still registered.
  auto stuckProbe = NewProbe();
  auto* stuck = Make<TStubbornWorker>(false, stuckProbe);
  ASSERT_TRUE(stuckProbe->Entered.Wait());
  start = SteadyMilliseconds();
  EXPECT_FALSE(WaitThreadWithTimeout(stuck->Handle(), 300, true));
  EXPECT_GE(ElapsedSince(start), 300);
  EXPECT_TRUE(ThreadIsRunning(stuck->Handle()));
  // Once it ends, the wait frees it.
  stuckProbe->Release.Open();
  EXPECT_TRUE(WaitThreadWithTimeout(stuck->Handle(), 10000, true));
}

TEST_F(QuorThreadTest, ASelfSuspendedWorkerWaitsForResume) {
  auto probe = NewProbe();
  auto* worker = Make<TSelfSuspendingWorker>(false, probe);
  for (int step = 1; step <= 3; ++step) {
    ASSERT_TRUE(Eventually([&] { return worker->Suspended(); }));
    EXPECT_EQ(probe->Steps, step);
    EXPECT_FALSE(worker->IsRunning());
    EXPECT_EQ(CountRunningThreadsOfClass(TThreadClass::Of<TSelfSuspendingWorker>()), 0);
    worker->Resume();
    ASSERT_TRUE(Eventually([&] { return probe->Steps > step; }));
  }
  worker->Suspend();  // from another thread: does nothing
  EXPECT_TRUE(WaitThreadWithTimeout(worker->Handle(), 10000, true));
}

// Work handed over with a wake-up is always taken: a wake-up that comes
// between the worker's last look for work and its suspension is kept (with
// a plain Suspend one of these rounds would wait for ever). Many wake-ups
// while the worker runs collapse into one more pass.
TEST_F(QuorThreadTest, AWakeUpIsNeverLostAndRepeatedOnesCollapse) {
  auto probe = NewProbe();
  auto* worker = Make<TWakeableWorker>(false, probe);
  const TThreadHandle handle = worker->Handle();
  constexpr int kRounds = 2000;
  for (int round = 1; round <= kRounds; ++round) {
    ++worker->Pending;
    if (round % 2) worker->Wake(); else WakeThread(handle);
    ASSERT_TRUE(Eventually([&] { return worker->Taken.load() == round; }, 10000))
        << "round " << round << " was never taken";
  }
  ASSERT_TRUE(Eventually([&] { return worker->Suspended(); }));
  const int steps = probe->Steps.load();
  worker->Hold = true;
  worker->Wake();
  ASSERT_TRUE(Eventually([&] { return worker->Holding.load(); }));
  for (int i = 0; i < 100; ++i) worker->Wake();
  worker->Hold = false;
  ASSERT_TRUE(Eventually([&] { return worker->Suspended() && !worker->Holding.load(); }));
  // One wake-up resumed it; the hundred that came while it ran gave it
  // exactly one more pass.
  EXPECT_EQ(probe->Steps.load() - steps, 2);
  worker->Terminate();
  worker->Resume();
  EXPECT_TRUE(WaitThreadWithTimeout(handle, 10000, true));
  // A wake-up through the handle of a freed worker does nothing.
  WakeThread(handle);
}

TEST_F(QuorThreadTest, KillThreadsOfClassAbandonsRunningAndFreesFinishedWorkers) {
  std::vector<TThreadHandle> stuck;
  for (int i = 0; i < 2; ++i) {
    auto probe = NewProbe();
    stuck.push_back(Make<TStubbornWorker>(false, probe)->Handle());
    ASSERT_TRUE(probe->Entered.Wait());
  }
  auto* finished = Make<TCooperativeWorker>(false, NewProbe());
  finished->Terminate();
  ASSERT_TRUE(Eventually([&] { return finished->HasFinished(); }));
  TThreadHandle finishedHandle = finished->Handle();

  EXPECT_EQ(KillThreadsOfClass(), 2);
  EXPECT_FALSE(ThreadHandleAlive(finishedHandle));
  EXPECT_EQ(CountRunningThreadsOfClass(), 0);
  for (auto& handle : stuck) EXPECT_TRUE(ThreadHandleAlive(handle));
  for (auto& probe : FProbes) probe->Release.Open();
  for (auto& handle : stuck) EXPECT_TRUE(Eventually([&] { return !ThreadHandleAlive(handle); }));
}

// Workers made, stopped, freed and abandoned from several threads at once,
// while another thread walks the list: run under ThreadSanitizer (see
// scripts/test.sh), this finds races between a worker's end, its freeing and
// the list's bookkeeping.
class QuorThreadStressTest : public QuorThreadTest {};

TEST_F(QuorThreadStressTest, ManyThreadsMakeStopFreeAndAbandonWorkersAtOnce) {
  constexpr int kDrivers = 4;
  constexpr int kRounds = 40;
  std::mutex handlesMutex;
  std::vector<TThreadHandle> handles;
  auto keep = [&](const TThreadHandle& handle) {
    std::lock_guard<std::mutex> lock(handlesMutex);
    handles.push_back(handle);
  };
  std::atomic<int> failures{0};
  auto drive = [&](int driver) {
    for (int round = 0; round < kRounds; ++round) {
      auto probe = std::make_shared<Probe>();
      switch ((driver + round) % 4) {
        case 0: {  // freed while it runs
          auto* worker = CreateQuorThread<TCooperativeWorker>(false, probe);
          keep(worker->Handle());
          FreeThreadByHandle(worker->Handle());
          break;
        }
        case 1: {  // stopped before it ever ran, then waited for
          auto* worker = CreateQuorThread<TCooperativeWorker>(true, probe);
          keep(worker->Handle());
          if (!StopThread(worker)) ++failures;
          if (!WaitThreadWithTimeout(worker->Handle(), 10000, true)) ++failures;
          break;
        }
        case 2: {  // abandoned while it runs: it frees itself at its next check
          auto* worker = CreateQuorThread<TCooperativeWorker>(false, probe);
          keep(worker->Handle());
          while (!probe->Started.load()) std::this_thread::yield();
          KillThread(worker);
          break;
        }
        default: {  // frees itself once asked to stop
          TThreadHandle handle = CreateQuorThread<TCooperativeWorker>(false, probe, true)->Handle();
          keep(handle);
          FreeThreadByHandle(handle);
          break;
        }
      }
    }
  };
  std::atomic<bool> done{false};
  std::thread walker([&] {
    while (!done.load()) {
      {
        TCriticalSectionGuard guard(ThreadListLock());
        for (TQuorThread* worker : ListThreadsOfClass()) {
          TQuorThread* found = nullptr;
          if (!FindThreadById(worker->ThreadId(), found)) ++failures;
        }
      }
      CountRunningThreadsOfClass(TThreadClass::Of<TCooperativeWorker>());
      CountHungThreads(3600, false);
    }
  });
  std::vector<std::thread> drivers;
  for (int d = 0; d < kDrivers; ++d) drivers.emplace_back(drive, d);
  for (auto& driver : drivers) driver.join();
  done = true;
  walker.join();

  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(handles.size(), static_cast<std::size_t>(kDrivers * kRounds));
  for (const TThreadHandle& handle : handles) {
    EXPECT_TRUE(Eventually([&] { return !ThreadHandleAlive(handle); }));
  }
  EXPECT_EQ(CountRunningThreadsOfClass(), 0);
}

// Ends at once; its clean-up raises.
class TFailingCleanUpWorker : public TQuorThread {
 protected:
  void Execute() override {}
  void DoTerminate() override { throw std::runtime_error("the clean-up broke"); }
};

TEST_F(QuorThreadTest, AnErrorInTheCleanUpIsLoggedAndTheWorkerStillEnds) {
  test::LogCapture log;
  auto* worker = Make<TFailingCleanUpWorker>(false);
  ASSERT_TRUE(Eventually([&] { return worker->HasFinished(); }));
  EXPECT_TRUE(WaitThreadWithTimeout(worker->Handle(), 10000, true));
  EXPECT_TRUE(log.Contains("TFailingCleanUpWorker failed in its clean-up: the clean-up broke"))
      << log.Text();
}

TEST_F(QuorThreadTest, AfterTheListIsFinalizedNothingIsRegistered) {
  auto* before = Make<TCooperativeWorker>(false, NewProbe());
  TThreadHandle beforeHandle = before->Handle();
  FinalizeThreadList();
  EXPECT_TRUE(Eventually([&] { return !ThreadHandleAlive(beforeHandle); }));

  auto* after = Make<TCooperativeWorker>(false, NewProbe());
  TQuorThread* found = nullptr;
  EXPECT_FALSE(FindThreadByHandle(after->Handle(), found));
  EXPECT_EQ(CountRunningThreadsOfClass(), 0);
  EXPECT_FALSE(StopThread(after));
  InitializeThreadList();
  FreeThreadByHandle(after->Handle());
}

TEST(OnIdleObject, RunPicksTheHighestPriorityAndTheEarliestOnTies) {
  struct Row {
    std::vector<std::int32_t> Priorities;
    std::int32_t Level;
    std::int32_t Expected;
    int CalledWithLevel;  // index of the entry called a second time, -1 none
  };
  const Row rows[] = {
      {{}, 1, 0, -1},         {{0}, 1, 0, -1},
      {{3, 7, 5}, 1, 7, 1},   {{4, 4}, 1, 4, 0},
      {{2, 9, 9}, 10, 9, -1}, {{-2147483647 - 1}, -2147483647 - 1, -2147483647, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.Priorities));
    TOnIdleObject idle;
    std::vector<std::vector<std::int32_t>> codes(row.Priorities.size());
    for (std::size_t i = 0; i < row.Priorities.size(); ++i) {
      std::int32_t priority = row.Priorities[i];
      auto* seen = &codes[i];
      idle.Add([priority, seen](std::int32_t code) {
        seen->push_back(code);
        return priority;
      });
    }
    EXPECT_EQ(idle.Run(row.Level), row.Expected);
    for (std::size_t i = 0; i < codes.size(); ++i) {
      std::vector<std::int32_t> expected{kOnIdleQueryCode};
      if (static_cast<int>(i) == row.CalledWithLevel) expected.push_back(row.Level);
      EXPECT_EQ(codes[i], expected) << "entry " << i;
    }
  }
  TOnIdleObject empty;
  bool done = false;
  empty.AppIdle(done);
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace halvorn
