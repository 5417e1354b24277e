#include "message/email_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/time/clock.h"
#include "message/email_msg.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

// The message side of a header, as the message will implement it: a list of
// headers and a change flag that takes no lock.
class FakeOwner : public TEmailHeaderOwner {
 public:
  void RegisterHeader(TEmailHeader* header) override { Headers.push_back(header); }
  void UnregisterHeader(TEmailHeader* header) override {
    if (FailUnregister) throw std::runtime_error("list is gone");
    Headers.erase(std::remove(Headers.begin(), Headers.end(), header), Headers.end());
  }
  void HeaderChanged() noexcept override { ++Changes; }

  std::vector<TEmailHeader*> Headers;
  std::atomic<int> Changes{0};
  bool FailUnregister = false;
};

// Stand-ins for nodes of the part tree: the header only hands them back.
TEmailMsgPart* PartAt(int& anchor) {
  return reinterpret_cast<TEmailMsgPart*>(&anchor);
}

std::vector<std::string> Written(TEmailHeader& header) {
  TStringList lines;
  header.WriteTo(lines);
  return lines.ToVector();
}

std::string Value(TEmailHeader& header, const std::string& name) {
  std::string value;
  header.GetValue(name, value);
  return value;
}

// ---------------------------------------------------------------------------
// Parsing and writing

TEST(EmailHeaderParse, FoldedValuesUnfoldWithoutTheFoldingBlank) {
  TEmailHeader header;
  ASSERT_TRUE(header.ParseText("Subject: a\r\n b\r\nX-Long: one\r\n\ttwo\r\n  three  \r\n"));
  std::string raw;
  ASSERT_TRUE(header.GetRawValue("Subject", raw, false));
  EXPECT_EQ(raw, "a\r\n b");
  EXPECT_EQ(Value(header, "Subject"), "ab");
  EXPECT_EQ(Value(header, "X-Long"), "onetwo three");
  EXPECT_EQ(Written(header), (Lines{"Subject: a", " b", "X-Long: one", "\ttwo", "  three"}));
  // The same reading of a stored value written out by hand.
  EXPECT_EQ(UnfoldHeaderValue("Re: long\r\n subject"), "Re: longsubject");
  EXPECT_EQ(UnfoldHeaderValue("a\r\n\r\n b"), "ab");
  EXPECT_EQ(UnfoldHeaderValue("a\nxb\ryc"), "abc");
  EXPECT_EQ(UnfoldHeaderValue("no fold"), "no fold");
}

TEST(EmailHeaderParse, LinesAndTheirResult) {
  struct Row {
    const char* what;
    Lines lines;
    bool result;
    Lines names, values;
    Lines rest;  // the list after a consuming parse
  } rows[] = {
      {"header and body",
       {"A: 1", "B:2", "", "body", ""},
       true,
       {"A", "B"},
       {"1", "2"},
       {"body", ""}},
      {"leading empty lines", {"", "", "A: 1", "", "body"}, true, {"A"}, {"1"}, {"body"}},
      {"no body", {"A: 1"}, true, {"A"}, {"1"}, {}},
      // A first line that is no field is kept as it stands.
      {"first line without a colon",
       {"From someone", "A: 1", "", "b"},
       false,
       {"From someone", "A"},
       {"", "1"},
       {"b"}},
      {"an mbox separator first",
       {"From x  Thu Aug 22 12:46:39 2002", "A: 1"},
       true,
       {"From x  Thu Aug 22 12:46:39 2002", "A"},
       {"", "1"},
       {}},
      {"a later line without a colon", {"A: 1", "junk", "B: 2"}, false, {"A", "B"}, {"1", "2"}, {}},
      {"names stand as written", {" A : 1", "B\t:\t2 \x01"}, true, {" A ", "B\t"}, {"1", "2"}, {}},
      {"a colon in the value", {"A::b: c"}, true, {"A"}, {":b: c"}, {}},
      {"a fold after an empty value", {"A:", " b"}, true, {"A"}, {"b"}, {}},
      {"only empty lines", {"", ""}, false, {}, {}, {}},
      {"empty list", {}, false, {}, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const bool consume : {false, true}) {
      TStringList lines = ListOf(row.lines);
      TEmailHeader header;
      header.ParseText("Old: value");
      EXPECT_EQ(header.ParseLines(lines, consume), row.result);
      TStringList written;
      header.WriteTo(written);
      Lines names, values;
      for (const std::string& line : written.ToVector()) {
        const std::size_t colon = line.find(": ");
        names.push_back(line.substr(0, colon));
        values.push_back(colon == std::string::npos ? std::string() : line.substr(colon + 2));
      }
      EXPECT_EQ(names, row.names);
      EXPECT_EQ(values, row.values);
      EXPECT_EQ(lines.ToVector(), consume ? row.rest : row.lines);
    }
  }
}

