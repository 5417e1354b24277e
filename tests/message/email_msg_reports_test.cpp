// The report files: hostile message fields read back by Python's html.parser
// and html.unescape, the date line against Python's datetime across a
// daylight-saving change, names, links, the summary table, and files that
// are written once, whole, and never over another file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "email_msg_fakes.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/time/clock.h"
#include "message/email_msg.h"
#include "message/link_key.h"
#include "message/email_msg_reports.h"
#include "message/quor_url.h"
#include "notice_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::CrLf;
using test::MessageFromBytes;

class ReportsTest : public test::MessageFolderTest {
 protected:
  std::string ReportsDir() { return GetReportsDir(kSingleUserName); }

  static std::string ReportPath(TEmailMsg& msg, TEmailInfoKey key) {
    return GetReportsDir(kSingleUserName) + "/" + msg.GetInfoValue(key);
  }

  // Writes both report files as the processing does.
  static void WriteBoth(TEmailMsg& msg) {
    EXPECT_EQ(msg.BuildSummaryInfo(10), "");
    EXPECT_EQ(WriteSummaryReportFile(msg), "");
  }
};

// What the message brings into the reports never becomes markup: html.parser
// finds no element of the message's, and the raw text reads back as the
// message's lines.
TEST_F(ReportsTest, HostileFieldsStayTextAndTheRawTextReadsBack) {
  const std::string text = CrLf(
      "From: \"Eve <script>x</script>\" <eve@example.com>\n"
      "To: <xmsg>bob</xmsg>@example.com & \"quoted\"\n"
      "CC: 'c' <img src=x onerror=alert(1)>\n"
      "Subject: <script>alert(\"s\")</script> & <xmsg a=\"1\"> caf\xE9 \"q\" 'a'\n"
      "Date: Tue, 3 Dec 2002 10:15:00 +0100\n"
      "Content-Type: text/html; charset=iso-8859-1\n"
      "\n"
      "<html><body><script>alert(1)</script><xmsg onclick=\"x\">cr\xE8me  br\xFBl\xE9" "e &amp; &lt;</xmsg>\n"
      "</body></html>\n"
      "--></pre><xmsg>\n");
  TEmailMsgRef msg = MessageFromBytes(text);
  msg->GeneralInfo().AddLine("General finding", 1, kHtmlKindAll, true);
  WriteBoth(*msg);
  const std::string full = ReportPath(*msg, TEmailInfoKey::ReportFile);
  const std::string summary = ReportPath(*msg, TEmailInfoKey::SummaryReport);
  TStringList lines;
  msg->GetRawText(lines, false);

  const test::CommandResult py = test::RunPython(R"PY(
import html, sys
from html.parser import HTMLParser
full, summary, expected_hex = sys.stdin.read().split("\n")[:3]
class Tags(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = []
    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
# The elements the report pages are made of; the message brings none.
allowed = {"html", "head", "meta", "title", "body", "center", "img", "hr", "p", "b", "br", "blockquote",
           "pre", "tt", "ul", "li", "table", "tr", "td", "th", "font", "style", "h1", "a", "i"}
for path in (full, summary):
    page = open(path, "rb").read().decode("latin-1")
    parser = Tags()
    parser.feed(page)
    for tag, attrs in parser.tags:
        if tag not in allowed or any(a.startswith("on") for a in attrs):
            print("element", path, tag, attrs)
        if tag == "img" and not attrs.get("src", "").startswith("http://LocalHost:"):
            print("image", path, attrs)
page = open(full, "rb").read().decode("latin-1")
raw = page[page.index("<pre><tt>") + 9:page.index("</tt></pre>")]
# A second blank of a run is written as &nbsp; (the escaper's rule), which
# reads back as U+00A0; the message has no such byte.
shown = html.unescape(raw).replace("\xa0", " ")
expected = bytes.fromhex(expected_hex).decode("latin-1")
print("raw", "same" if shown == expected else "differs:\n%r\n%r" % (shown, expected))
)PY",
                                                 full + "\n" + summary + "\n" +
                                                     test::HexOf(lines.Text().substr(0, lines.Text().size() - 2)) +
                                                     "\n");
  ASSERT_EQ(py.ExitCode, 0) << py.Output;
  EXPECT_EQ(py.Output, "raw same\n");
}

