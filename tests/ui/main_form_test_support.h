// Shared by the main window's tests: a throw-away install folder with the
// account and repository modules started, the program clock under the
// test's hand, stand-in mail workers the test steers, and a POP3 reader on
// this thread's event loop.
#pragma once

#include <gtest/gtest.h>

#include <QTcpSocket>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/random_source.h"
#include "foundation/files/install_folders.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "message/accounts.h"
#include "message/email_msg.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "message/processing_options.h"
#include "message/repository_test_support.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "platform/qt_test_app.h"
#include "support/test_support.h"
#include "message/accounts_saver.h"
#include "ui/main_quor_form.h"

namespace halvorn::test {

// What the test tells a stand-in worker, and what the worker did. Shared by
// the test and every worker made from it (a worker frees itself when it
// ends, so the test never keeps its pointer).
struct StandInState {
  std::mutex Lock;
  std::vector<int> Reasons;  // each start of a download, with its reason code
  std::atomic<int> Created{0};
  std::atomic<int> StopRequests{0};
  std::atomic<int> Cancels{0};
  // While set, a started worker stays at work (running, not suspended).
  std::atomic<bool> Busy{false};
  // While set, a busy worker shows no life: it neither stamps its last-alive
  // time nor looks at its terminate flag.
  std::atomic<bool> Hung{false};
  // The worker does not end at its stop request (only at its terminate flag).
  std::atomic<bool> IgnoreStopRequest{false};
  // How many workers are at work now (in their busy loop).
  std::atomic<int> AtWork{0};

  std::vector<int> TakeReasons() {
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<int> reasons;
    reasons.swap(Reasons);
    return reasons;
  }
};

class StandInWorker : public TQuorThread {
 public:
  explicit StandInWorker(std::shared_ptr<StandInState> state) : FState(std::move(state)) {
    SetFreeOnTerminate(true);
    FState->Created.fetch_add(1);
  }
  std::atomic<bool> StopRequested{false};

 protected:
  void Execute() override {
    for (;;) {
      if (CheckTerminated() || Stopping()) return;
      if (FState->Busy.load()) {
        struct TAtWork {
          std::atomic<int>& Count;
          explicit TAtWork(std::atomic<int>& count) : Count(count) { Count.fetch_add(1); }
          ~TAtWork() { Count.fetch_sub(1); }
        } atWork(FState->AtWork);
        while (FState->Busy.load()) {
          if (!FState->Hung.load() && (CheckTerminated() || Stopping())) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      }
      if (CheckTerminated() || Stopping()) return;
      Suspend();
    }
  }

 private:
  bool Stopping() const { return StopRequested.load() && !FState->IgnoreStopRequest.load(); }
  std::shared_ptr<StandInState> FState;
};

// The window's worker factory with stand-ins for the download and the
// incoming processing thread.
inline TMailWorkerFactory StandInWorkers(const std::shared_ptr<StandInState>& download,
                                         const std::shared_ptr<StandInState>& incoming) {
  TMailWorkerFactory workers;
  workers.NewDownload = [download]() -> TQuorThread* {
    return CreateQuorThread<StandInWorker>(true, download);
  };
  workers.SetDownloadTimeOut = [](TQuorThread&, int) {};
  workers.StartDownload = [download](TQuorThread& thread, std::uint8_t reason) {
    {
      std::lock_guard<std::mutex> guard(download->Lock);
      download->Reasons.push_back(reason);
    }
    thread.Resume();
  };
  workers.RequestDownloadStop = [download](TQuorThread& thread) {
    download->StopRequests.fetch_add(1);
    static_cast<StandInWorker&>(thread).StopRequested = true;
  };
  workers.CancelDownload = [download](TQuorThread&) { download->Cancels.fetch_add(1); };
  workers.DownloadClass = TThreadClass::Of<StandInWorker>();
  workers.NewIncoming = [incoming]() -> TQuorThread* {
    return CreateQuorThread<StandInWorker>(true, incoming);
  };
  workers.RequestIncomingStop = [incoming](TQuorThread& thread) {
    incoming->StopRequests.fetch_add(1);
    static_cast<StandInWorker&>(thread).StopRequested = true;
  };
  workers.IncomingClass = TThreadClass::Of<StandInWorker>();
  return workers;
}

// The worker of the handle is registered and suspended.
inline bool WorkerSuspended(const TThreadHandle& handle) {
  TCriticalSectionGuard guard(ThreadListLock());
  TQuorThread* thread = nullptr;
  return handle && FindThreadByHandle(handle, thread) && thread->Suspended();
}

// A clock the test moves by hand.
class TestClock {
 public:
  TestClock() : FNow(EncodeDateTime(2026, 3, 2, 12)) {
    SetClockForTests([this] { return FNow.load(); });
  }
  ~TestClock() { ResetClock(); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  TDateTime Now() const { return FNow.load(); }
  void AdvanceSeconds(double seconds) { FNow.store(FNow.load() + seconds / 86400.0); }
  void AdvanceMinutes(double minutes) { AdvanceSeconds(minutes * 60); }

 private:
  std::atomic<TDateTime> FNow;
};

// The main window's fixture: a fresh install folder, the modules, the clock,
// stand-in workers, and the window with its start-up's first-tick self-test
// counted as passed (the tests call the handlers themselves).
class MainFormTest : public MessageFolderTest {
 protected:
  MainFormTest() {
    EnsureQtApplication();
    platform::MarkMainThread();
    platform::InstallQtMainThreadHooks();
    platform::SetApplicationTerminating(false);
    ShuttingDown.store(false);
    FirstTimeRun.store(false);
    UiMode.store(0);
    StartAccountsModule();
    StartMessageRepositoryModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
    SeedRandomForThisThread(20);
  }

