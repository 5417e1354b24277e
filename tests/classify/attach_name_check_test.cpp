// The attachment check: the names it matches and the headers it names, set
// against Python's reading of messages that Python's email package made;
// the lines each finding of the attachment scoring gives; its description,
// its section and its phrase-list search.
#include "classify/attach_name_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "classify/simple_tests_support.h"
#include "classify/test_factory.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/time/clock.h"
#include "message/email_msg_part.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MessageFromBytes;

// What Python read of one top-level part after the first.
struct PythonNames {
  int Index = 0;
  std::optional<std::string> Disposition, Type, ContentId;
  bool Disposition2231 = false, Type2231 = false;
};

struct Fixtures {
  std::map<std::string, std::string> Bytes;
  std::map<std::string, std::vector<PythonNames>> Parts;
};

const Fixtures& AttachmentFixtures() {
  static const Fixtures fixtures = [] {
    Fixtures made;
    const test::CommandResult result =
        test::RunCommand({test::PythonPath(), test::DataPath("attachment_fixtures.py")});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    auto value = [](const std::string& field) -> std::optional<std::string> {
      if (field == "-") return std::nullopt;
      return test::BytesFromHex(field[0] == '*' ? field.substr(1) : field);
    };
    for (const std::string& line : test::OutputLines(result.Output)) {
      std::istringstream in(line);
      std::string kind, name;
      in >> kind >> name;
      if (kind == "M") {
        std::string hex;
        in >> hex;
        made.Bytes[name] = test::BytesFromHex(hex);
      } else if (kind == "A") {
        PythonNames part;
        std::string disposition, type, cid;
        in >> part.Index >> disposition >> type >> cid;
        part.Disposition = value(disposition);
        part.Type = value(type);
        part.Disposition2231 = disposition[0] == '*';
        part.Type2231 = type[0] == '*';
        part.ContentId = value(cid);
        made.Parts[name].push_back(part);
      }
    }
    return made;
  }();
  return fixtures;
}

TEmailMsgRef Fixture(const std::string& name) {
  const auto& bytes = AttachmentFixtures().Bytes;
  const auto found = bytes.find(name);
  EXPECT_NE(found, bytes.end()) << name;
  return MessageFromBytes(found == bytes.end() ? std::string() : found->second);
}

// A test that only searches names: every switch and threshold off.
std::shared_ptr<TAttachNameCheck> NameSearch(const std::string& pattern) {
  auto test = std::make_shared<TAttachNameCheck>();
  test->SetName("AC");
  test->SetAttachmentName(pattern);
  for (int i = 0; i < TAttachNameCheck::kSwitchCount; ++i)
    test->SetSwitch(static_cast<TAttachNameCheck::TSwitch>(i), false);
  test->SetWarningLevel(0);
  test->SetDangerLevel(0);
  test->SetUserFlaggedAsVirus(0);
  return test;
}

// The headline, with "<br>" before it when lines follow.
std::string Headline(bool passed, bool lines) {
  return std::string("10 ") + (lines ? "<br>" : "") + "email " + (passed ? "passed" : "failed") +
         " Attachment Check \"AC\".<br>";
}

// The first attachment's findings, as the attachment scoring would leave
// them.
void SetFindings(TEmailMsg& msg, const std::function<void(TEmailMsgPart&)>& set) {
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailMsgPartCollection& parts = msg.GetParts();
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailHeader* header = parts.Items(i)->Header();
    if (header != nullptr && (header->IsAttachment() || header->IsInlineAttachment())) {
      set(*parts.Items(i));
      return;
    }
  }
  ADD_FAILURE() << "no attachment";
}

