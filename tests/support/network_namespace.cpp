#include "support/network_namespace.h"

#include <unistd.h>

#include <cstdlib>

#include "support/test_support.h"

namespace halvorn::test {
namespace {

constexpr const char* kChildVariable = "HALVORN_TEST_IN_OWN_NETNS";

std::string ProgramFile() {
  char path[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

NamespaceRun RunInOwnNetworkNamespace(bool childMaySkip, std::string& skipText) {
  if (const char* child = std::getenv(kChildVariable); child && std::string(child) == "1") {
    CommandResult up = RunCommand({"ip", "link", "set", "lo", "up"});
    EXPECT_EQ(up.ExitCode, 0) << "cannot bring loopback up in the test's namespace";
    return NamespaceRun::RunHere;
  }
  const std::string self = ProgramFile();
  if (::geteuid() != 0 || self.empty() || RunCommand({"unshare", "-n", "-m", "true"}).ExitCode != 0)
    return NamespaceRun::NotAllowed;
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  CommandResult result;
  {
    ScopedEnv inside(kChildVariable, "1");
    result = RunCommand({"unshare", "-n", "-m", self, filter, "--gtest_color=no"});
  }
  const bool skipped = result.Output.find("[  SKIPPED ]") != std::string::npos;
  if (skipped && childMaySkip) {
    skipText = result.Output;
    return NamespaceRun::SkippedInChild;
  }
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_FALSE(skipped) << result.Output;
  EXPECT_NE(result.Output.find("[  PASSED  ] 1 test."), std::string::npos) << result.Output;
  return NamespaceRun::RanInChild;
}

}  // namespace halvorn::test
