// The main window: its controls, the posted messages it handles and its
// start-up. The clocks and workers are in main_quor_form_status.cpp, the stop
// in main_quor_form_close.cpp, the files in main_quor_form_files.cpp and the
// POP3 server's options in main_quor_form_servers.cpp.
#include "ui/main_quor_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include <system_error>

#include "foundation/app/log.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/app/module_startup.h"
#include "foundation/app/processes.h"
#include "foundation/app/sys_info.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/intercept/lsp_requests.h"
#include "foundation/net/connection_checks.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"
#include "lists/file_extensions.h"
#include "message/mail_store.h"
#include "message/message_repository.h"
#include "processing/process_incoming_thread.h"
#include "platform/dialogs.h"
#include "platform/qt_main_thread.h"
#include "platform/qt_window_messages.h"
#include "message/accounts_saver.h"
#include "transport/download_remote_mail_thread.h"

namespace halvorn {

namespace {

constexpr const char* kService = "Main";
// The tray's hint when nothing is held.
constexpr const char* kTrayHint = "Halvorn-Omnivale E-Mail Protection";
// What a process of the firewall that blocks the program is called.
constexpr const char* kZoneAlarmPattern = "*.ZLCLIENT.EXE";

// Lines of a dialog text are separated by CR LF.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  return text;
}

// The two images of the window's image list: the program's shield, and the
// shield marked for held mail.
QIcon TrayImage(int index) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x1F, 0x5F, 0xA8));
  painter.setPen(Qt::NoPen);
  const QPointF shield[] = {{4, 3}, {28, 3}, {28, 16}, {16, 30}, {4, 16}};
  painter.drawPolygon(shield, 5);
  if (index == 1) {
    painter.setBrush(QColor(0xE0, 0x40, 0x20));
    painter.drawEllipse(QPointF(23, 23), 7, 7);
  }
  return QIcon(pixmap);
}

QLabel* NewLabel(QWidget* parent, QLayout* layout, const char* name, const char* text = "") {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  layout->addWidget(label);
  return label;
}

QPushButton* NewButton(QWidget* parent, QLayout* layout, const char* name, const char* text) {
  auto* button = new QPushButton(QString::fromLatin1(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  layout->addWidget(button);
  return button;
}

QProgressBar* NewBar(QWidget* parent, QLayout* layout, const char* name) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(QString::fromLatin1(name));
  bar->setRange(0, 100);
  bar->setValue(0);
  layout->addWidget(bar);
  return bar;
}

}  // namespace

std::uint8_t DownloadReasonFor(TCheckMailSender sender) {
  switch (sender) {
    case TCheckMailSender::CheckForMailNowButton:
    case TCheckMailSender::Window:
      return 1;
    case TCheckMailSender::MailClock:
    case TCheckMailSender::StatusTab:
      return 2;
    case TCheckMailSender::Startup:
      return 3;
    case TCheckMailSender::WaitingSession:
      return 4;
    case TCheckMailSender::AccountMenuItem:
      return 6;
    case TCheckMailSender::ViewPendholdButton:
      return 7;
    case TCheckMailSender::Other:
    case TCheckMailSender::MenuItem:
      break;
  }
  return 0;
}

TMailWorkerFactory RealMailWorkers() {
  TMailWorkerFactory workers;
  workers.NewDownload = []() -> TQuorThread* {
    return CreateQuorThread<TDownloadRemoteMailThread>(true);
  };
  workers.SetDownloadTimeOut = [](TQuorThread& thread, int ms) {
    static_cast<TDownloadRemoteMailThread&>(thread).SetTimeOut(ms);
  };
  workers.StartDownload = [](TQuorThread& thread, std::uint8_t reason) {
    static_cast<TDownloadRemoteMailThread&>(thread).StartWithMode(reason);
  };
  workers.RequestDownloadStop = [](TQuorThread& thread) {
    static_cast<TDownloadRemoteMailThread&>(thread).FStopRequested = true;
  };
  workers.CancelDownload = [](TQuorThread& thread) {
    static_cast<TDownloadRemoteMailThread&>(thread).CancelDownload();
  };
  workers.DownloadClass = TThreadClass::Of<TDownloadRemoteMailThread>();
  // The incoming processing thread runs with the rule list as loaded (empty
  // until the rules file is read) and the window's file-extension table.
  workers.NewIncoming = []() -> TQuorThread* {
    auto* thread = CreateQuorThread<TProcessIncomingThread>(true);
    thread->SetFreeOnTerminate(true);
    return thread;
  };
  workers.SetIncomingFileExtensions = [](TQuorThread& thread,
                                         std::shared_ptr<TFileExtensionList> table) {
    static_cast<TProcessIncomingThread&>(thread).SetFileExtensionList(std::move(table));
  };
  workers.RequestIncomingStop = [](TQuorThread& thread) {
    static_cast<TProcessIncomingThread&>(thread).SetStopRequested(true);
  };
  workers.IncomingClass = TThreadClass::Of<TProcessIncomingThread>();
  return workers;
}

