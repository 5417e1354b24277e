#include "foundation/app/window_handle.h"

#include <gtest/gtest.h>

namespace halvorn {
namespace {

TEST(WindowHandleTest, ZeroAndMinusOneAreNoHandle) {
  EXPECT_FALSE(IsValidHandle(0));
  EXPECT_FALSE(IsValidHandle(-1));
  EXPECT_TRUE(IsValidHandle(42));
  EXPECT_TRUE(IsValidHandle(-2));
}

}  // namespace
}  // namespace halvorn