// Where the first name of the first named attachment comes from, as Python
// read it, and the name the test cites; apart from the differences below,
// each a rule of the message model's names (email_header.h).
TEST(AttachNameCheck, CitesTheNameAndHeaderPythonReads) {
  const Fixtures& fixtures = AttachmentFixtures();
  ASSERT_GE(fixtures.Bytes.size(), 10u);
  std::set<std::string> seen;
  const std::map<std::string, std::string> differences = {
      {"rfc2231", "RFC 2231 parameters (filename*=) are not read: no name"},
      {"cleaned", "< > ? * : | \" / \\ are dropped from names: \"<logo@x>\" reads \"logo@x\""},
  };
  auto cleaned = [](std::string name) {
    std::erase_if(name, [](char c) { return std::string_view("<>?*:|\"/\\").find(c) != std::string_view::npos; });
    return name;
  };
  for (const auto& [name, bytes] : fixtures.Bytes) {
    SCOPED_TRACE(name);
    std::string cited, header;
    const auto parts = fixtures.Parts.find(name);
    if (parts != fixtures.Parts.end()) {
      for (const PythonNames& part : parts->second) {
        if (part.Disposition2231 || part.Type2231) seen.insert("rfc2231");
        if (part.Disposition && !part.Disposition2231) {
          cited = *part.Disposition;
          header = "Content-Disposition";
        } else if (part.Type && !part.Type2231) {
          cited = *part.Type;
          header = "Content-Type";
        } else if (part.ContentId) {
          cited = cleaned(*part.ContentId);
          if (cited != *part.ContentId) seen.insert("cleaned");
          header = "Content-ID";
        }
        if (!header.empty()) break;
      }
    }
    const auto test = NameSearch("*");
    const TEmailMsgRef msg = Fixture(name);
    const bool named = !header.empty();
    EXPECT_EQ(test->Evaluate(*msg, nullptr), named);
    Lines expected{Headline(named, named)};
    if (named)
      expected.push_back("5 <br>The search name \"*\" matched the name \"" + cited +
                         "\" specified in the " + header + " tag of the attachment.");
    EXPECT_EQ(ExplanationLines(*test), expected);
  }
  for (const auto& [kind, why] : differences) EXPECT_TRUE(seen.count(kind)) << "stale: " << why;
  // A pattern on the disposition's name of one of two attachments.
  const auto exe = NameSearch("*.BAT");
  EXPECT_TRUE(exe->Evaluate(*Fixture("two"), nullptr));
  EXPECT_EQ(ExplanationLines(*exe)[1],
            "5 <br>The search name \"*.BAT\" matched the name \"run.bat\" specified in the "
            "Content-Disposition tag of the attachment.");
  EXPECT_FALSE(NameSearch("")->Evaluate(*Fixture("two"), nullptr));
  EXPECT_FALSE(NameSearch("*.exe")->Evaluate(*Fixture("two"), nullptr));
}