bool RunningOffscreen() {
  return QGuiApplication::platformName() == QLatin1String("offscreen");
}

int AskUser(const std::string& text, int type, std::uint16_t buttons, int helpContext) {
  if (RunningOffscreen() || QApplication::instance() == nullptr) {
    std::string flat = text;
    for (std::size_t at = flat.find("\r\n"); at != std::string::npos; at = flat.find("\r\n"))
      flat.replace(at, 2, " / ");
    Log(kService, "No one can answer offscreen; answered Abort: " + flat, 10, true);
    return platform::mrAbort;
  }
  return platform::QuorMessageDlg(text, type, buttons, std::string(), 0, std::string(), helpContext,
                                  platform::mrNone);
}

// ---------------------------------------------------------------------------
// Construction

TMainQuorForm::TMainQuorForm(TMailWorkerFactory workers) : FWorkers(std::move(workers)) {
  setObjectName(QStringLiteral("MainQuorForm"));
  setWindowTitle(QStringLiteral("Halvorn"));
  BuildControls();
  BuildTray();

  FPop3Server = std::make_unique<TPop3Server>();
  FPop3Server->OnUserConnectedButNoWaitingMail = [this](TPop3ServerSpawnedSocket* session,
                                                        bool& wait) {
    Pop3Server1UserConnectedButNoWaitingMail(session, wait);
  };

  CheckForMailTimer = new QTimer(this);
  CheckForMailTimer->setObjectName(QStringLiteral("CheckForMailTimer"));
  CheckForMailTimer->setInterval(3000);
  connect(CheckForMailTimer, &QTimer::timeout, this, [this] { CheckForMailTimerTimer(); });
  StatusShowTimer = new QTimer(this);
  StatusShowTimer->setObjectName(QStringLiteral("StatusShowTimer"));
  StatusShowTimer->setInterval(5000);
  connect(StatusShowTimer, &QTimer::timeout, this, [this] { StatusTabSheetShow(); });
  StatusShowShortTimer = new QTimer(this);
  StatusShowShortTimer->setObjectName(QStringLiteral("StatusShowShortTimer"));
  StatusShowShortTimer->setInterval(1000);
  connect(StatusShowShortTimer, &QTimer::timeout, this, [this] { StatusTabSheetShow(); });
  // The mail clock runs from the window's creation; it does nothing while
  // start-up runs (the starters refuse).
  CheckForMailTimer->start();

  FLastSaveTime = Now();
  FWindowHandle = platform::RegisterWindow(this, kMainFormClassName);
}

TMainQuorForm::~TMainQuorForm() {
  FDestroying = true;
  if (!FShutDownDone) {
    try {
      ShutDown();
    } catch (const std::exception& e) {
      Log(kService, std::string("Shut-down failed: ") + e.what(), 10, true);
    }
  }
  SetAccountsSaver({});
  if (GetMainWindowHandle() == FWindowHandle) SetMainWindowHandle(0);
  platform::UnregisterWindow(FWindowHandle);
  if (LspListenerActive()) StopLspListener();
  // The sessions end as dropped lines while the window still exists.
  FPop3Server.reset();
}

