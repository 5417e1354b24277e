// The main window's clocks and workers, with the program clock set and
// stand-in workers: the download's reason codes and the check interval, the
// starters, the login held for a download, the watchdog, the periodic save,
// the Status tab's labels per mode, the posted messages and the stop.
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <stdexcept>
#include <system_error>

#include "classify/bayesian_dictionary.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/files/install_folders.h"
#include "lists/file_extensions.h"
#include "ui/main_form_test_support.h"

namespace halvorn::test {
namespace {

// ---------------------------------------------------------------------------
// Reason codes and the check interval

TEST_F(MainFormTest, EachAskerStartsTheDownloadWithItsReasonCode) {
  struct Row {
    TCheckMailSender Sender;
    int Reason;
  } rows[] = {
      {TCheckMailSender::Other, 0},
      {TCheckMailSender::CheckForMailNowButton, 1},
      {TCheckMailSender::Window, 1},
      {TCheckMailSender::MailClock, 2},
      {TCheckMailSender::StatusTab, 2},
      {TCheckMailSender::Startup, 3},
      {TCheckMailSender::WaitingSession, 4},
      {TCheckMailSender::AccountMenuItem, 6},
      {TCheckMailSender::ViewPendholdButton, 7},
  };
  TMainQuorForm& form = Form();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Reason);
    form.CheckForMailNowButtonClick(row.Sender);
    ASSERT_TRUE(DownloadIdle());
    EXPECT_EQ(Download->TakeReasons(), std::vector<int>{row.Reason});
  }
  // One worker served every start: it suspends itself between them.
  EXPECT_EQ(Download->Created.load(), 1);
}

TEST_F(MainFormTest, TheMailClockChecksAtStartUpAndEveryInterval) {
  struct Row {
    const char* Name;
    bool FirstRun;
    bool CheckAtStartup;
    bool ClientActive;
    std::string Minutes;
    int Ticks;
    std::vector<int> Reasons;
  } rows[] = {
      // 30 minutes are 600 turns of the 3000 ms clock; the check at start-up
      // comes with the first turn.
      {"thirty minutes", false, true, true, "30", 1200, {3, 2, 2}},
      {"no check at start-up", false, false, true, "30", 1200, {2, 2}},
      {"the first run has no check at start-up", true, true, true, "30", 601, {2}},
      {"one minute", false, true, true, "1", 40, {3, 2, 2}},
      {"not a number counts as thirty", false, false, true, "x", 600, {2}},
      {"client off", false, true, false, "1", 40, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FirstTimeRun.store(row.FirstRun);
    FForm.reset();
    StopThreadsOfClassWait(5000);
    Download->TakeReasons();
    TMainQuorForm& form = Form();
    form.PopCheckAtStartCheckBox = row.CheckAtStartup;
    form.Pop3ClientActiveCheckBox = row.ClientActive;
    form.CheckMailTimeEdit = row.Minutes;
    std::vector<int> reasons;
    for (int tick = 0; tick < row.Ticks; ++tick) {
      form.CheckForMailTimerTimer();
      std::vector<int> started = Download->TakeReasons();
      if (started.empty()) continue;
      ASSERT_TRUE(DownloadIdle());
      reasons.insert(reasons.end(), started.begin(), started.end());
    }
    EXPECT_EQ(reasons, row.Reasons);
  }
}

TEST_F(MainFormTest, ACheckWhileTheDownloadRunsStartsNothingMore) {
  TMainQuorForm& form = Form();
  Download->Busy = true;
  form.CheckForMailNowButtonClick(TCheckMailSender::CheckForMailNowButton);
  ASSERT_TRUE(AtWork(Download));
  form.CheckForMailNowButtonClick(TCheckMailSender::MailClock);
  Download->Busy = false;
  ASSERT_TRUE(DownloadIdle());
  EXPECT_EQ(Download->TakeReasons(), std::vector<int>{1});
  EXPECT_EQ(Download->Created.load(), 1);
}

// ---------------------------------------------------------------------------
// Starters

TEST_F(MainFormTest, StartersRefuseWhileStartUpRunsAndWhileClosing) {
  struct Row {
    const char* Name;
    bool InFormCreate;
    bool Closing;
    bool Starts;
  } rows[] = {
      {"running", false, false, true},
      {"start-up", true, false, false},
      {"closing", false, true, false},
  };
  AddMessage(*Repository().UnProcessedIncoming(), "waiting");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FForm.reset();
    StopThreadsOfClassWait(5000);
    Download->Created = 0;
    Incoming->Created = 0;
    TMainQuorForm& form = Form();
    form.FInFormCreate = row.InFormCreate;
    form.FClosing = row.Closing;
    form.CheckForMailNowButtonClick(TCheckMailSender::CheckForMailNowButton);
    form.StartProcessIncomingThread();
    // The tick starts the incoming processing while mail waits.
    form.StatusTabSheetShow();
    EXPECT_EQ(Download->Created.load(), row.Starts ? 1 : 0);
    EXPECT_EQ(Incoming->Created.load(), row.Starts ? 1 : 0);
    EXPECT_EQ(form.FIncomingThread != nullptr, row.Starts);
    form.FInFormCreate = false;
    form.FClosing = false;
  }
}

