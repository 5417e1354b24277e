// The install folder, the fixed tree of folders beneath it and the paths of
// the settings files.
//
// Every file the program keeps lies under one install folder. It is found in
// this order:
//  - the environment variable HALVORN_HOME, when set and not empty: that
//    folder (made absolute), created when missing. The pointer file is then
//    neither read nor written, and nothing is written outside that folder;
//  - the key "InstallDir" of the pointer file "Quorvantis.ini" in the user's
//    configuration folder ($XDG_CONFIG_HOME, default ~/.config), when it
//    names an existing folder;
//  - else $XDG_DATA_HOME/Halvorn (default ~/.local/share/Halvorn), created,
//    and written back into the pointer file as "InstallDir" with a trailing
//    "/" (the file's other lines are kept).
//
// All folders are created with mode 0700: they hold mail and passwords.
// Paths never end in "/" unless said otherwise. No operation here fails
// towards its caller: when a folder cannot be created the path is returned
// anyway, the failure is logged, and the caller's file operation reports the
// error. Every operation is safe from any thread.
#pragma once

#include <string>

namespace halvorn {

// The install folder, found on first use and cached; searched again when the
// cached folder has vanished from the disk.
std::string GetInstallDir();

// The user folder, install folder/Users/SingleUser, created. The program
// serves one user: the name is ignored (IsMultiUser is false).
std::string GetUserDir(const std::string& userName);
// Folders of the user folder, created on every call.
std::string GetReportsDir(const std::string& userName);
std::string GetPartialsDir(const std::string& userName);
std::string GetMessagesDir(const std::string& userName);
// The queue folders under Messages, created on every call.
std::string GetUnprocessedIncomingDir(const std::string& userName);
std::string GetProcessedIncomingDir(const std::string& userName);
std::string GetProcessedOutgoingDir(const std::string& userName);
std::string GetUnprocessedOutgoingDir(const std::string& userName);
std::string GetPendholdDir(const std::string& userName);
std::string GetTrashDir(const std::string& userName);
std::string GetBackupsDir(const std::string& userName);
std::string GetRelayProbesDir(const std::string& userName);
std::string GetRelaySpamDir(const std::string& userName);

// install folder/Log: built and created on the first call only; later calls
// return the cached path without touching the disk, so a log folder deleted
// while the program runs is not made again.
std::string GetLogDir();
// install folder/Images, created.
std::string GetImagesDir();

// The folder for the ".bak" copies of the settings files: the backup folder
// setting when it is not empty and names an existing folder, else the
// install folder.
std::string GetDataDir();
// Stores the backup folder setting ("BackupDir" of the section "Backup" of
// the settings file); the main window's settings load calls it.
void SetBackupDir(const std::string& folder);

// Settings files (none is created).
std::string GetSettingsFilePath();                                    // QuorSettings.txt
std::string GetAccountsFilePath();                                    // QuorAccounts.txt
std::string GetDefaultPhrasesFilePath(const std::string& name = {});  // name ignored
// Exactly "Global" (case counts) selects the install folder; any other name
// the user folder.
std::string GetRulesFilePath(const std::string& name);           // QuorRules.txt
std::string GetFileExtensionsFilePath(const std::string& name);  // FileExtensionsInfo.txt

// The pointer file: the user's configuration folder + "/Quorvantis.ini";
// empty when no configuration folder can be formed. Not used while
// HALVORN_HOME is set.
std::string GetMachineIniPath();
// $TMPDIR, or /tmp, with a trailing "/".
std::string GetTempDir();
// $XDG_CONFIG_HOME/autostart (default ~/.config/autostart), where programs
// started at log-on are named; empty when it cannot be formed. Not created.
std::string GetStartupFolder();

// The text with "/" appended unless it already ends with one; an empty text
// stays empty.
std::string AddTrailingBackslash(const std::string& text);

// Always false: the program serves the one user "SingleUser".
bool IsMultiUser();

// Twelve lower-case hexadecimal digits derived from the install folder's
// path. Runtime objects outside the install folder (the single-instance
// lock, sockets) carry it in their names, so two instances with different
// install folders never meet.
std::string GetInstallDirKey();

// HALVORN_HOME made absolute, without a trailing "/"; empty when unset or
// empty.
std::string GetHomeOverride();
// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else ~/.config; empty when no home folder is known.
std::string GetUserConfigDir();
// The user's data folder: $XDG_DATA_HOME when absolute, else
// ~/.local/share; empty when no home folder is known.
std::string GetUserDataDir();

// Creates the folder and every missing folder above it, each new one with
// mode 0700. True when the folder exists afterwards; on false, errno says
// why (ENOTDIR when something other than a folder is in the way).
bool CreateFolderTree(const std::string& path);

// Forgets the cached install, log and backup folders, so that a test can
// point HALVORN_HOME or XDG_* somewhere else. Tests only.
void ResetFolderCachesForTests();

}  // namespace halvorn
