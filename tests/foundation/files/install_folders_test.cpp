#include "foundation/files/install_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "folder_test_env.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

namespace fs = std::filesystem;
using test::ModeOf;
using test::ReadFileBytes;
using test::ScopedEnv;
using test::TempFolder;
using test::WriteFileBytes;

// Every entry below a folder, as paths relative to it.
std::set<std::string> TreeOf(const std::string& root) {
  std::set<std::string> names;
  if (!fs::exists(root)) return names;
  for (const auto& e : fs::recursive_directory_iterator(root))
    names.insert(fs::relative(e.path(), root).string());
  return names;
}

using InstallFoldersTest = test::FolderEnvTest;

TEST_F(InstallFoldersTest, BuildsTheWholeTreeInsideHalvornHomeOnly) {
  const std::string home = FRoot.Sub("home");
  struct Row {
    std::function<std::string()> get;
    const char* relative;
  };
  const std::string user = "SingleUser";
  const Row rows[] = {
      {[] { return GetInstallDir(); }, ""},
      {[] { return GetLogDir(); }, "Log"},
      {[] { return GetImagesDir(); }, "Images"},
      {[&] { return GetUserDir(user); }, "Users/SingleUser"},
      {[&] { return GetReportsDir(user); }, "Users/SingleUser/Reports"},
      {[&] { return GetPartialsDir(user); }, "Users/SingleUser/Partials"},
      {[&] { return GetMessagesDir(user); }, "Users/SingleUser/Messages"},
      {[&] { return GetUnprocessedIncomingDir(user); },
       "Users/SingleUser/Messages/UnProcessedIncoming"},
      {[&] { return GetProcessedIncomingDir(user); },
       "Users/SingleUser/Messages/ProcessedIncoming"},
      {[&] { return GetProcessedOutgoingDir(user); },
       "Users/SingleUser/Messages/ProcessedOutGoing"},
      {[&] { return GetUnprocessedOutgoingDir(user); },
       "Users/SingleUser/Messages/UnprocessedOutGoing"},
      {[&] { return GetPendholdDir(user); }, "Users/SingleUser/Messages/Pendhold"},
      {[&] { return GetTrashDir(user); }, "Users/SingleUser/Messages/Trash"},
      {[&] { return GetBackupsDir(user); }, "Users/SingleUser/Messages/Backups"},
      {[&] { return GetRelayProbesDir(user); }, "Users/SingleUser/Messages/Relay/Probes"},
      {[&] { return GetRelaySpamDir(user); }, "Users/SingleUser/Messages/Relay/Spam"},
  };
  std::set<std::string> expected;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.relative);
    std::string path = row.get();
    EXPECT_EQ(path, *row.relative ? home + "/" + row.relative : home);
    EXPECT_TRUE(fs::is_directory(path));
    if (*row.relative) expected.insert(row.relative);
  }
  // Intermediate folders with no operation of their own.
  expected.insert("Users");
  expected.insert("Users/SingleUser/Messages/Relay");
  EXPECT_EQ(TreeOf(home), expected);
  EXPECT_EQ(ModeOf(home), 0700u);
  for (const std::string& name : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ModeOf(home + "/" + name), 0700u);
  }
  EXPECT_EQ(ReadFileBytes(FRoot.Sub("config/Quorvantis.ini")), "");
  EXPECT_FALSE(fs::exists(FRoot.Sub("config")));
  EXPECT_FALSE(fs::exists(FRoot.Sub("data")));
}

