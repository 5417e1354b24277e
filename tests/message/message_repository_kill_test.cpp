// Kill safety of the queues: a child process (this test program run again)
// moves, holds, trashes, saves and creates messages from several threads and
// is killed with SIGKILL at a random moment, again and again. After each
// kill every fixture message lies in exactly one queue folder, every file is
// a whole message, and a fresh repository loads exactly the files there are.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/install_folders.h"
#include "repository_test_support.h"
#include "support/child_process.h"
#include "support/store_test_support.h"

namespace halvorn {
namespace {

constexpr const char* kChildVariable = "HALVORN_REPOSITORY_KILL_CHILD";
constexpr int kFixtures = 12;
constexpr int kKills = 200;

// A message whose last line tells that it is whole. Most share a subject,
// so their files are named alike.
std::string Fixture(const std::string& id, const std::string& subject) {
  std::string text = "Subject: " + subject + "\r\nMessage-Id: <" + id + ">\r\n\r\n";
  for (int line = 0; line < 40; ++line) text += "line " + std::to_string(line) + " of " + id + "\r\n";
  return text + "END\r\n";
}

// The child: works on the repository from three threads until it is killed.
TEST(MessageRepositoryKillChild, WorksUntilKilled) {
  // The test program's start points HALVORN_HOME into the build tree; the
  // parent's folder comes through a variable of the test's own.
  test::KillChild child(kChildVariable);
  if (!child.Started()) GTEST_SKIP() << "runs only as the child of the kill test";
  const std::string root = child.Root();
  TMessageRepository* repo = GetMessageRepository(kSingleUserName);
  const auto queues = repo->Queues();
  auto pick = [&](std::mt19937& random, TEmailMsgList*& queue) -> TEmailMsgRef {
    queue = queues[random() % queues.size()];
    const std::vector<TEmailMsgRef> messages = queue->Snapshot();
    return messages.empty() ? nullptr : messages[random() % messages.size()];
  };
  // Moves to another queue so far: the parent is told the child is ready
  // only once some were made, so a kill on a busy machine still falls
  // between moves rather than before the first one.
  std::atomic<int> moves{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // moves
    std::mt19937 random(1);
    for (;;) {
      TEmailMsgList* from = nullptr;
      if (TEmailMsgRef msg = pick(random, from)) {
        TEmailMsgList* to = queues[random() % queues.size()];
        if (repo->MoveMailMessage(msg, from, to) && to != from) ++moves;
      }
    }
  });
  threads.emplace_back([&] {  // holds and trash
    std::mt19937 random(2);
    for (;;) {
      TEmailMsgList* from = nullptr;
      TEmailMsgRef msg = pick(random, from);
      if (!msg) continue;
      if (random() % 2)
        msg->SendToPendhold("held by the kill test");
      else
        msg->MoveToTrash(1, "trashed by the kill test");
    }
  });
  threads.emplace_back([&] {  // saves and creations
    std::mt19937 random(3);
    std::deque<TEmailMsgRef> created;
    for (int n = 0;; ++n) {
      TEmailMsgList* from = nullptr;
      if (TEmailMsgRef msg = pick(random, from)) {
        {
          TCriticalSectionGuard guard(msg->MessageLock());
          msg->GetHeader()->SetValue("X-Count", std::to_string(n));
        }
        msg->SaveToFile();
      }
      if (n % 3 == 0) {
        TEmailMsgRef msg = TEmailMsg::Create(queues[random() % queues.size()]);
        msg->SetText(Fixture("created-" + std::to_string(getpid()) + "-" + std::to_string(n),
                             "Same subject"));
        msg->SaveToFile();
        created.push_back(msg);
        if (created.size() > 5) {
          created.front()->Obliterate(false, "");
          created.pop_front();
        }
      }
    }
  });
  while (moves < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(test::WriteFileBytes(std::string(root) + "/ready", ""));
  for (std::thread& thread : threads) thread.join();
}

// One Python interpreter for all the checks: each line of paths (separated
// by tabs) is answered by a line with the number of files that are not one
// whole message, followed by their paths.
class PythonChecker {
 public:
  ~PythonChecker() {
    if (FIn != nullptr) std::fclose(FIn);
    if (FOut != nullptr) std::fclose(FOut);
  }
  bool Start() {
    int toPython[2], fromPython[2];
    if (::pipe2(toPython, O_CLOEXEC) != 0 || ::pipe2(fromPython, O_CLOEXEC) != 0) return false;
    test::ChildOptions options;
    options.StdinFd = toPython[0];
    options.StdoutFd = fromPython[1];
    const bool started = FChild.Start({test::PythonPath(), "-c", kScript}, options);
    ::close(toPython[0]);
    ::close(fromPython[1]);
    FOut = ::fdopen(toPython[1], "w");
    FIn = ::fdopen(fromPython[0], "r");
    return started && FOut != nullptr && FIn != nullptr;
  }
  std::string Check(const std::string& tabbedPaths) {
    std::fputs((tabbedPaths + "\n").c_str(), FOut);
    std::fflush(FOut);
    char* line = nullptr;
    std::size_t size = 0;
    const ssize_t n = ::getline(&line, &size, FIn);
    std::string answer = n > 0 ? std::string(line, static_cast<std::size_t>(n)) : "no answer";
    std::free(line);
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
  }

