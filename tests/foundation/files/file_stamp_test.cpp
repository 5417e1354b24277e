#include "foundation/files/file_stamp.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "support/test_support.h"

namespace halvorn {
namespace {

// Sets the modification time to whole seconds plus nanoseconds.
void SetModified(const std::string& path, long seconds, long nanoseconds) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(FileStamp, DiffersWhenTimeSizeOrFileChangesWhicheverWay) {
  test::TempFolder folder;
  const std::string path = folder.Sub("list.txt");
  EXPECT_FALSE(GetFileStamp(path).Exists);
  EXPECT_FALSE(GetFileStamp("").Exists);

  ASSERT_TRUE(test::WriteFileBytes(path, "abc"));
  SetModified(path, 1700000000, 0);
  const TFileStamp first = GetFileStamp(path);
  EXPECT_TRUE(first.Exists);
  EXPECT_EQ(first.Size, 3);
  EXPECT_EQ(GetFileStamp(path), first);

  SetModified(path, 1700000000, 1);  // within the same second
  EXPECT_NE(GetFileStamp(path), first);
  SetModified(path, 1600000000, 0);  // older
  EXPECT_NE(GetFileStamp(path), first);

  // Another file renamed into place with the same time and size.
  SetModified(path, 1700000000, 0);
  ASSERT_TRUE(test::WriteFileBytes(folder.Sub("new.txt"), "xyz"));
  SetModified(folder.Sub("new.txt"), 1700000000, 0);
  ASSERT_EQ(std::rename(folder.Sub("new.txt").c_str(), path.c_str()), 0);
  EXPECT_NE(GetFileStamp(path), first);
}

}  // namespace
}  // namespace halvorn
