// The body restructuring against Python's email package: after each change
// Python reads the message as the tree intended (types, order, charsets,
// transfer encodings, decoded payloads) without a defect, and our own parse
// of the written text gives the tree we changed in memory.
#include "message/body_restructuring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "email_msg_fakes.h"
#include "message/email_msg.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;

// Python's reading of each message (hex, one per input line): per part, in
// tree order, its depth as indentation, its type, and for a leaf its
// charset, transfer encoding and decoded payload (line ends made "|", the
// last ones dropped); then the defects Python noticed, after "!".
const char* const kPythonTree = R"PY(
import sys, email
from email import policy
out = sys.stdout.buffer
def walk(part, depth):
    pad = b'  ' * depth
    out.write(pad + part.get_content_type().encode() + b'\n')
    for defect in part.defects:
        out.write(b'! ' + type(defect).__name__.encode() + b'\n')
    payload = part.get_payload()
    if isinstance(payload, list):
        for child in payload:
            walk(child, depth + 1)
        return
    data = part.get_payload(decode=True) or b''
    data = data.replace(b'\r\n', b'\n').replace(b'\r', b'\n').rstrip(b'\n').replace(b'\n', b'|')
    charset = part.get_content_charset() or '-'
    cte = str(part.get('content-transfer-encoding', '-')).strip().lower()
    out.write(pad + b'  ' + charset.encode() + b' ' + cte.encode() + b' [' + data + b']\n')
for line in sys.stdin.read().split('\n'):
    if line:
        walk(email.message_from_bytes(bytes.fromhex(line), policy=policy.compat32), 0)
        out.write(b'==\n')
)PY";

// Python's reading of each text.
std::vector<Lines> PythonTrees(const std::vector<std::string>& texts) {
  std::string input;
  for (const std::string& text : texts) input += test::HexOf(text) + "\n";
  const test::CommandResult py = test::RunPython(kPythonTree, input);
  EXPECT_EQ(py.ExitCode, 0) << py.Output;
  std::vector<Lines> trees(1);
  for (const std::string& line : test::OutputLines(py.Output)) {
    if (line == "==")
      trees.emplace_back();
    else
      trees.back().push_back(line);
  }
  trees.pop_back();
  return trees;
}

Lines PythonTree(const std::string& text) {
  std::vector<Lines> trees = PythonTrees({text});
  return trees.empty() ? Lines{} : trees[0];
}

// Our own tree: per part its level, type, own body lines and boundary line.
void Describe(TEmailMsgPartCollection& parts, Lines& out) {
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailMsgPart* part = parts.Items(i);
    std::string type;
    if (part->Header() != nullptr) part->Header()->GetContentType(type);
    std::string body;
    const TStringList& raw = part->FGetRawText();
    for (int l = 0; l < raw.Count(); ++l) body += (l ? "|" : "") + raw[l];
    out.push_back(std::string(2 * static_cast<std::size_t>(part->Level()), ' ') + type + " [" +
                  body + "] " + part->BoundaryText());
    Describe(part->Children(), out);
  }
}

Lines OurTree(TEmailMsg& msg) {
  Lines out;
  TCriticalSectionGuard guard(msg.MessageLock());
  Describe(msg.GetParts(), out);
  return out;
}

std::string TextOf(TEmailMsg& msg) {
  TStringList lines;
  msg.GetRawText(lines, true);
  return lines.Text();
}

// A message read from the text (as from its file) and parsed; it never
// writes a file.
TEmailMsgRef Scratch(const std::string& text) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(text);
  msg->FSetFlaggedDeleted(true);
  msg->GetParts();
  return msg;
}

// The written text parsed again gives the tree that stands in memory.
void ExpectReparsesAlike(TEmailMsg& msg) {
  const Lines before = OurTree(msg);
  TEmailMsgRef again = Scratch(TextOf(msg));
  EXPECT_EQ(OurTree(*again), before);
}

const std::string kPlain = "From: a@b.example\r\nSubject: plain\r\n\r\nHello there.\r\n";
const std::string kHtml =
    "From: a@b.example\r\nSubject: html\r\nContent-Type: text/html; charset=\"ISO-8859-1\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n<html><body><p>Caf=E9 &amp; tea</p>"
    "</body></html>\r\n";
const std::string kImage =
    "Subject: image\r\nContent-Type: image/gif; name=\"a.gif\"\r\nContent-Transfer-Encoding: "
    "base64\r\nContent-Disposition: attachment; filename=\"a.gif\"\r\n\r\nR0lGODlh\r\n";
const std::string kMixedHtml =
    "Subject: mixed\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n"
    "preamble\r\n--m\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n<p>Body "
    "<b>text</b></p>\r\n"
    "--m\r\nContent-Type: application/pdf; name=\"x.pdf\"\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"x.pdf\"\r\n\r\nJVBERg==\r\n--m--\r\n";