TEST(EmailHeaderParse, NamesMatchWholeIgnoringCase) {
  TEmailHeader header;
  header.ParseText("Subject : spaced\r\nSUBJECT: upper\r\nsubject: lower\r\n");
  EXPECT_EQ(header.IndexOfName("subject"), 1);
  EXPECT_EQ(header.IndexOfName(" Subject: "), 1);
  EXPECT_EQ(header.IndexOfName("Subject "), 1);  // the given name is trimmed
  EXPECT_EQ(Value(header, "Subject"), "upper");
  EXPECT_EQ(header.IndexOfName("Subj"), -1);
  std::string value = "junk";
  EXPECT_FALSE(header.GetValue("Missing", value));
  EXPECT_EQ(value, "");
}

// A header of a few hundred thousand continuation lines parses in one pass;
// joining them one at a time would not finish.
TEST(EmailHeaderParse, ManyContinuationLinesTakeOnePass) {
  std::string text = "Subject: start\r\n";
  for (int i = 0; i < 300000; ++i) text += " x\r\n";
  text += "To: a@example.com\r\n\r\nbody\r\n";
  TEmailHeader header;
  ASSERT_TRUE(header.ParseText(text));
  EXPECT_EQ(Value(header, "Subject"), "start" + std::string(300000, 'x'));
  EXPECT_EQ(Value(header, "To"), "a@example.com");
}

TEST(EmailHeaderParse, WhereTheHeaderTextEnds) {
  constexpr std::size_t none = std::string::npos;
  struct Row {
    std::string text;
    std::size_t from, end;
  } rows[] = {
      {"A: 1\r\n\r\nb", 0, 6}, {"A: 1\n\nb", 0, 5},   {"A: 1\r\rb", 0, 5},
      {"A: 1\r\n\nb", 0, 6},   {"A: 1\n\r\nb", 0, 5}, {"\r\nA: 1", 0, 0},
      {"\nA: 1", 0, 0},         {"A: 1\r\nB: 2\r\n", 0, none},
      {"", 0, none},
      // Searched on from where the last piece ended: a CR LF cut there is
      // one break.
      {"A: 1\r\nB", 5, none},   {"A: 1\r\n\r\n", 5, 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.text));
    EXPECT_EQ(HeaderTextEnd(row.text, row.from), row.end);
  }
}

TEST(EmailHeaderParse, LoadFromFileReadsOnlyTheHeader) {
  test::TempFolder folder;
  const std::string path = folder.Sub("message.eml");
  ASSERT_TRUE(test::WriteFileBytes(path, "Subject: hi\nTo: a@example.com\n\nBody: no\n"));
  TEmailHeader header;
  ASSERT_TRUE(header.LoadFromFile(path));
  EXPECT_EQ(Written(header), (Lines{"Subject: hi", "To: a@example.com"}));

  // A file without a body, without a line end at its end.
  ASSERT_TRUE(test::WriteFileBytes(path, "Subject: only\r\n folded"));
  ASSERT_TRUE(header.LoadFromFile(path));
  EXPECT_EQ(Value(header, "Subject"), "onlyfolded");

  // Lines end at CR LF, CR or LF, as in every message text, and NUL bytes
  // stay in the values.
  using namespace std::string_literals;
  ASSERT_TRUE(test::WriteFileBytes(path, "Subject: a\0b\rTo: c\r\n\nBody: no\n"s));
  ASSERT_TRUE(header.LoadFromFile(path));
  EXPECT_EQ(Written(header), (Lines{"Subject: a\0b"s, "To: c"}));

  // A CR LF cut by a read, then the empty line.
  const std::string pad = "X-Pad: " + std::string(65536 - 8, 'x') + "\r";
  ASSERT_EQ(pad.size(), 65536u);
  ASSERT_TRUE(test::WriteFileBytes(path, pad + "\nTo: y\r\n\r\nBody: no\r\n"));
  ASSERT_TRUE(header.LoadFromFile(path));
  EXPECT_EQ(header.IndexOfName("To"), 1);
  EXPECT_EQ(header.IndexOfName("Body"), -1);
  EXPECT_EQ(Written(header).size(), 2u);

  // A file that begins with its empty line has an empty header.
  ASSERT_TRUE(test::WriteFileBytes(path, "\r\nSubject: body\r\n"));
  ASSERT_TRUE(header.LoadFromFile(path));
  EXPECT_TRUE(Written(header).empty());
  ASSERT_TRUE(test::WriteFileBytes(path, "Subject: only\r\n folded"));
  ASSERT_TRUE(header.LoadFromFile(path));

  // What cannot be read leaves the header as it was.
  EXPECT_FALSE(header.LoadFromFile(folder.Sub("missing.eml")));
  EXPECT_FALSE(header.LoadFromFile(folder.Path()));
  EXPECT_EQ(Value(header, "Subject"), "onlyfolded");
}

// ---------------------------------------------------------------------------
// Setting values