TEST(AttachNameCheck, EachFindingOfTheScoringGivesItsLine) {
  using Set = std::function<void(TEmailMsgPart&)>;
  const std::string invoice = "\"invoice.txt.exe\"";
  struct Row {
    std::string fixture;
    Set set;
    std::function<void(TAttachNameCheck&)> settings;
    Lines lines;
  } rows[] = {
      {"invoice", [](TEmailMsgPart&) {}, nullptr, {}},
      {"differing", [](TEmailMsgPart& p) { p.MultipleFileNames = true; }, nullptr,
       {"Multiple file names found for attachment \"report.pdf.exe\"/\"report.pdf\"."}},
      {"invoice", [](TEmailMsgPart& p) { p.NoFileName = true; }, nullptr,
       {"No file name found for attachment."}},
      // An attached message without a name is not suspicious for it.
      {"rfc822", [](TEmailMsgPart& p) { p.NoFileName = true; }, nullptr, {}},
      {"invoice", [](TEmailMsgPart& p) { p.MultipleExtensions = true; }, nullptr,
       {"Multiple file extensions found in name of attachment " + invoice + "."}},
      {"invoice", [](TEmailMsgPart& p) { p.HiddenExtension = true; }, nullptr,
       {"Benign file extension found hiding dangerous file extension in attachment " + invoice +
        "."}},
      {"invoice", [](TEmailMsgPart& p) { p.QchVirus = true; }, nullptr,
       {"Quorvantis has categorized attachment " + invoice + " as a virus."}},
      {"invoice", [](TEmailMsgPart& p) { p.DifferingExtensions = true; }, nullptr,
       {"More than one name was supplied for attachment " + invoice +
        ", and these names had different file extensions."}},
      {"invoice", [](TEmailMsgPart& p) { p.SafeMimeUnsafeType = true; }, nullptr,
       {"Attachment " + invoice + ", had a safe MIME type for an unsafe file type."}},
      {"invoice", [](TEmailMsgPart& p) { p.ClassIdFileType = "Package"; }, nullptr,
       {"Attachment " + invoice +
        ", had a class id indicating it's file type rather than a file extension."}},
      {"invoice", [](TEmailMsgPart& p) { p.FileRiskLevel = 3; }, nullptr,
       {"Warning level of very high matched or exceded threshold of very high for attachment " +
        invoice + "."}},
      {"invoice", [](TEmailMsgPart& p) { p.FileRiskLevel = 2; },
       [](TAttachNameCheck& t) { t.SetWarningLevel(1); },
       {"Warning level of high matched or exceded threshold of moderate for attachment " +
        invoice + "."}},
      // A warning level of 0 ("low") never judges.
      {"invoice", [](TEmailMsgPart& p) { p.FileRiskLevel = 3; },
       [](TAttachNameCheck& t) { t.SetWarningLevel(0); }, {}},
      {"invoice", [](TEmailMsgPart& p) { p.DangerPoints = 50; }, nullptr,
       {"Danger level of 50 matched or exceded threshold of 50 for attachment " + invoice + "."}},
      {"invoice", [](TEmailMsgPart& p) { p.DangerPoints = 49; }, nullptr, {}},
      {"invoice", [](TEmailMsgPart& p) { p.AttachmentValue = 2; }, nullptr,
       {"2 users categorized this attachment as a virus. Passes threshold of 2 for attachment " +
        invoice + "."}},
      {"inline", [](TEmailMsgPart& p) { p.FileRiskLevel = 3; }, nullptr,
       {"Attachment \"photo.gif\", was set to be opened when the email was viewed (i.e. Inline).",
        "The risk level of attachment \"photo.gif\" is very high and it was set to be opened when "
        "the email was viewed.",
        "Warning level of very high matched or exceded threshold of very high for attachment "
        "\"photo.gif\"."}},
      {"inline", [](TEmailMsgPart& p) { p.FileRiskLevel = 1; },
       [](TAttachNameCheck& t) { t.SetSwitch(TAttachNameCheck::swIsInline, false); },
       {"The risk level of attachment \"photo.gif\" is moderate and it was set to be opened when "
        "the email was viewed."}},
      {"blanks",
       [](TEmailMsgPart& p) {
         p.ConsecutiveSpaces = true;
         p.FileRiskLevel = 2;
       },
       nullptr,
       {"Multiple spaces found in name of attachment \"readme.txt            .exe\".",
        "The risk level of attachment \"readme.txt            .exe\" is high and it has multiple "
        "spaces in the file name."}},
      {"blanks",
       [](TEmailMsgPart& p) {
         p.ConsecutiveSpaces = true;
         p.FileRiskLevel = 3;
       },
       [](TAttachNameCheck& t) {
         t.SetSwitch(TAttachNameCheck::swMultipleSpacesAndVeryHigh, false);
         t.SetWarningLevel(-1);
       },
       {"Multiple spaces found in name of attachment \"readme.txt            .exe\"."}},
  };
  for (const Row& row : rows) {
    const TEmailMsgRef msg = Fixture(row.fixture);
    SetFindings(*msg, row.set);
    TAttachNameCheck test;
    test.SetName("AC");
    if (row.settings) row.settings(test);
    SCOPED_TRACE(row.fixture + ": " + (row.lines.empty() ? "nothing" : row.lines[0]));
    const bool passes = !row.lines.empty();
    EXPECT_EQ(test.Evaluate(*msg, nullptr), passes);
    Lines expected{Headline(passes, passes)};
    for (const std::string& line : row.lines) expected.push_back("5 <br>" + line);
    EXPECT_EQ(ExplanationLines(test), expected);
  }
  // No attachment: nothing can make it pass.
  TAttachNameCheck test;
  test.SetName("AC");
  EXPECT_FALSE(test.Evaluate(*Fixture("plain"), nullptr));
  // A set abort flag ends the walk before the next attachment.
  const TEmailMsgRef msg = Fixture("invoice");
  SetFindings(*msg, [](TEmailMsgPart& p) { p.QchVirus = true; });
  const std::atomic<bool> stop{true};
  EXPECT_FALSE(test.Evaluate(*msg, &stop));
  EXPECT_TRUE(test.Evaluate(*msg, nullptr));
}

TEST(AttachNameCheck, SearchesAPhraseListPurgedOnce) {
  test::ScopedPhraseLists lists;
  const auto names = lists.Add("{Attachment Names}", {"old.scr", "older.pif", "*.exe"});
  names->SetDaysToExpire(30);
  names->SetAccessDate(0, Now() - 400);
  names->SetAccessDate(1, Now() - 400);
  const auto test = NameSearch("{Attachment Names}");
  EXPECT_TRUE(test->Evaluate(*Fixture("invoice"), nullptr));
  EXPECT_EQ(ExplanationLines(*test),
            (Lines{Headline(true, true),
                   "5 <br>The search name \"*.exe\" from the list \"{Attachment Names}\" matched "
                   "the name \"invoice.txt.exe\" specified in the Content-Disposition tag of the "
                   "attachment."}));
  EXPECT_EQ(names->Count(), 1);
  EXPECT_EQ(test->Describe().substr(0, 66),
            "Attachment name matchs any text in the list \"{Attachment Names}\"\r\n");
  // A renamed list is followed; a name that is no list is a pattern.
  test->PhraseListRenamed("{Names}", "{attachment names}");
  EXPECT_EQ(test->Settings().AttachmentName, "{Attachment Names}");
  test->PhraseListRenamed("{Names}", "{Attachment Names}");
  EXPECT_EQ(test->Settings().AttachmentName, "{Names}");
  EXPECT_EQ(test->Describe().substr(0, 43), "Attachment name matchs the text \"{Names}\"\r\n");
}

