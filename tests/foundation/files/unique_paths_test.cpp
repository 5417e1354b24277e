#include "foundation/files/unique_paths.h"

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "foundation/crypto/random_source.h"
#include "foundation/text/text_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::TempFolder;

// The part of a path after its last "/".
std::string FileNameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// True when the file name is prefix + "(" + five letters or digits + ")" +
// extension.
bool HasSuffix(const std::string& fileName, const std::string& prefix,
               const std::string& extension) {
  if (fileName.size() != prefix.size() + kUniqueSuffixBytes + extension.size()) return false;
  if (fileName.compare(0, prefix.size(), prefix) != 0) return false;
  if (fileName.compare(fileName.size() - extension.size(), extension.size(), extension) != 0) {
    return false;
  }
  const std::string suffix = fileName.substr(prefix.size(), kUniqueSuffixBytes);
  if (suffix.front() != '(' || suffix.back() != ')') return false;
  for (std::size_t i = 1; i + 1 < suffix.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(suffix[i]);
    if (!IsLetterChar(c) && !IsDigitChar(c)) return false;
  }
  return true;
}

// What must hold for every file name handed out, whatever the input.
void ExpectSafeFileName(const std::string& folder, const std::string& path) {
  ASSERT_EQ(path.compare(0, folder.size() + 1, folder + "/"), 0) << path;
  const std::string fileName = path.substr(folder.size() + 1);
  EXPECT_FALSE(fileName.empty());
  EXPECT_NE(fileName, ".");
  EXPECT_NE(fileName, "..");
  EXPECT_LE(fileName.size(), kMaxFileNameBytes);
  for (unsigned char c : fileName) {
    EXPECT_TRUE(IsFileNameChar(c)) << "byte " << int(c) << " in " << fileName;
  }
  EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(folder));
}

TEST(GetUniquePathTest, ExistingFolderAlwaysGetsASuffixAndACleanName) {
  TempFolder dir;
  std::string path;
  GetUniquePath(dir.Path(), "my report: final", ".eml", path);
  // The plain name "my_report_final.eml" is free, yet a suffix is added.
  EXPECT_TRUE(HasSuffix(FileNameOf(path), "my_report_final", ".eml")) << path;
  EXPECT_EQ(path.substr(0, dir.Path().size() + 1), dir.Path() + "/");
  EXPECT_FALSE(std::filesystem::exists(path));

  GetUniquePath(dir.Path() + "/", "keep  spaces", ".htm", path, true);
  EXPECT_TRUE(HasSuffix(FileNameOf(path), "keep  spaces", ".htm")) << path;
  EXPECT_EQ(path.find("//"), std::string::npos) << "a trailing / is not doubled: " << path;
}

TEST(GetUniquePathTest, MissingFolderIsCreatedAndTheNameIsPlain) {
  TempFolder dir;
  const std::string folder = dir.Sub("a/b/c");
  std::string path;
  GetUniquePath(folder, "Full_Report Hello", ".htm", path);
  EXPECT_EQ(path, folder + "/Full_Report_Hello.htm");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(GetUniquePathTest, TakenNamesAreDrawnAgain) {
  TempFolder dir;
  std::string first;
  SeedRandomForThisThread(42);
  GetUniquePath(dir.Path(), "msg", ".eml", first);
  ASSERT_TRUE(test::WriteFileBytes(first, "x"));

  // The same draw comes first again, finds the file and draws once more.
  std::string second;
  SeedRandomForThisThread(42);
  GetUniquePath(dir.Path(), "msg", ".eml", second);
  EXPECT_NE(second, first);
  EXPECT_FALSE(std::filesystem::exists(second));

  // A link that leads nowhere counts as taken: writing through it would
  // create a file somewhere else.
  ASSERT_EQ(::unlink(first.c_str()), 0);
  ASSERT_EQ(::symlink(dir.Sub("nowhere/target").c_str(), first.c_str()), 0);
  std::string third;
  SeedRandomForThisThread(42);
  GetUniquePath(dir.Path(), "msg", ".eml", third);
  EXPECT_NE(third, first);
}

TEST(GetUniquePathTest, EmptyFolderMeansTheTemporaryFolder) {
  TempFolder dir;
  test::ScopedEnv tmp("TMPDIR", dir.Path());
  std::string path;
  GetUniquePath("", "QuorvantisIn", ".tmp", path);
  EXPECT_TRUE(HasSuffix(FileNameOf(path), "QuorvantisIn", ".tmp")) << path;
  EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(dir.Path()));
}

// Subjects and attachment names are written by strangers: nothing they hold
// may lead the path out of the folder, name the folder itself or be refused
// by the file system for its length.
TEST(GetUniquePathTest, HostileNamesStayInsideTheFolder) {
  struct Row {
    std::string name;
    std::string extension;
    bool keepSpaces;
  };
  const Row rows[] = {
      {"", "", false},
      {".", "", false},
      {"..", "", false},
      {".", ".", false},
      {"..", "", true},
      {"../../etc/passwd", "", false},
      {"..\\..\\boot.ini", ".eml", false},
      {"a/b/c", "/../x", false},
      {std::string("\0..\0", 4), "", false},
      {"\r\n..\t", "", false},
      {"\xE9\xE8\xFF", "", false},  // every byte removed
      {std::string(300, 'a'), ".eml", false},
      {std::string(300, ' '), ".eml", true},
      {std::string(1000, '.'), "", false},
      {"name", std::string(400, 'e'), false},
      {"name", "." + std::string(100, '/') + "..", false},
      {std::string(254, 'x'), ".", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("name of " + std::to_string(row.name.size()) +
                 " bytes: " + row.name.substr(0, 40) + " ext " + row.extension.substr(0, 40));
    TempFolder existing;
    std::string path;
    GetUniquePath(existing.Path(), row.name, row.extension, path, row.keepSpaces);
    ExpectSafeFileName(existing.Path(), path);

    TempFolder parent;
    const std::string fresh = parent.Sub("new");
    GetUniquePath(fresh, row.name, row.extension, path, row.keepSpaces);
    ExpectSafeFileName(fresh, path);
    // The path must be usable: a file can be created there.
    EXPECT_TRUE(test::WriteFileBytes(path, "x")) << path;
  }
}

TEST(GetUniquePathTest, LongNamesAreCutToLeaveRoomForSuffixAndExtension) {
  std::string name;
  std::string extension;
  CleanUniquePathParts(std::string(300, 'a'), ".eml", false, name, extension);
  EXPECT_EQ(extension, ".eml");
  EXPECT_EQ(name, std::string(kMaxFileNameBytes - kUniqueSuffixBytes - 4, 'a'));

  CleanUniquePathParts("a b", "." + std::string(100, 'x'), false, name, extension);
  EXPECT_EQ(name, "a_b");
  EXPECT_EQ(extension.size(), kMaxUniqueExtensionBytes);
}

TEST(GetUniquePathTest, UncreatableFolderStillYieldsAPath) {
  TempFolder dir;
  ASSERT_TRUE(test::WriteFileBytes(dir.Sub("file"), "x"));
  std::string path;
  GetUniquePath(dir.Sub("file/sub"), "name", ".eml", path);
  EXPECT_EQ(path, dir.Sub("file/sub/name.eml"));
}

}  // namespace
}  // namespace halvorn
