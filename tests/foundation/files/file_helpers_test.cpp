#include "foundation/files/file_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <string>

#include "foundation/time/date_time.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

TEST(FileHelpersTest, FileMasksIgnoreCase) {
  struct Row {
    std::string name, mask;
    bool matches;
  };
  const Row rows[] = {
      {"Report.LOG", "*.log", true},
      {"noext", "*.*", true},
      {"a.txt", "?.TXT", true},
      {"ab.txt", "?.txt", false},
      {"a.b.c", "*.c", true},
      {"file.log.bak", "*.log", false},
      {"\xC9T\xC9.txt", "\xE9t\xE9*", true},
      {"x", "", false},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*c", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name + " ~ " + row.mask);
    EXPECT_EQ(MatchesFileMask(row.name, row.mask), row.matches);
  }
}

TEST(FileHelpersTest, ListingFilesStaysOutOfFolderLinks) {
  namespace fs = std::filesystem;
  test::TempFolder folder;
  const std::string root = folder.Path();
  fs::create_directories(root + "/sub/deeper");
  fs::create_directories(root + "/Other");
  for (const char* name :
       {"a.LOG", "b.log", "c.txt", "sub/d.Log", "sub/deeper/e.log", "Other/f.log"}) {
    ASSERT_TRUE(test::WriteFileBytes(root + "/" + name, "x"));
  }
  fs::create_directory(root + "/dir.log");  // a folder that matches the mask is no file
  // A link back to the top: following it would list the same files for ever.
  fs::create_directory_symlink(root, root + "/sub/loop");
  fs::create_symlink(root + "/c.txt", root + "/linked.log");  // a link to a file counts

  TStringList folders;
  ListSubfolders(root, true, folders);
  EXPECT_EQ(folders.ToVector(),
            (Lines{root + "/Other/", root + "/dir.log/", root + "/sub/", root + "/sub/deeper/"}));
  TStringList top;
  ListSubfolders(root + "/", false, top);
  EXPECT_EQ(top.Count(), 3);

  TStringList files;
  ListFilesInDir(root, "*.LOG", true, 100, files);
  EXPECT_EQ(files.ToVector(),
            (Lines{root + "/a.LOG", root + "/b.log", root + "/linked.log", root + "/Other/f.log",
                   root + "/sub/d.Log", root + "/sub/deeper/e.log"}));

  TStringList limited = ListOf({"already here"});
  ListFilesInDir(root, "*.log", true, 3, limited);
  EXPECT_EQ(limited.ToVector(), (Lines{"already here", root + "/a.LOG", root + "/b.log"}));

  TStringList flat;
  ListFilesInDir(root + "/", "*.*", false, 100, flat);
  EXPECT_EQ(flat.Count(), 4);

  TStringList none;
  ListFilesInDir(root + "/missing", "*.*", true, 100, none);
  ListFilesInDir("/", "*.*", false, 100, none);  // a one-character folder name is refused
  EXPECT_EQ(none.Count(), 0);
}

TEST(FileHelpersTest, DeleteFilesOlderThanCountsOnlyRealDeletions) {
  test::TempFolder folder;
  const std::string root = folder.Path();
  for (const char* name : {"one.tmp", "two.TMP", "keep.txt", "stuck.tmp"}) {
    ASSERT_TRUE(test::WriteFileBytes(root + "/" + name, "x"));
  }
  const double tomorrow = (static_cast<double>(time(nullptr)) / 86400.0) + 25569.0 + 1;
  const double lastYear = tomorrow - 366;

  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", lastYear), 0);
  EXPECT_EQ(DeleteFilesOlderThan(root + "/missing", "*.tmp", tomorrow), -1);
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", std::nan("")), -1);
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", -200000.0), -1);

  // A file the system refuses to delete is not counted as deleted.
  detail::SetDeleteFileForTests([](const std::string& path) {
    if (path.ends_with("/stuck.tmp")) return false;
    return ::unlink(path.c_str()) == 0;
  });
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", tomorrow), 2);
  detail::SetDeleteFileForTests(nullptr);
  EXPECT_TRUE(std::filesystem::exists(root + "/stuck.tmp"));
  EXPECT_TRUE(std::filesystem::exists(root + "/keep.txt"));
  EXPECT_FALSE(std::filesystem::exists(root + "/one.tmp"));
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.tmp", tomorrow), 1);
}