 private:
  static constexpr const char* kScript =
      "import sys, email\n"
      "for batch in sys.stdin:\n"
      "    bad = []\n"
      "    for path in batch.rstrip('\\n').split('\\t'):\n"
      "        if not path: continue\n"
      "        data = open(path, 'rb').read()\n"
      "        if data.startswith(b'X-SMTP: '): data = data[data.index(b'\\r\\n') + 2:]\n"
      "        msg = email.message_from_bytes(data)\n"
      "        body = msg.get_payload().splitlines()\n"
      "        if msg.defects or len(body) != 41 or body[-1] != 'END' or not msg['Message-Id']:\n"
      "            bad.append(path)\n"
      "    print(' '.join([str(len(bad))] + bad), flush=True)\n";
  test::ChildProcess FChild;
  FILE* FOut = nullptr;
  FILE* FIn = nullptr;
};

class MessageRepositoryKill : public test::MessageFolderTest {};

TEST_F(MessageRepositoryKill, EveryMessageStaysWholeAndInOneQueue) {
  const std::vector<std::string> folders = test::QueueFolders();
  std::set<std::string> fixtureIds;
  for (int i = 0; i < kFixtures; ++i) {
    const std::string id = "fixture-" + std::to_string(i) + "@kill";
    fixtureIds.insert(id);
    test::WriteMessageFile(folders[i % folders.size()], "fixture" + std::to_string(i) + ".eml",
                           Fixture(id, i % 4 == 0 ? "Other " + std::to_string(i) : "Same subject"));
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string readyPath = FRoot.Sub("ready");
  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(quiet, 0);
  test::ChildOptions options;
  options.StdoutFd = options.StderrFd = quiet;
  options.Environment = {std::string(kChildVariable) + "=" + FRoot.Path()};
  PythonChecker python;
  ASSERT_TRUE(python.Start());
  std::map<std::string, std::string> lastFolder;  // fixture id -> its folder
  int killsThatMoved = 0;

  std::mt19937 random(4711);
  int killedWorking = 0;
  for (int kill = 0; kill < kKills && !HasFailure(); ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    std::filesystem::remove(readyPath);
    test::ChildProcess child;
    ASSERT_TRUE(child.Start({self, "--gtest_filter=MessageRepositoryKillChild.WorksUntilKilled"},
                            options))
        << child.Error();
    ASSERT_TRUE(test::Eventually([&] {
      return std::filesystem::exists(readyPath) || !child.Running();
    }));
    ASSERT_TRUE(child.Running()) << "the child ended by itself: " << child.ExitCode();
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    ::kill(child.Pid(), SIGKILL);
    ASSERT_TRUE(child.Wait(10000));
    if (child.ExitCode() == 128 + SIGKILL) ++killedWorking;

    // Every message file is whole; each fixture lies in one of them.
    std::map<std::string, int> seen;
    std::set<std::string> onDisk;
    bool moved = false;
    std::string paths;
    for (const std::string& folder : folders) {
      for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const std::string path = entry.path().string();
        ASSERT_TRUE(entry.is_regular_file()) << path;
        if (name[0] == '.') {
          // What an interrupted write leaves is hidden and never ".eml".
          EXPECT_EQ(name.find(".eml", name.size() - 4), std::string::npos) << name;
          std::filesystem::remove(path);
          continue;
        }
        const std::string text = test::MessagePartOf(test::ReadFileBytes(path));
        const std::size_t start = text.find("Message-Id: <");
        ASSERT_NE(start, std::string::npos) << path;
        const std::string id = text.substr(start + 13, text.find('>', start) - start - 13);
        EXPECT_TRUE(text.size() > 5 && text.compare(text.size() - 5, 5, "END\r\n") == 0) << path;
        ++seen[id];
        onDisk.insert(path);
        paths += path + "\t";
        if (fixtureIds.count(id)) {
          if (!lastFolder[id].empty() && lastFolder[id] != folder) moved = true;
          lastFolder[id] = folder;
        }
      }
    }
    for (const std::string& id : fixtureIds) EXPECT_EQ(seen[id], 1) << id;
    if (moved) ++killsThatMoved;
    for (const auto& [id, count] : seen) EXPECT_EQ(count, 1) << id;

    // Python's email reads each file as one whole message.
    EXPECT_EQ(python.Check(paths), "0");

    // A fresh repository loads exactly these files.
    StartMessageRepositoryModule();
    std::set<std::string> loaded;
    for (TEmailMsgList* queue : GetMessageRepository(kSingleUserName)->Queues()) {
      for (const TEmailMsgRef& msg : queue->Snapshot()) loaded.insert(msg->GetFileName());
    }
    EndMessageRepositoryModule();
    EXPECT_EQ(loaded, onDisk);

    // Created messages go, so the folders stay small.
    for (const std::string& path : onDisk) {
      if (test::ReadFileBytes(path).find("Message-Id: <created-") != std::string::npos)
        std::filesystem::remove(path);
    }
  }
  ::close(quiet);
  EXPECT_EQ(killedWorking, kKills);
  // The children did work: fixtures changed queues between most kills.
  EXPECT_GT(killsThatMoved, kKills / 2);
}

}  // namespace
}  // namespace halvorn
