#include "foundation/text/html_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "foundation/regex/reg_expr.h"
#include "foundation/regex/url_extraction.h"
#include "foundation/text/text_normalisation.h"
#include "support/link_extraction_reference.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// One line per item: "T:" + Text for text items, "<" + Name + "|" + Raw + ">"
// for tags.
std::vector<std::string> Describe(const THTMLItems& items) {
  std::vector<std::string> result;
  for (const auto& item : items) {
    if (auto* tag = dynamic_cast<const THTMLTag*>(item.get())) {
      result.push_back("<" + tag->Name + "|" + tag->Raw + ">");
    } else {
      result.push_back("T:" + static_cast<const THTMLText*>(item.get())->Text);
    }
  }
  return result;
}

std::vector<std::string> Parse(const TStringList& lines) {
  THTMLParser parser;
  parser.Lines = lines;
  parser.Execute();
  return Describe(parser.Items);
}

std::string DecodeText(const std::string& raw) {
  THTMLText text;
  text.SetText(raw);
  return text.Text;
}

TEST(HtmlParserTest, Tokenizing) {
  struct Row {
    TStringList lines;
    std::vector<std::string> items;
  };
  const Row rows[] = {
      {{"a<b>c"}, {"T:a", "<B|b>", "T:c"}},
      // A tag over three lines: a blank before the middle piece, none before
      // the one that closes it.
      {{"<a", "href=x", "title=y>z"}, {"<A|a href=xtitle=y>", "T:z"}},
      {{"x<>y"}, {"T:x", "<|>", "T:y"}},
      {{"one", "two<i>"}, {"T:onetwo", "<I|i>"}},  // lines join without separator
      {{"x<unclosed tag"}, {"T:x", "<UNCLOSED|unclosed tag>"}},
      {{"x<"}, {"T:x"}},
      {{"</P >", ""}, {"</P|/P >"}},
      {{}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines.Text());
    EXPECT_EQ(Parse(row.lines), row.items);
  }
}

TEST(HtmlParserTest, TagsAndParameters) {
  THTMLTag tag;
  tag.SetText("a href=\"x y\"  TITLE=z target\tx=1 alt=\"\" q='s' =v");
  EXPECT_EQ(tag.Name, "A");
  struct Param {
    std::string key, value, raw;
  };
  const Param expected[] = {
      {"HREF", "x y", "href=\"x y\""},
      {"TITLE", "z", "TITLE=z"},
      {"TARGET\tX", "1", "target\tx=1"},  // only the blank separates
      {"ALT", "", "alt=\"\""},
      {"Q", "'s'", "q='s'"},
      {"", "v", "=v"},
  };
  ASSERT_EQ(tag.Params.size(), std::size(expected));
  for (std::size_t i = 0; i < tag.Params.size(); ++i) {
    SCOPED_TRACE(expected[i].raw);
    EXPECT_EQ(tag.Params[i].Key, expected[i].key);
    EXPECT_EQ(tag.Params[i].Value, expected[i].value);
    EXPECT_EQ(tag.Params[i].Raw, expected[i].raw);
  }
  THTMLParam quote;
  quote.SetText("k=\"");  // one character: the quote stays
  EXPECT_EQ(quote.Value, "\"");
  THTMLTag bare;
  bare.SetText("br/");
  EXPECT_EQ(bare.Name, "BR/");
  EXPECT_TRUE(bare.Params.empty());
}

TEST(HtmlParserTest, TextEntities) {
  struct Row {
    std::string raw, text;
  };
  const Row rows[] = {
      {"&amp;lt;", "&lt;"},  // one level only
      {"&#65;&#x41;&#X61;", "AAa"},
      {"&#8217;", "&#8217;"},
      {"&#9;", " "},
      {"&#0;&#31;&#160;&#32;", "    "},
      {"AT&T rocks", "AT&T rocks"},
      {"&#65 x", "Ax"},  // a blank ends the entity and goes with it
      {"&amp x", "&amp x"},
      {"a\nb\r\nc", "ab\rc"},
      {"&nbsp;&NBSP;", " &NBSP;"},
      {"&quot;&eacute;&yuml;&times;", "\"\xE9\xFF\xD7"},
      {"&#-1;&#256;&#999;&#xFFF;", "&#-1;&#256;&#999;&#xFFF;"},  // outside 0..255: as written
      {"&#+66;", "B"},
      {"&#65", "&#65"},  // no terminator: not an entity
      {"&#;&#x;&#12a;", "&#;&#x;&#12a;"},
      {"&euro;&hibar;", "&euro;&hibar;"},
      {"&&amp;", "&&"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.raw);
    THTMLText text;
    text.SetText(row.raw);
    EXPECT_EQ(text.Raw, row.raw);
    EXPECT_EQ(text.Text, row.text);
  }
}

