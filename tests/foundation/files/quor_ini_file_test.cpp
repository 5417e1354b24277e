#include "foundation/files/quor_ini_file.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/app/log_capture.h"
#include "foundation/files/atomic_file.h"
#include "platform/main_thread.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

// An object loaded from a text, with no file behind it.
void LoadText(TQuorIniFile& ini, const std::string& text) {
  ini.LoadFromStream(text);
  ini.SetModified(false);
}

TEST(QuorIniFile, ReadsFollowTheLineRules) {
  TQuorIniFile ini("");
  LoadText(ini,
           "stray=before any heading\n"
           "  [Server]  \r\n"
           "Host=mail.example.com\r"
           "PortX=5\n"
           "port=110\n"
           "Spaced = 110\n"
           "Empty=\n"
           "Blanks=   \n"
           "Trailing=abc  \n"
           "\tIndented=yes\n"
           ";comment=is a line\n"
           "Bool2=2\n"
           "BoolAbc=abc\n"
           "BoolOne= 1 \n"
           "TriteY=Y\n"
           "TriteX=x\n"
           "TriteYes=yes\n"
           "Big=4294967296\n"
           "Neg=-2147483648\n"
           "Plus=+7\n"
           "Eq=a=b\n"
           "[server]\n"
           "Host=second section\n"
           "Cut=before\0after\n"s);

  struct Row {
    const char* ident;
    const char* expected;  // ReadString with the default "?"
  } rows[] = {
      {"Host", "mail.example.com"},
      {"Port", "110"},  // PortX=5 follows the last hit but is not Port
      {"PORT", "110"},
      {"Spaced", "?"},   // the line's name is "Spaced "
      {"Spaced ", "?"},  // the identifier is trimmed
      {"Empty", "?"},
      {"Blanks", "?"},
      {"Trailing", "abc  "},
      {"Indented", "yes"},
      {";comment", "is a line"},
      {"Eq", "a=b"},
      {"stray", "?"},
      {"Cut", "?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.ident);
    EXPECT_EQ(ini.ReadString("Server", row.ident, "?"), row.expected);
  }
  std::string value = "untouched";
  EXPECT_FALSE(ini.TryReadString("Server", "Empty", value));
  EXPECT_FALSE(ini.TryReadString("Nowhere", "Host", value));
  EXPECT_EQ(value, "untouched");

  EXPECT_EQ(ini.ReadInteger("Server", "Port", -1), 110);
  EXPECT_EQ(ini.ReadInteger("Server", "Big", 7), 7);  // beyond 32 bits
  EXPECT_EQ(ini.ReadInteger("Server", "Neg", 0), INT32_MIN);
  EXPECT_EQ(ini.ReadInteger("Server", "Plus", 0), 7);
  EXPECT_EQ(ini.ReadInteger("Server", "Host", 0x100000005LL), 5);  // low 32 bits of the default
  std::int32_t number = 0;
  EXPECT_FALSE(ini.TryReadInteger("Server", "Big", number));

  EXPECT_FALSE(ini.ReadBool("Server", "Bool2", true));
  EXPECT_TRUE(ini.ReadBool("Server", "BoolAbc", true));
  EXPECT_FALSE(ini.ReadBool("Server", "BoolAbc", false));
  EXPECT_TRUE(ini.ReadBool("Server", "BoolOne", false));
  bool flag = false;
  EXPECT_FALSE(ini.TryReadBool("Server", "Bool2", flag));
  EXPECT_FALSE(ini.TryReadBool("Server", "BoolAbc", flag));
  EXPECT_TRUE(ini.TryReadBool("Server", "BoolOne", flag));
  EXPECT_TRUE(flag);

  EXPECT_EQ(ini.ReadTrite("Server", "TriteY", 9), 0);
  EXPECT_EQ(ini.ReadTrite("Server", "TriteX", 9), 2);
  EXPECT_EQ(ini.ReadTrite("Server", "TriteYes", 9), 9);
  EXPECT_FALSE(ini.Modified());

  TStringList sections;
  ini.ReadSections(sections);
  EXPECT_EQ(sections.ToVector(), (std::vector<std::string>{"Server", "server"}));
  // Look-ups find the first of two sections of one name, until it goes.
  ini.EraseSection("SERVER");
  EXPECT_EQ(ini.ReadString("Server", "Host", "?"), "second section");
}

TEST(QuorIniFile, WritesChangeOnlyWhatDiffers) {
  TQuorIniFile ini("");
  ini.WriteString("Server", "  Port ", "110");
  EXPECT_TRUE(ini.Modified());
  EXPECT_EQ(ini.SaveToStream(), "[Server]\r\nPort=110\r\n\r\n");

  ini.SetModified(false);
  ini.WriteString("SERVER", "port", "110");  // the same value: nothing changes
  EXPECT_FALSE(ini.Modified());
  ini.WriteString("Server", "Answer", "yes");
  ini.WriteString("Server", "ANSWER", "Yes");  // values compare with case
  EXPECT_EQ(ini.ReadString("Server", "Answer", "?"), "Yes");
  EXPECT_EQ(ini.SaveToStream(), "[Server]\r\nPort=110\r\nANSWER=Yes\r\n\r\n");

  ini.SetModified(false);
  ini.WriteString("Server", "Port", "   ");  // an all-blank value deletes
  EXPECT_TRUE(ini.Modified());
  EXPECT_EQ(ini.ReadString("Server", "Port", "gone"), "gone");
  ini.SetModified(false);
  ini.WriteString("Server", "Missing", "");  // nothing to delete
  EXPECT_FALSE(ini.Modified());

  ini.WriteInteger("Numbers", "Wide", 5000000000LL);
  EXPECT_EQ(ini.ReadString("Numbers", "Wide", ""), "5000000000");
  EXPECT_EQ(ini.ReadInteger("Numbers", "Wide", -1), -1);
  ini.WriteBool("Numbers", "On", true);
  ini.WriteTrite("Numbers", "No", 1);
  ini.WriteTrite("Numbers", "Unknown", 7);
  EXPECT_EQ(ini.ReadString("Numbers", "On", ""), "1");
  EXPECT_EQ(ini.ReadString("Numbers", "No", ""), "n");
  EXPECT_EQ(ini.ReadString("Numbers", "Unknown", ""), "u");
}

TEST(QuorIniFile, WritesOnTheMainThreadLetItHandleItsMessages) {
  platform::MarkMainThread();
  int pumped = 0;
  platform::SetMainThreadHooks({[&pumped] { ++pumped; }, {}});
  TQuorIniFile ini("");
  ini.WriteString("S", "A", "1");
  EXPECT_EQ(pumped, 1);
  // Turned off for objects written under a lock that a handler might take.
  ini.SetProcessMessages(false);
  ini.WriteString("S", "B", "2");
  EXPECT_EQ(pumped, 1);
  platform::SetMainThreadHooks({});
}

TEST(QuorIniFile, LinesThatWouldBreakTheFileAreDefused) {
  TQuorIniFile ini("");
  ini.WriteString("Odd", "Multi", "one\r\ntwo\nthree\0four"s);
  ini.WriteString("Odd", "Id\nent", "v");
  ini.WriteString("Sec\rtion", "A", "1");
  ini.WriteString("Odd", "[Fake]", "1");  // would read back as a heading
  ini.WriteString("Odd", "a=b", "1");     // would read back as the name "a"
  TStringList list{"Listed=x\ny", "", "  "};
  ini.WriteSectionValues("Odd", list);

  TQuorIniFile back("");
  back.LoadFromStream(ini.SaveToStream());
  EXPECT_EQ(back.ReadString("Odd", "Multi", "?"), "one  two three four");
  EXPECT_EQ(back.ReadString("Odd", "Id ent", "?"), "v");
  // The names as they were written find the values too.
  EXPECT_EQ(back.ReadString("Odd", "Id\nent", "?"), "v");
  EXPECT_EQ(back.ReadString("Sec\rtion", "A", "?"), "1");
  EXPECT_EQ(back.ReadString("Sec tion", "A", "?"), "1");
  EXPECT_EQ(back.ReadString("Odd", "Listed", "?"), "x y");
  EXPECT_FALSE(back.SectionExists("Fake"));
  EXPECT_EQ(back.ReadString("Odd", "a", "?"), "?");
  TStringList lines;
  back.ReadSectionValues("Odd", lines);
  EXPECT_EQ(lines.ToVector(),
            (std::vector<std::string>{"Multi=one  two three four", "Id ent=v", "Listed=x y"}));
}

TEST(QuorIniFile, SectionListsAndErasing) {
  TQuorIniFile ini("");
  LoadText(ini, "[List]\nb=2\n");
  TStringList list{"a=1", "b=2"};
  ini.WriteSectionValues("list", list);  // appends, duplicates and all
  EXPECT_TRUE(ini.Modified());
  TStringList read;
  ini.ReadSectionValues("List", read);
  EXPECT_EQ(read.ToVector(), (std::vector<std::string>{"b=2", "a=1", "b=2"}));
  ini.ReadSectionValues("Missing", read);
  EXPECT_TRUE(read.Empty());

  ini.SetModified(false);
  ini.WriteSectionValues("Other", TStringList());
  EXPECT_FALSE(ini.Modified());
  EXPECT_TRUE(ini.SectionExists("Other"));

  ini.SetModified(false);
  ini.EraseSection("NoSuchSection");
  EXPECT_TRUE(ini.Modified());
  ini.EraseSection("LIST");
  EXPECT_FALSE(ini.SectionExists("List"));
}

TEST(QuorIniFile, FileLifecycle) {
  TempFolder folder;
  const std::string path = folder.Sub("deep/er/settings.txt");

  {
    // A missing file is created empty, with its folders.
    TQuorIniFile ini(path);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_FALSE(ini.Modified());
    ini.WriteString("Main", "Key", "value");
  }  // freeing a modified object writes the file
  EXPECT_EQ(ReadFileBytes(path), "[Main]\r\nKey=value\r\n\r\n");

  // A loader that changes nothing leaves the file's own form alone.
  ASSERT_TRUE(WriteFileBytes(path, "junk\n[Main]\nKey=value\n[Empty]\n"));
  {
    TQuorIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Main", "Key", ""), "value");
  }
  EXPECT_EQ(ReadFileBytes(path), "junk\n[Main]\nKey=value\n[Empty]\n");

  {
    // Erasing a missing section still rewrites: the stray line and the
    // empty section go.
    TQuorIniFile ini(path);
    ini.EraseSection("Nothing");
  }
  EXPECT_EQ(ReadFileBytes(path), "[Main]\r\nKey=value\r\n\r\n");

  {
    TQuorIniFile ini(path, true);  // DontLoad
    EXPECT_FALSE(ini.SectionExists("Main"));
    ini.WriteString("Only", "A", "1");
    ini.WriteString("Only", "A", "");
    ini.UpdateFile();  // a section without lines: an empty file
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(ReadFileBytes(path), "");
    ini.Clear();
    ini.UpdateFile();  // no sections at all: no file
    EXPECT_FALSE(fs::exists(path));
  }
  EXPECT_FALSE(fs::exists(path));

  fs::create_directories(folder.Sub("a folder"));
  EXPECT_THROW(TQuorIniFile(folder.Sub("a folder")), EQuorIniFileError);
}

TEST(QuorIniFile, EnsureFileExists) {
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.Sub("file"), "keep"));
  EXPECT_TRUE(EnsureFileExists(folder.Sub("file")));
  EXPECT_EQ(ReadFileBytes(folder.Sub("file")), "keep");
  EXPECT_TRUE(EnsureFileExists(folder.Sub("x/y/new")));
  EXPECT_TRUE(fs::is_regular_file(folder.Sub("x/y/new")));
  EXPECT_FALSE(EnsureFileExists(folder.Sub("file/below a file")));
  EXPECT_FALSE(EnsureFileExists(""));
}

