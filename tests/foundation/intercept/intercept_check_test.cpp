#include "foundation/intercept/intercept_check.h"

#include <gtest/gtest.h>

#include "foundation/intercept/ip_mapping.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/intercept/lsp_requests.h"
#include "lsp_test_support.h"

namespace halvorn {
namespace {

class CheckInterceptTest : public test::InterceptFixture {
 protected:
  // Redirects every POP3 request to the local port, as the main window does
  // when its POP3 server is active (port 0: leaves them alone).
  void RedirectTo(std::uint16_t port) {
    SetLspRequestHandler([port](std::uint32_t, std::uintptr_t, std::uintptr_t) {
      if (port == 0) return;
      auto* record = static_cast<std::uint8_t*>(LspGetRedirectTable());
      TSockAddrIn redirected = MakeSockAddrIn(0x7f420a0b, port);
      std::memcpy(record, &redirected, 16);
    });
  }
};

TEST_F(CheckInterceptTest, AnswersByWhatTheRedirectedConnectionHears) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_TRUE(StartLspListener());
  struct Row {
    const char* reply;  // null: the server says nothing
    const char* expected;
  } rows[] = {
      {"~~Intercept confirmed~~\r\n", ""},
      {"+OK POP3 server ready\r\n", "Read bad value"},
      {nullptr, "Read Failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    std::string heard;
    test::ScriptedServer server([&](int fd, std::uint32_t) {
      heard = test::ReadSocketLine(fd);
      if (row.reply != nullptr) test::SendText(fd, row.reply);
      test::ReadSocketLine(fd);  // until the probe leaves
    });
    RedirectTo(server.Port());
    EXPECT_EQ(CheckIntercept(), row.expected);
    EXPECT_EQ(heard, "~~Intercept check~~");
  }
}

TEST_F(CheckInterceptTest, FailsToConnectWhenLeftAloneAndRestoresTheIgnoreSlot) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_TRUE(StartLspListener());
  RedirectTo(0);
  auto* slot = static_cast<std::uint32_t*>(LspGetIgnorePid());
  ASSERT_NE(slot, nullptr);
  *slot = 0;
  // Nothing serves port 110 in the test's namespace.
  EXPECT_EQ(CheckIntercept(), "Could not make connection");
  EXPECT_EQ(*slot, static_cast<std::uint32_t>(getpid()));
}

}  // namespace
}  // namespace halvorn
