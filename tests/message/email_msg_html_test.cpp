// The HTML views of a part: its image references against html5lib (the
// browsers' parsing rules), their replacement by the blocked-image link read
// back with urllib.parse, the form action, needless quoted-printable escapes
// and the program's own images.
#include "message/email_msg_html.h"
#include "message/link_key.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/threads/heartbeat.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "message/mime_decoders.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;

// HTML written in forms that html5lib and the reference finder read alike:
// image sources quoted or not, backgrounds quoted or not (an empty one
// included), unquoted url()s in the first style block, "cid:" and
// Content-Location images, an image input, and reference texts standing in
// the text and in links where nothing may be replaced.
const std::string kFixtures[] = {
    "<html><head><style type=\"text/css\">body { background: url(http://img.example/bg.png) }\r\n"
    "td { background-image: url(http://img.example/td.gif) }</style></head>\r\n"
    "<body background=\"http://img.example/body.jpg\">\r\n"
    "<img src=\"http://img.example/a.gif\" alt=\"first\">\r\n"
    "<img SRC=http://img.example/b.png width=1>\r\n"
    "<IMG src = \"cid:part1@x\" >\r\n"
    "<img src=\"inline.jpg\">\r\n"
    "<p>http://img.example/a.gif is here, and src=http://img.example/a.gif too</p>\r\n"
    "<table background=http://img.example/t.gif><tr><td>a</td></tr></table>\r\n"
    "<img src=\"http://img.example/a.gif\">\r\n</body></html>\r\n",

    "<img src=a><p>a banana</p><a href=\"a\">a</a><img src=ab>\r\n<img\r\n src=a>\r\n",

    "<body><img src=\"http://x.example/p.gif\"><img src=\"http://x.example/p.gif2\">\r\n"
    "<table><tr><td background=\"\" width=5>x</td></tr></table>\r\n"
    "<div background= \"http://x.example/spaced.png\">y</div></body>\r\n",

    "<form action=\"http://x.example/go\"><input type=image "
    "src=\"http://x.example/go.gif\"></form>\r\n"
    "<img src=\"CID:Part1@X\" width=1><img src=\"http://x.example/q.gif?a=1&b=2\">\r\n",

    "<p>No images, just <b>text</b> and a link <a href=\"http://x.example/\">x</a>.</p>\r\n",
};

// A related message around the HTML: the HTML part in the given transfer
// encoding, then an image with a Content-ID and a Content-Location.
std::string RelatedMessage(const std::string& html, const std::string& encoding) {
  std::string body;
  TStringList lines;
  if (encoding == "base64") {
    TBase64Decoder().Encode(html, lines);
    body = lines.Text();
  } else if (encoding == "quoted-printable") {
    TQuotedPrintableDecoder().Encode(html, lines);
    body = lines.Text();
  } else {
    body = html;
  }
  return "Subject: images\r\nMIME-Version: 1.0\r\nContent-Type: multipart/related; "
         "boundary=\"r\"\r\n"
         "\r\n--r\r\nContent-Type: text/html; charset=us-ascii\r\nContent-Transfer-Encoding: " +
         encoding + "\r\n\r\n" + body +
         "--r\r\nContent-Type: image/jpeg\r\nContent-ID: <part1@x>\r\nContent-Location: "
         "inline.jpg\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n/9j/\r\n--r--\r\n";
}

TEmailMsgRef Scratch(const std::string& text) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(text);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

TEmailMsgPart* HtmlPart(TEmailMsg& msg) {
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  return html;
}

std::string DecodedHtml(TEmailMsg& msg) {
  TStringList lines;
  msg.GetDecodedHtml(lines);
  return lines.Text();
}