// The named entities agree with Python's html.entities: every name with a
// code up to 255 decodes to that code (160 to a blank), every other name
// stays as written.
TEST(HtmlParserTest, NamedEntitiesAgreeWithPython) {
  const auto result = test::RunPython(R"(
from html.entities import name2codepoint
for name, code in sorted(name2codepoint.items()):
    print(name, code)
)");
  ASSERT_EQ(result.ExitCode, 0);
  std::istringstream lines(result.Output);
  std::string name;
  int code = 0;
  int decoded = 0;
  while (lines >> name >> code) {
    SCOPED_TRACE(name);
    const std::string entity = "&" + name + ";";
    if (code <= 255) {
      const char expected = code == 160 ? ' ' : static_cast<char>(code);
      EXPECT_EQ(DecodeText(entity), std::string(1, expected));
      ++decoded;
    } else {
      EXPECT_EQ(DecodeText(entity), entity);
    }
  }
  EXPECT_EQ(decoded, 100);
}

TEST(HtmlParserTest, PlainText) {
  struct Row {
    std::string html;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"x<br><br>y", {"x", "", "y"}},
      {"a<script>var x = 1;</script>b", {"ab"}},
      {"a<script>never closed<p>b", {"a"}},
      // Any tag holding "script" starts a removal, a noscript tag too.
      {"a<noscript>b</noscript>c<p>d</script>e", {"ae"}},
      {"<a href=\"/script.cgi\">x</a>y<br>z", {}},
      {"a</script>b<br>c</script>d", {"ad"}},  // a stray closing tag starts one as well
      {"a<style>p {}</style>b<STYLE x>c</STYLE >d", {"abd"}},  // names end at the first blank
      {"<title>T</title><p>one<li>two<dd>three<blockquote>four",
       {"T", "", "one", "two", "three", "four"}},
      {"&amp;amp;<br>", {"&"}},  // decoded once more per line
      {"<p>", {""}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.html);
    TStringList lines;
    lines.SetText(row.html);
    HtmlLinesToPlainText(lines);
    EXPECT_EQ(lines.ToVector(), row.lines);
  }
  EXPECT_EQ(HtmlToPlainText("a<br>b\r\nc\nd\re"), "a\r\nbcde\r\n");
  std::string buffer = "<b>x</b><br>y";
  HtmlStreamToPlainText(buffer);
  EXPECT_EQ(buffer, "x\r\ny\r\n");
}

TEST(HtmlParserTest, TagLines) {
  TStringList lines{"<p>hi<SCRIPT LANGUAGE=js>var a;", "</script>x<b>"};
  ExtractHtmlTagLines(lines);
  EXPECT_EQ(lines.ToVector(), (std::vector<std::string>{"<p>", "<SCRIPT LANGUAGE=js>", "var a;",
                                                        "</script>", "<b>"}));
}