  ~MainFormTest() override {
    FForm.reset();
    // Workers the test left behind end before the modules go.
    Download->Busy = false;
    Download->Hung = false;
    Incoming->Busy = false;
    Incoming->Hung = false;
    StopThreadsOfClassWait(5000);
    SetAccountsSaver({});
    EndMessageRepositoryModule();
    EndAccountsModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
    platform::SetApplicationTerminating(false);
    ShuttingDown.store(false);
    FirstTimeRun.store(false);
    UiMode.store(0);
  }

  // Makes the window (once the test has set the first-run flag and the
  // like) without running its start-up.
  TMainQuorForm& Form() {
    if (!FForm) {
      // A window freed before ended the application and began the shut-down.
      platform::SetApplicationTerminating(false);
      ShuttingDown.store(false);
      FForm = std::make_unique<TMainQuorForm>(StandInWorkers(Download, Incoming));
      FForm->CheckForMailTimer->stop();
      FForm->FInterceptVerified = 1;
      FForm->FStopWaitMs = 400;
      FForm->FTerminateWaitMs = 400;
      FForm->FPortRetryWaitMs = 0;
    }
    return *FForm;
  }

  static TMessageRepository& Repository() { return *GetMessageRepository(kSingleUserName); }

  // A message saved in the queue.
  static TEmailMsgRef AddMessage(TEmailMsgList& queue, const std::string& subject) {
    TEmailMsgRef msg = TEmailMsg::Create(&queue);
    msg->SetText(MailText(subject, subject + "@example.org"));
    EXPECT_TRUE(msg->SaveToFile());
    return msg;
  }

  static TLocalAccountRef MakeLocalAccount(const std::string& user, const std::string& password) {
    TLocalAccountRef account = GlobalLocalAccounts().Add();
    account->SetUserId(user);
    account->SetPassword(password);
    return account;
  }

  // Waits until a worker of the state is at work: resumed is not enough, as
  // its thread may not have run yet.
  static bool AtWork(const std::shared_ptr<StandInState>& state) {
    return Eventually([&] { return state->AtWork.load() > 0; }, 10000);
  }

  // Waits until the worker has shown life since the clock was last moved.
  bool ShowsLife(const TThreadHandle& worker) {
    return Eventually([&] {
      TCriticalSectionGuard guard(ThreadListLock());
      TQuorThread* thread = nullptr;
      return FindThreadByHandle(worker, thread) && thread->LastAlive() >= FClock.Now();
    });
  }

  // Waits until the download stand-in (made by the window) has suspended
  // itself again after a start.
  bool DownloadIdle() {
    return Eventually([&] { return WorkerSuspended(Form().FDownloadThread); }, 10000);
  }

  TestClock FClock;
  std::shared_ptr<StandInState> Download = std::make_shared<StandInState>();
  std::shared_ptr<StandInState> Incoming = std::make_shared<StandInState>();
  std::unique_ptr<TMainQuorForm> FForm;
};

// A mail reader on this thread: a socket to the local POP3 server, read
// while the event loop runs.
class Pop3Reader {
 public:
  explicit Pop3Reader(int port) {
    FSocket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
  }

  // The next line (without CR LF), or "<none>" when none comes in time.
  std::string ReadLine(int timeoutMs = 5000) {
    RunEventsUntil([&] { return FSocket.canReadLine() || Gone(); }, timeoutMs);
    if (!FSocket.canReadLine()) return "<none>";
    std::string line = FSocket.readLine().toStdString();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }
  // No line arrives within the time (the event loop runs meanwhile).
  bool Silent(int ms) {
    RunEventsUntil([&] { return FSocket.canReadLine(); }, ms);
    return !FSocket.canReadLine();
  }
  void Send(const std::string& line) {
    FSocket.write(QByteArray::fromStdString(line + "\r\n"));
    FSocket.flush();
  }
  // Sends USER and PASS after the banner; answers the banner.
  std::string Login(const std::string& user, const std::string& password) {
    const std::string banner = ReadLine();
    Send("USER " + user);
    ReadLine();
    Send("PASS " + password);
    return banner;
  }
  void Drop() { FSocket.abort(); }
  bool Gone() const { return FSocket.state() == QAbstractSocket::UnconnectedState; }

 private:
  QTcpSocket FSocket;
};

}  // namespace halvorn::test
