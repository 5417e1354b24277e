#include "foundation/files/registry_settings.h"

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "folder_test_env.h"
#include "foundation/files/install_folders.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

namespace fs = std::filesystem;
using test::ModeOf;
using test::ReadFileBytes;
using test::ScopedEnv;
using test::TempFolder;
using test::WriteFileBytes;

class RegistrySettingsTest : public test::FolderEnvTest {
 protected:
  std::string StorePath() const { return FRoot.Sub("home/registry.ini"); }
};

TEST_F(RegistrySettingsTest, WritesUnderTheProgramKeyInsideHalvornHome) {
  EXPECT_EQ(GetRegistryKeyPath("Report"), "\\software\\Halvorn\\Report");
  EXPECT_EQ(GetRegistryKeyPath(""), "\\software\\Halvorn");
  EXPECT_EQ(GetRegistryKeyPath("Interface\\TViewPendholdForm"),
            "\\software\\Halvorn\\Interface\\TViewPendholdForm");

  EXPECT_FALSE(RegKeyExists("Report"));
  EXPECT_TRUE(RegWriteBool("Report", "FullReportLinkOnly", true));
  EXPECT_EQ(GetRegistryFilePath(), StorePath());
  EXPECT_EQ(ReadFileBytes(StorePath()),
            "[\\software\\Halvorn\\Report]\r\nFullReportLinkOnly=d:1\r\n\r\n");
  EXPECT_EQ(ModeOf(StorePath()), 0600u);
  EXPECT_TRUE(RegKeyExists("Report"));
  EXPECT_TRUE(RegKeyExists("report"));  // key names ignore case
  EXPECT_TRUE(RegReadBool("Report", "FullReportLinkOnly", false));
  EXPECT_FALSE(fs::exists(FRoot.Sub("config")));
  EXPECT_FALSE(fs::exists(FRoot.Sub("data")));
}

TEST_F(RegistrySettingsTest, EmptySectionIsTheProgramKeyItself) {
  EXPECT_FALSE(RegKeyExists(""));
  ASSERT_TRUE(RegWriteInteger("Interface\\TViewPendholdForm", "Width", 640));
  // A key with a key below it exists, as in the registry.
  EXPECT_TRUE(RegKeyExists(""));
  EXPECT_TRUE(RegKeyExists("Interface"));
  EXPECT_FALSE(RegKeyExists("Inter"));
  EXPECT_EQ(RegReadInteger("", "Width", -1), -1);

  ASSERT_TRUE(RegWriteString("", "Top", "value"));
  EXPECT_EQ(RegReadString("", "Top", "?"), "value");
  EXPECT_EQ(RegReadString("Interface", "Top", "?"), "?");
  EXPECT_NE(ReadFileBytes(StorePath()).find("[\\software\\Halvorn]\r\nTop=s:value\r\n"),
            std::string::npos);
}

TEST_F(RegistrySettingsTest, ReadsAnswerOnlyTheirOwnType) {
  ASSERT_TRUE(RegWriteString("Types", "Text", "12"));
  ASSERT_TRUE(RegWriteInteger("Types", "Number", 5));
  ASSERT_TRUE(RegWriteBool("Types", "False", false));
  ASSERT_TRUE(RegWriteStream("Types", "Binary", std::string("\x01\x00", 2)));

  // A number stored as text reads as the default, and the other way round.
  EXPECT_EQ(RegReadInteger("Types", "Text", -3), -3);
  EXPECT_EQ(RegReadBool("Types", "Text", true), true);
  EXPECT_EQ(RegReadString("Types", "Number", "dflt"), "dflt");
  EXPECT_EQ(RegReadInteger("Types", "Binary", 9), 9);
  std::string stream = "prefilled";
  EXPECT_FALSE(RegReadStream("Types", "Text", stream));
  EXPECT_EQ(stream, "");

  // Booleans are numbers: any non-zero number is true.
  EXPECT_EQ(RegReadInteger("Types", "False", 7), 0);
  EXPECT_TRUE(RegReadBool("Types", "Number", false));
  EXPECT_FALSE(RegReadBool("Types", "False", true));
  bool flag = true;
  EXPECT_TRUE(RegReadBoolVar("Types", "False", flag));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(RegReadBoolVar("Types", "Missing", flag));

  std::string text;
  EXPECT_FALSE(RegTryReadString("Types", "Missing", text));
  EXPECT_FALSE(RegTryReadString("NoSuchKey", "Text", text));
  EXPECT_TRUE(RegTryReadString("types", "TEXT", text));  // value names ignore case
  EXPECT_EQ(text, "12");
  std::int32_t number = 0;
  EXPECT_TRUE(RegTryReadInteger("Types", "Number", number));
  EXPECT_EQ(number, 5);

  // Rewriting a value changes its type in place.
  ASSERT_TRUE(RegWriteInteger("Types", "text", 44));
  EXPECT_EQ(RegReadInteger("Types", "Text", 0), 44);
  EXPECT_EQ(RegReadString("Types", "Text", "gone"), "gone");
}

