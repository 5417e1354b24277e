#include "message/email_msg_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <tuple>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/time/clock.h"
#include "repository_test_support.h"
#include "support/store_test_support.h"

namespace halvorn {
namespace {

using test::MailText;
using test::MessagePartOf;
using test::ReadFileBytes;
using test::WriteMessageFile;
using Lines = std::vector<std::string>;

// Holds a lock on another thread until the object goes.
class LockHolder {
 public:
  explicit LockHolder(TMutexCriticalSection& lock)
      : FThread([this, &lock] {
          TCriticalSectionGuard guard(lock);
          FHolding = true;
          while (!FRelease) std::this_thread::yield();
        }) {
    while (!FHolding) std::this_thread::yield();
  }
  ~LockHolder() {
    FRelease = true;
    FThread.join();
  }

 private:
  std::atomic<bool> FHolding{false}, FRelease{false};
  std::thread FThread;
};

class EmailMsgListTest : public test::RepositoryTest {
 protected:
  EmailMsgListTest() : FolderA(FRoot.Sub("a")), FolderB(FRoot.Sub("b")) {
    std::filesystem::create_directories(FolderA);
    std::filesystem::create_directories(FolderB);
    A.LoadFolder(FolderA);
    B.LoadFolder(FolderB);
  }

  // A new message of queue A, saved.
  TEmailMsgRef Saved(TEmailMsgList& queue, const std::string& subject,
                     const std::string& id = {}) {
    TEmailMsgRef msg = TEmailMsg::Create(&queue);
    msg->SetText(MailText(subject, id));
    EXPECT_TRUE(msg->SaveToFile());
    return msg;
  }

  // The codes posted for the queue since the last call (posts for other
  // queues are dropped).
  std::vector<int> Codes(const TEmailMsgList& queue) {
    std::vector<int> codes;
    for (const auto& post : FPosts.TakePosts(WM_QUEUE_CHANGED)) {
      if (post.WParam == reinterpret_cast<TMessageParam>(&queue))
        codes.push_back(static_cast<int>(post.LParam));
    }
    return codes;
  }
  // The codes posted for each of the two queues since the last call.
  std::pair<std::vector<int>, std::vector<int>> CodesAB() {
    std::vector<int> a, b;
    for (const auto& post : FPosts.TakePosts(WM_QUEUE_CHANGED)) {
      if (post.WParam == reinterpret_cast<TMessageParam>(&A)) a.push_back(static_cast<int>(post.LParam));
      if (post.WParam == reinterpret_cast<TMessageParam>(&B)) b.push_back(static_cast<int>(post.LParam));
    }
    return {a, b};
  }

