#include "message/message_repository.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/random_source.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/heartbeat.h"
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

class MessageRepositoryTest : public test::RepositoryTest {
 protected:
  // The codes posted for each queue of the repository since the last call,
  // by queue name.
  std::map<std::string, std::vector<int>> Codes() {
    std::map<std::string, std::vector<int>> codes;
    for (const auto& post : FPosts.TakePosts(WM_QUEUE_CHANGED)) {
      for (TEmailMsgList* queue : Repository().Queues()) {
        if (post.WParam == reinterpret_cast<TMessageParam>(queue))
          codes[queue->Name()].push_back(static_cast<int>(post.LParam));
      }
    }
    return codes;
  }

  static std::string FolderOf(const TEmailMsgRef& msg) {
    return std::filesystem::path(msg->GetFileName()).parent_path().filename().string();
  }

  // A message created in the queue and saved.
  static TEmailMsgRef Saved(TEmailMsgList* queue, const std::string& subject) {
    TEmailMsgRef msg = TEmailMsg::Create(queue);
    msg->SetText(MailText(subject, subject + "@example.com"));
    EXPECT_TRUE(msg->SaveToFile());
    return msg;
  }

  test::PostRecorder FPosts;
};

// ---------------------------------------------------------------------------
// Loading

TEST_F(MessageRepositoryTest, TheFirstCallLoadsTheSixFoldersWithoutReadingAFile) {
  const std::string user = kSingleUserName;
  const std::string folders[] = {GetUnprocessedIncomingDir(user), GetProcessedIncomingDir(user),
                                 GetUnprocessedOutgoingDir(user), GetProcessedOutgoingDir(user),
                                 GetPendholdDir(user),            GetTrashDir(user)};
  for (int i = 0; i < 6; ++i) {
    for (int k = 0; k <= i; ++k)
      WriteMessageFile(folders[i], "m" + std::to_string(k) + (k % 2 ? ".EML" : ".eml"),
                       MailText("queue " + std::to_string(i), ""));
    WriteMessageFile(folders[i], ".m0.eml.Ab12Cd", "left by an interrupted save");
    WriteMessageFile(folders[i] + "/sub", "inner.eml", MailText("inner", ""));
  }
  std::vector<std::string> progress;
  RegisterThreadCallback([&](const std::string& text, int, int) {
    if (!text.empty()) progress.push_back(text);
    return false;
  });
  TMessageRepository* repository = GetMessageRepository("somebody");
  UnregisterThreadCallback();
  ASSERT_NE(repository, nullptr);
  EXPECT_EQ(GetMessageRepository("somebody else"), repository);
  EXPECT_EQ(GlobalMsgReposList().Count(), 1);
  EXPECT_EQ(GlobalMsgReposList().Items(0), repository);
  EXPECT_EQ(repository->UserName(), kSingleUserName);
  EXPECT_EQ(progress, Lines(std::begin(kLoadingTexts), std::end(kLoadingTexts)));
  const Lines names = {"UnProcessedIncoming", "ProcessedIncoming", "UnprocessedOutGoing",
                       "ProcessedOutGoing",   "Pendhold",          "Trash"};
  for (int i = 0; i < 6; ++i) {
    TEmailMsgList* queue = repository->Queues()[i];
    SCOPED_TRACE(queue->Name());
    EXPECT_EQ(queue->Name(), names[i]);
    EXPECT_EQ(queue->Folder(), folders[i]);
    EXPECT_EQ(queue->UserName(), kSingleUserName);
    ASSERT_EQ(queue->Count(), i + 1);
    for (const TEmailMsgRef& msg : queue->Snapshot()) EXPECT_FALSE(msg->IsLoaded());
    // The developer commands load a folder again: nothing is added twice.
    EXPECT_TRUE(queue->LoadFolder(folders[i]));
    EXPECT_EQ(queue->Count(), i + 1);
  }
  EXPECT_EQ(repository->UnProcessedIncoming(), repository->Queues()[0]);
  EXPECT_EQ(repository->Trash(), repository->Queues()[5]);
  // The accounts' user ids load the same repository.
  GlobalLocalAccounts().Add()->SetUserId("someone");
  LoadAllRepositories();
  EXPECT_EQ(GlobalMsgReposList().Count(), 1);
}

