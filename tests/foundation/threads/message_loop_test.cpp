#include "foundation/threads/message_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/main_thread.h"

namespace halvorn {
namespace {

TEST(MessageLoopTest, ThreadsAndMessages) {
  int processed = 0;
  std::string shown;
  platform::MarkMainThread();
  platform::SetMainThreadHooks({[&] { ++processed; }, [&](const std::string& t) { shown = t; }});
  EXPECT_TRUE(IsMainThread());
  EXPECT_TRUE(ProcessMessagesIfMain());
  bool workerMain = true;
  bool workerProcessed = true;
  std::thread worker([&] {
    workerMain = IsMainThread();
    workerProcessed = ProcessMessagesIfMain();
  });
  worker.join();
  EXPECT_FALSE(workerMain);
  EXPECT_FALSE(workerProcessed);
  EXPECT_EQ(processed, 1);

  ShowMessageUnlessQuiet("quiet", true);
  EXPECT_EQ(shown, "");
  ShowMessageUnlessQuiet("shown", false);
  EXPECT_EQ(shown, "shown");
  platform::SetMainThreadHooks({});
}
}  // namespace
}  // namespace halvorn
