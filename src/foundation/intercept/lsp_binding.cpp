#include "foundation/files/file_helpers.h"
#include "foundation/intercept/lsp_binding.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/app/main_window_notifications.h"
#include "foundation/app/processes.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/reboot_operations.h"
#include "foundation/files/version_info.h"
#include "foundation/intercept/lsp_requests.h"
#include "foundation/log/log_sink.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"
#include "platform/lsp/lsp_protocol.h"
#include "platform/window_messages.h"

extern char** environ;

namespace halvorn {

namespace {

// A library file larger than this is no copy of ours.
constexpr std::size_t kMaxLibraryBytes = 64u << 20;

std::mutex gMutex;  // guards the handle
void* gHandle = nullptr;
std::mutex gFolderMutex;  // guards the folder override; taken under gMutex
std::string gFolderOverride;
std::atomic<bool> gProbePreload{true};

std::string LspFolder() {
  {
    std::lock_guard<std::mutex> lock(gFolderMutex);
    if (!gFolderOverride.empty()) return gFolderOverride;
  }
  return std::filesystem::path(ProgramFilePath()).parent_path().string();
}

// Puts the backup in place of the library file: written as a new file and
// renamed, so a process that has the old file mapped keeps its copy.
bool RestoreFromBackup() {
  std::string bytes;
  if (!ReadFileBytes(LspBackupPath(), kMaxLibraryBytes, bytes, "library").empty()) return false;
  std::string error = WriteFileAtomically(LspDllPath(), bytes, 0755);
  if (!error.empty()) {
    Log("LSP", "Could not restore the interception library: " + error, 3, true);
    return false;
  }
  return true;
}

// Loads the library file; the caller holds gMutex.
bool TryLoadLocked(const std::string& path) {
  if (gHandle != nullptr) return true;
  gHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (gHandle == nullptr) return false;
  using SetKeyFn = void (*)(const char*);
  if (auto setKey = reinterpret_cast<SetKeyFn>(dlsym(gHandle, "QuorSetKey")))
    setKey(GetInstallDirKey().c_str());
  return true;
}

bool LoadLocked() {
  if (gHandle != nullptr) return true;
  return TryLoadLocked(LspDllPath());
}

// The export by name, null when the library or the export is missing.
void* Export(const char* name) {
  if (!LoadLspDll()) return nullptr;
  std::lock_guard<std::mutex> lock(gMutex);
  return gHandle == nullptr ? nullptr : dlsym(gHandle, name);
}

template <typename Fn>
Fn ExportAs(const char* name) {
  return reinterpret_cast<Fn>(Export(name));
}

bool LoadedWithoutInstaller() {
  std::lock_guard<std::mutex> lock(gMutex);
  return LoadLocked();
}

}  // namespace

std::string LspDllPath() {
  return LspFolder() + "/" + lsp::kLibraryFileName;
}

std::string LspBackupPath() {
  return GetInstallDir() + "/" + lsp::kLibraryFileName + ".bak";
}

bool LoadLspDll() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (LoadLocked()) return true;
  }
  if (FileExists(LspBackupPath()) && RestoreFromBackup()) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (LoadLocked()) return true;
  }
  RunLspInstaller();
  std::lock_guard<std::mutex> lock(gMutex);
  return gHandle != nullptr;
}

bool RunLspInstaller() {
  std::string installer = GetInstallDir() + "/tervinst.exe";
  if (!FileExists(installer)) return false;
  return RunProgram({}, "", "", installer + " UQuor", false, false) != 0;
}

int LspVersion() {
  if (!LoadLspDll()) return -1;
  auto version = ExportAs<int (*)()>("Version");
  if (version == nullptr) return 1;
  return version();
}

void* LspGetRedirectTable() {
  auto fn = ExportAs<void* (*)()>("GetRedirect_addr");
  return fn == nullptr ? nullptr : fn();
}

void* LspGetIgnorePid() {
  auto fn = ExportAs<void* (*)()>("GetIgnore_Pid");
  return fn == nullptr ? nullptr : fn();
}

int LspInstalled() {
  auto fn = ExportAs<int (*)()>("QuorInstalled");
  return fn == nullptr ? 0 : fn();
}

int LspInstall() {
  if (!LoadedWithoutInstaller()) {
    if (FileExists(LspDllPath())) {
      RunLspInstaller();
      return 0;
    }
    bool loaded = false;
    if (FileExists(LspBackupPath()) && RestoreFromBackup()) loaded = LoadedWithoutInstaller();
    if (!loaded) {
      RunLspInstaller();
      return 0;
    }
  }
  if (LspInstalled() != 0) return -1;
  auto install = ExportAs<int (*)()>("InstallQuor");
  return install == nullptr ? 0 : install();
}

int LspUninstall() {
  if (!LoadedWithoutInstaller()) {
    RunLspInstaller();
    return 0;
  }
  auto uninstall = ExportAs<int (*)(int)>("UninstallQuor");
  return uninstall == nullptr ? 0 : uninstall(1);
}

int LspConfirmCurrentVersion() {
  if (!LoadedWithoutInstaller()) {
    RunLspInstaller();
    return 0;
  }
  auto confirm = ExportAs<int (*)()>("ConfirmCurrentVersion");
  return confirm == nullptr ? 0 : confirm();
}

void CancelLspRebootOperations() {
  CancelRebootOperations(LspDllPath());
}

int StartLspProbe(const std::string& mode, int outputFd) {
  std::string probe = LspFolder() + "/" + lsp::kProbeFileName;
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("LD_PRELOAD=", 0) == 0 ||
        entry.rfind(std::string(lsp::kKeyVariable) + "=", 0) == 0)
      continue;
    environment.push_back(entry);
  }
  if (gProbePreload.load()) environment.push_back("LD_PRELOAD=" + LspDllPath());
  environment.push_back(std::string(lsp::kKeyVariable) + "=" + GetInstallDirKey());
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string modeArgument = mode;
  char* argv[] = {probe.data(), modeArgument.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int result = posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    Log("LSP", "Could not start the interception probe " + probe, 3, true);
    return 0;
  }
  return pid;
}

bool FinishLspProbe(int pid, int timeoutMs) {
  if (pid <= 0) return false;
  const std::int64_t deadline = SteadyMilliseconds() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return done == pid;
    if (SteadyMilliseconds() >= deadline) break;
    ProcessMessagesIfMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

bool LspSelfTest() {
  if (LspVersion() <= 2) return false;
  if (platform::FindWindowByClass(kMainFormClassName) == 0) return false;
  const std::uint64_t acksBefore = LspTestAckCount();
  int probe = StartLspProbe("ack", -1);
  if (probe == 0) return false;
  bool acknowledged = false;
  for (int attempt = 0; attempt < 10 && !acknowledged; ++attempt) {
    ProcessMessagesIfMain();
    acknowledged = LspTestAckCount() != acksBefore;
    if (!acknowledged) {
      // Short slices, so that the listener on this thread answers the probe
      // while we wait.
      for (int slice = 0; slice < 10 && LspTestAckCount() == acksBefore; ++slice) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ProcessMessagesIfMain();
      }
      acknowledged = LspTestAckCount() != acksBefore;
    }
  }
  // The probe may still wait for the answer to its POP3 request: give the
  // listener its moment, then end it.
  FinishLspProbe(probe, 2000);
  return acknowledged;
}

void SetLspFolderForTests(const std::string& folder) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::lock_guard<std::mutex> folderLock(gFolderMutex);
  gFolderOverride = folder;
  gHandle = nullptr;
}

void SetLspProbePreloadForTests(bool preload) {
  gProbePreload.store(preload);
}

}  // namespace halvorn