TEST_F(MessageRepositoryTest, TwoThreadsAskingAtOnceGetOneRepository) {
  for (int k = 0; k < 50; ++k)
    WriteMessageFile(GetUnprocessedIncomingDir(kSingleUserName), std::to_string(k) + ".eml",
                     MailText("m", ""));
  std::vector<TMessageRepository*> answers(4);
  std::vector<std::thread> threads;
  for (auto& answer : answers) threads.emplace_back([&answer] { answer = GetMessageRepository("x"); });
  for (std::thread& thread : threads) thread.join();
  for (TMessageRepository* answer : answers) EXPECT_EQ(answer, answers[0]);
  EXPECT_EQ(answers[0]->UnProcessedIncoming()->Count(), 50);
}

// ---------------------------------------------------------------------------
// Moves, holds, trash and obliteration

// A local account with one remote account (Local, Remote).
class RepositoryMoves : public MessageRepositoryTest, public test::OneRemoteAccount {};

TEST_F(RepositoryMoves, MovesHoldsAndTheTrashActOnDiskAndInMemory) {
  const TDateTime now = EncodeDateTime(2006, 2, 3, 10, 0, 0);
  ScopedClockForTests clock(now);
  TMessageRepository& repo = Repository();
  TEmailMsgRef msg = Saved(repo.UnProcessedIncoming(), "moved");
  msg->FSetUidl("U7");
  msg->FSetSourceRemoteAccount(Remote);
  const std::string firstPath = msg->GetFileName();
  Codes();

  EXPECT_TRUE(repo.MoveMailMessage(msg, repo.UnProcessedIncoming(), repo.UnProcessedIncoming()));
  EXPECT_FALSE(repo.MoveMailMessage(msg, repo.ProcessedIncoming(), repo.Trash()));
  EXPECT_EQ(msg->GetFileName(), firstPath);
  EXPECT_TRUE(Codes().empty());

  EXPECT_TRUE(repo.MoveMailMessage(msg, repo.UnProcessedIncoming(), repo.ProcessedIncoming()));
  EXPECT_EQ(msg->GetList(), repo.ProcessedIncoming());
  EXPECT_EQ(FolderOf(msg), "ProcessedIncoming");
  EXPECT_FALSE(std::filesystem::exists(firstPath));
  EXPECT_EQ(repo.UnProcessedIncoming()->Count(), 0);
  EXPECT_EQ(Codes(), (std::map<std::string, std::vector<int>>{
                         {"ProcessedIncoming", {qc_Added}}, {"UnProcessedIncoming", {qc_Removed}}}));

  // Held with two reasons; the expiry is the release time.
  EXPECT_TRUE(repo.SendToPendhold(msg, "First reason\r\n\r\nSecond, with a comma\r\n"));
  EXPECT_TRUE(msg->IsInPendhold());
  EXPECT_EQ(FolderOf(msg), "Pendhold");
  TStringList reasons;
  reasons.SetCommaText(msg->GetInfoValue(TEmailInfoKey::PendholdText));
  EXPECT_EQ(reasons.ToVector(), (Lines{"First reason", "Second, with a comma"}));
  EXPECT_NEAR(msg->GetSendTime(), now + 10, 2.0 / 86400);
  EXPECT_EQ(Codes(), (std::map<std::string, std::vector<int>>{
                         {"Pendhold", {qc_Added}}, {"ProcessedIncoming", {qc_Removed}}}));

  // Held again later: the reasons follow "Also:", the expiry stays.
  {
    ScopedClockForTests later(now + 3);
    EXPECT_TRUE(repo.SendToPendhold(msg, "Third\r\nFirst reason"));
  }
  reasons.SetCommaText(msg->GetInfoValue(TEmailInfoKey::PendholdText));
  EXPECT_EQ(reasons.ToVector(),
            (Lines{"First reason", "Second, with a comma", "Also:", "Third"}));
  EXPECT_NEAR(msg->GetSendTime(), now + 10, 2.0 / 86400);
  EXPECT_EQ(msg->GetList(), repo.Pendhold());
  EXPECT_TRUE(Codes().empty());

  // To the trash, twice; then removed for good.
  EXPECT_TRUE(repo.SendToTrash(msg, 4, "Junk"));
  EXPECT_TRUE(msg->IsInTrash());
  EXPECT_EQ(FolderOf(msg), "Trash");
  EXPECT_EQ(msg->DeleteCode(), 4);
  EXPECT_EQ(msg->DeleteReason(), "Junk");
  EXPECT_TRUE(msg->MoveToTrash(5, "Again"));
  EXPECT_EQ(msg->DeleteCode(), 5);
  EXPECT_EQ(test::EmlFiles(repo.Trash()->Folder()).size(), 1u);
  const std::string trashPath = msg->GetFileName();
  EXPECT_TRUE(msg->Obliterate(true, "Cull"));
  EXPECT_EQ(Remote->GetUidlStatus("U7"), us_Deleted);
  EXPECT_FALSE(std::filesystem::exists(trashPath));
  for (TEmailMsgList* queue : repo.Queues()) EXPECT_EQ(queue->Count(), 0);

  // A message of no queue is neither held nor trashed.
  TEmailMsgRef loose = TEmailMsg::Create();
  loose->SetText(MailText("loose", ""));
  EXPECT_FALSE(repo.SendToPendhold(loose, "why"));
  EXPECT_FALSE(repo.SendToTrash(loose, 1, "why"));
  EXPECT_EQ(loose->GetList(), nullptr);
  loose->FSetFlaggedDeleted(true);
}

