#include "foundation/host_names.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace halvorn {
namespace {

TEST(HostNamesTest, OwnHostNameIsTheSystemsAndStable) {
  char buffer[256] = {};
  ASSERT_EQ(gethostname(buffer, sizeof(buffer) - 1), 0);
  const std::string expected = buffer[0] ? buffer : "LocalHost";
  EXPECT_EQ(GetHostNameOrLocal(), expected);
  EXPECT_EQ(LocalHostName(), "LocalHost");

  // Many threads read the cached name at once (run under the sanitizers).
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = GetHostNameOrLocal(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& name : seen) EXPECT_EQ(name, expected);
}

}  // namespace
}  // namespace halvorn
