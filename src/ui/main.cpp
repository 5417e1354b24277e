// Halvorn's entry point.
//
// Until the main window exists, the program sets up its data folder, says
// where it is and which version runs, and ends. A data folder it cannot
// create or write in ends it with exit code 1 and a message naming the folder
// and what failed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/app/developer_mode.h"
#include "foundation/app/log.h"
#include "foundation/app/module_startup.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/reboot_operations.h"
#include "foundation/files/version_info.h"
#include "foundation/text/code_page_1252.h"
#include "classify/classify_module.h"
#include "lists/lists_module.h"
#include "message/dcc_checksums.h"
#include "message/message_repository.h"
#include "platform/main_thread.h"

namespace {

// The program's own switches, matched ignoring case as the program always
// has: first run, start minimised, started at log-on, developer mode.
const char* const kProgramSwitches[] = {"-FirstTimeRun", "-Minimize", "-StartupItems", "-Vostek"};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: halvorn [--help] [-FirstTimeRun] [-Minimize] [-StartupItems]\n"
               "\n"
               "Sets up the data folder and prints where it is and the version.\n"
               "HALVORN_HOME chooses the data folder; otherwise it is named by\n"
               "Quorvantis.ini in the configuration folder ($XDG_CONFIG_HOME).\n");
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
  const std::string user = "SingleUser";
  return {GetInstallDir(),
          GetLogDir(),
          GetImagesDir(),
          GetReportsDir(user),
          GetPartialsDir(user),
          GetUnprocessedIncomingDir(user),
          GetProcessedIncomingDir(user),
          GetProcessedOutgoingDir(user),
          GetUnprocessedOutgoingDir(user),
          GetPendholdDir(user),
          GetTrashDir(user),
          GetBackupsDir(user),
          GetRelayProbesDir(user),
          GetRelaySpamDir(user)};
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

  // Module start-up: shared values, the log, then the file moves recorded
  // for this start, before anything could cancel them; then the lists and the tests.
  halvorn::InitializeUtilityModule(argc, argv);
  halvorn::StartLogModule();
  halvorn::ApplyRebootOperations();
  halvorn::InitializeListsModule();
  halvorn::InitializeClassifyModule();

  const std::vector<std::string> folders = CreateDataFolders();
  for (const std::string& folder : folders) {
    const std::string problem = FolderProblem(folder);
    if (problem.empty()) continue;
    std::fprintf(stderr, "halvorn: cannot use the data folder: %s: %s\n", folder.c_str(),
                 problem.c_str());
    halvorn::EndLogModule();
    halvorn::FinalizeUtilityModule();
    return 1;
  }
  const std::string& installDir = folders.front();
  // The checksum library beside the program (or in the data folder).
  halvorn::StartDccChecksumsModule();
  // The repository registry; the repository loads its queues on first use.
  halvorn::StartMessageRepositoryModule();
  std::string version = halvorn::GetVersionText();
  halvorn::Log("Main", "Started " + halvorn::GetProductName() + " " + version, 10, false);
  std::printf("%s %s\n", halvorn::GetProductName().c_str(), version.c_str());
  std::printf("Data folder: %s\n", installDir.c_str());

  halvorn::EndMessageRepositoryModule();
  halvorn::EndDccChecksumsModule();
  halvorn::FinalizeClassifyModule();
  halvorn::FinalizeListsModule();
  halvorn::EndLogModule();
  halvorn::FinalizeUtilityModule();
  return 0;
}
