// The main window's clocks and its mail workers: the mail clock, the status
// tick, the worker starters, the watchdog, the periodic save and the POP3
// login held for a download.
#include <QApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "classify/bayesian_dictionary.h"
#include "foundation/app/debug_transcript.h"
#include "foundation/app/log.h"
#include "foundation/app/processes.h"
#include "foundation/crypto/random_source.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "message/email_info.h"
#include "message/message_repository.h"
#include "message/processing_options.h"
#include "platform/dialogs.h"
#include "platform/qt_main_thread.h"
#include "ui/main_quor_form.h"

namespace halvorn {

namespace {

constexpr const char* kService = "Main";

// One chance in n, from the calling thread's random source.
bool OneIn(int n) {
  return RandomInt(n) == 0;
}

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

std::string Number(std::int64_t n) {
  return std::to_string(n);
}

// Held mail: the Pendhold queues' messages, repositories in order. The
// held-mail expiry comes with its issue; until then the count is shown and
// nothing expires.
std::int32_t CountHeldMessages() {
  std::int32_t held = 0;
  for (TMessageRepository* repository : GlobalMsgReposList().Repositories())
    held += repository->Pendhold()->CountNotDeleted();
  return held;
}

}  // namespace

bool TMainQuorForm::WorkerRuns(const TThreadHandle& handle) {
  return handle != nullptr && ThreadIsRunning(handle);
}

TQuorThread* TMainQuorForm::FindWorker(const TThreadHandle& handle) {
  TQuorThread* thread = nullptr;
  if (!handle || !FindThreadByHandle(handle, thread)) return nullptr;
  return thread;
}

// ---------------------------------------------------------------------------
// The mail clock

void TMainQuorForm::CheckForMailTimerTimer() {
  if (!Pop3ClientActiveCheckBox) return;
  // 1. The check at start-up, on the first turn of the clock.
  if (PopCheckAtStartCheckBox && !FirstTimeRun.load() && !FStartupCheckDone) {
    FStartupCheckDone = true;
    CheckForMailNowButtonClick(TCheckMailSender::Startup);
  }
  // 2. A busy cursor left behind by a dialog goes now and then.
  if (OneIn(10) && QGuiApplication::overrideCursor() != nullptr)
    QGuiApplication::restoreOverrideCursor();
  // 3. The periodic check.
  CheckForMailTimerTag += 3000;
  const std::int64_t interval =
      static_cast<std::int64_t>(StrToIntDef(TrimText(CheckMailTimeEdit), 30)) * 60000;
  if (CheckForMailTimerTag >= interval) {
    CheckForMailTimerTag = 0;
    CheckForMailNowButtonClick(TCheckMailSender::MailClock);
  }
}

void TMainQuorForm::CheckForMailNowButtonClick(TCheckMailSender sender) {
  if (FDestroying || FClosing || FInFormCreate || platform::ApplicationTerminating()) return;
  FCheckWhenIdle = false;
  if (Pop3ClientActiveCheckBox) {
    // 1. A worker to start.
    if (!FDownloadThread || !ThreadHandleAlive(FDownloadThread)) {
      FDownloadThread.reset();
      if (TQuorThread* thread = FWorkers.NewDownload ? FWorkers.NewDownload() : nullptr) {
        FDownloadThread = thread->Handle();
        if (FWorkers.SetDownloadTimeOut)
          FWorkers.SetDownloadTimeOut(*thread,
                                      StrToIntDef(TrimText(PopClientTimeoutEdit), 60) * 1000);
      }
    }
    // 2. Start it when it waits.
    if (FDownloadThread) {
      TCriticalSectionGuard guard(ThreadListLock());
      TQuorThread* thread = FindWorker(FDownloadThread);
      if (thread == nullptr) {
        FDownloadThread.reset();
      } else if (thread->Suspended() && FWorkers.StartDownload) {
        FWorkers.StartDownload(*thread, DownloadReasonFor(sender));
      }
    }
    // 3. A panel left showing "Disconnecting" goes now and then.
    if (OneIn(10) && !DownLoadPanel->isHidden() &&
        DownloadingMessagesLabel->text().contains(QStringLiteral("Disconnecting")))
      DownLoadPanel->hide();
    return;
  }
  if (sender == TCheckMailSender::CheckForMailNowButton || sender == TCheckMailSender::MenuItem) {
    if (AskUser("The POP client has been deactivated would you like to activate it now?",
                platform::mtConfirmation, platform::mbYes | platform::mbNo) == platform::mrYes) {
      Pop3ClientActiveCheckBox = true;
      CheckForMailNowButtonClick(sender);
    }
  }
}

// ---------------------------------------------------------------------------
// Starters

void TMainQuorForm::StartProcessIncomingThread() {
  if (FStartingIncoming || FInFormCreate || FClosing) return;
  FStartingIncoming = true;
  struct TClearGuard {
    bool& Flag;
    ~TClearGuard() { Flag = false; }
  } clear{FStartingIncoming};
  if (!FIncomingThread || !ThreadHandleAlive(FIncomingThread)) {
    FIncomingThread.reset();
    if (TQuorThread* thread = FWorkers.NewIncoming ? FWorkers.NewIncoming() : nullptr) {
      if (FWorkers.SetIncomingFileExtensions)
        FWorkers.SetIncomingFileExtensions(*thread, FFileExtensions);
      FIncomingThread = thread->Handle();
    }
  }
  if (!FIncomingThread) return;
  TCriticalSectionGuard guard(ThreadListLock());
  TQuorThread* thread = FindWorker(FIncomingThread);
  if (thread == nullptr) {
    FIncomingThread.reset();
  } else if (thread->Suspended()) {
    thread->Resume();
  }
}

void TMainQuorForm::StartProcessOutgoingThread() {
  if (FStartingOutgoing || FInFormCreate || FClosing) return;
  FStartingOutgoing = true;
  struct TClearGuard {
    bool& Flag;
    ~TClearGuard() { Flag = false; }
  } clear{FStartingOutgoing};
  std::int32_t due = 0, held = 0, scheduled = 0;
  CountUnprocessedOutgoing(due, held, scheduled);
  if (due <= 0) return;
  // Seam: the outgoing processing thread comes with its issue; there is no
  // worker to make yet, so outgoing mail waits in its queue.
  if (!FNoSendWorkerLogged) {
    FNoSendWorkerLogged = true;
    Log(kService, "Outgoing mail waits: sending is not available yet", 8, false);
  }
}

void TMainQuorForm::StartSendMailThread() {
  if (FStartingSend || FInFormCreate || FClosing || FDestroying) return;
  FStartingSend = true;
  struct TClearGuard {
    bool& Flag;
    ~TClearGuard() { Flag = false; }
  } clear{FStartingSend};
  if (!SmtpClientActiveCheckBox) return;
  std::int32_t ready = 0, retryA = 0, retryB = 0;
  CountProcessedOutgoing(ready, retryA, retryB);
  if (ready <= 0) return;
  // Seam: the send thread comes with its issue.
  if (!FNoSendWorkerLogged) {
    FNoSendWorkerLogged = true;
    Log(kService, "Outgoing mail waits: sending is not available yet", 8, false);
  }
}

// ---------------------------------------------------------------------------
// The watchdog and the periodic save

void TMainQuorForm::WatchThreads() {
  try {
    // A worker silent for two minutes is asked to stop and, 750 ms later,
    // abandoned. The abandoned ones are remembered: the program must not
    // free what they may still use when it ends.
    std::vector<TThreadHandle> registered;
    {
      TCriticalSectionGuard guard(ThreadListLock());
      for (TQuorThread* thread : ListThreadsOfClass()) registered.push_back(thread->Handle());
    }
    if (CountHungThreads(120, true) == 0) return;
    for (const TThreadHandle& handle : registered) {
      TQuorThread* thread = nullptr;
      if (ThreadHandleAlive(handle) && !FindThreadByHandle(handle, thread))
        FKilledWorkers.push_back(handle);
    }
  } catch (const std::exception& e) {
    Log(kService, std::string("The watchdog failed: ") + e.what(), 5, true);
  }
}

void TMainQuorForm::AutoSaveSettings() {
  if (FDestroying) return;
  if (ElapsedSince(FLastSaveTime) < 30.0 / (24 * 60)) return;
  if (WorkerRuns(FDownloadThread) || WorkerRuns(FIncomingThread) || WorkerRuns(FOutgoingThread) ||
      WorkerRuns(FSendThread))
    return;
  FLastSaveTime = Now();
  SaveAccounts();
  SaveSettings();
  // What the Bayesian dictionaries learned since the start would otherwise
  // live only in memory until the program ends.
  SaveChangedBayesianDictionaries();
}

// ---------------------------------------------------------------------------
// The held login

void TMainQuorForm::Pop3Server1UserConnectedButNoWaitingMail(TPop3ServerSpawnedSocket* session,
                                                             bool& waitForPopClient) {
  waitForPopClient = AutoPopDownloadCheckBox && !FWaitingLogin && Pop3ClientActiveCheckBox;
  if (!waitForPopClient || session == nullptr) return;
  FWaitingLogin = session->Handle();
  FWaitingLoginSet = true;
  FWaitingTime = 0;
  CheckForMailNowButtonClick(TCheckMailSender::WaitingSession);
}

// ---------------------------------------------------------------------------
// The status tick

void TMainQuorForm::StatusTabSheetShow() {
  if (platform::ApplicationTerminating() || FShutDownDone) return;
  try {
    // 1.
    TranscriptPostCommand(0, 1);
    // 2.
    WatchThreads();
    // 3. The interception proves itself at the first tick.
    if (FInterceptVerified == 0) {
      if (!LspSelfTest()) {
        Log(kService, "The interception self-test failed", 10, true);
        LspUninstall();
        LspInstall();
        const bool zoneAlarm = FindProcessIdByFileName("*.ZLCLIENT.EXE") != 0;
        std::string text = "Halvorn failed mail intercept test.\r\n";
        if (zoneAlarm)
          text +=
              "The most probable reason for this is that Halvorn has been blocked by "
              "ZoneAlarm.\r\n";
        text += "Would you like Halvorn to try again?";
        if (AskUser(text, platform::mtError, platform::mbAbort | platform::mbRetry) ==
            platform::mrRetry)
          RunLauncher("");
        TerminateApplication();
        return;
      }
      // Seam: the connection check needs the answers to interception
      // requests (their issue) to redirect its probe; until then it is not
      // run.
      if (!FInterceptCheckLogged) {
        FInterceptCheckLogged = true;
        Log(kService, "The intercept connection check is skipped until requests are answered", 5,
            false);
      }
      ++FInterceptVerified;
    }
    // 4. Old side records go now and then.
    if (OneIn(100)) {
      const auto options = GetGlobalProcessingOptions(kSingleUserName);
      CullEmailInfo(Now() - options->DeleteReportAfter);
    }
    // 5.
    AutoSaveSettings();
    // 6.
    StatusShowShortTimer->stop();
    // 7. The tray icon is refreshed with the counts below (step 15).
    // 8. The held login.
    if (FWaitingLoginSet) {
      FWaitingTime += StatusShowTimer->interval();
      // A session that has gone is forgotten, whether or not another reader
      // is connected meanwhile.
      if (!FWaitingLogin || FPop3Server->ActiveConnections() == 0) {
        FWaitingLogin = TPop3SessionHandle();
        FWaitingLoginSet = false;
        FWaitingTime = 0;
        return;
      }
      const int delay = StrToIntDef(TrimText(AutoPopDownloadIntEdit), 10) * 1000;
      if (FWaitingTime > delay ||
          (!WorkerRuns(FDownloadThread) && CountUnprocessedIncoming() == 0)) {
        try {
          if (TPop3ServerSpawnedSocket* session = FWaitingLogin.Get())
            session->ReleaseWaitingLogin();
        } catch (const std::exception& e) {
          Log(kService, std::string("Releasing the held login failed: ") + e.what(), 5, true);
        }
        FWaitingLogin = TPop3SessionHandle();
        FWaitingLoginSet = false;
        FWaitingTime = 0;
      }
    }
    // 9. A check asked for once no reader is connected.
    if (FCheckWhenIdle && FPop3Server->ActiveConnections() == 0)
      CheckForMailNowButtonClick(TCheckMailSender::StatusTab);
    // 10. No send thread yet: its progress stays hidden.
    const bool sending = WorkerRuns(FSendThread);
    SendingMessagesProgressBar->setVisible(sending);
    SendingMessagesLabel->setVisible(sending);
    CancelSendMsgButton->setVisible(sending);
    if (sending) {
      const int next = SendingMessagesProgressBar->value() + 2;
      SendingMessagesProgressBar->setValue(next > SendingMessagesProgressBar->maximum() ? 0 : next);
    } else {
      SendingMessagesProgressBar->setValue(0);
    }
    SendingMessagesProgressBar->repaint();
    // 11.
    if (!WorkerRuns(FDownloadThread))
      PopStatusGroupBox->setTitle(QStringLiteral("&Incoming Messages (POP)"));
    // 12. Unprocessed incoming mail starts the processing.
    const int mode = UiMode.load();
    if (isVisible() || !WorkerRuns(FIncomingThread)) {
      const std::int32_t n = CountUnprocessedIncoming();
      PopMessagesWaitingToBeAnalyzedLabel->setText(Text("Messages Being Processed: " + Number(n)));
      PopMessagesWaitingToBeAnalyzedLabel->setVisible(n > 0 || mode == kUiModePowerUser);
      if (n > 0 || OneIn(30)) StartProcessIncomingThread();
    }
    // 13.
    if (isVisible() || OneIn(100)) {
      std::int32_t read = 0, unread = 0;
      CountProcessedIncoming(read, unread);
      ShowProcessedIncomingCounts(read, unread);
    }
    // 14.
    CheckForMailNowButton->setVisible(mode != kUiModeLite && DownLoadPanel->isHidden());
    // 15. Held mail.
    const std::int32_t held = CountHeldMessages();
    // Seam: the held-mail expiry comes with its issue; nothing expires.
    const QString heldText = Text("Number of Messages in the Pendhold: " + Number(held));
    SpamOnlyPendLabel->setText(heldText);
    PendholdLabel->setText(heldText);
    const QString hint = PendholdBitBtn->toolTip();
    const int bar = hint.indexOf(QLatin1Char('|'));
    PendholdBitBtn->setToolTip(Text(Number(held) + " Items In the Pendhold") +
                               (bar >= 0 ? hint.mid(bar) : QString()));
    if (held > 0) {
      FTrayHint = Number(held) + " email in Halvorn Pendhold";
      FTrayImageIndex = 1;
    } else {
      FTrayHint = "Halvorn-Omnivale E-Mail Protection";
      FTrayImageIndex = 0;
    }
    RefreshTrayIcon();
    // 16.
    std::int32_t due = 0, soon = 0, later = 0;
    CountUnprocessedOutgoing(due, soon, later);
    ShowUnprocessedOutgoingCounts(due, soon, later);
    if (due > 0) StartProcessOutgoingThread();
    // 17.
    std::int32_t ready = 0, retryA = 0, retryB = 0;
    CountProcessedOutgoing(ready, retryA, retryB);
    ShowProcessedOutgoingCounts(ready, retryA, retryB);
    if (ready > 0) StartSendMailThread();
    // 18.
    bool anyShown = SendingMessagesLabel->isVisibleTo(SmtpStatusGroupBox) ||
                    SendingMessagesProgressBar->isVisibleTo(SmtpStatusGroupBox);
    for (QLabel* label :
         {SMTPScheduledCountLabel, SMTPDelayedCountLabel, SMTPMessagesWaitingToBeAnalyzedLabel,
          SMTPReadyCountLabel, SMTPFailedCountLabel})
      anyShown = anyShown || label->isVisibleTo(SmtpStatusGroupBox);
    NoSmtpLabel->setVisible(!anyShown);
  } catch (const std::exception& e) {
    Log(kService, std::string("The status tick failed: ") + e.what(), 5, true);
  }
  // What happened reaches the log file within a tick.
  FlushLog();
}

void TMainQuorForm::ShowProcessedIncomingCounts(std::int32_t read, std::int32_t unread) {
  const int mode = UiMode.load();
  if (mode == kUiModeLite) {
    PopCountLabel->setText(Text("Unread Messages Available: " + Number(unread)));
    PopCountLabel->setVisible(unread > 0);
  } else {
    const std::int64_t all = static_cast<std::int64_t>(read) + unread;
    PopCountLabel->setVisible(all > 0 || mode == kUiModePowerUser);
    if (read > 0) {
      PopCountLabel->setText(
          Text("Messages Available: " + Number(all) + " - (" + Number(unread) + " Unread)"));
    } else {
      PopCountLabel->setText(Text("Messages Available To Be Read: " + Number(all)));
    }
  }
  NoPopLabel->setVisible(PopCountLabel->isHidden() &&
                         PopMessagesWaitingToBeAnalyzedLabel->isHidden() &&
                         DownLoadPanel->isHidden());
}

void TMainQuorForm::ShowUnprocessedOutgoingCounts(std::int32_t due, std::int32_t held,
                                                  std::int32_t scheduled) {
  const bool power = UiMode.load() == kUiModePowerUser;
  SMTPScheduledCountLabel->setText(Text("Scheduled Messages: " + Number(scheduled)));
  SMTPScheduledCountLabel->setVisible(scheduled > 0 || power);
  SMTPDelayedCountLabel->setText(Text("Messages Being Held: " + Number(held)));
  SMTPDelayedCountLabel->setVisible(held > 1 || power);
  SendMailOptionsButton->setEnabled(held + scheduled > 0);
  SendMailOptionsButton->setVisible(power);
  SendMailNowButton->setEnabled(held > 0);
  SendMailNowButton->setVisible(power);
  SMTPMessagesWaitingToBeAnalyzedLabel->setText(Text("Messages Being Processed: " + Number(due)));
  SMTPMessagesWaitingToBeAnalyzedLabel->setVisible(due > 1 || power);
}

void TMainQuorForm::ShowProcessedOutgoingCounts(std::int32_t ready, std::int32_t retryA,
                                                std::int32_t retryB) {
  const bool power = UiMode.load() == kUiModePowerUser;
  const std::int64_t failed = static_cast<std::int64_t>(retryA) + retryB;
  SMTPReadyCountLabel->setText(Text("Messages Being Sent: " + Number(ready)));
  SMTPReadyCountLabel->setVisible(ready > 1 || power);
  SMTPFailedCountLabel->setText(Text("Failed Messages in Retry Queue: " + Number(failed)));
  SMTPFailedCountLabel->setVisible(failed > 0 || power);
  RetryFailedMessagesButton->setEnabled(failed > 0);
  RetryFailedMessagesButton->setVisible(failed > 0 || power);
  // The pop-up menu of failed mail opens by itself only while there is some.
  RetryFailedMessagesButton->setContextMenuPolicy(failed > 0 ? Qt::ActionsContextMenu
                                                             : Qt::NoContextMenu);
}

// ---------------------------------------------------------------------------
// Buttons of the Status tab

void TMainQuorForm::SendMailNowButtonClick() {
  if (FClosing) return;
  SendOutgoingNow();
  StartSendMailThread();
}

void TMainQuorForm::RetryFailedMessagesButtonClick() {
  RetryFailedOutgoing();
}

void TMainQuorForm::SendMailOptionsButtonClick() {
  // Seam: the send-options dialog comes with its issue.
}

void TMainQuorForm::CancelDownloadButtonClick() {
  TCriticalSectionGuard guard(ThreadListLock());
  if (TQuorThread* thread = FindWorker(FDownloadThread))
    if (FWorkers.CancelDownload) FWorkers.CancelDownload(*thread);
}

void TMainQuorForm::CancelSendMsgButtonClick() {
  // Seam: the send thread comes with its issue.
}

}  // namespace halvorn