void TMainQuorForm::BuildControls() {
  auto* central = new QWidget(this);
  auto* centralLayout = new QVBoxLayout(central);
  MainPageControl = new QTabWidget(central);
  MainPageControl->setObjectName(QStringLiteral("MainPageControl"));
  centralLayout->addWidget(MainPageControl);
  setCentralWidget(central);

  StatusTabSheet = new QWidget(MainPageControl);
  StatusTabSheet->setObjectName(QStringLiteral("StatusTabSheet"));
  MainPageControl->addTab(StatusTabSheet, QStringLiteral("Status"));
  auto* statusLayout = new QVBoxLayout(StatusTabSheet);

  PopStatusGroupBox = new QGroupBox(QStringLiteral("&Incoming Messages (POP)"), StatusTabSheet);
  PopStatusGroupBox->setObjectName(QStringLiteral("PopStatusGroupBox"));
  statusLayout->addWidget(PopStatusGroupBox);
  auto* popLayout = new QVBoxLayout(PopStatusGroupBox);
  DownLoadPanel = new QWidget(PopStatusGroupBox);
  DownLoadPanel->setObjectName(QStringLiteral("DownLoadPanel"));
  popLayout->addWidget(DownLoadPanel);
  auto* panelLayout = new QHBoxLayout(DownLoadPanel);
  DownloadingMessagesLabel = NewLabel(DownLoadPanel, panelLayout, "DownloadingMessagesLabel");
  DownloadProgressBar = NewBar(DownLoadPanel, panelLayout, "DownloadProgressBar");
  CancelDownloadButton = NewButton(DownLoadPanel, panelLayout, "CancelDownloadButton", "Cancel");
  DownLoadPanel->hide();
  PopMessagesWaitingToBeAnalyzedLabel =
      NewLabel(PopStatusGroupBox, popLayout, "PopMessagesWaitingToBeAnalyzedLabel");
  PopCountLabel = NewLabel(PopStatusGroupBox, popLayout, "PopCountLabel");
  NoPopLabel = NewLabel(PopStatusGroupBox, popLayout, "NoPopLabel", "No Mail Currently Available");
  CheckForMailNowButton =
      NewButton(PopStatusGroupBox, popLayout, "CheckForMailNowButton", "&Check for Mail Now");
  Pop3ServerStateLabel = NewLabel(PopStatusGroupBox, popLayout, "Pop3ServerStateLabel");
  PopMessagesWaitingToBeAnalyzedLabel->hide();
  PopCountLabel->hide();

  SmtpStatusGroupBox = new QGroupBox(QStringLiteral("&Outgoing Messages (SMTP)"), StatusTabSheet);
  SmtpStatusGroupBox->setObjectName(QStringLiteral("SmtpStatusGroupBox"));
  statusLayout->addWidget(SmtpStatusGroupBox);
  auto* smtpLayout = new QVBoxLayout(SmtpStatusGroupBox);
  SendingMessagesLabel = NewLabel(SmtpStatusGroupBox, smtpLayout, "SendingMessagesLabel");
  SendingMessagesProgressBar = NewBar(SmtpStatusGroupBox, smtpLayout, "SendingMessagesProgressBar");
  CancelSendMsgButton = NewButton(SmtpStatusGroupBox, smtpLayout, "CancelSendMsgButton", "Cancel");
  SMTPScheduledCountLabel = NewLabel(SmtpStatusGroupBox, smtpLayout, "SMTPScheduledCountLabel");
  SMTPDelayedCountLabel = NewLabel(SmtpStatusGroupBox, smtpLayout, "SMTPDelayedCountLabel");
  SendMailOptionsButton =
      NewButton(SmtpStatusGroupBox, smtpLayout, "SendMailOptionsButton", "Send Options");
  SendMailNowButton = NewButton(SmtpStatusGroupBox, smtpLayout, "SendMailNowButton", "Send Now");
  SMTPMessagesWaitingToBeAnalyzedLabel =
      NewLabel(SmtpStatusGroupBox, smtpLayout, "SMTPMessagesWaitingToBeAnalyzedLabel");
  SMTPReadyCountLabel = NewLabel(SmtpStatusGroupBox, smtpLayout, "SMTPReadyCountLabel");
  SMTPFailedCountLabel = NewLabel(SmtpStatusGroupBox, smtpLayout, "SMTPFailedCountLabel");
  RetryFailedMessagesButton = NewButton(SmtpStatusGroupBox, smtpLayout, "RetryFailedMessagesButton",
                                        "Retry Failed Messages");
  NoSmtpLabel =
      NewLabel(SmtpStatusGroupBox, smtpLayout, "NoSmtpLabel", "No Mail Currently Being Sent");
  for (QWidget* w : std::initializer_list<QWidget*>{
           SendingMessagesLabel, SendingMessagesProgressBar, CancelSendMsgButton,
           SMTPScheduledCountLabel, SMTPDelayedCountLabel, SendMailOptionsButton, SendMailNowButton,
           SMTPMessagesWaitingToBeAnalyzedLabel, SMTPReadyCountLabel, SMTPFailedCountLabel,
           RetryFailedMessagesButton})
    w->hide();
  DelFailedMsgsPopupMenu = new QMenu(this);
  DelFailedMsgsPopupMenu->setObjectName(QStringLiteral("DelFailedMsgsPopupMenu"));

  auto* heldBox = new QWidget(StatusTabSheet);
  statusLayout->addWidget(heldBox);
  auto* heldLayout = new QHBoxLayout(heldBox);
  SpamOnlyPendLabel = NewLabel(heldBox, heldLayout, "SpamOnlyPendLabel");
  PendholdLabel = NewLabel(heldBox, heldLayout, "PendholdLabel");
  PendholdBitBtn = NewButton(heldBox, heldLayout, "PendholdBitBtn", "Pendhold");
  PendholdBitBtn->setToolTip(QStringLiteral("0 Items In the Pendhold|View the held messages"));
  statusLayout->addStretch();

  connect(CheckForMailNowButton, &QPushButton::clicked, this,
          [this] { CheckForMailNowButtonClick(TCheckMailSender::CheckForMailNowButton); });
  connect(CancelDownloadButton, &QPushButton::clicked, this,
          [this] { CancelDownloadButtonClick(); });
  connect(CancelSendMsgButton, &QPushButton::clicked, this, [this] { CancelSendMsgButtonClick(); });
  connect(SendMailNowButton, &QPushButton::clicked, this, [this] { SendMailNowButtonClick(); });
  connect(SendMailOptionsButton, &QPushButton::clicked, this,
          [this] { SendMailOptionsButtonClick(); });
  connect(RetryFailedMessagesButton, &QPushButton::clicked, this,
          [this] { RetryFailedMessagesButtonClick(); });
  connect(MainPageControl, &QTabWidget::currentChanged, this, [this](int index) {
    if (MainPageControl->widget(index) == StatusTabSheet && !FInFormCreate) StatusTabSheetShow();
  });
  ShowPop3ServerState();
}

