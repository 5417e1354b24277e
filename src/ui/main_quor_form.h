// The main window: the program's start-up, its clocks, the mail workers it
// creates and watches, the messages workers and servers post to it, its
// settings and accounts files, the local POP3 server it owns, and the way it
// stops.
//
// Everything here runs on the main thread. Workers reach the window only by
// posting window messages (foundation/app/main_window_notifications.h); the
// window keeps each mail worker as a TThreadHandle and finds the worker again
// through the thread list, because a worker frees itself when it ends.
//
// Two clocks drive the workers: the 3000 ms mail clock starts downloads (at
// start-up and every check interval), the 5000 ms status tick watches for
// hung workers, starts or resumes the incoming processing thread while
// unprocessed mail waits, releases a POP3 login held for a download, shows
// the counts of the Status tab and saves now and then. A 1000 ms short timer
// runs the tick once soon after a queue changed.
//
// What the window does not do yet, each a seam said where it lies: the link
// server, the ESMTP server, the splash window and the set-up wizard, the help
// hook, the built-in DNS block lists, the file-extension table, the rules
// file, the held-mail expiry, the send and outgoing processing workers, the
// answers to interception requests, the option pages, the close question and
// the closing window.
#pragma once

#include <QMainWindow>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/threads/quor_thread.h"
#include "foundation/time/date_time.h"
#include "message/accounts.h"
#include "platform/window_messages.h"
#include "transport/pop3_server.h"

class QCloseEvent;
class QGroupBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QWidget;

namespace halvorn {

class TFileExtensionList;

// Who asked for a mail check; it decides the download's reason code.
enum class TCheckMailSender {
  Other,                  // 0
  CheckForMailNowButton,  // 1
  Window,                 // 1
  MailClock,              // 2
  StatusTab,              // 2 (the idle check of the status tick)
  Startup,                // 3
  WaitingSession,         // 4
  AccountMenuItem,        // 6
  ViewPendholdButton,     // 7
  MenuItem,               // 0, but may ask to activate the client like the button
};

// The reason code StartWithMode is given for a check asked by `sender`.
std::uint8_t DownloadReasonFor(TCheckMailSender sender);

// Who asked UpdatePop3Server to apply the options: a first attempt (the
// window, a control, the user leaving the port edit) or the window's own
// retry after a failed activation (None).
enum class TUpdateSender { None, Window, Control, PortEdit };

// How the window makes and drives its mail workers. RealMailWorkers gives
// the download thread and the incoming processing thread; tests give
// stand-ins. Each New... makes a worker created suspended that frees itself
// when it ends (or answers null when there is no such worker yet). The
// other functions act on a worker found by its handle, under the thread
// list's lock.
struct TMailWorkerFactory {
  std::function<TQuorThread*()> NewDownload;
  // The line time-out of the download, in milliseconds.
  std::function<void(TQuorThread&, int)> SetDownloadTimeOut;
  // Starts (or resumes) the download with a reason code (0 to 7).
  std::function<void(TQuorThread&, std::uint8_t)> StartDownload;
  // The stop request of shut-down (the worker is started afterwards).
  std::function<void(TQuorThread&)> RequestDownloadStop;
  // The cancel of the Status tab's button.
  std::function<void(TQuorThread&)> CancelDownload;
  TThreadClass DownloadClass;

  std::function<TQuorThread*()> NewIncoming;
  // Hands the window's file-extension table to a new incoming thread before
  // it first runs.
  std::function<void(TQuorThread&, std::shared_ptr<TFileExtensionList>)> SetIncomingFileExtensions;
  std::function<void(TQuorThread&)> RequestIncomingStop;
  TThreadClass IncomingClass;
};
TMailWorkerFactory RealMailWorkers();

// The dialog seam of the window. With a display, the program's message
// dialog is shown and its answer returned; offscreen nobody could answer, so
// the question is logged (service "Main", error flag) and answered mrAbort.
int AskUser(const std::string& text, int type, std::uint16_t buttons, int helpContext = 0);
// The Qt platform is "offscreen": no dialog may be shown.
bool RunningOffscreen();

class TMainQuorForm : public QMainWindow {
 public:
  // Builds the window's controls and timers (the mail clock starts at once,
  // as it runs from the window's creation), the local POP3 server (inactive;
  // it remembers the first-run flag as module start-up set it), and
  // registers the window under the class name "TMainQuorForm". Nothing is
  // loaded or started until FormCreate. Main thread, with a QApplication.
  explicit TMainQuorForm(TMailWorkerFactory workers = RealMailWorkers());
  // Runs ShutDown unless it has run, then unregisters the window, clears the
  // stored window handle and the accounts saver, and frees the POP3 server,
  // whose live sessions end as dropped lines.
  ~TMainQuorForm() override;
  TMainQuorForm(const TMainQuorForm&) = delete;
  TMainQuorForm& operator=(const TMainQuorForm&) = delete;