TEST_F(MainFormTest, TheTickStartsProcessingWhileIncomingMailWaits) {
  TMainQuorForm& form = Form();
  TEmailMsgRef waiting = AddMessage(*Repository().UnProcessedIncoming(), "waiting");
  form.StatusTabSheetShow();
  EXPECT_EQ(Incoming->Created.load(), 1);
  ASSERT_TRUE(Eventually([&] { return WorkerSuspended(form.FIncomingThread); }));
  EXPECT_EQ(form.PopMessagesWaitingToBeAnalyzedLabel->text().toStdString(),
            "Messages Being Processed: 1");
  // The suspended worker is resumed, not made again.
  Incoming->Busy = true;
  form.StatusTabSheetShow();
  EXPECT_TRUE(Eventually([&] { return TMainQuorForm::WorkerRuns(form.FIncomingThread); }));
  EXPECT_EQ(Incoming->Created.load(), 1);
  Incoming->Busy = false;
}

// Start-up makes the file-extension table (the user's file, else the
// built-in one), and every incoming thread the window makes is given it.
TEST_F(MainFormTest, TheIncomingThreadGetsTheWindowsFileExtensionTable) {
  std::shared_ptr<TFileExtensionList> given;
  TMailWorkerFactory workers = StandInWorkers(Download, Incoming);
  workers.SetIncomingFileExtensions = [&](TQuorThread&, std::shared_ptr<TFileExtensionList> t) {
    given = std::move(t);
  };
  FForm = std::make_unique<TMainQuorForm>(workers);
  TMainQuorForm& form = Form();
  form.LoadFileExtensions();
  ASSERT_NE(form.FFileExtensions, nullptr);
  EXPECT_EQ(form.FFileExtensions->Count(), 162);
  ASSERT_TRUE(WriteFileBytes(GetFileExtensionsFilePath("Global"), "1=EXE,3=0\r\n"));
  form.LoadFileExtensions();
  EXPECT_EQ(form.FFileExtensions->Count(), 1);
  EXPECT_EQ(form.FFileExtensions->GetCopy("exe")->Risk, 0);

  AddMessage(*Repository().UnProcessedIncoming(), "waiting");
  form.StartProcessIncomingThread();
  EXPECT_EQ(Incoming->Created.load(), 1);
  EXPECT_EQ(given, form.FFileExtensions);
}

// ---------------------------------------------------------------------------
// The login held for a download

class HeldLoginTest : public MainFormTest {
 protected:
  HeldLoginTest() {
    MakeLocalAccount("bob", "secret");
    TMainQuorForm& form = Form();
    form.Pop3Server1()->SetPort(0);
    form.Pop3Server1()->SetTickInterval(20);
    EXPECT_EQ(form.Pop3Server1()->SetActive(true), "");
    FPort = form.Pop3Server1()->BoundPort();
  }

