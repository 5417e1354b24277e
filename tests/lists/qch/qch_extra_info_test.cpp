// The HTML of the central service's records and extra information. The
// extra information comes from the service and other users and lands in the
// local web server's pages, so the rendering is read back with Python's
// html.parser: links and texts must come back exactly as given, and no tag
// but the harmless few may appear.
#include "lists/qch/qch_extra_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "foundation/time/date_time.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// What html.parser makes of the HTML: each start tag with its attributes
// ("tag name=value ..."), each link ("link href|text"), and the text.
struct Parsed {
  std::vector<std::string> Tags;
  std::vector<std::string> Links;
  std::string Text;
};

Parsed ParseHtml(const std::string& html) {
  const std::string script = R"(
import sys, html.parser
class P(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.href = None
        self.link = ""
        self.text = ""
    def handle_starttag(self, tag, attrs):
        print("tag", tag, " ".join("%s=%s" % (k, v) for k, v in attrs))
        if tag == "a":
            self.href = dict(attrs).get("href")
            self.link = ""
    def handle_endtag(self, tag):
        if tag == "a" and self.href is not None:
            print("link", self.href + "|" + self.link.strip())
            self.href = None
    def handle_data(self, data):
        self.text += data
        if self.href is not None:
            self.link += data
p = P()
p.feed(sys.stdin.buffer.read().decode("latin-1"))
p.close()
print("text", p.text.replace("\n", " ").replace("\r", " ").replace("\xa0", " "))
)";
  const auto result = test::RunPython(script, html);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  Parsed parsed;
  for (const std::string& line : test::OutputLines(result.Output)) {
    if (line.rfind("tag ", 0) == 0) parsed.Tags.push_back(line.substr(4));
    if (line.rfind("link ", 0) == 0) parsed.Links.push_back(line.substr(5));
    if (line.rfind("text ", 0) == 0) parsed.Text = line.substr(5);
  }
  return parsed;
}

std::string TagName(const std::string& tag) {
  return tag.substr(0, tag.find(' '));
}

TEST(QchExtraInfo, LinksAndTextsComeBackAsGivenAndNoOtherTag) {
  const std::vector<std::string> links = {
      "http://info.test/msg?id=1&kind=2",
      "https://x.test/\"><script>alert(1)</script>",
      "HTTPS://UPPER.test/a'b<c>",
      "ftp://files.test/spam.txt",
  };
  const std::vector<std::string> notLinks = {"javascript:alert(document.cookie)",
                                             "data:text/html,<b>x</b>", "www.no-scheme.test"};
  std::string extra;
  for (const auto& link : links) AddQchExtraInfoItem("R", link, extra);
  for (const auto& link : notLinks) AddQchExtraInfoItem("UL", link, extra);
  AddQchExtraInfoItem("UL", links[1], extra);
  AddQchExtraInfoItem("T", "Plain <b>text</b> & \"quotes\"", extra);
  AddQchExtraInfoItem("T", "second line", extra);
  // A note is a comma text of lines, led by the user's number.
  TStringList numbered;
  numbered.Add("42");
  numbered.Add("Sender is <i>fine</i>");
  numbered.Add("really");
  AddQchExtraInfoItem("UT", numbered.CommaText(), extra);
  AddQchExtraInfoItem("UT", "\"only one line\"", extra);
  TStringList note;
  note.Add("not a number");
  note.Add("Second <script>x()</script>");
  AddQchExtraInfoItem("UT", note.CommaText(), extra);

  TSimpleHtml html;
  EXPECT_FALSE(QchExtraInfoToHtml(extra, html));
  const Parsed parsed = ParseHtml(html.Text());
  for (const std::string& tag : parsed.Tags) {
    SCOPED_TRACE(tag);
    const std::string name = TagName(tag);
    EXPECT_TRUE(name == "a" || name == "br" || name == "blockquote" || name == "tt");
  }
  std::vector<std::string> expectedLinks;
  for (const auto& link : links) expectedLinks.push_back(link + "|" + link);
  expectedLinks.push_back(links[1] + "|" + links[1]);
  EXPECT_EQ(parsed.Links, expectedLinks);
  for (const auto& text : notLinks) EXPECT_NE(parsed.Text.find(text), std::string::npos) << text;
  for (const char* text :
       {"Plain <b>text</b> & \"quotes\"", "second line", "Sender is <i>fine</i>", "really",
        "Second <script>x()</script>", "Quorvantis user number 42:",
        "provided by an Quorvantis user:", "More information on this message can be found here:",
        "were provided by Quorvantis users:"})
    EXPECT_NE(parsed.Text.find(text), std::string::npos) << text;
  EXPECT_EQ(parsed.Text.find("only one line"), std::string::npos);
  EXPECT_EQ(parsed.Text.find("42\r"), std::string::npos);
}