TEST(EmailHeaderSetValue, ReplacesDeletesAndAppends) {
  FakeOwner owner;
  TEmailHeader header(&owner);
  header.ParseText("Subject: old\r\nX-Test: 1\r\n");
  const int afterParse = owner.Changes;
  EXPECT_GT(afterParse, 0);

  EXPECT_TRUE(header.SetValue("SUBJECT:", "new"));  // the stored name stays
  EXPECT_TRUE(header.SetValue("subject", "new"));   // equal: no change
  EXPECT_EQ(owner.Changes, afterParse + 1);
  EXPECT_TRUE(header.SetValue("X-Test", ""));           // empty: the entry goes
  EXPECT_FALSE(header.SetValue("X-Missing", ""));       // nothing to do
  EXPECT_FALSE(header.SetValue(" X-New : ", "v\r\n"));  // appended, CR LF dropped
  EXPECT_FALSE(header.SetValue("X-Empty", "\r\n"));     // nothing left to append
  EXPECT_EQ(Written(header), (Lines{"Subject: new", "X-New: v"}));
  EXPECT_EQ(owner.Changes, afterParse + 3);
}

// No value set by the program can write a header line, or an end of header,
// of its own; a fold stays a fold.
TEST(EmailHeaderSetValue, LineBreaksThatAreNoFoldBecomeBlanks) {
  struct Row {
    std::string value, stored;
  } rows[] = {
      {"a\r\nBcc: victim@example.com", "a  Bcc: victim@example.com"},
      {"a\nb\rc", "a b c"},
      {"a\r\n\r\nbody", "a    body"},
      {"a\r\n\r\n b", "a  \r\n b"},
      {"a\r\n\tb", "a\r\n\tb"},
      {"a\r\n b\r\n", "a\r\n b"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.value));
    TEmailHeader header;
    header.SetValue("X-Note", row.value);
    header.SetValue("To", "a@example.com");
    std::string raw;
    ASSERT_TRUE(header.GetRawValue("X-Note", raw, false));
    EXPECT_EQ(raw, row.stored);
    // Written out and parsed again, the header has the same two entries.
    TStringList lines;
    header.WriteTo(lines);
    TEmailHeader again;
    EXPECT_TRUE(again.ParseLines(lines, true));
    EXPECT_EQ(Written(again).size(), Written(header).size());
    EXPECT_EQ(again.IndexOfName("To"), 1);
  }
  TEmailHeader header;
  header.SetValue("X-A\r\nBcc", "x");
  EXPECT_EQ(Written(header), (Lines{"X-A  Bcc: x"}));
}

// ---------------------------------------------------------------------------
// Parameters

TEST(EmailHeaderParams, RawParameters) {
  struct Row {
    std::string contentType, param;
    bool found;
    std::string value;
    std::uint32_t flags;
  } rows[] = {
      {"text/plain; charset=us-ascii", "charset", true, "us-ascii", 0x2},
      {"text/plain; charset=\"us-ascii\"", "charset", true, "us-ascii", 0},
      {"text/plain; CHARSET=\"us-ascii\"", "Charset", true, "us-ascii", 0},
      {"text/plain; charset = us-ascii", "charset", false, "", 0},
      {"text/plain; charset=\"us-ascii", "charset", true, "us-ascii", 0x2},
      {"text/plain; charset=\"", "charset", false, "", 0},
      {"text/plain; charset=", "charset", false, "", 0},
      {"text/plain", "charset", false, "", 0},
      // "name" is found inside "filename", but only a piece named "name"
      // counts.
      {"application/pdf; filename=a.pdf", "name", false, "", 0},
      {"application/pdf; name=\"a.pdf\"; filename=b.pdf", "name", true, "a.pdf", 0},
      // A quoted value runs to its closing quote, ";" included.
      {"application/pdf; name=\"bill.pdf;.exe\"", "name", true, "bill.pdf;.exe", 0},
      // Inside quotes a backslash escapes a quote or a backslash; other
      // backslashes stay.
      {"application/pdf; name=\"a\\\";b.pdf\"; x=1", "name", true, "a\";b.pdf", 0},
      {"application/pdf; name=\"C:\\dir\\\\x.pdf\"", "name", true, "C:\\dir\\x.pdf", 0},
      {"application/pdf; name=a\\\"b", "name", true, "a\\\"b", 0x2},
      {"application/pdf; x=\"a;name=b\"; name=c", "name", true, "c", 0x2},
      {"application/pdf; name=\"unclosed; x=1", "name", true, "unclosed; x=1", 0x2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.contentType);
    TEmailHeader header;
    header.SetValue("Content-Type", row.contentType);
    std::string value = "junk";
    EXPECT_EQ(header.GetRawParam("Content-Type", row.param, value, true), row.found);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(header.GetFlags(), row.flags);
  }
}

TEST(EmailHeaderParams, FoldedAndEncodedParameters) {
  TEmailHeader header;
  header.ParseText(
      "Content-Type: application/octet-stream;\r\n\tname=\"=?iso-8859-1?Q?r=E9sum=E9?=\r\n"
      " .doc\"\r\n");
  std::string value;
  ASSERT_TRUE(header.GetRawParam("Content-Type", "name", value, false));
  EXPECT_EQ(value, "=?iso-8859-1?Q?r=E9sum=E9?=\r\n .doc");
  ASSERT_TRUE(header.GetDecodedParam("Content-Type", "name", value));
  EXPECT_EQ(value, "r\xE9sum\xE9.doc");
  std::string charset;
  EXPECT_FALSE(header.GetCharset(charset));
  EXPECT_EQ(charset, "default");
}

