// Shared by the tests of the units that keep files under the install folder
// or the user's configuration folder.
#pragma once

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "foundation/files/install_folders.h"
#include "support/test_support.h"

namespace halvorn::test {

// The permission bits of a file or folder; 0 when it does not exist.
inline mode_t ModeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Points HALVORN_HOME (root/home), XDG_CONFIG_HOME (root/config) and
// XDG_DATA_HOME (root/data) into a throw-away folder, and forgets the cached
// folders before and after each test.
class FolderEnvTest : public ::testing::Test {
 protected:
  FolderEnvTest()
      : FHome("HALVORN_HOME", FRoot.Sub("home")),
        FConfig("XDG_CONFIG_HOME", FRoot.Sub("config")),
        FData("XDG_DATA_HOME", FRoot.Sub("data")) {
    ResetFolderCachesForTests();
  }
  ~FolderEnvTest() override { ResetFolderCachesForTests(); }

  TempFolder FRoot;
  ScopedEnv FHome;
  ScopedEnv FConfig;
  ScopedEnv FData;
};

}  // namespace halvorn::test
