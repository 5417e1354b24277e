#include "message/mail_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/files/durability_batch.h"
#include "foundation/files/file_helpers.h"
#include "message/accounts_file.h"
#include "message/accounts_saver.h"
#include "message/partial_messages.h"
#include "repository_test_support.h"
#include "support/durability_recording.h"
#include "support/store_test_support.h"

namespace halvorn {
namespace {

using test::MailText;
using test::MessagePartOf;
using test::ReadFileBytes;
using Lines = std::vector<std::string>;

class MailStoreTest : public test::RepositoryTest, public test::OneRemoteAccount {
 protected:
  static TMailStore& Store() { return GetMailStore(); }

  // A message of the queue, saved, with a UIDL and (when given) a source
  // account, and the properties given.
  TEmailMsgRef Saved(TEmailMsgList& queue, const std::string& subject, const std::string& uidl,
                     const TRemoteAccountRef& source,
                     const std::vector<std::pair<std::string, std::string>>& properties = {}) {
    TEmailMsgRef msg = TEmailMsg::Create(&queue);
    msg->SetText(MailText(subject, subject + "@store"));
    if (!uidl.empty()) msg->FSetUidl(uidl);
    if (source) msg->FSetSourceRemoteAccount(source);
    for (const auto& [name, value] : properties) msg->SetProperty(name, value);
    EXPECT_TRUE(msg->SaveToFile());
    return msg;
  }