// A message whose queue is not its own is found where it lies.
TEST_F(RepositoryMoves, HoldingFindsTheQueueThatHoldsTheMessage) {
  TMessageRepository& repo = Repository();
  TEmailMsgRef msg = Saved(repo.ProcessedOutGoing(), "out");
  // Its own queue forgotten (as a queue of another repository would be).
  msg->SetList(nullptr);
  EXPECT_TRUE(repo.SendToPendhold(msg, "r"));
  EXPECT_EQ(msg->GetList(), repo.Pendhold());
  EXPECT_EQ(repo.ProcessedOutGoing()->Count(), 0);
  EXPECT_EQ(FolderOf(msg), "Pendhold");
}

TEST_F(RepositoryMoves, SearchesOverTheSixQueues) {
  TMessageRepository& repo = Repository();
  TEmailMsgRef incoming = Saved(repo.UnProcessedIncoming(), "a");
  TEmailMsgRef held = Saved(repo.Pendhold(), "b");
  TEmailMsgRef claimed = Saved(repo.ProcessedIncoming(), "c");
  TEmailMsgRef failure = Saved(repo.ProcessedIncoming(), "d");
  incoming->FSetUidl("dup");
  held->FSetUidl("dup");
  claimed->FSetUidl("claimed");
  EXPECT_EQ(repo.FindByUidl("dup"), incoming);
  EXPECT_EQ(repo.FindById(held->GetContentId()), held);
  EXPECT_EQ(GlobalMsgReposList().FindMessageById(claimed->GetContentId()), claimed);
  EXPECT_EQ(FindMessageByContentId(-1), nullptr);

  TScopedClaimOwner owner;
  std::thread([&] { claimed->Lock(owner.Token(), "session"); }).join();
  TStringList uidls;
  uidls.SetCommaText("dup,claimed,missing");
  EXPECT_EQ(repo.FlagDeletedByUidls(uidls), 1);
  EXPECT_TRUE(incoming->IsFlaggedDeleted());
  EXPECT_FALSE(held->IsFlaggedDeleted());
  EXPECT_FALSE(claimed->IsFlaggedDeleted());

  EXPECT_FALSE(repo.HasSmtpFailureNotice());
  failure->SetProperty(kPropFailureNotice, "smtp");
  EXPECT_FALSE(repo.HasSmtpFailureNotice());
  failure->SetProperty(kPropFailureNotice, "SMTP");
  EXPECT_TRUE(repo.HasSmtpFailureNotice());

  TRemoteAccountRef successor = Local->RemoteAccounts->Add();
  held->FSetSourceRemoteAccount(Remote);
  failure->FSetSourceRemoteAccount(Remote);
  EXPECT_EQ(repo.ReassignRemoteAccount(Remote->UniqueId(), successor), 2);
  EXPECT_EQ(held->GetSourceRemoteAccount(), successor);

  // ReleaseMessageLocks frees the claims of the owner, and only those.
  TScopedClaimOwner other;
  ASSERT_TRUE(failure->Lock(other.Token(), "other"));
  ReleaseMessageLocks(owner.Token(), "ended");
  EXPECT_EQ(claimed->ClaimOwner(), kNoClaimOwner);
  EXPECT_EQ(failure->ClaimOwner(), other.Token());
  incoming->FSetFlaggedDeleted(false);
}

// ---------------------------------------------------------------------------
// The processing threads' choices and the counts over all repositories

// An address check that runs until it is told to stop.
class SpinningCheck : public TQuorThread {
 public:
  std::atomic<bool> Stop{false};

 protected:
  void Execute() override {
    while (!Stop) std::this_thread::yield();
  }
};