  // ---- Start-up -----------------------------------------------------------
  // The start-up sequence: the ignore record, the network self-test, the
  // window handle, the request listener, accounts and settings, the POP3
  // server, the queues and the sweep of interrupted QUITs, the status timer,
  // the file-extension table, the first activation. A failed self-test asks the user (offscreen:
  // Abort), closes the window and asks the application to terminate; the
  // caller then does not run the event loop (StartupStopped).
  void FormCreate();
  bool StartupStopped() const { return FStartupStopped; }
  // Makes the file-extension table of FFileExtensions: the user's saved
  // "FileExtensionsInfo.txt" of the install folder when there is one that
  // can be read, else the built-in table. A failure is logged and leaves the
  // table as it was.
  void LoadFileExtensions();
  // Installs the interception library (LspInstall); see its steps in the
  // source. Answers false when the program must end or restart.
  bool InstallInterception(bool showFailure);
  void FormActivate();
  // With a timer: frees it and hides the window to the tray. Without one:
  // only while the window is visible and start-up is over. Nothing without a
  // system tray.
  void HideToTray(QTimer* timer);
  // The application's exception hook (THalvornApplication): acts on the
  // first exception of the run only; a socket error (std::system_error) is
  // ignored but counts; any other is logged (service "Error", detail 10, the
  // error flag). Never raises.
  void AppException(const std::exception* error);

  // ---- The mail clock, the status tick and the workers --------------------
  void CheckForMailTimerTimer();
  void CheckForMailNowButtonClick(TCheckMailSender sender);
  void StartSendMailThread();
  void StartProcessIncomingThread();
  void StartProcessOutgoingThread();
  void WatchThreads();
  void StatusTabSheetShow();
  void AutoSaveSettings();
  // The POP3 server's event after a login with no new mail.
  void Pop3Server1UserConnectedButNoWaitingMail(TPop3ServerSpawnedSocket* session,
                                                bool& waitForPopClient);
  void SendMailNowButtonClick();
  void RetryFailedMessagesButtonClick();
  void SendMailOptionsButtonClick();
  void CancelDownloadButtonClick();
  void CancelSendMsgButtonClick();
  // The labels of the tick's steps 13, 16 and 17 for the given counts.
  void ShowProcessedIncomingCounts(std::int32_t read, std::int32_t unread);
  void ShowUnprocessedOutgoingCounts(std::int32_t due, std::int32_t held, std::int32_t scheduled);
  void ShowProcessedOutgoingCounts(std::int32_t ready, std::int32_t retryA, std::int32_t retryB);
  // The worker runs: registered, alive and not suspended.
  static bool WorkerRuns(const TThreadHandle& handle);

  // ---- Posted messages ----------------------------------------------------
  // The window procedure: marks InWindowProc, hands the message to its
  // handler and swallows any exception the handling raises.
  void WndProc(std::uint32_t msg, platform::MessageParam wParam, platform::MessageParam lParam,
               std::unique_ptr<std::string> text);
  void CoolTrayIcon1Click();