  // Runs the tick and lets the server's replies go out.
  void Tick() {
    Form().StatusTabSheetShow();
    RunEventsUntil([] { return false; }, 30);
  }

  int FPort = 0;
};

TEST_F(HeldLoginTest, TheLoginIsReleasedOnceDownloadAndProcessingAreIdle) {
  TMainQuorForm& form = Form();
  Pop3Reader reader(FPort);
  EXPECT_EQ(reader.Login("bob", "secret"), "+OK Halvorn POP3 server ready");
  // Held: no reply, and the download is asked for with reason 4.
  EXPECT_TRUE(reader.Silent(300));
  EXPECT_TRUE(form.FWaitingLoginSet);
  ASSERT_TRUE(DownloadIdle());
  EXPECT_EQ(Download->TakeReasons(), std::vector<int>{4});
  // Mail waiting for processing keeps it held.
  TEmailMsgRef waiting = AddMessage(*Repository().UnProcessedIncoming(), "waiting");
  Incoming->Busy = true;
  Tick();
  EXPECT_TRUE(reader.Silent(100));
  EXPECT_EQ(form.FWaitingTime, 5000);
  // Processing done: the next tick releases it.
  Repository().MoveMailMessage(waiting, Repository().UnProcessedIncoming(),
                               Repository().ProcessedIncoming());
  Tick();
  EXPECT_EQ(reader.ReadLine(), "+OK bob successfully logged in.");
  EXPECT_FALSE(form.FWaitingLoginSet);
  EXPECT_EQ(form.FWaitingTime, 0);
  reader.Send("STAT");
  EXPECT_EQ(reader.ReadLine().rfind("+OK 1 ", 0), 0u);
  Incoming->Busy = false;
}

TEST_F(HeldLoginTest, TheLoginIsReleasedAfterTheDelayWhileTheDownloadRuns) {
  struct Row {
    std::string Delay;  // seconds
    int TicksHeld;      // ticks after which it is still held
  } rows[] = {{"10", 2}, {"0", 0}, {"14", 2}, {"15", 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Delay);
    TMainQuorForm& form = Form();
    form.AutoPopDownloadIntEdit = row.Delay;
    Download->Busy = true;
    Pop3Reader reader(FPort);
    reader.Login("bob", "secret");
    ASSERT_TRUE(reader.Silent(200));
    for (int tick = 0; tick < row.TicksHeld; ++tick) {
      Tick();
      EXPECT_TRUE(reader.Silent(50)) << "tick " << tick + 1;
    }
    // Waited longer than the delay, counted in steps of 5000 ms.
    Tick();
    EXPECT_EQ(reader.ReadLine(), "+OK bob successfully logged in.");
    reader.Send("QUIT");
    reader.ReadLine();
    Download->Busy = false;
    ASSERT_TRUE(DownloadIdle());
    Download->TakeReasons();
  }
}

TEST_F(HeldLoginTest, ASecondReaderIsNotHeld) {
  TMainQuorForm& form = Form();
  Download->Busy = true;
  Pop3Reader first(FPort);
  first.Login("bob", "secret");
  ASSERT_TRUE(first.Silent(200));
  Pop3Reader second(FPort);
  second.Login("bob", "secret");
  EXPECT_EQ(second.ReadLine(), "+OK bob successfully logged in.");
  EXPECT_TRUE(first.Silent(50));
  EXPECT_TRUE(form.FWaitingLoginSet);
  Download->Busy = false;
}