  // The subjects of the messages whose files lie in the folder; a hidden
  // file (a temporary one) is "(hidden)".
  static Lines SubjectsOnDisk(const std::string& folder) {
    Lines subjects;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_regular_file()) continue;
      if (name[0] == '.') {
        subjects.push_back("(hidden)");
        continue;
      }
      const std::string text = MessagePartOf(ReadFileBytes(folder + "/" + name));
      const std::size_t at = text.find("Subject: ");
      subjects.push_back(at == std::string::npos
                             ? "?"
                             : text.substr(at + 9, text.find("\r\n", at) - at - 9));
    }
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  static std::string Folder(int queue) { return QueueDescription(queue).Folder(kSingleUserName); }
};

// The queues, their names and folders come from one table; the store's
// folders hold each of them once.
TEST_F(MailStoreTest, OneTableNamesTheQueuesAndTheirFolders) {
  const auto queues = Repository().Queues();
  std::vector<std::string> folders = StoreFolders(kSingleUserName);
  for (int i = 0; i < kQueueCount; ++i) {
    EXPECT_EQ(queues[i]->Name(), QueueDescription(i).Name);
    EXPECT_EQ(queues[i]->Folder(), Folder(i));
    EXPECT_EQ(std::count(folders.begin(), folders.end(), Folder(i)), 1);
  }
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(std::adjacent_find(folders.begin(), folders.end()), folders.end());
}

// The look-ups of the download, the POP3 server and the processing read the
// index, which a queue fills from the head of each file and its side record
// when it loads: with every message file emptied after the load, they still
// answer, and no message is loaded.
TEST_F(MailStoreTest, LookUpsReadTheIndexNeverAMessage) {
  TRemoteAccountRef other = Local->RemoteAccounts->Add();
  Saved(*Repository().UnProcessedIncoming(), "fresh", "u1", Remote,
        {{kPropStartedProcessing, kMarkFinished}});
  Saved(*Repository().ProcessedIncoming(), "read", "u2", Remote);
  Saved(*Repository().Pendhold(), "held", "u3", other, {{kPropExceptedProcessing, "1"}});
  const std::int32_t size = Repository().ProcessedIncoming()->Items(0)->GetSize();
  // A fresh start over the same files.
  EndMessageRepositoryModule();
  StartMessageRepositoryModule();
  TMessageRepository& repo = Repository();
  for (int i = 0; i < kQueueCount; ++i)
    for (const std::string& name : test::EmlFiles(Folder(i)))
      ASSERT_TRUE(test::WriteFileBytes(Folder(i) + "/" + name, "emptied"));

  EXPECT_TRUE(Store().HoldsUidl(Remote->UniqueId(), "u1"));
  EXPECT_TRUE(Store().HoldsUidl(Remote->UniqueId(), "u2"));
  EXPECT_FALSE(Store().HoldsUidl(Remote->UniqueId(), "u3"));  // another account's
  EXPECT_FALSE(Store().HoldsUidl(Remote->UniqueId(), "u9"));
  EXPECT_EQ(Store().UidlsOfAccount(other->UniqueId()), (std::set<std::string>{"u3"}));
  const TEmailMsgRef fresh = repo.UnProcessedIncoming()->Items(0);
  EXPECT_TRUE(Store().IsProcessedDuplicate(*fresh, "u2", Remote->UniqueId()));
  EXPECT_FALSE(Store().IsProcessedDuplicate(*fresh, "u2", other->UniqueId()));
  EXPECT_EQ(repo.FindByUidl("u3"), repo.Pendhold()->Items(0));
  EXPECT_EQ(fresh->IndexEntry().StartedMark, kMarkFinished);
  EXPECT_TRUE(repo.Pendhold()->Items(0)->IndexEntry().Excepted);
  EXPECT_EQ(repo.ProcessedIncoming()->Items(0)->GetSize(), size);
  Remote->SetUidlStatus("u2", us_Deleted);
  EXPECT_TRUE(Store().IsExpunged(*repo.ProcessedIncoming()->Items(0)));
  for (TEmailMsgList* queue : repo.Queues())
    for (const TEmailMsgRef& msg : queue->Snapshot()) EXPECT_FALSE(msg->IsLoaded());
}

// A downloaded message is in the store only once its batch commits: before,
// its file is a hidden temporary one, its UIDL is not recorded, and only the
// presence check (which must not fetch it twice) knows it; after, it is in
// its queue as the server sent it, its UIDL recorded, its text released and
// the processing woken.
TEST_F(MailStoreTest, ADownloadedMessageIsStoredOnlyWhenItsBatchCommits) {
  int wakes = 0;
  Store().SetArrivalWaker([&] { ++wakes; }, this);
  TEmailMsgList& queue = *Repository().UnProcessedIncoming();
  TDownloadedMessage message;
  message.Lines.SetText("Subject: Downloaded\r\nMessage-Id: <d@store>\r\n\r\nline\r\n");
  message.ReceivedLine = "Received: from server by us";
  message.Uidl = "d1";
  message.Account = Remote;
  message.Mailbox = "user@example.com";
  {
    TMailStore::TBatch batch(Store());
    const TEmailMsgRef msg = Store().StoreDownloaded(batch, message);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(SubjectsOnDisk(Folder(0)), (Lines{"(hidden)"}));
    EXPECT_TRUE(Store().HoldsUidl(Remote->UniqueId(), "d1"));
    EXPECT_EQ(Remote->GetUidlStatus("d1"), us_NonExistant);
    EXPECT_EQ(batch.MessageCount(), 1);
    EXPECT_EQ(batch.Commit(), "");
    ASSERT_EQ(queue.Count(), 1);
    EXPECT_EQ(queue.Items(0), msg);
    EXPECT_FALSE(msg->IsLoaded());
    EXPECT_EQ(wakes, 1);
  }
  Store().RemoveArrivalWaker(this);
  EXPECT_EQ(Remote->GetUidlStatus("d1"), us_Downloaded);
  EXPECT_EQ(SubjectsOnDisk(Folder(0)), (Lines{"Downloaded"}));
  EXPECT_EQ(MessagePartOf(ReadFileBytes(queue.Items(0)->GetFileName())),
            "Received: from server by us\r\nSubject: Downloaded\r\nMessage-Id: <d@store>\r\n\r\n"
            "line\r\n");
  EXPECT_EQ(queue.Items(0)->IndexEntry().Uidl, "d1");
  // A batch dropped before its commit stores nothing and records nothing.
  message.Uidl = "d2";
  {
    TMailStore::TBatch batch(Store());
    ASSERT_NE(Store().StoreDownloaded(batch, message), nullptr);
  }
  EXPECT_EQ(queue.Count(), 1);
  EXPECT_FALSE(Store().HoldsUidl(Remote->UniqueId(), "d2"));
  EXPECT_EQ(Remote->GetUidlStatus("d2"), us_NonExistant);
  EXPECT_EQ(SubjectsOnDisk(Folder(0)), (Lines{"Downloaded"}));
}

// A processed message's new text goes to processed-incoming at the commit,
// the old file stays in unprocessed-incoming until then, and the claim keeps
// everyone else away meanwhile.
TEST_F(MailStoreTest, AProcessedMessageReplacesItsOldFileAtTheCommit) {
  TMessageRepository& repo = Repository();
  const TEmailMsgRef msg = Saved(*repo.UnProcessedIncoming(), "Before", "p1", Remote);
  const TScopedClaimOwner owner;
  ASSERT_TRUE(msg->Lock(owner.Token(), "test"));
  {
    TMailStore::TBatch batch(Store());
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      msg->GetHeader()->SetValue("Subject", "After");
    }
    msg->SetProperty(kPropStartedProcessing, kMarkProcessing);
    ASSERT_TRUE(Store().CommitProcessed(batch, msg, owner.Token(), "test"));
    EXPECT_EQ(msg->GetList(), repo.ProcessedIncoming());
    EXPECT_EQ(SubjectsOnDisk(Folder(0)), (Lines{"Before"}));
    EXPECT_EQ(SubjectsOnDisk(Folder(1)), (Lines{"(hidden)"}));
    EXPECT_EQ(batch.Commit(), "");
    EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
  }
  EXPECT_TRUE(SubjectsOnDisk(Folder(0)).empty());
  EXPECT_EQ(SubjectsOnDisk(Folder(1)), (Lines{"After"}));
  EXPECT_EQ(std::filesystem::path(msg->GetFileName()).parent_path().string(), Folder(1));
  EXPECT_EQ(ReadFileBytes(msg->GetFileName()).find(kPropStartedProcessing), std::string::npos);
}