TEST(HtmlParserTest, CollectElement) {
  THTMLParser parser;
  parser.Lines.SetText("<table><tr><td>1</td><td>2</td></tr></table>");
  parser.Execute();
  int position = 0;
  std::vector<const THTMLItem*> list;
  ASSERT_TRUE(HtmlCollectElement("td", parser.Items, position, list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->Raw, "1");
  EXPECT_EQ(static_cast<const THTMLTag*>(parser.Items[position].get())->Name, "/TD");

  std::string text;
  EXPECT_EQ(HtmlElementText("td", parser.Items, text, position), 1);  // the next cell
  EXPECT_EQ(text, "2");
  EXPECT_EQ(HtmlElementText("TR", parser.Items, text, position = 0), 2);
  EXPECT_EQ(text, "212");

  list.clear();
  position = 0;
  EXPECT_FALSE(HtmlCollectElement("th", parser.Items, position, list));
  THTMLParser small;
  small.Lines.SetText("<td>1");
  small.Execute();
  position = 0;
  EXPECT_FALSE(HtmlCollectElement("td", small.Items, position, list));
  THTMLParser unclosed;
  unclosed.Lines.SetText("<td>1<b>2");
  unclosed.Execute();
  position = 0;
  EXPECT_FALSE(HtmlCollectElement("td", unclosed.Items, position, list));
  EXPECT_EQ(list.size(), 3u);
}

struct LinkRow {
  std::string html;
  std::vector<std::pair<std::string, int>> links;  // line and kind
};

std::vector<std::pair<std::string, int>> LinkLines(const TStringList& list) {
  std::vector<std::pair<std::string, int>> result;
  for (int i = 0; i < list.Count(); ++i)
    result.emplace_back(list[i], static_cast<int>(list.Numbers(i)));
  return result;
}

TEST(HtmlParserTest, Links) {
  const LinkRow rows[] = {
      {"<a href=\"http://x.com/\">Click</a>", {{"http://x.com/,Click", 0}}},
      {"<A HREF=x><img src=y.gif></A>", {{"x,\"<img src=y.gif>\"", 1}}},
      {"<a href=x></a>", {{"x,", 2}}},
      {"<a href=x>Text <img src=y></a>", {{"x,\"Text <img src=y>\"", 2}}},
      {"<a name=top>Top</a>", {{",Top", 0}}},
      {"x <a\thref = \"u v\">a<br>b<div class=c>c</div></a > y",
       {{"u,abc", 0}}},  // the URL stops at the blank; line-break tags go
      {"<a href=1>one</a><a href=2>\r\ntwo</a>", {{"1,one", 0}, {"2,two", 0}}},
      {"<a href=1>one\nmore</a>", {{"1,", 2}}},  // the content stays on one line
      {"<a href=1>never closed", {}},
      {"<ab href=1>x</a>", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.html);
    TStringList list{"stale"};
    ExtractLinks(row.html, list);
    EXPECT_EQ(LinkLines(list), row.links);
    TStringList reference;
    test::ExtractLinksByPatterns(row.html, reference);
    EXPECT_EQ(LinkLines(reference), row.links);
  }
}

// Random documents made of the pieces the link rules look at: the scanner
// must give what the patterns give, line for line and kind for kind.
TEST(HtmlParserTest, LinkScannerEqualsPatternsOnGeneratedHtml) {
  const std::string pieces[] = {
      "<a ",     "<A\t",  "< a\n",  "href",  "HREF",   "=",         " ",        "\t",
      "\"",      ">",     "</a>",   "</A >", "</a x>", "< /a\r\n>", "\r\n",     "\n",
      "\r",      "<br>",  "<BR x>", "<p>",   "</p >",  "<div>",     "</div x>", "<span>",
      "</span>", "<img ", "<img>",  "text",  "x.gif",  "&amp;",     "&#65;",    "<b>",
      "<",       "</",    "/",      "a",     "\f",
  };
  std::mt19937 random(5);
  for (int i = 0; i < 20000; ++i) {
    std::string html;
    const int count = random() % 24;
    for (int k = 0; k < count; ++k) html += pieces[random() % std::size(pieces)];
    SCOPED_TRACE(html);
    TStringList ours, reference;
    ExtractLinks(html, ours);
    test::ExtractLinksByPatterns(html, reference);
    ASSERT_EQ(LinkLines(ours), LinkLines(reference));
  }
}

// A message's HTML, found crudely: its text from the first "<html" or
// "<body" (any case) on; empty when it has neither.
std::string HtmlOfMessage(const std::string& message) {
  std::string lower = message;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::size_t start = std::min(lower.find("<html"), lower.find("<body"));
  return start == std::string::npos ? std::string() : message.substr(start);
}

// Every HTML part of the real mail corpus goes through normalisation, the
// parser, plain-text conversion and link extraction, and the scanner's links
// equal the patterns' wherever the pattern engine finishes.
TEST(HtmlParserTest, MailCorpus) {
  const auto files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "mail corpus not present (HALVORN_CORPUS_DIR)";
  int html = 0, compared = 0, gaveUp = 0, withLinks = 0;
  for (const auto& file : files) {
    const std::string part = HtmlOfMessage(test::ReadFileBytes(file));
    if (part.empty()) continue;
    ++html;
    SCOPED_TRACE(file);

    std::string text = part;
    HtmlDecodeEntitiesInPlace(text);
    StripQuotePrefixes(text);
    std::string words = text;
    NormalizeLookalikeChars(words);
    JoinSpacedLetters(words);
    TStringList list;
    ParseIntoWords(words, list);
    ExtractUrls(text, list);
    CutWebAddresses(text, list);

    TStringList lines;
    lines.SetText(part);
    ExtractHtmlTagLines(lines);
    const std::string plain = HtmlToPlainText(part);
    TStringList plainLines;
    plainLines.SetText(plain);
    NormalizeLines(plainLines);

    TStringList links;
    ExtractLinks(part, links);
    if (links.Count() > 0) ++withLinks;
    TStringList reference;
    try {
      test::ExtractLinksByPatterns(part, reference);
    } catch (const ERegExpr&) {
      ++gaveUp;
      continue;
    }
    ++compared;
    ASSERT_EQ(LinkLines(links), LinkLines(reference));
  }
  RecordProperty("HtmlParts", html);
  RecordProperty("Compared", compared);
  RecordProperty("PatternsGaveUp", gaveUp);
  std::printf("HTML parts %d, with links %d, compared %d, pattern engine gave up on %d\n", html,
              withLinks, compared, gaveUp);
  EXPECT_GT(html, 0);
  EXPECT_GT(withLinks, 0);
}

// Inputs built to make backtracking patterns or rescanning loops blow up
// finish; the speed goal itself is measured in the benchmark.
TEST(HtmlParserTest, HostileHtmlFinishes) {
  const std::size_t size = 5u << 20;
  const std::string shapes[] = {"<a x>", "<a <a href=", "</a ", "&#", "<img ", "<br ", "<", "&"};
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape);
    std::string html;
    while (html.size() < size) html += shape;
    TStringList links;
    ExtractLinks(html, links);
    const std::string plain = HtmlToPlainText(html);
    EXPECT_LE(plain.size(), html.size() + 2);
  }
  std::string many;
  while (many.size() < size) many += "<a href=x>y</a>";
  TStringList links;
  ExtractLinks(many, links);
  EXPECT_EQ(links.Count(), static_cast<int>(many.size() / 15));
}

}  // namespace
}  // namespace halvorn