TEST_F(HeldLoginTest, AHeldReaderThatLeavesIsForgottenAtTheNextTick) {
  struct Row {
    const char* Name;
    bool OtherReaderConnected;
  } rows[] = {{"alone", false}, {"while another reader is connected", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TMainQuorForm& form = Form();
    Download->Busy = true;
    auto held = std::make_unique<Pop3Reader>(FPort);
    held->Login("bob", "secret");
    ASSERT_TRUE(held->Silent(200));
    std::unique_ptr<Pop3Reader> other;
    if (row.OtherReaderConnected) {
      other = std::make_unique<Pop3Reader>(FPort);
      other->Login("bob", "secret");
      ASSERT_EQ(other->ReadLine(), "+OK bob successfully logged in.");
    }
    held->Drop();
    held.reset();
    ASSERT_TRUE(RunEventsUntil([&] { return !form.FWaitingLogin; }, 5000));
    // A check asked for meanwhile waits: that tick does nothing else.
    form.FCheckWhenIdle = true;
    Tick();
    EXPECT_FALSE(form.FWaitingLoginSet);
    EXPECT_EQ(form.FWaitingTime, 0);
    EXPECT_TRUE(form.FCheckWhenIdle);
    if (other) {
      other->Send("QUIT");
      other->ReadLine();
    }
    // The next reader is held again.
    Pop3Reader next(FPort);
    next.Login("bob", "secret");
    EXPECT_TRUE(next.Silent(200));
    EXPECT_TRUE(form.FWaitingLoginSet);
    next.Drop();
    RunEventsUntil([&] { return form.Pop3Server1()->ActiveConnections() == 0; }, 5000);
    Tick();
    Download->Busy = false;
    ASSERT_TRUE(DownloadIdle());
    Download->TakeReasons();
    form.FCheckWhenIdle = false;
  }
}

TEST_F(HeldLoginTest, NoLoginIsHeldWhenDownloadsAreNotAskedFor) {
  struct Row {
    const char* Name;
    bool AutoDownload;
    bool ClientActive;
  } rows[] = {{"check on request off", false, true}, {"client off", true, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TMainQuorForm& form = Form();
    form.AutoPopDownloadCheckBox = row.AutoDownload;
    form.Pop3ClientActiveCheckBox = row.ClientActive;
    Pop3Reader reader(FPort);
    reader.Login("bob", "secret");
    EXPECT_EQ(reader.ReadLine(), "+OK bob successfully logged in.");
    EXPECT_FALSE(form.FWaitingLoginSet);
    EXPECT_EQ(Download->Created.load(), 0);
    reader.Send("QUIT");
    reader.ReadLine();
    form.AutoPopDownloadCheckBox = true;
    form.Pop3ClientActiveCheckBox = true;
  }
}

// ---------------------------------------------------------------------------
// The watchdog and the periodic save

TEST_F(MainFormTest, TheWatchdogAbandonsAWorkerSilentForTwoMinutes) {
  struct Row {
    const char* Name;
    bool Hung;
    double Seconds;
    bool Abandoned;
  } rows[] = {
      {"working and showing life", false, 300, false},
      {"silent for 119 seconds", true, 119, false},
      {"silent for 121 seconds", true, 121, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TMainQuorForm& form = Form();
    Incoming->Busy = true;
    Incoming->Hung = row.Hung;
    AddMessage(*Repository().UnProcessedIncoming(), "work");
    form.StartProcessIncomingThread();
    const TThreadHandle worker = form.FIncomingThread;
    ASSERT_TRUE(AtWork(Incoming));
    FClock.AdvanceSeconds(row.Seconds);
    // A worker at work stamps its last-alive time with the new time.
    if (!row.Hung) {
      ASSERT_TRUE(ShowsLife(worker));
    }
    form.WatchThreads();
    EXPECT_EQ(form.AbandonedWorkersRun(), row.Abandoned);
    EXPECT_EQ(TMainQuorForm::WorkerRuns(worker), !row.Abandoned);
    // Let it go; an abandoned one unwinds at its next look at its flags.
    Incoming->Hung = false;
    Incoming->Busy = false;
    ASSERT_TRUE(Eventually([&] { return !TMainQuorForm::WorkerRuns(worker); }));
    FForm.reset();
    ASSERT_TRUE(Eventually([&] { return !ThreadHandleAlive(worker); }));
    StopThreadsOfClassWait(5000);
  }
}

TEST_F(MainFormTest, TheSettingsAreSavedEveryHalfHourWhileNoWorkerRuns) {
  struct Row {
    const char* Name;
    double Minutes;
    bool WorkerBusy;
    bool Saved;
  } rows[] = {
      {"29 minutes", 29, false, false},
      {"31 minutes", 31, false, true},
      {"31 minutes while the download runs", 31, true, false},
      {"a day while the download runs", 24 * 60, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FForm.reset();
    StopThreadsOfClassWait(5000);
    std::filesystem::remove(GetAccountsFilePath());
    std::filesystem::remove(GetSettingsFilePath());
    TMainQuorForm& form = Form();
    form.LoadAccounts();
    MakeLocalAccount("bob", "secret");
    // Something learned: the personal dictionary is saved with the settings.
    TBayesianDictionaryRef personal = PersonalBayesianDictionary();
    std::filesystem::remove(personal->Path());
    std::int32_t old = 0;
    personal->AddFeature(4711, old);
    const TDateTime start = form.FLastSaveTime;
    Download->Busy = row.WorkerBusy;
    if (row.WorkerBusy) {
      form.CheckForMailNowButtonClick(TCheckMailSender::CheckForMailNowButton);
      ASSERT_TRUE(AtWork(Download));
    }
    FClock.AdvanceMinutes(row.Minutes);
    // The watchdog of the tick must not take the working download for hung.
    if (row.WorkerBusy) {
      ASSERT_TRUE(ShowsLife(form.FDownloadThread));
    }
    form.StatusTabSheetShow();
    EXPECT_EQ(std::filesystem::exists(GetAccountsFilePath()), row.Saved);
    EXPECT_EQ(std::filesystem::exists(GetSettingsFilePath()), row.Saved);
    EXPECT_EQ(std::filesystem::exists(personal->Path()), row.Saved);
    EXPECT_EQ(form.FLastSaveTime != start, row.Saved);
    Download->Busy = false;
    ASSERT_TRUE(Eventually([&] { return !TMainQuorForm::WorkerRuns(form.FDownloadThread); }));
  }
}

// ---------------------------------------------------------------------------
// The Status tab's labels per mode

TEST_F(MainFormTest, TheIncomingCountsShowAsTheModeWants) {
  struct Row {
    int Mode;
    std::int32_t Read, Unread;
    const char* Text;
    bool Shown;
  } rows[] = {
      {0, 0, 0, "Unread Messages Available: 0", false},
      {0, 3, 0, "Unread Messages Available: 0", false},
      {0, 3, 2, "Unread Messages Available: 2", true},
      {1, 0, 0, "Messages Available To Be Read: 0", false},
      {1, 0, 4, "Messages Available To Be Read: 4", true},
      {1, 3, 2, "Messages Available: 5 - (2 Unread)", true},
      {2, 0, 0, "Messages Available To Be Read: 0", true},
      {2, 1, 0, "Messages Available: 1 - (0 Unread)", true},
  };
  TMainQuorForm& form = Form();
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.Mode) + ": " + row.Text);
    UiMode.store(row.Mode);
    form.ShowProcessedIncomingCounts(row.Read, row.Unread);
    EXPECT_EQ(form.PopCountLabel->text().toStdString(), row.Text);
    EXPECT_EQ(!form.PopCountLabel->isHidden(), row.Shown);
    EXPECT_EQ(!form.NoPopLabel->isHidden(), !row.Shown);
  }
}

TEST_F(MainFormTest, TheOutgoingCountsShowAsTheModeWants) {
  struct Row {
    int Mode;
    std::int32_t Due, Held, Scheduled, Ready, RetryA, RetryB;
    // Shown: scheduled, held, due, ready, failed label; retry button.
    std::vector<bool> Shown;
  } rows[] = {
      {0, 0, 0, 0, 0, 0, 0, {false, false, false, false, false, false}},
      // A count of exactly 1 stays hidden outside Power User mode.
      {1, 1, 1, 0, 1, 0, 0, {false, false, false, false, false, false}},
      {1, 2, 2, 1, 2, 1, 0, {true, true, true, true, true, true}},
      {2, 1, 1, 0, 1, 0, 0, {true, true, true, true, true, true}},
      {2, 0, 0, 0, 0, 0, 0, {true, true, true, true, true, true}},
      {0, 0, 0, 0, 0, 0, 2, {false, false, false, false, true, true}},
  };
  TMainQuorForm& form = Form();
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.Mode << " due " << row.Due << " held "
                                    << row.Held << " ready " << row.Ready);
    UiMode.store(row.Mode);
    form.ShowUnprocessedOutgoingCounts(row.Due, row.Held, row.Scheduled);
    form.ShowProcessedOutgoingCounts(row.Ready, row.RetryA, row.RetryB);
    const std::vector<bool> shown = {!form.SMTPScheduledCountLabel->isHidden(),
                                     !form.SMTPDelayedCountLabel->isHidden(),
                                     !form.SMTPMessagesWaitingToBeAnalyzedLabel->isHidden(),
                                     !form.SMTPReadyCountLabel->isHidden(),
                                     !form.SMTPFailedCountLabel->isHidden(),
                                     !form.RetryFailedMessagesButton->isHidden()};
    EXPECT_EQ(shown, row.Shown);
    EXPECT_EQ(form.SMTPFailedCountLabel->text().toStdString(),
              "Failed Messages in Retry Queue: " + std::to_string(row.RetryA + row.RetryB));
    // The send buttons belong to Power User mode.
    EXPECT_EQ(!form.SendMailNowButton->isHidden(), row.Mode == 2);
    EXPECT_EQ(form.SendMailNowButton->isEnabled(), row.Held > 0);
  }
}