TEST_F(RegistrySettingsTest, ValuesSurviveTheRoundTrip) {
  std::string every;
  for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
  const std::string texts[] = {"",
                               "  leading and trailing  ",
                               "a=b;c[d]",
                               "line\r\nbreak\nand\rmore",
                               "back\\slash \\x41 \\\\",
                               "MAPI,\"quoted item\",x@example.com",
                               every};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(RegWriteString("AddressBooks", "MAPI", text));
    EXPECT_EQ(RegReadString("AddressBooks", "MAPI", "?"), text);
  }
  for (std::int32_t n : {0, 1, -1, 45000, INT32_MIN, INT32_MAX}) {
    ASSERT_TRUE(RegWriteInteger("AddressBooks", "LastFullScan", n));
    EXPECT_EQ(RegReadInteger("AddressBooks", "LastFullScan", 12345), n);
  }
  for (const std::string& bytes : {every, std::string()}) {
    ASSERT_TRUE(RegWriteStream("Test", "GlobalStandardTestCountArray", bytes));
    std::string stream = "old";
    EXPECT_TRUE(RegReadStream("Test", "GlobalStandardTestCountArray", stream));
    EXPECT_EQ(stream, bytes);
  }
  std::string stream = "old";
  EXPECT_FALSE(RegReadStream("Test", "Missing", stream));
  EXPECT_EQ(stream, "");
  // Every value is still there: each write kept the others.
  EXPECT_EQ(RegReadString("AddressBooks", "MAPI", "?"), every);
  EXPECT_EQ(RegReadInteger("AddressBooks", "LastFullScan", 0), INT32_MAX);
}

TEST_F(RegistrySettingsTest, NamesThatCannotBeStoredAreRefused) {
  ASSERT_TRUE(RegWriteInteger("Keep", "Value", 1));
  std::string before = ReadFileBytes(StorePath());
  const std::pair<std::string, std::string> rows[] = {
      {"Keep", "a=b"}, {"Keep", "line\nbreak"}, {"Keep", "[x]"},
      {"Keep", ";x"},  {"bad\nkey", "Value"},   {"ends]", "Value"}};
  for (const auto& [section, name] : rows) {
    SCOPED_TRACE(section + "/" + name);
    EXPECT_FALSE(RegWriteInteger(section, name, 2));
    EXPECT_EQ(RegReadInteger(section, name, -1), -1);
  }
  EXPECT_EQ(ReadFileBytes(StorePath()), before);
}

