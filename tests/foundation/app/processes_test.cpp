#include "foundation/app/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/install_folders.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

using test::Eventually;

// Temporary files go to a folder of the test's own, so leftovers show.
class ProcessesTest : public ::testing::Test {
 protected:
  test::TempFolder FTemp;
  test::ScopedEnv FTmpDir{"TMPDIR", FTemp.Path()};
};

TEST_F(ProcessesTest, ConsoleCommandsCaptureTheirStreams) {
  // Standard streams of the child start at their defaults even though this
  // program ignores SIGPIPE: "yes" must die quietly when "head" is done.
  signal(SIGPIPE, SIG_IGN);
  const std::string longWord(1000, 'x');
  struct Row {
    std::string command, input, output, errorOutput;
  } rows[] = {
      {"cat", "hello\nworld\n", "hello\nworld\n", ""},
      {"cat", "", "", ""},
      {"echo e >&2", "", "", "e\n"},
      {"echo out; echo err >&2; exit 3", "", "out\n", "err\n"},
      // The command line is never cut.
      {"echo " + longWord, "", longWord + "\n", ""},
      {"yes | head -n 1", "", "y\n", ""},
      {"head -c 200000 /dev/zero | wc -c", "", "200000\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    std::string output = "old", errorOutput = "old", errorText = "old";
    EXPECT_TRUE(RunConsoleProcess(row.command, row.input, output, errorOutput, errorText, 10000));
    EXPECT_EQ(output, row.output);
    EXPECT_EQ(errorOutput, row.errorOutput);
    EXPECT_EQ(errorText, "");
  }
  EXPECT_TRUE(FilesIn(FTemp.Path()).empty());
}

TEST_F(ProcessesTest, TimeOutEndsTheChildsWholeGroupAndDeletesTheFiles) {
  const std::string pids = FTemp.Sub("pids");
  // The shell writes its own id and that of a background child, then waits.
  const std::string command =
      "echo $$ > " + pids + "; sleep 60 & echo $! >> " + pids + "; sleep 60";
  std::string output, errorOutput, errorText;
  EXPECT_FALSE(RunConsoleProcess(command, "", output, errorOutput, errorText, 1000));
  EXPECT_EQ(errorText, "Timed out waiting for process to complete");

  const std::string written = test::ReadFileBytes(pids);
  std::vector<TProcessId> ids;
  std::size_t start = 0;
  while (start < written.size()) {
    std::size_t end = written.find('\n', start);
    if (end == std::string::npos) end = written.size();
    if (end > start) ids.push_back(std::stoi(written.substr(start, end - start)));
    start = end + 1;
  }
  ASSERT_EQ(ids.size(), 2u) << written;
  // The shell is reaped at once; its orphaned child is killed with it and
  // reaped by the system.
  EXPECT_FALSE(IsProcessRunning(ids[0]));
  EXPECT_TRUE(Eventually([&] { return !IsProcessRunning(ids[1]); }));
  const std::vector<std::string> left = FilesIn(FTemp.Path());
  EXPECT_EQ(left, std::vector<std::string>{"pids"});
}

TEST_F(ProcessesTest, ChildrenGetOnlyTheirStandardDescriptors) {
  // A descriptor opened without close-on-exec must still not reach a child.
  const int leaked = fcntl(0, F_DUPFD, 57);
  ASSERT_GE(leaked, 57);
  std::string output, errorOutput, errorText;
  EXPECT_TRUE(RunConsoleProcess("ls /proc/$$/fd", "", output, errorOutput, errorText, 10000));
  close(leaked);
  EXPECT_EQ(output, "0\n1\n2\n") << errorOutput;
}

TEST_F(ProcessesTest, WorkingFolderAppliesToTheChildOnly) {
  char before[4096];
  ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
  const TProcessId pid = RunProgram(nullptr, FTemp.Path(), "", "pwd > where", true, false);
  EXPECT_GT(pid, 0);
  EXPECT_EQ(test::ReadFileBytes(FTemp.Sub("where")), FTemp.Path() + "\n");
  char after[4096];
  ASSERT_NE(getcwd(after, sizeof(after)), nullptr);
  EXPECT_STREQ(before, after);
  // Waited for and reaped: no zombie is left behind.
  EXPECT_FALSE(IsProcessRunning(pid));
  EXPECT_FALSE(Exists("/proc/" + std::to_string(pid)));
}

TEST_F(ProcessesTest, RunProgramWaitsAndCallsTheOwner) {
  std::vector<bool> calls;
  const TProcessId pid =
      RunProgram([&](bool enabled) { calls.push_back(enabled); }, "", "/bin/sh",
                 "-c \"echo \\\"two words\\\" > " + FTemp.Sub("args") + "\"", true, false);
  EXPECT_GT(pid, 0);
  EXPECT_EQ(calls, (std::vector<bool>{false, true}));
  EXPECT_EQ(test::ReadFileBytes(FTemp.Sub("args")), "two words\n");

  EXPECT_EQ(RunProgram(nullptr, "", FTemp.Sub("missing"), "", true, false), 0);
  EXPECT_EQ(RunProgram(nullptr, FTemp.Sub("no-such-folder"), "", "true", false, false), 0);
}

TEST_F(ProcessesTest, EndProcessAndProcessFacts) {
  EXPECT_TRUE(EndProcess(0, 1000));
  EXPECT_FALSE(IsProcessRunning(0));
  EXPECT_TRUE(IsProcessRunning(getpid()));
  EXPECT_EQ(GetProcessFileName(getpid()), RunningProgramFile());
  EXPECT_FALSE(RunningProgramFile().empty());
  EXPECT_EQ(GetProcessFileName(0), "");
  // The program never asks itself or a process group to close.
  EXPECT_FALSE(EndProcess(getpid(), 0));
  EXPECT_FALSE(EndProcess(-1, 0));

  // A detached child: started without waiting, ended by the close request.
  const TProcessId pid = RunProgram(nullptr, "", "", "exec sleep 60", false, false);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(IsProcessRunning(pid));
  // The shell replaces itself with sleep soon after it started.
  EXPECT_TRUE(Eventually([&] { return GetProcessFileName(pid) == "/usr/bin/sleep"; }));
  EXPECT_TRUE(EndProcess(pid, 5000));
  EXPECT_TRUE(Eventually([&] { return !IsProcessRunning(pid); }));

  // A child that ignores the close request is killed after the time-out (it
  // replaces the shell, so no grandchild outlives the test).
  const TProcessId stubborn = RunProgram(
      nullptr, "", "", "trap '' TERM; echo ready > " + FTemp.Sub("ready") + "; exec sleep 60",
      false, false);
  ASSERT_GT(stubborn, 0);
  ASSERT_TRUE(Eventually([&] { return Exists(FTemp.Sub("ready")); }));
  EXPECT_TRUE(EndProcess(stubborn, 200));
  EXPECT_TRUE(Eventually([&] { return !IsProcessRunning(stubborn); }));

  TProcessWindowInfo info;
  GetProcessWindowInfo(getpid(), info);
  EXPECT_EQ(info.Window, 0);
  EXPECT_EQ(info.ProgramFile, RunningProgramFile());
  EXPECT_NE(info.Icon, 0);
}

TEST(CommandLineTest, SplitsAsWindowsProgramsDo) {
  struct Row {
    std::string line;
    std::vector<std::string> args;
  } rows[] = {
      {"", {}},
      {"   ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {" - PID=12 Exe=\"/a b/halvorn\" CmdLine=\"-x y\"",
       {"-", "PID=12", "Exe=/a b/halvorn", "CmdLine=-x y"}},
      {"\"\"", {""}},
      {"a\\\\b", {"a\\\\b"}},
      {"\"a\\\"b\"", {"a\"b"}},
      {"\"a\\\\\"b", {"a\\b"}},
      {"\"open", {"open"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(SplitCommandLine(row.line), row.args);
  }
  for (const std::string text :
       {"", "plain", "two words", "q\"uote", "trail\\", "\\\"", "a\\\\b"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(SplitCommandLine("x " + QuoteCommandArgument(text) + " y"),
              (std::vector<std::string>{"x", text, "y"}));
  }
  EXPECT_EQ(LauncherCommandLine(42, "/opt/h/halvorn", "-Restart now"),
            " - PID=42 Exe=\"/opt/h/halvorn\" CmdLine=\"-Restart now\"");
}

TEST_F(ProcessesTest, RunLauncherWithoutLauncherStartsNothing) {
  // Neither the test program's folder nor this install folder has one.
  test::ScopedEnv home("HALVORN_HOME", FTemp.Path());
  ResetFolderCachesForTests();
  EXPECT_FALSE(RunLauncher("-x"));
  ResetFolderCachesForTests();
}

// The launcher built beside the program waits for a process to end and then
// starts the program with the command text.
TEST_F(ProcessesTest, LauncherStartsTheProgramAfterTheProcessEnds) {
  const std::string exe = RunningProgramFile();
  const std::string launcher = exe.substr(0, exe.rfind('/')) + "/../src/ui/Launch";
  ASSERT_TRUE(Exists(launcher)) << launcher << " is built with this test";

  const TProcessId waitedFor = RunProgram(nullptr, "", "", "exec sleep 60", false, false);
  ASSERT_GT(waitedFor, 0);
  const std::string marker = FTemp.Sub("started");
  const std::string commandText = "-c \"echo \\\"$1\\\" > '" + marker + "'\" sh \"two words\"";
  const TProcessId launched = RunProgram(
      nullptr, "", launcher, LauncherCommandLine(waitedFor, "/bin/sh", commandText), false, false);
  ASSERT_GT(launched, 0);

  // While the process lives the launcher only waits.
  EXPECT_TRUE(IsProcessRunning(launched));
  EXPECT_FALSE(Exists(marker));
  ASSERT_TRUE(EndProcess(waitedFor, 2000));
  ASSERT_TRUE(Eventually([&] { return test::ReadFileBytes(marker) == "two words\n"; }))
      << test::ReadFileBytes(marker);
  EXPECT_TRUE(Eventually([&] { return !IsProcessRunning(launched); }));

  // A bad command line ends it at once, with no program started.
  std::string output, errorOutput, errorText;
  EXPECT_TRUE(RunConsoleProcess(QuoteCommandArgument(launcher) + " PID=x; echo $?", "", output,
                                errorOutput, errorText, 10000));
  EXPECT_EQ(output, "2\n");
  EXPECT_NE(errorOutput.find("usage: Launch"), std::string::npos);
}

}  // namespace
}  // namespace halvorn
