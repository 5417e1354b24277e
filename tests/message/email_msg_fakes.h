// Stand-ins for the queue and the repository that a message reaches, and a
// throw-away install folder for the message tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/files/install_folders.h"
#include "foundation/files/unique_paths.h"
#include "message/email_msg.h"
#include "support/test_support.h"

namespace halvorn::test {

// A queue over one folder: a list of references, new names from the
// subject, obliteration that flags, deletes the file and drops the message.
class FakeQueue : public TEmailMsgListBase {
 public:
  explicit FakeQueue(std::string folder) : Folder(std::move(folder)) {
    std::filesystem::create_directories(Folder);
  }

  int Add(const TEmailMsgRef& msg) override {
    TEmailMsgListBase* old = msg->GetList();
    if (old != nullptr && old != this) static_cast<FakeQueue*>(old)->Remove(msg.get());
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    auto found = std::find(Messages.begin(), Messages.end(), msg);
    if (found == Messages.end()) Messages.push_back(msg);
    msg->MoveFileTo([&] { return NewFileName(*msg); });
    msg->SetList(this);
    return static_cast<int>(std::find(Messages.begin(), Messages.end(), msg) - Messages.begin());
  }

  void Remove(TEmailMsg* msg) {
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    Messages.erase(std::remove_if(Messages.begin(), Messages.end(),
                                  [&](const TEmailMsgRef& m) { return m.get() == msg; }),
                   Messages.end());
    msg->SetList(nullptr);
  }

  std::string NewFileName(TEmailMsg& msg) override {
    std::string path;
    GetUniquePath(Folder, msg.GetSubject().substr(0, 20), ".eml", path);
    return path;
  }

  bool Obliterate(const TEmailMsgRef& msg, bool, const std::string&) override {
    {
      std::lock_guard<std::recursive_mutex> lock(Mutex);
      if (std::find(Messages.begin(), Messages.end(), msg) == Messages.end()) return false;
    }
    msg->FSetFlaggedDeleted(true);
    msg->DiskDelete();
    Remove(msg.get());
    return true;
  }

  std::vector<TEmailMsgRef> Snapshot() override {
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    return Messages;
  }

  std::string Folder;
  std::recursive_mutex Mutex;
  std::vector<TEmailMsgRef> Messages;
};

// The repository: a held queue and a trash queue; records what it was asked.
class FakeRepository : public TMessageRepositoryBase {
 public:
  explicit FakeRepository(const std::string& root)
      : Held(root + "/Pendhold"), Trashed(root + "/Trash") {}

  bool SendToPendhold(const TEmailMsgRef& msg, const std::string& reason) override {
    std::lock_guard<std::mutex> lock(Mutex);
    HeldReasons.push_back(reason);
    Held.Add(msg);
    return true;
  }
  bool SendToTrash(const TEmailMsgRef& msg, std::uint8_t code, const std::string& reason) override {
    msg->SetDeleteReason(code, reason);
    Trashed.Add(msg);
    return true;
  }
  TEmailMsgListBase* Pendhold() override { return &Held; }
  TEmailMsgListBase* Trash() override { return &Trashed; }

  FakeQueue Held;
  FakeQueue Trashed;
  std::mutex Mutex;
  std::vector<std::string> HeldReasons;
};

// Points HALVORN_HOME and TMPDIR into a throw-away folder for each test, so
// side records and temporary messages land there.
class MessageFolderTest : public ::testing::Test {
 protected:
  MessageFolderTest()
      : FHome("HALVORN_HOME", FRoot.Sub("home")), FTemp("TMPDIR", FRoot.Sub("tmp")) {
    std::filesystem::create_directories(FRoot.Sub("tmp"));
    ResetFolderCachesForTests();
  }
  ~MessageFolderTest() override { ResetFolderCachesForTests(); }

  // The names in a folder, sorted.
  static std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder FRoot;
  ScopedEnv FHome;
  ScopedEnv FTemp;
};

}  // namespace halvorn::test
