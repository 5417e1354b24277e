#include "message/simple_html.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// A line as the tests compare it: text, level, kind.
struct Line {
  std::string text;
  int level;
  int kind;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << "{\"" << line.text << "\", " << line.level << ", " << line.kind << "}";
}

std::vector<Line> LinesOf(const TSimpleHtml& html) {
  std::vector<Line> lines;
  for (int i = 0; i < html.Count(); ++i) lines.push_back({html[i], html.GetLevel(i), html.GetKind(i)});
  return lines;
}

TSimpleHtml Report(const std::vector<Line>& lines) {
  TSimpleHtml html;
  for (const Line& line : lines) html.AddLine(line.text, line.level, line.kind, false);
  return html;
}

TEST(SimpleHtmlTest, AddingLines) {
  TSimpleHtml html;
  html.AddLine("first", -1, 0, false);  // -1 on an empty report: level 5, always a break
  html.AddLine("loud", 300, 1, false);  // levels stop at 255
  html.AddLine("same", -1, 2, false);   // the last line's level
  html.AddLine("quiet", 0, 0, true);
  html.AddBr();
  html.AppendToLast("tail");  // the tag of the last line stays
  html.InsertLine(0, "top", 3, 2, true);
  EXPECT_EQ(LinesOf(html), (std::vector<Line>{{"<br>top", 3, 2},
                                              {"<br>first", 5, 0},
                                              {"loud", 255, 1},
                                              {"<br>same", 255, 2},
                                              {"<br>quiet", 0, 0},
                                              {"<br>tail", 0, 0}}));

  TSimpleHtml empty;
  empty.InsertLine(0, "only", 1, 0, true);  // no break in front of the first line
  empty.AppendToLast("!");
  EXPECT_EQ(LinesOf(empty), (std::vector<Line>{{"only!", 1, 0}}));
  TSimpleHtml appended;
  appended.AppendToLast("new");
  EXPECT_EQ(LinesOf(appended), (std::vector<Line>{{"new", 0, 0}}));

  TSimpleHtml strings = Report({{"x", 7, 0}});
  strings.AddStrings(test::ListOf({"a", "b"}));  // as later callers use it: level -1, break
  strings.AddStrings(test::ListOf({"c"}), 2, 1, false);
  EXPECT_EQ(LinesOf(strings), (std::vector<Line>{
                                  {"x", 7, 0}, {"<br>a", 7, 0}, {"<br>b", 7, 0}, {"c", 2, 1}}));
}

TEST(SimpleHtmlTest, TagsKeepLevelAndKindApart) {
  TSimpleHtml html = Report({{"a", 9, 2}});
  html.SetLevel(0, 400);
  EXPECT_EQ(html.GetLevel(0), 255);
  EXPECT_EQ(html.GetKind(0), 2);
  html.SetKind(0, 0x101);  // low 8 bits
  EXPECT_EQ(html.GetKind(0), 1);
  EXPECT_EQ(html.GetLevel(0), 255);
  EXPECT_EQ(html.Numbers(0), 0x1FF);
}

TEST(SimpleHtmlTest, BreakAtTheEnd) {
  const struct {
    std::vector<Line> lines;
    bool endsWithBr;
    std::string lastAfterEndWithBr;
  } rows[] = {
      {{}, false, ""},
      {{{"text<BR> ", 1, 0}}, true, "text<BR> "},
      {{{"text<br>", 1, 0}}, true, "text<br>"},
      {{{"<br>text", 1, 0}}, false, "<br>text<br>"},
  };
  for (const auto& row : rows) {
    TSimpleHtml html = Report(row.lines);
    SCOPED_TRACE(row.lastAfterEndWithBr);
    EXPECT_EQ(html.EndsWithBr(), row.endsWithBr);
    EXPECT_EQ(html.EndWithBr(), !row.endsWithBr && !row.lines.empty());
    if (!row.lines.empty()) {
      EXPECT_EQ(html[html.Count() - 1], row.lastAfterEndWithBr);
    }
  }
}

TEST(SimpleHtmlTest, FilteringByLevelAndKind) {
  const std::vector<Line> lines = {
      {"both", 1, 0}, {"html", 1, 1}, {"plain", 1, 2}, {"detail", 11, 0}, {"html detail", 11, 1}};
  const struct {
    int level, kind;
    std::vector<Line> kept;
  } rows[] = {
      {255, 0, lines},
      {255, 2, {{"both", 1, 0}, {"plain", 1, 2}, {"detail", 11, 0}}},
      {255, 1, {{"both", 1, 0}, {"html", 1, 1}, {"detail", 11, 0}, {"html detail", 11, 1}}},
      {10, 1, {{"both", 1, 0}, {"html", 1, 1}}},
      {0, 0, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "level " << row.level << " kind " << row.kind);
    TSimpleHtml cut = Report(lines);
    cut.KeepLevel(row.level);
    cut.KeepKind(row.kind);
    EXPECT_EQ(LinesOf(cut), row.kept);
    TSimpleHtml copy = Report({{"already", 4, 2}});
    Report(lines).CopyFiltered(copy, row.level, row.kind);
    std::vector<Line> expected = {{"already", 4, 2}};
    expected.insert(expected.end(), row.kept.begin(), row.kept.end());
    EXPECT_EQ(LinesOf(copy), expected);
  }
}

