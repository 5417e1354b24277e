#include "foundation/files/durability_batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/files/atomic_file.h"
#include "foundation/files/unique_paths.h"
#include "support/durability_recording.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

std::vector<std::string> EntriesOf(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& e : std::filesystem::directory_iterator(folder, error))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The recording as lines, and its shape: the kinds in order (a Create or
// Content is a "Write"), adjacent repeats collapsed.
class Recorder : public test::DurabilityRecording {
 public:
  std::vector<std::string> Shape() {
    std::vector<std::string> shape;
    for (const std::string& line : Lines()) {
      std::string kind = line.substr(0, line.find(' '));
      if (kind == "Create" || kind == "Content") kind = "Write";
      if (shape.empty() || shape.back() != kind) shape.push_back(kind);
    }
    return shape;
  }
};

class SyncMethodScope {
 public:
  explicit SyncMethodScope(TSyncMethod method) : FOld(GetSyncMethod()) { SetSyncMethod(method); }
  ~SyncMethodScope() { SetSyncMethod(FOld); }

 private:
  TSyncMethod FOld;
};

// A batch stages every content beside its target, flushes once, renames,
// flushes again: the targets keep their old content until the commit, and
// the number of flushes does not grow with the files for syncfs (one per
// file and folder with fsync).
TEST(DurabilityBatchTest, ContentIsDurableBeforeAnyRenameAndFlushesAreFew) {
  struct Row {
    TSyncMethod Method;
    int Files;
    std::uint64_t Flushes;
  } rows[] = {{TSyncMethod::FileSystem, 1, 2},
              {TSyncMethod::FileSystem, 30, 2},
              {TSyncMethod::EachFile, 3, 3 + 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Files);
    SyncMethodScope method(row.Method);
    TempFolder dir;
    for (int i = 0; i < row.Files; ++i)
      ASSERT_TRUE(WriteFileBytes(dir.Sub("f" + std::to_string(i)), "old"));
    Recorder recorder;
    const std::uint64_t before = DurabilityFlushCount();
    TDurabilityBatch batch;
    std::vector<std::string> placed;
    for (int i = 0; i < row.Files; ++i) {
      std::string error;
      TStagedFileRef staged = batch.StageWrite(dir.Sub("f" + std::to_string(i)),
                                               "new " + std::to_string(i), 0600, true, nullptr, error);
      ASSERT_TRUE(staged) << error;
      staged->OnPlaced = [&](const std::string& path) { placed.push_back(path); };
      EXPECT_TRUE(IsReservedPath(dir.Sub("f" + std::to_string(i))));
    }
    EXPECT_EQ(ReadFileBytes(dir.Sub("f0")), "old");
    EXPECT_EQ(batch.Commit(), "");
    EXPECT_EQ(DurabilityFlushCount() - before, row.Flushes);
    EXPECT_EQ(recorder.Shape(), (std::vector<std::string>{"Write", "Sync", "Rename", "Sync"}));
    ASSERT_EQ(static_cast<int>(placed.size()), row.Files);
    for (int i = 0; i < row.Files; ++i) {
      EXPECT_EQ(ReadFileBytes(dir.Sub("f" + std::to_string(i))), "new " + std::to_string(i));
      EXPECT_FALSE(IsReservedPath(dir.Sub("f" + std::to_string(i))));
    }
    EXPECT_EQ(static_cast<int>(EntriesOf(dir.Path()).size()), row.Files);
    // An empty batch flushes nothing.
    const std::uint64_t after = DurabilityFlushCount();
    EXPECT_EQ(batch.Commit(), "");
    EXPECT_EQ(DurabilityFlushCount(), after);
  }
}

// The writers' own batch of one: WriteFileAtomically flushes twice and
// never leaves its temporary file; writes through WriteFileInCurrentBatch
// join the thread's batch and appear at its commit.
TEST(DurabilityBatchTest, WritersJoinTheCurrentBatch) {
  TempFolder dir;
  const std::uint64_t before = DurabilityFlushCount();
  EXPECT_EQ(WriteFileAtomically(dir.Sub("settings"), "alone"), "");
  EXPECT_EQ(DurabilityFlushCount() - before, 2u);

  TDurabilityBatch batch;
  std::string placedPath;
  {
    TDurabilityScope scope(&batch);
    EXPECT_EQ(CurrentDurabilityBatch(), &batch);
    EXPECT_EQ(WriteFileInCurrentBatch(dir.Sub("record"), "staged", true, nullptr, placedPath), "");
    EXPECT_EQ(placedPath, dir.Sub("record"));
    {
      TDurabilityScope none(nullptr);
      EXPECT_EQ(WriteFileInCurrentBatch(dir.Sub("piece"), "at once", true, nullptr, placedPath),
                "");
    }
    EXPECT_EQ(CurrentDurabilityBatch(), &batch);
  }
  EXPECT_EQ(CurrentDurabilityBatch(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("record")));
  EXPECT_EQ(ReadFileBytes(dir.Sub("piece")), "at once");
  EXPECT_EQ(batch.Commit(), "");
  EXPECT_EQ(ReadFileBytes(dir.Sub("record")), "staged");
  EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"piece", "record", "settings"}));
}