TEST(EmailHeaderParams, SetParamRewritesTheDecodedValue) {
  struct Row {
    std::string before, param, value, after;
  } rows[] = {
      {"text/plain; charset=us-ascii", "Charset", "utf-8", "text/plain; Charset=utf-8"},
      {"text/plain", "charset", "utf-8", "text/plain; charset=utf-8"},
      {"text/plain;charset=us-ascii;format=flowed", "charset", "", "text/plain; format=flowed"},
      {"text/plain; name=\"=?iso-8859-1?Q?a=E9?=\"", "x", "1", "text/plain; name=\"a\xE9\"; x=1"},
      // A value holding ";" is quoted, so it reads back as one parameter.
      {"application/pdf", "name", "bill.pdf;.exe", "application/pdf; name=\"bill.pdf;.exe\""},
      {"application/pdf", "name", "a\";b", "application/pdf; name=\"a\\\";b\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before + " / " + row.param);
    TEmailHeader header;
    header.SetValue("Content-Type", row.before);
    EXPECT_TRUE(header.SetParam("Content-Type", row.param, row.value));
    std::string raw;
    header.GetRawValue("Content-Type", raw, false);
    EXPECT_EQ(raw, row.after);
  }
  TEmailHeader header;
  EXPECT_FALSE(header.SetParam("Content-Type", "name", "x"));
  header.SetValue("Content-Type", "application/pdf");
  // "?iso-8859-1?Q?a?=" after "name=" unquoted would read as an encoded word.
  for (const std::string value :
       {"bill.pdf;.exe", "a\";b", "say \"hi\".txt", "C:\\x\\", "?iso-8859-1?Q?a?="}) {
    SCOPED_TRACE(value);
    header.SetParam("Content-Type", "name", value);
    header.SetParam("Content-Type", "x", "1");
    std::string name;
    ASSERT_TRUE(header.GetDecodedParam("Content-Type", "name", name));
    EXPECT_EQ(name, value);
    ASSERT_TRUE(header.GetRawParam("Content-Type", "x", name, true));
    EXPECT_EQ(name, "1");
  }
}

// An encoded word may hold CR LF and a header line; rewriting another
// parameter stores the value decoded, and that must not add a header.
TEST(EmailHeaderParams, DecodedLineBreaksCannotAddHeaders) {
  TEmailHeader header;
  header.ParseText(
      "Content-Type: text/plain; name=\"=?iso-8859-1?Q?a=0D=0ABcc:_victim@example.com?=\";\r\n"
      " charset=us-ascii\r\n");
  header.SetParam("Content-Type", "charset", "utf-8");
  TStringList lines;
  header.WriteTo(lines);
  ASSERT_EQ(lines.Count(), 1);
  TEmailHeader again;
  again.ParseLines(lines, true);
  EXPECT_EQ(again.IndexOfName("Bcc"), -1);
  EXPECT_EQ(Value(again, "Content-Type"),
            "text/plain; name=\"a  Bcc: victim@example.com\"; charset=utf-8");
}

// ---------------------------------------------------------------------------
// Boundary, content type and transfer encoding

TEST(EmailHeaderBoundary, Table) {
  struct Row {
    std::string contentType, boundary;
  } rows[] = {
      {"multipart/mixed; boundary=\"abc\"", "--abc"},
      {"multipart/mixed; boundary=abc", "--abc"},
      {"multipart/mixed; boundary=abc ; type=x", "--abc"},
      {"multipart/related; boundary=abc; type=text/html", "--abc"},
      {"multipart/mixed; boundary=abc; name=\"x\"", "--abc"},
      {"multipart/mixed; BOUNDARY=\"A b;c\"; x=\"y\"", "--A b;c"},
      {"multipart/mixed; boundary=\"unclosed", "--unclosed"},
      {"multipart/mixed;\r\n boundary=\"----=_NextPart_000_0001_01C2A9B8.6A5F0E40\"",
       "------=_NextPart_000_0001_01C2A9B8.6A5F0E40"},
      {"multipart/mixed; boundary=", ""},
      {"multipart/mixed; boundary=\"\"", ""},
      {"multipart/mixed", ""},
      {"multipart/mixed; boundary = abc", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.contentType);
    TEmailHeader header;
    header.ParseText("Content-Type: " + row.contentType);
    EXPECT_EQ(header.GetBoundary(), row.boundary);
  }
  TEmailHeader none;
  EXPECT_EQ(none.GetBoundary(), "");
  none.SetBoundary("----=_Part_1");
  std::string raw;
  none.GetRawValue("Content-Type", raw, false);
  EXPECT_EQ(raw, "multipart/alternative; boundary=----=_Part_1");
  EXPECT_EQ(none.GetBoundary(), "------=_Part_1");
}

TEST(EmailHeaderContentType, TestsAndFlags) {
  struct Row {
    std::string contentType;  // "-" for none
    bool multipart, alternative, related, mixed, html, textType, textPlain;
    std::uint32_t flags;
  } rows[] = {
      {"multipart/alternative; boundary=x", true, true, false, false, false, false, false, 0},
      {"Multipart/Related; type=\"text/html\"", true, false, true, false, true, true, false, 0},
      {"multipart/mixed; x=\"multipart/alternative\"", true, false, false, true, false, false,
       false, 0},
      {"text/plain; charset=us-ascii", false, false, false, false, false, true, true, 0},
      {"TEXT", false, false, false, false, false, true, true, 0},
      {"text/html", false, false, false, false, true, true, false, 0},
      {"application/pdf; charset=x", false, false, false, false, false, true, false, 0x80},
      {"image/gif", false, false, false, false, false, false, false, 0},
      {"-", false, false, false, false, false, true, false, 0x4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.contentType);
    TEmailHeader header;
    if (row.contentType != "-") header.SetValue("Content-Type", row.contentType);
    EXPECT_EQ(header.IsMultipart(), row.multipart);
    EXPECT_EQ(header.IsMultipartAlternative(), row.alternative);
    EXPECT_EQ(header.IsMultipartRelated(), row.related);
    EXPECT_EQ(header.IsMultipartMixed(), row.mixed);
    EXPECT_EQ(header.IsTextHtml(), row.html);
    EXPECT_EQ(header.IsTextType(), row.textType);
    EXPECT_EQ(header.IsTextPlain(), row.textPlain);  // a header of no part
    EXPECT_EQ(header.GetFlags(), row.flags);
  }
}

// Without a Content-Type, a direct part of the message is plain text; a
// deeper part, or a header of no part, is not.
TEST(EmailHeaderContentType, PlainTextByDefaultOnlyAtTheTop) {
  FakeOwner owner;
  int anchor = 0;
  struct Row {
    TEmailMsgPart* part;
    int depth;
    bool plain;
    std::uint32_t flags;
    std::string type;
  } rows[] = {
      {PartAt(anchor), 0, true, 0x4, "text/plain"},
      {PartAt(anchor), 1, false, 0x4, ""},
      {nullptr, 0, false, 0x4, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.depth);
    TEmailHeader header(&owner);
    header.SetOwnerPlace(nullptr, row.part, row.depth);
    EXPECT_EQ(header.IsTextPlain(), row.plain);
    std::string type = "junk";
    EXPECT_FALSE(header.GetContentType(type));
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(header.GetFlags(), row.flags);  // GetContentType asks IsTextHtml first
  }
  TEmailHeader header;
  header.SetValue("Content-Type", "Text/HTML; charset=x");
  std::string type;
  EXPECT_TRUE(header.GetContentType(type));
  EXPECT_EQ(type, "Text/HTML");
}

TEST(EmailHeaderTransferEncoding, Table) {
  struct Row {
    std::string contentType, encoding;  // "-" for none
    bool result;
    std::string answer, decoder;
    std::uint32_t flags;
  } rows[] = {
      {"text/plain", "-", false, "7bit", "default", 0x8},
      {"text/plain", "7BIT", true, "7BIT", "7bit", 0},
      {"text/plain", "Base64", true, "Base64", "base64", 0},
      {"text/plain", "quoted-printable", true, "quoted-printable", "quoted-printable", 0},
      {"text/plain", "x-uuencode", true, "binary", "binary", 0x20},
      {"multipart/mixed", "base64", true, "base64", "base64", 0x10},
      {"multipart/mixed", "8bit", true, "8bit", "8bit", 0},
      {"multipart/mixed", "x-token", true, "binary", "binary", 0x30},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.contentType + " " + row.encoding);
    TEmailHeader header;
    header.SetValue("Content-Type", row.contentType);
    if (row.encoding != "-") header.SetValue("Content-Transfer-Encoding", row.encoding);
    std::string answer;
    EXPECT_EQ(header.GetTransferEncoding(answer), row.result);
    EXPECT_EQ(answer, row.answer);
    EXPECT_EQ(header.GetFlags(), row.flags);
    TMIMEDecoderClass decoder = nullptr;
    EXPECT_EQ(header.GetDecoderClass(decoder), row.result);
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->EncodingName(), row.decoder);
    EXPECT_EQ(header.IsTransferEncoded(), row.result && row.decoder != "binary" &&
                                              row.decoder != "7bit" && row.decoder != "8bit");
  }
}