TEST(SimpleHtmlTest, ReplaceAllReportsAChange) {
  TSimpleHtml html = Report({{"<!Level> points", 3, 1}, {"none", 3, 0}});
  EXPECT_TRUE(html.ReplaceAll("<!Level>", "40"));
  EXPECT_FALSE(html.ReplaceAll("<!Level>", "40"));
  EXPECT_EQ(LinesOf(html), (std::vector<Line>{{"40 points", 3, 1}, {"none", 3, 0}}));
}

TEST(SimpleHtmlTest, TextForms) {
  const TSimpleHtml html =
      Report({{"Danger <b>high</b> &amp; rising", 1, 0}, {"<br>Second line", 1, 1}});
  // Text() is the HTML; GetText the plain-text rendering.
  EXPECT_EQ(html.Text(), "Danger <b>high</b> &amp; rising\r\n<br>Second line\r\n");
  const std::string plain = html.GetText();
  EXPECT_EQ(plain.find('<'), std::string::npos) << plain;
  EXPECT_NE(plain.find("Danger high & rising\r\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("Second line\r\n"), std::string::npos) << plain;

  test::TempFolder folder;
  const TSimpleHtml mixed = Report({{"all", 1, 0}, {"html", 1, 1}, {"plain", 1, 2}});
  ASSERT_TRUE(mixed.SaveToFile(folder.Sub("plain.txt"), 2));
  EXPECT_EQ(test::ReadFileBytes(folder.Sub("plain.txt")), "all\r\nplain\r\n");
  ASSERT_TRUE(mixed.SaveToFile(folder.Sub("all.txt")));
  EXPECT_EQ(test::ReadFileBytes(folder.Sub("all.txt")), "all\r\nhtml\r\nplain\r\n");
  EXPECT_FALSE(mixed.SaveToFile(folder.Sub("missing/x.txt")));
}

TEST(SimpleHtmlTest, WrapInBox) {
  const std::string dashes(69, '-');
  TSimpleHtml empty = Report({{"inner", 7, 2}});
  empty.WrapInBox("", "");
  EXPECT_EQ(LinesOf(empty),
            (std::vector<Line>{
                {"<br>" + dashes, 1, 2},
                {" <table width=\"100%\" border=\"0\" cols=2 rows=2 bgcolor=\"white\">", 1, 1},
                {"  <tr>", 1, 1},
                {"  </tr>", 1, 1},
                {"  <tr><td colspan=\"2\"><font size=\"-1\"><BlockQuote>", 1, 1},
                {"inner", 7, 2},
                {"  </BlockQuote></font></td></tr>", 1, 1},
                {" </table>", 1, 1},
                {"<br>" + dashes, 1, 2}}));

  TSimpleHtml titled = Report({{"body", 3, 0}});
  titled.WrapInBox("Mail & <you>", "help.htm", 50);
  std::vector<Line> lines = LinesOf(titled);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], (Line{"<br>Mail & <you>", 1, 2}));  // plain text keeps the title as it is
  EXPECT_EQ(lines[2], (Line{" <HR width=\"50%\" align=\"left\">", 1, 1}));
  EXPECT_EQ(lines[5],
            (Line{"   <td width=\"50%\"><font size=\"-1\"><b>Mail &amp; &lt;you&gt;</b></font></td>",
                  1, 1}));
  EXPECT_EQ(lines[6],
            (Line{"   <td width=\"50%\"><font size=\"-1\"><A HREF=help.htm>Help</a></font></td>", 1, 1}));
  EXPECT_EQ(lines[9], (Line{"body", 3, 0}));

  TSimpleHtml below = Report({{"body", 3, 0}});
  below.WrapInBox("T", "", -30);  // a negative width puts the rule below the table
  lines = LinesOf(below);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[10], (Line{" <HR width=\"30%\" align=\"left\">", 1, 1}));
}

TEST(SimpleHtmlTest, LoadSerialized) {
  TSimpleHtml html = Report({{"kept", 2, 0}});
  html.LoadSerialized(test::ListOf({"\"T=only text\"", "D=3,I=1,\"T=a, \"\"quoted\"\" text\"",
                                    "D=x,I=2,\"T=bad level\"", "T="}));
  EXPECT_EQ(LinesOf(html), (std::vector<Line>{{"kept", 2, 0},
                                              {"only text", 10, 0},
                                              {"a, \"quoted\" text", 3, 1},
                                              {"bad level", 10, 2},
                                              {"", 10, 0}}));
}

TEST(SimpleHtmlTest, ListOwnsItsReports) {
  TSimpleHtmlList list;
  list.Add()->AddLine("one", 1, 0, false);
  list.Add(std::make_unique<TSimpleHtml>(Report({{"two", 2, 0}})));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1)[0], "two");
  EXPECT_THROW(list.Items(2), std::out_of_range);
}

}  // namespace
}  // namespace halvorn