TEST_F(MainFormTest, TheTickShowsTheQueuesAndTheHeldMail) {
  struct Row {
    int Mode;
    bool CheckButtonShown;
    bool NoSmtpShown;
  } rows[] = {{0, false, true}, {1, true, true}, {2, true, false}};
  TMainQuorForm& form = Form();
  AddMessage(*Repository().ProcessedIncoming(), "to read");
  AddMessage(*Repository().Pendhold(), "held one");
  AddMessage(*Repository().Pendhold(), "held two");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Mode);
    UiMode.store(row.Mode);
    // The processed-incoming count is taken while the window shows (or now
    // and then): shown offscreen here.
    form.show();
    form.StatusTabSheetShow();
    EXPECT_EQ(!form.CheckForMailNowButton->isHidden(), row.CheckButtonShown);
    EXPECT_EQ(!form.NoSmtpLabel->isHidden(), row.NoSmtpShown);
    EXPECT_EQ(form.PendholdLabel->text().toStdString(), "Number of Messages in the Pendhold: 2");
    EXPECT_EQ(form.PendholdBitBtn->toolTip().toStdString(),
              "2 Items In the Pendhold|View the held messages");
    EXPECT_EQ(form.FTrayHint, "2 email in Halvorn Pendhold");
    EXPECT_EQ(form.FTrayImageIndex, 1);
    EXPECT_TRUE(form.NoPopLabel->isHidden());
    EXPECT_FALSE(form.PopCountLabel->isHidden());
  }
  form.hide();
}