// "Date Sent" shows the date in the local zone of that date, whatever the
// zone today, as Python's datetime does.
TEST_F(ReportsTest, DateSentInTheLocalZoneOfThatDate) {
  struct TzReset {
    ~TzReset() { tzset(); }
  } reset;
  test::ScopedEnv tz("TZ", "Europe/Berlin");
  tzset();
  // Read in summer: a winter date keeps its winter offset.
  ScopedClockForTests clock(EncodeDateTime(2024, 7, 1, 12, 0, 0));
  const char* const dates[] = {
      "Tue, 15 Jan 2002 10:15:00 -0500",  // winter
      "Mon, 15 Jul 2002 10:15:00 -0500",  // summer
      "Sun, 31 Mar 2002 00:30:00 +0000",  // the night of the change
      "Sun, 31 Mar 2002 01:30:00 +0000",
      "Tue, 15 Jan 2002 10:15:00 +0100",  // as written: no second date
      "15 Jan 2002 23:59:59 GMT",
  };
  std::string input;
  std::vector<std::string> lines;
  for (const char* date : dates) {
    TEmailMsgRef msg = MessageFromBytes(CrLf(std::string("Subject: s\nDate: ") + date + "\n\nbody\n"));
    BuildMessageInfo(*msg);
    const TSimpleHtml& info = msg->MessageInfo();
    ASSERT_EQ(info.Count(), 5) << date;
    lines.push_back(info[4]);
    input += std::string(date) + "\n";
  }
  const test::CommandResult py = test::RunPython(R"PY(
import os, sys, time
from email.utils import parsedate_tz, mktime_tz
from datetime import datetime, timedelta, timezone
os.environ["TZ"] = "Europe/Berlin"
time.tzset()
def fmt(d):
    return d.strftime("%a, ") + str(d.day) + d.strftime(" %b %Y %H:%M:%S ")
for line in sys.stdin.read().split("\n"):
    if not line:
        continue
    parts = parsedate_tz(line)
    offset = parts[9] or 0
    written = datetime(*parts[:6])
    local = datetime.fromtimestamp(mktime_tz(parts))
    text = "<br><b>Date Sent:</b> " + fmt(local) + " local time zone"
    if fmt(written) != fmt(local):
        text += " (" + fmt(written) + " sender's time zone.)"
    print(text)
)PY",
                                                 input);
  ASSERT_EQ(py.ExitCode, 0) << py.Output;
  EXPECT_EQ(test::OutputLines(py.Output), lines);
}

TEST_F(ReportsTest, NamesAreDrawnOnceAndKept) {
  const std::string text = CrLf("Subject: A subject line that is much longer than that\n\nbody\n");
  TEmailMsgRef first = MessageFromBytes(text);
  TEmailMsgRef second = MessageFromBytes(text);
  std::string path, again, other, summary;
  first->GetFullReportFileName(path);
  first->GetFullReportFileName(again);
  second->GetFullReportFileName(other);
  first->GetSummaryReportFileName(summary);
  EXPECT_EQ(path, again);
  EXPECT_NE(path, other);
  const std::string name = std::filesystem::path(path).filename().string();
  // "Full_Report " and 25 characters of the subject, blanks made "_", a
  // unique suffix and ".htm".
  EXPECT_EQ(name.rfind("Full_Report_A_subject_line_that_is_mu(", 0), 0u) << name;
  EXPECT_TRUE(name.ends_with(".htm"));
  EXPECT_EQ(first->GetInfoValue(TEmailInfoKey::ReportFile), name);
  EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(ReportsDir()));
  EXPECT_EQ(std::filesystem::path(summary).filename().string().rfind("Summary_Report_A_subject", 0), 0u);

  std::string link;
  first->GetReportUrl(link);
  TQuorUrl url;
  url.SetUrl(link);
  EXPECT_EQ(url.Document, "GetReport");
  EXPECT_EQ(url.Host + ":" + std::to_string(url.Port), "LocalHost:6173");
  EXPECT_EQ(url.Values("UserId"), "SingleUser");
  EXPECT_EQ(url.Values("File"), name);
  // Backup links and paths need a backup file name, and a plain one.
  first->GetBackupUrl(".eml", link);
  EXPECT_EQ(link, "");
  first->SetInfoValue(TEmailInfoKey::BackupFile, "My Backup(AbCdE).eml");
  first->GetBackupUrl(".eml", link);
  url.SetUrl(link);
  EXPECT_EQ(url.Document, "GetBackup");
  EXPECT_EQ(url.Values("UserId"), "SingleUser");
  EXPECT_EQ(url.Values("File"), "My Backup(AbCdE).eml");
  EXPECT_EQ(url.Values("FileExt"), ".eml");
  first->GetBackupFileName(path);
  EXPECT_EQ(path, GetBackupsDir(kSingleUserName) + "/My Backup(AbCdE).eml");
  for (const char* bad : {"../x.eml", "a/b.eml", "..", "."}) {
    first->SetInfoValue(TEmailInfoKey::BackupFile, bad);
    first->GetBackupFileName(path);
    EXPECT_EQ(path, "") << bad;
  }
}

