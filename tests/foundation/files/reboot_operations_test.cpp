#include "foundation/files/reboot_operations.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "folder_test_env.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

class RebootOperationsTest : public test::FolderEnvTest {
 protected:
  std::string Pending() const { return ReadFileBytes(GetRebootOperationsFilePath()); }
  std::string Lib() const { return FRoot.Sub("lib"); }
};

TEST_F(RebootOperationsTest, MovesAreRecordedAndAppliedAtTheNextStart) {
  fs::create_directories(Lib());
  ASSERT_TRUE(WriteFileBytes(Lib() + "/new.so", "new"));
  ASSERT_TRUE(WriteFileBytes(Lib() + "/lsp.so", "old"));
  ASSERT_TRUE(WriteFileBytes(Lib() + "/a", "a"));

  EXPECT_EQ(ApplyRebootOperations(), 0);
  EXPECT_FALSE(fs::exists(GetRebootOperationsFilePath()));  // nothing pending: no file

  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/new.so", Lib() + "/lsp.so"));
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/gone", Lib() + "/x"));  // source vanishes
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/a", Lib() + "/b"));
  EXPECT_EQ(GetRebootOperationsFilePath(), FRoot.Sub("home/PendingRenames.txt"));
  EXPECT_EQ(Pending(), "[Rename]\r\n" + Lib() + "/lsp.so=" + Lib() + "/new.so\r\n" + Lib() +
                           "/x=" + Lib() + "/gone\r\n" + Lib() + "/b=" + Lib() + "/a\r\n\r\n");
  // Nothing moves before the start.
  EXPECT_EQ(ReadFileBytes(Lib() + "/lsp.so"), "old");

  EXPECT_EQ(ApplyRebootOperations(), 2);
  EXPECT_EQ(ReadFileBytes(Lib() + "/lsp.so"), "new");
  EXPECT_FALSE(fs::exists(Lib() + "/new.so"));
  EXPECT_EQ(ReadFileBytes(Lib() + "/b"), "a");
  EXPECT_FALSE(fs::exists(GetRebootOperationsFilePath()));
  EXPECT_EQ(ApplyRebootOperations(), 0);
}

TEST_F(RebootOperationsTest, FailedMovesWaitForTheNextStart) {
  fs::create_directories(Lib());
  ASSERT_TRUE(WriteFileBytes(Lib() + "/src", "s"));
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/src", Lib() + "/no such folder/dst"));
  EXPECT_EQ(ApplyRebootOperations(), 0);
  EXPECT_NE(Pending().find("/no such folder/dst="), std::string::npos);
  fs::create_directories(Lib() + "/no such folder");
  EXPECT_EQ(ApplyRebootOperations(), 1);
  EXPECT_EQ(ReadFileBytes(Lib() + "/no such folder/dst"), "s");
}

TEST_F(RebootOperationsTest, CancellingDropsOnlyTheMovesNamingThePath) {
  const std::string lsp = Lib() + "/lsp.so";
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/one", lsp));
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/keep", Lib() + "/other"));
  ASSERT_TRUE(MoveFileAtReboot(lsp, Lib() + "/backup"));
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/lsp.so.new", Lib() + "/lsp.so2"));
  CancelRebootOperations(lsp);
  EXPECT_EQ(Pending(), "[Rename]\r\n" + Lib() + "/other=" + Lib() + "/keep\r\n" + Lib() +
                           "/lsp.so2=" + Lib() + "/lsp.so.new\r\n\r\n");
  CancelRebootOperations(Lib() + "/LSP.SO2");  // case counts
  CancelRebootOperations("");
  EXPECT_NE(Pending().find("lsp.so2"), std::string::npos);
  CancelRebootOperations(Lib() + "/keep");
  CancelRebootOperations(Lib() + "/lsp.so.new");
  EXPECT_FALSE(fs::exists(GetRebootOperationsFilePath()));
}

TEST_F(RebootOperationsTest, PathsThatCannotBeRecordedAreRefused) {
  const std::pair<std::string, std::string> rows[] = {
      {"", "/x"},      {"/x", ""},     {"/a\nb", "/x"},
      {"/x", "/a\rb"}, {"/x", "/a=b"}, {std::string("/a\0b", 4), "/x"}};
  for (const auto& [source, destination] : rows) {
    SCOPED_TRACE(source + " -> " + destination);
    EXPECT_FALSE(MoveFileAtReboot(source, destination));
  }
  EXPECT_FALSE(fs::exists(GetRebootOperationsFilePath()));
  // A source holding "=" is fine: the destination ends at the first "=".
  ASSERT_TRUE(MoveFileAtReboot(Lib() + "/a=b", Lib() + "/c"));
  fs::create_directories(Lib());
  ASSERT_TRUE(WriteFileBytes(Lib() + "/a=b", "eq"));
  EXPECT_EQ(ApplyRebootOperations(), 1);
  EXPECT_EQ(ReadFileBytes(Lib() + "/c"), "eq");
}

TEST_F(RebootOperationsTest, AnUnreadablePendingFileIsNotOverwritten) {
  fs::create_directories(GetRebootOperationsFilePath());  // a folder in its place
  EXPECT_FALSE(MoveFileAtReboot(Lib() + "/a", Lib() + "/b"));
  EXPECT_EQ(ApplyRebootOperations(), 0);
  CancelRebootOperations(Lib() + "/a");
  EXPECT_TRUE(fs::is_directory(GetRebootOperationsFilePath()));
}

}  // namespace
}  // namespace halvorn
