#include "foundation/files/version_info.h"

#include <cstdio>

#include <gtest/gtest.h>

namespace halvorn {
namespace {

// A source that knows exactly one file, "app.exe".
TVersionBlockSource SourceOf(std::optional<TVersionBlock> block) {
  return [block](const std::string& name) -> std::optional<TVersionBlock> {
    if (name != "app.exe") return std::nullopt;
    return block;
  };
}

std::string Table(std::initializer_list<unsigned> words) {
  std::string bytes;
  for (unsigned w : words) {
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8 & 0xFF);
  }
  return bytes;
}

TVersionBlock BlockWithVersion(unsigned major, unsigned minor, unsigned release, unsigned build) {
  TVersionBlock block;
  TFixedFileInfo fixed;
  fixed.FileVersionMS = major << 16 | minor;
  fixed.FileVersionLS = release << 16 | build;
  fixed.ProductVersionMS = 7u << 16 | 1;
  fixed.ProductVersionLS = 0;
  block.Fixed = fixed;
  return block;
}

TEST(VersionInfoTest, ReadsNumbersAndPacksLowBytes) {
  TVersionBlock block = BlockWithVersion(2, 0, 5, 280);
  block.Values["\\VarFileInfo\\Translation"] = Table({0x0409, 0x04E4});
  block.Values["\\StringFileInfo\\040904E4\\FileVersion"] = "2.0.5.280";
  block.Values["\\StringFileInfo\\040904E4\\ProductVersion"] = "7.1";
  TVersionInfoResource info(SourceOf(block));
  info.SetFileName("app.exe");

  const TVersionNumberInformation& v = info.FileVersion();
  ASSERT_TRUE(v.Valid);
  EXPECT_EQ(v.Part(0), 2u);
  EXPECT_EQ(v.Part(1), 0u);
  EXPECT_EQ(v.Part(2), 5u);
  EXPECT_EQ(v.Part(3), 280u);
  EXPECT_EQ(v.Part(4), 0u);
  EXPECT_EQ(v.Part(-1), 0u);
  EXPECT_EQ(v.Text, "2.0.5.280");
  EXPECT_EQ(info.ProductVersion().Part(0), 7u);
  EXPECT_EQ(info.ProductVersion().Text, "7.1");

  // Build 280 keeps only its low byte, 24.
  std::uint32_t packed = PackVersion(v.Part(0), v.Part(1), v.Part(2), v.Part(3));
  EXPECT_EQ(packed, 2u | 0u << 8 | 5u << 16 | 24u << 24);
  EXPECT_EQ(VersionToText(packed), "v2.0.5.24");
}

TEST(VersionInfoTest, NoBlockGivesInvalidVersionsAndEmptyValues) {
  for (auto source : {SourceOf(std::nullopt), TVersionBlockSource([](const std::string&) {
                        throw std::runtime_error("unreadable");
                        return std::optional<TVersionBlock>();
                      })}) {
    TVersionInfoResource info(source);
    info.SetFileName("app.exe");
    EXPECT_FALSE(info.HasBlock());
    EXPECT_FALSE(info.FileVersion().Valid);
    EXPECT_EQ(info.FileVersion().Part(0), 0u);
    EXPECT_EQ(info.GetVersionKey(vkProductName), "");
    EXPECT_EQ(info.FixedInfo().FileVersionMS(), 0u);
    EXPECT_EQ(info.GetBuildFlags(), "");
    std::uint32_t packed = PackVersion(info.FileVersion().Part(0), info.FileVersion().Part(1),
                                       info.FileVersion().Part(2), info.FileVersion().Part(3));
    EXPECT_EQ(packed, 0u);
    EXPECT_EQ(VersionToText(packed), "v0.0.0.0 Beta");
  }
}

TEST(VersionInfoTest, ValuesAreReadUnderTheTableTranslation) {
  struct Row {
    const char* name;
    std::optional<std::string> table;  // absent: no table at all
    std::vector<std::string> translations;
    const char* expected;  // ProductName read
  };
  const Row rows[] = {
      {"German only", Table({0x0407, 0x04B0}), {"040704B0"}, "Deutsch"},
      {"missing table", std::nullopt, {}, "Default"},
      {"empty table", std::string(), {}, "Default"},
      {"two entries, first chosen",
       Table({0x0407, 0x04B0, 0x0409, 0x04E4}),
       {"040704B0", "040904E4"},
       "Deutsch"},
      {"short table: 0409 + its first word", Table({0x04E4}), {"040904E4"}, "Default"},
      {"one byte", std::string("\xB0", 1), {"040900B0"}, ""},
      {"trailing half entry ignored", Table({0x0407, 0x04B0, 0x0409}), {"040704B0"}, "Deutsch"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TVersionBlock block = BlockWithVersion(1, 0, 0, 0);
    if (row.table) block.Values["\\VarFileInfo\\Translation"] = *row.table;
    block.Values["\\StringFileInfo\\040704B0\\ProductName"] = "Deutsch";
    block.Values["\\StringFileInfo\\040904E4\\ProductName"] = "Default";
    TVersionInfoResource info(SourceOf(block));
    info.SetFileName("app.exe");
    EXPECT_EQ(info.Translations(), row.translations);
    EXPECT_EQ(info.GetVersionKey(vkProductName), row.expected);
    EXPECT_EQ(info.GetVersionKey("ProductName"), row.expected);
  }
}

TEST(VersionInfoTest, TranslationIndexOutOfRangeFallsBackToFirst) {
  TVersionBlock block = BlockWithVersion(1, 0, 0, 0);
  block.Values["\\VarFileInfo\\Translation"] = Table({0x0407, 0x04B0, 0x0409, 0x04E4});
  block.Values["\\StringFileInfo\\040704B0\\CompanyName"] = "eins";
  block.Values["\\StringFileInfo\\040904E4\\CompanyName"] = "two";
  TVersionInfoResource info(SourceOf(block));
  info.SetTranslationIndex(1);
  info.SetFileName("app.exe");
  EXPECT_EQ(info.GetVersionKey(vkCompanyName), "two");
  info.SetTranslationIndex(5);
  info.ReadVersionInfo();
  EXPECT_EQ(info.TranslationIndex(), 0);
  EXPECT_EQ(info.GetVersionKey(vkCompanyName), "eins");
}

TEST(VersionInfoTest, StandardKeysAndBuildFlags) {
  TVersionBlock block = BlockWithVersion(1, 0, 0, 0);
  const char* keys[] = {"CompanyName",    "FileDescription", "FileVersion",      "InternalName",
                        "LegalCopyright", "LegalTrademarks", "OriginalFilename", "ProductName",
                        "ProductVersion", "Comments",        "BuildFlags"};
  for (const char* key : keys)
    block.Values[std::string("\\StringFileInfo\\040904E4\\") + key] = key;
  block.Fixed->FileFlags = VS_FF_SPECIALBUILD | VS_FF_DEBUG | VS_FF_PATCHED | VS_FF_INFOINFERRED;
  TVersionInfoResource info(SourceOf(block));
  info.SetFileName("app.exe");
  for (int i = 0; i <= 10; ++i) EXPECT_EQ(info.GetVersionKey(i), keys[i]);
  EXPECT_EQ(info.GetVersionKey(11), "");
  EXPECT_EQ(info.GetVersionKey(-1), "");
  EXPECT_EQ(info.GetVersionKey("NoSuchKey"), "");
  EXPECT_EQ(info.GetBuildFlags(), "Debug, Info Inferred, Patched, Special");
  block.Fixed->FileFlags = 0x3F;
  TVersionInfoResource all(SourceOf(block));
  all.SetFileName("app.exe");
  EXPECT_EQ(all.GetBuildFlags(), "Debug, Info Inferred, Patched, Pre-Release, Private, Special");

  // Loading another file forgets the old block.
  info.SetFileName("other.exe");
  EXPECT_EQ(info.GetVersionKey(vkProductName), "");
  EXPECT_FALSE(info.FileVersion().Valid);
}

TEST(VersionInfoTest, ComparesPackedVersionsMajorFirst) {
  struct Row {
    std::uint32_t a, b;
    bool less, greater;
  };
  const Row rows[] = {
      {PackVersion(1, 9, 9, 9), PackVersion(2, 0, 0, 0), true, false},
      {PackVersion(1, 0, 2, 66), PackVersion(1, 0, 2, 66), false, false},
      {PackVersion(1, 1, 2, 67), PackVersion(1, 1, 2, 66), false, true},
      // The build sits in the high byte: it must not outweigh the major.
      {PackVersion(1, 0, 0, 255), PackVersion(2, 0, 0, 0), true, false},
      {PackVersion(1, 2, 0, 0), PackVersion(1, 1, 255, 255), false, true},
      {PackVersion(255, 0, 0, 0), PackVersion(1, 255, 255, 255), false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(VersionToText(row.a) + " vs " + VersionToText(row.b));
    EXPECT_EQ(VersionLess(row.a, row.b), row.less);
    EXPECT_EQ(VersionGreater(row.a, row.b), row.greater);
  }
}

TEST(VersionInfoTest, ProgramCarriesItsCompiledInVersion) {
  EXPECT_EQ(GetProductName(), "Halvorn");
  std::uint32_t packed = GetPackedVersion();
  EXPECT_NE(packed & 0xFF, 0u) << "a major of 0 would mark the program as a beta";
  // The central service changes its frame format at 1.1.2.66.
  EXPECT_TRUE(VersionGreater(packed, PackVersion(1, 1, 2, 66)));
  unsigned parts[4];
  char tail = 0;
  EXPECT_EQ(std::sscanf(GetVersionText().c_str(), "v%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2],
                        &parts[3], &tail),
            4)
      << GetVersionText();
  EXPECT_EQ(GetVersionText(), VersionToText(packed));

  TVersionInfoResource own;
  own.SetFileName(ProgramFilePath());
  EXPECT_EQ(own.FileVersion().Text,
            GetVersionText().substr(1));  // parts below 256 print alike
  EXPECT_EQ(own.Translations(), std::vector<std::string>{"040904E4"});
}

}  // namespace
}  // namespace halvorn