  // ---- Stopping -----------------------------------------------------------
  // The close query: closes without asking (the close question and the
  // tray choice come with their issue) and runs the closing branch: stop
  // requests, up to FStopWaitMs for the workers, their terminate flags, up
  // to FTerminateWaitMs more, then ShutDown.
  void FormCloseQuery(bool& canClose);
  // The one-time shut-down: terminate the application, the ignore record
  // (cleared only while it holds this process's id), the shut-down flag,
  // the timers, then, unless start-up is unfinished, the saves, the kill of
  // workers still alive and a 3000 ms wait for the others.
  void ShutDown();
  // The end of the session (SIGTERM, SIGINT, SIGHUP): closes without asking
  // and stops in order. While a close query already waits, ends its waits.
  void SessionEnding();
  bool IsClosing() const;
  // A worker the window killed (abandoned) still runs.
  bool AbandonedWorkersRun() const;

  // ---- Settings and accounts files ----------------------------------------
  void LoadAccounts();
  void SaveAccounts();
  void LoadSettings();
  void SaveSettings();
  TLocalAccountRef CurrentLocalAccount();
  // The accounts file or its backup was found but neither could be read:
  // nothing saves the accounts in this run.
  bool AccountsUnreadable() const;
  // Why the accounts file at the path cannot serve as the accounts; empty
  // when it can: readable, and either empty or with the local accounts'
  // index and a section for every account it names.
  static std::string AccountsFileProblem(const std::string& path);

  // ---- The local POP3 server ----------------------------------------------
  void UpdatePop3Server(TUpdateSender sender);
  TPop3Server* Pop3Server1() const { return FPop3Server.get(); }

  // ---- Controls of the Status tab (object names as the design names them) --
  QTabWidget* MainPageControl = nullptr;
  QWidget* StatusTabSheet = nullptr;
  QGroupBox* PopStatusGroupBox = nullptr;
  QWidget* DownLoadPanel = nullptr;
  QLabel* DownloadingMessagesLabel = nullptr;
  QProgressBar* DownloadProgressBar = nullptr;
  QPushButton* CancelDownloadButton = nullptr;
  QLabel* PopMessagesWaitingToBeAnalyzedLabel = nullptr;
  QLabel* PopCountLabel = nullptr;
  QLabel* NoPopLabel = nullptr;
  QPushButton* CheckForMailNowButton = nullptr;
  QGroupBox* SmtpStatusGroupBox = nullptr;
  QProgressBar* SendingMessagesProgressBar = nullptr;
  QLabel* SendingMessagesLabel = nullptr;
  QPushButton* CancelSendMsgButton = nullptr;
  QLabel* SMTPScheduledCountLabel = nullptr;
  QLabel* SMTPDelayedCountLabel = nullptr;
  QPushButton* SendMailOptionsButton = nullptr;
  QPushButton* SendMailNowButton = nullptr;
  QLabel* SMTPMessagesWaitingToBeAnalyzedLabel = nullptr;
  QLabel* SMTPReadyCountLabel = nullptr;
  QLabel* SMTPFailedCountLabel = nullptr;
  QPushButton* RetryFailedMessagesButton = nullptr;
  QLabel* NoSmtpLabel = nullptr;
  QLabel* SpamOnlyPendLabel = nullptr;
  QLabel* PendholdLabel = nullptr;
  QPushButton* PendholdBitBtn = nullptr;
  QMenu* DelFailedMsgsPopupMenu = nullptr;
  // The POP3 server's port and state, e.g. "POP3 server: listening on port
  // 2000 (chosen automatically)".
  QLabel* Pop3ServerStateLabel = nullptr;
  QSystemTrayIcon* CoolTrayIcon1 = nullptr;  // null without a system tray

  // ---- Options: fields with the settings' defaults until their pages come --
  // POP3 server
  std::string PortEdit = "110";
  bool AutoSelectPopPortCheckBox = true;
  bool RestrictToLocalCheckBox = true;
  bool PopReturnAllOnDirectCheckBox = false;
  bool AnyPopLocalHostCheckBox = true;
  std::string MaxConnectEdit = "50";
  bool PopServerActiveCheckBox = true;
  std::string PopServerTimeoutEdit = "60";
  std::string AutoPopDownloadIntEdit = "10";
  bool AutoPopDownloadCheckBox = true;
  // Download
  bool Pop3ClientActiveCheckBox = true;
  bool PopCheckAtStartCheckBox = true;
  std::string CheckMailTimeEdit = "30";
  std::string PopClientTimeoutEdit = "60";
  // Sending
  bool SmtpClientActiveCheckBox = true;
  bool SmtpSendAtStartCheckBox = true;
  std::string RetrySmtpSendEdit = "2";
  std::string SmtpMaxRetrysMaskEdit = "15";
  std::string SmtpClientTimeoutEdit = "60";
  // Tray menu
  bool MinimizeToTray1 = true;
  bool ClosetoTray1 = true;
  // The Lite options' spam subject tag.
  std::string LiteSpamTag;

