#include "message/email_msg_part.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "message/email_msg.h"
#include "message/header_errors.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;
using test::ListOf;

// A message of the text that never writes a file when it goes. These tests
// read the parser's tree, so the parse adds no text part to a body without
// one (the body restructuring's step, tested with it).
TEmailMsgRef ScratchMessage(const std::string& text) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetEnsureTextPart(false);
  msg->SetText(text);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

std::string Joined(const TStringList& lines) {
  std::string text;
  for (int i = 0; i < lines.Count(); ++i) text += (i ? "|" : "") + lines[i];
  return text;
}

// One line per part, in tree order: indentation by level, the content type,
// the part's own body lines and its boundary line.
void Describe(TEmailMsgPartCollection& parts, std::vector<std::string>& out) {
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailMsgPart* part = parts.Items(i);
    // A nested part without Content-Type has none (only a direct part of the
    // message is plain text by default).
    std::string type;
    if (part->Header() != nullptr) part->Header()->GetContentType(type);
    if (type.empty()) type = "-";
    out.push_back(std::string(2 * static_cast<std::size_t>(part->Level()), ' ') + type + " [" +
                  Joined(part->FGetRawText()) + "] " + part->BoundaryText());
    Describe(part->Children(), out);
  }
}

std::vector<std::string> TreeOf(TEmailMsg& msg) {
  std::vector<std::string> out;
  TCriticalSectionGuard guard(msg.MessageLock());
  Describe(msg.GetParts(), out);
  return out;
}

std::string RawTextOf(TEmailMsg& msg) {
  TStringList lines;
  msg.GetRawText(lines, true);
  return lines.Text();
}

// ---------------------------------------------------------------------------
// Splitting bodies into parts

TEST(MimeParts, TreeShapes) {
  struct Row {
    const char* what;
    std::string text;
    Lines tree;
  } rows[] = {
      {"preamble, two parts, dropped epilogue",
       "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\npre\r\n--b\r\nContent-Type: "
       "text/plain\r\n\r\none\r\n--b\r\nContent-Type: text/html\r\n\r\n<b>two</b>\r\n--b--\r\n"
       "epilogue\r\n",
       {"multipart/mixed [pre] --b", "text/plain [one] --b", "text/html [<b>two</b>] --b--"}},
      {"no closing boundary: the last part takes the rest",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b\r\n\r\ntwo\r\nthree\r\n",
       {"multipart/mixed [] --b", "text/plain [one] --b", "text/plain [two|three] --b--"}},
      {"a nested part keeps its epilogue",
       "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: multipart/"
       "alternative; boundary=i\r\n\r\n--i\r\n\r\nplain\r\n--i--\r\ninner epilogue\r\n--o--\r\n",
       {"multipart/mixed [] --o", "multipart/alternative [inner epilogue] --o--",
        "  multipart/alternative [] --i", "  - [plain] --i--"}},
      {"a boundary in the middle of a line",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nbody text--b\r\n\r\nnext--b--\r\n",
       {"multipart/mixed [] --b", "text/plain [body text] --b", "text/plain [next] --b--"}},
      {"an attached message gets the header of its own",
       "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: message/rfc822\r\n\r\n"
       "Subject: inner\r\nContent-Type: text/plain\r\n\r\nhello\r\n--o--\r\n",
       {"multipart/mixed [] --o", "message/rfc822 [] --o--", "  text/plain [hello] "}},
      {"an attached multipart message splits at its own boundary",
       "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: message/rfc822\r\n\r\n"
       "Content-Type: multipart/alternative; boundary=i\r\n\r\n--i\r\n\r\nx\r\n--i--\r\n--o--\r\n",
       {"multipart/mixed [] --o", "message/rfc822 [] --o--", "  multipart/alternative [] --i",
        "  - [x] --i--"}},
      {"a base64 multipart body is decoded before it is split",
       "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: multipart/mixed; "
       "boundary=i\r\nContent-Transfer-Encoding: base64\r\n\r\n"
       "LS1pDQoNCmhpZGRlbg0KLS1pLS0NCg==\r\n--o--\r\n",
       {"multipart/mixed [] --o", "multipart/mixed [] --o--", "  multipart/mixed [] --i",
        "  - [hidden] --i--"}},
      {"a single part has no boundary line", "Subject: s\r\n\r\nline 1\r\nline 2\r\n",
       {"text/plain [line 1|line 2] "}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = ScratchMessage(row.text);
    EXPECT_EQ(TreeOf(*msg), row.tree);
  }
}

TEST(MimeParts, MissingBoundarySetsTheHeaderFlag) {
  TEmailMsgRef msg = ScratchMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "no end\r\n");
  TEmailMsgPart* last = msg->GetParts().Items(1);
  ASSERT_NE(last, nullptr);
  EXPECT_NE(last->Header()->GetFlags() & HeaderErrorBit(heMissingEndBoundary), 0u);
  EXPECT_EQ(msg->GetParts().Items(0)->Header()->GetFlags() & HeaderErrorBit(heMissingEndBoundary),
            0u);
  TEmailMsgPart* root = msg->GetParts().Items(0);
  EXPECT_NE(CollectPartHeaderFlags(last) & HeaderErrorBit(heMissingEndBoundary), 0u);
  EXPECT_EQ(CollectPartHeaderFlags(root) & HeaderErrorBit(heMissingEndBoundary), 0u);
}

