#include "foundation/files/file_helpers.h"
#include "foundation/app/module_startup.h"

#include <signal.h>
#include <sys/stat.h>

#include <exception>
#include <mutex>

#include "foundation/app/log.h"
#include "foundation/app/processes.h"
#include "foundation/files/install_folders.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

constexpr char kApplicationTitle[] = "Halvorn";
constexpr std::size_t kMaxErrorText = 1024;

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void()>& TerminateHook() {
  static std::function<void()> hook;
  return hook;
}

std::terminate_handler& PreviousTerminateHandler() {
  static std::terminate_handler handler = nullptr;
  return handler;
}

std::string ApplicationTitleForLog() {
  return ApplicationTitle();
}

bool SelectiveOpenRelayForLog() {
  return SelectiveOpenRelay.load();
}

// The program-wide handler of errors that nothing caught: logs the error's
// text, gives it to StackOverflowHook, and ends the program as the standard
// handler does.
[[noreturn]] void UnhandledErrorHandler() {
  std::string text = "unknown error";
  if (std::exception_ptr error = std::current_exception()) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      text = e.what();
    } catch (...) {
    }
  }
  Log("Utilities", "Unhandled error: " + text, 11, true);
  try {
    StackOverflowHook(text);
  } catch (...) {
  }
  std::terminate_handler previous = PreviousTerminateHandler();
  if (previous != nullptr && previous != &UnhandledErrorHandler) previous();
  std::abort();
}

}  // namespace

std::string ApplicationTitle() {
  return kApplicationTitle;
}

void InitializeUtilityModule(int argc, const char* const* argv) {
  try {
    std::terminate_handler previous = std::set_terminate(&UnhandledErrorHandler);
    if (previous != &UnhandledErrorHandler) PreviousTerminateHandler() = previous;
    signal(SIGPIPE, SIG_IGN);
    // Each thread's random source seeds itself from the system on first use.

    ResetFolderCachesForTests();
    SetBackupDir("");
    LastNetworkSuccess.store(0);
    CategoryRequestPort.store(6173);
    InWindowProc.store(false);
    UiMode.store(kUiModeLite);
    OwnIPAddress.store(0);
    SelectiveOpenRelay.store(false);
    RelayedProbeCount.store(0);
    RelayedProbeLimit.store(10);
    RelayedProbeDay.store(Now());
    ClearThreadCallbacks();
    SetLogApplicationTitleSource(&ApplicationTitleForLog);
    SetLogSelectiveOpenRelaySource(&SelectiveOpenRelayForLog);

    bool firstRun = false;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
      if (argv[i] != nullptr && SameText1252(argv[i], "-FirstTimeRun")) firstRun = true;
    }
    if (!firstRun) firstRun = !FileExists(GetSettingsFilePath());
    FirstTimeRun.store(firstRun);
  } catch (const std::exception& e) {
    Log("Utilities", std::string("Start-up stopped: ") + e.what(), 11, true);
  }
}

void FinalizeUtilityModule() {
  FinalizeHostNames();
  ShuttingDown.store(true);
  const TProcessId viewer = HelpViewerProcessId.load();
  if (viewer != 0 && IsProcessRunning(viewer)) EndProcess(viewer, 2000);
  ResetFolderCachesForTests();
  SetBackupDir("");
}

void SetApplicationTerminateHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  TerminateHook() = std::move(hook);
}

void StackOverflowHook(const std::string& errorText) {
  const std::string text = errorText.substr(0, kMaxErrorText);
  if (text.find("Stack overflow") != std::string::npos) HandleStackOverflow();
}

void HandleStackOverflow() {
  if (IsMainThread()) {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(HookMutex());
      hook = TerminateHook();
    }
    if (hook) hook();
    return;
  }
  // A thread cannot end another here; the worker is abandoned and unwinds
  // itself, giving its locks back on the way out.
  if (CurrentQuorThread() != nullptr) {
    KillThreadById(platform::CurrentThreadId());
    CheckAbandoned();
  }
}

}  // namespace halvorn