TEST_F(MessageRepositoryTest, TheNextIncomingMessageIsAnEligibleOneVisitedFirst) {
  TMessageRepository& repo = Repository();
  TScopedClaimOwner owner;
  struct Row {
    const char* name;
    bool flagged, locked, claimed, visited;
  };
  // In queue order. A locked, claimed or flagged message is never chosen.
  const Row rows[] = {
      {"flagged", true, false, false, true},  {"locked", false, true, false, true},
      {"claimed", false, false, true, true},  {"plain", false, false, false, false},
      {"visited", false, false, false, true}, {"second plain", false, false, false, false},
  };
  std::map<std::string, TEmailMsgRef> m;
  for (const Row& row : rows) {
    TEmailMsgRef msg = TEmailMsg::Create(repo.UnProcessedIncoming());
    msg->SetText(MailText(row.name, ""));
    msg->PrefetchDone = row.visited;
    if (row.flagged) msg->FSetFlaggedDeleted(true);
    if (row.claimed) std::thread([&] { msg->Lock(owner.Token(), "x"); }).join();
    m[row.name] = msg;
  }
  auto name = [&](const TEmailMsgRef& msg) {
    for (const auto& [key, value] : m)
      if (value == msg) return key;
    return std::string(msg ? "?" : "none");
  };
  std::atomic<bool> holding{false}, release{false};
  std::thread holder([&] {
    TCriticalSectionGuard guard(m["locked"]->MessageLock());
    holding = true;
    while (!release) std::this_thread::yield();
  });
  while (!holding) std::this_thread::yield();

  EXPECT_EQ(name(GetNextIncomingToProcess()), "visited");
  // A visited message whose address check still runs comes after one whose
  // check has ended, but before the unvisited ones.
  SpinningCheck* check = CreateQuorThread<SpinningCheck>(false);
  const TThreadHandle handle = check->Handle();
  m["visited"]->SetAddressCheckThread(handle);
  ASSERT_FALSE(m["visited"]->AddressCheckDone());
  EXPECT_EQ(name(GetNextIncomingToProcess()), "visited");
  m["second plain"]->PrefetchDone = true;
  EXPECT_EQ(name(GetNextIncomingToProcess()), "second plain");
  check->Stop = true;
  ASSERT_TRUE(test::Eventually([&] { return m["visited"]->AddressCheckDone(); }));
  EXPECT_EQ(name(GetNextIncomingToProcess()), "visited");
  m["visited"]->SetAddressCheckThread({});
  FreeThreadByHandle(handle);
  m["visited"]->PrefetchDone = false;
  m["second plain"]->PrefetchDone = false;
  EXPECT_EQ(name(GetNextIncomingToProcess()), "plain");
  release = true;
  holder.join();
  for (const auto& [key, msg] : m) msg->FSetFlaggedDeleted(true);
  EXPECT_EQ(GetNextIncomingToProcess(), nullptr);
}

TEST_F(MessageRepositoryTest, OutgoingChoicesAndCountsOverTheRepositories) {
  const TDateTime now = EncodeDateTime(2006, 2, 3, 10, 0, 0);
  ScopedClockForTests clock(now);
  SetOptions([](TProcessingOptions& o) { o.NumSecsDelay = 600; });
  TMessageRepository& repo = Repository();
  const double minute = 1.0 / (24 * 60);
  std::vector<TEmailMsgRef> out;
  for (double in : {30.0, 5.0, -1.0, -2.0}) {
    out.push_back(Saved(repo.UnprocessedOutGoing(), "out"));
    out.back()->FSetSendTime(now + in * minute);
  }
  out[2]->FSetFlaggedDeleted(true);
  EXPECT_EQ(GetNextOutgoingToSend(), out[3]);

  std::int32_t due = 0, soon = 0, later = 0;
  CountUnprocessedOutgoing(due, soon, later);
  EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(1, 1, 1));
  SendOutgoingNow();
  // A second later the messages sent now are due.
  ScopedClockForTests second(now + 1.0 / 86400);
  CountUnprocessedOutgoing(due, soon, later);
  EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(2, 0, 1));
  EXPECT_EQ(GetNextOutgoingToSend(), out[1]);

  TEmailMsgRef failed = Saved(repo.ProcessedOutGoing(), "failed");
  failed->FSetSendTime(now + 60 * minute);
  CountProcessedOutgoing(due, soon, later);
  EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(0, 0, 1));
  RetryFailedOutgoing();
  CountProcessedOutgoing(due, soon, later);
  EXPECT_EQ(std::make_tuple(due, soon, later), std::make_tuple(1, 0, 0));

  Saved(repo.UnProcessedIncoming(), "in");
  Saved(repo.UnProcessedIncoming(), "in")->FSetFlaggedDeleted(true);
  EXPECT_EQ(CountUnprocessedIncoming(), 1);
  std::int32_t read = 0, unread = 0;
  Saved(repo.ProcessedIncoming(), "in");
  CountProcessedIncoming(read, unread);
  EXPECT_EQ(std::make_pair(read, unread), std::make_pair(0, 1));
}

