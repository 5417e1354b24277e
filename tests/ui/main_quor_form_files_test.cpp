// The accounts file and its backup as the main window loads and saves them:
// which one is read, which one the backup becomes, and that a run which
// could read neither saves nothing over them.
#include <filesystem>
#include <functional>

#include "foundation/files/quor_ini_file.h"
#include "message/accounts_file.h"
#include "ui/main_form_test_support.h"

namespace halvorn::test {
namespace {

// What lies in the accounts file or its backup before the start.
enum class Content { None, Good, OtherGood, Empty, Enciphered, Zeroed, Cut, Garbage };

class AccountsFilesTest : public MainFormTest {
 protected:
  AccountsFilesTest() {
    FGood = AccountsText("bob", false);
    FOtherGood = AccountsText("carol", false);
    FEnciphered = AccountsText("dave", true);
    GlobalLocalAccounts().Clear();
  }

  // The accounts file of one local account with one remote account, as the
  // program writes it.
  static std::string AccountsText(const std::string& user, bool enciphered) {
    GlobalLocalAccounts().Clear();
    TLocalAccountRef local = GlobalLocalAccounts().Add();
    local->SetUserId(user);
    local->SetPassword("secret");
    TRemoteAccountRef remote = local->RemoteAccounts->Add();
    remote->SetUserId(user + "-remote");
    remote->SetHost("pop.example.org", false);
    remote->SetUidlStatus("uidl-1", us_Downloaded);
    TempFolder folder;
    const std::string path = folder.Sub("accounts.txt");
    EXPECT_EQ(SaveAccountsFile(path, user, enciphered), "");
    return ReadFileBytes(path);
  }

  std::string Bytes(Content content) const {
    switch (content) {
      case Content::Good:
        return FGood;
      case Content::OtherGood:
        return FOtherGood;
      case Content::Empty:
        return "";
      case Content::Enciphered:
        return FEnciphered;
      case Content::Zeroed:
        return std::string(FGood.size(), '\0');
      case Content::Cut:
        return FGood.substr(0, FGood.find("[") + 20);
      case Content::Garbage:
        return "\x89PNG\r\n\x1a\n\x01\x02 not settings at all\x7f\xff";
      case Content::None:
        break;
    }
    return {};
  }

  static std::string BackupPath() { return GetDataDir() + "/QuorAccounts.txt.bak"; }

  static void Put(const std::string& path, const std::string& bytes, bool present) {
    std::filesystem::remove(path);
    if (present) {
      ASSERT_TRUE(WriteFileBytes(path, bytes));
    }
  }

  static std::vector<std::string> ErrorLogs() {
    std::vector<std::string> texts;
    for (const LogRecorder::TRecord& record : LogRecorder::Records())
      if (record.Service == "Error") texts.push_back(record.Text);
    return texts;
  }

  // The user ids of the local accounts now loaded.
  static std::vector<std::string> LoadedUsers() {
    std::vector<std::string> users;
    for (const TLocalAccountRef& account : GlobalLocalAccounts().Snapshot())
      users.push_back(account->UserId());
    return users;
  }

