#include "foundation/app/developer_mode.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(DeveloperModeTest, DeveloperModeTriggers) {
  test::ScopedEnv clear("IsVostek", "");
  SetCommandLine(0, nullptr);
  EXPECT_FALSE(IsDeveloperMode());
  {
    test::ScopedEnv on("IsVostek", "Yes");
    EXPECT_TRUE(IsDeveloperMode());
  }
  {
    test::ScopedEnv lower("IsVostek", "yes");
    EXPECT_FALSE(IsDeveloperMode());  // the value must be exactly "Yes"
  }
  const char* args[] = {"halvorn", "-Minimize", "-VOSTEK"};
  SetCommandLine(3, args);
  EXPECT_TRUE(IsDeveloperMode());
  const char* program[] = {"-Vostek"};  // the program's own name is no argument
  SetCommandLine(1, program);
  EXPECT_FALSE(IsDeveloperMode());
}
}  // namespace
}  // namespace halvorn
