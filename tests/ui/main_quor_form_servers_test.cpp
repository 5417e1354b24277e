// The local POP3 server's port as the main window applies it: port 110 when
// free, else (outside Power User mode) the first free one of 2000, 2010, ...
// up to 3010; past that the server stays inactive and the log says why. The
// ports are fixed, so the test runs in a network namespace of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>

#include "support/held_port.h"
#include "support/network_namespace.h"
#include "ui/main_form_test_support.h"

namespace halvorn::test {
namespace {

TEST_F(MainFormTest, ATakenPortMovesTheServerToTheFirstFreeAutomaticPort) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  struct Row {
    const char* Name;
    std::vector<int> Held;
    int Mode;
    bool AutoSelect;
    int Port;  // 0: inactive
    bool Auto;
    const char* State;
  } rows[] = {
      {"110 free", {}, 0, true, 110, false, "POP3 server: listening on port 110"},
      {"110 taken",
       {110},
       0,
       true,
       2000,
       true,
       "POP3 server: listening on port 2000 (chosen automatically)"},
      {"110, 2000 and 2010 taken",
       {110, 2000, 2010},
       1,
       false,
       2020,
       true,
       "POP3 server: listening on port 2020 (chosen automatically)"},
      {"Power User mode with automatic choice",
       {110},
       2,
       true,
       2000,
       true,
       "POP3 server: listening on port 2000 (chosen automatically)"},
      // Offscreen nobody answers the question whether to search.
      {"Power User mode asks first",
       {110},
       2,
       false,
       0,
       false,
       "POP3 server: inactive (port 110 is taken)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FForm.reset();
    UiMode.store(row.Mode);
    std::vector<std::unique_ptr<test::HeldPort>> held;
    for (int port : row.Held) held.push_back(std::make_unique<test::HeldPort>(port));
    TMainQuorForm& form = Form();
    form.AutoSelectPopPortCheckBox = row.AutoSelect;
    form.UpdatePop3Server(TUpdateSender::Window);
    EXPECT_EQ(form.Pop3Server1()->Active(), row.Port != 0);
    if (row.Port != 0) {
      EXPECT_EQ(form.Pop3Server1()->BoundPort(), row.Port);
    }
    EXPECT_EQ(form.PopServerActiveCheckBox, row.Port != 0);
    EXPECT_EQ(form.FPopPortAuto, row.Auto);
    EXPECT_EQ(form.Pop3ServerStateLabel->text().toStdString(), row.State);
  }
}

TEST_F(MainFormTest, PastTheLastAutomaticPortTheServerStaysInactive) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  std::vector<std::unique_ptr<test::HeldPort>> held;
  held.push_back(std::make_unique<test::HeldPort>(110));
  for (int port = 2000; port <= 3010; port += 10) held.push_back(std::make_unique<test::HeldPort>(port));
  LogRecorder log;
  TMainQuorForm& form = Form();
  form.UpdatePop3Server(TUpdateSender::Window);
  EXPECT_FALSE(form.Pop3Server1()->Active());
  EXPECT_FALSE(form.PopServerActiveCheckBox);
  EXPECT_EQ(form.Pop3ServerStateLabel->text().toStdString(),
            "POP3 server: inactive (no free port found)");
  int tried = 0;
  bool told = false;
  for (const LogRecorder::TRecord& record : LogRecorder::Records()) {
    if (record.Text.rfind("Could not aquire port ", 0) == 0) ++tried;
    told = told || record.Text ==
                       "Could not find a free port.  Please manually choose a free port for "
                       "the POP server.";
  }
  // 110 and the 102 automatic ports, each after its retry.
  EXPECT_EQ(tried, 103);
  EXPECT_TRUE(told);
  // Once a port frees, the window's next update takes it... only when asked:
  // a port the user types is the user's.
  held.clear();
  form.PopServerActiveCheckBox = true;
  form.PortEdit = "110";
  form.UpdatePop3Server(TUpdateSender::PortEdit);
  EXPECT_TRUE(form.Pop3Server1()->Active());
  EXPECT_EQ(form.Pop3Server1()->BoundPort(), 110);
  EXPECT_FALSE(form.FPopPortAuto);
}

}  // namespace
}  // namespace halvorn::test