const std::string kAlternative =
    "Subject: alt\r\nContent-Type: multipart/alternative; boundary=\"a\"\r\n\r\n--a\r\n"
    "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
    "plain =C3=A9\r\n--a\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<b>html</b>\r\n--a--\r\n";

// ---------------------------------------------------------------------------
// Adding text parts

TEST(BodyRestructuring, AddedPartsGiveTheIntendedTrees) {
  struct Row {
    const char* what;
    std::string text;
    TEmailMsgPart* (TEmailMsg::*op)();
    bool adds;
    Lines python;
  } rows[] = {
      {"a plain message given an HTML alternative",
       kPlain,
       &TEmailMsg::AddHtmlTextAlternative,
       true,
       {"multipart/alternative", "  text/plain", "    - - [Hello there.]", "  text/html",
        "    us-ascii 7bit [<html><body>|Hello there.<br>|</body></html>]"}},
      {"an HTML message given a plain alternative (8-bit text, labelled as its source)",
       kHtml,
       &TEmailMsg::AddPlainTextAlternative,
       true,
       {"multipart/alternative", "  text/plain", "    iso-8859-1 8bit [|Caf\xe9 & tea]",
        "  text/html",
        "    iso-8859-1 quoted-printable [<html><body><p>Caf\xe9 &amp; tea</p></body></html>]"}},
      {"a mixed HTML message gets a group holding the plain part and the moved HTML part",
       kMixedHtml,
       &TEmailMsg::AddPlainTextAlternative,
       true,
       {"multipart/mixed", "  multipart/alternative", "    text/plain",
        "      us-ascii 7bit [|Body text]", "    text/html",
        "      us-ascii - [<p>Body <b>text</b></p>]", "  application/pdf", "    - base64 [%PDF]"}},
      {"an alternative message that has its plain part gets none",
       kAlternative,
       &TEmailMsg::AddPlainTextPart,
       false,
       {"multipart/alternative", "  text/plain", "    utf-8 quoted-printable [plain \xc3\xa9]",
        "  text/html", "    utf-8 - [<b>html</b>]"}},
      {"an alternative message given a new empty HTML part goes after its plain part",
       "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: "
       "text/plain\r\n\r\n"
       "p\r\n--a--\r\n",
       &TEmailMsg::FAddHtmlTextPart,
       true,
       {"multipart/alternative", "  text/plain", "    - - [p]", "  text/html",
        "    us-ascii 7bit []"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Scratch(row.text);
    msg->GetParts();
    const std::string before = TextOf(*msg);
    msg->SetChanged(false);
    TEmailMsgPart* added = (msg.get()->*row.op)();
    EXPECT_EQ(added != nullptr, row.adds);
    EXPECT_EQ(msg->IsChanged(), row.adds);
    if (!row.adds) {
      EXPECT_EQ(TextOf(*msg), before);
    }
    EXPECT_EQ(PythonTree(TextOf(*msg)), row.python) << TextOf(*msg);
    ExpectReparsesAlike(*msg);
  }
}

// The parse itself gives a body without a text part an empty plain one; a
// partial message is left as it is.
TEST(BodyRestructuring, ParsingAddsATextPartWhereThereIsNone) {
  TEmailMsgRef image = Scratch(kImage);
  EXPECT_EQ(PythonTree(TextOf(*image)),
            (Lines{"multipart/mixed", "  text/plain", "    us-ascii 7bit []", "  image/gif",
                   "    - base64 [GIF89a]"}));
  EXPECT_TRUE(image->IsChanged());
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  image->GetTextParts(plain, html);
  EXPECT_NE(plain, nullptr);
  ExpectReparsesAlike(*image);

  const std::string partial =
      "Subject: part 1\r\nContent-Type: message/partial; id=\"x\"; number=1; "
      "total=2\r\n\r\nabc\r\n";
  TEmailMsgRef piece = Scratch(partial);
  EXPECT_EQ(TextOf(*piece), partial);
  EXPECT_FALSE(piece->IsChanged());
  EXPECT_EQ(piece->EnsureTextPart(), nullptr);

  // A message that is one attached message keeps it whole beside the new
  // text part.
  TEmailMsgRef forwarded = Scratch(
      "Subject: fwd\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: "
      "image/png\r\n\r\nxx\r\n");
  EXPECT_EQ(PythonTree(TextOf(*forwarded)),
            (Lines{"multipart/mixed", "  text/plain", "    us-ascii 7bit []", "  message/rfc822",
                   "    image/png", "      - - [xx]"}));
  ExpectReparsesAlike(*forwarded);
}

// Parts a caller took before a part is added stay the parts they were.
TEST(BodyRestructuring, PartsTakenBeforeAChangeStayValid) {
  TEmailMsgRef msg = Scratch(kPlain);
  TCriticalSectionGuard guard(msg->MessageLock());
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg->GetTextParts(plain, html);
  ASSERT_NE(plain, nullptr);
  TEmailMsgPart* added = msg->FAddHtmlTextPart();
  ASSERT_NE(added, nullptr);
  TEmailMsgPart* plainAfter = nullptr;
  TEmailMsgPart* htmlAfter = nullptr;
  msg->GetTextParts(plainAfter, htmlAfter);
  EXPECT_EQ(plainAfter, plain);
  EXPECT_EQ(htmlAfter, added);
  EXPECT_EQ(plain->FGetRawText().ToVector(), Lines{"Hello there."});
}

TEST(BodyRestructuring, MissingAlternatives) {
  struct Row {
    const char* what;
    std::string text;
    Lines types;  // Python's content types in walk order
  } rows[] = {
      {"HTML only", kHtml, {"multipart/alternative", "text/plain", "text/html"}},
      {"plain only", kPlain, {"multipart/alternative", "text/plain", "text/html"}},
      {"no text part",
       kImage,
       {"multipart/mixed", "multipart/alternative", "text/plain", "text/html", "image/gif"}},
      {"both", kAlternative, {"multipart/alternative", "text/plain", "text/html"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Scratch(row.text);
    msg->AddMissingAlternative();
    Lines types;
    for (const std::string& line : PythonTree(TextOf(*msg))) {
      EXPECT_NE(line.rfind("! ", 0), 0u) << line;
      if (line.find('/') != std::string::npos && line.find('[') == std::string::npos)
        types.push_back(line.substr(line.find_first_not_of(' ')));
    }
    EXPECT_EQ(types, row.types);
    ExpectReparsesAlike(*msg);
    const TEmailMsg::TBodyFlags flags = msg->GetBodyFlags();
    EXPECT_TRUE(flags.HasHtmlPart);
    EXPECT_TRUE(flags.IsAlternative);
  }
}

// ---------------------------------------------------------------------------
// Conversion to plain text

TEST(BodyRestructuring, ConversionToPlainText) {
  struct Row {
    const char* what;
    std::string text;
    bool converts;
    Lines python;
  } rows[] = {
      {"plain stays plain", kPlain, false, {"text/plain", "  - - [Hello there.]"}},
      {"HTML keeps its charset and becomes plain 8bit",
       kHtml,
       true,
       {"text/plain", "  iso-8859-1 8bit [|Caf\xe9 & tea]"}},
      {"an alternative message becomes its plain part",
       kAlternative,
       true,
       {"text/plain", "  utf-8 quoted-printable [plain \xc3\xa9]"}},
      {"a mixed message's HTML part becomes plain in place",
       kMixedHtml,
       true,
       {"multipart/mixed", "  text/plain", "    us-ascii 8bit [|Body text]", "  application/pdf",
        "    - base64 [%PDF]"}},
      {"a base64 HTML part inside an alternative group is decoded, not relabelled",
       "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: "
       "multipart/alternative; "
       "boundary=a\r\n\r\n--a\r\nContent-Type: text/html; charset=utf-8\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\nPGI+aMOpPC9iPg==\r\n--a--\r\n--m\r\n"
       "Content-Type: image/png\r\nContent-Disposition: attachment\r\n\r\nxx\r\n--m--\r\n",
       true,
       {"multipart/mixed", "  text/plain", "    utf-8 8bit [h\xc3\xa9]", "  image/png",
        "    - - [xx]"}},
      {"a mixed message without HTML has nothing to convert",
       "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: text/plain\r\n\r\n"
       "p\r\n--m--\r\n",
       false,
       {"multipart/mixed", "  text/plain", "    - - [p]"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Scratch(row.text);
    msg->GetParts();
    EXPECT_EQ(msg->ConvertToPlainText(), row.converts);
    EXPECT_EQ(msg->ConvertedToPlain.load(), row.converts);
    EXPECT_EQ(PythonTree(TextOf(*msg)), row.python) << TextOf(*msg);
    ExpectReparsesAlike(*msg);
  }
}

// An attached message converts the message inside it.
TEST(BodyRestructuring, ConversionOfAnAttachedMessage) {
  // Without the text part a parse would add beside it (as the held-mail
  // viewer reads messages), the message stays one attached message.
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetEnsureTextPart(false);
  msg->SetText(
      "Subject: outer\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: "
      "text/html\r\n\r\n<p>in <i>side</i></p>\r\n");
  msg->FSetFlaggedDeleted(true);
  EXPECT_TRUE(msg->ConvertToPlainText());
  EXPECT_EQ(PythonTree(TextOf(*msg)),
            (Lines{"message/rfc822", "  text/plain", "    - 8bit [|in side]"}));
}

// ---------------------------------------------------------------------------
// Wrapping

TEST(BodyRestructuring, WrappingReplacesTheWholeContentTypeField) {
  const std::string original =
      "From: a@b.example\r\nSubject: About Content-Type: headers\r\n"
      "X-Original-Content-Type: text/plain\r\nMIME-Version: 1.0\r\n"
      "content-type: text/plain;\r\n\tcharset=\"iso-8859-1\";\r\n\tformat=flowed\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: inline\r\n\r\n"
      "Q2Fm6SBib2R5Lg==\r\n";
  TEmailMsgRef msg = Scratch(original);
  msg->WrapAsAttachment(true, "Held by a rule.");
  const std::string text = TextOf(*msg);
  EXPECT_EQ(PythonTree(text),
            (Lines{"multipart/mixed", "  text/plain",
                   "    iso-8859-1 8bit [Held by a rule.|Caf\xe9 body.]", "  message/rfc822",
                   "    text/plain", "      iso-8859-1 base64 [Caf\xe9 body.]"}))
      << text;
  // The other header fields stay, once each.
  const std::string header = text.substr(0, text.find("\r\n\r\n"));
  EXPECT_NE(header.find("Subject: About Content-Type: headers"), std::string::npos);
  EXPECT_NE(header.find("X-Original-Content-Type: text/plain"), std::string::npos);
  EXPECT_EQ(header.find("format=flowed"), std::string::npos);
  EXPECT_EQ(header.find("Content-Transfer-Encoding"), std::string::npos);
  ExpectReparsesAlike(*msg);
  EXPECT_TRUE(msg->IsChanged());
}

TEST(BodyRestructuring, WrappingWithoutTextKeepsTheIntroOnly) {
  TEmailMsgRef msg = Scratch(kPlain);
  msg->WrapAsAttachment(false, "");
  EXPECT_EQ(PythonTree(TextOf(*msg)),
            (Lines{"multipart/mixed", "  text/plain", "    us-ascii 7bit []", "  message/rfc822",
                   "    text/plain", "      - - [Hello there.]"}));
}

// ---------------------------------------------------------------------------
// Structure flags and small changes

TEST(BodyRestructuring, StructureFlags) {
  struct Row {
    const char* what;
    std::string text;
    bool html, plain, alternative, noAttachments, topPlain;
  } rows[] = {
      {"plain", kPlain, false, true, false, false, true},
      {"html", kHtml, true, false, false, false, false},
      {"alternative", kAlternative, true, true, true, false, false},
      {"mixed html with attachment", kMixedHtml, true, false, false, false, false},
      {"mixed alternative without attachments",
       "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: "
       "multipart/alternative;"
       " boundary=a\r\n\r\n--a\r\nContent-Type: text/plain\r\n\r\np\r\n--a--\r\n--m--\r\n",
       false, true, true, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Scratch(row.text);
    msg->GetParts();
    const TEmailMsg::TBodyFlags flags = msg->GetBodyFlags();
    EXPECT_EQ(flags.HasHtmlPart, row.html);
    EXPECT_EQ(flags.HasPlainPart, row.plain);
    EXPECT_EQ(flags.IsAlternative, row.alternative);
    EXPECT_EQ(flags.NoAttachments, row.noAttachments);
    EXPECT_EQ(flags.TopIsPlainText, row.topPlain);
  }
}

TEST(BodyRestructuring, SenderInfoAndAttachmentNames) {
  TEmailMsgRef msg = Scratch(
      "From: a@b.example\r\nReply-To: c@d.example\r\nFrom: e@f.example\r\nTo: g@h.example\r\n"
      "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: "
      "text/plain\r\n\r\np\r\n"
      "--m\r\nContent-Type: application/octet-stream; name=\"re<port>.pdf..\"\r\n"
      "Content-Disposition: attachment; filename=\"re<port>.pdf..\"\r\n\r\nxx\r\n--m--\r\n");
  msg->DoRemoveSenderInfo();
  TEmailHeader* header = msg->GetHeader();
  std::string value;
  EXPECT_FALSE(header->GetRawValue("From", value, true));
  EXPECT_FALSE(header->GetRawValue("Reply-To", value, true));
  EXPECT_TRUE(header->GetRawValue("To", value, true));
  EXPECT_TRUE(msg->FixAttachmentNameLengths());
  EXPECT_TRUE(msg->CleanAttachmentNames());
  EXPECT_FALSE(msg->CleanAttachmentNames());
  TCriticalSectionGuard guard(msg->MessageLock());
  std::string name;
  ASSERT_TRUE(msg->GetParts().Items(2)->Header()->GetAttachmentName(name));
  EXPECT_EQ(name, "report.pdf");
}

}  // namespace
}  // namespace halvorn
