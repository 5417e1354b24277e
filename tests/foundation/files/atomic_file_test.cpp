#include "foundation/files/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "folder_test_env.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ModeOf;
using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

// Names in the folder other than the expected ones: a left-over temporary
// file shows up here.
std::vector<std::string> EntriesOf(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFileTest, CreatesAndReplacesWithExactBytesAndMode) {
  TempFolder dir;
  std::string path = dir.Sub("settings.txt");
  std::string binary("a\0b\r\n\xff", 6);
  EXPECT_EQ(WriteFileAtomically(path, binary), "");
  EXPECT_EQ(ReadFileBytes(path), binary);
  EXPECT_EQ(ModeOf(path), 0600u);

  // A readable old file is replaced, and takes the requested mode.
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(WriteFileAtomically(path, "new", 0640), "");
  EXPECT_EQ(ReadFileBytes(path), "new");
  EXPECT_EQ(ModeOf(path), 0640u);

  EXPECT_EQ(WriteFileAtomically(path, ""), "");
  EXPECT_EQ(ReadFileBytes(path), "");
  EXPECT_EQ(EntriesOf(dir.Path()), std::vector<std::string>{"settings.txt"});
}

TEST(AtomicFileTest, LongFileNameStillGetsATemporaryFile) {
  TempFolder dir;
  std::string path = dir.Sub(std::string(250, 'n'));
  EXPECT_EQ(WriteFileAtomically(path, "x"), "");
  EXPECT_EQ(ReadFileBytes(path), "x");
}

// Every failing step must leave the old content and no temporary file.
TEST(AtomicFileTest, FailureAtAnyStepKeepsTheOldFile) {
  struct Row {
    AtomicWriteStep step;
    int error;
  };
  const Row rows[] = {{AtomicWriteStep::Create, EACCES},
                      {AtomicWriteStep::Write, ENOSPC},
                      {AtomicWriteStep::Sync, EIO},
                      {AtomicWriteStep::Rename, EXDEV}};
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.step));
    TempFolder dir;
    std::string path = dir.Sub("QuorSettings.txt");
    ASSERT_TRUE(WriteFileBytes(path, "old content"));
    FailNextAtomicWriteForTests(row.step, row.error);
    std::string error = WriteFileAtomically(path, "new content");
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(row.error)), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(path), "old content");
    EXPECT_EQ(EntriesOf(dir.Path()), std::vector<std::string>{"QuorSettings.txt"});
    // The failure is used up: the next write goes through.
    EXPECT_EQ(WriteFileAtomically(path, "new content"), "");
    EXPECT_EQ(ReadFileBytes(path), "new content");
  }
}

TEST(AtomicFileTest, FailedWriteOfANewFileLeavesNothing) {
  TempFolder dir;
  std::string path = dir.Sub("new.txt");
  FailNextAtomicWriteForTests(AtomicWriteStep::Write, ENOSPC);
  EXPECT_NE(WriteFileAtomically(path, "data"), "");
  EXPECT_TRUE(EntriesOf(dir.Path()).empty());
}

TEST(AtomicFileTest, RealFailuresAreReportedNotRaised) {
  TempFolder dir;
  // Missing folder.
  EXPECT_NE(WriteFileAtomically(dir.Sub("missing/file.txt"), "x"), "");
  // The target is a folder: the rename fails and the folder stays.
  std::filesystem::create_directory(dir.Sub("folder"));
  EXPECT_NE(WriteFileAtomically(dir.Sub("folder"), "x"), "");
  EXPECT_TRUE(std::filesystem::is_directory(dir.Sub("folder")));
  EXPECT_NE(WriteFileAtomically(dir.Path() + "/", "x"), "");

  // A folder the writer may not write into (root may write anywhere).
  if (::geteuid() != 0) {
    std::string locked = dir.Sub("locked");
    std::filesystem::create_directory(locked);
    ASSERT_TRUE(WriteFileBytes(locked + "/f", "old"));
    ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
    EXPECT_NE(WriteFileAtomically(locked + "/f", "new"), "");
    EXPECT_EQ(ReadFileBytes(locked + "/f"), "old");
    ::chmod(locked.c_str(), 0700);
  }
}