// A settings file that cannot be created is logged with its path and the
// reason; the object still holds what is written to it.
TEST(QuorIniFile, AFileThatCannotBeCreatedIsLogged) {
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.Sub("file"), "keep"));
  const std::string path = folder.Sub("file/settings.txt");
  test::LogCapture log;
  TQuorIniFile ini(path);
  EXPECT_TRUE(log.Contains("Cannot create " + path + ": Not a directory")) << log.Text();
  ini.WriteString("Main", "Key", "value");
  EXPECT_EQ(ini.ReadString("Main", "Key", ""), "value");
  ini.SetModified(false);
}

TEST(QuorIniFile, TrailingBlanksOfValuesSurviveSaveAndLoad) {
  TempFolder folder;
  const std::string path = folder.Sub("accounts.txt");
  const std::string password = "pa ss\t ";  // a scrambled password may end in blanks
  {
    TQuorIniFile ini(path, true);
    ini.WriteString("Account", "Password", password);
    ini.WriteString("Account", "Port", " 110 ");
    ini.UpdateFile();
  }
  TQuorIniFile ini(path);
  EXPECT_EQ(ini.ReadString("Account", "Password", "?"), password);
  EXPECT_EQ(ini.ReadInteger("Account", "Port", 0), 110);
  // Writing the value it read back changes nothing.
  ini.WriteString("Account", "Password", password);
  EXPECT_FALSE(ini.Modified());
}