// ---------------------------------------------------------------------------
// The user name

TEST_F(MessageRepositoryTest, ANewUserIdOfTheLocalAccountRenamesTheRepository) {
  TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("first");
  EXPECT_EQ(Repository().UserName(), kSingleUserName);
  local->SetUserId("second");
  EXPECT_EQ(Repository().UserName(), "second");
  EXPECT_EQ(Repository().Pendhold()->UserName(), "second");
  TMessageRepository unloaded;
  EXPECT_FALSE(unloaded.RenameUser("x"));
  EXPECT_EQ(unloaded.UserName(), "");
}

// ---------------------------------------------------------------------------
// Raw backups

// A seed whose first RandomInt(10) on this thread is (or is not) 5.
std::uint64_t SeedForPurge(bool purge) {
  for (std::uint64_t seed = 1;; ++seed) {
    SeedRandomForThisThread(seed);
    if ((RandomInt(10) == 5) == purge) {
      SeedRandomForThisThread(seed);
      return seed;
    }
  }
}

TEST_F(MessageRepositoryTest, BackupNamesFollowTheSubjectRule) {
  const Lines headers[] = {
      {"Subject: Hello world"},
      {"From: a@b", "subject:    lower case and blanks around    "},
      {"SUBJECT:A very long subject that goes on well beyond thirty characters"},
      {"Subject: a/b\\c:d*e?f\"g<h>i|j"},
      {"X-Subject: not this", "Subject:  \t "},
      {"Subject:"},
      {"From: nobody"},
      {"From: x", "", "Subject: in the body"},
      {"Subject: \xe9t\xe9 caf\xe9"},
  };
  SetOptions([](TProcessingOptions& o) { o.DeleteMsgBackupsAfter = 3; });
  std::string input;
  Lines names;
  for (const Lines& header : headers) {
    TStringList lines;
    for (const std::string& line : header) lines.Add(line);
    if (std::find(header.begin(), header.end(), "") == header.end()) lines.Add("");
    lines.Add("body line");
    SeedForPurge(false);
    const std::string path = SaveMessageBackup(&Repository(), lines);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(std::filesystem::path(path).parent_path(), GetBackupsDir(kSingleUserName));
    std::string expected;
    for (int i = 0; i < lines.Count(); ++i) expected += lines[i] + "\r\n";
    EXPECT_EQ(ReadFileBytes(path), expected);
    const std::string name = std::filesystem::path(path).filename().string();
    // Name, "(" + five letters or digits + ")", ".eml".
    ASSERT_GE(name.size(), 11u);
    names.push_back(name.substr(0, name.size() - 11));
    EXPECT_EQ(name.substr(name.size() - 4), ".eml");
    input += test::HexOf(lines.Text()) + "\n";
  }
  // The rule as the design gives it, computed apart.
  const test::CommandResult py = test::RunPython(R"PY(
import sys
for hexed in sys.stdin.read().split():
    text = bytes.fromhex(hexed)
    subject = b''
    for line in text.split(b'\r\n'):
        if line == b'':
            break
        if line[:8].lower() == b'subject:':
            subject = line[8:38]
            break
    if subject == b'':
        subject = b'No Subject Line'
    subject = subject.strip(bytes(range(33)))
    # Blanks become "_"; what may not stand in a file name goes.
    name = bytes(95 if b == 32 else b for b in subject
                 if b == 32 or (33 <= b <= 126 and b not in b'"*/:<>?\\|'))
    print(name.decode('ascii'))
)PY",
                                                 input);
  ASSERT_EQ(py.ExitCode, 0) << py.Output;
  const std::vector<std::string> expected = test::OutputLines(py.Output);
  EXPECT_EQ(names, expected);
}