// A new file whose name another writer took before the commit is placed
// under a name drawn again; without a way to draw one it stays unplaced and
// its writer is told.
TEST(DurabilityBatchTest, ATakenNameIsDrawnAgainAtTheCommit) {
  TempFolder dir;
  TDurabilityBatch batch;
  std::string error;
  std::string placed = "unset";
  TStagedFileRef drawn = batch.StageWrite(dir.Sub("Hello.eml"), "ours", 0600, false,
                                          [&] { return dir.Sub("Hello(2).eml"); }, error);
  drawn->OnPlaced = [&](const std::string& path) { placed = path; };
  std::string lostAnswer = "unset";
  TStagedFileRef lost = batch.StageWrite(dir.Sub("Taken.eml"), "lost", 0600, false, nullptr, error);
  lost->OnPlaced = [&](const std::string& path) { lostAnswer = path; };
  ASSERT_TRUE(WriteFileBytes(dir.Sub("Hello.eml"), "the other writer's"));
  ASSERT_TRUE(WriteFileBytes(dir.Sub("Taken.eml"), "another"));
  EXPECT_NE(batch.Commit(), "");
  EXPECT_EQ(placed, dir.Sub("Hello(2).eml"));
  EXPECT_EQ(lostAnswer, "");
  EXPECT_EQ(ReadFileBytes(dir.Sub("Hello(2).eml")), "ours");
  EXPECT_EQ(ReadFileBytes(dir.Sub("Hello.eml")), "the other writer's");
  EXPECT_EQ(EntriesOf(dir.Path()),
            (std::vector<std::string>{"Hello(2).eml", "Hello.eml", "Taken.eml"}));
}