void TMainQuorForm::BuildTray() {
  FTrayHint = kTrayHint;
  FTrayImageIndex = 0;
  // Only a desktop with a notification area gets the icon; elsewhere the
  // window stays the program's only face.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  CoolTrayIcon1 = new QSystemTrayIcon(TrayImage(0), this);
  CoolTrayIcon1->setObjectName(QStringLiteral("CoolTrayIcon1"));
  CoolTrayIcon1->setToolTip(QString::fromStdString(FTrayHint));
  connect(CoolTrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason) { CoolTrayIcon1Click(); });
}

void TMainQuorForm::RefreshTrayIcon() {
  if (CoolTrayIcon1 == nullptr) return;
  CoolTrayIcon1->setIcon(TrayImage(FTrayImageIndex));
  CoolTrayIcon1->setToolTip(QString::fromStdString(FTrayHint));
}

// ---------------------------------------------------------------------------
// Posted messages

bool TMainQuorForm::event(QEvent* event) {
  if (event->type() == platform::WindowMessageEvent::EventType()) {
    auto* message = static_cast<platform::WindowMessageEvent*>(event);
    WndProc(message->Msg(), message->WParam(), message->LParam(), message->TakeText());
    return true;
  }
  return QMainWindow::event(event);
}

void TMainQuorForm::WndProc(std::uint32_t msg, platform::MessageParam wParam,
                            platform::MessageParam lParam, std::unique_ptr<std::string> text) {
  struct TInWindowProc {
    TInWindowProc() { InWindowProc.store(true); }
    ~TInWindowProc() { InWindowProc.store(false); }
  } inWindowProc;
  try {
    switch (msg) {
      case WM_POP_STATUS:
        HandlePopStatus(wParam, lParam, std::move(text));
        break;
      case WM_QUEUE_CHANGED:
        // The tick soon, so the counts follow the change.
        if (!FShutDownDone) StatusShowShortTimer->start();
        break;
      case WM_RESTORE_WINDOW:
        Log(kService, "Another start of the program asked this one to show its window", 5, false);
        CoolTrayIcon1Click();
        break;
      case WM_CHECK_MAIL_WHEN_IDLE:
        FCheckWhenIdle = true;
        break;
      case WM_DOWNLOAD_THREAD_FAILED:
        WorkerFailed(FDownloadThread, FWorkers.DownloadClass);
        break;
      case WM_INCOMING_THREAD_FAILED:
        WorkerFailed(FIncomingThread, FWorkers.IncomingClass);
        break;
      default:
        // The other messages come with the issues of their handlers.
        break;
    }
  } catch (const std::exception& e) {
    Log(kService, "Window message " + std::to_string(msg) + " failed: " + e.what(), 5, true);
  } catch (...) {
    Log(kService, "Window message " + std::to_string(msg) + " failed", 5, true);
  }
}

