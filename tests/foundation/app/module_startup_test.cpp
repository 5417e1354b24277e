#include "foundation/app/module_startup.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "foundation/time/clock.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/files/install_folders.h"
#include "platform/main_thread.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

class ModuleStartupTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFolderCachesForTests(); }
  void TearDown() override {
    ResetFolderCachesForTests();
    ShuttingDown.store(false);
  }
  test::TempFolder FHome;
  test::ScopedEnv FHomeEnv{"HALVORN_HOME", FHome.Path()};
};

TEST_F(ModuleStartupTest, FirstRunFromSwitchOrMissingSettings) {
  struct Row {
    std::vector<const char*> argv;
    bool settingsExist;
    bool firstRun;
  } rows[] = {
      {{"halvorn"}, false, true},
      {{"halvorn"}, true, false},
      {{"halvorn", "-firsttimerun"}, true, true},
      {{"halvorn", "-Other", "-FIRSTTIMERUN"}, true, true},
      {{"halvorn", "-FirstTimeRunX"}, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.argv.back()) + (row.settingsExist ? " with settings" : ""));
    ResetFolderCachesForTests();
    const std::string settings = GetSettingsFilePath();
    if (row.settingsExist) {
      ASSERT_TRUE(test::WriteFileBytes(settings, "[Main]\n"));
    } else {
      std::remove(settings.c_str());
    }
    FirstTimeRun.store(!row.firstRun);
    InitializeUtilityModule(static_cast<int>(row.argv.size()), row.argv.data());
    EXPECT_EQ(FirstTimeRun.load(), row.firstRun);
  }
}

TEST_F(ModuleStartupTest, StartUpResetsTheSharedValues) {
  ScopedClockForTests clock(45000.25);
  CategoryRequestPort.store(1);
  SelectiveOpenRelay.store(true);
  RelayedProbeCount.store(7);
  RelayedProbeLimit.store(0);
  OwnIPAddress.store(5);
  LastNetworkSuccess.store(3);
  signal(SIGPIPE, SIG_DFL);
  RegisterThreadCallback([](const std::string&, int, int) { return true; });

  const char* argv[] = {"halvorn"};
  InitializeUtilityModule(1, argv);
  EXPECT_EQ(ApplicationTitle(), "Halvorn");
  EXPECT_EQ(CategoryRequestPort.load(), 6173);
  EXPECT_FALSE(SelectiveOpenRelay.load());
  EXPECT_EQ(RelayedProbeCount.load(), 0);
  EXPECT_EQ(RelayedProbeLimit.load(), 10);
  EXPECT_DOUBLE_EQ(RelayedProbeDay.load(), 45000.25);
  EXPECT_EQ(OwnIPAddress.load(), 0u);
  EXPECT_EQ(LastNetworkSuccess.load(), 0);
  EXPECT_FALSE(Heartbeat("x", 0, 0));  // the slots were cleared
  // A peer that drops the line must not end the program.
  struct sigaction current;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);

  FinalizeUtilityModule();
  EXPECT_TRUE(ShuttingDown.load());
}

TEST_F(ModuleStartupTest, StackOverflowTextEndsTheMainThreadsLoop) {
  platform::MarkMainThread();
  int terminated = 0;
  SetApplicationTerminateHook([&] { ++terminated; });
  StackOverflowHook("Access violation at address 0");
  EXPECT_EQ(terminated, 0);
  StackOverflowHook("Stack overflow");
  EXPECT_EQ(terminated, 1);
  // Only the first 1024 characters are looked at.
  StackOverflowHook(std::string(1020, 'x') + "Stack overflow");
  EXPECT_EQ(terminated, 1);
  // Not the main thread and no worker: nothing happens.
  std::thread([] { HandleStackOverflow(); }).join();
  EXPECT_EQ(terminated, 1);
  SetApplicationTerminateHook(nullptr);
}

}  // namespace
}  // namespace halvorn