// A file staged into another folder than the one it supersedes: the old
// file goes only after the new one is durable; a crash at any point is put
// right by the journal (the old one stays when the new was never placed, and
// goes when it was, but never a file that took its name later).
TEST(DurabilityBatchTest, ASupersededFileGoesOnlyOnceItsSuccessorIsDurable) {
  TempFolder dir;
  std::filesystem::create_directories(dir.Sub("from"));
  std::filesystem::create_directories(dir.Sub("to"));
  const std::string journal = dir.Sub("journal");
  ASSERT_TRUE(WriteFileBytes(dir.Sub("from/a.eml"), "as it arrived"));
  {
    Recorder recorder;
    TDurabilityBatch batch;
    batch.SetJournalFolder(journal, dir.Path());
    std::string error;
    ASSERT_TRUE(batch.StageWrite(dir.Sub("to/a.eml"), "finished", 0600, false, nullptr, error,
                                 dir.Sub("from/a.eml")));
    EXPECT_EQ(batch.Commit(), "");
    EXPECT_FALSE(std::filesystem::exists(dir.Sub("from/a.eml")));
    EXPECT_EQ(ReadFileBytes(dir.Sub("to/a.eml")), "finished");
    const std::vector<std::string> lines = recorder.Lines();
    const auto at = [&](const std::string& line) {
      return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    const auto removal = at("Remove a.eml");
    ASSERT_LT(removal, static_cast<long>(lines.size()));
    // Two flushes come before the removal: content, then the new name.
    EXPECT_EQ(std::count(lines.begin(), lines.begin() + removal, "Sync"), 2);
    // The journal stays until a later flush has made the removal durable.
    EXPECT_EQ(EntriesOf(journal).size(), 1u);
    TDurabilityBatch next;
    next.AddFolder(dir.Sub("to"));
    EXPECT_EQ(next.Commit(), "");
    EXPECT_TRUE(EntriesOf(journal).empty());
  }

  // Crashes, and what the journal makes of them at the next start.
  struct Row {
    const char* Case;
    int CrashAfter;    // the commit's step at which the crash comes
    bool OldReplaced;  // another file took the old name since
    bool OldExpected;  // the old file is there after the replay
    bool NewExpected;  // the new one is
  } rows[] = {{"never placed", 1, false, true, false},
              {"placed, old not yet removed", 2, false, false, true},
              {"placed, a new file under the old name", 2, true, true, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Case);
    ASSERT_TRUE(WriteFileBytes(dir.Sub("from/b.eml"), "old"));
    TDurabilityBatch batch;
    batch.SetJournalFolder(journal, dir.Path());
    std::string error;
    TStagedFileRef staged = batch.StageWrite(dir.Sub("to/b.eml"), "new", 0600, false, nullptr,
                                             error, dir.Sub("from/b.eml"));
    ASSERT_TRUE(staged);
    const std::string temp = staged->TempPath;
    CrashNextCommitForTests(row.CrashAfter);
    EXPECT_EQ(batch.Commit(), "crashed");
    EXPECT_EQ(EntriesOf(journal).size(), 1u);
    if (row.OldReplaced) {
      ASSERT_TRUE(WriteFileBytes(dir.Sub("from/b.eml"), "someone else's"));
    }
    EXPECT_EQ(ReplayDurabilityJournals(journal, dir.Path()), row.OldReplaced ? 0 : 1);
    EXPECT_EQ(std::filesystem::exists(dir.Sub("from/b.eml")), row.OldExpected);
    EXPECT_EQ(std::filesystem::exists(dir.Sub("to/b.eml")), row.NewExpected);
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_TRUE(EntriesOf(journal).empty());
    std::filesystem::remove(dir.Sub("from/b.eml"));
    std::filesystem::remove(dir.Sub("to/b.eml"));
  }
}

// What is taken back or dropped leaves nothing behind; a retargeted move to
// its own source is dropped; a failed first flush places nothing.
TEST(DurabilityBatchTest, UnstagedRetargetedDiscardedAndFailedCommitsLeaveTheOldFiles) {
  TempFolder dir;
  ASSERT_TRUE(WriteFileBytes(dir.Sub("a"), "old a"));
  ASSERT_TRUE(WriteFileBytes(dir.Sub("b"), "old b"));
  std::string error;
  {
    TDurabilityBatch batch;
    TStagedFileRef write = batch.StageWrite(dir.Sub("a"), "new a", 0600, true, nullptr, error);
    TStagedFileRef move = batch.StageMove(dir.Sub("b"), dir.Sub("c"), nullptr);
    TDurabilityBatch::Retarget(move, dir.Sub("b"), dir.Sub("b"), nullptr);
    EXPECT_EQ(move->State, TStagedFile::Dropped);
    TDurabilityBatch::Unstage(write);
    EXPECT_TRUE(batch.Empty());
    EXPECT_EQ(batch.Commit(), "");
  }
  bool told = false;
  {
    TDurabilityBatch batch;
    TStagedFileRef write = batch.StageWrite(dir.Sub("a"), "new a", 0600, true, nullptr, error);
    write->OnPlaced = [&](const std::string& path) { told = path.empty(); };
  }  // gone without its commit
  EXPECT_TRUE(told);
  {
    TDurabilityBatch batch;
    batch.StageWrite(dir.Sub("a"), "new a", 0600, true, nullptr, error);
    // The next staged write carries a flush failure to its commit.
    FailNextAtomicWriteForTests(AtomicWriteStep::Sync, EIO);
    batch.StageWrite(dir.Sub("b"), "new b", 0600, true, nullptr, error);
    EXPECT_NE(batch.Commit(), "");
  }
  EXPECT_EQ(ReadFileBytes(dir.Sub("a")), "old a");
  EXPECT_EQ(ReadFileBytes(dir.Sub("b")), "old b");
  EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"a", "b"}));
}

// The start-up clean-up removes what interrupted writes left, and nothing
// else.
TEST(DurabilityBatchTest, StaleTemporaryFilesAreRemovedAtStartUp) {
  TempFolder dir;
  for (const char* name : {".a.eml.Xy12Zq", ".QuorSettings.txt.000000", ".hidden.eml", "a.eml",
                           ".b.eml.Xy12Z", ".c.eml.Xy1-Zq"})
    ASSERT_TRUE(WriteFileBytes(dir.Sub(name), "x"));
  EXPECT_EQ(RemoveStaleTemporaryFiles(dir.Path()), 2);
  EXPECT_EQ(EntriesOf(dir.Path()),
            (std::vector<std::string>{".b.eml.Xy12Z", ".c.eml.Xy1-Zq", ".hidden.eml", "a.eml"}));
}

}  // namespace
}  // namespace halvorn
