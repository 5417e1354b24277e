// The main window's settings and accounts files.
//
// The accounts file ("QuorAccounts.txt") keeps the accounts and the states of
// their messages; its backup lies beside it in the data folder. The file is
// read once at start-up and written by one writer (SaveAccountsFile) from the
// main thread's saves and from the workers' save-now requests alike.
//
// A run that found an accounts file or a backup but could read neither has
// no accounts at all: saving would write that empty registry over the user's
// accounts, and the POP3 server would take every stored message for mail of
// a vanished account. Such a run saves no accounts and keeps those messages.
// The backup is refreshed only from a file that loaded, so a damaged file
// never replaces a good backup.
//
// The settings file is not read yet (the option pages come with their
// issues): the options keep their defaults, and saving only creates the file
// when it is missing, so that only the first start counts as the first run.
#include <QCoreApplication>

#include <sys/stat.h>

#include <filesystem>

#include "foundation/app/developer_mode.h"
#include "foundation/app/log.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "message/accounts_file.h"
#include "message/accounts_saver.h"
#include "ui/main_quor_form.h"

namespace halvorn {

namespace {

constexpr const char* kAccountsFileName = "QuorAccounts.txt";
constexpr const char* kSettingsFileName = "QuorSettings.txt";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Blanks and line ends only. A NUL is no blank: a file the system zeroed
// after a crash is damaged, not empty.
bool OnlyBlanks(const std::string& bytes) {
  for (char c : bytes)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  return true;
}

// The command line holds the switch, ignoring case.
bool HasSwitch(const char* name) {
  const QStringList arguments = QCoreApplication::arguments();
  for (int i = 1; i < arguments.size(); ++i)
    if (SameText1252(arguments[i].toStdString(), name)) return true;
  return false;
}

}  // namespace

// What the save-now requests of the workers share with the window: the
// current user id and whether the accounts may be saved. The saver holds it
// by reference count, so a worker's late request never reaches a freed
// window.
struct TMainQuorForm::TAccountsSaveState {
  std::mutex Lock;
  std::string CurrentUserId;
  bool Savable = true;

