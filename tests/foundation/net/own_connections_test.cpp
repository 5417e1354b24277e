#include "foundation/net/own_connections.h"

#include <gtest/gtest.h>

namespace halvorn {
namespace {

TEST(OutgoingConnections, EachConnectionCountsUntilItsOwnRemove) {
  const std::uint32_t server = 0x0100000a;  // 10.0.0.1 as held in s_addr
  AddOutgoingSmtpConnection(server);
  AddOutgoingSmtpConnection(server);
  EXPECT_TRUE(IsOutgoingSmtpConnection(server));
  EXPECT_FALSE(IsOutgoingPopConnection(server)) << "the two lists are apart";
  EXPECT_TRUE(RemoveOutgoingSmtpConnection(server));
  EXPECT_TRUE(IsOutgoingSmtpConnection(server)) << "the second connection is still being set up";
  EXPECT_TRUE(RemoveOutgoingSmtpConnection(server));
  EXPECT_FALSE(IsOutgoingSmtpConnection(server));
  EXPECT_FALSE(RemoveOutgoingSmtpConnection(server));

  AddOutgoingPopConnection(server);
  EXPECT_TRUE(IsOutgoingPopConnection(server));
  EXPECT_FALSE(RemoveOutgoingPopConnection(server + 1));
  EXPECT_TRUE(RemoveOutgoingPopConnection(server));
  EXPECT_FALSE(IsOutgoingPopConnection(server));
}

}  // namespace
}  // namespace halvorn