// ---------------------------------------------------------------------------
// Posted messages

TEST_F(MainFormTest, DownloadProgressShowsInTheStatusPanel) {
  TMainQuorForm& form = Form();
  UiMode.store(1);
  SetMainWindowHandle(platform::FindWindowByClass(kMainFormClassName));
  struct Row {
    std::function<void()> Post;
    bool PanelShown;
    const char* Label;  // null: unchanged
    const char* Caption;
  } rows[] = {
      {[] { PostStatus(2); }, true, "Connecting", "&Incoming Messages (POP)"},
      {[] { PostStatusText("bob@example.org"); }, true, nullptr,
       "&Incoming Messages (POP) (MailBox = bob@example.org)"},
      {[] { PostStatus(3); }, true, "Logging In", nullptr},
      {[] { PostStatus(8); }, true, "Retrieving Message List", nullptr},
      {[] { PostStatusNumbers(10, 3, 12); }, true, "Downloading Message 3 of 12 Total Messages.",
       nullptr},
      {[] { PostStatusNumbers(11, 1, 2); }, true, "Deleteing Message 1 of 2 Total Messages.",
       nullptr},
      {[] { PostStatus(12); }, true, "Disconnecting", nullptr},
      {[] { PostStatus(0); }, false, nullptr, "&Incoming Messages (POP)"},
  };
  for (const Row& row : rows) {
    const std::string before = form.DownloadingMessagesLabel->text().toStdString();
    row.Post();
    RunEventsUntil([] { return false; }, 20);
    EXPECT_EQ(!form.DownLoadPanel->isHidden(), row.PanelShown);
    EXPECT_EQ(form.DownloadingMessagesLabel->text().toStdString(),
              row.Label != nullptr ? std::string(row.Label) : before);
    if (row.Caption != nullptr) {
      EXPECT_EQ(form.PopStatusGroupBox->title().toStdString(), row.Caption);
    }
    EXPECT_EQ(!form.CheckForMailNowButton->isHidden(), !row.PanelShown);
  }
  // While closing, nothing is shown.
  form.FClosing = true;
  PostStatus(2);
  RunEventsUntil([] { return false; }, 20);
  EXPECT_TRUE(form.DownLoadPanel->isHidden());
  form.FClosing = false;
  SetMainWindowHandle(0);
}