TEST_F(MessageRepositoryTest, BackupsArePurgedByAgeAndSwitchedOffByZero) {
  const TDateTime start = Now();
  TStringList lines;
  lines.SetText("Subject: kept\r\n\r\nbody\r\n");
  SetOptions([](TProcessingOptions& o) { o.DeleteMsgBackupsAfter = 2; });
  SeedForPurge(false);
  const std::string first = SaveMessageBackup(nullptr, lines);
  ASSERT_FALSE(first.empty());

  // One call in ten purges first: a day later the backup is young enough.
  {
    ScopedClockForTests clock(start + 1);
    SeedForPurge(true);
    std::string second;
    SaveMessageBackup(&Repository(), lines, second);
    ASSERT_FALSE(second.empty());
    EXPECT_TRUE(std::filesystem::exists(first));
  }
  // Three days later both are old: the purge takes them, the new one stays.
  {
    ScopedClockForTests clock(start + 3);
    SeedForPurge(true);
    const std::string third = SaveMessageBackup(&Repository(), lines);
    EXPECT_EQ(test::EmlFiles(GetBackupsDir(kSingleUserName)),
              Lines{std::filesystem::path(third).filename().string()});
  }
  // 0 writes no backup; a purge then removes every backup.
  SetOptions([](TProcessingOptions& o) { o.DeleteMsgBackupsAfter = 0; });
  SeedForPurge(false);
  EXPECT_EQ(SaveMessageBackup(nullptr, lines), "");
  EXPECT_EQ(test::EmlFiles(GetBackupsDir(kSingleUserName)).size(), 1u);
  {
    ScopedClockForTests clock(start + 1.0 / 24);
    SeedForPurge(true);
    EXPECT_EQ(SaveMessageBackup(nullptr, lines), "");
  }
  EXPECT_TRUE(test::EmlFiles(GetBackupsDir(kSingleUserName)).empty());
}

// ---------------------------------------------------------------------------
// The message's own operations with real queues

class EmailMsgRealQueues : public RepositoryMoves {};

TEST_F(EmailMsgRealQueues, DuplicateUidlsGoToThePendholdOfTheRepository) {
  TMessageRepository& repo = Repository();
  TEmailMsgRef a = Saved(repo.ProcessedIncoming(), "a");
  TEmailMsgRef b = Saved(repo.ProcessedIncoming(), "b");
  TEmailMsgRef locked = Saved(repo.ProcessedIncoming(), "locked");
  a->FSetUidl("same");
  locked->FSetUidl("same");
  {
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
      TCriticalSectionGuard guard(locked->MessageLock());
      holding = true;
      while (!release) std::this_thread::yield();
    });
    while (!holding) std::this_thread::yield();
    b->FSetUidl("same");
    release = true;
    holder.join();
  }
  EXPECT_TRUE(a->IsInPendhold());
  EXPECT_EQ(FolderOf(a), "Pendhold");
  EXPECT_EQ(a->GetInfoValue(TEmailInfoKey::PendholdText), TextToCommaText(kDuplicateUidlReason));
  EXPECT_EQ(b->GetList(), repo.ProcessedIncoming());
  EXPECT_EQ(locked->GetList(), repo.ProcessedIncoming());
  EXPECT_EQ(repo.Pendhold()->Count(), 1);
}

TEST_F(EmailMsgRealQueues, SavesTakeTheQueuesNamesAndAnObliteratedMessageStaysGone) {
  TMessageRepository& repo = Repository();
  TEmailMsgRef msg = TEmailMsg::Create(repo.UnProcessedIncoming());
  msg->SetText(MailText("A subject longer than twenty characters", ""));
  ASSERT_TRUE(msg->SaveToFile());
  const std::string name = std::filesystem::path(msg->GetFileName()).filename().string();
  EXPECT_EQ(name.rfind("A_subject_longer_tha(", 0), 0u) << name;
  EXPECT_EQ(FolderOf(msg), "UnProcessedIncoming");

  TEmailMsgRef second = msg;
  ASSERT_TRUE(msg->Obliterate(false, ""));
  msg.reset();
  second->SetText(MailText("back", ""));
  EXPECT_FALSE(second->SaveToFile());
  second.reset();
  EXPECT_TRUE(test::EmlFiles(repo.UnProcessedIncoming()->Folder()).empty());
  // Holding refuses the message lock as the fakes did.
  TEmailMsgRef held = Saved(repo.UnProcessedIncoming(), "h");
  {
    TCriticalSectionGuard guard(held->MessageLock());
    EXPECT_THROW(held->SendToPendhold("x"), std::logic_error);
  }
  EXPECT_TRUE(held->SendToPendhold("x"));
}

}  // namespace
}  // namespace halvorn