// The Part's own reading of a section, literally: join the lines, search the
// boundary anywhere, split the text before it and the rest.
struct ReferenceSection {
  Lines Body, Rest;
  std::string BoundaryLine;
  bool Last = true;
};

ReferenceSection ReferenceParse(const Lines& lines, const std::string& boundary) {
  ReferenceSection out;
  const std::string text = ListOf(lines).Text();
  const std::size_t found = text.find(boundary);
  TStringList body, rest;
  if (found == std::string::npos) {
    body.SetText(text);
    out.Body = body.ToVector();
    out.BoundaryLine = boundary + "--";
    return out;
  }
  body.SetText(text.substr(0, found));
  rest.SetText(text.substr(found));
  out.Body = body.ToVector();
  out.BoundaryLine = rest[0];
  rest.Delete(0);
  out.Rest = rest.ToVector();
  out.Last = out.BoundaryLine == boundary + "--";
  return out;
}

// The forward scan gives what the joined-text search gives, boundaries in
// the middle of lines, at their ends and repeated included.
TEST(MimeParts, ForwardScanEqualsTheJoinedSearch) {
  std::mt19937 random(20240513);
  const std::vector<std::string> pieces = {"--b", "--b--", "x", "", "-", "b", "--", "text --b", "\t"};
  TEmailMsgRef msg = ScratchMessage("Content-Type: text/plain\r\n\r\n");
  for (int round = 0; round < 3000; ++round) {
    Lines lines;
    const int count = static_cast<int>(random() % 7);
    for (int i = 0; i < count; ++i) {
      std::string line;
      const int parts = static_cast<int>(random() % 4);
      for (int p = 0; p < parts; ++p) line += pieces[random() % pieces.size()];
      lines.push_back(line);
    }
    SCOPED_TRACE(Joined(ListOf(lines)));
    const ReferenceSection expected = ReferenceParse(lines, "--b");
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailMsgPart* part = msg->GetParts().Add();
    part->SetHeader(msg->GetParts().Items(0)->Header(), false);
    TStringList list = ListOf(lines);
    const bool last = part->ParseBody(list, "--b", false);
    if (lines.empty()) {
      EXPECT_TRUE(last);
      continue;
    }
    EXPECT_EQ(part->FGetRawText().ToVector(), expected.Body);
    EXPECT_EQ(part->BoundaryText(), expected.BoundaryLine);
    EXPECT_EQ(list.ToVector(), expected.Rest);
    EXPECT_EQ(last, expected.Last);
    msg->GetParts().Delete(msg->GetParts().Count() - 1);
  }
}

// ---------------------------------------------------------------------------
// Hostile structure