TEST_F(InstallFoldersTest, SettingsFilePaths) {
  const std::string home = FRoot.Sub("home");
  const std::string user = home + "/Users/SingleUser";
  struct Row {
    std::string actual, expected;
  };
  const Row rows[] = {
      {GetSettingsFilePath(), home + "/QuorSettings.txt"},
      {GetAccountsFilePath(), home + "/QuorAccounts.txt"},
      {GetDefaultPhrasesFilePath("anything"), home + "/DefaultPhrases.txt"},
      {GetRulesFilePath("Global"), home + "/QuorRules.txt"},
      // Only the exact word selects the install folder.
      {GetRulesFilePath("global"), user + "/QuorRules.txt"},
      {GetRulesFilePath("GLOBAL"), user + "/QuorRules.txt"},
      {GetRulesFilePath("SingleUser"), user + "/QuorRules.txt"},
      {GetFileExtensionsFilePath("Global"), home + "/FileExtensionsInfo.txt"},
      {GetFileExtensionsFilePath("global"), user + "/FileExtensionsInfo.txt"},
      // One user, whatever the name.
      {GetUserDir("Someone Else"), user},
      {GetUserDir(""), user},
      {GetPendholdDir("x"), user + "/Messages/Pendhold"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.actual, row.expected);
  EXPECT_FALSE(IsMultiUser());
  EXPECT_FALSE(fs::exists(home + "/QuorSettings.txt"));  // paths only
}

TEST_F(InstallFoldersTest, LogFolderIsBuiltOnceAndNotRecreated) {
  std::string log = GetLogDir();
  EXPECT_EQ(log, FRoot.Sub("home") + "/Log");
  ASSERT_TRUE(fs::is_directory(log));
  fs::remove(log);
  EXPECT_EQ(GetLogDir(), log);
  EXPECT_FALSE(fs::exists(log));
  // The other folders are made on every call.
  std::string images = GetImagesDir();
  fs::remove(images);
  EXPECT_EQ(GetImagesDir(), images);
  EXPECT_TRUE(fs::is_directory(images));
}

TEST_F(InstallFoldersTest, VanishedInstallFolderIsFoundAgain) {
  std::string home = GetInstallDir();
  fs::remove_all(home);
  EXPECT_EQ(GetInstallDir(), home);
  EXPECT_TRUE(fs::is_directory(home));
}

TEST_F(InstallFoldersTest, RelativeHomeIsMadeAbsolute) {
  ScopedEnv home("HALVORN_HOME", FRoot.Sub("a/../b/"));
  ResetFolderCachesForTests();
  EXPECT_EQ(GetInstallDir(), FRoot.Sub("b"));

  std::string cwd = fs::current_path().string();
  fs::current_path(FRoot.Path());
  ScopedEnv relative("HALVORN_HOME", "rel");
  ResetFolderCachesForTests();
  std::string found = GetInstallDir();
  fs::current_path(cwd);
  EXPECT_EQ(found, FRoot.Sub("rel"));
}

TEST_F(InstallFoldersTest, PointerFileDecidesWithoutHalvornHome) {
  ScopedEnv noHome("HALVORN_HOME", "");
  const std::string ini = FRoot.Sub("config/Quorvantis.ini");
  const std::string data = FRoot.Sub("data/Halvorn");
  const std::string existing = FRoot.Sub("existing");
  fs::create_directories(existing);
  EXPECT_EQ(GetMachineIniPath(), ini);

  struct Row {
    const char* name;
    std::optional<std::string> pointer;  // content before; absent: no file
    std::string installDir;
    std::string pointerAfter;
  };
  const Row rows[] = {
      {"no pointer file", std::nullopt, data, "InstallDir=" + data + "/\r\n"},
      {"missing folder: rewritten, other lines kept",
       "Other=1\r\n[Section]\r\nInstallDir=/no/such/folder/\r\nLast=x\r\n", data,
       "Other=1\r\n[Section]\r\nInstallDir=" + data + "/\r\nLast=x\r\n"},
      {"name matched ignoring case", "installdir=/no/such/folder\n", data,
       "InstallDir=" + data + "/\r\n"},
      {"relative folder is not trusted", "InstallDir=existing\n", data,
       "InstallDir=" + data + "/\r\n"},
      {"existing folder: used, file untouched", "A=b\nInstallDir=" + existing + "/\n", existing,
       "A=b\nInstallDir=" + existing + "/\n"},
      {"existing folder without slash", "InstallDir=" + existing, existing,
       "InstallDir=" + existing},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(FRoot.Sub("config"));
    fs::remove_all(FRoot.Sub("data"));
    if (row.pointer) {
      fs::create_directories(FRoot.Sub("config"));
      ASSERT_TRUE(WriteFileBytes(ini, *row.pointer));
    }
    ResetFolderCachesForTests();
    EXPECT_EQ(GetInstallDir(), row.installDir);
    EXPECT_TRUE(fs::is_directory(row.installDir));
    EXPECT_EQ(ReadFileBytes(ini), row.pointerAfter);
    if (row.installDir == data) {
      EXPECT_EQ(ModeOf(data), 0700u);
      EXPECT_EQ(ModeOf(ini), 0600u);
    }
  }
  EXPECT_FALSE(fs::exists(FRoot.Sub("home")));
}

TEST_F(InstallFoldersTest, PointedFolderThatVanishesIsReplaced) {
  ScopedEnv noHome("HALVORN_HOME", "");
  const std::string ini = FRoot.Sub("config/Quorvantis.ini");
  const std::string chosen = FRoot.Sub("chosen");
  fs::create_directories(chosen);
  fs::create_directories(FRoot.Sub("config"));
  ASSERT_TRUE(WriteFileBytes(ini, "InstallDir=" + chosen + "\n"));
  EXPECT_EQ(GetInstallDir(), chosen);
  fs::remove_all(chosen);
  EXPECT_EQ(GetInstallDir(), FRoot.Sub("data/Halvorn"));
  EXPECT_EQ(ReadFileBytes(ini), "InstallDir=" + FRoot.Sub("data/Halvorn") + "/\r\n");
}

TEST_F(InstallFoldersTest, DataFolderFollowsAnExistingBackupSetting) {
  const std::string home = FRoot.Sub("home");
  EXPECT_EQ(GetDataDir(), home);
  fs::create_directories(FRoot.Sub("backup"));
  SetBackupDir(FRoot.Sub("backup") + "/");
  EXPECT_EQ(GetDataDir(), FRoot.Sub("backup"));
  SetBackupDir(FRoot.Sub("missing"));
  EXPECT_EQ(GetDataDir(), home);
  EXPECT_FALSE(fs::exists(FRoot.Sub("missing")));
  SetBackupDir("");
  EXPECT_EQ(GetDataDir(), home);
}

TEST_F(InstallFoldersTest, SystemFoldersAndTrailingSlash) {
  const std::pair<std::string, std::string> slashes[] = {
      {"", ""}, {"/", "/"}, {"a", "a/"}, {"a/", "a/"}, {"/x/y", "/x/y/"}, {"a\\", "a\\/"}};
  for (const auto& [in, out] : slashes) EXPECT_EQ(AddTrailingBackslash(in), out) << in;

  {
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(GetTempDir(), "/var/tmp/");
  }
  {
    ScopedEnv tmp("TMPDIR", "");
    EXPECT_EQ(GetTempDir(), "/tmp/");
  }
  EXPECT_EQ(GetStartupFolder(), FRoot.Sub("config") + "/autostart");
  {
    // A relative XDG value is invalid; the home folder's default applies.
    ScopedEnv config("XDG_CONFIG_HOME", "relative");
    ScopedEnv homeVar("HOME", FRoot.Sub("user"));
    EXPECT_EQ(GetStartupFolder(), FRoot.Sub("user") + "/.config/autostart");
    EXPECT_EQ(GetMachineIniPath(), FRoot.Sub("user") + "/.config/Quorvantis.ini");
  }
  EXPECT_FALSE(fs::exists(FRoot.Sub("config")));
}

TEST_F(InstallFoldersTest, InstallDirKeyTellsFoldersApart) {
  std::string first = GetInstallDirKey();
  EXPECT_EQ(first.size(), 12u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(GetInstallDirKey(), first);
  ScopedEnv other("HALVORN_HOME", FRoot.Sub("other"));
  ResetFolderCachesForTests();
  EXPECT_NE(GetInstallDirKey(), first);
}

TEST_F(InstallFoldersTest, ThreadsAgreeOnTheFolders) {
  std::vector<std::string> installs(8), logs(8), queues(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      installs[i] = GetInstallDir();
      logs[i] = GetLogDir();
      queues[i] = GetUnprocessedIncomingDir("SingleUser");
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(installs[i], FRoot.Sub("home"));
    EXPECT_EQ(logs[i], FRoot.Sub("home") + "/Log");
    EXPECT_TRUE(fs::is_directory(queues[i]));
  }
}

TEST_F(InstallFoldersTest, UncreatableFoldersStillAnswerTheirPaths) {
  // A file where the install folder should be: nothing can be created under it.
  ASSERT_TRUE(WriteFileBytes(FRoot.Sub("blocked"), "x"));
  ScopedEnv home("HALVORN_HOME", FRoot.Sub("blocked/home"));
  ResetFolderCachesForTests();
  EXPECT_EQ(GetInstallDir(), FRoot.Sub("blocked/home"));
  EXPECT_EQ(GetTrashDir("SingleUser"), FRoot.Sub("blocked/home/Users/SingleUser/Messages/Trash"));
  EXPECT_EQ(GetLogDir(), FRoot.Sub("blocked/home/Log"));
  EXPECT_FALSE(CreateFolderTree(FRoot.Sub("blocked/x")));
  EXPECT_FALSE(CreateFolderTree(""));
}

}  // namespace
}  // namespace halvorn
