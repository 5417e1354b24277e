#include "foundation/threads/heartbeat.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

constexpr TDateTime kSecond = 1.0 / 86400.0;
constexpr TDateTime kStart = 45000.5;

struct Call {
  std::string Text;
  int Position, Maximum;
};

class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearThreadCallbacks(); }
  void TearDown() override {
    ClearThreadCallbacks();
    ResetClock();
  }
};

TEST_F(HeartbeatTest, ThreadWithoutSlotOrWorkerGetsFalse) {
  std::thread([] { EXPECT_FALSE(Heartbeat("text", 1, 2)); }).join();
  EXPECT_FALSE(Heartbeat("", -1, -1));
}

TEST_F(HeartbeatTest, CallsTheCallbackAndThrottlesCallsWithoutText) {
  SetClockForTests(kStart);
  std::vector<Call> calls;
  bool answer = false;
  RegisterThreadCallback([&](const std::string& text, int position, int maximum) {
    calls.push_back({text, position, maximum});
    return answer;
  });

  EXPECT_FALSE(Heartbeat("", -1, -1));
  SetClockForTests(kStart + 0.1 * kSecond);
  EXPECT_FALSE(Heartbeat("", -1, -1));  // throttled
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(Heartbeat("Loading", 3, 10));  // a text is never throttled
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].Text, "Loading");
  EXPECT_EQ(calls[1].Position, 3);
  EXPECT_EQ(calls[1].Maximum, 10);
  answer = true;
  SetClockForTests(kStart + 0.35 * kSecond);
  EXPECT_TRUE(Heartbeat("", -1, -1));  // 0.25 s after the last call
  EXPECT_EQ(calls.size(), 3u);

  // Re-registering replaces the callback and keeps the last-call time.
  int replaced = 0;
  RegisterThreadCallback([&](const std::string&, int, int) { return ++replaced > 0; });
  EXPECT_FALSE(Heartbeat("", -1, -1));
  EXPECT_TRUE(Heartbeat("x", 0, 0));
  EXPECT_EQ(replaced, 1);

  // A callback that raises reads as "go on"; an empty one is ignored.
  RegisterThreadCallback(
      [](const std::string&, int, int) -> bool { throw std::runtime_error("broken window"); });
  EXPECT_FALSE(Heartbeat("x", 0, 0));
  RegisterThreadCallback(nullptr);
  EXPECT_FALSE(Heartbeat("x", 0, 0));

  UnregisterThreadCallback();
  EXPECT_FALSE(Heartbeat("x", 0, 0));
  EXPECT_EQ(calls.size(), 3u);
}

class HeartbeatWorker : public TQuorThread {
 public:
  bool BeforeStop = true, AfterStop = false;
  int Calls = 0;

 protected:
  void Execute() override {
    RegisterThreadCallback([this](const std::string&, int, int) {
      ++Calls;
      return false;
    });
    BeforeStop = Heartbeat("working", 1, 2);
    Terminate();
    AfterStop = Heartbeat("stopping", 2, 2);
    UnregisterThreadCallback();
  }
};

TEST_F(HeartbeatTest, WorkerAskedToStopGetsTrueWithoutCallback) {
  SetClockForTests(kStart);
  auto* worker = CreateQuorThread<HeartbeatWorker>(true);
  TThreadHandle handle = worker->Handle();
  SetClockForTests(kStart + 60 * kSecond);
  worker->Resume();
  ASSERT_TRUE(test::Eventually([&] { return worker->HasFinished(); }));
  EXPECT_FALSE(worker->BeforeStop);
  EXPECT_TRUE(worker->AfterStop);
  EXPECT_EQ(worker->Calls, 1);
  // The heartbeat stamped the worker's last-alive time.
  EXPECT_DOUBLE_EQ(worker->LastAlive(), kStart + 60 * kSecond);
  FreeThreadByHandle(handle);
}

TEST_F(HeartbeatTest, SixthThreadFindsNoSlotUntilAnOwnerHasEnded) {
  std::mutex mutex;
  std::condition_variable changed;
  int registered = 0;
  bool release = false;
  std::vector<std::thread> owners;
  for (int i = 0; i < kThreadCallbackSlots; ++i) {
    owners.emplace_back([&] {
      RegisterThreadCallback([](const std::string&, int, int) { return true; });
      std::unique_lock<std::mutex> lock(mutex);
      ++registered;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return registered == kThreadCallbackSlots; });
  }
  auto registerAndBeat = [] {
    bool answer = false;
    std::thread([&] {
      RegisterThreadCallback([](const std::string&, int, int) { return true; });
      answer = Heartbeat("x", 0, 0);
    }).join();
    return answer;
  };
  EXPECT_FALSE(registerAndBeat());  // all five slots belong to live threads

  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  for (auto& owner : owners) owner.join();
  // The owners ended without unregistering: their slots are free again.
  EXPECT_TRUE(registerAndBeat());
}

}  // namespace
}  // namespace halvorn
