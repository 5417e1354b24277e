// The halvorn program as a user starts it: the ways a data folder can be
// unusable. (A usable one, where the program then runs until it is stopped,
// is the subject of halvorn_program_test.cpp.)
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace halvorn {
namespace {

// Runs halvorn under `env` with the given changes ("NAME=value" or "-u",
// "NAME"), its standard error joined to its standard output. With
// `readOnly`, that folder cannot be written by the program: as root (who
// writes anywhere) through a read-only bind mount in a mount namespace of its
// own, otherwise through its permission bits. Exit code 97: no such mount
// could be made.
test::CommandResult RunHalvorn(const std::vector<std::string>& envChanges,
                               const std::string& readOnly = {}) {
  std::vector<std::string> argv;
  const bool root = ::geteuid() == 0;
  if (!readOnly.empty()) {
    if (root) {
      // A mount namespace can be refused (a chroot whose root is no mount
      // point, a container without the right): no read-only mount then.
      if (test::RunCommand({"unshare", "-m", "true"}).ExitCode != 0) return {97, {}};
      argv = {"unshare", "-m"};
    } else {
      ::chmod(readOnly.c_str(), 0500);
    }
  }
  const std::string script =
      "ro=$1; shift\n"
      "if [ -n \"$ro\" ]; then mount -o bind,ro \"$ro\" \"$ro\" || exit 97; fi\n"
      "exec \"$@\" 2>&1\n";
  for (const std::string& part : {std::string("sh"), std::string("-c"), script, std::string("sh"),
                                  root ? readOnly : std::string(), std::string("env")})
    argv.push_back(part);
  argv.insert(argv.end(), envChanges.begin(), envChanges.end());
  argv.push_back(HALVORN_PROGRAM);
  test::CommandResult result = test::RunCommand(argv);
  if (!readOnly.empty() && !root) ::chmod(readOnly.c_str(), 0700);
  return result;
}

// Each way the data folder can be unusable: exit code 1 and a message that
// names the folder and what failed, never "Data folder: ..." as if all went
// well.
TEST(HalvornProgramTest, AnUnusableDataFolderIsReportedWithItsPath) {
  test::TempFolder root;
  const std::string file = root.Sub("a-file");
  ASSERT_TRUE(test::WriteFileBytes(file, "not a folder"));
  const std::string locked = root.Sub("locked");
  const std::string lockedHome = root.Sub("locked-home");
  std::filesystem::create_directories(locked);
  std::filesystem::create_directories(lockedHome);
  struct Row {
    const char* Name;
    std::vector<std::string> Env;
    std::string ReadOnly;
    std::string Folder;  // the folder the message must name
    const char* Reason;
  } rows[] = {
      {"HALVORN_HOME names a file", {"HALVORN_HOME=" + file}, "", file, "it is not a folder"},
      {"HALVORN_HOME lies below a file",
       {"HALVORN_HOME=" + file + "/data"},
       "",
       file + "/data",
       "cannot create it: Not a directory"},
      {"HALVORN_HOME cannot be written",
       {"HALVORN_HOME=" + locked},
       locked,
       locked,
       "cannot write in it"},
      {"the home folder is read-only",
       {"-u", "HALVORN_HOME", "-u", "XDG_CONFIG_HOME", "-u", "XDG_DATA_HOME", "HOME=" + lockedHome},
       lockedHome,
       lockedHome + "/.local/share/Halvorn",
       "cannot create it"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    const test::CommandResult run = RunHalvorn(row.Env, row.ReadOnly);
    if (run.ExitCode == 97) GTEST_SKIP() << "no read-only bind mount can be made here";
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(
        run.Output.find("halvorn: cannot use the data folder: " + row.Folder + ": " + row.Reason),
        std::string::npos)
        << run.Output;
    EXPECT_EQ(run.Output.find("Data folder:"), std::string::npos) << run.Output;
  }
}

}  // namespace
}  // namespace halvorn