// Boundaries "=_0_=", "=_1_=", ...: none is a part of another.
std::string Nested(int depth) {
  auto boundary = [](int i) { return "=_" + std::to_string(i) + "_="; };
  std::string text = "Content-Type: multipart/mixed; boundary=\"" + boundary(0) + "\"\r\n\r\n";
  for (int i = 1; i < depth; ++i)
    text += "--" + boundary(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=\"" + boundary(i) +
            "\"\r\n\r\n";
  text += "--" + boundary(depth - 1) + "\r\nContent-Type: text/plain\r\n\r\ndeep\r\n";
  for (int i = depth - 1; i >= 0; --i) text += "--" + boundary(i) + "--\r\n";
  return text;
}

int DeepestLevel(TEmailMsgPartCollection& parts) {
  int deepest = -1;
  for (int i = 0; i < parts.Count(); ++i)
    deepest = std::max({deepest, parts.Items(i)->Level(), DeepestLevel(parts.Items(i)->Children())});
  return deepest;
}

int PartCount(TEmailMsgPartCollection& parts) {
  int count = parts.Count();
  for (int i = 0; i < parts.Count(); ++i) count += PartCount(parts.Items(i)->Children());
  return count;
}

// Past the caps the text stays body lines of the deepest part and is written
// back as it came.
TEST(MimeParts, NestingAndPartCapsKeepTheText) {
  {
    const std::string text = Nested(kMaxMimeNesting + 50);
    TEmailMsgRef msg = ScratchMessage(text);
    TCriticalSectionGuard guard(msg->MessageLock());
    EXPECT_EQ(DeepestLevel(msg->GetParts()), kMaxMimeNesting);
    EXPECT_TRUE(RawTextOf(*msg) == text);
  }
  {
    std::string text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < kMaxMimeParts + 500; ++i) text += "--b\r\n\r\n" + std::to_string(i) + "\r\n";
    text += "--b--\r\n";
    TEmailMsgRef msg = ScratchMessage(text);
    TCriticalSectionGuard guard(msg->MessageLock());
    EXPECT_EQ(PartCount(msg->GetParts()), kMaxMimeParts);
    EXPECT_TRUE(RawTextOf(*msg) == text);
  }
}

// ---------------------------------------------------------------------------
// Writing back

TEST(MimeParts, ParsedMessagesWriteBackTheirBytes) {
  const std::string texts[] = {
      "Subject: single\r\n\r\nbody\r\n",
      "Subject: no body\r\n\r\n",
      // No header: the first paragraph stays body, however often it is saved.
      "\r\nfirst paragraph\r\nline two\r\n\r\nsecond paragraph\r\n",
      "Content-Type: multipart/mixed; boundary=b\r\n\r\npreamble\r\n--b\r\nContent-Type: "
      "text/plain\r\n\r\none\r\n--b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nAAEC\r\n--b--\r\n",
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: multipart/"
      "alternative; boundary=i\r\n\r\n--i\r\n\r\nplain\r\n--i--\r\nepilogue\r\n--o\r\n"
      "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\ninner body\r\n--o--\r\n",
      // A nested multipart with a transfer encoding: its header stays outside
      // the encoded body, so its "=" is not written as "=3D".
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: multipart/"
      "alternative; boundary=i\r\nContent-Transfer-Encoding: quoted-printable\r\n"
      "Content-Description: x=y\r\n\r\n--i\r\n\r\nplain\r\n--i--\r\n--o--\r\n",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    TEmailMsgRef msg = ScratchMessage(text);
    msg->GetParts();
    EXPECT_EQ(RawTextOf(*msg), text);
  }
}

TEST(MimeParts, DeletingTheLastPartKeepsTheClosingBoundary) {
  TEmailMsgRef msg = ScratchMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b\r\n\r\ntwo\r\n--b--\r\n");
  TCriticalSectionGuard guard(msg->MessageLock());
  TEmailMsgPartCollection& parts = msg->GetParts();
  parts.Delete(5);
  parts.Delete(-1);
  parts.Delete(2);
  EXPECT_EQ(parts.Count(), 2);
  EXPECT_EQ(parts.Items(1)->BoundaryText(), "--b--");
  EXPECT_EQ(RawTextOf(*msg),
            "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b--\r\n");
  EXPECT_TRUE(parts.RemovePart(parts.Items(1)));
  EXPECT_FALSE(parts.RemovePart(nullptr));
}

