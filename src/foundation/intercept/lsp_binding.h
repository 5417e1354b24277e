// The binding of the interception library QuorLspV6: loading it, calling its
// functions (each looked up by name at every call), installing it, and the
// self-test that sees it acknowledge a connection from outside the program.
//
// On this platform the library is our own libQuorLspV6.so beside the halvorn
// executable (src/platform/lsp). The program loads it with dlopen only to
// reach its exports: the redirect record that the request handler fills, and
// the shared ignore-pid slot. Programs are intercepted when started through
// the wrapper command "halvorn-intercept" beside it, which preloads it.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// Interception messages of the main window (see lsp_requests.h).
constexpr std::uint32_t WM_MAKE_TEST_MESSAGE = 0x472;
constexpr std::uint32_t WM_LSP_SMTP_REQUEST = 0x478;
constexpr std::uint32_t WM_LSP_POP_REQUEST = 0x479;
constexpr std::uint32_t WM_INTERCEPT_TEST_ACK = 0x4AE;

// The library file: the folder of the running program + "/libQuorLspV6.so".
std::string LspDllPath();
// Its backup: the install folder + "/libQuorLspV6.so.bak".
std::string LspBackupPath();

// Loads the library once and answers whether it is loaded. When it cannot be
// loaded and the backup exists, the backup is put in its place (a new file
// renamed over the old, never written into a file a program may have loaded)
// and loading is tried again; when still not loaded, the installer is
// started. After loading, the library is given the install-folder key.
// Safe from any thread.
bool LoadLspDll();

// Starts the installer install folder + "/tervinst.exe" with " UQuor" without
// waiting; false when the file is missing or it could not be started.
bool RunLspInstaller();

// The library's Version(); -1 when it cannot be loaded, 1 when the export is
// missing.
int LspVersion();
// The address of the library's 16-byte redirect record, and of the shared
// 32-bit ignore-pid slot; null when the library or the export is missing.
// Both stay valid for the life of the process.
void* LspGetRedirectTable();
void* LspGetIgnorePid();
// QuorInstalled(); 0 when unavailable.
int LspInstalled();
// -1 when the library reports it is installed already; else InstallQuor()
// (1: put in place), 0 when the export is missing or the library cannot be
// had (the installer is started then).
int LspInstall();
// UninstallQuor(1) when the library loads (0 when the export is missing);
// otherwise starts the installer and answers 0.
int LspUninstall();
// ConfirmCurrentVersion() when the library loads; otherwise starts the
// installer and answers 0.
int LspConfirmCurrentVersion();
// Drops pending reboot-time operations on the library file.
void CancelLspRebootOperations();

// Main thread only. True when a probe process started with the library
// preloaded made the library acknowledge its test connection (to 0.0.0.0,
// port 110) to this program within about a second. False without a library
// of version 3 or later, without a main window, or without the
// acknowledgement (for instance when the request listener is not running).
// Window messages are handled while it waits.
bool LspSelfTest();

// The probe program beside the library. Starts it with the library preloaded
// (and the install-folder key in its environment) in the given mode ("ack"
// or "check", see src/platform/lsp/probe_main.cpp), its standard output on
// `outputFd` (-1: discarded). Answers its process id, 0 when it could not be
// started. The caller must end it with FinishLspProbe.
int StartLspProbe(const std::string& mode, int outputFd);
// Waits up to timeoutMs for the probe to end; a probe still running then is
// killed. Always reaps it. True when it ended by itself. Handles window
// messages while it waits when called on the main thread.
bool FinishLspProbe(int pid, int timeoutMs);

// Test seams. The folder the library, the wrapper and the probe are looked
// for in (empty: the running program's folder); setting it forgets a loaded
// library handle (the library itself stays mapped). Whether probes get the
// library preloaded (true unless set).
void SetLspFolderForTests(const std::string& folder);
void SetLspProbePreloadForTests(bool preload);

}  // namespace halvorn