TEST(QuorIniFile, FailedSavesLeaveTheOldFile) {
  TempFolder folder;
  const std::string path = folder.Sub("settings.txt");
  const std::string old = "[Main]\r\nKey=old\r\n\r\n";
  const AtomicWriteStep steps[] = {AtomicWriteStep::Create, AtomicWriteStep::Write,
                                   AtomicWriteStep::Sync, AtomicWriteStep::Rename};
  for (AtomicWriteStep step : steps) {
    SCOPED_TRACE(static_cast<int>(step));
    ASSERT_TRUE(WriteFileBytes(path, old));
    {
      TQuorIniFile ini(path);
      ini.WriteString("Main", "Key", "new");
      FailNextAtomicWriteForTests(step, ENOSPC);
      EXPECT_THROW(ini.UpdateFile(), EQuorIniFileError);
      EXPECT_TRUE(ini.Modified());
      EXPECT_EQ(ReadFileBytes(path), old);

      // Freeing the object tries again; a failure there is logged, not thrown.
      FailNextAtomicWriteForTests(step, EIO);
    }
    EXPECT_EQ(ReadFileBytes(path), old);
    EXPECT_EQ(fs::directory_iterator(folder.Path())->path().filename(), "settings.txt");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);
  }
  FailNextAtomicWriteForTests(AtomicWriteStep::None, 0);
}