  std::string FGood, FOtherGood, FEnciphered;
};

TEST_F(AccountsFilesTest, TheFileThatLoadsIsReadAndOnlyItBecomesTheBackup) {
  struct Row {
    const char* Name;
    Content File;
    Content Backup;
    bool FirstRun;
    std::vector<std::string> Users;
    bool Unreadable;
    Content BackupAfter;  // the backup's content after the load
    std::vector<std::string> Logs;
  } rows[] = {
      {"a good file refreshes a stale backup",
       Content::Good,
       Content::OtherGood,
       false,
       {"bob"},
       false,
       Content::Good,
       {}},
      {"a good file makes the missing backup",
       Content::Good,
       Content::None,
       false,
       {"bob"},
       false,
       Content::Good,
       {}},
      {"an enciphered file",
       Content::Enciphered,
       Content::None,
       false,
       {"dave"},
       false,
       Content::Enciphered,
       {}},
      {"an empty file is a registry without accounts",
       Content::Empty,
       Content::Good,
       false,
       {},
       false,
       Content::Empty,
       {}},
      {"a missing file loads the backup and leaves it",
       Content::None,
       Content::Good,
       false,
       {"bob"},
       false,
       Content::Good,
       {"Account information file is missing loading backup"}},
      {"a zeroed file loads the good backup and leaves it",
       Content::Zeroed,
       Content::Good,
       false,
       {"bob"},
       false,
       Content::Good,
       {"Failed to load Account information.  Attempting to load backup"}},
      {"a cut file loads the good backup",
       Content::Cut,
       Content::OtherGood,
       false,
       {"carol"},
       false,
       Content::OtherGood,
       {"Failed to load Account information.  Attempting to load backup"}},
      {"both damaged",
       Content::Garbage,
       Content::Zeroed,
       false,
       {},
       true,
       Content::Zeroed,
       {"Failed to load Account information.  Attempting to load backup",
        "Failed to load Account information from backup"}},
      {"a damaged file without a backup",
       Content::Cut,
       Content::None,
       false,
       {},
       true,
       Content::None,
       {"Failed to load Account information.  Attempting to load backup",
        "Failed to load Account information from backup"}},
      {"a missing file with a damaged backup",
       Content::None,
       Content::Garbage,
       false,
       {},
       true,
       Content::Garbage,
       {"Account information file is missing loading backup",
        "Failed to load Account information from backup"}},
      {"nothing at all",
       Content::None,
       Content::None,
       false,
       {},
       false,
       Content::None,
       {"Account information file is missing, as is the backup backup copy"}},
      {"nothing at all on the first run",
       Content::None,
       Content::None,
       true,
       {},
       false,
       Content::None,
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FForm.reset();
    // Each row is a fresh start: no accounts yet.
    GlobalLocalAccounts().Clear();
    FirstTimeRun.store(row.FirstRun);
    Put(GetAccountsFilePath(), Bytes(row.File), row.File != Content::None);
    Put(BackupPath(), Bytes(row.Backup), row.Backup != Content::None);
    const std::string fileBefore = ReadFileBytes(GetAccountsFilePath());
    LogRecorder log;
    TMainQuorForm& form = Form();
    form.LoadAccounts();

    EXPECT_EQ(LoadedUsers(), row.Users);
    EXPECT_EQ(form.AccountsUnreadable(), row.Unreadable);
    EXPECT_EQ(form.Pop3Server1()->KeepOrphans(), row.Unreadable);
    EXPECT_EQ(std::filesystem::exists(BackupPath()), row.BackupAfter != Content::None);
    EXPECT_EQ(ReadFileBytes(BackupPath()), Bytes(row.BackupAfter));
    EXPECT_EQ(form.FEncryptAccountInformation, row.File == Content::Enciphered);
    std::vector<std::string> logs = ErrorLogs();
    // The reasons of a damaged file come first; the design's texts follow.
    std::erase_if(logs, [](const std::string& text) {
      return text.rfind("Cannot read the accounts: ", 0) == 0 ||
             text.rfind("No account could be read", 0) == 0;
    });
    EXPECT_EQ(logs, row.Logs);

    // Saving: over a file that could be read, or none; never over both
    // unreadable ones, neither from the window nor from a worker's request.
    form.SaveAccounts();
    const std::string workerSave = SaveAccountsNow();
    const std::string fileAfter = ReadFileBytes(GetAccountsFilePath());
    if (row.Unreadable) {
      EXPECT_NE(workerSave, "");
      EXPECT_EQ(fileAfter, fileBefore);
      EXPECT_EQ(std::filesystem::exists(GetAccountsFilePath()), row.File != Content::None);
      EXPECT_EQ(ReadFileBytes(BackupPath()), Bytes(row.BackupAfter));
    } else {
      EXPECT_EQ(workerSave, "");
      // Written plain, with what was loaded.
      EXPECT_EQ(fileAfter.rfind("Encrypted File", 0), std::string::npos);
      for (const std::string& user : row.Users)
        EXPECT_NE(fileAfter.find("UserId=" + user), std::string::npos) << fileAfter;
      TQuorIniFile reread(GetAccountsFilePath());
      EXPECT_EQ(reread.ReadString("CurrentAccount", "UserId", "?"),
                row.Users.empty() ? "?" : row.Users.front());
    }
    SetAccountsSaver({});
  }
}

TEST_F(AccountsFilesTest, TheProblemOfAFileNamesWhatIsMissing) {
  struct Row {
    const char* Name;
    std::string Bytes;
    bool Usable;
  } rows[] = {
      {"good", FGood, true},
      {"blank lines only", "\r\n  \r\n", true},
      {"no index of accounts", "[Other]\r\nA=1\r\n", false},
      {"an account without its section",
       "[LocalAccounts]\r\nUniqueIds=ABC\r\n\r\n[XYZ]\r\nUserId=bob\r\n", false},
      {"a remote account without its section",
       "[LocalAccounts]\r\nUniqueIds=ABC\r\n\r\n[ABC]\r\nUserId=bob\r\nRemoteAccounts=R1\r\n",
       false},
      {"hand-written and whole",
       "[LocalAccounts]\r\nUniqueIds=ABC\r\n\r\n[ABC]\r\nUserId=bob\r\nRemoteAccounts=R1\r\n\r\n"
       "[R1]\r\nUserId=alice\r\n",
       true},
  };
  TempFolder folder;
  const std::string path = folder.Sub("accounts.txt");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    ASSERT_TRUE(WriteFileBytes(path, row.Bytes));
    EXPECT_EQ(TMainQuorForm::AccountsFileProblem(path).empty(), row.Usable)
        << TMainQuorForm::AccountsFileProblem(path);
  }
  EXPECT_NE(TMainQuorForm::AccountsFileProblem(folder.Sub("missing.txt")), "");
}

TEST_F(AccountsFilesTest, SavingSettingsOnlyCreatesTheFileSoTheNextStartIsNoFirstRun) {
  TMainQuorForm& form = Form();
  EXPECT_FALSE(std::filesystem::exists(GetSettingsFilePath()));
  form.SaveSettings();
  EXPECT_TRUE(std::filesystem::exists(GetSettingsFilePath()));
  EXPECT_EQ(ReadFileBytes(GetSettingsFilePath()), "");
  // A file the user wrote stays as it is.
  ASSERT_TRUE(WriteFileBytes(GetSettingsFilePath(), "[MainForm]\r\nMode=2\r\n"));
  form.SaveSettings();
  EXPECT_EQ(ReadFileBytes(GetSettingsFilePath()), "[MainForm]\r\nMode=2\r\n");
}

}  // namespace
}  // namespace halvorn::test