void TMainQuorForm::HandlePopStatus(platform::MessageParam wParam, platform::MessageParam lParam,
                                    std::unique_ptr<std::string> text) {
  if (FDestroying || FClosing) return;
  const int state = static_cast<int>(wParam & 0xFFFFu);
  DownLoadPanel->setVisible(state != 0);
  if (state == 0) PopStatusGroupBox->setTitle(QStringLiteral("&Incoming Messages (POP)"));
  CheckForMailNowButton->setVisible(UiMode.load() != kUiModeLite && DownLoadPanel->isHidden());
  const int low = static_cast<int>(lParam & 0xFFFFu);
  const int high = static_cast<int>((lParam >> 16) & 0xFFFFu);
  switch (state) {
    case 1:
      if (text) {
        PopStatusGroupBox->setTitle(
            QString::fromStdString("&Incoming Messages (POP) (MailBox = " + *text + ")"));
      } else {
        PopStatusGroupBox->setTitle(QStringLiteral("&Incoming Messages (POP)"));
      }
      break;
    case 2:
      DownloadingMessagesLabel->setText(QStringLiteral("Connecting"));
      break;
    case 3:
    case 4:
      DownloadingMessagesLabel->setText(QStringLiteral("Logging In"));
      break;
    case 8:
      DownloadingMessagesLabel->setText(QStringLiteral("Retrieving Message List"));
      break;
    case 10:
    case 11: {
      const char* verb = state == 10 ? "Downloading Message " : "Deleteing Message ";
      DownloadingMessagesLabel->setText(QString::fromStdString(
          verb + std::to_string(low) + " of " + std::to_string(high) + " Total Messages."));
      const int next = DownloadProgressBar->value() + 10;
      DownloadProgressBar->setValue(next > DownloadProgressBar->maximum() ? 0 : next);
      break;
    }
    case 12:
      DownloadingMessagesLabel->setText(QStringLiteral("Disconnecting"));
      break;
    default:
      break;
  }
}

void TMainQuorForm::WorkerFailed(TThreadHandle& handle, const TThreadClass& threadClass) {
  if (!handle) return;
  const TThreadHandle failed = handle;
  if (!WaitThreadWithTimeout(failed, 1000, true)) {
    // Not ended: every worker of its class goes; the next tick makes a new
    // one. A factory without that class kills nothing else.
    if (!threadClass.IsAny()) {
      KillThreadsOfClass(threadClass);
    } else {
      KillWorker(handle);
    }
    if (ThreadHandleAlive(failed)) FKilledWorkers.push_back(failed);
  }
}

void TMainQuorForm::CoolTrayIcon1Click() {
  if (FInFormCreate || FDestroying || FExitRequested) return;
  if (CoolTrayIcon1 != nullptr) CoolTrayIcon1->setVisible(true);
  showNormal();
  raise();
  activateWindow();
}

void TMainQuorForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() && !FInFormCreate &&
      !FDestroying)
    FormActivate();
}

// ---------------------------------------------------------------------------
// Start-up

