// The local POP3 server's options as the window applies them: the port, the
// limits, and the search for a free port when the configured one is taken
// (port 110 needs root, so an ordinary user's server ends up on 2000 or one
// of the ports after it).
#include <QLabel>

#include <chrono>
#include <thread>

#include "foundation/app/log.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "platform/dialogs.h"
#include "ui/main_quor_form.h"

namespace halvorn {

namespace {

constexpr const char* kService = "Main";
// The automatic search starts here and steps by 10 while the port is at
// most kLastAutoPort.
constexpr int kFirstAutoPort = 2000;
constexpr int kAutoPortStep = 10;
constexpr int kLastAutoPort = 3000;

}  // namespace

void TMainQuorForm::ShowPop3ServerState(const std::string& why) {
  if (Pop3ServerStateLabel == nullptr) return;
  std::string text;
  if (FPop3Server && FPop3Server->Active()) {
    text = "POP3 server: listening on port " + std::to_string(FPop3Server->BoundPort());
    if (FPopPortAuto) text += " (chosen automatically)";
  } else {
    text = "POP3 server: inactive";
    if (!why.empty()) text += " (" + why + ")";
  }
  Pop3ServerStateLabel->setText(QString::fromStdString(text));
}

void TMainQuorForm::UpdatePop3Server(TUpdateSender sender) {
  // 1. A port the user typed is the user's.
  if (sender == TUpdateSender::PortEdit) FPopPortAuto = false;
  // 2. Seam: no option page shows the port edit yet.
  // 3.
  const int maxConnections = StrToIntDef(TrimText(MaxConnectEdit), 50);
  if (maxConnections != FPop3Server->MaxConnections())
    FPop3Server->SetMaxConnections(maxConnections);
  const int port = StrToIntDef(TrimText(PortEdit), 110);
  if (port != FPop3Server->Port()) FPop3Server->SetPort(port);
  // 4.
  FPop3Server->SetAcceptAnyLocal(AnyPopLocalHostCheckBox);
  FPop3Server->SetRestrictToLocalHost(RestrictToLocalCheckBox);
  FPop3Server->SetTimeOut(StrToIntDef(TrimText(PopServerTimeoutEdit), 60) * 1000);
  std::string why;
  // 5.
  if (PopServerActiveCheckBox != FPop3Server->Active()) {
    const std::string error = FPop3Server->SetActive(PopServerActiveCheckBox);
    if (!error.empty()) {
      if (sender != TUpdateSender::None) {
        // The port may be on its way out of an earlier use: once more soon.
        std::this_thread::sleep_for(std::chrono::milliseconds(FPortRetryWaitMs));
        UpdatePop3Server(TUpdateSender::None);
        return;
      }
      const std::string text = "Could not aquire port " + std::to_string(port) +
                               " for listening.  There is probably another application useing "
                               "this port";
      Log(kService, text + " (" + error + ")", 10, true);
      if (FPopPortAuto) {
        if (port <= kLastAutoPort) {
          PortEdit = std::to_string(port + kAutoPortStep);
          UpdatePop3Server(TUpdateSender::Window);
          return;
        }
        // Past the last port the server stays inactive; no page or dialog
        // offers a choice yet.
        Log(kService,
            "Could not find a free port.  Please manually choose a free port for the POP "
            "server.",
            10, true);
        PopServerActiveCheckBox = false;
        why = "no free port found";
      } else {
        if (UiMode.load() != kUiModePowerUser) {
          FPopPortAuto = true;
        } else if (AutoSelectPopPortCheckBox) {
          FPopPortAuto = true;
        } else if (AskUser(text + "\r\nWould you like Halvorn to automatically find a free port?",
                           platform::mtWarning,
                           platform::mbYes | platform::mbNo) == platform::mrYes) {
          FPopPortAuto = true;
        }
        if (FPopPortAuto) {
          PortEdit = std::to_string(kFirstAutoPort);
          UpdatePop3Server(TUpdateSender::Window);
          return;
        }
        why = "port " + std::to_string(port) + " is taken";
      }
    } else if (FPop3Server->Active()) {
      Log(kService, "The POP3 server listens on port " + std::to_string(FPop3Server->BoundPort()),
          10, false);
    }
  }
  // 6. The real state.
  PopServerActiveCheckBox = FPop3Server->Active();
  ShowPop3ServerState(why);
}

}  // namespace halvorn