TEST_F(RegistrySettingsTest, CorruptStoreGivesDefaultsAndKeepsWhatItCanRead) {
  fs::create_directories(FRoot.Sub("home"));
  using namespace std::string_literals;
  std::string corrupt =
      "garbage before any section\n"
      "=no section\n"
      "[\\software\\Halvorn\\Download]\r\n"
      "LimitDownloadCount=d:1\r\n"
      "BadNumber=d:12x\n"
      "Huge=d:99999999999\n"
      "Empty=d:\n"
      "OddBinary=b:abc\n"
      "BadHex=b:zz\n"
      "BadEscape=s:a\\q\n"
      "Truncated=s:\\x4\n"
      "Unknown=q:something\n"
      "NoType\n"
      "[unterminated\n"
      "Other=d:2\n"
      "[\\software\\Halvorn\\download]\n"
      "Second=d:2\n"
      "[]\n"
      "x=d:3\n"
      "tail without newline=s:\xe9"
      "\x00\xff\xfe binary junk after a zero byte, which ends the text\n"s
      "[\\software\\Halvorn\\Download]\n"
      "Hidden=d:4\n";
  ASSERT_TRUE(WriteFileBytes(StorePath(), corrupt));

  EXPECT_TRUE(RegReadBool("Download", "LimitDownloadCount", false));
  // A key's section is the first with its name; the text ends at a zero byte.
  EXPECT_EQ(RegReadInteger("Download", "Second", 0), 0);
  EXPECT_EQ(RegReadInteger("Download", "Hidden", 0), 0);
  const char* broken[] = {"BadNumber", "Huge",      "Empty",   "OddBinary", "BadHex",
                          "BadEscape", "Truncated", "Unknown", "NoType"};
  for (const char* name : broken) {
    SCOPED_TRACE(name);
    EXPECT_EQ(RegReadInteger("Download", name, -9), -9);
    EXPECT_EQ(RegReadString("Download", name, "d"), "d");
    std::string stream = "x";
    EXPECT_FALSE(RegReadStream("Download", name, stream));
    EXPECT_EQ(stream, "");
  }

  // A write keeps the readable values and the ones of unknown form.
  ASSERT_TRUE(RegWriteInteger("Download", "New", 5));
  EXPECT_TRUE(RegReadBool("Download", "LimitDownloadCount", false));
  EXPECT_EQ(RegReadInteger("Download", "New", 0), 5);
  const std::string rewritten = ReadFileBytes(StorePath());
  EXPECT_NE(rewritten.find("Unknown=q:something\r\n"), std::string::npos);
  EXPECT_NE(rewritten.find("[\\software\\Halvorn\\download]\r\nSecond=d:2\r\n"), std::string::npos);
  EXPECT_NE(rewritten.find("tail without newline=s:\xe9\r\n"), std::string::npos);
}

TEST_F(RegistrySettingsTest, UnreadableStoreIsNeverOverwritten) {
  // A folder where the file should be: reads give defaults, writes fail.
  fs::create_directories(StorePath());
  EXPECT_FALSE(RegWriteBool("Report", "X", true));
  EXPECT_TRUE(RegReadBool("Report", "X", true));
  EXPECT_FALSE(RegKeyExists(""));
  EXPECT_TRUE(fs::is_directory(StorePath()));
  fs::remove(StorePath());

  // An oversized file is not ours to rewrite.
  fs::create_directories(FRoot.Sub("home"));
  {
    std::ofstream big(StorePath(), std::ios::binary);
    big.seekp(17 * 1024 * 1024);
    big.put('x');
  }
  auto size = fs::file_size(StorePath());
  EXPECT_FALSE(RegWriteInteger("Report", "X", 1));
  EXPECT_EQ(fs::file_size(StorePath()), size);
}

TEST_F(RegistrySettingsTest, WithoutHalvornHomeTheStoreIsInTheConfigFolder) {
  ScopedEnv noHome("HALVORN_HOME", "");
  ResetFolderCachesForTests();
  const std::string expected = FRoot.Sub("config/Halvorn/registry.ini");
  EXPECT_EQ(GetRegistryFilePath(), expected);
  ASSERT_TRUE(RegWriteInteger("Transcript", "MinimumTranscriptLevel", 3));
  EXPECT_EQ(RegReadInteger("Transcript", "MinimumTranscriptLevel", 0), 3);
  EXPECT_TRUE(fs::exists(expected));
  EXPECT_EQ(ModeOf(FRoot.Sub("config/Halvorn")), 0700u);
}

TEST_F(RegistrySettingsTest, ConcurrentWritersLoseNoValue) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 10; ++i)
        RegWriteInteger("Interface\\TViewPendholdForm", "Column" + std::to_string(t * 10 + i),
                        t * 10 + i);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int n = 0; n < 40; ++n)
    EXPECT_EQ(RegReadInteger("Interface\\TViewPendholdForm", "Column" + std::to_string(n), -1), n);
}

}  // namespace
}  // namespace halvorn