TEST(MimeParts, ReplacedContentIsEncodedWithThePartsCodec) {
  TEmailMsgRef msg = ScratchMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: image/gif\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=a.gif\r\n\r\n"
      "R0lG\r\n--b--\r\n");
  TCriticalSectionGuard guard(msg->MessageLock());
  TEmailMsgPart* image = msg->GetParts().Items(1);
  msg->SetChanged(false);
  msg->SetCachedCheckSums({1, 2});
  const std::uint32_t before = image->CheckSum();
  EXPECT_EQ(CheckSumType(before), cstImage);

  TStringList content = ListOf({std::string(100, 'x')});
  EXPECT_TRUE(image->EncodeFromStringList(content, false));
  EXPECT_TRUE(msg->IsChanged());
  EXPECT_TRUE(msg->GetCachedCheckSums().empty());
  const TStringList& raw = image->FGetRawText();
  ASSERT_EQ(raw.Count(), 3);
  EXPECT_EQ(raw[0].size(), 60u);
  TStringList decoded;
  EXPECT_TRUE(image->DecodeToStringList(decoded, false));
  EXPECT_EQ(decoded.ToVector(), Lines{std::string(100, 'x')});
  EXPECT_NE(image->CheckSum(), before);

  // Written without attachments, the image is a snip line.
  TStringList text;
  msg->GetRawText(text, false);
  EXPECT_NE(text.IndexOf(kEncodedAttachmentSnip), -1);
}

// A part re-parsed from new lines frees the headers of its old children.
TEST(MimeParts, ReparsingFreesTheOldChildren) {
  TEmailMsgRef msg = ScratchMessage(
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: multipart/mixed; "
      "boundary=i\r\n\r\n--i\r\nContent-Type: text/plain\r\n\r\nold\r\n--i--\r\n--o--\r\n");
  TCriticalSectionGuard guard(msg->MessageLock());
  TEmailMsgPart* inner = msg->GetParts().Items(1);
  ASSERT_EQ(inner->Children().Count(), 2);
  inner->EncodeFromStringList(
      ListOf({"--i", "Content-Type: text/html", "", "<p>new</p>", "--i", "", "x", "--i--"}), true);
  std::vector<std::string> tree;
  Describe(msg->GetParts(), tree);
  EXPECT_EQ(tree, (Lines{"multipart/mixed [] --o", "multipart/mixed [] --o--",
                         "  multipart/mixed [] --i", "  text/html [<p>new</p>] --i",
                         "  - [x] --i--"}));
}

// ---------------------------------------------------------------------------
// Views of parts

TEST(MimeParts, TextPartsAndTexts) {
  TEmailMsgRef msg = ScratchMessage(
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=a.txt\r\n\r\nattached\r\n--o\r\n"
      "Content-Type: multipart/alternative; boundary=i\r\n\r\n--i\r\nContent-Type: text/plain\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9\r\n--i\r\n"
      "Content-Type: text/html\r\nContent-Location: http://a/ b\r\n\r\n<p>caf&eacute;</p>\r\n"
      "--i--\r\n--o--\r\n");
  TCriticalSectionGuard guard(msg->MessageLock());
  TEmailMsgPartCollection& parts = msg->GetParts();
  TEmailMsgPart* alternative = parts.Items(2);
  EXPECT_EQ(parts.FindAlternative(), alternative);
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  for (int i = 0; i < parts.Count(); ++i) FindTextParts(parts.Items(i), plain, html);
  EXPECT_EQ(plain, alternative->Children().Items(1));
  EXPECT_EQ(html, alternative->Children().Items(2));

  TStringList text;
  EXPECT_TRUE(plain->AppendPlainText(text, false));
  EXPECT_EQ(text.ToVector(), Lines{"caf\xE9"});
  // The HTML child of a decoded multipart part is made plain.
  TStringList decoded;
  EXPECT_FALSE(alternative->AppendDecodedText(decoded, true));
  ASSERT_GE(decoded.Count(), 2);
  EXPECT_EQ(decoded[0], "caf\xE9");
  EXPECT_EQ(decoded.IndexOf("<p>caf&eacute;</p>"), -1);
  TStringList htmlText;
  EXPECT_TRUE(alternative->Children().Items(2)->AppendDecodedText(htmlText, false));
  EXPECT_EQ(htmlText.ToVector(), Lines{"<p>caf&eacute;</p>"});
  TStringList locations;
  CollectContentLocations(alternative, locations);
  EXPECT_EQ(locations.ToVector(), Lines{"http://a/b"});
  EXPECT_EQ(plain->MaxLineLength(false), 6);
  EXPECT_EQ(plain->MaxLineLength(true), 4);
  EXPECT_EQ(plain->RawSize(), 6);
}

}  // namespace
}  // namespace halvorn
