// Halvorn's entry point.
//
// One windowed process: module start-up, the single-instance guard (a second
// start hands over to the running one before anything writes the data
// folder), the data folder, the main window and its event loop, then module
// end. Where there is no display the window lives offscreen. SIGTERM, SIGINT
// and SIGHUP end the program the way the end of the desktop session does:
// the window closes without asking, the workers stop, the accounts are
// saved.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "classify/classify_module.h"
#include "foundation/app/developer_mode.h"
#include "foundation/app/log.h"
#include "foundation/app/main_window_notifications.h"
#include "foundation/app/module_startup.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/reboot_operations.h"
#include "foundation/files/version_info.h"
#include "foundation/text/code_page_1252.h"
#include "lists/lists_module.h"
#include "message/accounts.h"
#include "message/dcc_checksums.h"
#include "message/mail_store.h"
#include "message/message_repository.h"
#include "processing/processing_module.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"
#include "ui/halvorn_application.h"
#include "ui/main_quor_form.h"

namespace {

// The program's own switches, matched ignoring case as the program always
// has: first run, start minimised, started at log-on, developer mode.
const char* const kProgramSwitches[] = {"-FirstTimeRun", "-Minimize", "-StartupItems", "-Vostek"};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: halvorn [--help] [-FirstTimeRun] [-Minimize] [-StartupItems] [-Vostek]\n"
               "\n"
               "Runs Halvorn: the local POP3 server for the mail reader, the download of\n"
               "the remote accounts and the processing of their mail. HALVORN_HOME chooses\n"
               "the data folder; otherwise it is named by Quorvantis.ini in the\n"
               "configuration folder ($XDG_CONFIG_HOME). Without a display the window is\n"
               "kept offscreen. SIGTERM or SIGINT stops it.\n");
}

bool IsProgramSwitch(const std::string& argument) {
  for (const char* known : kProgramSwitches)
    if (halvorn::SameText1252(argument, known)) return true;
  return false;
}

// Creates every folder of the data folder's tree; answers them, the data
// folder first.
std::vector<std::string> CreateDataFolders() {
  using namespace halvorn;
  std::vector<std::string> folders = {GetInstallDir(), GetLogDir(), GetImagesDir()};
  for (const std::string& folder : StoreFolders(kSingleUserName)) folders.push_back(folder);
  folders.push_back(StoreJournalFolder(kSingleUserName));
  return folders;
}

// Why the program cannot keep its files in the folder; empty when it can:
// the folder exists (or can be made) and takes a new file.
std::string FolderProblem(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    // Made again here only to learn why it could not be made.
    if (!halvorn::CreateFolderTree(folder))
      return std::string("cannot create it: ") + std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    return "it is not a folder";
  }
  std::string probe = folder + "/.write-test-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return std::string("cannot write in it: ") + std::strerror(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}

bool HasEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

void EndModules() {
  halvorn::EndMessageRepositoryModule();
  halvorn::EndAccountsModule();
  halvorn::EndDccChecksumsModule();
  halvorn::EndProcessingModule();
  halvorn::FinalizeClassifyModule();
  halvorn::FinalizeListsModule();
  halvorn::EndLogModule();
  halvorn::FinalizeUtilityModule();
}

}  // namespace

