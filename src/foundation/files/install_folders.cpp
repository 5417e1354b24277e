#include "foundation/files/install_folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "foundation/crypto/md5.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/version_info.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/string_list.h"

namespace halvorn {

namespace {

const char* const kLogService = "Folders";
const char* const kSingleUser = "SingleUser";
const char* const kPointerFileName = "Quorvantis.ini";
const char* const kInstallDirKey = "InstallDir";

// Guards the cached texts below. Never held while logging: the log asks
// GetLogDir for its folder.
std::mutex gMutex;
std::string gInstallDir;
std::string gLogDir;
std::string gBackupDir;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string StripTrailingSlash(std::string path) {
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty() && home[0] == '/') return StripTrailingSlash(home);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && found->pw_dir[0] == '/')
    return StripTrailingSlash(found->pw_dir);
  return {};
}

// An XDG base folder: the variable when it holds an absolute path (relative
// ones are invalid and ignored), else home + fallback.
std::string XdgFolder(const char* variable, const char* fallback) {
  std::string value = Env(variable);
  if (!value.empty() && value[0] == '/') return StripTrailingSlash(value);
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + fallback;
}

void LogFailures(const std::vector<std::string>& failures) {
  for (const std::string& text : failures) Log(kLogService, text, 8, true);
}

// Creates a folder tree, logging (outside any lock) when it fails.
std::string Created(const std::string& path) {
  if (!CreateFolderTree(path)) LogFailures({"Cannot create the folder " + path});
  return path;
}

// Writes "InstallDir" into the pointer file, keeping its other lines. A
// pointer file that exists but cannot be read is left alone, so that its
// other lines are not lost.
void WritePointerFile(const std::string& iniPath, const std::string& installDir,
                      std::vector<std::string>& failures) {
  TStringList lines;
  if (FileExists(iniPath) && !lines.LoadFromFile(iniPath)) {
    failures.push_back("Cannot read " + iniPath + "; not rewritten");
    return;
  }
  lines.SetValue(kInstallDirKey, installDir);
  std::string folder = std::filesystem::path(iniPath).parent_path().string();
  if (!CreateFolderTree(folder)) {
    failures.push_back("Cannot create the folder " + folder);
    return;
  }
  std::string error = WriteFileAtomically(iniPath, lines.Text());
  if (!error.empty()) failures.push_back(error);
}

// Looks for the install folder (caller holds gMutex). Failures are collected
// for logging once the lock is released.
std::string FindInstallDir(std::vector<std::string>& failures) {
  std::string home = GetHomeOverride();
  if (!home.empty()) {
    if (!CreateFolderTree(home)) failures.push_back("Cannot create the install folder " + home);
    return home;
  }

  std::string iniPath = GetMachineIniPath();
  if (FileExists(iniPath)) {
    TStringList lines;
    if (lines.LoadFromFile(iniPath)) {
      std::string candidate = lines.Values(kInstallDirKey);
      // Only an absolute path names the same folder whatever the working
      // folder is.
      if (!candidate.empty() && candidate[0] == '/' && IsFolder(candidate))
        return StripTrailingSlash(candidate);
    } else {
      failures.push_back("Cannot read " + iniPath);
    }
  }

  std::string dataDir = GetUserDataDir();
  std::string candidate;
  if (!dataDir.empty()) {
    candidate = dataDir + "/Halvorn/";
  } else {
    // No home folder at all: the program's own folder is all that is left.
    candidate = std::filesystem::path(ProgramFilePath()).parent_path().string() + "/";
  }
  if (!CreateFolderTree(candidate)) failures.push_back("Cannot create the folder " + candidate);
  if (!iniPath.empty()) WritePointerFile(iniPath, candidate, failures);
  return StripTrailingSlash(candidate);
}

std::string UnderInstallDir(const std::string& relative) {
  return Created(GetInstallDir() + "/" + relative);
}

std::string UnderUserDir(const std::string& relative) {
  std::string user = GetInstallDir() + "/Users/" + kSingleUser;
  return Created(relative.empty() ? user : user + "/" + relative);
}

}  // namespace