// Plain settings texts whose canonical form the enciphered tests use.
std::string SettingsText(std::size_t valueLength) {
  return "[S]\r\nK=" + std::string(valueLength, 'v') + "\r\n\r\n";
}

// Runs tests/data/blowfish_oracle.py's rounds in a script that writes
// enciphered settings files: for each {path, plain text, body length cut}
// the header, then the text in zero-filled 248-byte blocks, cut to `cut`
// body bytes when it is not negative.
struct EncipheredCase {
  std::string path;
  std::string text;
  long cut = -1;
};

void WriteEncipheredWithPython(const std::vector<EncipheredCase>& cases) {
  std::string input;
  for (const EncipheredCase& c : cases) {
    std::string hex;
    for (unsigned char ch : c.text) {
      static const char digits[] = "0123456789abcdef";
      hex += digits[ch >> 4];
      hex += digits[ch & 15];
    }
    input += c.path + "\t" + (hex.empty() ? "-" : hex) + "\t" + std::to_string(c.cut) + "\n";
  }
  const std::string script = R"PY(
import os, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
from blowfish_oracle import BF
cipher = BF(b'')  # the settings file's key is too long for the schedule
for line in sys.stdin.read().split('\n'):
    if not line:
        continue
    path, hexText, cut = line.split('\t')
    text = b'' if hexText == '-' else bytes.fromhex(hexText)
    body = b''
    for i in range(0, len(text), 248):
        block = text[i:i + 248]
        body += cipher.ecb(block + b'\0' * (248 - len(block)))
    if int(cut) >= 0:
        body = body[:int(cut)]
    with open(path, 'wb') as f:
        f.write(b'Encrypted File v1.0\r\n' + body)
)PY";
  auto result = test::RunCommand(
      {test::PythonPath(), "-c", script, test::DataPath("blowfish_oracle.py")}, input);
  ASSERT_EQ(result.ExitCode, 0);
}

