// How the main window stops: the close query's closing branch (stop
// requests, two bounded waits), the one-time shut-down, and the end of the
// session that the termination signals stand for.
#include <QCloseEvent>
#include <QCoreApplication>
#include <QSystemTrayIcon>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "foundation/app/log.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"
#include "platform/qt_main_thread.h"
#include "ui/main_quor_form.h"

namespace halvorn {

namespace {

constexpr const char* kService = "Main";
constexpr int kPollMs = 100;

}  // namespace

bool TMainQuorForm::IsClosing() const {
  return FDestroying || FExitRequested || FSessionEnding || FShutDownDone;
}

bool TMainQuorForm::AnyWorkerAlive() const {
  for (const TThreadHandle* handle :
       {&FDownloadThread, &FSendThread, &FIncomingThread, &FOutgoingThread})
    if (*handle && ThreadHandleAlive(*handle)) return true;
  return false;
}

bool TMainQuorForm::AbandonedWorkersRun() const {
  for (const TThreadHandle& handle : FKilledWorkers)
    if (ThreadHandleAlive(handle)) return true;
  return false;
}

void TMainQuorForm::closeEvent(QCloseEvent* event) {
  if (FCloseAllowed) {
    event->accept();
    return;
  }
  bool canClose = false;
  FormCloseQuery(canClose);
  if (canClose) {
    FCloseAllowed = true;
    event->accept();
  } else {
    event->ignore();
  }
}

void TMainQuorForm::SessionEnding() {
  FSessionEnding = true;
  if (FInCloseQuery) {
    // A second request while the workers are waited for: the waits end at
    // their next poll.
    Log(kService, "Asked again to stop: not waiting for the workers any longer", 8, false);
    platform::SetApplicationTerminating(true);
    return;
  }
  if (FShutDownDone) return;
  if (FInFormCreate) {
    // Start-up has not finished: the event loop is not running yet. The
    // program ends as soon as it would start.
    TerminateApplication();
    return;
  }
  close();
}

void TMainQuorForm::ShowHaltingStatus() {
  const char* text = nullptr;
  if (FSendThread && ThreadHandleAlive(FSendThread)) {
    text = "Halting E-mail Send";
  } else if (FDownloadThread && ThreadHandleAlive(FDownloadThread)) {
    text = "Halting Downloads";
  } else if (FIncomingThread && ThreadHandleAlive(FIncomingThread)) {
    text = "Halting E-mail Processing";
  } else if (FOutgoingThread && ThreadHandleAlive(FOutgoingThread)) {
    text = "Halting E-mail Processing~";
  }
  if (text != nullptr) Heartbeat(text, -1, -1);
}

void TMainQuorForm::StopWorkersForClose() {
  TCriticalSectionGuard guard(ThreadListLock());
  if (TQuorThread* download = FindWorker(FDownloadThread)) {
    if (FWorkers.RequestDownloadStop) FWorkers.RequestDownloadStop(*download);
    if (download->Suspended() && FWorkers.StartDownload) FWorkers.StartDownload(*download, 5);
  }
  if (TQuorThread* incoming = FindWorker(FIncomingThread)) {
    if (FWorkers.RequestIncomingStop) FWorkers.RequestIncomingStop(*incoming);
    if (incoming->Suspended()) incoming->Resume();
  }
  // Seam: the send and outgoing processing threads come with their issues;
  // the window never makes them yet.
}

void TMainQuorForm::WaitForWorkers(int limitMs) {
  int elapsed = 0;
  while (elapsed < limitMs) {
    try {
      ShowHaltingStatus();
      if (platform::ApplicationTerminating()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      elapsed += kPollMs;
      ProcessMessagesIfMain();
      if (!AnyWorkerAlive()) return;
    } catch (const std::exception& e) {
      Log(kService, std::string("Waiting for the workers: ") + e.what(), 5, true);
    }
  }
}

void TMainQuorForm::FormCloseQuery(bool& canClose) {
  // The close question and the choice of the tray come with their issue:
  // closing the window, like the end of the session, closes.
  canClose = true;
  if (FInCloseQuery) return;
  FInCloseQuery = true;
  struct TLeave {
    bool& Flag;
    ~TLeave() { Flag = false; }
  } leave{FInCloseQuery};
  try {
    // 1. Seam: no closing window yet; its progress texts go to the log's
    // heartbeat only.
    // 2.
    hide();
    if (CoolTrayIcon1 != nullptr) CoolTrayIcon1->hide();
    // 3.
    if (!FClosing) {
      FClosing = true;
      Log(kService, "Stopping", 10, false);
      if (!FStartupPending && AnyWorkerAlive()) {
        // 5.
        StopWorkersForClose();
        // 6.
        WaitForWorkers(FStopWaitMs);
        // 7. Those still alive get their terminate flag.
        if (AnyWorkerAlive() && !platform::ApplicationTerminating()) {
          TCriticalSectionGuard guard(ThreadListLock());
          if (TQuorThread* download = FindWorker(FDownloadThread)) {
            download->Terminate();
            if (download->Suspended() && FWorkers.StartDownload)
              FWorkers.StartDownload(*download, 5);
          }
          if (TQuorThread* incoming = FindWorker(FIncomingThread)) {
            incoming->Terminate();
            if (incoming->Suspended()) incoming->Resume();
          }
        }
        // 8.
        if (AnyWorkerAlive()) WaitForWorkers(FTerminateWaitMs);
      }
    }
    // 9.
    ShutDown();
  } catch (const std::exception& e) {
    Log(kService, std::string("Closing failed: ") + e.what(), 10, true);
    TerminateApplication();
  }
}

void TMainQuorForm::KillWorker(TThreadHandle& handle) {
  try {
    TCriticalSectionGuard guard(ThreadListLock());
    if (TQuorThread* thread = FindWorker(handle)) {
      if (KillThread(thread)) FKilledWorkers.push_back(handle);
    }
  } catch (const std::exception& e) {
    Log(kService, std::string("Cannot kill a worker: ") + e.what(), 5, true);
  }
  handle.reset();
}

void TMainQuorForm::ShutDown() {
  // 1.
  if (FShutDownDone) return;
  // 2.
  if (!platform::ApplicationTerminating()) TerminateApplication();
  // 3. The ignore record is cleared only while it is ours: another instance
  // started under the wrapper may hold it.
  try {
    if (auto* slot = static_cast<std::uint32_t*>(LspGetIgnorePid()))
      if (*slot == static_cast<std::uint32_t>(::getpid())) *slot = 0;
  } catch (const std::exception& e) {
    Log(kService, std::string("Cannot clear the ignore record: ") + e.what(), 5, true);
  }
  // 4.
  ShuttingDown.store(true);
  // 5. Seam: the address-book scan comes with its issue.
  // 6.
  FShutDownDone = true;
  // 7.
  try {
    ProcessMessagesIfMain();
  } catch (const std::exception& e) {
    Log(kService, std::string("Shut-down: ") + e.what(), 5, true);
  }
  // 8.
  CheckForMailTimer->stop();
  StatusShowTimer->stop();
  StatusShowShortTimer->stop();
  // 9. A start-up that never finished saves nothing.
  if (!FStartupPending) {
    // 10. Accounts, then settings (the rules file is a seam of SaveSettings).
    try {
      SaveAccounts();
    } catch (const std::exception& e) {
      Log(kService, std::string("Saving the accounts failed: ") + e.what(), 10, true);
    }
    try {
      SaveSettings();
    } catch (const std::exception& e) {
      Log(kService, std::string("Saving the settings failed: ") + e.what(), 10, true);
    }
    // 11. Seam: no link server to free.
    // 12. Mail workers still alive are abandoned.
    for (TThreadHandle* handle :
         {&FDownloadThread, &FSendThread, &FIncomingThread, &FOutgoingThread})
      if (*handle && ThreadHandleAlive(*handle)) {
        Log(kService, "A mail worker did not stop in time; left behind", 10, true);
        KillWorker(*handle);
      }
    // 13.
    try {
      StopThreadsOfClassWait(3000);
    } catch (const std::exception& e) {
      Log(kService, std::string("Waiting for the workers: ") + e.what(), 5, true);
    }
    // 14. Seam: no file-extension table to free.
  }
  Log(kService, "Stopped", 10, false);
}

}  // namespace halvorn