TEST_F(MainFormTest, AQueueChangeRunsTheTickSoonAndAnIdleCheckWaitsForNoReader) {
  TMainQuorForm& form = Form();
  SetMainWindowHandle(platform::FindWindowByClass(kMainFormClassName));
  EXPECT_FALSE(form.StatusShowShortTimer->isActive());
  PostMsgListChanged(Repository().ProcessedIncoming(), 7);
  PostMainMessage(WM_CHECK_MAIL_WHEN_IDLE);
  RunEventsUntil([&] { return form.FCheckWhenIdle; }, 2000);
  EXPECT_TRUE(form.StatusShowShortTimer->isActive());
  EXPECT_TRUE(form.FCheckWhenIdle);
  // The tick turns the short timer off and, with no reader connected,
  // checks mail for the idle request.
  form.StatusTabSheetShow();
  EXPECT_FALSE(form.StatusShowShortTimer->isActive());
  EXPECT_FALSE(form.FCheckWhenIdle);
  ASSERT_TRUE(DownloadIdle());
  EXPECT_EQ(Download->TakeReasons(), std::vector<int>{2});
  SetMainWindowHandle(0);
}

TEST_F(MainFormTest, AFailedWorkerIsWaitedForThenKilledWithItsClass) {
  struct Row {
    const char* Name;
    bool Hung;
    bool Killed;
  } rows[] = {{"ends within the second", false, false}, {"never ends", true, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TMainQuorForm& form = Form();
    SetMainWindowHandle(platform::FindWindowByClass(kMainFormClassName));
    Incoming->Busy = true;
    Incoming->Hung = row.Hung;
    AddMessage(*Repository().UnProcessedIncoming(), "work");
    form.StartProcessIncomingThread();
    const TThreadHandle worker = form.FIncomingThread;
    ASSERT_TRUE(AtWork(Incoming));
    PostMainMessage(WM_INCOMING_THREAD_FAILED);
    ASSERT_TRUE(RunEventsUntil([&] { return !TMainQuorForm::WorkerRuns(worker); }, 5000));
    EXPECT_EQ(form.AbandonedWorkersRun(), row.Killed);
    // The next start makes a new worker.
    Incoming->Hung = false;
    Incoming->Busy = false;
    ASSERT_TRUE(Eventually([&] { return !ThreadHandleAlive(worker); }));
    const int created = Incoming->Created.load();
    form.StartProcessIncomingThread();
    EXPECT_EQ(Incoming->Created.load(), created + 1);
    SetMainWindowHandle(0);
    FForm.reset();
    StopThreadsOfClassWait(5000);
  }
}

// ---------------------------------------------------------------------------
// The stop

TEST_F(MainFormTest, ClosingStopsTheWorkersThenSaves) {
  struct Row {
    const char* Name;
    bool IgnoreStopRequest;
    bool Hung;
    bool Abandoned;
  } rows[] = {
      {"idle workers end at their stop request", false, false, false},
      {"a worker that only heeds its terminate flag", true, false, false},
      {"a worker that heeds nothing is left behind", true, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::filesystem::remove(GetAccountsFilePath());
    FForm.reset();
    StopThreadsOfClassWait(5000);
    ShuttingDown.store(false);
    platform::SetApplicationTerminating(false);
    Download->StopRequests = 0;
    Incoming->StopRequests = 0;
    TMainQuorForm& form = Form();
    form.LoadAccounts();
    MakeLocalAccount("bob", "secret");
    form.CheckForMailNowButtonClick(TCheckMailSender::CheckForMailNowButton);
    ASSERT_TRUE(DownloadIdle());
    Incoming->IgnoreStopRequest = row.IgnoreStopRequest;
    Incoming->Busy = true;
    Incoming->Hung = row.Hung;
    AddMessage(*Repository().UnProcessedIncoming(), "work");
    form.StartProcessIncomingThread();
    const TThreadHandle incoming = form.FIncomingThread;
    const TThreadHandle download = form.FDownloadThread;
    ASSERT_TRUE(AtWork(Incoming));

    bool canClose = false;
    form.FormCloseQuery(canClose);
    EXPECT_TRUE(canClose);
    EXPECT_TRUE(form.FClosing);
    EXPECT_TRUE(form.FShutDownDone);
    EXPECT_TRUE(ShuttingDown.load());
    EXPECT_EQ(Download->StopRequests.load(), 1);
    EXPECT_EQ(Incoming->StopRequests.load(), 1);
    EXPECT_FALSE(ThreadHandleAlive(download));
    EXPECT_EQ(form.AbandonedWorkersRun(), row.Abandoned);
    EXPECT_TRUE(std::filesystem::exists(GetAccountsFilePath()));
    EXPECT_NE(ReadFileBytes(GetAccountsFilePath()).find("UserId=bob"), std::string::npos);
    // Nothing starts any more.
    form.CheckForMailNowButtonClick(TCheckMailSender::CheckForMailNowButton);
    EXPECT_FALSE(form.FDownloadThread && ThreadHandleAlive(form.FDownloadThread));
    Incoming->Hung = false;
    Incoming->Busy = false;
    Incoming->IgnoreStopRequest = false;
    ASSERT_TRUE(Eventually([&] { return !ThreadHandleAlive(incoming); }));
  }
}

TEST_F(MainFormTest, AStartUpThatNeverFinishedSavesNothing) {
  TMainQuorForm& form = Form();
  form.LoadAccounts();
  MakeLocalAccount("bob", "secret");
  form.FStartupPending = true;
  bool canClose = false;
  form.FormCloseQuery(canClose);
  EXPECT_TRUE(form.FShutDownDone);
  EXPECT_FALSE(std::filesystem::exists(GetAccountsFilePath()));
  EXPECT_FALSE(std::filesystem::exists(GetSettingsFilePath()));
}

TEST_F(MainFormTest, OnlyTheFirstUnhandledErrorIsLogged) {
  struct Row {
    const char* Name;
    bool FirstIsSocketError;
    int Logged;
  } rows[] = {{"two errors", false, 1}, {"a socket error first", true, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FForm.reset();
    TMainQuorForm& form = Form();
    LogRecorder log;
    const std::runtime_error plain("something broke");
    const std::system_error socket(std::make_error_code(std::errc::connection_reset));
    form.AppException(row.FirstIsSocketError ? static_cast<const std::exception*>(&socket)
                                             : &plain);
    form.AppException(&plain);
    form.AppException(nullptr);
    int logged = 0;
    for (const LogRecorder::TRecord& record : LogRecorder::Records())
      if (record.Service == "Error") {
        ++logged;
        EXPECT_EQ(record.Text, "something broke");
        EXPECT_EQ(record.Detail, 10);
        EXPECT_TRUE(record.Error);
      }
    EXPECT_EQ(logged, row.Logged);
  }
}

}  // namespace
}  // namespace halvorn::test
