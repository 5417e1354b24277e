// Shared by the tests of the mail store and its users: the queue folders on
// the disk, a count of the copies each message has there, the start of a
// child that a kill test runs and kills again and again, and an account set
// of one local and one remote account.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/files/install_folders.h"
#include "message/accounts.h"
#include "message/mail_store.h"
#include "message/message_repository.h"
#include "support/test_support.h"

namespace halvorn::test {

// The six queue folders of the data folder now in use.
inline std::vector<std::string> QueueFolders() {
  std::vector<std::string> folders;
  for (int i = 0; i < kQueueCount; ++i)
    folders.push_back(QueueDescription(i).Folder(kSingleUserName));
  return folders;
}

// Per number (what `numberOf` reads from a message file; below 0: none),
// the message files of the six queues that hold it: hidden files (what
// interrupted writes leave) are not counted. With `home`, of that data
// folder instead of the one in use.
inline std::map<int, int> QueuedCopies(const std::function<int(const std::string&)>& numberOf,
                                       const std::string& home = {}) {
  std::unique_ptr<ScopedEnv> env;
  if (!home.empty()) {
    env = std::make_unique<ScopedEnv>("HALVORN_HOME", home);
    ResetFolderCachesForTests();
  }
  std::map<int, int> copies;
  for (const std::string& folder : QueueFolders()) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().string();
      if (entry.path().extension() != ".eml" || name[0] == '.') continue;
      const int number = numberOf(ReadFileBytes(entry.path().string()));
      if (number >= 0) ++copies[number];
    }
  }
  if (env) {
    env.reset();
    ResetFolderCachesForTests();
  }
  return copies;
}

// The start of a kill test's child (this test program run again): the
// parent names its folder in `variable`; the child's data folder is
// "<folder>/home" (or the folder itself with `homeIsRoot`), its accounts
// and repository modules start, and the mail store recovers from the last
// kill, as the program's start does. Started() is false (the test skips)
// when the variable is missing: the test runs only as a child.
class KillChild {
 public:
  // `beforeRecover` (may be empty) runs once the accounts module has
  // started, before the repository loads: a child loads its accounts there.
  explicit KillChild(const char* variable, bool homeIsRoot = false,
                     const std::function<void()>& beforeRecover = {}) {
    const char* root = std::getenv(variable);
    if (root == nullptr) return;
    FRoot = root;
    FHome = std::make_unique<ScopedEnv>("HALVORN_HOME",
                                        homeIsRoot ? FRoot : FRoot + "/home");
    ResetFolderCachesForTests();
    StartAccountsModule();
    if (beforeRecover) beforeRecover();
    StartMessageRepositoryModule();
    GetMailStore().Recover();
  }
  bool Started() const { return FHome != nullptr; }
  const std::string& Root() const { return FRoot; }

 private:
  std::string FRoot;
  std::unique_ptr<ScopedEnv> FHome;
};

// A local account "user" with one remote account, in the global accounts.
struct OneRemoteAccount {
  OneRemoteAccount() {
    Local = GlobalLocalAccounts().Add();
    Local->SetUserId("user");
    Remote = Local->RemoteAccounts->Add();
  }
  TLocalAccountRef Local;
  TRemoteAccountRef Remote;
};

}  // namespace halvorn::test