// ---------------------------------------------------------------------------
// Attachments: a top header and one part header of a message.

struct MessageHeaders {
  explicit MessageHeaders(const std::string& topText, const std::string& partText, int depth = 0)
      : Top(&Owner), Part(&Owner) {
    Top.ParseText(topText);
    Part.ParseText(partText);
    Top.SetOwnerPlace(&Top, PartAt(TopAnchor), 0);
    Part.SetOwnerPlace(&Top, PartAt(PartAnchor), depth);
  }
  FakeOwner Owner;
  int TopAnchor = 0, PartAnchor = 0;
  TEmailHeader Top, Part;
};

TEST(EmailHeaderAttachments, Classification) {
  const std::string multipart = "Content-Type: multipart/mixed; boundary=b";
  struct Row {
    const char* what;
    std::string top, part;
    bool attachment, isInline, inlineAttachment;
    std::uint32_t partFlags;
  } rows[] = {
      {"attachment disposition", multipart,
       "Content-Type: application/pdf\r\nContent-Disposition: attachment", true, false, false, 0},
      {"disposition with a name", multipart,
       "Content-Type: image/jpeg\r\nContent-Disposition: inline; filename=a.jpg", true, true, false,
       0x100},
      {"inline image", multipart, "Content-Type: image/jpeg\r\nContent-Disposition: inline", false,
       false, true, 0},
      {"inline text", multipart, "Content-Type: text/plain\r\nContent-Disposition: inline", false,
       false, false, 0},
      {"leading part of a word", multipart, "Content-Type: image/gif\r\nContent-Disposition: att",
       true, false, false, 0},
      {"text without disposition", multipart, "Content-Type: text/plain", false, true, false, 0},
      {"named text without disposition", multipart, "Content-Type: text/plain; name=\"notes.txt\"",
       true, true, false, 0},
      {"image without disposition", multipart, "Content-Type: image/png", true, false, false, 0},
      // One "inline" at the top of a multipart message hides no part.
      {"top inline, multipart", multipart + "\r\nContent-Disposition: inline",
       "Content-Type: application/pdf\r\nContent-Disposition: attachment", true, true, false, 0},
      // In a single-part message the top disposition decides.
      {"top inline, single part", "Content-Type: application/pdf\r\nContent-Disposition: inline",
       "Content-Type: application/pdf\r\nContent-Disposition: attachment", false, true, false, 0},
      {"top attachment, single part",
       "Content-Type: text/plain\r\nContent-Disposition: attachment; filename=a.txt",
       "Content-Type: text/plain", true, true, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MessageHeaders m(row.top, row.part);
    EXPECT_EQ(m.Part.IsAttachment(), row.attachment);
    EXPECT_EQ(m.Part.IsInline(), row.isInline);
    EXPECT_EQ(m.Part.IsInlineAttachment(), row.inlineAttachment);
    EXPECT_EQ(m.Part.GetFlags(), row.partFlags);
  }
}

TEST(EmailHeaderAttachments, TopHeaderAndHeadersWithoutOwner) {
  MessageHeaders m("Content-Type: multipart/mixed; boundary=b", "Content-Type: image/png");
  EXPECT_TRUE(m.Top.IsTopHeader());
  EXPECT_FALSE(m.Part.IsTopHeader());
  EXPECT_FALSE(m.Top.IsInlineAttachment());
  EXPECT_EQ(m.Part.GetOwnerPart(), PartAt(m.PartAnchor));
  EXPECT_EQ(m.Part.GetMsg(), &m.Owner);
  // A multipart top header without a name is no attachment.
  EXPECT_FALSE(m.Top.IsAttachment());

  TEmailHeader alone;
  alone.ParseText("Content-Type: image/png\r\nContent-Disposition: inline");
  EXPECT_FALSE(alone.IsTopHeader());
  EXPECT_EQ(alone.GetOwnerPart(), nullptr);
  EXPECT_FALSE(alone.IsAttachment());
  EXPECT_TRUE(alone.IsInlineAttachment());
  EXPECT_FALSE(alone.IsRfc822Part());
}

// Without a transfer encoding only a non-text attachment of a part is taken
// for base64.
TEST(EmailHeaderAttachments, DecoderWithoutTransferEncoding) {
  struct Row {
    std::string part;
    std::string decoder;
  } rows[] = {
      {"Content-Type: image/png\r\nContent-Disposition: attachment", "base64"},
      {"Content-Type: image/png\r\nContent-Disposition: inline", "base64"},
      {"Content-Type: text/plain\r\nContent-Disposition: attachment", "default"},
      {"Content-Type: message/rfc822\r\nContent-Disposition: attachment", "default"},
      {"Content-Type: text/plain; charset=x", "default"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.part);
    MessageHeaders m("Content-Type: multipart/mixed; boundary=b", row.part);
    TMIMEDecoderClass decoder = nullptr;
    EXPECT_FALSE(m.Part.GetDecoderClass(decoder));
    EXPECT_EQ(decoder->EncodingName(), row.decoder);
    EXPECT_EQ(m.Part.IsTransferEncoded(), false);
  }
  MessageHeaders m("Content-Type: image/png\r\nContent-Disposition: attachment", "");
  TMIMEDecoderClass decoder = nullptr;
  m.Top.GetDecoderClass(decoder);
  EXPECT_EQ(decoder->EncodingName(), "default");  // the top header never guesses
}

TEST(EmailHeaderAttachments, Names) {
  struct Row {
    std::string header;
    bool found;
    std::string name;
    std::uint32_t flags;
  } rows[] = {
      {"Content-Type: application/pdf; name=report", true, "report.pdf", 0x2},
      {"Content-Type: application/pdf; name=\"a:b.pdf\"", true, "ab.pdf", 0x40},
      {"Content-Type: application/x-unknown-type; name=\"readme\"", true, "readme", 0},
      {"Content-Type: application/pdf", false, "Attachment.pdf", 0},
      {"Content-Type: image/gif\r\nContent-Disposition: attachment; filename=\"<x>.gif\"\r\n", true,
       "x.gif", 0x40},
      {"Content-Type: application/pdf\r\nContent-Disposition: attachment; "
       "filename=\"bill.pdf;.exe\"",
       true, "bill.pdf;.exe", 0},
      // Decoded twice: the second decoding reads what the first left.
      {"Content-Type: text/plain; name=\"=?iso-8859-1?B?PT9pc28tODg1OS0xP1E/YT0yRWI/PQ==?=\"", true,
       "a.b", 0},
      {"Content-Type: text/plain; name=\" spaced.txt \"", true, "spaced.txt", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.header);
    TEmailHeader header;
    header.ParseText(row.header);
    std::string name;
    EXPECT_EQ(header.GetAttachmentName(name), row.found);
    EXPECT_EQ(name, row.name);
    EXPECT_EQ(header.GetFlags(), row.flags);
  }
  TEmailHeader header;
  header.ParseText(
      "Content-Type: image/gif; name=type.gif\r\nContent-Disposition: inline; "
      "filename=disp.gif\r\nContent-ID: <part1@example.com>");
  std::string name;
  EXPECT_TRUE(header.GetAttachmentNameFromType(name));
  EXPECT_EQ(name, "type.gif");
  EXPECT_TRUE(header.GetAttachmentNameFromDisposition(name));
  EXPECT_EQ(name, "disp.gif");
  EXPECT_TRUE(header.GetAttachmentNameFromContentId(name));
  EXPECT_EQ(name, "part1@example.com");
}

TEST(EmailHeaderAttachments, NameRepairs) {
  TEmailHeader header;
  header.ParseText(
      "Content-Type: application/octet-stream; name=\"=?iso-8859-1?Q?a?=\r\n =?iso-8859-1?Q?b?="
      ".exe\"\r\nContent-Disposition: attachment; filename=\"c|d.pdf...\"");
  EXPECT_TRUE(header.FixMultilineNames());
  std::string raw;
  header.GetRawValue("Content-Type", raw, false);
  EXPECT_EQ(raw, "application/octet-stream; Name=ab.exe");
  EXPECT_FALSE(header.FixMultilineNames());
  EXPECT_TRUE(header.FixNameLengths());
  EXPECT_FALSE(header.FixNameLengths());
  EXPECT_TRUE(header.CleanNames());
  EXPECT_FALSE(header.CleanNames());
  header.GetRawValue("Content-Disposition", raw, false);
  EXPECT_EQ(raw, "attachment; FileName=cd.pdf");
}

TEST(EmailHeaderAttachments, AttachedMessages) {
  struct Row {
    std::string header;
    bool rfc822;
  } rows[] = {
      {"Content-Type: message/rfc822", true},
      {"Content-Type: Message/RFC822; name=x", true},
      {"Content-Type: application/octet-stream; name=\"fwd.EML\"", true},
      {"Content-Type: application/octet-stream; name=\"fwd.msg\"", true},
      {"Content-Type: application/octet-stream; name=\"fwd.nws\"", true},
      {"Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
       "filename=\"fwd.eml\"",
       true},
      {"Content-Type: application/octet-stream; name=\"fwd.txt\"", false},
      {"Content-Type: text/plain", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.header);
    MessageHeaders m("Content-Type: multipart/mixed; boundary=b", row.header);
    EXPECT_EQ(m.Part.IsRfc822Attachment(), row.rfc822);
    EXPECT_EQ(m.Part.IsRfc822Part(), row.rfc822);
  }
}

// The same headers in real messages: the part tree places each header as
// the fake owner above does, so every answer is the same, at the top level
// and one level down.
TEST(EmailHeaderAttachments, RealMessagesAnswerAsPlacedHeaders) {
  const std::string top = "Content-Type: multipart/mixed; boundary=b";
  const std::string parts[] = {
      "Content-Type: application/pdf\r\nContent-Disposition: attachment",
      "Content-Type: image/jpeg\r\nContent-Disposition: inline; filename=a.jpg",
      "Content-Type: image/jpeg\r\nContent-Disposition: inline",
      "Content-Type: text/plain\r\nContent-Disposition: inline",
      "Content-Type: image/gif\r\nContent-Disposition: att",
      "Content-Type: text/plain",
      "Content-Type: text/plain; name=\"notes.txt\"",
      "Content-Type: image/png",
      "Content-Type: message/rfc822\r\nContent-Disposition: attachment",
      "Content-Type: application/octet-stream; name=\"fwd.EML\"",
      "Content-Type: text/plain; charset=x",
      "Content-Transfer-Encoding: base64",
      "X-Nothing: here",
  };
  for (int depth : {0, 1}) {
    for (const std::string& part : parts) {
      SCOPED_TRACE(std::to_string(depth) + " " + part);
      MessageHeaders fake(top, part, depth);
      const std::string section = part + "\r\n\r\nbody\r\n";
      TEmailMsgRef msg = TEmailMsg::Create();
      // The parse's own tree: no text part added where the body has none.
      msg->SetEnsureTextPart(false);
      msg->SetText(top + "\r\n\r\n--b\r\n" +
                   (depth == 0 ? section
                               : "Content-Type: multipart/mixed; boundary=c\r\n\r\n--c\r\n" +
                                     section + "--c--\r\n") +
                   "--b--\r\n");
      msg->FSetFlaggedDeleted(true);
      TCriticalSectionGuard guard(msg->MessageLock());
      TEmailMsgPart* carrier = msg->GetParts().Items(1);
      if (depth == 1) carrier = carrier->Children().Items(1);
      ASSERT_NE(carrier, nullptr);
      TEmailHeader& real = *carrier->Header();
      EXPECT_EQ(real.GetMsg(), msg.get());
      EXPECT_EQ(real.GetOwnerPart(), carrier);
      EXPECT_FALSE(real.IsTopHeader());
      EXPECT_TRUE(msg->GetHeader()->IsTopHeader());
      EXPECT_EQ(real.IsAttachment(), fake.Part.IsAttachment());
      EXPECT_EQ(real.IsInline(), fake.Part.IsInline());
      EXPECT_EQ(real.IsInlineAttachment(), fake.Part.IsInlineAttachment());
      EXPECT_EQ(real.IsRfc822Attachment(), fake.Part.IsRfc822Attachment());
      EXPECT_EQ(real.IsRfc822Part(), fake.Part.IsRfc822Part());
      EXPECT_EQ(real.IsTextPlain(), fake.Part.IsTextPlain());
      TMIMEDecoderClass realDecoder = nullptr;
      TMIMEDecoderClass fakeDecoder = nullptr;
      EXPECT_EQ(real.GetDecoderClass(realDecoder), fake.Part.GetDecoderClass(fakeDecoder));
      EXPECT_EQ(realDecoder, fakeDecoder);
      std::string realName, fakeName;
      EXPECT_EQ(real.GetAttachmentName(realName), fake.Part.GetAttachmentName(fakeName));
      EXPECT_EQ(realName, fakeName);
    }
  }
}

// ---------------------------------------------------------------------------
// Dates, owner, threads

TEST(EmailHeaderDate, PresetToNow) {
  const TDateTime now = EncodeDateTime(2003, 1, 5, 10, 15, 0);
  ScopedClockForTests clock(now);
  TEmailHeader header;
  TDateTime date = 0, zone = 7;
  EXPECT_NE(header.GetDate(date, zone) & kDateIrregular, 0);
  EXPECT_EQ(date, now);
  EXPECT_EQ(zone, 0);
  header.SetValue("Date", "Tue, 3 Dec 2002 10:15:00 +0100");
  EXPECT_EQ(header.GetDate(date, zone) & kDateIrregular, 0);
  EXPECT_EQ(date, EncodeDateTime(2002, 12, 3, 10, 15, 0));
  EXPECT_DOUBLE_EQ(zone, 1.0 / 24);
}

TEST(EmailHeaderOwner, RegistersAndUnregisters) {
  FakeOwner owner;
  {
    TEmailHeader a(&owner), b(&owner);
    EXPECT_EQ(owner.Headers, (std::vector<TEmailHeader*>{&a, &b}));
  }
  EXPECT_TRUE(owner.Headers.empty());
  {
    TEmailHeader c(&owner);
    owner.FailUnregister = true;  // logged; the header goes anyway
  }
  EXPECT_EQ(owner.Headers.size(), 1u);
}

// Readers, writers and parsers on several threads at once. Run under the
// thread sanitizer too.
TEST(EmailHeaderThreads, SharedHeader) {
  FakeOwner owner;
  TEmailHeader header(&owner);
  header.ParseText("Received: from a by b; Mon, 1 Jan 2001 10:20:30\r\nSubject: s\r\n");
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      header.ParseText("Received: from a by b\r\nReceived: from c by d\r\nSubject: " +
                       std::to_string(i));
      header.SetValue("X-Count", std::to_string(i));
    }
  });
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::string line;
        header.GetReceivedLine(-1, line);
        header.CountHeader("Received");
        std::string subject;
        header.GetSubject(subject);
        int index;
        std::string address;
        header.GetLastExternalReceivedIP(index, address);
        TStringList lines;
        header.WriteTo(lines);
      }
    });
  }
  for (std::size_t t = 1; t < threads.size(); ++t) threads[t].join();
  stop = true;
  threads[0].join();
  EXPECT_GT(owner.Changes, 0);
}

}  // namespace
}  // namespace halvorn