bool CreateFolderTree(const std::string& path) {
  if (path.empty()) return false;
  if (IsFolder(path)) return true;
  std::string prefix;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    prefix = path.substr(0, slash);
    start = slash + 1;
    if (prefix.empty() || prefix.back() == '/') continue;  // root or "//"
    if (::mkdir(prefix.c_str(), 0700) == 0) {
      // The umask may have taken bits away; make the mode exactly 0700.
      ::chmod(prefix.c_str(), 0700);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  if (IsFolder(path)) return true;
  errno = ENOTDIR;  // something else is in the folder's place
  return false;
}

std::string GetHomeOverride() {
  std::string home = Env("HALVORN_HOME");
  if (home.empty()) return {};
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(home, ec);
  if (ec) return StripTrailingSlash(home);
  return StripTrailingSlash(absolute.lexically_normal().string());
}

std::string GetUserConfigDir() {
  return XdgFolder("XDG_CONFIG_HOME", "/.config");
}
std::string GetUserDataDir() {
  return XdgFolder("XDG_DATA_HOME", "/.local/share");
}

std::string GetInstallDir() {
  std::vector<std::string> failures;
  std::string result;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gInstallDir.empty() || !IsFolder(gInstallDir)) gInstallDir = FindInstallDir(failures);
    result = gInstallDir;
  }
  LogFailures(failures);
  return result;
}

std::string GetUserDir(const std::string& /*userName*/) {
  return UnderUserDir("");
}
std::string GetReportsDir(const std::string&) {
  return UnderUserDir("Reports");
}
std::string GetPartialsDir(const std::string&) {
  return UnderUserDir("Partials");
}
std::string GetMessagesDir(const std::string&) {
  return UnderUserDir("Messages");
}
std::string GetUnprocessedIncomingDir(const std::string&) {
  return UnderUserDir("Messages/UnProcessedIncoming");
}
std::string GetProcessedIncomingDir(const std::string&) {
  return UnderUserDir("Messages/ProcessedIncoming");
}
std::string GetProcessedOutgoingDir(const std::string&) {
  return UnderUserDir("Messages/ProcessedOutGoing");
}
std::string GetUnprocessedOutgoingDir(const std::string&) {
  return UnderUserDir("Messages/UnprocessedOutGoing");
}
std::string GetPendholdDir(const std::string&) {
  return UnderUserDir("Messages/Pendhold");
}
std::string GetTrashDir(const std::string&) {
  return UnderUserDir("Messages/Trash");
}
std::string GetBackupsDir(const std::string&) {
  return UnderUserDir("Messages/Backups");
}
std::string GetRelayProbesDir(const std::string&) {
  return UnderUserDir("Messages/Relay/Probes");
}
std::string GetRelaySpamDir(const std::string&) {
  return UnderUserDir("Messages/Relay/Spam");
}

std::string GetLogDir() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gLogDir.empty()) return gLogDir;
  }
  std::string dir = GetInstallDir() + "/Log";
  // Not logged when it fails: the log would only ask for this folder again.
  CreateFolderTree(dir);
  std::lock_guard<std::mutex> lock(gMutex);
  if (gLogDir.empty()) gLogDir = dir;
  return gLogDir;
}

std::string GetImagesDir() {
  return UnderInstallDir("Images");
}

std::string GetDataDir() {
  std::string backup;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    backup = gBackupDir;
  }
  if (!backup.empty() && IsFolder(backup)) return StripTrailingSlash(backup);
  return GetInstallDir();
}

void SetBackupDir(const std::string& folder) {
  std::lock_guard<std::mutex> lock(gMutex);
  gBackupDir = folder;
}

std::string GetSettingsFilePath() {
  return GetInstallDir() + "/QuorSettings.txt";
}
std::string GetAccountsFilePath() {
  return GetInstallDir() + "/QuorAccounts.txt";
}
std::string GetDefaultPhrasesFilePath(const std::string&) {
  return GetInstallDir() + "/DefaultPhrases.txt";
}

std::string GetRulesFilePath(const std::string& name) {
  return (name == "Global" ? GetInstallDir() : GetUserDir(name)) + "/QuorRules.txt";
}

std::string GetFileExtensionsFilePath(const std::string& name) {
  return (name == "Global" ? GetInstallDir() : GetUserDir(name)) + "/FileExtensionsInfo.txt";
}

std::string GetMachineIniPath() {
  std::string config = GetUserConfigDir();
  return config.empty() ? std::string() : config + "/" + kPointerFileName;
}

std::string GetTempDir() {
  std::string dir = Env("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  return AddTrailingBackslash(dir);
}

std::string GetStartupFolder() {
  std::string config = GetUserConfigDir();
  return config.empty() ? std::string() : config + "/autostart";
}

std::string AddTrailingBackslash(const std::string& text) {
  if (text.empty() || text.back() == '/') return text;
  return text + "/";
}

bool IsMultiUser() {
  return false;
}

std::string GetInstallDirKey() {
  return MD5DigestToHex(MD5String(GetInstallDir())).substr(0, 12);
}

void ResetFolderCachesForTests() {
  std::lock_guard<std::mutex> lock(gMutex);
  gInstallDir.clear();
  gLogDir.clear();
  gBackupDir.clear();
}

}  // namespace halvorn