int main(int argc, char** argv) {
  halvorn::platform::MarkMainThread();
  halvorn::SetCommandLine(argc, argv);

  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if (!IsProgramSwitch(argument)) {
      std::fprintf(stderr, "halvorn: unknown option '%s'\n", argument.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }

  // The signals wait in their pipe until the event loop can take them.
  halvorn::platform::InstallTerminationSignals();

  // Module start-up: shared values and the log. Nothing is written yet.
  halvorn::InitializeUtilityModule(argc, argv);
  halvorn::StartLogModule();

  // Where nothing can show a window, it lives offscreen.
  const bool offscreen = !HasEnvironment("DISPLAY") && !HasEnvironment("WAYLAND_DISPLAY") &&
                         !HasEnvironment("QT_QPA_PLATFORM");
  if (offscreen) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  halvorn::THalvornApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("Halvorn"));
  // Hiding to the tray hides the last window; only the stop ends the loop.
  app.setQuitOnLastWindowClosed(false);
  halvorn::platform::InstallQtMainThreadHooks();
  if (halvorn::RunningOffscreen()) {
    // Nobody could close a message box: it goes to the log.
    halvorn::platform::MainThreadHooks hooks;
    hooks.ProcessMessages = [] { QCoreApplication::processEvents(); };
    hooks.ShowMessage = [](const std::string& text) {
      halvorn::Log("Main", "Message (not shown offscreen): " + text, 10, false);
    };
    halvorn::platform::SetMainThreadHooks(std::move(hooks));
  }
  halvorn::SetApplicationTerminateHook([] {
    halvorn::platform::SetApplicationTerminating(true);
    QCoreApplication::quit();
  });

  // One instance: a second start hands over to the running one, before it
  // writes anything of the data folder (the log aside).
  halvorn::platform::SingleInstanceGuard guard(
      halvorn::SingleInstanceName(halvorn::ApplicationTitle()));
  if (!guard.Acquire()) {
    halvorn::Log("Main", "Another instance runs: asked it to show its window", 10, false);
    halvorn::PostToMainFormByClass(halvorn::WM_RESTORE_WINDOW);
    std::printf("Halvorn is already running.\n");
    halvorn::EndLogModule();
    halvorn::FinalizeUtilityModule();
    return 0;
  }
  if (!guard.ErrorText().empty())
    halvorn::Log("Main", "Single-instance guard: " + guard.ErrorText(), 8, true);

  // The file moves recorded for this start, before anything could cancel
  // them; then the lists, the tests, and the actions and rules.
  halvorn::ApplyRebootOperations();
  halvorn::InitializeListsModule();
  halvorn::InitializeClassifyModule();
  halvorn::StartProcessingModule();

  const std::vector<std::string> folders = CreateDataFolders();
  for (const std::string& folder : folders) {
    const std::string problem = FolderProblem(folder);
    if (problem.empty()) continue;
    std::fprintf(stderr, "halvorn: cannot use the data folder: %s: %s\n", folder.c_str(),
                 problem.c_str());
    halvorn::EndProcessingModule();
    halvorn::FinalizeClassifyModule();
    halvorn::FinalizeListsModule();
    halvorn::EndLogModule();
    halvorn::FinalizeUtilityModule();
    return 1;
  }
  const std::string& installDir = folders.front();
  // The checksum library beside the program (or in the data folder), the
  // accounts and the repository registry.
  halvorn::StartDccChecksumsModule();
  halvorn::StartAccountsModule();
  halvorn::StartMessageRepositoryModule();
  const std::string version = halvorn::GetVersionText();
  halvorn::Log("Main", "Started " + halvorn::GetProductName() + " " + version, 10, false);
  if (offscreen) halvorn::Log("Main", "No display: the window is kept offscreen", 10, false);
  std::printf("%s %s\n", halvorn::GetProductName().c_str(), version.c_str());
  std::printf("Data folder: %s\n", installDir.c_str());
  std::fflush(stdout);

  bool abandonedWorkers = false;
  {
    auto form = std::make_unique<halvorn::TMainQuorForm>();
    halvorn::TMainQuorForm* window = form.get();
    app.SetExceptionHook([window](const std::exception* error) { window->AppException(error); });
    halvorn::platform::TerminationSignalWatch signalWatch([window](int signal) {
      halvorn::Log("Main", std::string("Received ") + SignalName(signal) + ": stopping", 10, false);
      window->SessionEnding();
    });
    window->FormCreate();
    if (!window->StartupStopped() && !halvorn::platform::ApplicationTerminating()) {
      window->show();
      app.exec();
    }
    // The window closes (its shut-down runs unless it ran) and with it the
    // POP3 server: live sessions end as dropped lines.
    abandonedWorkers = window->AbandonedWorkersRun();
    app.SetExceptionHook({});
    form.reset();
  }
  halvorn::Log("Main", "Stopped " + halvorn::GetProductName(), 10, false);
  if (abandonedWorkers) {
    // A worker left behind may still use the queues and accounts: freeing
    // them under it would be worse than not freeing them at all.
    halvorn::EndLogModule();
    std::fflush(nullptr);
    ::_exit(0);
  }
  EndModules();
  return 0;
}