// Ageing by last use: a file read or written recently stays whatever its
// birth, and a file whose access time never moves (noatime) is aged by its
// modification. Birth times cannot be set, so the case that tells the two
// ages apart is a file born now but unused for a long time: by birth it is
// young, by use it is old.
TEST(FileHelpersTest, DeleteFilesOlderThanByLastUse) {
  test::TempFolder folder;
  const std::string root = folder.Path();
  const std::time_t now = time(nullptr);
  const std::time_t tenDaysAgo = now - 10 * 86400;
  struct Row {
    const char* name;
    std::time_t accessed, modified;
    bool staysByUse;
  };
  const Row rows[] = {
      {"unused.htm", tenDaysAgo, tenDaysAgo, false},
      {"read.htm", now, tenDaysAgo, true},       // read yesterday's report today
      {"written.htm", tenDaysAgo, now, true},    // noatime: only writes move a time
      {"other.txt", tenDaysAgo, tenDaysAgo, true},  // not matched by the mask
  };
  for (const Row& row : rows) {
    const std::string path = root + "/" + row.name;
    ASSERT_TRUE(test::WriteFileBytes(path, "x"));
    const timespec times[2] = {{row.accessed, 0}, {row.modified, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }
  const double fiveDaysAgo = (static_cast<double>(now) / 86400.0) + 25569.0 - 5;
  // By birth every file is a few moments old: nothing goes.
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.htm", fiveDaysAgo, TFileAge::Created), 0);
  EXPECT_EQ(DeleteFilesOlderThan(root, "*.htm", fiveDaysAgo, TFileAge::LastUse), 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(std::filesystem::exists(root + "/" + row.name), row.staysByUse);
  }
  EXPECT_EQ(DeleteFilesOlderThan(root + "/missing", "*.htm", fiveDaysAgo, TFileAge::LastUse), -1);
}

TEST(FileHelpersTest, FileSizesAndAppending) {
  test::TempFolder folder;
  const std::string path = folder.Sub("notes.txt");
  EXPECT_FALSE(AppendTextToFile("x", path, true));  // only an existing file
  EXPECT_FALSE(AppendTextToFile("", path, false));
  EXPECT_EQ(FileSizeOf(path), -1);
  EXPECT_TRUE(AppendTextToFile("abc", path, false));
  EXPECT_TRUE(AppendTextToFile("de", path, true));
  EXPECT_EQ(test::ReadFileBytes(path), "abcde");
  EXPECT_EQ(FileSizeOf(path), 5);
  EXPECT_EQ(FileSizeOf(folder.Sub("*.TXT")), 5);
  EXPECT_EQ(FileSizeOf(folder.Sub("*.doc")), -1);
  EXPECT_EQ(FileSizeOf(folder.Path()), -1);  // a folder is no file
}

TEST(FileHelpersTest, FileTypes) {
  struct Ext {
    std::string name, extension;
  };
  const Ext extensions[] = {
      {"report.txt", ".txt"},
      {"report.txt.", ".txt"},
      {"archive.tar.gz", ".gz"},
      {"noext", ""},
      {"dir.d/file", ""},
      {".profile", ".profile"},
      {"", ""},
  };
  for (const auto& row : extensions) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(GetFileExtension(row.name), row.extension);
  }

  std::string type;
  EXPECT_TRUE(ContentTypeForExtension("PDF", type));
  EXPECT_EQ(type, "application/pdf");
  EXPECT_TRUE(ContentTypeForFileName("Photo.JPG", type));
  EXPECT_EQ(type, "image/jpeg");
  EXPECT_FALSE(ContentTypeForExtension(".no-such-extension", type));
  EXPECT_EQ(type, "application/octet-stream");
  EXPECT_FALSE(ContentTypeForFileName("noext", type));

  std::string extension;
  EXPECT_TRUE(ExtensionForContentType("Image/GIF", extension));
  EXPECT_EQ(extension, ".gif");
  EXPECT_FALSE(ExtensionForContentType("x-no/such-type", extension));
  EXPECT_EQ(extension, ".txt");
  EXPECT_EQ(ProgramForExtension(".txt"), "");
}
}  // namespace
}  // namespace halvorn