TEST(QchExtraInfo, ServiceHtmlKeepsOnlyHarmlessTags) {
  const std::string hostile =
      "<b>bold</b> <I>it</I><br/><p style=\"x\">para</p><script>steal()</script>"
      "<img src=x onerror=\"steal()\"><a href=\"javascript:steal()\">js</a>"
      "<a href='https://safe.test/?a=1&amp;b=2' onclick=\"steal()\">safe</a>"
      "<iframe src=\"https://evil.test/\"></iframe><!-- comment --> 1 < 2 & 3 > 2 &amp; &#65;";
  std::string extra;
  AddQchExtraInfoItem("H", hostile, extra);
  AddQchExtraInfoItem("HT", "1", extra);
  TSimpleHtml html;
  EXPECT_TRUE(QchExtraInfoToHtml(extra, html));
  const Parsed parsed = ParseHtml(html.Text());
  std::vector<std::string> names;
  for (const std::string& tag : parsed.Tags) names.push_back(TagName(tag));
  EXPECT_EQ(names, (std::vector<std::string>{"br", "b", "i", "br", "p", "a"}));
  EXPECT_EQ(parsed.Links, (std::vector<std::string>{"https://safe.test/?a=1&b=2|safe"}));
  EXPECT_EQ(parsed.Tags.back(), "a href=https://safe.test/?a=1&b=2");
  // What was not kept shows as text.
  for (const char* text : {"<script>steal()</script>", "<img src=x", "<iframe", "1 < 2 & 3 > 2 & A"})
    EXPECT_NE(parsed.Text.find(text), std::string::npos) << text;
}

TEST(QchExtraInfo, SafeServiceHtml) {
  const std::pair<const char*, const char*> rows[] = {
      {"<b>x</b>", "<b>x</b>"},
      {"<B CLASS=y>x</B >", "<b>x</b>"},
      {"<br><br/><BR />", "<br><br><br>"},
      {"<a href=http://a.test/>a</a>", "<a href=\"http://a.test/\">a</a>"},
      {"<a href=\"http://a.test/?q=&quot;\">", "<a href=\"http://a.test/?q=&quot;\">"},
      {"<a href=\"ftp://a.test/\">", "&lt;a href=\"ftp://a.test/\"&gt;"},
      {"<a name=x>", "&lt;a name=x&gt;"},
      {"<a href=\" javascript:x\">", "&lt;a href=\" javascript:x\"&gt;"},
      {"<b", "&lt;b"},
      {"<b onclick=\"a>b\">", "<b>"},
      {"<<b>>", "&lt;<b>&gt;"},
      {"&amp; &nbsp; &#x41; &#65; & &x &;", "&amp; &nbsp; &#x41; &#65; &amp; &amp;x &amp;;"},
      {"</script>", "&lt;/script&gt;"},
  };
  for (const auto& [input, expected] : rows) {
    SCOPED_TRACE(input);
    EXPECT_EQ(SafeServiceHtml(input), expected);
  }
}

TEST(QchExtraInfo, SerialisedLinesWinAndAreMadeSafe) {
  TStringList lines;
  lines.Add("T=<b>first</b><script>x()</script>,D=3,I=0");
  lines.Add("T=second,D=-1,I=1");
  std::string extra;
  AddQchExtraInfoItem("H", "<i>not shown</i>", extra);
  AddQchExtraInfoItem("T", "not shown either", extra);
  AddQchExtraInfoItem("SH", lines[0], extra);
  AddQchExtraInfoItem("SH", lines[1], extra);
  AddQchExtraInfoItem("P", "yes", extra);
  TSimpleHtml html;
  html.AddLine("before", 4, kHtmlKindAll, false);
  EXPECT_TRUE(QchExtraInfoToHtml(extra, html));
  ASSERT_EQ(html.Count(), 3);
  EXPECT_EQ(html[1], "<b>first</b>&lt;script&gt;x()&lt;/script&gt;");
  EXPECT_EQ(html.GetLevel(1), 3);
  EXPECT_EQ(html[2], "<br>second");
  EXPECT_EQ(html.GetKind(2), kHtmlKindHtml);
}