// html5lib's reading of each fixture (one JSON object a line): the image
// sources, backgrounds and url()s of the first style element, with the kinds
// the finder gives them, against the finder's list; and, when the fixture
// was replaced, that every external value now is the blocked-image link
// whose OrigUrl (urllib.parse) is the old value, that the embedded ones are
// untouched, and that putting each OrigUrl back gives the old HTML.
const char* const kPythonImages = R"PY(
import sys, json, re, html5lib
from urllib.parse import urlsplit, parse_qs
def refs(text, locations):
    doc = html5lib.parse(text, treebuilder='etree', namespaceHTMLElements=False)
    def kind(value, base):
        if value.lower().startswith('cid:'): return 4
        if value.lower() in locations: return 5
        return base
    found = []
    for el in doc.iter():
        if el.tag == 'img' and el.get('src'):
            found.append([el.get('src'), kind(el.get('src'), 0)])
    for el in doc.iter():
        if isinstance(el.tag, str) and el.get('background'):
            found.append([el.get('background'), kind(el.get('background'), 1)])
    styles = [el for el in doc.iter() if el.tag == 'style']
    if styles:
        for url in re.findall(r'url\(([^)]*)\)', styles[0].text or ''):
            found.append([url, kind(url, 3)])
    return found
link = re.compile(r'http://LocalHost:(\d+)/Image\?([^"\s>)]*)')
for line in sys.stdin:
    case = json.loads(line)
    before = bytes.fromhex(case['before']).decode('latin-1')
    locations = [l.lower() for l in case['locations']]
    expected = refs(before, locations)
    if expected != case['refs']:
        print('refs', case['name'], expected, case['refs'])
    if 'after' not in case:
        continue
    after = bytes.fromhex(case['after']).decode('latin-1')
    external = [r for r in expected if r[1] <= 3]
    if case['answer'] != len(external):
        print('answer', case['name'], case['answer'], len(external))
    for old, new in zip(expected, refs(after, locations)):
        if old[1] > 3:
            if new[0] != old[0]: print('embedded changed', case['name'], old, new)
            continue
        m = link.fullmatch(new[0])
        if not m or m.group(1) != str(case['port']):
            print('not replaced', case['name'], old, new)
            continue
        q = parse_qs(urlsplit(new[0]).query, keep_blank_values=True)
        if q != {'LinkKey': [case['key']], 'Name': ['BlockedImage.gif'], 'CID': [str(case['cid'])], 'OrigUrl': [old[0]]}:
            print('query', case['name'], old, q)
    restored = link.sub(lambda m: parse_qs(m.group(2))['OrigUrl'][0], after)
    if restored != before:
        print('changed elsewhere', case['name'], repr(before), repr(restored))
)PY";

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

TEST(EmailMsgHtml, ImageReferencesAgreeWithHtml5libAndAreReplacedInPlace) {
  const char* encodings[] = {"base64", "quoted-printable", "7bit", "7bit", "7bit"};
  std::string input;
  int index = 0;
  for (const std::string& fixture : kFixtures) {
    const std::string name = "fixture " + std::to_string(index);
    SCOPED_TRACE(name);
    TEmailMsgRef msg = Scratch(RelatedMessage(fixture, encodings[index++]));
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailMsgPart* html = HtmlPart(*msg);
    ASSERT_NE(html, nullptr);
    const std::string before = DecodedHtml(*msg);
    ASSERT_EQ(before, fixture);

    TStringList all;
    html->GetExtImageRefUrls(all, true);
    TStringList external;
    html->GetExtImageRefUrls(external);
    std::string refs;
    int externalCount = 0;
    for (int i = 0; i < all.Count(); ++i) {
      refs += std::string(i ? "," : "") + "[" + JsonText(all[i]) + "," +
              std::to_string(all.Numbers(i)) + "]";
      if (IsExternalImageRefKind(all.Numbers(i))) ++externalCount;
    }
    EXPECT_EQ(external.Count(), externalCount);

    const int answer = msg->ReplaceImageExternalRefs();
    EXPECT_EQ(answer, externalCount);
    const std::string after = DecodedHtml(*msg);
    if (externalCount == 0) {
      EXPECT_EQ(after, before);
    }
    input += "{\"name\":" + JsonText(name) + ",\"before\":\"" + test::HexOf(before) +
             "\",\"after\":\"" + test::HexOf(after) +
             "\",\"locations\":[\"inline.jpg\"],\"refs\":[" + refs +
             "],\"answer\":" + std::to_string(answer) +
             ",\"cid\":" + std::to_string(msg->GetContentId()) +
             ",\"port\":" + std::to_string(CategoryRequestPort.load()) + ",\"key\":\"" +
             GetLinkKey() + "\"}\n";

    // The written message reads back with the replaced HTML.
    TStringList written;
    msg->GetRawText(written, true);
    TEmailMsgRef again = Scratch(written.Text());
    EXPECT_EQ(DecodedHtml(*again), after);
  }
  const test::CommandResult py = test::RunPython(kPythonImages, input);
  EXPECT_EQ(py.ExitCode, 0);
  EXPECT_EQ(py.Output, "");
}