void TMainQuorForm::FormCreate() {
  struct TLeaveFormCreate {
    TMainQuorForm* Form;
    ~TLeaveFormCreate() { Form->FInFormCreate = false; }
  } leave{this};
  // 1. The window's state.
  FInFormCreate = true;
  FStartupPending = true;
  FDownloadThread.reset();
  FIncomingThread.reset();
  FOutgoingThread.reset();
  FSendThread.reset();
  FExitRequested = false;
  FSessionEnding = false;
  FClosing = false;
  LiteSpamTag = "[SPAM]";
  // Seam: the help hook comes with the help topics.

  // 2. The servers' banners (the ESMTP server comes with its issue).
  FPop3Server->SetBanner(kPop3Banner);
  // 3. The Status tab shows first.
  MainPageControl->setCurrentWidget(StatusTabSheet);

  // 4. The program's own connections are never redirected: its process id
  // goes into the interception library's ignore record.
  try {
    if (auto* slot = static_cast<std::uint32_t*>(LspGetIgnorePid()))
      *slot = static_cast<std::uint32_t>(::getpid());
  } catch (const std::exception& e) {
    Log(kService, std::string("Cannot store the ignore record: ") + e.what(), 5, true);
  }
  // 5. Qt scales the window to the screen itself.
  // 6. A pending reboot-time replacement of the library is cancelled.
  try {
    CancelLspRebootOperations();
  } catch (const std::exception& e) {
    Log(kService, std::string("Cannot cancel the library's file moves: ") + e.what(), 5, true);
  }
  // 7.
  FLastSaveTime = Now();
  // 8. The exception hook is the application's (THalvornApplication), which
  // main() points at AppException.

  // 9. The network self-test.
  if (!SendUdpHello()) {
    const bool zoneAlarm = FindProcessIdByFileName(kZoneAlarmPattern) != 0;
    const std::string text =
        zoneAlarm ? Lines({"Halvorn cannot access the internet.",
                           "The most probable reason for this is that Halvorn has been blocked "
                           "by ZoneAlarm.",
                           "Would you like Quorvantis to try again?"})
                  : Lines({"Halvorn cannot access the internet.",
                           "Would you like Halvorn to try again?"});
    if (AskUser(text, platform::mtError, platform::mbAbort | platform::mbRetry) ==
        platform::mrRetry)
      RunLauncher("");
    FStartupStopped = true;
    TerminateApplication();
    hide();
    return;
  }
  // 10. A second instance never gets here: main() hands over to the first
  // one before anything writes the data folder.

  // 11. The sockets layer's version.
  std::uint16_t major = 10;
  std::uint16_t minor = 10;
  if (GetWinsockVersion(major, minor) && major < 2) {
    AskUser(Lines({"Halvorn has detected an outdated version of Winsock on your machine "
                   "(version " +
                       std::to_string(major) + "." + std::to_string(minor) + ").",
                   "Halvorn requires an updated version to run."}),
            platform::mtError, platform::mbAbort | platform::mbHelp, 2);
    FStartupStopped = true;
    TerminateApplication();
    hide();
    return;
  }
  // 12. From here on posted messages reach the window.
  SetMainWindowHandle(FWindowHandle);
  // The interception library's requests: the listener runs (its self-test
  // answers through it), but no handler answers requests until their issue,
  // so every intercepted connection goes through unchanged.
  SetLspRequestHandler({});
  StartLspListener();

  // 13. Colours and hints come with the rule editor.
  // 14.
  Heartbeat("Initializing", -1, -1);
  FExceptionSeen = false;

  // 15-17. Seam: the link server comes with its issue; nothing is created,
  // started or tested, so its failure dialogs cannot come up.

  // 18. Accounts, then settings.
  Heartbeat("Loading Settings", -1, -1);
  try {
    LoadAccounts();
    LoadSettings();
  } catch (const std::exception& e) {
    Log(kService, std::string("Loading the settings failed: ") + e.what(), 10, true);
  }
  // A failed interception install ends the program (InstallInterception).
  if (QCoreApplication::closingDown() || platform::ApplicationTerminating()) {
    FStartupStopped = true;
    return;
  }
  // 19. Seam: the built-in DNS block lists come with their issue.
  // 20.
  MainPageControl->setCurrentWidget(StatusTabSheet);
  // 21. The POP3 server (the ESMTP server's update comes with its issue).
  Heartbeat("Updating POP server", -1, -1);
  try {
    UpdatePop3Server(TUpdateSender::Window);
  } catch (const std::exception& e) {
    Log(kService, std::string("Updating the POP server failed: ") + e.what(), 10, true);
  }
  // 22. The queues, with whatever a crash interrupted finished or undone
  // first (the mail store's recovery).
  Heartbeat("Loading E-mail Messages", -1, -1);
  try {
    const int recovered = GetMailStore().Recover();
    LoadAllRepositories();
    if (recovered > 0)
      Log(kService, "Put right " + std::to_string(recovered) + " files and messages a crash left",
          8, false);
  } catch (const std::exception& e) {
    Log(kService, std::string("Loading the messages failed: ") + e.what(), 10, true);
  }
  // 23.
  Heartbeat("Loading File Attachment Info", -1, -1);
  LoadFileExtensions();
  // 24. Seam: no splash window to close.
  Heartbeat("Done", -1, -1);
  // 25.
  StatusShowTimer->start();
  // 26.
  FormActivate();
  // 27.
  FStartupPending = false;
  FTrayImageIndex = 0;
  RefreshTrayIcon();
  if (CoolTrayIcon1 != nullptr) CoolTrayIcon1->setVisible(true);
  Log(kService, "Start-up done", 10, false);
  FlushLog();
}