// A rename that never replaces: the target's bytes survive, the source
// stays where it was, and a free target is taken.
TEST(RenameNoReplaceTest, NeverReplacesATarget) {
  TempFolder dir;
  ASSERT_TRUE(WriteFileBytes(dir.Sub("a"), "A"));
  ASSERT_TRUE(WriteFileBytes(dir.Sub("b"), "B"));
  EXPECT_EQ(RenameNoReplace(dir.Sub("a"), dir.Sub("b")), EEXIST);
  EXPECT_EQ(ReadFileBytes(dir.Sub("a")), "A");
  EXPECT_EQ(ReadFileBytes(dir.Sub("b")), "B");
  // A dangling link is a name too.
  ASSERT_EQ(::symlink("nowhere", dir.Sub("link").c_str()), 0);
  EXPECT_EQ(RenameNoReplace(dir.Sub("a"), dir.Sub("link")), EEXIST);
  EXPECT_EQ(RenameNoReplace(dir.Sub("a"), dir.Sub("c")), 0);
  EXPECT_EQ(ReadFileBytes(dir.Sub("c")), "A");
  EXPECT_EQ(RenameNoReplace(dir.Sub("a"), dir.Sub("d")), ENOENT);
  EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"b", "c", "link"}));
}

// A new file whose name another writer takes between the drawing of the
// name and the rename keeps both files: the writer draws another name.
TEST(WriteNewFileAtomicallyTest, ATakenNameIsDrawnAgain) {
  TempFolder dir;
  int taken = 0;
  SetBeforeNoReplaceRenameForTests([&](const std::string& target) {
    if (taken++ == 0) WriteFileBytes(target, "the other writer's");
  });
  int drawn = 0;
  std::string written;
  EXPECT_EQ(WriteNewFileAtomically(
                dir.Sub("Hello.eml"), "ours",
                [&] { return dir.Sub("Hello(" + std::to_string(++drawn) + ").eml"); }, written),
            "");
  SetBeforeNoReplaceRenameForTests(nullptr);
  EXPECT_EQ(written, dir.Sub("Hello(1).eml"));
  EXPECT_EQ(ReadFileBytes(dir.Sub("Hello.eml")), "the other writer's");
  EXPECT_EQ(ReadFileBytes(written), "ours");
  EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"Hello(1).eml", "Hello.eml"}));

  // Without a way to draw another name a taken name is a failure, and
  // nothing of ours stays behind.
  EXPECT_NE(WriteNewFileAtomically(dir.Sub("Hello.eml"), "again", nullptr, written), "");
  EXPECT_EQ(written, "");
  EXPECT_EQ(ReadFileBytes(dir.Sub("Hello.eml")), "the other writer's");
  EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"Hello(1).eml", "Hello.eml"}));

  // The injected failures reach this writer too.
  FailNextAtomicWriteForTests(AtomicWriteStep::Sync, EIO);
  EXPECT_NE(WriteNewFileAtomically(dir.Sub("new.eml"), "x", nullptr, written), "");
  EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"Hello(1).eml", "Hello.eml"}));
}

// The one whole-file reader: what it refuses, and that it never hands back
// part of a file.
TEST(ReadFileBytesTest, ReadsRegularFilesUpToTheLimit) {
  TempFolder dir;
  ASSERT_TRUE(WriteFileBytes(dir.Sub("f"), std::string("a\0b", 3)));
  struct Row {
    std::string path;
    std::size_t max;
    std::string errorStart;  // empty: success
  } rows[] = {
      {dir.Sub("f"), 3, ""},
      {dir.Sub("f"), 2, "Cannot read " + dir.Sub("f") + ": not a thing"},
      {dir.Path(), 100, "Cannot read " + dir.Path() + ": not a thing"},
      {dir.Sub("missing"), 100, "Cannot open " + dir.Sub("missing") + ": "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " max " + std::to_string(row.max));
    std::string bytes = "old";
    std::string error = halvorn::ReadFileBytes(row.path, row.max, bytes, "thing");
    EXPECT_EQ(error.substr(0, row.errorStart.size()), row.errorStart);
    EXPECT_EQ(error.empty(), row.errorStart.empty());
    EXPECT_EQ(bytes, row.errorStart.empty() ? std::string("a\0b", 3) : std::string());
  }
}

}  // namespace
}  // namespace halvorn
