#include "lists/wildcards_help.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/regex/phrase_wildcards.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// The page, read by an HTML parser no one here wrote (strict: a parse error
// fails), gives examples that are what the matcher does with whole texts,
// and names exactly the characters that make an entry a pattern.
TEST(WildcardsHelpPage, ItsExamplesAndCharactersAreTheMatchers) {
  const std::string page(ShippedWildcardsHelpPage());
  const test::CommandResult parsed = test::RunPython(
      "import html5lib, sys\n"
      "doc = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False).parse(\n"
      "    sys.stdin.buffer.read().decode('cp1252'))\n"
      "tables = list(doc.iter('table'))\n"
      "for tr in tables[0].iter('tr'):\n"
      "  cells = [''.join(td.itertext()) for td in tr.iter('td')]\n"
      "  if cells: print('char|' + cells[0])\n"
      "for tr in tables[-1].iter('tr'):\n"
      "  if tr.get('class') == 'example':\n"
      "    print('example|' + '|'.join(''.join(td.itertext()) for td in tr.iter('td')))\n",
      page);
  ASSERT_EQ(parsed.ExitCode, 0) << parsed.Output;
  std::string characters;
  int examples = 0;
  for (const std::string& line : test::OutputLines(parsed.Output)) {
    SCOPED_TRACE(line);
    if (line.rfind("char|", 0) == 0) {
      ASSERT_EQ(line.size(), 6u);
      characters += line[5];
      continue;
    }
    const std::size_t first = line.find('|', 8);
    const std::size_t second = line.find('|', first + 1);
    ASSERT_NE(second, std::string::npos);
    const std::string pattern = line.substr(8, first - 8);
    const std::string text = line.substr(first + 1, second - first - 1);
    const std::string result = line.substr(second + 1);
    ASSERT_TRUE(result == "matches" || result == "does not match");
    EXPECT_TRUE(FindPhraseWildcard(pattern));
    EXPECT_EQ(WildcardFind(text, pattern, false), result == "matches");
    ++examples;
  }
  EXPECT_GT(examples, 0);
  EXPECT_EQ(characters, "*?#$^~");
  for (int c = 1; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(FindPhraseWildcard(one), characters.find(one) != std::string::npos) << c;
  }
}

TEST(WildcardsHelpPage, IsInstalledOnceAndReplacedWhenItDiffers) {
  test::TempFolder folder;
  test::ScopedEnv home("HALVORN_HOME", folder.Path());
  ResetFolderCachesForTests();
  const std::string path = WildcardsHelpPagePath();
  EXPECT_EQ(path, GetInstallDir() + "/Help/PhraseWildcards.html");
  EXPECT_EQ(InstallWildcardsHelpPage(), "");
  EXPECT_EQ(test::ReadFileBytes(path), ShippedWildcardsHelpPage());
  const TFileStamp installed = GetFileStamp(path);
  EXPECT_EQ(InstallWildcardsHelpPage(), "");
  EXPECT_EQ(GetFileStamp(path), installed);  // not written again
  ASSERT_TRUE(test::WriteFileBytes(path, "an older page"));
  EXPECT_EQ(InstallWildcardsHelpPage(), "");
  EXPECT_EQ(test::ReadFileBytes(path), ShippedWildcardsHelpPage());
  ResetFolderCachesForTests();
}

}  // namespace
}  // namespace halvorn