TEST(QchExtraInfo, UserNotes) {
  TStringList numbered;
  numbered.Add("42");
  numbered.Add("line a");
  numbered.Add("line <b>");
  TStringList unnumbered;
  unnumbered.Add("first");
  unnumbered.Add("second");
  TStringList single;
  single.Add("7");
  TStringList notes;
  notes.Add(numbered.CommaText());
  notes.Add(single.CommaText());
  notes.Add(unnumbered.CommaText());
  TSimpleHtml html;
  UserTextsToHtml(notes.CommaText(), html);
  ASSERT_EQ(html.Count(), 4);
  EXPECT_EQ(html[0],
            "<br> The following information regarding this e-mail was provided by Quorvantis "
            "user number 42:");
  EXPECT_EQ(html.GetLevel(0), 10);
  EXPECT_EQ(html[1], "<br><Blockquote> <tt>line a<br>line &lt;b&gt;<br></tt> </Blockquote>");
  EXPECT_EQ(html[2],
            "<br> The following information regarding this e-mail was provided by an Quorvantis "
            "user:");
  EXPECT_EQ(html[3], "<br><Blockquote> <tt>first<br>second<br></tt> </Blockquote>");
  TSimpleHtml none;
  UserTextsToHtml("", none);
  EXPECT_EQ(none.Count(), 0);
}

TEST(QchExtraInfo, AddingItems) {
  std::string extra;
  AddQchExtraInfoItem(" ", "x", extra);
  AddQchExtraInfoItem("UL", "  ", extra);
  EXPECT_EQ(extra, "");
  AddQchExtraInfoItem("UT", "a note", extra);
  AddQchExtraInfoItem("UL", "http://a.test/", extra);
  AddQchExtraInfoItem("UT", "b, \"c\"", extra);
  TStringList entries;
  entries.SetCommaText(extra);
  ASSERT_EQ(entries.Count(), 2);
  EXPECT_EQ(entries.Names(0), "UT");
  EXPECT_EQ(entries.Names(1), "UL");
  TStringList items;
  items.SetCommaText(entries.Values("UT"));
  EXPECT_EQ(items.ToVector(), (std::vector<std::string>{"a note", "b, \"c\""}));
}

// The record's dates in the form "dd mmm yyyy hh-nn-ss", against Python's
// datetime (days counted from 30 Dec 1899).
TEST(QchExtraInfo, StoredRecordAsHtml) {
  const char* dates = "[[2002,8,22,12,46,39],[2000,2,29,0,0,0],[1999,12,31,23,59,59]]";
  const auto oracle =
      test::RunCommand({test::PythonPath(), test::DataPath("qch_frames.py"), "dates"}, dates);
  const auto lines = test::OutputLines(oracle.Output);
  ASSERT_EQ(lines.size(), 3u) << oracle.Output;
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    // [days, "text"]
    const double days = std::stod(line.substr(1, line.find(',') - 1));
    const std::string text = line.substr(line.find('"') + 1, line.rfind('"') - line.find('"') - 1);
    TMessageRec rec;
    rec.FirstSeen = days;
    rec.LastSeen = days;
    const std::string html = MessageRecToHtml(rec);
    EXPECT_NE(html.find("<b>First seen</b> " + text + "<br>"), std::string::npos) << html;
    EXPECT_NE(html.find("<b>Last seen</b> " + text + "<br>"), std::string::npos);
  }

  TMessageRec rec;
  rec.TimesEncountered = 3;
  rec.FirstSeen = EncodeDateTime(2002, 8, 22, 12, 46, 39);
  rec.LastSeen = EncodeDateTime(2002, 8, 23, 1, 2, 3);
  for (std::uint8_t c = 1; c <= 9; ++c) SetCategoryCount(rec.Counts, c, c);
  rec.Counts.StaffCategory = 0x87;
  EXPECT_EQ(MessageRecToHtml(rec),
            "<p><font face=\"Arial\"><b>Times encountered</b> 3<br><b>First seen</b> 22 Aug 2002 "
            "12-46-39<br><b>Last seen</b> 23 Aug 2002 01-02-03<br><br>Categorized by users "
            "as:<br><ul><li>Personal 9 times.</li><li>Chain Letter 1 times.</li><li>Petition 2 "
            "times.</li><li>Urban Legend 3 times.</li><li>Bulk 4 times.</li><li>Hoax 5 "
            "times.</li><li>Joke 6 times.</li><li>Virus 7 times.</li><li>Commercial Spam 8 "
            "times.</li></ul>Quorvantis staff have reviewed this e-mail and placed it in the "
            "category <i>Virus</i>.<br>No extra information is available for this "
            "email.<br></font></p>");
  rec.Counts.StaffCategory = 0;
  AddQchExtraInfoItem("T", "a <note>", rec.ExtraInfo);
  const std::string html = MessageRecToHtml(rec);
  EXPECT_NE(html.find("Quorvantis staff have not manually reviewed this e-mail and assigned it a "
                      "category.<br><br>a &lt;note&gt;<br>\r\n\r\n</font></p>"),
            std::string::npos)
      << html;
}

}  // namespace
}  // namespace halvorn