  test::PostRecorder FPosts;
  const std::string FolderA, FolderB;
  TEmailMsgList A{"A"}, B{"B"};
};

// ---------------------------------------------------------------------------
// Loading

TEST_F(EmailMsgListTest, LoadFolderTakesEmlFilesWithoutReadingThem) {
  const std::string folder = FRoot.Sub("load");
  for (const char* name : {"a.eml", "B.EML", "c.Eml"})
    WriteMessageFile(folder, name, MailText(name, ""));
  // What an interrupted save leaves, hidden files, other files, a folder.
  WriteMessageFile(folder, ".a.eml.Xy12Zq", "half");
  WriteMessageFile(folder, ".hidden.eml", MailText("hidden", ""));
  WriteMessageFile(folder, "notes.txt", "not mail");
  WriteMessageFile(folder + "/sub.eml", "d.eml", MailText("deeper", ""));
  std::filesystem::create_symlink(folder + "/a.eml", folder + "/link.eml");

  TEmailMsgList queue("load");
  Codes(queue);
  ASSERT_TRUE(queue.LoadFolder(folder + "/"));
  EXPECT_EQ(queue.Folder(), folder);
  Lines names;
  for (const TEmailMsgRef& msg : queue.Snapshot()) {
    names.push_back(std::filesystem::path(msg->GetFileName()).filename().string());
    EXPECT_FALSE(msg->IsLoaded());
    EXPECT_EQ(msg->GetList(), &queue);
  }
  EXPECT_EQ(names, (Lines{"B.EML", "a.eml", "c.Eml"}));
  EXPECT_EQ(Codes(queue), (std::vector<int>{qc_Added, qc_Added, qc_Added}));

  // Loading again adds only what is new.
  EXPECT_TRUE(queue.LoadFolder(folder));
  EXPECT_EQ(queue.Count(), 3);
  WriteMessageFile(folder, "new.eml", MailText("new", ""));
  EXPECT_TRUE(queue.LoadFolder(folder));
  ASSERT_EQ(queue.Count(), 4);
  EXPECT_EQ(queue.Items(3)->GetFileName(), folder + "/new.eml");
  EXPECT_EQ(queue.Items(4), nullptr);

  TEmailMsgList missing("missing");
  EXPECT_FALSE(missing.LoadFolder(FRoot.Sub("no such folder")));
  EXPECT_EQ(missing.Count(), 0);
}

// ---------------------------------------------------------------------------
// Adding, removing and moving

TEST_F(EmailMsgListTest, AddMovesTheFileAndTakesTheMessageFromItsQueue) {
  TEmailMsgRef msg = Saved(A, "Same subject");
  TEmailMsgRef other = Saved(B, "Same subject");
  const std::string oldPath = msg->GetFileName();
  const std::string otherPath = other->GetFileName();
  EXPECT_EQ(std::filesystem::path(oldPath).parent_path(), FolderA);
  EXPECT_NE(oldPath.find("/Same_subject("), std::string::npos) << oldPath;
  CodesAB();

  // Into B, beside a message of the same subject: both files stay whole.
  EXPECT_EQ(B.Add(msg), 1);
  EXPECT_EQ(msg->GetList(), &B);
  EXPECT_EQ(A.Count(), 0);
  EXPECT_FALSE(std::filesystem::exists(oldPath));
  EXPECT_EQ(std::filesystem::path(msg->GetFileName()).parent_path(), FolderB);
  EXPECT_NE(msg->GetFileName(), otherPath);
  EXPECT_EQ(MessagePartOf(ReadFileBytes(msg->GetFileName())), MailText("Same subject", ""));
  EXPECT_EQ(MessagePartOf(ReadFileBytes(otherPath)), MailText("Same subject", ""));
  EXPECT_EQ(CodesAB(), std::make_pair(std::vector<int>{qc_Removed}, std::vector<int>{qc_Added}));

  // Added again: the same place, a new free name in the same folder.
  const std::string inB = msg->GetFileName();
  EXPECT_EQ(B.Add(msg), 1);
  EXPECT_NE(msg->GetFileName(), inB);
  EXPECT_EQ(test::EmlFiles(FolderB).size(), 2u);
  EXPECT_EQ(CodesAB().second, std::vector<int>{qc_Added});

  // Removing leaves the file and the message alone.
  EXPECT_EQ(B.Remove(msg), 1);
  EXPECT_EQ(msg->GetList(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(msg->GetFileName()));
  EXPECT_EQ(B.Remove(msg), -1);
  EXPECT_EQ(CodesAB().second, (std::vector<int>{qc_Removed, qc_Removed}));
  EXPECT_EQ(A.Add(msg), 0);
  EXPECT_EQ(std::filesystem::path(msg->GetFileName()).parent_path(), FolderA);
}

TEST_F(EmailMsgListTest, MoveReordersTheQueue) {
  std::vector<TEmailMsgRef> m;
  for (int i = 0; i < 3; ++i) m.push_back(TEmailMsg::Create(&A));
  auto order = [&] {
    std::vector<int> out;
    for (const TEmailMsgRef& msg : A.Snapshot())
      out.push_back(static_cast<int>(std::find(m.begin(), m.end(), msg) - m.begin()));
    return out;
  };
  A.Move(2, m[0]);
  EXPECT_EQ(order(), (std::vector<int>{1, 2, 0}));
  A.Move(m[0], 0);
  EXPECT_EQ(order(), (std::vector<int>{0, 1, 2}));
  A.Move(99, m[1]);
  EXPECT_EQ(order(), (std::vector<int>{0, 2, 1}));
  TEmailMsgRef stranger = TEmailMsg::Create();
  A.Move(0, stranger);
  EXPECT_EQ(order(), (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(A.IndexOf(stranger), -1);
  for (const TEmailMsgRef& msg : m) msg->FSetFlaggedDeleted(true);
}

// A file that cannot be moved stays under its old name, and the message
// keeps that name: no save can then leave a second copy.
TEST_F(EmailMsgListTest, AFailedMoveKeepsTheFileAndItsName) {
  TEmailMsgRef msg = Saved(A, "stuck");
  const std::string path = msg->GetFileName();
  ASSERT_TRUE(test::WriteFileBytes(FRoot.Sub("a file"), "x"));
  TEmailMsgList blocked("blocked");
  blocked.SetFolder(FRoot.Sub("a file") + "/queue");
  test::LogRecorder log;
  EXPECT_EQ(blocked.Add(msg), 0);
  EXPECT_EQ(msg->GetList(), &blocked);
  EXPECT_EQ(msg->GetFileName(), path);
  EXPECT_TRUE(std::filesystem::exists(path));
  bool logged = false;
  for (const auto& record : log.Records()) logged |= record.Text.find("Could not move") == 0;
  EXPECT_TRUE(logged);
  msg->SetText(MailText("stuck", "", "changed\r\n"));
  EXPECT_TRUE(msg->SaveToFile());
  EXPECT_EQ(test::EmlFiles(FolderA).size(), 1u);
  EXPECT_EQ(MessagePartOf(ReadFileBytes(path)), MailText("stuck", "", "changed\r\n"));
  blocked.Remove(msg);
}

// ---------------------------------------------------------------------------
// Obliteration

// A local account with one remote account (Local, Remote).
class EmailMsgListAccounts : public EmailMsgListTest, public test::OneRemoteAccount {};

TEST_F(EmailMsgListAccounts, ObliterationSetsTheUidlStateDeletesTheFileAndFreesTheMessage) {
  const struct {
    bool deleteRemote;
    TUidlStatus state;
    const char* reason;
  } rows[] = {{true, us_Deleted, "Cull Pendhold"}, {false, us_DeletedLocal, ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reason);
    TEmailMsgRef msg = Saved(A, "gone");
    msg->FSetUidl("U1");
    msg->FSetSourceRemoteAccount(Remote);
    const std::string path = msg->GetFileName();
    std::weak_ptr<TEmailMsg> watch = msg;
    msg.reset();
    CodesAB();
    test::LogRecorder log;
    ASSERT_TRUE(A.ObliterateAt(0, row.deleteRemote, row.reason));
    EXPECT_EQ(Remote->GetUidlStatus("U1"), row.state);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(A.Count(), 0);
    EXPECT_EQ(CodesAB().first, (std::vector<int>{qc_Deleted, qc_Obliterated}));
    int tagged = 0;
    for (const auto& record : log.Records()) {
      if (record.Text.find("Tagging Uidl") != 0) continue;
      ++tagged;
      EXPECT_EQ(record.Service, row.reason);
      EXPECT_EQ(record.Text,
                "Tagging Uidl U1 for removal from remote account: " + Remote->UniqueId());
      EXPECT_EQ(record.Detail, 6);
      EXPECT_FALSE(record.Error);
    }
    EXPECT_EQ(tagged, *row.reason ? 1 : 0);
  }

  EXPECT_FALSE(A.ObliterateAt(0, true, "x"));
  TEmailMsgRef elsewhere = Saved(B, "elsewhere");
  EXPECT_FALSE(A.Obliterate(elsewhere, true, "x"));
  EXPECT_TRUE(std::filesystem::exists(elsewhere->GetFileName()));

  // A second holder keeps the object, but it never writes the file again.
  EXPECT_TRUE(B.Obliterate(elsewhere, false, ""));
  elsewhere->SetText(MailText("back?", ""));
  EXPECT_FALSE(elsewhere->SaveToFile());
  elsewhere.reset();
  EXPECT_TRUE(test::EmlFiles(FolderB).empty());
}

TEST_F(EmailMsgListAccounts, ObliterateFlaggedRemovesTheFlaggedOnly) {
  std::vector<TEmailMsgRef> m;
  for (int i = 0; i < 4; ++i) m.push_back(Saved(A, "m" + std::to_string(i)));
  m[1]->FSetFlaggedDeleted(true);
  m[3]->FSetFlaggedDeleted(true);
  A.ObliterateFlagged(true, "");
  EXPECT_EQ(A.Snapshot(), (std::vector<TEmailMsgRef>{m[0], m[2]}));
  EXPECT_EQ(test::EmlFiles(FolderA).size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(m[1]->GetFileName()));
}

// ---------------------------------------------------------------------------
// Searches

TEST_F(EmailMsgListAccounts, SearchesReadTheFilesAndSkipLockedMessages) {
  {
    TEmailMsgRef first = Saved(A, "first");
    first->FSetUidl("same");
    first->FSetSourceRemoteAccount(Remote);
    TEmailMsgRef second = Saved(A, "second");
    second->FSetUidl("same");
    TEmailMsgRef third = Saved(A, "third");
    third->FSetUidl("other");
    third->FSetSourceRemoteAccount(Remote);
    for (const TEmailMsgRef& msg : {first, second, third}) ASSERT_TRUE(msg->SaveToFile());
  }
  // A fresh queue over the folder knows nothing until it reads the files.
  TEmailMsgList fresh("fresh");
  ASSERT_TRUE(fresh.LoadFolder(FolderA));
  ASSERT_EQ(fresh.Count(), 3);
  auto subject = [](const TEmailMsgRef& msg) { return msg ? msg->GetSubject() : "none"; };
  for (const TEmailMsgRef& msg : fresh.Snapshot()) EXPECT_FALSE(msg->IsLoaded());

  // Two messages share the UIDL: the one nearer the back answers.
  TEmailMsgRef found = fresh.FindByUidl("same");
  ASSERT_NE(found, nullptr);
  const int foundIndex = fresh.IndexOf(found);
  for (const TEmailMsgRef& msg : fresh.Snapshot()) {
    if (msg != found && msg->GetUidl() == "same") {
      EXPECT_LT(fresh.IndexOf(msg), foundIndex);
    }
  }
  {
    // While another thread holds its lock, the search passes it by.
    LockHolder holder(found->MessageLock());
    TEmailMsgRef other = fresh.FindByUidl("same");
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, found);
  }
  EXPECT_EQ(fresh.FindByUidl("missing"), nullptr);
  EXPECT_EQ(subject(fresh.FindByContentId(found->GetContentId())), subject(found));
  EXPECT_EQ(fresh.FindByContentId(-5), nullptr);

  // The remote account named in the side records, which come with the files.
  std::vector<TEmailMsgRef> collected;
  fresh.CollectByRemoteAccount(Remote->UniqueId(), collected);
  ASSERT_EQ(collected.size(), 2u);
  EXPECT_GT(fresh.IndexOf(collected[0]), fresh.IndexOf(collected[1]));
  TRemoteAccountRef successor = Local->RemoteAccounts->Add();
  EXPECT_EQ(fresh.ReassignRemoteAccount(Remote->UniqueId(), successor), 2);
  EXPECT_EQ(successor->GetUidlStatus("same"), us_Downloaded);
  EXPECT_EQ(successor->GetUidlStatus("other"), us_Downloaded);
  EXPECT_EQ(Remote->UidlCount(), 0);
  EXPECT_EQ(fresh.ReassignRemoteAccount(Remote->UniqueId(), successor), 0);
}

// ---------------------------------------------------------------------------
// Counts

TEST_F(EmailMsgListAccounts, CountsNeverWaitAndAnswerTheirLastValuesWhileTheQueueIsBusy) {
  const TDateTime now = EncodeDateTime(2005, 6, 1, 12, 0, 0);
  ScopedClockForTests clock(now);
  SetOptions([](TProcessingOptions& o) { o.NumSecsDelay = 600; });
  const double minute = 1.0 / (24 * 60);
  struct Row {
    const char* name;
    double sendIn;  // minutes from now
  };
  const Row rows[] = {{"past", -60}, {"soon", 5}, {"later", 60},  {"claimed", 60},
                      {"flagged", -60}, {"locked", 60}, {"read", 60}};
  std::map<std::string, TEmailMsgRef> m;
  for (const Row& row : rows) {
    m[row.name] = Saved(A, row.name);
    m[row.name]->FSetSendTime(now + row.sendIn * minute);
    m[row.name]->FSetUidl(std::string("uidl-") + row.name);
    m[row.name]->FSetSourceRemoteAccount(Remote);
  }
  // A message whose file has not been read counts as due.
  const std::string unreadPath =
      WriteMessageFile(FolderA, "unread.eml", MailText("unread", ""));
  A.LoadFolder(FolderA);
  ASSERT_EQ(A.Count(), 8);
  m["flagged"]->FSetFlaggedDeleted(true);
  Remote->SetUidlStatus("uidl-read", us_Read);
  Remote->SetUidlStatus("uidl-locked", us_Read);
  TScopedClaimOwner owner;
  std::thread([&] { m["claimed"]->Lock(owner.Token(), "claim"); }).join();

  // A lock held elsewhere would make a waiting count time out.
  TMutexCriticalSection::SetTimeOutForTests(300);
  std::int32_t due = 0, soon = 0, later = 0, read = 0, unread = 0;
  {
    LockHolder holder(m["locked"]->MessageLock());
    A.CountOutgoing(due, soon, later);
    A.CountRead(read, unread);
  }
  EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(4, 1, 2));  // past claimed locked unread
  EXPECT_EQ(std::make_pair(read, unread), std::make_pair(1, 6));
  EXPECT_EQ(A.CountNotDeleted(), 7);

  // While another thread holds the queue, the counts answer their last
  // values at once.
  m["later"]->FSetSendTime(now - minute);
  m["read"]->FSetFlaggedDeleted(true);
  {
    LockHolder holder(A.ListLock());
    A.CountOutgoing(due, soon, later);
    EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(4, 1, 2));
    A.CountRead(read, unread);
    EXPECT_EQ(std::make_pair(read, unread), std::make_pair(1, 6));
    EXPECT_EQ(A.CountNotDeleted(), 7);
  }
  // A queue that only this count counts (the unprocessed-incoming one)
  // answers its own last count too.
  for (int i = 0; i < 3; ++i) Saved(B, "incoming");
  EXPECT_EQ(B.CountNotDeleted(), 3);
  {
    LockHolder holder(B.ListLock());
    EXPECT_EQ(B.CountNotDeleted(), 3);
  }
  TMutexCriticalSection::SetTimeOutForTests(0);
  A.CountOutgoing(due, soon, later);
  EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(4, 1, 1));
  A.CountRead(read, unread);
  EXPECT_EQ(std::make_pair(read, unread), std::make_pair(1, 5));
  EXPECT_EQ(A.CountNotDeleted(), 6);
  std::filesystem::remove(unreadPath);
}

TEST_F(EmailMsgListTest, SendTimes) {
  const TDateTime now = EncodeDateTime(2005, 6, 1, 12, 0, 0);
  ScopedClockForTests clock(now);
  SetOptions([](TProcessingOptions& o) { o.NumSecsDelay = 600; });
  const double minute = 1.0 / (24 * 60);
  std::vector<TEmailMsgRef> m;
  for (double in : {-60.0, 5.0, 60.0}) {
    m.push_back(Saved(A, "s"));
    m.back()->FSetSendTime(now + in * minute);
  }
  CodesAB();
  ScopedClockForTests later(now + 30 * minute);
  A.SendDueNow();
  const TDateTime newNow = now + 30 * minute;
  EXPECT_NEAR(m[0]->GetSendTime(), newNow, 2.0 / 86400);
  EXPECT_NEAR(m[1]->GetSendTime(), newNow, 2.0 / 86400);
  EXPECT_NEAR(m[2]->GetSendTime(), now + 60 * minute, 2.0 / 86400);
  A.SendAllNow();
  EXPECT_NEAR(m[2]->GetSendTime(), newNow, 2.0 / 86400);
  EXPECT_EQ(CodesAB().first, (std::vector<int>{qc_SendDueNow, qc_SendAllNow}));
}

// ---------------------------------------------------------------------------
// Destroying

TEST_F(EmailMsgListTest, FreeingTheQueueSavesItsChangedAndNeverSavedMessages) {
  const std::string folder = FRoot.Sub("freed");
  {
    TEmailMsgList queue("freed");
    queue.LoadFolder(folder);
    TEmailMsgRef changed = TEmailMsg::Create(&queue);
    changed->SetText(MailText("changed", ""));
    ASSERT_TRUE(changed->SaveToFile());
    changed->SetText(MailText("changed", "", "new\r\n"));
    TEmailMsgRef fresh = TEmailMsg::Create(&queue);
    fresh->SetText(MailText("never saved", ""));
    TEmailMsgRef gone = TEmailMsg::Create(&queue);
    gone->SetText(MailText("gone", ""));
    ASSERT_TRUE(gone->SaveToFile());
    gone->FSetFlaggedDeleted(true);
    CodesAB();
  }
  std::vector<std::string> bodies;
  for (const std::string& name : Entries(folder))
    bodies.push_back(MessagePartOf(ReadFileBytes(folder + "/" + name)));
  std::sort(bodies.begin(), bodies.end());
  EXPECT_EQ(bodies, (Lines{MailText("changed", "", "new\r\n"), MailText("never saved", "")}));
}

}  // namespace
}  // namespace halvorn