TEST(AttachNameCheck, DescriptionSectionAndInvalidTest) {
  TAttachNameCheck test;
  const std::string all =
      "Attachment has multiple file names or attachment has no file name or attachment has "
      "multiple file extensions or attachment has multiple spaces in it's file name or "
      "attachment has a benign file extension hiding a dangerous one or attachment has been "
      "flagged as a virus by Quorvantis or attachment has more than one name with differing file "
      "extensions or attachment will be activated as soon as the message is viewed or attachment "
      "has a MIME risk level lower than it's file extension would indicate or attachment will be "
      "activated as soon as the message is viewed and is very dangerous or attachment has "
      "multiple spaces in it's file name and the risk level of the file type is very high or "
      "attachment has multiple spaces in it's file name and the risk level of the file type is "
      "high or attachment has multiple spaces in it's file name and the risk level of the file "
      "type is moderate or attachment will be activated as soon as the message is viewed and is "
      "dangerous or attachment will be activated as soon as the message is viewed and is "
      "moderately risky or attachment type is identified by class id rather than file extension"
      "\r\n or the risk level for the attachment file type is greater than or equal to very high"
      "\r\n or the overall danger level for the attachment file type is greater than or equal to "
      "50\r\n or more than 2 users have categorized this attachment as a virus.";
  EXPECT_EQ(test.Describe(), "This Test IS INCOMPLETE/INVALID because the Test has no name.\r\n" + all);
  test.SetName("AC");
  EXPECT_EQ(test.Describe(), all);
  const auto bare = NameSearch("");
  bare->SetWarningLevel(0);
  EXPECT_EQ(bare->Describe(),
            "The risk level for the attachment file type is greater than or equal to low");
  EXPECT_EQ(test.GetNote().substr(0, 23), "\r\n\"Wild Card\" character");

  // Without a name it judges nothing and says why.
  TAttachNameCheck nameless;
  const TEmailMsgRef msg = Fixture("invoice");
  SetFindings(*msg, [](TEmailMsgPart& p) { p.FileRiskLevel = 3; });
  EXPECT_FALSE(nameless.Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(nameless),
            Lines{"9 <br>Test is invalid because the Test has no name."});

  // The section, in the order of its keys; damaged values keep the defaults.
  test.SetAttachmentName("*.exe");
  test.SetSwitch(TAttachNameCheck::swIsInline, false);
  test.SetWarningLevel(2);
  TQuorIniFile ini("", true);
  test.SaveToIni(ini);
  const std::string saved = ini.SaveToStream();
  EXPECT_NE(saved.find("AttachmentName=*.exe\r\nWarningLevel=2\r\nDangerLevel=50\r\n"
                       "UserFlaggedAsVirus=2\r\nMultipleFileNames=1\r\nNoFileName=1\r\n"
                       "MultipleFileExt=1\r\nMultipleSpacesInFileName=1\r\n"
                       "BenignFileExtDangerousFileExt=1\r\nQuorFlaggedAsVirus=1\r\n"
                       "DifExtOnDifNames=1\r\nIsInline=0\r\nMimeRiskLowerThanExtRisk=1\r\n"
                       "InlineAndVeryHigh=1\r\nMultipleSpacesAndVeryHigh=1\r\n"
                       "MultipleSpacesAndHigh=1\r\nMultipleSpacesAndModerate=1\r\n"
                       "InlineAndHigh=1\r\nInlineAndModerate=1\r\nCLSIDFileExtension=1\r\n"),
            std::string::npos)
      << saved;
  const auto loaded = CreateTestFromClassName("TAttachNameCheck");
  ASSERT_NE(loaded, nullptr);
  loaded->SetName("AC");
  loaded->LoadFromIni(ini);
  TQuorIniFile again("", true);
  loaded->SaveToIni(again);
  EXPECT_EQ(again.SaveToStream(), saved);

  TQuorIniFile damaged("", true);
  damaged.LoadFromStream("[Test-AC]\r\nWarningLevel=high\r\nIsInline=yes\r\nDangerLevel=\r\n");
  TAttachNameCheck fromDamaged;
  fromDamaged.SetName("AC");
  fromDamaged.SetAttachmentName("kept?");
  fromDamaged.LoadFromIni(damaged);
  const TAttachNameCheck::TSettings s = fromDamaged.Settings();
  EXPECT_EQ(s.AttachmentName, "");  // a missing name reads empty
  EXPECT_EQ(s.WarningLevel, 3);
  EXPECT_EQ(s.DangerLevel, 50);
  EXPECT_TRUE(s.Switches[TAttachNameCheck::swIsInline]);
}

}  // namespace
}  // namespace halvorn