TEST(QuorIniFile, EncipheredFilesWrittenByAnIndependentCipher) {
  TempFolder folder;
  std::string mixed = "[Accounts]\r\nUser=x@example.com\r\nPassword=\xe9t\xe9 ends blank \r\n\r\n";
  for (int i = 0; i < 60; ++i)
    mixed += "[Section" + std::to_string(i) + "]\r\nKey" + std::to_string(i) + "=" +
             std::string(i, 'a' + i % 26) + "\r\n\r\n";
  const std::vector<EncipheredCase> cases = {
      {folder.Sub("mixed.txt"), mixed},
      {folder.Sub("one.txt"), SettingsText(248 - 11)},  // exactly one block
      {folder.Sub("two.txt"), SettingsText(496 - 11)},  // exactly two blocks
      {folder.Sub("short.txt"), SettingsText(3)},
  };
  WriteEncipheredWithPython(cases);

  for (const EncipheredCase& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string written = ReadFileBytes(c.path);
    ASSERT_EQ(written.size() % 248, 21u);
    TQuorIniFile ini(c.path);
    EXPECT_TRUE(ini.Encrypted());
    TQuorIniFile plain("");
    plain.LoadFromStream(c.text);
    TStringList sections;
    plain.ReadSections(sections);
    for (int i = 0; i < sections.Count(); ++i) {
      TStringList expected, actual;
      plain.ReadSectionValues(sections[i], expected);
      ini.ReadSectionValues(sections[i], actual);
      EXPECT_EQ(actual.ToVector(), expected.ToVector());
    }
    // Written back through the same object: the same bytes.
    EXPECT_EQ(ini.SaveToStream(), written);
    ini.UpdateFile();
    EXPECT_EQ(ReadFileBytes(c.path), written);
  }
  TQuorIniFile ini(cases[0].path);
  EXPECT_EQ(ini.ReadString("Accounts", "Password", ""), "\xe9t\xe9 ends blank ");
  EXPECT_EQ(ini.ReadString("Section59", "Key59", ""), std::string(59, 'a' + 59 % 26));

  // A new object writes plain text.
  TQuorIniFile fresh(folder.Sub("mixed.txt"), true);
  fresh.WriteString("A", "B", "C");
  EXPECT_FALSE(fresh.Encrypted());
  EXPECT_EQ(fresh.SaveToStream(), "[A]\r\nB=C\r\n\r\n");
}

TEST(QuorIniFile, DamagedEncipheredFilesReadWhatTheyHold) {
  TempFolder folder;
  // The value "Z" runs to byte 244 of the first block, "Next" across the second.
  const std::string text =
      "[S]\r\nA=first\r\nZ=" + std::string(248 - 16 - 4, 'z') + "\r\nNext=two\r\n\r\n";
  ASSERT_EQ(text.size(), 248u + 10);
  const std::vector<EncipheredCase> cases = {
      {folder.Sub("cut245.txt"), text, 245},  // a short last block is zero-filled
      {folder.Sub("cut250.txt"), text, 250},  // 2 bytes of the second block
      {folder.Sub("headeronly.txt"), text, 0},
  };
  WriteEncipheredWithPython(cases);

  TQuorIniFile cut245(cases[0].path);
  EXPECT_EQ(cut245.ReadString("S", "A", "?"), "first");
  // The block holds the first 245 bytes; its last cipher block is damaged.
  EXPECT_EQ(cut245.ReadString("S", "Z", "?").substr(0, 200), std::string(200, 'z'));
  EXPECT_EQ(cut245.ReadString("S", "Next", "?"), "?");

  TQuorIniFile cut250(cases[1].path);
  EXPECT_EQ(cut250.ReadString("S", "Z", "?"), std::string(248 - 20, 'z'));
  EXPECT_EQ(cut250.ReadString("S", "Next", "?"), "?");

  TQuorIniFile headerOnly(cases[2].path);
  EXPECT_TRUE(headerOnly.Encrypted());
  EXPECT_FALSE(headerOnly.SectionExists("S"));
}

}  // namespace
}  // namespace halvorn