TEST_F(ReportsTest, WrittenOnceWholeAndNeverOverAnotherFile) {
  TEmailMsgRef msg = MessageFromBytes(CrLf("Subject: once\n\nbody\n"));
  std::string full;
  msg->GetFullReportFileName(full);

  // A write that fails leaves no file, and the next call writes it. The
  // links in the page need the link key, made (and stored) at first use:
  // make it first, so the failure meets the report.
  (void)GetLinkKey();
  FailNextAtomicWriteForTests(AtomicWriteStep::Write, ENOSPC);
  EXPECT_NE(msg->WriteFullReport(), "");
  EXPECT_FALSE(std::filesystem::exists(full));
  EXPECT_EQ(msg->WriteFullReport(), "");
  ASSERT_TRUE(std::filesystem::exists(full));

  // A name another writer takes between drawing and renaming: the report
  // gets a new name, which is stored; the other file stays as it was.
  std::string summary;
  msg->GetSummaryReportFileName(summary);
  SetBeforeNoReplaceRenameForTests([&](const std::string& target) {
    if (target == summary) test::WriteFileBytes(target, "someone else's");
  });
  EXPECT_EQ(WriteSummaryReportFile(*msg), "");
  SetBeforeNoReplaceRenameForTests({});
  EXPECT_EQ(test::ReadFileBytes(summary), "someone else's");
  const std::string stored = ReportPath(*msg, TEmailInfoKey::SummaryReport);
  EXPECT_NE(stored, summary);
  EXPECT_NE(test::ReadFileBytes(stored).find("summary report"), std::string::npos);

  // Asked again, nothing is touched.
  struct stat before {};
  ASSERT_EQ(stat(full.c_str(), &before), 0);
  const std::string bytes = test::ReadFileBytes(full);
  const std::vector<std::string> files = Entries(ReportsDir());
  msg->BuildSummaryReportAndInfo();
  EXPECT_EQ(Entries(ReportsDir()), files);
  struct stat after {};
  ASSERT_EQ(stat(full.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(test::ReadFileBytes(full), bytes);
}

TEST_F(ReportsTest, SummaryTableLevelsAndAdditionalItems) {
  TEmailMsgRef msg = MessageFromBytes(CrLf("Subject: t\n\nbody\n"));
  msg->GeneralInfo().AddLine("always", 1, kHtmlKindAll, true);
  msg->GeneralInfo().AddLine("detailed", 8, kHtmlKindAll, true);
  msg->CategoryInfo().AddLine("category detail", 9, kHtmlKindAll, true);

  msg->BuildSummaryInfo(0);
  EXPECT_TRUE(msg->SummaryInfo().Empty());
  msg->BuildSummaryInfo(1);
  const std::string level1 = msg->SummaryInfo().Text();
  EXPECT_NE(level1.find("always"), std::string::npos);
  EXPECT_EQ(level1.find("detailed"), std::string::npos);
  EXPECT_EQ(level1.find("Halvorn Categories:"), std::string::npos);
  for (int i = 0; i < msg->SummaryInfo().Count(); ++i) EXPECT_LE(msg->SummaryInfo().GetLevel(i), 1);
  msg->BuildSummaryInfo(10);
  EXPECT_NE(msg->SummaryInfo().Text().find("Halvorn Categories:"), std::string::npos);

  // The full report lists the additional items, or says there are none.
  std::string full;
  msg->GetFullReportFileName(full);
  EXPECT_NE(test::ReadFileBytes(full).find("No additional information was added."), std::string::npos);

  TEmailMsgRef withItems = MessageFromBytes(CrLf("Subject: u\n\nbody\n"));
  withItems->AdditionalInfo().Add()->AddLine("first item", 1, kHtmlKindAll, true);
  withItems->AdditionalInfo().Add()->AddLine("too detailed", 9, kHtmlKindAll, true);
  withItems->AdditionalInfo().Add()->AddLine("third item", 1, kHtmlKindAll, true);
  TSimpleHtml target;
  withItems->GetAdditionalInfo(target, 1);
  EXPECT_EQ(target.ToVector(), (std::vector<std::string>{"<br>first item<br>", "<HR width=\"30%\" align=\"left\">",
                                                         "<br>third item<br>"}));
  withItems->WriteFullReport();
  withItems->GetFullReportFileName(full);
  const std::string page = test::ReadFileBytes(full);
  EXPECT_NE(page.find("<ul>\r\n<li>first item\r\n</li>\r\n<li>too detailed\r\n</li>\r\n<li>third item\r\n</li>\r\n</ul>"),
            std::string::npos)
      << page;
}

// The raw text of a message with a backup is the backup's, read as message
// lines: a first line of the sender's is no property line.
TEST_F(ReportsTest, RawTextFromTheBackup) {
  TEmailMsgRef msg = MessageFromBytes(CrLf("Subject: b\n\nthe processed text\n"));
  const std::string backup = GetBackupsDir(kSingleUserName) + "/b(AbCdE).eml";
  ASSERT_TRUE(test::WriteFileBytes(backup, CrLf("X-SMTP: ContentId=7\nSubject: b\n\nthe original <text>\n")));
  msg->SetInfoValue(TEmailInfoKey::BackupFile, "b(AbCdE).eml");
  EXPECT_EQ(msg->WriteFullReport(), "");
  const std::string page = test::ReadFileBytes(ReportPath(*msg, TEmailInfoKey::ReportFile));
  EXPECT_NE(page.find("<pre><tt>X-SMTP: ContentId=7\r\nSubject: b\r\n\r\nthe original &lt;text&gt;</tt></pre>"),
            std::string::npos)
      << page;
  EXPECT_EQ(page.find("processed"), std::string::npos);
}

}  // namespace
}  // namespace halvorn