  // Writes the accounts file; the reason when not saved.
  std::string Save() {
    std::string userId;
    {
      std::lock_guard<std::mutex> guard(Lock);
      if (!Savable) return "not saved: the accounts file could not be read at start-up";
      userId = CurrentUserId;
    }
    return SaveAccountsFile(GetAccountsFilePath(), userId, false);
  }
};

std::string TMainQuorForm::AccountsFileProblem(const std::string& path) {
  std::string bytes;
  std::string error = ReadFileBytes(path, kMaxIniFileSize, bytes, "settings file");
  if (!error.empty()) return error;
  // An empty file is what a registry without accounts saves.
  if (OnlyBlanks(bytes)) return {};
  TQuorIniFile ini("");
  ini.LoadFromStream(bytes);
  TStringList ids;
  ids.SetCommaText(ini.ReadString("LocalAccounts", "UniqueIds", ""));
  if (ids.Count() == 0) return path + " holds no list of accounts";
  for (int i = 0; i < ids.Count(); ++i) {
    if (ids[i].empty()) continue;
    if (!ini.SectionExists(ids[i])) return path + " lacks the account " + ids[i];
    TStringList remote;
    remote.SetCommaText(ini.ReadString(ids[i], "RemoteAccounts", ""));
    for (int j = 0; j < remote.Count(); ++j)
      if (!remote[j].empty() && !ini.SectionExists(remote[j]))
        return path + " lacks the account " + remote[j];
  }
  return {};
}

bool TMainQuorForm::LoadAccountsFrom(const std::string& path, bool& encrypted) {
  const std::string problem = AccountsFileProblem(path);
  if (!problem.empty()) {
    Log("Error", "Cannot read the accounts: " + problem, 10, true);
    return false;
  }
  try {
    TQuorIniFile ini(path);
    encrypted = ini.Encrypted();
    Heartbeat("Loading Account Information", -1, -1);
    GlobalLocalAccounts().Load(ini);
    FCurrentUserId = ini.ReadString("CurrentAccount", "UserId", FCurrentUserId);
    return true;
  } catch (const std::exception& e) {
    Log("Error", std::string("Cannot read the accounts: ") + e.what(), 10, true);
    GlobalLocalAccounts().Clear();
    return false;
  }
}

void TMainQuorForm::LoadAccounts() {
  if (!FAccountsSave) FAccountsSave = std::make_shared<TAccountsSaveState>();
  const std::string path = GetAccountsFilePath();
  const std::string backup = GetDataDir() + "/" + kAccountsFileName + ".bak";
  const bool fileFound = Exists(path);
  const bool backupFound = Exists(backup);
  bool encrypted = false;
  bool loaded = false;
  if (fileFound) {
    loaded = LoadAccountsFrom(path, encrypted);
    if (loaded) {
      // Only a file that loaded replaces the backup.
      std::string bytes;
      std::string error = ReadFileBytes(path, kMaxIniFileSize, bytes, "settings file");
      if (error.empty()) error = WriteFileAtomically(backup, bytes);
      if (!error.empty()) Log("Error", "Cannot refresh the accounts backup: " + error, 10, true);
    } else if (!FirstTimeRun.load()) {
      Log("Error", "Failed to load Account information.  Attempting to load backup", 10, true);
    }
  } else if (backupFound) {
    Log("Error", "Account information file is missing loading backup", 10, true);
  } else {
    if (!FirstTimeRun.load())
      Log("Error", "Account information file is missing, as is the backup backup copy", 10, true);
  }
  if (!loaded && (fileFound || backupFound)) {
    if (backupFound) loaded = LoadAccountsFrom(backup, encrypted);
    if (!loaded && !FirstTimeRun.load())
      Log("Error", "Failed to load Account information from backup", 10, true);
  }
  const bool unreadable = (fileFound || backupFound) && !loaded;
  if (unreadable) {
    Log("Error",
        "No account could be read: this run saves no accounts and keeps the messages of "
        "accounts it does not know",
        10, true);
  }
  FEncryptAccountInformation = encrypted;
  {
    std::lock_guard<std::mutex> guard(FAccountsSave->Lock);
    FAccountsSave->Savable = !unreadable;
    FAccountsSave->CurrentUserId = FCurrentUserId;
  }
  FPop3Server->SetKeepOrphans(unreadable);
  // The workers' save-now requests go through the same writer.
  std::shared_ptr<TAccountsSaveState> state = FAccountsSave;
  SetAccountsSaver([state] { return state->Save(); });
}

bool TMainQuorForm::AccountsUnreadable() const {
  if (!FAccountsSave) return false;
  std::lock_guard<std::mutex> guard(FAccountsSave->Lock);
  return !FAccountsSave->Savable;
}

void TMainQuorForm::SaveAccounts() {
  FLastSaveTime = Now();
  if (!FAccountsSave) return;  // never loaded: nothing of ours to save
  {
    std::lock_guard<std::mutex> guard(FAccountsSave->Lock);
    FAccountsSave->CurrentUserId = FCurrentUserId;
  }
  Heartbeat("Saving Account Information", -1, -1);
  const std::string error = FAccountsSave->Save();
  if (!error.empty()) Log("Main", "The accounts were " + error, 8, !AccountsUnreadable());
}

TLocalAccountRef TMainQuorForm::CurrentLocalAccount() {
  TLocalAccountRef account = GlobalLocalAccounts().GetFirstAccount();
  if (!account) account = GlobalLocalAccounts().Add();
  return account;
}

void TMainQuorForm::LoadSettings() {
  // 1.
  FLastSaveTime = Now();
  // 2. The settings file's backup, made once.
  const std::string path = GetSettingsFilePath();
  try {
    const std::string backup = GetDataDir() + "/" + kSettingsFileName + ".bak";
    if (Exists(path) && !Exists(backup)) {
      std::string bytes;
      std::string error = ReadFileBytes(path, kMaxIniFileSize, bytes, "settings file");
      if (error.empty()) error = WriteFileAtomically(backup, bytes);
      if (!error.empty()) Log("Main", "Cannot back the settings up: " + error, 5, true);
    }
  } catch (const std::exception& e) {
    Log("Main", std::string("Cannot back the settings up: ") + e.what(), 5, true);
  }
  // Seam: the settings file is not read until the option pages come; every
  // option keeps its default (the DCC servers, the known mail programs, the
  // tray options, the mode, the backup folder, the servers and clients, the
  // log, the remote options).
  // 4. Seam: no splash window.
  // 6. Start minimised: only the command line asks for it now; never in
  // developer mode or on the first run.
  bool minimized = HasSwitch("-Minimize") || HasSwitch("-StartupItems");
  if (IsDeveloperMode() || FirstTimeRun.load()) minimized = false;
  FStartMinimized = minimized;
  // 9. The POP3 server's options.
  UpdatePop3Server(TUpdateSender::Control);
  // 10. Seam: the ESMTP server comes with its issue.
  // 13. Seam: the rules file is neither loaded nor saved until its issue:
  // an empty rule list must never be written over the user's file, and
  // processing runs with no rules.
  // 19. The interception library.
  InstallInterception(true);
}

void TMainQuorForm::SaveSettings() {
  // Seam: the rules file is not saved (see LoadSettings).
  Heartbeat("Saving Settings", -1, -1);
  // Only created when missing, so the next start is no first run; the
  // options are written with their pages.
  const std::string path = GetSettingsFilePath();
  if (!EnsureFileExists(path)) Log("Main", "Cannot create " + path, 8, true);
}

}  // namespace halvorn