// QUIT: the deletions are saved in the accounts file (durable) before any
// file goes, and the removals are flushed before the call returns, so the
// server's "+OK" follows them.
TEST_F(MailStoreTest, QuitSavesTheDeletionsBeforeTheFilesGoAndCommitsBeforeItReturns) {
  const std::string accountsPath = FRoot.Sub("QuorAccounts.txt");
  SetAccountsSaver([&] { return SaveAccountsFile(accountsPath, "user", false); });
  TMessageRepository& repo = Repository();
  const TEmailMsgRef kept = Saved(*repo.ProcessedIncoming(), "Kept", "q1", Remote);
  const TEmailMsgRef gone = Saved(*repo.ProcessedIncoming(), "Gone", "q2", Remote);
  const std::string goneFile = std::filesystem::path(gone->GetFileName()).filename().string();
  gone->FSetFlaggedDeleted(true);
  test::DurabilityRecording recording;
  EXPECT_EQ(Store().ExpungeOnQuit({gone}, {}, "Deleted by the mail reader"), "");
  SetAccountsSaver({});
  const Lines lines = recording.Lines();
  auto first = [&](const std::string& prefix) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }) -
           lines.begin();
  };
  const long accountsPlaced = first("Rename .QuorAccounts.txt");
  const long removal = first("Remove " + goneFile);
  ASSERT_LT(removal, static_cast<long>(lines.size()));
  ASSERT_LT(accountsPlaced, removal);
  EXPECT_EQ(std::count(lines.begin() + accountsPlaced, lines.begin() + removal, "Sync"), 1);
  EXPECT_EQ(lines.back(), "Sync");
  EXPECT_EQ(Remote->GetUidlStatus("q2"), us_Deleted);
  EXPECT_NE(ReadFileBytes(accountsPath).find("q2,2"), std::string::npos);
  EXPECT_EQ(SubjectsOnDisk(Folder(1)), (Lines{"Kept"}));
  EXPECT_EQ(repo.ProcessedIncoming()->Count(), 1);
  EXPECT_EQ(kept->GetList(), repo.ProcessedIncoming());
}

// What a crash leaves, and what Recover makes of it: the temporary files
// of writes that never finished go, marked messages go on (a finished one
// without its mark), what the reader deleted goes, and a join left beside
// its pieces joins the queue. (The journal of an interrupted commit is
// replayed too: durability_batch_test.)
TEST_F(MailStoreTest, RecoverPutsRightWhatACrashLeft) {
  TMessageRepository& repo = Repository();
  Saved(*repo.UnProcessedIncoming(), "Finished", "r1", Remote,
        {{kPropStartedProcessing, kMarkFinished}});
  Saved(*repo.UnProcessedIncoming(), "Raised", "r2", Remote, {{kPropExceptedProcessing, "1"}});
  Saved(*repo.UnProcessedIncoming(), "Waiting", "r3", Remote);
  Saved(*repo.ProcessedIncoming(), "Deleted", "r4", Remote);
  Remote->SetUidlStatus("r4", us_Deleted);
  test::WriteFileBytes(Folder(0) + "/.Waiting.eml.Ab12Cd", "half a write");
  {
    TEmailMsgRef joined = TEmailMsg::Create();
    joined->SetText("Subject: Joined\r\n\r\nwhole\r\n");
    joined->SetProperty(kPropPartialId, "set");
    ASSERT_TRUE(joined->SaveToNamedFile(GetPartialsDir(kSingleUserName) + "/" +
                                        EncodePartialMessageId("set") + ".joined"));
    joined->FSetFlaggedDeleted(true);
  }
  EndMessageRepositoryModule();
  StartMessageRepositoryModule();
  EXPECT_GE(Store().Recover(), 5);
  EXPECT_EQ(SubjectsOnDisk(Folder(0)), (Lines{"Joined", "Waiting"}));
  EXPECT_EQ(SubjectsOnDisk(Folder(1)), (Lines{"Finished", "Raised"}));
  for (const std::string& name : test::EmlFiles(Folder(1))) {
    const std::string bytes = ReadFileBytes(Folder(1) + "/" + name);
    EXPECT_EQ(bytes.find(kPropStartedProcessing), std::string::npos) << name;
    if (bytes.find("Raised") != std::string::npos) {
      EXPECT_NE(bytes.find(kPropExceptedProcessing), std::string::npos);
    }
  }
  EXPECT_EQ(Remote->GetUidlStatus("r4"), us_Deleted);
  TStringList partials;
  ListFilesInDir(GetPartialsDir(kSingleUserName), "*", false, 100, partials);
  EXPECT_EQ(partials.Count(), 0);
  EXPECT_EQ(Repository().UnProcessedIncoming()->Count(), 2);
  EXPECT_EQ(Repository().ProcessedIncoming()->Count(), 2);
}

}  // namespace
}  // namespace halvorn