// The finder's own rules where html5lib reads otherwise: the first src of
// an image tag only, a "cid:" value cut at its blank, any other at its first
// character that is not URL-safe, an image input's source not found.
TEST(EmailMsgHtml, FinderRules) {
  struct Row {
    const char* html;
    Lines refs;  // value and kind
  } rows[] = {
      {"<img alt=src src=\"a.gif\" src=\"b.gif\">", {"a.gif 0"}},
      {"<img src=\"cid:x@y more\">", {"cid:x@y 4"}},
      {"<img src=\"http://x.example/a b.gif\">", {"http://x.example/a 0"}},
      {"<img src=\"http://x.example/a.gif;jsessionid=1\">", {"http://x.example/a.gif 0"}},
      {"<input type=image src=\"http://x.example/go.gif\">", {}},
      {"<input type=imagehttp://x.example/glued.gif>", {"http://x.example/glued.gif 2"}},
      {"<td background=\"\" width=5><td BACKGROUND=\"b.gif\">", {"b.gif 1"}},
      {"<style>p { background: url(\"q.gif\") } div { background: URL(u.gif) }</style>",
       {"u.gif 3"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.html);
    TStringList refs;
    FindImageRefs(row.html, TStringList(), refs);
    Lines got;
    for (int i = 0; i < refs.Count(); ++i)
      got.push_back(refs[i] + " " + std::to_string(refs.Numbers(i)));
    EXPECT_EQ(got, row.refs);
  }
}

// Markers glued into one long value, and many image tags in one run of
// text, are read in one pass: a quadratic scan of these would not end
// within the test's time.
TEST(EmailMsgHtml, HostileHtmlIsReadInOnePass) {
  std::string glued = "<td ";
  for (int i = 0; i < 50000; ++i) glued += "background=type=image";
  glued += ">";
  TStringList refs;
  FindImageRefs(glued, TStringList(), refs);
  // One value for each kind of marker: the first of each runs to the end.
  ASSERT_EQ(refs.Count(), 2);
  EXPECT_EQ(refs.Numbers(0), irkBackground);
  EXPECT_EQ(refs.Numbers(1), irkInputImage);

  std::string images;
  for (int i = 0; i < 20000; ++i)
    images += "<img src=\"http://x.example/" + std::to_string(i % 7) + ".gif\">";
  refs.Clear();
  FindImageRefs(images, TStringList(), refs);
  EXPECT_EQ(refs.Count(), 20000);
  std::unordered_set<std::string> wanted;
  for (int i = 0; i < refs.Count(); ++i) wanted.insert(refs[i]);
  EXPECT_EQ(
      ReplaceImageRefValues(images, wanted, [](const std::string&) { return std::string("b"); }),
      20000);
  EXPECT_EQ(images.find("x.example"), std::string::npos);
}

// Replacement touches values only: a reference that is also a word of the
// text, a prefix of another reference, or written twice.
TEST(EmailMsgHtml, ReplacementTouchesAttributeValuesOnly) {
  struct Row {
    const char* html;
    const char* replaced;
  } rows[] = {
      {"<img src=a><p>a banana</p><img src=\"a\">", "<img src=X><p>a banana</p><img src=\"X\">"},
      {"<img src=\"p.gif\"><img src='p.gif2'><p>p.gif</p>",
       "<img src=\"X\"><img src='X'><p>p.gif</p>"},
      {"<table background=\"t.gif\"><td style=\"background: url(t.gif)\">",
       "<table background=\"X\"><td style=\"background: url(X)\">"},
      {"<style>b { x: url(s.gif) }</style><p>url(s.gif)</p>",
       "<style>b { x: url(X) }</style><p>url(s.gif)</p>"},
      {"<img src=\"cid:c@d\"><img src=e.gif>", "<img src=\"cid:c@d\"><img src=X>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.html);
    std::unordered_set<std::string> wanted;
    TStringList refs;
    FindImageRefs(row.html, TStringList(), refs);
    for (int i = 0; i < refs.Count(); ++i)
      if (IsExternalImageRefKind(refs.Numbers(i))) wanted.insert(refs[i]);
    std::string html = row.html;
    ReplaceImageRefValues(html, wanted, [](const std::string&) { return std::string("X"); });
    EXPECT_EQ(html, row.replaced);
  }
}

TEST(EmailMsgHtml, ReplacementAnswers) {
  TEmailMsgRef plain = Scratch("Subject: s\r\n\r\nno html\r\n");
  EXPECT_EQ(plain->ReplaceImageExternalRefs(), -1);
  const std::string text = RelatedMessage(kFixtures[4], "7bit");
  TEmailMsgRef none = Scratch(text);
  none->GetParts();
  none->SetChanged(false);
  EXPECT_EQ(none->ReplaceImageExternalRefs(), 0);
  EXPECT_FALSE(none->IsChanged());
  TEmailMsgRef given = Scratch(RelatedMessage(kFixtures[2], "7bit"));
  EXPECT_EQ(given->ReplaceImageExternalRefs("[image]"), 3);
  EXPECT_NE(DecodedHtml(*given).find("<img src=\"[image]\"><img src=\"[image]\">"),
            std::string::npos);
}

TEST(EmailMsgHtml, FormActions) {
  struct Row {
    const char* html;
    const char* action;
  } rows[] = {
      {"<form method=post action=\"http://x.example/a\">", "http://x.example/a"},
      {"< FORM\r\n action = http://x.example/b method=get></form>", "http://x.example/b"},
      {"<form action=\"/c\"><input></form><form action=\"/d\">", "/c"},
      {"<form method=post>", ""},
      {"<formal action=x>", ""},
      {"<p>no form</p>", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.html);
    EXPECT_EQ(FindFormAction(row.html), row.action);
  }
  // Many unclosed forms stay a single pass.
  std::string hostile;
  for (int i = 0; i < 20000; ++i) hostile += "<form ";
  EXPECT_EQ(FindFormAction(hostile), "");
}

TEST(EmailMsgHtml, NeedlessQuotedPrintable) {
  struct Row {
    Lines lines;
    int count;
  } rows[] = {
      {{"=41=42 =3D =20 =0D=0A =E9"}, 2},  // A and B; "=", blank, controls, 8-bit are needed
      {{"=4", "1=", "=4G"}, 0},
      {{"=3D41", "a=2Eb=2Fc=28"}, 2},  // "." and "/"; "(" is not URL-safe
  };
  for (const Row& row : rows)
    EXPECT_EQ(CountNeedlessQuotedPrintable(test::ListOf(row.lines)), row.count);

  TEmailMsgRef msg = Scratch(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
      "text/plain\r\n\r\np\r\n"
      "--b\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
      "=3Cp=3E=48i\r\n--b--\r\n");
  EXPECT_EQ(msg->SA_CountUnnecessaryQuotedPrintable(), 1);
  EXPECT_EQ(msg->GetMaxQuotedPrintableLineLength(), 11);
}

TEST(EmailMsgHtml, OwnImages) {
  const std::string gif = "GIF89a own image bytes";
  RecordOwnImageChecksums({gif});
  struct Row {
    const char* what;
    std::string disposition;
    std::string content;
    bool own;
  } rows[] = {
      {"an own GIF", "attachment; filename=\"Spam.gif\"", gif, true},
      {"an own image without a name", "inline", gif, true},
      {"another name", "attachment; filename=\"spam.jpg\"", gif, false},
      {"other bytes", "attachment; filename=\"Spam.gif\"", "GIF89a something else", false},
      {"too large", "attachment; filename=\"Spam.gif\"", std::string(3100, 'x'), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TStringList encoded;
    TBase64Decoder().Encode(row.content, encoded);
    TEmailMsgRef msg = Scratch(
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
        "text/plain\r\n\r\np\r\n"
        "--b\r\nContent-Type: image/gif\r\nContent-Transfer-Encoding: "
        "base64\r\nContent-Disposition: " +
        row.disposition + "\r\n\r\n" + encoded.Text() + "--b--\r\n");
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailMsgPart* image = msg->GetParts().Items(2);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->IsOwnImage(), row.own);
    EXPECT_FALSE(msg->GetParts().Items(1)->IsOwnImage());
  }
  RecordOwnImageChecksums({});
}

}  // namespace
}  // namespace halvorn