  // ---- State (named as the design names it; tests read and set it) -------
  TThreadHandle FDownloadThread;
  TThreadHandle FIncomingThread;
  TThreadHandle FOutgoingThread;
  TThreadHandle FSendThread;
  bool FStartingIncoming = false;
  bool FStartingOutgoing = false;
  bool FStartingSend = false;
  bool FInFormCreate = false;
  bool FStartupPending = false;
  bool FExceptionSeen = false;
  bool FStartMinimized = false;
  bool FClosing = false;
  bool FDestroying = false;
  bool FExitRequested = false;
  bool FSessionEnding = false;
  bool FShutDownDone = false;
  bool FCheckWhenIdle = false;
  bool FStartupCheckDone = false;
  int FInterceptVerified = 0;
  TDateTime FLastSaveTime = 0;
  // The attachment risk table (LoadFileExtensions); null before start-up
  // made it. Each new incoming thread gets it.
  std::shared_ptr<TFileExtensionList> FFileExtensions;
  // The session whose login reply waits for a download; it reads empty once
  // the session is gone, while FWaitingLoginSet still says one was held.
  TPop3SessionHandle FWaitingLogin;
  bool FWaitingLoginSet = false;
  int FWaitingTime = 0;
  bool FPopPortAuto = false;
  std::string FCurrentUserId;
  bool FEncryptAccountInformation = false;  // the loaded accounts file was enciphered
  int CheckForMailTimerTag = 0;
  // The tray's hint and image (0 or 1) as the tick last set them, kept also
  // without a tray.
  std::string FTrayHint;
  int FTrayImageIndex = 0;
  // Waits of the closing branch and the POP3 port retry, in milliseconds
  // (shortened by tests).
  int FStopWaitMs = 5000;
  int FTerminateWaitMs = 10000;
  int FPortRetryWaitMs = 2000;

  QTimer* CheckForMailTimer = nullptr;
  QTimer* StatusShowTimer = nullptr;
  QTimer* StatusShowShortTimer = nullptr;

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct TAccountsSaveState;

  void BuildControls();
  void BuildTray();
  void RefreshTrayIcon();
  void ShowPop3ServerState(const std::string& why = {});
  // The worker of the handle, under the thread list's lock (held by the
  // caller); null when it cannot be found.
  static TQuorThread* FindWorker(const TThreadHandle& handle);
  void KillWorker(TThreadHandle& handle);
  void WorkerFailed(TThreadHandle& handle, const TThreadClass& threadClass);
  void HandlePopStatus(platform::MessageParam wParam, platform::MessageParam lParam,
                       std::unique_ptr<std::string> text);
  void StopWorkersForClose();
  void WaitForWorkers(int limitMs);
  bool AnyWorkerAlive() const;
  void ShowHaltingStatus();
  // Loads the accounts from the file; false (registry left empty) when it
  // cannot serve (AccountsFileProblem) or loading raised.
  bool LoadAccountsFrom(const std::string& path, bool& encrypted);
  void TerminateApplication();

  TMailWorkerFactory FWorkers;
  std::unique_ptr<TPop3Server> FPop3Server;
  std::shared_ptr<TAccountsSaveState> FAccountsSave;
  platform::WindowHandle FWindowHandle = 0;
  std::vector<TThreadHandle> FKilledWorkers;
  bool FStartupStopped = false;
  bool FInCloseQuery = false;
  bool FCloseAllowed = false;
  bool FInterceptCheckLogged = false;
  bool FNoSendWorkerLogged = false;
};

}  // namespace halvorn
