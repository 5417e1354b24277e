// Kill safety: a child process (this test program run again) saves changed
// messages in a loop and is killed with SIGKILL at random moments. Every
// message file must be whole afterwards, the old bytes or the new, and no
// message may lie in two files.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "email_msg_fakes.h"
#include "message/email_msg.h"
#include "support/test_support.h"

extern char** environ;

namespace halvorn {
namespace {

constexpr int kFixtures = 4;
constexpr const char* kChildFolderVariable = "HALVORN_KILL_TEST_FOLDER";

// Message i in one of its two versions (different lengths, so a torn write
// cannot pass for either).
std::string Version(int i, int version) {
  std::string text = "Subject: fixture " + std::to_string(i) + "\r\nMessage-Id: <" +
                     std::to_string(i) + ".kill@example.com>\r\n\r\n";
  const int lines = version == 0 ? 40 : 70;
  for (int line = 0; line < lines; ++line)
    text += (version == 0 ? "old " : "new ") + std::to_string(i) + " line " + std::to_string(line) +
            "\r\n";
  return text;
}

const std::string kTransient = "Subject: transient\r\n\r\nsaved under a new name\r\n";

// The child: loads the fixture files and saves new versions of them, and
// saves and deletes messages under new names, until it is killed.
TEST(EmailMsgKillChild, SavesUntilKilled) {
  const char* folder = std::getenv(kChildFolderVariable);
  if (folder == nullptr) GTEST_SKIP() << "runs only as the child of the kill test";
  std::vector<TEmailMsgRef> messages;
  for (int i = 0; i < kFixtures; ++i) {
    TEmailMsgRef msg = TEmailMsg::Create();
    ASSERT_TRUE(msg->ReadFromFile(std::string(folder) + "/fixture" + std::to_string(i) + ".eml"));
    messages.push_back(msg);
  }
  ASSERT_TRUE(test::WriteFileBytes(std::string(folder) + "/ready", ""));
  for (int round = 1;; ++round) {
    for (int i = 0; i < kFixtures; ++i) {
      messages[i]->SetText(Version(i, round % 2));
      messages[i]->SaveToFile();
    }
    TEmailMsgRef transient = TEmailMsg::Create();
    transient->SetText(kTransient);
    transient->SaveToFile();
    transient->DiskDelete();
    transient->FSetFlaggedDeleted(true);
  }
}

class EmailMsgKill : public test::MessageFolderTest {};

std::string BodyOf(const std::string& file) {
  if (file.rfind(kPropertyLinePrefix, 0) != 0) return {};
  const std::size_t end = file.find("\r\n");
  return end == std::string::npos ? std::string() : file.substr(end + 2);
}

TEST_F(EmailMsgKill, EveryFileStaysWholeAndSingle) {
  const std::string folder = FRoot.Sub("queue");
  std::filesystem::create_directories(folder);
  for (int i = 0; i < kFixtures; ++i) {
    TEmailMsgRef msg = TEmailMsg::Create();
    msg->SetText(Version(i, 0));
    msg->SetFileName(folder + "/fixture" + std::to_string(i) + ".eml");
    ASSERT_TRUE(msg->SaveToFile());
  }
  std::vector<std::string> wholeFiles;
  for (int i = 0; i < kFixtures; ++i)
    for (int version : {0, 1}) wholeFiles.push_back(Version(i, version));

  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string filter = "--gtest_filter=EmailMsgKillChild.SavesUntilKilled";
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("TMPDIR=", 0) != 0) environment.emplace_back(*e);
  environment.push_back(std::string(kChildFolderVariable) + "=" + folder);
  environment.push_back("TMPDIR=" + folder);

  // The child's own test output would only clutter ours.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);

  std::mt19937 random(4711);
  int killsDuringSaves = 0;
  constexpr int kKills = 200;
  for (int kill = 0; kill < kKills; ++kill) {
    std::filesystem::remove(folder + "/ready");
    std::vector<char*> argv = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()),
                               nullptr};
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &quiet, nullptr, argv.data(), envp.data()), 0);
    // Once the child saves, kill it a random moment later.
    const bool ready = test::Eventually([&] {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        child = 0;
        return true;
      }
      return std::filesystem::exists(folder + "/ready");
    });
    ASSERT_TRUE(ready);
    ASSERT_NE(child, 0) << "the child ended by itself";
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status)) ++killsDuringSaves;

    // Each fixture lies in exactly one file, whole; a transient message is
    // whole or absent. Left-over temporary files are hidden and never end
    // in ".eml".
    std::map<std::string, int> perSubject;
    for (const std::string& name : Entries(folder)) {
      const std::string path = folder + "/" + name;
      if (name[0] == '.') {
        EXPECT_EQ(name.find(".eml", name.size() - 4), std::string::npos) << name;
        std::filesystem::remove(path);
        continue;
      }
      if (name == "ready") continue;
      const std::string body = BodyOf(test::ReadFileBytes(path));
      if (body == kTransient) {
        std::filesystem::remove(path);
        continue;
      }
      const bool whole = std::find(wholeFiles.begin(), wholeFiles.end(), body) != wholeFiles.end();
      EXPECT_TRUE(whole) << name << " after kill " << kill;
      ++perSubject[body.substr(0, body.find("\r\n"))];
    }
    for (int i = 0; i < kFixtures; ++i)
      EXPECT_EQ(perSubject["Subject: fixture " + std::to_string(i)], 1) << "after kill " << kill;
    if (HasFailure()) break;
  }
  posix_spawn_file_actions_destroy(&quiet);
  EXPECT_EQ(killsDuringSaves, kKills);

  // Python's email package reads each file as the message it is.
  std::string input;
  for (int i = 0; i < kFixtures; ++i) input += folder + "/fixture" + std::to_string(i) + ".eml\n";
  const test::CommandResult py = test::RunPython(
      "import sys, email\n"
      "for path in sys.stdin.read().split():\n"
      "    data = open(path, 'rb').read()\n"
      "    msg = email.message_from_bytes(data[data.index(b'\\r\\n') + 2:])\n"
      "    print(msg['Message-Id'], len(msg.get_payload().splitlines()), len(msg.defects))\n",
      input);
  ASSERT_EQ(py.ExitCode, 0);
  const std::vector<std::string> lines = test::OutputLines(py.Output);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kFixtures));
  for (int i = 0; i < kFixtures; ++i) {
    const std::string id = "<" + std::to_string(i) + ".kill@example.com>";
    EXPECT_TRUE(lines[i] == id + " 40 0" || lines[i] == id + " 70 0") << lines[i];
  }
}

}  // namespace
}  // namespace halvorn