void TMainQuorForm::LoadFileExtensions() {
  try {
    auto table = std::make_shared<TFileExtensionList>();
    const std::string path = GetFileExtensionsFilePath("Global");
    if (!GetFileStamp(path).Exists || !table->LoadFromFile(path)) table->LoadBuiltIn();
    FFileExtensions = std::move(table);
  } catch (const std::exception& e) {
    Log(kService, std::string("Loading the file-extension table failed: ") + e.what(), 10, true);
  }
}

bool TMainQuorForm::InstallInterception(bool showFailure) {
  int result = 0;
  try {
    result = LspInstall();
  } catch (const std::exception& e) {
    Log(kService, std::string("Installing the interception failed: ") + e.what(), 10, true);
    result = 0;
  }
  if (result > 0) {
    // Installed: the program restarts through the launcher to be under it.
    if (RunLauncher("")) {
      Log(kService, "The interception was installed; restarting", 10, false);
      FStartupStopped = true;
      TerminateApplication();
      hide();
      return false;
    }
  }
  const bool answer = result != 0;
  if (!answer && showFailure) {
    std::uint16_t major = 10;
    std::uint16_t minor = 10;
    std::string text = "Halvorn has failed to install the ability to intercept email.";
    if (GetWinsockVersion(major, minor) && major < 2)
      text =
          Lines({"Halvorn has detected an outdated version of Winsock on your machine "
                 "(version " +
                     std::to_string(major) + "." + std::to_string(minor) + ").",
                 "You must upgrade to a current version to use Halvorn."});
    AskUser(text, platform::mtError, platform::mbAbort | platform::mbHelp, 2);
    FStartupStopped = true;
    hide();
    TerminateApplication();
  }
  return answer;
}

void TMainQuorForm::FormActivate() {
  if (FStartMinimized) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, timer] { HideToTray(timer); });
    timer->start(1);
  }
  FStartMinimized = false;
  ProcessMessagesIfMain();
  if (FirstTimeRun.load()) {
    // Seam: the set-up wizard comes with its issue; nothing opens. The flag
    // is cleared as the wizard's opening clears it (the POP3 server kept
    // its own copy for the first reader's welcome message).
    FirstTimeRun.store(false);
  }
}

void TMainQuorForm::HideToTray(QTimer* timer) {
  if (timer != nullptr) {
    timer->deleteLater();
  } else if (!isVisible() || FInFormCreate) {
    return;
  }
  // Without a notification area there is no tray to hide to.
  if (CoolTrayIcon1 == nullptr) return;
  CoolTrayIcon1->setVisible(true);
  hide();
}

void TMainQuorForm::AppException(const std::exception* error) {
  try {
    if (FExceptionSeen) return;
    FExceptionSeen = true;
    if (error != nullptr && dynamic_cast<const std::system_error*>(error) != nullptr) return;
    const std::string text = error != nullptr ? error->what() : "Unknown error";
    Log("Error", text, 10, true);
    if (text.find("Stack overflow") != std::string::npos) HandleStackOverflow();
  } catch (...) {
    // The hook never raises.
  }
}

void TMainQuorForm::TerminateApplication() {
  platform::SetApplicationTerminating(true);
  QCoreApplication::quit();
}

}  // namespace halvorn
