// The file-extension risk table: the built-in text as shipped, look-ups,
// insertion, copies, the stored form, and loads of files the user edited.
#include "lists/file_extensions.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::unique_ptr<TFileExtensionList> BuiltInTable() {
  auto table = std::make_unique<TFileExtensionList>();
  table->LoadBuiltIn();
  return table;
}

std::string Saved(TFileExtensionList& table) {
  std::string bytes;
  table.SaveToStream(bytes);
  return bytes;
}

TEST(FileExtensions, TheBuiltInTableHoldsWhatShips) {
  const auto table = BuiltInTable();
  ASSERT_EQ(table->Count(), 162);
  std::map<int, int> byRisk;
  int aliases = 0, withAddresses = 0;
  for (int i = 0; i < table->Count(); ++i) {
    const auto entry = table->Items(i);
    SCOPED_TRACE(entry->Extension);
    ++byRisk[entry->Risk];
    if (!entry->Alias.empty()) ++aliases;
    if (entry->URLs.Count() > 0) ++withAddresses;
    EXPECT_GE(entry->Descriptions.Count(), 1);
    if (i > 0) {
      EXPECT_LT(CompareText1252(table->Items(i - 1)->Extension, entry->Extension), 0);
    }
  }
  EXPECT_EQ(byRisk, (std::map<int, int>{{3, 75}, {2, 12}, {1, 8}, {0, 36}, {-2, 29}, {-3, 2}}));
  EXPECT_EQ(aliases, 29);
  EXPECT_EQ(withAddresses, 37);

  struct Row {
    const char* extension;
    int risk;
    std::string alias;
    std::vector<std::string> descriptions;
  } rows[] = {
      {"386", 3, "",
       {"Windows Enhanced Mode Driver or Swap File for use in an 80386 or higher  microprocessor",
        "A device driver is executable code and, as such, can be infected and should be "
        "scanned."}},
      {"EXE", 3, "", {"Executable File"}},
      {"VBS", 3, "", {"Script file (Microsoft Visual Basic) (Common virus language)"}},
      {"OV?", 2, "",
       {"Program File Overlay. (Can be used for a variety of tasks associated with a program. "
        "Overlays typically add functions to programs. It's possible to infect overlay files but "
        "not usually likely.)"}},
      {"XLS", 2, "",
       {"Worksheet file (Microsoft Excel)",
        "Excel files can contain macros that are powerful enough to be used to spread viruses.  "
        "It is ",
        "a good idea to scan any excel files with a virus scanner."}},
      {"TXT", 0, "", {"ASCII Text File (i.e. plain, safe unformatted text)"}},
      {"SIT", -2, "", {"Compressed archive Macintosh (Stuffit)", "Note: contents of archive may be dangerous"}},
      {"EPI", -3, "ps", {"Encapsulated PostScript (text and graphics) (Express Publisher)."}},
      {"JTF", 0, "JPEG", {"JPEG Tagged Interchange Format image"}},
      {"BK$", 0, "", {"Backup file"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.extension);
    int index = -1;
    ASSERT_TRUE(table->Find(row.extension, index));
    const auto entry = table->Items(index);
    EXPECT_EQ(entry->Extension, row.extension);
    EXPECT_EQ(entry->Risk, row.risk);
    EXPECT_EQ(entry->Alias, row.alias);
    EXPECT_EQ(entry->Descriptions.ToVector(), row.descriptions);
  }
  // Written back, the table is the shipped text byte for byte; the line of
  // TXT is the one the stored form is shown by.
  const std::string saved = Saved(*table);
  EXPECT_EQ(saved, BuiltInFileExtensionsText());
  EXPECT_NE(saved.find("\r\n1=TXT,3=0,\"4=\"\"ASCII Text File (i.e. plain, safe unformatted "
                       "text)\"\"\"\r\n"),
            std::string::npos);
}

TEST(FileExtensions, FindAndFindOrAddKeepTheOrder) {
  const auto table = BuiltInTable();
  int exe = -1;
  ASSERT_TRUE(table->Find("EXE", exe));
  for (const char* text : {"exe", ".EXE", " Exe ", " . .exe"}) {
    SCOPED_TRACE(text);
    int index = -1;
    EXPECT_TRUE(table->Find(text, index));
    EXPECT_EQ(index, exe);
  }
  int index = -1;
  EXPECT_FALSE(table->Find("  ", index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(table->Find("ZZZ", index));
  EXPECT_EQ(index, table->Count());
  EXPECT_EQ(table->FindOrAdd(" . "), nullptr);

  // An extension between BM and BPS goes between them.
  int bm = -1;
  ASSERT_TRUE(table->Find("BM", bm));
  const auto added = table->FindOrAdd(".bn");
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->Extension, "bn");
  EXPECT_EQ(added->Risk, kRiskNotSet);
  EXPECT_EQ(table->Count(), 163);
  EXPECT_TRUE(table->Find("BN", index));
  EXPECT_EQ(index, bm + 1);
  EXPECT_EQ(table->Items(bm + 2)->Extension, "BPS");
  EXPECT_EQ(table->IndexOf(added.get()), bm + 1);
  EXPECT_EQ(table->FindOrAdd("BN"), added);
  // Not saved while it says nothing; a class id is saved all the same.
  EXPECT_EQ(Saved(*table), BuiltInFileExtensionsText());
  table->FindOrAdd("{0003000C-0000-0000-C000-000000000046}");
  EXPECT_NE(Saved(*table).find("\r\n1={0003000C-0000-0000-C000-000000000046},3=-1\r\n"),
            std::string::npos);
  std::string description = "x";
  EXPECT_FALSE(table->FindOrAdd("{0003000C-0000-0000-C000-000000000046}")
                   ->GetClsidDescription(description));
  EXPECT_EQ(description, "");
}

TEST(FileExtensions, CopiesUpdatesAndDeletes) {
  const auto table = BuiltInTable();
  auto copy = table->GetCopy(".jpg");
  EXPECT_EQ(copy->Risk, 0);
  EXPECT_EQ(copy->Alias, "jpeg");
  copy->Risk = 3;
  copy->Descriptions.Clear();
  copy.reset();
  EXPECT_EQ(table->GetCopy("JPG")->Risk, 0);
  EXPECT_EQ(table->GetCopy("JPG")->Descriptions.Count(), 1);
  // An unknown extension gives an empty entry, which the table now holds.
  EXPECT_EQ(table->GetCopy("qqq")->Risk, kRiskNotSet);
  int index = -1;
  EXPECT_TRUE(table->Find("QQQ", index));
  EXPECT_EQ(table->GetCopy("")->Extension, "");
  EXPECT_EQ(table->Count(), 163);

  // A risk set from a link; the extension cannot be changed that way.
  EXPECT_TRUE(table->Update("qqq", [](TFileExtension& entry) {
    entry.Risk = 2;
    entry.Extension = "AAA";
  }));
  EXPECT_EQ(table->GetCopy("QQQ")->Risk, 2);
  EXPECT_FALSE(table->Update("", [](TFileExtension&) {}));

  const auto held = table->Items(index);
  table->Delete(index);
  table->Delete(-1);
  table->Delete(table->Count());
  EXPECT_EQ(table->Count(), 162);
  EXPECT_FALSE(table->Find("QQQ", index));
  EXPECT_EQ(held->Risk, 2);  // whole for whoever holds it
}

TEST(FileExtensions, RiskNamesAndContentTypes) {
  const std::map<int, std::string> names = {
      {-3, "unknown"}, {-2, "unknown"},  {-1, "unknown"},   {0, "low"},
      {1, "moderate"}, {2, "high"},      {3, "very high"}, {4, "unknown"}};
  for (const auto& [risk, name] : names) EXPECT_EQ(FileRiskLevelName(risk), name) << risk;

  const auto table = BuiltInTable();
  const auto jpeg = table->FindByContentType("image/jpeg");
  ASSERT_NE(jpeg, nullptr);
  EXPECT_EQ(jpeg->Risk, 0);
  // An unknown type has no entry; not the text file's, which the system's
  // answer for an unknown type would name.
  EXPECT_EQ(table->FindByContentType("x-unknown/nothing-at-all"), nullptr);
  EXPECT_EQ(table->FindByContentType(""), nullptr);
}

TEST(FileExtensions, StoredForm) {
  struct Row {
    std::string line;
    std::string extension, alias;
    int risk;
    std::vector<std::string> descriptions, addresses;
    std::string written;
  } rows[] = {
      {"1=.Doc,\"2= .doc \",3=1,4=Word", "Doc", "doc", 1, {"Word"}, {}, "1=Doc,2=doc,3=1,4=Word"},
      {"1=ABC,3=x", "ABC", "", -1, {}, {}, "1=ABC,3=-1"},
      {"1=ABC", "ABC", "", -1, {}, {}, "1=ABC,3=-1"},
      {"3=2,4=orphan", "", "", 2, {"orphan"}, {}, "3=2,4=orphan"},
      {"1=EXE,3=3,\"5=http://example.org/a?b=c,http://example.org/d\"", "EXE", "", 3, {},
       {"http://example.org/a?b=c", "http://example.org/d"},
       "1=EXE,3=3,\"5=http://example.org/a?b=c,http://example.org/d\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    TFileExtension entry;
    entry.FromText(row.line);
    EXPECT_EQ(entry.Extension, row.extension);
    EXPECT_EQ(entry.Alias, row.alias);
    EXPECT_EQ(entry.Risk, row.risk);
    EXPECT_EQ(entry.Descriptions.ToVector(), row.descriptions);
    EXPECT_EQ(entry.URLs.ToVector(), row.addresses);
    EXPECT_EQ(entry.ToText(), row.written);
  }
  // A reference address standing last on its built-in line stays whole.
  const auto table = BuiltInTable();
  EXPECT_EQ(table->GetCopy("SHS")->URLs.ToVector(),
            std::vector<std::string>{"https://en.wikipedia.org/wiki/Shell_Scrap"});
}

// A file edited by hand: out of order, lines ended by LF alone, an
// extension twice (the later line wins), a blank line, no end after the
// last line. It loads sorted, and saves the same bytes after a reload.
TEST(FileExtensions, AHandEditedFileLoadsSortedWithTheLastOfEqualExtensions) {
  test::TempFolder folder;
  const std::string path = folder.Sub("FileExtensionsInfo.txt");
  ASSERT_TRUE(test::WriteFileBytes(
      path,
      "1=ZIP,3=0,4=Archive\r\n1=exe,3=1\n\n1=ABC,3=2\r\n1=EXE,3=3,\"4=\"\"The last one\"\"\"\r\n"
      "1=abc,3=0"));
  TFileExtensionList table;
  ASSERT_TRUE(table.LoadFromFile(path));
  ASSERT_EQ(table.Count(), 3);
  EXPECT_EQ(table.Items(0)->Extension, "abc");
  EXPECT_EQ(table.Items(0)->Risk, 0);
  EXPECT_EQ(table.Items(1)->Extension, "EXE");
  EXPECT_EQ(table.Items(1)->Risk, 3);
  EXPECT_EQ(table.Items(2)->Extension, "ZIP");
  int index = -1;
  EXPECT_TRUE(table.Find("zip", index));
  // FindOrAdd finds what the file had instead of adding it again.
  table.FindOrAdd("Exe");
  EXPECT_EQ(table.Count(), 3);

  const std::string saved = Saved(table);
  EXPECT_EQ(saved, "1=abc,3=0\r\n1=EXE,3=3,\"4=\"\"The last one\"\"\"\r\n1=ZIP,3=0,4=Archive\r\n");
  ASSERT_EQ(table.SaveToFile(path), "");
  TFileExtensionList again;
  ASSERT_TRUE(again.LoadFromFile(path));
  EXPECT_EQ(Saved(again), saved);

  // A load on the table's worker joins the table when read; a missing file
  // loads nothing.
  TFileExtensionList threaded;
  threaded.LoadBuiltIn();
  EXPECT_TRUE(threaded.LoadFromFile(path, true));
  EXPECT_TRUE(threaded.LoadFromFile(folder.Sub("missing.txt"), true));
  threaded.WaitForLoad();
  EXPECT_EQ(threaded.Count(), 164);  // abc and ZIP joined; EXE replaced the built-in one
  EXPECT_EQ(threaded.GetCopy("exe")->Descriptions.ToVector(),
            std::vector<std::string>{"The last one"});
  EXPECT_FALSE(TFileExtensionList().LoadFromFile(folder.Sub("missing.txt")));
}

}  // namespace
}  // namespace halvorn
